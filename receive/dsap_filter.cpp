//
// dsap_filter.cpp - what the frame filter (frame_filter.h, inline) keeps out of line: the
// table of refused DSAPs, the rare paths, and the filter for callers outside the receive
// handlers.
//
#include "core/krvdlc.h"

// The DSAP rule as a table: refused are 0x00, 0xF0 and every DSAP with either of its two
// low-order bits set, i.e. all but the multiples of 4 from 0x04 to 0xFC other than 0xF0.
// Bits 0-31 of word w stand for the DSAPs 32w to 32w + 31.
#define REFUSED_LOW_BITS 0xEEEEEEEEu    // every DSAP whose low two bits are not 00
const ULONG RefusedDsaps[256 / 32] = {
    REFUSED_LOW_BITS | 0x1u,            // and 0x00
    REFUSED_LOW_BITS, REFUSED_LOW_BITS, REFUSED_LOW_BITS,
    REFUSED_LOW_BITS, REFUSED_LOW_BITS, REFUSED_LOW_BITS,
    REFUSED_LOW_BITS | 0x10000u,        // and 0xF0 (bit 16 of the word of 0xE0-0xFF)
};

//
// TraceByte - traces one byte after Label, as TraceBuffer does. Any IRQL up to
// DISPATCH_LEVEL.
//
VOID TraceByte(ULONG Level, const char *Label, UCHAR Value)
{
    TraceBuffer(Level, Label, &Value, 1);
}

//
// AcceptUnknownMedium - the full-packet classification on a medium other than 802.3 and
// 802.5: warns and accepts the frame without any DSAP step. Up to DISPATCH_LEVEL.
//
BOOLEAN AcceptUnknownMedium(VOID)
{
    if (TRACE_ON(2))
        TraceMessage(2, "* Unknown transmission medium.  Passing packet up anyway.\n");
    LogSystemError(LOG_WARNING, "* Unknown transmission medium.  Passing packet up anyway.\n",
                   nullptr, 0);
    return TRUE;
}

//
// RejectDSAP, AcceptLookaheadFrame, AcceptPacketFrame - the filter (frame_filter.h) at the
// trace level of the moment. Tracing off has a copy of its own, without any test of the
// level; the copy for the other levels is out of line, so that the first has the
// registers of its routine to itself. Any IRQL up to DISPATCH_LEVEL.
//
static DECLSPEC_NOINLINE BOOLEAN RejectDSAPTraced(UCHAR Dsap, ULONG Level)
{
    return RejectDSAPWithTraceLevel(Dsap, Level);
}

BOOLEAN RejectDSAP(UCHAR Dsap)
{
    ULONG Level = TRACE_LEVEL_NOW();
    if (Level != 0)
        return RejectDSAPTraced(Dsap, Level);
    return RejectDSAPWithTraceLevel(Dsap, 0);
}

static DECLSPEC_NOINLINE BOOLEAN AcceptLookaheadFrameTraced(PADAPTER_CONTEXT Adapter, const UCHAR *Header,
                                                           UINT HeaderSize, const UCHAR *Lookahead,
                                                           UINT LookaheadSize, ULONG Level)
{
    return AcceptLookaheadFrameWithTraceLevel(Adapter, Header, HeaderSize, Lookahead, LookaheadSize, Level);
}

BOOLEAN AcceptLookaheadFrame(PADAPTER_CONTEXT Adapter, const UCHAR *Header, UINT HeaderSize,
                             const UCHAR *Lookahead, UINT LookaheadSize)
{
    ULONG Level = TRACE_LEVEL_NOW();
    if (Level != 0)
        return AcceptLookaheadFrameTraced(Adapter, Header, HeaderSize, Lookahead, LookaheadSize, Level);
    return AcceptLookaheadFrameWithTraceLevel(Adapter, Header, HeaderSize, Lookahead, LookaheadSize, 0);
}

static DECLSPEC_NOINLINE BOOLEAN AcceptPacketFrameTraced(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet,
                                                        ULONG Level)
{
    return AcceptPacketFrameWithTraceLevel(Adapter, Packet, Level);
}

BOOLEAN AcceptPacketFrame(PADAPTER_CONTEXT Adapter, PNDIS_PACKET Packet)
{
    ULONG Level = TRACE_LEVEL_NOW();
    if (Level != 0)
        return AcceptPacketFrameTraced(Adapter, Packet, Level);
    return AcceptPacketFrameWithTraceLevel(Adapter, Packet, 0);
}
