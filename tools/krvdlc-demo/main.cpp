// krvdlc-demo - KRVDLC loaded into the simulated machine with LLC frames flowing.
//
// Two Ethernet stations share one simulated segment and two Token Ring stations another.
// The demo sets TraceLevel, loads the driver, binds the four adapters, lists them through
// the control device, asks each adapter device for its address and medium, shows the
// DSAP check refusing and then passing a frame, exchanges XID, TEST and SNA services
// frames both ways (one station of each pair indicates with lookahead and transfer, the
// other with whole packets), then closes, unbinds and unloads and shows the pool, the
// trace file and, on request, the event log. Every step says whether it did what it
// should; the exit status is 0 only when all did.
#include "tools/common/simulated_host.h"
#include "tools/common/event_viewer.h"
#include "tools/common/frames.h"
#include "tools/common/pcap_writer.h"

#include "sim/debugger.h"
#include "sim/errorlog.h"
#include "sim/files.h"
#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/pool.h"
#include "sim/win32.h"

#include "core/krvdlc_public.h"


#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace w = sim::win32;
namespace fr = krvdlc::frames;
using krvdlc::Narrow;

constexpr uint32_t kDefaultTraceLevel = 0x44;
constexpr w::DWORD kRequestTimeoutMs = 10000;
// A refused frame has been indicated and dropped before its send completes; this only
// gives a read that wrongly completed a moment to show up.
constexpr w::DWORD kRefusalGraceMs = 100;
constexpr size_t kReadBufferSize = 4096;
constexpr char kTraceFile[] = "\\SystemRoot\\trace\\krvdlc.trc";

struct Options {
    uint32_t traceLevel = kDefaultTraceLevel;
    std::string pcap;
    bool events = false;
    std::filesystem::path systemRoot;
    size_t traceTail = 12;
    std::string image;           // driver image to run (32-bit builds) and whose message
                                 // table renders the events
};

// Only a 32-bit build can run the x86 image; a 64-bit one runs the host-compiled driver.
constexpr bool kCanRunImage = sizeof(void *) == 4;

void PrintUsage(std::ostream &out)
{
    out << "usage: krvdlc-demo [--trace-level N] [--pcap FILE] [--events] [--system-root DIR]\n"
           "                   [--trace-lines N] [--image KRVDLC.SYS] [--help]\n"
           "\n"
           "Loads KRVDLC into the simulated machine, binds two Ethernet stations on one\n"
           "segment and two Token Ring stations on another, and exchanges LLC frames through\n"
           "the driver's devices, printing each step.\n"
           "\n"
           "  --trace-level N   registry TraceLevel (default 0x44: verbosity 4 to the trace file;\n"
           "                    0x84 prints the lines on the debugger instead, 0xC4 on both)\n"
           "  --pcap FILE       write the frames carried on the segments to FILE with a\n"
           "                    -ethernet / -tokenring suffix (DLT_EN10MB and DLT_IEEE802)\n"
           "  --events          print the event log written by the driver\n"
           "  --system-root DIR folder that \\SystemRoot maps to (default: <tmp>/krvdlc-demo);\n"
           "                    the trace file stays there as trace/krvdlc.trc\n"
           "  --trace-lines N   how many last lines of the trace file to print (default 12)\n"
           "  --image FILE      run the driver image FILE (KRVDLC.SYS) instead of the\n"
           "                    host-compiled driver (32-bit builds, build/host-x86; a 64-bit\n"
           "                    build only reads its message table); --events renders with\n"
           "                    its message table (default: build/driver/KRVDLC.SYS)\n"
           "  --help            this text\n";
}

std::optional<Options> ParseOptions(int argc, char **argv, int &exitCode)
{
    Options options;
    options.systemRoot = std::filesystem::temp_directory_path() / "krvdlc-demo";
    auto fail = [&](const std::string &message) -> std::optional<Options> {
        std::cerr << "krvdlc-demo: " << message << "\n\n";
        PrintUsage(std::cerr);
        exitCode = 2;
        return std::nullopt;
    };
    auto number = [](const std::string &text) -> std::optional<uint32_t> {
        try {
            size_t used = 0;
            unsigned long value = std::stoul(text, &used, 0);
            if (used == text.size() && value <= 0xFFFFFFFFul)
                return static_cast<uint32_t>(value);
        } catch (const std::exception &) {
        }
        return std::nullopt;
    };
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(std::cout);
            exitCode = 0;
            return std::nullopt;
        }
        if (arg == "--events") {
            options.events = true;
            continue;
        }
        if (arg != "--trace-level" && arg != "--trace-lines" && arg != "--pcap" &&
            arg != "--system-root" && arg != "--image")
            return fail("unknown option " + arg);
        if (i + 1 >= argc)
            return fail(arg + " needs a value");
        std::string value = argv[++i];
        if (arg == "--pcap") {
            options.pcap = value;
        } else if (arg == "--system-root") {
            options.systemRoot = value;
        } else if (arg == "--image") {
            options.image = value;
        } else if (std::optional<uint32_t> parsed = number(value)) {
            if (arg == "--trace-level")
                options.traceLevel = *parsed;
            else
                options.traceTail = *parsed;
        } else {
            return fail(arg + ": not a number: " + value);
        }
    }
    return options;
}

