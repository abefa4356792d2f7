// Fast mutexes, guarded mutexes and critical and guarded regions of the stand-in.
// A fast mutex raises to APC_LEVEL while held; a guarded mutex enters a guarded region instead.
// Both are taken at IRQL <= APC_LEVEL, are not recursive (taking one again is a fault, not a hang)
// and take part in the lock-order check.
#pragma once

#include "platform/nt/Dispatcher.h"
#include "platform/nt/NtTypes.h"

struct FAST_MUTEX {
    LONG Count;      // 1 when free
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;    // synchronization event: the mutex's gate
    ULONG OldIrql;
};
using PFAST_MUTEX = FAST_MUTEX*;

struct KGUARDED_MUTEX {
    LONG Count;
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;  // unused: the guarded region is the thread's
};
using PKGUARDED_MUTEX = KGUARDED_MUTEX*;

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex);
VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

VOID KeInitializeGuardedMutex(PKGUARDED_MUTEX Mutex);
VOID KeAcquireGuardedMutex(PKGUARDED_MUTEX Mutex);
VOID KeReleaseGuardedMutex(PKGUARDED_MUTEX Mutex);
BOOLEAN KeTryToAcquireGuardedMutex(PKGUARDED_MUTEX Mutex);

// Regions nest per thread; leaving one not entered is a fault, and so is a thread or a test that
// ends inside one.
VOID KeEnterCriticalRegion();
VOID KeLeaveCriticalRegion();
VOID KeEnterGuardedRegion();
VOID KeLeaveGuardedRegion();

// ---- test and platform interface (not part of the kernel API) ----
namespace platform {
// Critical and guarded regions the calling thread is inside (both kinds counted).
int RegionDepth();
// Leaves every region of the calling thread (the machine reset does this for the test thread).
void RegionResetThread();
}  // namespace platform
