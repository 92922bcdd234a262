//
// eventlog.h - system event-log entries with the driver's message table.
//
#pragma once

// Event codes: severity in the top two bits, facility 0x2A (Krv), code in the low word.
#define EVENT_DRIVER_STARTED     ((NTSTATUS)0x402A0001)
#define EVENT_DRIVER_FAILED      ((NTSTATUS)0xC02A0002)
#define EVENT_DRIVER_INFORMATION ((NTSTATUS)0x402A0003)
#define EVENT_DRIVER_WARNING     ((NTSTATUS)0x802A0004)
#define EVENT_DRIVER_ERROR       ((NTSTATUS)0xC02A0005)
#define EVENT_DRIVER_SHUTDOWN    ((NTSTATUS)0x402A0006)
#define EVENT_OPENING_ADAPTER    ((NTSTATUS)0x402A0007)

// LogSystemError kinds.
#define LOG_ERROR   1
#define LOG_WARNING 2

// Both: any IRQL up to DISPATCH_LEVEL, reentrant. The entry is owned by DriverObject.
// Dump data, when given, is one 4-byte value passed by address with size 4.
VOID LogSystemEvent(NTSTATUS EventCode, const WCHAR *String, const void *DumpData,
                    ULONG DumpSize);
// LogSystemError reports failures only, so it is cold (see trace.h).
DECLSPEC_COLD VOID LogSystemError(ULONG Kind, const char *Text, const void *DumpData, ULONG DumpSize);
