// traffic_bench.cpp - outside traffic into one reader at the frame rate of a saturated
// 100 Mbit/s Ethernet: krvdlc-sim's replay path (the Injector and ReplayBackend a --replay
// adapter uses) and its live path (LiveBackend on a veth pair) indicate 64-byte 802.3
// frames on an adapter while one reader takes them with krvdlc_read, as a capture does.
//
// BM_ReplayIntoReader/packet:<0 lookahead, 1 packet>/paced:<0 as fast as possible,
// 1 148,800 frames/s>: kFrames frames per run. BM_LiveIntoReader/packet:<...>: frames sent
// at 148,800 frames/s by a raw socket on the far end of a veth pair in a network namespace
// of the bench's own (root only; skips saying why otherwise). BM_ProcessorRoundTrip: the
// host's processor-to-processor round trip, which those rows move with.
//
// Counters: offered/s (the rate the source reached), delivered/s, per_burst (frames per
// receive-complete), indicate_us (the source's time in the driver's receive handlers per
// frame; at line rate it has 6.7 us), and what was lost: queue_full (the driver's 16-frame
// queue, from its event-log entries), no_free_packet (lookahead indications the driver had
// no packet for), read_errors (reads that failed; the reader then reopens the adapter as
// krvdlcctl capture does, counted in reopens), reopen_lost, lost_pct (the frames sent that
// no read returned) and below_limit, those of them lost anywhere but at the queue limit
// (see Report). Live rows add sent/s, the rate of the raw socket, socket_drops, frames
// the kernel dropped before krvdlc-sim read them, and catch_up_ms, how long after the last
// frame was sent the receive loop took its last (to a tenth of a millisecond).
#include "tools/krvdlc-sim/backends.h"

#include "client/krvdlc_client.hpp"
#include "sim/cache_line.h"
#include "sim/io_manager.h"
#include "sim/spin_wait.h"
#include "tools/common/simulated_host.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kFrames = 150000;        // about a second at line rate
constexpr double kLineRate = 148800.0;    // 64-byte frames on 100 Mbit/s Ethernet
constexpr uint32_t kErrorNoSystemResources = 1450;
const sim::MacAddress kStation = {0x02, 0x00, 0x4B, 0x52, 0x02, 0x01};
const sim::MacAddress kSender = {0x02, 0x00, 0x4B, 0x52, 0x02, 0x02};

// 802.3 UI to SAP 0x04 carrying its sequence number, 60 bytes (64 on the wire with the FCS).
sim::Frame LineFrame(uint32_t sequence)
{
    sim::Frame frame(60, 0);
    std::copy(kStation.begin(), kStation.end(), frame.begin());
    std::copy(kSender.begin(), kSender.end(), frame.begin() + 6);
    frame[13] = 3 + 4;
    frame[14] = 0x04;
    frame[15] = 0x04;
    frame[16] = 0x03;
    std::memcpy(frame.data() + 17, &sequence, sizeof sequence);
    return frame;
}

Clock::duration LineGap(size_t frames)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frames / kLineRate));
}

// A loaded driver with one adapter in the given indication style, opened by a reader.
class Station {
public:
    explicit Station(bool packet) : packet_(packet)
    {
        host_.Load();
        adapter_ = &host_.AddAdapter(u"{TRAFFIC-BENCH}", NdisMedium802_3, kStation);
        adapter_->SetReceivePath(packet ? sim::ReceivePath::Packet : sim::ReceivePath::Lookahead);
        segment_ = &host_.ndis().AddSegment();
        segment_->Attach(*adapter_);
        adapter_->Bind();
        host_.ndis().IndicateBindsComplete();
    }
    ~Station()
    {
        adapter_->Unbind();
        host_.Unload();
    }

    sim::Adapter &adapter() { return *adapter_; }
    sim::Segment &segment() { return *segment_; }
    sim::Machine &machine() { return host_.machine(); }
    krvdlcsim::IndicationStyle style() const
    {
        krvdlcsim::IndicationStyle style;
        style.kind = packet_ ? krvdlcsim::IndicationStyle::Kind::Packet : krvdlcsim::IndicationStyle::Kind::Lookahead;
        return style;
    }

private:
    bool packet_;
    krvdlc::SimulatedHost host_;
    sim::Adapter *adapter_ = nullptr;
    sim::Segment *segment_ = nullptr;
};

