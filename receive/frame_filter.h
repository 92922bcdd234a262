//
// frame_filter.h - the frame filter: which received frames are LLC traffic the driver
// passes up, and the DSAP rule that user mode can switch off per adapter.
//
// The filter reads only Medium and CheckDSAP of the adapter, takes no lock and allocates
// nothing, so a refused frame costs nothing to undo. It is inline: every indicated frame
// passes it at the start of its receive handler, which passes on the trace level it read
// (the ...WithTraceLevel forms). RejectDSAP, AcceptLookaheadFrame and AcceptPacketFrame,
// the same at the trace level of the moment, serve callers outside the receive handlers
// and are out of line (dsap_filter.cpp).
//
#pragma once

// Ethernet header: length/type field at 12-13, first LLC byte (DSAP) of 802.3 at 14.
#define ETH_HEADER_SIZE       14
#define ETH_TYPE_OFFSET       12
#define ETH_8023_DSAP_OFFSET  14
#define ETH_SNA_DSAP_OFFSET   17
#define ETH_MAX_LENGTH_FIELD  0x0600   // below: an 802.3 length; from here on: a type
#define ETH_TYPE_SNA_SERVICES 0x80D5

// Token Ring header: frame control at 1, source address at 8-13, then routing
// information (when bit 0x80 of byte 8 is set) whose first byte carries its length.
#define TR_FC_OFFSET          1
#define TR_FC_TYPE_MASK       0xC0
#define TR_FC_LLC             0x40
#define TR_SOURCE_OFFSET      8
#define TR_SOURCE_ROUTED      0x80
#define TR_ROUTING_OFFSET     14
#define TR_ROUTING_LENGTH     0x1F

// One byte after Label, as TraceBuffer shows it (dsap_filter.cpp). Out of line, so that
// the filter keeps the byte in a register instead of giving it an address on every frame.
DECLSPEC_NOINLINE DECLSPEC_COLD VOID TraceByte(ULONG Level, const char *Label, UCHAR Value);

// Bit n of word n / 32 set: DSAP n is refused (the null SAP, 0xF0, and every SAP whose two
// low-order bits are not both zero). One load and a bit test per frame.
extern const ULONG RefusedDsaps[256 / 32];

//
// RejectDSAP - TRUE when a frame with this DSAP is to be refused. Any IRQL up to
// DISPATCH_LEVEL. RejectDSAPWithTraceLevel traces at Level, the trace level its caller
// read.
//
BOOLEAN RejectDSAP(UCHAR Dsap);
FORCEINLINE BOOLEAN RejectDSAPWithTraceLevel(UCHAR Dsap, ULONG Level)
{
    if (TRACE_AT(Level, 5)) TraceByte(5, "RejectDSAP validating: DSAP = ", Dsap);
    return (BOOLEAN)((RefusedDsaps[Dsap >> 5] >> (Dsap & 31)) & 1);
}

//
// DsapAccepted - the DSAP step shared by both classifications: accepts everything while
// the check is off, else refuses what RejectDSAP refuses, tracing DiscardLabel.
//
static FORCEINLINE BOOLEAN DsapAccepted(PADAPTER_CONTEXT Adapter, UCHAR Dsap, const char *DiscardLabel,
                                        ULONG Level)
{
    // The switch is read without a lock; a change applies from the next frame on.
    if (!ReadNoFence(&Adapter->CheckDSAP))
        return TRUE;
    if (!RejectDSAPWithTraceLevel(Dsap, Level))
        return TRUE;
    if (TRACE_AT(Level, 4)) TraceByte(4, DiscardLabel, Dsap);
    return FALSE;
}

//
// EthernetTypeAccepted - traces what kind of Ethernet frame the length/type field T
// marks; FALSE (with the discard line) for anything but 802.3 and SNA services frames.
//
static FORCEINLINE BOOLEAN EthernetTypeAccepted(ULONG Type, ULONG Level)
{
    if (Type < ETH_MAX_LENGTH_FIELD) {
        if (TRACE_AT(Level, 4)) TraceMessage(4, "This is an 802.3 frame.\n");
        return TRUE;
    }
    if (Type == ETH_TYPE_SNA_SERVICES) {
        if (TRACE_AT(Level, 4)) TraceMessage(4, "This is an SNA services frame (type 80D5).\n");
        return TRUE;
    }
    if (TRACE_AT(Level, 4)) TraceLong(4, "Discarding this packet. Frame type = ", Type, 16);
    return FALSE;
}

//
// TokenRingLlcFrame - TRUE for an LLC frame (frame-control type bits 01); any other frame
// (MAC frames among them) is refused with the discard line.
//
static FORCEINLINE BOOLEAN TokenRingLlcFrame(UCHAR FrameControl, ULONG Level)
{
    if ((FrameControl & TR_FC_TYPE_MASK) == TR_FC_LLC)
        return TRUE;
    if (TRACE_AT(Level, 4)) TraceByte(4, "Discarding this packet.  FrameControl = ", FrameControl);
    return FALSE;
}

//
// AcceptLookaheadFrame - classification of a frame indicated with a header buffer and a
// lookahead buffer (KrvDlcReceive). The first lookahead byte is the first byte after the
// MAC header, routing information included. Reads no byte beyond HeaderSize and
// LookaheadSize. Any IRQL up to DISPATCH_LEVEL. The ...WithTraceLevel form traces at
// Level, the trace level its caller read.
//
BOOLEAN AcceptLookaheadFrame(PADAPTER_CONTEXT Adapter, const UCHAR *Header, UINT HeaderSize,
                             const UCHAR *Lookahead, UINT LookaheadSize);
