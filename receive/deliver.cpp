//
// deliver.cpp - delivery of the oldest queued frame to the recorded read.
//
// Lock order: ReadLock, then the system cancel spin lock (only to take the read's cancel
// routine away), then RxQueueLock (only inside the interlocked list routines, with the
// cancel spin lock already released). ReadLock is held from the look at PendingReadIrp
// to the completion of the read, so deliveries on one adapter run one at a time.
//
#include "core/krvdlc.h"

// Bytes of each buffer of a delivered frame shown in a level-3 dump.
#define DELIVERY_DUMP_BYTES 32

//
// TraceAndCheckBuffers - walks the buffer chain of a dequeued packet, tracing each
// buffer when Level is 3 or more; FALSE when a buffer has no system address. Copies
// nothing, and needs neither the packet's counts (the copy takes the chain as it is) nor,
// below level 3, the buffers' lengths.
//
static FORCEINLINE BOOLEAN TraceAndCheckBuffers(PNDIS_PACKET Packet, ULONG Level)
{
    PNDIS_BUFFER Buffer = nullptr;
    NdisQueryPacketFirstBuffer(Packet, &Buffer);
    for (; Buffer != nullptr; NdisGetNextBuffer(Buffer, &Buffer)) {
        PVOID Address = MmGetSystemAddressForMdlSafe(Buffer, NormalPagePriority);
        if (Address == nullptr)
            return FALSE;
        if (TRACE_AT(Level, 3)) {
            UINT Length = MmGetMdlByteCount(Buffer);
            TraceLong(3, "Received byte count = ", Length, 10);
            TraceBuffer(3, "Received: ", (const UCHAR *)Address,
                        Length < DELIVERY_DUMP_BYTES ? Length : DELIVERY_DUMP_BYTES);
        }
    }
    return TRUE;
}