std::string Hex(uint64_t value, int width = 8)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", width, static_cast<unsigned long long>(value));
    return text;
}

// "demo.pcap" + "ethernet" -> "demo-ethernet.pcap"; "cap" -> "cap-ethernet.pcap".
std::string PcapPath(const std::string &base, const std::string &suffix)
{
    std::filesystem::path path(base);
    std::string extension = path.extension().string();
    if (extension.empty())
        extension = ".pcap";
    path.replace_extension();
    return path.string() + "-" + suffix + extension;
}

// The driver image for the event texts: the one given, else build/driver/KRVDLC.SYS of
// the current folder, else the one beside this program's build folder
// (build/<preset>/tools/krvdlc-demo/krvdlc-demo -> build/driver/KRVDLC.SYS).
std::string DriverImagePath(const std::string &given)
{
    if (!given.empty())
        return given;
    std::filesystem::path local = "build/driver/KRVDLC.SYS";
    if (std::filesystem::exists(local))
        return local.string();
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        std::filesystem::path beside = self.parent_path() / "../../../driver/KRVDLC.SYS";
        if (std::filesystem::exists(beside))
            return beside.lexically_normal().string();
    }
    return local.string();
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Result of one overlapped request as user mode sees it.
struct Completion {
    bool completed = false;   // false: still pending when the wait ended
    bool ok = false;
    uint32_t error = 0;
    uint32_t bytes = 0;
    int32_t status = 0;
};

// One overlapped request on a device handle with its own event; the OVERLAPPED stays put
// until the request has completed (the destructor cancels and waits for a straggler).
class Request {
public:
    explicit Request(w::HANDLE device)
        : device_(device), overlapped_(std::make_unique<w::OVERLAPPED>())
    {
        overlapped_->hEvent = w::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
    ~Request()
    {
        if (issued_ && !Wait(0).completed) {
            w::CancelIo(device_);
            Wait(kRequestTimeoutMs);
        }
        if (overlapped_->hEvent != nullptr)
            w::CloseHandle(overlapped_->hEvent);
    }

    void Read(size_t size)
    {
        buffer_.assign(size, 0);
        Issued(w::ReadFile(device_, buffer_.data(), static_cast<w::DWORD>(size), nullptr,
                           overlapped_.get()));
    }
    void Write(const fr::Bytes &frame)
    {
        buffer_ = frame;
        Issued(w::WriteFile(device_, buffer_.data(), static_cast<w::DWORD>(buffer_.size()),
                            nullptr, overlapped_.get()));
    }
    void Control(uint32_t code, const fr::Bytes &input, size_t outputSize)
    {
        input_ = input;
        buffer_.assign(outputSize, 0);
        Issued(w::DeviceIoControl(device_, code, input_.empty() ? nullptr : input_.data(),
                                  static_cast<w::DWORD>(input_.size()),
                                  buffer_.empty() ? nullptr : buffer_.data(),
                                  static_cast<w::DWORD>(buffer_.size()), nullptr,
                                  overlapped_.get()));
    }

    // Waits up to `ms` for the request; a completed result is kept.
    Completion Wait(w::DWORD ms)
    {
        if (result_.completed || !issued_)
            return result_;
        if (w::WaitForSingleObject(overlapped_->hEvent, ms) != w::WAIT_OBJECT_0)
            return result_;
        w::DWORD bytes = 0;
        w::BOOL ok = w::GetOverlappedResult(device_, overlapped_.get(), &bytes, FALSE);
        result_.completed = true;
        result_.ok = ok != FALSE;
        result_.error = ok ? 0 : w::GetLastError();
        result_.bytes = bytes;
        result_.status = static_cast<int32_t>(overlapped_->Internal);
        return result_;
    }

    // The bytes the request returned (reads and device control).
    fr::Bytes Data() const
    {
        return fr::Bytes(buffer_.begin(), buffer_.begin() + std::min<size_t>(result_.bytes, buffer_.size()));
    }

private:
    void Issued(w::BOOL ok)
    {
        issued_ = ok || w::GetLastError() == w::ERROR_IO_PENDING;
        if (!issued_) {
            result_.completed = true;
            result_.error = w::GetLastError();
            result_.status = static_cast<int32_t>(overlapped_->Internal);
        }
    }

    w::HANDLE device_;
    std::unique_ptr<w::OVERLAPPED> overlapped_;
    fr::Bytes buffer_;
    fr::Bytes input_;
    bool issued_ = false;
    Completion result_;
};

struct Station {
    std::string label;
    sim::Adapter *adapter = nullptr;
    sim::ReceivePath path = sim::ReceivePath::Lookahead;
    std::string fileName;        // as the adapter list names it
    krvdlc::DeviceHandle handle; // overlapped
    fr::MacAddress address{};
    uint32_t medium = fr::kMedium8023;
    size_t framesCaptured = 0;   // sent frames already written to the capture file
};

std::string PathName(sim::ReceivePath path)
{
    return path == sim::ReceivePath::Packet ? "KrvDlcReceivePacket (whole packet)"
                                            : "KrvDlcReceive (lookahead + transfer)";
}

class Demo {
public:
    explicit Demo(Options options) : options_(std::move(options)) {}
    int Run();

private:
    void Heading(const std::string &title)
    {
        std::cout << "\n== " << ++stepNumber_ << ". " << title << "\n";
    }
    bool Check(bool ok, const std::string &what)
    {
        std::cout << "  [" << (ok ? "ok" : "FAILED") << "] " << what << "\n";
        if (!ok)
            ++failures_;
        return ok;
    }

