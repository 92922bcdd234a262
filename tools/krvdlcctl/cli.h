// cli.h - what every krvdlcctl command shares: exit codes, the command's streams and stop
// signal, argument scanning and the parsers of hex bytes and numbers.
//
// Nothing here touches the driver, so krvdlcctl.exe and krvdlc-sim use it alike.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#ifndef _WIN32
#include <condition_variable>
#include <mutex>
#endif
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace krvdlcctl {

// Documented exit codes (krvdlcctl --help lists them).
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitNoSuchAdapter = 2,
    kExitDriverNotLoaded = 3,
    kExitIoError = 4,
    kExitNoReply = 5,
};

// Asks a long-running command (capture, respond, a test series) to end; Ctrl-C on Windows
// and krvdlc-sim's "every other command has finished" both come through here, so a test
// of the stop path exercises the same code as a real Ctrl-C.
// Request may come from a console control handler's thread. On Windows the sleep waits on
// an event (the toolchain's win32 thread model has no std::condition_variable).
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    void Request();
    bool Requested() const { return requested_.load(); }
    // Sleeps up to `duration`; false when a stop was requested meanwhile.
    bool SleepFor(std::chrono::milliseconds duration);

private:
    std::atomic<bool> requested_{false};
#ifdef _WIN32
    void *event_;
#else
    std::mutex mutex_;
    std::condition_variable changed_;
#endif
};

// What a command runs with.
struct CommandContext {
    std::ostream &out;
    std::ostream &err;
    StopSignal &stop;
    bool terminal = false;    // err is a terminal: capture shows a live status line
    // Called by a command that runs until stopped once it is ready for traffic (adapter
    // open, filters set); krvdlc-sim starts the next command of a script only then.
    std::function<void()> ready;
};

// The words of one command after its name, scanned option by option.
class ArgScanner {
public:
    explicit ArgScanner(std::vector<std::string> words) : words_(std::move(words)) {}

    // Next positional word (not an option word); take the options first, so that an
    // option's value is not mistaken for a positional word.
    std::optional<std::string> Positional();
    // Removes `--name` (and its short form) when present; true when it was.
    bool Flag(const std::string &name, const std::string &shortName = {});
    // Removes `--name VALUE` (and its short form); the last one given wins.
    std::optional<std::string> Value(const std::string &name, const std::string &shortName = {});
    // Every `--name VALUE`, in order.
    std::vector<std::string> Values(const std::string &name);
    // Why the scan failed ("--count needs a value"); empty when nothing went wrong.
    const std::string &Error() const { return error_; }
    // Words left over after the command took what it knows, e.g. "unknown option --foo".
    std::string Leftover() const;

private:
    std::vector<std::string> words_;
    std::string error_;
};

// Hex bytes, spaces, colons and a leading 0x allowed: "0200 4b52", "02:00:4B".
std::optional<std::vector<uint8_t>> ParseHex(const std::string &text);
std::string FormatHex(const std::vector<uint8_t> &bytes);
// Decimal or 0x hexadecimal within [minimum, maximum].
std::optional<uint64_t> ParseNumber(const std::string &text, uint64_t minimum, uint64_t maximum);

// "--count: not a number between 1 and 1000000: abc"
std::string RangeError(const std::string &option, const std::string &text, uint64_t minimum,
                       uint64_t maximum);

}  // namespace krvdlcctl
