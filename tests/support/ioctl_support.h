// ioctl_support.h - shared set-up of the write, device-control and plug-and-play tests:
// a loaded driver with bound adapters, overlapped requests with a bounded wait, and
// readers of the debugger lines and event-log entries the driver produced.
#pragma once

#include "tools/common/simulated_host.h"

#include "sim/debugger.h"
#include "sim/dispatcher.h"
#include "sim/errorlog.h"
#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/win32.h"

#include "core/krvdlc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace krvdlc::test {

namespace w = sim::win32;

// Level 5 to the debugger, no trace file (so no trace thread waits on the clock).
inline constexpr uint32_t kTraceAllToDebugger = 0x85;

inline constexpr uint32_t kWaitLimitMs = 5000;

inline std::vector<uint8_t> Le32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

inline uint32_t ReadLe32(const uint8_t *bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// A frame of `length` bytes whose bytes differ from each other (offset-derived).
inline std::vector<uint8_t> PatternFrame(size_t length, uint8_t seed = 0x10)
{
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; i++)
        frame[i] = static_cast<uint8_t>(seed + i * 7);
    return frame;
}

// "0A 1B ... " as the driver's dumps print bytes.
inline std::string HexDump(const uint8_t *data, size_t length)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; i++) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
        text += ' ';
    }
    return text;
}

// "0x0000ABCD" as TraceLong prints hexadecimal values.
inline std::string Hex8(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// One overlapped request whose OVERLAPPED, event and buffers live as long as the object.
// The destructor waits (bounded) for a request still in flight, so no completion writes
// into freed memory.
class OverlappedCall {
public:
    explicit OverlappedCall(w::HANDLE handle) : handle_(handle)
    {
        overlapped_ = {};
        event_ = w::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped_.hEvent = event_;
    }
    ~OverlappedCall()
    {
        if (issued_ && !Done())
            w::WaitForSingleObject(event_, kWaitLimitMs);
        w::CloseHandle(event_);
    }
    OverlappedCall(const OverlappedCall &) = delete;
    OverlappedCall &operator=(const OverlappedCall &) = delete;

    void Control(uint32_t code, std::vector<uint8_t> input, uint32_t outputLength)
    {
        input_ = std::move(input);
        output_.assign(outputLength, 0xEE);
        Finish(w::DeviceIoControl(handle_, code, input_.empty() ? nullptr : input_.data(),
                                  static_cast<w::DWORD>(input_.size()),
                                  output_.empty() ? nullptr : output_.data(), outputLength,
                                  nullptr, &overlapped_));
    }
    // Device control whose input and output are one buffer, as the OID codes use it.
    void ControlInPlace(uint32_t code, std::vector<uint8_t> buffer, uint32_t inputLength,
                        uint32_t outputLength)
    {
        output_ = std::move(buffer);
        Finish(w::DeviceIoControl(handle_, code, output_.data(), inputLength, output_.data(),
                                  outputLength, nullptr, &overlapped_));
    }
    void Write(std::vector<uint8_t> frame)
    {
        input_ = std::move(frame);
        Finish(w::WriteFile(handle_, input_.empty() ? nullptr : input_.data(),
                            static_cast<w::DWORD>(input_.size()), nullptr, &overlapped_));
    }
    void Read(uint32_t length)
    {
        output_.assign(length, 0);
        Finish(w::ReadFile(handle_, output_.data(), length, nullptr, &overlapped_));
    }

    // The call itself returned FALSE with ERROR_IO_PENDING (the dispatch routine pended).
    bool Pended() const { return pended_; }
    bool Done() const { return w::WaitForSingleObject(event_, 0) == w::WAIT_OBJECT_0; }
    bool Wait(uint32_t ms = kWaitLimitMs) const
    {
        return w::WaitForSingleObject(event_, ms) == w::WAIT_OBJECT_0;
    }
    int32_t Status() const { return static_cast<int32_t>(overlapped_.Internal); }
    uint32_t Bytes() const { return static_cast<uint32_t>(overlapped_.InternalHigh); }
    // What GetOverlappedResult tells user mode; the call has to be done.
    IoOutcome Result()
    {
        w::DWORD bytes = 0;
        IoOutcome outcome;
        outcome.ok = w::GetOverlappedResult(handle_, &overlapped_, &bytes, FALSE) != FALSE;
        outcome.error = outcome.ok ? 0 : w::GetLastError();
        outcome.bytes = bytes;
        outcome.status = Status();
        return outcome;
    }
    const std::vector<uint8_t> &Output() const { return output_; }

private:
    void Finish(w::BOOL ok)
    {
        issued_ = true;
        immediateError_ = ok ? 0 : w::GetLastError();
        pended_ = !ok && immediateError_ == w::ERROR_IO_PENDING;
        // A request that ended within the call is done whether or not the event was set.
        if (!pended_ && !Done())
            w::SetEvent(event_);
    }

    w::HANDLE handle_;
    w::HANDLE event_ = nullptr;
    w::OVERLAPPED overlapped_;
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    bool issued_ = false;
    bool pended_ = false;
    uint32_t immediateError_ = 0;
};

// A loaded driver with one or more bound adapters; binds are complete unless asked not.
class DriverHost {
public:
    explicit DriverHost(uint32_t traceLevel = kTraceAllToDebugger)
        : host_(HostOptions{{}, traceLevel})
    {
        EXPECT_EQ(host_.Load(), STATUS_SUCCESS);
    }

    SimulatedHost &host() { return host_; }
    sim::Machine &machine() { return host_.machine(); }

    sim::Adapter &AddBound(const std::u16string &guid, NDIS_MEDIUM medium = NdisMedium802_3,
                           sim::MacAddress address = {0x02, 0x00, 0x4C, 0x4F, 0x4F, 0x01})
    {
        sim::Adapter &adapter = host_.AddAdapter(guid, medium, address);
        EXPECT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
        return adapter;
    }
    void BindsComplete() { EXPECT_EQ(host_.ndis().IndicateBindsComplete(), NDIS_STATUS_SUCCESS); }

    DeviceHandle OpenAdapter(const sim::Adapter &adapter, bool overlapped = true)
    {
        DeviceHandle handle = host_.Open(SimulatedHost::AdapterFileName(adapter), overlapped);
        EXPECT_TRUE(handle.valid());
        return handle;
    }
    DeviceHandle OpenControl(bool overlapped = true)
    {
        DeviceHandle handle = host_.Open(u"\\\\.\\KRVDLC", overlapped);
        EXPECT_TRUE(handle.valid());
        return handle;
    }

    // The driver's context of an adapter (the extension of \Device\KrvDlc_{X}).
    PADAPTER_CONTEXT Context(const sim::Adapter &adapter)
    {
        std::u16string name = u"\\Device\\KrvDlc_" + adapter.DeviceName().substr(8);
        PDEVICE_OBJECT device = machine().io().FindDevice(name);
        EXPECT_NE(device, nullptr);
        return device ? static_cast<PADAPTER_CONTEXT>(device->DeviceExtension) : nullptr;
    }

    // The adapter's count of requests in progress, read as the driver writes it (atomically).
    // A request is completed before it is counted out, so this waits (bounded) for `want`.
    LONG IrpCount(const sim::Adapter &adapter, LONG want = 0)
    {
        PADAPTER_CONTEXT context = Context(adapter);
        LONG count = __atomic_load_n(&context->IrpCount, __ATOMIC_ACQUIRE);
        for (int i = 0; i < 1000 && count != want; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            count = __atomic_load_n(&context->IrpCount, __ATOMIC_ACQUIRE);
        }
        return count;
    }

    // Debugger lines, without the "KRVDLC: " prefix.
    std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        for (const std::string &line : machine().debugger().Lines())
            lines.push_back(line.rfind("KRVDLC: ", 0) == 0 ? line.substr(8) : line);
        return lines;
    }
    size_t CountLines(const std::string &text)
    {
        auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
    }
    size_t CountLinesStartingWith(const std::string &prefix)
    {
        size_t count = 0;
        for (const std::string &line : Lines())
            count += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return count;
    }
    void ClearLog()
    {
        machine().debugger().Clear();
        machine().errorLog().Clear();
        machine().io().ClearCompletions();
    }

    struct Entry {
        NTSTATUS code;
        std::string text;
        std::vector<uint8_t> dump;
    };
    std::vector<Entry> Entries()
    {
        std::vector<Entry> entries;
        for (const sim::ErrorLogEntry &entry : machine().errorLog().Entries()) {
            auto strings = entry.Strings();
            entries.push_back({entry.ErrorCode(), strings.empty() ? "" : Narrow(strings[0]),
                               entry.DumpData()});
        }
        return entries;
    }
    // Entries of one kind with one text. An entry holds 104 bytes of dump data and
    // string together, so a long text arrives cut to what is left beside the dump.
    std::vector<Entry> EntriesWith(NTSTATUS code, const std::string &text)
    {
        std::vector<Entry> found;
        for (Entry &entry : Entries()) {
            size_t room = entry.dump.size() < 104 ? (104 - entry.dump.size()) / 2 - 1 : 0;
            if (entry.code == code && entry.text == text.substr(0, room))
                found.push_back(entry);
        }
        return found;
    }

    // Unloads and so runs the machine's leak checks (a failure stops the test program).
    void Unload() { EXPECT_TRUE(host_.Unload()); }

private:
    SimulatedHost host_;
};

