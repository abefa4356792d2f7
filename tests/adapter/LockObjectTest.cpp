#include <gtest/gtest.h>

#include "adapter/LockObject.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Verifier.h"

namespace {

struct TryFromThread {
    LockObject* lock;
    bool acquired = false;
};

VOID TryLockThread(PVOID context)
{
    auto* t = static_cast<TryFromThread*>(context);
    t->acquired = t->lock->TryLock();
    if (t->acquired) {
        t->lock->UnlockAfterTry();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Runs TryLock on a system thread and waits for the thread to end.
bool TryLockOnAnotherThread(LockObject& lock)
{
    TryFromThread t{&lock};
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TryLockThread, &t),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    // A TryLock never waits: a bounded wait that expired would show a blocked TryLock.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * 1000 * 10;  // 10 ms
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    return t.acquired;
}

TEST(LockObject, OperationsInInterfaceOrder)
{
    LockObject lock;
    EXPECT_FALSE(lock.ReservedLock());
    EXPECT_FALSE(lock.ReservedUnlock());
    EXPECT_TRUE(lock.Lock());
    EXPECT_TRUE(lock.Lock());  // the owner may take it again
    EXPECT_TRUE(lock.Unlock());
    EXPECT_TRUE(lock.Unlock());
    EXPECT_EQ(KeReadStateMutex(lock.GetMutex()), 1);  // free again
}

TEST(LockObject, TryLockFailsAtOnceForOthersAndSucceedsForTheOwner)
{
    LockObject lock;
    EXPECT_TRUE(TryLockOnAnotherThread(lock));  // free: acquired and released

    ASSERT_TRUE(lock.Lock());
    EXPECT_FALSE(TryLockOnAnotherThread(lock));
    EXPECT_TRUE(lock.TryLock());
    EXPECT_TRUE(lock.UnlockAfterTry());
    EXPECT_TRUE(lock.Unlock());

    EXPECT_TRUE(TryLockOnAnotherThread(lock));
}

TEST(LockObject, TryLockNeverWaitsSoItMayRunAtDispatchLevel)
{
    LockObject lock;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(lock.TryLock());
    EXPECT_TRUE(lock.UnlockAfterTry());
    KeLowerIrql(old);
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);

    // Lock waits without a time-out: above APC_LEVEL that is a fault.
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    lock.Lock();
    lock.Unlock();
    KeLowerIrql(old);
    const auto faults = platform::VerifierTakeFaults();
    ASSERT_FALSE(faults.empty());
    EXPECT_EQ(faults[0].Rule, "IRQL_WAIT");
}

}  // namespace
