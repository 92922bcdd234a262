// backends.h - where an adapter's outside frames come from: a capture file replayed in
// its own time or as fast as possible, or a live Linux interface through an AF_PACKET
// socket (frames it receives are indicated, frames the adapter sends go out on it).
#pragma once

#include "tools/krvdlc-sim/traffic.h"

#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace krvdlcsim {

inline constexpr uint32_t kLinkTypeEthernet = 1;
inline constexpr uint32_t kLinkTypeTokenRing = 6;

struct CaptureRecord {
    sim::Frame frame;
    std::chrono::microseconds at{0};   // since the first frame
};

struct Capture {
    uint32_t linkType = kLinkTypeEthernet;
    std::vector<CaptureRecord> records;
};

// Whether this build reads capture files (the 32-bit build has no libpcap).
bool CaptureReplaySupported();
// Reads a pcap or pcapng file of link type 1 (Ethernet) or 6 (Token Ring) through libpcap;
// throws std::runtime_error naming the file and the fault.
Capture ReadCapture(const std::string &path);
NDIS_MEDIUM MediumOfLinkType(uint32_t linkType);
// The link type alone, from the file's header (throws as ReadCapture does).
uint32_t CaptureLinkType(const std::string &path);

// When the frames of a paced replay go out: each at its capture time since the start,
// those whose time has passed at once. A replay that fell behind (its thread was not
// scheduled) catches up in bursts, as a NIC hands its DPC what its ring gathered during a
// stall, but no faster than 1.5 times the capture's pace over any kMaxBurst frames (they
// take at least two thirds of their recorded time): the driver's 16-frame receive queue
// takes frames only as fast as its reader empties it.
class ReplayClock {
public:
    using Clock = std::chrono::steady_clock;
    explicit ReplayClock(Clock::time_point start) : start_(start) {}
    // When the frame recorded `at` after the first may go, those before it having gone.
    Clock::time_point Due(std::chrono::microseconds at) const;
    // The frame recorded `at` went at `when`; frames go in their order.
    void Went(std::chrono::microseconds at, Clock::time_point when);

private:
    struct Sent {
        std::chrono::microseconds at{0};
        Clock::time_point when{};
    };
    Clock::time_point start_;
    std::array<Sent, kMaxBurst> latest_{};   // a ring: the oldest at `oldest_` once full
    size_t sent_ = 0;
    size_t oldest_ = 0;
};

// Indicates `count` records on `injector`, each when `clock` has it due, in bursts of the
// frames due within kModeration of the burst's first; returns early once `stop` is set. As
// fast as possible, every frame is due at once.
void IndicatePaced(Injector &injector, ReplayClock &clock, const CaptureRecord *records, size_t count,
                   const std::atomic<bool> &stop, bool asFastAsPossible);

// Indicates the frames of a capture on a thread of its own, spaced as recorded (see
// ReplayClock) unless as fast as possible. Stop ends it early.
class ReplayBackend {
public:
    ReplayBackend(Injector &injector, Capture capture, bool asFastAsPossible);
    ~ReplayBackend();
    ReplayBackend(const ReplayBackend &) = delete;
    ReplayBackend &operator=(const ReplayBackend &) = delete;

    void Start();
    void Wait();
    void Stop();
    double Seconds() const { return seconds_; }

private:
    Injector &injector_;
    Capture capture_;
    bool asFastAsPossible_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    double seconds_ = 0;
};

// Error of opening a live interface; `permission` is set when the fault is a missing
// CAP_NET_RAW.
struct LiveError : std::runtime_error {
    LiveError(const std::string &what, bool permission) : std::runtime_error(what), permission(permission) {}
    bool permission;
};

// An AF_PACKET socket bound to one Linux interface.
class LiveBackend {
public:
    // Opens the interface (throws LiveError) and learns its MAC address.
    explicit LiveBackend(const std::string &interfaceName);
    ~LiveBackend();
    LiveBackend(const LiveBackend &) = delete;
    LiveBackend &operator=(const LiveBackend &) = delete;

    const sim::MacAddress &address() const { return address_; }
    // Frames the interface receives go to `injector`; frames its adapter sends on `segment`
    // go out on the interface.
    void Start(Injector &injector, sim::Segment &segment);
    void Stop();

    uint64_t FramesSent() const { return sent_.load(); }
    uint64_t SendFailures() const { return sendFailures_.load(); }
    // Frames the interface received that the kernel dropped because the socket was full
    // (krvdlc-sim did not take them fast enough); so far.
    uint64_t SocketDrops();

private:
    void ReceiveLoop(Injector &injector);

    std::string name_;
    int socket_ = -1;
    int index_ = 0;
    sim::MacAddress address_{};
    sim::Segment *segment_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0}, sendFailures_{0};
    uint64_t socketDrops_ = 0;
    std::thread thread_;
};

}  // namespace krvdlcsim
