// faults.h - failing the driver's allocations and creations on command.
//
// Every kernel or NDIS routine that can fail for want of resources asks the injector
// before it does its work, naming itself. A test arms the injector by call number
// ("fail the 3rd ExAllocatePoolWithTag") or by predicate ("fail the allocation of 4096
// nonpaged bytes"); a routine that is told to fail returns exactly what the real one
// returns on failure (null, STATUS_INSUFFICIENT_RESOURCES, NDIS_STATUS_RESOURCES ...).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// What the asking routine tells about the call; fields that do not apply stay empty.
struct FaultPoint {
    std::string routine;        // "ExAllocatePoolWithTag", "IoCreateDevice", ...
    uint64_t callNumber = 0;    // 1-based count of calls of this routine so far
    uint64_t size = 0;          // bytes asked for
    uint32_t tag = 0;           // pool tag
    int poolType = -1;          // POOL_TYPE
    std::u16string name;        // object name (device, link, file)
};

class FaultInjector {
public:
    using Predicate = std::function<bool(const FaultPoint &)>;

    // Fails call number `n` (1-based) of `routine`, counted from now.
    void FailNth(const std::string &routine, uint64_t n);
    // Fails every call for which `predicate` holds, until Clear(); `times` limits how
    // many calls fail (0: no limit).
    void FailWhen(Predicate predicate, uint64_t times = 0);
    void Clear();

    // Called by the simulated routines: counts the call and says whether it fails.
    bool ShouldFail(FaultPoint point);

    // Calls made of `routine` since the machine started, and how many were failed.
    uint64_t Calls(const std::string &routine) const;
    uint64_t Injected() const;

private:
    struct Rule {
        Predicate predicate;
        uint64_t remaining;     // 0: unlimited
    };
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, uint64_t>> calls_;
    std::vector<Rule> rules_;
    uint64_t injected_ = 0;
};

}  // namespace sim
