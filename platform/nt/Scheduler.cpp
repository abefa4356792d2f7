#include "platform/nt/Scheduler.h"

#include <algorithm>
#include <cstdio>

#include "platform/nt/Callback.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Time.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/DebugHost.h"

namespace platform::detail {
namespace {

// Virtual time the clock may run ahead, with nobody woken, before the machine counts as stalled
// (a forgotten periodic timer must not spin the clock forever under a deadlock).
constexpr int64_t STALL_HORIZON = 24LL * 3600 * 10000000;

// Owns the record of a thread the machine did not create; unregisters it when the thread ends.
struct LocalRecord {
    ThreadRecord* Record = nullptr;
    bool Owned = false;
    ~LocalRecord()
    {
        if (Record != nullptr && Owned) {
            SchedulerState& s = Sched();
            {
                Guard lock(s.Lock);
                if (Record->Known) {
                    UnregisterKnownLocked(Record);
                }
            }
            delete Record;
        }
    }
};
thread_local LocalRecord t_record;

void ServiceThreadMain();

bool IsSignalledFor(const DISPATCHER_HEADER* h, const ThreadRecord* t)
{
    if (h->Type == MutantObject) {
        const auto* m = reinterpret_cast<const KMUTEX*>(h);
        return h->SignalState > 0 || m->OwnerThread == t;
    }
    return h->SignalState > 0;
}

void Consume(DISPATCHER_HEADER* h, ThreadRecord* t)
{
    switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        h->SignalState = 0;
        break;
    case MutantObject: {
        auto* m = reinterpret_cast<KMUTEX*>(h);
        h->SignalState -= 1;
        m->OwnerThread = t;
        break;
    }
    default:
        break;
    }
}

bool TrySatisfy(ThreadRecord* t, DISPATCHER_HEADER** objects, ULONG count, WAIT_TYPE type, NTSTATUS* status)
{
    if (count == 0) {
        return false;
    }
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (IsSignalledFor(objects[i], t)) {
                Consume(objects[i], t);
                *status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (!IsSignalledFor(objects[i], t)) {
            return false;
        }
    }
    for (ULONG i = 0; i < count; ++i) {
        Consume(objects[i], t);
    }
    *status = STATUS_WAIT_0;
    return true;
}

void WakeLocked(ThreadRecord* t, NTSTATUS status)
{
    SchedulerState& s = Sched();
    s.Waiters.erase(std::find(s.Waiters.begin(), s.Waiters.end(), t));
    t->State = RunState::Running;
    t->Woken = true;
    t->WaitStatus = status;
    s.Stalled = false;
    if (t->Known) {
        ++s.Runnable;
    }
    ++s.Progress;
    t->Cv.notify_one();
}

int64_t NextWaiterDeadlineLocked()
{
    int64_t next = NO_DEADLINE;
    for (ThreadRecord* t : Sched().Waiters) {
        next = std::min(next, t->Deadline);
    }
    return next;
}

int64_t NextDeadlineLocked()
{
    SchedulerState& s = Sched();
    const int64_t timer = s.Timers.empty() ? NO_DEADLINE : s.Timers.begin()->first.first;
    return std::min(timer, NextWaiterDeadlineLocked());
}

void FireTimerLocked(KTIMER* timer)
{
    SchedulerState& s = Sched();
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    if (timer->Period > 0) {
        timer->DueTime += static_cast<int64_t>(timer->Period) * TICKS_PER_MS;
        if (timer->DueTime <= s.Now) {  // real time fell behind: skip the missed periods
            timer->DueTime = s.Now + static_cast<int64_t>(timer->Period) * TICKS_PER_MS;
        }
        timer->Sequence = ++s.TimerSequence;
        timer->Header.Inserted = 1;
        s.Timers.emplace(std::make_pair(timer->DueTime, timer->Sequence), timer);
    }
    WakeWaitersLocked();
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER now;
        now.QuadPart = s.Now + platform::BOOT_SYSTEM_TIME;
        InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(now.u.LowPart)),
                        reinterpret_cast<PVOID>(static_cast<intptr_t>(now.u.HighPart)));
    }
}

