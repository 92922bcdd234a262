// robust_scenario.cpp - the whole-driver scenario of the low-resources sweep.
#include "tools/common/robust_scenario.h"

#include "tools/common/simulated_host.h"

#include "core/krvdlc.h"
#include "core/krvdlc_public.h"
#include "sim/dispatcher.h"
#include "sim/faults.h"
#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/ndis_adapter.h"
#include "sim/pool.h"
#include "sim/registry.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <list>
#include <thread>

namespace krvdlc {

namespace {

namespace w = sim::win32;

constexpr uint32_t kWaitMs = 5000;
// A step whose request completes at once unless a failure dropped its frame.
constexpr uint32_t kStepWaitMs = 100;
constexpr uint32_t kFileTracing = TRACE_TO_FILE | 1;
constexpr uint32_t kDebuggerTracing = TRACE_TO_DEBUGGER | 1;

// One overlapped request: its OVERLAPPED, event and buffers live as long as the object,
// which the scenario keeps to the end, so a late completion never writes into freed memory.
struct Call {
    w::OVERLAPPED overlapped{};
    w::HANDLE event = nullptr;
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    bool issued = false;

    // A request that never reached the driver counts as done.
    bool Wait(uint32_t ms = kWaitMs) const
    {
        return !issued || w::WaitForSingleObject(event, ms) == w::WAIT_OBJECT_0;
    }
    NTSTATUS Status() const { return static_cast<NTSTATUS>(overlapped.Internal); }
};

// The scenario's user-mode side: overlapped handles and the requests issued on them.
class User {
public:
    User() = default;
    ~User()
    {
        for (Call &call : calls_)
            w::CloseHandle(call.event);
    }
    User(const User &) = delete;
    User &operator=(const User &) = delete;

    w::HANDLE Open(const std::u16string &name)
    {
        return w::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              w::OPEN_EXISTING, w::FILE_FLAG_OVERLAPPED, nullptr);
    }
    static void Close(w::HANDLE &handle)
    {
        if (handle != w::INVALID_HANDLE_VALUE)
            w::CloseHandle(handle);
        handle = w::INVALID_HANDLE_VALUE;
    }

    Call &Read(w::HANDLE handle, size_t length)
    {
        Call &call = New(handle, {}, length);
        if (handle != w::INVALID_HANDLE_VALUE)
            Issued(call, w::ReadFile(handle, call.output.data(), static_cast<w::DWORD>(length),
                                     nullptr, &call.overlapped));
        return call;
    }
    Call &Write(w::HANDLE handle, std::vector<uint8_t> frame)
    {
        Call &call = New(handle, std::move(frame), 0);
        if (handle != w::INVALID_HANDLE_VALUE)
            Issued(call, w::WriteFile(handle, call.input.data(), static_cast<w::DWORD>(call.input.size()),
                                      nullptr, &call.overlapped));
        return call;
    }
    Call &Control(w::HANDLE handle, uint32_t code, std::vector<uint8_t> input, size_t outputLength)
    {
        Call &call = New(handle, std::move(input), outputLength);
        if (handle != w::INVALID_HANDLE_VALUE)
            Issued(call, w::DeviceIoControl(handle, code, call.input.empty() ? nullptr : call.input.data(),
                                            static_cast<w::DWORD>(call.input.size()),
                                            call.output.empty() ? nullptr : call.output.data(),
                                            static_cast<w::DWORD>(outputLength), nullptr,
                                            &call.overlapped));
        return call;
    }

    // Requests issued, and those that never completed (each waited for, bounded).
    uint64_t Issued() const { return issued_; }
    uint64_t Lost() const
    {
        uint64_t lost = 0;
        for (const Call &call : calls_)
            lost += call.Wait() ? 0 : 1;
        return lost;
    }

private:
    Call &New(w::HANDLE, std::vector<uint8_t> input, size_t outputLength)
    {
        Call &call = calls_.emplace_back();
        call.event = w::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        call.overlapped.hEvent = call.event;
        call.input = std::move(input);
        call.output.assign(outputLength, 0);
        return call;
    }
    // A request refused before it reached the driver (no memory for its buffer) never
    // signals; one the driver took signals when it completes.
    void Issued(Call &call, w::BOOL ok)
    {
        if (ok || w::GetLastError() == w::ERROR_IO_PENDING || call.Status() != STATUS_PENDING) {
            call.issued = true;
            issued_++;
        }
    }

