// ndis_adapter.h - one simulated network adapter (a miniport and its NIC) as the
// protocol sees it through NDIS, and the test-facing handle to drive it.
//
// A test adds adapters with Ndis::AddAdapter. Each adapter answers the protocol's
// NdisOpenAdapter, NdisRequest, NdisReset, NdisSend and NdisTransferData the way the
// test scripts it (at once, or pending and completed later on the DPC thread or when
// the test releases it), keeps a table of NDIS objects for queries and sets, captures
// the frames the protocol sends and indicates frames to the protocol.
#pragma once

#include "sim/machine.h"

#include <array>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct NdisState;
struct NdisBinding;
struct NdisPendingOp;
class Segment;

using Frame = std::vector<uint8_t>;
using MacAddress = std::array<uint8_t, 6>;

// Packet-filter bits of OID_GEN_CURRENT_PACKET_FILTER beyond the one the driver names.
constexpr uint32_t kPacketTypeDirected = NDIS_PACKET_TYPE_DIRECTED;
constexpr uint32_t kPacketTypeMulticast = 0x00000002;
constexpr uint32_t kPacketTypeAllMulticast = 0x00000004;
constexpr uint32_t kPacketTypeBroadcast = 0x00000008;
constexpr uint32_t kPacketTypePromiscuous = 0x00000020;

// NDIS objects every simulated adapter answers beyond its address and packet filter, with
// the values a 10 Mbit/s Ethernet or 16 Mbit/s Token Ring NIC of the time reports. Tests
// change or remove them with Adapter::SetObject and Adapter::RemoveObject.
constexpr NDIS_OID kOidGenLinkSpeed = 0x00010107;          // units of 100 bit/s
constexpr NDIS_OID kOidGenVendorDescription = 0x0001010D;  // ASCII, NUL-terminated
constexpr NDIS_OID kOidGenMaximumTotalSize = 0x00010111;   // whole frame, header included
constexpr NDIS_OID kOidGenMediaConnectStatus = 0x00010114; // 0 connected, 1 disconnected
constexpr NDIS_OID kOid8023MulticastList = 0x01010103;     // 6 bytes per address
constexpr NDIS_OID kOid8023MaximumListSize = 0x01010104;
constexpr NDIS_OID kOid8025CurrentFunctional = 0x02010103; // 4 bytes
constexpr uint32_t kMulticastListSize = 32;

// The calls of a binding whose ending a test can script.
enum class NdisOperation { Open, Close, Request, Reset, Send, TransferData };
const char *NdisOperationName(NdisOperation operation);

enum class CompletionMode {
    Immediate,  // the call itself returns the final status
    Dpc,        // the call returns NDIS_STATUS_PENDING; the completion runs on the DPC thread
    Held,       // the call returns NDIS_STATUS_PENDING; Adapter::ReleasePending completes it
};

struct Script {
    CompletionMode mode = CompletionMode::Immediate;
    // The final status. For a request, NDIS_STATUS_SUCCESS means "answer from the
    // object table", which may still fail (unknown object, short buffer ...).
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
};

// How the adapter hands frames from its segment to the protocol.
enum class ReceivePath {
    Lookahead,  // receive handler with header and lookahead, data by NdisTransferData
    Packet,     // receive-packet handler with a whole packet (lookahead if there is none)
};

struct AdapterConfig {
    std::u16string deviceName;                  // \Device\{X}
    std::optional<std::u16string> instanceName; // what NdisQueryAdapterInstanceName gives
    NDIS_MEDIUM medium = NdisMedium802_3;       // any value, for tests of odd media
    MacAddress macAddress{};
    uint32_t packetFilter = 0;                  // initial OID_GEN_CURRENT_PACKET_FILTER
    ReceivePath receivePath = ReceivePath::Lookahead;
    // Status of a query whose buffer is too short for the object: NDIS allows
    // NDIS_STATUS_INVALID_LENGTH or NDIS_STATUS_BUFFER_TOO_SHORT.
    NDIS_STATUS shortBufferStatus = NDIS_STATUS_INVALID_LENGTH;
    // What the bind handler receives as SystemSpecific1 and SystemSpecific2.
    void *bindSystemSpecific1 = nullptr;
    void *bindSystemSpecific2 = nullptr;
};

// One NdisRequest the protocol made, with its outcome once it has one.
struct RequestRecord {
    NDIS_REQUEST_TYPE type = NdisRequestQueryInformation;
    NDIS_OID oid = 0;
    UINT informationBufferLength = 0;
    bool pended = false;
    bool completed = false;
    NDIS_STATUS status = NDIS_STATUS_PENDING;
    UINT bytesTransferred = 0;   // BytesWritten (query) or BytesRead (set)
    UINT bytesNeeded = 0;
};

struct ReceiveOptions {
    std::optional<size_t> lookaheadSize;  // default: all of the frame after the header
    std::optional<size_t> headerSize;     // default: the medium's MAC header
    bool nullHeaderBuffer = false;        // HeaderBuffer null, HeaderBufferSize kept
    // PacketSize as indicated, whatever the frame holds (a miniport's own count may be
    // wrong); default: the data after the header. Transfers still copy only real bytes.
    std::optional<UINT> packetSize;
};

