// threads.cpp - system threads: PsCreateSystemThread, PsTerminateSystemThread,
// ObReferenceObjectByHandle and ObfDereferenceObject for thread objects.
#include "sim/threads.h"

#include "sim/bugcheck.h"
#include "sim/dispatcher.h"
#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/irql.h"
#include "sim/locks.h"

#include <csetjmp>
#include <cstdio>
#include <system_error>
#include <thread>

namespace sim {

// The thread object as the driver sees it.
struct ThreadBody {
    DISPATCHER_HEADER Header;
};

class SystemThread final : public KernelObject {
public:
    explicit SystemThread(Threads &owner) : owner_(owner) {}
    ~SystemThread() override = default;

    const char *TypeName() const override { return "Thread"; }
    void OnHandleClosed() override { owner_.HandleClosed(*this); }

    ThreadBody body{};
    uint32_t id = 0;
    PKSTART_ROUTINE startRoutine = nullptr;
    PVOID startContext = nullptr;
    std::thread host;
    std::jmp_buf exit{};
    // Guarded by Threads::mutex_.
    bool running = false;
    bool terminated = false;
    bool stoppedByMachine = false;
    bool deleted = false;
    NTSTATUS exitStatus = STATUS_SUCCESS;
    LONG references = 0;
    LONG handles = 0;

private:
    Threads &owner_;
};

namespace {

thread_local SystemThread *t_currentThread = nullptr;

// Runs the start routine; true when the thread left it by longjmp. Nothing with a
// destructor lives in this frame or in the frames the longjmp leaves.
bool RunStartRoutine(SystemThread *thread)
{
    if (setjmp(thread->exit) != 0)
        return true;
    thread->startRoutine(thread->startContext);
    return false;
}

// CLIENT_ID as the platform fills it.
struct ClientId {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
};

constexpr uintptr_t kSystemProcessId = 4;

}  // namespace

Threads::Threads(Machine &machine) : machine_(machine) {}

Threads::~Threads()
{
    StopAll();
}

NTSTATUS Threads::Create(HANDLE *handle, PKSTART_ROUTINE startRoutine, PVOID startContext,
                         PVOID clientId)
{
    auto thread = std::make_shared<SystemThread>(*this);
    thread->startRoutine = startRoutine;
    thread->startContext = startContext;
    machine_.dispatcher().InitializeThreadObject(&thread->body.Header);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        thread->id = nextId_++;
        thread->running = true;
        thread->handles = 1;
        threads_.push_back(thread);
        running_.fetch_add(1, std::memory_order_release);
    }
    HANDLE opened = machine_.handles().Insert(thread);
    try {
        thread->host = std::thread(&Threads::HostMain, this, thread.get());
    } catch (const std::system_error &) {
        machine_.handles().Close(opened);
        std::lock_guard<std::mutex> lock(mutex_);
        thread->running = false;
        running_.fetch_sub(1, std::memory_order_release);
        thread->handles = 0;
        DeleteIfUnusedLocked(*thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *handle = opened;
    if (clientId != nullptr) {
        auto *id = static_cast<ClientId *>(clientId);
        id->UniqueProcess = reinterpret_cast<HANDLE>(kSystemProcessId);
        id->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x100 + 4 * thread->id));
    }
    return STATUS_SUCCESS;
}

NTSTATUS Threads::ReferenceByHandle(HANDLE handle, PVOID *object)
{
    std::shared_ptr<KernelObject> named = machine_.handles().Lookup(handle);
    if (named == nullptr)
        return STATUS_INVALID_HANDLE;
    auto thread = std::dynamic_pointer_cast<SystemThread>(named);
    if (thread == nullptr)
        return STATUS_OBJECT_TYPE_MISMATCH;
    std::lock_guard<std::mutex> lock(mutex_);
    ++thread->references;
    *object = &thread->body;
    return STATUS_SUCCESS;
}

LONG_PTR Threads::Dereference(PVOID object)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &thread : threads_) {
        if (static_cast<void *>(&thread->body) != object || thread->deleted)
            continue;
        if (thread->references <= 0)
            break;
        --thread->references;
        LONG_PTR count = thread->references + thread->handles;
        DeleteIfUnusedLocked(*thread);
        return count;
    }
    BugCheck(StopCode::ReferenceByPointer,
             "ObfDereferenceObject of an object that holds no reference",
             reinterpret_cast<uintptr_t>(object));
}

void Threads::TerminateCurrent(NTSTATUS status)
{
    SystemThread *thread = t_currentThread;
    if (thread == nullptr)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "PsTerminateSystemThread called outside a system thread", 0);
    RequireIrqlExactly(PASSIVE_LEVEL, "PsTerminateSystemThread");
    if (Machine::Current().locks().HeldCount() > 0)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "system thread ended holding a spin lock", thread->id);
    {
        std::lock_guard<std::mutex> lock(Machine::Current().threads().mutex_);
        thread->terminated = true;
        thread->exitStatus = status;
    }
    std::longjmp(thread->exit, 1);
}

void Threads::EndStoppedThread()
{
    SystemThread *thread = t_currentThread;
    if (thread == nullptr)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "a thread outside the system threads was stopped with the machine", 0);
    {
        std::lock_guard<std::mutex> lock(Machine::Current().threads().mutex_);
        thread->stoppedByMachine = true;
    }
    std::longjmp(thread->exit, 1);
}

