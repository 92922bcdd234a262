// overlapped_call.h - one overlapped request through the emulated Win32 API, as user mode
// keeps it while it runs. The destructor waits (bounded) for a request still in flight, so
// no completion writes into freed memory.
#pragma once

#include "tools/common/simulated_host.h"

#include "sim/win32.h"

#include <cstdint>
#include <vector>

namespace krvdlc {

// An error status (severity 3): the I/O manager copies nothing back to the caller's
// buffer, whatever byte count the request carries.
inline bool IsErrorStatus(int32_t status)
{
    return (static_cast<uint32_t>(status) >> 30) == 3;
}

// How long the destructor waits for a request still in flight.
inline constexpr uint32_t kOverlappedWaitLimitMs = 5000;

class OverlappedCall {
public:
    explicit OverlappedCall(sim::win32::HANDLE handle) : handle_(handle)
    {
        event_ = sim::win32::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped_.hEvent = event_;
    }
    ~OverlappedCall()
    {
        if (issued_ && !Done())
            sim::win32::WaitForSingleObject(event_, kOverlappedWaitLimitMs);
        sim::win32::CloseHandle(event_);
    }
    OverlappedCall(const OverlappedCall &) = delete;
    OverlappedCall &operator=(const OverlappedCall &) = delete;

    void Control(uint32_t code, std::vector<uint8_t> input, uint32_t outputLength)
    {
        input_ = std::move(input);
        output_.assign(outputLength, 0xEE);
        Finish(sim::win32::DeviceIoControl(handle_, code, input_.empty() ? nullptr : input_.data(),
                                  static_cast<sim::win32::DWORD>(input_.size()),
                                  output_.empty() ? nullptr : output_.data(), outputLength,
                                  nullptr, &overlapped_));
    }
    // Device control whose input and output are one buffer, as the OID codes use it.
    void ControlInPlace(uint32_t code, std::vector<uint8_t> buffer, uint32_t inputLength,
                        uint32_t outputLength)
    {
        output_ = std::move(buffer);
        Finish(sim::win32::DeviceIoControl(handle_, code, output_.data(), inputLength, output_.data(),
                                  outputLength, nullptr, &overlapped_));
    }
    void Write(std::vector<uint8_t> frame)
    {
        input_ = std::move(frame);
        Finish(sim::win32::WriteFile(handle_, input_.empty() ? nullptr : input_.data(),
                            static_cast<sim::win32::DWORD>(input_.size()), nullptr, &overlapped_));
    }
    void Read(uint32_t length)
    {
        output_.assign(length, 0xEE);
        Finish(sim::win32::ReadFile(handle_, output_.data(), length, nullptr, &overlapped_));
    }

    // The call itself returned FALSE with ERROR_IO_PENDING (the dispatch routine pended).
    bool Pended() const { return pended_; }
    // The call's BOOL and, after FALSE, its GetLastError.
    bool ok() const { return immediateError_ == 0; }
    uint32_t error() const { return immediateError_; }
    bool Done() const { return sim::win32::WaitForSingleObject(event_, 0) == sim::win32::WAIT_OBJECT_0; }
    bool Wait(uint32_t ms = kOverlappedWaitLimitMs) const
    {
        return sim::win32::WaitForSingleObject(event_, ms) == sim::win32::WAIT_OBJECT_0;
    }
    int32_t Status() const { return static_cast<int32_t>(overlapped_.Internal); }
    uint32_t Bytes() const { return static_cast<uint32_t>(overlapped_.InternalHigh); }
    // What GetOverlappedResult tells user mode; the call has to be done.
    IoOutcome Result()
    {
        sim::win32::DWORD bytes = 0;
        IoOutcome outcome;
        outcome.ok = sim::win32::GetOverlappedResult(handle_, &overlapped_, &bytes, FALSE) != FALSE;
        outcome.error = outcome.ok ? 0 : sim::win32::GetLastError();
        outcome.bytes = bytes;
        outcome.status = Status();
        return outcome;
    }
    const std::vector<uint8_t> &Output() const { return output_; }
    // The bytes the request returned.
    std::vector<uint8_t> Data() const { return {output_.begin(), output_.begin() + Bytes()}; }

private:
    void Finish(sim::win32::BOOL ok)
    {
        issued_ = true;
        immediateError_ = ok ? 0 : sim::win32::GetLastError();
        pended_ = !ok && immediateError_ == sim::win32::ERROR_IO_PENDING;
        // A request that ended within the call is done whether or not the event was set.
        if (!pended_ && !Done())
            sim::win32::SetEvent(event_);
    }

    sim::win32::HANDLE handle_;
    sim::win32::HANDLE event_ = nullptr;
    sim::win32::OVERLAPPED overlapped_{};
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    bool issued_ = false;
    bool pended_ = false;
    uint32_t immediateError_ = 0;
};

}  // namespace krvdlc
