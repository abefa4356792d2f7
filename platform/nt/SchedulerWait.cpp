// The wait core: satisfying waits, firing timers, moving the virtual clock, delays.
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

namespace platform::detail {
namespace {

// Virtual time the clock may run ahead, with nobody woken, before the machine counts as stalled
// (a forgotten periodic timer must not spin the clock forever under a deadlock).
constexpr int64_t STALL_HORIZON = 24LL * 3600 * 10000000;

bool IsSignalledFor(const DISPATCHER_HEADER* h, const ThreadRecord* t)
{
    if (h->Type == MutantObject) {
        const auto* m = reinterpret_cast<const KMUTEX*>(h);
        return h->SignalState > 0 || m->OwnerThread == t;
    }
    return h->SignalState > 0;
}

// Takes what a satisfied wait takes of the object; true when it was a mutex abandoned by a thread
// that ended owning it.
bool Consume(DISPATCHER_HEADER* h, ThreadRecord* t)
{
    switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        h->SignalState = 0;
        break;
    case SemaphoreObject:
        h->SignalState -= 1;
        break;
    case MutantObject: {
        auto* m = reinterpret_cast<KMUTEX*>(h);
        const bool abandoned = m->Abandoned != FALSE;
        if (h->SignalState == 1) {
            t->OwnedMutexes.push_back(m);
        }
        h->SignalState -= 1;
        m->OwnerThread = t;
        m->Abandoned = FALSE;
        return abandoned;
    }
    default:
        break;
    }
    return false;
}

bool TrySatisfy(ThreadRecord* t, DISPATCHER_HEADER** objects, ULONG count, WAIT_TYPE type, NTSTATUS* status)
{
    if (count == 0) {
        return false;
    }
    if (type == WaitAny) {
        for (ULONG i = 0; i < count; ++i) {
            if (IsSignalledFor(objects[i], t)) {
                const bool abandoned = Consume(objects[i], t);
                *status = (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + static_cast<NTSTATUS>(i);
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
    bool abandoned = false;
    for (ULONG i = 0; i < count; ++i) {
        abandoned = Consume(objects[i], t) || abandoned;
    }
    *status = abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
    return true;
}


int64_t NextWaiterDeadlineLocked()
{
    int64_t next = NO_DEADLINE;
    for (ThreadRecord* t : Sched().Waiters) {
        next = std::min(next, t->Deadline);
    }
    return next;
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

}  // namespace

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

int64_t NextDeadlineLocked()
{
    SchedulerState& s = Sched();
    const int64_t timer = s.Timers.empty() ? NO_DEADLINE : s.Timers.begin()->first.first;
    return std::min(timer, NextWaiterDeadlineLocked());
}

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

int64_t NowLocked()
{
    SchedulerState& s = Sched();
    if (s.RealTime) {
        const auto elapsed = std::chrono::steady_clock::now() - s.RealBase;
        s.Now = std::max(s.Now, s.RealOffset + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
    }
    return s.Now;
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
    t->Calls.store(t->Calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
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

void StallLocked(int64_t ticks)
{
    SchedulerState& s = Sched();
    const int64_t target = NowLocked() + ticks;
    if (!s.RealTime) {
        for (int64_t next = NextDeadlineLocked(); next <= target; next = NextDeadlineLocked()) {
            s.Now = std::max(s.Now, next);
            ExpireDueLocked();
        }
        s.Now = std::max(s.Now, target);
    }
    ++s.Progress;
    s.ServiceCv.notify_all();
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
}  // namespace platform::detail

namespace platform {

using namespace detail;

int64_t ClockNow()
{
    Guard lock(Sched().Lock);
    return NowLocked();
}

namespace {

void Delay(int64_t ticks)
{
    ThreadRecord* self = KnownCaller("RunFor");
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

}  // namespace platform
