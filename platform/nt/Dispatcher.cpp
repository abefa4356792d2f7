#include "platform/nt/Dispatcher.h"

#include <algorithm>
#include <cstdio>

#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/ObjectCheck.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Scheduler.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Verifier.h"

using namespace platform::detail;

namespace {

bool IsWaitable(const DISPATCHER_HEADER* h)
{
    switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        return true;
    default:
        return false;
    }
}

// After a wait that acquired mutexes: the first acquisition of each enters the lock-order check.
void NoteMutexesAcquired(DISPATCHER_HEADER** objects, ULONG count, WAIT_TYPE type, NTSTATUS status)
{
    NTSTATUS base = STATUS_WAIT_0;
    if (status >= STATUS_ABANDONED_WAIT_0 && status < STATUS_ABANDONED_WAIT_0 + static_cast<NTSTATUS>(count)) {
        base = STATUS_ABANDONED_WAIT_0;
    } else if (status < STATUS_WAIT_0 || status >= STATUS_WAIT_0 + static_cast<NTSTATUS>(count)) {
        return;
    }
    ULONG first = type == WaitAny ? static_cast<ULONG>(status - base) : 0;
    ULONG last = type == WaitAny ? first + 1 : count;
    for (ULONG i = first; i < last; ++i) {
        if (objects[i]->Type == MutantObject) {
            LONG state;
            {
                Guard lock(Sched().Lock);
                state = objects[i]->SignalState;
            }
            if (state == 0) {
                platform::LockNoteAcquired(objects[i]);
            }
        }
    }
}

// Wait TRUE on a set or release: the caller runs on at DISPATCH_LEVEL, as if it still held the
// dispatcher lock, and its next kernel call must be a wait (which returns it to its own IRQL).
void KeepForWait(ThreadRecord* self, const char* operation)
{
    // Only a thread that may wait next may ask for it: at most APC_LEVEL, never in a DPC.
    char call[64];
    std::snprintf(call, sizeof call, "%s with Wait TRUE", operation);
    platform::IrqlCheckAtMost(APC_LEVEL, call);
    self->WaitIrql = KeGetCurrentIrql();
    self->MustWait = true;
    platform::IrqlSetRaw(DISPATCH_LEVEL);
}

void RemoveTimerLocked(KTIMER* timer)
{
    auto& timers = Sched().Timers;
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->second == timer) {
            timers.erase(it);
            break;
        }
    }
}

}  // namespace

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Guard lock(Sched().Lock);
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = sizeof(KEVENT);
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    platform::ObjectInitialised(Event, platform::KernelObjectKind::Event);
}

namespace {
// Signals the event (waking whom it can) and, for a pulse, resets it again; the previous state.
LONG SetEvent(PRKEVENT Event, bool pulse, bool wait, const char* operation)
{
    ThreadRecord* self = KnownCaller(operation);
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, operation);
    if (!platform::ObjectCheckInitialised(Event, platform::KernelObjectKind::Event, operation)) return 0;
    LONG previous;
    {
        Guard lock(Sched().Lock);
        previous = Event->Header.SignalState;
        SignalEventLocked(Event);
        if (pulse) {
            Event->Header.SignalState = 0;
        }
    }
    if (wait) {
        KeepForWait(self, operation);
    }
    return previous;
}
}  // namespace

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    return SetEvent(Event, false, Wait != FALSE, "KeSetEvent");
}

VOID KeClearEvent(PRKEVENT Event)
{
    Guard lock(Sched().Lock);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "KeResetEvent");
    Guard lock(Sched().Lock);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    Guard lock(Sched().Lock);
    return Event->Header.SignalState;
}

LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    return SetEvent(Event, true, Wait != FALSE, "KePulseEvent");
}

VOID KeInitializeMutex(PKMUTEX Mutex, ULONG Level)
{
    Guard lock(Sched().Lock);
    Mutex->Header.Type = MutantObject;
    Mutex->Header.Absolute = 0;
    Mutex->Header.Size = sizeof(KMUTEX);
    Mutex->Header.Inserted = 0;
    Mutex->Header.SignalState = 1;
    Mutex->OwnerThread = nullptr;
    Mutex->Level = Level;
    Mutex->Abandoned = FALSE;
    platform::ObjectInitialised(Mutex, platform::KernelObjectKind::Mutex);
}

LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN Wait)
{
    ThreadRecord* self = KnownCaller("KeReleaseMutex");
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    if (!platform::ObjectCheckInitialised(Mutex, platform::KernelObjectKind::Mutex, "KeReleaseMutex")) return 0;
    LONG previous;
    bool released;
    {
        Guard lock(Sched().Lock);
        previous = Mutex->Header.SignalState;
        if (Mutex->OwnerThread != self || previous > 0) {
            platform::VerifierFault("MUTEX_NOT_OWNED", "mutex %p released by thread %llu, which does not own it",
                                    static_cast<void*>(Mutex), static_cast<unsigned long long>(self->Id));
            return previous;
        }
        Mutex->Header.SignalState += 1;
        released = Mutex->Header.SignalState == 1;
        if (released) {
            Mutex->OwnerThread = nullptr;
            auto& owned = self->OwnedMutexes;
            owned.erase(std::remove(owned.begin(), owned.end(), Mutex), owned.end());
            WakeWaitersLocked();
        }
    }
    if (released) {
        platform::LockNoteReleased(Mutex);
    }
    if (Wait) {
        KeepForWait(self, "KeReleaseMutex");
    }
    return previous;
}

LONG KeReadStateMutex(PKMUTEX Mutex)
{
    Guard lock(Sched().Lock);
    return Mutex->Header.SignalState;
}

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    if (Count < 0 || Limit <= 0 || Count > Limit) {
        platform::VerifierFault("SEMAPHORE_PARAMETERS", "semaphore %p initialised with count %d and limit %d",
                                static_cast<void*>(Semaphore), Count, Limit);
    }
    Guard lock(Sched().Lock);
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.Absolute = 0;
    Semaphore->Header.Size = sizeof(KSEMAPHORE);
    Semaphore->Header.Inserted = 0;
    Semaphore->Header.SignalState = Count;
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    ThreadRecord* self = KnownCaller("KeReleaseSemaphore");
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    LONG previous;
    {
        Guard lock(Sched().Lock);
        previous = Semaphore->Header.SignalState;
        if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
            platform::VerifierFault("SEMAPHORE_LIMIT", "semaphore %p released by %d at count %d (limit %d)",
                                    static_cast<void*>(Semaphore), Adjustment, previous, Semaphore->Limit);
            return previous;
        }
        Semaphore->Header.SignalState = previous + Adjustment;
        WakeWaitersLocked();
    }
    if (Wait) {
        KeepForWait(self, "KeReleaseSemaphore");
    }
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    Guard lock(Sched().Lock);
    return Semaphore->Header.SignalState;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    Guard lock(Sched().Lock);
    platform::ObjectCheckReinitialise(Timer, platform::KernelObjectKind::Timer);
    RemoveTimerLocked(Timer);  // re-initialising a set timer must not leave it queued
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = sizeof(KTIMER);
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    Timer->DueTime = 0;
    Timer->Period = 0;
    Timer->Dpc = nullptr;
    Timer->Sequence = 0;
    platform::ObjectInitialised(Timer, platform::KernelObjectKind::Timer);
}

