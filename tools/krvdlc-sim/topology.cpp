// topology.cpp - the default topology, adapters made from options, and TOML topology files
// (toml++ from Debian's libtomlplusplus-dev).
#include "tools/krvdlc-sim/topology.h"

#include "client/krvdlc_client.h"
#include "tools/common/simulated_host.h"

#include <set>
#include <stdexcept>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

namespace krvdlcsim {

std::string IndicationStyle::Describe() const
{
    switch (kind) {
    case Kind::Lookahead:
        return lookaheadSize ? "lookahead " + std::to_string(*lookaheadSize) : "lookahead";
    case Kind::Packet: return "packet";
    case Kind::PacketResources: return "packet (resources)";
    }
    return "?";
}

std::optional<IndicationStyle> ParseIndicationStyle(const std::string &text)
{
    IndicationStyle style;
    if (text == "lookahead")
        return style;
    if (text.rfind("lookahead:", 0) == 0) {
        std::string number = text.substr(10);
        if (number.empty() || number.size() > 5 || number.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        style.lookaheadSize = std::stoul(number);
        return style;
    }
    if (text == "packet") {
        style.kind = IndicationStyle::Kind::Packet;
        return style;
    }
    if (text == "resources") {
        style.kind = IndicationStyle::Kind::PacketResources;
        return style;
    }
    return std::nullopt;
}

namespace {

// \Device\{X} of the n-th adapter (from 1), in the same family as the default stations'.
std::u16string GuidOf(size_t n)
{
    char text[48];
    std::snprintf(text, sizeof text, "{3F1A%04zX-0000-4B52-8000-%012zX}", n, n);
    return krvdlc::Widen(text);
}

sim::MacAddress MadeUpAddress(NDIS_MEDIUM medium, size_t n)
{
    uint8_t low = static_cast<uint8_t>(n);
    if (medium == NdisMedium802_5)
        return {0x40, 0x00, 0x00, 0x00, 0x00, low};
    return {0x02, 0x00, 0x4B, 0x52, 0x00, low};
}

const char *MediumName(NDIS_MEDIUM medium)
{
    return medium == NdisMedium802_5 ? "Token Ring" : "Ethernet";
}

}  // namespace

Topology DefaultTopology()
{
    struct Station {
        const char *label;
        NDIS_MEDIUM medium;
        IndicationStyle::Kind kind;
        const char *segment;
    };
    static const Station kStations[] = {
        {"eth1", NdisMedium802_3, IndicationStyle::Kind::Lookahead, "ethernet"},
        {"eth2", NdisMedium802_3, IndicationStyle::Kind::Packet, "ethernet"},
        {"tr1", NdisMedium802_5, IndicationStyle::Kind::Lookahead, "ring"},
        {"tr2", NdisMedium802_5, IndicationStyle::Kind::Packet, "ring"},
    };
    Topology topology;
    int perMedium[2] = {0, 0};
    for (const Station &station : kStations) {
        size_t n = topology.adapters.size() + 1;
        int index = ++perMedium[station.medium == NdisMedium802_5 ? 1 : 0];
        AdapterPlan plan;
        plan.label = station.label;
        plan.guid = GuidOf(n);
        plan.instanceName = krvdlc::Widen(std::string("Simulated ") + MediumName(station.medium) + " Adapter #" +
                                          std::to_string(index));
        plan.medium = station.medium;
        plan.address = MadeUpAddress(station.medium, n);
        plan.style.kind = station.kind;
        plan.segment = station.segment;
        topology.adapters.push_back(std::move(plan));
    }
    return topology;
}

AdapterPlan ReplayAdapter(const std::string &file, NDIS_MEDIUM medium, IndicationStyle style, size_t n)
{
    AdapterPlan plan;
    plan.label = "replay";
    plan.guid = GuidOf(n);
    plan.instanceName = krvdlc::Widen(std::string("Simulated ") + MediumName(medium) + " Adapter (replay)");
    plan.medium = medium;
    plan.address = MadeUpAddress(medium, n);
    plan.style = style;
    plan.segment = "replay";
    plan.backend = {Backend::Kind::Replay, file};
    return plan;
}

AdapterPlan LiveAdapter(const std::string &interfaceName, IndicationStyle style, size_t n)
{
    AdapterPlan plan;
    plan.label = interfaceName;
    plan.guid = GuidOf(n);
    plan.instanceName = krvdlc::Widen("Simulated Ethernet Adapter on " + interfaceName);
    plan.style = style;
    plan.segment = "live:" + interfaceName;
    plan.backend = {Backend::Kind::Live, interfaceName};
    return plan;
}

namespace {

[[noreturn]] void FileFault(const std::string &path, const toml::source_region &where, const std::string &what)
{
    throw std::runtime_error(path + ":" + std::to_string(where.begin.line) + ": " + what);
}

std::optional<Milliseconds> Delay(const std::string &path, const toml::table &table, const char *key)
{
    const toml::node *node = table.get(key);
    if (!node)
        return std::nullopt;
    std::optional<int64_t> value = node->value<int64_t>();
    if (!value || *value < 0 || *value > 86400000)
        FileFault(path, node->source(), std::string(key) + " takes milliseconds from 0 to 86400000");
    return Milliseconds(*value);
}

std::optional<std::string> Text(const std::string &path, const toml::table &table, const char *key)
{
    const toml::node *node = table.get(key);
    if (!node)
        return std::nullopt;
    std::optional<std::string> value = node->value<std::string>();
    if (!value)
        FileFault(path, node->source(), std::string(key) + " takes a string in double quotes");
    return value;
}

AdapterPlan AdapterFromTable(const std::string &path, const toml::table &table, size_t n)
{
    static const std::set<std::string> kKeys = {"label", "medium", "mac", "instance", "style", "segment",
                                                "replay", "live", "bind_after_ms", "unbind_after_ms",
                                                "rebind_after_ms"};
    for (const auto &[key, node] : table) {
        if (!kKeys.count(std::string(key.str())))
            FileFault(path, node.source(), "unknown key " + std::string(key.str()) + " in [[adapter]] (keys: label, "
                      "medium, mac, instance, style, segment, replay, live, bind_after_ms, unbind_after_ms, rebind_after_ms)");
    }
    AdapterPlan plan;
    plan.guid = GuidOf(n);
    std::string medium = Text(path, table, "medium").value_or("ethernet");
    if (medium == "token-ring")
        plan.medium = NdisMedium802_5;
    else if (medium != "ethernet")
        FileFault(path, table.get("medium")->source(), "medium is \"ethernet\" or \"token-ring\", not \"" + medium + "\"");
    plan.label = Text(path, table, "label").value_or((plan.medium == NdisMedium802_5 ? "tr" : "eth") + std::to_string(n));
    plan.instanceName = krvdlc::Widen(Text(path, table, "instance")
                                          .value_or(std::string("Simulated ") + MediumName(plan.medium) + " Adapter " + plan.label));
    if (std::optional<std::string> mac = Text(path, table, "mac")) {
        sim::MacAddress address{};
        if (krvdlc_parse_mac(mac->c_str(), address.data(), nullptr) != KRVDLC_OK)
            FileFault(path, table.get("mac")->source(), "mac is six hexadecimal bytes like \"02:00:4B:52:00:01\", not \"" + *mac + "\"");
        plan.address = address;
    }
    if (std::optional<std::string> style = Text(path, table, "style")) {
        std::optional<IndicationStyle> parsed = ParseIndicationStyle(*style);
        if (!parsed)
            FileFault(path, table.get("style")->source(), "style is \"lookahead\", \"lookahead:N\", \"packet\" or \"resources\", not \"" + *style + "\"");
        plan.style = *parsed;
    }
    plan.segment = Text(path, table, "segment").value_or(plan.label);
    std::optional<std::string> replay = Text(path, table, "replay");
    std::optional<std::string> live = Text(path, table, "live");
    if (replay && live)
        FileFault(path, table.source(), "an adapter takes replay or live, not both");
    if (replay)
        plan.backend = {Backend::Kind::Replay, *replay};
    if (live)
        plan.backend = {Backend::Kind::Live, *live};
    plan.bindAfter = Delay(path, table, "bind_after_ms");
    plan.unbindAfter = Delay(path, table, "unbind_after_ms");
    plan.rebindAfter = Delay(path, table, "rebind_after_ms");
    if (!plan.address && plan.backend.kind != Backend::Kind::Live)
        plan.address = MadeUpAddress(plan.medium, n);
    return plan;
}

}  // namespace

Topology LoadTopologyFile(const std::string &path)
{
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error &error) {
        throw std::runtime_error(path + ":" + std::to_string(error.source().begin.line) + ": " +
                                 std::string(error.description()));
    }
    Topology topology;
    for (const auto &[key, node] : root) {
        if (key.str() != "adapter" && key.str() != "binds_complete_after_ms")
            FileFault(path, node.source(), "unknown key " + std::string(key.str()) + " (keys: binds_complete_after_ms, [[adapter]])");
    }
    topology.bindsCompleteAfter = Delay(path, root, "binds_complete_after_ms");
    const toml::array *adapters = root["adapter"].as_array();
    if (!adapters || adapters->empty())
        throw std::runtime_error(path + ": no [[adapter]] table: a topology needs at least one adapter");
    for (const toml::node &node : *adapters) {
        const toml::table *table = node.as_table();
        if (!table)
            FileFault(path, node.source(), "adapter entries are tables: write [[adapter]]");
        topology.adapters.push_back(AdapterFromTable(path, *table, topology.adapters.size() + 1));
    }
    CheckTopology(topology);
    return topology;
}

void CheckTopology(const Topology &topology)
{
    std::set<std::string> labels;
    std::set<std::string> wiredSegments;
    for (const AdapterPlan &plan : topology.adapters) {
        if (!labels.insert(plan.label).second)
            throw std::runtime_error("two adapters are labelled " + plan.label);
        if (plan.rebindAfter && (!plan.unbindAfter || *plan.rebindAfter <= *plan.unbindAfter))
            throw std::runtime_error(plan.label + ": a rebind comes after an unbind (rebind_after_ms > unbind_after_ms)");
        if (plan.backend.kind != Backend::Kind::None && !wiredSegments.insert(plan.segment).second)
            throw std::runtime_error(plan.label + ": segment " + plan.segment + " already has a replay or live adapter");
        if (plan.backend.kind == Backend::Kind::Live && plan.medium != NdisMedium802_3)
            throw std::runtime_error(plan.label + ": a live interface carries Ethernet only (Linux has no Token Ring)");
    }
    for (const AdapterPlan &plan : topology.adapters) {
        for (const AdapterPlan &other : topology.adapters) {
            if (plan.segment == other.segment && plan.medium != other.medium)
                throw std::runtime_error("segment " + plan.segment + " joins Ethernet and Token Ring adapters; give each medium its own");
        }
    }
}

}  // namespace krvdlcsim
