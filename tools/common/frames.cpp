// frames.cpp - building, decoding and printing LLC frames on Ethernet and Token Ring.
#include "tools/common/frames.h"

#include <algorithm>
#include <cstdio>

namespace krvdlc::frames {

namespace {

void Append(Bytes &out, const MacAddress &address)
{
    out.insert(out.end(), address.begin(), address.end());
}

void AppendBigEndian16(Bytes &out, size_t value)
{
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

MacAddress AddressAt(const Bytes &frame, size_t offset)
{
    MacAddress address{};
    std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(offset), address.size(),
                address.begin());
    return address;
}

std::string Hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

// Reads the LLC header at `offset` when the frame holds all of it.
void DecodeLlc(const Bytes &frame, size_t offset, Decoded &decoded)
{
    decoded.llcOffset = offset;
    if (frame.size() < offset + 3)
        return;
    Llc llc;
    llc.dsap = frame[offset];
    llc.ssap = frame[offset + 1];
    llc.control = frame[offset + 2];
    size_t controlSize = ControlSize(llc.control);
    if (controlSize == 2) {
        if (frame.size() < offset + 4)
            return;
        llc.control = static_cast<uint16_t>(llc.control | frame[offset + 3] << 8);
    }
    decoded.llc = llc;
    decoded.informationOffset = offset + 2 + controlSize;
    decoded.informationSize = frame.size() - decoded.informationOffset;
}

}  // namespace

size_t ControlSize(uint16_t control)
{
    return (control & 0x03) == 0x03 ? 1 : 2;
}

Bytes XidInformation(uint8_t receiveWindow)
{
    // Format 0x81 (IEEE basic), class: Type 1 and Type 2 (0x03), window in bits 1-7.
    return {0x81, 0x03, static_cast<uint8_t>(receiveWindow << 1)};
}

Bytes LlcPdu(const Llc &llc, const Bytes &information)
{
    Bytes pdu{llc.dsap, llc.ssap, static_cast<uint8_t>(llc.control & 0xFF)};
    if (ControlSize(llc.control) == 2)
        pdu.push_back(static_cast<uint8_t>(llc.control >> 8));
    pdu.insert(pdu.end(), information.begin(), information.end());
    return pdu;
}

Bytes Ethernet8023(const MacAddress &destination, const MacAddress &source, const Llc &llc,
                   const Bytes &information, size_t minimumSize)
{
    Bytes pdu = LlcPdu(llc, information);
    Bytes frame;
    Append(frame, destination);
    Append(frame, source);
    AppendBigEndian16(frame, pdu.size());
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    if (frame.size() < minimumSize)
        frame.resize(minimumSize, 0);
    return frame;
}

Bytes EthernetSnaServices(const MacAddress &destination, const MacAddress &source,
                          const Llc &llc, const Bytes &information)
{
    Bytes pdu = LlcPdu(llc, information);
    Bytes frame;
    Append(frame, destination);
    Append(frame, source);
    AppendBigEndian16(frame, kSnaServicesType);
    AppendBigEndian16(frame, pdu.size());
    frame.push_back(0x00);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

Bytes TokenRing(const MacAddress &destination, const MacAddress &source, const Llc &llc,
                const Bytes &information, const Bytes &routing, uint8_t accessControl,
                uint8_t frameControl)
{
    Bytes frame{accessControl, frameControl};
    Append(frame, destination);
    MacAddress from = source;
    if (!routing.empty())
        from[0] |= kTokenRingRouted;
    Append(frame, from);
    frame.insert(frame.end(), routing.begin(), routing.end());
    Bytes pdu = LlcPdu(llc, information);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

Bytes RoutingInformation(const std::vector<uint16_t> &routeDesignators)
{
    size_t length = 2 + 2 * routeDesignators.size();
    Bytes routing{static_cast<uint8_t>(length & 0x1F), 0x30};
    for (uint16_t designator : routeDesignators)
        AppendBigEndian16(routing, designator);
    return routing;
}

Decoded Decode(uint32_t medium, const Bytes &frame)
{
    Decoded decoded;
    decoded.medium = medium;
    if (medium == kMedium8025) {
        if (frame.size() < kMacHeaderSize)
            return decoded;
        decoded.accessControl = frame[0];
        decoded.frameControl = frame[1];
        decoded.destination = AddressAt(frame, 2);
        decoded.source = AddressAt(frame, 8);
        decoded.source[0] &= static_cast<uint8_t>(~kTokenRingRouted);  // shown under "routing"
        size_t offset = kMacHeaderSize;
        if ((frame[8] & kTokenRingRouted) != 0 && frame.size() > kMacHeaderSize) {
            size_t routingSize = frame[kMacHeaderSize] & 0x1F;
            size_t available = std::min(routingSize, frame.size() - kMacHeaderSize);
            decoded.routing.assign(frame.begin() + kMacHeaderSize,
                                   frame.begin() + static_cast<std::ptrdiff_t>(kMacHeaderSize + available));
            if (available < routingSize)
                return decoded;
            offset += routingSize;
        }
        decoded.kind = (frame[1] & 0xC0) == 0x40 ? Kind::TokenRingLlc : Kind::TokenRingMac;
        if (decoded.kind == Kind::TokenRingLlc)
            DecodeLlc(frame, offset, decoded);
        return decoded;
    }

    if (frame.size() < kMacHeaderSize)
        return decoded;
    decoded.destination = AddressAt(frame, 0);
    decoded.source = AddressAt(frame, 6);
    decoded.lengthOrType = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
    if (decoded.lengthOrType < kEthernetLengthLimit) {
        decoded.kind = Kind::Ieee8023;
        DecodeLlc(frame, kMacHeaderSize, decoded);
    } else if (decoded.lengthOrType == kSnaServicesType) {
        decoded.kind = Kind::SnaServices;
        DecodeLlc(frame, kSnaDsapOffset, decoded);
    } else {
        decoded.kind = Kind::EthernetII;
    }
    return decoded;
}

std::string ControlName(uint16_t control, bool response)
{
    std::string name;
    bool pollFinal = false;
    if ((control & 0x03) == 0x03) {
        pollFinal = (control & kPollFinal) != 0;
        switch (control & ~kPollFinal & 0xFF) {
        case kControlUi: name = "UI"; break;
        case kControlXid: name = "XID"; break;
        case kControlTest: name = "TEST"; break;
        case kControlSabme: name = "SABME"; break;
        case kControlUa: name = "UA"; break;
        case kControlDisc: name = "DISC"; break;
        case 0x0F: name = "DM"; break;
        case 0x87: name = "FRMR"; break;
        default: name = "U(" + Hex2(control) + ")"; break;
        }
    } else if ((control & 0x01) == 0) {
        name = "I N(S)=" + std::to_string((control >> 1) & 0x7F) +
               " N(R)=" + std::to_string((control >> 9) & 0x7F);
        pollFinal = (control & 0x0100) != 0;
    } else {
        switch (control & 0x0C) {
        case 0x00: name = "RR"; break;
        case 0x04: name = "RNR"; break;
        case 0x08: name = "REJ"; break;
        default: name = "S(" + Hex2(control) + ")"; break;
        }
        name += " N(R)=" + std::to_string((control >> 9) & 0x7F);
        pollFinal = (control & 0x0100) != 0;
    }
    if (pollFinal)
        name += response ? " F" : " P";
    return name;
}

std::string FormatMac(const MacAddress &address)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", address[0], address[1],
                  address[2], address[3], address[4], address[5]);
    return text;
}

std::string Describe(const Decoded &decoded)
{
    std::string text;
    switch (decoded.kind) {
    case Kind::Ieee8023: text = "802.3"; break;
    case Kind::SnaServices: text = "SNA services (type 80D5)"; break;
    case Kind::EthernetII: text = "Ethernet II"; break;
    case Kind::TokenRingLlc: text = "Token Ring LLC"; break;
    case Kind::TokenRingMac: text = "Token Ring MAC"; break;
    case Kind::Truncated: return "truncated frame";
    }
    text += " " + FormatMac(decoded.source) + " -> " + FormatMac(decoded.destination);
    if (decoded.medium == kMedium8025) {
        text += ", AC " + Hex2(decoded.accessControl) + " FC " + Hex2(decoded.frameControl);
        if (!decoded.routing.empty()) {
            text += ", routing";
            for (uint8_t byte : decoded.routing)
                text += " " + Hex2(byte).substr(2);
        }
    } else if (decoded.kind == Kind::Ieee8023) {
        text += ", length " + std::to_string(decoded.lengthOrType);
    } else {
        char type[8];
        std::snprintf(type, sizeof type, "%04X", decoded.lengthOrType);
        text += std::string(", type ") + type;
    }
    if (decoded.llc) {
        const Llc &llc = *decoded.llc;
        bool response = (llc.ssap & kSsapResponse) != 0;
        text += ", DSAP " + Hex2(llc.dsap) + " SSAP " + Hex2(llc.ssap & ~kSsapResponse) +
                (response ? " response " : " command ") + ControlName(llc.control, response);
        if (decoded.informationSize != 0)
            text += ", " + std::to_string(decoded.informationSize) + " bytes of information";
    } else if (decoded.llcOffset != 0) {
        text += ", LLC header cut short";
    }
    return text;
}

std::string HexDump(const Bytes &bytes, const std::string &indent)
{
    std::string out;
    for (size_t line = 0; line < bytes.size(); line += 16) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "%04zX  ", line);
        out += indent + prefix;
        std::string printable;
        for (size_t i = line; i < line + 16; ++i) {
            if (i < bytes.size()) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02X ", bytes[i]);
                out += hex;
                printable += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
            } else {
                out += "   ";
            }
            if (i == line + 7)
                out += ' ';
        }
        out += " " + printable + "\n";
    }
    return out;
}

