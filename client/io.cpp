// io.cpp - reading and writing whole frames on an open adapter: blocking with a time-out
// or an interrupt, or overlapped with an event the caller waits on.
#include "client/internal.h"

#include <new>

using namespace krvdlc::client;

struct krvdlc_io {
    port::OVERLAPPED overlapped{};
    port::HANDLE event = nullptr;     // manual reset, owned
    krvdlc_adapter *adapter = nullptr;
    const char *operation = "";
    bool running = false;             // started and not yet finished or cancelled
    bool finishedAtOnce = false;      // completed inside the start call
    port::DWORD bytesAtOnce = 0;
};

namespace {

// Frames shorter than the MAC header or longer than the adapter carries never reach
// the driver.
krvdlc_result CheckFrame(krvdlc_adapter *adapter, const void *frame, krvdlc_u32 size, krvdlc_error *error)
{
    if (adapter == nullptr || frame == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "write", "no adapter or no frame");
    if (size < KRVDLC_ETHERNET_HEADER_SIZE)
        return Report(error, KRVDLC_E_FRAME_TOO_SHORT, 0, Subject(adapter), "write",
                      "frame too short: " + std::to_string(size) + " bytes, the MAC header alone is 14");
    if (adapter->maxFrameSize != 0 && size > adapter->maxFrameSize)
        return Report(error, KRVDLC_E_FRAME_TOO_LONG, 0, Subject(adapter), "write",
                      "frame too long: " + std::to_string(size) + " bytes, the adapter carries at most " +
                          std::to_string(adapter->maxFrameSize));
    return KRVDLC_OK;
}

krvdlc_result CheckRead(krvdlc_adapter *adapter, const void *buffer, krvdlc_u32 size, krvdlc_error *error)
{
    if (adapter == nullptr || buffer == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "read", "no adapter or no buffer");
    if (size < KRVDLC_ETHERNET_HEADER_SIZE)
        return Report(error, KRVDLC_E_BUFFER_TOO_SMALL, 0, Subject(adapter), "read",
                      "a read needs room for at least the 14-byte MAC header, not " + std::to_string(size));
    return KRVDLC_OK;
}

krvdlc_result Finished(krvdlc_io *io, bool ok, port::DWORD bytes, port::DWORD win32Error, uint32_t status,
                       krvdlc_u32 *bytesOut, krvdlc_error *error)
{
    io->running = false;
    io->finishedAtOnce = false;
    if (!ok) {
        Outcome outcome;
        outcome.error = win32Error;
        outcome.status = status;
        return ReportFailure(error, io->adapter, io->operation, outcome);
    }
    if (bytesOut != nullptr)
        *bytesOut = bytes;
    return Succeed(error);
}

krvdlc_result StartIo(krvdlc_adapter *adapter, krvdlc_io *io, const Request &request, const char *operation,
                      krvdlc_error *error)
{
    if (io == nullptr || io->running)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), operation,
                      io == nullptr ? "no request slot" : "this request slot still carries a request; finish it first");
    port::HANDLE event = io->event;
    io->overlapped = port::OVERLAPPED{};
    io->overlapped.hEvent = event;
    io->adapter = adapter;
    io->operation = operation;
    io->running = true;
    io->finishedAtOnce = false;
    port::DWORD bytes = 0;
    if (Start(adapter->device, request, &io->overlapped, &bytes)) {
        Outcome outcome = FinishedAtOnce(static_cast<uint32_t>(io->overlapped.Internal), bytes);
        if (!outcome.ok)
            return Finished(io, false, 0, outcome.error, outcome.status, nullptr, error);
        io->finishedAtOnce = true;
        io->bytesAtOnce = bytes;
        return Succeed(error);
    }
    port::DWORD code = port::GetLastError();
    if (code == port::kErrorIoPending)
        return Succeed(error, KRVDLC_PENDING);
    return Finished(io, false, 0, code, 0, nullptr, error);
}

}  // namespace

