// write_bench.cpp - the write path of KRVDLC in the simulated machine, and the copy limit
// every row of the table is set beside.
//
// BM_Write: one frame written on an overlapped handle and waited for, per iteration: the
//   write dispatch routine, the send, its completion and the write's completion. Counter:
//   pool blocks (tag Kdlc) allocated per frame.
// BM_Memcpy: one plain memcpy of a frame shape's size, the least a driver that copies the
//   frame once can cost.
#include "bench/instruction_window.h"
#include "bench/station.h"

#include "sim/pool.h"
#include "sim/win32.h"

#include <cstring>
#include <string>
#include <vector>

namespace krvdlc::bench {
namespace {

namespace w = sim::win32;

constexpr uint32_t kTagKdlc = sim::PoolTag("Kdlc");

// Writes one frame on an overlapped handle and waits for its completion.
bool WriteOne(w::HANDLE handle, const fr::Bytes &frame, w::OVERLAPPED &overlapped)
{
    w::DWORD bytes = 0;
    w::BOOL ok = w::WriteFile(handle, frame.data(), static_cast<w::DWORD>(frame.size()), nullptr,
                              &overlapped);
    if (!ok && w::GetLastError() != w::ERROR_IO_PENDING)
        return false;
    return w::GetOverlappedResult(handle, &overlapped, &bytes, TRUE) != FALSE && bytes == frame.size();
}

// Arguments: frame shape, trace.
void BM_Write(benchmark::State &state)
{
    const FrameShape &shape = Shape(state.range(0));
    fr::Bytes frame = TestFrame(shape, kPeer, kStation);
    Station station(shape.medium, sim::ReceivePath::Packet, state.range(1) != 0);

    std::string label = std::string("write, ") + shape.name + ", " + TraceName(state.range(1));
    sim::Pool &pool = station.host.machine().pool();
    uint64_t allocationsBefore = pool.UsageOf(kTagKdlc).allocations;
    w::OVERLAPPED overlapped{};
    overlapped.hEvent = w::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    InstructionWindow window(label);
    for (auto _ : state) {
        if (!WriteOne(station.handle.get(), frame, overlapped)) {
            state.SkipWithError("a write failed");
            break;
        }
    }
    window.Close(state.iterations());
    w::CloseHandle(overlapped.hEvent);
    double frames = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
    if (frames > 0)
        state.counters["pool_blocks/frame"] =
            static_cast<double>(pool.UsageOf(kTagKdlc).allocations - allocationsBefore) / frames;
    state.SetLabel(label);
}
BENCHMARK(BM_Write)
    ->ArgNames({"shape", "trace"})
    ->ArgsProduct({benchmark::CreateDenseRange(0, kShapeCount - 1, 1), {0, 1}})
    ->UseRealTime()
    ->Apply([](benchmark::internal::Benchmark *b) { Counted(b); });

// Argument: frame shape.
void BM_Memcpy(benchmark::State &state)
{
    const FrameShape &shape = Shape(state.range(0));
    std::vector<uint8_t> source(shape.bytes, 0x5A);
    std::vector<uint8_t> destination(shape.bytes);
    std::string label = std::string("memcpy, ") + shape.name;
    InstructionWindow window(label);
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.data());
        std::memcpy(destination.data(), source.data(), source.size());
        benchmark::ClobberMemory();
    }
    window.Close(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(shape.bytes));
    state.SetLabel(label);
}
BENCHMARK(BM_Memcpy)
    ->ArgName("shape")
    ->DenseRange(0, kShapeCount - 1)
    ->Apply([](benchmark::internal::Benchmark *b) { Counted(b); });

}  // namespace
}  // namespace krvdlc::bench
