// Threads the clock must know about, threads that spin, and the watchdog that ends a run the
// clock cannot move.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/Clock.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Ob.h"
#include "platform/nt/WorkItem.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"

namespace {

using namespace std::chrono_literals;
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

TEST(ClockThreads, HelperThatSignalsAfterRealWorkIsWaitedFor)
{
    // The helper is counted from the moment it is made: the clock may not run the 1 s time-out
    // out while it is still busy for 20 ms of real time.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    platform::ClientThread helper("helper", [&] {
        std::this_thread::sleep_for(20ms);
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER timeout = RelativeMs(1000);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout), STATUS_WAIT_0);
    EXPECT_EQ(platform::ClockNow(), 0);
    helper.Join();
}

TEST(ClockThreads, KernelCallsFromAThreadTheMachineDoesNotKnowAreNamed)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 4);
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"KeSetEvent", [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }},
        {"KeWaitForSingleObject",
         [&] {
             LARGE_INTEGER poll{};
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll);
         }},
        {"KeWaitForMultipleObjects",
         [&] {
             LARGE_INTEGER poll{};
             PVOID objects[1] = {&event};
             KWAIT_BLOCK blocks[1];
             KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, &poll, blocks);
         }},
        {"KeSetTimer",
         [&] {
             KTIMER timer;
             KeInitializeTimer(&timer);
             KeSetTimer(&timer, RelativeMs(1), nullptr);
             KeCancelTimer(&timer);
         }},
        {"KeDelayExecutionThread",
         [] {
             LARGE_INTEGER zero{};
             KeDelayExecutionThread(KernelMode, FALSE, &zero);
         }},
        {"KeReleaseSemaphore", [&] { KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE); }},
        {"KeInsertQueueDpc", [&] { KeInsertQueueDpc(&dpc, nullptr, nullptr); }},
        {"KeStallExecutionProcessor", [] { KeStallExecutionProcessor(1); }},
    };
    for (const auto& [name, call] : calls) {
        {
            platform::ExternalWaitScope joining;
            std::thread(call).join();
        }
        auto faults = platform::VerifierTakeFaults();
        ASSERT_EQ(faults.size(), 1u) << name;
        EXPECT_EQ(faults[0].Rule, "UNKNOWN_THREAD") << name;
        EXPECT_NE(faults[0].Detail.find(name), std::string::npos) << faults[0].Detail;
    }
    KeFlushQueuedDpcs();
    // Registered, the same calls are fine.
    platform::ClientThread client("client", [&] {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE);
    });
    client.Join();
    EXPECT_TRUE(TakeRules().empty());
}

struct Flagged {
    KDPC Dpc;
    KTIMER Timer;
    std::atomic<bool> Flag{false};
};

VOID RaiseFlag(PKDPC, PVOID context, PVOID, PVOID) { static_cast<Flagged*>(context)->Flag = true; }

TEST(ClockThreads, StallLetsTimePassForTheBusyCallerAndFiresWhatFallsDue)
{
    Flagged f;
    KeInitializeDpc(&f.Dpc, RaiseFlag, &f);
    KeInitializeTimer(&f.Timer);
    LARGE_INTEGER due;
    due.QuadPart = -1000;  // 100 us
    KeSetTimer(&f.Timer, due, &f.Dpc);
    KeStallExecutionProcessor(40);
    EXPECT_EQ(platform::ClockNow(), 400);
    EXPECT_FALSE(KeReadStateTimer(&f.Timer));
    // A polling loop that stalls is a busy processor: time passes and the timer's DPC gets to run.
    const auto giveUp = std::chrono::steady_clock::now() + 10s;  // the DPC thread is a real thread
    while (!f.Flag) {
        KeStallExecutionProcessor(10);
        ASSERT_LT(std::chrono::steady_clock::now(), giveUp);
    }
    EXPECT_GE(platform::ClockNow(), 1000);
    EXPECT_TRUE(KeReadStateTimer(&f.Timer));
    KeFlushQueuedDpcs();
}

TEST(ClockThreads, ZeroDelayYieldsToWhatCanRunWithoutTimePassing)
{
    Flagged f;
    KeInitializeDpc(&f.Dpc, RaiseFlag, &f);
    KeInsertQueueDpc(&f.Dpc, nullptr, nullptr);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_TRUE(f.Flag);
    EXPECT_EQ(platform::ClockNow(), 0);
}

// A thread that polls the performance counter for a DPC's flag holds the clock still for ever;
// the watchdog names it and ends the run.
TEST(ClockThreadsDeathTest, PollingForADpcFlagEndsTheRunWithNoProgress)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            platform::MachineReset();  // the death test's child hears no harness events
            platform::SetDeadlockTimeout(200ms);
            Flagged f;
            KeInitializeDpc(&f.Dpc, RaiseFlag, &f);
            KeInitializeTimer(&f.Timer);
            KeSetTimer(&f.Timer, RelativeMs(1), &f.Dpc);
            while (!f.Flag) {
                KeQueryPerformanceCounter(nullptr);
            }
        },
        ::testing::ExitedWithCode(1),
        "NO_PROGRESS: thread [0-9]+ 'test' kept running(.|\\n)*'test': running"
        "(.|\\n)*FAILED  \\] ClockThreadsDeathTest.PollingForADpcFlagEndsTheRunWithNoProgress");
}