namespace {

// KeSetTimer and KeSetTimerEx; `call` names the one the caller made.
BOOLEAN SetTimer(const char* call, PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    KnownCaller(call);
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, call);
    if (!platform::ObjectCheckInitialised(Timer, platform::KernelObjectKind::Timer, call)) return FALSE;
    if (Dpc && !platform::ObjectCheckInitialised(Dpc, platform::KernelObjectKind::Dpc, call)) return FALSE;
    if (Period < 0) {
        platform::VerifierFault("TIMER_PERIOD", "negative timer period %d", Period);
        Period = 0;
    }
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    const bool wasSet = Timer->Header.Inserted != 0;
    RemoveTimerLocked(Timer);
    Timer->Header.Absolute = DueTime.QuadPart > 0 ? 1 : 0;
    Timer->Header.SignalState = 0;
    Timer->DueTime = DueTime.QuadPart == 0 ? NowLocked() : DeadlineFromTimeoutLocked(DueTime.QuadPart);
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Sequence = ++s.TimerSequence;
    Timer->Header.Inserted = 1;
    s.Timers.emplace(std::make_pair(Timer->DueTime, Timer->Sequence), Timer);
    s.ServiceCv.notify_all();
    KickLocked();
    return wasSet ? TRUE : FALSE;
}

}  // namespace

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return SetTimer("KeSetTimer", Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    return SetTimer("KeSetTimerEx", Timer, DueTime, Period, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    Guard lock(Sched().Lock);
    const bool wasSet = Timer->Header.Inserted != 0;
    RemoveTimerLocked(Timer);
    Timer->Header.Inserted = 0;
    return wasSet ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    Guard lock(Sched().Lock);
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

namespace {

// KeWaitForSingleObject and KeWaitForMultipleObjects; `call` names the one the caller made.
NTSTATUS WaitForObjects(const char* call, ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                        PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray)
{
    ThreadRecord* self = KnownCaller(call, true);
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || Object == nullptr) {
        platform::VerifierFault("WAIT_PARAMETERS", "wait on %u objects", Count);
        return STATUS_INVALID_PARAMETER;
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        platform::VerifierFault("WAIT_BLOCKS", "wait on %u objects without a wait block array", Count);
    }
    if (Timeout == nullptr || Timeout->QuadPart != 0) {
        if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
            platform::VerifierFault("IRQL_WAIT", "wait with a %s time-out at IRQL %u",
                                    Timeout == nullptr ? "infinite" : "non-zero", KeGetCurrentIrql());
        }
    }
    DISPATCHER_HEADER* objects[MAXIMUM_WAIT_OBJECTS];
    for (ULONG i = 0; i < Count; ++i) {
        objects[i] = static_cast<DISPATCHER_HEADER*>(Object[i]);
        if (objects[i] == nullptr || !IsWaitable(objects[i])) {
            platform::VerifierFault("WAIT_OBJECT", "object %u (%p) is not a dispatcher object", i, Object[i]);
            return STATUS_INVALID_PARAMETER;
        }
        if (!platform::ObjectCheckWaitable(objects[i], call)) return STATUS_INVALID_PARAMETER;
    }
    // A mutex this wait may block on enters the lock-order check before the thread blocks.
    if (Count == 1 || WaitType == WaitAll) {
        for (ULONG i = 0; i < Count; ++i) {
            if (objects[i]->Type == MutantObject) {
                bool owned;
                {
                    Guard lock(Sched().Lock);
                    owned = reinterpret_cast<KMUTEX*>(objects[i])->OwnerThread == self;
                }
                if (!owned) {
                    platform::LockNoteAcquiring(objects[i]);
                }
            }
        }
    }
    NTSTATUS status;
    {
        Guard lock(Sched().Lock);
        const int64_t deadline = Timeout == nullptr ? NO_DEADLINE : DeadlineFromTimeoutLocked(Timeout->QuadPart);
        status = WaitLocked(lock, self, objects, Count, WaitType, deadline, WaitReason);
    }
    NoteMutexesAcquired(objects, Count, WaitType, status);
    return status;
}

}  // namespace

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    return WaitForObjects("KeWaitForMultipleObjects", Count, Object, WaitType, WaitReason, Timeout, WaitBlockArray);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    PVOID objects[1] = {Object};
    KWAIT_BLOCK block{};
    return WaitForObjects("KeWaitForSingleObject", 1, objects, WaitAny, WaitReason, Timeout, &block);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    ThreadRecord* self = KnownCaller("KeDelayExecutionThread", true);
    if (Interval == nullptr) {
        platform::VerifierFault("WAIT_PARAMETERS", "KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        platform::VerifierFault("IRQL_WAIT", "KeDelayExecutionThread at IRQL %u", KeGetCurrentIrql());
    }
    Guard lock(Sched().Lock);
    // A zero interval yields: the thread waits until nothing else can run, without time passing.
    const int64_t deadline = Interval->QuadPart == 0 ? NowLocked() : DeadlineFromTimeoutLocked(Interval->QuadPart);
    WaitLocked(lock, self, nullptr, 0, WaitAny, deadline, DelayExecution);
    return STATUS_SUCCESS;
}

namespace platform {

namespace {
void CloseEventHandle(void* object) { ObfDereferenceObject(object); }
void FreeEvent(void* object) { delete static_cast<KEVENT*>(object); }
}  // namespace

HANDLE EventHandleCreate(EVENT_TYPE type, bool initialState, PKEVENT* event)
{
    auto* e = new KEVENT();
    KeInitializeEvent(e, type, initialState ? TRUE : FALSE);
    ObRegister(e, "Event", FreeEvent);
    if (event != nullptr) {
        *event = e;
    }
    return HandleCreate(e, CloseEventHandle);
}

HANDLE EventHandleCreateInProcess(EVENT_TYPE type, bool initialState, ACCESS_MASK access, PKEVENT* event)
{
    auto* e = new KEVENT();
    KeInitializeEvent(e, type, initialState ? TRUE : FALSE);
    ObRegister(e, "Event", FreeEvent);
    if (event != nullptr) {
        *event = e;
    }
    return HandleCreateInProcess(e, CloseEventHandle, CurrentProcess(), access);
}

}  // namespace platform
