// Opening, cleaning up and closing adapter devices, the count of requests in progress,
// and unbinds that meet requests still in progress or handles still open.
#include "tests/support/driver_test_support.h"

#include <atomic>
#include <future>
#include <thread>

namespace krvdlc::test {
namespace {

class OpenCleanup : public LoadedDriver {
protected:
    void SetUp() override
    {
        LoadedDriver::SetUp();
        adapter_ = &Add(kGuid);
        ASSERT_EQ(adapter_->Bind(), NDIS_STATUS_SUCCESS);
        context_ = Context(kGuid);
    }
    DeviceHandle OpenAdapter() { return host().Open(FileNameOf(kGuid)); }

    static inline const std::u16string kGuid = u"{OPEN}";
    sim::Adapter *adapter_ = nullptr;
    PADAPTER_CONTEXT context_ = nullptr;
};

std::vector<std::string> IrpCountLines(sim::Machine &machine)
{
    std::vector<std::string> lines;
    for (const auto &line : machine.debugger().Lines())
        if (line.find("IrpCount is now") != std::string::npos)
            lines.push_back(line);
    return lines;
}

TEST_F(OpenCleanup, OpenIsExclusiveAndCountsItself)
{
    machine().debugger().Clear();
    DeviceHandle first = OpenAdapter();
    ASSERT_TRUE(first.valid());
    EXPECT_EQ(IrpCountLines(machine()),
              (std::vector<std::string>{"KRVDLC: IoIncrement: IrpCount is now 1",
                                        "KRVDLC: IoDecrement: IrpCount is now 0"}));
    EXPECT_TRUE(Traced("AdapterName: Adapter {OPEN}"));
    EXPECT_TRUE(context_->CheckDSAP);
    ExpectIdle(machine(), context_);

    DeviceHandle second = OpenAdapter();
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(sim::win32::GetLastError(), sim::win32::ERROR_ACCESS_DENIED);

    // Closing the handle releases the device for the next open.
    first.Close();
    ExpectIdle(machine(), context_);
    EXPECT_TRUE(OpenAdapter().valid());
}

// A device-control request that the adapter keeps pending until the test releases it.
struct HeldRequest {
    const char *what;
    sim::NdisOperation operation;
    uint32_t code;
};

const HeldRequest kHeldRequests[] = {
    {"query", sim::NdisOperation::Request, IOCTL_KRVDLC_QUERY_OID},
    {"reset", sim::NdisOperation::Reset, IOCTL_KRVDLC_RESET},
};

std::future<IoOutcome> IssueHeld(DeviceHandle &handle, sim::Adapter &adapter,
                                 const HeldRequest &request)
{
    adapter.ScriptNext(request.operation, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    return std::async(std::launch::async, [&handle, code = request.code] {
        auto buffer = QueryAddressBuffer();
        bool query = code == IOCTL_KRVDLC_QUERY_OID;
        uint32_t length = query ? static_cast<uint32_t>(buffer.size()) : 0;
        return handle.Control(code, query ? buffer.data() : nullptr, length,
                              query ? buffer.data() : nullptr, length);
    });
}

TEST_F(OpenCleanup, CleanupWaitsForRequestsInProgress)
{
    // Idle: the cleanup has nothing to wait for.
    {
        DeviceHandle handle = OpenAdapter();
        ASSERT_TRUE(handle.valid());
        machine().io().ClearCompletions();
        handle.Close();
        EXPECT_TRUE(Completed(machine(), IRP_MJ_CLEANUP));
        ExpectIdle(machine(), context_);
    }
    for (const auto &request : kHeldRequests) {
        SCOPED_TRACE(request.what);
        DeviceHandle handle = OpenAdapter();
        ASSERT_TRUE(handle.valid());
        auto control = IssueHeld(handle, *adapter_, request);
        ASSERT_TRUE(WaitUntil([&] { return adapter_->HeldCount(request.operation) == 1; }));
        EXPECT_EQ(ReadNoFence(&context_->IrpCount), 1);

        machine().io().ClearCompletions();
        auto cleanup = std::async(std::launch::async, [&] { return handle.Close(); });
        ASSERT_TRUE(WaitUntil([&] { return Holds(machine(), IRP_MJ_CLEANUP, true); }));
        // The waiting cleanup has the event follow the count: reset while the request runs
        // (the waiter registers itself first, then resets it).
        ASSERT_TRUE(WaitUntil([&] { return ReadNoFence(&context_->CleanupWaiters) == 1; }));
        ASSERT_TRUE(WaitUntil([&] { return machine().dispatcher().ReadState(&context_->CleanupEvent.Event) == 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(machine().dispatcher().ReadState(&context_->CleanupEvent.Event), 0);
        EXPECT_FALSE(Completed(machine(), IRP_MJ_CLEANUP));
        EXPECT_EQ(cleanup.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

        ASSERT_TRUE(adapter_->ReleasePending(request.operation));
        EXPECT_TRUE(cleanup.get());
        EXPECT_TRUE(control.get().ok);
        auto completions = machine().io().Completions();
        ASSERT_GE(completions.size(), 2u);
        EXPECT_EQ(completions[0].majorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(completions[1].majorFunction, IRP_MJ_CLEANUP);
        ExpectIdle(machine(), context_);
    }
}

TEST_F(OpenCleanup, UnbindGivesUpWaitingAfterTwentySeconds)
{
    for (const auto &request : kHeldRequests) {
        SCOPED_TRACE(request.what);
        if (!adapter_->IsOpen()) {
            ASSERT_EQ(adapter_->Bind(), NDIS_STATUS_SUCCESS);
        }
        DeviceHandle handle = OpenAdapter();
        ASSERT_TRUE(handle.valid());
        auto control = IssueHeld(handle, *adapter_, request);
        ASSERT_TRUE(WaitUntil([&] { return adapter_->HeldCount(request.operation) == 1; }));

        machine().debugger().Clear();
        const int64_t virtualStart = machine().clock().Now();
        const auto realStart = std::chrono::steady_clock::now();
        EXPECT_EQ(adapter_->Unbind(), NDIS_STATUS_SUCCESS);
        const int64_t waited = machine().clock().Now() - virtualStart;
        const auto real = std::chrono::steady_clock::now() - realStart;

        // 20 s of virtual time in 100 ns units, in a small fraction of that in real time.
        EXPECT_GE(waited, 20'000'0000LL);
        EXPECT_LT(waited, 21'000'0000LL);
        EXPECT_LT(real, std::chrono::seconds(5));
        EXPECT_TRUE(Traced("Waiting on CleanupEvent"));
        // The close finished the held request, the device is gone.
        EXPECT_EQ(control.get().status, STATUS_SUCCESS);
        EXPECT_FALSE(adapter_->IsOpen());
        EXPECT_FALSE(machine().io().DeviceExists(DeviceNameOf(kGuid)));
        EXPECT_FALSE(machine().io().SymbolicLinkExists(LinkNameOf(kGuid)));
        EXPECT_EQ(ndis().PacketPoolCount(), 0u);

        // The handle that is left is refused everything but cleanup and close.
        std::vector<uint8_t> frame(64, 0);
        IoOutcome read = handle.Read(frame);
        EXPECT_FALSE(read.ok);
        EXPECT_EQ(read.status, STATUS_DEVICE_NOT_READY);
        IoOutcome write = handle.Write(frame);
        EXPECT_FALSE(write.ok);
        EXPECT_EQ(write.status, STATUS_UNSUCCESSFUL);
        auto buffer = QueryAddressBuffer();
        IoOutcome query = handle.Control(IOCTL_KRVDLC_QUERY_OID, buffer.data(),
                                         static_cast<uint32_t>(buffer.size()), buffer.data(),
                                         static_cast<uint32_t>(buffer.size()));
        EXPECT_FALSE(query.ok);
        EXPECT_EQ(query.status, STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(handle.Close());
    }
    EXPECT_TRUE(host().Unload());
}

TEST_F(OpenCleanup, UnbindCancelsThePendingReadBeforeItCloses)
{
    DeviceHandle handle = OpenAdapter();
    ASSERT_TRUE(handle.valid());
    auto read = std::async(std::launch::async, [&] {
        std::vector<uint8_t> frame(1514);
        return handle.Read(frame);
    });
    ASSERT_TRUE(WaitUntil([&] { return Holds(machine(), IRP_MJ_READ); }));

    adapter_->ScriptNext(sim::NdisOperation::Close, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    const int64_t virtualStart = machine().clock().Now();
    auto unbind = std::async(std::launch::async, [&] { return adapter_->Unbind(); });
    ASSERT_TRUE(WaitUntil([&] { return adapter_->HeldCount(sim::NdisOperation::Close) == 1; }));
    // By the time the adapter is being closed the read has been completed as cancelled
    // (its issuing thread may still be on its way back), and the unbind did not wait for it.
    size_t cancelledReads = 0;
    for (const sim::IoCompletion &completion : machine().io().Completions())
        if (completion.majorFunction == IRP_MJ_READ && completion.status == STATUS_CANCELLED)
            cancelledReads++;
    EXPECT_EQ(cancelledReads, 1u);
    ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    IoOutcome outcome = read.get();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.status, STATUS_CANCELLED);
    EXPECT_LT(machine().clock().Now() - virtualStart, 10'000'000LL);
    ASSERT_TRUE(adapter_->ReleasePending(sim::NdisOperation::Close));
    EXPECT_EQ(unbind.get(), NDIS_STATUS_SUCCESS);
    handle.Close();
    EXPECT_TRUE(host().Unload());
}

// The count of requests in progress taken and given back on several threads while two
// waiters (a cleanup and an unbind wait this way at once) wait for a request that is
// held. Even rounds: neither waiter may return while the request is held, however the
// count moves above it. Odd rounds: the request ends while the waiters are still on their
// way in. In both, every waiter returns once the count is 0.
TEST_F(OpenCleanup, EveryWaiterWakesWhenTheLastRequestEndsAndNotBeforeStress)
{
    auto &increment = DRIVER_SYMBOL(IoIncrement);
    auto &decrement = DRIVER_SYMBOL(IoDecrement);
    auto &waitForRequests = DRIVER_SYMBOL(KrvDlcWaitForRequests);
    WriteNoFence(&DRIVER_SYMBOL(TraceLevel), (ULONG)0);   // the churn would flood the debugger log
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; round++) {
        SCOPED_TRACE(round);
        increment(context_);   // the held request
        std::atomic<bool> churning{true};
        std::vector<std::thread> churners;
        for (int t = 0; t < 2; t++)
            churners.emplace_back([&] {
                while (churning.load()) {
                    increment(context_);
                    decrement(context_);
                }
            });
        std::vector<std::future<BOOLEAN>> waiters;
        for (int t = 0; t < 2; t++)
            waiters.push_back(std::async(std::launch::async, [&] { return waitForRequests(context_, 0); }));
        if (round % 2 == 0) {
            EXPECT_TRUE(WaitUntil([&] { return ReadNoFence(&context_->CleanupWaiters) == 2; }));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            for (auto &waiter : waiters)
                EXPECT_EQ(waiter.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
        }
        churning = false;
        for (auto &churner : churners)
            churner.join();
        decrement(context_);
        for (auto &waiter : waiters) {
            bool woke = waiter.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
            EXPECT_TRUE(woke) << "a waiter missed the count reaching 0";
            if (!woke) {
                increment(context_);   // a second step to 0 lets the test end
                decrement(context_);
            }
            EXPECT_TRUE(waiter.get());
        }
        ExpectIdle(machine(), context_);
    }
}

// The way applications abort a reader: one thread blocked in ReadFile on a synchronous
// handle, another closes the handle. The read holds the file object, so the cleanup
// cancels it, the reader sees the abort, and the close follows its collection. Many
// rounds, so that the close also meets the reader on its way in and out of the wait.
TEST_F(OpenCleanup, CloseFromAnotherThreadAbortsABlockedReadStress)
{
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; round++) {
        SCOPED_TRACE(round);
        w::HANDLE handle = w::CreateFileW(FileNameOf(kGuid).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                          nullptr, w::OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, w::INVALID_HANDLE_VALUE);
        std::promise<std::pair<w::BOOL, w::DWORD>> outcome;
        std::thread reader([&] {
            std::vector<uint8_t> buffer(1514);
            w::DWORD bytes = 0;
            w::BOOL ok = w::ReadFile(handle, buffer.data(), static_cast<w::DWORD>(buffer.size()),
                                     &bytes, nullptr);
            outcome.set_value({ok, ok ? bytes : w::GetLastError()});
        });
        // Half the rounds close the moment the read's dispatch routine has returned (the
        // reader not yet waiting), the others once it has had time to wait.
        if (round % 2 == 0) {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!Holds(machine(), IRP_MJ_READ) && std::chrono::steady_clock::now() < limit) {
            }
        }
        ASSERT_TRUE(WaitUntil([&] { return Holds(machine(), IRP_MJ_READ); }));
        EXPECT_TRUE(w::CloseHandle(handle));
        auto result = outcome.get_future();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        reader.join();
        EXPECT_EQ(result.get(), std::make_pair(w::BOOL{FALSE}, w::ERROR_OPERATION_ABORTED));
        machine().io().WaitForDeferredCloses();
        EXPECT_EQ(machine().io().OpenFileObjectCount(DeviceNameOf(kGuid)), 0u);
        ExpectIdle(machine(), context_);
    }
    EXPECT_TRUE(host().Unload());
}

// A read that took its reference on the file object before another thread closed the
// handle can reach the driver once the cleanup has begun (here waiting for a held query)
// or even finished. It is cancelled at once: waiting, it would hold the cleanup, or the
// file object and with it the exclusive device, until a frame came.
TEST_F(OpenCleanup, ReadArrivingAfterCleanupBeganIsCancelled)
{
    for (bool cleanupWaits : {true, false}) {
        SCOPED_TRACE(cleanupWaits ? "cleanup waiting" : "cleanup done");
        DeviceHandle handle = OpenAdapter();
        ASSERT_TRUE(handle.valid());
        std::future<IoOutcome> control;
        if (cleanupWaits) {
            control = IssueHeld(handle, *adapter_, kHeldRequests[0]);
            ASSERT_TRUE(WaitUntil([&] { return adapter_->HeldCount(sim::NdisOperation::Request) == 1; }));
        }
        machine().io().ClearCompletions();
        std::promise<void> referenced;
        machine().io().SetIssueGate([&](UCHAR major) {
            if (major != IRP_MJ_READ)
                return;
            referenced.set_value();
            WaitUntil([&] {
                return cleanupWaits ? Holds(machine(), IRP_MJ_CLEANUP, true)
                                    : Completed(machine(), IRP_MJ_CLEANUP);
            });
        });
        auto read = std::async(std::launch::async, [raw = handle.get()] {
            std::vector<uint8_t> buffer(1514);
            w::DWORD bytes = 0;
            w::BOOL ok = w::ReadFile(raw, buffer.data(), static_cast<w::DWORD>(buffer.size()),
                                     &bytes, nullptr);
            return std::make_pair(ok, ok ? bytes : w::GetLastError());
        });
        referenced.get_future().wait();
        auto cleanup = std::async(std::launch::async, [&] { return handle.Close(); });

        ASSERT_EQ(read.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(read.get(), std::make_pair(w::BOOL{FALSE}, w::ERROR_OPERATION_ABORTED));
        machine().io().SetIssueGate(nullptr);
        if (cleanupWaits) {
            EXPECT_FALSE(Completed(machine(), IRP_MJ_CLEANUP));
            ASSERT_TRUE(adapter_->ReleasePending(sim::NdisOperation::Request));
            EXPECT_TRUE(control.get().ok);
        }
        EXPECT_TRUE(cleanup.get());
        machine().io().WaitForDeferredCloses();
        ExpectIdle(machine(), context_);
        // The exclusive device is free again.
        EXPECT_TRUE(OpenAdapter().valid());
    }
    EXPECT_TRUE(host().Unload());
}

}  // namespace
}  // namespace krvdlc::test
