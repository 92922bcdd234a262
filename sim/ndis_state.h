// ndis_state.h - the state shared by the simulated NDIS routines (sim/ndis_*.cpp):
// the registered protocol, bindings, calls that pend, packet pools and packets, live
// receive indications and NDIS-owned memory. One mutex guards it all; it is never held
// while a protocol handler runs, since handlers call back into NDIS.
#pragma once

#include "sim/hot_mutex.h"
#include "sim/ndis.h"
#include "sim/spare_nodes.h"

#include <array>
#include <cstddef>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim {

enum class BindingState {
    Opening,  // NdisOpenAdapter pended
    Open,
    Closing,  // NdisCloseAdapter called; the handle is dead from here on
    Closed,
    Failed,   // a pended open completed with a failure
};

struct NdisBinding {
    NDIS_HANDLE handle = nullptr;
    Adapter *adapter = nullptr;
    NDIS_HANDLE protocolContext = nullptr;
    BindingState state = BindingState::Opening;
    size_t activeCalls = 0;   // indications and completions running right now
    size_t lentPackets = 0;   // indicated packets the protocol holds
};

// A call that returned NDIS_STATUS_PENDING.
struct NdisPendingOp {
    NdisOperation operation = NdisOperation::Open;
    CompletionMode mode = CompletionMode::Dpc;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    std::shared_ptr<NdisBinding> binding;
    const void *subject = nullptr;   // the request or packet the call is about
    // Does the call's work and calls the protocol's completion handler; runs at
    // DISPATCH_LEVEL without the mutex, exactly once.
    std::function<void(NDIS_STATUS)> finish;
    bool claimed = false;
};

// A call of `operation` on `binding` that pends as `script` says.
inline std::shared_ptr<NdisPendingOp> NewPendingOp(NdisOperation operation, const Script &script,
                                                   std::shared_ptr<NdisBinding> binding,
                                                   const void *subject = nullptr)
{
    auto op = std::make_shared<NdisPendingOp>();
    op->operation = operation;
    op->mode = script.mode;
    op->status = script.status;
    op->binding = std::move(binding);
    op->subject = subject;
    return op;
}

// Who has a protocol packet in hand besides the protocol.
enum class PacketHolder { None, Send, Transfer };

struct PoolPacket;

struct PacketPool {
    NDIS_HANDLE handle = nullptr;
    UINT reservedLength = 0;
    size_t count = 0;
    size_t stride = 0;           // bytes per descriptor
    USHORT oobOffset = 0;        // NDIS_PACKET_OOB_DATA within a descriptor
    std::unique_ptr<uint8_t[]> storage;
    std::deque<size_t> freeList; // oldest freed first, so a freed packet is reused late
    size_t inUse = 0;
    std::vector<PoolPacket> packets;   // the record of each descriptor

    PNDIS_PACKET Descriptor(size_t index) const
    {
        return reinterpret_cast<PNDIS_PACKET>(storage.get() + index * stride);
    }
};

struct PoolPacket {
    PacketPool *pool = nullptr;
    size_t index = 0;
    bool allocated = false;
    PacketHolder holder = PacketHolder::None;
};

// One buffer of a miniport packet (sim/ndis_mdl.cpp): an MDL over miniport memory,
// mapped to system space, or locked pages the protocol must map (an MDL of the I/O
// manager's). NewMiniportBuffer runs at or below DISPATCH_LEVEL without the mutex.
struct MiniportBuffer {
    PMDL mdl = nullptr;
    bool fromIoManager = false;
    bool inPacket = false;      // the MDL is storage of its MiniportPacket
};
// `storage`, when given, holds the MDL of a mapped buffer instead of the host heap.
MiniportBuffer NewMiniportBuffer(uint8_t *address, size_t length, bool mapped, MDL *storage = nullptr);
void DeleteMiniportBuffer(const MiniportBuffer &buffer);

// A few elements in place, more on the host heap: the buffers of a miniport packet are
// one or two in practice, and a packet that is recycled keeps what it grew.
template <class T, size_t N>
class InlineVector {
public:
    size_t size() const { return size_; }
    T &operator[](size_t i) { return i < N ? inline_[i] : overflow_[i - N]; }
    const T &operator[](size_t i) const { return i < N ? inline_[i] : overflow_[i - N]; }
    void clear() { size_ = 0; }
    // Room for `count` elements; those past the first N live in the overflow, whose
    // addresses stay put until the next resize.
    void resize(size_t count)
    {
        if (count > N && overflow_.size() < count - N)
            overflow_.resize(count - N);
        size_ = count;
    }
    void push_back(const T &value)
    {
        resize(size_ + 1);
        (*this)[size_ - 1] = value;
    }

private:
    std::array<T, N> inline_{};
    std::vector<T> overflow_;
    size_t size_ = 0;
};

