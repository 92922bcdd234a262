// ndis_operations.cpp - the calls a protocol makes through an open binding: requests,
// resets, sends and data transfers, each ending at once or pending as the adapter's
// script says.
#include "sim/ndis_state.h"

#include "sim/irql.h"
#include "sim/ndis_verifier.h"

#include <algorithm>

namespace sim {
namespace {

// The outcome of a request under the scripted status; fills the request's counters and
// the adapter's record. Mutex held.
NDIS_STATUS ResolveRequest(Adapter &adapter, PNDIS_REQUEST request, RequestRecord &record,
                           NDIS_STATUS scripted)
{
    NDIS_STATUS status;
    if (scripted == NDIS_STATUS_SUCCESS) {
        status = adapter.AnswerRequest(request, record);
    } else {
        if (request->RequestType == NdisRequestSetInformation) {
            request->DATA.SET_INFORMATION.BytesRead = 0;
            request->DATA.SET_INFORMATION.BytesNeeded = 0;
        } else {
            request->DATA.QUERY_INFORMATION.BytesWritten = 0;
            request->DATA.QUERY_INFORMATION.BytesNeeded = 0;
        }
        record.bytesTransferred = 0;
        record.bytesNeeded = 0;
        status = scripted;
    }
    record.completed = true;
    record.status = status;
    return status;
}

// Copies the frame data of an indication, from `offset` after the MAC header, into the
// packet's buffers. Returns the bytes copied; `mapped` is false when a buffer the data
// needed could not be mapped.
UINT CopyFrameData(const Frame &frame, size_t headerSize, UINT offset, UINT bytes,
                   PNDIS_PACKET packet, bool *mapped)
{
    *mapped = true;
    size_t dataSize = frame.size() - headerSize;
    if (offset >= dataSize)
        return 0;
    size_t wanted = std::min<size_t>(bytes, dataSize - offset);
    bool complete = true;
    auto spans = MapBufferChain(packet->Private.Head, &complete);
    size_t copied = CopyToSpans(spans, 0, frame.data() + headerSize + offset, wanted);
    if (copied < wanted && !complete)
        *mapped = false;
    return static_cast<UINT>(copied);
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI NdisRequest(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle, PNDIS_REQUEST NdisRequest)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisRequest");
    NdisState &state = CurrentNdis();
    std::unique_lock lock(state.mutex);
    auto binding = state.RequireOpenBinding(NdisBindingHandle, "NdisRequest");
    Adapter &adapter = *binding->adapter;
    for (const auto &op : adapter.pending_) {
        NdisCheck(op->operation != NdisOperation::Request || op->subject != NdisRequest,
                  "NDIS_REQUEST submitted again while NDIS still holds it",
                  reinterpret_cast<uintptr_t>(NdisRequest));
    }
    RequestRecord record;
    record.type = NdisRequest->RequestType;
    record.oid = NdisRequest->DATA.QUERY_INFORMATION.Oid;
    record.informationBufferLength = NdisRequest->DATA.QUERY_INFORMATION.InformationBufferLength;
    Script script = adapter.TakeScript(NdisOperation::Request);
    record.pended = script.mode != CompletionMode::Immediate;
    size_t index = adapter.requests_.size();
    adapter.requests_.push_back(record);
    if (script.mode == CompletionMode::Immediate) {
        *Status = ResolveRequest(adapter, NdisRequest, adapter.requests_[index], script.status);
        return;
    }
    lock.unlock();

    auto op = NewPendingOp(NdisOperation::Request, script, binding, NdisRequest);
    op->finish = [&state, binding, NdisRequest, index](NDIS_STATUS scripted) {
        NDIS_STATUS status;
        REQUEST_COMPLETE_HANDLER *handler;
        {
            std::lock_guard guard(state.mutex);
            Adapter &owner = *binding->adapter;
            status = ResolveRequest(owner, NdisRequest, owner.requests_[index], scripted);
            handler = state.protocol->characteristics.RequestCompleteHandler;
        }
        handler(binding->protocolContext, NdisRequest, status);
    };
    *Status = NDIS_STATUS_PENDING;
    state.StartPending(adapter, op);
}

VOID NTAPI NdisReset(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisReset");
    NdisState &state = CurrentNdis();
    std::unique_lock lock(state.mutex);
    auto binding = state.RequireOpenBinding(NdisBindingHandle, "NdisReset");
    Adapter &adapter = *binding->adapter;
    adapter.resets_++;
    Script script = adapter.TakeScript(NdisOperation::Reset);
    if (script.mode == CompletionMode::Immediate) {
        *Status = script.status;
        return;
    }
    lock.unlock();

    auto op = NewPendingOp(NdisOperation::Reset, script, binding);
    op->finish = [&state, binding](NDIS_STATUS status) {
        RESET_COMPLETE_HANDLER *handler;
        {
            std::lock_guard guard(state.mutex);
            handler = state.protocol->characteristics.ResetCompleteHandler;
        }
        handler(binding->protocolContext, status);
    };
    *Status = NDIS_STATUS_PENDING;
    state.StartPending(adapter, op);
}

VOID NTAPI NdisSend(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle, PNDIS_PACKET Packet)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisSend");
    NdisState &state = CurrentNdis();
    std::shared_ptr<NdisBinding> binding;
    {
        std::lock_guard lock(state.mutex);
        binding = state.RequireOpenBinding(NdisBindingHandle, "NdisSend");
        PoolPacket &entry = state.RequireAllocatedPacket(Packet, "NdisSend");
        NdisCheck(entry.holder != PacketHolder::Send, "packet sent again while in flight",
                  reinterpret_cast<uintptr_t>(Packet));
        NdisCheck(entry.holder != PacketHolder::Transfer,
                  "packet sent while a transfer into it is pending", reinterpret_cast<uintptr_t>(Packet));
        entry.holder = PacketHolder::Send;
    }