    bool SetUp();
    bool LoadDriver();
    bool AddAdapters();
    bool EnumerateAdapters();
    void ShowNames();
    bool OpenStations();
    bool QueryStations();
    void DsapCheck();
    void Exchange();
    void TearDown();
    void Report();

    Completion Control(Station &station, uint32_t code, const fr::Bytes &input, size_t outputSize,
                       fr::Bytes *output = nullptr);
    bool SetDsapCheck(Station &station, bool on);
    bool Send(Station &from, const fr::Bytes &frame);
    // Writes `frame` on `from` and reads it on `to`; `expectAccepted` false: the read must
    // stay pending (the frame refused by the receiving driver).
    bool Transfer(Station &from, Station &to, const fr::Bytes &frame, const std::string &what,
                  bool expectAccepted = true);
    void Capture(Station &station);
    void PrintFrame(const std::string &indent, uint32_t medium, const fr::Bytes &frame);

    Options options_;
    std::unique_ptr<krvdlc::SimulatedHost> host_;
    std::vector<Station> stations_;   // ETH-A, ETH-B, TR-C, TR-D
    sim::Segment *ethernet_ = nullptr;
    sim::Segment *tokenRing_ = nullptr;
    krvdlc::PcapWriter pcapEthernet_;
    krvdlc::PcapWriter pcapTokenRing_;
    int stepNumber_ = 0;
    int failures_ = 0;
    size_t framesExchanged_ = 0;
};

bool Demo::SetUp()
{
    Heading("Registry: TraceLevel");
    std::error_code error;
    std::filesystem::create_directories(options_.systemRoot, error);
    krvdlc::HostOptions hostOptions;
    hostOptions.machine.systemRoot = options_.systemRoot;
    hostOptions.traceLevel = options_.traceLevel;
    if (kCanRunImage && !options_.image.empty())
        hostOptions.image = options_.image;
    host_ = std::make_unique<krvdlc::SimulatedHost>(hostOptions);
    // The folder outlives the run; a trace file of an earlier run must not pass for this one.
    if (std::optional<std::filesystem::path> old = host_->machine().files().HostPath(kTraceFile))
        std::filesystem::remove(*old, error);
    uint32_t level = options_.traceLevel;
    std::cout << "  " << krvdlc::kParametersKey << "\n    TraceLevel = " << Hex(level, 2)
              << ": verbosity " << (level & 7) << (level & 0x40 ? ", to the trace file" : "")
              << (level & 0x80 ? ", to the debugger" : "") << "\n"
              << "  \\SystemRoot is " << host_->machine().files().Root().string() << "\n";

    if (!options_.pcap.empty()) {
        std::string message;
        bool opened = pcapEthernet_.Open(PcapPath(options_.pcap, "ethernet"), krvdlc::kLinkTypeEthernet, message) &&
                      pcapTokenRing_.Open(PcapPath(options_.pcap, "tokenring"), krvdlc::kLinkTypeTokenRing, message);
        if (!Check(opened, opened ? "capture files " + pcapEthernet_.Path() + " and " + pcapTokenRing_.Path()
                                  : "capture files: " + message))
            return false;
    }
    return true;
}

bool Demo::LoadDriver()
{
    Heading("Load the driver (DriverEntry)");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    try {
        status = host_->Load();
    } catch (const sim::ImageLoadError &error) {
        std::cout << "  " << error.what() << "\n";
        return Check(false, "driver image loaded (rebuild it: cmake --build --preset driver)");
    }
    if (const sim::LoadedImage *image = host_->image())
        std::cout << "  Driver image " << image->name() << " mapped at " << Hex(image->base())
                  << " (preferred base " << Hex(image->preferredBase()) << "): "
                  << image->relocationsApplied() << " relocations applied, " << image->importsBound()
                  << " imports bound to the simulated kernel, HAL and NDIS\n";
    else
        std::cout << "  Driver: the host-compiled sources linked into this program"
                  << (options_.image.empty() ? "" : " (a 64-bit build cannot run the x86 image; build/host-x86 can)")
                  << "\n";
    sim::Machine &machine = host_->machine();
    std::cout << "  DriverEntry returned " << Hex(static_cast<uint32_t>(status)) << "\n";
    if (auto protocol = machine.ndis().Protocol())
        std::cout << "  NDIS protocol registered: " << Narrow(protocol->name) << ", NDIS "
                  << int(protocol->majorVersion) << "." << int(protocol->minorVersion) << "\n";
    std::vector<std::string> lines = machine.debugger().Lines();
    std::cout << "  Debugger output so far (" << lines.size()
              << " lines; TraceLevel is 0xFF until the registry has been read):\n";
    for (const std::string &line : lines)
        std::cout << "    | " << line << "\n";
    return Check(NT_SUCCESS(status) && machine.ndis().ProtocolRegistered(),
                 "driver loaded and registered with NDIS");
}

bool Demo::AddAdapters()
{
    Heading("Adapters: two Ethernet stations on one segment, two Token Ring stations on another");
    sim::Ndis &ndis = host_->ndis();
    ethernet_ = &ndis.AddSegment();
    tokenRing_ = &ndis.AddSegment();
    struct Plan {
        const char *label;
        const char16_t *guid;
        const char16_t *instance;
        NDIS_MEDIUM medium;
        fr::MacAddress address;
        sim::ReceivePath path;
    };
    const Plan plans[] = {
        {"ETH-A", u"{3F1A0001-0000-4B52-8000-000000000001}", u"Simulated Ethernet Adapter #1",
         NdisMedium802_3, {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01}, sim::ReceivePath::Lookahead},
        {"ETH-B", u"{3F1A0002-0000-4B52-8000-000000000002}", u"Simulated Ethernet Adapter #2",
         NdisMedium802_3, {0x02, 0x00, 0x4B, 0x52, 0x00, 0x02}, sim::ReceivePath::Packet},
        {"TR-C", u"{3F1A0003-0000-4B52-8000-000000000003}", u"Simulated Token Ring Adapter #1",
         NdisMedium802_5, {0x40, 0x00, 0x00, 0x00, 0x00, 0x03}, sim::ReceivePath::Lookahead},
        {"TR-D", u"{3F1A0004-0000-4B52-8000-000000000004}", u"Simulated Token Ring Adapter #2",
         NdisMedium802_5, {0x40, 0x00, 0x00, 0x00, 0x00, 0x04}, sim::ReceivePath::Packet},
    };
    bool ok = true;
    for (const Plan &plan : plans) {
        Station station;
        station.label = plan.label;
        station.adapter = &host_->AddAdapter(plan.guid, plan.medium, plan.address, std::u16string(plan.instance));
        station.adapter->SetReceivePath(plan.path);
        station.path = plan.path;
        station.medium = plan.medium == NdisMedium802_5 ? fr::kMedium8025 : fr::kMedium8023;
        (plan.medium == NdisMedium802_5 ? tokenRing_ : ethernet_)->Attach(*station.adapter);
        NDIS_STATUS status = station.adapter->Bind();
        std::cout << "  " << station.label << "  " << Narrow(station.adapter->DeviceName()) << "  "
                  << fr::FormatMac(plan.address) << "  receives through " << PathName(plan.path)
                  << "\n         bind: " << Hex(static_cast<uint32_t>(status)) << "\n";
        ok &= status == NDIS_STATUS_SUCCESS && station.adapter->IsOpen();
        stations_.push_back(std::move(station));
    }
    NDIS_STATUS complete = ndis.IndicateBindsComplete();
    std::cout << "  NetEventBindsComplete: " << Hex(static_cast<uint32_t>(complete)) << "\n";
    return Check(ok && complete == NDIS_STATUS_SUCCESS, "four adapters bound, binds complete");
}

bool Demo::EnumerateAdapters()
{
    Heading("Open \\\\.\\KRVDLC and list the adapters (IOCTL_KRVDLC_ENUM_ADAPTERS)");
    krvdlc::DeviceHandle control = host_->Open(KRVDLC_CONTROL_FILE_NAME);
    if (!Check(control.valid(), "control device opened"))
        return false;
    std::vector<uint8_t> list(kReadBufferSize, 0);
    krvdlc::IoOutcome outcome = control.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, nullptr, 0, list.data(),
                                                static_cast<uint32_t>(list.size()));
    control.Close();
    if (!Check(outcome.ok, "enumeration returned " + std::to_string(outcome.bytes) + " bytes, status " +
                               Hex(static_cast<uint32_t>(outcome.status))))
        return false;
    list.resize(outcome.bytes);

