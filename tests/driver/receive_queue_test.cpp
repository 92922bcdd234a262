// The receive queue: its bound of 16 and the 10-entry warnings of the two receive paths,
// the packet pool that driver-owned frames use up, data transfers that fail or pend, and
// packets NDIS cannot lend.
#include "tests/support/driver_test_support.h"

using namespace krvdlc::test;

namespace {

enum class Path { Lookahead, Packet };

const std::string kTooMany = "** Too many received packets have been queued...  Discarding packet.";
const std::string kDiscardData = "** Returning resources and discarding packet data.";
const std::string kNoPacket = "** No free packets in pool";

// Queues `count` lent packets: they hold no descriptor of the adapter's pool.
void Prefill(DriverWithAdapter &driver, int count)
{
    for (int i = 0; i < count; i++)
        ASSERT_EQ(driver.adapter().IndicatePacket(LlcFrame(0x04)), 1);
    ASSERT_EQ(driver.Queued(), count);
}

TEST(ReceiveQueue, WarningsAndLimitOfBothPaths)
{
    struct Row {
        Path path;
        int queued;            // records already queued
        ULONG level;           // trace level of the run
        std::string line;      // expected trace line ("" none)
        ULONG kind;            // event kind (0 none)
        std::string event;     // event text
        bool dropped;
    };
    const std::string errorLabel = "*WARNING* Received packets queued = ";
    const std::string warningLabel = "* Received packets queued >= 10:";
    std::vector<Row> rows;
    for (ULONG level : {4u, 1u}) {
        for (int queued : {9, 10, 15, 16}) {
            bool warn = queued >= 10 && queued < 16;
            std::string count = std::to_string(queued);
            rows.push_back({Path::Lookahead, queued, level, warn ? errorLabel + count : "",
                            warn ? LOG_ERROR : 0u, errorLabel, queued == 16});
            // The packet path warns at level 2: a level-1 run does not show it.
            rows.push_back({Path::Packet, queued, level, warn && level >= 2 ? warningLabel + count : "",
                            warn ? LOG_WARNING : 0u, warningLabel, queued == 16});
        }
    }

    DriverWithAdapter driver;
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << (row.path == Path::Lookahead ? "lookahead " : "packet ")
                                          << row.queued << " queued, level " << row.level);
        driver.Reopen();
        Prefill(driver, row.queued);
        WriteNoFence(&DRIVER_SYMBOL(TraceLevel), TRACE_TO_DEBUGGER | row.level);
        driver.ClearLog();
        if (row.path == Path::Lookahead)
            EXPECT_EQ(driver.adapter().IndicateReceive(LlcFrame(0x04)), NDIS_STATUS_SUCCESS);
        else
            EXPECT_EQ(driver.adapter().IndicatePacket(LlcFrame(0x04)), row.dropped ? 0 : 1);
        WriteNoFence(&DRIVER_SYMBOL(TraceLevel), kDebuggerLevel4);

        EXPECT_EQ(driver.Queued(), row.dropped ? row.queued : row.queued + 1);
        auto lines = driver.Lines();
        auto warnings = std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
            return line.rfind("*WARNING*", 0) == 0 || line.rfind("* Received packets", 0) == 0;
        });
        EXPECT_EQ(warnings, row.line.empty() ? 0 : 1);
        if (!row.line.empty()) {
            EXPECT_TRUE(driver.Traced(row.line)) << row.line;
        }
        if (row.kind != 0) {
            auto events = driver.EntriesWith(row.kind == LOG_ERROR ? EVENT_DRIVER_ERROR : EVENT_DRIVER_WARNING, row.event);
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].DumpValue(), static_cast<uint32_t>(row.queued));
        }
        EXPECT_EQ(driver.CountLines(kTooMany), row.dropped ? 1u : 0u);
        EXPECT_EQ(driver.EntriesWith(EVENT_DRIVER_ERROR, kTooMany + "\n").size(), row.dropped ? 1u : 0u);
        bool discardsData = row.dropped && row.path == Path::Lookahead;
        EXPECT_EQ(driver.CountLines(kDiscardData), discardsData ? 1u : 0u);
        EXPECT_EQ(driver.Entries().size(), (row.kind != 0 ? 1u : 0u) + (row.dropped ? 1u : 0u) +
                                           (discardsData ? 1u : 0u));
        // A queued driver-owned frame holds its descriptor; a dropped one gives all back.
        bool owned = row.path == Path::Lookahead && !row.dropped;
        EXPECT_EQ(driver.machine().ndis().PacketsInUse(driver.Context()->PacketPool), owned ? 1u : 0u);
        bool lentOneMore = row.path == Path::Packet && !row.dropped;
        EXPECT_EQ(driver.adapter().LentPackets(), static_cast<size_t>(row.queued + (lentOneMore ? 1 : 0)));
    }
}

