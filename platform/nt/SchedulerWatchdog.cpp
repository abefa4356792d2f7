// The watchdogs: the service thread that fires timers in real-time mode and reports a machine
// where every known thread is blocked for good.
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
// the last look; reported once it has held up a pending deadline for the limit.
void WatchProgressLocked(std::chrono::steady_clock::time_point now)
{
    SchedulerState& s = Sched();
    const bool clockHeld = s.Runnable > 0 && NextDeadlineLocked() != NO_DEADLINE;
    for (ThreadRecord* t : s.Known) {
        const uint64_t calls = t->Calls.load(std::memory_order_relaxed);
        if (!clockHeld || t->State != RunState::Running || !t->Watched || calls != t->SeenCalls) {
            t->Watched = clockHeld && t->State == RunState::Running;
            t->SeenCalls = calls;
            t->SeenSince = now;
            continue;
        }
        if (now - t->SeenSince >= s.DeadlockTimeout) {
            char head[256];
            std::snprintf(head, sizeof(head),
                          "thread %llu '%s' kept running for %lld ms without a kernel wait while the clock waited "
                          "for it:\n",
                          static_cast<unsigned long long>(t->Id), t->Name.c_str(),
                          static_cast<long long>(s.DeadlockTimeout.count()));
            MachineFatal("NO_PROGRESS", head + DescribeLocked());
        }
    }
}

// Fires timers in real-time mode and watches for deadlocks and threads that hold up the clock in
// virtual mode. Not a known thread.
void ServiceThreadMain()
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    uint64_t seenProgress = s.Progress;
    auto since = std::chrono::steady_clock::now();
    for (;;) {
        if (s.RealTime) {
            NowLocked();
            ExpireDueLocked();
            const int64_t next = NextDeadlineLocked();
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            if (next != NO_DEADLINE) {
                auto at = s.RealBase + std::chrono::nanoseconds((next - s.RealOffset) * 100);
                until = std::min(until, at);
            }
            s.ServiceCv.wait_until(lock, until);
            continue;
        }
        s.ServiceCv.wait_for(lock, std::chrono::milliseconds(20));
        if (s.RealTime) {
            continue;
        }
        KickLocked();
        const auto now = std::chrono::steady_clock::now();
        WatchProgressLocked(now);
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
