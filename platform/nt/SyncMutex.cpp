#include "platform/nt/SyncMutex.h"

#include "platform/nt/Irql.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Thread.h"
#include "platform/nt/Verifier.h"

namespace {

thread_local int t_criticalRegions = 0;
thread_local int t_guardedRegions = 0;

template <typename Mutex>
void Initialize(Mutex* mutex)
{
    mutex->Count = 1;
    __atomic_store_n(&mutex->Owner, nullptr, __ATOMIC_RELAXED);
    mutex->Contention = 0;
    mutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&mutex->Event, SynchronizationEvent, TRUE);
}

// Takes the mutex (only when free for a try); false when it was not taken.
template <typename Mutex>
bool Acquire(Mutex* mutex, const char* call, bool tryOnly)
{
    PKTHREAD self = KeGetCurrentThread();
    if (__atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED) == self) {
        // On a real machine the thread would wait for itself for ever.
        platform::VerifierFault("MUTEX_RECURSION", "%s on mutex %p, which the calling thread already holds", call,
                                static_cast<void*>(mutex));
        return false;
    }
    if (!tryOnly) {
        platform::LockNoteAcquiring(mutex);
    }
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    if (KeWaitForSingleObject(&mutex->Event, Executive, KernelMode, FALSE, tryOnly ? &poll : nullptr) !=
        STATUS_WAIT_0) {
        if (!tryOnly) {
            ++mutex->Contention;
        }
        return false;
    }
    __atomic_store_n(&mutex->Owner, self, __ATOMIC_RELAXED);
    mutex->Count = 0;
    platform::LockNoteAcquired(mutex);
    return true;
}

template <typename Mutex>
bool Release(Mutex* mutex, const char* call)
{
    if (__atomic_load_n(&mutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread()) {
        platform::VerifierFault("MUTEX_NOT_OWNED", "%s on mutex %p, which the calling thread does not hold", call,
                                static_cast<void*>(mutex));
        return false;
    }
    __atomic_store_n(&mutex->Owner, nullptr, __ATOMIC_RELAXED);
    mutex->Count = 1;
    platform::LockNoteReleased(mutex);
    KeSetEvent(&mutex->Event, IO_NO_INCREMENT, FALSE);
    return true;
}

bool Enter(int& depth, const char* call)
{
    if (!platform::IrqlCheckAtMost(APC_LEVEL, call)) {
        return false;
    }
    ++depth;
    return true;
}

void Leave(int& depth, const char* call)
{
    if (depth == 0) {
        platform::VerifierFault("REGION_NOT_ENTERED", "%s without a matching enter", call);
        return;
    }
    --depth;
}

}  // namespace

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) { Initialize(FastMutex); }

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    if (!platform::IrqlCheckAtMost(APC_LEVEL, "ExAcquireFastMutex")) {
        return;
    }
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (Acquire(FastMutex, "ExAcquireFastMutex", false)) {
        FastMutex->OldIrql = old;
    } else {
        KeLowerIrql(old);
    }
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    if (!platform::IrqlCheckAtMost(APC_LEVEL, "ExTryToAcquireFastMutex")) {
        return FALSE;
    }
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    if (Acquire(FastMutex, "ExTryToAcquireFastMutex", true)) {
        FastMutex->OldIrql = old;
        return TRUE;
    }
    KeLowerIrql(old);
    return FALSE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    if (KeGetCurrentIrql() != APC_LEVEL) {
        platform::VerifierFault("IRQL", "ExReleaseFastMutex at IRQL %u (a held fast mutex keeps APC_LEVEL)",
                                KeGetCurrentIrql());
    }
    const KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    if (Release(FastMutex, "ExReleaseFastMutex") && KeGetCurrentIrql() > old) {
        KeLowerIrql(old);
    }
}

VOID KeInitializeGuardedMutex(PKGUARDED_MUTEX Mutex) { Initialize(Mutex); }

VOID KeAcquireGuardedMutex(PKGUARDED_MUTEX Mutex)
{
    if (!platform::IrqlCheckAtMost(APC_LEVEL, "KeAcquireGuardedMutex")) {
        return;
    }
    KeEnterGuardedRegion();
    if (!Acquire(Mutex, "KeAcquireGuardedMutex", false)) {
        KeLeaveGuardedRegion();
    }
}

BOOLEAN KeTryToAcquireGuardedMutex(PKGUARDED_MUTEX Mutex)
{
    if (!platform::IrqlCheckAtMost(APC_LEVEL, "KeTryToAcquireGuardedMutex")) {
        return FALSE;
    }
    KeEnterGuardedRegion();
    if (Acquire(Mutex, "KeTryToAcquireGuardedMutex", true)) {
        return TRUE;
    }
    KeLeaveGuardedRegion();
    return FALSE;
}

VOID KeReleaseGuardedMutex(PKGUARDED_MUTEX Mutex)
{
    platform::IrqlCheckAtMost(APC_LEVEL, "KeReleaseGuardedMutex");
    if (Release(Mutex, "KeReleaseGuardedMutex")) {
        KeLeaveGuardedRegion();
    }
}

VOID KeEnterCriticalRegion() { Enter(t_criticalRegions, "KeEnterCriticalRegion"); }
VOID KeLeaveCriticalRegion() { Leave(t_criticalRegions, "KeLeaveCriticalRegion"); }
VOID KeEnterGuardedRegion() { Enter(t_guardedRegions, "KeEnterGuardedRegion"); }
VOID KeLeaveGuardedRegion() { Leave(t_guardedRegions, "KeLeaveGuardedRegion"); }

namespace platform {

int RegionDepth() { return t_criticalRegions + t_guardedRegions; }

void RegionResetThread()
{
    t_criticalRegions = 0;
    t_guardedRegions = 0;
}

}  // namespace platform
