// ndis_packets.cpp - packet pools and packets of the protocol: allocation, freeing, the
// buffer-chain routines, and the copy from packet to packet.
#include "sim/ndis_state.h"

#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/ndis_verifier.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim {
namespace {

// Poisoned gap between the protocol-reserved area and the out-of-band data, so that a
// protocol writing past its reserved area is caught.
constexpr size_t kRedZone = 16;
// What a fresh descriptor's protocol-reserved area holds: NDIS does not clear it.
constexpr uint8_t kReservedFill = 0xA5;

size_t AlignUp(size_t value, size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

size_t ReservedEnd(const PacketPool &pool)
{
    return offsetof(NDIS_PACKET, ProtocolReserved) + pool.reservedLength;
}

// Copies up to `size` bytes between two mapped chains, from the given offsets.
size_t CopyBetweenSpans(const BufferSpans &destination, size_t destinationOffset,
                        const BufferSpans &source, size_t sourceOffset, size_t size)
{
    size_t d = 0;
    size_t s = 0;
    while (d < destination.size() && destinationOffset >= destination[d].length)
        destinationOffset -= destination[d++].length;
    while (s < source.size() && sourceOffset >= source[s].length)
        sourceOffset -= source[s++].length;
    size_t copied = 0;
    while (copied < size && d < destination.size() && s < source.size()) {
        size_t chunk = std::min({size - copied, destination[d].length - destinationOffset,
                                 source[s].length - sourceOffset});
        std::memmove(destination[d].address + destinationOffset, source[s].address + sourceOffset, chunk);
        copied += chunk;
        destinationOffset += chunk;
        sourceOffset += chunk;
        if (destinationOffset == destination[d].length) {
            d++;
            destinationOffset = 0;
        }
        if (sourceOffset == source[s].length) {
            s++;
            sourceOffset = 0;
        }
    }
    return copied;
}

}  // namespace

PoolPacket *NdisState::FindPoolPacket(PNDIS_PACKET packet)
{
    const auto address = reinterpret_cast<uintptr_t>(packet);
    for (const auto &[handle, pool] : pools) {
        const auto first = reinterpret_cast<uintptr_t>(pool->storage.get());
        if (address < first || address >= first + pool->count * pool->stride)
            continue;
        const uintptr_t offset = address - first;
        return offset % pool->stride == 0 ? &pool->packets[offset / pool->stride] : nullptr;
    }
    return nullptr;
}

PoolPacket &NdisState::RequireAllocatedPacket(PNDIS_PACKET packet, const char *routine)
{
    PoolPacket *found = FindPoolPacket(packet);
    if (found != nullptr && found->allocated)
        return *found;
    std::string where = std::string(" (") + routine + ")";
    if (found == nullptr)
        NdisViolation("packet not allocated from a packet pool" + where, reinterpret_cast<uintptr_t>(packet));
    NdisViolation("packet used after NdisFreePacket" + where, reinterpret_cast<uintptr_t>(packet));
}

NdisState::~NdisState()
{
    for (auto &[handle, pool] : pools)
        UnpoisonMemory(pool->storage.get(), pool->count * pool->stride);
    for (auto &block : packetBlocks) {
        for (MiniportPacket &miniport : block->packets) {
            miniport.Poison(false);
            // MDLs of packets still lent are the I/O manager's to reclaim or plain host
            // memory; the machine is ending and does not ask for them back.
            if (miniport.state != MiniportPacket::State::Indicating &&
                miniport.state != MiniportPacket::State::Lent)
                continue;
            for (size_t i = 0; i < miniport.buffers.size(); i++) {
                const MiniportBuffer &buffer = miniport.buffers[i];
                if (!buffer.fromIoManager && !buffer.inPacket)
                    delete buffer.mdl;
            }
        }
    }
}

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors, UINT ProtocolReservedLength)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocatePacketPool");
    NdisState &state = CurrentNdis();
    FaultPoint point;
    point.routine = "NdisAllocatePacketPool";
    point.size = NumberOfDescriptors;
    if (state.machine.faults().ShouldFail(point)) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    auto pool = std::make_unique<PacketPool>();
    pool->reservedLength = ProtocolReservedLength;
    pool->count = NumberOfDescriptors;
    size_t oobOffset = AlignUp(ReservedEnd(*pool), 8) + kRedZone;
    pool->oobOffset = static_cast<USHORT>(oobOffset);
    pool->stride = AlignUp(oobOffset + sizeof(NDIS_PACKET_OOB_DATA), 16);
    pool->storage = std::make_unique<uint8_t[]>(pool->count * pool->stride);
    // Free descriptors are off limits to the protocol.
    PoisonMemory(pool->storage.get(), pool->count * pool->stride);

    std::lock_guard lock(state.mutex);
    pool->handle = state.NewToken();
    pool->packets.resize(pool->count);
    for (size_t i = 0; i < pool->count; i++) {
        pool->packets[i] = {pool.get(), i, false, PacketHolder::None};
        pool->freeList.push_back(i);
    }
    *PoolHandle = pool->handle;
    state.pools[pool->handle] = std::move(pool);
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreePacketPool");
    NdisState &state = CurrentNdis();
    std::lock_guard lock(state.mutex);
    auto raw = reinterpret_cast<uintptr_t>(PoolHandle);
    auto found = state.pools.find(PoolHandle);
    if (found == state.pools.end()) {
        NdisCheck(state.freedPools.count(PoolHandle) == 0, "packet pool freed twice", raw);
        NdisViolation("NdisFreePacketPool of an unknown packet pool", raw);
    }
    PacketPool &pool = *found->second;
    NdisCheck(pool.inUse == 0, "packet pool freed with packets still allocated", raw, pool.inUse);
    UnpoisonMemory(pool.storage.get(), pool.count * pool.stride);
    state.freedPools.insert(PoolHandle);
    state.pools.erase(found);
}

VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET *Packet, NDIS_HANDLE PoolHandle)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocatePacket");
    NdisState &state = CurrentNdis();
    FaultPoint point;
    point.routine = "NdisAllocatePacket";
    bool fail = state.machine.faults().ShouldFail(point);

    std::lock_guard lock(state.mutex);
    auto raw = reinterpret_cast<uintptr_t>(PoolHandle);
    auto found = state.pools.find(PoolHandle);
    if (found == state.pools.end()) {
        NdisCheck(state.freedPools.count(PoolHandle) == 0, "NdisAllocatePacket from a freed packet pool", raw);
        NdisViolation("NdisAllocatePacket from an unknown packet pool", raw);
    }
    PacketPool &pool = *found->second;
    if (fail || pool.freeList.empty()) {
        *Packet = nullptr;
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    size_t index = pool.freeList.front();
    pool.freeList.pop_front();
    pool.inUse++;
    PNDIS_PACKET packet = pool.Descriptor(index);
    PoolPacket &entry = pool.packets[index];
    entry.allocated = true;
    entry.holder = PacketHolder::None;

    auto *bytes = reinterpret_cast<uint8_t *>(packet);
    size_t reservedEnd = ReservedEnd(pool);
    UnpoisonMemory(bytes, reservedEnd);
    UnpoisonMemory(bytes + pool.oobOffset, sizeof(NDIS_PACKET_OOB_DATA));
    std::memset(bytes, 0, offsetof(NDIS_PACKET, ProtocolReserved));
    std::memset(bytes + offsetof(NDIS_PACKET, ProtocolReserved), kReservedFill, pool.reservedLength);
    std::memset(bytes + pool.oobOffset, 0, sizeof(NDIS_PACKET_OOB_DATA));
    packet->Private.Pool = pool.handle;
    packet->Private.ValidCounts = TRUE;
    packet->Private.NdisPacketOobOffset = pool.oobOffset;
    *Packet = packet;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreePacket");
    NdisState &state = CurrentNdis();
    std::lock_guard lock(state.mutex);
    auto raw = reinterpret_cast<uintptr_t>(Packet);
    PoolPacket *found = state.FindPoolPacket(Packet);
    NdisCheck(found == nullptr || found->allocated, "packet freed twice", raw);
    PoolPacket &entry = state.RequireAllocatedPacket(Packet, "NdisFreePacket");
    NdisCheck(entry.holder == PacketHolder::None, "packet freed while NDIS holds it", raw);
    entry.allocated = false;
    entry.pool->inUse--;
    entry.pool->freeList.push_back(entry.index);
    PoisonMemory(Packet, entry.pool->stride);
}

VOID NTAPI NdisUnchainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER *Buffer)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisUnchainBufferAtFront");
    PNDIS_BUFFER head = Packet->Private.Head;
    *Buffer = head;
    if (head == nullptr)
        return;
    Packet->Private.Head = head->Next;
    if (head->Next == nullptr)
        Packet->Private.Tail = nullptr;
    head->Next = nullptr;
    Packet->Private.ValidCounts = FALSE;
}

VOID NTAPI NdisCopyFromPacketToPacket(PNDIS_PACKET Destination, UINT DestinationOffset,
                                      UINT BytesToCopy, PNDIS_PACKET Source, UINT SourceOffset,
                                      PUINT BytesCopied)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisCopyFromPacketToPacket");
    // A buffer that cannot be mapped ends the copy early, as the safe variant does.
    bool destinationMapped;
    bool sourceMapped;
    auto destination = MapBufferChain(Destination->Private.Head, &destinationMapped);
    auto source = MapBufferChain(Source->Private.Head, &sourceMapped);
    *BytesCopied = static_cast<UINT>(
        CopyBetweenSpans(destination, DestinationOffset, source, SourceOffset, BytesToCopy));
}

}  // extern "C"