// One reader on its own thread, reading as krvdlcctl capture does, until told the source
// is done and a read then finds nothing within kDrainMs.
class Reader {
public:
    explicit Reader(Station &station) : station_(station)
    {
        if (!Open())
            return;
        thread_ = std::thread([this] { Run(); });
        // Ready once its first read waits in the driver.
        Clock::time_point limit = Clock::now() + std::chrono::seconds(5);
        while (station_.machine().io().PendingIrps().empty() && Clock::now() < limit)
            std::this_thread::yield();
    }
    ~Reader()
    {
        Finish();
        krvdlc_close(adapter_);
    }

    bool ok() const { return thread_.joinable() || finished_; }
    void Finish()
    {
        sourceDone_.store(true);
        if (thread_.joinable())
            thread_.join();
        finished_ = true;
    }
    uint64_t delivered = 0, readErrors = 0, reopens = 0;
    Clock::time_point lastFrame{};

private:
    static constexpr krvdlc_u32 kDrainMs = 50;

    // The first open finds the adapter in the driver's list; a reopen goes straight to its
    // device, as krvdlcctl capture does. Every open sets the directed filter.
    bool Open()
    {
        if (adapter_ == nullptr)
            return krvdlc_open_by_index(0, 1000, &adapter_, nullptr) == KRVDLC_OK;
        std::basic_string<krvdlc_char> device = krvdlc_file_name(adapter_);
        krvdlc_close(adapter_);
        adapter_ = nullptr;
        return krvdlc_open_by_file_name(device.c_str(), &adapter_, nullptr) == KRVDLC_OK;
    }

    void Run()
    {
        // The room krvdlcctl capture offers.
        std::vector<uint8_t> buffer(krvdlc::client::kReadRoom);
        for (;;) {
            bool done = sourceDone_.load(std::memory_order_relaxed);
            krvdlc_u32 bytes = 0;
            krvdlc_error error;
            krvdlc_result result = krvdlc_read(adapter_, buffer.data(), static_cast<krvdlc_u32>(buffer.size()), kDrainMs, &bytes, &error);
            if (result == KRVDLC_OK && bytes != 0) {
                delivered++;
                lastFrame = Clock::now();
            } else if (result == KRVDLC_E_TIMEOUT) {
                if (done)
                    return;
            } else {
                readErrors++;
                // Lookahead frames that hold every packet block delivery until a reopen.
                if (result != KRVDLC_E_IO || error.win32_error != kErrorNoSystemResources || !Open())
                    return;
                reopens++;
            }
        }
    }

    Station &station_;
    krvdlc_adapter *adapter_ = nullptr;
    std::atomic<bool> sourceDone_{false};
    bool finished_ = false;
    std::thread thread_;
};

// `sent`: the frames the source had; lost are those no read returned. At the queue limit
// are lost: the queue-full drops, the lookahead frames with no packet, and what a reader
// that found every packet taken lost by reopening (reopen_lost: the frames queued at its
// close, and those that came before its open and its filter). Frames never indicated or
// refused, or thrown away by the driver with no reopen, are lost below it (below_limit).
void Report(benchmark::State &state, const Reader &reader, const krvdlcsim::TrafficCounts &counts, uint64_t queueFull,
            uint64_t sent, Clock::time_point start, double sourceSeconds)
{
    const uint64_t lost = sent - std::min(sent, reader.delivered);
    const uint64_t taken = counts.noFreePacket + queueFull + reader.delivered;
    const uint64_t reopenLost =
        reader.reopens != 0 ? counts.accepted - std::min(counts.accepted, taken) + counts.notIndicated : 0;
    const uint64_t atLimit = queueFull + counts.noFreePacket + reopenLost;
    state.counters["reopen_lost"] = static_cast<double>(reopenLost);
    state.counters["below_limit"] = static_cast<double>(lost - std::min(lost, atLimit));
    double readSeconds = std::chrono::duration<double>(reader.lastFrame - start).count();
    state.counters["offered/s"] = static_cast<double>(counts.offered) / sourceSeconds;
    state.counters["delivered/s"] = readSeconds > 0 ? static_cast<double>(reader.delivered) / readSeconds : 0;
    state.counters["queue_full"] = static_cast<double>(queueFull);
    state.counters["no_free_packet"] = static_cast<double>(counts.noFreePacket);
    state.counters["per_burst"] =
        counts.bursts != 0 ? static_cast<double>(counts.offered) / static_cast<double>(counts.bursts) : 0;
    state.counters["indicate_us"] =
        counts.offered != 0 ? static_cast<double>(counts.busyNanoseconds) / 1000.0 / static_cast<double>(counts.offered) : 0;
    state.counters["read_errors"] = static_cast<double>(reader.readErrors);
    state.counters["reopens"] = static_cast<double>(reader.reopens);
    state.counters["lost_pct"] = 100.0 * static_cast<double>(lost) / static_cast<double>(sent);
    state.SetItemsProcessed(static_cast<int64_t>(reader.delivered));
}

