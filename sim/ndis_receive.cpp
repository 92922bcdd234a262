// ndis_receive.cpp - receive indications to the protocol (lookahead and whole packets),
// the miniport packets they lend, and NdisReturnPackets.
#include "sim/ndis_state.h"

#include "sim/irql.h"
#include "sim/ndis_verifier.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim {
namespace {

// Returned miniport packets stay poisoned this long (in packets) before their memory is
// freed, so that a late use or a second return is recognised.
constexpr size_t kRetiredPacketsKept = 256;
// Poisoned gap between a packet's protocol-reserved area and its out-of-band data.
constexpr size_t kRedZone = 16;
// What NDIS gives a protocol in an indicated packet (PROTOCOL_RESERVED_SIZE_IN_PACKET).
constexpr size_t kIndicatedReservedSize = 4 * sizeof(PVOID);

size_t AlignUp(size_t value, size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// Packets kept for reuse after they left the retired queue.
constexpr size_t kSparePackets = 64;

void PoisonMiniportPacket(MiniportPacket &packet, bool poison)
{
    auto apply = poison ? PoisonMemory : UnpoisonMemory;
    apply(packet.descriptor.get(), packet.descriptorSize);
    apply(packet.data.get(), packet.dataCapacity);
    apply(packet.mdls.data(), packet.mdls.size() * sizeof(MDL));
}

// Builds the packet a miniport indicates in `mp` (fresh, or one that left the retired
// queue): descriptor (with a poisoned gap after the protocol-reserved area), frame
// memory, and buffers split at the chosen offsets.
void BuildMiniportPacket(MiniportPacket &mp, const Frame &frame, const PacketOptions &options,
                         size_t headerSize)
{
    size_t reservedEnd = offsetof(NDIS_PACKET, ProtocolReserved) + kIndicatedReservedSize;
    size_t oobOffset = AlignUp(reservedEnd, 8) + kRedZone;
    PoisonMiniportPacket(mp, false);
    mp.descriptorSize = oobOffset + sizeof(NDIS_PACKET_OOB_DATA);
    if (mp.descriptor == nullptr)
        mp.descriptor = std::make_unique<uint8_t[]>(mp.descriptorSize);
    else
        std::memset(mp.descriptor.get(), 0, mp.descriptorSize);
    if (mp.dataCapacity < frame.size()) {
        mp.data = std::make_unique<uint8_t[]>(frame.size());
        mp.dataCapacity = frame.size();
    }
    mp.dataSize = frame.size();
    if (!frame.empty())
        std::memcpy(mp.data.get(), frame.data(), frame.size());
    // Room a longer frame once had stays off limits.
    PoisonMemory(mp.data.get() + mp.dataSize, mp.dataCapacity - mp.dataSize);
    mp.state = MiniportPacket::State::Indicating;
    mp.references = 0;
    mp.earlyReturns = 0;
    mp.lent = false;
    mp.binding.reset();

    std::vector<size_t> &bounds = mp.bounds;
    bounds.assign(1, 0);
    for (size_t at : options.splitAt)
        bounds.push_back(std::min(at, frame.size()));
    std::sort(bounds.begin() + 1, bounds.end());
    bounds.push_back(frame.size());
    if (mp.mdls.size() < bounds.size() - 1)
        mp.mdls.resize(bounds.size() - 1);

    PNDIS_PACKET packet = mp.Packet();
    PNDIS_BUFFER *link = &packet->Private.Head;
    mp.buffers.clear();
    for (size_t i = 0; i + 1 < bounds.size(); i++) {
        MiniportBuffer buffer = NewMiniportBuffer(mp.data.get() + bounds[i], bounds[i + 1] - bounds[i],
                                                  options.mapped, &mp.mdls[i]);
        *link = buffer.mdl;
        link = &buffer.mdl->Next;
        packet->Private.Tail = buffer.mdl;
        mp.buffers.push_back(buffer);
    }
    packet->Private.Count = static_cast<UINT>(mp.buffers.size());
    packet->Private.PhysicalCount = packet->Private.Count;
    packet->Private.TotalLength = static_cast<UINT>(frame.size());
    packet->Private.ValidCounts = TRUE;
    packet->Private.NdisPacketOobOffset = static_cast<USHORT>(oobOffset);
    auto *oob = reinterpret_cast<PNDIS_PACKET_OOB_DATA>(mp.descriptor.get() + oobOffset);
    oob->HeaderSize = static_cast<UINT>(options.headerSize.value_or(headerSize));
    oob->Status = options.status;
    PoisonMemory(mp.descriptor.get() + reservedEnd, oobOffset - reservedEnd);
}

}  // namespace

void NdisState::RetireMiniportPacket(MiniportPacket &packet)
{
    packet.state = MiniportPacket::State::Returned;
    // The buffers go at once (use after return is caught by AddressSanitizer or by the
    // I/O manager's quarantine); descriptor and frame memory stay poisoned a while.
    for (const auto &buffer : packet.buffers)
        DeleteMiniportBuffer(buffer);
    packet.buffers.clear();
    PoisonMiniportPacket(packet, true);
    retiredPackets.push_back(packet.Packet());
    while (retiredPackets.size() > kRetiredPacketsKept) {
        auto found = miniportPackets.find(retiredPackets.front());
        retiredPackets.pop_front();
        if (found == miniportPackets.end())
            continue;
        auto node = miniportPackets.extract(found);
        node.mapped()->binding.reset();
        if (spareMiniportPackets.size() < kSparePackets)
            spareMiniportPackets.push_back(std::move(node));   // stays poisoned until reused
        else
            PoisonMiniportPacket(*node.mapped(), false);
    }
}

std::optional<NDIS_STATUS> Adapter::IndicateReceive(const Frame &frame, const ReceiveOptions &options)
{
    BindingCall call = state_.BeginCall(*this);
    if (!call)
        return std::nullopt;
    size_t headerSize = std::min(options.headerSize.value_or(HeaderSize(frame)), frame.size());
    size_t dataSize = frame.size() - headerSize;
    size_t lookaheadSize = std::min(options.lookaheadSize.value_or(dataSize), dataSize);

    // Header and lookahead are blocks of their own that end with the indication, so a
    // protocol reading past them, or keeping them, is caught.
    auto header = std::make_unique<uint8_t[]>(headerSize);
    if (headerSize != 0)
        std::memcpy(header.get(), frame.data(), headerSize);
    auto lookahead = std::make_unique<uint8_t[]>(lookaheadSize);
    if (lookaheadSize != 0)
        std::memcpy(lookahead.get(), frame.data() + headerSize, lookaheadSize);

    NDIS_HANDLE context;
    {
        std::lock_guard lock(state_.mutex);
        context = state_.NewToken();
        state_.indications[context] = {call.binding(), std::make_shared<const Frame>(frame), headerSize};
    }
    NDIS_STATUS status;
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        status = call.handlers().ReceiveHandler(call.context(), context,
                                                options.nullHeaderBuffer ? nullptr : header.get(),
                                                static_cast<UINT>(headerSize), lookahead.get(),
                                                static_cast<UINT>(lookaheadSize),
                                                options.packetSize.value_or(static_cast<UINT>(dataSize)));
    }
    std::lock_guard lock(state_.mutex);
    state_.indications.erase(context);
    return status;
}