// A bounded stall loop waiting for a timer's DPC: the stall that crosses the timer returns once the
// DPC has run, so the loop ends there and the clock has not moved past it.
TEST(ClockThreads, AStallThatCrossesATimerLetsItsDpcRunBeforeTheClockMovesOn)
{
    Flagged f;
    KeInitializeDpc(&f.Dpc, RaiseFlag, &f);
    KeInitializeTimer(&f.Timer);
    KeSetTimer(&f.Timer, RelativeMs(2), &f.Dpc);
    int stalls = 0;
    while (!f.Flag && stalls < 5) {
        KeStallExecutionProcessor(1000);
        ++stalls;
    }
    EXPECT_TRUE(f.Flag);
    EXPECT_EQ(stalls, 2);
    EXPECT_EQ(platform::ClockNow(), 2 * 10000);
    KeFlushQueuedDpcs();
}

// Polls that let no time pass hold the clock still for ever; each is named by the watchdog. The
// child gives up by itself (SIGALRM) where a poll would hang silently.
TEST(ClockThreadsDeathTest, PollsThatLetNoTimePassEndTheRunWithNoProgress)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<std::pair<const char*, std::function<void()>>> polls = {
        {"zero delays for a timer's DPC",
         [] {
             Flagged f;
             KeInitializeDpc(&f.Dpc, RaiseFlag, &f);
             KeInitializeTimer(&f.Timer);
             KeSetTimer(&f.Timer, RelativeMs(1), &f.Dpc);
             LARGE_INTEGER zero{};
             while (!f.Flag) {
                 KeDelayExecutionThread(KernelMode, FALSE, &zero);
             }
         }},
        {"the performance counter with no deadline pending",
         [] {
             while (KeQueryPerformanceCounter(nullptr).QuadPart < 10000) {
             }
         }},
    };
    for (const auto& [name, poll] : polls) {
        SCOPED_TRACE(name);
        EXPECT_EXIT(
            {
                alarm(30);
                platform::MachineReset();
                platform::SetDeadlockTimeout(200ms);
                poll();
            },
            ::testing::ExitedWithCode(1), "NO_PROGRESS: thread [0-9]+ 'test' kept running(.|\\n)*'test': running");
    }
}

// The watchdog counts a thread's own processor time: a runnable thread that does not get to run
// (here: asleep outside the kernel, as on a busy machine) is not spinning.
TEST(ClockThreadsDeathTest, AThreadThatDoesNotGetToRunIsNotReportedAsSpinning)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            platform::MachineReset();
            platform::SetDeadlockTimeout(100ms);
            KTIMER timer;
            KeInitializeTimer(&timer);
            KeSetTimer(&timer, RelativeMs(1), nullptr);
            std::this_thread::sleep_for(600ms);
            KeCancelTimer(&timer);
            std::fprintf(stderr, "slept through\n");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "slept through");
}

// Wait TRUE is for a thread that waits next: in a DPC it is an IRQL fault at the call, and the
// DPC's return without the wait is named there, not at the next DPC the processor runs.
TEST(ClockThreads, WaitTrueInADpcIsFaultedAtItsCallAndEndsWithTheDpc)
{
    struct Pair {
        KEVENT Event;
        KDPC Wrong;
        KDPC Right;
    } p;
    KeInitializeEvent(&p.Event, NotificationEvent, FALSE);
    KeInitializeDpc(
        &p.Wrong,
        [](PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(&static_cast<Pair*>(context)->Event, IO_NO_INCREMENT, TRUE); },
        &p);
    KeInitializeDpc(
        &p.Right,
        [](PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent(&static_cast<Pair*>(context)->Event, IO_NO_INCREMENT, FALSE); },
        &p);
    KeSetTargetProcessorDpc(&p.Wrong, 0);
    KeSetTargetProcessorDpc(&p.Right, 0);
    KeInsertQueueDpc(&p.Wrong, nullptr, nullptr);
    KeInsertQueueDpc(&p.Right, nullptr, nullptr);
    KeFlushQueuedDpcs();
    const auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0].Rule, "IRQL");
    EXPECT_NE(faults[0].Detail.find("KeSetEvent with Wait TRUE"), std::string::npos) << faults[0].Detail;
    EXPECT_EQ(faults[1].Rule, "WAIT_NEXT");
    EXPECT_NE(faults[1].Detail.find("DPC routine"), std::string::npos) << faults[1].Detail;
}

