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

// Gives a queued packet back: driver-owned ones are freed, lent ones returned to NDIS.
VOID ReleaseReceivedPacket(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet, BOOLEAN Trace);

#if defined(__i386__)
static_assert(sizeof(PACKET_RESERVED) == 20, "protocol-reserved area of a pool packet");
#endif
