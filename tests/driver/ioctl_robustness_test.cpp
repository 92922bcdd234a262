// ioctl_robustness_test.cpp - thousands of random device-control requests, from two user
// threads at once, against bound, unbinding and control devices while NDIS ends its
// requests and resets at once, on the DPC thread, held or failed.
#include "tests/support/driver_test_support.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <random>

namespace krvdlc::test {
namespace {

constexpr char16_t kGuidA[] = u"{5A0C1D2E-0004-4000-8000-00000000D001}";
constexpr char16_t kGuidB[] = u"{5A0C1D2E-0004-4000-8000-00000000D002}";
constexpr char16_t kGuidC[] = u"{5A0C1D2E-0004-4000-8000-00000000D003}";

constexpr uint32_t kRealCodes[] = {
    IOCTL_KRVDLC_SET_OID,       IOCTL_KRVDLC_QUERY_OID,       IOCTL_KRVDLC_RESET,
    IOCTL_KRVDLC_ENUM_ADAPTERS, IOCTL_KRVDLC_CHECK_DSAP,      IOCTL_KRVDLC_GET_MAC_ADDRESS,
    IOCTL_KRVDLC_GET_MEDIUM,    IOCTL_KRVDLC_INT3,
};

// Objects the OID requests hit: known, read-only, and unknown to the adapters.
constexpr NDIS_OID kOids[] = {OID_GEN_CURRENT_PACKET_FILTER, OID_802_3_CURRENT_ADDRESS,
                              OID_802_5_CURRENT_ADDRESS, 0xFF010203, 0x00010101, 0xDEADBEEF};

struct Target {
    w::HANDLE handle;
    sim::Adapter *adapter;   // scripted adapter, or null (control device, unbinding)
};

class RandomClient {
public:
    RandomClient(uint32_t seed, std::vector<Target> targets, std::atomic<size_t> &issued)
        : rng_(seed), targets_(std::move(targets)), issued_(issued)
    {
    }

    void Run(int iterations)
    {
        for (int i = 0; i < iterations; i++) {
            ScriptSomething();
            IssueOne();
            if (Pick(4) == 0)
                ReleaseSomething();
            Reap(false);
        }
    }

    // Completes everything still held and waits (bounded) for every request.
    void Drain()
    {
        Reap(true);
    }

    size_t Unfinished() const { return calls_.size(); }
    size_t Hung() const { return hung_; }
    size_t BadStatus() const { return badStatus_; }

private:
    uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

    uint32_t RandomCode()
    {
        switch (Pick(5)) {
        case 0:
        case 1:
        case 2:
            return kRealCodes[Pick(8)];
        case 3:   // the driver's device type, any function and method
            return 0x80000000u | (Pick(0x1000) << 2) | Pick(4);
        default:
            return static_cast<uint32_t>(rng_());
        }
    }

    uint32_t RandomLength()
    {
        switch (Pick(5)) {
        case 0:
            return 0;
        case 1:
            return Pick(13);
        case 2:
            return 12 + Pick(20);
        case 3:
            return Pick(600);
        default:
            return Pick(64);
        }
    }

    std::vector<uint8_t> RandomBytes(uint32_t length)
    {
        std::vector<uint8_t> bytes(length);
        for (auto &b : bytes)
            b = static_cast<uint8_t>(rng_());
        // Often a plausible OID buffer: a known object and a small Length.
        if (length >= 8 && Pick(2) == 0) {
            auto oid = Le32(kOids[Pick(6)]), len = Le32(Pick(3) == 0 ? rng_() : Pick(length > 11 ? length - 10 : 2));
            std::copy(oid.begin(), oid.end(), bytes.begin());
            std::copy(len.begin(), len.end(), bytes.begin() + 4);
        }
        return bytes;
    }

    sim::Script RandomScript()
    {
        static constexpr NDIS_STATUS statuses[] = {NDIS_STATUS_SUCCESS, NDIS_STATUS_SUCCESS,
                                                   NDIS_STATUS_FAILURE, NDIS_STATUS_INVALID_OID,
                                                   NDIS_STATUS_RESOURCES};
        static constexpr sim::CompletionMode modes[] = {
            sim::CompletionMode::Immediate, sim::CompletionMode::Dpc, sim::CompletionMode::Held};
        return {modes[Pick(3)], statuses[Pick(5)]};
    }

    void ScriptSomething()
    {
        const Target &t = targets_[Pick(static_cast<uint32_t>(targets_.size()))];
        if (t.adapter == nullptr || Pick(2) != 0)
            return;
        t.adapter->ScriptNext(Pick(2) ? sim::NdisOperation::Request : sim::NdisOperation::Reset,
                              RandomScript());
    }

    void ReleaseSomething()
    {
        for (const Target &t : targets_) {
            if (t.adapter == nullptr)
                continue;
            for (sim::NdisOperation op : {sim::NdisOperation::Request, sim::NdisOperation::Reset}) {
                size_t held = t.adapter->HeldCount(op);
                // The other client may take the same one first: a false return is fine.
                if (held != 0)
                    t.adapter->ReleasePending(op, Pick(static_cast<uint32_t>(held)));
            }
        }
    }

