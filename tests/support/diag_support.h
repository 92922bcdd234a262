// diag_support.h - helpers of the diagnostics tests (event log, trace file, event viewer).
#pragma once

#include "tools/common/simulated_host.h"

#include "sim/debugger.h"
#include "sim/dispatcher.h"
#include "sim/files.h"
#include "sim/irql.h"

#include "core/krvdlc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace krvdlc::diag_test {

inline constexpr char kTraceFile[] = "\\SystemRoot\\trace\\krvdlc.trc";
inline constexpr char kTraceFolder[] = "\\SystemRoot\\trace";
inline constexpr auto kTenSeconds = std::chrono::seconds(10);

// Polls `condition` in real time; false when `limit` passed first.
inline bool WaitUntil(const std::function<bool()> &condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Text split after each line feed, every piece keeping its "\n" (a last piece without one
// is kept as it is).
inline std::vector<std::string> SplitLines(std::string_view text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        lines.emplace_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

inline size_t CountPrints(const sim::Machine &machine, std::string_view text)
{
    size_t count = 0;
    for (const std::string &print : const_cast<sim::Machine &>(machine).debugger().Prints())
        count += print == text ? 1 : 0;
    return count;
}

inline uint64_t TraceFileOpens(sim::Machine &machine)
{
    return machine.files().OpenCount(kTraceFile);
}

// Writes to the trace file so far.
inline size_t TraceFileWrites(sim::Machine &machine)
{
    size_t writes = 0;
    for (const sim::FileOperation &op : machine.files().Operations())
        writes += op.kind == sim::FileOperation::Kind::Write ? 1 : 0;
    return writes;
}

// The trace thread, with auto-advance off, is blocked in its 10-second wait with nothing
// queued and TraceEvent not signalled: nothing can start a pass but the clock. Only the
// trace thread waits with a time-out in these tests.
inline bool TraceThreadIdle(sim::Machine &machine)
{
    return WaitUntil([&] {
        return machine.clock().TimedWaiterCount() == 1 && ReadNoFence(&QueueCount) == 0 &&
               machine.dispatcher().ReadState(&TraceEvent) == 0;
    });
}

// Moves the clock by the trace thread's period and waits until it has run the pass this
// started (it reopened the file) and waits again.
inline bool RunTimedPass(sim::Machine &machine)
{
    const uint64_t opens = TraceFileOpens(machine);
    machine.clock().Advance(kTenSeconds);
    return WaitUntil([&] {
        return TraceFileOpens(machine) > opens && machine.clock().TimedWaiterCount() == 1;
    });
}

// Threads that wait on TraceEvent ahead of the trace thread, so that the signals of the
// next `count` queued buffers release them, one each, instead of the trace thread: the
// dispatcher releases the waiters of a synchronization event first come, first served.
// Start them only while the trace thread is already blocked in its wait.
class SignalAbsorbers {
public:
    SignalAbsorbers(sim::Machine &machine, size_t count)
    {
        const size_t before = machine.clock().WaiterCount();
        for (size_t i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                sim::BeginThreadContext("absorber");
                KeWaitForSingleObject(&TraceEvent, Executive, KernelMode, FALSE, nullptr);
                released_.fetch_add(1);
            });
        }
        ready_ = machine.clock().WaitForWaiters(before + count);
    }
    ~SignalAbsorbers() { ReleaseAll(); }
    SignalAbsorbers(const SignalAbsorbers &) = delete;
    SignalAbsorbers &operator=(const SignalAbsorbers &) = delete;

    bool ready() const { return ready_; }
    size_t released() const { return released_.load(); }

    // Signals until every absorber is gone (a signal that wakes the trace thread instead
    // only starts a pass) and joins them.
    void ReleaseAll()
    {
        while (released_.load() < threads_.size()) {
            KeSetEvent(&TraceEvent, 0, FALSE);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::thread &thread : threads_) {
            if (thread.joinable())
                thread.join();
        }
    }

private:
    std::vector<std::thread> threads_;
    std::atomic<size_t> released_{0};
    bool ready_ = false;
};

}  // namespace krvdlc::diag_test
