//
// spinlock.h - a spin-lock pair that works below and at DISPATCH_LEVEL, for code that
// runs both in dispatch routines and in NDIS handlers (trace output, frame delivery).
//
#pragma once

#include "platform/nt.h"

VOID AcquireLockAnyIrql(PKSPIN_LOCK Lock, PKIRQL OldIrql);
VOID ReleaseLockAnyIrql(PKSPIN_LOCK Lock, KIRQL OldIrql);