    // Count, then per adapter its instance name and file name, each UTF-16 with a zero
    // unit, then one more zero unit; nothing is aligned.
    size_t offset = 0;
    auto unit = [&](char16_t &out) {
        if (offset + 2 > list.size())
            return false;
        out = static_cast<char16_t>(list[offset] | list[offset + 1] << 8);
        offset += 2;
        return true;
    };
    auto string = [&](std::u16string &out) {
        out.clear();
        for (char16_t c; unit(c);) {
            if (c == 0)
                return true;
            out.push_back(c);
        }
        return false;
    };
    bool wellFormed = list.size() >= 6;
    uint32_t count = 0;
    if (wellFormed) {
        std::memcpy(&count, list.data(), 4);
        offset = 4;
    }
    std::cout << "  Count: " << count << "\n";
    size_t matched = 0;
    for (uint32_t i = 0; wellFormed && i < count; ++i) {
        std::u16string instance;
        std::u16string file;
        wellFormed = string(instance) && string(file);
        if (!wellFormed)
            break;
        std::cout << "  " << i + 1 << ". " << Narrow(instance) << "\n     " << Narrow(file) << "\n";
        for (Station &station : stations_) {
            if (file == krvdlc::SimulatedHost::AdapterFileName(*station.adapter) &&
                instance == station.adapter->InstanceName().value_or(u"")) {
                station.fileName = Narrow(file);
                ++matched;
            }
        }
    }
    char16_t endMark = 1;
    wellFormed = wellFormed && unit(endMark) && endMark == 0 && offset == list.size();
    return Check(wellFormed && count == stations_.size() && matched == stations_.size(),
                 "list well formed, one entry per bound adapter in bind order");
}

