// Spin locks, in-stack queued spin locks and interlocked operations of the stand-in.
// Spin locks raise to DISPATCH_LEVEL; lock order is learned from every nested acquisition and
// checked for cycles, named locks (platform::LockSetName) also against the declared order, and
// releasing a lock the thread does not hold is a verifier fault.
#pragma once

#include "platform/nt/Irql.h"
#include "platform/nt/NtTypes.h"

struct KSPIN_LOCK {
    ULONG_PTR Value;   // 0 when free
    ULONG_PTR Owner;   // the owning thread's record while held (diagnostics)
};
using PKSPIN_LOCK = KSPIN_LOCK*;

struct KLOCK_QUEUE_HANDLE {
    PKSPIN_LOCK Lock;
    KIRQL OldIrql;
};
using PKLOCK_QUEUE_HANDLE = KLOCK_QUEUE_HANDLE*;

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock);

VOID KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
VOID KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
VOID KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle);
VOID KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle);

// Interlocked operations: full barriers, results as the kernel's (Increment/Decrement/Add return
// the new value for Increment/Decrement, the initial value for ExchangeAdd/Exchange/CompareExchange).
inline LONG InterlockedIncrement(LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(LONG volatile* Addend, LONG Value)
{
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value)
{
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange, LONG64 Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
inline CHAR InterlockedExchange8(CHAR volatile* Target, CHAR Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline CHAR InterlockedCompareExchange8(CHAR volatile* Destination, CHAR Exchange, CHAR Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

// ---- test and platform interface (not part of the kernel API) ----
namespace platform {

// Gives a lock (spin lock or KMUTEX) a name for the lock-order check; null removes the name.
void LockSetName(void* lock, const char* name);
// Declares that the lock named `before` is taken before the lock named `after`. Orders are
// transitive: a before b and b before c make taking a while holding c a "LOCK_ORDER" fault.
void LockOrderDeclare(const char* before, const char* after);
// Forgets every declared order and lock name (the machine reset does this between tests).
void LockOrderReset();

// Bookkeeping shared by spin locks and mutexes. Before a lock is taken (before it may block), each
// lock the thread holds gives a learned edge held -> lock; an edge that closes a cycle in the
// learned graph is a "LOCK_CYCLE" fault, and a pair against the declared order "LOCK_ORDER".
// Nothing is looked up while the thread holds no lock, nor for nestings it has already reported.
void LockNoteAcquiring(void* lock);
// The lock has been taken by this thread.
void LockNoteAcquired(void* lock);
// Returns false (and records "LOCK_NOT_HELD") when this thread does not hold the lock.
bool LockNoteReleased(void* lock);
// Number of locks (spin locks and mutexes) the current thread holds.
int LockHeldCount();

}  // namespace platform