    void IssueOne()
    {
        const Target &t = targets_[Pick(static_cast<uint32_t>(targets_.size()))];
        auto call = std::make_unique<OverlappedCall>(t.handle);
        uint32_t code = RandomCode();
        bool oidCode = code == IOCTL_KRVDLC_QUERY_OID || code == IOCTL_KRVDLC_SET_OID;
        if (Pick(3) < (oidCode ? 2u : 1u)) {
            // One buffer for input and output, as the OID codes are meant to be used.
            uint32_t length = RandomLength();
            call->ControlInPlace(code, RandomBytes(length), length, length);
        } else {
            uint32_t in = RandomLength();
            call->Control(code, RandomBytes(in), RandomLength());
        }
        issued_++;
        calls_.push_back(std::move(call));
    }

    void Reap(bool all)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!calls_.empty()) {
            bool progress = false;
            for (auto it = calls_.begin(); it != calls_.end();) {
                if ((*it)->Done()) {
                    if (static_cast<uint32_t>((*it)->Status()) == STATUS_PENDING)
                        badStatus_++;
                    it = calls_.erase(it);
                    progress = true;
                } else {
                    ++it;
                }
            }
            if (!all || calls_.empty())
                return;
            if (!progress) {
                ReleaseSomething();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (std::chrono::steady_clock::now() > deadline) {
                hung_ = calls_.size();
                return;
            }
        }
    }

    std::mt19937 rng_;
    std::vector<Target> targets_;
    std::atomic<size_t> &issued_;
    std::deque<std::unique_ptr<OverlappedCall>> calls_;
    size_t hung_ = 0;
    size_t badStatus_ = 0;
};

size_t DeviceControlCompletions(DriverHost &driver)
{
    size_t count = 0;
    for (const sim::IoCompletion &c : driver.machine().io().Completions())
        count += c.majorFunction == IRP_MJ_DEVICE_CONTROL ? 1 : 0;
    return count;
}

TEST(IoctlRobustnessTest, RandomControlRequestsStress)
{
    constexpr uint32_t kSeed = 0x4B52564Cu;
    constexpr int kIterationsPerClient = 1500;
    SCOPED_TRACE(testing::Message() << "seed " << kSeed);

    // Level 4: enough tracing to run the trace lines without flooding the debugger log.
    DriverHost driver(0x84);
    sim::Adapter &a = driver.AddBound(kGuidA, NdisMedium802_3);
    sim::Adapter &b = driver.AddBound(kGuidB, NdisMedium802_5);
    sim::Adapter &c = driver.AddBound(kGuidC, NdisMedium802_3);
    DeviceHandle control = driver.OpenControl();
    DeviceHandle ha = driver.OpenAdapter(a), hb = driver.OpenAdapter(b), hc = driver.OpenAdapter(c);
    driver.machine().io().ClearCompletions();
    std::atomic<size_t> issued{0};

    // Before the binds are complete: enumerations park (one) or are turned away.
    {
        RandomClient early(kSeed ^ 0x1111, {{control.get(), nullptr}, {ha.get(), &a}}, issued);
        early.Run(200);
        driver.BindsComplete();
        early.Drain();
        EXPECT_EQ(early.Hung(), 0u);
        EXPECT_EQ(early.BadStatus(), 0u);
    }

    {
        // Adapter C stays half-unbound for the whole run: its device is not bound.
        UnbindInProgress unbinding(driver, c, hc.get());
        std::vector<Target> targets = {{control.get(), nullptr}, {ha.get(), &a}, {hb.get(), &b},
                                       {hc.get(), nullptr}};
        RandomClient first(kSeed, targets, issued), second(kSeed + 1, targets, issued);
        std::thread other([&] { second.Run(kIterationsPerClient); });
        first.Run(kIterationsPerClient);
        other.join();
        first.Drain();
        second.Drain();
        EXPECT_EQ(first.Hung() + second.Hung(), 0u);
        EXPECT_EQ(first.BadStatus() + second.BadStatus(), 0u);
        EXPECT_EQ(unbinding.Finish(), NDIS_STATUS_SUCCESS);
    }

    // The run went everywhere: to NDIS requests and resets, and out by every kind of end.
    EXPECT_GT(a.Requests().size() + b.Requests().size(), 100u);
    EXPECT_GT(a.ResetCount() + b.ResetCount(), 30u);
    std::map<NTSTATUS, size_t> byStatus;
    for (const sim::IoCompletion &done : driver.machine().io().Completions())
        byStatus[done.status]++;
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, NDIS_STATUS_INVALID_OID,
                            STATUS_INVALID_DEVICE_REQUEST, STATUS_INSUFFICIENT_RESOURCES,
                            STATUS_BUFFER_TOO_SMALL})
        EXPECT_GT(byStatus[status], 0u) << Hex8(status);

    // Every request was completed, and exactly once (the verifier stops a second one).
    EXPECT_EQ(DeviceControlCompletions(driver), issued.load());
    EXPECT_TRUE(driver.machine().io().PendingIrps().empty());
    EXPECT_EQ(a.OutstandingCount() + b.OutstandingCount(), 0u);
    EXPECT_EQ(driver.machine().io().NonzeroPriorityBoosts(), 0u);
    EXPECT_EQ(driver.IrpCount(a), 0);
    EXPECT_EQ(driver.IrpCount(b), 0);

    hc.Close();
    ha.Close();
    hb.Close();
    control.Close();
    // The unload's leak checks find every request record and buffer freed.
    driver.Unload();
}

}  // namespace
}  // namespace krvdlc::test
