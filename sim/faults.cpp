// faults.cpp - the fault injector: per-routine call counters and the armed failure rules.
#include "sim/faults.h"

#include "sim/machine.h"

#include <algorithm>
#include <execinfo.h>

namespace sim {

void FaultInjector::FailNth(const std::string &routine, uint64_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t made = 0;
    for (const auto &[name, count] : calls_) {
        if (name == routine)
            made = count;
    }
    const uint64_t target = made + n;
    rules_.push_back(Rule{[routine, target](const FaultPoint &point) {
                              return point.routine == routine && point.callNumber == target;
                          },
                          1});
}

void FaultInjector::FailOverallNth(uint64_t n)
{
    FailWhen([n](const FaultPoint &point) { return point.overallNumber == n; }, 1);
}

void FaultInjector::FailWhen(Predicate predicate, uint64_t times)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(Rule{std::move(predicate), times});
}

void FaultInjector::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}

// The predicates run under the injector's mutex: they must not call back into it.
bool FaultInjector::ShouldFail(FaultPoint point)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto counter = std::find_if(calls_.begin(), calls_.end(),
                                [&](const auto &entry) { return entry.first == point.routine; });
    if (counter == calls_.end()) {
        calls_.emplace_back(std::string(point.routine), 0);
        counter = calls_.end() - 1;
    }
    point.callNumber = ++counter->second;
    point.overallNumber = ++overall_;
    if (recordSites_.load(std::memory_order_relaxed)) {
        point.site = DriverCall::Current();
        sitesReached_.insert({std::string(point.routine), point.site});
    }

    for (auto rule = rules_.begin(); rule != rules_.end(); ++rule) {
        if (!rule->predicate(point))
            continue;
        if (rule->remaining > 0 && --rule->remaining == 0)
            rules_.erase(rule);
        ++injected_;
        failed_.push_back({std::string(point.routine), point.site});
        return true;
    }
    return false;
}

uint64_t FaultInjector::Calls(const std::string &routine) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[name, count] : calls_) {
        if (name == routine)
            return count;
    }
    return 0;
}

uint64_t FaultInjector::Injected() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_;
}

uint64_t FaultInjector::OverallCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return overall_;
}

void FaultInjector::RecordSites(bool on)
{
    recordSites_.store(on);
}

bool FaultInjector::RecordingSites() const
{
    return recordSites_.load(std::memory_order_relaxed);
}

std::vector<FaultInjector::SiteCall> FaultInjector::SitesReached() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {sitesReached_.begin(), sitesReached_.end()};
}

std::vector<FaultInjector::SiteCall> FaultInjector::FailedCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

namespace {
thread_local CallSite currentSite;
thread_local bool siteSet = false;
}  // namespace

// Not inlined, so that its return address is the one into the entry point that
// declared it; the driver's caller and the callers above it come next on the stack.
__attribute__((noinline)) DriverCall::DriverCall()
{
    if (siteSet || !Machine::Exists() || !Machine::Current().faults().RecordingSites())
        return;
    // The walk may begin inside a sanitizer's interceptor: the frames that count follow
    // the return into the entry point.
    constexpr int kFrames = 4 + static_cast<int>(CallSite::kDepth);
    void *frames[kFrames] = {};
    int depth = backtrace(frames, kFrames);
    const void *entry = __builtin_return_address(0);
    currentSite = {};
    for (int i = 0; i < depth; i++) {
        if (frames[i] != entry)
            continue;
        for (size_t k = 0; k < CallSite::kDepth && i + 1 + static_cast<int>(k) < depth; k++)
            currentSite.returns[k] = frames[i + 1 + static_cast<int>(k)];
        break;
    }
    siteSet = outermost_ = true;
}

DriverCall::~DriverCall()
{
    if (outermost_) {
        siteSet = false;
        currentSite = {};
    }
}

CallSite DriverCall::Current()
{
    return siteSet ? currentSite : CallSite{};
}

}  // namespace sim
