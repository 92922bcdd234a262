// Opens, cleanups, closes and counted requests on adapter devices from several threads
// while another thread unbinds one of the adapters, round after round.
#include "tests/support/driver_test_support.h"

#include <atomic>
#include <memory>
#include <random>

namespace krvdlc::test {
namespace {

namespace w = sim::win32;

class AdapterStress : public LoadedDriver {
protected:
    // Tracing off: the run is about interleavings, not about the text.
    AdapterStress() : LoadedDriver(0) {}
};

struct Tally {
    std::atomic<uint64_t> issued{0};
    std::atomic<uint64_t> completed{0};
    std::atomic<uint64_t> refusedAtOnce{0};
    std::atomic<uint64_t> lost{0};
    std::atomic<uint64_t> earlyCleanup{0};
    std::atomic<uint64_t> opens{0};
    std::atomic<uint64_t> refusedOpens{0};
};

// One overlapped query on `handle` with its own event.
struct Query {
    w::OVERLAPPED overlapped{};
    std::vector<uint8_t> buffer = QueryAddressBuffer();
    w::HANDLE event = nullptr;
    bool pending = false;
};

// Opens one of the adapters, issues a few queries that pend and complete on the DPC
// thread, and closes the handle without waiting for them: the cleanup must.
void Worker(SimulatedHost &host, const std::vector<std::u16string> &names, uint32_t seed,
            int iterations, Tally &tally)
{
    std::mt19937 random(seed);
    for (int i = 0; i < iterations; i++) {
        const auto &name = names[random() % names.size()];
        DeviceHandle handle = host.Open(name, true);
        if (!handle.valid()) {
            tally.refusedOpens++;
            continue;
        }
        tally.opens++;
        std::vector<std::unique_ptr<Query>> queries;
        const int count = static_cast<int>(random() % 4);
        for (int q = 0; q < count; q++) {
            auto query = std::make_unique<Query>();
            query->event = w::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            query->overlapped.hEvent = query->event;
            w::DWORD bytes = 0;
            auto length = static_cast<w::DWORD>(query->buffer.size());
            tally.issued++;
            w::BOOL ok = w::DeviceIoControl(handle.get(), IOCTL_KRVDLC_QUERY_OID,
                                            query->buffer.data(), length, query->buffer.data(),
                                            length, &bytes, &query->overlapped);
            query->pending = !ok && w::GetLastError() == w::ERROR_IO_PENDING;
            if (!query->pending) {
                tally.refusedAtOnce++;
                tally.completed++;
            }
            queries.push_back(std::move(query));
        }
        if (random() % 2 == 0)
            std::this_thread::yield();
        handle.Close();
        // The cleanup returned: every counted request of the adapter has completed.
        for (auto &query : queries) {
            if (query->pending) {
                if (w::WaitForSingleObject(query->event, 0) != w::WAIT_OBJECT_0) {
                    tally.earlyCleanup++;
                    if (w::WaitForSingleObject(query->event, 10'000) != w::WAIT_OBJECT_0) {
                        tally.lost++;
                        continue;
                    }
                }
                tally.completed++;
            }
            w::CloseHandle(query->event);
        }
    }
}

TEST_F(AdapterStress, OpenCleanupCloseAndCountWhileUnbinding)
{
    constexpr int kRounds = 40;
    constexpr int kWorkers = 3;
    constexpr int kIterations = 6;
    const std::u16string stableGuid = u"{STABLE}", churnGuid = u"{CHURN}";
    sim::Adapter &stable = Add(stableGuid);
    sim::Adapter &churn = Add(churnGuid);
    for (sim::Adapter *adapter : {&stable, &churn})
        adapter->SetScript(sim::NdisOperation::Request, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
    ASSERT_EQ(stable.Bind(), NDIS_STATUS_SUCCESS);
    PADAPTER_CONTEXT stableContext = Context(stableGuid);
    const uint64_t baseline = KdlcBlocks();
    const std::vector<std::u16string> names = {FileNameOf(stableGuid), FileNameOf(churnGuid)};

    // Virtual time stands still: an unbind's wait for requests in progress can only end
    // because they finished, never by its 20-second time-out while a thread is descheduled.
    machine().clock().SetAutoAdvance(false);
    const int64_t start = machine().clock().Now();

    Tally tally;
    std::mt19937 seeds(20260106);
    for (int round = 0; round < kRounds; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(churn.Bind(), NDIS_STATUS_SUCCESS);
        std::vector<std::thread> threads;
        for (int t = 0; t < kWorkers; t++)
            threads.emplace_back(Worker, std::ref(host()), std::cref(names), seeds(), kIterations,
                                 std::ref(tally));
        const auto delay = std::chrono::microseconds(seeds() % 3000);
        NDIS_STATUS unbound = NDIS_STATUS_PENDING;
        threads.emplace_back([&] {
            std::this_thread::sleep_for(delay);
            unbound = churn.Unbind();
        });
        for (auto &thread : threads)
            thread.join();

        EXPECT_EQ(unbound, NDIS_STATUS_SUCCESS);
        EXPECT_FALSE(machine().io().DeviceExists(DeviceNameOf(churnGuid)));
        ExpectIdle(machine(), stableContext);
        // The packet-filter request of an open is not counted: it may still be on its
        // way through the DPC thread, its record not yet freed.
        EXPECT_TRUE(WaitUntil([&] { return KdlcBlocks() == baseline; }, std::chrono::seconds(5)))
            << KdlcBlocks() << " blocks, " << baseline << " expected";
        EXPECT_EQ(ndis().PacketsInUse(), 0u);
        EXPECT_EQ(ndis().OpenBindings(), 1u);
        ASSERT_EQ(tally.lost.load(), 0u);
        ASSERT_EQ(tally.earlyCleanup.load(), 0u);
    }
    EXPECT_EQ(machine().clock().Now(), start);
    EXPECT_EQ(tally.issued.load(), tally.completed.load());
    EXPECT_GT(tally.opens.load(), 0u);
    EXPECT_GT(tally.issued.load(), tally.refusedAtOnce.load());
    EXPECT_TRUE(host().Unload());
}

}  // namespace
}  // namespace krvdlc::test
