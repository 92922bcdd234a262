// sweep.h - the systematic low-resources sweep: one run of the scenario counts the calls
// that can fail, then for every k a fresh run (a child process of its own) fails the k-th.
#pragma once

#include "tools/common/robust_scenario.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace krvdlc::robust {

struct SweepOptions {
    unsigned jobs = 2;          // children at a time
    uint64_t limit = 0;         // 0: every failure point; otherwise the first `limit`
    unsigned timeoutSeconds = 60;    // a run that takes longer counts as hung
};

// One call site in words: "ExAllocatePoolWithTag in KrvDlcBindAdapter (binding/bind.cpp:120)".
using SiteName = std::string;

struct SweepResult {
    uint64_t failurePoints = 0;   // failable calls in the counting run
    uint64_t runs = 0;
    uint64_t injected = 0;        // runs in which the asked-for call failed
    uint64_t violations = 0;      // runs that stopped, hung or ended with a problem
    uint64_t completedTwice = 0;  // of those: a request completed twice
    uint64_t lost = 0;            // requests never completed, over every run
    uint64_t packetsHeld = 0;
    uint64_t bytesLeaked = 0;
    uint64_t requests = 0;        // requests issued, over every run
    double seconds = 0;
    std::set<SiteName> sitesReached;   // driver call sites of failable calls (run without failure)
    std::set<SiteName> sitesFailed;    // failed by some run
    std::set<SiteName> sitesOnErrorPaths;  // reached only after an earlier failure
    std::vector<std::string> reports;  // the first lines of each violation, with its k
};

SweepResult RunSweep(const SweepOptions &options);

// Failure sites reached by the counting run that no run failed.
size_t SitesNotFailed(const SweepResult &result);
// No violation, nothing lost or leaked, and (for a sweep without a limit) every site failed.
bool SweepClean(const SweepResult &result, uint64_t limit);

// The driver's call site of `site` in words (addr2line on this program).
SiteName DescribeSite(const SiteRecord &site);

}  // namespace krvdlc::robust