// Fires every timer due and times out every waiter due, in deadline order (timers first at the
// same instant, then waiters in the order they started waiting).
void ExpireDueLocked()
{
    SchedulerState& s = Sched();
    while (!s.Timers.empty() && s.Timers.begin()->first.first <= s.Now) {
        KTIMER* timer = s.Timers.begin()->second;
        s.Timers.erase(s.Timers.begin());
        FireTimerLocked(timer);
    }
    for (;;) {
        ThreadRecord* first = nullptr;
        for (ThreadRecord* t : s.Waiters) {
            if (t->Deadline <= s.Now &&
                (first == nullptr || t->Deadline < first->Deadline ||
                 (t->Deadline == first->Deadline && t->WaitSequence < first->WaitSequence))) {
                first = t;
            }
        }
        if (first == nullptr) {
            break;
        }
        WakeLocked(first, first->WaitObjects.empty() ? STATUS_SUCCESS : STATUS_TIMEOUT);
    }
}

void AdvanceClockLocked()
{
    SchedulerState& s = Sched();
    const int64_t start = s.Now;
    while (s.Runnable == 0) {
        const int64_t next = NextDeadlineLocked();
        if (next == NO_DEADLINE) {
            break;
        }
        // Only timers left, firing for nobody: a periodic timer must not spin the clock forever.
        if (next - start > STALL_HORIZON && NextWaiterDeadlineLocked() == NO_DEADLINE) {
            s.Stalled = true;
            break;
        }
        s.Now = std::max(s.Now, next);
        ExpireDueLocked();
    }
    s.ServiceCv.notify_all();
}

void EnsureServiceLocked()
{
    SchedulerState& s = Sched();
    if (!s.ServiceStarted) {
        s.ServiceStarted = true;
        std::thread(ServiceThreadMain).detach();
    }
}

bool OthersQuiescentLocked(const ThreadRecord* self)
{
    if (Sched().Finishing != 0) {
        return false;
    }
    for (const ThreadRecord* t : Sched().Known) {
        if (t != self && t->State == RunState::Running) {
            return false;
        }
    }
    return true;
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

// Fires timers in real-time mode and watches for deadlocks in virtual mode. Not a known thread.
void ServiceThreadMain()
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    uint64_t seenProgress = s.Progress;
    auto since = std::chrono::steady_clock::now();
    bool reported = false;
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
        // A thread blocked outside the kernel may be waiting for a thread the machine cannot see.
        const bool anyWaiting =
            std::any_of(s.Known.begin(), s.Known.end(), [](ThreadRecord* t) { return t->State == RunState::Waiting; }) &&
            std::none_of(s.Known.begin(), s.Known.end(), [](ThreadRecord* t) { return t->State == RunState::External; });
        const bool stuck = s.Runnable == 0 && anyWaiting && (s.Stalled || NextDeadlineLocked() == NO_DEADLINE);
        if (!stuck || s.Progress != seenProgress) {
            seenProgress = s.Progress;
            since = now;
            reported = false;
            continue;
        }
        if (!reported && now - since >= s.DeadlockTimeout) {
            reported = true;
            const std::string who = DescribeLocked();
            std::fprintf(stderr, "[machine] DEADLOCK: every known thread is blocked and no deadline is pending\n%s",
                         who.c_str());
            platform::VerifierFault("DEADLOCK", "every known thread blocked with no deadline pending:\n%s",
                                    who.c_str());
            std::vector<ThreadRecord*> clients;
            for (ThreadRecord* t : s.Waiters) {
                if (t->Client) {
                    clients.push_back(t);
                }
            }
            for (ThreadRecord* t : clients) {
                WakeLocked(t, STATUS_TIMEOUT);
            }
            s.Stalled = false;
            seenProgress = s.Progress;
        }
    }
}

}  // namespace

SchedulerState& Sched()
{
    static SchedulerState* state = [] {
        auto* st = new SchedulerState();  // never destroyed: threads may outlive static destruction
        st->DpcWork.Header.Type = EventSynchronizationObject;
        st->DpcIdle.Header.Type = EventNotificationObject;
        st->DpcIdle.Header.SignalState = 1;
        return st;
    }();
    return *state;
}