TEST(ReceiveQueue, SixteenOwnedFramesExhaustThePool)
{
    DriverWithAdapter driver;
    sim::Adapter &adapter = driver.adapter();
    NDIS_HANDLE pool = driver.Context()->PacketPool;
    for (int i = 0; i < 16; i++)
        ASSERT_EQ(adapter.IndicateReceive(LlcFrame(0x04)), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(driver.Queued(), 16);
    EXPECT_EQ(driver.machine().ndis().PacketsInUse(pool), 16u);

    driver.ClearLog();
    EXPECT_EQ(adapter.IndicateReceive(LlcFrame(0x04)), NDIS_STATUS_NOT_ACCEPTED);
    EXPECT_TRUE(driver.Traced(kNoPacket));
    EXPECT_EQ(driver.EntriesWith(EVENT_DRIVER_ERROR, kNoPacket + "\n").size(), 1u);
    EXPECT_FALSE(driver.Traced(kTooMany));   // the pool runs out before the limit test
    EXPECT_EQ(driver.Queued(), 16);

    // The read finds no copy packet and fails while KrvDlcRead returns STATUS_SUCCESS:
    // the one mismatch the verifier lets through, counted.
    uint64_t mismatches = driver.machine().io().StatusMismatches();
    std::vector<uint8_t> buffer(100);
    driver.ClearLog();
    auto read = driver.handle().Read(buffer);
    EXPECT_EQ(read.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(read.bytes, 0u);
    EXPECT_TRUE(driver.Traced(kNoPacket));
    EXPECT_EQ(driver.Queued(), 16);
    EXPECT_EQ(driver.machine().io().StatusMismatches(), mismatches + 1);

    auto write = driver.handle().Write(LlcFrame(0x04));
    EXPECT_FALSE(write.ok);
    EXPECT_EQ(write.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(adapter.SentFrames().empty());

    // A new open empties the queue and gives the descriptors back.
    driver.Reopen();
    EXPECT_EQ(driver.machine().ndis().PacketsInUse(pool), 0u);
    sim::Frame frame = LlcFrame(0x08, 70);
    ASSERT_EQ(adapter.IndicateReceive(frame), NDIS_STATUS_SUCCESS);
    read = driver.handle().Read(buffer);
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + read.bytes), frame);
}

TEST(ReceiveQueue, TransferFailingAtOnceStillQueuesTheWholeFrame)
{
    DriverWithAdapter driver;
    sim::Adapter &adapter = driver.adapter();
    adapter.ScriptNext(sim::NdisOperation::TransferData, {sim::CompletionMode::Immediate, NDIS_STATUS_FAILURE});
    sim::Frame frame = LlcFrame(0x04, 90);
    sim::ReceiveOptions options;
    options.lookaheadSize = 10;
    EXPECT_EQ(adapter.IndicateReceive(frame, options), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(driver.Queued(), 1);

    std::vector<uint8_t> buffer(200);
    auto read = driver.handle().Read(buffer);
    EXPECT_TRUE(read.ok);
    ASSERT_EQ(read.bytes, frame.size());   // header + PacketSize, data or not
    EXPECT_TRUE(std::equal(frame.begin(), frame.begin() + 14, buffer.begin()));
    // The data the transfer never wrote reads as zeros, not as the pool's old contents.
    EXPECT_TRUE(std::all_of(buffer.begin() + 14, buffer.begin() + read.bytes, [](uint8_t b) { return b == 0; }));
}

TEST(ReceiveQueue, PendingTransferQueuesWhenItCompletes)
{
    DriverWithAdapter driver(NdisMedium802_3, kDebuggerLevel4, true);
    sim::Adapter &adapter = driver.adapter();
    adapter.SetScript(sim::NdisOperation::TransferData, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    PendingRead read(driver.handle().get(), 200);
    ASSERT_EQ(read.error(), sim::win32::ERROR_IO_PENDING);

    // The indicated frame is gone when the transfer completes, as a miniport's buffer is.
    const sim::Frame frame = LlcFrame(0x04, 64);
    EXPECT_EQ(adapter.IndicateReceive(sim::Frame(frame)), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(adapter.IndicateReceiveComplete());
    EXPECT_EQ(driver.Queued(), 0);
    EXPECT_FALSE(read.Wait(0));

    ASSERT_TRUE(adapter.ReleasePending(sim::NdisOperation::TransferData));
    EXPECT_EQ(driver.Queued(), 1);
    EXPECT_FALSE(read.Wait(0));   // served by the next receive-complete indication
    EXPECT_TRUE(adapter.IndicateReceiveComplete());
    ASSERT_TRUE(read.Wait());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Data(), frame);
    EXPECT_EQ(driver.machine().ndis().PacketsInUse(driver.Context()->PacketPool), 0u);
}

TEST(ReceiveQueue, PacketsNdisCannotLendAreCopied)
{
    DriverWithAdapter driver;
    sim::Adapter &adapter = driver.adapter();
    struct Row {
        std::vector<size_t> split;
        bool mapped;
    } rows[] = {{{}, true}, {{18, 20}, true}, {{18, 19, 40}, false}};
    std::vector<sim::Frame> frames;
    for (const Row &row : rows) {
        sim::PacketOptions options;
        options.splitAt = row.split;
        options.mapped = row.mapped;
        options.status = NDIS_STATUS_RESOURCES;
        frames.push_back(LlcFrame(static_cast<uint8_t>(0x04 * (frames.size() + 1)), 60 + frames.size()));
        EXPECT_EQ(adapter.IndicatePacket(frames.back(), options), 0);
        EXPECT_EQ(adapter.LentPackets(), 0u);
    }
    EXPECT_EQ(driver.Queued(), 3);
    for (const sim::Frame &frame : frames) {
        std::vector<uint8_t> buffer(100);
        auto read = driver.handle().Read(buffer);
        ASSERT_TRUE(read.ok);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + read.bytes), frame);
    }
    EXPECT_EQ(driver.machine().ndis().PacketsInUse(driver.Context()->PacketPool), 0u);
}

}  // namespace
