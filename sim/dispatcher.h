// dispatcher.h - dispatcher objects (events, thread objects), waits and virtual time.
//
// System time is virtual: it starts at MachineOptions::bootSystemTime and moves only when
// told, by Advance() or, with auto-advance on (the default), when a timed waiter has been
// blocked for a short real grace period and its deadline is the earliest pending one: the
// clock then jumps to that deadline. A driver's 10- or 20-second wait so costs
// milliseconds, and a test that drives time by hand turns auto-advance off. A thread
// that runs a dispatch or cancel routine (and is not blocked in a wait) may be about to end
// the very request a timed waiter waits for, as it would well within 20 real seconds on
// the platform; while one does, the clock waits kBusyGrace before it jumps, so that a
// descheduled thread is not overtaken by an unbind's time-out. On a machine whose maker is
// its sole host thread (MachineOptions::soleHostThread) the clock jumps at once when no thread
// of the machine can run: the maker and every system thread blocked in a wait (the waiter
// among them), no DPC queued or running and no dispatch routine running; while one of them
// can, it waits kBusyGrace.
//
// Waits are satisfied the way the platform does it: KeSetEvent on a synchronization event
// releases exactly one waiter (first come, first served) and leaves the event
// non-signalled; on a notification event it releases every waiter and stays signalled.
// The rules, each a bug-check: a wait with a non-zero or no time-out above APC_LEVEL; a
// wait on, or KeSetEvent / KeResetEvent of, an object that was never initialised as such;
// freeing pool that holds an object somebody waits on.
#pragma once

#include "sim/machine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace sim {

// System time (100 ns units since 1601-01-01 UTC) of a calendar date and time, UTC.
int64_t SystemTimeFromCalendar(int year, int month, int day, int hour = 0, int minute = 0,
                               int second = 0, int milliseconds = 0);

class VirtualClock {
public:
    // 100 ns ticks, the platform's unit of time.
    using Duration = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
    // How long a timed waiter is blocked in real time before the clock jumps for it.
    static constexpr std::chrono::milliseconds kAutoAdvanceGrace{5};
    // The same while some thread runs a dispatch or cancel routine: long enough for any descheduled
    // thread, short enough that a dispatch routine blocked outside a wait ends no test.
    static constexpr std::chrono::milliseconds kBusyGrace{2000};

    // Held by the I/O manager around its call of a dispatch or cancel routine.
    class DispatchScope {
    public:
        explicit DispatchScope(VirtualClock &clock);
        ~DispatchScope();
        DispatchScope(const DispatchScope &) = delete;
        DispatchScope &operator=(const DispatchScope &) = delete;

    private:
        VirtualClock &clock_;
    };

    // soleHost: the id of the machine's sole host thread (the maker), or none.
    VirtualClock(int64_t bootSystemTime, std::thread::id soleHost = {});
    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;

    // System time: 100 ns units since 1601-01-01 UTC.
    int64_t Now() const;
    // Moves the clock forward and wakes the waiters whose deadline has come.
    void Advance(Duration duration);
    void SetAutoAdvance(bool on);
    bool AutoAdvance() const;

    // Threads blocked in a wait with a time-out / in any wait.
    size_t TimedWaiterCount() const;
    size_t WaiterCount() const;
    // For tests: blocks (real time, at most `limit`) until at least `count` threads are
    // blocked in timed waits / in any wait; false when the limit passed first.
    bool WaitForTimedWaiters(size_t count,
                             std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    bool WaitForWaiters(size_t count,
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    friend class Dispatcher;

    struct Waiter {
        const void *object = nullptr;
        std::optional<int64_t> deadline;        // system time
        std::chrono::steady_clock::time_point blockedSince;
        bool satisfied = false;
        bool systemThread = false;
        std::thread::id thread;
    };

    bool WaitForCount(size_t count, bool timedOnly, std::chrono::milliseconds limit) const;
    // mutex_ held: the earliest deadline of all blocked waiters.
    std::optional<int64_t> EarliestDeadline() const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // Threads inside a dispatch or cancel routine and not blocked in a wait.
    std::atomic<int> dispatching_{0};
    int64_t now_;
    const std::thread::id soleHost_;    // none: threads the clock does not know may run
    bool autoAdvance_ = true;
    bool stopping_ = false;             // the machine is ending: system threads stop waiting
    std::list<Waiter *> waiters_;
};

class Dispatcher {
public:
    enum class WaitResult { Satisfied, TimedOut, Stopping };
    enum class ObjectKind { NotificationEvent, SynchronizationEvent, Thread };

    // Header.Type values the platform uses.
    static constexpr UCHAR kNotificationEventType = 0;
    static constexpr UCHAR kSynchronizationEventType = 1;
    static constexpr UCHAR kThreadObjectType = 6;

    Dispatcher(Machine &machine, VirtualClock &clock);
    Dispatcher(const Dispatcher &) = delete;
    Dispatcher &operator=(const Dispatcher &) = delete;

    void InitializeEvent(KEVENT *event, EVENT_TYPE type, bool signalled);
    LONG SetEvent(KEVENT *event);
    LONG ResetEvent(KEVENT *event);
    // The signal state of an initialised event or thread object.
    LONG ReadState(const void *object) const;

    // A thread object (header first, then whatever its owner keeps); not signalled.
    void InitializeThreadObject(DISPATCHER_HEADER *header);
    // The thread has ended: signals its object, releasing every waiter.
    void SignalThreadObject(DISPATCHER_HEADER *header);
    // The object is gone (its last reference dropped): waits on it stop the machine.
    void Forget(const void *object);

    // Waits until `object` is signalled or system time reaches `deadline`; no deadline:
    // without time-out. Stopping: the machine is ending and the caller is a system thread.
    // The IRQL rule is the caller's to check.
    WaitResult Wait(const void *object, std::optional<int64_t> deadline);

    // Pool block [address, address + size) freed: objects in it are forgotten; stops the
    // machine when a thread waits on one of them.
    void ForgetRange(const void *address, size_t size);
    // The machine is ending: every system thread's wait returns Stopping from now on.
    void BeginStopping();

private:
    ObjectKind KindLocked(const void *object, const char *routine) const;
    // clock_.mutex_ held, the machine's sole host thread known: whether any thread of the
    // machine could still run and end a wait.
    bool AnyThreadCanRunLocked() const;
    bool TryConsumeLocked(const void *object, ObjectKind kind);
    void ReleaseWaitersLocked(const void *object, ObjectKind kind);

    Machine &machine_;
    VirtualClock &clock_;
    std::map<const void *, ObjectKind> objects_;    // guarded by clock_.mutex_
};

// Waits on an initialised event or thread object the way KeWaitForSingleObject does.
// relativeTimeout100ns: the time-out's magnitude in 100 ns units (-10'000'000 and
// 10'000'000 both mean one second); nullopt: no time-out. Returns STATUS_SUCCESS or
// STATUS_TIMEOUT. A non-zero or absent time-out requires IRQL <= APC_LEVEL, a zero one
// IRQL <= DISPATCH_LEVEL (bug-check "<routine> with a non-zero time-out called above
// APC_LEVEL"). In a system thread that the machine stops while it waits the thread ends
// here (longjmp), so callers keep no objects with destructors alive across the call.
NTSTATUS WaitForObject(void *object, std::optional<int64_t> relativeTimeout100ns);
// The same with the caller's routine named in the IRQL rule ("NdisWaitEvent").
NTSTATUS WaitForObjectAs(const char *routine, void *object,
                         std::optional<int64_t> relativeTimeout100ns);

}  // namespace sim
