// replay_test.cpp - krvdlc-sim replays captures of mixed traffic that another writer made
// (a pcapng written here byte by byte, a pcap written by libpcap) in each indication style;
// the reader's file must hold exactly the frames this table marks as passed, intact and in
// order, and the summary's refusal counts must match the table's reasons.
#include "tests/traffic/child_process.h"
#include "tools/common/frames.h"
#include "tools/common/simulated_host.h"
#include "tools/krvdlc-sim/backends.h"
#include "tools/krvdlcctl/capture_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>

namespace {

namespace fs = std::filesystem;
namespace fr = krvdlc::frames;
using traffic_test::ChildProcess;

// Expected fate of a frame per style: lookahead (whole frame as lookahead), lookahead of
// one byte, whole packet. A accepted; refused for T frame type, C frame control, D DSAP,
// S too short.
struct Row {
    const char *what;
    fr::Bytes frame;
    const char *fate;   // three letters: lookahead, lookahead:1, packet
};

const fr::MacAddress kTo{0x02, 0x00, 0x4B, 0x52, 0x00, 0x01};
const fr::MacAddress kFrom{0x02, 0x00, 0x00, 0x00, 0x00, 0x09};
const fr::MacAddress kTrTo{0x40, 0x00, 0x00, 0x00, 0x00, 0x01};
const fr::MacAddress kTrFrom{0x40, 0x00, 0x00, 0x00, 0x00, 0x09};

fr::Bytes EthernetII(uint16_t type, size_t payload)
{
    fr::Bytes frame(kTo.begin(), kTo.end());
    frame.insert(frame.end(), kFrom.begin(), kFrom.end());
    frame.push_back(static_cast<uint8_t>(type >> 8));
    frame.push_back(static_cast<uint8_t>(type));
    for (size_t i = 0; i < payload; ++i)
        frame.push_back(static_cast<uint8_t>(i));
    return frame;
}

fr::Bytes Ui(uint8_t dsap) { return fr::Ethernet8023(kTo, kFrom, {dsap, 0x04, fr::kControlUi}, {0xAB, dsap}); }
fr::Bytes Cut(fr::Bytes frame, size_t size) { frame.resize(size); return frame; }

std::vector<Row> EthernetRows()
{
    std::vector<Row> rows;
    // SAPs the DSAP check lets through, and then the ones it refuses.
    for (uint8_t sap : {0x04, 0x08, 0x0C, 0x10, 0x20, 0x40, 0x7C, 0x80, 0xA8, 0xC0, 0xE0, 0xF4, 0xFC})
        rows.push_back({"802.3 UI to an accepted SAP", Ui(sap), "AAA"});
    for (uint8_t sap : {0x00, 0xF0, 0x01, 0x05, 0x06, 0x42, 0xFF})
        rows.push_back({"802.3 UI to a refused SAP", Ui(sap), "DAD"});
    rows.push_back({"802.3 XID, padded to 60", fr::Ethernet8023(kTo, kFrom, {0x04, 0x08, fr::kControlXid}, fr::XidInformation(), 60), "AAA"});
    rows.push_back({"IPv4", EthernetII(0x0800, 46), "TTT"});
    rows.push_back({"ARP", EthernetII(0x0806, 28), "TTT"});
    rows.push_back({"IPv6", EthernetII(0x86DD, 60), "TTT"});
    rows.push_back({"type 0x0600, the first that is no length", EthernetII(0x0600, 10), "TTT"});
    // 0x80D5: the lookahead handler takes byte 14 (the length's high byte, 0) as the DSAP.
    rows.push_back({"SNA services to SAP 4", fr::EthernetSnaServices(kTo, kFrom, {0x04, 0x04, fr::kControlTest}), "DAA"});
    rows.push_back({"SNA services to the null SAP", fr::EthernetSnaServices(kTo, kFrom, {0x00, 0x04, fr::kControlTest}), "DAD"});
    rows.push_back({"SNA services cut before its DSAP", Cut(fr::EthernetSnaServices(kTo, kFrom, {0x04, 0x04, fr::kControlUi}), 17), "DAS"});
    rows.push_back({"802.3 header alone", Cut(Ui(0x04), 14), "AAS"});
    rows.push_back({"802.3 with the DSAP alone", Cut(Ui(0x04), 15), "AAA"});
    rows.push_back({"runt of 10 bytes", Cut(Ui(0x04), 10), "SSS"});
    return rows;
}

std::vector<Row> TokenRingRows()
{
    fr::Bytes route = fr::RoutingInformation({0x0011, 0x0020});
    fr::Llc test{0x04, 0x04, fr::kControlTest};
    auto mac = [](uint8_t frameControl) { return fr::TokenRing(kTrTo, kTrFrom, {0x04, 0x04, fr::kControlUi}, {1, 2}, {}, 0x10, frameControl); };
    return {
        {"LLC to SAP 4", fr::TokenRing(kTrTo, kTrFrom, test), "AAA"},
        {"source-routed LLC to SAP 4", fr::TokenRing(kTrTo, kTrFrom, test, {9, 9}, route), "AAA"},
        {"source-routed LLC to SAP 0xF4", fr::TokenRing(kTrTo, kTrFrom, {0xF4, 0x04, fr::kControlUi}, {}, route), "AAA"},
        {"source-routed LLC to the null SAP", fr::TokenRing(kTrTo, kTrFrom, {0x00, 0x04, fr::kControlTest}, {}, route), "DDD"},
        {"LLC to SAP 5", fr::TokenRing(kTrTo, kTrFrom, {0x05, 0x04, fr::kControlUi}), "DDD"},
        {"MAC frame, FC 0x00", mac(0x00), "CCC"},
        {"MAC frame, FC 0x01", mac(0x01), "CCC"},
        {"reserved frame type, FC 0xC0", mac(0xC0), "CCC"},
        {"routed, cut inside its routing information", Cut(fr::TokenRing(kTrTo, kTrFrom, test, {}, route), 18), "AAS"},
        {"header alone", Cut(fr::TokenRing(kTrTo, kTrFrom, test), 14), "AAS"},
    };
}

// A pcapng of link type 1, written by hand as its format describes: section header,
// interface description, one enhanced packet block per frame, 5 ms apart.
void WritePcapng(const fs::path &path, const std::vector<Row> &rows)
{
    std::vector<uint8_t> out;
    auto u32 = [&out](uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i))); };
    auto u16 = [&out](uint16_t v) { out.push_back(static_cast<uint8_t>(v)); out.push_back(static_cast<uint8_t>(v >> 8)); };
    u32(0x0A0D0D0A); u32(28); u32(0x1A2B3C4D); u16(1); u16(0); u32(0xFFFFFFFF); u32(0xFFFFFFFF); u32(28);
    u32(1); u32(20); u16(1); u16(0); u32(0); u32(20);
    uint64_t stamp = 1700000000000000ull;
    for (const Row &row : rows) {
        uint32_t padded = static_cast<uint32_t>((row.frame.size() + 3) & ~size_t{3});
        u32(6); u32(32 + padded); u32(0);
        u32(static_cast<uint32_t>(stamp >> 32)); u32(static_cast<uint32_t>(stamp));
        u32(static_cast<uint32_t>(row.frame.size())); u32(static_cast<uint32_t>(row.frame.size()));
        out.insert(out.end(), row.frame.begin(), row.frame.end());
        out.resize(out.size() + (padded - row.frame.size()), 0);
        u32(32 + padded);
        stamp += 5000;
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(out.data()), static_cast<std::streamsize>(out.size()));
}

