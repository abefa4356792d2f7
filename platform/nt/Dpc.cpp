#include "platform/nt/Dpc.h"

#include <algorithm>
#include <thread>

#include "platform/nt/Irql.h"
#include "platform/nt/Machine.h"
#include "platform/nt/ObjectCheck.h"
#include "platform/nt/Scheduler.h"
#include "platform/nt/Verifier.h"

using namespace platform::detail;

namespace {

// Marks a queued DPC (DpcData); the queues themselves are the authority.
char g_queuedMarker;
// The simulated processor a DPC thread serves (-1 on every other thread).
thread_local int t_processor = -1;

// A DPC thread's own processor; every other thread is pinned to one by its id.
int CurrentProcessorLocked()
{
    const int count = Sched().ProcessorCount;
    if (t_processor >= 0) {
        return std::min(t_processor, count - 1);
    }
    const ThreadRecord* self = CurrentIfAny();
    return self == nullptr ? 0 : static_cast<int>(self->Id % static_cast<uint64_t>(count));
}

bool AllIdleLocked()
{
    SchedulerState& s = Sched();
    for (int i = 0; i < s.ProcessorsStarted; ++i) {
        if (!s.Processors[i].Queue.empty() || s.Processors[i].Running != nullptr) {
            return false;
        }
    }
    return true;
}

void SetIdleIfDoneLocked()
{
    if (AllIdleLocked()) {
        SignalEventLocked(&Sched().DpcIdle);
    }
}

// Finds the queue holding the DPC (null when it is not queued).
std::deque<KDPC*>* QueueOfLocked(KDPC* dpc)
{
    SchedulerState& s = Sched();
    for (int i = 0; i < s.ProcessorsStarted; ++i) {
        std::deque<KDPC*>& queue = s.Processors[i].Queue;
        if (std::find(queue.begin(), queue.end(), dpc) != queue.end()) {
            return &queue;
        }
    }
    return nullptr;
}

void DpcThreadMain(DpcProcessor* p, int number)
{
    SchedulerState& s = Sched();
    ThreadRecord* self = Current();
    t_processor = number;
    Guard lock(s.Lock);
    for (;;) {
        if (p->Queue.empty()) {
            SetIdleIfDoneLocked();
            DISPATCHER_HEADER* work = &p->Work.Header;
            self->IdleWait = true;
            WaitLocked(lock, self, &work, 1, WaitAny, NO_DEADLINE, Executive);
            self->IdleWait = false;
            continue;
        }
        KDPC* dpc = p->Queue.front();
        p->Queue.pop_front();
        dpc->DpcData = nullptr;
        p->Running = dpc;
        const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID arg1 = dpc->SystemArgument1;
        PVOID arg2 = dpc->SystemArgument2;
        std::chrono::milliseconds hold{0};
        if (s.Now >= s.DpcHoldAt) {
            hold = s.DpcHold;
            s.DpcHoldAt = NO_DEADLINE;
        }
        lock.unlock();
        if (hold.count() > 0) {
            std::this_thread::sleep_for(hold);  // running all the while: the clock waits for it
        }
        platform::IrqlSetRaw(DISPATCH_LEVEL);
        routine(dpc, context, arg1, arg2);
        CheckWaitTrueAtReturn(self, "DPC", reinterpret_cast<const void*>(routine));
        if (KeGetCurrentIrql() != DISPATCH_LEVEL || platform::IrqlHeldSpinLocks() != 0) {
            platform::VerifierFault("DPC_IRQL", "DPC routine %p returned at IRQL %u holding %d spin lock(s)",
                                    reinterpret_cast<void*>(routine), KeGetCurrentIrql(),
                                    platform::IrqlHeldSpinLocks());
        }
        platform::IrqlSetRaw(PASSIVE_LEVEL);
        lock.lock();
        p->Running = nullptr;
    }
}

void EnsureDpcThreadLocked(int number)
{
    SchedulerState& s = Sched();
    DpcProcessor& p = s.Processors[number];
    if (p.Thread == nullptr) {
        s.ProcessorsStarted = std::max(s.ProcessorsStarted, number + 1);
        auto* t = new ThreadRecord();
        t->Internal = true;
        t->Name = "dpc" + std::to_string(number);
        DpcProcessor* pp = &p;
        p.Thread = StartThreadLocked(t, [pp, number] { DpcThreadMain(pp, number); });
        t->Os.detach();
    }
}

// The processor a DPC runs on: the one it is running on now (a DPC is never concurrent with
// itself), else its target, else the processor of the thread that queues it (a DPC thread's own;
// every other thread is pinned to one by its id, so a timer or a completion keeps its processor
// while DPCs queued by different threads run side by side).
int ProcessorForLocked(const KDPC* dpc)
{
    SchedulerState& s = Sched();
    for (int i = 0; i < s.ProcessorsStarted; ++i) {
        if (s.Processors[i].Running == dpc) {
            return i;
        }
    }
    if (dpc->Number != 0) {
        return std::min<int>(dpc->Number - 1, s.ProcessorCount - 1);
    }
    return CurrentProcessorLocked();
}

}  // namespace

