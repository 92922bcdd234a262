//
// receive_packet.cpp - frames that NDIS indicates as whole packets. The driver keeps the
// packet itself and gives it back with NdisReturnPackets once the frame is delivered or
// discarded, unless NDIS needs the packet back at once.
//
#include "core/krvdlc.h"

//
// CopyIndicatedPacket - copies the frame of a packet that may not be kept beyond its
// indication into a driver-owned packet of the same shape KrvDlcReceive builds
// (descriptor of the adapter's pool, nonpaged frame buffer, packet MDL chained and kept
// in RESERVED()->Mdl). Returns the copy, or null when no descriptor or memory is left or
// a buffer of the frame cannot be mapped; nothing is left allocated then. Its lines
// follow Level, the trace level the caller read. Up to DISPATCH_LEVEL. Out of line and
// cold: few miniports ask for their packets back.
//
static DECLSPEC_NOINLINE DECLSPEC_COLD PNDIS_PACKET CopyIndicatedPacket(PADAPTER_CONTEXT Adapter,
                                                                       PNDIS_PACKET Source, ULONG Level)
{
    PNDIS_BUFFER Buffer = nullptr;
    UINT TotalLength = 0;
    NdisQueryPacket(Source, nullptr, nullptr, &Buffer, &TotalLength);

    NDIS_STATUS Status;
    PNDIS_PACKET Copy = nullptr;
    NdisAllocatePacket(&Status, &Copy, Adapter->PacketPool);
    if (Status != NDIS_STATUS_SUCCESS) {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** No free packets in pool\n");
        LogSystemError(LOG_ERROR, "** No free packets in pool\n", nullptr, 0);
        return nullptr;
    }
    if (TRACE_AT(Level, 4))
        TraceLong(4, "Driver allocating packet from our pool: ", (ULONG)(ULONG_PTR)Copy, 16);

    PUCHAR FrameBuffer = AllocateFrameBuffer(Copy, TotalLength, Level);
    if (FrameBuffer == nullptr) {
        NdisFreePacket(Copy);
        return nullptr;
    }
    NdisChainBufferAtFront(Copy, RESERVED(Copy)->Mdl);

    // Each buffer is read through its system address and only up to its own length.
    UINT Offset = 0;
    for (; Buffer != nullptr; NdisGetNextBuffer(Buffer, &Buffer)) {
        PVOID Address = nullptr;
        UINT Length = 0;
        NdisQueryBufferSafe(Buffer, &Address, &Length, NormalPagePriority);
        if (Address == nullptr) {
            if (TRACE_AT(Level, 1)) TraceMessage(1, "** system memory resources low\n");
            LogSystemError(LOG_ERROR, "** system memory resources low\n", nullptr, 0);
            FreeOwnedPacket(Copy, 0);
            return nullptr;
        }
        if (Length > TotalLength - Offset)
            Length = TotalLength - Offset;
        RtlCopyMemory(FrameBuffer + Offset, Address, Length);
        Offset += Length;
    }
    return Copy;
}

//
// ReceivePacket - the work of KrvDlcReceivePacket, its lines at Level, the trace level
// read as the handler started. Inline: compiled once for tracing off (Level 0, so that no
// test of the level is left) and once for the other levels.
//
static FORCEINLINE INT ReceivePacket(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet, ULONG Level)
{
    // Counted while it runs, so that the unbind can wait for it; refuses once unbound.
    BOOLEAN Bound = EnterIndication(Adapter);

    if (TRACE_AT(Level, 5)) TraceMessage(5, "KrvDlcReceivePacket enter\n");

    if (!Bound || !AcceptPacketFrameWithTraceLevel(Adapter, Packet, Level)) {
        LeaveIndication(Adapter);
        return 0;
    }

    LONG Queued = ReadNoFence(&Adapter->RxQueueCount);
    if (Queued >= RX_QUEUE_WARNING &&
        !AdmitToLongQueue(Adapter, Queued, Level, 2, LOG_WARNING, "* Received packets queued >= 10:")) {
        LeaveIndication(Adapter);
        return 0;
    }

    PRECEIVED_PACKET Record = (PRECEIVED_PACKET)KrvAllocatePool(NonPagedPool, sizeof(RECEIVED_PACKET));
    if (Record == nullptr) {
        if (TRACE_AT(Level, 1)) TraceMessage(1, "** ExAllocatePool pReceivedPacket failed.\n");
        LogSystemError(LOG_ERROR, "** ExAllocatePool pReceivedPacket failed.\n", nullptr, 0);
        LeaveIndication(Adapter);
        return 0;
    }

    // A packet the miniport marked NDIS_STATUS_RESOURCES must go back when this handler
    // returns: its frame is queued as a copy in a packet of the adapter's own pool, and
    // refused only when no descriptor or memory is left. NDIS keeps the original (0).
    if (NDIS_GET_PACKET_STATUS(Packet) == NDIS_STATUS_RESOURCES) {
        PNDIS_PACKET Copy = CopyIndicatedPacket(Adapter, Packet, Level);
        if (Copy == nullptr) {
            ExFreePool(Record);
            LeaveIndication(Adapter);
            return 0;
        }
        QueueReceivedPacket(Adapter, Record, Copy, Level);
        LeaveIndication(Adapter);
        return 0;
    }

    // Lent packet: a null Mdl tells delivery and emptying to return it to NDIS.
    RESERVED(Packet)->Mdl = nullptr;
    QueueReceivedPacket(Adapter, Record, Packet, Level);
    LeaveIndication(Adapter);
    return 1;
}

// The copy for a trace level above 0, out of line so that the copy for tracing off has
// the registers of its routine to itself.
static DECLSPEC_NOINLINE INT ReceivePacketTraced(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet, ULONG Level)
{
    return ReceivePacket(Adapter, Packet, Level);
}

//
// KrvDlcReceivePacket - NDIS receive-packet handler. Classifies the frame and queues it.
// Returns 1 when the packet NDIS lent is kept (it is given back by delivery or by
// emptying of the queue), 0 when NDIS keeps it: the frame was refused, or it was queued
// as a copy. Up to DISPATCH_LEVEL.
//
INT NTAPI KrvDlcReceivePacket(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet)
{
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;

    // Tracing off, the usual case, has a copy of its own.
    ULONG Level = TRACE_LEVEL_NOW();
    if (Level != 0)
        return ReceivePacketTraced(Adapter, Packet, Level);
    return ReceivePacket(Adapter, Packet, 0);
}