void WritePcap(const fs::path &path, uint32_t linkType, const std::vector<fr::Bytes> &frames, std::chrono::microseconds gap)
{
    std::string error;
    auto writer = krvdlcctl::OpenCaptureWriter(path.string(), linkType, error);
    ASSERT_TRUE(writer) << error;
    auto when = std::chrono::system_clock::now();
    for (const fr::Bytes &frame : frames) {
        ASSERT_TRUE(writer->Write(frame, when));
        when += gap;
    }
}

struct Summary {
    uint64_t offered = 0, indicated = 0, notIndicated = 0, refused = 0;
    std::map<char, uint64_t> byReason;
    uint64_t accepted = 0, noFreePacket = 0, queueFull = 0, delivered = 0, dropped = 0;
};

Summary ParseSummary(const std::string &text)
{
    Summary s;
    std::smatch m;
    auto n = [&m](size_t i) { return std::stoull(m[i].str()); };
    EXPECT_TRUE(std::regex_search(text, m, std::regex(R"(offered (\d+) in [0-9.]+ s: indicated (\d+), not indicated (\d+))"))) << text;
    if (!m.empty()) { s.offered = n(1); s.indicated = n(2); s.notIndicated = n(3); }
    EXPECT_TRUE(std::regex_search(text, m, std::regex(R"(refused (\d+): frame type (\d+), frame control (\d+), DSAP (\d+), too short (\d+))"))) << text;
    if (!m.empty()) { s.refused = n(1); s.byReason = {{'T', n(2)}, {'C', n(3)}, {'D', n(4)}, {'S', n(5)}}; }
    EXPECT_TRUE(std::regex_search(text, m, std::regex(R"(accepted (\d+): no free packet (\d+), queue full (\d+), delivered (\d+), dropped (\d+))"))) << text;
    if (!m.empty()) { s.accepted = n(1); s.noFreePacket = n(2); s.queueFull = n(3); s.delivered = n(4); s.dropped = n(5); }
    return s;
}