    // The miniport reads the frame through system addresses of the packet's buffers.
    bool complete = true;
    auto spans = MapBufferChain(Packet->Private.Head, &complete);
    Frame frame;
    for (const auto &span : spans)
        frame.insert(frame.end(), span.address, span.address + span.length);

    Adapter &adapter = *binding->adapter;
    std::unique_lock lock(state.mutex);
    Script script = adapter.TakeScript(NdisOperation::Send);
    if (complete) {
        if (adapter.sentFrames_.size() == Adapter::kSentFramesKept)
            adapter.sentFrames_.pop_front();
        adapter.sentFrames_.push_back(frame);
    }
    else
        script.status = NDIS_STATUS_RESOURCES;
    Segment *segment = adapter.segment_;
    bool carry = segment != nullptr && script.status == NDIS_STATUS_SUCCESS;
    if (script.mode == CompletionMode::Immediate && !carry) {
        state.RequireAllocatedPacket(Packet, "NdisSend").holder = PacketHolder::None;
        *Status = script.status;
        return;
    }
    // A frame on a segment travels on the DPC thread, and its send completes after it.
    if (carry && script.mode == CompletionMode::Immediate)
        script.mode = CompletionMode::Dpc;
    lock.unlock();

    auto op = NewPendingOp(NdisOperation::Send, script, binding, Packet);
    op->finish = [&state, binding, Packet](NDIS_STATUS status) {
        SEND_COMPLETE_HANDLER *handler;
        {
            std::lock_guard guard(state.mutex);
            state.RequireAllocatedPacket(Packet, "SendComplete").holder = PacketHolder::None;
            handler = state.protocol->characteristics.SendCompleteHandler;
        }
        handler(binding->protocolContext, Packet, status);
    };
    std::function<void()> prelude;
    if (carry) {
        prelude = [segment, sender = &adapter, frame = std::move(frame)] {
            segment->Carry(*sender, frame);
        };
    }
    *Status = NDIS_STATUS_PENDING;
    state.StartPending(adapter, op, std::move(prelude));
}

VOID NTAPI NdisTransferData(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle,
                            NDIS_HANDLE MacReceiveContext, UINT ByteOffset, UINT BytesToTransfer,
                            PNDIS_PACKET Packet, PUINT BytesTransferred)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisTransferData");
    NdisState &state = CurrentNdis();
    std::shared_ptr<NdisBinding> binding;
    const Frame *frame;
    std::shared_ptr<const Frame> kept;
    size_t headerSize;
    Script script;
    {
        std::lock_guard lock(state.mutex);
        binding = state.RequireOpenBinding(NdisBindingHandle, "NdisTransferData");
        auto indication = state.indications.find(MacReceiveContext);
        NdisCheck(indication != state.indications.end(),
                  "NdisTransferData with a stale MacReceiveContext",
                  reinterpret_cast<uintptr_t>(MacReceiveContext));
        NdisCheck(indication->second.binding == binding,
                  "NdisTransferData with the MacReceiveContext of another binding",
                  reinterpret_cast<uintptr_t>(MacReceiveContext));
        PoolPacket &entry = state.RequireAllocatedPacket(Packet, "NdisTransferData");
        NdisCheck(entry.holder == PacketHolder::None,
                  "NdisTransferData into a packet NDIS already holds", reinterpret_cast<uintptr_t>(Packet));
        entry.holder = PacketHolder::Transfer;
        frame = indication->second.frame;
        headerSize = indication->second.headerSize;
        script = binding->adapter->TakeScript(NdisOperation::TransferData);
        // An immediate copy reads the indicating caller's frame after the mutex is let go:
        // the indication does not end before it. A pending one copies later, from a copy
        // of its own taken now, while the indication certainly runs.
        if (script.mode == CompletionMode::Immediate)
            indication->second.copying++;
        else
            kept = std::make_shared<const Frame>(*frame);
    }