ThreadRecord* Current()
{
    if (t_record.Record == nullptr) {
        auto* rec = new ThreadRecord();
        rec->Header.Type = ThreadObject;
        rec->Header.SignalState = 0;
        rec->Name = "thread";
        {
            Guard lock(Sched().Lock);
            rec->Id = Sched().NextThreadId++;
        }
        t_record.Record = rec;
        t_record.Owned = true;
    }
    return t_record.Record;
}

void SetCurrent(ThreadRecord* record)
{
    t_record.Record = record;
    t_record.Owned = false;
}

int64_t NowLocked()
{
    SchedulerState& s = Sched();
    if (s.RealTime) {
        const auto elapsed = std::chrono::steady_clock::now() - s.RealBase;
        s.Now = std::max(s.Now, s.RealOffset + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
    }
    return s.Now;
}

void RegisterKnownLocked(ThreadRecord* t)
{
    SchedulerState& s = Sched();
    if (t->Known) {
        return;
    }
    EnsureServiceLocked();
    t->Known = true;
    s.Known.push_back(t);
    if (t->State == RunState::Running) {
        ++s.Runnable;
    }
}

void UnregisterKnownLocked(ThreadRecord* t)
{
    SchedulerState& s = Sched();
    if (!t->Known) {
        return;
    }
    t->Known = false;
    s.Known.erase(std::find(s.Known.begin(), s.Known.end(), t));
    if (t->State == RunState::Running) {
        --s.Runnable;
    }
    ++s.Progress;
    s.QuiescentCv.notify_all();
    KickLocked();
}

void KickLocked()
{
    SchedulerState& s = Sched();
    if (!s.RealTime && s.Runnable == 0 && !s.Stalled) {
        AdvanceClockLocked();
    }
}

void WakeWaitersLocked()
{
    SchedulerState& s = Sched();
    // Waking may change the list: walk a snapshot, in wait order.
    std::vector<ThreadRecord*> snapshot = s.Waiters;
    for (ThreadRecord* t : snapshot) {
        NTSTATUS status;
        if (t->State == RunState::Waiting &&
            TrySatisfy(t, t->WaitObjects.data(), static_cast<ULONG>(t->WaitObjects.size()), t->WaitType, &status)) {
            WakeLocked(t, status);
        }
    }
}

void SignalEventLocked(KEVENT* event)
{
    event->Header.SignalState = 1;
    WakeWaitersLocked();
}

NTSTATUS WaitLocked(Guard& lock, ThreadRecord* t, DISPATCHER_HEADER** objects, ULONG count, WAIT_TYPE type,
                    int64_t deadline, KWAIT_REASON reason)
{
    SchedulerState& s = Sched();
    NTSTATUS status;
    if (TrySatisfy(t, objects, count, type, &status)) {
        return status;
    }
    if (deadline != NO_DEADLINE && deadline <= NowLocked() && count != 0) {
        return STATUS_TIMEOUT;
    }
    // A thread inside an ExternalWaitScope runs again for the length of this wait.
    const bool external = t->State == RunState::External;
    if (external) {
        t->State = RunState::Running;
        ++s.Runnable;
    }
    // A thread the machine does not know is counted while it waits, so that its wake-up is
    // delivered before the clock moves on.
    const bool transient = !t->Known;
    if (transient) {
        RegisterKnownLocked(t);
    }
    t->WaitObjects.assign(objects, objects + count);
    t->WaitType = type;
    t->Deadline = deadline;
    t->WaitReason = reason;
    t->WaitSequence = ++s.WaitSequence;
    t->Woken = false;
    t->State = RunState::Waiting;
    s.Waiters.push_back(t);
    --s.Runnable;
    ++s.Progress;
    s.QuiescentCv.notify_all();
    s.ServiceCv.notify_all();
    if (s.RealTime) {
        ExpireDueLocked();
    } else {
        KickLocked();
    }
    while (!t->Woken) {
        t->Cv.wait(lock);
    }
    t->WaitObjects.clear();
    if (transient) {
        UnregisterKnownLocked(t);
    }
    if (external) {
        t->State = RunState::External;
        --s.Runnable;
        KickLocked();
    }
    return t->WaitStatus;
}

int64_t DeadlineFromTimeoutLocked(LONGLONG timeout)
{
    const int64_t now = NowLocked();
    if (timeout < 0) {
        if (timeout == INT64_MIN) {
            return NO_DEADLINE;
        }
        return now + (-timeout);
    }
    return std::max<int64_t>(timeout - platform::BOOT_SYSTEM_TIME, 0);
}

ThreadRecord* StartThreadLocked(ThreadRecord* t, std::function<void()> body)
{
    SchedulerState& s = Sched();
    t->Header.Type = ThreadObject;
    t->Header.SignalState = 0;
    t->Id = s.NextThreadId++;
    t->State = RunState::Running;
    RegisterKnownLocked(t);
    t->Os = std::thread([t, body = std::move(body)] {
        SetCurrent(t);
        body();
    });
    return t;
}

void FinishThread(ThreadRecord* t, NTSTATUS exitStatus)
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    t->ExitStatus = exitStatus;
    ++s.Finishing;
    t->State = RunState::Exited;
    t->Header.SignalState = 1;
    if (t->Known) {
        t->Known = false;
        s.Known.erase(std::find(s.Known.begin(), s.Known.end(), t));
        --s.Runnable;
    }
    ++s.Progress;
    WakeWaitersLocked();
    s.QuiescentCv.notify_all();
    KickLocked();
}