// The host's own figure beside the traffic rows: a cache line passed back and forth
// between two threads, as an indicating thread and a reader pass the lines of the
// machine's state for every frame. The traffic rows move with it: this VM's processors
// have taken 70 ns on one day and 480 ns on the next.
void BM_ProcessorRoundTrip(benchmark::State &state)
{
    constexpr int kRoundTrips = 200000;
    alignas(sim::kCacheLine) std::atomic<int> turn{0};
    for (auto _ : state) {
        auto passBack = [&turn](int mine, int theirs) {
            for (int i = 0; i < kRoundTrips; ++i) {
                while (turn.load(std::memory_order_acquire) != mine)
                    sim::SpinWait::Relax();
                turn.store(theirs, std::memory_order_release);
            }
        };
        Clock::time_point start = Clock::now();
        std::thread other([&] { passBack(1, 0); });
        passBack(0, 1);
        other.join();
        state.counters["round_trip_ns"] =
            std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kRoundTrips;
    }
}
BENCHMARK(BM_ProcessorRoundTrip)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ReplayIntoReader(benchmark::State &state)
{
    bool packet = state.range(0) == 1;
    bool paced = state.range(1) == 1;
    krvdlcsim::Capture capture;
    for (size_t i = 0; i < kFrames; ++i)
        capture.records.push_back({LineFrame(static_cast<uint32_t>(i)),
                                   paced ? std::chrono::duration_cast<std::chrono::microseconds>(LineGap(i))
                                         : std::chrono::microseconds(0)});
    for (auto _ : state) {
        Station station(packet);
        Reader reader(station);
        if (!reader.ok()) {
            state.SkipWithError("cannot open the adapter");
            return;
        }
        krvdlcsim::Injector injector(station.adapter(), station.style(), true);
        krvdlcsim::ReplayBackend replay(injector, capture, !paced);
        Clock::time_point start = Clock::now();
        replay.Start();
        replay.Wait();
        reader.Finish();
        Report(state, reader, injector.Counts(), krvdlcsim::QueueFullDrops(station.machine()), kFrames, start,
               replay.Seconds());
    }
}
BENCHMARK(BM_ReplayIntoReader)->ArgNames({"packet", "paced"})->ArgsProduct({{0, 1}, {1, 0}})->UseRealTime()
    ->Unit(benchmark::kMillisecond)->Iterations(1);

// A thread in a network namespace of its own holding the veth pair kvA/kvB; both go with
// the namespace when the thread ends and the sockets opened in it are closed.
class VethPair {
public:
    VethPair()
    {
        std::thread([this] { Create(); }).join();
    }
    const std::string &fault() const { return fault_; }

    // Runs `work` on a thread inside the namespace (sockets made there stay in it).
    template <typename Work>
    void Inside(Work work)
    {
        std::thread([&] {
            if (::setns(namespace_, CLONE_NEWNET) == 0)
                work();
        }).join();
    }
    ~VethPair()
    {
        if (namespace_ >= 0)
            ::close(namespace_);
    }

private:
    void Create()
    {
        if (::unshare(CLONE_NEWNET) != 0) {
            fault_ = std::string("a network namespace needs root (CAP_SYS_ADMIN): ") + std::strerror(errno);
            return;
        }
        for (const char *command : {"ip link add kvA type veth peer name kvB",
                                    "ip link set kvA address 02:00:4b:52:02:01", "ip link set kvA up",
                                    "ip link set kvB up"}) {
            std::string quiet = std::string(command) + " >/dev/null 2>&1";
            if (std::system(quiet.c_str()) != 0) {
                fault_ = std::string("'") + command + "' failed (is iproute2 installed?)";
                return;
            }
        }
        namespace_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (namespace_ < 0)
            fault_ = std::string("cannot keep the namespace: ") + std::strerror(errno);
    }

    int namespace_ = -1;
    std::string fault_;
};