    if (script.mode == CompletionMode::Immediate) {
        UINT copied = 0;
        NDIS_STATUS status = script.status;
        if (status == NDIS_STATUS_SUCCESS) {
            bool mapped;
            copied = CopyFrameData(*frame, headerSize, ByteOffset, BytesToTransfer, Packet, &mapped);
            if (!mapped)
                status = NDIS_STATUS_RESOURCES;
        }
        {
            std::lock_guard lock(state.mutex);
            state.RequireAllocatedPacket(Packet, "NdisTransferData").holder = PacketHolder::None;
            state.indications.at(MacReceiveContext).copying--;
        }
        *BytesTransferred = copied;
        *Status = status;
        return;
    }

    // Pending: the data is copied when the transfer completes, after the indication.
    auto op = NewPendingOp(NdisOperation::TransferData, script, binding, Packet);
    op->finish = [&state, binding, Packet, frame = std::move(kept), headerSize, ByteOffset,
                  BytesToTransfer](NDIS_STATUS status) {
        UINT copied = 0;
        if (status == NDIS_STATUS_SUCCESS) {
            bool mapped;
            copied = CopyFrameData(*frame, headerSize, ByteOffset, BytesToTransfer, Packet, &mapped);
            if (!mapped)
                status = NDIS_STATUS_RESOURCES;
        }
        TRANSFER_DATA_COMPLETE_HANDLER *handler;
        {
            std::lock_guard guard(state.mutex);
            state.RequireAllocatedPacket(Packet, "TransferDataComplete").holder = PacketHolder::None;
            handler = state.protocol->characteristics.TransferDataCompleteHandler;
        }
        handler(binding->protocolContext, Packet, status, copied);
    };
    *Status = NDIS_STATUS_PENDING;
    state.StartPending(*binding->adapter, op);
}

}  // extern "C"
