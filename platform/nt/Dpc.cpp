#include "platform/nt/Dpc.h"

#include <algorithm>

#include "platform/nt/Irql.h"
#include "platform/nt/ObjectCheck.h"
#include "platform/nt/Scheduler.h"
#include "platform/nt/Verifier.h"

using namespace platform::detail;

namespace {

// Marks a queued DPC (DpcData); the queue itself is the authority.
char g_queuedMarker;

void SetIdleIfDoneLocked()
{
    SchedulerState& s = Sched();
    if (s.DpcQueue.empty() && !s.DpcRunning) {
        SignalEventLocked(&s.DpcIdle);
    }
}

void DpcThreadMain()
{
    SchedulerState& s = Sched();
    ThreadRecord* self = Current();
    Guard lock(s.Lock);
    for (;;) {
        if (s.DpcQueue.empty()) {
            s.DpcRunning = false;
            SetIdleIfDoneLocked();
            DISPATCHER_HEADER* work = &s.DpcWork.Header;
            WaitLocked(lock, self, &work, 1, WaitAny, NO_DEADLINE, Executive);
            continue;
        }
        KDPC* dpc = s.DpcQueue.front();
        s.DpcQueue.pop_front();
        dpc->DpcData = nullptr;
        s.DpcRunning = true;
        const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID arg1 = dpc->SystemArgument1;
        PVOID arg2 = dpc->SystemArgument2;
        lock.unlock();
        platform::IrqlSetRaw(DISPATCH_LEVEL);
        routine(dpc, context, arg1, arg2);
        if (KeGetCurrentIrql() != DISPATCH_LEVEL || platform::IrqlHeldSpinLocks() != 0) {
            platform::VerifierFault("DPC_IRQL", "DPC routine returned at IRQL %u holding %d spin lock(s)",
                                    KeGetCurrentIrql(), platform::IrqlHeldSpinLocks());
        }
        platform::IrqlSetRaw(PASSIVE_LEVEL);
        lock.lock();
    }
}

}  // namespace

namespace platform::detail {

void EnsureDpcThreadLocked()
{
    SchedulerState& s = Sched();
    if (s.DpcThread == nullptr) {
        auto* t = new ThreadRecord();
        t->Internal = true;
        t->Name = "dpc";
        s.DpcThread = StartThreadLocked(t, DpcThreadMain);
        t->Os.detach();
    }
}

bool InsertDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2)
{
    SchedulerState& s = Sched();
    if (std::find(s.DpcQueue.begin(), s.DpcQueue.end(), dpc) != s.DpcQueue.end()) {
        return false;
    }
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = &g_queuedMarker;
    s.DpcQueue.push_back(dpc);
    s.DpcIdle.Header.SignalState = 0;
    EnsureDpcThreadLocked();
    SignalEventLocked(&s.DpcWork);
    return true;
}

void ResetDpcLocked()
{
    SchedulerState& s = Sched();
    s.DpcQueue.clear();
    SetIdleIfDoneLocked();
}

}  // namespace platform::detail

VOID KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    platform::ObjectCheckReinitialise(Dpc, platform::KernelObjectKind::Dpc);
    s.DpcQueue.erase(std::remove(s.DpcQueue.begin(), s.DpcQueue.end(), Dpc), s.DpcQueue.end());
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

VOID KeSetTargetProcessorDpc(PKDPC Dpc, CHAR Number) { Dpc->Number = static_cast<USHORT>(Number); }

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
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
    SchedulerState& s = Sched();
    Guard lock(s.Lock);
    auto it = std::find(s.DpcQueue.begin(), s.DpcQueue.end(), Dpc);
    if (it == s.DpcQueue.end()) {
        return FALSE;
    }
    s.DpcQueue.erase(it);
    Dpc->DpcData = nullptr;
    SetIdleIfDoneLocked();
    return TRUE;
}

VOID KeFlushQueuedDpcs()
{
    if (!platform::IrqlCheckAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs")) {
        return;
    }
    SchedulerState& s = Sched();
    ThreadRecord* self = Current();
    Guard lock(s.Lock);
    DISPATCHER_HEADER* idle = &s.DpcIdle.Header;
    WaitLocked(lock, self, &idle, 1, WaitAny, NO_DEADLINE, Executive);
}

namespace platform {
size_t DpcQueueLength()
{
    Guard lock(Sched().Lock);
    return Sched().DpcQueue.size();
}
}  // namespace platform
