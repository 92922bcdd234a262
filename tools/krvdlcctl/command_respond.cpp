// command_respond.cpp - krvdlcctl respond: answers TEST and XID commands addressed to the
// station's SAPs (and the null SAP) as an LLC station does, until stopped. A TEST response
// echoes the command's information; an XID response names a class 1 (connectionless)
// station. Token Ring responses go back along the command's route.
#include "tools/krvdlcctl/command_list.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

namespace krvdlcctl {

namespace kc = krvdlc::client;

namespace {

constexpr uint32_t kReadSliceMs = 200;
constexpr uint8_t kRoutingDirection = 0x80;   // second routing-control byte
constexpr uint8_t kRoutingBroadcast = 0xE0;   // first routing-control byte

kc::Bytes Response(const krvdlc_decoded_frame &command, const kc::Mac &station, const kc::Bytes &information)
{
    krvdlc_frame_fields fields{};
    fields.medium = command.medium;
    std::copy(command.source, command.source + KRVDLC_MAC_SIZE, fields.destination);
    std::copy(station.begin(), station.end(), fields.source);
    kc::Bytes route(command.routing, command.routing + command.routing_size);
    if (route.size() >= 2) {
        route[0] &= static_cast<uint8_t>(~kRoutingBroadcast);
        route[1] ^= kRoutingDirection;
    }
    fields.routing = route.empty() ? nullptr : route.data();
    fields.routing_size = static_cast<krvdlc_u32>(route.size());
    fields.dsap = command.ssap;
    fields.ssap = command.dsap;
    fields.response = 1;
    fields.control = command.control;   // the final bit answers the poll bit
    fields.information = information.data();
    fields.information_size = static_cast<krvdlc_u32>(information.size());
    fields.pad = 1;
    return kc::BuildFrame(fields);
}

}  // namespace

void RunRespond(Invocation &invocation)
{
    std::set<uint8_t> saps = {KRVDLC_SAP_NULL};
    for (const std::string &text : invocation.args.Values("--sap")) {
        std::optional<uint64_t> sap = ParseNumber(text, 0, 0xFE);
        if (!sap || (*sap & 1) != 0)
            UsageFailure("respond: --sap: not an individual SAP (an even number up to 0xFE): " + text);
        saps.insert(static_cast<uint8_t>(*sap));
    }
    std::string selector = invocation.RequirePositional("ADAPTER");
    invocation.RequireNoLeftover();

    kc::Adapter adapter = OpenAdapter(selector);
    krvdlc_medium medium = adapter.medium();
    kc::Mac station = adapter.macAddress();
    // The null SAP is among those answered, and the DSAP check drops it: this command
    // filters by SAP itself.
    adapter.setDsapCheck(false);
    std::string sapList;
    for (uint8_t sap : saps)
        sapList += (sapList.empty() ? "0x" : ", 0x") + FormatHex({sap});
    if (!invocation.json)
        invocation.context.out << "answering TEST and XID to SAPs " << sapList << " at " << MacText(station.data())
                               << " on " << ToUtf8(adapter.fileName()) << " until stopped\n" << std::flush;
    if (invocation.context.ready)
        invocation.context.ready();

    uint64_t tests = 0;
    uint64_t xids = 0;
    uint64_t ignored = 0;
    kc::Bytes xidInformation(3);
    krvdlc_build_xid(KRVDLC_XID_CLASS_1, 0, xidInformation.data());
    // One buffer for every read: a frame of its own would be allocated and cleared in full.
    kc::Bytes frame(kc::kReadRoom);
    while (!invocation.context.stop.Requested()) {
        std::optional<uint32_t> length = adapter.readInto(frame.data(), static_cast<uint32_t>(frame.size()), kReadSliceMs);
        if (!length)
            continue;
        krvdlc_decoded_frame command{};
        bool answerable =
            krvdlc_decode_frame(medium, frame.data(), *length, &command, nullptr) == KRVDLC_OK &&
            command.has_llc && !command.response && command.format == KRVDLC_FORMAT_U &&
            (command.u_modifier == KRVDLC_CONTROL_TEST || command.u_modifier == KRVDLC_CONTROL_XID) &&
            std::equal(station.begin(), station.end(), command.destination) && saps.count(command.dsap) != 0;
        if (!answerable) {
            ++ignored;
            continue;
        }
        bool isTest = command.u_modifier == KRVDLC_CONTROL_TEST;
        kc::Bytes information = isTest ? kc::Bytes(command.information, command.information + command.information_size)
                                       : xidInformation;
        adapter.write(Response(command, station, information));
        ++(isTest ? tests : xids);
        if (!invocation.json)
            invocation.context.out << "answered " << (isTest ? "TEST" : "XID") << " from " << MacText(command.source)
                                   << " to SAP 0x" << FormatHex({command.dsap}) << "\n" << std::flush;
    }

    std::ostringstream text;
    text << "answered " << tests << " TEST and " << xids << " XID commands; " << ignored << " other frames ignored\n";
    Json result = Json::MakeObject();
    result.Set("command", "respond").Set("ok", true).Set("test_answered", tests).Set("xid_answered", xids)
        .Set("ignored", ignored);
    invocation.Finish(result, text.str());
}

}  // namespace krvdlcctl
