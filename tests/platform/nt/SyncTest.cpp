#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/Dispatcher.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"

namespace {

std::vector<std::string> TakeRules()
{
    std::vector<std::string> rules;
    for (const auto& f : platform::VerifierTakeFaults()) {
        rules.push_back(f.Rule);
    }
    return rules;
}

TEST(Sync, SpinLocksRaiseToDispatchAndExcludeEachOther)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LONG counter = 0;
    auto body = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            counter = counter + 1;  // not atomic: the lock must serialise it
            KeReleaseSpinLock(&lock, old);
        }
    };
    {
        kvxtest::SystemThread a(body);
        kvxtest::SystemThread b(body);
    }
    EXPECT_EQ(counter, 40000);

    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeTestSpinLock(&lock));
}

TEST(Sync, LockTakenAgainstTheDeclaredOrderIsCaughtTransitively)
{
    KSPIN_LOCK a;
    KSPIN_LOCK c;
    KMUTEX b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&c);
    KeInitializeMutex(&b, 0);
    platform::LockSetName(&a, "A");
    platform::LockSetName(&b, "B");
    platform::LockSetName(&c, "C");
    platform::LockOrderDeclare("A", "B");
    platform::LockOrderDeclare("B", "C");

    // In the declared order: B then C, and A then C.
    KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr);
    KIRQL old;
    KeAcquireSpinLock(&c, &old);
    KeReleaseSpinLock(&c, old);
    KeReleaseMutex(&b, FALSE);
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&c);
    KeReleaseSpinLockFromDpcLevel(&c);
    KeReleaseSpinLock(&a, old);
    EXPECT_TRUE(TakeRules().empty());

    // Against it: A (declared before C through B) while holding C, and B while holding C.
    KeAcquireSpinLock(&c, &old);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&c, old);
    KeAcquireSpinLock(&c, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    KeReleaseMutex(&b, FALSE);
    KeReleaseSpinLock(&c, old);
    EXPECT_EQ(TakeRules(), (std::vector<std::string>{"LOCK_ORDER", "LOCK_ORDER"}));
}

void PagedRoutine() { PAGED_CODE(); }

TEST(Sync, PagedCodeAboveApcLevelIsAFaultNamingTheRoutine)
{
    for (KIRQL irql : {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL}) {
        KIRQL old;
        KeRaiseIrql(irql, &old);
        PagedRoutine();
        KeLowerIrql(old);
        const auto faults = platform::VerifierTakeFaults();
        if (irql <= APC_LEVEL) {
            EXPECT_TRUE(faults.empty()) << int(irql);
        } else {
            ASSERT_EQ(faults.size(), 1u);
            EXPECT_EQ(faults[0].Rule, "IRQL_PAGED");
            EXPECT_NE(faults[0].Detail.find("PagedRoutine"), std::string::npos) << faults[0].Detail;
        }
    }
}

TEST(Sync, ReleasingALockNotHeldIsAFault)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);  // recursion would hang a real machine
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(TakeRules(), (std::vector<std::string>{"LOCK_NOT_HELD", "SPINLOCK_RECURSION"}));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(platform::LockHeldCount(), 0);
}

TEST(Sync, InterlockedOperationsReturnWhatTheKernelReturns)
{
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 0), 12);  // no match: unchanged
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
    EXPECT_EQ(value, 1);
    int x = 0;
    int y = 0;
    PVOID volatile pointer = &x;
    EXPECT_EQ(InterlockedExchangePointer(&pointer, &y), &x);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, nullptr, &x), &y);
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, nullptr, &y), &y);
    EXPECT_EQ(pointer, nullptr);
}

}  // namespace
