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

// Frame filter (inline); any IRQL up to DISPATCH_LEVEL.
#include "receive/frame_filter.h"

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

// The queue limits take two steps: a frame that finds fewer than RX_QUEUE_WARNING frames
// queued passes one comparison; from there on AdmitToLongQueue drops it at RX_QUEUE_LIMIT
// or queues it with the receive path's own warning. Any IRQL up to DISPATCH_LEVEL.
DECLSPEC_COLD BOOLEAN AdmitToLongQueue(PADAPTER_CONTEXT Adapter, LONG Queued, ULONG Level, ULONG WarningLevel,
                                       ULONG LogKind, const char *Text);

// Driver-owned receive packets.
#include "receive/owned_packet.h"

//
// ReleaseReceivedPacket - gives back a packet taken off the queue: a driver-owned packet
// (non-null Mdl) is freed, traced when TraceFree is set; a packet NDIS lent is returned
// with NdisReturnPackets, always traced. The lines follow Level, the trace level the
// caller read. Up to DISPATCH_LEVEL. Inline: every delivered frame passes here.
//
FORCEINLINE VOID ReleaseReceivedPacket(PNDIS_PACKET Packet, ULONG Level, BOOLEAN TraceFree)
{
    if (RESERVED(Packet)->Mdl != nullptr) {
        FreeOwnedPacket(Packet, TraceFree ? Level : 0);
        return;
    }
    if (TRACE_AT(Level, 4)) TraceLong(4, "Returning packet to NDIS: ", (ULONG)(ULONG_PTR)Packet, 16);
    NdisReturnPackets(&Packet, 1);
}

//
// QueueReceivedPacket - appends Packet in Record at the tail of RxQueue and counts it.
// Record (nonpaged) belongs to the queue from here on; whoever removes it frees it.
// Returns the new RxQueueCount. Its lines follow Level, the trace level the caller read.
// Any IRQL up to DISPATCH_LEVEL. Inline: every queued frame passes here. The queue's
// rules: rx_queue.cpp.
//
FORCEINLINE LONG QueueReceivedPacket(PADAPTER_CONTEXT Adapter, PRECEIVED_PACKET Record,
                                     PNDIS_PACKET Packet, ULONG Level)
{
    Record->Packet = Packet;
    if (TRACE_AT(Level, 4))
        TraceLong(4, "Adding received packet to the queue: ", (ULONG)(ULONG_PTR)Packet, 16);
    ExInterlockedInsertTailList(&Adapter->RxQueue, &Record->ListEntry, &Adapter->RxQueueLock);
    LONG Count = InterlockedIncrement(&Adapter->RxQueueCount);
    if (TRACE_AT(Level, 4))
        TraceLong(4, "Number of outstanding receive packets is now ", (ULONG)Count, 10);
    return Count;
}

//
// EnterIndication - counts a receive handler in ActiveIndications; returns FALSE when the
// adapter is no longer bound, and the handler then refuses or discards its frame.
// CountIndication counts alone, for a handler that does not look at Bound. Every
// call is paired with one LeaveIndication. Any IRQL up to DISPATCH_LEVEL. Inline: every
// frame passes here twice. The protocol with the unbind's wait: indication_guard.cpp.
//
static inline VOID CountIndication(PADAPTER_CONTEXT Adapter)
{
    InterlockedIncrement(&Adapter->ActiveIndications);
}

static inline BOOLEAN EnterIndication(PADAPTER_CONTEXT Adapter)
{
    CountIndication(Adapter);
    return ReadAcquire(&Adapter->Bound) != 0 ? TRUE : FALSE;
}

//
// LeaveIndication - counts a receive handler out and wakes an unbind that waits for the
// last one (WakeIndicationWaiter, when Running, the count left, is 0). The handler does
// not touch the context afterwards. Up to DISPATCH_LEVEL.
//
DECLSPEC_COLD VOID WakeIndicationWaiter(PADAPTER_CONTEXT Adapter, LONG Running);
static inline VOID LeaveIndication(PADAPTER_CONTEXT Adapter)
{
    // The waiter is looked at first (after the decrement all the same): without one, the
    // count reaching 0 does not matter, and the count is not even compared.
    LONG Running = InterlockedDecrement(&Adapter->ActiveIndications);
    if (__builtin_expect(ReadAcquire(&Adapter->IndicationWaiter) != 0, 0))
        WakeIndicationWaiter(Adapter, Running);
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
