// ntstatus_to_win32.cpp - RtlNtStatusToDosError: the platform's translation of the NT
// status codes that reach user mode into Win32 error codes.
#include "sim/win32.h"

namespace sim::win32 {

namespace {

struct StatusMapping {
    uint32_t status;
    DWORD error;
};

constexpr StatusMapping kMappings[] = {
    {0x00000000, ERROR_SUCCESS},               // STATUS_SUCCESS
    {0x00000103, ERROR_IO_PENDING},            // STATUS_PENDING
    {0x40000000, ERROR_ALREADY_EXISTS},        // STATUS_OBJECT_NAME_EXISTS
    {0x80000005, ERROR_MORE_DATA},             // STATUS_BUFFER_OVERFLOW
    {0x80000011, ERROR_BUSY},                  // STATUS_DEVICE_BUSY
    {0xC0000001, ERROR_GEN_FAILURE},           // STATUS_UNSUCCESSFUL
    {0xC0000002, ERROR_INVALID_FUNCTION},      // STATUS_NOT_IMPLEMENTED
    {0xC0000004, ERROR_BAD_LENGTH},            // STATUS_INFO_LENGTH_MISMATCH
    {0xC0000005, ERROR_NOACCESS},              // STATUS_ACCESS_VIOLATION
    {0xC0000008, ERROR_INVALID_HANDLE},        // STATUS_INVALID_HANDLE
    {0xC000000D, ERROR_INVALID_PARAMETER},     // STATUS_INVALID_PARAMETER
    {0xC000000E, ERROR_FILE_NOT_FOUND},        // STATUS_NO_SUCH_DEVICE
    {0xC000000F, ERROR_FILE_NOT_FOUND},        // STATUS_NO_SUCH_FILE
    {0xC0000010, ERROR_INVALID_FUNCTION},      // STATUS_INVALID_DEVICE_REQUEST
    {0xC0000022, ERROR_ACCESS_DENIED},         // STATUS_ACCESS_DENIED
    {0xC0000023, ERROR_INSUFFICIENT_BUFFER},   // STATUS_BUFFER_TOO_SMALL
    {0xC0000024, ERROR_INVALID_HANDLE},        // STATUS_OBJECT_TYPE_MISMATCH
    {0xC0000033, ERROR_INVALID_NAME},          // STATUS_OBJECT_NAME_INVALID
    {0xC0000034, ERROR_FILE_NOT_FOUND},        // STATUS_OBJECT_NAME_NOT_FOUND
    {0xC0000035, ERROR_ALREADY_EXISTS},        // STATUS_OBJECT_NAME_COLLISION
    {0xC000003A, ERROR_PATH_NOT_FOUND},        // STATUS_OBJECT_PATH_NOT_FOUND
    {0xC000003B, ERROR_BAD_PATHNAME},          // STATUS_OBJECT_PATH_SYNTAX_BAD
    {0xC0000043, ERROR_SHARING_VIOLATION},     // STATUS_SHARING_VIOLATION
    {0xC0000056, ERROR_ACCESS_DENIED},         // STATUS_DELETE_PENDING
    {0xC000009A, ERROR_NO_SYSTEM_RESOURCES},   // STATUS_INSUFFICIENT_RESOURCES
    {0xC00000A2, ERROR_WRITE_PROTECT},         // STATUS_MEDIA_WRITE_PROTECTED
    {0xC00000A3, ERROR_NOT_READY},             // STATUS_DEVICE_NOT_READY
    {0xC00000BB, ERROR_NOT_SUPPORTED},         // STATUS_NOT_SUPPORTED
    {0xC0000120, ERROR_OPERATION_ABORTED},     // STATUS_CANCELLED
    {0xC0000225, ERROR_NOT_FOUND},             // STATUS_NOT_FOUND
};

constexpr uint32_t kFacilityNtWin32 = 7;

}  // namespace

DWORD RtlNtStatusToDosError(int32_t Status)
{
    auto code = static_cast<uint32_t>(Status);
    for (const auto &mapping : kMappings)
        if (mapping.status == code)
            return mapping.error;
    // Win32 errors wrapped in a status (facility 7) come back out unchanged.
    if ((code & 0x3FFF0000u) == (kFacilityNtWin32 << 16) && (code >> 30) >= 2)
        return code & 0xFFFF;
    return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace sim::win32
