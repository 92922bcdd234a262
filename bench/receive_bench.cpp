// receive_bench.cpp - the receive side of KRVDLC in the simulated machine: the frame
// filter alone and whole frames from indication to a completed read.
//
// BM_Filter: AcceptLookaheadFrame or AcceptPacketFrame on one frame, accepted (each frame
//   shape) or refused (DSAP 0x00, and an Ethernet II type 0800 frame).
// BM_ReceiveAndRead: one frame indicated, queued or delivered, and read back, per
//   iteration, through either receive handler, with the reader's request waiting before
//   the frame arrives (delivery from the receive-complete indication) or issued after it
//   (the read finds the frame queued). Counters per frame: pool blocks (tag Kdlc)
//   allocated, and the MDLs and packet descriptors the receive handler takes for a frame
//   (measured once with the data transfer held, so that nothing has been given back yet);
//   their sum is allocs/frame: descriptor + frame buffer + two MDLs + record on the
//   lookahead path, the record alone on the packet path.
// BM_TraceLine: a trace call site with the level off, and building the line with it on.
//
// Every benchmark of the table names its loop with an InstructionWindow for
// scripts/perf.py (callgrind).
#include "bench/instruction_window.h"
#include "bench/station.h"

#include "sim/io_manager.h"
#include "sim/pool.h"
#include "sim/win32.h"

#include <memory>
#include <string>
#include <vector>

