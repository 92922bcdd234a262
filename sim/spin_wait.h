// spin_wait.h - the wait of a thread that expects what it waits for within microseconds
// (a frame at line rate, a lock held for a few instructions).
//
// Each Pause is a few processor pauses; every kYieldEvery-th is a yield instead, so that
// on a busy machine the thread being waited for, if it waits for this processor, gets it.
// A yield on every turn would cost a system call each time (under a hypervisor more than
// the wait) and hand the processor to any runnable thread for its whole slice.
#pragma once

#include <thread>

namespace sim {

class SpinWait {
public:
    void Pause()
    {
        if (++turns_ % kYieldEvery == 0) {
            std::this_thread::yield();
            return;
        }
        Relax();
    }

    static void Relax()
    {
#if defined(__i386__) || defined(__x86_64__)
        for (int i = 0; i < 8; ++i)
            __builtin_ia32_pause();
#endif
    }

private:
    static constexpr unsigned kYieldEvery = 32;   // a few microseconds of pauses
    unsigned turns_ = 0;
};

}  // namespace sim