namespace platform::detail {

bool InsertDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2)
{
    SchedulerState& s = Sched();
    if (QueueOfLocked(dpc) != nullptr) {
        return false;
    }
    const int number = ProcessorForLocked(dpc);
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = &g_queuedMarker;
    DpcProcessor& p = s.Processors[number];
    p.Queue.push_back(dpc);
    s.DpcIdle.Header.SignalState = 0;
    EnsureDpcThreadLocked(number);
    SignalEventLocked(&p.Work);
    return true;
}

void ResetDpcLocked()
{
    SchedulerState& s = Sched();
    for (DpcProcessor& p : s.Processors) {
        p.Queue.clear();
    }
    s.ProcessorCount = DEFAULT_PROCESSORS;
    SetIdleIfDoneLocked();
}

size_t DpcBusyLocked()
{
    size_t n = 0;
    for (const DpcProcessor& p : Sched().Processors) {
        n += p.Queue.size() + (p.Running != nullptr ? 1 : 0);
    }
    return n;
}

}  // namespace platform::detail

VOID KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    platform::ObjectCheckReinitialise(Dpc, platform::KernelObjectKind::Dpc);
    if (std::deque<KDPC*>* queue = QueueOfLocked(Dpc)) {
        queue->erase(std::remove(queue->begin(), queue->end(), Dpc), queue->end());
    }
    Dpc->Type = 19;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
    platform::ObjectInitialised(Dpc, platform::KernelObjectKind::Dpc);
    SetIdleIfDoneLocked();
}

VOID KeSetImportanceDpc(PKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

VOID KeSetTargetProcessorDpc(PKDPC Dpc, CHAR Number)
{
    if (Number < 0 || Number >= MAX_PROCESSORS) {
        platform::VerifierFault("DPC_PROCESSOR", "DPC %p targeted at processor %d", static_cast<void*>(Dpc), Number);
        return;
    }
    Dpc->Number = static_cast<USHORT>(Number + 1);
}

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    KnownCaller("KeInsertQueueDpc");
    platform::IrqlCheckAtMost(HIGH_LEVEL, "KeInsertQueueDpc");
    if (!platform::ObjectCheckInitialised(Dpc, platform::KernelObjectKind::Dpc, "KeInsertQueueDpc")) return FALSE;
    if (Dpc->DeferredRoutine == nullptr) {
        platform::VerifierFault("DPC_UNINITIALIZED", "DPC %p queued without a routine", static_cast<void*>(Dpc));
        return FALSE;
    }
    Guard lock(Sched().Lock);
    return InsertDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PKDPC Dpc)
{
    Guard lock(Sched().Lock);
    std::deque<KDPC*>* queue = QueueOfLocked(Dpc);
    if (queue == nullptr) {
        return FALSE;
    }
    queue->erase(std::find(queue->begin(), queue->end(), Dpc));
    Dpc->DpcData = nullptr;
    SetIdleIfDoneLocked();
    return TRUE;
}

VOID KeFlushQueuedDpcs()
{
    ThreadRecord* self = KnownCaller("KeFlushQueuedDpcs", true);
    if (!platform::IrqlCheckAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs")) {
        return;
    }
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    DISPATCHER_HEADER* idle = &s.DpcIdle.Header;
    WaitLocked(lock, self, &idle, 1, WaitAny, NO_DEADLINE, Executive);
}

ULONG KeGetCurrentProcessorNumber()
{
    Guard lock(Sched().Lock);
    return static_cast<ULONG>(CurrentProcessorLocked());
}

CHAR KeQueryNumberProcessors()
{
    Guard lock(Sched().Lock);
    return static_cast<CHAR>(Sched().ProcessorCount);
}

namespace platform {

void HoldDpcAt(int64_t at, std::chrono::milliseconds hold)
{
    Guard lock(Sched().Lock);
    Sched().DpcHoldAt = at;
    Sched().DpcHold = hold;
}

size_t DpcQueueLength()
{
    Guard lock(Sched().Lock);
    size_t n = 0;
    for (const DpcProcessor& p : Sched().Processors) {
        n += p.Queue.size();
    }
    return n;
}

void SetProcessorCount(int count)
{
    if (count < 1 || count > MAX_PROCESSORS) {
        VerifierFault("DPC_PROCESSOR", "processor count %d out of range", count);
        return;
    }
    Guard lock(Sched().Lock);
    Sched().ProcessorCount = count;
}

}  // namespace platform