// Sends `frames` line-rate frames on `fd`, paced against the monotonic clock in bursts of
// what is due; returns the seconds it took.
double Blast(int fd, size_t frames)
{
    constexpr size_t kBurst = 8;
    std::vector<sim::Frame> batch(kBurst, LineFrame(0));
    std::vector<iovec> vectors(kBurst);
    std::vector<mmsghdr> messages(kBurst);
    Clock::time_point start = Clock::now();
    size_t sent = 0;
    while (sent < frames) {
        size_t due = std::min<size_t>(frames, static_cast<size_t>(
            std::chrono::duration<double>(Clock::now() - start).count() * kLineRate) + 1);
        if (due <= sent) {
            std::this_thread::yield();
            continue;
        }
        size_t count = std::min(due - sent, kBurst);
        for (size_t i = 0; i < count; ++i) {
            auto sequence = static_cast<uint32_t>(sent + i);
            std::memcpy(batch[i].data() + 17, &sequence, sizeof sequence);
            vectors[i] = {batch[i].data(), batch[i].size()};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int done = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(count), 0);
        if (done > 0)
            sent += static_cast<size_t>(done);
        else if (errno != ENOBUFS && errno != EAGAIN)
            break;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits for the last frames on their way through the kernel and the receive loop. A loop
// that was not scheduled for a while catches up no faster than 1.5 times the capture's
// pace, so it may still be at it: it is given until it has had every frame sent, or has
// had none for 50 ms. What it never had is lost below the queue limit; how late it got
// them shows in offered/s and delivered/s, taken up to the loop's last frame (as seen
// from here, to a tenth of a millisecond) and the reader's. Returns when the loop had its
// last.
Clock::time_point AwaitReceiveLoop(const krvdlcsim::Injector &injector, uint64_t sent)
{
    constexpr auto kQuiet = std::chrono::milliseconds(50);
    uint64_t seen = injector.Counts().offered;
    Clock::time_point progress = Clock::now();
    while (seen < sent && Clock::now() - progress < kQuiet) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        if (uint64_t now = injector.Counts().offered; now != seen) {
            seen = now;
            progress = Clock::now();
        }
    }
    // Frames of the kernel's own (neighbour discovery on the new link) count as offered
    // too: the last few of ours may still be coming.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return progress;
}

void BM_LiveIntoReader(benchmark::State &state)
{
    bool packet = state.range(0) == 1;
    for (auto _ : state) {
        VethPair veth;
        if (!veth.fault().empty()) {
            state.SkipWithError(("skipped, " + veth.fault()).c_str());
            return;
        }
        std::unique_ptr<krvdlcsim::LiveBackend> live;
        int wire = -1;
        std::string fault;
        veth.Inside([&] {
            try {
                live = std::make_unique<krvdlcsim::LiveBackend>("kvA");
            } catch (const krvdlcsim::LiveError &error) {
                fault = error.what();
                return;
            }
            wire = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
            sockaddr_ll at{};
            at.sll_family = AF_PACKET;
            at.sll_protocol = htons(ETH_P_ALL);
            at.sll_ifindex = static_cast<int>(::if_nametoindex("kvB"));
            if (wire < 0 || ::bind(wire, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0)
                fault = std::string("cannot send on kvB: ") + std::strerror(errno);
        });
        if (!fault.empty()) {
            if (wire >= 0)
                ::close(wire);
            state.SkipWithError(("skipped, " + fault).c_str());
            return;
        }
        Station station(packet);
        Reader reader(station);
        if (!reader.ok()) {
            ::close(wire);
            state.SkipWithError("cannot open the adapter");
            return;
        }
        krvdlcsim::Injector injector(station.adapter(), station.style(), true);
        live->Start(injector, station.segment());
        Clock::time_point start = Clock::now();
        double seconds = Blast(wire, kFrames);
        Clock::time_point loopDone = AwaitReceiveLoop(injector, kFrames);
        double loopSeconds = std::chrono::duration<double>(loopDone - start).count();
        live->Stop();
        reader.Finish();
        ::close(wire);
        Report(state, reader, injector.Counts(), krvdlcsim::QueueFullDrops(station.machine()), kFrames, start,
               std::max(seconds, loopSeconds));
        state.counters["sent/s"] = static_cast<double>(kFrames) / seconds;
        state.counters["socket_drops"] = static_cast<double>(live->SocketDrops());
        state.counters["catch_up_ms"] = std::max(0.0, 1000.0 * (loopSeconds - seconds));
    }
}
BENCHMARK(BM_LiveIntoReader)->ArgNames({"packet"})->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