void FinishedThread()
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    --s.Finishing;
    s.QuiescentCv.notify_all();
}

}  // namespace platform::detail

namespace platform {

using namespace detail;

int64_t ClockNow()
{
    Guard lock(Sched().Lock);
    return NowLocked();
}

namespace {

// Waits (real time, bounded) until every other known thread is blocked or has exited, so that
// what a wake-up set in motion has happened before the caller looks.
bool SettleLocked(Guard& lock, ThreadRecord* self)
{
    SchedulerState& s = Sched();
    return s.QuiescentCv.wait_for(lock, s.DeadlockTimeout, [self] { return OthersQuiescentLocked(self); });
}

void Delay(int64_t ticks)
{
    ThreadRecord* self = Current();
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    WaitLocked(lock, self, nullptr, 0, WaitAny, NowLocked() + ticks, DelayExecution);
    if (!s.RealTime) {
        SettleLocked(lock, self);
    }
}

}  // namespace

void RunFor(std::chrono::nanoseconds duration) { Delay(std::max<int64_t>(ToTicks(duration), 0)); }

bool RunUntil(const std::function<bool()>& condition, std::chrono::nanoseconds limit, std::chrono::nanoseconds step)
{
    const int64_t end = ClockNow() + ToTicks(limit);
    const int64_t stepTicks = std::max<int64_t>(ToTicks(step), 1);
    for (;;) {
        if (condition()) {
            return true;
        }
        const int64_t now = ClockNow();
        if (now >= end) {
            return false;
        }
        Delay(std::min(stepTicks, end - now));
    }
}

void SetRealTime(bool realTime)
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    NowLocked();
    if (realTime && !s.RealTime) {
        EnsureServiceLocked();
        s.RealBase = std::chrono::steady_clock::now();
        s.RealOffset = s.Now;
    }
    s.RealTime = realTime;
    s.ServiceCv.notify_all();
    if (!realTime) {
        KickLocked();
    }
}

bool IsRealTime()
{
    Guard lock(Sched().Lock);
    return Sched().RealTime;
}

std::string MachineDescribeWaits()
{
    Guard lock(Sched().Lock);
    return DescribeLocked();
}

void SetDeadlockTimeout(std::chrono::milliseconds timeout)
{
    Guard lock(Sched().Lock);
    Sched().DeadlockTimeout = timeout;
}

ClientThreadScope::ClientThreadScope(const char* name)
{
    ThreadRecord* self = Current();
    Guard lock(Sched().Lock);
    m_registered = !self->Known;
    if (m_registered) {
        self->Client = true;
        self->Name = name != nullptr ? name : "client";
        RegisterKnownLocked(self);
    }
}

