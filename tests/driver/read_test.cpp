// Reads: the buffer length, frames cut to the buffer, the order of queued frames, reads
// that wait for a frame, the one-read-at-a-time rule, and the ways a waiting read ends.
#include "tests/support/driver_test_support.h"

using namespace krvdlc::test;

namespace {

using sim::win32::ERROR_IO_PENDING;

std::vector<uint8_t> Take(const std::vector<uint8_t> &buffer, size_t bytes)
{
    return {buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(bytes)};
}

TEST(Read, BufferMustHoldTheMacHeader)
{
    DriverWithAdapter driver;
    sim::Frame frame = Numbered(1);
    ASSERT_EQ(driver.adapter().IndicatePacket(frame), 1);
    const std::string tooSmall = "** Read buffer is too small.";
    struct Row {
        size_t length;
        NTSTATUS status;
        std::string line;   // the refusal ("" none)
        bool counted;       // refused after IoIncrement, with the second line
    } rows[] = {{13, STATUS_BUFFER_TOO_SMALL, tooSmall, true},
                // A read of nothing comes without an MDL.
                {0, STATUS_INVALID_PARAMETER, "** Read request received with NULL MDL.", false},
                {14, STATUS_SUCCESS, "", false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.length);
        driver.ClearLog();
        std::vector<uint8_t> buffer(row.length);
        auto read = driver.handle().Read(buffer);
        EXPECT_EQ(read.status, row.status);
        bool refused = row.status != STATUS_SUCCESS;
        EXPECT_EQ(read.bytes, refused ? 0u : 14u);
        EXPECT_EQ(driver.Queued(), refused ? 1 : 0);
        if (refused) {
            EXPECT_TRUE(driver.Traced(row.line));
            EXPECT_EQ(driver.EntriesWith(EVENT_DRIVER_ERROR, row.line + "\n").size(), 1u);
        }
        EXPECT_EQ(driver.Traced("** Error detected in KrvDlcRead()..."), row.counted);
        if (!refused) {
            EXPECT_EQ(buffer, Take(frame, 14));
        }
    }
    EXPECT_EQ(driver.adapter().LentPackets(), 0u);
}

TEST(Read, LongFrameIsCutAndTheNextReadGetsTheNextFrame)
{
    DriverWithAdapter driver;
    sim::Frame first = Numbered(1, 60), second = Numbered(2, 60);
    ASSERT_EQ(driver.adapter().IndicateReceive(first), NDIS_STATUS_SUCCESS);
    sim::PacketOptions split;
    split.splitAt = {20, 39, 41};
    ASSERT_EQ(driver.adapter().IndicatePacket(second, split), 1);

    std::vector<uint8_t> small(40), large(100);
    auto read = driver.handle().Read(small);
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.bytes, 40u);
    EXPECT_EQ(small, Take(first, 40));
    read = driver.handle().Read(large);
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(Take(large, read.bytes), second);
    EXPECT_EQ(driver.Queued(), 0);
    EXPECT_EQ(driver.adapter().LentPackets(), 0u);
}

TEST(Read, QueuedFramesAreServedAtOnceInArrivalOrder)
{
    DriverWithAdapter driver(NdisMedium802_3, kDebuggerLevel4, true);
    sim::Adapter &adapter = driver.adapter();
    std::vector<sim::Frame> frames = {Numbered(1, 61), Numbered(2, 75), Numbered(3, 62)};
    ASSERT_EQ(adapter.IndicatePacket(frames[0]), 1);
    ASSERT_EQ(adapter.IndicateReceive(frames[1]), NDIS_STATUS_SUCCESS);
    sim::PacketOptions unmapped;
    unmapped.splitAt = {18};
    unmapped.mapped = false;
    ASSERT_EQ(adapter.IndicatePacket(frames[2], unmapped), 1);
    EXPECT_TRUE(adapter.IndicateReceiveComplete());   // no read: nothing happens
    EXPECT_EQ(driver.Queued(), 3);

    for (const sim::Frame &frame : frames) {
        PendingRead read(driver.handle().get(), 1514);
        EXPECT_TRUE(read.ok());   // completed before KrvDlcRead returned
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        EXPECT_EQ(read.Data(), frame);
    }
    EXPECT_EQ(adapter.LentPackets(), 0u);
}