void Demo::ShowNames()
{
    Heading("Devices, links and file names (I/O manager)");
    sim::IoManager &io = host_->machine().io();
    std::vector<std::u16string> devices = io.DriverDeviceNames(io.LoadedDriver());
    bool ok = devices.size() == stations_.size() + 1;
    for (const std::u16string &device : devices) {
        // \Device\NAME has the link \DosDevices\NAME and the file name \\.\NAME.
        std::u16string name = device.substr(device.find_last_of(u'\\') + 1);
        std::u16string link = u"\\DosDevices\\" + name;
        std::optional<std::u16string> target = io.SymbolicLinkTarget(link);
        std::cout << "  " << Narrow(device) << "\n      link " << Narrow(link) << " -> "
                  << (target ? Narrow(*target) : std::string("(none)")) << "\n      file \\\\.\\"
                  << Narrow(name) << "\n";
        ok &= target && *target == device;
    }
    Check(ok, "control device and one device per adapter, each with its link");
}

bool Demo::OpenStations()
{
    Heading("Open each adapter device (the open sets the directed packet filter, DSAP check on)");
    bool ok = true;
    for (Station &station : stations_) {
        station.handle = host_->Open(krvdlc::Widen(station.fileName), true);
        uint32_t filter = station.adapter->PacketFilter();
        std::cout << "  " << station.label << "  " << station.fileName << ": "
                  << (station.handle.valid() ? "open" : "FAILED") << ", packet filter " << Hex(filter)
                  << "\n";
        ok &= station.handle.valid() && filter == NDIS_PACKET_TYPE_DIRECTED;
    }
    return Check(ok, "four adapter devices open, each adapter receiving directed frames");
}

Completion Demo::Control(Station &station, uint32_t code, const fr::Bytes &input, size_t outputSize,
                         fr::Bytes *output)
{
    Request request(station.handle.get());
    request.Control(code, input, outputSize);
    Completion result = request.Wait(kRequestTimeoutMs);
    if (output != nullptr)
        *output = request.Data();
    return result;
}

