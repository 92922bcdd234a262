//
// eventlog.cpp - entries in the system event log through the I/O manager's error-log
// packets, shown with the driver's message table.
//
#include "core/krvdlc.h"

// The fixed part of an error-log entry, first dump-data word included.
#define ERROR_LOG_FIXED_SIZE 48
static_assert(sizeof(IO_ERROR_LOG_PACKET) == ERROR_LOG_FIXED_SIZE, "error-log entry header");

// Room for dump data and string after the fixed part in the largest entry.
#define ERROR_LOG_ROOM (ERROR_LOG_MAXIMUM_SIZE - ERROR_LOG_FIXED_SIZE)

//
// LogSystemEvent - writes one error-log entry owned by DriverObject with the event code,
// the string as insertion string %2 (cut and terminated to keep the entry within 152
// bytes) and the dump bytes. Any IRQL up to DISPATCH_LEVEL; reentrant. The entry passes
// to the I/O manager; the caller keeps string and dump data.
// An entry that would exceed 152 bytes even with the string cut (dump data of 104 bytes
// or more with a string, above 104 without) is not logged. Dump data given without an
// address counts as none.
//
VOID LogSystemEvent(NTSTATUS EventCode, const WCHAR *String, const void *DumpData,
                    ULONG DumpSize)
{
    PIO_ERROR_LOG_PACKET Entry;
    ULONGLONG PacketLength;     // wide enough that no size given can wrap it
    ULONG CharCount = 0;        // string characters, terminator included
    PUCHAR StringTarget;

    if (TRACE_ON(5))
        TraceLong(5, "Entering LogSystemEvent.  Event code = ", (ULONG)EventCode, 16);

    if (DumpData == nullptr)
        DumpSize = 0;

    if (String != nullptr) {
        while (String[CharCount] != 0)
            CharCount++;
        CharCount++;
    }

    PacketLength = (ULONGLONG)ERROR_LOG_FIXED_SIZE + DumpSize + 2 * (ULONGLONG)CharCount;
    if (PacketLength > ERROR_LOG_MAXIMUM_SIZE) {
        if (TRACE_ON(4))
            TraceLong(4, "* ulPacketLength is too large: ", (ULONG)PacketLength, 10);
        if (DumpSize >= ERROR_LOG_ROOM) {
            if (TRACE_DEBUGGER_ON())
                DbgPrint("KRVDLC: Unable to log the event.\n");
            return;
        }
        if (TRACE_ON(4))
            TraceMessage(4, "Truncating the string.\n");
        CharCount = (ERROR_LOG_ROOM - DumpSize) / 2;
        PacketLength = ERROR_LOG_MAXIMUM_SIZE;
    }

    Entry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(DriverObject, (UCHAR)PacketLength);
    if (Entry == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: ** Unable to allocate an IO Error Log Packet\n");
        return;
    }

    // The whole entry is zeroed, not only the fixed part: the string starts 48 bytes past
    // the dump data's own start, and the gap must not carry stale pool to the event log.
    RtlZeroMemory(Entry, (SIZE_T)PacketLength);
    Entry->DumpDataSize = (USHORT)DumpSize;
    Entry->ErrorCode = EventCode;
    if (DumpSize != 0)
        RtlCopyMemory(Entry->DumpData, DumpData, DumpSize);
    // 103 bytes of dump data leave one byte, no room even for a terminator: no string.
    Entry->NumberOfStrings = (USHORT)(CharCount != 0 ? 1 : 0);
    Entry->StringOffset = (USHORT)(ERROR_LOG_FIXED_SIZE + DumpSize);
    if (CharCount != 0) {
        // An odd dump size leaves the string unaligned: bytes are copied, not characters.
        StringTarget = (PUCHAR)Entry + Entry->StringOffset;
        RtlCopyMemory(StringTarget, String, (CharCount - 1) * sizeof(WCHAR));
        RtlZeroMemory(StringTarget + (CharCount - 1) * sizeof(WCHAR), sizeof(WCHAR));
    }

    IoWriteErrorLogEntry(Entry);

    if (TRACE_ON(5))
        TraceMessage(5, "Leaving LogSystemEvent\n");
}

//
// LogSystemError - logs a narrow text as the insertion string of the driver's error
// (LOG_ERROR) or warning (LOG_WARNING) event with the caller's dump data; any other kind
// logs nothing. Any IRQL up to DISPATCH_LEVEL. Owns a nonpaged wide copy of the text for
// the duration of the call.
//
VOID LogSystemError(ULONG Kind, const char *Text, const void *DumpData, ULONG DumpSize)
{
    NTSTATUS EventCode;
    ULONG ByteCount = 0;        // text bytes, NUL included
    PWCHAR WideText;

    if (Kind == LOG_ERROR)
        EventCode = EVENT_DRIVER_ERROR;
    else if (Kind == LOG_WARNING)
        EventCode = EVENT_DRIVER_WARNING;
    else
        return;

    // Callers always pass a text; without one there is nothing to say.
    if (Text == nullptr)
        return;

    while (Text[ByteCount] != '\0')
        ByteCount++;
    ByteCount++;

    WideText = (PWCHAR)KrvAllocatePool(NonPagedPool, ByteCount * sizeof(WCHAR));
    if (WideText == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: LogSystemError unable to allocate buffer from nonpaged pool\n");
        return;
    }

    // Each byte zero-extended; the NUL becomes the terminator.
    for (ULONG i = 0; i < ByteCount; i++)
        WideText[i] = (WCHAR)(UCHAR)Text[i];

    LogSystemEvent(EventCode, WideText, DumpData, DumpSize);

    ExFreePool(WideText);
}
