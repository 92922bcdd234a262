// receive_support.h - a loaded KRVDLC with one bound adapter and an open device, the
// frames the receive tests indicate, and the look at the trace and the event log.
#pragma once

#include "tools/common/simulated_host.h"

#include "sim/debugger.h"
#include "sim/errorlog.h"
#include "sim/faults.h"
#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/win32.h"

#include "core/krvdlc.h"
#include "core/krvdlc_public.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace rxtest {

inline constexpr sim::MacAddress kStation{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline constexpr sim::MacAddress kPeer{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};

// Debugger output at level 4, no trace file.
inline constexpr uint32_t kTraceLevel = TRACE_TO_DEBUGGER | 4;

// Ethernet frame: station <- peer, length/type, then `body` (the LLC header first),
// padded with a counting pattern up to `total` bytes.
inline sim::Frame EthernetFrame(uint16_t type, const std::vector<uint8_t> &body, size_t total = 0)
{
    sim::Frame frame(kStation.begin(), kStation.end());
    frame.insert(frame.end(), kPeer.begin(), kPeer.end());
    frame.push_back(static_cast<uint8_t>(type >> 8));
    frame.push_back(static_cast<uint8_t>(type));
    frame.insert(frame.end(), body.begin(), body.end());
    for (uint8_t fill = 0; frame.size() < total; fill++)
        frame.push_back(fill);
    return frame;
}

// 802.3 frame with an LLC header DSAP/SSAP/UI, `total` bytes long (at least 17).
inline sim::Frame LlcFrame(uint8_t dsap, size_t total = 60)
{
    return EthernetFrame(static_cast<uint16_t>(total - 14), {dsap, 0x04, 0x03}, total);
}

// Token Ring frame: AC, FC, station <- peer (bit 0x80 of byte 8 set when `routing` is
// not empty), routing information, then `body`.
inline sim::Frame TokenRingFrame(uint8_t fc, const std::vector<uint8_t> &routing,
                                 const std::vector<uint8_t> &body)
{
    sim::Frame frame{0x10, fc};
    frame.insert(frame.end(), kStation.begin(), kStation.end());
    frame.insert(frame.end(), kPeer.begin(), kPeer.end());
    if (!routing.empty())
        frame[8] |= 0x80;
    frame.insert(frame.end(), routing.begin(), routing.end());
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// The driver loaded, one adapter of the given medium bound and its device opened.
class DriverWithAdapter {
public:
    explicit DriverWithAdapter(NDIS_MEDIUM medium = NdisMedium802_3, uint32_t traceLevel = kTraceLevel,
                               bool overlapped = false)
        : host_(krvdlc::HostOptions{{}, traceLevel})
    {
        EXPECT_EQ(host_.Load(), STATUS_SUCCESS);
        adapter_ = &host_.AddAdapter(u"{RX}", medium, kStation);
        EXPECT_EQ(adapter_->Bind(), NDIS_STATUS_SUCCESS);
        handle_ = Open(overlapped);
        EXPECT_TRUE(handle_.valid());
    }

    krvdlc::SimulatedHost &host() { return host_; }
    sim::Machine &machine() { return host_.machine(); }
    sim::Adapter &adapter() { return *adapter_; }
    krvdlc::DeviceHandle &handle() { return handle_; }

    krvdlc::DeviceHandle Open(bool overlapped = false)
    {
        return host_.Open(krvdlc::SimulatedHost::AdapterFileName(*adapter_), overlapped);
    }

    // The adapter's context (the device extension), while the adapter is bound.
    PADAPTER_CONTEXT Context()
    {
        PDEVICE_OBJECT device = machine().io().FindDevice(u"\\Device\\KrvDlc_{RX}");
        return device == nullptr ? nullptr : static_cast<PADAPTER_CONTEXT>(device->DeviceExtension);
    }
    LONG Queued() { return ReadNoFence(&Context()->RxQueueCount); }

    void SetCheckDsap(uint8_t value)
    {
        EXPECT_TRUE(handle_.Control(IOCTL_KRVDLC_CHECK_DSAP, &value, 1, nullptr, 0).ok);
    }

    // Trace lines since the last ClearLogs, without the debugger prefix.
    std::vector<std::string> TraceLines()
    {
        std::vector<std::string> lines;
        for (std::string &line : machine().debugger().Lines()) {
            if (line.rfind("KRVDLC: ", 0) == 0)
                lines.push_back(line.substr(8));
        }
        return lines;
    }
    bool Traced(const std::string &line)
    {
        auto lines = TraceLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    size_t TraceCount(const std::string &line)
    {
        auto lines = TraceLines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    // Event-log entries of one kind (LOG_ERROR or LOG_WARNING) whose text is `text`, or
    // its start where the entry had no room for all of it.
    std::vector<sim::ErrorLogEntry> Events(ULONG kind, const std::string &text)
    {
        NTSTATUS code = kind == LOG_ERROR ? EVENT_DRIVER_ERROR : EVENT_DRIVER_WARNING;
        std::u16string wide = krvdlc::Widen(text);
        std::vector<sim::ErrorLogEntry> found;
        for (const sim::ErrorLogEntry &entry : machine().errorLog().Entries()) {
            auto strings = entry.Strings();
            bool same = strings.size() == 1 && strings[0].size() >= std::min<size_t>(wide.size(), 32) &&
                        wide.compare(0, strings[0].size(), strings[0]) == 0;
            if (entry.ErrorCode() == code && same)
                found.push_back(entry);
        }
        return found;
    }
    size_t EventCount() { return machine().errorLog().Entries().size(); }

    void ClearLogs()
    {
        machine().debugger().Clear();
        machine().errorLog().Clear();
    }

    // Empties the receive queue the way user mode can: a new open.
    void Reopen(bool overlapped = false)
    {
        handle_.Close();
        handle_ = Open(overlapped);
        ASSERT_TRUE(handle_.valid());
    }

private:
    krvdlc::SimulatedHost host_;
    sim::Adapter *adapter_ = nullptr;
    krvdlc::DeviceHandle handle_;
};

// Value of 4 bytes of dump data.
inline uint32_t DumpValue(const sim::ErrorLogEntry &entry)
{
    auto dump = entry.DumpData();
    uint32_t value = 0xFFFFFFFF;
    if (dump.size() == sizeof value)
        std::memcpy(&value, dump.data(), sizeof value);
    return value;
}

// One overlapped read on its own event, as user mode keeps it while it waits.
class PendingRead {
public:
    PendingRead(sim::win32::HANDLE file, size_t length) : buffer_(length, 0xEE)
    {
        overlapped_.hEvent = event_ = sim::win32::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        sim::win32::DWORD bytes = 0;
        ok_ = sim::win32::ReadFile(file, buffer_.data(), static_cast<sim::win32::DWORD>(length), &bytes,
                                   &overlapped_) != FALSE;
        error_ = ok_ ? 0 : sim::win32::GetLastError();
    }
    ~PendingRead()
    {
        // The request must have ended before its OVERLAPPED and buffer go away.
        if (Waiting())
            ADD_FAILURE() << "read still waiting when its test ended";
        sim::win32::CloseHandle(event_);
    }
    PendingRead(const PendingRead &) = delete;
    PendingRead &operator=(const PendingRead &) = delete;

    bool Waiting() { return !Wait(0); }
    // Waits (virtual time permitting) for the completion.
    bool Wait(uint32_t milliseconds = 5000)
    {
        return sim::win32::WaitForSingleObject(event_, milliseconds) == sim::win32::WAIT_OBJECT_0;
    }
    // Read once the request has ended (its event is set).
    NTSTATUS Status() const { return static_cast<NTSTATUS>(overlapped_.Internal); }
    size_t Bytes() const { return overlapped_.InternalHigh; }
    bool ok() const { return ok_; }
    uint32_t error() const { return error_; }
    std::vector<uint8_t> Data() const { return {buffer_.begin(), buffer_.begin() + Bytes()}; }

private:
    std::vector<uint8_t> buffer_;
    sim::win32::OVERLAPPED overlapped_{};
    sim::win32::HANDLE event_ = nullptr;
    bool ok_ = false;
    uint32_t error_ = 0;
};

}  // namespace rxtest
