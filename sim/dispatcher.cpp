// dispatcher.cpp - events, thread objects, waits and the virtual clock; KeInitializeEvent,
// KeSetEvent, KeResetEvent, KeWaitForSingleObject and KeQuerySystemTime.
#include "sim/dispatcher.h"

#include "sim/dpc.h"
#include "sim/pool.h"

#include "sim/bugcheck.h"
#include "sim/irql.h"
#include "sim/threads.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace sim {

//
// VirtualClock
//

VirtualClock::VirtualClock(int64_t bootSystemTime, std::thread::id soleHost)
    : now_(bootSystemTime), soleHost_(soleHost)
{
}

namespace {
// Dispatch routines the current thread is inside (a dispatch routine may issue a request).
thread_local int t_dispatchDepth = 0;
}  // namespace

VirtualClock::DispatchScope::DispatchScope(VirtualClock &clock) : clock_(clock)
{
    if (t_dispatchDepth++ == 0)
        clock_.dispatching_.fetch_add(1, std::memory_order_relaxed);
}

VirtualClock::DispatchScope::~DispatchScope()
{
    if (--t_dispatchDepth == 0)
        clock_.dispatching_.fetch_sub(1, std::memory_order_relaxed);
}

int64_t VirtualClock::Now() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

void VirtualClock::Advance(Duration duration)
{
    if (duration.count() < 0)
        throw std::invalid_argument("VirtualClock::Advance: system time never goes back");
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += duration.count();
    changed_.notify_all();
}

void VirtualClock::SetAutoAdvance(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    autoAdvance_ = on;
    changed_.notify_all();
}

bool VirtualClock::AutoAdvance() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return autoAdvance_;
}

size_t VirtualClock::TimedWaiterCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(waiters_.begin(), waiters_.end(), [&](Waiter *w) {
        return !w->satisfied && w->deadline.has_value() && *w->deadline > now_;
    }));
}

size_t VirtualClock::WaiterCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(
        waiters_.begin(), waiters_.end(), [&](Waiter *w) { return !w->satisfied; }));
}

bool VirtualClock::WaitForTimedWaiters(size_t count, std::chrono::milliseconds limit) const
{
    return WaitForCount(count, true, limit);
}

bool VirtualClock::WaitForWaiters(size_t count, std::chrono::milliseconds limit) const
{
    return WaitForCount(count, false, limit);
}

bool VirtualClock::WaitForCount(size_t count, bool timedOnly, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        size_t blocked = 0;
        for (Waiter *w : waiters_) {
            if (w->satisfied)
                continue;
            if (timedOnly && !(w->deadline.has_value() && *w->deadline > now_))
                continue;
            ++blocked;
        }
        return blocked >= count;
    });
}

std::optional<int64_t> VirtualClock::EarliestDeadline() const
{
    std::optional<int64_t> earliest;
    for (Waiter *w : waiters_) {
        if (w->satisfied || !w->deadline.has_value())
            continue;
        if (!earliest.has_value() || *w->deadline < *earliest)
            earliest = w->deadline;
    }
    return earliest;
}

//
// Dispatcher
//

Dispatcher::Dispatcher(Machine &machine, VirtualClock &clock) : machine_(machine), clock_(clock) {}

void Dispatcher::InitializeEvent(KEVENT *event, EVENT_TYPE type, bool signalled)
{
    if (type != NotificationEvent && type != SynchronizationEvent)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "KeInitializeEvent with an unknown event type", reinterpret_cast<uintptr_t>(event),
                 static_cast<uintptr_t>(type));
    // Its pool block, if it lives in one, now tells ForgetRange when it goes.
    machine_.pool().MarkKernelObject(event);
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    for (VirtualClock::Waiter *w : clock_.waiters_) {
        if (w->object == event && !w->satisfied)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "KeInitializeEvent on an event that a thread waits on",
                     reinterpret_cast<uintptr_t>(event));
    }
    DISPATCHER_HEADER &header = event->Header;
    header.Type = type == NotificationEvent ? kNotificationEventType : kSynchronizationEventType;
    header.Absolute = 0;
    header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
    header.Inserted = 0;
    header.SignalState = signalled ? 1 : 0;
    InitializeListHead(&header.WaitListHead);
    objects_[event] = type == NotificationEvent ? ObjectKind::NotificationEvent
                                                : ObjectKind::SynchronizationEvent;
}

LONG Dispatcher::SetEvent(KEVENT *event)
{
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    ObjectKind kind = KindLocked(event, "KeSetEvent");
    if (kind == ObjectKind::Thread)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "KeSetEvent on an object that is not an initialised event",
                 reinterpret_cast<uintptr_t>(event));
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    ReleaseWaitersLocked(event, kind);
    clock_.changed_.notify_all();
    return previous;
}

LONG Dispatcher::ResetEvent(KEVENT *event)
{
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    ObjectKind kind = KindLocked(event, "KeResetEvent");
    if (kind == ObjectKind::Thread)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "KeResetEvent on an object that is not an initialised event",
                 reinterpret_cast<uintptr_t>(event));
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG Dispatcher::ReadState(const void *object) const
{
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    KindLocked(object, "ReadState");
    return static_cast<const DISPATCHER_HEADER *>(object)->SignalState;
}

