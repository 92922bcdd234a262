// machine.cpp - the machine: its parts, the current-machine pointer, start and stop, and
// the checks the I/O manager runs when the driver unloads.
#include "sim/machine.h"

#include "sim/bugcheck.h"
#include "sim/cache_line.h"
#include "sim/debugger.h"
#include "sim/dispatcher.h"
#include "sim/dpc.h"
#include "sim/errorlog.h"
#include "sim/faults.h"
#include "sim/files.h"
#include "sim/handles.h"
#include "sim/io_manager.h"
#include "sim/irql.h"
#include "sim/locks.h"
#include "sim/ndis.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "sim/threads.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace sim {

namespace {

// The running machine: the simulator's one piece of global state.
std::atomic<Machine *> g_currentMachine{nullptr};

// A name for this machine's temporary \SystemRoot folder, unique in the process and, by
// the process id, among processes. Only a name: most machines never open a file, so the
// folder is made, and one left by an ended process with the same id removed, on first use
// (FileSystem).
std::filesystem::path TemporaryRootName()
{
    static const std::filesystem::path base = [] {
        std::error_code error;
        std::filesystem::path folder = std::filesystem::temp_directory_path(error);
        return error ? std::filesystem::path("/tmp") : folder;
    }();
    static std::atomic<uint64_t> machines{0};
    return base / ("krvdlc-systemroot-" + std::to_string(::getpid()) + "-" +
                   std::to_string(machines.fetch_add(1, std::memory_order_relaxed) + 1));
}

}  // namespace

struct Machine::Parts {
    Parts(Machine &machine, bool temporaryRoot)
        : debugger(machine.options_.echoDebugger),
          pool(machine),
          clock(machine.options_.bootSystemTime,
                machine.options_.soleHostThread ? std::this_thread::get_id() : std::thread::id()),
          dispatcher(machine, clock),
          registry(machine),
          files(machine, machine.options_.systemRoot, temporaryRoot),
          errorLog(machine),
          threads(machine)
    {
    }

    // Each part begins a cache line of its own: an indicating thread and a reader on two
    // processors write different parts, and two parts sharing a line would pass it back
    // and forth between them.
    alignas(kCacheLine) FaultInjector faults;
    alignas(kCacheLine) Debugger debugger;
    alignas(kCacheLine) Pool pool;
    alignas(kCacheLine) LockVerifier locks;
    alignas(kCacheLine) VirtualClock clock;
    alignas(kCacheLine) Dispatcher dispatcher;
    alignas(kCacheLine) DpcThread dpcs;
    alignas(kCacheLine) Registry registry;
    alignas(kCacheLine) FileSystem files;
    alignas(kCacheLine) ErrorLog errorLog;
    alignas(kCacheLine) Threads threads;
    alignas(kCacheLine) HandleTable handles;    // the objects behind handles go before their owners
    // Built once the kernel parts above exist, and ended first.
    std::unique_ptr<IoManager> io;
    std::unique_ptr<Ndis> ndis;
};

Machine::Machine(MachineOptions options) : options_(std::move(options))
{
    Machine *none = nullptr;
    if (!g_currentMachine.compare_exchange_strong(none, this))
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "a second machine was started while one is running");
    BeginThreadContext("main");

    const bool temporaryRoot = options_.systemRoot.empty();
    if (temporaryRoot) {
        options_.systemRoot = TemporaryRootName();
    } else {
        std::filesystem::create_directories(options_.systemRoot);
    }
    if (options_.bootSystemTime == 0)
        options_.bootSystemTime = SystemTimeFromCalendar(2026, 1, 1);

    parts_ = std::make_unique<Parts>(*this, temporaryRoot);
    // The I/O manager and NDIS may use the kernel parts while they are built.
    parts_->io = std::make_unique<IoManager>(*this);
    parts_->ndis = std::make_unique<Ndis>(*this);
}

Machine::~Machine()
{
    if (!parts_->dpcs.OnDpcThread())
        parts_->dpcs.Drain();
    parts_->threads.StopAll();
    parts_->ndis.reset();
    parts_->io.reset();
    parts_->dpcs.Stop();
    // The parts are destroyed while the accessors still reach them (reset() would clear
    // the pointer first): a part on its way out may still call one declared before it.
    parts_.get_deleter()(parts_.get());
    (void)parts_.release();
    g_currentMachine.store(nullptr);
}

void Machine::DiscardTemporaryRoot() noexcept
{
    Machine *machine = g_currentMachine.load();
    if (machine != nullptr && machine->parts_ != nullptr)
        machine->parts_->files.DiscardTemporaryRoot();
}

Machine &Machine::Current()
{
    Machine *machine = g_currentMachine.load();
    if (machine == nullptr)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "a kernel routine was called with no machine running");
    return *machine;
}

bool Machine::Exists()
{
    return g_currentMachine.load() != nullptr;
}

Pool &Machine::pool() { return parts_->pool; }
Dispatcher &Machine::dispatcher() { return parts_->dispatcher; }
VirtualClock &Machine::clock() { return parts_->clock; }
Threads &Machine::threads() { return parts_->threads; }
Registry &Machine::registry() { return parts_->registry; }
FileSystem &Machine::files() { return parts_->files; }
Debugger &Machine::debugger() { return parts_->debugger; }
ErrorLog &Machine::errorLog() { return parts_->errorLog; }
FaultInjector &Machine::faults() { return parts_->faults; }
DpcQueue &Machine::dpcs() { return parts_->dpcs; }
LockVerifier &Machine::locks() { return parts_->locks; }
HandleTable &Machine::handles() { return parts_->handles; }

IoManager &Machine::io() { return *parts_->io; }
Ndis &Machine::ndis() { return *parts_->ndis; }

const MachineOptions &Machine::options() const
{
    return options_;
}

void Machine::CheckNothingLeftBehind()
{
    threads().CheckAllEnded();
    threads().CheckReferencesReleased();
    errorLog().CheckNoneOutstanding();
    for (const HandleTable::OpenHandle &open : handles().Snapshot()) {
        if (open.type == "Key" || open.type == "File" || open.type == "Thread") {
            std::string rule = "driver unloaded with a kernel handle still open (" + open.type + ")";
            BugCheck(StopCode::DriverVerifierDetectedViolation, rule.c_str(),
                     reinterpret_cast<uintptr_t>(open.handle));
        }
    }
    pool().CheckDriverPoolFreed();
}

}  // namespace sim
