// Everything at once, seeded and bounded: user threads read, write, query, reset,
// enumerate, cancel and reopen on an Ethernet and a Token Ring adapter while indicating
// threads deliver frames on both receive paths and a binder thread unbinds and rebinds
// (sometimes with a send the miniport never completes, so the unbind's 20-second wait
// runs out). Every request issued completes once, and the unload finds nothing left.
// Under ThreadSanitizer it caught a bind that stored the adapter's medium after its open
// completed, while a receive indication could already classify a frame by it.
#include "tests/support/driver_test_support.h"

#include <atomic>
#include <list>
#include <mutex>
#include <random>

namespace krvdlc::test {
namespace {

constexpr int kRounds = 12;
constexpr int kUserThreads = 2;
constexpr int kIndicators = 2;
constexpr int kOpsPerRound = 40;
constexpr uint32_t kSeed = 0x4C4F4144;

// One adapter under load: its current handle, swapped by reopens under `swap`. Requests
// are issued without that lock, so a reopen's close meets requests on their way into the
// driver: a read arriving after its file's cleanup began is cancelled, not left waiting.
struct Target {
    sim::Adapter *adapter = nullptr;
    std::u16string fileName;
    std::mutex swap;
    std::atomic<w::HANDLE> handle{w::INVALID_HANDLE_VALUE};
};

struct Tally {
    std::atomic<uint64_t> issued{0}, completed{0}, cancelled{0}, read{0}, refused{0};
    std::atomic<uint64_t> indicated{0}, unbinds{0}, expiredWaits{0};
};

// The requests one user thread issued; kept until the end so that no completion writes
// into freed memory.
class Calls {
public:
    OverlappedCall &New(w::HANDLE handle) { return calls_.emplace_back(handle); }
    // Requests still waiting after every unbind and close of the run.
    uint64_t Lost() const
    {
        uint64_t lost = 0;
        for (const OverlappedCall &call : calls_)
            lost += call.Pended() && !call.Wait(kWaitLimitMs) ? 1 : 0;
        return lost;
    }

private:
    std::list<OverlappedCall> calls_;
};

class LoadStress : public LoadedDriver {
public:
    LoadStress() : LoadedDriver(0) {}

    void Reopen(Target &target)
    {
        std::lock_guard lock(target.swap);
        w::HANDLE old = target.handle.exchange(w::INVALID_HANDLE_VALUE);
        if (old != w::INVALID_HANDLE_VALUE)
            w::CloseHandle(old);
        w::HANDLE fresh = w::CreateFileW(target.fileName.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, w::OPEN_EXISTING, w::FILE_FLAG_OVERLAPPED, nullptr);
        target.handle = fresh;
    }

    // One user thread: a seeded mix of requests on both adapters and the control device.
    void User(std::mt19937 random, std::vector<Target *> targets, w::HANDLE control, Calls &calls,
              Tally &tally)
    {
        for (int op = 0; op < kOpsPerRound; op++) {
            Target &target = *targets[random() % targets.size()];
            const unsigned kind = random() % 7;
            if (kind == 6) {
                Reopen(target);
                continue;
            }
            w::HANDLE handle = target.handle.load();
            OverlappedCall *call = nullptr;
            switch (kind) {
            case 0:
            case 1:
                call = &calls.New(handle);
                call->Read(random() % 3 == 0 ? 14 + random() % 40 : 1514);
                break;
            case 2:
                call = &calls.New(handle);
                call->Write(PatternFrame(14 + random() % 100));
                break;
            case 3: {
                call = &calls.New(handle);
                auto buffer = QueryAddressBuffer();
                call->ControlInPlace(IOCTL_KRVDLC_QUERY_OID, buffer, static_cast<uint32_t>(buffer.size()),
                                     static_cast<uint32_t>(buffer.size()));
                break;
            }
            case 4:
                call = &calls.New(random() % 2 ? handle : control);
                call->Control(random() % 2 ? IOCTL_KRVDLC_RESET : IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 256);
                break;
            case 5:
                call = &calls.New(handle);
                call->Control(IOCTL_KRVDLC_GET_MAC_ADDRESS, {}, 6);
                break;
            }
            tally.issued++;
            if (!call->Pended()) {
                tally.refused += call->ok() ? 0 : 1;
                tally.completed++;
                continue;
            }
            // A read may wait for a frame that does not come: cancel it from this thread.
            if (!call->Wait(2)) {
                w::CancelIo(handle);
                if (!call->Wait(50))
                    continue;   // the next unbind or cleanup ends it; counted at the end
            }
            tally.completed++;
            tally.cancelled += call->Status() == STATUS_CANCELLED ? 1 : 0;
        }
    }

