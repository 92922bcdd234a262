// traffic_bench.cpp - outside traffic into one reader: krvdlc-sim's replay path (the
// Injector and ReplayBackend a --replay adapter uses) indicates 64-byte 802.3 frames on an
// adapter while one reader takes them with krvdlc_read.
//
// BM_ReplayIntoReader/<style>/<paced>: style 0 lookahead, 1 packet; paced 0 as fast as
// possible, 1 spaced as a saturated 100 Mbit/s Ethernet delivers them (148,800 frames/s,
// 6.72 us apart). Counters: offered/s (the rate the replay reached), delivered/s, and the
// losses: queue_full (dropped by the driver on its 16-frame queue, from its own event-log
// entries) and lost_pct, per batch of kBatch frames.
#include "tools/krvdlc-sim/backends.h"

#include "client/krvdlc_client.h"
#include "tools/common/simulated_host.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

constexpr size_t kBatch = 2000;
constexpr double kLineRate = 148800.0;   // 64-byte frames on 100 Mbit/s Ethernet
const sim::MacAddress kStation = {0x02, 0x00, 0x4B, 0x52, 0x02, 0x01};

krvdlcsim::Capture Batch(bool paced)
{
    krvdlcsim::Capture capture;
    for (size_t i = 0; i < kBatch; ++i) {
        // 802.3 UI to SAP 0x04, padded to 60 bytes (64 on the wire with the FCS).
        sim::Frame frame(60, 0);
        std::copy(kStation.begin(), kStation.end(), frame.begin());
        frame[6] = 0x02;
        frame[13] = 3 + 4;
        frame[14] = 0x04;
        frame[15] = 0x04;
        frame[16] = 0x03;
        for (int b = 0; b < 4; ++b)
            frame[17 + b] = static_cast<uint8_t>(i >> (8 * b));
        auto at = std::chrono::microseconds(paced ? static_cast<int64_t>(i * 1e6 / kLineRate) : 0);
        capture.records.push_back({std::move(frame), at});
    }
    return capture;
}

void BM_ReplayIntoReader(benchmark::State &state)
{
    bool packet = state.range(0) == 1;
    bool paced = state.range(1) == 1;
    krvdlc::SimulatedHost host;
    host.Load();
    sim::Adapter &adapter = host.AddAdapter(u"{TRAFFIC-BENCH}", NdisMedium802_3, kStation);
    adapter.SetReceivePath(packet ? sim::ReceivePath::Packet : sim::ReceivePath::Lookahead);
    adapter.Bind();
    host.ndis().IndicateBindsComplete();
    krvdlc_adapter *reader = nullptr;
    if (krvdlc_open_by_index(0, 1000, &reader, nullptr) != KRVDLC_OK ||
        krvdlc_set_packet_filter(reader, KRVDLC_FILTER_DIRECTED, nullptr) != KRVDLC_OK) {
        state.SkipWithError("cannot open the adapter");
        return;
    }
    krvdlcsim::IndicationStyle style;
    style.kind = packet ? krvdlcsim::IndicationStyle::Kind::Packet : krvdlcsim::IndicationStyle::Kind::Lookahead;
    krvdlcsim::Capture batch = Batch(paced);

    uint64_t offered = 0, delivered = 0, dropped = 0, failedReads = 0;
    double replaySeconds = 0;
    for (auto _ : state) {
        krvdlcsim::Injector injector(adapter, style, true);
        uint64_t dropsBefore = krvdlcsim::QueueFullDrops(host.machine());
        std::atomic<bool> replayDone{false};
        std::atomic<uint64_t> read{0};
        std::atomic<uint64_t> readErrors{0};
        std::thread consumer([&] {
            std::vector<uint8_t> buffer(1514);
            krvdlc_u32 bytes = 0;
            // Reads until the replay is over and a read finds the queue empty, or reads
            // keep failing for a second after it (a queue that cannot be delivered from).
            std::chrono::steady_clock::time_point giveUp = std::chrono::steady_clock::time_point::max();
            while (std::chrono::steady_clock::now() < giveUp) {
                bool done = replayDone.load();
                krvdlc_error error;
                krvdlc_result result = krvdlc_read(reader, buffer.data(), static_cast<krvdlc_u32>(buffer.size()),
                                                   done ? 20 : 200, &bytes, &error);
                // A read that completes without a frame counts as failed.
                if (result == KRVDLC_OK && bytes == 0)
                    result = KRVDLC_E_CANCELLED;
                if (result == KRVDLC_OK)
                    read++;
                else if (result != KRVDLC_E_TIMEOUT)
                    readErrors++;
                if (result == KRVDLC_OK)
                    continue;
                if (done && result == KRVDLC_E_TIMEOUT)
                    break;
                else if (done && giveUp == std::chrono::steady_clock::time_point::max())
                    giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            }
        });
        krvdlcsim::ReplayBackend replay(injector, batch, !paced);
        replay.Start();
        replay.Wait();
        replayDone.store(true);
        consumer.join();
        replaySeconds += replay.Seconds();
        offered += injector.Counts().indicated;
        delivered += read.load();
        dropped += krvdlcsim::QueueFullDrops(host.machine()) - dropsBefore;
        failedReads += readErrors.load();
    }
    krvdlc_close(reader);
    adapter.Unbind();
    host.Unload();
    state.SetItemsProcessed(static_cast<int64_t>(delivered));
    state.counters["offered/s"] = benchmark::Counter(static_cast<double>(offered) / replaySeconds);
    state.counters["delivered/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
    state.counters["queue_full"] = benchmark::Counter(static_cast<double>(dropped), benchmark::Counter::kAvgIterations);
    state.counters["read_errors"] = benchmark::Counter(static_cast<double>(failedReads), benchmark::Counter::kAvgIterations);
    state.counters["lost_pct"] = benchmark::Counter(offered ? 100.0 * static_cast<double>(offered - delivered) / static_cast<double>(offered) : 0);
}
BENCHMARK(BM_ReplayIntoReader)->ArgNames({"packet", "paced"})->ArgsProduct({{0, 1}, {0, 1}})->UseRealTime()
    ->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
