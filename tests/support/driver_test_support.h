// driver_test_support.h - KRVDLC loaded into a simulated machine for the driver tests:
// the driver at a chosen TraceLevel with its adapters, what it printed to the debugger and
// wrote to the error log, the frames the tests indicate, bounded waits and overlapped calls.
#pragma once

#include "tools/common/overlapped_call.h"
#include "tools/common/simulated_host.h"

#include "sim/debugger.h"
#include "sim/dispatcher.h"
#include "sim/driver_loader.h"
#include "sim/errorlog.h"
#include "sim/faults.h"
#include "sim/files.h"
#include "sim/image_loader.h"
#include "sim/io_manager.h"
#include "sim/irql.h"
#include "sim/ndis.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "sim/win32.h"

#include "core/krvdlc.h"
#include "core/krvdlc_public.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace krvdlc::test {

namespace w = sim::win32;

// Level 5 to the debugger, no trace file (so no trace thread waits on the clock).
inline constexpr uint32_t kTraceAll = TRACE_TO_DEBUGGER | 5;
// Level 4 to the debugger: the receive path's lines without the per-request ones.
inline constexpr uint32_t kDebuggerLevel4 = TRACE_TO_DEBUGGER | 4;
// Verbosity 7 to the debugger only.
inline constexpr uint32_t kDebuggerAll = TRACE_TO_DEBUGGER | 7;
inline constexpr uint32_t kWaitLimitMs = 5000;
inline constexpr char kTraceFile[] = "\\SystemRoot\\trace\\krvdlc.trc";
inline constexpr char kPrefix[] = "KRVDLC: ";

// The driver image the suite runs against (environment variable KRVDLC_TEST_IMAGE, a path
// to KRVDLC.SYS), or none: the host-compiled driver.
inline std::optional<std::string> TestImage()
{
    const char *path = std::getenv("KRVDLC_TEST_IMAGE");
    return path != nullptr && *path != '\0' ? std::optional<std::string>(path) : std::nullopt;
}

inline HostOptions WithTraceLevel(std::optional<uint32_t> level, sim::MachineOptions machine = {})
{
    return HostOptions{std::move(machine), level, TestImage()};
}

// The driver's variable or routine `name`: the host-compiled one, or, while the suite
// runs against the image, the loaded image's, found through its linker map relative to
// the entry point of the driver that is loaded now.
template <typename T>
T *DriverSymbol(T *hostAddress, const std::string &name)
{
    std::optional<std::string> image = TestImage();
    if (!image)
        return hostAddress;
    static const std::map<std::string, uint32_t> symbols = sim::ReadLinkerMap(sim::LinkerMapPath(*image));
    PDRIVER_OBJECT driver = sim::LoadedDriverObject();
    std::optional<uint32_t> entry = sim::FindMapSymbol(symbols, "DriverEntry");
    std::optional<uint32_t> found = sim::FindMapSymbol(symbols, name);
    if (driver == nullptr || !entry || !found) {
        ADD_FAILURE() << name << ": no driver loaded or not in the image's linker map";
        return hostAddress;
    }
    return reinterpret_cast<T *>(reinterpret_cast<uintptr_t>(driver->DriverInit) + (*found - *entry));
}

// The driver's own `symbol` (a global or an internal routine), in whichever driver runs.
#define DRIVER_SYMBOL(symbol) (*::krvdlc::test::DriverSymbol(&(symbol), #symbol))