class CaptureReplay : public testing::Test {
protected:
    void SetUp() override
    {
        if (!krvdlcsim::CaptureReplaySupported())
            GTEST_SKIP() << "this build has no libpcap (the 32-bit one): replay runs in the 64-bit builds";
        folder_ = fs::temp_directory_path() / ("krvdlc-replay-" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // Runs krvdlc-sim on the capture with --deliver; returns its output.
    std::string Replay(const fs::path &capture, std::vector<std::string> options, const fs::path &delivered)
    {
        std::vector<std::string> words = {traffic_test::SimProgram(), "--replay", capture.string(), "--deliver", delivered.string()};
        words.insert(words.end(), options.begin(), options.end());
        ChildProcess sim(words, folder_ / "output.txt");
        int status = sim.Wait(std::chrono::seconds(60));
        EXPECT_EQ(status, 0) << sim.Output();
        return sim.Output();
    }

    fs::path folder_;
};

TEST_F(CaptureReplay, DeliversExactlyWhatTheFilterPassesPerStyle)
{
    std::vector<Row> ethernet = EthernetRows();
    std::vector<Row> ring = TokenRingRows();
    fs::path ethernetFile = folder_ / "mixed.pcapng";
    fs::path ringFile = folder_ / "ring.pcap";
    WritePcapng(ethernetFile, ethernet);
    std::vector<fr::Bytes> ringFrames;
    for (const Row &row : ring)
        ringFrames.push_back(row.frame);
    WritePcap(ringFile, krvdlcctl::kLinkTypeTokenRing, ringFrames, std::chrono::milliseconds(5));

    struct Run {
        const char *style;
        bool tokenRing;
        int column;          // of Row::fate
        bool dsapCheckOff;
    };
    const Run runs[] = {
        {"lookahead", false, 0, false}, {"lookahead:1", false, 1, false}, {"packet", false, 2, false},
        {"resources", false, 2, false}, {"packet", false, 2, true},
        {"lookahead", true, 0, false},  {"resources", true, 2, false},
    };
    for (const Run &run : runs) {
        SCOPED_TRACE(std::string(run.style) + (run.tokenRing ? " on Token Ring" : " on Ethernet") +
                     (run.dsapCheckOff ? ", DSAP check off" : ""));
        const std::vector<Row> &rows = run.tokenRing ? ring : ethernet;
        fs::path delivered = folder_ / "delivered.pcap";
        std::vector<std::string> options = {"--style", run.style};
        if (run.dsapCheckOff)
            options.push_back("--no-dsap-check");
        std::string output = Replay(run.tokenRing ? ringFile : ethernetFile, options, delivered);

        std::vector<fr::Bytes> expected;
        std::map<char, uint64_t> refused = {{'T', 0}, {'C', 0}, {'D', 0}, {'S', 0}};
        for (const Row &row : rows) {
            char fate = row.fate[run.column];
            if (fate == 'D' && run.dsapCheckOff)
                fate = 'A';
            if (fate == 'A')
                expected.push_back(row.frame);
            else
                refused[fate]++;
        }
        krvdlcctl::CaptureFile file;
        std::string error;
        ASSERT_TRUE(krvdlcctl::ReadCaptureFile(delivered.string(), file, error)) << error << "\n" << output;
        EXPECT_EQ(file.linkType, run.tokenRing ? 6u : 1u);
        EXPECT_EQ(file.frames, expected) << output;

        Summary summary = ParseSummary(output);
        EXPECT_EQ(summary.offered, rows.size());
        EXPECT_EQ(summary.indicated, rows.size());   // the reader made the adapter promiscuous
        EXPECT_EQ(summary.byReason, refused) << output;
        EXPECT_EQ(summary.accepted, expected.size());
        EXPECT_EQ(summary.noFreePacket + summary.queueFull, 0u);
        EXPECT_EQ(summary.delivered, expected.size());
        EXPECT_EQ(summary.dropped, 0u);
        fs::remove(delivered);
    }
}

// As fast as possible the reader falls behind: every frame is either delivered, intact and
// in order, or lost at the queue limit. In packet style the driver drops and counts it on
// the full queue; in lookahead style the queued frames hold every packet, reads fail, and
// the reader reopens the adapter (noting it at most once a second) and goes on.
TEST_F(CaptureReplay, FloodAccountsForEveryFrame)
{
    constexpr uint32_t kFrames = 3000;
    std::vector<fr::Bytes> frames;
    for (uint32_t i = 0; i < kFrames; ++i) {
        fr::Bytes sequence = {static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16),
                              static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        frames.push_back(fr::Ethernet8023(kTo, kFrom, {0x04, 0x04, fr::kControlUi}, sequence, 64));
    }
    fs::path capture = folder_ / "flood.pcap";
    WritePcap(capture, krvdlcctl::kLinkTypeEthernet, frames, std::chrono::microseconds(0));
    for (const char *style : {"packet", "lookahead"}) {
        SCOPED_TRACE(style);
        const bool lookahead = std::string(style) == "lookahead";
        fs::path delivered = folder_ / "delivered.pcap";
        auto start = std::chrono::steady_clock::now();
        std::string output = Replay(capture, {"--style", style, "--as-fast-as-possible"}, delivered);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        krvdlcctl::CaptureFile file;
        std::string error;
        ASSERT_TRUE(krvdlcctl::ReadCaptureFile(delivered.string(), file, error)) << error;
        size_t next = 0;
        for (const fr::Bytes &frame : file.frames) {
            while (next < frames.size() && frames[next] != frame)
                ++next;
            ASSERT_LT(next, frames.size()) << "a delivered frame out of order or altered";
            ++next;
        }
        Summary summary = ParseSummary(output);
        EXPECT_EQ(summary.accepted, kFrames);
        EXPECT_EQ(summary.delivered, file.frames.size());
        if (!lookahead) {
            EXPECT_EQ(summary.delivered + summary.queueFull, kFrames) << output;
            EXPECT_EQ(summary.dropped, 0u);
            continue;
        }
        std::smatch reopens;
        ASSERT_TRUE(std::regex_search(output, reopens, std::regex(R"(the adapter was reopened (\d+) time)"))) << output;
        EXPECT_GT(summary.noFreePacket, 0u) << output;
        size_t notes = 0;
        for (size_t at = output.find("reopened the adapter"); at != std::string::npos;
             at = output.find("reopened the adapter", at + 1))
            ++notes;
        EXPECT_GE(notes, 1u);
        EXPECT_LE(notes, static_cast<size_t>(seconds) + 1) << output;
        fs::remove(delivered);
    }
}

}  // namespace

// A paced replay at line rate whose thread stalls (not scheduled for a while) catches up
// in bursts of at most kMaxBurst frames and no faster than 1.5 times the capture's pace,
// so that the driver's 16-frame queue is not overrun, and is back on time afterwards; on
// time it keeps each frame's own time.
TEST(ReplayClock, AfterAStallCatchesUpInShortBurstsAtABoundedPace)
{
    using Clock = krvdlcsim::ReplayClock::Clock;
    using std::chrono::microseconds;
    constexpr double kGapUs = 1e6 / 148800;   // 64-byte frames on 100 Mbit/s Ethernet
    constexpr size_t kStallAt = 100, kFrames = 3000;
    struct Case {
        const char *what;
        microseconds stall;                    // before frame kStallAt
        size_t longestBurst;                   // frames sent back to back, at most
    };
    for (const Case &c : {Case{"no stall", microseconds(0), 1},
                          Case{"a stall of 40 us", microseconds(40), krvdlcsim::kMaxBurst},
                          Case{"a stall of 2 ms", microseconds(2000), krvdlcsim::kMaxBurst}}) {
        Clock::time_point start{};
        krvdlcsim::ReplayClock clock(start);
        Clock::time_point now = start;
        std::vector<Clock::time_point> went;
        size_t burst = 0, longest = 0;
        for (size_t i = 0; i < kFrames; ++i) {
            if (i == kStallAt && c.stall.count() != 0) {
                now += c.stall;
                burst = 0;
            }
            auto at = microseconds(static_cast<int64_t>(i * kGapUs));
            Clock::time_point due = clock.Due(at);
            if (c.stall.count() == 0) {
                EXPECT_EQ(due, start + at) << c.what << ", frame " << i;
            }
            if (due > now) {
                now = due;   // waited for it
                burst = 0;
            }
            longest = std::max(longest, ++burst);
            clock.Went(at, now);
            went.push_back(now);
            now += microseconds(1);   // indicating it
        }
        EXPECT_LE(longest, c.longestBurst) << c.what;
        // Any kMaxBurst + 1 frames in a row take at least two thirds of their recorded time.
        for (size_t i = krvdlcsim::kMaxBurst; i < kFrames; ++i) {
            auto recorded = microseconds(static_cast<int64_t>(krvdlcsim::kMaxBurst * kGapUs) - 1);
            ASSERT_GE(went[i] - went[i - krvdlcsim::kMaxBurst], recorded * 2 / 3) << c.what << ", frame " << i;
        }
        // Caught up: the last frame went at its own time.
        auto last = microseconds(static_cast<int64_t>((kFrames - 1) * kGapUs));
        EXPECT_EQ(went.back(), start + last) << c.what;
    }
}

// Frames closer together than the moderation window go to the driver as one burst (one
// receive-complete), each no earlier than its recorded time. 10 us apart, a burst holds at
// least the frames at +0, +10 and +20 us, however late its thread was scheduled.
TEST(ReplayModeration, FramesWithinTheWindowGoAsOneBurst)
{
    using Clock = krvdlcsim::ReplayClock::Clock;
    constexpr size_t kFrames = 60;
    constexpr std::chrono::microseconds kGap{10};
    static_assert(kGap * 2 <= krvdlcsim::kModeration);
    krvdlc::SimulatedHost host;
    host.Load();
    sim::Adapter &adapter = host.AddAdapter(u"{MODERATION}", NdisMedium802_3, {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01});
    adapter.Bind();
    std::vector<krvdlcsim::CaptureRecord> records;
    for (size_t i = 0; i < kFrames; ++i)
        records.push_back({Ui(0x04), kGap * i});
    krvdlcsim::Injector injector(adapter, krvdlcsim::IndicationStyle{}, true);
    std::atomic<bool> stop{false};
    const Clock::time_point start = Clock::now();
    krvdlcsim::ReplayClock clock(start);
    krvdlcsim::IndicatePaced(injector, clock, records.data(), records.size(), stop, false);
    EXPECT_GE(Clock::now() - start, kGap * (kFrames - 1));
    const krvdlcsim::TrafficCounts counts = injector.Counts();
    EXPECT_EQ(counts.offered, kFrames);
    EXPECT_LE(counts.bursts, kFrames / 2);
    adapter.Unbind();
    host.Unload();
}
