// faults.cpp - the fault injector: per-routine call counters and the armed failure rules.
#include "sim/faults.h"

#include <algorithm>

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
        calls_.emplace_back(point.routine, 0);
        counter = calls_.end() - 1;
    }
    point.callNumber = ++counter->second;

    for (auto rule = rules_.begin(); rule != rules_.end(); ++rule) {
        if (!rule->predicate(point))
            continue;
        if (rule->remaining > 0 && --rule->remaining == 0)
            rules_.erase(rule);
        ++injected_;
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

}  // namespace sim