    std::list<Call> calls_;
    uint64_t issued_ = 0;
};

std::vector<uint8_t> Le32Pair(uint32_t first, uint32_t second, size_t total)
{
    std::vector<uint8_t> buffer(total, 0);
    std::memcpy(buffer.data(), &first, 4);
    std::memcpy(buffer.data() + 4, &second, 4);
    return buffer;
}

// 802.3 LLC frame from the peer to `station`, `length` bytes, DSAP 0x04.
sim::Frame EthernetFrame(const sim::MacAddress &station, size_t length, uint8_t tag)
{
    sim::Frame frame(station.begin(), station.end());
    const sim::MacAddress peer{0x02, 0x00, 0x00, 0x00, 0x00, 0x99};
    frame.insert(frame.end(), peer.begin(), peer.end());
    frame.push_back(static_cast<uint8_t>((length - 14) >> 8));
    frame.push_back(static_cast<uint8_t>(length - 14));
    frame.insert(frame.end(), {0x04, 0x04, 0x03, tag});
    while (frame.size() < length)
        frame.push_back(static_cast<uint8_t>(frame.size()));
    return frame;
}

// Token Ring LLC frame to `station`.
sim::Frame TokenRingFrame(const sim::MacAddress &station, uint8_t tag)
{
    sim::Frame frame{0x10, 0x40};
    frame.insert(frame.end(), station.begin(), station.end());
    frame.insert(frame.end(), {0x40, 0x00, 0x00, 0x00, 0x00, 0x99});
    frame.insert(frame.end(), {0x04, 0x04, 0x03, tag, 0x55, 0x66});
    return frame;
}

// Every device-control code on an adapter handle, and one no driver knows.
void EveryControlCode(User &user, w::HANDLE handle, bool ethernet)
{
    const uint32_t addressOid = ethernet ? OID_802_3_CURRENT_ADDRESS : OID_802_5_CURRENT_ADDRESS;
    user.Control(handle, IOCTL_KRVDLC_QUERY_OID, Le32Pair(addressOid, 6, KRVDLC_OID_BUFFER_HEADER + 8),
                 KRVDLC_OID_BUFFER_HEADER + 8);
    user.Control(handle, IOCTL_KRVDLC_SET_OID,
                 Le32Pair(OID_GEN_CURRENT_PACKET_FILTER, 4, KRVDLC_OID_BUFFER_MINIMUM), 0);
    user.Control(handle, IOCTL_KRVDLC_QUERY_OID, Le32Pair(0xFFFFFFFF, 4, KRVDLC_OID_BUFFER_MINIMUM),
                 KRVDLC_OID_BUFFER_MINIMUM);
    user.Control(handle, IOCTL_KRVDLC_GET_MAC_ADDRESS, {}, 6);
    user.Control(handle, IOCTL_KRVDLC_GET_MEDIUM, {}, 4);
    user.Control(handle, IOCTL_KRVDLC_CHECK_DSAP, {0}, 0);
    user.Control(handle, IOCTL_KRVDLC_CHECK_DSAP, {1}, 0);
    user.Control(handle, IOCTL_KRVDLC_INT3, {}, 0);
    user.Control(handle, IOCTL_KRVDLC_RESET, {}, 0);
    user.Control(handle, IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 256);
    user.Control(handle, KRVDLC_CTL_CODE(0x7FF, 0), {1, 2, 3, 4}, 4);
}

// Releases held NDIS calls of `operation` until none is left.
void ReleaseAll(sim::Adapter &adapter, sim::NdisOperation operation)
{
    while (adapter.ReleasePending(operation)) {
    }
}

class Scenario {
public:
    explicit Scenario(const ScenarioOptions &options) : options_(options) {}

