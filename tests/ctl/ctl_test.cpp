// ctl_test.cpp - krvdlcctl's commands run inside krvdlc-sim's machine, as a user runs them:
// a scenario across the stations, a capture stopped the way Ctrl-C stops it, the table of
// bad inputs with their messages and exit codes, and the two pcap writers against tshark.
#include "tools/krvdlc-sim/session.h"
#include "tools/krvdlcctl/capture_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using krvdlcsim::CommandRun;
using krvdlcsim::SimulatedMachine;
using Words = std::vector<std::string>;

constexpr char kEth2[] = "02:00:4B:52:00:02";
constexpr char kTr4[] = "40:00:00:00:00:04";

// A fresh folder per test for capture files.
fs::path ScratchFolder()
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    fs::path folder = fs::temp_directory_path() / ("krvdlcctl-" + std::string(test->name()) + "-" +
                                                   std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

std::vector<CommandRun> RunAll(std::vector<Words> commands)
{
    std::vector<CommandRun> runs;
    for (Words &words : commands)
        runs.push_back({std::move(words), {}, {}, -1});
    krvdlcsim::RunSideBySide(runs);
    return runs;
}

// `server` (capture or respond) ready first, then each of `clients` in turn.
std::vector<CommandRun> RunInTurn(Words server, std::vector<Words> clients)
{
    std::vector<CommandRun> runs;
    runs.push_back({std::move(server), {}, {}, -1});
    for (Words &words : clients)
        runs.push_back({std::move(words), {}, {}, -1});
    krvdlcsim::CommandRunner runner;
    runner.Start(runs[0]);
    for (size_t i = 1; i < runs.size(); ++i)
        runner.Wait(runner.Start(runs[i]));
    runner.Finish();
    return runs;
}

CommandRun RunOne(Words words)
{
    return RunAll({std::move(words)}).front();
}

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// tshark's one-line-per-frame fields of a capture file; empty when tshark is missing.
std::string Tshark(const fs::path &file, const std::string &arguments)
{
    std::string command = "tshark -r '" + file.string() + "' " + arguments + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    char buffer[4096];
    for (size_t got; pipe && (got = fread(buffer, 1, sizeof buffer, pipe.get())) > 0;)
        out.append(buffer, got);
    return out;
}

bool HaveTshark()
{
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
}

// list, info, test and xid answered by respond on both media, and a Token Ring capture that
// tshark decodes as LLC with the right SAPs and that send --pcap delivers byte for byte.
TEST(KrvdlcctlScenario, CommandsAcrossStations)
{
    fs::path folder = ScratchFolder();
    SimulatedMachine machine;

    CommandRun list = RunOne({"list", "--json"});
    EXPECT_EQ(list.exitCode, 0) << list.errors;
    EXPECT_TRUE(Contains(list.output, "\"count\":4")) << list.output;
    for (const krvdlcsim::StationInfo &station : machine.stations()) {
        std::string escaped;
        for (char c : station.fileName)
            escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        EXPECT_TRUE(Contains(list.output, escaped)) << station.fileName;
    }

    CommandRun info = RunOne({"info", "Token Ring Adapter #2", "--json"});
    EXPECT_EQ(info.exitCode, 0) << info.errors;
    EXPECT_TRUE(Contains(info.output, "\"mac\":\"40:00:00:00:00:04\",\"medium\":\"802.5\"")) << info.output;

    // TEST to the null SAP on Ethernet and XID to SAP 0x04 on Token Ring, each answered.
    std::vector<CommandRun> ethernet = RunAll({{"respond", "2"},
                                            {"test", "1", kEth2, "--count", "3", "--interval", "0", "--size", "100"}});
    EXPECT_EQ(ethernet[1].exitCode, 0) << ethernet[1].output << ethernet[1].errors;
    EXPECT_TRUE(Contains(ethernet[1].output, "3 sent, 3 received, 0 lost")) << ethernet[1].output;
    EXPECT_TRUE(Contains(ethernet[1].output, "117 bytes from 02:00:4B:52:00:02: seq=3 time=")) << ethernet[1].output;
    EXPECT_EQ(ethernet[0].exitCode, 0);
    EXPECT_TRUE(Contains(ethernet[0].output, "answered 3 TEST and 0 XID commands")) << ethernet[0].output;

    std::vector<CommandRun> ring = RunAll({{"respond", "4", "--sap", "0x04"},
                                        {"xid", "3", kTr4, "--dsap", "4", "--count", "2", "--interval", "0", "--json"}});
    EXPECT_EQ(ring[1].exitCode, 0) << ring[1].output << ring[1].errors;
    EXPECT_TRUE(Contains(ring[1].output, "\"received\":2")) << ring[1].output;
    EXPECT_TRUE(Contains(ring[1].output, "\"xid_format\":129,\"llc_class\":1,\"receive_window\":0")) << ring[1].output;

    // Token Ring frames to tr2 (UI to SAP 0x04, TEST to SAP 0xF4 with the check off).
    fs::path captured = folder / "ring.pcap";
    std::string ui = "1040 400000000004 400000000003 04 04 03 4b52";
    std::string test = "1040 400000000004 400000000003 f4 08 f3 00";
    std::vector<CommandRun> capture = RunInTurn({"capture", "4", "-w", captured.string(), "-c", "3", "--no-dsap-check"},
                                                {{"send", "3", "--hex", ui, "--count", "2"}, {"send", "3", "--hex", test}});
    ASSERT_EQ(capture[0].exitCode, 0) << capture[0].errors;
    EXPECT_TRUE(Contains(capture[0].output, "3 frames (")) << capture[0].output;
    krvdlcctl::CaptureFile file;
    std::string error;
    ASSERT_TRUE(krvdlcctl::ReadCaptureFile(captured.string(), file, error)) << error;
    EXPECT_EQ(file.linkType, krvdlcctl::kLinkTypeTokenRing);
    ASSERT_EQ(file.frames.size(), 3u);
    // (The -m32 build runs under qemu-i386, which cannot start the host's tshark.)
    if (HaveTshark()) {
        std::string fields = Tshark(captured, "-T fields -e llc.dsap -e llc.ssap -e llc.control.u_modifier_cmd");
        EXPECT_EQ(fields, "0x04\t0x04\t0x00\n0x04\t0x04\t0x00\n0xf4\t0x08\t0x38\n") << fields;
    }

    fs::path replayed = folder / "replayed.pcap";
    std::vector<CommandRun> replay = RunInTurn({"capture", "4", "-w", replayed.string(), "-c", "3", "--no-dsap-check"},
                                               {{"send", "3", "--pcap", captured.string()}});
    ASSERT_EQ(replay[1].exitCode, 0) << replay[1].errors;
    krvdlcctl::CaptureFile again;
    ASSERT_TRUE(krvdlcctl::ReadCaptureFile(replayed.string(), again, error)) << error;
    EXPECT_EQ(again.frames, file.frames);

    machine.Finish();
    fs::remove_all(folder);
}

// A capture that runs until stopped has its frames in the file once the adapter is quiet,
// and ends through the same stop signal as Ctrl-C: the read in progress is cancelled, the
// file holds every frame, and the adapter reads on afterwards.
TEST(KrvdlcctlScenario, StoppedCaptureLeavesCompleteFile)
{
    fs::path folder = ScratchFolder();
    SimulatedMachine machine;
    fs::path path = folder / "stopped.pcap";
    CommandRun capture{{"capture", "2", "-w", path.string()}, {}, {}, -1};
    CommandRun send{{"send", "1", "--hex", "02004B520002 02004B520001 0003 04 04 03", "--count", "4"}, {}, {}, -1};
    krvdlcsim::CommandRunner runner;
    runner.Start(capture);
    runner.Wait(runner.Start(send));
    ASSERT_EQ(send.exitCode, 0) << send.errors;
    krvdlcctl::CaptureFile file;
    std::string error;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((!krvdlcctl::ReadCaptureFile(path.string(), file, error) || file.frames.size() < 4) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(file.frames.size(), 4u) << "the frames reach the file while capture still runs";
    runner.Stop();
    runner.Finish();
    EXPECT_EQ(capture.exitCode, 0) << capture.errors;
    EXPECT_TRUE(Contains(capture.output, "4 frames (")) << capture.output;
    ASSERT_TRUE(krvdlcctl::ReadCaptureFile(path.string(), file, error)) << error;
    EXPECT_EQ(file.frames.size(), 4u);

    std::vector<CommandRun> after = RunInTurn({"capture", "2", "-w", path.string(), "-c", "1"},
                                              {{"send", "1", "--hex", "02004B520002 02004B520001 0003 04 04 03"}});
    EXPECT_EQ(after[0].exitCode, 0) << after[0].errors;
    machine.Finish();
    fs::remove_all(folder);
}

// Every bad input gets its exit code and a message that says what is wrong.
TEST(KrvdlcctlErrors, BadInputTable)
{
    enum class Setup { Normal, NoDriver, AdapterHeld, AdapterUnbound };
    fs::path folder = ScratchFolder();
    std::string ringPcap = (folder / "ring.pcap").string();
    std::string error;
    {
        std::unique_ptr<krvdlcctl::CaptureWriter> writer =
            krvdlcctl::OpenOwnCaptureWriter(ringPcap, krvdlcctl::kLinkTypeTokenRing, error);
        ASSERT_TRUE(writer) << error;
        writer->Write(std::vector<uint8_t>(20, 0x40), std::chrono::system_clock::now());
    }
    std::string notPcap = (folder / "frame.bin").string();
    FILE *raw = fopen(notPcap.c_str(), "wb");
    ASSERT_NE(raw, nullptr);
    fputs("not a capture", raw);
    fclose(raw);
    std::string unboundFile;   // filled in by the AdapterUnbound setup
    std::string longFrame = "020000000002020000000001" + std::string(2 * 1600, 'a');

    struct Case {
        Setup setup;
        Words words;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {Setup::Normal, {"info", "9"}, 2, "krvdlcctl list"},
        {Setup::Normal, {"info", "0"}, 2, "counted from 1"},
        {Setup::Normal, {"info", "FDDI"}, 2, "krvdlcctl list"},
        {Setup::NoDriver, {"list"}, 3, "net start krvdlc"},
        {Setup::NoDriver, {"info", "1", "--json"}, 3, "not loaded"},
        {Setup::AdapterHeld, {"info", "1"}, 4, "another program"},
        {Setup::AdapterUnbound, {"info", "UNBOUND"}, 2, "krvdlcctl list"},
        {Setup::Normal, {"send", "1", "--hex", "02000g"}, 1, "--hex"},
        {Setup::Normal, {"send", "1", "--hex", "020"}, 1, "even number"},
        {Setup::Normal, {"test", "1", "02:00:4B:52:00"}, 1, "not a MAC address"},
        {Setup::Normal, {"send", "1", "--pcap", (folder / "missing.pcap").string()}, 1, "cannot read"},
        {Setup::Normal, {"send", "1", "--pcap", notPcap}, 1, notPcap},
        {Setup::Normal, {"send", "1", "--pcap", ringPcap}, 1, "link type 6"},
        {Setup::Normal, {"send", "1", "--hex", "0200000000020200"}, 1, "short"},
        {Setup::Normal, {"send", "1", "--hex", longFrame}, 1, "long"},
        {Setup::Normal, {"send", "1"}, 1, "exactly one of"},
        {Setup::Normal, {"test", "1", kEth2, "--count", "many"}, 1, "--count: not a number"},
        {Setup::Normal, {"capture", "1", "-w", notPcap, "--filter", "all"}, 1, "--filter takes"},
        {Setup::Normal, {"respond", "1", "--sap", "0x05"}, 1, "individual SAP"},
        {Setup::Normal, {"list", "--frobnicate"}, 1, "unknown option --frobnicate"},
        {Setup::Normal, {"ping", "1"}, 1, "unknown command 'ping'"},
        {Setup::Normal, {"test", "1", kEth2, "--count", "1", "--timeout", "50", "--json"}, 5, "no reply"},
    };
    for (const Case &row : cases) {
        SCOPED_TRACE(row.words[0] + " " + (row.words.size() > 1 ? row.words[1] : ""));
        krvdlcsim::SessionOptions options;
        options.loadDriver = row.setup != Setup::NoDriver;
        SimulatedMachine machine(options);
        krvdlc::DeviceHandle held;
        Words words = row.words;
        if (row.setup == Setup::AdapterHeld)
            held = machine.host().Open(krvdlc::Widen(machine.stations()[0].fileName));
        if (row.setup == Setup::AdapterUnbound) {
            machine.stations()[1].adapter->Unbind();
            words[1] = machine.stations()[1].fileName;
        }
        CommandRun run = RunOne(words);
        EXPECT_EQ(run.exitCode, row.exitCode) << run.output << run.errors;
        EXPECT_TRUE(Contains(run.errors, row.message)) << run.errors;
        if (std::find(words.begin(), words.end(), "--json") != words.end()) {
            EXPECT_TRUE(Contains(run.output, "\"exit_code\":" + std::to_string(row.exitCode))) << run.output;
        }
        held.Close();
        machine.Finish();
    }
    fs::remove_all(folder);
}

// libpcap's writer (Linux) and krvdlcctl's own (Windows) write files that tshark decodes
// identically, on both link types.
TEST(KrvdlcctlCaptureFiles, BothWritersDecodeAlike)
{
    std::string error;
    if (!krvdlcctl::OpenLibpcapCaptureWriter("/dev/null", krvdlcctl::kLinkTypeEthernet, error))
        GTEST_SKIP() << error;
    ASSERT_TRUE(HaveTshark()) << "tshark is missing: bash scripts/setup.sh installs it";
    fs::path folder = ScratchFolder();
    const auto when = std::chrono::system_clock::time_point(std::chrono::microseconds(1780000000123456));
    const std::vector<std::pair<uint32_t, std::vector<std::vector<uint8_t>>>> files = {
        {krvdlcctl::kLinkTypeEthernet,
         {{0x02, 0, 0x4B, 0x52, 0, 2, 0x02, 0, 0x4B, 0x52, 0, 1, 0, 6, 0x04, 0x04, 0xF3, 'a', 'b', 'c'},
          {0x02, 0, 0x4B, 0x52, 0, 1, 0x02, 0, 0x4B, 0x52, 0, 2, 0, 6, 0x04, 0x05, 0xBF, 0x81, 0x01, 0x00}}},
        {krvdlcctl::kLinkTypeTokenRing,
         {{0x10, 0x40, 0x40, 0, 0, 0, 0, 4, 0xC0, 0, 0, 0, 0, 3, 0x06, 0x30, 0x00, 0x11, 0x00, 0x20, 0x04, 0x04, 0xAF, 0x81, 0x01, 0x0E}}},
    };
    for (const auto &[linkType, frames] : files) {
        fs::path own = folder / ("own-" + std::to_string(linkType) + ".pcap");
        fs::path libpcap = folder / ("libpcap-" + std::to_string(linkType) + ".pcap");
        {
            auto ownWriter = krvdlcctl::OpenOwnCaptureWriter(own.string(), linkType, error);
            auto libpcapWriter = krvdlcctl::OpenLibpcapCaptureWriter(libpcap.string(), linkType, error);
            ASSERT_TRUE(ownWriter && libpcapWriter) << error;
            for (const auto &frame : frames) {
                ownWriter->Write(frame, when);
                libpcapWriter->Write(frame, when);
            }
        }
        std::string decoded = Tshark(own, "-V -x");
        EXPECT_TRUE(Contains(decoded, "Logical-Link Control")) << decoded;
        EXPECT_EQ(decoded, Tshark(libpcap, "-V -x"));
        krvdlcctl::CaptureFile readBack;
        ASSERT_TRUE(krvdlcctl::ReadOwnCaptureFile(libpcap.string(), readBack, error)) << error;
        EXPECT_EQ(readBack.linkType, linkType);
        EXPECT_EQ(readBack.frames, frames);
    }
    fs::remove_all(folder);
}

}  // namespace
