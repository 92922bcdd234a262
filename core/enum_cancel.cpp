//
// enum_cancel.cpp - cancellation of the enumeration request parked until NDIS has
// finished its initial binds.
//
#include "core/krvdlc.h"

//
// KrvDlcCancelEnumIrp - cancel routine of the parked enumeration request. Entered at
// DISPATCH_LEVEL holding the system cancel spin lock. Takes the request back under
// EnumLock if it is still the parked one and completes it STATUS_CANCELLED; if the
// binds-complete event took it first, that event completes it instead.
//
VOID NTAPI KrvDlcCancelEnumIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;

    // EnumLock is never taken inside the cancel spin lock.
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KIRQL OldIrql = KfAcquireSpinLock(&EnumLock);
    BOOLEAN Parked = (PendingEnumIrp == Irp);
    if (Parked)
        PendingEnumIrp = nullptr;
    KfReleaseSpinLock(&EnumLock, OldIrql);

    if (Parked)
        KrvDlcCompleteIrp(Irp, STATUS_CANCELLED, 0);
}
