// Per-thread IRQL of the stand-in. Raising and lowering is checked the way a verifier would.
#pragma once

#include "platform/nt/NtTypes.h"

KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel();

namespace platform {

// Spin locks held by the current thread; IRQL may not drop below DISPATCH_LEVEL while one is held.
void IrqlNoteSpinLockAcquired();
void IrqlNoteSpinLockReleased();
int IrqlHeldSpinLocks();

// Sets the thread's IRQL without checks (DPC and timer threads use it to run at DISPATCH_LEVEL).
void IrqlSetRaw(KIRQL irql);

// Back to PASSIVE_LEVEL with no spin lock counted (the machine reset does this for the test thread).
void IrqlResetThread();

// Records a fault when the current IRQL is above `maxIrql`; returns true when the rule held.
bool IrqlCheckAtMost(KIRQL maxIrql, const char* operation);

// The check of PAGED_CODE: a fault of rule "IRQL_PAGED" naming the routine when it is entered
// above APC_LEVEL.
void IrqlCheckPagedCode(const char* routine);

}  // namespace platform

// The first statement of a routine that runs at PASSIVE_LEVEL (pageable code in a real driver).
#define PAGED_CODE() ::platform::IrqlCheckPagedCode(__PRETTY_FUNCTION__)
