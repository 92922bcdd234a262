//
// receive_indication.cpp - frames that NDIS indicates with a header and a lookahead
// buffer: the driver builds a packet of its own, has NDIS transfer the frame data into
// it and queues it when the transfer is done.
//
// Driver-owned receive packet for a header of H bytes and frame data of P bytes: one
// nonpaged frame buffer of H + P bytes (header copied in, data written by the transfer),
// the packet MDL over all of it (RESERVED()->Mdl) and, while the transfer runs, a data
// MDL over bytes H to H + P - 1 as the packet's only buffer. Once the transfer is done
// the packet MDL alone is chained, so the queued packet presents the whole frame.
//
#include "core/krvdlc.h"

//
// FinishTransfer - the work of KrvDlcTransferDataComplete for a handler that is already
// counted in ActiveIndications; Bound is what its EnterIndication returned, Level the
// trace level it read. Inline: KrvDlcReceive finishes a transfer that did not pend
// itself, without a second count.
//
static FORCEINLINE VOID FinishTransfer(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet,
                                       NDIS_STATUS Status, UINT BytesTransferred, BOOLEAN Bound,
                                       ULONG Level)
{
    if (TRACE_AT(Level, 5)) TraceMessage(5, "TransferDataComplete\n");

    PNDIS_BUFFER DataMdl = nullptr;
    NdisUnchainBufferAtFront(Packet, &DataMdl);
    if (DataMdl != nullptr) {
        // The frame is queued with all its data whatever the transfer wrote: what it did
        // not write is cleared, so that no pool contents reach the reader.
        ULONG DataLength = MmGetMdlByteCount(DataMdl);
        ULONG Written = Status == NDIS_STATUS_SUCCESS ? BytesTransferred : 0;
        if (Written < DataLength)
            RtlZeroMemory((PUCHAR)MmGetMdlVirtualAddress(DataMdl) + Written, DataLength - Written);
        IoFreeMdl(DataMdl);
    }
    NdisChainBufferAtFront(Packet, RESERVED(Packet)->Mdl);

    // A transfer that ends after the unbind began must not queue: the unbind empties the
    // queue once no handler runs and relies on it staying empty. Not an error: the frame
    // is simply dropped with everything it holds.
    if (!Bound) {
        FreeOwnedPacket(Packet, 0);
        if (TRACE_AT(Level, 5)) TraceMessage(5, "Leaving KrvDlcTransferDataComplete on error.\n");
        return;
    }

    PRECEIVED_PACKET Record = nullptr;
    LONG Queued = ReadNoFence(&Adapter->RxQueueCount);
    // A full queue leaves Record null: the frame is discarded below.
    if (Queued < RX_QUEUE_WARNING ||
        AdmitToLongQueue(Adapter, Queued, Level, 1, LOG_ERROR, "*WARNING* Received packets queued = ")) {
        Record = (PRECEIVED_PACKET)KrvAllocatePool(NonPagedPool, sizeof(RECEIVED_PACKET));
        if (Record == nullptr) {
            if (TRACE_AT(Level, 1)) TraceMessage(1, "** ExAllocatePool pReceivedPacket failed.\n");
            LogSystemError(LOG_ERROR, "** ExAllocatePool pReceivedPacket failed.\n", nullptr, 0);
        }
    }

    if (Record == nullptr) {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** Returning resources and discarding packet data.\n");
        LogSystemError(LOG_ERROR, "** Returning resources and discarding packet data.\n", nullptr, 0);
        FreeOwnedPacket(Packet, 0);
        if (TRACE_AT(Level, 5)) TraceMessage(5, "Leaving KrvDlcTransferDataComplete on error.\n");
        return;
    }

    QueueReceivedPacket(Adapter, Record, Packet, Level);
    // Level 5 includes level 4: with level 4 off, one test covers both lines.
    if (TRACE_AT(Level, 4)) {
        TraceLong(4, "Packet data transferred: ", BytesTransferred, 10);
        if (TRACE_AT(Level, 5)) TraceMessage(5, "Leaving KrvDlcTransferDataComplete.\n");
    }
}