// A packet a miniport indicates through the receive-packet handler, as a miniport keeps
// them: in blocks of descriptors with a receive area each (MiniportPacketBlock), taken
// from a free list and given back to it once the packet has left the retired queue.
// NDIS finds the record of a packet the protocol hands back by its address within a
// block, so a stray pointer is recognised without being read.
struct MiniportPacket {
    enum class State { Free, Indicating, Lent, Returned };
    // Descriptor with the protocol-reserved area of an indicated packet, a poisoned gap,
    // and the out-of-band data.
    static constexpr size_t kReservedSize = 4 * sizeof(PVOID);   // PROTOCOL_RESERVED_SIZE_IN_PACKET
    static constexpr size_t kRedZone = 16;
    static constexpr size_t kReservedEnd = offsetof(NDIS_PACKET, ProtocolReserved) + kReservedSize;
    static constexpr size_t kOobOffset = (kReservedEnd + 7) / 8 * 8 + kRedZone;
    static constexpr size_t kDescriptorSize = kOobOffset + sizeof(NDIS_PACKET_OOB_DATA);
    static constexpr size_t kInlineBuffers = 4;
    // A frame up to this size lives in the packet's part of its block's receive area.
    static constexpr size_t kAreaBytes = 2048;

    alignas(16) uint8_t descriptor[(kDescriptorSize + 15) / 16 * 16];
    alignas(16) MDL mdls[kInlineBuffers];      // storage of the mapped buffers' MDLs
    std::vector<MDL> extraMdls;                 // for buffers past kInlineBuffers
    uint8_t *area = nullptr;                    // kAreaBytes of the block's receive area
    std::unique_ptr<uint8_t[]> largeData;       // a longer frame's memory, kept for reuse
    size_t largeCapacity = 0;
    uint8_t *data = nullptr;                    // area or largeData
    size_t dataSize = 0;
    InlineVector<MiniportBuffer, kInlineBuffers> buffers;   // released when retired
    InlineVector<size_t, kInlineBuffers + 1> bounds;        // where the buffers split the frame
    State state = State::Free;
    int references = 0;       // NdisReturnPackets still owed
    int earlyReturns = 0;     // returns that came while the indication still ran
    bool lent = false;        // the protocol kept it at some point
    std::shared_ptr<NdisBinding> binding;

    PNDIS_PACKET Packet() { return reinterpret_cast<PNDIS_PACKET>(descriptor); }
    size_t DataCapacity() const { return data == area ? kAreaBytes : largeCapacity; }
    // Poisons (or unpoisons) descriptor, frame memory and MDL storage.
    void Poison(bool poison);
};

struct MiniportPacketBlock {
    static constexpr size_t kPackets = 64;
    MiniportPacketBlock();
    std::unique_ptr<uint8_t[]> area;     // kPackets * MiniportPacket::kAreaBytes
    std::array<MiniportPacket, kPackets> packets;
};

// One receive indication in progress; its token is the MacReceiveContext. The frame is
// the indicating caller's and lives until the indication ends: a transfer that copies from
// it after letting go of the mutex counts itself in `copying`, and the indication waits
// for it before it ends. A transfer that pends takes a copy of its own.
struct Indication {
    std::shared_ptr<NdisBinding> binding;
    const Frame *frame = nullptr;
    size_t headerSize = 0;
    size_t copying = 0;
};

// An open binding in use by an indication or completion; the close waits for it.
class BindingCall {
public:
    BindingCall() = default;
    BindingCall(NdisState &state, std::shared_ptr<NdisBinding> binding,
                const NDIS_PROTOCOL_CHARACTERISTICS &handlers);
    ~BindingCall();
    BindingCall(BindingCall &&other) noexcept;
    BindingCall &operator=(BindingCall &&other) noexcept;
    BindingCall(const BindingCall &) = delete;
    // Ends the call under the mutex the caller holds (the destructor then does nothing).
    void EndLocked();

    explicit operator bool() const { return binding_ != nullptr; }
    const std::shared_ptr<NdisBinding> &binding() const { return binding_; }
    NDIS_HANDLE context() const { return binding_->protocolContext; }
    const NDIS_PROTOCOL_CHARACTERISTICS &handlers() const { return handlers_; }

private:
    void End();

    NdisState *state_ = nullptr;
    std::shared_ptr<NdisBinding> binding_;
    NDIS_PROTOCOL_CHARACTERISTICS handlers_{};
};

struct NdisState : std::enable_shared_from_this<NdisState> {
    explicit NdisState(Machine &machine) : machine(machine) {}
    ~NdisState();   // makes poisoned packet memory usable again before it is freed

    Machine &machine;
    mutable HotMutex mutex;
    std::condition_variable_any callsDone;  // a binding's activeCalls dropped
    size_t callsDoneWaiters = 0;            // threads waiting on callsDone

    // The registered protocol.
    NDIS_HANDLE protocolHandle = nullptr;
    std::optional<ProtocolInfo> protocol;
    std::unique_ptr<char16_t[]> protocolName;   // text behind protocol->characteristics.Name

