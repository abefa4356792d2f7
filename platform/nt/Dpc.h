// Deferred procedure calls. Each simulated processor (2 by default) has a DPC queue served by a
// DPC thread of its own at DISPATCH_LEVEL, in queue order; DPCs of different processors run at
// the same time, as on real hardware, but a DPC never runs concurrently with itself.
#pragma once

#include "platform/nt/NtTypes.h"

struct KDPC;
using PKDPC = KDPC*;
using PKDEFERRED_ROUTINE = VOID (*)(KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
using KDEFERRED_ROUTINE = VOID(KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);

enum KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance, MediumHighImportance };

struct KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;  // non-null while the DPC is queued
    ULONG Check;    // written by KeInitializeDpc (platform/nt/ObjectCheck.h)
};

VOID KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
VOID KeSetImportanceDpc(PKDPC Dpc, KDPC_IMPORTANCE Importance);
// Later queueings run on that processor (clamped to the processors the machine has). Without a
// target a DPC runs on the processor of the thread that queues it: a DPC thread's own, and for
// every other thread one fixed by its id.
VOID KeSetTargetProcessorDpc(PKDPC Dpc, CHAR Number);
// FALSE when the DPC is already queued (the arguments are then left as they were).
BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// TRUE when the DPC was queued and has been removed before it ran.
BOOLEAN KeRemoveQueueDpc(PKDPC Dpc);
// Returns once every DPC queued before the call has run. PASSIVE_LEVEL only.
VOID KeFlushQueuedDpcs();
// The calling thread's processor (a DPC thread's own, one fixed by the id for other threads), and
// how many there are.
ULONG KeGetCurrentProcessorNumber();
CHAR KeQueryNumberProcessors();

namespace platform {
// Number of DPCs queued and not yet started (for tests).
size_t DpcQueueLength();
// Number of simulated processors, each with a DPC thread (1..64; the machine reset sets 2).
void SetProcessorCount(int count);
}  // namespace platform
