// command_support.cpp - failures, adapter opening and text helpers of krvdlcctl's commands.
#include "tools/krvdlcctl/command_support.h"

#include <cstdio>

namespace krvdlcctl {

namespace kc = krvdlc::client;

void UsageFailure(const std::string &message)
{
    throw CommandFailure(kExitUsage, message + " (krvdlcctl --help shows the usage)");
}

void LibraryFailure(const kc::Error &error)
{
    // Exit code by result, and what to do next unless the library's message says it.
    static const struct {
        krvdlc_result result;
        int exitCode;
        const char *said;   // part of the message when the library gave the hint itself
        const char *hint;
    } kOutcomes[] = {
        {KRVDLC_E_DRIVER_NOT_LOADED, kExitDriverNotLoaded, "net start",
         "KRVDLC is not loaded: install it and start it with 'net start krvdlc'"},
        {KRVDLC_E_NO_SUCH_ADAPTER, kExitNoSuchAdapter, "krvdlcctl list",
         "'krvdlcctl list' shows the adapters KRVDLC has bound"},
        {KRVDLC_E_NOT_BOUND, kExitNoSuchAdapter, "krvdlcctl list",
         "the adapter is not bound to KRVDLC; 'krvdlcctl list' shows those that are"},
        {KRVDLC_E_BUSY, kExitIoError, "another program", "another program holds the adapter: close it first"},
        {KRVDLC_E_INVALID_ARGUMENT, kExitUsage, "", ""},
        {KRVDLC_E_INVALID_LENGTH, kExitUsage, "", ""},
        {KRVDLC_E_FRAME_TOO_SHORT, kExitUsage, "", ""},
        {KRVDLC_E_FRAME_TOO_LONG, kExitUsage, "", ""},
        {KRVDLC_E_TIMEOUT, kExitNoReply, "", ""},
    };
    std::string message = error.what();
    for (const auto &outcome : kOutcomes) {
        if (outcome.result != error.result())
            continue;
        if (*outcome.hint != 0 && message.find(outcome.said) == std::string::npos)
            message += "\n" + std::string(outcome.hint);
        throw CommandFailure(outcome.exitCode, message);
    }
    throw CommandFailure(kExitIoError, message);
}

void Invocation::RequireNoLeftover() const
{
    if (!args.Error().empty())
        UsageFailure(name + ": " + args.Error());
    std::string leftover = args.Leftover();
    if (!leftover.empty())
        UsageFailure(name + ": " + leftover);
}

std::string Invocation::RequirePositional(const std::string &what)
{
    std::optional<std::string> word = args.Positional();
    if (!word)
        UsageFailure(name + ": " + what + " is missing");
    return *word;
}

uint64_t Invocation::Number(const std::string &option, uint64_t fallback, uint64_t minimum, uint64_t maximum)
{
    std::optional<std::string> text = args.Value(option);
    if (!text)
        return fallback;
    std::optional<uint64_t> value = ParseNumber(*text, minimum, maximum);
    if (!value)
        UsageFailure(name + ": " + RangeError(option, *text, minimum, maximum));
    return *value;
}

uint8_t Invocation::Sap(const std::string &option, uint8_t fallback)
{
    return static_cast<uint8_t>(Number(option, fallback, 0, 0xFF));
}

void Invocation::Finish(const Json &result, const std::string &text) const
{
    if (json)
        context.out << result.Dump() << "\n";
    else
        context.out << text;
    context.out.flush();
}

kc::String ToAdapterString(const std::string &text)
{
    // Command lines and names are ASCII in practice; other bytes pass through as Latin-1.
    kc::String wide;
    for (unsigned char c : text)
        wide.push_back(static_cast<krvdlc_char>(c));
    return wide;
}

std::string ToUtf8(const kc::String &text)
{
    std::string narrow;
    for (krvdlc_char unit : text) {
        auto c = static_cast<uint32_t>(unit) & 0xFFFF;
        if (c < 0x80) {
            narrow.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            narrow.push_back(static_cast<char>(0xC0 | c >> 6));
            narrow.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            narrow.push_back(static_cast<char>(0xE0 | c >> 12));
            narrow.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return narrow;
}

kc::Adapter OpenAdapter(const std::string &selector)
{
    try {
        // krvdlcctl counts adapters from 1, as list shows them; the library from 0.
        if (std::optional<uint64_t> index = ParseNumber(selector, 0, 999999); index && selector[0] != '0') {
            try {
                return kc::Adapter::OpenIndex(static_cast<uint32_t>(*index - 1));
            } catch (const kc::Error &error) {
                // The library names the adapter by its own count, from 0.
                if (error.result() == KRVDLC_E_NO_SUCH_ADAPTER)
                    throw CommandFailure(kExitNoSuchAdapter, "no adapter " + selector +
                                                                 "; 'krvdlcctl list' shows the adapters KRVDLC has bound");
                throw;
            }
        }
        if (selector == "0")
            throw CommandFailure(kExitNoSuchAdapter, "no adapter 0: adapters are counted from 1, as 'krvdlcctl list' shows");
        return kc::Adapter::Open(ToAdapterString(selector));
    } catch (const kc::Error &error) {
        LibraryFailure(error);
    }
}

std::string MediumName(krvdlc_medium medium)
{
    return medium == KRVDLC_MEDIUM_TOKEN_RING ? "802.5 (Token Ring)" : "802.3 (Ethernet)";
}

uint32_t LinkTypeOf(krvdlc_medium medium)
{
    return medium == KRVDLC_MEDIUM_TOKEN_RING ? 6 : 1;
}

std::string FilterNames(uint32_t filter)
{
    static const struct {
        uint32_t bit;
        const char *name;
    } kNames[] = {
        {KRVDLC_FILTER_DIRECTED, "directed"},       {KRVDLC_FILTER_MULTICAST, "multicast"},
        {KRVDLC_FILTER_ALL_MULTICAST, "all-multicast"}, {KRVDLC_FILTER_BROADCAST, "broadcast"},
        {KRVDLC_FILTER_PROMISCUOUS, "promiscuous"}, {KRVDLC_FILTER_FUNCTIONAL, "functional"},
    };
    std::string names;
    for (const auto &entry : kNames) {
        if (filter & entry.bit)
            names += (names.empty() ? "" : ", ") + std::string(entry.name);
    }
    return names.empty() ? "none" : names;
}

std::string MacText(const uint8_t *address)
{
    char text[KRVDLC_MAC_TEXT_SIZE];
    krvdlc_format_mac(address, text);
    return text;
}

kc::Mac ParseMacOption(const std::string &what, const std::string &text)
{
    try {
        return kc::ParseMac(text);
    } catch (const kc::Error &) {
        UsageFailure(what + ": not a MAC address: " + text + " (write it like 02:00:4B:52:00:02)");
    }
}

std::string DescribeFrame(const krvdlc_decoded_frame &frame)
{
    std::string text = (frame.medium == KRVDLC_MEDIUM_TOKEN_RING ? "802.5 " : "802.3 ") +
                       MacText(frame.source) + " > " + MacText(frame.destination);
    if (frame.routing_size != 0)
        text += ", routing " + std::to_string(frame.routing_size) + " bytes";
    if (!frame.has_llc)
        return text + ", no LLC";
    char llc[96];
    std::snprintf(llc, sizeof llc, ", DSAP 0x%02X SSAP 0x%02X %s %s%s, %u bytes of information", frame.dsap,
                  frame.ssap, frame.response ? "response" : "command", krvdlc_control_name(&frame),
                  frame.poll_final ? (frame.response ? " F" : " P") : "", frame.information_size);
    return text + llc;
}

bool DsapCheckRefuses(uint8_t sap)
{
    return sap == 0x00 || sap == 0xF0 || (sap & 0x03) != 0;
}

double Milliseconds(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace krvdlcctl
