// The machine's threads: the records of known threads, client threads, starting and finishing
// system threads, the end-of-test check and the per-test reset.
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
#include "platform/nt/SyncMutex.h"
#include "platform/nt/Time.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/DebugHost.h"

namespace platform::detail {
namespace {

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

void AdoptRecord(ThreadRecord* rec)
{
    BindCpuClock(rec);
    t_record.Record = rec;
    t_record.Owned = true;
}

}  // namespace

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

// Waits (real time, bounded) until every other known thread is blocked or has exited, so that
// what a wake-up set in motion has happened before the caller looks.
bool SettleLocked(Guard& lock, ThreadRecord* self)
{
    SchedulerState& s = Sched();
    return s.QuiescentCv.wait_for(lock, s.DeadlockTimeout, [self] { return OthersQuiescentLocked(self); });
}

SchedulerState& Sched()
{
    static SchedulerState* state = [] {
        auto* st = new SchedulerState();  // never destroyed: threads may outlive static destruction
        for (DpcProcessor& p : st->Processors) {
            p.Work.Header.Type = EventSynchronizationObject;
        }
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
        BindCpuClock(rec);
        {
            Guard lock(Sched().Lock);
            rec->Id = Sched().NextThreadId++;
        }
        t_record.Record = rec;
        t_record.Owned = true;
    }
    return t_record.Record;
}

ThreadRecord* KnownCaller(const char* call, bool isWait)
{
    ThreadRecord* t = Current();
    if (!t->Known.load(std::memory_order_relaxed)) {
        VerifierFault("UNKNOWN_THREAD",
                      "%s called on thread %llu, which the machine does not know (a host or simulator thread must "
                      "register as a client first)",
                      call, static_cast<unsigned long long>(t->Id));
    }
    // A wait counts as progress in the wait core, unless it only polls.
    if (!isWait) {
        t->Calls.store(t->Calls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    if (t->MustWait) {
        t->MustWait = false;
        if (!isWait) {
            VerifierFault("WAIT_NEXT", "%s called after a set or release with Wait TRUE; the next call must be a wait",
                          call);
        }
        IrqlSetRaw(t->WaitIrql);
    }
    return t;
}

ThreadRecord* CurrentIfAny() { return t_record.Record; }

void CheckWaitTrueAtReturn(ThreadRecord* t, const char* kind, const void* routine)
{
    if (t == nullptr || !t->MustWait) {
        return;
    }
    t->MustWait = false;
    VerifierFault("WAIT_NEXT", "%s routine %p returned after a set or release with Wait TRUE without the wait", kind,
                  routine);
    IrqlSetRaw(t->WaitIrql);
}

void BindCpuClock(ThreadRecord* t)
{
    if (t != nullptr) {
        clockid_t clock{};
        const bool has = pthread_getcpuclockid(pthread_self(), &clock) == 0;
        Guard lock(Sched().Lock);  // the watchdog reads it under the lock
        t->CpuClock = clock;
        t->HasCpuClock = has;
    }
}

int64_t ThreadCpuNs(const ThreadRecord* t)
{
    timespec ts{};
    if (!t->HasCpuClock || clock_gettime(t->CpuClock, &ts) != 0) {
        return 0;
    }
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SetCurrent(ThreadRecord* record)
{
    BindCpuClock(record);
    t_record.Record = record;
    t_record.Owned = false;
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
        t->WokenSerial = ++s.WakeSerial;  // a thread starting runs as one woken does
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
    // A mutex the thread still owns is abandoned: free again, and the next wait that gets it
    // learns so from its status.
    for (KMUTEX* m : t->OwnedMutexes) {
        if (m->Header.Type != MutantObject || m->OwnerThread != t) {
            continue;  // initialised again meanwhile: no longer this thread's
        }
        VerifierFault("MUTEX_ABANDONED", "thread %llu '%s' ended owning mutex %p", static_cast<unsigned long long>(t->Id),
                      t->Name.c_str(), static_cast<void*>(m));
        m->Header.SignalState = 1;
        m->OwnerThread = nullptr;
        m->Abandoned = TRUE;
    }
    t->OwnedMutexes.clear();
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

ClientThread::ClientThread(const char* name, std::function<void()> body)
{
    auto* rec = new ThreadRecord();
    rec->Header.Type = ThreadObject;
    rec->Client = true;
    rec->Name = name != nullptr ? name : "client";
    {
        Guard lock(Sched().Lock);
        rec->Id = Sched().NextThreadId++;
        RegisterKnownLocked(rec);
    }
    m_thread = std::thread([rec, body = std::move(body)] {
        AdoptRecord(rec);  // unregistered and freed when the thread ends
        body();
    });
}

ClientThread::~ClientThread() { Join(); }

void ClientThread::Join()
{
    if (m_thread.joinable()) {
        ExternalWaitScope external;
        m_thread.join();
    }
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

bool MachineSettle()
{
    ThreadRecord* self = Current();
    Guard lock(Sched().Lock);
    return SettleLocked(lock, self);
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
        if (const size_t dpcs = DpcBusyLocked()) {
            VerifierFault("DPC_AT_END", "%zu DPC(s) still queued or running at the end of the test", dpcs);
        }
        if (const size_t items = WorkItemsBusyLocked()) {
            VerifierFault("WORKITEM_AT_END", "%zu work item(s) still queued or running at the end of the test", items);
        }
    }
    if (self->MustWait) {
        self->MustWait = false;
        VerifierFault("WAIT_NEXT", "the test ended after a set or release with Wait TRUE without the wait");
        IrqlSetRaw(self->WaitIrql);
    }
    if (IrqlHeldSpinLocks() != 0) {
        VerifierFault("SPINLOCK_AT_END", "%d spin lock(s) still held at the end of the test", IrqlHeldSpinLocks());
    }
    if (RegionDepth() != 0) {
        VerifierFault("REGION_AT_END", "%d critical or guarded region(s) still entered at the end of the test",
                      RegionDepth());
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        VerifierFault("IRQL_AT_END", "IRQL %u at the end of the test", KeGetCurrentIrql());
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
        s.MaxBehind = 0;
        s.DpcHoldAt = NO_DEADLINE;
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
    IrqlResetThread();
    RegionResetThread();
    self->MustWait = false;
    ObReset();
    CallbackReset();
    LockOrderReset();
    TimeReset();
    DebugReset();
}

}  // namespace platform
