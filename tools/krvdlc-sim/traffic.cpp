// traffic.cpp - indicating outside frames on an adapter and accounting for them.
#include "tools/krvdlc-sim/traffic.h"

#include "sim/errorlog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace krvdlcsim {

const char *VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Accepted: return "accepted";
    case Verdict::FrameType: return "frame type";
    case Verdict::FrameControl: return "frame control";
    case Verdict::Dsap: return "DSAP";
    case Verdict::TooShort: return "too short";
    }
    return "?";
}

namespace {

constexpr size_t kMacHeader = 14;
constexpr uint16_t kLengthLimit = 0x0600;
constexpr uint16_t kSnaServices = 0x80D5;

bool DsapRefused(uint8_t dsap)
{
    return (dsap & 0x03) != 0 || dsap == 0xF0 || dsap == 0x00;
}

}  // namespace

Verdict Classify(const IndicationStyle &style, NDIS_MEDIUM medium, bool checkDsap, const sim::Frame &frame)
{
    auto dsap = [checkDsap](uint8_t value) { return checkDsap && DsapRefused(value) ? Verdict::Dsap : Verdict::Accepted; };
    size_t header = sim::MacHeaderSize(medium, frame);
    bool ethernet = medium == NdisMedium802_3;

    if (!style.wholePacket()) {
        // Header and lookahead as NDIS splits them; the DSAP is the first lookahead byte.
        size_t lookahead = std::min(style.lookaheadSize.value_or(frame.size()), frame.size() - header);
        if (ethernet) {
            if (header != kMacHeader)
                return Verdict::TooShort;
            uint16_t type = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
            if (type >= kLengthLimit && type != kSnaServices)
                return Verdict::FrameType;
            return lookahead < 2 ? Verdict::Accepted : dsap(frame[header]);
        }
        if (header <= 1)
            return Verdict::TooShort;
        if ((frame[1] & 0xC0) != 0x40)
            return Verdict::FrameControl;
        return lookahead == 0 ? Verdict::Accepted : dsap(frame[header]);
    }

    // Whole packets: the bytes are judged where the frame has them.
    if (ethernet) {
        if (frame.size() < kMacHeader)
            return Verdict::TooShort;
        uint16_t type = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
        if (type >= kLengthLimit && type != kSnaServices)
            return Verdict::FrameType;
        size_t offset = type < kLengthLimit ? kMacHeader : 17;
        return frame.size() <= offset ? Verdict::TooShort : dsap(frame[offset]);
    }
    if (frame.size() <= 1)
        return Verdict::TooShort;
    if ((frame[1] & 0xC0) != 0x40)
        return Verdict::FrameControl;
    if (frame.size() <= kMacHeader)
        return Verdict::TooShort;
    size_t offset = kMacHeader + ((frame[8] & 0x80) ? (frame[kMacHeader] & 0x1F) : 0);
    return frame.size() <= offset ? Verdict::TooShort : dsap(frame[offset]);
}

uint64_t TrafficCounts::RefusedTotal() const
{
    uint64_t total = 0;
    for (uint64_t count : refused)
        total += count;
    return total;
}

bool Injector::IndicateOne(const sim::Frame &frame)
{
    offered_++;
    if (!adapter_.IsOpen() || !adapter_.Accepts(frame)) {
        notIndicated_++;
        return false;
    }
    bool indicated;
    bool notAccepted = false;
    switch (style_.kind) {
    case IndicationStyle::Kind::Lookahead: {
        sim::ReceiveOptions options;
        options.lookaheadSize = style_.lookaheadSize;
        std::optional<NDIS_STATUS> status = adapter_.IndicateReceive(frame, options);
        indicated = status.has_value();
        notAccepted = status == NDIS_STATUS_NOT_ACCEPTED;
        break;
    }
    case IndicationStyle::Kind::Packet:
        indicated = adapter_.IndicatePacket(frame).has_value();
        break;
    case IndicationStyle::Kind::PacketResources: {
        sim::PacketOptions options;
        options.status = NDIS_STATUS_RESOURCES;
        indicated = adapter_.IndicatePacket(frame, options).has_value();
        break;
    }
    default:
        indicated = false;
    }
    if (!indicated) {   // unbound between the check and the indication
        notIndicated_++;
        return false;
    }
    indicated_++;
    Verdict verdict = Classify(style_, adapter_.Medium(), checkDsap_, frame);
    if (verdict == Verdict::Accepted) {
        accepted_++;
        if (notAccepted)
            noFreePacket_++;
    }
    else
        refused_[static_cast<int>(verdict)]++;
    return true;
}

