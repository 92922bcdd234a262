// replay_backend.cpp - capture files read through libpcap (pcap and pcapng) and replayed
// on an adapter. Builds without libpcap (the 32-bit one) say so when asked to replay.
#include "tools/krvdlc-sim/backends.h"

#include "sim/spin_wait.h"

#ifdef KRVDLC_HAVE_PCAP
#include <pcap/pcap.h>
#endif

namespace krvdlcsim {

NDIS_MEDIUM MediumOfLinkType(uint32_t linkType)
{
    return linkType == kLinkTypeTokenRing ? NdisMedium802_5 : NdisMedium802_3;
}

#ifdef KRVDLC_HAVE_PCAP

bool CaptureReplaySupported() { return true; }

namespace {

using PcapHandle = std::unique_ptr<pcap_t, void (*)(pcap_t *)>;

PcapHandle OpenCapture(const std::string &path, uint32_t &linkType)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    PcapHandle pcap(pcap_open_offline(path.c_str(), message), pcap_close);
    if (!pcap)
        throw std::runtime_error("cannot read the capture " + path + ": " + message);
    linkType = static_cast<uint32_t>(pcap_datalink(pcap.get()));
    if (linkType != kLinkTypeEthernet && linkType != kLinkTypeTokenRing)
        throw std::runtime_error(path + " has link type " + std::to_string(linkType) +
                                 "; krvdlc-sim replays Ethernet (1) and Token Ring (6) captures");
    return pcap;
}

}  // namespace

uint32_t CaptureLinkType(const std::string &path)
{
    uint32_t linkType = 0;
    OpenCapture(path, linkType);
    return linkType;
}

Capture ReadCapture(const std::string &path)
{
    Capture capture;
    PcapHandle pcap = OpenCapture(path, capture.linkType);
    std::optional<std::chrono::microseconds> first;
    for (;;) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        int result = pcap_next_ex(pcap.get(), &header, &data);
        if (result == PCAP_ERROR_BREAK)
            break;
        if (result != 1)
            throw std::runtime_error("cannot read frame " + std::to_string(capture.records.size() + 1) + " of " + path +
                                     ": " + pcap_geterr(pcap.get()));
        std::chrono::microseconds at(static_cast<int64_t>(header->ts.tv_sec) * 1000000 + header->ts.tv_usec);
        if (!first)
            first = at;
        // A stamp before the first frame's (files that other tools merged) replays at once.
        capture.records.push_back({sim::Frame(data, data + header->caplen), std::max(at - *first, std::chrono::microseconds(0))});
    }
    return capture;
}

#else

bool CaptureReplaySupported() { return false; }

uint32_t CaptureLinkType(const std::string &path)
{
    return ReadCapture(path).linkType;
}

Capture ReadCapture(const std::string &path)
{
    throw std::runtime_error("cannot replay " + path + ": this krvdlc-sim is built without libpcap (the 32-bit "
                             "build); use the 64-bit one, build/host/tools/krvdlc-sim/krvdlc-sim");
}

#endif

ReplayBackend::ReplayBackend(Injector &injector, Capture capture, bool asFastAsPossible)
    : injector_(injector), capture_(std::move(capture)), asFastAsPossible_(asFastAsPossible)
{
}

ReplayBackend::~ReplayBackend()
{
    Stop();
    Wait();
}

ReplayClock::Clock::time_point ReplayClock::Due(std::chrono::microseconds at) const
{
    Clock::time_point due = start_ + at;
    if (sent_ < latest_.size())
        return due;
    const Sent &oldest = latest_[oldest_];
    return std::max(due, oldest.when + (at - oldest.at) * 2 / 3);
}

void ReplayClock::Went(std::chrono::microseconds at, Clock::time_point when)
{
    latest_[oldest_] = {at, when};
    oldest_ = (oldest_ + 1) % latest_.size();
    sent_++;
}

void IndicatePaced(Injector &injector, ReplayClock &clock, const CaptureRecord *records, size_t count,
                   const std::atomic<bool> &stop, bool asFastAsPossible)
{
    using Clock = ReplayClock::Clock;
    std::array<const sim::Frame *, kMaxBurst> burst{};
    for (size_t next = 0; next < count && !stop.load(std::memory_order_relaxed);) {
        Clock::time_point now = Clock::now();
        if (!asFastAsPossible) {
            // Long gaps are slept; gaps of microseconds (a saturated link) are spun
            // through (SpinWait yields: on a busy machine the reader may be waiting for
            // this very processor).
            Clock::time_point due = clock.Due(records[next].at);
            sim::SpinWait wait;
            for (; now < due && !stop.load(std::memory_order_relaxed); now = Clock::now()) {
                if (due - now > std::chrono::milliseconds(2))
                    std::this_thread::sleep_for(std::min<Clock::duration>(due - now - std::chrono::milliseconds(1),
                                                                          std::chrono::milliseconds(50)));
                else
                    wait.Pause();
            }
        }
        // The frames due within the moderation window go with it, each at its own time:
        // one receive-complete for them all.
        const Clock::time_point windowEnd = now + kModeration;
        size_t size = 0;
        for (;;) {
            clock.Went(records[next].at, now);
            burst[size++] = &records[next++].frame;
            if (next == count || size == kMaxBurst)
                break;
            if (asFastAsPossible)
                continue;
            Clock::time_point due = clock.Due(records[next].at);
            if (due > windowEnd)
                break;
            for (sim::SpinWait wait; now < due; now = Clock::now())
                wait.Pause();
        }
        injector.IndicateBurst(burst.data(), size);
    }
}

void ReplayBackend::Start()
{
    thread_ = std::thread([this] {
        ReplayClock::Clock::time_point start = ReplayClock::Clock::now();
        ReplayClock clock(start);
        IndicatePaced(injector_, clock, capture_.records.data(), capture_.records.size(), stop_, asFastAsPossible_);
        seconds_ = std::chrono::duration<double>(ReplayClock::Clock::now() - start).count();
    });
}

void ReplayBackend::Wait()
{
    if (thread_.joinable())
        thread_.join();
}

void ReplayBackend::Stop()
{
    stop_.store(true);
}

}  // namespace krvdlcsim
