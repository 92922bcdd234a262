// write_test.cpp - writes: what reaches the wire, refusals, send completion and the
// packet-descriptor limit.
#include "tests/support/driver_test_support.h"

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

namespace krvdlc::test {
namespace {

using WriteTest = OpenAdapterTest;

struct LengthCase {
    size_t length;
    NTSTATUS status;
    const char *refusal;   // nullptr: sent
};

// The minimum frame is 14 bytes, the smallest MAC header; an empty write has no MDL.
TEST_F(WriteTest, FrameLengthDecidesBetweenSendAndRefusal)
{
    const LengthCase cases[] = {
        {0, STATUS_INVALID_PARAMETER, "** Write request received with NULL MDL.\n"},
        {1, STATUS_UNSUCCESSFUL, "** Unable to retrieve valid data from MDL\n"},
        {13, STATUS_UNSUCCESSFUL, "** Unable to retrieve valid data from MDL\n"},
        {14, STATUS_SUCCESS, nullptr},
        {1514, STATUS_SUCCESS, nullptr},
        {9000, STATUS_SUCCESS, nullptr},
    };
    ReopenBlocking();

    for (const LengthCase &c : cases) {
        SCOPED_TRACE(c.length);
        driver_.ClearLog();
        size_t sentBefore = adapter_->SentFrames().size();
        std::vector<uint8_t> frame = PatternFrame(c.length, static_cast<uint8_t>(c.length));
        IoOutcome outcome = handle_.Write(frame);

        EXPECT_EQ(outcome.status, c.status);
        auto sent = adapter_->SentFrames();
        if (c.refusal == nullptr) {
            EXPECT_TRUE(outcome.ok);
            EXPECT_EQ(outcome.bytes, c.length);
            ASSERT_EQ(sent.size(), sentBefore + 1);
            EXPECT_EQ(sent.back(), frame);
            EXPECT_TRUE(driver_.Entries().empty());
        } else {
            EXPECT_FALSE(outcome.ok);
            EXPECT_EQ(outcome.bytes, 0u);
            EXPECT_EQ(sent.size(), sentBefore);
            std::string line(c.refusal, std::strlen(c.refusal) - 1);
            EXPECT_EQ(driver_.CountLines(line), 1u);
            auto entries = driver_.EntriesWith(EVENT_DRIVER_ERROR, c.refusal);
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_TRUE(entries[0].dump.empty());
        }
    }
}

TEST_F(WriteTest, ControlDeviceRefusesWritesWithoutCountingThem)
{
    DeviceHandle control = driver_.OpenControl(false);

    IoOutcome outcome = control.Write(PatternFrame(60));
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(adapter_->SentFrames().empty());
    driver_.ExpectReported(EVENT_DRIVER_ERROR, "** Write requests must be made of adapter devices.");
    EXPECT_EQ(driver_.CountLinesStartingWith("IoIncrement:"), 0u);
    EXPECT_EQ(driver_.IrpCount(*adapter_), 0);
    control.Close();
}

struct CompletionCase {
    const char *name;
    sim::CompletionMode mode;
    NDIS_STATUS ndisStatus;
    bool release;           // held: released by the test
    NTSTATUS status;
    bool sendsBytes;
};

// Whenever and however NDIS ends the send, the dispatch routine pended the write.
TEST_F(WriteTest, SendCompletionGivesLengthOrFailureAndTheWriteAlwaysPends)
{
    const CompletionCase cases[] = {
        {"immediate success", sim::CompletionMode::Immediate, NDIS_STATUS_SUCCESS, false,
         STATUS_SUCCESS, true},
        {"immediate failure", sim::CompletionMode::Immediate, NDIS_STATUS_FAILURE, false,
         STATUS_UNSUCCESSFUL, false},
        {"immediate resources", sim::CompletionMode::Immediate, NDIS_STATUS_RESOURCES, false,
         STATUS_UNSUCCESSFUL, false},
        {"dpc success", sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS, false, STATUS_SUCCESS, true},
        {"dpc failure", sim::CompletionMode::Dpc, NDIS_STATUS_FAILURE, false, STATUS_UNSUCCESSFUL,
         false},
        {"held success", sim::CompletionMode::Held, NDIS_STATUS_SUCCESS, true, STATUS_SUCCESS, true},
        {"held failure", sim::CompletionMode::Held, NDIS_STATUS_ADAPTER_NOT_FOUND, true,
         STATUS_UNSUCCESSFUL, false},
    };

    for (const CompletionCase &c : cases) {
        SCOPED_TRACE(c.name);
        driver_.ClearLog();
        adapter_->ScriptNext(sim::NdisOperation::Send, {c.mode, c.ndisStatus});
        OverlappedCall write(handle_.get());
        write.Write(PatternFrame(77));
        EXPECT_TRUE(write.Pended());
        if (c.release) {
            EXPECT_FALSE(write.Wait(20));
            ASSERT_TRUE(adapter_->ReleasePending(sim::NdisOperation::Send));
        }
        ASSERT_TRUE(write.Wait());
        IoOutcome outcome = write.Result();
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.ok, c.sendsBytes);
        EXPECT_EQ(write.Bytes(), c.sendsBytes ? 77u : 0u);
        // A failed send is no driver error: nothing goes to the event log.
        EXPECT_TRUE(driver_.Entries().empty());
        EXPECT_EQ(driver_.CountLines("SendComplete.  NDIS Status = " + Hex8(c.ndisStatus)), 1u);

        auto completions = driver_.machine().io().Completions();
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0].majorFunction, IRP_MJ_WRITE);
        EXPECT_TRUE(completions[0].markedPending);
        EXPECT_EQ(completions[0].priorityBoost, 0);
    }
    EXPECT_EQ(driver_.machine().ndis().PacketsInUse(driver_.Context(*adapter_)->PacketPool), 0u);
}