bool Demo::QueryStations()
{
    Heading("MAC address and medium of each adapter (IOCTL_KRVDLC_GET_MAC_ADDRESS, _GET_MEDIUM)");
    bool ok = true;
    for (Station &station : stations_) {
        fr::Bytes mac;
        Completion macResult = Control(station, IOCTL_KRVDLC_GET_MAC_ADDRESS, {}, 16, &mac);
        fr::Bytes medium;
        Completion mediumResult = Control(station, IOCTL_KRVDLC_GET_MEDIUM, {}, 4, &medium);
        bool macOk = macResult.ok && mac.size() == 6 &&
                     std::equal(mac.begin(), mac.end(), station.adapter->Address().begin());
        uint32_t mediumValue = 0xFFFFFFFF;
        if (mediumResult.ok && medium.size() == 4)
            std::memcpy(&mediumValue, medium.data(), 4);
        std::copy_n(station.adapter->Address().begin(), 6, station.address.begin());
        std::cout << "  " << station.label << "  MAC "
                  << (macOk ? fr::FormatMac(station.address) : "status " + Hex(static_cast<uint32_t>(macResult.status)))
                  << "  medium " << mediumValue
                  << (mediumValue == KRVDLC_MEDIUM_802_3 ? " (802.3)" : mediumValue == KRVDLC_MEDIUM_802_5 ? " (802.5)" : "")
                  << "\n";
        ok &= macOk && mediumValue == station.medium;
    }
    return Check(ok, "each adapter reports the address and medium it was given");
}

bool Demo::SetDsapCheck(Station &station, bool on)
{
    Completion result = Control(station, IOCTL_KRVDLC_CHECK_DSAP, {static_cast<uint8_t>(on ? 1 : 0)}, 0);
    std::cout << "  " << station.label << ": IOCTL_KRVDLC_CHECK_DSAP " << (on ? "0x01 (on)" : "0x00 (off)")
              << " -> status " << Hex(static_cast<uint32_t>(result.status)) << "\n";
    return result.ok;
}

void Demo::Capture(Station &station)
{
    std::vector<sim::Frame> sent = station.adapter->SentFrames();
    krvdlc::PcapWriter &writer = station.medium == fr::kMedium8025 ? pcapTokenRing_ : pcapEthernet_;
    for (; station.framesCaptured < sent.size(); ++station.framesCaptured)
        writer.Write(sent[station.framesCaptured]);
}

void Demo::PrintFrame(const std::string &indent, uint32_t medium, const fr::Bytes &frame)
{
    std::cout << indent << fr::Describe(fr::Decode(medium, frame)) << "\n"
              << fr::HexDump(frame, indent);
}

bool Demo::Send(Station &from, const fr::Bytes &frame)
{
    Request write(from.handle.get());
    write.Write(frame);
    Completion result = write.Wait(kRequestTimeoutMs);
    Capture(from);
    return result.ok && result.bytes == frame.size();
}

bool Demo::Transfer(Station &from, Station &to, const fr::Bytes &frame, const std::string &what,
                    bool expectAccepted)
{
    std::cout << "  " << from.label << " -> " << to.label << ": " << what << "\n";
    // The read goes first, so the frame is delivered from the receive-complete indication.
    Request read(to.handle.get());
    read.Read(kReadBufferSize);
    bool sent = Send(from, frame);
    if (!sent) {
        std::cout << "    write failed\n";
        return Check(false, "frame sent");
    }
    if (!expectAccepted) {
        Completion early = read.Wait(kRefusalGraceMs);
        bool refused = !early.completed;
        std::cout << "    " << to.label << "'s read is " << (refused ? "still waiting" : "completed")
                  << ": the driver " << (refused ? "refused" : "passed up") << " the frame\n";
        w::CancelIo(to.handle.get());
        Completion cancelled = read.Wait(kRequestTimeoutMs);
        std::cout << "    read cancelled: status " << Hex(static_cast<uint32_t>(cancelled.status)) << "\n";
        return Check(refused && cancelled.completed && cancelled.status == static_cast<int32_t>(STATUS_CANCELLED),
                     "frame refused by " + to.label);
    }
    Completion result = read.Wait(kRequestTimeoutMs);
    fr::Bytes received = read.Data();
    if (result.ok) {
        std::cout << "    " << to.label << " read " << result.bytes << " bytes through "
                  << PathName(to.path) << ":\n";
        PrintFrame("      ", to.medium, received);
    } else {
        std::cout << "    " << to.label << " read: " << (result.completed ? "failed, status " + Hex(static_cast<uint32_t>(result.status)) : std::string("no frame arrived")) << "\n";
    }
    bool intact = result.ok && received == frame;
    framesExchanged_ += intact ? 1 : 0;
    return Check(intact, "frame read equals frame written");
}

