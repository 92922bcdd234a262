// live_backend.cpp - an adapter on a live Linux interface through an AF_PACKET socket.
#include "tools/krvdlc-sim/backends.h"

#include "sim/spin_wait.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace krvdlcsim {

namespace {

// Receive polls wake this often to see a stop.
constexpr int kPollMs = 50;
constexpr size_t kLargestFrame = 65536;
// Frames taken from the socket per call: at line rate they come in bursts, and one call
// for each would cost more than the frame.
constexpr size_t kBatch = 32;
// Room in the socket for the frames of some milliseconds at line rate, for the times the
// receive thread is not scheduled.
constexpr int kReceiveBufferBytes = 8 << 20;

// The wall clock's reading of one moment and the steady clock's, taken once per batch of
// frames: a kernel stamp is placed on the steady clock by its distance from them.
struct ClockPair {
    std::chrono::system_clock::time_point wall = std::chrono::system_clock::now();
    ReplayClock::Clock::time_point steady = ReplayClock::Clock::now();
};

// When the kernel stamped the frame of `message` (SO_TIMESTAMPNS), on the steady clock.
std::optional<ReplayClock::Clock::time_point> ArrivalOf(const msghdr &message, const ClockPair &now)
{
    for (cmsghdr *control = CMSG_FIRSTHDR(&message); control != nullptr;
         control = CMSG_NXTHDR(const_cast<msghdr *>(&message), control)) {
        if (control->cmsg_level != SOL_SOCKET || control->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(control), sizeof stamp);
        auto since = now.wall.time_since_epoch() -
                     (std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec));
        // A stamp from the future (the wall clock was set back) is taken as now: it must
        // not hold the frame back.
        auto ago = std::max(std::chrono::duration_cast<ReplayClock::Clock::duration>(since),
                            ReplayClock::Clock::duration::zero());
        return now.steady - ago;
    }
    return std::nullopt;
}

}  // namespace

LiveBackend::LiveBackend(const std::string &interfaceName) : name_(interfaceName)
{
    if (interfaceName.empty() || interfaceName.size() >= IFNAMSIZ)
        throw LiveError("--live: no interface is named \"" + interfaceName + "\" (ip link lists them)", false);
    socket_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (socket_ < 0) {
        int error = errno;
        bool permission = error == EPERM || error == EACCES;
        throw LiveError("--live " + interfaceName + ": cannot open a packet socket: " + std::strerror(error) +
                            (permission ? "; it needs root or CAP_NET_RAW (sudo, or setcap cap_net_raw+ep on krvdlc-sim)" : ""),
                        permission);
    }
    ifreq request{};
    std::memcpy(request.ifr_name, interfaceName.c_str(), interfaceName.size() + 1);
    if (::ioctl(socket_, SIOCGIFINDEX, &request) < 0) {
        ::close(socket_);
        throw LiveError("--live: no interface is named " + interfaceName + " (ip link lists them)", false);
    }
    index_ = request.ifr_ifindex;
    if (::ioctl(socket_, SIOCGIFHWADDR, &request) < 0 || request.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        ::close(socket_);
        throw LiveError("--live " + interfaceName + ": not an Ethernet interface; KRVDLC's live adapters are Ethernet", false);
    }
    std::memcpy(address_.data(), request.ifr_hwaddr.sa_data, address_.size());
    sockaddr_ll bound{};
    bound.sll_family = AF_PACKET;
    bound.sll_protocol = htons(ETH_P_ALL);
    bound.sll_ifindex = index_;
    // Root may go past the system's limit (SO_RCVBUFFORCE); others get what it allows.
    if (::setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) < 0)
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    // Each frame's arrival, so that a backlog goes to the driver spaced as it came.
    int on = 1;
    ::setsockopt(socket_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (::bind(socket_, reinterpret_cast<sockaddr *>(&bound), sizeof bound) < 0) {
        int error = errno;
        ::close(socket_);
        throw LiveError("--live " + interfaceName + ": cannot bind the packet socket: " + std::strerror(error), false);
    }
}

LiveBackend::~LiveBackend()
{
    Stop();
    ::close(socket_);
}

