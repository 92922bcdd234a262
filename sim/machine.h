// machine.h - the simulated Windows machine that hosts the driver in the host build.
//
// One Machine is the whole simulated system: kernel (pool, IRQL, locks, dispatcher
// objects and virtual time, threads, registry, files, debugger, error log), the I/O
// manager with the emulated Win32 API, and NDIS with its adapters. The kernel routines
// the driver imports are free functions (sim/*.cpp implement platform/nt.h and
// platform/ndis.h); they reach the running machine through Machine::Current(), the
// simulator's one piece of global state. Only one Machine exists at a time.
//
// The machine enforces the platform's rules like a checked build under a driver
// verifier: a violation stops the process with a bug-check report (sim/bugcheck.h).
#pragma once

#define KRVDLC_SIM_IMPLEMENTATION 1
#include "platform/ndis.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace sim {

class Pool;
class Dispatcher;
class VirtualClock;
class Threads;
class Registry;
class FileSystem;
class Debugger;
class ErrorLog;
class FaultInjector;
class DpcQueue;
class LockVerifier;
class HandleTable;
class IoManager;
class Ndis;

struct MachineOptions {
    // Folder that \SystemRoot maps to (created when missing); empty: a fresh temporary
    // folder, made when first used (files().Root() or a file the driver opens) and removed
    // with the machine. options().systemRoot names the folder in use.
    std::filesystem::path systemRoot;
    // Echo debugger output to stdout as it is printed (for tools).
    bool echoDebugger = false;
    // Local time = system time - bias (minutes west of UTC, as the platform keeps it).
    int32_t timeZoneBiasMinutes = 0;
    // System time at boot, in 100 ns units since 1601-01-01 UTC; 0: 2026-01-01 00:00:00.
    int64_t bootSystemTime = 0;
    // Only the thread that makes the machine calls into it from outside (a fuzz input run
    // on one thread). The clock then knows every thread that could end a timed wait: it
    // jumps as soon as all of them are blocked in kernel waits instead of after the
    // real-time grace period, which is there for host threads it does not know.
    bool soleHostThread = false;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // The running machine; bug-checks when none exists.
    static Machine &Current();
    static bool Exists();
    // Removes the running machine's temporary \SystemRoot folder; a bug-check calls it
    // on its way out, since the process ends without destroying the machine.
    static void DiscardTemporaryRoot() noexcept;

    Pool &pool();
    Dispatcher &dispatcher();
    VirtualClock &clock();
    Threads &threads();
    Registry &registry();
    FileSystem &files();
    Debugger &debugger();
    ErrorLog &errorLog();
    FaultInjector &faults();
    DpcQueue &dpcs();
    LockVerifier &locks();
    HandleTable &handles();
    IoManager &io();
    Ndis &ndis();

    const MachineOptions &options() const;

    // The unload checks, called by the I/O manager once the driver's unload routine has
    // returned: no system thread of the driver still running, no reference to a thread
    // object kept, no error-log entry allocated and not written, no kernel handle (key,
    // file, thread) left open, every pool block charged to the driver freed and no freed
    // block written to. The first failure stops the machine with its bug-check. (When the
    // machine itself ends with the driver still loaded, it stops the driver's threads
    // without calling this.)
    void CheckNothingLeftBehind();

private:
    struct Parts;
    MachineOptions options_;
    std::unique_ptr<Parts> parts_;
};

}  // namespace sim