// Holds an adapter's unbind half-way: a held send keeps the unbind waiting for requests in
// progress (a timed wait, so the clock stands still meanwhile) after it cleared Bound.
// The destructor releases the send and lets the unbind finish.
class UnbindInProgress {
public:
    UnbindInProgress(DriverHost &driver, sim::Adapter &adapter, w::HANDLE handle)
        : driver_(driver), adapter_(adapter), send_(handle)
    {
        driver_.machine().clock().SetAutoAdvance(false);
        adapter_.ScriptNext(sim::NdisOperation::Send,
                            {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
        send_.Write(PatternFrame(30));
        EXPECT_TRUE(send_.Pended());
        unbind_ = std::thread([this] { status_ = adapter_.Unbind(); });
        EXPECT_TRUE(driver_.machine().clock().WaitForTimedWaiters(1));
    }
    ~UnbindInProgress() { Finish(); }
    UnbindInProgress(const UnbindInProgress &) = delete;
    UnbindInProgress &operator=(const UnbindInProgress &) = delete;

    // Lets the unbind end; returns its status.
    NDIS_STATUS Finish()
    {
        if (unbind_.joinable()) {
            EXPECT_TRUE(adapter_.ReleasePending(sim::NdisOperation::Send));
            unbind_.join();
            EXPECT_TRUE(send_.Wait());
            EXPECT_EQ(send_.Status(), STATUS_SUCCESS);
            driver_.machine().clock().SetAutoAdvance(true);
        }
        return status_;
    }

private:
    DriverHost &driver_;
    sim::Adapter &adapter_;
    OverlappedCall send_;
    std::thread unbind_;
    NDIS_STATUS status_ = NDIS_STATUS_FAILURE;
};

}  // namespace krvdlc::test
