// dpc.h - deferred work that the simulated platform runs at DISPATCH_LEVEL on a thread
// of its own, like a DPC on another processor: NDIS completions that pend, indications
// to the other stations of a segment.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

class DpcQueue {
public:
    virtual ~DpcQueue() = default;
    // Runs `work` at DISPATCH_LEVEL on the DPC thread, after any earlier work.
    virtual void Queue(std::function<void()> work) = 0;
    // Returns once every piece of work queued before the call has run.
    virtual void Drain() = 0;
    // Nothing queued and nothing running.
    virtual bool Idle() const = 0;
};

// The machine's DPC queue: one host thread, started with the first work queued, that
// runs the work in order, each piece at DISPATCH_LEVEL. Work must come back at DISPATCH_LEVEL holding no spin lock (a bug-check
// otherwise). Drain() from the DPC thread itself would never return and stops the machine.
class DpcThread final : public DpcQueue {
public:
    DpcThread();
    ~DpcThread() override;
    DpcThread(const DpcThread &) = delete;
    DpcThread &operator=(const DpcThread &) = delete;

    void Queue(std::function<void()> work) override;
    void Drain() override;
    bool Idle() const override;
    // Runs what is queued, then ends the thread; later Queue() calls are dropped.
    void Stop();
    // Whether the caller is the DPC thread.
    bool OnDpcThread() const;
    uint64_t RunCount() const;

private:
    void Run();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> work_;
    uint64_t queued_ = 0;
    uint64_t done_ = 0;
    bool stopping_ = false;
    std::thread thread_;                    // guarded by mutex_; not started until needed
    std::atomic<std::thread::id> runner_{}; // the DPC thread's id once it runs
};

}  // namespace sim
