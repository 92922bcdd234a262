// dpc.cpp - the DPC thread: queued work run in order at DISPATCH_LEVEL.
#include "sim/dpc.h"

#include "sim/bugcheck.h"
#include "sim/irql.h"
#include "sim/locks.h"
#include "sim/machine.h"

namespace sim {

// A machine that never defers work never pays for a host thread.
DpcThread::DpcThread() = default;

DpcThread::~DpcThread()
{
    Stop();
}

void DpcThread::Queue(std::function<void()> work)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_)
        return;
    work_.push_back(std::move(work));
    ++queued_;
    if (!thread_.joinable())
        thread_ = std::thread(&DpcThread::Run, this);
    changed_.notify_all();
}

void DpcThread::Drain()
{
    if (OnDpcThread())
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "DPC queue drained from a DPC (it would wait for itself)");
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t target = queued_;
    changed_.wait(lock, [&] { return done_ >= target || (stopping_ && work_.empty()); });
}

void DpcThread::Stop()
{
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
        if (!OnDpcThread())
            thread = std::move(thread_);
    }
    if (thread.joinable())
        thread.join();
}

bool DpcThread::Idle() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return done_ == queued_;
}

bool DpcThread::OnDpcThread() const
{
    return std::this_thread::get_id() == runner_.load(std::memory_order_acquire);
}

uint64_t DpcThread::RunCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
}

void DpcThread::Run()
{
    runner_.store(std::this_thread::get_id(), std::memory_order_release);
    BeginThreadContext("DPC");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !work_.empty(); });
        if (work_.empty())
            return;     // stopping, and everything queued has run
        std::function<void()> work = std::move(work_.front());
        work_.pop_front();
        lock.unlock();
        {
            IrqlScope dispatch(DISPATCH_LEVEL);
            work();
            if (CurrentIrql() != DISPATCH_LEVEL)
                BugCheck(StopCode::IrqlNotLessOrEqual, "DPC returned at an IRQL other than DISPATCH_LEVEL",
                         CurrentIrql());
            if (Machine::Exists() && Machine::Current().locks().HeldCount() > 0)
                BugCheck(StopCode::DriverVerifierDetectedViolation,
                         "DPC returned holding a spin lock");
        }
        lock.lock();
        ++done_;
        changed_.notify_all();
    }
}

}  // namespace sim
