// live_backend.cpp - an adapter on a live Linux interface through an AF_PACKET socket.
#include "tools/krvdlc-sim/backends.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace krvdlcsim {

namespace {

// Receive polls wake this often to see a stop.
constexpr int kPollMs = 50;
constexpr size_t kLargestFrame = 65536;

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

void LiveBackend::ReceiveLoop(Injector &injector)
{
    std::vector<uint8_t> buffer(kLargestFrame);
    while (!stop_.load()) {
        pollfd ready{socket_, POLLIN, 0};
        if (::poll(&ready, 1, kPollMs) <= 0)
            continue;
        sockaddr_ll from{};
        socklen_t fromSize = sizeof from;
        ssize_t size = ::recvfrom(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr *>(&from), &fromSize);
        // The socket also sees what this adapter sent: that is not received traffic.
        if (size <= 0 || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        injector.Indicate(sim::Frame(buffer.begin(), buffer.begin() + size));
    }
}

}  // namespace krvdlcsim
