// win32_messages.cpp - FormatMessageW with the system's English message table for the
// Win32 errors that the emulated API and the driver's statuses produce, so that user-mode
// code prints the same texts on the simulated machine as on Windows.
#include "sim/win32.h"

#include <string_view>

namespace sim::win32 {

namespace {

struct SystemMessage {
    DWORD error;
    std::u16string_view text;
};

constexpr SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, u"The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, u"Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, u"The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, u"The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, u"Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, u"The handle is invalid.\r\n"},
    {ERROR_WRITE_PROTECT, u"The media is write protected.\r\n"},
    {ERROR_NOT_READY, u"The device is not ready.\r\n"},
    {ERROR_BAD_LENGTH, u"The program issued a command but the command length is incorrect.\r\n"},
    {ERROR_GEN_FAILURE, u"A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     u"The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_NOT_SUPPORTED, u"The request is not supported.\r\n"},
    {ERROR_INVALID_PARAMETER, u"The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, u"The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_BAD_PATHNAME, u"The specified path is invalid.\r\n"},
    {ERROR_BUSY, u"The requested resource is in use.\r\n"},
    {ERROR_ALREADY_EXISTS, u"Cannot create a file when that file already exists.\r\n"},
    {ERROR_MORE_DATA, u"More data is available.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_OPERATION_ABORTED,
     u"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {ERROR_IO_INCOMPLETE, u"Overlapped I/O event is not in a signaled state.\r\n"},
    {ERROR_IO_PENDING, u"Overlapped I/O operation is in progress.\r\n"},
    {ERROR_NOACCESS, u"Invalid access to memory location.\r\n"},
    {ERROR_NOT_FOUND, u"Element not found.\r\n"},
    {ERROR_NO_SYSTEM_RESOURCES, u"Insufficient system resources exist to complete the requested service.\r\n"},
    {ERROR_TIMEOUT, u"This operation returned because the timeout period expired.\r\n"},
};

}  // namespace

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPWSTR lpBuffer, DWORD nSize, void *Arguments)
{
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const auto &message : kSystemMessages) {
        if (message.error != dwMessageId)
            continue;
        if (message.text.size() + 1 > nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        message.text.copy(lpBuffer, message.text.size());
        lpBuffer[message.text.size()] = u'\0';
        return static_cast<DWORD>(message.text.size());
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

}  // namespace sim::win32
