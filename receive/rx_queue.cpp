//
// rx_queue.cpp - the adapter's receive queue: emptying it, and the queue-full report.
// Appending a frame and giving a queued packet back are inline (receive.h).
//
// RxQueue is changed only by the interlocked list routines under RxQueueLock, which is
// held for nothing else. RxQueueCount follows it by interlocked increment right after an
// insertion and interlocked decrement right after a removal that returned a record, so
// several processors may queue, deliver and empty at once. Between an insertion and its
// increment the count can trail the list by one for a moment; tests for "empty" therefore
// take any count up to 0 as empty.
//
#include "core/krvdlc.h"

//
// KrvDlcEmptyRxQueue - discards every queued frame: each record is removed, freed and its
// packet given back. Safe against a delivery or another emptying running at the same
// time: each decrements RxQueueCount only for a record it removed itself. Counted like a
// receive handler, so that an unbind waits for a packet an open or a cleanup has taken
// off the queue but not yet given back before it closes the adapter.
// PASSIVE_LEVEL (open, cleanup, unbind) or up to DISPATCH_LEVEL (reset completion).
//
VOID KrvDlcEmptyRxQueue(PADAPTER_CONTEXT Adapter)
{
    EnterIndication(Adapter);
    if (TRACE_ON(5)) TraceMessage(5, "Entering KrvDlcEmptyRxQueue\n");

    LONG Count = ReadNoFence(&Adapter->RxQueueCount);
    if (Count > 0) {
        if (TRACE_ON(4))
            TraceLong(4, "Discarding received packets from the Rx queue: ", (ULONG)Count, 10);
        for (;;) {
            PLIST_ENTRY Entry = ExInterlockedRemoveHeadList(&Adapter->RxQueue, &Adapter->RxQueueLock);
            if (Entry == nullptr) {
                if (TRACE_ON(1)) TraceMessage(1, "** Receive queue is either empty or corrupt.\n");
                LogSystemError(LOG_ERROR, "** Receive queue is either empty or corrupt.\n", nullptr, 0);
                break;
            }
            LONG Left = InterlockedDecrement(&Adapter->RxQueueCount);
            PRECEIVED_PACKET Record = CONTAINING_RECORD(Entry, RECEIVED_PACKET, ListEntry);
            PNDIS_PACKET Packet = Record->Packet;
            ExFreePool(Record);
            ReleaseReceivedPacket(Packet, TRACE_LEVEL_NOW(), FALSE);
            if (Left <= 0)
                break;
        }
    }

    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcEmptyRxQueue\n");
    LeaveIndication(Adapter);
}

//
// AdmitToLongQueue - the queue limits for a frame that finds Queued frames queued,
// RX_QUEUE_WARNING or more, alike for both receive paths but for the warning: FALSE,
// after the queue-full report, when they fill the queue (RX_QUEUE_LIMIT); else TRUE,
// after the path's warning Text, traced at WarningLevel and logged as LogKind with the
// count read again as its data. Lines traced at Level, the trace level the receive handler
// read. Any IRQL up to DISPATCH_LEVEL. Out of line and cold: a reader that keeps up never
// lets the queue grow this long.
//
DECLSPEC_NOINLINE BOOLEAN AdmitToLongQueue(PADAPTER_CONTEXT Adapter, LONG Queued, ULONG Level, ULONG WarningLevel,
                                           ULONG LogKind, const char *Text)
{
    if (Queued >= RX_QUEUE_LIMIT) {
        if (TRACE_AT(Level, 1))
            TraceMessage(1, "** Too many received packets have been queued...  Discarding packet.\n");
        LogSystemError(LOG_ERROR, "** Too many received packets have been queued...  Discarding packet.\n",
                       nullptr, 0);
        return FALSE;
    }
    if (TRACE_AT(Level, WarningLevel)) TraceLong(WarningLevel, Text, (ULONG)Queued, 10);
    ULONG Again = (ULONG)ReadNoFence(&Adapter->RxQueueCount);
    LogSystemError(LogKind, Text, &Again, sizeof(ULONG));
    return TRUE;
}