void Demo::DsapCheck()
{
    Heading("DSAP check: a TEST command to the null SAP (DSAP 0x00), refused then accepted");
    Station &a = stations_[0];
    Station &b = stations_[1];
    fr::Llc llc{fr::kSapNull, fr::kSapSna, fr::kControlTest | fr::kPollFinal};
    fr::Bytes frame = fr::Ethernet8023(b.address, a.address, llc, {'K', 'R', 'V', 'D', 'L', 'C'});
    uint64_t deliveries = ethernet_->Deliveries();
    Transfer(a, b, frame, "TEST to DSAP 0x00 with the DSAP check on", false);
    Check(ethernet_->Deliveries() == deliveries + 1,
          "the segment delivered it to " + b.label + "'s adapter: the driver dropped it");
    Check(SetDsapCheck(b, false), "DSAP check switched off on " + b.label);
    Transfer(a, b, frame, "the same frame with the DSAP check off");
    Check(SetDsapCheck(b, true), "DSAP check switched on again on " + b.label);
}

void Demo::Exchange()
{
    Heading("Ethernet: XID, TEST and SNA services frames both ways");
    Station &a = stations_[0];
    Station &b = stations_[1];
    const fr::Bytes testData = {'K', 'R', 'V', 'D', 'L', 'C', ' ', 'T', 'E', 'S', 'T'};
    fr::Llc xidCommand{fr::kSapSna, fr::kSapSna, fr::kControlXid | fr::kPollFinal};
    fr::Llc xidResponse{fr::kSapSna, fr::kSapSna | fr::kSsapResponse, fr::kControlXid | fr::kPollFinal};
    fr::Llc testCommand{fr::kSapSna, fr::kSapSna, fr::kControlTest | fr::kPollFinal};
    fr::Llc testResponse{fr::kSapSna, fr::kSapSna | fr::kSsapResponse, fr::kControlTest | fr::kPollFinal};
    Transfer(a, b, fr::Ethernet8023(b.address, a.address, xidCommand, fr::XidInformation()), "XID command");
    Transfer(b, a, fr::Ethernet8023(a.address, b.address, xidResponse, fr::XidInformation()), "XID response");
    Transfer(a, b, fr::Ethernet8023(b.address, a.address, testCommand, testData), "TEST command");
    Transfer(b, a, fr::Ethernet8023(a.address, b.address, testResponse, testData), "TEST response");

    fr::Llc sabme{fr::kSapSna, fr::kSapSna, fr::kControlSabme | fr::kPollFinal};
    fr::Llc ua{fr::kSapSna, fr::kSapSna | fr::kSsapResponse, fr::kControlUa | fr::kPollFinal};
    Transfer(a, b, fr::EthernetSnaServices(b.address, a.address, sabme), "SNA services frame (type 80D5), SABME");
    // The lookahead handler takes byte 14 (here the high byte of the 80D5 length field)
    // as the DSAP, so with the check on it refuses this frame; the packet handler reads
    // the real DSAP at byte 17.
    fr::Bytes uaFrame = fr::EthernetSnaServices(a.address, b.address, ua);
    Transfer(b, a, uaFrame, "SNA services frame (type 80D5), UA, DSAP check on at " + a.label, false);
    Check(SetDsapCheck(a, false), "DSAP check switched off on " + a.label);
    Transfer(b, a, uaFrame, "the same UA with the DSAP check off");
    Check(SetDsapCheck(a, true), "DSAP check switched on again on " + a.label);

    Heading("Token Ring: XID and TEST, source-routed one way");
    Station &c = stations_[2];
    Station &d = stations_[3];
    fr::Bytes route = fr::RoutingInformation({0x0011, 0x0020});
    Transfer(c, d, fr::TokenRing(d.address, c.address, xidCommand, fr::XidInformation(), route),
             "XID command with routing information (ring 1, bridge 1, ring 2)");
    Transfer(d, c, fr::TokenRing(c.address, d.address, xidResponse, fr::XidInformation(), route),
             "XID response with routing information");
    Transfer(c, d, fr::TokenRing(d.address, c.address, testCommand, testData), "TEST command");
    Transfer(d, c, fr::TokenRing(c.address, d.address, testResponse, testData), "TEST response");
}

