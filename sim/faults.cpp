// faults.cpp - the fault injector: per-routine call counters and the armed failure rules.
#include "sim/faults.h"

#include "sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <execinfo.h>

namespace sim {

namespace {

std::atomic<uint64_t> nextInjectorId{1};

// The counts the calling thread used last, and the injector they belong to.
struct CountsCache {
    uint64_t injector = 0;
    void *counts = nullptr;
};
thread_local CountsCache countsCache;

// Only the owning thread writes its counts: no read-modify-write is needed.
void Bump(std::atomic<uint64_t> &count)
{
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

FaultInjector::FaultInjector() : id_(nextInjectorId.fetch_add(1)) {}

FaultInjector::ThreadCounts &FaultInjector::CountsOfThisThread()
{
    if (countsCache.injector == id_)
        return *static_cast<ThreadCounts *>(countsCache.counts);
    std::lock_guard<std::mutex> lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    auto mine = std::find_if(threads_.begin(), threads_.end(),
                             [self](const ThreadCounts &counts) { return counts.thread == self; });
    ThreadCounts &counts = mine != threads_.end() ? *mine : threads_.emplace_back();
    counts.thread = self;   // a thread that ended leaves its counts to one with its id
    countsCache = {id_, &counts};
    return counts;
}

uint64_t FaultInjector::SumLocked(size_t slot) const
{
    uint64_t sum = 0;
    for (const ThreadCounts &counts : threads_)
        sum += counts.calls[slot].load(std::memory_order_relaxed);
    return sum;
}

uint64_t FaultInjector::OverallLocked() const
{
    uint64_t sum = 0;
    for (const ThreadCounts &counts : threads_)
        sum += counts.overall.load(std::memory_order_relaxed);
    return sum;
}

void FaultInjector::FailNth(const std::string &routine, uint64_t n)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const Counter *counter = FindCounterLocked(routine);
    const uint64_t made = counter != nullptr ? SumLocked(counter->slot) : 0;
    const uint64_t target = made + n;
    rules_.push_back(Rule{[routine, target](const FaultPoint &point) {
                              return point.routine == routine && point.callNumber == target;
                          },
                          1});
    armed_.store(true);
}

void FaultInjector::FailOverallNth(uint64_t n)
{
    FailWhen([n](const FaultPoint &point) { return point.overallNumber == n; }, 1);
}

void FaultInjector::FailWhen(Predicate predicate, uint64_t times)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(Rule{std::move(predicate), times});
    armed_.store(true);
}

void FaultInjector::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
    armed_.store(false);
}

FaultInjector::Counter *FaultInjector::FindCounterLocked(std::string_view routine) const
{
    for (const Counter &counter : counters_) {
        if (counter.name == routine)
            return const_cast<Counter *>(&counter);
    }
    return nullptr;
}

FaultInjector::Counter &FaultInjector::CounterFor(std::string_view routine)
{
    const char *key = routine.data();
    for (size_t i = AliasSlot(key), probes = 0; probes < kAliases; i = (i + 1) & (kAliases - 1), ++probes) {
        const char *seen = aliases_[i].key.load(std::memory_order_acquire);
        if (seen == key)
            return *aliases_[i].counter;
        if (seen == nullptr)
            break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Counter *counter = FindCounterLocked(routine);
    if (counter == nullptr) {
        if (counters_.size() == kMostRoutines) {
            std::fprintf(stderr, "fault injector: more than %zu routines ask it\n", kMostRoutines);
            std::abort();
        }
        counter = &counters_.emplace_back(routine, counters_.size());
    }
    // Leave a quarter of the slots free so that a miss ends soon.
    if (aliasCount_ < kMostRoutines) {
        for (size_t i = AliasSlot(key);; i = (i + 1) & (kAliases - 1)) {
            const char *seen = aliases_[i].key.load(std::memory_order_relaxed);
            if (seen == key)
                break;      // another thread added it meanwhile
            if (seen != nullptr)
                continue;
            aliases_[i].counter = counter;
            aliases_[i].key.store(key, std::memory_order_release);
            ++aliasCount_;
            break;
        }
    }
    return *counter;
}

// Counting takes no mutex while no rule is armed and no site is recorded; then the
// rules are asked under it, with the counts of every thread summed into the numbers.
// The predicates must not call back into the injector.
bool FaultInjector::ShouldFail(FaultPoint point)
{
    ThreadCounts &mine = CountsOfThisThread();
    const size_t slot = CounterFor(point.routine).slot;
    const bool recording = recordSites_.load(std::memory_order_relaxed);
    if (!recording && !armed_.load(std::memory_order_acquire)) {
        Bump(mine.calls[slot]);
        Bump(mine.overall);
        return false;
    }

    std::lock_guard<std::mutex> lock(mutex_);
    Bump(mine.calls[slot]);
    Bump(mine.overall);
    point.callNumber = SumLocked(slot);
    point.overallNumber = OverallLocked();
    if (recording) {
        point.site = DriverCall::Current();
        sitesReached_.insert({std::string(point.routine), point.site});
    }
    for (auto rule = rules_.begin(); rule != rules_.end(); ++rule) {
        if (!rule->predicate(point))
            continue;
        if (rule->remaining > 0 && --rule->remaining == 0)
            rules_.erase(rule);
        armed_.store(!rules_.empty());
        injected_.fetch_add(1, std::memory_order_relaxed);
        failed_.push_back({std::string(point.routine), point.site});
        return true;
    }
    return false;
}

uint64_t FaultInjector::Calls(const std::string &routine) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const Counter *counter = FindCounterLocked(routine);
    return counter != nullptr ? SumLocked(counter->slot) : 0;
}

uint64_t FaultInjector::Injected() const
{
    return injected_.load();
}

uint64_t FaultInjector::OverallCalls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return OverallLocked();
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