void Dispatcher::InitializeThreadObject(DISPATCHER_HEADER *header)
{
    machine_.pool().MarkKernelObject(header);
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    header->Type = kThreadObjectType;
    header->Absolute = 0;
    header->Size = 0;
    header->Inserted = 0;
    header->SignalState = 0;
    InitializeListHead(&header->WaitListHead);
    objects_[header] = ObjectKind::Thread;
}

void Dispatcher::SignalThreadObject(DISPATCHER_HEADER *header)
{
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    header->SignalState = 1;
    ReleaseWaitersLocked(header, ObjectKind::Thread);
    clock_.changed_.notify_all();
}

void Dispatcher::Forget(const void *object)
{
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    objects_.erase(object);
}

Dispatcher::WaitResult Dispatcher::Wait(const void *object, std::optional<int64_t> deadline)
{
    const bool systemThread = Threads::InSystemThread();
    std::unique_lock<std::mutex> lock(clock_.mutex_);
    ObjectKind kind = KindLocked(object, "wait");
    if (TryConsumeLocked(object, kind))
        return WaitResult::Satisfied;
    if (deadline.has_value() && clock_.now_ >= *deadline)
        return WaitResult::TimedOut;
    if (systemThread && clock_.stopping_)
        return WaitResult::Stopping;

    VirtualClock::Waiter me;
    me.object = object;
    me.deadline = deadline;
    me.blockedSince = std::chrono::steady_clock::now();
    me.systemThread = systemThread;
    me.thread = std::this_thread::get_id();
    // A dispatch routine blocked here holds up nobody's clock.
    const bool dispatching = t_dispatchDepth > 0;
    if (dispatching)
        clock_.dispatching_.fetch_sub(1, std::memory_order_relaxed);
    clock_.waiters_.push_back(&me);
    clock_.changed_.notify_all();   // for WaitForWaiters

    WaitResult result;
    for (;;) {
        if (me.satisfied) {
            result = WaitResult::Satisfied;
            break;
        }
        if (deadline.has_value() && clock_.now_ >= *deadline) {
            result = WaitResult::TimedOut;
            break;
        }
        if (systemThread && clock_.stopping_) {
            result = WaitResult::Stopping;
            break;
        }
        if (!deadline.has_value() || !clock_.autoAdvance_) {
            clock_.changed_.wait(lock);
            continue;
        }
        auto blocked = std::chrono::steady_clock::now() - me.blockedSince;
        bool busy = clock_.dispatching_.load(std::memory_order_relaxed) > 0;
        bool grace = blocked < VirtualClock::kAutoAdvanceGrace;
        if (clock_.soleHost_ != std::thread::id()) {
            // Every thread that could end the wait is known: none of them running, nothing
            // else will.
            busy = AnyThreadCanRunLocked();
            grace = false;
        }
        if (grace || (busy && blocked < VirtualClock::kBusyGrace)) {
            // Looked at again every grace period: a dispatch routine's end notifies nobody.
            clock_.changed_.wait_for(lock, blocked < VirtualClock::kAutoAdvanceGrace
                                               ? VirtualClock::kAutoAdvanceGrace - blocked
                                               : VirtualClock::kAutoAdvanceGrace);
        } else if (clock_.EarliestDeadline() == deadline) {
            clock_.now_ = *deadline;
            clock_.changed_.notify_all();
        } else {
            // An earlier deadline is pending; its waiter moves the clock first (woken here, as
            // it may be sleeping out a grace period that no longer applies).
            if (clock_.soleHost_ != std::thread::id())
                clock_.changed_.notify_all();
            clock_.changed_.wait_for(lock, VirtualClock::kAutoAdvanceGrace);
        }
    }
    clock_.waiters_.remove(&me);
    if (dispatching)
        clock_.dispatching_.fetch_add(1, std::memory_order_relaxed);
    clock_.changed_.notify_all();
    return result;
}

void Dispatcher::ForgetRange(const void *address, size_t size)
{
    const auto begin = reinterpret_cast<uintptr_t>(address);
    const uintptr_t end = begin + std::max<size_t>(size, 1);
    auto inside = [&](const void *object) {
        const auto at = reinterpret_cast<uintptr_t>(object);
        return at >= begin && at < end;
    };
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    for (VirtualClock::Waiter *w : clock_.waiters_) {
        if (!w->satisfied && inside(w->object))
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "pool freed while a thread waits on an object in it",
                     reinterpret_cast<uintptr_t>(w->object), begin);
    }
    objects_.erase(objects_.lower_bound(address),
                   objects_.lower_bound(reinterpret_cast<const void *>(end)));
}

void Dispatcher::BeginStopping()
{
    std::lock_guard<std::mutex> lock(clock_.mutex_);
    clock_.stopping_ = true;
    clock_.changed_.notify_all();
}

