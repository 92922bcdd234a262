// round_trip_bench.cpp - LLC TEST round trips between two simulated Ethernet stations:
// `krvdlcctl respond` answers on the second station (its own thread, as krvdlc-sim runs
// it) while each iteration writes one TEST command on the first through the client library
// and reads the response back. items_per_second is round trips per second.
#include "tools/krvdlc-sim/session.h"

#include "client/krvdlc_client.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>

namespace {

namespace kc = krvdlc::client;

void BM_TestRoundTrip(benchmark::State &state)
{
    krvdlcsim::SimulatedMachine machine;
    krvdlcsim::CommandRun respond{{"respond", "2", "--json"}, {}, {}, -1};
    krvdlcsim::CommandRunner runner;
    runner.Start(respond);
    {
        kc::Adapter station = kc::Adapter::OpenIndex(0);
        krvdlc_frame_fields fields{};
        fields.medium = KRVDLC_MEDIUM_ETHERNET;
        kc::Mac source = station.macAddress();
        const kc::Mac peer = {0x02, 0x00, 0x4B, 0x52, 0x00, 0x02};
        std::copy(source.begin(), source.end(), fields.source);
        std::copy(peer.begin(), peer.end(), fields.destination);
        fields.dsap = KRVDLC_SAP_NULL;
        fields.ssap = KRVDLC_SAP_SNA;
        fields.control = KRVDLC_CONTROL_TEST | KRVDLC_POLL_FINAL;
        kc::Bytes information(static_cast<size_t>(state.range(0)), 0x5A);
        fields.information = information.data();
        fields.information_size = static_cast<krvdlc_u32>(information.size());
        fields.pad = 1;
        kc::Bytes command = kc::BuildFrame(fields);
        for (auto _ : state) {
            station.write(command);
            std::optional<kc::Bytes> response = station.read(5000);
            if (!response) {
                state.SkipWithError("no TEST response within 5 s");
                break;
            }
            benchmark::DoNotOptimize(response->data());
        }
        state.SetItemsProcessed(state.iterations());
    }
    runner.Stop();
    runner.Finish();
    machine.Finish();
}
BENCHMARK(BM_TestRoundTrip)->Arg(32)->Arg(1400)->UseRealTime();

}  // namespace
