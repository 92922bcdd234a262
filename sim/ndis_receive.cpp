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

void PoisonMiniportPacket(MiniportPacket &packet, bool poison)
{
    auto apply = poison ? PoisonMemory : UnpoisonMemory;
    apply(packet.descriptor.get(), packet.descriptorSize);
    apply(packet.data.get(), packet.dataSize);
}

// Builds the packet a miniport indicates: descriptor (with a poisoned gap after the
// protocol-reserved area), frame memory, and buffers split at the chosen offsets.
std::unique_ptr<MiniportPacket> BuildMiniportPacket(const Frame &frame, const PacketOptions &options,
                                                    size_t headerSize)
{
    auto owned = std::make_unique<MiniportPacket>();
    MiniportPacket &mp = *owned;
    size_t reservedEnd = offsetof(NDIS_PACKET, ProtocolReserved) + kIndicatedReservedSize;
    size_t oobOffset = AlignUp(reservedEnd, 8) + kRedZone;
    mp.descriptorSize = oobOffset + sizeof(NDIS_PACKET_OOB_DATA);
    mp.descriptor = std::make_unique<uint8_t[]>(mp.descriptorSize);
    mp.dataSize = frame.size();
    mp.data = std::make_unique<uint8_t[]>(frame.size());
    if (!frame.empty())
        std::memcpy(mp.data.get(), frame.data(), frame.size());

    std::vector<size_t> bounds{0};
    for (size_t at : options.splitAt)
        bounds.push_back(std::min(at, frame.size()));
    std::sort(bounds.begin() + 1, bounds.end());
    bounds.push_back(frame.size());

    PNDIS_PACKET packet = mp.Packet();
    PNDIS_BUFFER *link = &packet->Private.Head;
    for (size_t i = 0; i + 1 < bounds.size(); i++) {
        MiniportBuffer buffer = NewMiniportBuffer(mp.data.get() + bounds[i], bounds[i + 1] - bounds[i],
                                                  options.mapped);
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
    return owned;
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
        if (found != miniportPackets.end()) {
            PoisonMiniportPacket(*found->second, false);
            miniportPackets.erase(found);
        }
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
    auto owned = BuildMiniportPacket(frame, options, std::min(HeaderSize(frame), frame.size()));
    MiniportPacket &mp = *owned;
    PNDIS_PACKET packet = mp.Packet();
    mp.binding = call.binding();
    {
        std::lock_guard lock(state_.mutex);
        state_.miniportPackets[packet] = std::move(owned);
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