//
// KrvDlcTransferDataComplete - finishes the transfer of a frame into a driver-owned
// packet: swaps the data MDL for the packet MDL and queues the packet, whatever the
// transfer status (data it did not write is zeroed). When the queue is full, no record
// can be allocated or the adapter is being unbound, the packet is freed completely
// instead. Called by NDIS for a transfer that pended; for one that did not, KrvDlcReceive
// does the same work itself (FinishTransfer). Up to DISPATCH_LEVEL.
//
VOID NTAPI KrvDlcTransferDataComplete(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet,
                                      NDIS_STATUS Status, UINT BytesTransferred)
{
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;

    BOOLEAN Bound = EnterIndication(Adapter);
    FinishTransfer(Adapter, Packet, Status, BytesTransferred, Bound, TRACE_LEVEL_NOW());
    LeaveIndication(Adapter);
}

//
// ReceiveFrame - the work of KrvDlcReceive, its lines at Level, the trace level read as
// the handler started. Inline: compiled once for tracing off (Level 0, so that no test of
// the level is left) and once for the other levels.
//
static FORCEINLINE NDIS_STATUS ReceiveFrame(PADAPTER_CONTEXT Adapter, NDIS_HANDLE MacReceiveContext,
                                            const UCHAR *Header, UINT HeaderBufferSize,
                                            const UCHAR *LookAheadBuffer, UINT LookaheadBufferSize,
                                            UINT PacketSize, ULONG Level)
{
    // Counted while it runs, so that the unbind can wait for it; refuses once unbound.
    BOOLEAN Bound = EnterIndication(Adapter);

    // Level 5 includes level 4: with level 4 off, one test covers both lines.
    if (TRACE_AT(Level, 4)) {
        if (TRACE_AT(Level, 5)) TraceMessage(5, "*KrvDlcReceive\n");
        if (Header != nullptr)
            TraceBuffer(4, "HeaderBuffer = ", Header, HeaderBufferSize);
    }

    if (!Bound ||
        !AcceptLookaheadFrameWithTraceLevel(Adapter, Header, HeaderBufferSize, LookAheadBuffer,
                                            LookaheadBufferSize, Level)) {
        LeaveIndication(Adapter);
        return NDIS_STATUS_NOT_ACCEPTED;
    }

    NDIS_STATUS Status;
    PNDIS_PACKET Packet = nullptr;
    NdisAllocatePacket(&Status, &Packet, Adapter->PacketPool);
    if (Status != NDIS_STATUS_SUCCESS) {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** No free packets in pool\n");
        LogSystemError(LOG_ERROR, "** No free packets in pool\n", nullptr, 0);
        LeaveIndication(Adapter);
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    if (TRACE_AT(Level, 4))
        TraceLong(4, "Driver allocating packet from our pool: ", (ULONG)(ULONG_PTR)Packet, 16);

    // A frame size that does not fit in 32 bits cannot be allocated: same path as a
    // failed allocation.
    UINT FrameSize = HeaderBufferSize + PacketSize;
    PUCHAR FrameBuffer = nullptr;
    if (FrameSize >= HeaderBufferSize) {
        FrameBuffer = AllocateFrameBuffer(Packet, FrameSize, Level);
    } else {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** ExAllocatePool buffer failed.\n");
        LogSystemError(LOG_ERROR, "** ExAllocatePool buffer failed.\n", nullptr, 0);
    }
    if (FrameBuffer == nullptr) {
        NdisFreePacket(Packet);
        if (TRACE_AT(Level, 5)) TraceMessage(5, "* Leaving KrvDlcReceive after error detected\n");
        LeaveIndication(Adapter);
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    RtlCopyMemory(FrameBuffer, Header, HeaderBufferSize);

    // No data after the header (a Token Ring frame of addresses only, or a miniport's
    // PacketSize of 0): nothing to transfer, and no data MDL over zero bytes at the end
    // of the buffer. The header alone is queued at once.
    if (PacketSize == 0) {
        FinishTransfer(Adapter, Packet, NDIS_STATUS_SUCCESS, 0, ReadAcquire(&Adapter->Bound) != 0, Level);
        if (TRACE_AT(Level, 5)) TraceMessage(5, "Leaving KrvDlcReceive with NDIS_STATUS_SUCCESS.\n");
        LeaveIndication(Adapter);
        return NDIS_STATUS_SUCCESS;
    }

    PMDL DataMdl = IoAllocateMdl(FrameBuffer + HeaderBufferSize, PacketSize, FALSE, FALSE, nullptr);
    if (DataMdl == nullptr) {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** Failed to allocate Data Mdl\n");
        LogSystemError(LOG_ERROR, "** Failed to allocate Data Mdl\n", nullptr, 0);
        FreeOwnedPacket(Packet, 0);
        if (TRACE_AT(Level, 5)) TraceMessage(5, "* Leaving KrvDlcReceive after error detected\n");
        LeaveIndication(Adapter);
        return NDIS_STATUS_NOT_ACCEPTED;
    }
    MmBuildMdlForNonPagedPool(DataMdl);
    NdisChainBufferAtFront(Packet, DataMdl);

    // The transfer always asks for the whole frame data, also when the lookahead holds it.
    UINT BytesTransferred = 0;
    NdisTransferData(&Status, Adapter->BindingHandle, MacReceiveContext, 0, PacketSize, Packet,
                     &BytesTransferred);
    // What NDIS would have called KrvDlcTransferDataComplete for, done here at once.
    if (Status != NDIS_STATUS_PENDING)
        FinishTransfer(Adapter, Packet, Status, BytesTransferred, ReadAcquire(&Adapter->Bound) != 0, Level);

    if (TRACE_AT(Level, 5)) TraceMessage(5, "Leaving KrvDlcReceive with NDIS_STATUS_SUCCESS.\n");
    LeaveIndication(Adapter);
    return NDIS_STATUS_SUCCESS;
}

// The copy for a trace level above 0, out of line so that the copy for tracing off has
// the registers of its routine to itself.
static DECLSPEC_NOINLINE NDIS_STATUS ReceiveFrameTraced(PADAPTER_CONTEXT Adapter,
                                                       NDIS_HANDLE MacReceiveContext,
                                                       const UCHAR *Header, UINT HeaderBufferSize,
                                                       const UCHAR *LookAheadBuffer,
                                                       UINT LookaheadBufferSize, UINT PacketSize,
                                                       ULONG Level)
{
    return ReceiveFrame(Adapter, MacReceiveContext, Header, HeaderBufferSize, LookAheadBuffer,
                        LookaheadBufferSize, PacketSize, Level);
}

//
// KrvDlcReceive - NDIS receive handler. Classifies the frame from the header and the
// lookahead, builds a driver-owned packet and starts the transfer of the frame data;
// KrvDlcTransferDataComplete queues the packet. Returns NDIS_STATUS_SUCCESS when the
// transfer was started (the packet then belongs to the transfer), else
// NDIS_STATUS_NOT_ACCEPTED with nothing left allocated. Up to DISPATCH_LEVEL.
//
NDIS_STATUS NTAPI KrvDlcReceive(NDIS_HANDLE ProtocolBindingContext, NDIS_HANDLE MacReceiveContext,
                                PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookAheadBuffer,
                                UINT LookaheadBufferSize, UINT PacketSize)
{
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;
    const UCHAR *Header = (const UCHAR *)HeaderBuffer;
    const UCHAR *Lookahead = (const UCHAR *)LookAheadBuffer;

    // Tracing off, the usual case, has a copy of its own.
    ULONG Level = TRACE_LEVEL_NOW();
    if (Level != 0)
        return ReceiveFrameTraced(Adapter, MacReceiveContext, Header, HeaderBufferSize, Lookahead,
                                  LookaheadBufferSize, PacketSize, Level);
    return ReceiveFrame(Adapter, MacReceiveContext, Header, HeaderBufferSize, Lookahead,
                        LookaheadBufferSize, PacketSize, 0);
}
