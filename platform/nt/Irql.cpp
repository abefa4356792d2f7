#include "platform/nt/Irql.h"

#include "platform/nt/Verifier.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_spinLocksHeld = 0;
}  // namespace

KIRQL KeGetCurrentIrql() { return t_irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql < t_irql) {
        platform::VerifierFault("IRQL_RAISE", "KeRaiseIrql to %u from higher IRQL %u", NewIrql, t_irql);
    }
    if (OldIrql != nullptr) {
        *OldIrql = t_irql;
    }
    t_irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > t_irql) {
        platform::VerifierFault("IRQL_LOWER", "KeLowerIrql to %u from lower IRQL %u", NewIrql, t_irql);
    }
    if (NewIrql < DISPATCH_LEVEL && t_spinLocksHeld > 0) {
        platform::VerifierFault("IRQL_LOWER_SPINLOCK", "KeLowerIrql to %u while %d spin lock(s) held", NewIrql,
                                t_spinLocksHeld);
    }
    t_irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

namespace platform {

void IrqlNoteSpinLockAcquired() { ++t_spinLocksHeld; }

void IrqlNoteSpinLockReleased()
{
    if (t_spinLocksHeld == 0) {
        VerifierFault("SPINLOCK_NOT_HELD", "spin lock released that this thread does not hold");
        return;
    }
    --t_spinLocksHeld;
}

int IrqlHeldSpinLocks() { return t_spinLocksHeld; }

void IrqlSetRaw(KIRQL irql) { t_irql = irql; }

void IrqlResetThread()
{
    t_irql = PASSIVE_LEVEL;
    t_spinLocksHeld = 0;
}

bool IrqlCheckAtMost(KIRQL maxIrql, const char* operation)
{
    if (t_irql > maxIrql) {
        VerifierFault("IRQL", "%s at IRQL %u (allowed up to %u)", operation, t_irql, maxIrql);
        return false;
    }
    return true;
}

void IrqlCheckPagedCode(const char* routine)
{
    if (t_irql > APC_LEVEL) {
        VerifierFault("IRQL_PAGED", "paged routine %s entered at IRQL %u", routine, t_irql);
    }
}

}  // namespace platform
