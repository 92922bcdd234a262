//
// spinlock.cpp - AcquireLockAnyIrql / ReleaseLockAnyIrql.
//
#include "platform/spinlock.h"

//
// AcquireLockAnyIrql - takes Lock in the way the current IRQL allows and stores in
// OldIrql what ReleaseLockAnyIrql needs. Any IRQL; above DISPATCH_LEVEL it takes
// nothing (no caller of the driver runs there).
//
VOID AcquireLockAnyIrql(PKSPIN_LOCK Lock, PKIRQL OldIrql)
{
    KIRQL Irql = KeGetCurrentIrql();
    *OldIrql = Irql;
    if (Irql < DISPATCH_LEVEL)
        *OldIrql = KfAcquireSpinLock(Lock);
    else if (Irql == DISPATCH_LEVEL)
        KefAcquireSpinLockAtDpcLevel(Lock);
}

//
// ReleaseLockAnyIrql - gives Lock back according to the IRQL AcquireLockAnyIrql stored.
//
VOID ReleaseLockAnyIrql(PKSPIN_LOCK Lock, KIRQL OldIrql)
{
    if (OldIrql < DISPATCH_LEVEL)
        KfReleaseSpinLock(Lock, OldIrql);
    else if (OldIrql == DISPATCH_LEVEL)
        KefReleaseSpinLockFromDpcLevel(Lock);
}