    // One indicating thread: frames for both adapters on both receive paths.
    static void Indicate(std::mt19937 random, std::vector<Target *> targets, Tally &tally)
    {
        for (int i = 0; i < kOpsPerRound; i++) {
            sim::Adapter &adapter = *targets[random() % targets.size()]->adapter;
            sim::Frame frame = adapter.Medium() == NdisMedium802_5
                                   ? TokenRingFrame(0x40, {}, {0x04, 0x04, 0x03, static_cast<uint8_t>(i)})
                                   : Numbered(static_cast<uint8_t>(i), 20 + random() % 100);
            if (random() % 2) {
                sim::ReceiveOptions options;
                options.lookaheadSize = random() % (frame.size() - 13);
                if (adapter.IndicateReceive(frame, options))
                    tally.indicated++;
            } else {
                sim::PacketOptions options;
                options.mapped = random() % 2 == 0;
                if (frame.size() > 20 && random() % 2)
                    options.splitAt = {18 + random() % (frame.size() - 19)};
                if (adapter.IndicatePacket(frame, options))
                    tally.indicated++;
            }
            if (random() % 3 == 0)
                adapter.IndicateReceiveComplete();
        }
    }
};

TEST_F(LoadStress, EverythingAtOnceCompletesEveryRequestOnce)
{
    Target ethernet, tokenRing;
    ethernet.adapter = &Add(u"{LOAD-ETH}");
    tokenRing.adapter = &Add(u"{LOAD-TR}", NdisMedium802_5);
    tokenRing.adapter->SetReceivePath(sim::ReceivePath::Packet);
    std::vector<Target *> targets{&ethernet, &tokenRing};
    for (Target *target : targets) {
        target->fileName = SimulatedHost::AdapterFileName(*target->adapter);
        for (auto operation : {sim::NdisOperation::Request, sim::NdisOperation::Reset,
                               sim::NdisOperation::Send, sim::NdisOperation::TransferData})
            target->adapter->SetScript(operation, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
        ASSERT_EQ(target->adapter->Bind(), NDIS_STATUS_SUCCESS);
    }
    BindsComplete();
    const uint64_t baseline = KdlcBlocks();   // what the bound adapters hold, no handle open
    for (Target *target : targets)
        Reopen(*target);
    DeviceHandle control = OpenControl();

    Tally tally;
    std::vector<Calls> calls(kUserThreads + 1);
    std::mt19937 seeds(kSeed);
    for (int round = 0; round < kRounds; round++) {
        SCOPED_TRACE(round);
        std::vector<std::thread> threads;
        for (int t = 0; t < kUserThreads; t++)
            threads.emplace_back(&LoadStress::User, this, std::mt19937(seeds()), targets, control.get(),
                                 std::ref(calls[t]), std::ref(tally));
        for (int t = 0; t < kIndicators; t++)
            threads.emplace_back(&LoadStress::Indicate, std::mt19937(seeds()), targets, std::ref(tally));
        // The binder: unbinds one adapter while all that runs, sometimes with a send the
        // miniport holds until the unbind has waited its 20 seconds, and binds it again.
        Target &churn = *targets[seeds() % targets.size()];
        const bool holdSend = seeds() % 3 == 0;
        const auto delay = std::chrono::microseconds(seeds() % 4000);
        threads.emplace_back([&, delay, holdSend] {
            std::this_thread::sleep_for(delay);
            if (holdSend) {
                // Every send held now is the churned binding's and comes before the
                // unbind, whose close completes it.
                churn.adapter->SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
                calls[kUserThreads].New(churn.handle.load()).Write(PatternFrame(60));
                churn.adapter->SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
            }
            const int64_t before = machine().clock().Now();
            EXPECT_EQ(churn.adapter->Unbind(), NDIS_STATUS_SUCCESS);
            tally.unbinds++;
            if (machine().clock().Now() - before >= 20'000'0000LL)
                tally.expiredWaits++;
            EXPECT_EQ(churn.adapter->Bind(), NDIS_STATUS_SUCCESS);
            calls[kUserThreads].New(control.get()).Control(IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 256);
        });
        for (auto &thread : threads)
            thread.join();
        Reopen(churn);   // the handle that outlived the unbind goes; cleanup empties the queue
    }

    // Once more on its own: a send the miniport never completes, and the unbind's wait
    // for it runs out after 20 seconds (the round above may or may not have met one).
    {
        sim::Adapter &adapter = *ethernet.adapter;
        adapter.SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
        OverlappedCall &held = calls[kUserThreads].New(ethernet.handle.load());
        held.Write(PatternFrame(60));
        adapter.SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
        ASSERT_TRUE(held.Pended());
        const int64_t before = machine().clock().Now();
        EXPECT_EQ(adapter.Unbind(), NDIS_STATUS_SUCCESS);
        if (machine().clock().Now() - before >= 20'000'0000LL)
            tally.expiredWaits++;
        EXPECT_TRUE(held.Wait());   // the close finished it
        EXPECT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
    }

    for (Target *target : targets) {
        std::lock_guard lock(target->swap);
        w::CloseHandle(target->handle.exchange(w::INVALID_HANDLE_VALUE));
    }
    control.Close();
    machine().io().WaitForDeferredCloses();
    uint64_t lost = 0;
    for (const Calls &list : calls)
        lost += list.Lost();
    EXPECT_EQ(lost, 0u);
    EXPECT_TRUE(machine().io().PendingIrps().empty());
    EXPECT_TRUE(WaitUntil([&] { return KdlcBlocks() == baseline; }, std::chrono::seconds(5)))
        << KdlcBlocks() << " blocks, " << baseline << " expected";
    const uint64_t leaked = KdlcBlocks() > baseline ? KdlcBlocks() - baseline : 0;
    EXPECT_EQ(ndis().PacketsInUse(), 0u);
    EXPECT_EQ(ndis().LentPackets(), 0u);
    EXPECT_EQ(tally.unbinds.load(), static_cast<uint64_t>(kRounds));
    EXPECT_GT(tally.expiredWaits.load(), 0u);
    EXPECT_GT(tally.indicated.load(), 0u);
    EXPECT_GT(tally.cancelled.load(), 0u);
    std::printf("load: %d rounds, %llu requests (%llu refused at once, %llu cancelled), %llu frames "
                "indicated, %llu unbinds (%llu waited out), %llu lost, %llu blocks leaked\n",
                kRounds, static_cast<unsigned long long>(tally.issued.load()),
                static_cast<unsigned long long>(tally.refused.load()),
                static_cast<unsigned long long>(tally.cancelled.load()),
                static_cast<unsigned long long>(tally.indicated.load()),
                static_cast<unsigned long long>(tally.unbinds.load()),
                static_cast<unsigned long long>(tally.expiredWaits.load()),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(leaked));
    EXPECT_TRUE(host().Unload());
}

}  // namespace
}  // namespace krvdlc::test
