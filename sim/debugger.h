// debugger.h - the kernel debugger's output (DbgPrint) and the platform's printf rules.
//
// DbgPrint output is captured per machine, whole and line by line, optionally echoed to
// stdout; it may be called from any thread at any IRQL. The formatting follows the
// platform's conventions, not the host C library's: 'l' means 32 bits, %ws / %S / %ls print
// 16-bit strings, %wZ and %Z counted strings, %p is zero-padded upper-case hex without 0x.
#pragma once

#include "sim/machine.h"

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// The platform's printf conversions: flags (- + space # 0), width and precision (digits or
// *), sizes h hh l ll w I I32 I64 z, conversions d i u o x X c C s S Z p % n. With a narrow
// format (DbgPrint) %s and %c are narrow and %S %C wide; with a 16-bit format (swprintf) it
// is the other way round. Output is in 16-bit units.
std::u16string FormatPlatform(const char *format, va_list args);
std::u16string FormatPlatform(const char16_t *format, va_list args);

class Debugger {
public:
    // One DbgPrint transmits at most this many bytes; the rest is cut, as on the platform.
    static constexpr size_t kMaximumPrint = 512;

    explicit Debugger(bool echo = false);
    Debugger(const Debugger &) = delete;
    Debugger &operator=(const Debugger &) = delete;

    // Records the text of one print (cut to kMaximumPrint bytes).
    void Print(std::string text);

    // Everything printed since the start or the last Clear().
    std::string Text() const;
    // Text() split at line feeds (without them); a last line without its line feed counts.
    std::vector<std::string> Lines() const;
    // Each print's text, in order.
    std::vector<std::string> Prints() const;
    void Clear();
    void SetEcho(bool echo);

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::vector<std::string> prints_;
    bool echo_;
};

}  // namespace sim
