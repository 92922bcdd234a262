// frames.h - 802.3 / SNA services / Token Ring frames with IEEE 802.2 (LLC) headers, as a
// user-mode KRVDLC program writes and reads them: builders, a decoder that never reads
// past the frame, a hex dump, and a model of which received frames KRVDLC passes up.
//
// Plain value types over std::vector<uint8_t>; no driver or simulator headers, so the
// demo, the benchmarks, the fuzz targets and the tests all share one definition.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace krvdlc::frames {

using Bytes = std::vector<uint8_t>;
using MacAddress = std::array<uint8_t, 6>;

// NDIS media values as IOCTL_KRVDLC_GET_MEDIUM reports them.
inline constexpr uint32_t kMedium8023 = 0;
inline constexpr uint32_t kMedium8025 = 1;

inline constexpr size_t kMacHeaderSize = 14;         // both media, without routing info
inline constexpr uint16_t kEthernetLengthLimit = 0x0600;  // below: 802.3 length field
inline constexpr uint16_t kSnaServicesType = 0x80D5;
inline constexpr size_t kSnaDsapOffset = 17;         // after type, 2-byte length and a pad

// Token Ring access control and frame control of an ordinary LLC frame.
inline constexpr uint8_t kTokenRingAccessControl = 0x10;
inline constexpr uint8_t kTokenRingLlcFrameControl = 0x40;
inline constexpr uint8_t kTokenRingRouted = 0x80;    // in the first source-address byte

// LLC: the C/R bit of the SSAP marks a response; U-format control bytes with P/F clear.
inline constexpr uint8_t kSsapResponse = 0x01;
inline constexpr uint8_t kPollFinal = 0x10;
inline constexpr uint8_t kControlUi = 0x03;
inline constexpr uint8_t kControlXid = 0xAF;
inline constexpr uint8_t kControlTest = 0xE3;
inline constexpr uint8_t kControlSabme = 0x6F;
inline constexpr uint8_t kControlUa = 0x63;
inline constexpr uint8_t kControlDisc = 0x43;

// SNA path control SAP, and the null SAP that the DSAP check refuses.
inline constexpr uint8_t kSapSna = 0x04;
inline constexpr uint8_t kSapNull = 0x00;

struct Llc {
    uint8_t dsap = kSapSna;
    uint8_t ssap = kSapSna;          // bit 0 set: response
    uint16_t control = kControlXid;  // I and S formats take two bytes (low byte first)
};

// Number of bytes of a control field: 1 for U format (low two bits 11), else 2.
size_t ControlSize(uint16_t control);

// The information field of an XID command in the IEEE 802.2 basic format: format
// identifier 0x81, class of service (Type 1 and 2), receive window.
Bytes XidInformation(uint8_t receiveWindow = 7);

// LLC header (DSAP, SSAP, control) followed by `information`.
Bytes LlcPdu(const Llc &llc, const Bytes &information = {});

// 802.3 frame: destination, source, length of the LLC PDU, the PDU; padded with zeros to
// `minimumSize` bytes (0: no padding) as an adapter pads a short frame.
Bytes Ethernet8023(const MacAddress &destination, const MacAddress &source, const Llc &llc,
                   const Bytes &information = {}, size_t minimumSize = 0);

// Ethernet frame of type 0x80D5 (SNA services): type, a 2-byte length of the LLC PDU
// (most significant byte first), one pad byte, then the PDU; its DSAP is at byte 17.
Bytes EthernetSnaServices(const MacAddress &destination, const MacAddress &source,
                          const Llc &llc, const Bytes &information = {});

// Token Ring LLC frame: AC, FC, destination, source, optional routing information (raw
// bytes, the first of which carries the length in its low five bits; the routed bit of
// the source address is set when it is not empty), then the PDU.
Bytes TokenRing(const MacAddress &destination, const MacAddress &source, const Llc &llc,
                const Bytes &information = {}, const Bytes &routing = {},
                uint8_t accessControl = kTokenRingAccessControl,
                uint8_t frameControl = kTokenRingLlcFrameControl);

// Routing information for a source-routed Token Ring frame: routing control (length in
// the low five bits of the first byte, broadcast bits clear, largest frame 0x30) followed
// by the route designators (ring number << 4 | bridge number).
Bytes RoutingInformation(const std::vector<uint16_t> &routeDesignators);

enum class Kind {
    Ieee8023,       // Ethernet with a length field: LLC follows at 14
    SnaServices,    // Ethernet type 0x80D5: LLC at 17
    EthernetII,     // any other Ethernet type: no LLC for KRVDLC
    TokenRingLlc,   // FC type bits 01
    TokenRingMac,   // FC type bits 00 (MAC frames) and the reserved 1x
    Truncated,      // too short for its MAC header
};

struct Decoded {
    uint32_t medium = kMedium8023;
    Kind kind = Kind::Truncated;
    MacAddress destination{};
    MacAddress source{};
    uint16_t lengthOrType = 0;       // Ethernet only
    uint8_t accessControl = 0;       // Token Ring only
    uint8_t frameControl = 0;        // Token Ring only
    Bytes routing;                   // Token Ring routing information as carried
    size_t llcOffset = 0;            // where the LLC header starts (0: none)
    std::optional<Llc> llc;          // when the frame holds a whole LLC header
    size_t informationOffset = 0;    // first byte after the LLC header
    size_t informationSize = 0;
};

// Decodes a frame of the given medium (kMedium8023 or kMedium8025). Never reads past
// frame.size(); a short frame decodes as far as it goes.
Decoded Decode(uint32_t medium, const Bytes &frame);

// "SABME", "XID", "I", "RR" ... and " P" / " F" for the poll/final bit.
std::string ControlName(uint16_t control, bool response);
// "02:00:4B:00:00:01"
std::string FormatMac(const MacAddress &address);
// One line: kind, addresses, length or type, routing, DSAP/SSAP, command or response.
std::string Describe(const Decoded &decoded);
// Offset, 16 bytes in hexadecimal and their printable characters per line, each line
// preceded by `indent`.
std::string HexDump(const Bytes &bytes, const std::string &indent = "  ");

// Which handler of KRVDLC sees a frame: the receive handler with header and lookahead
// (the data following by transfer), or the receive-packet handler with the whole frame.
enum class ReceiveStyle { Lookahead, Packet };

// Whether KRVDLC accepts a received frame: the Ethernet and Token Ring classification
// and the DSAP rule (refuse the null SAP, 0xF0 and SAPs whose two low bits are not both
// zero) as the driver applies them per handler. For the lookahead style the frame is
// split as NDIS splits it: the MAC header (Token Ring routing information included) and
// the rest as lookahead. For the packet style `firstBufferSize` is the length of the
// packet's first buffer (default: the whole frame in one buffer). Frames on any medium
// other than 802.3 and 802.5 are refused by the lookahead handler and passed up by the
// packet handler.
bool DsapRefused(uint8_t dsap);
bool DriverAccepts(ReceiveStyle style, uint32_t medium, bool checkDsap, const Bytes &frame,
                   std::optional<size_t> firstBufferSize = std::nullopt);
// The size of the header buffer NDIS hands the lookahead handler for this frame.
size_t IndicatedHeaderSize(uint32_t medium, const Bytes &frame);

}  // namespace krvdlc::frames