std::optional<INT> Adapter::IndicatePacket(const Frame &frame, const PacketOptions &options)
{
    BindingCall call = state_.BeginCall(*this);
    if (!call)
        return std::nullopt;
    RECEIVE_PACKET_HANDLER *handler = call.handlers().ReceivePacketHandler;
    if (handler == nullptr)
        throw std::logic_error("the protocol has no receive-packet handler");
    decltype(state_.miniportPackets)::node_type node;
    {
        std::lock_guard lock(state_.mutex);
        if (!state_.spareMiniportPackets.empty()) {
            node = std::move(state_.spareMiniportPackets.back());
            state_.spareMiniportPackets.pop_back();
        }
    }
    if (node.empty()) {
        // A fresh entry: extracted from a scratch map so that it carries its own node.
        decltype(state_.miniportPackets) scratch;
        scratch.emplace(nullptr, std::make_unique<MiniportPacket>());
        node = scratch.extract(scratch.begin());
    }
    MiniportPacket &mp = *node.mapped();
    BuildMiniportPacket(mp, frame, options, std::min(HeaderSize(frame), frame.size()));
    PNDIS_PACKET packet = mp.Packet();
    mp.binding = call.binding();
    node.key() = packet;
    {
        std::lock_guard lock(state_.mutex);
        state_.miniportPackets.insert(std::move(node));
    }
    INT kept;
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        kept = handler(call.context(), packet);
    }
    std::lock_guard lock(state_.mutex);
    NdisCheck(options.status != NDIS_STATUS_RESOURCES || kept <= 0,
              "protocol kept a packet indicated with NDIS_STATUS_RESOURCES",
              reinterpret_cast<uintptr_t>(packet), static_cast<uintptr_t>(kept));
    int outstanding = std::max(kept, 0) - mp.earlyReturns;
    NdisCheck(outstanding >= 0, "packet returned to NDIS that it never lent",
              reinterpret_cast<uintptr_t>(packet));
    if (outstanding == 0) {
        mp.lent = kept > 0;
        state_.RetireMiniportPacket(mp);
    } else {
        mp.state = MiniportPacket::State::Lent;
        mp.lent = true;
        mp.references = outstanding;
        mp.binding->lentPackets++;
    }
    return kept;
}

bool Adapter::IndicateReceiveComplete()
{
    BindingCall call = state_.BeginCall(*this);
    if (!call)
        return false;
    IrqlScope dispatch(DISPATCH_LEVEL);
    call.handlers().ReceiveCompleteHandler(call.context());
    return true;
}

}  // namespace sim

using namespace sim;

extern "C" VOID NTAPI NdisReturnPackets(PNDIS_PACKET *PacketsToReturn, UINT NumberOfPackets)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisReturnPackets");
    NdisState &state = CurrentNdis();
    std::lock_guard lock(state.mutex);
    for (UINT i = 0; i < NumberOfPackets; i++) {
        PNDIS_PACKET packet = PacketsToReturn[i];
        auto raw = reinterpret_cast<uintptr_t>(packet);
        auto found = state.miniportPackets.find(packet);
        NdisCheck(found != state.miniportPackets.end(), "packet returned to NDIS that it never lent", raw);
        MiniportPacket &mp = *found->second;
        switch (mp.state) {
        case MiniportPacket::State::Returned:
            NdisCheck(!mp.lent, "packet returned to NDIS twice", raw);
            NdisViolation("packet returned to NDIS that it never lent", raw);
        case MiniportPacket::State::Indicating:
            // Given back on another processor before the receive-packet handler returned.
            mp.earlyReturns++;
            break;
        case MiniportPacket::State::Lent:
            if (--mp.references == 0) {
                mp.binding->lentPackets--;
                state.RetireMiniportPacket(mp);
            }
            break;
        }
    }
}
