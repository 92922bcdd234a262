// frames.cpp - 802.3 and 802.5 frames with IEEE 802.2 (LLC) headers: building one from
// addresses, SAPs, control and information field, decoding a received one without ever
// reading past its end, the XID information field and MAC address text.
#include "client/internal.h"

#include <cstdio>
#include <cstring>

using namespace krvdlc::client;

namespace {

constexpr krvdlc_u32 kMaxLlcPdu8023 = 1500;   // a larger length field would read as a type
constexpr krvdlc_u16 kLengthLimit = 0x0600;
constexpr krvdlc_u32 kSnaLlcOffset = 17;      // type, 2-byte length, one pad byte

krvdlc_u32 ControlSize(krvdlc_u16 control)
{
    return (control & 0x03) == 0x03 ? 1 : 2;
}

krvdlc_result BadFrame(krvdlc_error *error, const char *operation, const std::string &detail)
{
    return Report(error, KRVDLC_E_MALFORMED_FRAME, 0, "", operation, detail);
}

// Routing information as a Token Ring frame carries it: routing control with the length
// in the low five bits of its first byte, then 2-byte route designators.
bool RoutingValid(const krvdlc_u8 *routing, krvdlc_u32 size)
{
    return size >= 2 && size <= KRVDLC_ROUTING_MAXIMUM && size % 2 == 0 && (routing[0] & 0x1F) == size;
}

// Decodes the LLC header at `offset` of a PDU that ends at `end`.
krvdlc_result DecodeLlc(const krvdlc_u8 *frame, krvdlc_u32 offset, krvdlc_u32 end, krvdlc_decoded_frame *d,
                        krvdlc_error *error)
{
    if (end < offset + 3)
        return BadFrame(error, "decode", "LLC header cut short at byte " + std::to_string(end));
    d->dsap = frame[offset];
    d->ssap = frame[offset + 1] & static_cast<krvdlc_u8>(~KRVDLC_SSAP_RESPONSE);
    d->response = (frame[offset + 1] & KRVDLC_SSAP_RESPONSE) != 0;
    krvdlc_u8 first = frame[offset + 2];
    krvdlc_u32 controlSize = ControlSize(first);
    if (end < offset + 2 + controlSize)
        return BadFrame(error, "decode", "two-byte LLC control field cut short");
    if (controlSize == 1) {
        d->format = KRVDLC_FORMAT_U;
        d->control = first;
        d->u_modifier = static_cast<krvdlc_u8>(first & ~KRVDLC_POLL_FINAL);
        d->poll_final = (first & KRVDLC_POLL_FINAL) != 0;
    } else {
        krvdlc_u8 second = frame[offset + 3];
        d->control = static_cast<krvdlc_u16>(first | (second << 8));
        d->format = (first & 0x01) == 0 ? KRVDLC_FORMAT_I : KRVDLC_FORMAT_S;
        if (d->format == KRVDLC_FORMAT_I)
            d->ns = static_cast<krvdlc_u8>(first >> 1);
        else
            d->s_function = static_cast<krvdlc_u8>((first >> 2) & 0x03);
        d->nr = static_cast<krvdlc_u8>(second >> 1);
        d->poll_final = second & 0x01;
    }
    d->has_llc = 1;
    d->information = frame + offset + 2 + controlSize;
    d->information_size = end - (offset + 2 + controlSize);
    return Succeed(error);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" {

krvdlc_result KRVDLC_CALL krvdlc_build_frame(const krvdlc_frame_fields *fields, void *buffer, krvdlc_u32 capacity,
                                             krvdlc_u32 *size, krvdlc_error *error)
{
    if (fields == nullptr || size == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "build frame", "no frame description or no place for its size");
    if (fields->information == nullptr && fields->information_size > 0)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "build frame", "information size without information");
    bool tokenRing = fields->medium == KRVDLC_MEDIUM_TOKEN_RING;
    if (!tokenRing && fields->medium != KRVDLC_MEDIUM_ETHERNET)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "build frame",
                      "medium " + std::to_string(fields->medium) + " is neither Ethernet nor Token Ring");
    if (ControlSize(fields->control) == 1 && fields->control > 0xFF)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "build frame",
                      "a U-format control field is one byte, not " + Hex32(fields->control));
    if (fields->routing_size > 0) {
        if (!tokenRing)
            return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "build frame",
                          "routing information is for Token Ring frames only");
        if (fields->routing == nullptr || !RoutingValid(fields->routing, fields->routing_size))
            return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "build frame",
                          "routing information of " + std::to_string(fields->routing_size) +
                              " bytes: it must be 2 to 18, even, and its first byte must give that length");
    }
    krvdlc_u32 pduSize = 2 + ControlSize(fields->control) + fields->information_size;
    if (!tokenRing && pduSize > kMaxLlcPdu8023)
        return Report(error, KRVDLC_E_FRAME_TOO_LONG, 0, "", "build frame",
                      "an 802.3 LLC PDU carries at most 1500 bytes, not " + std::to_string(pduSize));
    krvdlc_u32 need = KRVDLC_ETHERNET_HEADER_SIZE + fields->routing_size + pduSize;
    if (!tokenRing && fields->pad && need < KRVDLC_ETHERNET_MINIMUM_FRAME)
        need = KRVDLC_ETHERNET_MINIMUM_FRAME;
    *size = need;
    if (buffer == nullptr || capacity < need)
        return Report(error, KRVDLC_E_BUFFER_TOO_SMALL, 0, "", "build frame",
                      "the frame needs " + std::to_string(need) + " bytes, the buffer has " + std::to_string(capacity));

    auto *out = static_cast<krvdlc_u8 *>(buffer);
    std::memset(out, 0, need);
    krvdlc_u32 at = 0;
    if (tokenRing) {
        out[at++] = fields->access_control != 0 ? fields->access_control : KRVDLC_TR_ACCESS_CONTROL;
        out[at++] = fields->frame_control != 0 ? fields->frame_control : KRVDLC_TR_FRAME_CONTROL_LLC;
    }
    std::memcpy(out + at, fields->destination, KRVDLC_MAC_SIZE);
    at += KRVDLC_MAC_SIZE;
    std::memcpy(out + at, fields->source, KRVDLC_MAC_SIZE);
    if (tokenRing && fields->routing_size > 0)
        out[at] |= KRVDLC_TR_ROUTED;
    else if (tokenRing)
        out[at] &= static_cast<krvdlc_u8>(~KRVDLC_TR_ROUTED);
    at += KRVDLC_MAC_SIZE;
    if (tokenRing) {
        if (fields->routing_size > 0)
            std::memcpy(out + at, fields->routing, fields->routing_size);
        at += fields->routing_size;
    } else {
        out[at++] = static_cast<krvdlc_u8>(pduSize >> 8);
        out[at++] = static_cast<krvdlc_u8>(pduSize);
    }
    out[at++] = fields->dsap;
    out[at++] = static_cast<krvdlc_u8>(fields->ssap | (fields->response ? KRVDLC_SSAP_RESPONSE : 0));
    out[at++] = static_cast<krvdlc_u8>(fields->control);
    if (ControlSize(fields->control) == 2)
        out[at++] = static_cast<krvdlc_u8>(fields->control >> 8);
    if (fields->information_size > 0)
        std::memcpy(out + at, fields->information, fields->information_size);
    return Succeed(error);
}

