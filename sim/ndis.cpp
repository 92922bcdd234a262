// ndis.cpp - the Ndis object, its accounting, and the machinery every binding call
// shares: handles, pended calls and their completion, buffer-chain mapping.
#include "sim/ndis_state.h"

#include "sim/dpc.h"
#include "sim/irql.h"
#include "sim/ndis_verifier.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {

// ---- Ndis -------------------------------------------------------------------------------

Ndis::Ndis(Machine &machine) : state_(std::make_shared<NdisState>(machine)) {}

Ndis::~Ndis() = default;

bool Ndis::ProtocolRegistered() const
{
    std::lock_guard lock(state_->mutex);
    return state_->protocol.has_value();
}

std::optional<ProtocolInfo> Ndis::Protocol() const
{
    std::lock_guard lock(state_->mutex);
    return state_->protocol;
}

Adapter &Ndis::AddAdapter(AdapterConfig config)
{
    auto adapter = std::make_unique<Adapter>(*state_, std::move(config));
    std::lock_guard lock(state_->mutex);
    for (const auto &existing : state_->adapters) {
        if (existing->DeviceName() == adapter->DeviceName())
            throw std::invalid_argument("an adapter of that device name exists");
    }
    state_->adapters.push_back(std::move(adapter));
    return *state_->adapters.back();
}

Adapter *Ndis::FindAdapter(const std::u16string &deviceName)
{
    std::lock_guard lock(state_->mutex);
    for (const auto &adapter : state_->adapters) {
        if (adapter->DeviceName() == deviceName)
            return adapter.get();
    }
    return nullptr;
}

std::vector<Adapter *> Ndis::Adapters()
{
    std::lock_guard lock(state_->mutex);
    std::vector<Adapter *> result;
    for (const auto &adapter : state_->adapters)
        result.push_back(adapter.get());
    return result;
}

Segment &Ndis::AddSegment()
{
    std::lock_guard lock(state_->mutex);
    state_->segments.push_back(std::make_unique<Segment>(*state_));
    return *state_->segments.back();
}

NDIS_STATUS Ndis::SendPnPEvent(NET_PNP_EVENT_CODE code, const std::vector<uint8_t> &buffer)
{
    if (CurrentIrql() != PASSIVE_LEVEL)
        throw std::logic_error("PnP events are sent at PASSIVE_LEVEL");
    PNP_EVENT_HANDLER *handler;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->protocol)
            throw std::logic_error("no protocol is registered");
        handler = state_->protocol->characteristics.PnPEventHandler;
    }
    return InvokePnPHandler(handler, nullptr, code, buffer);
}

NDIS_STATUS Ndis::IndicateBindsComplete()
{
    return SendPnPEvent(NetEventBindsComplete);
}

size_t Ndis::PacketPoolCount() const
{
    std::lock_guard lock(state_->mutex);
    return state_->pools.size();
}

size_t Ndis::PacketsInUse(NDIS_HANDLE pool) const
{
    std::lock_guard lock(state_->mutex);
    auto found = state_->pools.find(pool);
    return found == state_->pools.end() ? 0 : found->second->inUse;
}

size_t Ndis::PacketsInUse() const
{
    std::lock_guard lock(state_->mutex);
    size_t total = 0;
    for (const auto &[handle, pool] : state_->pools)
        total += pool->inUse;
    return total;
}

size_t Ndis::LentPackets() const
{
    std::lock_guard lock(state_->mutex);
    size_t total = 0;
    for (const auto &[handle, binding] : state_->bindings)
        total += binding->lentPackets;
    return total;
}

size_t Ndis::NdisMemoryBlocks() const
{
    std::lock_guard lock(state_->mutex);
    return state_->memory.size();
}

size_t Ndis::OpenBindings() const
{
    std::lock_guard lock(state_->mutex);
    size_t open = 0;
    for (const auto &[handle, binding] : state_->bindings) {
        if (binding->state == BindingState::Opening || binding->state == BindingState::Open ||
            binding->state == BindingState::Closing)
            open++;
    }
    return open;
}

NdisState &CurrentNdis()
{
    return Machine::Current().ndis().State();
}

// ---- handles and calls ---------------------------------------------------------------

NDIS_HANDLE NdisState::NewToken()
{
    // Opaque values in a range no host allocation uses on the 32-bit or 64-bit host,
    // so that a protocol dereferencing one faults at once.
    tokens += 16;
    return reinterpret_cast<NDIS_HANDLE>(static_cast<uintptr_t>(0x4E000000u) + tokens);
}

