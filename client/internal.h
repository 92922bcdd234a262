// internal.h - what the files of libkrvdlc share: the open-adapter record, the error
// reporting helpers and one request carried through to its end.
#pragma once

#include "client/krvdlc_client.h"
#include "client/port.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace krvdlc::client {

using String = std::basic_string<krvdlc_char>;

inline constexpr krvdlc_u32 kIoctlSetOid = 0x80000000u;
inline constexpr krvdlc_u32 kIoctlQueryOid = 0x80000004u;
inline constexpr krvdlc_u32 kIoctlReset = 0x80000008u;
inline constexpr krvdlc_u32 kIoctlEnumAdapters = 0x80002000u;
inline constexpr krvdlc_u32 kIoctlCheckDsap = 0x8000200Cu;
inline constexpr krvdlc_u32 kIoctlGetMacAddress = 0x80002080u;
inline constexpr krvdlc_u32 kIoctlGetMedium = 0x80002084u;

// The control device and the prefix of adapter file names.
inline const krvdlc_char kControlFileName[] = {'\\', '\\', '.', '\\', 'K', 'R', 'V', 'D', 'L', 'C', 0};
inline const krvdlc_char kDevicePrefix[] = {'\\', '\\', '.', '\\', 0};

std::string Utf8(const krvdlc_char *text);
inline std::string Utf8(const String &text) { return Utf8(text.c_str()); }
// The system's text of a Win32 error, without the line end ("" when it has none).
std::string SystemErrorText(port::DWORD error);
// "0xC0010017"
std::string Hex32(uint32_t value);

// Fills *error (when not NULL): the message is "<subject>: <operation>: <detail>", and
// " (error N: <system text>)" when win32Error is not 0. Returns `result`.
krvdlc_result Report(krvdlc_error *error, krvdlc_result result, port::DWORD win32Error,
                     const std::string &subject, const char *operation, const std::string &detail);
// Marks *error as a success; returns `result`.
krvdlc_result Succeed(krvdlc_error *error, krvdlc_result result = KRVDLC_OK);

// A manual- or auto-reset event owned for the length of a scope.
class Event {
public:
    explicit Event(bool manualReset = true)
        : handle_(port::CreateEventW(nullptr, manualReset ? 1 : 0, 0, nullptr)) {}
    ~Event()
    {
        if (handle_ != nullptr)
            port::CloseHandle(handle_);
    }
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    port::HANDLE get() const { return handle_; }
    port::HANDLE release()
    {
        port::HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    port::HANDLE handle_;
};

enum class RequestKind { Read, Write, Control };

struct Request {
    RequestKind kind = RequestKind::Control;
    krvdlc_u32 code = 0;            // device-control code
    const void *input = nullptr;    // write data, control input
    krvdlc_u32 inputSize = 0;
    void *output = nullptr;         // read buffer, control output
    krvdlc_u32 outputSize = 0;
};

enum class Ending { Finished, TimedOut, Interrupted };

struct Outcome {
    bool ok = false;
    port::DWORD error = 0;       // GetLastError when !ok
    port::DWORD bytes = 0;
    uint32_t status = 0;         // NT or NDIS status when the request went through the OVERLAPPED
    Ending ending = Ending::Finished;
};

inline constexpr uint32_t kStatusInsufficientResources = 0xC000009Au;

// The outcome of a request whose start already finished it (no ERROR_IO_PENDING), from
// the status it was completed with and its byte count.
Outcome FinishedAtOnce(uint32_t status, port::DWORD bytes);

// Issues one request on an overlapped handle and waits for its end, at most timeoutMs,
// or until `interrupt` (may be NULL) is signalled; then cancels it and waits until the
// driver has given it back, so the caller's buffers are free again on return. `done`:
// a manual-reset event the request may signal (the start resets it); NULL: one of its
// own for this request.
Outcome Carry(port::HANDLE device, const Request &request, port::DWORD timeoutMs,
              port::HANDLE interrupt = nullptr, port::HANDLE done = nullptr);
// Starts a request on `overlapped`: TRUE when it finished at once, else GetLastError.
port::BOOL Start(port::HANDLE device, const Request &request, port::OVERLAPPED *overlapped,
                 port::DWORD *bytes);

}  // namespace krvdlc::client

struct krvdlc_adapter {
    krvdlc::client::port::HANDLE device = krvdlc::client::port::kInvalidHandle;
    krvdlc::client::String fileName;
    krvdlc::client::String instanceName;
    krvdlc::client::port::HANDLE interruptEvent = nullptr;   // auto-reset, for krvdlc_interrupt
    // Manual reset, signalled by the completion of a blocking read: made once, so that a
    // reader taking frames at line rate does not create and close an event per frame.
    // Held by one read at a time; a read that finds it taken (another thread reads the
    // same adapter) carries its own.
    krvdlc::client::port::HANDLE readEvent = nullptr;
    std::atomic<bool> readEventTaken{false};
    krvdlc_u32 maxFrameSize = 0;                               // 0 when the adapter did not say
};

namespace krvdlc::client {

// "\\.\KrvDlc_{X} (instance name)" for messages.
std::string Subject(const krvdlc_adapter *adapter);
// Whether the adapter still appears in the driver's adapter list (used to tell an
// unbound adapter from other failures, which the driver reports alike).
bool StillListed(const krvdlc_adapter *adapter);
// Turns a failed request on an open adapter into a result and a message.
krvdlc_result ReportFailure(krvdlc_error *error, const krvdlc_adapter *adapter, const char *operation,
                            const Outcome &outcome);

}  // namespace krvdlc::client