krvdlc_result KRVDLC_CALL krvdlc_decode_frame(krvdlc_medium medium, const void *frame, krvdlc_u32 size,
                                              krvdlc_decoded_frame *decoded, krvdlc_error *error)
{
    if (decoded == nullptr || (frame == nullptr && size > 0))
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "decode", "no frame or no place for the result");
    std::memset(decoded, 0, sizeof *decoded);
    decoded->medium = medium;
    const auto *bytes = static_cast<const krvdlc_u8 *>(frame);
    if (size < KRVDLC_ETHERNET_HEADER_SIZE)
        return BadFrame(error, "decode", "frame too short for its MAC header: " + std::to_string(size) + " bytes");

    if (medium == KRVDLC_MEDIUM_TOKEN_RING) {
        decoded->access_control = bytes[0];
        decoded->frame_control = bytes[1];
        std::memcpy(decoded->destination, bytes + 2, KRVDLC_MAC_SIZE);
        std::memcpy(decoded->source, bytes + 8, KRVDLC_MAC_SIZE);
        decoded->source[0] &= static_cast<krvdlc_u8>(~KRVDLC_TR_ROUTED);
        bool llc = (bytes[1] & 0xC0) == 0x40;
        decoded->kind = llc ? KRVDLC_FRAME_TOKEN_RING_LLC : KRVDLC_FRAME_TOKEN_RING_MAC;
        krvdlc_u32 offset = KRVDLC_TOKEN_RING_HEADER_SIZE;
        if ((bytes[8] & KRVDLC_TR_ROUTED) != 0) {
            krvdlc_u32 routingSize = size > offset ? (bytes[offset] & 0x1Fu) : 0;
            if (size <= offset || routingSize < 2 || routingSize % 2 != 0 || size < offset + routingSize)
                return BadFrame(error, "decode", "routing information missing, odd or cut short");
            decoded->routing = bytes + offset;
            decoded->routing_size = routingSize;
            offset += routingSize;
        }
        if (!llc)
            return Succeed(error);
        return DecodeLlc(bytes, offset, size, decoded, error);
    }
    if (medium != KRVDLC_MEDIUM_ETHERNET)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "decode",
                      "medium " + std::to_string(medium) + " is neither Ethernet nor Token Ring");

    std::memcpy(decoded->destination, bytes, KRVDLC_MAC_SIZE);
    std::memcpy(decoded->source, bytes + 6, KRVDLC_MAC_SIZE);
    decoded->length_or_type = static_cast<krvdlc_u16>(bytes[12] << 8 | bytes[13]);
    krvdlc_u32 offset;
    krvdlc_u32 pduSize;
    if (decoded->length_or_type < kLengthLimit) {
        decoded->kind = KRVDLC_FRAME_802_3;
        offset = KRVDLC_ETHERNET_HEADER_SIZE;
        pduSize = decoded->length_or_type;
    } else if (decoded->length_or_type == KRVDLC_SNA_SERVICES_TYPE) {
        decoded->kind = KRVDLC_FRAME_SNA_SERVICES;
        if (size < kSnaLlcOffset)
            return BadFrame(error, "decode", "SNA services header cut short");
        offset = kSnaLlcOffset;
        pduSize = static_cast<krvdlc_u32>(bytes[14] << 8 | bytes[15]);
    } else {
        decoded->kind = KRVDLC_FRAME_ETHERNET_II;
        return Succeed(error);
    }
    // The length field bounds the PDU (the rest is padding); a frame cut by a short read
    // ends sooner.
    krvdlc_u32 end = offset + pduSize < size ? offset + pduSize : size;
    return DecodeLlc(bytes, offset, end, decoded, error);
}

