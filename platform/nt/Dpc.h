// Deferred procedure calls. DPCs run in queue order at DISPATCH_LEVEL on the stand-in's DPC thread.
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
VOID KeSetTargetProcessorDpc(PKDPC Dpc, CHAR Number);
// FALSE when the DPC is already queued (the arguments are then left as they were).
BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// TRUE when the DPC was queued and has been removed before it ran.
BOOLEAN KeRemoveQueueDpc(PKDPC Dpc);
// Returns once every DPC queued before the call has run. PASSIVE_LEVEL only.
VOID KeFlushQueuedDpcs();

namespace platform {
// Number of DPCs queued and not yet started (for tests).
size_t DpcQueueLength();
}  // namespace platform