void LiveBackend::Start(Injector &injector, sim::Segment &segment)
{
    const sim::Adapter *own = &injector.adapter();
    segment_ = &segment;
    segment.SetWire([this, own](const sim::Adapter &sender, const sim::Frame &frame) {
        if (&sender != own)
            return;
        if (::send(socket_, frame.data(), frame.size(), MSG_DONTWAIT) == static_cast<ssize_t>(frame.size()))
            sent_++;
        else
            sendFailures_++;
    });
    thread_ = std::thread([this, &injector] { ReceiveLoop(injector); });
}

void LiveBackend::Stop()
{
    if (segment_) {
        segment_->SetWire({});
        segment_ = nullptr;
    }
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
}

uint64_t LiveBackend::SocketDrops()
{
    tpacket_stats stats{};
    socklen_t size = sizeof stats;
    // The kernel counts from the last query on: add up.
    if (::getsockopt(socket_, SOL_PACKET, PACKET_STATISTICS, &stats, &size) == 0)
        socketDrops_ += stats.tp_drops;
    return socketDrops_;
}

void LiveBackend::ReceiveLoop(Injector &injector)
{
    using Clock = ReplayClock::Clock;
    // Buffers and headers made once: the loop allocates nothing per frame.
    std::vector<uint8_t> buffers(kBatch * kLargestFrame);
    std::array<iovec, kBatch> vectors{};
    std::array<sockaddr_ll, kBatch> senders{};
    std::array<mmsghdr, kBatch> messages{};
    std::array<std::array<char, CMSG_SPACE(sizeof(timespec))>, kBatch> stamps{};
    std::array<CaptureRecord, kBatch> records;
    for (CaptureRecord &record : records)
        record.frame.reserve(kLargestFrame);
    // Frames go to the driver as they arrived, in bursts of those due together: a loop
    // that was not scheduled for a while catches up as a replay does (ReplayClock), rather
    // than indicating the socket's backlog back to back past the driver's queue.
    std::optional<ReplayClock> clock;
    Clock::time_point origin{};
    // Takes what the socket holds into the slots from `first` on.
    auto receive = [&](size_t first) {
        for (size_t i = first; i < kBatch; ++i) {
            vectors[i] = {buffers.data() + i * kLargestFrame, kLargestFrame};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_control = stamps[i].data();
            messages[i].msg_hdr.msg_controllen = stamps[i].size();
        }
        int got = ::recvmmsg(socket_, messages.data() + first, static_cast<unsigned>(kBatch - first),
                             MSG_DONTWAIT, nullptr);
        return got > 0 ? static_cast<size_t>(got) : 0;
    };
    // While frames flow, the next read comes straight after the last: a poll before each
    // would cost a system call per frame at line rate. Only an empty read polls again.
    bool flowing = false;
    while (!stop_.load()) {
        pollfd ready{socket_, POLLIN, 0};
        if (!flowing && ::poll(&ready, 1, kPollMs) <= 0)
            continue;
        size_t received = receive(0);
        flowing = received > 0;
        if (!flowing)
            continue;
        const ClockPair now;    // places the stamps of this read and of its moderation's
        if (received < kMaxBurst) {
            // Moderation, as the replay does it: the frames that follow the first within
            // kModeration go with it.
            const Clock::time_point windowEnd = ArrivalOf(messages[0].msg_hdr, now).value_or(now.steady) + kModeration;
            for (sim::SpinWait wait; Clock::now() < windowEnd && !stop_.load(std::memory_order_relaxed);)
                wait.Pause();
            received += receive(received);
        }
        size_t count = 0;
        for (size_t i = 0; i < received; ++i) {
            // The socket also sees what this adapter sent: that is not received traffic.
            if (messages[i].msg_len == 0 || senders[i].sll_pkttype == PACKET_OUTGOING)
                continue;
            Clock::time_point arrived = ArrivalOf(messages[i].msg_hdr, now).value_or(now.steady);
            if (!clock) {
                origin = arrived;
                clock.emplace(origin);
            }
            const uint8_t *data = static_cast<const uint8_t *>(vectors[i].iov_base);
            records[count].frame.assign(data, data + messages[i].msg_len);
            records[count].at = std::max(std::chrono::duration_cast<std::chrono::microseconds>(arrived - origin),
                                         std::chrono::microseconds(0));
            count++;
        }
        if (count != 0)
            IndicatePaced(injector, *clock, records.data(), count, stop_, false);
    }
}

}  // namespace krvdlcsim
