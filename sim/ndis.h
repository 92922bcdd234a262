// ndis.h - the simulated NDIS wrapper: protocol registration, adapters, segments, packet
// pools and the verifier rules of the NDIS 5.0 protocol interface.
//
// The NDIS routines the driver imports (platform/ndis.h) are implemented by
// sim/ndis_*.cpp on top of this object, which they reach through Machine::Current().
// Tests use the methods below to add adapters, bind them, script how calls end,
// indicate frames and check what the protocol did.
//
// Outstanding calls at NdisCloseAdapter: the sim completes them first. Requests, resets,
// sends and transfers of the binding that are still pending (held or queued for the DPC
// thread) are completed on the closing thread at DISPATCH_LEVEL with their scripted
// status, before the close itself ends, as a miniport finishes its work before NDIS
// lets a close complete. Indications still running on other threads are waited for.
// Packets the protocol still holds from indications are a bug-check.
#pragma once

#include "sim/machine.h"
#include "sim/ndis_adapter.h"
#include "sim/ndis_segment.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct ProtocolInfo {
    std::u16string name;
    UCHAR majorVersion = 0;
    UCHAR minorVersion = 0;
    UINT characteristicsLength = 0;   // as the protocol passed it
    USHORT nameLength = 0;            // the protocol's Name.Length and MaximumLength, as passed
    USHORT nameMaximumLength = 0;
    // The registered copy; Name.Buffer points at NDIS's own copy of the name.
    NDIS_PROTOCOL_CHARACTERISTICS characteristics{};
};

class Ndis {
public:
    explicit Ndis(Machine &machine);
    ~Ndis();
    Ndis(const Ndis &) = delete;
    Ndis &operator=(const Ndis &) = delete;

    // Protocol registration.
    bool ProtocolRegistered() const;
    std::optional<ProtocolInfo> Protocol() const;

    // Adapters and segments; both live as long as the machine.
    Adapter &AddAdapter(AdapterConfig config);
    Adapter *FindAdapter(const std::u16string &deviceName);
    std::vector<Adapter *> Adapters();
    Segment &AddSegment();

    // Global plug-and-play events (binding context null) at PASSIVE_LEVEL on the calling
    // thread; NDIS_STATUS_NOT_SUPPORTED when the protocol has no PnP handler.
    NDIS_STATUS SendPnPEvent(NET_PNP_EVENT_CODE code, const std::vector<uint8_t> &buffer = {});
    NDIS_STATUS IndicateBindsComplete();

    // Accounting.
    size_t PacketPoolCount() const;
    size_t PacketsInUse(NDIS_HANDLE pool) const;   // descriptors allocated from a pool
    size_t PacketsInUse() const;                   // over every pool
    size_t LentPackets() const;                    // indicated packets the protocol holds
    size_t NdisMemoryBlocks() const;               // NDIS memory not yet freed
    size_t OpenBindings() const;                   // opening, open or closing

    // The shared state of the simulated NDIS routines (sim/ndis_*.cpp only).
    NdisState &State() { return *state_; }

private:
    std::shared_ptr<NdisState> state_;
};

}  // namespace sim