// A work item or system thread routine that returns after a set with Wait TRUE is named when it
// returns: the thread gets its IRQL back there, and the next routine the worker runs is clean.
TEST(ClockThreads, WaitTrueWithoutItsWaitIsNamedAtTheEndOfTheRoutineThatMadeIt)
{
    struct Run {
        KEVENT Event;
        KEVENT Next;
        KIRQL NextIrql = 0xFF;
    };
    struct DummyDevice {
        int Unused;
    } dummy{};
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(&dummy);
    platform::ObRegister(device, "Device", nullptr);
    const std::vector<std::pair<const char*, std::function<void(Run&)>>> routines = {
        {"work item routine",
         [device](Run& run) {
             // Both on the one critical worker: the second routine runs on the thread the first left.
             PIO_WORKITEM wrong = IoAllocateWorkItem(device);
             PIO_WORKITEM right = IoAllocateWorkItem(device);
             IoQueueWorkItem(
                 wrong, [](PDEVICE_OBJECT, PVOID context) { KeSetEvent(&static_cast<Run*>(context)->Event, IO_NO_INCREMENT, TRUE); },
                 CriticalWorkQueue, &run);
             IoQueueWorkItem(
                 right,
                 [](PDEVICE_OBJECT, PVOID context) {
                     auto* r = static_cast<Run*>(context);
                     r->NextIrql = KeGetCurrentIrql();
                     KeSetEvent(&r->Next, IO_NO_INCREMENT, FALSE);
                 },
                 CriticalWorkQueue, &run);
             KeWaitForSingleObject(&run.Next, Executive, KernelMode, FALSE, nullptr);
             EXPECT_EQ(run.NextIrql, PASSIVE_LEVEL);
             EXPECT_TRUE(platform::RunUntil([&] { return platform::ObReferenceCount(device) == 1; }, 10ms));
             IoFreeWorkItem(wrong);
             IoFreeWorkItem(right);
         }},
        {"system thread routine",
         [](Run& run) { SystemThread thread([&] { KeSetEvent(&run.Event, IO_NO_INCREMENT, TRUE); }); }},
    };
    for (const auto& [name, body] : routines) {
        SCOPED_TRACE(name);
        Run run;
        KeInitializeEvent(&run.Event, NotificationEvent, FALSE);
        KeInitializeEvent(&run.Next, NotificationEvent, FALSE);
        body(run);
        const auto faults = platform::VerifierTakeFaults();
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0].Rule, "WAIT_NEXT");
        EXPECT_NE(faults[0].Detail.find(name), std::string::npos) << faults[0].Detail;
    }
    ObDereferenceObject(device);
}

// The waiting pattern raises nothing however long the machine runs.
TEST(ClockThreads, WaitingForTheDpcInsteadOfPollingIsFine)
{
    struct Signalled {
        KDPC Dpc;
        KTIMER Timer;
        KEVENT Done;
    } s;
    KeInitializeEvent(&s.Done, NotificationEvent, FALSE);
    KeInitializeDpc(
        &s.Dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
            KeSetEvent(&static_cast<Signalled*>(context)->Done, IO_NO_INCREMENT, FALSE);
        },
        &s);
    KeInitializeTimer(&s.Timer);
    KeSetTimer(&s.Timer, RelativeMs(1), &s.Dpc);
    EXPECT_EQ(KeWaitForSingleObject(&s.Done, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(platform::ClockNow(), 10000);
    KeFlushQueuedDpcs();
}

TEST(ClockThreads, SystemThreadEndingWithAMutexAbandonsIt)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    {
        SystemThread owner([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); });
    }
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"MUTEX_ABANDONED"});
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_ABANDONED_WAIT_0);
    KeReleaseMutex(&mutex, FALSE);
    // The next owner finds it whole again.
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_TRUE(TakeRules().empty());
}

TEST(ClockThreads, WaitTrueKeepsTheCallerForItsNextWait)
{
    KEVENT event;
    KEVENT reply;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&reply, NotificationEvent, FALSE);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    SystemThread partner([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&reply, IO_NO_INCREMENT, FALSE);
    });

    // The right pattern: set with Wait TRUE, then wait at once; the caller's IRQL comes back.
    KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&reply, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    partner.Join();
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, TRUE);
    LARGE_INTEGER zero{};
    KeDelayExecutionThread(KernelMode, FALSE, &zero);
    EXPECT_TRUE(TakeRules().empty());

    // Anything else next is a fault, and so is ending without the wait.
    const std::vector<std::pair<const char*, std::function<void()>>> wrongNext = {
        {"KeSetEvent", [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }},
        {"KeInsertQueueDpc", [&] {
             KDPC dpc;
             KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
             KeInsertQueueDpc(&dpc, nullptr, nullptr);
             KeFlushQueuedDpcs();
         }},
        {"the test ended", [] { platform::MachineCheckClean(); }},
    };
    for (const auto& [name, next] : wrongNext) {
        KePulseEvent(&event, IO_NO_INCREMENT, TRUE);
        next();
        auto faults = platform::VerifierTakeFaults();
        ASSERT_FALSE(faults.empty()) << name;
        EXPECT_EQ(faults[0].Rule, "WAIT_NEXT") << name;
        EXPECT_NE(faults[0].Detail.find(name), std::string::npos) << faults[0].Detail;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << name;
    }
    KeClearEvent(&event);
}

}  // namespace
