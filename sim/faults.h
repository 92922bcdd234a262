// faults.h - failing the driver's allocations and creations on command.
//
// Every kernel or NDIS routine that can fail for want of resources asks the injector
// before it does its work, naming itself. A test arms the injector by call number
// ("fail the 3rd ExAllocatePoolWithTag") or by predicate ("fail the allocation of 4096
// nonpaged bytes"); a routine that is told to fail returns exactly what the real one
// returns on failure (null, STATUS_INSUFFICIENT_RESOURCES, NDIS_STATUS_RESOURCES ...).
#pragma once

#include "sim/cache_line.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

namespace sim {

// Where in the driver a call to a routine that can fail came from: the return addresses
// into the caller and the callers above it (the caller may be one of the platform
// headers' inline helpers, which may call another). Recorded only while the injector
// records sites.
struct CallSite {
    static constexpr size_t kDepth = 3;
    std::array<const void *, kDepth> returns{};
    bool operator<(const CallSite &other) const { return returns < other.returns; }
};

// Set by the kernel and NDIS entry points that can fail, for the length of the call:
// the outermost one on a thread names the driver's call site.
class DriverCall {
public:
    DriverCall();
    ~DriverCall();
    DriverCall(const DriverCall &) = delete;
    DriverCall &operator=(const DriverCall &) = delete;
    static CallSite Current();

private:
    bool outermost_ = false;
};

// What the asking routine tells about the call; fields that do not apply stay empty.
struct FaultPoint {
    std::string_view routine;   // "ExAllocatePoolWithTag", "IoCreateDevice", ... (a literal)
    uint64_t callNumber = 0;    // 1-based count of calls of this routine so far
    uint64_t overallNumber = 0; // 1-based count of calls of every routine so far
    CallSite site;              // filled by the injector while it records sites
    uint64_t size = 0;          // bytes asked for
    uint32_t tag = 0;           // pool tag
    int poolType = -1;          // POOL_TYPE
    std::u16string name;        // object name (device, link, file)
};

class FaultInjector {
public:
    using Predicate = std::function<bool(const FaultPoint &)>;

    FaultInjector();

    // Fails call number `n` (1-based) of `routine`, counted from now.
    void FailNth(const std::string &routine, uint64_t n);
    // Fails call number `n` (1-based) counted over every routine since the machine
    // started: one step of a systematic low-resources sweep.
    void FailOverallNth(uint64_t n);
    // Fails every call for which `predicate` holds, until Clear(); `times` limits how
    // many calls fail (0: no limit).
    void FailWhen(Predicate predicate, uint64_t times = 0);
    void Clear();

    // Called by the simulated routines: counts the call and says whether it fails.
    bool ShouldFail(FaultPoint point);

    // Calls made of `routine` since the machine started, and how many were failed.
    uint64_t Calls(const std::string &routine) const;
    uint64_t Injected() const;
    // Calls made of every routine since the machine started.
    uint64_t OverallCalls() const;

    // Site recording (off by default: it walks the stack on every call).
    void RecordSites(bool on);
    bool RecordingSites() const;
    // The routines and driver call sites reached so far, and the calls failed, in order.
    struct SiteCall {
        std::string routine;
        CallSite site;
        bool operator<(const SiteCall &other) const
        {
            return std::tie(routine, site) < std::tie(other.routine, other.site);
        }
    };
    std::vector<SiteCall> SitesReached() const;
    std::vector<SiteCall> FailedCalls() const;

private:
    struct Rule {
        Predicate predicate;
        uint64_t remaining;     // 0: unlimited
    };
    // One routine: its name and the slot of its count in every thread's counts.
    struct Counter {
        Counter(std::string_view routine, size_t index) : name(routine), slot(index) {}
        std::string name;
        size_t slot;
    };
    // A routine names itself with a literal: its address finds the counter without the
    // mutex once it has been seen (another literal of the same name finds the same one).
    // Open addressing by the literal's address; a key is published after its counter.
    struct Alias {
        std::atomic<const char *> key{nullptr};
        Counter *counter = nullptr;
    };
    static constexpr size_t kAliases = 128;     // a power of two
    static constexpr size_t kMostRoutines = kAliases - kAliases / 4;
    static size_t AliasSlot(const char *key) { return (reinterpret_cast<uintptr_t>(key) >> 3) & (kAliases - 1); }
    // The calls one thread made, written by that thread alone: an indicating thread and a
    // reader that counted in shared words would pass their cache lines back and forth on
    // every allocation. Summed under the mutex when a total is wanted.
    struct alignas(kCacheLine) ThreadCounts {
        std::thread::id thread;
        std::array<std::atomic<uint64_t>, kMostRoutines> calls{};
        std::atomic<uint64_t> overall{0};
    };

    ThreadCounts &CountsOfThisThread();
    uint64_t SumLocked(size_t slot) const;
    uint64_t OverallLocked() const;
    Counter &CounterFor(std::string_view routine);
    Counter *FindCounterLocked(std::string_view routine) const;

    const uint64_t id_;         // tells this injector's counts from another's in a thread's cache
    mutable std::mutex mutex_;  // rules_, counters_' and threads_' growth, sites, counts while armed
    std::deque<Counter> counters_;
    std::deque<ThreadCounts> threads_;      // kept when their thread ends
    std::array<Alias, kAliases> aliases_{};
    size_t aliasCount_ = 0;                 // filled slots; mutex_
    std::vector<Rule> rules_;
    std::atomic<bool> armed_{false};        // rules_ is not empty
    std::atomic<uint64_t> injected_{0};
    std::atomic<bool> recordSites_{false};
    std::set<SiteCall> sitesReached_;
    std::vector<SiteCall> failed_;
};

}  // namespace sim
