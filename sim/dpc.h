// dpc.h - deferred work that the simulated platform runs at DISPATCH_LEVEL on a thread
// of its own, like a DPC on another processor: NDIS completions that pend, indications
// to the other stations of a segment.
#pragma once

#include <functional>

namespace sim {

class DpcQueue {
public:
    virtual ~DpcQueue() = default;
    // Runs `work` at DISPATCH_LEVEL on the DPC thread, after any earlier work.
    virtual void Queue(std::function<void()> work) = 0;
    // Returns once every piece of work queued before the call has run.
    virtual void Drain() = 0;
};

}  // namespace sim
