// The wait core: satisfying waits, firing timers, moving the virtual clock, delays.
#include "platform/nt/Scheduler.h"

#include <algorithm>
#include <cstdio>
#include <thread>

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

// Moves the clock to the deadlines due while no known thread can run. Paced, only to those the
// wall clock has reached; the service thread moves it on when the wall gets to the next one.
void AdvanceClockLocked()
{
    SchedulerState& s = Sched();
    const int64_t start = s.Now;
    const int64_t wall = s.RealTime ? WallLocked() : NO_DEADLINE;
    while (s.Runnable == 0) {
        const int64_t next = NextDeadlineLocked();
        if (next == NO_DEADLINE || next > wall) {
            break;
        }
        // Only timers left, firing for nobody: a periodic timer must not spin the clock forever.
        if (next - start > STALL_HORIZON && NextWaiterDeadlineLocked() == NO_DEADLINE) {
            s.Stalled = true;
            break;
        }
        if (s.RealTime && next > s.Now) {
            s.MaxBehind = std::max(s.MaxBehind, wall - next);
        }
        s.Now = std::max(s.Now, next);
        ExpireDueLocked();
    }
    s.ServiceCv.notify_all();
}

// Whether every thread woken since `serial` (and the threads they woke in turn) has run on to its
// next wait, or spins waiting for another thread.
bool WokenSettledLocked(const ThreadRecord* self, uint64_t serial)
{
    SchedulerState& s = Sched();
    if (s.Finishing != 0) {
        return false;
    }
    for (const ThreadRecord* t : s.Known) {
        if (t != self && t->WokenSerial > serial && t->State == RunState::Running && !t->Spinning) {
            return false;
        }
    }
    return true;
}

}  // namespace

void WakeLocked(ThreadRecord* t, NTSTATUS status)
{
    SchedulerState& s = Sched();
    s.Waiters.erase(std::find(s.Waiters.begin(), s.Waiters.end(), t));
    t->State = RunState::Running;
    t->Woken = true;
    t->WaitStatus = status;
    t->WokenSerial = ++s.WakeSerial;
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

int64_t NowLocked() { return Sched().Now; }

int64_t WallLocked()
{
    SchedulerState& s = Sched();
    const auto elapsed = std::chrono::steady_clock::now() - s.RealBase;
    return s.RealOffset + std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

void KickLocked()
{
    SchedulerState& s = Sched();
    if (s.Runnable == 0 && !s.Stalled) {
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
    auto progress = [t] { t->Calls.store(t->Calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); };
    if (TrySatisfy(t, objects, count, type, &status)) {
        progress();
        return status;
    }
    // A zero time-out that finds nothing, or a zero delay, only polls: not progress.
    const bool poll = deadline != NO_DEADLINE && deadline <= NowLocked();
    if (poll && count != 0) {
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
    if (!poll) {
        progress();
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
    KickLocked();
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

void StallLocked(Guard& lock, ThreadRecord* self, int64_t ticks)
{
    SchedulerState& s = Sched();
    const int64_t target = s.Now + ticks;
    if (s.RealTime && WallLocked() < target) {
        // A busy processor: the wall clock passes while it spins.
        self->Spinning = true;
        lock.unlock();
        const auto until = s.RealBase + std::chrono::nanoseconds((target - s.RealOffset) * 100);
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        lock.lock();
        self->Spinning = false;
    }
    for (int64_t next = NextDeadlineLocked(); next <= std::max(target, s.Now); next = NextDeadlineLocked()) {
        const uint64_t serial = s.WakeSerial;
        s.Now = std::max(s.Now, next);
        ExpireDueLocked();
        // What fell due runs (on another processor) before the clock moves further, so that a
        // stall loop waiting for a timer's DPC sees it once the stall has crossed the timer.
        if (s.WakeSerial != serial) {
            self->Spinning = true;
            const auto limit = std::chrono::steady_clock::now() + s.DeadlockTimeout;
            while (!WokenSettledLocked(self, serial) && std::chrono::steady_clock::now() < limit) {
                s.QuiescentCv.wait_for(lock, std::chrono::milliseconds(1));
            }
            self->Spinning = false;
        }
    }
    s.Now = std::max(s.Now, target);
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

void Delay(const char* call, int64_t ticks)
{
    ThreadRecord* self = KnownCaller(call, true);
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    WaitLocked(lock, self, nullptr, 0, WaitAny, NowLocked() + ticks, DelayExecution);
    if (!s.RealTime) {
        SettleLocked(lock, self);
    }
}

}  // namespace

void RunFor(std::chrono::nanoseconds duration) { Delay("RunFor", std::max<int64_t>(ToTicks(duration), 0)); }

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
        Delay("RunUntil", std::min(stepTicks, end - now));
    }
}

void SetRealTime(bool realTime)
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    if (realTime && !s.RealTime) {
        EnsureServiceLocked();
        s.RealBase = std::chrono::steady_clock::now();
        s.RealOffset = s.Now;
        s.MaxBehind = 0;
    }
    s.RealTime = realTime;
    s.ServiceCv.notify_all();
    KickLocked();
}

int64_t ClockMaxBehindRealTime()
{
    Guard lock(Sched().Lock);
    return Sched().MaxBehind;
}

int64_t ClockBehindRealTime()
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    return s.RealTime ? std::max<int64_t>(WallLocked() - s.Now, 0) : 0;
}

bool IsRealTime()
{
    Guard lock(Sched().Lock);
    return Sched().RealTime;
}

}  // namespace platform
