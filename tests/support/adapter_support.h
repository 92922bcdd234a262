// adapter_support.h - helpers for the binding, adapter-list, open/cleanup and adapter
// stress tests: a loaded driver with adapters, what the debugger and the error log saw,
// the adapter context of a bound adapter and the adapter list as user mode reads it.
#pragma once

#include "tools/common/simulated_host.h"
#include "sim/dispatcher.h"
#include "sim/debugger.h"
#include "sim/driver_loader.h"
#include "sim/errorlog.h"
#include "sim/faults.h"
#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/pool.h"

#include "core/krvdlc.h"
#include "core/krvdlc_public.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace adaptertest {

using krvdlc::DeviceHandle;
using krvdlc::IoOutcome;
using krvdlc::SimulatedHost;

inline constexpr uint32_t kKdlc = sim::PoolTag("Kdlc");
// Level 5 and debugger output: every trace line of the driver lands in the debugger.
inline constexpr uint32_t kTraceAll = 0x85;

inline sim::MacAddress Station(uint8_t last)
{
    return {0x02, 0x00, 0x4B, 0x52, 0x56, last};
}

// The names the driver derives from \Device\{X}.
inline std::u16string DeviceNameOf(const std::u16string &guid) { return u"\\Device\\KrvDlc_" + guid; }
inline std::u16string LinkNameOf(const std::u16string &guid) { return u"\\DosDevices\\KrvDlc_" + guid; }
inline std::u16string FileNameOf(const std::u16string &guid) { return u"\\\\.\\KrvDlc_" + guid; }

inline std::u16string Text(const UNICODE_STRING &s)
{
    return s.Buffer == nullptr ? std::u16string() : std::u16string(s.Buffer, s.Length / 2);
}

// A driver loaded into a fresh machine, tracing everything to the debugger.
class LoadedDriver : public ::testing::Test {
protected:
    explicit LoadedDriver(uint32_t traceLevel = kTraceAll)
        : host_(krvdlc::HostOptions{{}, traceLevel})
    {
    }

    void SetUp() override { ASSERT_EQ(host_.Load(), STATUS_SUCCESS); }

    sim::Machine &machine() { return host_.machine(); }
    sim::Ndis &ndis() { return host_.ndis(); }

    sim::Adapter &Add(const std::u16string &guid, NDIS_MEDIUM medium = NdisMedium802_3,
                      std::optional<std::u16string> instance = std::nullopt, bool named = true)
    {
        if (named && !instance)
            instance = u"Adapter " + guid;
        return host_.AddAdapter(guid, medium, Station(static_cast<uint8_t>(++added_)), instance);
    }

    // The context of the bound adapter \Device\{guid}, or null when it has no device.
    PADAPTER_CONTEXT Context(const std::u16string &guid)
    {
        PDEVICE_OBJECT device = machine().io().FindDevice(DeviceNameOf(guid));
        return device == nullptr ? nullptr : static_cast<PADAPTER_CONTEXT>(device->DeviceExtension);
    }

    bool Traced(const std::string &line)
    {
        return host_.machine().debugger().Text().find("KRVDLC: " + line) != std::string::npos;
    }
    // Position of the first debugger print holding `line`, or npos.
    size_t TracedAt(const std::string &line)
    {
        return host_.machine().debugger().Text().find("KRVDLC: " + line);
    }

    // Error entries (EVENT_DRIVER_ERROR) whose insertion string is `text`.
    std::vector<sim::ErrorLogEntry> ErrorsWith(const std::string &text)
    {
        std::vector<sim::ErrorLogEntry> found;
        for (const auto &entry : machine().errorLog().Entries()) {
            auto strings = entry.Strings();
            if (entry.ErrorCode() == EVENT_DRIVER_ERROR && strings.size() == 1 &&
                strings[0] == krvdlc::Widen(text))
                found.push_back(entry);
        }
        return found;
    }

    // IOCTL_KRVDLC_ENUM_ADAPTERS on \\.\KRVDLC into `buffer` (its size is the output size).
    IoOutcome Enumerate(std::vector<uint8_t> &buffer)
    {
        DeviceHandle control = host_.Open(KRVDLC_CONTROL_FILE_NAME);
        EXPECT_TRUE(control.valid());
        return control.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, nullptr, 0, buffer.data(),
                               static_cast<uint32_t>(buffer.size()));
    }

    uint64_t KdlcBlocks() { return machine().pool().UsageOf(kKdlc).blocks; }

    SimulatedHost host_;
    int added_ = 0;
};

// The adapter list bytes for (instance name, file name) pairs in list order.
inline std::vector<uint8_t> ListBytes(
    const std::vector<std::pair<std::u16string, std::u16string>> &adapters)
{
    std::vector<uint8_t> bytes;
    auto put16 = [&](char16_t c) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    };
    uint32_t count = static_cast<uint32_t>(adapters.size());
    for (int i = 0; i < 4; i++)
        bytes.push_back(static_cast<uint8_t>(count >> (8 * i)));
    for (const auto &[instance, file] : adapters) {
        for (char16_t c : instance)
            put16(c);
        put16(0);
        for (char16_t c : file)
            put16(c);
        put16(0);
    }
    put16(0);
    return bytes;
}

// An IOCTL_KRVDLC_QUERY_OID buffer for the Ethernet address (Length may be at most the
// buffer size less 11).
inline std::vector<uint8_t> QueryAddressBuffer()
{
    std::vector<uint8_t> buffer(KRVDLC_OID_BUFFER_HEADER + 12, 0);
    uint32_t oid = OID_802_3_CURRENT_ADDRESS;
    uint32_t length = 6;
    std::memcpy(buffer.data(), &oid, 4);
    std::memcpy(buffer.data() + 4, &length, 4);
    return buffer;
}

// Polls (real time) until `condition` holds; false after `limit`.
inline bool WaitUntil(const std::function<bool()> &condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A request of `major` that the driver holds and whose dispatch routine has returned
// (or, with `inDispatch`, is still running).
inline bool Holds(sim::Machine &machine, UCHAR major, bool inDispatch = false)
{
    for (const auto &irp : machine.io().PendingIrps())
        if (irp.majorFunction == major && irp.dispatchReturned != inDispatch)
            return true;
    return false;
}

inline bool Completed(sim::Machine &machine, UCHAR major)
{
    for (const auto &c : machine.io().Completions())
        if (c.majorFunction == major)
            return true;
    return false;
}

// CleanupEvent signalled exactly while IrpCount is 0.
inline void ExpectIdle(sim::Machine &machine, PADAPTER_CONTEXT adapter)
{
    EXPECT_EQ(ReadNoFence(&adapter->IrpCount), 0);
    EXPECT_EQ(machine.dispatcher().ReadState(&adapter->CleanupEvent.Event), 1);
}

}  // namespace adaptertest
