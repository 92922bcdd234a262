// topology.h - the machine krvdlc-sim builds: its adapters, how each indicates frames,
// which segment it sits on, where its traffic comes from, and when it is bound.
//
// A topology comes from the default (two Ethernet and two Token Ring stations), from
// options (--replay, --live) or from a TOML file (--topology); see LoadTopologyFile for
// the file's keys.
#pragma once

#include "sim/ndis_adapter.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace krvdlcsim {

// How an adapter hands received frames to the driver.
struct IndicationStyle {
    enum class Kind {
        Lookahead,         // receive handler with header and lookahead, data by transfer
        Packet,            // receive-packet handler, packet lent to the driver
        PacketResources,   // receive-packet handler with NDIS_STATUS_RESOURCES: copied at once
    };
    Kind kind = Kind::Lookahead;
    std::optional<size_t> lookaheadSize;   // Lookahead only; absent: the whole frame

    bool wholePacket() const { return kind != Kind::Lookahead; }
    std::string Describe() const;          // "lookahead 64", "packet", "packet (resources)"
};

// Parses "lookahead", "lookahead:N", "packet", "resources"; nullopt for anything else.
std::optional<IndicationStyle> ParseIndicationStyle(const std::string &text);

// Where an adapter's frames come from beyond the other stations of its segment.
struct Backend {
    enum class Kind { None, Replay, Live };
    Kind kind = Kind::None;
    std::string source;                   // capture file or interface name
};

using Milliseconds = std::chrono::milliseconds;

struct AdapterPlan {
    std::string label;                    // "eth1", shown in the station list
    std::u16string guid;                  // {....} of \Device\{X}
    std::u16string instanceName;
    NDIS_MEDIUM medium = NdisMedium802_3;
    std::optional<sim::MacAddress> address;   // absent: the live interface's, else made up
    IndicationStyle style;
    std::string segment;                  // adapters naming the same segment share it
    Backend backend;
    std::optional<Milliseconds> bindAfter;     // absent: bound at start
    std::optional<Milliseconds> unbindAfter;   // after start
    std::optional<Milliseconds> rebindAfter;   // after start; needs unbindAfter before it
};

struct Topology {
    std::vector<AdapterPlan> adapters;
    std::optional<Milliseconds> bindsCompleteAfter;   // absent: once the start binds are done
};

// Two Ethernet stations on one segment and two Token Ring stations on a ring; the first
// of each pair indicates by lookahead, the second by whole packets.
Topology DefaultTopology();

// One adapter that indicates the frames of a capture file (medium from its link type,
// which the caller has read) or of a live Linux interface.
// `n` numbers the adapter (from 1) in its topology.
AdapterPlan ReplayAdapter(const std::string &file, NDIS_MEDIUM medium, IndicationStyle style, size_t n);
AdapterPlan LiveAdapter(const std::string &interfaceName, IndicationStyle style, size_t n);

// Reads a TOML topology; throws std::runtime_error naming the file, the line and the
// fault. Keys: binds_complete_after_ms, and per [[adapter]]: label, medium ("ethernet" or
// "token-ring"), mac, instance, style, segment, replay = FILE or live = IFACE,
// bind_after_ms, unbind_after_ms, rebind_after_ms.
Topology LoadTopologyFile(const std::string &path);

// Checks what options and files cannot express alone (a rebind without an unbind, two
// backends on one segment, a medium the live backend cannot carry); throws
// std::runtime_error with the fault.
void CheckTopology(const Topology &topology);

}  // namespace krvdlcsim
