// station.h - what the driver benchmarks share: the frame shapes of the table (64 and
// 1514 bytes on Ethernet, 4000 bytes on Token Ring), the frames themselves and a loaded
// driver with one bound, opened adapter.
#pragma once

#include "tools/common/frames.h"
#include "tools/common/simulated_host.h"

#include "sim/files.h"
#include "sim/io_manager.h"
#include "sim/ndis.h"

#include "core/krvdlc.h"

#include <filesystem>
#include <string>

namespace krvdlc::bench {

namespace fr = krvdlc::frames;

inline const fr::MacAddress kStation = {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01};
inline const fr::MacAddress kPeer = {0x02, 0x00, 0x4B, 0x52, 0x00, 0x02};

struct FrameShape {
    const char *name;
    NDIS_MEDIUM medium;
    size_t bytes;
};

// Benchmark argument "shape" indexes this table.
inline constexpr FrameShape kShapes[] = {
    {"64", NdisMedium802_3, 64},
    {"1514", NdisMedium802_3, 1514},
    {"TR 4000", NdisMedium802_5, 4000},
};
inline constexpr int64_t kShapeCount = 3;

inline const FrameShape &Shape(int64_t index) { return kShapes[static_cast<size_t>(index)]; }

// A TEST frame to `destination` with SNA SAPs, filled with information up to the shape's
// size; DSAP as given (the null SAP is refused by the DSAP check).
inline fr::Bytes TestFrame(const FrameShape &shape, const fr::MacAddress &destination,
                           const fr::MacAddress &source, uint8_t dsap = fr::kSapSna)
{
    fr::Llc llc{dsap, fr::kSapSna, fr::kControlTest};
    constexpr size_t kHeaderAndLlc = 14 + 3;   // Ethernet and Token Ring without routing alike
    fr::Bytes information(shape.bytes - kHeaderAndLlc, 0x5A);
    if (shape.medium == NdisMedium802_5)
        return fr::TokenRing(destination, source, llc, information);
    return fr::Ethernet8023(destination, source, llc, information);
}

// Benchmark argument "trace": 0 tracing off, 1 level 4 to the trace file.
inline constexpr uint32_t kTraceLevelToFile = 0x44;

inline const char *TraceName(int64_t trace) { return trace != 0 ? "trace 4 to file" : "trace off"; }

// A loaded driver with one bound adapter of `medium`, receiving through `path`, opened
// for overlapped I/O.
struct Station {
    krvdlc::SimulatedHost host;
    sim::Adapter *adapter = nullptr;
    krvdlc::DeviceHandle handle;

    Station(NDIS_MEDIUM medium, sim::ReceivePath path, bool traceToFile)
        : host(Options(traceToFile))
    {
        // The trace file lives in \SystemRoot\trace, which a fresh system root lacks.
        std::filesystem::create_directories(host.machine().files().Root() / "trace");
        host.Load();
        adapter = &host.AddAdapter(u"{4B520001-0000-0000-0000-000000000001}", medium, kStation);
        adapter->SetReceivePath(path);
        adapter->Bind();
        host.ndis().IndicateBindsComplete();
        handle = host.Open(krvdlc::SimulatedHost::AdapterFileName(*adapter), true);
    }
    ~Station()
    {
        handle.Close();
        host.machine().io().WaitForDeferredCloses();
        adapter->Unbind();
    }
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

private:
    static krvdlc::HostOptions Options(bool traceToFile)
    {
        krvdlc::HostOptions options;
        if (traceToFile)
            options.traceLevel = kTraceLevelToFile;
        return options;
    }
};

}  // namespace krvdlc::bench
