// start_support.h - shared pieces of the start-up, unload and trace tests: the driver loaded
// with a chosen TraceLevel, what it printed to the debugger and what it wrote to the event
// log, and its pool.
#pragma once

#include "tools/common/simulated_host.h"

#include "sim/debugger.h"
#include "sim/driver_loader.h"
#include "sim/errorlog.h"
#include "sim/faults.h"
#include "sim/io_manager.h"
#include "sim/ndis.h"
#include "sim/pool.h"
#include "sim/registry.h"

#include "core/krvdlc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace krvdlc::test {

// Verbosity 7 to the debugger only: no trace file, so no trace thread.
inline constexpr uint32_t kDebuggerAll = 0x87;

inline constexpr char kPrefix[] = "KRVDLC: ";

// The debugger print of one trace line.
inline std::string Printed(const std::string &line)
{
    return kPrefix + line;
}

inline HostOptions WithTraceLevel(std::optional<uint32_t> level, sim::MachineOptions machine = {})
{
    HostOptions options;
    options.machine = std::move(machine);
    options.traceLevel = level;
    return options;
}

// Pool blocks of the driver's tag still allocated.
inline std::vector<sim::PoolBlock> DriverBlocks(sim::Machine &machine)
{
    return machine.pool().Blocks(KRVDLC_POOL_TAG);
}

// One event-log entry as the event viewer shows it: code and insertion string.
struct LoggedEvent {
    NTSTATUS code = 0;
    std::string text;   // narrowed insertion string, "" without one

    bool operator==(const LoggedEvent &other) const
    {
        return code == other.code && text == other.text;
    }
};

inline std::ostream &operator<<(std::ostream &out, const LoggedEvent &event)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<uint32_t>(event.code));
    return out << "{" << code << ", \"" << event.text << "\"}";
}

inline std::vector<LoggedEvent> LoggedEvents(sim::Machine &machine)
{
    std::vector<LoggedEvent> events;
    for (const sim::ErrorLogEntry &entry : machine.errorLog().Entries()) {
        std::vector<std::u16string> strings = entry.Strings();
        events.push_back({entry.ErrorCode(), strings.empty() ? "" : Narrow(strings.front())});
    }
    return events;
}

// The debugger prints from index `from` on.
inline std::vector<std::string> PrintsFrom(sim::Machine &machine, size_t from)
{
    std::vector<std::string> prints = machine.debugger().Prints();
    if (from >= prints.size())
        return {};
    return {prints.begin() + static_cast<std::ptrdiff_t>(from), prints.end()};
}

inline ptrdiff_t IndexOf(const std::vector<std::string> &prints, const std::string &print)
{
    auto it = std::find(prints.begin(), prints.end(), print);
    return it == prints.end() ? -1 : it - prints.begin();
}

}  // namespace krvdlc::test
