//
// spinlock.h - a spin-lock pair that works below and at DISPATCH_LEVEL, for code that
// runs both in dispatch routines and in NDIS handlers (trace output, frame delivery).
// Inline: a delivered frame takes ReadLock through it.
//
#pragma once

#include "platform/nt.h"

//
// AcquireLockAnyIrql - takes Lock in the way the current IRQL allows and stores in
// OldIrql what ReleaseLockAnyIrql needs. Any IRQL; above DISPATCH_LEVEL it takes
// nothing (no caller of the driver runs there).
//
INLINE_ROUTINE VOID AcquireLockAnyIrql(PKSPIN_LOCK Lock, PKIRQL OldIrql)
{
    // DISPATCH_LEVEL first, where NDIS handlers run: one comparison serves both tests.
    KIRQL Irql = KeGetCurrentIrql();
    if (Irql == DISPATCH_LEVEL)
        KefAcquireSpinLockAtDpcLevel(Lock);
    else if (Irql < DISPATCH_LEVEL)
        Irql = KfAcquireSpinLock(Lock);
    *OldIrql = Irql;
}

//
// ReleaseLockAnyIrql - gives Lock back according to the IRQL AcquireLockAnyIrql stored.
//
INLINE_ROUTINE VOID ReleaseLockAnyIrql(PKSPIN_LOCK Lock, KIRQL OldIrql)
{
    if (OldIrql == DISPATCH_LEVEL)
        KefReleaseSpinLockFromDpcLevel(Lock);
    else if (OldIrql < DISPATCH_LEVEL)
        KfReleaseSpinLock(Lock, OldIrql);
}