TEST_F(WriteTest, SixteenSendsInFlightExhaustThePool)
{
    adapter_->SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});

    std::vector<std::unique_ptr<OverlappedCall>> writes;
    for (int i = 0; i < 16; i++) {
        writes.push_back(std::make_unique<OverlappedCall>(handle_.get()));
        writes.back()->Write(PatternFrame(20 + i));
        EXPECT_TRUE(writes.back()->Pended());
    }
    ASSERT_EQ(adapter_->HeldCount(sim::NdisOperation::Send), 16u);
    driver_.ClearLog();

    OverlappedCall refused(handle_.get());
    refused.Write(PatternFrame(40));
    ASSERT_TRUE(refused.Wait());
    EXPECT_EQ(refused.Status(), STATUS_INSUFFICIENT_RESOURCES);
    driver_.ExpectReported(EVENT_DRIVER_ERROR, "** No free packets available");
    EXPECT_EQ(adapter_->HeldCount(sim::NdisOperation::Send), 16u);

    // Released out of order: each write still gets its own length back.
    for (size_t i = 16; i > 0; i--)
        ASSERT_TRUE(adapter_->ReleasePending(sim::NdisOperation::Send, i - 1));
    for (int i = 0; i < 16; i++) {
        ASSERT_TRUE(writes[i]->Wait());
        EXPECT_EQ(writes[i]->Status(), STATUS_SUCCESS);
        EXPECT_EQ(writes[i]->Bytes(), 20u + i);
    }
    adapter_->SetScript(sim::NdisOperation::Send, {});
    // The descriptors came back: a write goes through again.
    OverlappedCall again(handle_.get());
    again.Write(PatternFrame(40));
    ASSERT_TRUE(again.Wait());
    EXPECT_EQ(again.Status(), STATUS_SUCCESS);
}

TEST_F(WriteTest, WriteAfterUnbindBeganIsRefused)
{
    UnbindInProgress unbind(driver_, *adapter_, handle_.get());
    driver_.ClearLog();

    OverlappedCall late(handle_.get());
    late.Write(PatternFrame(30));
    ASSERT_TRUE(late.Wait());
    EXPECT_EQ(late.Status(), STATUS_UNSUCCESSFUL);
    driver_.ExpectReported(EVENT_DRIVER_ERROR, "** We are no longer bound to the adapter - write aborted");
    EXPECT_EQ(adapter_->SentFrames().size(), 1u);   // the held one only
    EXPECT_EQ(unbind.Finish(), NDIS_STATUS_SUCCESS);
}

// A writer that passed the Bound test and is descheduled before it takes its packet
// holds the unbind in its wait: the unbind must not free the pool under it. The writer
// is stopped inside NdisAllocatePacket, where the fault injector asks about the call.
TEST_F(WriteTest, UnbindWaitsForAWriterStillInItsDispatchRoutine)
{
    ReopenBlocking();
    std::promise<void> paused, resume;
    std::shared_future<void> resumed = resume.get_future().share();
    std::thread::id writerId;
    std::mutex idLock;
    driver_.machine().faults().FailWhen([&](const sim::FaultPoint &point) {
        std::lock_guard lock(idLock);
        if (point.routine == "NdisAllocatePacket" && std::this_thread::get_id() == writerId) {
            writerId = {};
            paused.set_value();
            resumed.wait();
        }
        return false;
    });
    IoOutcome written;
    std::thread writer([&] {
        {
            std::lock_guard lock(idLock);
            writerId = std::this_thread::get_id();
        }
        written = handle_.Write(PatternFrame(30));
    });
    paused.get_future().wait();

    const int64_t start = driver_.machine().clock().Now();
    std::atomic<bool> unbound{false};
    std::thread unbind([&] {
        EXPECT_EQ(adapter_->Unbind(), NDIS_STATUS_SUCCESS);
        unbound = true;
    });
    ASSERT_TRUE(driver_.machine().clock().WaitForTimedWaiters(1));
    // Many times the clock's grace for a waiter: long enough for a wrongly jumping clock
    // to end the unbind's wait and free the pool.
    std::this_thread::sleep_for(sim::VirtualClock::kAutoAdvanceGrace * 20);
    EXPECT_FALSE(unbound.load());
    resume.set_value();
    writer.join();
    unbind.join();
    driver_.machine().faults().Clear();

    EXPECT_TRUE(written.ok);
    EXPECT_EQ(adapter_->SentFrames().size(), 1u);
    EXPECT_LT(driver_.machine().clock().Now() - start, 20'000'0000LL);   // ended by the write, not the time-out
}

TEST_F(WriteTest, LevelThreeDumpShowsAtMostThirtyTwoBytes)
{
    struct DumpCase {
        size_t length;
        size_t shown;
    } const cases[] = {{14, 14}, {20, 20}, {31, 31}, {32, 32}, {33, 32}, {100, 32}};
    WriteNoFence(&DRIVER_SYMBOL(TraceLevel), 0x83u);
    ReopenBlocking();

    for (const DumpCase &c : cases) {
        SCOPED_TRACE(c.length);
        driver_.ClearLog();
        std::vector<uint8_t> frame = PatternFrame(c.length, 0xA0);
        ASSERT_TRUE(handle_.Write(frame).ok);
        EXPECT_EQ(driver_.CountLines("Write byte count = " + std::to_string(c.length)), 1u);
        EXPECT_EQ(driver_.CountLines("Sending: " + HexDump(frame.data(), c.shown)), 1u);
        // Level 4 lines stay out at level 3.
        EXPECT_EQ(driver_.CountLinesStartingWith("Total Length = "), 0u);
    }
}

}  // namespace
}  // namespace krvdlc::test
