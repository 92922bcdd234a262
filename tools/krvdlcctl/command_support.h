// command_support.h - what krvdlcctl's commands share on top of libkrvdlc: a failure that
// carries its exit code and a hint, opening the adapter a command names, text of names and
// frames, and the SAP and frame options.
#pragma once

#include "client/krvdlc_client.hpp"
#include "tools/krvdlcctl/cli.h"
#include "tools/krvdlcctl/json.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace krvdlcctl {

// Ends a command: its exit code and the message krvdlcctl prints.
class CommandFailure : public std::runtime_error {
public:
    // reported: the command has already printed its --json result.
    CommandFailure(int exitCode, const std::string &message, bool reported = false)
        : std::runtime_error(message), exitCode_(exitCode), reported_(reported) {}
    int exitCode() const { return exitCode_; }
    bool reported() const { return reported_; }

private:
    int exitCode_;
    bool reported_;
};

[[noreturn]] void UsageFailure(const std::string &message);
// A library failure as the command reports it: exit code by result, the library's message
// and what to do next.
[[noreturn]] void LibraryFailure(const krvdlc::client::Error &error);

// One command being run: its options, --json and the context's streams.
struct Invocation {
    std::string name;
    ArgScanner args;
    bool json = false;
    CommandContext &context;

    // Throws a usage failure when scanning failed or words are left over.
    void RequireNoLeftover() const;
    std::string RequirePositional(const std::string &what);
    uint64_t Number(const std::string &option, uint64_t fallback, uint64_t minimum, uint64_t maximum);
    uint8_t Sap(const std::string &option, uint8_t fallback);
    // Prints the result: `json` as one line with --json, else `text`.
    void Finish(const Json &json, const std::string &text) const;
};

// Names as the library keeps them and as krvdlcctl prints them (UTF-8).
krvdlc::client::String ToAdapterString(const std::string &text);
std::string ToUtf8(const krvdlc::client::String &text);

// Opens the adapter of a command line's ADAPTER word (index, file name or name part).
krvdlc::client::Adapter OpenAdapter(const std::string &selector);

std::string MediumName(krvdlc_medium medium);
uint32_t LinkTypeOf(krvdlc_medium medium);
std::string FilterNames(uint32_t filter);   // "directed, broadcast"
std::string MacText(const uint8_t *address);
krvdlc::client::Mac ParseMacOption(const std::string &what, const std::string &text);

// One line about a frame: addresses, SAPs, command or response, control, info size.
std::string DescribeFrame(const krvdlc_decoded_frame &frame);

// Whether the driver's DSAP check would drop frames to this SAP.
bool DsapCheckRefuses(uint8_t sap);

double Milliseconds(std::chrono::steady_clock::duration duration);

}  // namespace krvdlcctl
