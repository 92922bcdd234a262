// hot_mutex.h - the mutex of simulator state that an indicating thread and a reader take
// for every frame (pool, I/O manager, NDIS state).
//
// Held for a microsecond or less, so a thread that finds it taken is better off trying
// again for a while than sleeping: with the holder running on the other processor, a
// futex sleep and wake costs several times the wait, and under a hypervisor far more.
// Condition variables on it are std::condition_variable_any.
#pragma once

#include "sim/spin_wait.h"

#include <mutex>

namespace sim {

class HotMutex {
public:
    void lock()
    {
        for (int attempt = 0; attempt < kSpins; ++attempt) {
            if (mutex_.try_lock())
                return;
            SpinWait::Relax();
        }
        mutex_.lock();
    }
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }

private:
    // About 5 us of tries on today's processors: longer than any section it guards.
    static constexpr int kSpins = 128;

    std::mutex mutex_;
};

}  // namespace sim
