// I/O work items: run at PASSIVE_LEVEL on a worker thread of the stand-in, holding a reference
// on their device object while queued and running.
#pragma once

#include "platform/nt/NtTypes.h"

struct IO_WORKITEM;
using PIO_WORKITEM = IO_WORKITEM*;
using IO_WORKITEM_ROUTINE = VOID(PDEVICE_OBJECT DeviceObject, PVOID Context);
using PIO_WORKITEM_ROUTINE = VOID (*)(PDEVICE_OBJECT DeviceObject, PVOID Context);

enum WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue };

// Allocated from non-paged pool (tag "IoWk"); null when the allocation fails.
PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context);
// Freeing a queued or running item is a verifier fault.
VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);

namespace platform {
constexpr ULONG WORK_ITEM_POOL_TAG = MakePoolTag("IoWk");
}  // namespace platform
