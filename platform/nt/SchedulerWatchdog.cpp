// The watchdogs: the service thread that moves the paced clock with the wall clock, and reports a
// machine where every known thread is blocked for good or one that spins while the clock waits.
#include "platform/nt/Scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/nt/Callback.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Time.h"
#include "platform/nt/Verifier.h"

namespace platform::detail {
namespace {

// Every known thread still running that has made no blocking, waking or time-passing call since
// the last look, while the clock waits for it (a deadline is pending, or the thread itself reads
// the clock); reported once it has spent the limit of its own processor time so. A thread the
// machine does not get to run (a busy machine) is not spinning.
void WatchProgressLocked()
{
    SchedulerState& s = Sched();
    const bool deadlinePending = s.Runnable > 0 && NextDeadlineLocked() != NO_DEADLINE;
    for (ThreadRecord* t : s.Known) {
        const uint64_t calls = t->Calls.load(std::memory_order_relaxed);
        const bool readClock = t->ReadClock.exchange(false, std::memory_order_relaxed);
        const bool clockHeld = (deadlinePending || (s.Runnable > 0 && readClock)) && t->State == RunState::Running;
        if (!clockHeld || !t->Watched || calls != t->SeenCalls) {
            t->Watched = clockHeld;
            t->SeenCalls = calls;
            t->SeenCpuNs = ThreadCpuNs(t);
            continue;
        }
        const int64_t spent = ThreadCpuNs(t) - t->SeenCpuNs;
        if (spent >= std::chrono::duration_cast<std::chrono::nanoseconds>(s.DeadlockTimeout).count()) {
            char head[256];
            std::snprintf(head, sizeof(head),
                          "thread %llu '%s' kept running for %lld ms of its processor time without a kernel wait "
                          "while the clock waited for it:\n",
                          static_cast<unsigned long long>(t->Id), t->Name.c_str(),
                          static_cast<long long>(spent / 1000000));
            MachineFatal("NO_PROGRESS", head + DescribeLocked());
        }
    }
}

// Moves the paced clock when the wall clock reaches the next deadline, and watches for deadlocks
// and threads that hold up the clock. Not a known thread.
void ServiceThreadMain()
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    uint64_t seenProgress = s.Progress;
    auto since = std::chrono::steady_clock::now();
    auto nextWatch = since;
    for (;;) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        if (s.RealTime && s.Runnable == 0 && !s.Stalled) {
            const int64_t next = NextDeadlineLocked();
            if (next != NO_DEADLINE) {
                until = std::min(until, s.RealBase + std::chrono::nanoseconds((next - s.RealOffset) * 100));
            }
        }
        s.ServiceCv.wait_until(lock, until);
        KickLocked();
        const auto now = std::chrono::steady_clock::now();
        if (now < nextWatch) {
            continue;
        }
        nextWatch = now + std::chrono::milliseconds(20);
        WatchProgressLocked();
        // A thread blocked outside the kernel may be waiting for a thread the machine cannot see;
        // DPC and worker threads waiting for work are idle, not stuck.
        const bool anyWaiting =
            std::any_of(s.Known.begin(), s.Known.end(),
                        [](ThreadRecord* t) { return t->State == RunState::Waiting && !t->IdleWait; }) &&
            std::none_of(s.Known.begin(), s.Known.end(), [](ThreadRecord* t) { return t->State == RunState::External; });
        const bool stuck = s.Runnable == 0 && anyWaiting && (s.Stalled || NextDeadlineLocked() == NO_DEADLINE);
        if (!stuck || s.Progress != seenProgress) {
            seenProgress = s.Progress;
            since = now;
            continue;
        }
        if (now - since >= s.DeadlockTimeout) {
            // Nothing can wake anyone: waking a blocked thread with a status it cannot expect
            // would only move the hang elsewhere, so the run ends here with the report.
            MachineFatal("DEADLOCK", "every known thread is blocked and no deadline is pending:\n" + DescribeLocked());
        }
    }
}

std::atomic<platform::MachineFatalHandler> g_fatalHandler{nullptr};

}  // namespace

void MachineFatal(const char* rule, const std::string& report)
{
    std::fprintf(stderr, "[machine] %s: %s", rule, report.c_str());
    platform::VerifierFault(rule, "%s", report.c_str());
    if (platform::MachineFatalHandler handler = g_fatalHandler.load()) {
        handler(rule);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}

void EnsureServiceLocked()
{
    SchedulerState& s = Sched();
    if (!s.ServiceStarted) {
        s.ServiceStarted = true;
        std::thread(ServiceThreadMain).detach();
    }
}

std::string DescribeLocked()
{
    SchedulerState& s = Sched();
    std::string out;
    char line[256];
    snprintf(line, sizeof(line), "machine time %lld (100 ns), %d runnable\n", static_cast<long long>(s.Now),
             s.Runnable);
    out += line;
    for (ThreadRecord* t : s.Known) {
        snprintf(line, sizeof(line), "  thread %llu '%s': %s", static_cast<unsigned long long>(t->Id),
                 t->Name.c_str(),
                 t->State == RunState::Running   ? "running"
                 : t->State == RunState::Waiting ? "waiting"
                 : t->State == RunState::External ? "blocked outside the kernel"
                                                  : "exited");
        out += line;
        if (t->State == RunState::Waiting) {
            out += t->WaitObjects.empty() ? " (delay)" : (t->WaitType == WaitAll ? " all of" : " any of");
            for (DISPATCHER_HEADER* h : t->WaitObjects) {
                const char* kind = "object";
                switch (h->Type) {
                case EventNotificationObject: kind = "notification event"; break;
                case EventSynchronizationObject: kind = "synchronization event"; break;
                case MutantObject: kind = "mutex"; break;
                case SemaphoreObject: kind = "semaphore"; break;
                case ThreadObject: kind = "thread"; break;
                case TimerNotificationObject:
                case TimerSynchronizationObject: kind = "timer"; break;
                default: break;
                }
                snprintf(line, sizeof(line), " [%s %p]", kind, static_cast<void*>(h));
                out += line;
            }
            if (t->Deadline != NO_DEADLINE) {
                snprintf(line, sizeof(line), " until %lld", static_cast<long long>(t->Deadline));
                out += line;
            }
        }
        out += "\n";
    }
    return out;
}
}  // namespace platform::detail

namespace platform {

using namespace detail;

std::string MachineDescribeWaits()
{
    Guard lock(Sched().Lock);
    return DescribeLocked();
}

void SetMachineFatalHandler(MachineFatalHandler handler) { g_fatalHandler.store(handler); }

void SetDeadlockTimeout(std::chrono::milliseconds timeout)
{
    Guard lock(Sched().Lock);
    Sched().DeadlockTimeout = timeout;
}

}  // namespace platform
