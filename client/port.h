// port.h - the one place where libkrvdlc meets its platform: the Win32 API of Windows
// (kernel32), or on the host build the emulated Win32 API of the simulated machine. The
// library calls port::Name for every system call and uses the k-constants below, so the
// same sources build for both.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "sim/win32.h"
#endif

#include "client/krvdlc_client.h"

namespace krvdlc::client::port {

#if defined(_WIN32)
using ::BOOL;
using ::DWORD;
using ::HANDLE;
using ::OVERLAPPED;
using ::CancelIo;
using ::CloseHandle;
using ::CreateEventW;
using ::CreateFileW;
using ::DeviceIoControl;
using ::FormatMessageW;
using ::GetLastError;
using ::GetOverlappedResult;
using ::ReadFile;
using ::ResetEvent;
using ::SetEvent;
using ::WaitForMultipleObjects;
using ::WaitForSingleObject;
using ::WriteFile;
#else
using namespace sim::win32;
#endif

static_assert(sizeof(krvdlc_char) == 2, "adapter names are UTF-16");
static_assert(sizeof(krvdlc_u32) == 4 && sizeof(krvdlc_u16) == 2, "fixed-width API types");

inline const HANDLE kInvalidHandle = INVALID_HANDLE_VALUE;
inline constexpr DWORD kGenericReadWrite = GENERIC_READ | GENERIC_WRITE;
inline constexpr DWORD kOpenExisting = OPEN_EXISTING;
inline constexpr DWORD kFlagOverlapped = FILE_FLAG_OVERLAPPED;
inline constexpr DWORD kInfinite = INFINITE;
inline constexpr DWORD kWaitObject0 = WAIT_OBJECT_0;
inline constexpr DWORD kWaitTimeout = WAIT_TIMEOUT;
inline constexpr DWORD kFormatFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

inline constexpr DWORD kErrorFileNotFound = ERROR_FILE_NOT_FOUND;
inline constexpr DWORD kErrorPathNotFound = ERROR_PATH_NOT_FOUND;
inline constexpr DWORD kErrorAccessDenied = ERROR_ACCESS_DENIED;
inline constexpr DWORD kErrorNotReady = ERROR_NOT_READY;
inline constexpr DWORD kErrorGenFailure = ERROR_GEN_FAILURE;
inline constexpr DWORD kErrorSharingViolation = ERROR_SHARING_VIOLATION;
inline constexpr DWORD kErrorInvalidFunction = ERROR_INVALID_FUNCTION;
inline constexpr DWORD kErrorInsufficientBuffer = ERROR_INSUFFICIENT_BUFFER;
inline constexpr DWORD kErrorBusy = ERROR_BUSY;
inline constexpr DWORD kErrorMoreData = ERROR_MORE_DATA;
inline constexpr DWORD kErrorOperationAborted = ERROR_OPERATION_ABORTED;
inline constexpr DWORD kErrorIoPending = ERROR_IO_PENDING;
inline constexpr DWORD kErrorNoSystemResources = ERROR_NO_SYSTEM_RESOURCES;

}  // namespace krvdlc::client::port
