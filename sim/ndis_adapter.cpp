// ndis_adapter.cpp - a simulated adapter: its object table, binding and plug-and-play
// calls into the protocol, scripting of how calls end, and the records tests read.
#include "sim/ndis_state.h"

#include "sim/irql.h"

#include <cstring>
#include <stdexcept>

namespace sim {

const char *NdisOperationName(NdisOperation operation)
{
    switch (operation) {
    case NdisOperation::Open: return "open";
    case NdisOperation::Close: return "close";
    case NdisOperation::Request: return "request";
    case NdisOperation::Reset: return "reset";
    case NdisOperation::Send: return "send";
    case NdisOperation::TransferData: return "transfer";
    }
    return "?";
}

namespace {

std::vector<uint8_t> LittleEndian32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

void RequirePassiveCaller(const char *what)
{
    if (CurrentIrql() != PASSIVE_LEVEL)
        throw std::logic_error(std::string(what) + " is called at PASSIVE_LEVEL");
}

}  // namespace

NDIS_STATUS InvokePnPHandler(PNP_EVENT_HANDLER *handler, NDIS_HANDLE context,
                             NET_PNP_EVENT_CODE code, const std::vector<uint8_t> &buffer)
{
    if (handler == nullptr)
        return NDIS_STATUS_NOT_SUPPORTED;
    // The event buffer is NDIS's and lives for the call only.
    std::unique_ptr<uint8_t[]> copy;
    if (!buffer.empty()) {
        copy = std::make_unique<uint8_t[]>(buffer.size());
        std::memcpy(copy.get(), buffer.data(), buffer.size());
    }
    NET_PNP_EVENT event{};
    event.NetEvent = code;
    event.Buffer = copy.get();
    event.BufferLength = static_cast<ULONG>(buffer.size());
    return handler(context, &event);
}

Adapter::Adapter(NdisState &state, AdapterConfig config) : state_(state), config_(std::move(config))
{
    std::vector<uint8_t> address(config_.macAddress.begin(), config_.macAddress.end());
    // The current address is the NIC's; miniports refuse to set it.
    if (config_.medium == NdisMedium802_3)
        objects_[OID_802_3_CURRENT_ADDRESS] = {address, true};
    else if (config_.medium == NdisMedium802_5)
        objects_[OID_802_5_CURRENT_ADDRESS] = {address, true};
    objects_[OID_GEN_CURRENT_PACKET_FILTER] = {LittleEndian32(config_.packetFilter), false};

    bool tokenRing = config_.medium == NdisMedium802_5;
    const char *vendor = tokenRing ? "KRVDLC simulated Token Ring adapter" : "KRVDLC simulated Ethernet adapter";
    objects_[kOidGenLinkSpeed] = {LittleEndian32(tokenRing ? 160000 : 100000), true};
    objects_[kOidGenMaximumTotalSize] = {LittleEndian32(tokenRing ? 4500 : 1514), true};
    objects_[kOidGenMediaConnectStatus] = {LittleEndian32(0), true};
    objects_[kOidGenVendorDescription] = {std::vector<uint8_t>(vendor, vendor + std::strlen(vendor) + 1), true};
    if (tokenRing) {
        objects_[kOid8025CurrentFunctional] = {std::vector<uint8_t>(4, 0), false};
    } else {
        objects_[kOid8023MulticastList] = {{}, false};
        objects_[kOid8023MaximumListSize] = {LittleEndian32(kMulticastListSize), true};
    }
}

Adapter::~Adapter() = default;

void Adapter::SetObject(NDIS_OID oid, std::vector<uint8_t> value, bool readOnly)
{
    std::lock_guard lock(state_.mutex);
    objects_[oid] = {std::move(value), readOnly};
}

void Adapter::RemoveObject(NDIS_OID oid)
{
    std::lock_guard lock(state_.mutex);
    objects_.erase(oid);
}

std::optional<std::vector<uint8_t>> Adapter::Object(NDIS_OID oid) const
{
    std::lock_guard lock(state_.mutex);
    auto found = objects_.find(oid);
    if (found == objects_.end())
        return std::nullopt;
    return found->second.bytes;
}

uint32_t Adapter::PacketFilter() const
{
    std::lock_guard lock(state_.mutex);
    auto found = objects_.find(OID_GEN_CURRENT_PACKET_FILTER);
    if (found == objects_.end() || found->second.bytes.size() < 4)
        return 0;
    const auto &b = found->second.bytes;
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

NDIS_STATUS Adapter::Bind()
{
    RequirePassiveCaller("Bind");
    BIND_HANDLER *handler;
    NDIS_HANDLE bindContext;
    {
        std::lock_guard lock(state_.mutex);
        if (!state_.protocol)
            throw std::logic_error("no protocol is registered");
        handler = state_.protocol->characteristics.BindAdapterHandler;
        bindContext = state_.NewToken();
    }
    if (handler == nullptr)
        return NDIS_STATUS_NOT_SUPPORTED;
    // The name is NDIS's and lives for the call only: a protocol that keeps the pointer
    // is caught by AddressSanitizer.
    size_t chars = config_.deviceName.size();
    auto text = std::make_unique<char16_t[]>(chars + 1);
    std::memcpy(text.get(), config_.deviceName.data(), chars * sizeof(WCHAR));
    NDIS_STRING name;
    name.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    name.MaximumLength = static_cast<USHORT>((chars + 1) * sizeof(WCHAR));
    name.Buffer = text.get();
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    handler(&status, bindContext, &name, config_.bindSystemSpecific1, config_.bindSystemSpecific2);
    return status;
}

NDIS_STATUS Adapter::Unbind()
{
    RequirePassiveCaller("Unbind");
    UNBIND_HANDLER *handler;
    NDIS_HANDLE context;
    NDIS_HANDLE unbindContext;
    {
        std::lock_guard lock(state_.mutex);
        if (!binding_ || binding_->state != BindingState::Open || !state_.protocol)
            throw std::logic_error("the adapter has no open binding to unbind");
        handler = state_.protocol->characteristics.UnbindAdapterHandler;
        context = binding_->protocolContext;
        unbindContext = state_.NewToken();
    }
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    handler(&status, context, unbindContext);
    return status;
}

bool Adapter::IsOpen() const
{
    std::lock_guard lock(state_.mutex);
    return binding_ && binding_->state == BindingState::Open;
}

NDIS_STATUS Adapter::SendPnPEvent(NET_PNP_EVENT_CODE code, const std::vector<uint8_t> &buffer)
{
    RequirePassiveCaller("SendPnPEvent");
    PNP_EVENT_HANDLER *handler;
    NDIS_HANDLE context;
    {
        std::lock_guard lock(state_.mutex);
        if (!binding_ || binding_->state != BindingState::Open || !state_.protocol)
            throw std::logic_error("the adapter has no open binding");
        handler = state_.protocol->characteristics.PnPEventHandler;
        context = binding_->protocolContext;
    }
    return InvokePnPHandler(handler, context, code, buffer);
}

bool Adapter::IndicateStatus(NDIS_STATUS status, const std::vector<uint8_t> &buffer)
{
    BindingCall call = state_.BeginCall(*this);
    if (!call)
        return false;
    std::unique_ptr<uint8_t[]> copy;
    if (!buffer.empty()) {
        copy = std::make_unique<uint8_t[]>(buffer.size());
        std::memcpy(copy.get(), buffer.data(), buffer.size());
    }
    IrqlScope dispatch(DISPATCH_LEVEL);
    call.handlers().StatusHandler(call.context(), status, copy.get(), static_cast<UINT>(buffer.size()));
    call.handlers().StatusCompleteHandler(call.context());
    return true;
}

void Adapter::SetScript(NdisOperation operation, Script script)
{
    std::lock_guard lock(state_.mutex);
    scripts_[operation] = script;
}

void Adapter::ScriptNext(NdisOperation operation, Script script)
{
    std::lock_guard lock(state_.mutex);
    nextScripts_[operation].push_back(script);
}

Script Adapter::TakeScript(NdisOperation operation)
{
    auto &queue = nextScripts_[operation];
    if (!queue.empty()) {
        Script script = queue.front();
        queue.pop_front();
        return script;
    }
    auto found = scripts_.find(operation);
    return found == scripts_.end() ? Script{} : found->second;
}

bool Adapter::ReleasePending(NdisOperation operation, size_t index, std::optional<NDIS_STATUS> status)
{
    std::shared_ptr<NdisPendingOp> chosen;
    {
        std::lock_guard lock(state_.mutex);
        for (const auto &op : pending_) {
            if (op->operation != operation || op->mode != CompletionMode::Held || op->claimed)
                continue;
            if (index-- == 0) {
                chosen = op;
                break;
            }
        }
    }
    return chosen && state_.Complete(chosen, status);
}

size_t Adapter::HeldCount(NdisOperation operation) const
{
    std::lock_guard lock(state_.mutex);
    size_t count = 0;
    for (const auto &op : pending_) {
        if (op->operation == operation && op->mode == CompletionMode::Held && !op->claimed)
            count++;
    }
    return count;
}

size_t Adapter::OutstandingCount() const
{
    std::lock_guard lock(state_.mutex);
    size_t count = 0;
    for (const auto &op : pending_)
        count += op->claimed ? 0 : 1;
    return count;
}

std::vector<RequestRecord> Adapter::Requests() const
{
    std::lock_guard lock(state_.mutex);
    return requests_;
}

std::vector<Frame> Adapter::SentFrames() const
{
    std::lock_guard lock(state_.mutex);
    return {sentFrames_.begin(), sentFrames_.end()};
}

size_t Adapter::ResetCount() const
{
    std::lock_guard lock(state_.mutex);
    return resets_;
}

size_t Adapter::LentPackets() const
{
    std::lock_guard lock(state_.mutex);
    return binding_ ? binding_->lentPackets : 0;
}

void Adapter::SetReceivePath(ReceivePath path)
{
    std::lock_guard lock(state_.mutex);
    config_.receivePath = path;
}

Segment *Adapter::AttachedSegment() const
{
    std::lock_guard lock(state_.mutex);
    return segment_;
}

NDIS_STATUS Adapter::AnswerRequest(PNDIS_REQUEST request, RequestRecord &record)
{
    NDIS_STATUS status;
    if (request->RequestType == NdisRequestQueryInformation) {
        auto &query = request->DATA.QUERY_INFORMATION;
        query.BytesWritten = 0;
        query.BytesNeeded = 0;
        auto found = objects_.find(query.Oid);
        if (found == objects_.end()) {
            status = NDIS_STATUS_INVALID_OID;
        } else if (query.InformationBufferLength < found->second.bytes.size()) {
            query.BytesNeeded = static_cast<UINT>(found->second.bytes.size());
            status = config_.shortBufferStatus;
        } else {
            if (!found->second.bytes.empty())
                std::memcpy(query.InformationBuffer, found->second.bytes.data(), found->second.bytes.size());
            query.BytesWritten = static_cast<UINT>(found->second.bytes.size());
            status = NDIS_STATUS_SUCCESS;
        }
        record.bytesTransferred = query.BytesWritten;
        record.bytesNeeded = query.BytesNeeded;
        return status;
    }
    if (request->RequestType == NdisRequestSetInformation) {
        auto &set = request->DATA.SET_INFORMATION;
        set.BytesRead = 0;
        set.BytesNeeded = 0;
        auto found = objects_.find(set.Oid);
        if (found == objects_.end()) {
            status = NDIS_STATUS_INVALID_OID;
        } else if (found->second.readOnly) {
            status = NDIS_STATUS_NOT_SUPPORTED;
        } else if ((set.Oid == OID_GEN_CURRENT_PACKET_FILTER || set.Oid == kOid8025CurrentFunctional) &&
                   set.InformationBufferLength != 4) {
            set.BytesNeeded = 4;
            status = NDIS_STATUS_INVALID_LENGTH;
        } else if (set.Oid == kOid8023MulticastList &&
                   (set.InformationBufferLength % 6 != 0 || set.InformationBufferLength > kMulticastListSize * 6)) {
            status = NDIS_STATUS_INVALID_LENGTH;
        } else {
            const auto *bytes = static_cast<const uint8_t *>(set.InformationBuffer);
            found->second.bytes.assign(bytes, bytes + set.InformationBufferLength);
            set.BytesRead = set.InformationBufferLength;
            status = NDIS_STATUS_SUCCESS;
        }
        record.bytesTransferred = set.BytesRead;
        record.bytesNeeded = set.BytesNeeded;
        return status;
    }
    // Statistics and the other kinds are not answered; their counters say nothing moved.
    request->DATA.QUERY_INFORMATION.BytesWritten = 0;
    request->DATA.QUERY_INFORMATION.BytesNeeded = 0;
    record.bytesTransferred = 0;
    record.bytesNeeded = 0;
    return NDIS_STATUS_NOT_SUPPORTED;
}

size_t Adapter::HeaderSize(const Frame &frame) const
{
    return MacHeaderSize(config_.medium, frame);
}

bool Adapter::Accepts(const Frame &frame) const
{
    uint32_t filter = PacketFilter();
    if (filter == 0 || frame.size() < HeaderSize(frame))
        return false;
    if (filter & kPacketTypePromiscuous)
        return true;
    MacAddress destination = FrameDestination(config_.medium, frame);
    if (IsBroadcastAddress(config_.medium, destination))
        return (filter & kPacketTypeBroadcast) != 0;
    if (IsGroupAddress(config_.medium, destination))
        return (filter & (kPacketTypeMulticast | kPacketTypeAllMulticast)) != 0;
    return (filter & kPacketTypeDirected) != 0 && destination == config_.macAddress;
}

void Adapter::DeliverFromSegment(const Frame &frame)
{
    bool packetPath;
    {
        std::lock_guard lock(state_.mutex);
        packetPath = config_.receivePath == ReceivePath::Packet && state_.protocol &&
                     state_.protocol->characteristics.ReceivePacketHandler != nullptr;
    }
    if (packetPath)
        IndicatePacket(frame);
    else
        IndicateReceive(frame);
    IndicateReceiveComplete();
}

}  // namespace sim