krvdlc_result KRVDLC_CALL krvdlc_reverse_routing(const krvdlc_u8 *routing, krvdlc_u32 size, krvdlc_u8 *out,
                                                 krvdlc_error *error)
{
    if (routing == nullptr || out == nullptr || !RoutingValid(routing, size))
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "reverse routing",
                      "routing information of " + std::to_string(size) +
                          " bytes: it must be 2 to 18, even, and its first byte must give that length");
    std::memmove(out, routing, size);
    out[0] &= 0x1F;    // specifically routed: the answer follows the one route it came by
    out[1] ^= 0x80;    // direction: the route designators are read from the other end
    return Succeed(error);
}

const char *KRVDLC_CALL krvdlc_control_name(const krvdlc_decoded_frame *decoded)
{
    if (decoded == nullptr || !decoded->has_llc)
        return "";
    if (decoded->format == KRVDLC_FORMAT_I)
        return "I";
    if (decoded->format == KRVDLC_FORMAT_S) {
        static const char *const kSupervisory[] = {"RR", "RNR", "REJ", "S(3)"};
        return kSupervisory[decoded->s_function & 3];
    }
    switch (decoded->u_modifier) {
    case KRVDLC_CONTROL_UI: return "UI";
    case KRVDLC_CONTROL_XID: return "XID";
    case KRVDLC_CONTROL_TEST: return "TEST";
    case KRVDLC_CONTROL_SABME: return "SABME";
    case KRVDLC_CONTROL_UA: return "UA";
    case KRVDLC_CONTROL_DISC: return "DISC";
    case KRVDLC_CONTROL_DM: return "DM";
    case KRVDLC_CONTROL_FRMR: return "FRMR";
    default: return "U";
    }
}

