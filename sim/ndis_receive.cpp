// ndis_receive.cpp - receive indications to the protocol (lookahead and whole packets),
// the miniport packets they lend, and NdisReturnPackets.
#include "sim/ndis_state.h"

#include "sim/irql.h"
#include "sim/ndis_verifier.h"
#include "sim/spin_wait.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim {
namespace {

// Returned miniport packets stay poisoned this long (in packets) before their memory
// serves again, so that a late use or a second return is recognised.
constexpr size_t kRetiredPacketsKept = 256;

// Builds the packet a miniport indicates in `mp` (fresh, or one that left the retired
// queue): descriptor (with a poisoned gap after the protocol-reserved area), frame
// memory, and buffers split at the chosen offsets. Touches nothing NDIS's mutex guards.
void BuildMiniportPacket(MiniportPacket &mp, const Frame &frame, const PacketOptions &options,
                         size_t headerSize)
{
    mp.Poison(false);
    std::memset(mp.descriptor, 0, MiniportPacket::kDescriptorSize);
    if (frame.size() <= MiniportPacket::kAreaBytes) {
        mp.data = mp.area;
    } else {
        if (mp.largeCapacity < frame.size()) {
            mp.largeData.reset(new uint8_t[frame.size()]);
            mp.largeCapacity = frame.size();
        }
        mp.data = mp.largeData.get();
    }
    mp.dataSize = frame.size();
    if (!frame.empty())
        std::memcpy(mp.data, frame.data(), frame.size());
    // Room past the frame, and the memory the frame does not use, stay off limits.
    PoisonMemory(mp.data + mp.dataSize, mp.DataCapacity() - mp.dataSize);
    if (mp.data == mp.area)
        PoisonMemory(mp.largeData.get(), mp.largeCapacity);
    else
        PoisonMemory(mp.area, MiniportPacket::kAreaBytes);

    auto &bounds = mp.bounds;
    bounds.clear();
    bounds.push_back(0);
    for (size_t at : options.splitAt)
        bounds.push_back(std::min(at, frame.size()));
    bounds.push_back(frame.size());
    for (size_t i = 2; i + 1 < bounds.size(); i++) {   // insertion sort of the split points
        for (size_t k = i; k > 1 && bounds[k - 1] > bounds[k]; k--)
            std::swap(bounds[k - 1], bounds[k]);
    }
    size_t count = bounds.size() - 1;
    if (count > MiniportPacket::kInlineBuffers && mp.extraMdls.size() < count - MiniportPacket::kInlineBuffers)
        mp.extraMdls.resize(count - MiniportPacket::kInlineBuffers);

    PNDIS_PACKET packet = mp.Packet();
    PNDIS_BUFFER *link = &packet->Private.Head;
    mp.buffers.clear();
    for (size_t i = 0; i < count; i++) {
        MDL *storage = i < MiniportPacket::kInlineBuffers ? &mp.mdls[i]
                                                           : &mp.extraMdls[i - MiniportPacket::kInlineBuffers];
        MiniportBuffer buffer = NewMiniportBuffer(mp.data + bounds[i], bounds[i + 1] - bounds[i],
                                                  options.mapped, storage);
        *link = buffer.mdl;
        link = &buffer.mdl->Next;
        packet->Private.Tail = buffer.mdl;
        mp.buffers.push_back(buffer);
    }
    packet->Private.Count = static_cast<UINT>(count);
    packet->Private.PhysicalCount = packet->Private.Count;
    packet->Private.TotalLength = static_cast<UINT>(frame.size());
    packet->Private.ValidCounts = TRUE;
    packet->Private.NdisPacketOobOffset = static_cast<USHORT>(MiniportPacket::kOobOffset);
    auto *oob = reinterpret_cast<PNDIS_PACKET_OOB_DATA>(mp.descriptor + MiniportPacket::kOobOffset);
    oob->HeaderSize = static_cast<UINT>(options.headerSize.value_or(headerSize));
    oob->Status = options.status;
    PoisonMemory(mp.descriptor + MiniportPacket::kReservedEnd,
                 MiniportPacket::kOobOffset - MiniportPacket::kReservedEnd);
}

}  // namespace

void MiniportPacket::Poison(bool poison)
{
    auto apply = poison ? PoisonMemory : UnpoisonMemory;
    apply(descriptor, sizeof descriptor);
    apply(area, kAreaBytes);
    apply(largeData.get(), largeCapacity);
    apply(mdls, sizeof mdls);
    apply(extraMdls.data(), extraMdls.size() * sizeof(MDL));
}

MiniportPacketBlock::MiniportPacketBlock()
    : area(new uint8_t[kPackets * MiniportPacket::kAreaBytes])
{
    for (size_t i = 0; i < kPackets; i++)
        packets[i].area = area.get() + i * MiniportPacket::kAreaBytes;
    // Off limits until a frame is copied in (~NdisState makes it usable again).
    PoisonMemory(area.get(), kPackets * MiniportPacket::kAreaBytes);
}