    std::vector<std::unique_ptr<Adapter>> adapters;
    std::vector<std::unique_ptr<Segment>> segments;
    std::unordered_map<NDIS_HANDLE, std::shared_ptr<NdisBinding>> bindings;  // never erased
    std::unordered_map<NDIS_HANDLE, std::unique_ptr<PacketPool>> pools;
    std::unordered_set<NDIS_HANDLE> freedPools;
    std::vector<std::unique_ptr<MiniportPacketBlock>> packetBlocks;
    std::deque<MiniportPacket *> retiredPackets;  // returned, kept poisoned for a while
    std::vector<MiniportPacket *> freePackets;     // left the retired queue, still poisoned
    std::unordered_map<NDIS_HANDLE, Indication> indications;
    // Nodes of ended indications: one for each thread that indicates at the same time.
    SpareNodes<std::unordered_map<NDIS_HANDLE, Indication>> spareIndications{8};
    std::unordered_map<const void *, std::unique_ptr<char16_t[]>> memory;
    std::unordered_set<const void *> freedMemory;
    uintptr_t tokens = 0;

    // A fresh opaque handle value, never reused; mutex held.
    NDIS_HANDLE NewToken();
    // The binding behind a handle that must be open; bug-checks otherwise. Mutex held.
    std::shared_ptr<NdisBinding> RequireOpenBinding(NDIS_HANDLE handle, const char *routine);
    // Starts a call on the adapter's open binding, or returns an empty call.
    BindingCall BeginCall(Adapter &adapter);
    BindingCall BeginCallLocked(Adapter &adapter);   // mutex held
    // A binding's running calls dropped; mutex held. Wakes FinishBindingCalls if it waits.
    void CallEnded(NdisBinding &binding);

    // Registers a pended call with the adapter; a Dpc call is queued for the DPC
    // thread, after `prelude` (which also runs alone for a held call). Mutex held.
    void StartPending(Adapter &adapter, std::shared_ptr<NdisPendingOp> op,
                      std::function<void()> prelude = {});
    // Completes a pended call unless it already was; true when this call did it.
    bool Complete(const std::shared_ptr<NdisPendingOp> &op, std::optional<NDIS_STATUS> status);
    // Completes every pended call of the binding and waits for its running calls.
    void FinishBindingCalls(const std::shared_ptr<NdisBinding> &binding);

    // The record of a descriptor of one of the pools, found by its address within the
    // pool's storage (no look at the memory behind `packet`), or null; mutex held.
    PoolPacket *FindPoolPacket(PNDIS_PACKET packet);
    // A protocol packet that must be allocated from a pool (bug-checks otherwise, naming
    // `routine`); mutex held.
    PoolPacket &RequireAllocatedPacket(PNDIS_PACKET packet, const char *routine);
    // A packet for an indication by `binding`, marked Indicating; mutex held.
    MiniportPacket &TakeMiniportPacket(const std::shared_ptr<NdisBinding> &binding);
    // The miniport packet whose descriptor is at `packet` and that is not on the free
    // list, or null; mutex held. No look at the memory behind `packet`.
    MiniportPacket *FindMiniportPacket(PNDIS_PACKET packet);
    // Gives back a miniport packet whose last reference the protocol returned; it stays
    // poisoned for a while before its memory serves again, so that late uses are caught.
    // Mutex held.
    void RetireMiniportPacket(MiniportPacket &packet);
};

// The state of the running machine's NDIS.
NdisState &CurrentNdis();

// Calls the protocol's PnP handler (NDIS_STATUS_NOT_SUPPORTED when it has none) with an
// event whose buffer lives for the call only.
NDIS_STATUS InvokePnPHandler(PNP_EVENT_HANDLER *handler, NDIS_HANDLE context,
                             NET_PNP_EVENT_CODE code, const std::vector<uint8_t> &buffer);

// Host address and length of each buffer of an MDL chain, mapped as
// MmGetSystemAddressForMdlSafe does; stops at the first buffer that cannot be mapped
// and reports it through `complete`.
struct BufferSpan {
    uint8_t *address;
    size_t length;
};
// The spans of one chain; a chain of up to kInline buffers costs no host allocation.
class BufferSpans {
public:
    void push_back(const BufferSpan &span)
    {
        if (count_ < kInline && overflow_.empty()) {
            inline_[count_++] = span;
            return;
        }
        if (overflow_.empty())
            overflow_.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(count_));
        overflow_.push_back(span);
        count_ = overflow_.size();
    }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const BufferSpan *begin() const { return overflow_.empty() ? inline_.data() : overflow_.data(); }
    const BufferSpan *end() const { return begin() + count_; }
    const BufferSpan &operator[](size_t i) const { return begin()[i]; }

private:
    static constexpr size_t kInline = 8;
    std::array<BufferSpan, kInline> inline_{};
    std::vector<BufferSpan> overflow_;
    size_t count_ = 0;
};
BufferSpans MapBufferChain(PNDIS_BUFFER head, bool *complete);
// Copies `size` bytes from `source` into the spans starting at byte `offset` of the
// chain; returns the bytes copied (fewer when the chain is shorter).
size_t CopyToSpans(const BufferSpans &spans, size_t offset, const uint8_t *source, size_t size);

}  // namespace sim