void KRVDLC_CALL krvdlc_build_xid(krvdlc_u8 types, krvdlc_u8 receive_window, krvdlc_u8 out[3])
{
    out[0] = KRVDLC_XID_FORMAT_BASIC;
    out[1] = types;
    out[2] = static_cast<krvdlc_u8>((receive_window & 0x7F) << 1);
}

krvdlc_result KRVDLC_CALL krvdlc_decode_xid(const krvdlc_u8 *information, krvdlc_u32 size, krvdlc_xid *xid,
                                            krvdlc_error *error)
{
    if (xid == nullptr || (information == nullptr && size > 0))
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "decode XID", "no information field or no place for it");
    if (size < 3)
        return BadFrame(error, "decode XID", "information field of " + std::to_string(size) + " bytes; the basic format has 3");
    if (information[0] != KRVDLC_XID_FORMAT_BASIC)
        return BadFrame(error, "decode XID", "format identifier " + Hex32(information[0]) + " is not the basic format 0x81");
    xid->format = information[0];
    xid->types = information[1];
    // Classes by the LLC types they offer: 1 = type 1, 2 = types 1 and 2, 3 = types 1
    // and 3, 4 = all three.
    switch (information[1] & 0x07) {
    case 0x01: xid->llc_class = 1; break;
    case 0x03: xid->llc_class = 2; break;
    case 0x05: xid->llc_class = 3; break;
    case 0x07: xid->llc_class = 4; break;
    default: xid->llc_class = 0; break;
    }
    xid->receive_window = static_cast<krvdlc_u8>(information[2] >> 1);
    return Succeed(error);
}

krvdlc_result KRVDLC_CALL krvdlc_parse_mac(const char *text, krvdlc_u8 address[KRVDLC_MAC_SIZE], krvdlc_error *error)
{
    if (text == nullptr || address == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "parse MAC address", "no text or no place for it");
    krvdlc_u8 parsed[KRVDLC_MAC_SIZE];
    size_t length = std::strlen(text);
    bool ok = false;
    if (length == 12) {
        ok = true;
        for (size_t i = 0; i < 6 && ok; ++i) {
            int high = HexDigit(text[2 * i]);
            int low = HexDigit(text[2 * i + 1]);
            ok = high >= 0 && low >= 0;
            parsed[i] = static_cast<krvdlc_u8>(high << 4 | (low & 0x0F));
        }
    } else if (length == 17) {
        char separator = text[2];
        ok = separator == ':' || separator == '-';
        for (size_t i = 0; i < 6 && ok; ++i) {
            int high = HexDigit(text[3 * i]);
            int low = HexDigit(text[3 * i + 1]);
            ok = high >= 0 && low >= 0 && (i == 5 || text[3 * i + 2] == separator);
            parsed[i] = static_cast<krvdlc_u8>(high << 4 | (low & 0x0F));
        }
    }
    if (!ok)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "", "parse MAC address",
                      "malformed MAC address \"" + std::string(text) +
                          "\"; write six hex bytes like 02:00:4B:00:00:01, 02-00-4B-00-00-01 or 02004B000001");
    std::memcpy(address, parsed, KRVDLC_MAC_SIZE);
    return Succeed(error);
}

void KRVDLC_CALL krvdlc_format_mac(const krvdlc_u8 address[KRVDLC_MAC_SIZE], char text[KRVDLC_MAC_TEXT_SIZE])
{
    std::snprintf(text, KRVDLC_MAC_TEXT_SIZE, "%02X:%02X:%02X:%02X:%02X:%02X", address[0], address[1], address[2],
                  address[3], address[4], address[5]);
}

}  // extern "C"