TEST(Read, WaitingReadIsAloneAndServedByTheNextReceiveComplete)
{
    for (bool packetPath : {false, true}) {
        SCOPED_TRACE(packetPath ? "packet" : "lookahead");
        DriverWithAdapter driver(NdisMedium802_3, kDebuggerLevel4, true);
        sim::Adapter &adapter = driver.adapter();
        PendingRead read(driver.handle().get(), 200);
        EXPECT_FALSE(read.ok());
        EXPECT_EQ(read.error(), ERROR_IO_PENDING);
        EXPECT_TRUE(driver.Traced("No receive data available.  Pending this request..."));
        {
            // One read waits at a time: a second one is refused as busy.
            PendingRead second(driver.handle().get(), 200);
            EXPECT_FALSE(second.ok());
            EXPECT_EQ(second.Status(), STATUS_DEVICE_BUSY);
            EXPECT_TRUE(driver.Traced("** A read is already pending."));
            EXPECT_TRUE(driver.Traced("** Error detected in KrvDlcRead()..."));
        }

        // A refused frame and a receive complete leave the read waiting.
        EXPECT_EQ(adapter.IndicateReceive(LlcFrame(0xF0)), NDIS_STATUS_NOT_ACCEPTED);
        EXPECT_TRUE(adapter.IndicateReceiveComplete());
        EXPECT_FALSE(read.Wait(0));

        sim::Frame frame = Numbered(7, 80);
        if (packetPath)
            ASSERT_EQ(adapter.IndicatePacket(frame), 1);
        else
            ASSERT_EQ(adapter.IndicateReceive(frame), NDIS_STATUS_SUCCESS);
        EXPECT_FALSE(read.Wait(0));
        EXPECT_TRUE(adapter.IndicateReceiveComplete());
        ASSERT_TRUE(read.Wait());
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        EXPECT_EQ(read.Data(), frame);
        EXPECT_EQ(adapter.LentPackets(), 0u);
    }
}

TEST(Read, WaitingReadEndsOnceAsCancelled)
{
    enum class End { CancelIo, Close, Unbind };
    for (End end : {End::CancelIo, End::Close, End::Unbind}) {
        SCOPED_TRACE(static_cast<int>(end));
        DriverWithAdapter driver(NdisMedium802_3, kDebuggerLevel4, true);
        sim::Adapter &adapter = driver.adapter();
        sim::IoManager &io = driver.machine().io();
        io.ClearCompletions();
        {
            PendingRead read(driver.handle().get(), 200);
            ASSERT_EQ(read.error(), ERROR_IO_PENDING);
            switch (end) {
            case End::CancelIo:
                EXPECT_TRUE(sim::win32::CancelIo(driver.handle().get()));
                break;
            case End::Close:
                driver.handle().Close();
                break;
            case End::Unbind:
                EXPECT_EQ(adapter.Unbind(), NDIS_STATUS_SUCCESS);
                break;
            }
            ASSERT_TRUE(read.Wait());
            EXPECT_EQ(read.Status(), STATUS_CANCELLED);
            EXPECT_EQ(read.Bytes(), 0u);
        }
        size_t reads = 0;
        for (const sim::IoCompletion &completion : io.Completions())
            reads += completion.majorFunction == IRP_MJ_READ ? 1 : 0;
        EXPECT_EQ(reads, 1u);
        EXPECT_TRUE(io.PendingIrps().empty());

        // The device works as before (after an unbind: once bound again).
        if (end == End::Unbind) {
            driver.handle().Close();
            ASSERT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
        }
        if (!driver.handle().valid())
            driver.Reopen(true);
        sim::Frame frame = Numbered(9);
        ASSERT_EQ(adapter.IndicatePacket(frame), 1);
        PendingRead next(driver.handle().get(), 200);
        EXPECT_TRUE(next.ok());
        EXPECT_EQ(next.Data(), frame);
    }
}