    ScenarioOutcome Run()
    {
        FirstLoad();
        SecondLoad();
        return std::move(outcome_);
    }

private:
    // A fresh machine whose fault injector is armed as asked, with the driver loaded at
    // `traceLevel`. False when DriverEntry failed.
    bool Boot(uint32_t traceLevel)
    {
        if (!host_) {
            host_ = std::make_unique<SimulatedHost>(HostOptions{{}, traceLevel, std::nullopt});
            sim::FaultInjector &faults = host_->machine().faults();
            faults.RecordSites(options_.recordSites);
            if (options_.failCall != 0)
                faults.FailOverallNth(options_.failCall);
            if (!options_.failSite.routine.empty()) {
                faults.RecordSites(true);
                SiteRecord site = options_.failSite;
                faults.FailWhen(
                    [site](const sim::FaultPoint &point) {
                        return point.routine == site.routine &&
                               std::equal(site.returns.begin(), site.returns.end(),
                                          point.site.returns.begin(), point.site.returns.end());
                    },
                    1);
            }
            // A request the driver never completes ends the run quickly, with a report.
            host_->machine().io().SetUserWaitLimit(std::chrono::seconds(20));
        } else {
            host_->machine().registry().SetDword(kParametersKey, "TraceLevel", traceLevel);
        }
        return NT_SUCCESS(host_->Load());
    }

    sim::Machine &machine() { return host_->machine(); }

    void Check(bool condition, const std::string &problem)
    {
        if (!condition)
            outcome_.problems.push_back(problem);
    }

    // Load with file tracing; the long part of the run.
    void FirstLoad()
    {
        if (!Boot(kFileTracing)) {
            Finish(false);
            return;
        }
        Exercise();
        machine().io().WaitForDeferredCloses();
        Finish(true);
    }

    void Exercise()
    {
        sim::Adapter &ethernet = host_->AddAdapter(u"{ROBUST-ETH}", NdisMedium802_3, kEthernetStation,
                                                   u"Robust Ethernet");
        sim::Adapter &tokenRing = host_->AddAdapter(u"{ROBUST-TR}", NdisMedium802_5, kTokenRingStation);
        sim::Adapter &failing = host_->AddAdapter(u"{ROBUST-FAIL}", NdisMedium802_3, kOtherStation,
                                                  u"Robust failing open");
        tokenRing.SetReceivePath(sim::ReceivePath::Packet);

        User user;
        // An enumeration parked before the binds complete.
        w::HANDLE control = user.Open(KRVDLC_CONTROL_FILE_NAME);
        user.Control(control, IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 512);
        ethernet.Bind();
        tokenRing.Bind();
        failing.ScriptNext(sim::NdisOperation::Open, {sim::CompletionMode::Dpc, NDIS_STATUS_OPEN_FAILED});
        failing.Bind();
        host_->ndis().IndicateBindsComplete();
        user.Control(control, IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 2);   // too small

        w::HANDLE eth = user.Open(SimulatedHost::AdapterFileName(ethernet));
        w::HANDLE tr = user.Open(SimulatedHost::AdapterFileName(tokenRing));
        EveryControlCode(user, eth, true);
        EveryControlCode(user, tr, false);
        user.Control(control, IOCTL_KRVDLC_GET_MEDIUM, {}, 4);   // not on the control device
        user.Read(control, 64);

        // Writes: at once, held then completed, failed.
        // The scripts are set and put back around one write each, so that a write
        // refused before it reached NDIS leaves no script behind for the next one.
        user.Write(eth, EthernetFrame(kOtherStation, 60, 1));
        ethernet.SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
        user.Write(eth, EthernetFrame(kOtherStation, 61, 2));
        ethernet.SetScript(sim::NdisOperation::Send, {});
        ReleaseAll(ethernet, sim::NdisOperation::Send);
        ethernet.SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Immediate, NDIS_STATUS_FAILURE});
        user.Write(eth, EthernetFrame(kOtherStation, 62, 3));
        ethernet.SetScript(sim::NdisOperation::Send, {});
        user.Write(tr, TokenRingFrame(kOtherStation, 4));
        user.Write(eth, {1, 2, 3});   // shorter than a header

