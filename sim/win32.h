// win32.h - the part of the Win32 API that KRVDLC's user-mode side uses, emulated over
// the simulated I/O manager: device handles (\\.\NAME), reads, writes and device-control
// requests, blocking or overlapped, cancellation, events and the per-thread last error.
//
// Everything lives in namespace sim::win32 so that it does not clash with the driver's
// platform/nt.h. Names that platform/nt.h already defines as macros with the Win32 value
// (GENERIC_READ, GENERIC_WRITE, FILE_SHARE_*, FILE_ATTRIBUTE_NORMAL, TRUE, FALSE) come
// from there: use them unqualified.
//
// The calls are user-mode code: they run at PASSIVE_LEVEL on the calling host thread and
// a blocking call waits in real time for the driver to complete the request (the driver
// completes from other threads).
#pragma once

// The simulator's view of the platform declarations (no driver-side swprintf).
#ifndef KRVDLC_SIM_IMPLEMENTATION
#define KRVDLC_SIM_IMPLEMENTATION 1
#endif
#include "platform/nt.h"

#include <cstdint>

namespace sim::win32 {

using DWORD = uint32_t;
using BOOL = int;
using HANDLE = void *;
using LPVOID = void *;
using LPCVOID = const void *;
using LPDWORD = DWORD *;
using LPCWSTR = const char16_t *;
using LPWSTR = char16_t *;
using ULONG_PTR = uintptr_t;

struct OVERLAPPED {
    ULONG_PTR Internal;        // NTSTATUS of the request; STATUS_PENDING while it runs
    ULONG_PTR InternalHigh;    // byte count
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        void *Pointer;
    };
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED *;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

#ifndef GENERIC_READ
inline constexpr DWORD GENERIC_READ = 0x80000000;
#endif
#ifndef GENERIC_WRITE
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
#endif
#ifndef FILE_SHARE_READ
inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
#endif
#ifndef FILE_SHARE_WRITE
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
#endif
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_NOT_READY = 21;
inline constexpr DWORD ERROR_BAD_LENGTH = 24;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_NOACCESS = 998;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
inline constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
inline constexpr DWORD ERROR_TIMEOUT = 1460;

// Opens a device by its user-mode name \\.\NAME (a link in \DosDevices). Only the
// FILE_FLAG_OVERLAPPED flag changes anything; access and sharing are passed to the driver.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void *lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Closes a device or event handle. Closing the last handle of a device file sends the
// driver IRP_MJ_CLEANUP, and IRP_MJ_CLOSE once no request of the file is outstanding.
BOOL CloseHandle(HANDLE hObject);

// Requests. On a handle opened without FILE_FLAG_OVERLAPPED they block until the driver
// completes. On an overlapped handle lpOverlapped is required; a request that pends
// returns FALSE with ERROR_IO_PENDING and its result comes through GetOverlappedResult
// (OVERLAPPED.Internal = NTSTATUS, InternalHigh = byte count, hEvent set on completion).
// The byte count is stored for successes and warnings; on an error it is left alone
// (ReadFile and WriteFile store 0 first, as the platform does).
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Cancels every request that the calling thread issued on hFile and that is still
// outstanding; does not wait for them.
BOOL CancelIo(HANDLE hFile);

HANDLE CreateEventW(void *lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Waits for any one of the events (bWaitAll FALSE; TRUE is refused with
// ERROR_NOT_SUPPORTED): WAIT_OBJECT_0 + the index of the first signalled one, which an
// auto-reset event pays for by being reset.
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);

// The system's text of a Win32 error, as FORMAT_MESSAGE_FROM_SYSTEM gives it (English,
// ending in CR LF), for the errors this API and the driver's statuses produce. Only
// FORMAT_MESSAGE_FROM_SYSTEM with a caller's buffer is supported; the other flags and
// arguments are ignored. Returns the characters stored without the terminator, or 0 with
// ERROR_MR_MID_NOT_FOUND for an unknown code and ERROR_INSUFFICIENT_BUFFER when nSize
// is too small.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, void *Arguments);

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// The platform's mapping of an NT status to a Win32 error; ERROR_MR_MID_NOT_FOUND for
// codes it does not know (NDIS status codes among them).
DWORD RtlNtStatusToDosError(int32_t Status);

}  // namespace sim::win32
