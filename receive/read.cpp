//
// read.cpp - the read dispatch routine: one read returns one received frame.
//
// Lock order on the read side: ReadLock, then the system cancel spin lock, then
// RxQueueLock (only inside the interlocked list routines). The cancel routine enters
// holding the cancel spin lock and drops it before it takes ReadLock.
//
// Every write of PendingReadIrp and PendingReadCancellable happens under ReadLock, so
// whoever holds ReadLock sees a recorded read whole, and a read recorded there stays
// uncompleted until ReadLock is released.
//
#include "core/krvdlc.h"

//
// FailRead - completes a read refused by the tests of KrvDlcRead and counts it out,
// traced at Level. Its byte count is left as the I/O manager set it. PASSIVE_LEVEL. Out
// of line and cold: the refusals are rare.
//
static DECLSPEC_NOINLINE DECLSPEC_COLD NTSTATUS FailRead(PADAPTER_CONTEXT Adapter, PIRP Irp,
                                                        NTSTATUS Status, const char *Text, ULONG Level)
{
    if (TRACE_AT(Level, 1)) TraceMessage(1, Text);
    LogSystemError(LOG_ERROR, Text, nullptr, 0);
    if (TRACE_AT(Level, 1)) TraceMessage(1, "** Error detected in KrvDlcRead()...\n");
    LogSystemError(LOG_ERROR, "** Error detected in KrvDlcRead()...\n", nullptr, 0);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrementWithTraceLevel(Adapter, Level);
    return Status;
}

//
// ReadFrame - the work of KrvDlcRead for an adapter device's read with an MDL, its lines
// at Level, the trace level read as the dispatch routine started. Inline: compiled once
// for tracing off (Level 0, so that no test of the level is left) and once for the other
// levels.
//
static FORCEINLINE NTSTATUS ReadFrame(PADAPTER_CONTEXT Adapter, PIRP Irp, ULONG Level)
{
    IoIncrementWithTraceLevel(Adapter, Level);

    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ReadLength = Stack->Parameters.Read.Length;
    PFILE_OBJECT FileObject = Stack->FileObject;

    // The tests and the recording are one step under ReadLock: two reads arriving at once
    // cannot both be recorded, an unbind that cleared Bound and then cancelled the
    // recorded read cannot miss one recorded after it, and no delivery sees a read half
    // recorded.
    // A dispatch routine runs below DISPATCH_LEVEL: the lock is taken as such, without
    // asking for the IRQL first.
    KIRQL OldIrql = KfAcquireSpinLock(&Adapter->ReadLock);

    if (FileObject != nullptr && FileObject->FsContext2 == KRVDLC_FILE_CLEANED_UP) {
        // Its handle is gone: ended as the cleanup ends a waiting read, not as an error.
        KfReleaseSpinLock(&Adapter->ReadLock, OldIrql);
        if (TRACE_AT(Level, 4)) TraceMessage(4, "Read arrived after cleanup; cancelled.\n");
        CompleteCancelledRead(Irp);
        IoDecrementWithTraceLevel(Adapter, Level);
        return STATUS_CANCELLED;
    }

    const char *Refusal = nullptr;
    NTSTATUS Status = STATUS_SUCCESS;
    if (ReadNoFence(&Adapter->PendingReadIrp) != nullptr) {
        Refusal = "** A read is already pending.\n";
        Status = STATUS_DEVICE_BUSY;
    } else if (ReadNoFence(&Adapter->Bound) == 0) {
        Refusal = "** This device is not bound to an adapter.\n";
        Status = STATUS_DEVICE_NOT_READY;
    } else if (ReadLength < KRVDLC_MINIMUM_FRAME) {
        Refusal = "** Read buffer is too small.\n";
        Status = STATUS_BUFFER_TOO_SMALL;
    }
    if (Refusal != nullptr) {
        KfReleaseSpinLock(&Adapter->ReadLock, OldIrql);
        return FailRead(Adapter, Irp, Status, Refusal, Level);
    }

    if (ReadNoFence(&Adapter->RxQueueCount) > 0) {
        // Served at once: recorded without a cancel routine, not marked pending. The
        // delivery this routine calls completes it in every case, also when the queue
        // was emptied meanwhile (it then finds no frame and fails the read).
        Irp->IoStatus.Information = 0;
        if (TRACE_AT(Level, 4)) TraceMessage(4, "Calling KrvDlcReceiveComplete from KrvDlcRead\n");
        Adapter->PendingReadCancellable = FALSE;
        InterlockedExchangePointer((PVOID volatile *)&Adapter->PendingReadIrp, Irp);
        KfReleaseSpinLock(&Adapter->ReadLock, OldIrql);

        // The read may be completed from here on; it is not touched again.
        KrvDlcReceiveComplete(Adapter);
        return STATUS_SUCCESS;
    }

    if (TRACE_AT(Level, 4)) TraceMessage(4, "No receive data available.  Pending this request...\n");
    IoMarkIrpPending(Irp);
    Adapter->PendingReadCancellable = TRUE;
    InterlockedExchangePointer((PVOID volatile *)&Adapter->PendingReadIrp, Irp);

    // A read cancelled before its cancel routine was set would never be cancelled: the
    // cancel spin lock keeps IoCancelIrp out while the routine is set and Cancel tested,
    // and such a read is taken back and completed here.
    BOOLEAN CancelledAlready = FALSE;
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    IoSetCancelRoutine(Irp, KrvDlcCancelReadRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr)
        CancelledAlready = TRUE;
    IoReleaseCancelSpinLock(CancelIrql);

    if (CancelledAlready) {
        InterlockedExchangePointer((PVOID volatile *)&Adapter->PendingReadIrp, nullptr);
        Adapter->PendingReadCancellable = FALSE;
        CompleteCancelledRead(Irp);
        KfReleaseSpinLock(&Adapter->ReadLock, OldIrql);
        IoDecrementWithTraceLevel(Adapter, Level);
        return STATUS_PENDING;
    }

    KfReleaseSpinLock(&Adapter->ReadLock, OldIrql);
    return STATUS_PENDING;
}

