//
// cancel_read.cpp - ending a recorded read as cancelled: from its cancel routine, and
// from cleanup and unbinding.
//
// Lock order: ReadLock, then the system cancel spin lock. The cancel routine is entered
// holding the cancel spin lock and releases it before it takes ReadLock.
//
#include "core/krvdlc.h"

//
// CompleteCancelledRead - completes a read the caller owns with STATUS_CANCELLED and no
// bytes; the caller releases its count afterwards. Up to DISPATCH_LEVEL.
//
VOID CompleteCancelledRead(PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

//
// CancelRecordedRead - completes the recorded read with STATUS_CANCELLED and counts it
// out. OnlyIrp null (cleanup, unbind): whatever read is recorded, unless its cancel
// routine has already been called, in which case the cancel routine completes it.
// OnlyIrp set (the cancel routine): only that read, and only while it is still recorded,
// so a late cancel routine can never complete a newer read. Takes ReadLock.
// Up to DISPATCH_LEVEL.
//
VOID CancelRecordedRead(PADAPTER_CONTEXT Adapter, PIRP OnlyIrp)
{
    KIRQL OldIrql;
    AcquireLockAnyIrql(&Adapter->ReadLock, &OldIrql);

    PIRP Irp = ReadNoFence(&Adapter->PendingReadIrp);
    if (Irp == nullptr || (OnlyIrp != nullptr && Irp != OnlyIrp)) {
        ReleaseLockAnyIrql(&Adapter->ReadLock, OldIrql);
        return;
    }

    if (OnlyIrp != nullptr) {
        if (TRACE_ON(4)) TraceMessage(4, "Cancelling Read IRP\n");
        if (TRACE_ON(5)) TraceMessage(5, "KrvDlcCancelReadIrp\n");
    }

    // Whoever takes the cancel routine away owns the read. If IoCancelIrp took it first,
    // the cancel routine is running or about to run and will find the read still
    // recorded: it is left to it, and completing it here could free it under that routine.
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    BOOLEAN CancelRoutineOwnsIt = IoSetCancelRoutine(Irp, nullptr) == nullptr &&
                                  Adapter->PendingReadCancellable && OnlyIrp == nullptr;
    IoReleaseCancelSpinLock(CancelIrql);
    if (CancelRoutineOwnsIt) {
        ReleaseLockAnyIrql(&Adapter->ReadLock, OldIrql);
        return;
    }

    InterlockedExchangePointer((PVOID volatile *)&Adapter->PendingReadIrp, nullptr);
    Adapter->PendingReadCancellable = FALSE;
    CompleteCancelledRead(Irp);
    ReleaseLockAnyIrql(&Adapter->ReadLock, OldIrql);
    IoDecrement(Adapter);
}

//
// MarkFileCleanedUp - marks FileObject as cleaned up under ReadLock, so that a read on it
// is either recorded before the mark (and the cleanup's cancel ends it) or sees the mark.
// A read can still come: it took its reference on the file before the handle went away.
// PASSIVE_LEVEL.
//
VOID MarkFileCleanedUp(PADAPTER_CONTEXT Adapter, PFILE_OBJECT FileObject)
{
    if (FileObject == nullptr)
        return;
    KIRQL OldIrql;
    AcquireLockAnyIrql(&Adapter->ReadLock, &OldIrql);
    FileObject->FsContext2 = KRVDLC_FILE_CLEANED_UP;
    ReleaseLockAnyIrql(&Adapter->ReadLock, OldIrql);
}

//
// KrvDlcCancelReadIrp - completes the adapter's recorded read, if any, as cancelled.
// Called by cleanup and by the unbind with the adapter's device. Returns STATUS_SUCCESS.
// PASSIVE_LEVEL.
//
NTSTATUS KrvDlcCancelReadIrp(PDEVICE_OBJECT DeviceObject)
{
    if (TRACE_ON(5)) TraceMessage(5, "KrvDlcCancelReadIrp\n");

    // The control device has no context and never a read.
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)DeviceObject->DeviceExtension;
    if (Adapter == nullptr)
        return STATUS_SUCCESS;

    CancelRecordedRead(Adapter, nullptr);
    return STATUS_SUCCESS;
}

//
// KrvDlcCancelReadRoutine - cancel routine of a waiting read. Entered at DISPATCH_LEVEL
// holding the system cancel spin lock, which it releases first; completes the read if it
// is still the recorded one.
//
VOID NTAPI KrvDlcCancelReadRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (TRACE_ON(5)) TraceMessage(5, "KrvDlcCancelReadRoutine\n");
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    CancelRecordedRead((PADAPTER_CONTEXT)DeviceObject->DeviceExtension, Irp);
}
