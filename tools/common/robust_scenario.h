// robust_scenario.h - one long run of the driver through every entry point, for the
// systematic low-resources sweep (each run fails one call that can fail) and the report.
//
// The scenario loads the driver twice (with file tracing, then without), binds an
// Ethernet and a Token Ring adapter and one whose open pends and fails, parks an
// enumeration before the binds complete, opens, sends every device-control code, writes
// (at once, held, failed), reads on both receive paths (served at once, waiting,
// cancelled), indicates status and plug-and-play events, cleans up with frames queued,
// reopens, unbinds with a read, a query, a send and a reset in flight, uses the handle
// after the unbind, rebinds and unloads with frames queued. Any step may fail because
// of the injected failure; the scenario goes on with what is left and then checks that
// every request it issued completed once, that every packet went back and that the
// unload found nothing left over (a leak or a broken rule stops the process).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krvdlc {

// One failable routine called from one place.
struct SiteRecord {
    std::string routine;
    std::vector<const void *> returns;   // into the caller, then the callers above it
    bool operator<(const SiteRecord &other) const
    {
        return routine != other.routine ? routine < other.routine : returns < other.returns;
    }
};

struct ScenarioOptions {
    uint64_t failCall = 0;        // the overall call number to fail (0: none)
    bool recordSites = false;     // record the driver's call sites of the failable calls
    SiteRecord failSite;          // with a routine: fail the first call from this site
};

struct ScenarioOutcome {
    uint64_t calls = 0;           // failable calls made
    bool injected = false;        // the failure asked for happened
    SiteRecord failedSite;        // where it happened
    std::vector<SiteRecord> sites;  // with recordSites: every site reached
    uint64_t requests = 0;        // requests issued by the scenario
    uint64_t lost = 0;            // issued and never completed
    uint64_t packetsHeld = 0;     // packets or lent packets not given back after unbinding
    uint64_t bytesLeaked = 0;     // driver pool still allocated after the unload
    std::vector<std::string> problems;   // what went wrong, in words (empty: clean run)
};

// Runs the scenario on a fresh machine of its own.
ScenarioOutcome RunScenario(const ScenarioOptions &options);

}  // namespace krvdlc