extern "C" {

krvdlc_result KRVDLC_CALL krvdlc_read(krvdlc_adapter *adapter, void *buffer, krvdlc_u32 size, krvdlc_u32 timeout_ms,
                                      krvdlc_u32 *bytes_read, krvdlc_error *error)
{
    krvdlc_result check = CheckRead(adapter, buffer, size, error);
    if (check != KRVDLC_OK)
        return check;
    Request request;
    request.kind = RequestKind::Read;
    request.output = buffer;
    request.outputSize = size;
    bool ownEvent = adapter->readEvent != nullptr && !adapter->readEventTaken.exchange(true);
    Outcome outcome = Carry(adapter->device, request, timeout_ms, adapter->interruptEvent,
                            ownEvent ? adapter->readEvent : nullptr);
    if (ownEvent)
        adapter->readEventTaken.store(false);
    if (outcome.ok) {
        if (bytes_read != nullptr)
            *bytes_read = outcome.bytes;
        return Succeed(error);
    }
    if (outcome.ending == Ending::TimedOut)
        return Report(error, KRVDLC_E_TIMEOUT, 0, Subject(adapter), "read",
                      "no frame within " + std::to_string(timeout_ms) + " ms; the read was cancelled");
    if (outcome.ending == Ending::Interrupted)
        return Report(error, KRVDLC_E_CANCELLED, 0, Subject(adapter), "read", "interrupted; the read was cancelled");
    return ReportFailure(error, adapter, "read", outcome);
}

krvdlc_result KRVDLC_CALL krvdlc_write(krvdlc_adapter *adapter, const void *frame, krvdlc_u32 size,
                                       krvdlc_u32 *bytes_written, krvdlc_error *error)
{
    krvdlc_result check = CheckFrame(adapter, frame, size, error);
    if (check != KRVDLC_OK)
        return check;
    Request request;
    request.kind = RequestKind::Write;
    request.input = frame;
    request.inputSize = size;
    Outcome outcome = Carry(adapter->device, request, port::kInfinite);
    if (!outcome.ok)
        return ReportFailure(error, adapter, "write", outcome);
    if (bytes_written != nullptr)
        *bytes_written = outcome.bytes;
    return Succeed(error);
}

krvdlc_result KRVDLC_CALL krvdlc_interrupt(krvdlc_adapter *adapter, krvdlc_error *error)
{
    if (adapter == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "KRVDLC", "interrupt", "no adapter (NULL)");
    if (!port::SetEvent(adapter->interruptEvent))
        return Report(error, KRVDLC_E_IO, port::GetLastError(), Subject(adapter), "interrupt", "cannot signal the read");
    return Succeed(error);
}

krvdlc_result KRVDLC_CALL krvdlc_io_create(krvdlc_io **io, krvdlc_error *error)
{
    if (io == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "KRVDLC", "create request", "no place for it");
    *io = nullptr;
    auto *made = new (std::nothrow) krvdlc_io;
    if (made == nullptr)
        return Report(error, KRVDLC_E_NO_MEMORY, 0, "KRVDLC", "create request", "out of memory");
    Event event(true);
    if (event.get() == nullptr) {
        port::DWORD code = port::GetLastError();
        delete made;
        return Report(error, KRVDLC_E_IO, code, "KRVDLC", "create request", "cannot create its event");
    }
    made->event = event.release();
    *io = made;
    return Succeed(error);
}

void KRVDLC_CALL krvdlc_io_free(krvdlc_io *io)
{
    if (io == nullptr)
        return;
    port::CloseHandle(io->event);
    delete io;
}

krvdlc_event KRVDLC_CALL krvdlc_io_event(const krvdlc_io *io)
{
    return io == nullptr ? nullptr : io->event;
}

krvdlc_result KRVDLC_CALL krvdlc_read_start(krvdlc_adapter *adapter, krvdlc_io *io, void *buffer, krvdlc_u32 size,
                                            krvdlc_error *error)
{
    krvdlc_result check = CheckRead(adapter, buffer, size, error);
    if (check != KRVDLC_OK)
        return check;
    Request request;
    request.kind = RequestKind::Read;
    request.output = buffer;
    request.outputSize = size;
    return StartIo(adapter, io, request, "read", error);
}

krvdlc_result KRVDLC_CALL krvdlc_write_start(krvdlc_adapter *adapter, krvdlc_io *io, const void *frame,
                                             krvdlc_u32 size, krvdlc_error *error)
{
    krvdlc_result check = CheckFrame(adapter, frame, size, error);
    if (check != KRVDLC_OK)
        return check;
    Request request;
    request.kind = RequestKind::Write;
    request.input = frame;
    request.inputSize = size;
    return StartIo(adapter, io, request, "write", error);
}

krvdlc_result KRVDLC_CALL krvdlc_io_finish(krvdlc_adapter *adapter, krvdlc_io *io, krvdlc_u32 timeout_ms,
                                           krvdlc_u32 *bytes, krvdlc_error *error)
{
    if (adapter == nullptr || io == nullptr || !io->running || io->adapter != adapter)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "finish",
                      "no request of this adapter is running on this slot");
    if (io->finishedAtOnce)
        return Finished(io, true, io->bytesAtOnce, 0, 0, bytes, error);
    if (port::WaitForSingleObject(io->event, timeout_ms) == port::kWaitTimeout)
        return Succeed(error, KRVDLC_PENDING);
    port::DWORD transferred = 0;
    bool ok = port::GetOverlappedResult(adapter->device, &io->overlapped, &transferred, 1) != 0;
    port::DWORD code = ok ? 0 : port::GetLastError();
    return Finished(io, ok, transferred, code, static_cast<uint32_t>(io->overlapped.Internal), bytes, error);
}

krvdlc_result KRVDLC_CALL krvdlc_io_cancel(krvdlc_adapter *adapter, krvdlc_io *io, krvdlc_u32 *bytes,
                                           krvdlc_error *error)
{
    if (adapter == nullptr || io == nullptr || !io->running || io->adapter != adapter)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "cancel",
                      "no request of this adapter is running on this slot");
    if (!io->finishedAtOnce)
        port::CancelIo(adapter->device);
    return krvdlc_io_finish(adapter, io, KRVDLC_INFINITE, bytes, error);
}

}  // extern "C"