void Injector::IndicateBurst(const sim::Frame *const *frames, size_t count)
{
    const auto start = std::chrono::steady_clock::now();
    bool any = false;
    for (size_t i = 0; i < count; ++i)
        any = IndicateOne(*frames[i]) || any;
    if (any)
        adapter_.IndicateReceiveComplete();
    const auto took = std::chrono::steady_clock::now() - start;
    busyNanoseconds_.store(busyNanoseconds_.load(std::memory_order_relaxed) +
                               static_cast<uint64_t>(std::chrono::nanoseconds(took).count()),
                           std::memory_order_relaxed);
    bursts_.store(bursts_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

TrafficCounts Injector::Counts() const
{
    TrafficCounts counts;
    counts.offered = offered_.load();
    counts.notIndicated = notIndicated_.load();
    counts.indicated = indicated_.load();
    counts.accepted = accepted_.load();
    counts.noFreePacket = noFreePacket_.load();
    counts.busyNanoseconds = busyNanoseconds_.load();
    counts.bursts = bursts_.load();
    for (int i = 0; i < 5; ++i)
        counts.refused[i] = refused_[i].load();
    return counts;
}

uint64_t QueueFullDrops(sim::Machine &machine)
{
    return machine.errorLog().CountWritten(u"Too many received packets have been queued");
}

std::string FormatReport(const TrafficReport &report)
{
    const TrafficCounts &c = report.counts;
    char line[256];
    std::string text = "krvdlc-sim: " + report.what + "\n";
    std::snprintf(line, sizeof line, "  offered %llu in %.3f s: indicated %llu, not indicated %llu (adapter's packet filter, runt or unbound)\n",
                  static_cast<unsigned long long>(c.offered), report.seconds,
                  static_cast<unsigned long long>(c.indicated), static_cast<unsigned long long>(c.notIndicated));
    text += line;
    if (c.indicated == 0 && c.notIndicated != 0)
        text += "  (no reader set a packet filter: give --deliver FILE or run a capture with --filter promiscuous)\n";
    std::snprintf(line, sizeof line, "  refused %llu: frame type %llu, frame control %llu, DSAP %llu, too short %llu\n",
                  static_cast<unsigned long long>(c.RefusedTotal()),
                  static_cast<unsigned long long>(c.refused[static_cast<int>(Verdict::FrameType)]),
                  static_cast<unsigned long long>(c.refused[static_cast<int>(Verdict::FrameControl)]),
                  static_cast<unsigned long long>(c.refused[static_cast<int>(Verdict::Dsap)]),
                  static_cast<unsigned long long>(c.refused[static_cast<int>(Verdict::TooShort)]));
    text += line;
    std::snprintf(line, sizeof line, "  accepted %llu: no free packet %llu, queue full %llu",
                  static_cast<unsigned long long>(c.accepted), static_cast<unsigned long long>(c.noFreePacket),
                  static_cast<unsigned long long>(report.queueFull));
    text += line;
    if (report.delivered) {
        uint64_t frames = *report.delivered - std::min(*report.delivered, report.deliveredEmpty);
        uint64_t unread = c.accepted - std::min(c.accepted, c.noFreePacket + report.queueFull + frames);
        std::snprintf(line, sizeof line, ", delivered %llu", static_cast<unsigned long long>(*report.delivered));
        text += line;
        if (report.deliveredEmpty != 0) {
            std::snprintf(line, sizeof line, " (%llu of them reads completed without a frame)",
                          static_cast<unsigned long long>(report.deliveredEmpty));
            text += line;
        }
        std::snprintf(line, sizeof line, ", dropped %llu (never read)\n", static_cast<unsigned long long>(unread));
        text += line;
    } else {
        text += " (give --deliver FILE to see what a reader gets)\n";
    }
    return text;
}

}  // namespace krvdlcsim
