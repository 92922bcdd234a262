// command_test.cpp - krvdlcctl test and xid: LLC TEST or XID commands to a station and
// their responses, reported like ping. Round-trip times come from the host's monotonic
// clock, from just before the write to the matching read.
#include "tools/krvdlcctl/command_list.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace krvdlcctl {

namespace kc = krvdlc::client;

namespace {

constexpr size_t kSequenceBytes = 2;   // a TEST carries its sequence number first

struct Exchange {
    bool isTest = true;
    kc::Mac destination{};
    kc::Mac source{};
    krvdlc_medium medium = KRVDLC_MEDIUM_ETHERNET;
    uint8_t dsap = 0;
    uint8_t ssap = 0;
    size_t size = 0;
};

kc::Bytes Information(const Exchange &exchange, uint16_t sequence)
{
    if (!exchange.isTest) {
        kc::Bytes xid(3);
        krvdlc_build_xid(KRVDLC_XID_CLASS_1, 0, xid.data());
        return xid;
    }
    kc::Bytes information(std::max(exchange.size, kSequenceBytes));
    information[0] = static_cast<uint8_t>(sequence >> 8);
    information[1] = static_cast<uint8_t>(sequence);
    for (size_t i = kSequenceBytes; i < information.size(); ++i)
        information[i] = static_cast<uint8_t>('a' + i % 26);
    return information;
}

kc::Bytes Command(const Exchange &exchange, const kc::Bytes &information)
{
    krvdlc_frame_fields fields{};
    fields.medium = exchange.medium;
    std::copy(exchange.destination.begin(), exchange.destination.end(), fields.destination);
    std::copy(exchange.source.begin(), exchange.source.end(), fields.source);
    fields.dsap = exchange.dsap;
    fields.ssap = exchange.ssap;
    fields.control = static_cast<krvdlc_u16>((exchange.isTest ? KRVDLC_CONTROL_TEST : KRVDLC_CONTROL_XID) | KRVDLC_POLL_FINAL);
    fields.information = information.data();
    fields.information_size = static_cast<krvdlc_u32>(information.size());
    fields.pad = 1;
    return kc::BuildFrame(fields);
}

// Whether `frame` answers the command with `information`: a TEST or XID response from the
// station asked, to our SAP, from the SAP asked (any SAP for the null SAP), echoing a TEST's
// information.
bool Answers(const Exchange &exchange, const krvdlc_decoded_frame &frame, const kc::Bytes &information)
{
    uint8_t modifier = exchange.isTest ? KRVDLC_CONTROL_TEST : KRVDLC_CONTROL_XID;
    if (!frame.has_llc || !frame.response || frame.format != KRVDLC_FORMAT_U || frame.u_modifier != modifier ||
        !std::equal(exchange.destination.begin(), exchange.destination.end(), frame.source) ||
        frame.dsap != exchange.ssap || (exchange.dsap != KRVDLC_SAP_NULL && frame.ssap != exchange.dsap))
        return false;
    if (!exchange.isTest)
        return true;
    return frame.information_size == information.size() &&
           std::equal(information.begin(), information.end(), frame.information);
}

std::string Ms(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string XidText(const krvdlc_decoded_frame &frame, Json &json)
{
    krvdlc_xid xid{};
    if (krvdlc_decode_xid(frame.information, frame.information_size, &xid, nullptr) != KRVDLC_OK)
        return "information not in the basic XID format";
    char text[96];
    std::snprintf(text, sizeof text, "format 0x%02X, LLC class %u, receive window %u", xid.format, xid.llc_class,
                  xid.receive_window);
    json.Set("xid_format", static_cast<int>(xid.format)).Set("llc_class", static_cast<int>(xid.llc_class))
        .Set("receive_window", static_cast<int>(xid.receive_window));
    return text;
}

void RunExchange(Invocation &invocation, bool isTest)
{
    const std::string name = isTest ? "test" : "xid";
    Exchange exchange;
    exchange.isTest = isTest;
    exchange.dsap = invocation.Sap("--dsap", KRVDLC_SAP_NULL);
    exchange.ssap = invocation.Sap("--ssap", KRVDLC_SAP_SNA);
    uint64_t count = invocation.Number("--count", 5, 1, 1000000);
    exchange.size = isTest ? invocation.Number("--size", 32, kSequenceBytes, 1480) : 3;
    uint64_t interval = invocation.Number("--interval", 1000, 0, 3600000);
    uint64_t timeout = invocation.Number("--timeout", 2000, 1, 3600000);
    std::string selector = invocation.RequirePositional("ADAPTER");
    std::string destinationText = invocation.RequirePositional("DEST-MAC");
    invocation.RequireNoLeftover();
    if (exchange.ssap & KRVDLC_SSAP_RESPONSE)
        UsageFailure(name + ": --ssap 0x" + FormatHex({exchange.ssap}) + " has the response bit set; use an even SAP");
    exchange.destination = ParseMacOption(name + ": DEST-MAC", destinationText);

    kc::Adapter adapter = OpenAdapter(selector);
    exchange.medium = adapter.medium();
    exchange.source = adapter.macAddress();
    // The responses come to our SSAP; let them through when the DSAP check would not.
    if (DsapCheckRefuses(exchange.ssap))
        adapter.setDsapCheck(false);

    std::string destination = MacText(exchange.destination.data());
    if (!invocation.json)
        invocation.context.out << (isTest ? "TEST " : "XID ") << destination << " from " << MacText(exchange.source.data())
                               << " on " << ToUtf8(adapter.fileName()) << ", DSAP 0x" << FormatHex({exchange.dsap})
                               << " SSAP 0x" << FormatHex({exchange.ssap})
                               << (isTest ? ", " + std::to_string(exchange.size) + " bytes of information" : std::string())
                               << "\n";

    using Clock = std::chrono::steady_clock;
    Json replies = Json::MakeArray();
    uint64_t sent = 0;
    uint64_t received = 0;
    double minimum = 0, maximum = 0, total = 0;
    for (uint64_t i = 0; i < count && !invocation.context.stop.Requested(); ++i) {
        if (i != 0 && !invocation.context.stop.SleepFor(std::chrono::milliseconds(interval)))
            break;
        uint16_t sequence = static_cast<uint16_t>(i + 1);
        kc::Bytes information = Information(exchange, sequence);
        kc::Bytes command = Command(exchange, information);
        Clock::time_point start = Clock::now();
        Clock::time_point deadline = start + std::chrono::milliseconds(timeout);
        adapter.write(command);
        ++sent;
        std::optional<kc::Bytes> reply;
        krvdlc_decoded_frame decoded{};
        for (Clock::time_point now = start; now < deadline && !invocation.context.stop.Requested(); now = Clock::now()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
            std::optional<kc::Bytes> frame = adapter.read(static_cast<uint32_t>(std::min<long long>(left, 200)));
            if (!frame)
                continue;
            if (krvdlc_decode_frame(exchange.medium, frame->data(), static_cast<krvdlc_u32>(frame->size()), &decoded,
                                    nullptr) == KRVDLC_OK && Answers(exchange, decoded, information)) {
                reply = std::move(frame);
                break;
            }
        }
        if (!reply) {
            if (!invocation.json && !invocation.context.stop.Requested())
                invocation.context.out << "no reply to " << name << " " << sequence << " within " << timeout << " ms\n";
            continue;
        }
        double rtt = Milliseconds(Clock::now() - start);
        ++received;
        total += rtt;
        minimum = received == 1 ? rtt : std::min(minimum, rtt);
        maximum = std::max(maximum, rtt);
        Json entry = Json::MakeObject();
        entry.Set("seq", static_cast<int>(sequence)).Set("bytes", static_cast<uint64_t>(reply->size())).Set("rtt_ms", rtt);
        std::string detail = isTest ? std::string() : ", " + XidText(decoded, entry);
        if (!invocation.json)
            invocation.context.out << reply->size() << " bytes from " << destination << ": seq=" << sequence
                                   << " time=" << Ms(rtt) << " ms" << detail << "\n";
        replies.Append(std::move(entry));
    }

    uint64_t lost = sent - received;
    std::ostringstream text;
    text << "--- " << destination << " " << name << " statistics ---\n"
         << sent << " sent, " << received << " received, " << lost << " lost ("
         << (sent == 0 ? 0 : lost * 100 / sent) << "% loss)\n";
    if (received != 0)
        text << "rtt min/avg/max = " << Ms(minimum) << "/" << Ms(total / static_cast<double>(received)) << "/"
             << Ms(maximum) << " ms\n";
    Json result = Json::MakeObject();
    result.Set("command", name).Set("ok", received != 0).Set("destination", destination).Set("sent", sent)
        .Set("received", received).Set("lost", lost).Set("replies", std::move(replies));
    if (received != 0)
        result.Set("rtt_min_ms", minimum).Set("rtt_avg_ms", total / static_cast<double>(received)).Set("rtt_max_ms", maximum);
    else
        result.Set("exit_code", static_cast<int>(kExitNoReply));
    invocation.Finish(result, text.str());
    if (received == 0 && sent != 0)
        throw CommandFailure(kExitNoReply, name + ": no reply from " + destination +
                                               " (is a station answering there, e.g. 'krvdlcctl respond'?)",
                             true);
}

}  // namespace

void RunTest(Invocation &invocation)
{
    RunExchange(invocation, true);
}

void RunXid(Invocation &invocation)
{
    RunExchange(invocation, false);
}

}  // namespace krvdlcctl
