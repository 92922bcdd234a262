//
// receive.h - frame filter, receive indications, the receive queue, reads and delivery.
//
#pragma once

// Receive queue limits: a frame is dropped at RX_QUEUE_LIMIT queued, queued with a
// warning from RX_QUEUE_WARNING on.
#define RX_QUEUE_LIMIT   16
#define RX_QUEUE_WARNING 10

// Protocol-reserved area of every packet from an adapter's pool (20 bytes on x86).
typedef struct _PACKET_RESERVED {
    LIST_ENTRY ListElement;     // not used by any routine
    PIRP Irp;                   // the write request a send packet carries
    PMDL Mdl;                   // packet MDL of a driver-owned receive packet; null if lent
    ULONG_PTR Unused;
} PACKET_RESERVED, *PPACKET_RESERVED;

#define RESERVED(Packet) ((PPACKET_RESERVED)((Packet)->ProtocolReserved))

// One queued received frame; nonpaged, freed by whoever takes it off the queue.
typedef struct _RECEIVED_PACKET {
    LIST_ENTRY ListEntry;
    PNDIS_PACKET Packet;
} RECEIVED_PACKET, *PRECEIVED_PACKET;

// Frame filter; any IRQL up to DISPATCH_LEVEL.
BOOLEAN RejectDSAP(UCHAR Dsap);
BOOLEAN AcceptLookaheadFrame(PADAPTER_CONTEXT Adapter, const UCHAR *Header, UINT HeaderSize,
                             const UCHAR *Lookahead, UINT LookaheadSize);
BOOLEAN AcceptPacketFrame(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet);

// NDIS receive handlers (up to DISPATCH_LEVEL).
RECEIVE_HANDLER KrvDlcReceive;
TRANSFER_DATA_COMPLETE_HANDLER KrvDlcTransferDataComplete;
RECEIVE_PACKET_HANDLER KrvDlcReceivePacket;
RECEIVE_COMPLETE_HANDLER KrvDlcReceiveComplete;

// Reads.
DRIVER_DISPATCH KrvDlcRead;
DRIVER_CANCEL KrvDlcCancelReadRoutine;
NTSTATUS KrvDlcCancelReadIrp(PDEVICE_OBJECT DeviceObject);
VOID KrvDlcEmptyRxQueue(PADAPTER_CONTEXT Adapter);

// RxQueueFull - TRUE, after its trace line and error entry (ReportRxQueueFull), when
// Queued frames already fill the queue and the frame at hand is dropped; any IRQL up to
// DISPATCH_LEVEL. Inline: every queued frame passes here.
DECLSPEC_COLD VOID ReportRxQueueFull(VOID);
static inline BOOLEAN RxQueueFull(LONG Queued)
{
    if (Queued < RX_QUEUE_LIMIT)
        return FALSE;
    ReportRxQueueFull();
    return TRUE;
}

// Gives a queued packet back: driver-owned ones are freed, lent ones returned to NDIS.
VOID ReleaseReceivedPacket(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet, BOOLEAN Trace);

// Appends Packet to the receive queue in Record (nonpaged, now owned by the queue) and
// counts it; returns the new RxQueueCount. Any IRQL up to DISPATCH_LEVEL.
LONG QueueReceivedPacket(PADAPTER_CONTEXT Adapter, PRECEIVED_PACKET Record,
                         PNDIS_PACKET Packet);

// Driver-owned receive packets: a descriptor of the adapter's pool, one nonpaged frame
// buffer and the packet MDL over it, kept in RESERVED(Packet)->Mdl. Up to DISPATCH_LEVEL.
PUCHAR AllocateFrameBuffer(PNDIS_PACKET Packet, UINT Bytes);
VOID FreeOwnedPacket(PNDIS_PACKET Packet, BOOLEAN Trace);

//
// EnterIndication - counts a receive handler in ActiveIndications; returns FALSE when the
// adapter is no longer bound, and the handler then refuses or discards its frame. Every
// call is paired with one LeaveIndication. Any IRQL up to DISPATCH_LEVEL. Inline: every
// frame passes here twice. The protocol with the unbind's wait: indication_guard.cpp.
//
static inline BOOLEAN EnterIndication(PADAPTER_CONTEXT Adapter)
{
    InterlockedIncrement(&Adapter->ActiveIndications);
    return ReadAcquire(&Adapter->Bound) != 0 ? TRUE : FALSE;
}

//
// LeaveIndication - counts a receive handler out and wakes an unbind that waits for the
// last one. The handler does not touch the context afterwards. Up to DISPATCH_LEVEL.
//
static inline VOID LeaveIndication(PADAPTER_CONTEXT Adapter)
{
    if (InterlockedDecrement(&Adapter->ActiveIndications) == 0 &&
        ReadAcquire(&Adapter->IndicationWaiter) != 0)
        NdisSetEvent(&Adapter->IndicationsIdle);
}

// Unbind, after clearing Bound: returns once no receive handler is running. Later
// handlers refuse their frames, so the queue stays empty once emptied. PASSIVE_LEVEL;
// one caller per adapter at a time.
VOID KrvDlcWaitForIndications(PADAPTER_CONTEXT Adapter);

// Completes the adapter's recorded read as cancelled: any recorded read when OnlyIrp is
// null, else only OnlyIrp. Takes ReadLock. Up to DISPATCH_LEVEL.
VOID CancelRecordedRead(PADAPTER_CONTEXT Adapter, PIRP OnlyIrp);
// Completes a read the caller owns as cancelled, 0 bytes; the caller counts it out.
VOID CompleteCancelledRead(PIRP Irp);

// A file object whose cleanup has begun carries this mark in FsContext2, set and tested
// under ReadLock: reads that still arrive on it are cancelled instead of recorded.
#define KRVDLC_FILE_CLEANED_UP ((PVOID)1)
VOID MarkFileCleanedUp(PADAPTER_CONTEXT Adapter, PFILE_OBJECT FileObject);

#if defined(__i386__)
static_assert(sizeof(PACKET_RESERVED) == 20, "protocol-reserved area of a pool packet");
#endif