//
// DeliverFrame - moves the head frame of the queue into the read's buffer and gives the
// packet back. Returns the completion status; *BytesCopied receives the delivered byte
// count (0 on failure). Its progress lines follow Level, the trace level the caller read.
// Caller holds ReadLock and owns Irp. Up to DISPATCH_LEVEL.
//
static FORCEINLINE NTSTATUS DeliverFrame(PADAPTER_CONTEXT Adapter, PIRP Irp, PUINT BytesCopied,
                                         ULONG Level)
{
    *BytesCopied = 0;

    NDIS_STATUS AllocStatus;
    PNDIS_PACKET CopyPacket = nullptr;
    NdisAllocatePacket(&AllocStatus, &CopyPacket, Adapter->PacketPool);
    if (AllocStatus != NDIS_STATUS_SUCCESS) {
        // The frame stays queued for a later read.
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** No free packets in pool\n");
        LogSystemError(LOG_ERROR, "** No free packets in pool\n", nullptr, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PLIST_ENTRY Entry = ExInterlockedRemoveHeadList(&Adapter->RxQueue, &Adapter->RxQueueLock);
    if (Entry == nullptr) {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** Receive queue is either empty or corrupt.\n");
        LogSystemError(LOG_ERROR, "** Receive queue is either empty or corrupt.\n", nullptr, 0);
        NdisFreePacket(CopyPacket);
        return STATUS_UNSUCCESSFUL;
    }
    LONG Left = InterlockedDecrement(&Adapter->RxQueueCount);
    if (TRACE_AT(Level, 4))
        TraceLong(4, "Number of outstanding receive packets is now ", (ULONG)Left, 10);
    PRECEIVED_PACKET Record = CONTAINING_RECORD(Entry, RECEIVED_PACKET, ListEntry);
    PNDIS_PACKET Packet = Record->Packet;
    ExFreePool(Record);

    // The reader's pages are mapped here rather than inside the copy, which would copy
    // nothing without a word when they cannot be: the same shortage as for the frame's
    // own buffers, and the same outcome.
    PVOID ReadAddress = nullptr;
    BOOLEAN FrameMapped = TraceAndCheckBuffers(Packet, Level);
    if (FrameMapped)
        ReadAddress = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
    if (!FrameMapped || ReadAddress == nullptr) {
        // The frame cannot be delivered; it is lost.
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** system memory resources low\n");
        LogSystemError(LOG_ERROR, "** system memory resources low\n", nullptr, 0);
        NdisFreePacket(CopyPacket);
        ReleaseReceivedPacket(Packet, Level, TRUE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Straight into the reader's pages: the read's MDL chain is the copy packet's chain.
    // A frame longer than the read is cut at Read.Length.
    ULONG ReadLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    NdisChainBufferAtFront(CopyPacket, Irp->MdlAddress);
    UINT Copied = 0;
    NdisCopyFromPacketToPacket(CopyPacket, 0, ReadLength, Packet, 0, &Copied);
    NdisFreePacket(CopyPacket);

    ReleaseReceivedPacket(Packet, Level, TRUE);
    *BytesCopied = Copied;
    return STATUS_SUCCESS;
}

//
// DeliverToRecordedRead - the work of KrvDlcReceiveComplete, its lines at Level, the
// trace level read as the handler started. Inline: compiled once for tracing off (Level
// 0, so that no test of the level is left) and once for the other levels.
//
// Who completes the recorded read: a read waiting with a cancel routine belongs to
// delivery only if delivery takes that routine away first (IoSetCancelRoutine returns
// it); if IoCancelIrp took it, the cancel routine completes the read and delivery leaves
// it recorded. A read served at once never had a cancel routine and belongs to the
// delivery, cancelled or not, also when the queue turns out empty: its dispatch routine
// has already returned STATUS_SUCCESS for it.
//
static FORCEINLINE VOID DeliverToRecordedRead(PADAPTER_CONTEXT Adapter, ULONG Level)
{
    // Counted while it runs, so that an unbind does not free the context under it.
    CountIndication(Adapter);

    if (TRACE_AT(Level, 5)) TraceMessage(5, "KrvDlcReceiveComplete enter\n");
    UINT BytesTransferred = 0;

    KIRQL OldIrql;
    AcquireLockAnyIrql(&Adapter->ReadLock, &OldIrql);

    PIRP Irp = ReadNoFence(&Adapter->PendingReadIrp);
    if (Irp == nullptr) {
        ReleaseLockAnyIrql(&Adapter->ReadLock, OldIrql);
        if (TRACE_AT(Level, 4))
            TraceMessage(4, "Returning from KrvDlcReceiveComplete - no reads are pending\n");
        LeaveIndication(Adapter);
        return;
    }

    BOOLEAN Cancellable = Adapter->PendingReadCancellable;
    if (Cancellable && ReadNoFence(&Adapter->RxQueueCount) <= 0) {
        ReleaseLockAnyIrql(&Adapter->ReadLock, OldIrql);
        if (TRACE_AT(Level, 4))
            TraceMessage(4, "Returning from KrvDlcReceiveComplete - no data in receive queue\n");
        LeaveIndication(Adapter);
        return;
    }

    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    BOOLEAN CancelRoutineRuns = IoSetCancelRoutine(Irp, nullptr) == nullptr && Cancellable;
    IoReleaseCancelSpinLock(CancelIrql);
    if (CancelRoutineRuns) {
        ReleaseLockAnyIrql(&Adapter->ReadLock, OldIrql);
        LeaveIndication(Adapter);
        return;
    }

    NTSTATUS Status = DeliverFrame(Adapter, Irp, &BytesTransferred, Level);

    InterlockedExchangePointer((PVOID volatile *)&Adapter->PendingReadIrp, nullptr);
    Adapter->PendingReadCancellable = FALSE;
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = BytesTransferred;
    if (TRACE_AT(Level, 4))
        TraceLong(4, "Calling IoCompleteRequest with pIrp = ", (ULONG)(ULONG_PTR)Irp, 16);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseLockAnyIrql(&Adapter->ReadLock, OldIrql);

    // Counted out after ReadLock is given back: once IrpCount can reach zero, cleanup or
    // an unbind goes on; the unbind still waits for this handler to leave.
    IoDecrementWithTraceLevel(Adapter, Level);
    // Level 5 includes level 4: with level 4 off, one test covers both lines.
    if (TRACE_AT(Level, 4)) {
        TraceLong(4, "BytesTransferred: ", BytesTransferred, 10);
        if (TRACE_AT(Level, 5)) TraceMessage(5, "KrvDlcReceiveComplete exit\n");
    }
    LeaveIndication(Adapter);
}

// The copy for a trace level above 0, out of line so that the copy for tracing off has
// the registers of its routine to itself.
static DECLSPEC_NOINLINE VOID DeliverTraced(PADAPTER_CONTEXT Adapter, ULONG Level)
{
    DeliverToRecordedRead(Adapter, Level);
}

//
// KrvDlcReceiveComplete - NDIS receive-complete handler, also called by KrvDlcRead:
// delivers at most one frame to the recorded read and completes it. Holds ReadLock
// throughout. Up to DISPATCH_LEVEL.
//
VOID NTAPI KrvDlcReceiveComplete(NDIS_HANDLE ProtocolBindingContext)
{
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;

    // Tracing off, the usual case, has a copy of its own.
    ULONG Level = TRACE_LEVEL_NOW();
    if (Level != 0) {
        DeliverTraced(Adapter, Level);
        return;
    }
    DeliverToRecordedRead(Adapter, 0);
}
