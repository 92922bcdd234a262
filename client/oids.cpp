// oids.cpp - NDIS query and set requests through the driver's OID buffer, with its size
// rules and the sizes of the objects users ask for checked before the driver sees them,
// and the helpers for those objects.
#include "client/internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace krvdlc::client;

namespace {

constexpr krvdlc_u32 kOidHeader = 8;        // Oid and Length
constexpr krvdlc_u32 kOidMargin = 11;       // Length may be at most the buffer length minus 11
constexpr krvdlc_u32 kOidMinimumBuffer = 12;

// NDIS statuses a failed query or set comes back with.
constexpr uint32_t kNdisInvalidLength = 0xC0010014u;
constexpr uint32_t kNdisBufferTooShort = 0xC0010016u;
constexpr uint32_t kNdisInvalidOid = 0xC0010017u;
constexpr uint32_t kNdisNotSupported = 0xC00000BBu;
constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;

struct ObjectRule {
    krvdlc_u32 oid;
    const char *name;
    krvdlc_u32 size;        // exact size of the value; 0: any
    krvdlc_u32 unit;        // a set must be a multiple of it; 0: any
};

constexpr ObjectRule kObjectRules[] = {
    {KRVDLC_OID_GEN_LINK_SPEED, "OID_GEN_LINK_SPEED", 4, 0},
    {KRVDLC_OID_GEN_MAXIMUM_TOTAL_SIZE, "OID_GEN_MAXIMUM_TOTAL_SIZE", 4, 0},
    {KRVDLC_OID_GEN_CURRENT_PACKET_FILTER, "OID_GEN_CURRENT_PACKET_FILTER", 4, 0},
    {KRVDLC_OID_GEN_VENDOR_DESCRIPTION, "OID_GEN_VENDOR_DESCRIPTION", 0, 0},
    {KRVDLC_OID_GEN_MEDIA_CONNECT_STATUS, "OID_GEN_MEDIA_CONNECT_STATUS", 4, 0},
    {KRVDLC_OID_802_3_CURRENT_ADDRESS, "OID_802_3_CURRENT_ADDRESS", 6, 0},
    {KRVDLC_OID_802_3_MULTICAST_LIST, "OID_802_3_MULTICAST_LIST", 0, 6},
    {KRVDLC_OID_802_3_MAXIMUM_LIST_SIZE, "OID_802_3_MAXIMUM_LIST_SIZE", 4, 0},
    {KRVDLC_OID_802_5_CURRENT_ADDRESS, "OID_802_5_CURRENT_ADDRESS", 6, 0},
    {KRVDLC_OID_802_5_CURRENT_FUNCTIONAL, "OID_802_5_CURRENT_FUNCTIONAL", 4, 0},
};

const ObjectRule *RuleOf(krvdlc_u32 oid)
{
    for (const auto &rule : kObjectRules)
        if (rule.oid == oid)
            return &rule;
    return nullptr;
}

std::string ObjectName(krvdlc_u32 oid)
{
    const ObjectRule *rule = RuleOf(oid);
    return rule != nullptr ? std::string(rule->name) : "object " + Hex32(oid);
}

void PutLe32(uint8_t *out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(const uint8_t *in)
{
    return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

krvdlc_result Transfer(krvdlc_adapter *adapter, bool set, krvdlc_u32 oid, void *data, krvdlc_u32 size,
                       krvdlc_u32 *transferred, krvdlc_error *error)
{
    const char *operation = set ? "set" : "query";
    std::string object = ObjectName(oid);
    std::string subject = Subject(adapter);
    if (adapter == nullptr || (data == nullptr && size > 0))
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, subject, operation, object + ": no adapter or no data");
    if (size > KRVDLC_OID_DATA_MAXIMUM)
        return Report(error, KRVDLC_E_INVALID_LENGTH, 0, subject, operation,
                      object + ": " + std::to_string(size) + " bytes is more than the " +
                          std::to_string(KRVDLC_OID_DATA_MAXIMUM) + " a request may carry");
    if (const ObjectRule *rule = RuleOf(oid)) {
        if (rule->size != 0 && (set ? size != rule->size : size < rule->size))
            return Report(error, KRVDLC_E_INVALID_LENGTH, 0, subject, operation,
                          object + " takes " + std::to_string(rule->size) + " bytes, not " + std::to_string(size));
        if (set && rule->unit != 0 && size % rule->unit != 0)
            return Report(error, KRVDLC_E_INVALID_LENGTH, 0, subject, operation,
                          object + " takes a multiple of " + std::to_string(rule->unit) + " bytes, not " +
                              std::to_string(size));
    }

    // The driver's buffer: header and data, input and output lengths equal, Length at
    // most the buffer length minus 11.
    std::vector<uint8_t> buffer(std::max(kOidMinimumBuffer, size + kOidMargin), 0);
    PutLe32(&buffer[0], oid);
    PutLe32(&buffer[4], size);
    if (set && size > 0)
        std::memcpy(&buffer[kOidHeader], data, size);
    Request request;
    request.code = set ? kIoctlSetOid : kIoctlQueryOid;
    request.input = buffer.data();
    request.inputSize = static_cast<krvdlc_u32>(buffer.size());
    request.output = buffer.data();
    request.outputSize = static_cast<krvdlc_u32>(buffer.size());
    Outcome outcome = Carry(adapter->device, request, port::kInfinite);
    if (!outcome.ok) {
        std::string status = " (NDIS status " + Hex32(outcome.status) + ")";
        switch (outcome.status) {
        case kNdisInvalidOid:
            return Report(error, KRVDLC_E_NOT_SUPPORTED, outcome.error, subject, operation,
                          "the adapter does not support " + object + status);
        case kNdisNotSupported:
            return Report(error, KRVDLC_E_NOT_SUPPORTED, outcome.error, subject, operation,
                          "the adapter does not allow this on " + object + status);
        case kNdisInvalidLength:
        case kNdisBufferTooShort:
            return Report(error, set ? KRVDLC_E_INVALID_LENGTH : KRVDLC_E_BUFFER_TOO_SMALL, outcome.error, subject,
                          operation, "the adapter refused " + std::to_string(size) + " bytes for " + object + status);
        case kStatusUnsuccessful:
        case 0:
            return ReportFailure(error, adapter, operation, outcome);
        default:
            return Report(error, KRVDLC_E_IO, outcome.error, subject, operation,
                          "the adapter failed it for " + object + status);
        }
    }
    krvdlc_u32 done = GetLe32(&buffer[4]);
    if (done > size)
        done = size;
    if (!set && done > 0)
        std::memcpy(data, &buffer[kOidHeader], done);
    if (transferred != nullptr)
        *transferred = done;
    return Succeed(error);
}

krvdlc_result QueryValue(krvdlc_adapter *adapter, krvdlc_u32 oid, krvdlc_u32 *value, krvdlc_error *error)
{
    uint8_t bytes[4] = {0, 0, 0, 0};
    krvdlc_u32 written = 0;
    krvdlc_result result = Transfer(adapter, false, oid, bytes, sizeof bytes, &written, error);
    if (result != KRVDLC_OK)
        return result;
    if (written != sizeof bytes)
        return Report(error, KRVDLC_E_IO, 0, Subject(adapter), "query",
                      ObjectName(oid) + ": the adapter answered " + std::to_string(written) + " bytes instead of 4");
    *value = GetLe32(bytes);
    return result;
}

krvdlc_result SetValue(krvdlc_adapter *adapter, krvdlc_u32 oid, krvdlc_u32 value, krvdlc_error *error)
{
    uint8_t bytes[4];
    PutLe32(bytes, value);
    return Transfer(adapter, true, oid, bytes, sizeof bytes, nullptr, error);
}

krvdlc_result NoPlace(krvdlc_adapter *adapter, const char *what, krvdlc_error *error)
{
    return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "query", std::string(what) + ": no place for it");
}

}  // namespace

