// ndis_segment.h - a simulated LAN segment joining adapters.
//
// A frame that the protocol sends on an attached adapter is carried, on the DPC thread,
// to every other station whose receive filter accepts it (directed frames to the
// station's address, broadcast and multicast frames by the matching filter bits,
// everything in promiscuous mode, nothing with a filter of 0). Each station indicates
// it through its configured receive path followed by a receive-complete indication; the
// sender's send then completes.
#pragma once

#include "sim/ndis_adapter.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace sim {

class Segment {
public:
    explicit Segment(NdisState &state);
    Segment(const Segment &) = delete;
    Segment &operator=(const Segment &) = delete;

    // An adapter joins at most one segment; every station of a segment has one medium.
    void Attach(Adapter &adapter);
    void Detach(Adapter &adapter);
    std::vector<Adapter *> Stations() const;
    // Frames carried so far, and deliveries made (one per accepting station).
    uint64_t FramesCarried() const;
    uint64_t Deliveries() const;

    // DPC thread: hands `frame`, sent on `sender`, to the other stations.
    void Carry(const Adapter &sender, const Frame &frame);

    // A wire beyond the simulated machine (a live interface, a recorder): sees every frame
    // carried, with its sender, on the DPC thread before the stations do. One at a time;
    // an empty function removes it.
    using Wire = std::function<void(const Adapter &sender, const Frame &frame)>;
    void SetWire(Wire wire);

private:
    NdisState &state_;
    std::vector<Adapter *> stations_;   // guarded by the NDIS state mutex
    std::shared_ptr<const Wire> wire_;  // guarded by the NDIS state mutex
    uint64_t carried_ = 0;
    uint64_t deliveries_ = 0;
};

// Destination address of a frame on a medium (Token Ring: after AC and FC), and whether
// it is a group (multicast) or the broadcast address.
MacAddress FrameDestination(NDIS_MEDIUM medium, const Frame &frame);
bool IsGroupAddress(NDIS_MEDIUM medium, const MacAddress &address);
bool IsBroadcastAddress(NDIS_MEDIUM medium, const MacAddress &address);
// Size of the MAC header NDIS hands with a frame: 14 on Ethernet; on Token Ring 14 plus
// the routing information when bit 0x80 of byte 8 is set (its length in the low 5 bits
// of byte 14). Never more than the frame.
size_t MacHeaderSize(NDIS_MEDIUM medium, const Frame &frame);

}  // namespace sim
