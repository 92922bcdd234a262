// threads.h - simulated system threads, their thread objects and references.
//
// PsCreateSystemThread runs the start routine on a host thread of its own, at
// PASSIVE_LEVEL, in the system process. The thread object the driver gets from
// ObReferenceObjectByHandle begins with a DISPATCHER_HEADER and is signalled when the
// thread ends: by PsTerminateSystemThread (which leaves the driver's frames with longjmp,
// as they have no destructors) or by returning from the start routine. Objects are counted
// (references and handles); the unload checks report threads still running and references
// never dropped.
#pragma once

#include "sim/machine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

class SystemThread;

// What a wait returns in a system thread that the machine stops while it waits; the
// thread then ends at once (it never reaches the driver).
inline constexpr NTSTATUS kStatusThreadIsTerminating = static_cast<NTSTATUS>(0xC000004B);

class Threads {
public:
    struct Info {
        uint32_t id = 0;                // 1 for the machine's first system thread
        bool running = false;
        bool terminated = false;        // ended by PsTerminateSystemThread
        bool stoppedByMachine = false;  // ended because the machine stopped
        NTSTATUS exitStatus = STATUS_SUCCESS;
        LONG references = 0;            // ObReferenceObjectByHandle minus dereferences
        LONG handles = 0;               // open handles
    };

    explicit Threads(Machine &machine);
    ~Threads();
    Threads(const Threads &) = delete;
    Threads &operator=(const Threads &) = delete;

    // PsCreateSystemThread's work once the checks passed.
    NTSTATUS Create(HANDLE *handle, PKSTART_ROUTINE startRoutine, PVOID startContext,
                    PVOID clientId);
    // A referenced thread object, or STATUS_INVALID_HANDLE / STATUS_OBJECT_TYPE_MISMATCH.
    NTSTATUS ReferenceByHandle(HANDLE handle, PVOID *object);
    // Drops one reference; stops the machine for an object that holds none.
    LONG_PTR Dereference(PVOID object);

    // Ends the calling system thread with `status` (PsTerminateSystemThread).
    [[noreturn]] static void TerminateCurrent(NTSTATUS status);
    // Ends the calling system thread because the machine stops (a wait returned
    // kStatusThreadIsTerminating).
    [[noreturn]] static void EndStoppedThread();
    // Whether the calling host thread is a simulated system thread.
    static bool InSystemThread();

    std::vector<Info> List() const;
    size_t RunningCount() const;
    // The same without the lock, for the clock, which holds its own: a thread counts from
    // before its host thread starts until it has ended.
    size_t RunningNow() const { return running_.load(std::memory_order_acquire); }
    // For tests: real-time wait until no system thread runs; false when `limit` passed.
    bool WaitUntilAllEnded(std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

    // Unload checks: DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS "driver unloaded
    // with a system thread still running"; DRIVER_VERIFIER_DETECTED_VIOLATION "driver
    // unloaded holding a reference to a thread object".
    void CheckAllEnded() const;
    void CheckReferencesReleased() const;

    // The machine ends: waits of system threads return kStatusThreadIsTerminating, which
    // ends those threads; every host thread is joined. A thread that does not end within
    // `limit` (it spins, or waits outside the dispatcher) stops the machine.
    void StopAll(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    friend class SystemThread;
    static void HostMain(Threads *threads, SystemThread *thread);
    void Finished(SystemThread &thread);
    void HandleClosed(SystemThread &thread);
    void DeleteIfUnusedLocked(SystemThread &thread);

    Machine &machine_;
    mutable std::mutex mutex_;
    mutable std::condition_variable ended_;
    std::vector<std::shared_ptr<SystemThread>> threads_;
    std::atomic<size_t> running_{0};
    uint32_t nextId_ = 1;
};

}  // namespace sim