bool Threads::InSystemThread()
{
    return t_currentThread != nullptr;
}

std::vector<Threads::Info> Threads::List() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Info> list;
    for (const auto &thread : threads_) {
        Info info;
        info.id = thread->id;
        info.running = thread->running;
        info.terminated = thread->terminated;
        info.stoppedByMachine = thread->stoppedByMachine;
        info.exitStatus = thread->exitStatus;
        info.references = thread->references;
        info.handles = thread->handles;
        list.push_back(info);
    }
    return list;
}

size_t Threads::RunningCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t running = 0;
    for (const auto &thread : threads_)
        running += thread->running ? 1 : 0;
    return running;
}

bool Threads::WaitUntilAllEnded(std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_.wait_for(lock, limit, [&] {
        for (const auto &thread : threads_) {
            if (thread->running)
                return false;
        }
        return true;
    });
}

void Threads::CheckAllEnded() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &thread : threads_) {
        if (thread->running)
            BugCheck(StopCode::DriverUnloadedWithoutCancellingPendingOperations,
                     "driver unloaded with a system thread still running", thread->id);
    }
}

void Threads::CheckReferencesReleased() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &thread : threads_) {
        if (thread->references > 0)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "driver unloaded holding a reference to a thread object", thread->id,
                     static_cast<uintptr_t>(thread->references));
    }
}

void Threads::StopAll(std::chrono::milliseconds limit)
{
    machine_.dispatcher().BeginStopping();
    std::vector<std::shared_ptr<SystemThread>> threads;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        bool ended = ended_.wait_for(lock, limit, [&] {
            for (const auto &thread : threads_) {
                if (thread->running)
                    return false;
            }
            return true;
        });
        if (!ended)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "system thread still running when the machine stopped");
        threads = threads_;
    }
    for (const auto &thread : threads) {
        if (thread->host.joinable() && thread->host.get_id() != std::this_thread::get_id())
            thread->host.join();
    }
}

void Threads::HostMain(Threads *threads, SystemThread *thread)
{
    char name[40];
    std::snprintf(name, sizeof name, "system thread %u", thread->id);
    BeginThreadContext(name);
    t_currentThread = thread;
    RunStartRoutine(thread);
    threads->Finished(*thread);
    t_currentThread = nullptr;
}

void Threads::Finished(SystemThread &thread)
{
    bool stopped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped = thread.stoppedByMachine;
    }
    if (!stopped) {
        if (CurrentIrql() != PASSIVE_LEVEL)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "system thread ended at a raised IRQL", thread.id, CurrentIrql());
        if (machine_.locks().HeldCount() > 0)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "system thread ended holding a spin lock", thread.id);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        thread.running = false;
        running_.fetch_sub(1, std::memory_order_release);
    }
    machine_.dispatcher().SignalThreadObject(&thread.body.Header);
    std::lock_guard<std::mutex> lock(mutex_);
    DeleteIfUnusedLocked(thread);
    ended_.notify_all();
}

void Threads::HandleClosed(SystemThread &thread)
{
    std::lock_guard<std::mutex> lock(mutex_);
    --thread.handles;
    DeleteIfUnusedLocked(thread);
}

// An object with no reference, no handle and no running thread is gone: a wait on it
// stops the machine. Its memory stays until the machine ends.
void Threads::DeleteIfUnusedLocked(SystemThread &thread)
{
    if (thread.deleted || thread.references > 0 || thread.handles > 0 || thread.running)
        return;
    thread.deleted = true;
    machine_.dispatcher().Forget(&thread.body.Header);
}

}  // namespace sim

//
// PsCreateSystemThread - starts StartRoutine(StartContext) on a new system thread in the
// system process (ProcessHandle null) and returns a handle to it. PASSIVE_LEVEL.
//
extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes,
                                               HANDLE ProcessHandle, PVOID ClientId,
                                               PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    (void)DesiredAccess;
    (void)ObjectAttributes;
    sim::RequireIrqlExactly(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ProcessHandle != nullptr)
        return STATUS_INVALID_HANDLE;   // only the system process exists here
    sim::Machine &machine = sim::Machine::Current();
    sim::FaultPoint point;
    point.routine = "PsCreateSystemThread";
    if (machine.faults().ShouldFail(point))
        return STATUS_INSUFFICIENT_RESOURCES;
    return machine.threads().Create(ThreadHandle, StartRoutine, StartContext, ClientId);
}

//
// PsTerminateSystemThread - ends the calling system thread. PASSIVE_LEVEL; never returns.
//
extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    sim::Threads::TerminateCurrent(ExitStatus);
}

//
// ObReferenceObjectByHandle - a referenced thread object for a thread handle. At or below
// APC_LEVEL. Kernel-mode callers are not access-checked.
//
extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    PVOID ObjectType, KPROCESSOR_MODE AccessMode,
                                                    PVOID *Object, PVOID HandleInformation)
{
    (void)DesiredAccess;
    (void)ObjectType;
    (void)AccessMode;
    (void)HandleInformation;
    sim::RequireIrqlAtMost(APC_LEVEL, "ObReferenceObjectByHandle");
    return sim::Machine::Current().threads().ReferenceByHandle(Handle, Object);
}

//
// ObfDereferenceObject - drops a reference taken by ObReferenceObjectByHandle; returns
// the references and handles left. At or below DISPATCH_LEVEL.
//
extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    return sim::Machine::Current().threads().Dereference(Object);
}
