// hot_mutex.h - the mutex of simulator state that an indicating thread and a reader take
// for every frame (pool, I/O manager, NDIS state).
//
// Held for a microsecond or less, so a thread that finds it taken is better off trying
// again for a while than sleeping: with the holder running on the other processor, a
// futex sleep and wake costs several times the wait, and under a hypervisor far more.
// While it waits it only reads the lock word: a try that wrote it would pull the word's
// cache line away from the holder, whose release would then wait to get it back.
// Condition variables on it are std::condition_variable_any.
#pragma once

#include "sim/spin_wait.h"

#include <atomic>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sim {

class HotMutex {
public:
    HotMutex() = default;
    HotMutex(const HotMutex &) = delete;
    HotMutex &operator=(const HotMutex &) = delete;

    void lock()
    {
        for (int attempt = 0; attempt < kSpins; ++attempt) {
            if (state_.load(std::memory_order_relaxed) == kFree && try_lock())
                return;
            SpinWait::Relax();
        }
        // Sleep: mark the word contended so that the holder's release wakes a sleeper.
        while (state_.exchange(kContended, std::memory_order_acquire) != kFree)
            Futex(FUTEX_WAIT_PRIVATE, kContended);
    }
    bool try_lock()
    {
        int expected = kFree;
        return state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void unlock()
    {
        if (state_.exchange(kFree, std::memory_order_release) == kContended)
            Futex(FUTEX_WAKE_PRIVATE, 1);
    }

private:
    // About 5 us of tries on today's processors: longer than any section it guards.
    static constexpr int kSpins = 128;
    static constexpr int kFree = 0, kLocked = 1, kContended = 2;   // contended: may have sleepers

    void Futex(int operation, int value)
    {
        syscall(SYS_futex, reinterpret_cast<int *>(&state_), operation, value, nullptr, nullptr, 0);
    }

    std::atomic<int> state_{kFree};
};

static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word is the atomic's int");

}  // namespace sim