std::shared_ptr<NdisBinding> NdisState::RequireOpenBinding(NDIS_HANDLE handle, const char *routine)
{
    auto found = bindings.find(handle);
    if (found != bindings.end() && found->second->state == BindingState::Open)
        return found->second;
    // The rule names the routine; built only when it is broken.
    std::string where = std::string(" (") + routine + ")";
    auto raw = reinterpret_cast<uintptr_t>(handle);
    if (found == bindings.end())
        NdisViolation("unknown binding handle" + where, raw);
    switch (found->second->state) {
    case BindingState::Open:
        return found->second;
    case BindingState::Opening:
        NdisViolation("binding handle used before its open completed" + where, raw);
    case BindingState::Closing:
    case BindingState::Closed:
        NdisViolation("binding handle used after NdisCloseAdapter" + where, raw);
    case BindingState::Failed:
        NdisViolation("binding handle of a failed open used" + where, raw);
    }
    NdisViolation("unknown binding handle" + where, raw);
}

BindingCall NdisState::BeginCall(Adapter &adapter)
{
    std::lock_guard lock(mutex);
    return BeginCallLocked(adapter);
}

BindingCall NdisState::BeginCallLocked(Adapter &adapter)
{
    const auto &binding = adapter.binding_;
    if (!binding || binding->state != BindingState::Open || !protocol)
        return {};
    binding->activeCalls++;
    return BindingCall(*this, binding, protocol->characteristics);
}

void NdisState::CallEnded(NdisBinding &binding)
{
    binding.activeCalls--;
    if (callsDoneWaiters != 0)
        callsDone.notify_all();
}

BindingCall::BindingCall(NdisState &state, std::shared_ptr<NdisBinding> binding,
                         const NDIS_PROTOCOL_CHARACTERISTICS &handlers)
    : state_(&state), binding_(std::move(binding)), handlers_(handlers)
{
}

BindingCall::BindingCall(BindingCall &&other) noexcept
    : state_(other.state_), binding_(std::move(other.binding_)), handlers_(other.handlers_)
{
    other.binding_.reset();
}

BindingCall &BindingCall::operator=(BindingCall &&other) noexcept
{
    if (this != &other) {
        End();
        state_ = other.state_;
        binding_ = std::move(other.binding_);
        handlers_ = other.handlers_;
        other.binding_.reset();
    }
    return *this;
}

BindingCall::~BindingCall()
{
    End();
}

void BindingCall::End()
{
    if (!binding_)
        return;
    std::lock_guard lock(state_->mutex);
    EndLocked();
}

void BindingCall::EndLocked()
{
    state_->CallEnded(*binding_);
    binding_.reset();
}

void NdisState::StartPending(Adapter &adapter, std::shared_ptr<NdisPendingOp> op,
                             std::function<void()> prelude)
{
    {
        std::lock_guard lock(mutex);
        adapter.pending_.push_back(op);
    }
    if (op->mode == CompletionMode::Dpc) {
        machine.dpcs().Queue([self = shared_from_this(), op, prelude = std::move(prelude)] {
            if (prelude)
                prelude();
            self->Complete(op, std::nullopt);
        });
    } else if (prelude) {
        machine.dpcs().Queue(std::move(prelude));
    }
}

bool NdisState::Complete(const std::shared_ptr<NdisPendingOp> &op, std::optional<NDIS_STATUS> status)
{
    {
        std::lock_guard lock(mutex);
        if (op->claimed)
            return false;
        op->claimed = true;
        op->binding->adapter->pending_.remove(op);
        op->binding->activeCalls++;
    }
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        op->finish(status.value_or(op->status));
    }
    {
        std::lock_guard lock(mutex);
        CallEnded(*op->binding);
    }
    return true;
}

void NdisState::FinishBindingCalls(const std::shared_ptr<NdisBinding> &binding)
{
    std::vector<std::shared_ptr<NdisPendingOp>> outstanding;
    {
        std::lock_guard lock(mutex);
        for (const auto &op : binding->adapter->pending_) {
            if (op->binding == binding && op->operation != NdisOperation::Close)
                outstanding.push_back(op);
        }
    }
    for (const auto &op : outstanding)
        Complete(op, std::nullopt);
    std::unique_lock lock(mutex);
    callsDoneWaiters++;
    callsDone.wait(lock, [&] { return binding->activeCalls == 0; });
    callsDoneWaiters--;
}

// ---- buffer chains ----------------------------------------------------------------------

BufferSpans MapBufferChain(PNDIS_BUFFER head, bool *complete)
{
    BufferSpans spans;
    *complete = true;
    for (PNDIS_BUFFER buffer = head; buffer != nullptr; buffer = buffer->Next) {
        size_t length = MmGetMdlByteCount(buffer);
        if (length == 0)
            continue;
        auto *address = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(buffer, NormalPagePriority));
        if (address == nullptr) {
            *complete = false;
            break;
        }
        spans.push_back({address, length});
    }
    return spans;
}

size_t CopyToSpans(const BufferSpans &spans, size_t offset, const uint8_t *source, size_t size)
{
    size_t copied = 0;
    for (const auto &span : spans) {
        if (copied == size)
            break;
        if (offset >= span.length) {
            offset -= span.length;
            continue;
        }
        size_t chunk = std::min(span.length - offset, size - copied);
        std::memcpy(span.address + offset, source + copied, chunk);
        copied += chunk;
        offset = 0;
    }
    return copied;
}

}  // namespace sim