bool Dispatcher::AnyThreadCanRunLocked() const
{
    if (clock_.dispatching_.load(std::memory_order_relaxed) > 0 || !machine_.dpcs().Idle())
        return true;
    bool hostWaits = false;
    size_t systemWaiters = 0;
    for (const VirtualClock::Waiter *w : clock_.waiters_) {
        if (w->satisfied || (w->deadline.has_value() && *w->deadline <= clock_.now_))
            continue;   // about to run
        hostWaits = hostWaits || w->thread == clock_.soleHost_;
        systemWaiters += w->systemThread ? 1 : 0;
    }
    return !hostWaits || systemWaiters < machine_.threads().RunningNow();
}

Dispatcher::ObjectKind Dispatcher::KindLocked(const void *object, const char *routine) const
{
    auto found = objects_.find(object);
    if (found == objects_.end()) {
        std::string rule = std::string(routine) + " on an object that was never initialised";
        BugCheck(StopCode::DriverVerifierDetectedViolation, rule.c_str(),
                 reinterpret_cast<uintptr_t>(object));
    }
    return found->second;
}

bool Dispatcher::TryConsumeLocked(const void *object, ObjectKind kind)
{
    auto *header = static_cast<DISPATCHER_HEADER *>(const_cast<void *>(object));
    if (header->SignalState <= 0)
        return false;
    if (kind == ObjectKind::SynchronizationEvent)
        header->SignalState = 0;
    return true;
}

void Dispatcher::ReleaseWaitersLocked(const void *object, ObjectKind kind)
{
    auto *header = static_cast<DISPATCHER_HEADER *>(const_cast<void *>(object));
    for (VirtualClock::Waiter *w : clock_.waiters_) {
        if (header->SignalState <= 0)
            return;
        if (w->object != object || w->satisfied)
            continue;
        if (w->deadline.has_value() && *w->deadline <= clock_.now_)
            continue;   // already timed out, only not awake yet
        w->satisfied = true;
        if (kind == ObjectKind::SynchronizationEvent)
            header->SignalState = 0;
    }
}

//
// Waits from the driver and from NDIS.
//

namespace {

// `deadline`: absolute system time; `zero`: the caller asked only to test the state.
NTSTATUS WaitUntil(void *object, std::optional<int64_t> deadline, bool zero, const char *routine)
{
    if (zero) {
        RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    } else {
        std::string what = std::string(routine) + " with a non-zero time-out";
        RequireIrqlAtMost(APC_LEVEL, what.c_str());
    }
    Machine &machine = Machine::Current();
    Dispatcher::WaitResult result = machine.dispatcher().Wait(object, deadline);
    if (result == Dispatcher::WaitResult::Stopping)
        return kStatusThreadIsTerminating;
    return result == Dispatcher::WaitResult::Satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

}  // namespace

NTSTATUS WaitForObject(void *object, std::optional<int64_t> relativeTimeout100ns)
{
    return WaitForObjectAs("KeWaitForSingleObject", object, relativeTimeout100ns);
}

NTSTATUS WaitForObjectAs(const char *routine, void *object,
                         std::optional<int64_t> relativeTimeout100ns)
{
    std::optional<int64_t> deadline;
    bool zero = false;
    if (relativeTimeout100ns.has_value()) {
        int64_t magnitude = *relativeTimeout100ns < 0 ? -*relativeTimeout100ns : *relativeTimeout100ns;
        zero = magnitude == 0;
        deadline = Machine::Current().clock().Now() + magnitude;
    }
    NTSTATUS status = WaitUntil(object, deadline, zero, routine);
    if (status == kStatusThreadIsTerminating)
        Threads::EndStoppedThread();
    return status;
}

}  // namespace sim

//
// KeInitializeEvent - a notification or synchronization event in the given state. Any IRQL.
//
extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    sim::Machine::Current().dispatcher().InitializeEvent(Event, Type, State != FALSE);
}

//
// KeSetEvent - signals the event, releasing one waiter (synchronization) or all
// (notification); returns the previous state. At or below DISPATCH_LEVEL.
//
extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    return sim::Machine::Current().dispatcher().SetEvent(Event);
}

//
// KeResetEvent - clears the event; returns the previous state. At or below DISPATCH_LEVEL.
//
extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    return sim::Machine::Current().dispatcher().ResetEvent(Event);
}

//
// KeWaitForSingleObject - waits on an event or thread object. Timeout: null for none,
// negative for relative, positive for absolute system time, zero to test the state.
// Alerts never come. Above APC_LEVEL only with a zero time-out (up to DISPATCH_LEVEL).
//
extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    std::optional<int64_t> deadline;
    bool zero = false;
    if (Timeout != nullptr) {
        const int64_t value = Timeout->QuadPart;
        zero = value == 0;
        deadline = value < 0 ? sim::Machine::Current().clock().Now() - value : value;
    }
    NTSTATUS status = sim::WaitUntil(Object, deadline, zero, "KeWaitForSingleObject");
    if (status == sim::kStatusThreadIsTerminating)
        sim::Threads::EndStoppedThread();
    return status;
}

//
// KeQuerySystemTime - the virtual system time. Any IRQL.
//
extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = sim::Machine::Current().clock().Now();
}
