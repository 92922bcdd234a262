// ndis_segment.cpp - a LAN segment that carries the frames the protocol sends on one
// adapter to the other adapters, and the MAC addressing rules of the media.
#include "sim/ndis_state.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

MacAddress FrameDestination(NDIS_MEDIUM medium, const Frame &frame)
{
    // Token Ring frames begin with access control and frame control.
    size_t offset = medium == NdisMedium802_5 ? 2 : 0;
    MacAddress address{};
    if (frame.size() >= offset + address.size())
        std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(offset), address.size(), address.begin());
    return address;
}

bool IsGroupAddress(NDIS_MEDIUM medium, const MacAddress &address)
{
    // Token Ring writes addresses most significant bit first: the group bit is 0x80.
    return medium == NdisMedium802_5 ? (address[0] & 0x80) != 0 : (address[0] & 0x01) != 0;
}

bool IsBroadcastAddress(NDIS_MEDIUM medium, const MacAddress &address)
{
    static constexpr MacAddress kAllOnes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    static constexpr MacAddress kTokenRingBroadcast{0xC0, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    return address == kAllOnes || (medium == NdisMedium802_5 && address == kTokenRingBroadcast);
}

size_t MacHeaderSize(NDIS_MEDIUM medium, const Frame &frame)
{
    size_t size = 14;
    if (medium == NdisMedium802_5 && frame.size() > 14 && (frame[8] & 0x80) != 0)
        size += frame[14] & 0x1F;
    return std::min(size, frame.size());
}

Segment::Segment(NdisState &state) : state_(state) {}

void Segment::Attach(Adapter &adapter)
{
    std::lock_guard lock(state_.mutex);
    if (adapter.segment_ != nullptr)
        throw std::logic_error("the adapter is already on a segment");
    if (!stations_.empty() && stations_.front()->Medium() != adapter.Medium())
        throw std::invalid_argument("the stations of a segment share one medium");
    stations_.push_back(&adapter);
    adapter.segment_ = this;
}

void Segment::Detach(Adapter &adapter)
{
    std::lock_guard lock(state_.mutex);
    auto found = std::find(stations_.begin(), stations_.end(), &adapter);
    if (found == stations_.end())
        return;
    stations_.erase(found);
    adapter.segment_ = nullptr;
}

std::vector<Adapter *> Segment::Stations() const
{
    std::lock_guard lock(state_.mutex);
    return stations_;
}

uint64_t Segment::FramesCarried() const
{
    std::lock_guard lock(state_.mutex);
    return carried_;
}

uint64_t Segment::Deliveries() const
{
    std::lock_guard lock(state_.mutex);
    return deliveries_;
}

void Segment::SetWire(Wire wire)
{
    auto installed = wire ? std::make_shared<const Wire>(std::move(wire)) : nullptr;
    std::lock_guard lock(state_.mutex);
    wire_ = std::move(installed);
}

void Segment::Carry(const Adapter &sender, const Frame &frame)
{
    std::vector<Adapter *> receivers;
    std::shared_ptr<const Wire> wire;
    {
        std::lock_guard lock(state_.mutex);
        carried_++;
        wire = wire_;
        for (Adapter *station : stations_) {
            if (station != &sender)
                receivers.push_back(station);
        }
    }
    // Called without the NDIS mutex: the wire may block briefly on a socket.
    if (wire)
        (*wire)(sender, frame);
    for (Adapter *station : receivers) {
        if (!station->Accepts(frame) || !station->IsOpen())
            continue;
        {
            std::lock_guard lock(state_.mutex);
            deliveries_++;
        }
        station->DeliverFromSegment(frame);
    }
}

}  // namespace sim