MiniportPacket &NdisState::TakeMiniportPacket(const std::shared_ptr<NdisBinding> &binding)
{
    MiniportPacket *mp;
    if (!freePackets.empty()) {
        mp = freePackets.back();
        freePackets.pop_back();
    } else {
        packetBlocks.push_back(std::make_unique<MiniportPacketBlock>());
        MiniportPacketBlock &block = *packetBlocks.back();
        // The block's other packets wait on the free list, the lowest address last.
        for (size_t i = MiniportPacketBlock::kPackets; i-- > 1;)
            freePackets.push_back(&block.packets[i]);
        mp = &block.packets[0];
    }
    mp->state = MiniportPacket::State::Indicating;
    mp->references = 0;
    mp->earlyReturns = 0;
    mp->lent = false;
    mp->binding = binding;
    return *mp;
}

MiniportPacket *NdisState::FindMiniportPacket(PNDIS_PACKET packet)
{
    const auto address = reinterpret_cast<uintptr_t>(packet);
    for (const auto &block : packetBlocks) {
        const auto first = reinterpret_cast<uintptr_t>(block->packets.data());
        if (address < first || address >= first + sizeof block->packets)
            continue;
        MiniportPacket &mp = block->packets[(address - first) / sizeof(MiniportPacket)];
        if (mp.Packet() != packet || mp.state == MiniportPacket::State::Free)
            return nullptr;
        return &mp;
    }
    return nullptr;
}

void NdisState::RetireMiniportPacket(MiniportPacket &packet)
{
    packet.state = MiniportPacket::State::Returned;
    // The buffers go at once (use after return is caught by AddressSanitizer or by the
    // I/O manager's quarantine); descriptor and frame memory stay poisoned a while.
    for (size_t i = 0; i < packet.buffers.size(); i++)
        DeleteMiniportBuffer(packet.buffers[i]);
    packet.buffers.clear();
    packet.Poison(true);
    retiredPackets.push_back(&packet);
    while (retiredPackets.size() > kRetiredPacketsKept) {
        MiniportPacket *oldest = retiredPackets.front();
        retiredPackets.pop_front();
        oldest->state = MiniportPacket::State::Free;
        oldest->binding.reset();
        freePackets.push_back(oldest);   // stays poisoned until reused
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
    // Not zeroed first: the copies fill them.
    std::unique_ptr<uint8_t[]> header(new uint8_t[headerSize]);
    if (headerSize != 0)
        std::memcpy(header.get(), frame.data(), headerSize);
    std::unique_ptr<uint8_t[]> lookahead(new uint8_t[lookaheadSize]);
    if (lookaheadSize != 0)
        std::memcpy(lookahead.get(), frame.data() + headerSize, lookaheadSize);

    NDIS_HANDLE context;
    {
        std::lock_guard lock(state_.mutex);
        context = state_.NewToken();
        state_.spareIndications.Emplace(state_.indications, context, Indication{call.binding(), &frame, headerSize, 0});
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
    // A transfer on another processor may still be copying from the frame.
    std::unique_lock lock(state_.mutex);
    auto ended = state_.indications.find(context);
    for (SpinWait spin; ended->second.copying != 0; ended = state_.indications.find(context)) {
        lock.unlock();
        spin.Pause();
        lock.lock();
    }
    ended->second = Indication{};   // no reference to the binding or the frame kept
    state_.spareIndications.Erase(state_.indications, ended);
    return status;
}

std::optional<INT> Adapter::IndicatePacket(const Frame &frame, const PacketOptions &options)
{
    // One acquisition of the mutex before the handler and one after it.
    BindingCall call;
    MiniportPacket *taken;
    {
        std::lock_guard lock(state_.mutex);
        call = state_.BeginCallLocked(*this);
        if (!call)
            return std::nullopt;
        if (call.handlers().ReceivePacketHandler == nullptr)
            throw std::logic_error("the protocol has no receive-packet handler");
        taken = &state_.TakeMiniportPacket(call.binding());
    }
    MiniportPacket &mp = *taken;
    BuildMiniportPacket(mp, frame, options, std::min(HeaderSize(frame), frame.size()));
    PNDIS_PACKET packet = mp.Packet();
    INT kept;
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        kept = call.handlers().ReceivePacketHandler(call.context(), packet);
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
    call.EndLocked();
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
        MiniportPacket *found = state.FindMiniportPacket(packet);
        NdisCheck(found != nullptr, "packet returned to NDIS that it never lent", raw);
        MiniportPacket &mp = *found;
        switch (mp.state) {
        case MiniportPacket::State::Free:   // FindMiniportPacket returns none
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