void Demo::TearDown()
{
    Heading("Close the handles, unbind the adapters, unload the driver");
    for (Station &station : stations_)
        station.handle.Close();
    host_->machine().io().WaitForDeferredCloses();
    bool ok = true;
    for (Station &station : stations_) {
        NDIS_STATUS status = station.adapter->Unbind();
        std::cout << "  " << station.label << " unbind: " << Hex(static_cast<uint32_t>(status)) << "\n";
        ok &= status == NDIS_STATUS_SUCCESS;
    }
    Check(ok && host_->ndis().OpenBindings() == 0, "every adapter unbound");
    bool unloaded = host_->Unload();
    Check(unloaded, "driver unloaded; the machine found no pool, handle or thread left behind");
    pcapEthernet_.Close();
    pcapTokenRing_.Close();
}

void Demo::Report()
{
    sim::Machine &machine = host_->machine();
    Heading("Pool report");
    std::cout << machine.pool().Report();
    sim::PoolTagUsage kdlc = machine.pool().UsageOf(sim::PoolTag("Kdlc"));
    Check(kdlc.blocks == 0, "no Kdlc block outstanding (" + std::to_string(kdlc.allocations) +
                                " allocated, peak " + std::to_string(kdlc.peakBlocks) + " blocks)");

    Heading("Trace file");
    uint32_t level = options_.traceLevel;
    bool fileExpected = level != 0 && ((level & 0x80) == 0 || (level & 0x40) != 0);
    std::optional<std::filesystem::path> path = machine.files().HostPath(kTraceFile);
    std::optional<std::string> text = machine.files().ReadFile(kTraceFile);
    std::cout << "  " << kTraceFile << "\n  on the host: " << (path ? path->string() : "(none)") << "\n";
    if (text) {
        std::vector<std::string> lines = SplitLines(*text);
        size_t first = lines.size() > options_.traceTail ? lines.size() - options_.traceTail : 0;
        std::cout << "  " << lines.size() << " lines; the last " << lines.size() - first << ":\n";
        for (size_t i = first; i < lines.size(); ++i)
            std::cout << "    | " << lines[i] << "\n";
    } else {
        std::cout << "  no trace file (TraceLevel " << Hex(level, 2) << " does not trace to the file)\n";
    }
    Check(fileExpected == text.has_value() && (!fileExpected || (level & 7) < 4 || !text->empty()),
          fileExpected ? "trace file written" : "no trace file, as TraceLevel asks");
    if (level & 0x80) {
        std::vector<std::string> lines = machine.debugger().Lines();
        std::cout << "  Debugger output: " << lines.size() << " lines in all\n";
    }

    if (!pcapEthernet_.Path().empty()) {
        Heading("Capture files");
        for (const krvdlc::PcapWriter *writer : {&pcapEthernet_, &pcapTokenRing_}) {
            krvdlc::CapturedFile capture;
            std::string error;
            bool read = krvdlc::ReadCapture(writer->Path(), capture, error);
            std::cout << "  " << writer->Path() << ": " << capture.frames.size() << " frames, link type "
                      << capture.linkType << (read ? "" : " (" + error + ")") << "\n";
            Check(read && capture.frames.size() == writer->FramesWritten(), "capture file reads back");
        }
    }

    std::vector<sim::ErrorLogEntry> entries = machine.errorLog().Entries();
    if (options_.events) {
        Heading("Event log");
        std::string error;
        std::string image = DriverImagePath(options_.image);
        std::optional<krvdlc::MessageTable> table = krvdlc::LoadMessageTable(image, &error);
        std::cout << "  message texts from " << image << (table ? "" : " (" + error + ")") << "\n\n";
        std::cout << krvdlc::RenderEvents(entries, table ? &*table : nullptr,
                                          krvdlc::ViewerOptionsFor(machine, image));
    } else {
        std::cout << "\n  The event log holds " << entries.size() << " entries (--events prints them).\n";
    }
}

int Demo::Run()
{
    std::cout << "KRVDLC in the simulated machine\n";
    bool ready = SetUp() && LoadDriver() && AddAdapters() && EnumerateAdapters();
    if (ready) {
        ShowNames();
        if (OpenStations() && QueryStations()) {
            DsapCheck();
            Exchange();
        }
    }
    if (host_ && host_->loaded())
        TearDown();
    if (host_)
        Report();
    std::cout << "\n" << (failures_ == 0 ? "All steps did what they should" : std::to_string(failures_) + " check(s) FAILED")
              << "; " << framesExchanged_ << " frames read back intact.\n";
    return failures_ == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    int exitCode = 0;
    std::optional<Options> options = ParseOptions(argc, argv, exitCode);
    if (!options)
        return exitCode;
    Demo demo(std::move(*options));
    return demo.Run();
}
