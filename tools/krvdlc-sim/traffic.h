// traffic.h - frames from beyond the simulated machine (a capture file, a live interface)
// indicated on an adapter in its indication style, and the account of what became of them.
//
// The account: a frame the adapter's own receive filter (packet filter, runt) or an
// unbound adapter stops is not indicated; an indicated frame is refused by the driver for
// a reason the filter rules give (Classify), or accepted; an accepted frame is lost for
// want of a packet (the lookahead handler answers NDIS_STATUS_NOT_ACCEPTED), dropped on a
// full receive queue (the driver's own event-log entries count these), delivered to a
// reader, or never read.
#pragma once

#include "tools/krvdlc-sim/topology.h"

#include "sim/ndis.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace krvdlcsim {

// Why the driver refuses a frame, by the rules of its filter for the style it arrives in.
enum class Verdict {
    Accepted,
    FrameType,      // Ethernet type other than a length or 0x80D5
    FrameControl,   // Token Ring frame that is not LLC (MAC frames among them)
    Dsap,           // DSAP refused by the DSAP check
    TooShort,       // the byte to judge (type, frame control, DSAP) is missing
};
const char *VerdictName(Verdict verdict);

Verdict Classify(const IndicationStyle &style, NDIS_MEDIUM medium, bool checkDsap, const sim::Frame &frame);

struct TrafficCounts {
    uint64_t offered = 0;        // frames the backend had
    uint64_t notIndicated = 0;   // stopped by the adapter's receive filter, or unbound
    uint64_t indicated = 0;
    uint64_t refused[5] = {};    // by Verdict (Accepted unused)
    uint64_t accepted = 0;
    uint64_t noFreePacket = 0;   // accepted, yet the lookahead handler had no packet for it
    // Time the source spent in the driver's receive handlers (indications and
    // receive-completes, with the deliveries they made): how near it came to its limit.
    uint64_t busyNanoseconds = 0;
    uint64_t bursts = 0;         // IndicateBurst calls (one receive-complete for each)

    uint64_t RefusedTotal() const;
};

// The most frames a backend indicates before one receive-complete: half the driver's
// 16-frame receive queue, and at line rate the frames of about 50 us.
constexpr size_t kMaxBurst = 8;
// Interrupt moderation: as a NIC raises one interrupt for the frames of a short window, a
// paced source indicates the frames due within this time of a burst's first with it. Its
// thread then carries one delivery into a waiting read per burst, not one per frame, and
// the reader takes the rest from the queue on its own processor. About 4 frames at line rate.
constexpr std::chrono::microseconds kModeration{25};

// Indicates frames on one adapter in its style, and counts them. IndicateBurst may be
// called from any thread outside the simulated machine, one at a time.
class Injector {
public:
    Injector(sim::Adapter &adapter, IndicationStyle style, bool checkDsap)
        : adapter_(adapter), style_(style), checkDsap_(checkDsap)
    {
    }

    // Frames that arrived together, as a NIC's receive interrupt hands them to its DPC:
    // for each, the adapter's receive filter first, as a NIC would apply it, then the
    // indication; then one receive-complete for the lot, as a miniport calls it once per
    // DPC. The driver delivers one frame to a waiting read at receive-complete and queues
    // the rest for the reader's next reads, so a burst must stay below its receive queue.
    void IndicateBurst(const sim::Frame *const *frames, size_t count);
    TrafficCounts Counts() const;
    sim::Adapter &adapter() { return adapter_; }

private:
    bool IndicateOne(const sim::Frame &frame);   // true when the driver saw it

    sim::Adapter &adapter_;
    IndicationStyle style_;
    bool checkDsap_;
    std::atomic<uint64_t> offered_{0}, notIndicated_{0}, indicated_{0}, accepted_{0}, noFreePacket_{0};
    std::atomic<uint64_t> refused_[5] = {};
    std::atomic<uint64_t> busyNanoseconds_{0}, bursts_{0};   // written by the indicating thread alone
};

// Receive-queue drops the driver has logged so far (its "Too many received packets"
// event-log entries).
uint64_t QueueFullDrops(sim::Machine &machine);

// The summary krvdlc-sim prints after a replay or a live run.
struct TrafficReport {
    std::string what;            // "replay of mixed.pcap on station 1 (eth1, packet)"
    TrafficCounts counts;
    uint64_t queueFull = 0;
    std::optional<uint64_t> delivered;   // frames a reader took (known with --deliver)
    uint64_t deliveredEmpty = 0;         // of them, reads that completed without a byte
    double seconds = 0;
};
std::string FormatReport(const TrafficReport &report);

}  // namespace krvdlcsim
