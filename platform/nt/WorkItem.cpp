#include "platform/nt/WorkItem.h"

#include <algorithm>
#include <deque>

#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/ObjectCheck.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Scheduler.h"
#include "platform/nt/Verifier.h"

using namespace platform::detail;

struct IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
    bool Queued;
};

namespace {

constexpr int QUEUE_COUNT = 3;
const char* const QUEUE_NAMES[QUEUE_COUNT] = {"worker/critical", "worker/delayed", "worker/hypercritical"};

// One worker thread per queue type, so that a blocking item of one queue does not hold up the others.
struct WorkQueue {
    std::deque<IO_WORKITEM*> Items;
    KEVENT Work{};
    ThreadRecord* Thread = nullptr;
    bool Running = false;  // a routine of this queue is running
};

WorkQueue* Queues()
{
    static WorkQueue* queues = new WorkQueue[QUEUE_COUNT];  // never destroyed, as the workers
    return queues;
}

void WorkerMain(WorkQueue* q)
{
    SchedulerState& s = Sched();
    ThreadRecord* self = Current();
    Guard lock(s.Lock);
    for (;;) {
        if (q->Items.empty()) {
            DISPATCHER_HEADER* work = &q->Work.Header;
            self->IdleWait = true;
            WaitLocked(lock, self, &work, 1, WaitAny, NO_DEADLINE, Executive);
            self->IdleWait = false;
            continue;
        }
        IO_WORKITEM* item = q->Items.front();
        q->Items.pop_front();
        item->Queued = false;
        // The routine may free the item: nothing of it is touched once the routine runs.
        PDEVICE_OBJECT device = item->DeviceObject;
        PIO_WORKITEM_ROUTINE routine = item->Routine;
        PVOID context = item->Context;
        q->Running = true;
        lock.unlock();
        routine(device, context);
        CheckWaitTrueAtReturn(self, "work item", reinterpret_cast<const void*>(routine));
        if (KeGetCurrentIrql() != PASSIVE_LEVEL || platform::IrqlHeldSpinLocks() != 0) {
            platform::VerifierFault("WORKITEM_IRQL", "work item routine returned at IRQL %u holding %d spin lock(s)",
                                    KeGetCurrentIrql(), platform::IrqlHeldSpinLocks());
            platform::IrqlSetRaw(PASSIVE_LEVEL);
        }
        ObfDereferenceObject(device);
        lock.lock();
        q->Running = false;
    }
}

}  // namespace

namespace platform::detail {
void ResetWorkQueuesLocked()
{
    for (int i = 0; i < QUEUE_COUNT; ++i) {
        Queues()[i].Items.clear();
    }
}

size_t WorkItemsFinishingLocked()
{
    size_t n = 0;
    for (int i = 0; i < QUEUE_COUNT; ++i) {
        const WorkQueue& q = Queues()[i];
        n += (q.Running && q.Thread != nullptr && q.Thread->State == RunState::Running) ? 1 : 0;
    }
    return n;
}

size_t WorkItemsBusyLocked()
{
    size_t n = 0;
    for (int i = 0; i < QUEUE_COUNT; ++i) {
        n += Queues()[i].Items.size() + (Queues()[i].Running ? 1 : 0);
    }
    return n;
}
}  // namespace platform::detail

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    auto* item = static_cast<IO_WORKITEM*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), platform::WORK_ITEM_POOL_TAG));
    if (item == nullptr) {
        return nullptr;
    }
    item->DeviceObject = DeviceObject;
    item->Routine = nullptr;
    item->Context = nullptr;
    item->Queued = false;
    return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context)
{
    KnownCaller("IoQueueWorkItem");
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    const int index = static_cast<int>(QueueType);
    if (index < 0 || index >= QUEUE_COUNT || WorkerRoutine == nullptr) {
        platform::VerifierFault("WORKITEM_PARAMETERS", "work item queued to queue %d with routine %p", index,
                                reinterpret_cast<void*>(WorkerRoutine));
        return;
    }
    SchedulerState& s = Sched();
    {
        Guard lock(s.Lock);
        if (IoWorkItem->Queued) {
            platform::VerifierFault("WORKITEM_REQUEUE", "work item %p queued while already queued",
                                    static_cast<void*>(IoWorkItem));
            return;
        }
    }
    // The device object must outlive the routine.
    ObfReferenceObject(IoWorkItem->DeviceObject);
    Guard lock(s.Lock);
    WorkQueue& q = Queues()[index];
    IoWorkItem->Routine = WorkerRoutine;
    IoWorkItem->Context = Context;
    IoWorkItem->Queued = true;
    q.Items.push_back(IoWorkItem);
    if (q.Thread == nullptr) {
        q.Work.Header.Type = EventSynchronizationObject;
        auto* t = new ThreadRecord();
        t->Internal = true;
        t->Name = QUEUE_NAMES[index];
        WorkQueue* qp = &q;
        q.Thread = StartThreadLocked(t, [qp] { WorkerMain(qp); });
        t->Os.detach();
    }
    SignalEventLocked(&q.Work);
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    bool dropReference = false;
    {
        Guard lock(Sched().Lock);
        if (IoWorkItem->Queued) {
            platform::VerifierFault("WORKITEM_FREE_QUEUED", "work item %p freed while queued",
                                    static_cast<void*>(IoWorkItem));
            for (int i = 0; i < QUEUE_COUNT; ++i) {
                auto& items = Queues()[i].Items;
                items.erase(std::remove(items.begin(), items.end(), IoWorkItem), items.end());
            }
            IoWorkItem->Queued = false;
            dropReference = true;
        }
    }
    if (dropReference) {
        ObfDereferenceObject(IoWorkItem->DeviceObject);
    }
    ExFreePoolWithTag(IoWorkItem, platform::WORK_ITEM_POOL_TAG);
}
