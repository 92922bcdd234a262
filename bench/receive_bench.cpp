// receive_bench.cpp - speed and memory of KRVDLC's receive path in the simulated machine.
//
// BM_ReceiveAndRead: one frame indicated, queued or delivered, and read back, per
//   iteration, through either receive handler, with the reader's request waiting before
//   the frame arrives (delivery from the receive-complete indication) or issued after it
//   (delivery from the read). Counters per frame: pool blocks (tag Kdlc) allocated, and
//   the MDLs and packet descriptors the receive handler takes for a frame (measured once
//   with the data transfer held, so that nothing has been given back yet); their sum is
//   allocs/frame: descriptor + frame buffer + two MDLs + record on the lookahead path,
//   the record alone on the packet path.
// BM_AcceptLookaheadFrame / BM_AcceptPacketFrame / BM_RejectDSAP: the frame filter alone.
// BM_TraceLine: a trace call site with the level off, and building the line with it on.
#include "tools/common/simulated_host.h"
#include "tools/common/frames.h"

#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/pool.h"
#include "sim/win32.h"

#include "core/krvdlc.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

namespace w = sim::win32;
namespace fr = krvdlc::frames;

constexpr uint32_t kTagKdlc = sim::PoolTag("Kdlc");
const fr::MacAddress kStation = {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01};
const fr::MacAddress kPeer = {0x02, 0x00, 0x4B, 0x52, 0x00, 0x02};

fr::Bytes XidFrame(size_t size)
{
    fr::Llc llc{fr::kSapSna, fr::kSapSna, fr::kControlXid};
    fr::Bytes frame = fr::Ethernet8023(kStation, kPeer, llc, fr::XidInformation(), size);
    return frame;
}

// A loaded driver with one bound, opened Ethernet adapter receiving through `path`.
struct Receiver {
    krvdlc::SimulatedHost host;
    sim::Adapter *adapter = nullptr;
    krvdlc::DeviceHandle handle;

    explicit Receiver(sim::ReceivePath path)
    {
        host.Load();
        adapter = &host.AddAdapter(u"{4B520001-0000-0000-0000-000000000001}", NdisMedium802_3,
                                   kStation);
        adapter->SetReceivePath(path);
        adapter->Bind();
        host.ndis().IndicateBindsComplete();
        handle = host.Open(krvdlc::SimulatedHost::AdapterFileName(*adapter), true);
    }
    ~Receiver()
    {
        handle.Close();
        host.machine().io().WaitForDeferredCloses();
        adapter->Unbind();
    }

    bool Indicate(sim::ReceivePath path, const fr::Bytes &frame)
    {
        if (path == sim::ReceivePath::Packet)
            return adapter->IndicatePacket(frame).value_or(0) == 1;
        return adapter->IndicateReceive(frame).value_or(NDIS_STATUS_FAILURE) == NDIS_STATUS_SUCCESS;
    }
};

// Resources the receive handler holds for one frame before anything is given back: the
// lookahead path's transfer is held by the miniport, so both MDLs are still allocated.
struct HeldPerFrame {
    double mdls = 0;
    double descriptors = 0;
};