bool DsapRefused(uint8_t dsap)
{
    return (dsap & 0x03) != 0 || dsap == 0xF0 || dsap == 0x00;
}

size_t IndicatedHeaderSize(uint32_t medium, const Bytes &frame)
{
    size_t size = kMacHeaderSize;
    if (medium == kMedium8025 && frame.size() > kMacHeaderSize && (frame[8] & kTokenRingRouted) != 0)
        size += frame[kMacHeaderSize] & 0x1F;
    return std::min(size, frame.size());
}

bool DriverAccepts(ReceiveStyle style, uint32_t medium, bool checkDsap, const Bytes &frame,
                   std::optional<size_t> firstBufferSize)
{
    auto dsapStep = [checkDsap](uint8_t dsap) { return !checkDsap || !DsapRefused(dsap); };

    if (style == ReceiveStyle::Lookahead) {
        size_t header = IndicatedHeaderSize(medium, frame);
        size_t lookahead = frame.size() - header;
        if (medium == kMedium8023) {
            if (header != kMacHeaderSize)
                return false;
            uint16_t type = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
            if (type >= kEthernetLengthLimit && type != kSnaServicesType)
                return false;
            // Byte 14 is taken as the DSAP for SNA services frames too.
            return lookahead < 2 || dsapStep(frame[header]);
        }
        if (medium == kMedium8025) {
            if (header <= 1 || (frame[1] & 0xC0) != 0x40)
                return false;
            return lookahead == 0 || dsapStep(frame[header]);
        }
        return false;
    }

    if (medium != kMedium8023 && medium != kMedium8025)
        return true;
    size_t length = std::min(firstBufferSize.value_or(frame.size()), frame.size());
    if (medium == kMedium8023) {
        if (length < kMacHeaderSize)
            return false;
        uint16_t type = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
        size_t dsapOffset;
        if (type < kEthernetLengthLimit)
            dsapOffset = kMacHeaderSize;
        else if (type == kSnaServicesType)
            dsapOffset = kSnaDsapOffset;
        else
            return false;
        return length > dsapOffset && dsapStep(frame[dsapOffset]);
    }
    if (length <= 1 || (frame[1] & 0xC0) != 0x40 || length <= kMacHeaderSize)
        return false;
    size_t dsapOffset = kMacHeaderSize;
    if ((frame[8] & kTokenRingRouted) != 0)
        dsapOffset += frame[kMacHeaderSize] & 0x1F;
    return length > dsapOffset && dsapStep(frame[dsapOffset]);
}

}  // namespace krvdlc::frames
