// Conservation under load: indicating threads on both receive paths, a reader that reads,
// cancels and reopens meanwhile, and a final unbind. Every frame the driver takes is read
// intact once or dropped by one of its rules, and the drops add up.
#include "tests/support/driver_test_support.h"

#include <atomic>
#include <memory>
#include <random>
#include <set>

using namespace krvdlc::test;

namespace {

constexpr int kRounds = 200;
constexpr int kIndicators = 2;
constexpr uint32_t kSeed = 0x4B524456;

// The frame with sequence number `sequence`: its length and every byte follow from it.
sim::Frame Make(uint32_t sequence)
{
    sim::Frame frame = LlcFrame(0x04, 40 + (sequence * 7) % 200);
    for (int i = 0; i < 4; i++)
        frame[17 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    for (size_t i = 21; i < frame.size(); i++)
        frame[i] = static_cast<uint8_t>(sequence * 13 + i);
    return frame;
}

// What the indicating threads saw the handlers return.
struct Sent {
    std::atomic<uint32_t> next{0};
    std::atomic<uint64_t> lookaheadTaken{0}, lookaheadRefused{0};
    std::atomic<uint64_t> packetKept{0}, packetDropped{0}, resourcesSent{0};
};

// `lookaheadPercent` of the frames go through KrvDlcReceive, the rest as packets.
void Indicate(sim::Adapter &adapter, Sent &sent, std::mt19937 &random, int frames,
              unsigned lookaheadPercent)
{
    for (int i = 0; i < frames; i++) {
        uint32_t sequence = sent.next.fetch_add(1);
        sim::Frame frame = Make(sequence);
        if (random() % 100 < lookaheadPercent) {
            sim::ReceiveOptions options;
            options.lookaheadSize = random() % (frame.size() - 13);
            auto status = adapter.IndicateReceive(frame, options);
            (status == NDIS_STATUS_SUCCESS ? sent.lookaheadTaken : sent.lookaheadRefused)++;
        } else {
            sim::PacketOptions options;
            // The first buffer always holds the LLC header, so the filter takes every frame.
            for (size_t at = 18 + random() % 30; at < frame.size() && options.splitAt.size() < 3;
                 at += 1 + random() % 40)
                options.splitAt.push_back(at);
            options.mapped = random() % 3 != 0;
            bool resources = random() % 5 == 0;
            if (resources)
                options.status = NDIS_STATUS_RESOURCES;
            auto kept = adapter.IndicatePacket(frame, options);
            if (resources)
                sent.resourcesSent++;
            else
                (kept == 1 ? sent.packetKept : sent.packetDropped)++;
        }
        if (random() % 2 == 0)
            adapter.IndicateReceiveComplete();
    }
}

// The reader's side: what it read and how its reads ended.
class Reader {
public:
    explicit Reader(DriverWithAdapter &driver) : driver_(driver) {}

    void Issue(std::mt19937 &random)
    {
        size_t length = random() % 4 == 0 ? 14 + random() % 60 : 1514;
        read_ = std::make_unique<PendingRead>(driver_.handle().get(), length);
        if (!read_->ok() && read_->error() != sim::win32::ERROR_IO_PENDING)
            Finish();   // refused at once
    }
    bool Outstanding() const { return read_ != nullptr; }
    // Takes the result of the outstanding read when it has ended within `ms`.
    bool Poll(uint32_t ms)
    {
        if (!read_ || !read_->Wait(ms))
            return false;
        Finish();
        return true;
    }

    std::set<uint32_t> read;
    uint64_t insufficient = 0, cancelled = 0, failures = 0;

private:
    void Finish()
    {
        NTSTATUS status = read_->Status();
        if (status == STATUS_SUCCESS) {
            std::vector<uint8_t> data = read_->Data();
            EXPECT_GE(data.size(), 14u);
            if (data.size() >= 21) {
                uint32_t sequence = data[17] | data[18] << 8 | data[19] << 16 | static_cast<uint32_t>(data[20]) << 24;
                sim::Frame expected = Make(sequence);
                expected.resize(std::min(expected.size(), data.size()));
                EXPECT_EQ(data, expected) << "frame " << sequence << " not read intact";
                EXPECT_TRUE(read.insert(sequence).second) << "frame " << sequence << " read twice";
            } else {
                shortReads++;
            }
        } else if (status == STATUS_CANCELLED) {
            EXPECT_EQ(read_->Bytes(), 0u);
            cancelled++;
        } else if (status == STATUS_INSUFFICIENT_RESOURCES) {
            EXPECT_EQ(read_->Bytes(), 0u);
            insufficient++;
        } else {
            ADD_FAILURE() << "read ended with " << std::hex << status;
            failures++;
        }
        read_.reset();
    }

public:
    uint64_t shortReads = 0;   // too short to carry the sequence number

private:
    DriverWithAdapter &driver_;
    std::unique_ptr<PendingRead> read_;
};

TEST(ReceiveStress, EveryTakenFrameIsReadOnceOrDroppedByARule)
{
    DriverWithAdapter driver(NdisMedium802_3, TRACE_TO_DEBUGGER | 1, true);
    sim::Adapter &adapter = driver.adapter();
    Sent sent;
    Reader reader(driver);
    std::mt19937 random(kSeed);
    uint64_t emptiedExact = 0;       // frames queued at a cleanup while nothing else ran
    uint64_t busyCleanups = 0;       // cleanups while frames kept arriving

    auto reopen = [&](bool quiet) {
        if (quiet)
            emptiedExact += static_cast<uint64_t>(driver.Queued());
        else
            busyCleanups++;
        driver.handle().Close();
        while (reader.Outstanding())
            EXPECT_TRUE(reader.Poll(5000)) << "read not ended by the cleanup";
        driver.Reopen(true);
    };

    for (int round = 0; round < kRounds; round++) {
        std::atomic<int> running{kIndicators};
        // Some rounds bring driver-owned frames only, which hold descriptors of the pool.
        unsigned lookaheadPercent = random() % 4 == 0 ? 100 : 50;
        std::vector<std::thread> threads;
        for (int t = 0; t < kIndicators; t++) {
            threads.emplace_back([&, t] {
                std::mt19937 own(kSeed + round * 31 + t);
                Indicate(adapter, sent, own, 1 + own() % 12, lookaheadPercent);
                running--;
            });
        }
        // The reader meanwhile: reads, cancels, and now and then closes and reopens; in
        // some rounds it stays away, so that the queue and the pool fill up.
        if (random() % 3 == 0) {
            while (running > 0)
                std::this_thread::yield();
        }
        for (int step = 0; step < 8 || running > 0; step++) {
            if (!reader.Outstanding())
                reader.Issue(random);
            if (reader.Poll(1))
                continue;
            unsigned action = random() % 20;
            if (action == 0) {
                EXPECT_TRUE(sim::win32::CancelIo(driver.handle().get()));
                EXPECT_TRUE(reader.Poll(5000));
            } else if (action == 1) {
                reopen(false);
            }
            if (step > 1000)
                break;
        }
        for (auto &thread : threads)
            thread.join();

        // Quiet: serve the waiting read, drain what is queued, sometimes reopen.
        if (reader.Outstanding()) {
            adapter.IndicateReceiveComplete();
            if (!reader.Poll(0)) {
                EXPECT_TRUE(sim::win32::CancelIo(driver.handle().get()));
                EXPECT_TRUE(reader.Poll(5000));
            }
        }
        while (driver.Queued() > 0) {
            uint64_t before = reader.insufficient;
            reader.Issue(random);
            EXPECT_TRUE(reader.Poll(0)) << "a read with frames queued must be served at once";
            if (reader.insufficient != before)
                break;   // every descriptor holds a frame: only an open frees them
        }
        if (driver.Queued() > 0 || random() % 10 == 0)
            reopen(true);
    }

    // A read waits and frames are queued behind it when the adapter goes away.
    reader.Issue(random);
    ASSERT_TRUE(reader.Outstanding());
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(adapter.IndicatePacket(Make(sent.next++)), 1);
    sent.packetKept += 3;
    emptiedExact += static_cast<uint64_t>(driver.Queued());
    uint64_t cancelledBefore = reader.cancelled;
    EXPECT_EQ(adapter.Unbind(), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(reader.Poll(5000));
    EXPECT_EQ(reader.cancelled, cancelledBefore + 1);
    EXPECT_EQ(adapter.LentPackets(), 0u);
    EXPECT_EQ(driver.machine().ndis().PacketsInUse(), 0u);
    EXPECT_EQ(driver.machine().io().DriverMdlsOutstanding(), 0u);

    // The drops, from the events each rule writes once per frame.
    auto count = [&](const char *text) { return static_cast<uint64_t>(driver.EntriesWith(EVENT_DRIVER_ERROR, text).size()); };
    uint64_t tooMany = count("** Too many received packets have been queued...  Discarding packet.\n");
    uint64_t transferDrops = count("** Returning resources and discarding packet data.\n");
    uint64_t noPacket = count("** No free packets in pool\n");
    EXPECT_EQ(count("** system memory resources low\n"), 0u);
    EXPECT_EQ(count("** Receive queue is either empty or corrupt.\n"), 0u);
    EXPECT_EQ(reader.failures, 0u);

    // Frames NDIS could not lend were queued as copies unless the queue was full or the
    // pool empty; those two drops are what the events leave over for them.
    ASSERT_GE(tooMany, sent.packetDropped + transferDrops);
    uint64_t resourcesTooMany = tooMany - sent.packetDropped - transferDrops;
    ASSERT_GE(noPacket, sent.lookaheadRefused + reader.insufficient);
    uint64_t resourcesNoPacket = noPacket - sent.lookaheadRefused - reader.insufficient;
    ASSERT_GE(sent.resourcesSent, resourcesTooMany + resourcesNoPacket);
    uint64_t queued = sent.lookaheadTaken - transferDrops + sent.packetKept +
                      (sent.resourcesSent - resourcesTooMany - resourcesNoPacket);

    uint64_t readCount = reader.read.size() + reader.shortReads;
    for (uint32_t sequence : reader.read)
        EXPECT_LT(sequence, sent.next.load()) << "read a frame that was never sent";
    ASSERT_GE(queued, readCount + emptiedExact);
    uint64_t emptiedBusy = queued - readCount - emptiedExact;
    // A cleanup while frames keep arriving discards at most a full queue plus one frame
    // per indicating thread; with none, the books balance exactly.
    EXPECT_LE(emptiedBusy, busyCleanups * (RX_QUEUE_LIMIT + kIndicators));
    if (busyCleanups == 0) {
        EXPECT_EQ(emptiedBusy, 0u);
    }
    RecordProperty("sent", static_cast<int>(sent.next.load()));
    RecordProperty("read", static_cast<int>(readCount));
    std::printf("sent %u, read %llu, queue-full drops %llu, pool drops %llu, emptied %llu+%llu, "
                "busy cleanups %llu, cancelled %llu\n",
                sent.next.load(), static_cast<unsigned long long>(readCount),
                static_cast<unsigned long long>(tooMany),
                static_cast<unsigned long long>(noPacket - reader.insufficient),
                static_cast<unsigned long long>(emptiedExact), static_cast<unsigned long long>(emptiedBusy),
                static_cast<unsigned long long>(busyCleanups),
                static_cast<unsigned long long>(reader.cancelled));
}

}  // namespace