// Delivery that cannot map the frame's buffer or the reader's buffer loses the frame with
// one report and fails the read, whether the read was served at once or waited.
TEST(Read, DeliveryThatCannotMapFailsTheReadAndLosesTheFrame)
{
    const std::string low = "** system memory resources low";
    constexpr uint32_t kReadLength = 1000;
    struct Row {
        const char *unmapped;
        uint64_t mappingSize;   // the one mapping that fails, by its length (the frame's
                                // second buffer: the filter mapped the first)
        bool waiting;
    } rows[] = {{"frame's buffer", 42, false}, {"frame's buffer", 42, true},
                {"reader's buffer", kReadLength, false}, {"reader's buffer", kReadLength, true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.unmapped) + (row.waiting ? ", waiting" : ", at once"));
        DriverWithAdapter driver(NdisMedium802_3, kDebuggerLevel4, true);
        sim::Adapter &adapter = driver.adapter();
        sim::PacketOptions unmapped;
        unmapped.splitAt = {18};
        unmapped.mapped = false;
        // Armed once the frame is queued, so that only delivery meets the failure.
        auto arm = [&] {
            driver.ClearLog();
            driver.machine().faults().FailWhen(
                [&row](const sim::FaultPoint &point) {
                    return point.routine == "MmMapLockedPagesSpecifyCache" && point.size == row.mappingSize;
                },
                1);
        };
        if (!row.waiting) {
            ASSERT_EQ(adapter.IndicatePacket(Numbered(1), unmapped), 1);
            arm();
        }
        {
            PendingRead read(driver.handle().get(), kReadLength);
            if (row.waiting) {
                ASSERT_EQ(adapter.IndicatePacket(Numbered(1), unmapped), 1);
                arm();
                EXPECT_TRUE(adapter.IndicateReceiveComplete());
            }
            ASSERT_TRUE(read.Wait());
            EXPECT_EQ(read.Status(), STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(read.Bytes(), 0u);
        }
        EXPECT_EQ(driver.machine().faults().Injected(), 1u);
        driver.ExpectReported(EVENT_DRIVER_ERROR, low);
        EXPECT_EQ(driver.Queued(), 0);
        EXPECT_EQ(adapter.LentPackets(), 0u);
        // The next frame arrives whole.
        sim::Frame next = Numbered(2);
        ASSERT_EQ(adapter.IndicatePacket(next, unmapped), 1);
        PendingRead read(driver.handle().get(), kReadLength);
        EXPECT_EQ(read.Data(), next);
    }
}

TEST(Read, EveryLentPacketGoesBackOnce)
{
    DriverWithAdapter driver;
    sim::Adapter &adapter = driver.adapter();
    for (uint8_t i = 0; i < 6; i++) {
        sim::PacketOptions options;
        options.splitAt = {static_cast<size_t>(18 + i * 5)};
        ASSERT_EQ(adapter.IndicatePacket(Numbered(i), options), 1);
    }
    EXPECT_EQ(adapter.LentPackets(), 6u);
    std::vector<uint8_t> buffer(100);
    for (int i = 0; i < 2; i++)
        ASSERT_TRUE(driver.handle().Read(buffer).ok);
    EXPECT_EQ(adapter.LentPackets(), 4u);
    driver.handle().Close();   // cleanup empties the queue
    EXPECT_EQ(adapter.LentPackets(), 0u);
    EXPECT_EQ(driver.Context()->RxQueueCount, 0);
    driver.Reopen();
    for (uint8_t i = 0; i < 3; i++)
        ASSERT_EQ(adapter.IndicatePacket(Numbered(i)), 1);
    EXPECT_EQ(adapter.Unbind(), NDIS_STATUS_SUCCESS);   // the unbind gives the rest back
    EXPECT_EQ(adapter.LentPackets(), 0u);
}

}  // namespace