extern "C" {

krvdlc_result KRVDLC_CALL krvdlc_query_oid(krvdlc_adapter *adapter, krvdlc_u32 oid, void *data, krvdlc_u32 size,
                                           krvdlc_u32 *transferred, krvdlc_error *error)
{
    return Transfer(adapter, false, oid, data, size, transferred, error);
}

krvdlc_result KRVDLC_CALL krvdlc_set_oid(krvdlc_adapter *adapter, krvdlc_u32 oid, const void *data, krvdlc_u32 size,
                                         krvdlc_u32 *transferred, krvdlc_error *error)
{
    // Transfer only reads `data` for a set.
    return Transfer(adapter, true, oid, const_cast<void *>(data), size, transferred, error);
}

krvdlc_result KRVDLC_CALL krvdlc_get_link_speed(krvdlc_adapter *adapter, krvdlc_u32 *kbps, krvdlc_error *error)
{
    if (kbps == nullptr)
        return NoPlace(adapter, "link speed", error);
    krvdlc_u32 hundreds = 0;
    krvdlc_result result = QueryValue(adapter, KRVDLC_OID_GEN_LINK_SPEED, &hundreds, error);
    if (result == KRVDLC_OK)
        *kbps = hundreds / 10;
    return result;
}

krvdlc_result KRVDLC_CALL krvdlc_get_max_frame_size(krvdlc_adapter *adapter, krvdlc_u32 *bytes, krvdlc_error *error)
{
    if (bytes == nullptr)
        return NoPlace(adapter, "maximum frame size", error);
    return QueryValue(adapter, KRVDLC_OID_GEN_MAXIMUM_TOTAL_SIZE, bytes, error);
}

krvdlc_result KRVDLC_CALL krvdlc_get_packet_filter(krvdlc_adapter *adapter, krvdlc_u32 *filter, krvdlc_error *error)
{
    if (filter == nullptr)
        return NoPlace(adapter, "packet filter", error);
    return QueryValue(adapter, KRVDLC_OID_GEN_CURRENT_PACKET_FILTER, filter, error);
}

krvdlc_result KRVDLC_CALL krvdlc_set_packet_filter(krvdlc_adapter *adapter, krvdlc_u32 filter, krvdlc_error *error)
{
    if (filter == 0)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "set",
                      "a packet filter of 0 would stop all reception; give directed, multicast, broadcast or "
                      "promiscuous");
    return SetValue(adapter, KRVDLC_OID_GEN_CURRENT_PACKET_FILTER, filter, error);
}

