//
// status.cpp - NDIS status indications. The driver keeps no status of its own: it only
// traces them.
//
#include "core/krvdlc.h"

//
// KrvDlcStatus - traces one status indication of an adapter: the status, the buffer
// size, and a 4-byte value or a dump of the buffer. Up to DISPATCH_LEVEL; changes
// nothing.
//
VOID NTAPI KrvDlcStatus(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS GeneralStatus,
                        PVOID StatusBuffer, UINT StatusBufferSize)
{
    (void)ProtocolBindingContext;

    if (TRACE_ON(3))
        TraceLong(3, "***NDIS Status indication*** Status = ", (ULONG)GeneralStatus, 16);
    if (TRACE_ON(4)) TraceLong(4, "StatusBufferSize: ", StatusBufferSize, 10);

    if (StatusBufferSize == sizeof(ULONG)) {
        if (StatusBuffer != nullptr && TRACE_ON(3)) {
            ULONG Value;
            RtlCopyMemory(&Value, StatusBuffer, sizeof(ULONG));
            TraceLong(3, "Status: ", Value, 16);
        }
    } else if (StatusBufferSize > 0) {
        if (TRACE_ON(3))
            TraceBuffer(3, "Status buffer: ", (const UCHAR *)StatusBuffer, StatusBufferSize);
    }
}

//
// KrvDlcStatusComplete - end of a burst of status indications. Up to DISPATCH_LEVEL;
// traces only.
//
VOID NTAPI KrvDlcStatusComplete(NDIS_HANDLE ProtocolBindingContext)
{
    (void)ProtocolBindingContext;
    if (TRACE_ON(4)) TraceMessage(4, "StatusIndicationComplete\n");
}
