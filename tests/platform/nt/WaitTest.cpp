#include <gtest/gtest.h>

#include <thread>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nt/Clock.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Time.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"

namespace {

using namespace std::chrono_literals;
using kvxtest::RelativeMs;
using kvxtest::SystemThread;

constexpr int64_t Ms(int64_t ms) { return ms * platform::TICKS_PER_MS; }

std::vector<std::string> Rules(const std::vector<platform::VerifierFaultRecord>& faults)
{
    std::vector<std::string> rules;
    for (const auto& f : faults) {
        rules.push_back(f.Rule);
    }
    return rules;
}

TEST(Wait, TimeOutsAndDelaysRunOnTheVirtualClockInDeadlineOrder)
{
    std::mutex logLock;
    std::vector<std::pair<std::string, int64_t>> log;
    auto note = [&](const char* what) {
        std::lock_guard<std::mutex> guard(logLock);
        log.emplace_back(what, platform::ClockNow());
    };
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    {
        SystemThread waiter([&] {
            LARGE_INTEGER timeout = RelativeMs(500);
            EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
            note("wait");
        });
        SystemThread sleeper([&] {
            LARGE_INTEGER interval = RelativeMs(100);
            EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
            note("delay");
        });
    }
    const std::vector<std::pair<std::string, int64_t>> expected{{"delay", Ms(100)}, {"wait", Ms(500)}};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(platform::ClockNow(), Ms(500));
    EXPECT_FALSE(platform::IsRealTime());
}

TEST(Wait, AbsolutePollAndInfiniteTimeOuts)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(platform::ClockNow(), 0);

    LARGE_INTEGER absolute;
    absolute.QuadPart = platform::BOOT_SYSTEM_TIME + Ms(200);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(platform::ClockNow(), Ms(200));
    // An absolute time already past is a poll.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(platform::ClockNow(), Ms(200));

    SystemThread setter([&] {
        LARGE_INTEGER interval = RelativeMs(30);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(platform::ClockNow(), Ms(230));
}

TEST(Wait, EventsReportPreviousStateAndDifferInReset)
{
    KEVENT notification;
    KEVENT synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);

    LARGE_INTEGER zero{};
    // A satisfied wait resets a synchronization event and leaves a notification event set.
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeResetEvent(&notification), 0);
    KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&notification);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);
}

TEST(Wait, NotificationWakesEveryWaiterSynchronizationOne)
{
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::atomic<int> woken{0};
        auto body = [&] {
            LARGE_INTEGER timeout = RelativeMs(100);
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_WAIT_0) {
                ++woken;
            }
        };
        SystemThread a(body);
        SystemThread b(body);
        SystemThread c(body);
        platform::RunFor(10ms);  // all three are waiting now
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        a.Join();
        b.Join();
        c.Join();
        EXPECT_EQ(woken.load(), type == NotificationEvent ? 3 : 1) << "event type " << type;
    }
}

