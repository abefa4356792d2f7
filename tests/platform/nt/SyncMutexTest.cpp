// Semaphores, fast and guarded mutexes, critical regions and the learned lock order.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/nt/Clock.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"

namespace {

using kvxtest::RelativeMs;
using kvxtest::SystemThread;

std::vector<std::string> TakeRules()
{
    std::vector<std::string> rules;
    for (const auto& f : platform::VerifierTakeFaults()) {
        rules.push_back(f.Rule);
    }
    return rules;
}

TEST(Semaphore, CountsReleasesAndWakesWaitersUpToItsLimit)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    // Two waiters, one release of two: both pass.
    std::atomic<int> passed{0};
    {
        SystemThread a([&] {
            KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, nullptr);
            ++passed;
        });
        SystemThread b([&] {
            KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, nullptr);
            ++passed;
        });
        platform::RunFor(std::chrono::milliseconds(1));
        EXPECT_EQ(passed, 0);
        EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 2, FALSE), 0);
    }
    EXPECT_EQ(passed, 2);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);

    // Past the limit: a fault, and the count stays.
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE), 0);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 2, FALSE), 1);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"SEMAPHORE_LIMIT"});
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);

    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE);
    KeLowerIrql(old);
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"IRQL"});
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_WAIT_0);
}

TEST(FastMutex, ExcludesOtherThreadsAtApcLevel)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    LONG counter = 0;
    auto body = [&] {
        for (int i = 0; i < 2000; ++i) {
            ExAcquireFastMutex(&mutex);
            EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
            counter = counter + 1;  // not atomic: the mutex must serialise it
            ExReleaseFastMutex(&mutex);
        }
    };
    {
        SystemThread a(body);
        SystemThread b(body);
    }
    EXPECT_EQ(counter, 4000);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // A try fails while another thread holds it, and succeeds once it is free.
    KEVENT held;
    KEVENT release;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    SystemThread owner([&] {
        ExAcquireFastMutex(&mutex);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        ExReleaseFastMutex(&mutex);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    owner.Join();
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
    EXPECT_TRUE(TakeRules().empty());
}

TEST(FastMutex, MisuseIsAFaultNotAHang)
{
    FAST_MUTEX fast;
    ExInitializeFastMutex(&fast);
    KGUARDED_MUTEX guarded;
    KeInitializeGuardedMutex(&guarded);
    struct Case {
        const char* What;
        std::function<void()> Do;
        std::vector<std::string> Rules;
    };
    const std::vector<Case> cases = {
        {"fast mutex taken again by its owner",
         [&] {
             ExAcquireFastMutex(&fast);
             ExAcquireFastMutex(&fast);
             ExReleaseFastMutex(&fast);
         },
         {"MUTEX_RECURSION"}},
        {"fast mutex released by a thread that does not hold it",
         [&] {
             KIRQL old;
             KeRaiseIrql(APC_LEVEL, &old);
             ExReleaseFastMutex(&fast);
             KeLowerIrql(old);
         },
         {"MUTEX_NOT_OWNED"}},
        {"fast mutex at DISPATCH_LEVEL",
         [&] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             ExAcquireFastMutex(&fast);
             KeLowerIrql(old);
         },
         {"IRQL"}},
        {"guarded mutex taken again by its owner",
         [&] {
             KeAcquireGuardedMutex(&guarded);
             KeAcquireGuardedMutex(&guarded);
             KeReleaseGuardedMutex(&guarded);
         },
         {"MUTEX_RECURSION"}},
        {"guarded mutex at DISPATCH_LEVEL",
         [&] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeAcquireGuardedMutex(&guarded);
             KeLowerIrql(old);
         },
         {"IRQL"}},
        {"critical region left without being entered", [] { KeLeaveCriticalRegion(); }, {"REGION_NOT_ENTERED"}},
        {"guarded region entered at DISPATCH_LEVEL",
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeEnterGuardedRegion();
             KeLowerIrql(old);
         },
         {"IRQL"}},
    };
    for (const Case& c : cases) {
        c.Do();
        EXPECT_EQ(TakeRules(), c.Rules) << c.What;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << c.What;
        EXPECT_EQ(platform::RegionDepth(), 0) << c.What;
    }
}

TEST(GuardedMutex, HoldsAGuardedRegionAtPassiveLevel)
{
    KGUARDED_MUTEX mutex;
    KeInitializeGuardedMutex(&mutex);
    KeAcquireGuardedMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(platform::RegionDepth(), 1);
    bool tried = true;
    {
        SystemThread other([&] { tried = KeTryToAcquireGuardedMutex(&mutex); });
    }
    EXPECT_FALSE(tried);
    KeReleaseGuardedMutex(&mutex);
    EXPECT_EQ(platform::RegionDepth(), 0);

    KeEnterCriticalRegion();
    KeEnterGuardedRegion();
    EXPECT_EQ(platform::RegionDepth(), 2);
    KeLeaveGuardedRegion();
    KeLeaveCriticalRegion();
    {
        SystemThread leaves([] { KeEnterCriticalRegion(); });
    }
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"THREAD_EXIT_REGION"});
}

TEST(LockOrder, CycleInTheLearnedOrderIsCaughtWithoutADeadlock)
{
    KSPIN_LOCK locks[3];
    for (KSPIN_LOCK& l : locks) {
        KeInitializeSpinLock(&l);
    }
    platform::LockSetName(&locks[0], "A");
    platform::LockSetName(&locks[2], "C");
    auto nest = [&](int outer, int inner) {
        KIRQL old;
        KeAcquireSpinLock(&locks[outer], &old);
        KeAcquireSpinLockAtDpcLevel(&locks[inner]);
        KeReleaseSpinLockFromDpcLevel(&locks[inner]);
        KeReleaseSpinLock(&locks[outer], old);
    };
    nest(0, 1);  // A -> B
    nest(1, 2);  // B -> C
    nest(0, 1);
    EXPECT_TRUE(TakeRules().empty());
    nest(2, 0);  // C -> A closes A -> B -> C -> A
    auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Rule, "LOCK_CYCLE");
    EXPECT_NE(faults[0].Detail.find("'A' taken while holding 'C'"), std::string::npos) << faults[0].Detail;
    nest(2, 0);  // reported once
    EXPECT_TRUE(TakeRules().empty());
}

TEST(LockOrder, CycleIsReportedAtTheAcquisitionThatWouldBlock)
{
    KMUTEX first;
    KMUTEX second;
    KeInitializeMutex(&first, 0);
    KeInitializeMutex(&second, 0);
    KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&second, FALSE);
    KeReleaseMutex(&first, FALSE);

    // Another thread holds `first` while this one, holding `second`, asks for it: the fault is
    // recorded while this thread is still blocked.
    KEVENT held;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    size_t faultsWhileBlocked = 0;
    SystemThread owner([&] {
        KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&held, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER later = RelativeMs(5);
        KeDelayExecutionThread(KernelMode, FALSE, &later);
        faultsWhileBlocked = platform::VerifierFaultCount("LOCK_CYCLE");
        KeReleaseMutex(&first, FALSE);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&first, FALSE);
    KeReleaseMutex(&second, FALSE);
    owner.Join();
    EXPECT_EQ(faultsWhileBlocked, 1u);
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"LOCK_CYCLE"});
}

}  // namespace