krvdlc_result KRVDLC_CALL krvdlc_get_multicast_list(krvdlc_adapter *adapter, krvdlc_u8 (*addresses)[KRVDLC_MAC_SIZE],
                                                    krvdlc_u32 capacity, krvdlc_u32 *count, krvdlc_error *error)
{
    if (count == nullptr || (addresses == nullptr && capacity > 0))
        return NoPlace(adapter, "multicast list", error);
    // Asked with all the room a request has, so that the count is known even when the
    // caller's array is short.
    std::vector<uint8_t> list(KRVDLC_OID_DATA_MAXIMUM / KRVDLC_MAC_SIZE * KRVDLC_MAC_SIZE);
    krvdlc_u32 written = 0;
    krvdlc_result result = Transfer(adapter, false, KRVDLC_OID_802_3_MULTICAST_LIST, list.data(),
                                    static_cast<krvdlc_u32>(list.size()), &written, error);
    if (result != KRVDLC_OK)
        return result;
    krvdlc_u32 held = written / KRVDLC_MAC_SIZE;
    *count = held;
    for (krvdlc_u32 i = 0; i < held && i < capacity; ++i)
        std::memcpy(addresses[i], &list[i * KRVDLC_MAC_SIZE], KRVDLC_MAC_SIZE);
    if (held > capacity)
        return Report(error, KRVDLC_E_BUFFER_TOO_SMALL, 0, Subject(adapter), "query",
                      "the multicast list holds " + std::to_string(held) + " addresses, room was given for " +
                          std::to_string(capacity));
    return result;
}

krvdlc_result KRVDLC_CALL krvdlc_set_multicast_list(krvdlc_adapter *adapter,
                                                    const krvdlc_u8 (*addresses)[KRVDLC_MAC_SIZE], krvdlc_u32 count,
                                                    krvdlc_error *error)
{
    if (addresses == nullptr && count > 0)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "set", "multicast list: no addresses");
    if (count > KRVDLC_OID_DATA_MAXIMUM / KRVDLC_MAC_SIZE)
        return Report(error, KRVDLC_E_INVALID_LENGTH, 0, Subject(adapter), "set",
                      "multicast list: " + std::to_string(count) + " addresses are more than a request carries");
    return Transfer(adapter, true, KRVDLC_OID_802_3_MULTICAST_LIST, const_cast<krvdlc_u8 *>(&addresses[0][0]),
                    count * KRVDLC_MAC_SIZE, nullptr, error);
}

krvdlc_result KRVDLC_CALL krvdlc_get_functional_address(krvdlc_adapter *adapter, krvdlc_u8 address[4],
                                                        krvdlc_error *error)
{
    if (address == nullptr)
        return NoPlace(adapter, "functional address", error);
    return Transfer(adapter, false, KRVDLC_OID_802_5_CURRENT_FUNCTIONAL, address, 4, nullptr, error);
}

krvdlc_result KRVDLC_CALL krvdlc_set_functional_address(krvdlc_adapter *adapter, const krvdlc_u8 address[4],
                                                        krvdlc_error *error)
{
    if (address == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "set", "functional address: none given");
    return Transfer(adapter, true, KRVDLC_OID_802_5_CURRENT_FUNCTIONAL, const_cast<krvdlc_u8 *>(address), 4,
                    nullptr, error);
}

krvdlc_result KRVDLC_CALL krvdlc_get_vendor_description(krvdlc_adapter *adapter, char *text, krvdlc_u32 size,
                                                        krvdlc_error *error)
{
    if (text == nullptr || size == 0)
        return NoPlace(adapter, "vendor description", error);
    std::vector<char> answer(KRVDLC_OID_DATA_MAXIMUM);
    krvdlc_u32 written = 0;
    krvdlc_result result = Transfer(adapter, false, KRVDLC_OID_GEN_VENDOR_DESCRIPTION, answer.data(),
                                    static_cast<krvdlc_u32>(answer.size()), &written, error);
    if (result != KRVDLC_OK)
        return result;
    size_t length = 0;
    while (length < written && answer[length] != '\0' && length + 1 < size)
        ++length;
    std::memcpy(text, answer.data(), length);
    text[length] = '\0';
    return result;
}

krvdlc_result KRVDLC_CALL krvdlc_get_media_connect_status(krvdlc_adapter *adapter, int *connected,
                                                          krvdlc_error *error)
{
    if (connected == nullptr)
        return NoPlace(adapter, "media connect status", error);
    krvdlc_u32 state = 0;
    krvdlc_result result = QueryValue(adapter, KRVDLC_OID_GEN_MEDIA_CONNECT_STATUS, &state, error);
    if (result == KRVDLC_OK)
        *connected = state == 0 ? 1 : 0;   // NdisMediaStateConnected is 0
    return result;
}

}  // extern "C"
