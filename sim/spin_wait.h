// spin_wait.h - the wait of a thread that expects what it waits for within microseconds
// (a frame at line rate, a lock held for a few instructions).
//
// The first kPauseTurns turns are processor pauses: a lock held for a few instructions is
// free again within them. Every later turn is a yield: on a machine with more busy threads
// than processors, the thread being waited for may be waiting for this very processor,
// and a spin that keeps it from running costs the rest of a scheduler slice. Where no other
// thread wants the processor the yield returns at once. (A yield on every 32nd turn only
// had a live lookahead reader reopen about twice as often on the two-processor test host.)
#pragma once

#include <thread>

namespace sim {

class SpinWait {
public:
    void Pause()
    {
        if (turns_ >= kPauseTurns) {
            std::this_thread::yield();
            return;
        }
        turns_++;
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
    static constexpr unsigned kPauseTurns = 4;   // a microsecond or so of pauses
    unsigned turns_ = 0;
};

}  // namespace sim