FORCEINLINE BOOLEAN AcceptLookaheadFrameWithTraceLevel(PADAPTER_CONTEXT Adapter, const UCHAR *Header,
                                                       UINT HeaderSize, const UCHAR *Lookahead,
                                                       UINT LookaheadSize, ULONG Level)
{
    NDIS_MEDIUM Medium = Adapter->Medium;

    if (Lookahead == nullptr)
        LookaheadSize = 0;

    if (Medium == NdisMedium802_3) {
        // An indication without a header buffer is refused: there is no type to classify.
        // A header longer than the Ethernet header is not one this filter knows; a shorter
        // one lacks the length/type field. Both are refused before any byte is read.
        if (Header == nullptr || HeaderSize != ETH_HEADER_SIZE)
            return FALSE;

        ULONG Type = (ULONG)Header[ETH_TYPE_OFFSET] * 256 + Header[ETH_TYPE_OFFSET + 1];
        if (!EthernetTypeAccepted(Type, Level))
            return FALSE;

        // Too little lookahead to judge the DSAP: let the frame through.
        if (LookaheadSize < 2)
            return TRUE;

        // 802.3 and SNA services frames alike: the DSAP is the first lookahead byte.
        return DsapAccepted(Adapter, Lookahead[0], "Discarding this packet. DSAP = ", Level);
    }

    if (Medium == NdisMedium802_5) {
        // The frame-control byte must exist in the header to be classified.
        if (Header == nullptr || HeaderSize <= TR_FC_OFFSET)
            return FALSE;
        if (!TokenRingLlcFrame(Header[TR_FC_OFFSET], Level))
            return FALSE;
        if (LookaheadSize == 0)
            return TRUE;
        return DsapAccepted(Adapter, Lookahead[0], "Discarding this packet. DSAP = ", Level);
    }

    if (TRACE_AT(Level, 4)) TraceLong(4, "Discarding this packet. Medium = ", (ULONG)Medium, 10);
    return FALSE;
}

// The frame on a medium the filter does not know, which the full-packet classification
// passes up with a warning (dsap_filter.cpp).
DECLSPEC_COLD BOOLEAN AcceptUnknownMedium(VOID);

//
// AcceptPacketFrame - classification of a frame indicated as a whole packet
// (KrvDlcReceivePacket). Reads only the first buffer of the packet, through its system
// address, and never beyond that buffer's length: a frame whose type, frame-control or
// DSAP byte lies outside the first buffer, or whose first buffer cannot be mapped, is
// refused. Any IRQL up to DISPATCH_LEVEL. The ...WithTraceLevel form traces at Level, the
// trace level its caller read.
//
BOOLEAN AcceptPacketFrame(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet);
FORCEINLINE BOOLEAN AcceptPacketFrameWithTraceLevel(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet,
                                                    ULONG Level)
{
    NDIS_MEDIUM Medium = Adapter->Medium;

    if (Medium != NdisMedium802_3 && Medium != NdisMedium802_5)
        return AcceptUnknownMedium();

    // Querying the packet also brings its buffer count and total length up to date.
    PNDIS_BUFFER FirstBuffer = nullptr;
    NdisQueryPacket(Packet, nullptr, nullptr, &FirstBuffer, nullptr);
    if (FirstBuffer == nullptr) {
        if (TRACE_AT(Level, 4)) TraceMessage(4, "First buffer in packet was NULL\n");
        return FALSE;
    }

    // A first buffer that cannot be mapped is refused: its bytes cannot be judged.
    PVOID Address = nullptr;
    UINT Length = 0;
    NdisQueryBufferSafe(FirstBuffer, &Address, &Length, NormalPagePriority);
    if (Address == nullptr)
        return FALSE;
    const UCHAR *Frame = (const UCHAR *)Address;

    if (Medium == NdisMedium802_3) {
        if (Length < ETH_HEADER_SIZE)
            return FALSE;
        ULONG Type = (ULONG)Frame[ETH_TYPE_OFFSET] * 256 + Frame[ETH_TYPE_OFFSET + 1];
        if (!EthernetTypeAccepted(Type, Level))
            return FALSE;

        UINT DsapOffset = Type < ETH_MAX_LENGTH_FIELD ? ETH_8023_DSAP_OFFSET : ETH_SNA_DSAP_OFFSET;
        // The DSAP must lie in the first buffer; the frame is refused otherwise.
        if (Length <= DsapOffset)
            return FALSE;
        return DsapAccepted(Adapter, Frame[DsapOffset], "Discarding this packet. DSAP = 0x", Level);
    }

    // Token Ring.
    if (Length <= TR_FC_OFFSET)
        return FALSE;
    if (!TokenRingLlcFrame(Frame[TR_FC_OFFSET], Level))
        return FALSE;

    // The routing information's length comes from the frame itself; the DSAP that
    // follows it must lie in the first buffer.
    if (Length <= TR_ROUTING_OFFSET)
        return FALSE;
    UINT DsapOffset = TR_ROUTING_OFFSET;
    if (Frame[TR_SOURCE_OFFSET] & TR_SOURCE_ROUTED)
        DsapOffset += Frame[TR_ROUTING_OFFSET] & TR_ROUTING_LENGTH;
    if (Length <= DsapOffset)
        return FALSE;
    return DsapAccepted(Adapter, Frame[DsapOffset], "Discarding this packet. DSAP = ", Level);
}