ClientThreadScope::~ClientThreadScope()
{
    if (m_registered) {
        ThreadRecord* self = Current();
        Guard lock(Sched().Lock);
        self->Client = false;
        UnregisterKnownLocked(self);
    }
}

ExternalWaitScope::ExternalWaitScope()
{
    ThreadRecord* self = Current();
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    m_counted = self->Known && self->State == RunState::Running;
    if (m_counted) {
        self->State = RunState::External;
        --s.Runnable;
        ++s.Progress;
        s.QuiescentCv.notify_all();
        KickLocked();
    }
}

ExternalWaitScope::~ExternalWaitScope()
{
    if (m_counted) {
        ThreadRecord* self = Current();
        SchedulerState& s = Sched();
        Guard lock(s.Lock);
        if (self->State == RunState::External) {
            self->State = RunState::Running;
            ++s.Runnable;
            ++s.Progress;
        }
    }
}

void MachineCheckClean()
{
    SchedulerState& s = Sched();
    ThreadRecord* self = Current();
    {
        Guard lock(s.Lock);
        SettleLocked(lock, self);
        for (ThreadRecord* t : s.SystemThreads) {
            if (t->State != RunState::Exited && !t->Abandoned) {
                VerifierFault("THREAD_LEAK", "system thread %llu '%s' still running at the end of the test",
                              static_cast<unsigned long long>(t->Id), t->Name.c_str());
            }
        }
        if (!s.Timers.empty()) {
            VerifierFault("TIMER_LEAK", "%zu timer(s) still set at the end of the test", s.Timers.size());
        }
    }
    if (HandleCount() != 0) {
        VerifierFault("HANDLE_LEAK", "%zu handle(s) left open at the end of the test", HandleCount());
    }
    if (CallbackRegistrationTotal() != 0) {
        VerifierFault("CALLBACK_LEAK", "%zu callback registration(s) left at the end of the test",
                      CallbackRegistrationTotal());
    }
}

void MachineReset()
{
    SchedulerState& s = Sched();
    ThreadRecord* self = Current();
    {
        Guard lock(s.Lock);
        EnsureServiceLocked();
        if (!SettleLocked(lock, self)) {
            VerifierFault("THREAD_BUSY", "threads still running when the machine was reset:\n%s",
                          DescribeLocked().c_str());
        }
        // Leftover threads are abandoned where they are: nothing will wake them again.
        std::vector<ThreadRecord*> keep;
        for (ThreadRecord* t : std::vector<ThreadRecord*>(s.Known)) {
            if (t == self || t->Internal) {
                continue;
            }
            t->Abandoned = t->System;
            if (t->State == RunState::Waiting) {
                s.Waiters.erase(std::find(s.Waiters.begin(), s.Waiters.end(), t));
                t->State = RunState::Running;  // not counted any more; never woken
                t->Known = false;
                s.Known.erase(std::find(s.Known.begin(), s.Known.end(), t));
            } else {
                UnregisterKnownLocked(t);
            }
        }
        for (ThreadRecord* t : s.SystemThreads) {
            if (t->State != RunState::Exited) {
                t->Abandoned = true;
            }
        }
        s.SystemThreads.erase(std::remove_if(s.SystemThreads.begin(), s.SystemThreads.end(),
                                             [](ThreadRecord* t) { return t->Abandoned; }),
                              s.SystemThreads.end());
        s.Timers.clear();
        ResetDpcLocked();
        ResetWorkQueuesLocked();
        s.Now = 0;
        s.RealTime = false;
        s.Stalled = false;
        s.DeadlockTimeout = std::chrono::milliseconds(5000);
        s.ThreadFailCount = 0;
        ++s.Progress;
        self->Client = true;
        if (self->Name == "thread") {
            self->Name = "test";
        }
        RegisterKnownLocked(self);
    }
    IrqlSetRaw(PASSIVE_LEVEL);
    ObReset();
    CallbackReset();
    LockOrderReset();
    TimeReset();
    DebugReset();
}

}  // namespace platform
