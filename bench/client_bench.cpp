// client_bench.cpp - frames per second through libkrvdlc on the simulated machine.
//
// BM_ClientWriteAndRead: one 802.3 TEST frame written with krvdlc_write on one station and
//   read with krvdlc_read on the other station of the same segment, per iteration; the
//   write returns when the segment has carried the frame, so this is the library's whole
//   send-and-receive path (one request each, each with its event and its wait).
// BM_ClientRead: one frame indicated by the adapter and read with krvdlc_read.
// BM_ClientBuildAndDecode: krvdlc_build_frame and krvdlc_decode_frame of that frame.
#include "tools/common/simulated_host.h"

#include "client/krvdlc_client.h"
#include "sim/ndis.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

const sim::MacAddress kFirst = {0x02, 0x00, 0x4B, 0x52, 0x01, 0x01};
const sim::MacAddress kSecond = {0x02, 0x00, 0x4B, 0x52, 0x01, 0x02};

std::vector<uint8_t> TestFrame(const sim::MacAddress &to, const sim::MacAddress &from)
{
    static const krvdlc_u8 kInformation[] = {'b', 'e', 'n', 'c', 'h'};
    krvdlc_frame_fields fields{};
    fields.medium = KRVDLC_MEDIUM_ETHERNET;
    std::copy(to.begin(), to.end(), fields.destination);
    std::copy(from.begin(), from.end(), fields.source);
    fields.dsap = KRVDLC_SAP_SNA;
    fields.ssap = KRVDLC_SAP_SNA;
    fields.control = KRVDLC_CONTROL_TEST;
    fields.information = kInformation;
    fields.information_size = sizeof kInformation;
    fields.pad = 1;
    std::vector<uint8_t> frame(64);
    krvdlc_u32 size = 0;
    krvdlc_build_frame(&fields, frame.data(), static_cast<krvdlc_u32>(frame.size()), &size, nullptr);
    frame.resize(size);
    return frame;
}

// Two bound Ethernet stations on one segment, both opened through the library.
struct TwoStations {
    krvdlc::SimulatedHost host;
    sim::Adapter *first = nullptr;
    sim::Adapter *second = nullptr;
    krvdlc_adapter *sender = nullptr;
    krvdlc_adapter *receiver = nullptr;

    TwoStations()
    {
        host.Load();
        sim::Segment &segment = host.ndis().AddSegment();
        first = &host.AddAdapter(u"{BENCH-1}", NdisMedium802_3, kFirst);
        second = &host.AddAdapter(u"{BENCH-2}", NdisMedium802_3, kSecond);
        second->SetReceivePath(sim::ReceivePath::Packet);
        for (sim::Adapter *adapter : {first, second}) {
            segment.Attach(*adapter);
            adapter->Bind();
        }
        host.ndis().IndicateBindsComplete();
        krvdlc_open_by_index(0, 1000, &sender, nullptr);
        krvdlc_open_by_index(1, 1000, &receiver, nullptr);
    }
    ~TwoStations()
    {
        krvdlc_close(sender);
        krvdlc_close(receiver);
        host.Unload();
    }
};

void BM_ClientWriteAndRead(benchmark::State &state)
{
    TwoStations stations;
    std::vector<uint8_t> frame = TestFrame(kSecond, kFirst);
    std::vector<uint8_t> buffer(1514);
    krvdlc_u32 bytes = 0;
    for (auto _ : state) {
        krvdlc_result wrote = krvdlc_write(stations.sender, frame.data(), static_cast<krvdlc_u32>(frame.size()),
                                           &bytes, nullptr);
        krvdlc_result read = krvdlc_read(stations.receiver, buffer.data(), static_cast<krvdlc_u32>(buffer.size()),
                                         1000, &bytes, nullptr);
        if (wrote != KRVDLC_OK || read != KRVDLC_OK || bytes != frame.size()) {
            state.SkipWithError("a frame did not make it across");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_ClientWriteAndRead)->UseRealTime();

void BM_ClientRead(benchmark::State &state)
{
    TwoStations stations;
    std::vector<uint8_t> frame = TestFrame(kSecond, kFirst);
    std::vector<uint8_t> buffer(1514);
    krvdlc_u32 bytes = 0;
    for (auto _ : state) {
        stations.second->IndicatePacket(frame);
        if (krvdlc_read(stations.receiver, buffer.data(), static_cast<krvdlc_u32>(buffer.size()), 1000, &bytes,
                        nullptr) != KRVDLC_OK) {
            state.SkipWithError("the indicated frame was not read");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClientRead)->UseRealTime();

void BM_ClientBuildAndDecode(benchmark::State &state)
{
    std::vector<uint8_t> frame;
    krvdlc_decoded_frame decoded;
    for (auto _ : state) {
        frame = TestFrame(kSecond, kFirst);
        krvdlc_decode_frame(KRVDLC_MEDIUM_ETHERNET, frame.data(), static_cast<krvdlc_u32>(frame.size()), &decoded,
                            nullptr);
        benchmark::DoNotOptimize(decoded.information);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClientBuildAndDecode);

}  // namespace
