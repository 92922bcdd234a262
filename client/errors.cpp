// errors.cpp - results, their names and the messages of libkrvdlc: each names the adapter,
// the operation and, where the system reported one, the Win32 error with its text.
#include "client/internal.h"

#include <cstdio>
#include <cstring>

namespace krvdlc::client {

std::string Utf8(const krvdlc_char *text)
{
    std::string out;
    if (text == nullptr)
        return out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        uint32_t next = static_cast<uint16_t>(text[i + 1]);
        if (c >= 0xD800 && c < 0xDC00 && next >= 0xDC00 && next < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;   // a lone surrogate
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string SystemErrorText(port::DWORD error)
{
    krvdlc_char text[512];
    port::DWORD length = port::FormatMessageW(port::kFormatFromSystem, nullptr, error, 0, text,
                                              static_cast<port::DWORD>(sizeof text / sizeof text[0]), nullptr);
    if (length == 0)
        return {};
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        --length;
    text[length] = 0;
    return Utf8(text);
}

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

krvdlc_result Report(krvdlc_error *error, krvdlc_result result, port::DWORD win32Error,
                     const std::string &subject, const char *operation, const std::string &detail)
{
    if (error == nullptr)
        return result;
    std::string message = subject.empty() ? std::string() : subject + ": ";
    message += operation;
    message += ": ";
    message += detail;
    if (win32Error != 0) {
        message += " (error " + std::to_string(win32Error);
        std::string text = SystemErrorText(win32Error);
        // The system's text for codes it cannot name has unfilled inserts: leave it out.
        if (!text.empty() && text.find("%1") == std::string::npos)
            message += ": " + text;
        message += ")";
    }
    error->result = result;
    error->win32_error = win32Error;
    size_t length = message.size() < KRVDLC_ERROR_MESSAGE_SIZE - 1 ? message.size() : KRVDLC_ERROR_MESSAGE_SIZE - 1;
    std::memcpy(error->message, message.data(), length);
    error->message[length] = '\0';
    return result;
}

krvdlc_result Succeed(krvdlc_error *error, krvdlc_result result)
{
    if (error != nullptr) {
        error->result = result;
        error->win32_error = 0;
        error->message[0] = '\0';
    }
    return result;
}

std::string Subject(const krvdlc_adapter *adapter)
{
    if (adapter == nullptr)
        return "KRVDLC";
    std::string subject = Utf8(adapter->fileName);
    if (!adapter->instanceName.empty())
        subject += " (" + Utf8(adapter->instanceName) + ")";
    return subject;
}

krvdlc_result ReportFailure(krvdlc_error *error, const krvdlc_adapter *adapter, const char *operation,
                            const Outcome &outcome)
{
    std::string subject = Subject(adapter);
    switch (outcome.error) {
    case port::kErrorOperationAborted:
        if (!StillListed(adapter))
            return Report(error, KRVDLC_E_NOT_BOUND, outcome.error, subject, operation,
                          "the adapter was unbound; close it and open it again once it is back");
        return Report(error, KRVDLC_E_CANCELLED, outcome.error, subject, operation, "the request was cancelled");
    case port::kErrorBusy:
        return Report(error, KRVDLC_E_BUSY, outcome.error, subject, operation,
                      "another read is already waiting on this adapter; one read at a time");
    case port::kErrorNotReady:
        return Report(error, KRVDLC_E_NOT_BOUND, outcome.error, subject, operation,
                      "the adapter is no longer bound; close it and open it again once it is back");
    case port::kErrorInsufficientBuffer:
        return Report(error, KRVDLC_E_BUFFER_TOO_SMALL, outcome.error, subject, operation,
                      "the buffer is too small for the answer");
    case port::kErrorNoSystemResources:
        // Frames queued by the lookahead handler can hold every packet of the adapter, and
        // a delivery needs one more: such a queue stays until it is emptied.
        if (std::string(operation) == "read")
            return Report(error, KRVDLC_E_IO, outcome.error, subject, operation,
                          "the driver has a frame but no free packet or memory to deliver it; if this "
                          "repeats, close and reopen the adapter (its queued frames are dropped)");
        return Report(error, KRVDLC_E_IO, outcome.error, subject, operation,
                      "the driver has no free packet or memory for it now; try again");
    case port::kErrorGenFailure:
        // The driver refuses requests on an unbound adapter with the same status as a
        // failed send or reset; the adapter list tells the two apart.
        if (!StillListed(adapter))
            return Report(error, KRVDLC_E_NOT_BOUND, outcome.error, subject, operation,
                          "the adapter is no longer bound; close it and open it again once it is back");
        return Report(error, KRVDLC_E_IO, outcome.error, subject, operation, "the driver or the adapter failed it");
    default:
        return Report(error, KRVDLC_E_IO, outcome.error, subject, operation, "the driver failed it");
    }
}

}  // namespace krvdlc::client

extern "C" const char *KRVDLC_CALL krvdlc_result_name(krvdlc_result result)
{
    switch (result) {
    case KRVDLC_OK: return "KRVDLC_OK";
    case KRVDLC_PENDING: return "KRVDLC_PENDING";
    case KRVDLC_E_INVALID_ARGUMENT: return "KRVDLC_E_INVALID_ARGUMENT";
    case KRVDLC_E_INVALID_LENGTH: return "KRVDLC_E_INVALID_LENGTH";
    case KRVDLC_E_DRIVER_NOT_LOADED: return "KRVDLC_E_DRIVER_NOT_LOADED";
    case KRVDLC_E_NO_SUCH_ADAPTER: return "KRVDLC_E_NO_SUCH_ADAPTER";
    case KRVDLC_E_BUSY: return "KRVDLC_E_BUSY";
    case KRVDLC_E_NOT_BOUND: return "KRVDLC_E_NOT_BOUND";
    case KRVDLC_E_TIMEOUT: return "KRVDLC_E_TIMEOUT";
    case KRVDLC_E_CANCELLED: return "KRVDLC_E_CANCELLED";
    case KRVDLC_E_BUFFER_TOO_SMALL: return "KRVDLC_E_BUFFER_TOO_SMALL";
    case KRVDLC_E_FRAME_TOO_SHORT: return "KRVDLC_E_FRAME_TOO_SHORT";
    case KRVDLC_E_FRAME_TOO_LONG: return "KRVDLC_E_FRAME_TOO_LONG";
    case KRVDLC_E_MALFORMED_FRAME: return "KRVDLC_E_MALFORMED_FRAME";
    case KRVDLC_E_NOT_SUPPORTED: return "KRVDLC_E_NOT_SUPPORTED";
    case KRVDLC_E_NO_MEMORY: return "KRVDLC_E_NO_MEMORY";
    case KRVDLC_E_IO: return "KRVDLC_E_IO";
    case KRVDLC_E_NOT_IMPLEMENTED: return "KRVDLC_E_NOT_IMPLEMENTED";
    }
    return "KRVDLC_E_UNKNOWN";
}