// Polls (real time) until `condition` holds; false after `limit`.
inline bool WaitUntil(const std::function<bool()> &condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---- names, pool and requests in progress ----------------------------------------------

inline sim::MacAddress Station(uint8_t last) { return {0x02, 0x00, 0x4B, 0x52, 0x56, last}; }
inline constexpr sim::MacAddress kPeer{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};

// The names the driver derives from \Device\{X}.
inline std::u16string DeviceNameOf(const std::u16string &guid) { return u"\\Device\\KrvDlc_" + guid; }
inline std::u16string LinkNameOf(const std::u16string &guid) { return u"\\DosDevices\\KrvDlc_" + guid; }
inline std::u16string FileNameOf(const std::u16string &guid) { return u"\\\\.\\KrvDlc_" + guid; }

inline std::u16string Text(const UNICODE_STRING &s)
{
    return s.Buffer == nullptr ? std::u16string() : std::u16string(s.Buffer, s.Length / 2);
}

// Pool blocks of the driver's tag still allocated.
inline std::vector<sim::PoolBlock> DriverBlocks(sim::Machine &machine)
{
    return machine.pool().Blocks(KRVDLC_POOL_TAG);
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

// No request in progress and no one waiting for the count (CleanupEvent is only kept in
// step with IrpCount while someone waits).
inline void ExpectIdle(sim::Machine &machine, PADAPTER_CONTEXT adapter)
{
    (void)machine;
    EXPECT_EQ(ReadNoFence(&adapter->IrpCount), 0);
    EXPECT_EQ(ReadNoFence(&adapter->CleanupWaiters), 0);
}

// An IOCTL_KRVDLC_QUERY_OID buffer for the Ethernet address.
inline std::vector<uint8_t> QueryAddressBuffer()
{
    std::vector<uint8_t> buffer(KRVDLC_OID_BUFFER_HEADER + 12, 0);
    const uint32_t oid = OID_802_3_CURRENT_ADDRESS, length = 6;
    std::memcpy(buffer.data(), &oid, 4);
    std::memcpy(buffer.data() + 4, &length, 4);
    return buffer;
}

// ---- bytes and frames ------------------------------------------------------------------

inline std::vector<uint8_t> Le32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

inline uint32_t ReadLe32(const uint8_t *bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// "0A 1B ... " as the driver's dumps print bytes.
inline std::string HexDump(const uint8_t *data, size_t length)
{
    std::string text;
    char hex[4];
    for (size_t i = 0; i < length; i++) {
        std::snprintf(hex, sizeof hex, "%02X ", data[i]);
        text += hex;
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

// A frame of `length` bytes whose bytes differ from each other (offset-derived).
inline std::vector<uint8_t> PatternFrame(size_t length, uint8_t seed = 0x10)
{
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; i++)
        frame[i] = static_cast<uint8_t>(seed + i * 7);
    return frame;
}

// Ethernet frame: `station` <- peer, length/type, then `body` (the LLC header first),
// padded with a counting pattern up to `total` bytes.
inline sim::Frame EthernetFrame(uint16_t type, const std::vector<uint8_t> &body, size_t total = 0,
                                const sim::MacAddress &station = Station(1))
{
    sim::Frame frame(station.begin(), station.end());
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

// An LLC frame that tells itself apart by a sequence byte right after the LLC header.
inline sim::Frame Numbered(uint8_t sequence, size_t total = 60)
{
    sim::Frame frame = LlcFrame(0x04, total);
    frame[17] = sequence;
    return frame;
}

// Token Ring frame: AC, FC, station <- peer (bit 0x80 of byte 8 set when `routing` is
// not empty), routing information, then `body`.
inline sim::Frame TokenRingFrame(uint8_t fc, const std::vector<uint8_t> &routing,
                                 const std::vector<uint8_t> &body)
{
    const sim::MacAddress station = Station(1);
    sim::Frame frame{0x10, fc};
    frame.insert(frame.end(), station.begin(), station.end());
    frame.insert(frame.end(), kPeer.begin(), kPeer.end());
    if (!routing.empty())
        frame[8] |= 0x80;
    frame.insert(frame.end(), routing.begin(), routing.end());
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// ---- what the driver printed and logged ------------------------------------------------

// The debugger print of one trace line.
inline std::string Printed(const std::string &line) { return kPrefix + line; }

inline ptrdiff_t IndexOf(const std::vector<std::string> &items, const std::string &item)
{
    auto it = std::find(items.begin(), items.end(), item);
    return it == items.end() ? -1 : it - items.begin();
}

// The debugger prints from index `from` on.
inline std::vector<std::string> PrintsFrom(sim::Machine &machine, size_t from)
{
    std::vector<std::string> prints = machine.debugger().Prints();
    if (from >= prints.size())
        return {};
    return {prints.begin() + static_cast<std::ptrdiff_t>(from), prints.end()};
}

// One error-log entry: code, narrowed insertion string ("" without one) and dump data.
// Two entries are equal when code and text are (what the event viewer shows).
struct LoggedEvent {
    NTSTATUS code = 0;
    std::string text;
    std::vector<uint8_t> dump = {};

    bool operator==(const LoggedEvent &other) const { return code == other.code && text == other.text; }
    // The dump data as one value (0xFFFFFFFF unless it is 4 bytes).
    uint32_t DumpValue() const { return dump.size() == 4 ? ReadLe32(dump.data()) : 0xFFFFFFFF; }
};

inline std::ostream &operator<<(std::ostream &out, const LoggedEvent &event)
{
    return out << "{" << Hex8(static_cast<uint32_t>(event.code)) << ", \"" << event.text << "\"}";
}

inline std::vector<LoggedEvent> LoggedEvents(sim::Machine &machine)
{
    std::vector<LoggedEvent> events;
    for (const sim::ErrorLogEntry &entry : machine.errorLog().Entries()) {
        auto strings = entry.Strings();
        events.push_back({entry.ErrorCode(), strings.empty() ? "" : Narrow(strings[0]), entry.DumpData()});
    }
    return events;
}

// A loaded driver, tracing to the debugger at `traceLevel`, with the adapters a test adds.
class DriverHost {
public:
    explicit DriverHost(uint32_t traceLevel = kTraceAll) : host_(WithTraceLevel(traceLevel))
    {
        EXPECT_EQ(host_.Load(), STATUS_SUCCESS);
    }

    SimulatedHost &host() { return host_; }
    sim::Machine &machine() { return host_.machine(); }
    sim::Ndis &ndis() { return host_.ndis(); }

    // Adds (not binds) \Device\{guid}, instance name "Adapter {guid}" unless `named` is false.
    sim::Adapter &Add(const std::u16string &guid, NDIS_MEDIUM medium = NdisMedium802_3,
                      std::optional<std::u16string> instance = std::nullopt, bool named = true)
    {
        if (named && !instance)
            instance = u"Adapter " + guid;
        return host_.AddAdapter(guid, medium, Station(static_cast<uint8_t>(++added_)), instance);
    }
    // Adds and binds \Device\{guid} without an instance name.
    sim::Adapter &AddBound(const std::u16string &guid, NDIS_MEDIUM medium = NdisMedium802_3,
                           std::optional<sim::MacAddress> address = std::nullopt)
    {
        sim::Adapter &adapter =
            host_.AddAdapter(guid, medium, address.value_or(Station(static_cast<uint8_t>(++added_))));
        EXPECT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
        return adapter;
    }
    void BindsComplete() { EXPECT_EQ(ndis().IndicateBindsComplete(), NDIS_STATUS_SUCCESS); }

    DeviceHandle OpenAdapter(const sim::Adapter &adapter, bool overlapped = true)
    {
        DeviceHandle handle = host_.Open(SimulatedHost::AdapterFileName(adapter), overlapped);
        EXPECT_TRUE(handle.valid());
        return handle;
    }
    DeviceHandle OpenControl(bool overlapped = true)
    {
        DeviceHandle handle = host_.Open(KRVDLC_CONTROL_FILE_NAME, overlapped);
        EXPECT_TRUE(handle.valid());
        return handle;
    }

    // IOCTL_KRVDLC_ENUM_ADAPTERS on \\.\KRVDLC into `buffer` (its size is the output size).
    IoOutcome Enumerate(std::vector<uint8_t> &buffer)
    {
        return OpenControl(false).Control(IOCTL_KRVDLC_ENUM_ADAPTERS, nullptr, 0, buffer.data(),
                                          static_cast<uint32_t>(buffer.size()));
    }

    // The context of the bound adapter \Device\{guid}, or null when it has no device.
    PADAPTER_CONTEXT Context(const std::u16string &guid)
    {
        PDEVICE_OBJECT device = machine().io().FindDevice(DeviceNameOf(guid));
        return device == nullptr ? nullptr : static_cast<PADAPTER_CONTEXT>(device->DeviceExtension);
    }
    PADAPTER_CONTEXT Context(const sim::Adapter &adapter)
    {
        PADAPTER_CONTEXT context = Context(adapter.DeviceName().substr(8));
        EXPECT_NE(context, nullptr);
        return context;
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

    uint64_t KdlcBlocks() { return machine().pool().UsageOf(KRVDLC_POOL_TAG).blocks; }

    // Debugger lines since the last ClearLog, without the "KRVDLC: " prefix and line feed.
    std::vector<std::string> Lines()
    {
        std::vector<std::string> lines;
        for (const std::string &line : machine().debugger().Lines())
            lines.push_back(line.rfind(kPrefix, 0) == 0 ? line.substr(8) : line);
        return lines;
    }
    size_t CountLines(const std::string &text)
    {
        auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
    }
    bool Traced(const std::string &text) { return CountLines(text) > 0; }
    // Index of the first line `text`, or -1.
    ptrdiff_t LineAt(const std::string &text) { return IndexOf(Lines(), text); }
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

    std::vector<LoggedEvent> Entries() { return LoggedEvents(machine()); }
    // Entries of one kind with one text. An entry holds 104 bytes of dump data and
    // string together, so a long text arrives cut to what is left beside the dump.
    std::vector<LoggedEvent> EntriesWith(NTSTATUS code, const std::string &text)
    {
        std::vector<LoggedEvent> found;
        for (LoggedEvent &entry : Entries()) {
            size_t room = entry.dump.size() < 104 ? (104 - entry.dump.size()) / 2 - 1 : 0;
            if (entry.code == code && entry.text == text.substr(0, room))
                found.push_back(entry);
        }
        return found;
    }

    // `line` traced once and logged once as an entry of `code` with the same text.
    void ExpectReported(NTSTATUS code, const std::string &line)
    {
        EXPECT_EQ(CountLines(line), 1u) << line;
        EXPECT_EQ(EntriesWith(code, line + "\n").size(), 1u) << line;
    }

    // Unloads and so runs the machine's leak checks (a failure stops the test program).
    void Unload() { EXPECT_TRUE(host_.Unload()); }

private:
    SimulatedHost host_;
    int added_ = 0;
};

// The same as a test fixture.
class LoadedDriver : public ::testing::Test, public DriverHost {
protected:
    explicit LoadedDriver(uint32_t traceLevel = kTraceAll) : DriverHost(traceLevel) {}
};

// A fixture: one adapter bound, the binds complete and its device open (overlapped), the
// logs cleared; at the end the handle is closed and the driver unloaded with its leak checks.
class OpenAdapterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        adapter_ = &driver_.AddBound(u"{5A0C1D2E-0001-4000-8000-00000000A001}");
        driver_.BindsComplete();
        handle_ = driver_.OpenAdapter(*adapter_);
        driver_.ClearLog();
    }
    void TearDown() override
    {
        handle_.Close();
        driver_.Unload();
    }
    // Reopens the device for blocking calls.
    void ReopenBlocking()
    {
        handle_.Close();
        handle_ = driver_.OpenAdapter(*adapter_, false);
    }

    DriverHost driver_;
    sim::Adapter *adapter_ = nullptr;
    DeviceHandle handle_;
};

// The driver with one bound adapter {RX} of `medium` whose device is open.
class DriverWithAdapter : public DriverHost {
public:
    explicit DriverWithAdapter(NDIS_MEDIUM medium = NdisMedium802_3,
                               uint32_t traceLevel = kDebuggerLevel4, bool overlapped = false)
        : DriverHost(traceLevel), adapter_(AddBound(u"{RX}", medium)), handle_(Open(overlapped))
    {
    }

    sim::Adapter &adapter() { return adapter_; }
    DeviceHandle &handle() { return handle_; }
    DeviceHandle Open(bool overlapped = false) { return OpenAdapter(adapter_, overlapped); }
    PADAPTER_CONTEXT Context() { return DriverHost::Context(u"{RX}"); }
    LONG Queued() { return ReadNoFence(&Context()->RxQueueCount); }

    void SetCheckDsap(uint8_t value)
    {
        EXPECT_TRUE(handle_.Control(IOCTL_KRVDLC_CHECK_DSAP, &value, 1, nullptr, 0).ok);
    }
    // Empties the receive queue the way user mode can: a new open.
    void Reopen(bool overlapped = false)
    {
        handle_.Close();
        handle_ = Open(overlapped);
    }

private:
    sim::Adapter &adapter_;
    DeviceHandle handle_;
};

using krvdlc::OverlappedCall;

// An overlapped read issued at once, as user mode keeps it while it waits; it must have
// ended by the time the test lets it go.
class PendingRead : public OverlappedCall {
public:
    PendingRead(w::HANDLE file, uint32_t length) : OverlappedCall(file) { Read(length); }
    ~PendingRead()
    {
        if (!Done())
            ADD_FAILURE() << "read still waiting when its test ended";
    }
    bool Waiting() const { return !Done(); }
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
        adapter_.ScriptNext(sim::NdisOperation::Send, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
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
