// DPCs on several simulated processors, and what the harness finds left over at the end of a test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/Clock.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"

namespace {

using namespace std::chrono_literals;

std::vector<std::string> TakeRules()
{
    std::vector<std::string> rules;
    for (const auto& f : platform::VerifierTakeFaults()) {
        rules.push_back(f.Rule);
    }
    std::sort(rules.begin(), rules.end());
    return rules;
}

// Driver-style code that assumes its completion DPC cannot start while its timer DPC is still
// running (true on one processor only): the timer DPC looks whether the other started meanwhile.
struct Pair {
    KDPC TimerDpc;
    KDPC CompletionDpc;
    std::atomic<bool> CompletionStarted{false};
    std::chrono::milliseconds Patience;
    bool Overlapped = false;
    ULONG Processors[2] = {99, 99};
};

VOID TimerSide(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* p = static_cast<Pair*>(context);
    p->Processors[0] = KeGetCurrentProcessorNumber();
    // Real time, bounded: long enough for the other processor to start the other DPC.
    const auto until = std::chrono::steady_clock::now() + p->Patience;
    while (!p->CompletionStarted && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
    p->Overlapped = p->CompletionStarted;
}

VOID CompletionSide(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* p = static_cast<Pair*>(context);
    p->Processors[1] = KeGetCurrentProcessorNumber();
    p->CompletionStarted = true;
}

bool RunPair(std::chrono::milliseconds patience)
{
    Pair p;
    p.Patience = patience;
    KeInitializeDpc(&p.TimerDpc, TimerSide, &p);
    KeInitializeDpc(&p.CompletionDpc, CompletionSide, &p);
    KeSetTargetProcessorDpc(&p.TimerDpc, 0);
    KeSetTargetProcessorDpc(&p.CompletionDpc, 1);
    KeInsertQueueDpc(&p.TimerDpc, nullptr, nullptr);
    KeInsertQueueDpc(&p.CompletionDpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    if (p.Overlapped) {
        EXPECT_NE(p.Processors[0], p.Processors[1]);
    }
    return p.Overlapped;
}

TEST(DpcProcessors, DpcsOfTwoProcessorsRaceAsOneDpcThreadWouldHide)
{
    EXPECT_EQ(KeQueryNumberProcessors(), 2);
    EXPECT_TRUE(RunPair(5000ms));
    platform::SetProcessorCount(1);
    EXPECT_FALSE(RunPair(100ms));  // the target is clamped to the one processor
}

TEST(DpcProcessors, UntargetedDpcRunsOnTheProcessorOfTheThreadThatQueuesIt)
{
    struct Where {
        KDPC Dpc;
        ULONG Processor = 99;
    };
    auto record = [](PKDPC, PVOID context, PVOID, PVOID) {
        static_cast<Where*>(context)->Processor = KeGetCurrentProcessorNumber();
    };
    Where here;
    KeInitializeDpc(&here.Dpc, record, &here);
    KeInsertQueueDpc(&here.Dpc, nullptr, nullptr);
    Where there;
    KeInitializeDpc(&there.Dpc, record, &there);
    ULONG otherProcessor = 99;
    {
        kvxtest::SystemThread other([&] {
            otherProcessor = KeGetCurrentProcessorNumber();
            KeInsertQueueDpc(&there.Dpc, nullptr, nullptr);
        });
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(here.Processor, KeGetCurrentProcessorNumber());
    EXPECT_EQ(there.Processor, otherProcessor);
}

// Queued again from the other processor while it runs, a DPC still runs where it is running: it
// never runs beside itself. The first run holds until the second queueing is done, so the test
// does not depend on how the machine schedules the DPC threads.
TEST(DpcProcessors, ADpcNeverRunsConcurrentlyWithItself)
{
    struct Self {
        KDPC Dpc;
        KDPC Requeue;
        std::atomic<int> Inside{0};
        std::atomic<int> MostInside{0};
        std::atomic<int> Runs{0};
        std::atomic<bool> Started{false};
        std::atomic<bool> Release{false};
        std::atomic<int> Requeued{-1};  // what the second KeInsertQueueDpc returned
        ULONG RequeueProcessor = 99;
        ULONG RanOn[2] = {99, 99};
    } s;
    KeInitializeDpc(
        &s.Dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* self = static_cast<Self*>(context);
            const int inside = ++self->Inside;
            int most = self->MostInside.load();
            while (inside > most && !self->MostInside.compare_exchange_weak(most, inside)) {
            }
            const int run = self->Runs.load();
            if (run < 2) {
                self->RanOn[run] = KeGetCurrentProcessorNumber();
            }
            self->Started = true;
            // Held (bounded) until the test has queued it again.
            const auto limit = std::chrono::steady_clock::now() + 10s;
            while (!self->Release && std::chrono::steady_clock::now() < limit) {
                std::this_thread::yield();
            }
            ++self->Runs;
            --self->Inside;
        },
        &s);
    KeInitializeDpc(
        &s.Requeue, [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* self = static_cast<Self*>(context);
            self->RequeueProcessor = KeGetCurrentProcessorNumber();
            self->Requeued = KeInsertQueueDpc(&self->Dpc, nullptr, nullptr);
        },
        &s);
    const ULONG here = KeGetCurrentProcessorNumber();
    KeSetTargetProcessorDpc(&s.Requeue, static_cast<CHAR>(1 - here));

    ASSERT_TRUE(KeInsertQueueDpc(&s.Dpc, nullptr, nullptr));
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (!s.Started && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(s.Started);
    KeInsertQueueDpc(&s.Requeue, nullptr, nullptr);
    while (s.Requeued < 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(1ms);
    }
    s.Release = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(s.RequeueProcessor, 1 - here);
    EXPECT_EQ(s.Requeued, TRUE);
    EXPECT_EQ(s.Runs, 2);
    EXPECT_EQ(s.RanOn[0], here);
    EXPECT_EQ(s.RanOn[1], here);
    EXPECT_EQ(s.MostInside, 1);
}

TEST(EndOfTest, LeftoversAreFaults)
{
    // A spin lock held and the raised IRQL.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    platform::MachineCheckClean();
    EXPECT_EQ(TakeRules(), (std::vector<std::string>{"IRQL_AT_END", "SPINLOCK_AT_END"}));
    KeReleaseSpinLock(&lock, old);

    // A timer still set and a region still entered.
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, kvxtest::RelativeMs(10), nullptr);
    KeEnterCriticalRegion();
    platform::MachineCheckClean();
    EXPECT_EQ(TakeRules(), (std::vector<std::string>{"REGION_AT_END", "TIMER_LEAK"}));
    KeLeaveCriticalRegion();
    KeCancelTimer(&timer);

    // A DPC still running (the check gives up waiting for it after the watchdog's limit).
    platform::SetDeadlockTimeout(50ms);
    struct Spinning {
        KDPC Dpc;
        std::atomic<bool> Stop{false};
    } spinning;
    KeInitializeDpc(
        &spinning.Dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
            while (!static_cast<Spinning*>(context)->Stop) {
                std::this_thread::yield();
            }
        },
        &spinning);
    KeInsertQueueDpc(&spinning.Dpc, nullptr, nullptr);
    platform::MachineCheckClean();
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"DPC_AT_END"});
    spinning.Stop = true;
    KeFlushQueuedDpcs();

    // A work item still running.
    struct DummyDevice {
        int Unused;
    } dummy{};
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(&dummy);
    platform::ObRegister(device, "Device", nullptr);
    struct Blocked {
        KEVENT Go;
        KEVENT Done;
    } blocked;
    KeInitializeEvent(&blocked.Go, NotificationEvent, FALSE);
    KeInitializeEvent(&blocked.Done, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID context) {
            auto* b = static_cast<Blocked*>(context);
            KeWaitForSingleObject(&b->Go, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&b->Done, IO_NO_INCREMENT, FALSE);
        },
        DelayedWorkQueue, &blocked);
    platform::MachineCheckClean();
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"WORKITEM_AT_END"});
    KeSetEvent(&blocked.Go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&blocked.Done, Executive, KernelMode, FALSE, nullptr);
    platform::RunFor(0ms);
    IoFreeWorkItem(item);
    ObDereferenceObject(device);
}

}  // namespace
