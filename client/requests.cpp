// requests.cpp - one read, write or device-control request on an overlapped handle,
// carried to its end: waited for with a time-out or an interrupt, cancelled when either
// comes first, and always waited for until the driver has given the buffers back.
#include "client/internal.h"

#include <optional>

namespace krvdlc::client {

port::BOOL Start(port::HANDLE device, const Request &request, port::OVERLAPPED *overlapped,
                 port::DWORD *bytes)
{
    switch (request.kind) {
    case RequestKind::Read:
        return port::ReadFile(device, request.output, request.outputSize, bytes, overlapped);
    case RequestKind::Write:
        return port::WriteFile(device, request.input, request.inputSize, bytes, overlapped);
    case RequestKind::Control:
        break;
    }
    return port::DeviceIoControl(device, request.code, const_cast<void *>(request.input), request.inputSize,
                                 request.output, request.outputSize, bytes, overlapped);
}

Outcome FinishedAtOnce(uint32_t status, port::DWORD bytes)
{
    Outcome outcome;
    outcome.bytes = bytes;
    outcome.status = status;
    // A read served at once from the queue returns success from the driver's dispatch
    // routine even when its delivery failed; the status it was completed with tells.
    outcome.ok = status < 0xC0000000u;
    if (!outcome.ok)
        outcome.error = status == kStatusInsufficientResources ? port::kErrorNoSystemResources
                                                               : port::kErrorGenFailure;
    return outcome;
}

Outcome Carry(port::HANDLE device, const Request &request, port::DWORD timeoutMs, port::HANDLE interrupt,
              port::HANDLE done)
{
    Outcome outcome;
    std::optional<Event> own;
    if (done == nullptr) {
        own.emplace();
        done = own->get();
        if (done == nullptr) {
            outcome.error = port::GetLastError();
            return outcome;
        }
    }
    port::OVERLAPPED overlapped{};
    overlapped.hEvent = done;
    if (Start(device, request, &overlapped, &outcome.bytes))
        return FinishedAtOnce(static_cast<uint32_t>(overlapped.Internal), outcome.bytes);
    outcome.error = port::GetLastError();
    if (outcome.error != port::kErrorIoPending)
        return outcome;

    port::DWORD waited;
    if (interrupt != nullptr) {
        port::HANDLE handles[2] = {done, interrupt};
        waited = port::WaitForMultipleObjects(2, handles, 0, timeoutMs);
    } else {
        waited = port::WaitForSingleObject(done, timeoutMs);
    }
    if (waited != port::kWaitObject0) {
        // Time-out, interrupt or a failed wait: the request must still end before its
        // buffers go out of scope. CancelIo ends the requests of this thread only, which
        // is why blocking calls start and cancel on the caller's thread.
        outcome.ending = waited == port::kWaitTimeout ? Ending::TimedOut : Ending::Interrupted;
        port::CancelIo(device);
    }
    outcome.ok = port::GetOverlappedResult(device, &overlapped, &outcome.bytes, 1) != 0;
    outcome.error = outcome.ok ? 0 : port::GetLastError();
    outcome.status = static_cast<uint32_t>(overlapped.Internal);
    if (outcome.ok)
        outcome.ending = Ending::Finished;   // it finished before the cancel reached it
    return outcome;
}

}  // namespace krvdlc::client