TEST(Wait, WaitAnyTakesTheLowestSignalledIndexAndWaitAllNeedsAll)
{
    KEVENT events[3];
    KeInitializeEvent(&events[0], NotificationEvent, FALSE);
    KeInitializeEvent(&events[1], SynchronizationEvent, FALSE);
    KeInitializeEvent(&events[2], NotificationEvent, FALSE);
    PVOID objects[3] = {&events[0], &events[1], &events[2]};
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_0 + 2);

    // WaitAll consumes nothing until every object is signalled.
    KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&events[1]), 1);
    SystemThread setter([&] {
        LARGE_INTEGER interval = RelativeMs(20);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        KeSetEvent(&events[0], IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(platform::ClockNow(), Ms(20));
    EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
    EXPECT_EQ(KeReadStateEvent(&events[0]), 1);
}

TEST(Wait, MutexIsRecursiveForItsOwnerAndRefusesOthers)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);

    NTSTATUS tryResult = STATUS_SUCCESS;
    {
        SystemThread other([&] {
            LARGE_INTEGER zero{};
            tryResult = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
            KeReleaseMutex(&mutex, FALSE);  // not the owner
        });
    }
    EXPECT_EQ(tryResult, STATUS_TIMEOUT);
    EXPECT_EQ(Rules(platform::VerifierTakeFaults()), std::vector<std::string>{"MUTEX_NOT_OWNED"});
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);

    // A waiter gets the mutex when its owner releases the last level.
    int64_t acquiredAt = -1;
    SystemThread waiter([&] {
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
        acquiredAt = platform::ClockNow();
        KeReleaseMutex(&mutex, FALSE);
    });
    platform::RunFor(5ms);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    platform::RunFor(5ms);
    EXPECT_EQ(acquiredAt, -1);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    waiter.Join();
    EXPECT_EQ(acquiredAt, Ms(10));
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST(Wait, WaitingAtDispatchLevelIsCaughtButPollingIsAllowed)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_WAIT_0);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_TRUE(platform::VerifierTakeFaults().empty());
    LARGE_INTEGER timeout = RelativeMs(1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    KeDelayExecutionThread(KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
    EXPECT_EQ(Rules(platform::VerifierTakeFaults()), (std::vector<std::string>{"IRQL_WAIT", "IRQL_WAIT"}));
}

TEST(Wait, PeriodicSynchronizationTimerWakesEvery50Ms)
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    std::vector<int64_t> wakes;
    SystemThread waiter([&] {
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
            EXPECT_FALSE(KeReadStateTimer(&timer));  // the wait reset it
            wakes.push_back(platform::ClockNow());
        }
    });
    EXPECT_FALSE(KeSetTimerEx(&timer, RelativeMs(50), 50, nullptr));
    waiter.Join();
    EXPECT_EQ(wakes, (std::vector<int64_t>{Ms(50), Ms(100), Ms(150), Ms(200)}));
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST(Wait, OneShotTimerSignalsAndRunsItsDpcAndCanBeReset)
{
    struct Fired {
        std::vector<int64_t> At;
    } fired;
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            static_cast<Fired*>(context)->At.push_back(platform::ClockNow());
        },
        &fired);
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(40), &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(70), &dpc));  // reset: the first due time is gone
    platform::RunFor(100ms);
    EXPECT_EQ(fired.At, std::vector<int64_t>{Ms(70)});
    EXPECT_TRUE(KeReadStateTimer(&timer));  // a notification timer stays signalled
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST(Wait, TimersDueTogetherFireInTheOrderTheyWereSet)
{
    static std::string order;
    order.clear();
    auto append = [](PKDPC, PVOID context, PVOID, PVOID) { order += *static_cast<const char*>(context); };
    const char names[3] = {'b', 'a', 'c'};
    KDPC dpcs[3];
    KTIMER timers[3];
    for (int i = 0; i < 3; ++i) {
        KeInitializeDpc(&dpcs[i], append, const_cast<char*>(&names[i]));
        // One processor's queue keeps the order; on several the DPCs would run side by side.
        KeSetTargetProcessorDpc(&dpcs[i], 0);
        KeInitializeTimer(&timers[i]);
    }
    // Set at different moments, all due at 30 ms.
    KeSetTimer(&timers[0], RelativeMs(30), &dpcs[0]);
    platform::RunFor(10ms);
    KeSetTimer(&timers[1], RelativeMs(20), &dpcs[1]);
    LARGE_INTEGER at;
    at.QuadPart = platform::BOOT_SYSTEM_TIME + Ms(30);
    KeSetTimer(&timers[2], at, &dpcs[2]);
    platform::RunFor(20ms);
    EXPECT_EQ(order, "bac");
}

TEST(Wait, RunUntilStopsAtTheConditionOrTheLimit)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, RelativeMs(25), nullptr);
    EXPECT_TRUE(platform::RunUntil([&] { return KeReadStateTimer(&timer) != FALSE; }, 1s));
    EXPECT_EQ(platform::ClockNow(), Ms(25));
    EXPECT_FALSE(platform::RunUntil([] { return false; }, 10ms));
    EXPECT_EQ(platform::ClockNow(), Ms(35));
}

// The watchdog ends the process (nothing could wake the thread); the run is checked from outside.
// The death test's child process hears no harness events, so it resets the machine itself.
TEST(WaitDeathTest, DeadlockEndsTheRunWithTheReportAndTheTestName)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            platform::MachineReset();
            platform::SetDeadlockTimeout(50ms);
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        },
        ::testing::ExitedWithCode(1),
        "DEADLOCK: every known thread is blocked(.|\n)*'test': waiting any of \\[notification event"
        "(.|\n)*FAILED  \\] WaitDeathTest.DeadlockEndsTheRunWithTheReportAndTheTestName");
}

// Paced real time: the virtual clock never runs ahead of the wall clock, and a known thread that
// keeps running holds it still; the next deadline then fires late, at its own virtual time.
TEST(Wait, PacedModeNeverRunsAheadOfTheWallClockAndWaitsForALaggingThread)
{
    platform::SetRealTime(true);
    const auto wallStart = std::chrono::steady_clock::now();
    KTIMER timer;
    KeInitializeTimer(&timer);
    const int64_t start = platform::ClockNow();
    KeSetTimer(&timer, RelativeMs(20), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(platform::ClockNow() - start, Ms(20));
    EXPECT_GE(std::chrono::steady_clock::now() - wallStart, 20ms);
    std::this_thread::sleep_for(50ms);  // busy for 50 ms: the clock waits for this thread
    EXPECT_EQ(platform::ClockNow() - start, Ms(20));
    KeSetTimer(&timer, RelativeMs(1), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(platform::ClockNow() - start, Ms(21));
    EXPECT_GE(platform::ClockMaxBehindRealTime(), Ms(45));
    platform::SetRealTime(false);
}

}  // namespace