HeldPerFrame MeasureHeld(Receiver &receiver, sim::ReceivePath path, const fr::Bytes &frame)
{
    sim::IoManager &io = receiver.host.machine().io();
    sim::Ndis &ndis = receiver.host.ndis();
    receiver.adapter->SetScript(sim::NdisOperation::TransferData, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    size_t mdls = io.DriverMdlsOutstanding();
    size_t descriptors = ndis.PacketsInUse();
    receiver.Indicate(path, frame);
    HeldPerFrame held;
    held.mdls = static_cast<double>(io.DriverMdlsOutstanding() - mdls);
    held.descriptors = static_cast<double>(ndis.PacketsInUse() - descriptors);
    receiver.adapter->ReleasePending(sim::NdisOperation::TransferData);
    receiver.adapter->SetScript(sim::NdisOperation::TransferData, {});
    receiver.adapter->IndicateReceiveComplete();
    std::vector<uint8_t> buffer(2048);
    receiver.handle.Read(buffer);   // overlapped handle: completes at once, the frame is queued
    return held;
}

// Reads one frame on an overlapped handle, waiting for it.
bool ReadOne(w::HANDLE handle, std::vector<uint8_t> &buffer, w::OVERLAPPED &overlapped,
             bool afterIssue(void *), void *context)
{
    w::DWORD bytes = 0;
    w::BOOL ok = w::ReadFile(handle, buffer.data(), static_cast<w::DWORD>(buffer.size()), nullptr,
                             &overlapped);
    if (!ok && w::GetLastError() != w::ERROR_IO_PENDING)
        return false;
    if (afterIssue != nullptr && !afterIssue(context))
        return false;
    return w::GetOverlappedResult(handle, &overlapped, &bytes, TRUE) != FALSE && bytes != 0;
}

// Arguments: receive path (0 lookahead, 1 packet), reader (0 reads after the frame is
// queued, 1 has its read waiting when the frame arrives), frame size.
void BM_ReceiveAndRead(benchmark::State &state)
{
    auto path = state.range(0) == 0 ? sim::ReceivePath::Lookahead : sim::ReceivePath::Packet;
    bool readerWaiting = state.range(1) != 0;
    fr::Bytes frame = XidFrame(static_cast<size_t>(state.range(2)));
    Receiver receiver(path);
    HeldPerFrame held = MeasureHeld(receiver, path, frame);

    std::vector<uint8_t> buffer(2048);
    w::OVERLAPPED overlapped{};
    overlapped.hEvent = w::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Context {
        Receiver *receiver;
        sim::ReceivePath path;
        const fr::Bytes *frame;
    } context{&receiver, path, &frame};
    auto indicate = [](void *raw) {
        auto *c = static_cast<Context *>(raw);
        bool ok = c->receiver->Indicate(c->path, *c->frame);
        c->receiver->adapter->IndicateReceiveComplete();
        return ok;
    };

    sim::Pool &pool = receiver.host.machine().pool();
    uint64_t allocationsBefore = pool.UsageOf(kTagKdlc).allocations;
    for (auto _ : state) {
        bool ok;
        if (readerWaiting) {
            ok = ReadOne(receiver.handle.get(), buffer, overlapped, +indicate, &context);
        } else {
            ok = indicate(&context) &&
                 ReadOne(receiver.handle.get(), buffer, overlapped, nullptr, nullptr);
        }
        if (!ok) {
            state.SkipWithError("a frame was not delivered");
            break;
        }
    }
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
    state.SetLabel(std::string(path == sim::ReceivePath::Packet ? "packet" : "lookahead") +
                   (readerWaiting ? ", reader waiting" : ", read after queueing"));
}
BENCHMARK(BM_ReceiveAndRead)
    ->ArgNames({"packet", "waiting", "bytes"})
    ->ArgsProduct({{0, 1}, {0, 1}, {60}})
    ->Args({0, 1, 1514})
    ->Args({1, 1, 1514})
    ->UseRealTime();

// The filter reads only Medium and CheckDSAP of the context.
std::unique_ptr<ADAPTER_CONTEXT> FilterContext(NDIS_MEDIUM medium)
{
    auto adapter = std::make_unique<ADAPTER_CONTEXT>();
    adapter->Medium = medium;
    adapter->CheckDSAP = TRUE;
    return adapter;
}

struct FilterCase {
    const char *name;
    NDIS_MEDIUM medium;
    fr::Bytes frame;
};

std::vector<FilterCase> FilterCases()
{
    fr::Llc xid{fr::kSapSna, fr::kSapSna, fr::kControlXid};
    fr::Llc nullSap{fr::kSapNull, fr::kSapSna, fr::kControlTest};
    fr::Bytes ipv4 = XidFrame(60);
    ipv4[12] = 0x08;
    ipv4[13] = 0x00;
    return {
        {"802.3 accepted", NdisMedium802_3, fr::Ethernet8023(kStation, kPeer, xid, fr::XidInformation())},
        {"802.3 DSAP 0x00 refused", NdisMedium802_3, fr::Ethernet8023(kStation, kPeer, nullSap)},
        {"type 0800 refused", NdisMedium802_3, ipv4},
        {"Token Ring routed accepted", NdisMedium802_5,
         fr::TokenRing(kStation, kPeer, xid, fr::XidInformation(), fr::RoutingInformation({0x0011, 0x0020}))},
    };
}

void BM_AcceptLookaheadFrame(benchmark::State &state)
{
    sim::Machine machine;
    FilterCase c = FilterCases()[static_cast<size_t>(state.range(0))];
    auto adapter = FilterContext(c.medium);
    size_t header = fr::IndicatedHeaderSize(c.medium, c.frame);
    for (auto _ : state) {
        BOOLEAN accepted = AcceptLookaheadFrame(adapter.get(), c.frame.data(), static_cast<UINT>(header),
                                                c.frame.data() + header,
                                                static_cast<UINT>(c.frame.size() - header));
        benchmark::DoNotOptimize(accepted);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(c.name);
}
BENCHMARK(BM_AcceptLookaheadFrame)->DenseRange(0, 3);

void BM_AcceptPacketFrame(benchmark::State &state)
{
    sim::Machine machine;
    FilterCase c = FilterCases()[static_cast<size_t>(state.range(0))];
    auto adapter = FilterContext(c.medium);
    // One mapped buffer, as a miniport indicates a frame from its receive area.
    MDL mdl{};
    mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
    mdl.MappedSystemVa = c.frame.data();
    mdl.StartVa = c.frame.data();
    mdl.ByteCount = static_cast<ULONG>(c.frame.size());
    auto storage = std::make_unique<uint8_t[]>(sizeof(NDIS_PACKET) + 32);
    auto *packet = new (storage.get()) NDIS_PACKET{};
    packet->Private.Head = packet->Private.Tail = &mdl;
    for (auto _ : state) {
        packet->Private.ValidCounts = FALSE;
        BOOLEAN accepted = AcceptPacketFrame(adapter.get(), packet);
        benchmark::DoNotOptimize(accepted);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(c.name);
}
BENCHMARK(BM_AcceptPacketFrame)->DenseRange(0, 3);

void BM_RejectDSAP(benchmark::State &state)
{
    sim::Machine machine;
    UCHAR dsap = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(RejectDSAP(dsap));
        ++dsap;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RejectDSAP);

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