namespace krvdlc::bench {
namespace {

namespace w = sim::win32;

constexpr uint32_t kTagKdlc = sim::PoolTag("Kdlc");

bool Indicate(Station &station, sim::ReceivePath path, const fr::Bytes &frame)
{
    if (path == sim::ReceivePath::Packet)
        return station.adapter->IndicatePacket(frame).value_or(0) == 1;
    return station.adapter->IndicateReceive(frame).value_or(NDIS_STATUS_FAILURE) == NDIS_STATUS_SUCCESS;
}

// Resources the receive handler holds for one frame before anything is given back: the
// lookahead path's transfer is held by the miniport, so both MDLs are still allocated.
struct HeldPerFrame {
    double mdls = 0;
    double descriptors = 0;
};

HeldPerFrame MeasureHeld(Station &station, sim::ReceivePath path, const fr::Bytes &frame)
{
    sim::IoManager &io = station.host.machine().io();
    sim::Ndis &ndis = station.host.ndis();
    station.adapter->SetScript(sim::NdisOperation::TransferData, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    size_t mdls = io.DriverMdlsOutstanding();
    size_t descriptors = ndis.PacketsInUse();
    Indicate(station, path, frame);
    HeldPerFrame held;
    held.mdls = static_cast<double>(io.DriverMdlsOutstanding() - mdls);
    held.descriptors = static_cast<double>(ndis.PacketsInUse() - descriptors);
    station.adapter->ReleasePending(sim::NdisOperation::TransferData);
    station.adapter->SetScript(sim::NdisOperation::TransferData, {});
    station.adapter->IndicateReceiveComplete();
    std::vector<uint8_t> buffer(8192);
    station.handle.Read(buffer);   // overlapped handle: completes at once, the frame is queued
    return held;
}

// Reads one frame on an overlapped handle, waiting for it; `afterIssue` runs once the read
// is issued (it indicates the frame when the reader waits).
template <typename AfterIssue>
bool ReadOne(w::HANDLE handle, std::vector<uint8_t> &buffer, w::OVERLAPPED &overlapped,
             AfterIssue afterIssue)
{
    w::DWORD bytes = 0;
    w::BOOL ok = w::ReadFile(handle, buffer.data(), static_cast<w::DWORD>(buffer.size()), nullptr,
                             &overlapped);
    if (!ok && w::GetLastError() != w::ERROR_IO_PENDING)
        return false;
    if (!afterIssue())
        return false;
    return w::GetOverlappedResult(handle, &overlapped, &bytes, TRUE) != FALSE && bytes != 0;
}

// Arguments: receive path (0 lookahead, 1 packet), reader (0 reads after the frame is
// queued, 1 has its read waiting when the frame arrives), frame shape, trace.
void BM_ReceiveAndRead(benchmark::State &state)
{
    auto path = state.range(0) == 0 ? sim::ReceivePath::Lookahead : sim::ReceivePath::Packet;
    bool readerWaiting = state.range(1) != 0;
    const FrameShape &shape = Shape(state.range(2));
    fr::Bytes frame = TestFrame(shape, kStation, kPeer);
    Station station(shape.medium, path, state.range(3) != 0);
    HeldPerFrame held = MeasureHeld(station, path, frame);

    std::vector<uint8_t> buffer(8192);
    w::OVERLAPPED overlapped{};
    overlapped.hEvent = w::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto indicate = [&] {
        bool ok = Indicate(station, path, frame);
        station.adapter->IndicateReceiveComplete();
        return ok;
    };
    auto nothing = [] { return true; };

    std::string label = std::string("receive ") + (path == sim::ReceivePath::Packet ? "packet" : "lookahead") +
                        (readerWaiting ? ", reader waiting, " : ", read finds it queued, ") + shape.name +
                        ", " + TraceName(state.range(3));
    sim::Pool &pool = station.host.machine().pool();
    uint64_t allocationsBefore = pool.UsageOf(kTagKdlc).allocations;
    InstructionWindow window(label);
    for (auto _ : state) {
        bool ok = readerWaiting ? ReadOne(station.handle.get(), buffer, overlapped, indicate)
                                : indicate() && ReadOne(station.handle.get(), buffer, overlapped, nothing);
        if (!ok) {
            state.SkipWithError("a frame was not delivered");
            break;
        }
    }
    window.Close(state.iterations());
    double frames = static_cast<double>(state.iterations());
    double poolAllocations = static_cast<double>(pool.UsageOf(kTagKdlc).allocations - allocationsBefore);
    w::CloseHandle(overlapped.hEvent);

    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
    if (frames > 0) {
        state.counters["pool_blocks/frame"] = poolAllocations / frames;
        state.counters["mdls/frame"] = held.mdls;
        state.counters["descriptors/frame"] = held.descriptors;
        state.counters["allocs/frame"] = poolAllocations / frames + held.mdls + held.descriptors;
    }
    state.SetLabel(label);
}
BENCHMARK(BM_ReceiveAndRead)
    ->ArgNames({"packet", "waiting", "shape", "trace"})
    ->ArgsProduct({{0, 1}, {1, 0}, benchmark::CreateDenseRange(0, kShapeCount - 1, 1), {0, 1}})
    ->UseRealTime()
    ->Apply([](benchmark::internal::Benchmark *b) { Counted(b); });

// The filter reads only Medium and CheckDSAP of the context.
std::unique_ptr<ADAPTER_CONTEXT> FilterContext(NDIS_MEDIUM medium)
{
    auto adapter = std::make_unique<ADAPTER_CONTEXT>();
    adapter->Medium = medium;
    adapter->CheckDSAP = TRUE;
    return adapter;
}

struct FilterCase {
    std::string name;
    NDIS_MEDIUM medium;
    fr::Bytes frame;
};

// Argument "case": 0-2 accepted at each shape, 3 refused for its DSAP, 4 refused for its type.
FilterCase MakeFilterCase(int64_t index)
{
    if (index < kShapeCount) {
        const FrameShape &shape = Shape(index);
        return {std::string("accepted, ") + shape.name, shape.medium, TestFrame(shape, kStation, kPeer)};
    }
    fr::Bytes refused = TestFrame(Shape(0), kStation, kPeer, fr::kSapNull);
    if (index == kShapeCount)
        return {"refused (DSAP 0x00), 64", NdisMedium802_3, refused};
    refused[12] = 0x08;
    refused[13] = 0x00;
    return {"refused (type 0800), 64", NdisMedium802_3, refused};
}

// Arguments: handler (0 lookahead, 1 packet), case.
void BM_Filter(benchmark::State &state)
{
    sim::Machine machine;
    // Tracing off, whatever an earlier benchmark's driver left in the level.
    ULONG savedLevel = ReadNoFence(&TraceLevel);
    WriteNoFence(&TraceLevel, (ULONG)0);
    bool packetHandler = state.range(0) != 0;
    FilterCase c = MakeFilterCase(state.range(1));
    auto adapter = FilterContext(c.medium);
    size_t header = fr::IndicatedHeaderSize(c.medium, c.frame);
    // One mapped buffer, as a miniport indicates a frame from its receive area.
    MDL mdl{};
    mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
    mdl.MappedSystemVa = c.frame.data();
    mdl.StartVa = c.frame.data();
    mdl.ByteCount = static_cast<ULONG>(c.frame.size());
    auto storage = std::make_unique<uint8_t[]>(sizeof(NDIS_PACKET) + 32);
    auto *packet = new (storage.get()) NDIS_PACKET{};
    packet->Private.Head = packet->Private.Tail = &mdl;

    std::string label = std::string("filter ") + (packetHandler ? "packet" : "lookahead") + ", " + c.name;
    BOOLEAN expected = state.range(1) < kShapeCount ? TRUE : FALSE;
    BOOLEAN accepted = expected;
    // The driver's out-of-line copies: compiled into this loop, the filter's instructions
    // would count as the harness's.
    auto *volatile acceptPacketFrame = &AcceptPacketFrame;
    auto *volatile acceptLookaheadFrame = &AcceptLookaheadFrame;
    InstructionWindow window(label);
    for (auto _ : state) {
        if (packetHandler) {
            packet->Private.ValidCounts = FALSE;
            accepted = acceptPacketFrame(adapter.get(), packet);
        } else {
            accepted = acceptLookaheadFrame(adapter.get(), c.frame.data(), static_cast<UINT>(header),
                                            c.frame.data() + header,
                                            static_cast<UINT>(c.frame.size() - header));
        }
        benchmark::DoNotOptimize(accepted);
    }
    window.Close(state.iterations());
    WriteNoFence(&TraceLevel, savedLevel);
    if (accepted != expected)
        state.SkipWithError("the filter decided otherwise than expected");
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(label);
}
BENCHMARK(BM_Filter)
    ->ArgNames({"packet", "case"})
    ->ArgsProduct({{0, 1}, benchmark::CreateDenseRange(0, kShapeCount + 1, 1)})
    ->Apply([](benchmark::internal::Benchmark *b) { Counted(b); });

// Argument: TraceLevel. 0: the call site's level test fails and nothing is built; 4: the
// line is built and handed to TraceOut, which has no sink (no file, no debugger).
void BM_TraceLine(benchmark::State &state)
{
    sim::Machine machine;
    ULONG saved = ReadNoFence(&TraceLevel);
    WriteNoFence(&TraceLevel, static_cast<ULONG>(state.range(0)));
    ULONG value = 0;
    UCHAR header[14] = {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01, 0x02, 0x00, 0x4B, 0x52, 0x00, 0x02, 0x00, 0x07};
    for (auto _ : state) {
        if (TRACE_ON(4)) TraceLong(4, "Number of outstanding receive packets is now ", value, 10);
        if (TRACE_ON(4)) TraceBuffer(4, "HeaderBuffer = ", header, sizeof header);
        benchmark::ClobberMemory();
        ++value;
    }
    WriteNoFence(&TraceLevel, saved);
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetLabel(state.range(0) == 0 ? "tracing off" : "tracing on, no sink");
}
BENCHMARK(BM_TraceLine)->Arg(0)->Arg(4);

}  // namespace
}  // namespace krvdlc::bench