struct PacketOptions {
    std::vector<size_t> splitAt;          // frame offsets where a new buffer begins
    bool mapped = true;                   // buffers already mapped to system space
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;  // or NDIS_STATUS_RESOURCES
    std::optional<size_t> headerSize;     // HeaderSize in the out-of-band data
};

class Adapter {
public:
    Adapter(NdisState &state, AdapterConfig config);
    ~Adapter();
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    const std::u16string &DeviceName() const { return config_.deviceName; }
    const std::optional<std::u16string> &InstanceName() const { return config_.instanceName; }
    NDIS_MEDIUM Medium() const { return config_.medium; }
    const MacAddress &Address() const { return config_.macAddress; }

    // NDIS objects the adapter answers.
    void SetObject(NDIS_OID oid, std::vector<uint8_t> value, bool readOnly = false);
    void RemoveObject(NDIS_OID oid);
    std::optional<std::vector<uint8_t>> Object(NDIS_OID oid) const;
    uint32_t PacketFilter() const;

    // Binding, at PASSIVE_LEVEL on the calling thread. Bind returns the status the
    // bind handler reported; Unbind needs an open binding and returns the unbind status.
    NDIS_STATUS Bind();
    NDIS_STATUS Unbind();
    bool IsOpen() const;
    // Plug-and-play event for this binding (the protocol's binding context is passed).
    NDIS_STATUS SendPnPEvent(NET_PNP_EVENT_CODE code, const std::vector<uint8_t> &buffer = {});
    // Status and status-complete handlers at DISPATCH_LEVEL; false without an open binding.
    bool IndicateStatus(NDIS_STATUS status, const std::vector<uint8_t> &buffer = {});

    // Scripting: the default ending of every call of a kind, and one-shot endings that
    // are used, oldest first, before the default.
    void SetScript(NdisOperation operation, Script script);
    void ScriptNext(NdisOperation operation, Script script);
    // Completes the index-th (0 = oldest) held call of the kind on the calling thread at
    // DISPATCH_LEVEL, with the scripted status unless another is given. False when
    // there is no such call.
    bool ReleasePending(NdisOperation operation, size_t index = 0,
                        std::optional<NDIS_STATUS> status = std::nullopt);
    size_t HeldCount(NdisOperation operation) const;
    // Calls of any kind that returned NDIS_STATUS_PENDING and are not yet complete.
    size_t OutstandingCount() const;

    // What the protocol did.
    std::vector<RequestRecord> Requests() const;
    // The latest kSentFramesKept frames sent, oldest first (a live adapter sends for hours).
    std::vector<Frame> SentFrames() const;
    size_t ResetCount() const;
    size_t LentPackets() const;  // indicated packets the protocol still holds

    // Receive indications on the calling thread, raised to DISPATCH_LEVEL. They return
    // nothing when there is no open binding to indicate to.
    std::optional<NDIS_STATUS> IndicateReceive(const Frame &frame, const ReceiveOptions &options = {});
    std::optional<INT> IndicatePacket(const Frame &frame, const PacketOptions &options = {});
    bool IndicateReceiveComplete();
    void SetReceivePath(ReceivePath path);

    Segment *AttachedSegment() const;

    // ---- used by the simulated NDIS routines (state mutex held where noted) ----
    NDIS_STATUS AnswerRequest(PNDIS_REQUEST request, RequestRecord &record);  // mutex held
    Script TakeScript(NdisOperation operation);                               // mutex held
    size_t HeaderSize(const Frame &frame) const;
    bool Accepts(const Frame &frame) const;            // receive filter; mutex not held
    void DeliverFromSegment(const Frame &frame);       // DPC thread

private:
    friend struct NdisState;
    friend class Segment;
    friend VOID NTAPI(::NdisOpenAdapter)(PNDIS_STATUS, PNDIS_STATUS, PNDIS_HANDLE, PUINT,
                                        PNDIS_MEDIUM, UINT, NDIS_HANDLE, NDIS_HANDLE,
                                        PNDIS_STRING, UINT, PVOID);
    friend VOID NTAPI(::NdisCloseAdapter)(PNDIS_STATUS, NDIS_HANDLE);
    friend VOID NTAPI(::NdisRequest)(PNDIS_STATUS, NDIS_HANDLE, PNDIS_REQUEST);
    friend VOID NTAPI(::NdisReset)(PNDIS_STATUS, NDIS_HANDLE);
    friend VOID NTAPI(::NdisSend)(PNDIS_STATUS, NDIS_HANDLE, PNDIS_PACKET);
    struct ObjectValue {
        std::vector<uint8_t> bytes;
        bool readOnly = false;
    };

    NdisState &state_;
    AdapterConfig config_;
    std::map<NDIS_OID, ObjectValue> objects_;
    std::map<NdisOperation, Script> scripts_;
    std::map<NdisOperation, std::deque<Script>> nextScripts_;
    std::shared_ptr<NdisBinding> binding_;                  // open, opening or closing
    std::list<std::shared_ptr<NdisPendingOp>> pending_;     // outstanding, oldest first
    std::vector<RequestRecord> requests_;
    static constexpr size_t kSentFramesKept = 4096;
    std::deque<Frame> sentFrames_;
    size_t resets_ = 0;
    Segment *segment_ = nullptr;
};

}  // namespace sim
