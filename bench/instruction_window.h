// instruction_window.h - marks a benchmark's timed loop for callgrind, so that
// scripts/perf.py can count instructions per frame without the set-up around it.
//
// Under valgrind (callgrind) a benchmark runs a fixed number of iterations, once; the
// window zeroes callgrind's counters when the loop starts and dumps them, named
// "<label> frames=<iterations>", when it ends. Outside valgrind both are no-ops.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define KRVDLC_BENCH_CALLGRIND 1
#endif

namespace krvdlc::bench {

inline bool UnderValgrind()
{
#ifdef KRVDLC_BENCH_CALLGRIND
    return RUNNING_ON_VALGRIND != 0;
#else
    return false;
#endif
}

// Iterations of every benchmark under valgrind: enough for a steady average, few enough
// to keep the CI check short.
inline constexpr benchmark::IterationCount kCallgrindIterations = 200;

// Registers the benchmark for one run of kCallgrindIterations under valgrind.
inline benchmark::internal::Benchmark *Counted(benchmark::internal::Benchmark *b)
{
    return UnderValgrind() ? b->Iterations(kCallgrindIterations) : b;
}

class InstructionWindow {
public:
    explicit InstructionWindow(std::string label) : label_(std::move(label))
    {
#ifdef KRVDLC_BENCH_CALLGRIND
        CALLGRIND_ZERO_STATS;
#endif
    }
    // Call right after the loop.
    void Close(benchmark::IterationCount frames)
    {
#ifdef KRVDLC_BENCH_CALLGRIND
        std::string name = label_ + " frames=" + std::to_string(frames);
        CALLGRIND_DUMP_STATS_AT(name.c_str());
#else
        (void)frames;
#endif
    }

private:
    std::string label_;
};

}  // namespace krvdlc::bench