// The copy for a trace level above 0, out of line so that the copy for tracing off has
// the registers of its routine to itself.
static DECLSPEC_NOINLINE NTSTATUS ReadFrameTraced(PADAPTER_CONTEXT Adapter, PIRP Irp, ULONG Level)
{
    return ReadFrame(Adapter, Irp, Level);
}

//
// KrvDlcRead - IRP_MJ_READ. Refuses reads on the control device, without MDL, while a
// read is recorded, while unbound and below 14 bytes; cancels reads on a file whose
// cleanup has begun. With frames queued it records the read and has
// KrvDlcReceiveComplete deliver one at once (STATUS_SUCCESS); otherwise the
// read waits, cancellable, in PendingReadIrp (STATUS_PENDING). Every counted read is
// completed exactly once, by this routine, delivery or cancellation, each followed by one
// IoDecrement. PASSIVE_LEVEL.
//
NTSTATUS NTAPI KrvDlcRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ULONG Level = TRACE_LEVEL_NOW();
    if (TRACE_AT(Level, 5)) TraceLong(5, "KrvDlcRead... Irp = ", (ULONG)(ULONG_PTR)Irp, 16);

    if (DeviceObject == ControlDeviceObject) {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** Read requests must be made of adapter devices.\n");
        LogSystemError(LOG_ERROR, "** Read requests must be made of adapter devices.\n", nullptr, 0);
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    if (Irp->MdlAddress == nullptr) {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** Read request received with NULL MDL.\n");
        LogSystemError(LOG_ERROR, "** Read request received with NULL MDL.\n", nullptr, 0);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }

    // Tracing off, the usual case, has a copy of its own.
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)DeviceObject->DeviceExtension;
    if (Level != 0)
        return ReadFrameTraced(Adapter, Irp, Level);
    return ReadFrame(Adapter, Irp, 0);
}