        // Reads on the lookahead path (transfer at once and later) and the packet path:
        // served at once from the queue, waiting, cancelled.
        ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 80, 5));
        ethernet.ScriptNext(sim::NdisOperation::TransferData, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
        sim::ReceiveOptions shortLookahead;
        shortLookahead.lookaheadSize = 10;
        ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 90, 6), shortLookahead);
        ethernet.IndicateReceiveComplete();
        user.Read(eth, 1514);
        user.Read(eth, 40);
        Call &waiting = user.Read(eth, 1514);
        ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 70, 7));
        ethernet.IndicateReceiveComplete();
        waiting.Wait(kStepWaitMs);
        user.Read(eth, 1514);
        w::CancelIo(eth);

        sim::PacketOptions split;
        split.splitAt = {17};
        split.mapped = false;
        tokenRing.IndicatePacket(TokenRingFrame(kTokenRingStation, 8), split);
        sim::PacketOptions resources = split;   // NDIS cannot lend it: copied, mapped first
        resources.status = NDIS_STATUS_RESOURCES;
        tokenRing.IndicatePacket(TokenRingFrame(kTokenRingStation, 9), resources);
        user.Read(tr, 1514);
        Call &waitingTr = user.Read(tr, 1514);
        tokenRing.IndicatePacket(TokenRingFrame(kTokenRingStation, 10));
        tokenRing.IndicateReceiveComplete();
        waitingTr.Wait(kStepWaitMs);

        // Status and plug-and-play events.
        ethernet.IndicateStatus(NDIS_STATUS_MEDIA_DISCONNECT);
        ethernet.IndicateStatus(NDIS_STATUS_MEDIA_CONNECT);
        const uint32_t d0 = NdisDeviceStateD0;
        std::vector<uint8_t> power(4);
        std::memcpy(power.data(), &d0, 4);
        if (ethernet.IsOpen()) {
            ethernet.SendPnPEvent(NetEventSetPower, power);
            ethernet.SendPnPEvent(NetEventQueryRemoveDevice);
            ethernet.SendPnPEvent(NetEventCancelRemoveDevice);
        }
        host_->ndis().SendPnPEvent(NetEventReconfigure);
        host_->ndis().SendPnPEvent(NetEventPnPCapabilities);

        // Cleanup with frames queued, then a reopen that reads.
        ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 64, 11));
        tokenRing.IndicatePacket(TokenRingFrame(kTokenRingStation, 12));
        User::Close(eth);
        eth = user.Open(SimulatedHost::AdapterFileName(ethernet));
        ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 64, 13));
        user.Read(eth, 1514);

        // Unbind with a read, a query, a send and a reset in flight; the send is held
        // until the unbind waits for it.
        Call &inFlightRead = user.Read(eth, 1514);
        ethernet.ScriptNext(sim::NdisOperation::Request, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
        user.Control(eth, IOCTL_KRVDLC_QUERY_OID,
                     Le32Pair(OID_802_3_CURRENT_ADDRESS, 6, KRVDLC_OID_BUFFER_HEADER + 8),
                     KRVDLC_OID_BUFFER_HEADER + 8);
        ethernet.ScriptNext(sim::NdisOperation::Reset, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
        user.Control(eth, IOCTL_KRVDLC_RESET, {}, 0);
        ethernet.SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
        user.Write(eth, EthernetFrame(kOtherStation, 60, 14));
        ethernet.SetScript(sim::NdisOperation::Send, {});
        // The clock stands still, so the unbind waits for the send rather than for its
        // time-out; it cancels the read before it waits.
        machine().clock().SetAutoAdvance(false);
        std::thread unbind([&] {
            if (ethernet.IsOpen())
                ethernet.Unbind();
        });
        inFlightRead.Wait(kStepWaitMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ReleaseAll(ethernet, sim::NdisOperation::Send);
        unbind.join();
        machine().clock().SetAutoAdvance(true);

        // The handle outlives its adapter: every request is refused.
        user.Read(eth, 1514);
        user.Write(eth, EthernetFrame(kOtherStation, 60, 15));
        user.Control(eth, IOCTL_KRVDLC_GET_MEDIUM, {}, 4);
        User::Close(eth);

        // Rebind and use the adapter again.
        if (!ethernet.IsOpen())
            ethernet.Bind();
        eth = user.Open(SimulatedHost::AdapterFileName(ethernet));
        user.Control(control, IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 512);
        ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 64, 16));
        user.Read(eth, 1514);
        User::Close(eth);
        // Token Ring: frames queued while its handle goes at the unload.
        tokenRing.IndicatePacket(TokenRingFrame(kTokenRingStation, 17));
        User::Close(tr);
        User::Close(control);

        outcome_.requests += user.Issued();
        outcome_.lost += user.Lost();
    }

    // Load again without file tracing: bind, read, unload with frames queued.
    void SecondLoad()
    {
        if (!host_ || !Boot(kDebuggerTracing)) {
            Finish(false);
            return;
        }
        sim::Adapter &ethernet = *host_->ndis().FindAdapter(u"\\Device\\{ROBUST-ETH}");
        if (!ethernet.IsOpen())
            ethernet.Bind();
        host_->ndis().IndicateBindsComplete();
        {
            User user;
            w::HANDLE eth = user.Open(SimulatedHost::AdapterFileName(ethernet));
            ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 64, 20));
            user.Read(eth, 1514);
            ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 64, 21));
            User::Close(eth);
            outcome_.requests += user.Issued();
            outcome_.lost += user.Lost();
        }
        // The last frame is still queued: the unload (through the unbind) gives it back.
        ethernet.IndicateReceive(EthernetFrame(kEthernetStation, 64, 22));
        machine().io().WaitForDeferredCloses();
        Finish(true);
    }

    // Unloads (the loader stops the machine on anything left over), then checks what NDIS
    // still holds and takes the figures.
    void Finish(bool loaded)
    {
        if (!host_)
            return;
        if (loaded) {
            Check(host_->Unload(), "unload refused: a handle is still open");
            for (sim::Adapter *adapter : host_->ndis().Adapters())
                outcome_.packetsHeld += adapter->LentPackets();
            outcome_.packetsHeld += host_->ndis().PacketsInUse();
            Check(host_->ndis().OpenBindings() == 0, "a binding is still open after the unload");
        }
        outcome_.bytesLeaked += machine().pool().UsageOf(KRVDLC_POOL_TAG).bytes;
        sim::FaultInjector &faults = machine().faults();
        outcome_.calls = faults.OverallCalls();
        auto failed = faults.FailedCalls();
        outcome_.injected = !failed.empty();
        auto record = [](const sim::FaultInjector::SiteCall &call) {
            return SiteRecord{call.routine,
                              std::vector<const void *>(call.site.returns.begin(), call.site.returns.end())};
        };
        if (outcome_.injected)
            outcome_.failedSite = record(failed.front());
        outcome_.sites.clear();
        for (const auto &site : faults.SitesReached())
            outcome_.sites.push_back(record(site));
        Check(outcome_.lost == 0, "requests never completed");
        Check(outcome_.packetsHeld == 0, "packets not given back");
        Check(outcome_.bytesLeaked == 0, "driver pool left after the unload");
        if (!loaded)
            host_.reset();   // DriverEntry failed: nothing more to run on this machine
    }

    static constexpr sim::MacAddress kEthernetStation{0x02, 0x00, 0x4B, 0x52, 0x00, 0x01};
    static constexpr sim::MacAddress kTokenRingStation{0x40, 0x00, 0x4B, 0x52, 0x00, 0x02};
    static constexpr sim::MacAddress kOtherStation{0x02, 0x00, 0x4B, 0x52, 0x00, 0x03};

    ScenarioOptions options_;
    ScenarioOutcome outcome_;
    std::unique_ptr<SimulatedHost> host_;
};

}  // namespace

ScenarioOutcome RunScenario(const ScenarioOptions &options)
{
    return Scenario(options).Run();
}

}  // namespace krvdlc
