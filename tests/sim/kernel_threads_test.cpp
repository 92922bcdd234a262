// System threads: creation, PsTerminateSystemThread, thread objects and references, and
// the checks at unload.
#include "tests/sim/kernel_test_support.h"

#include "sim/dispatcher.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/locks.h"
#include "sim/registry.h"
#include "sim/threads.h"

#include <atomic>

namespace sim::test {
namespace {

struct Probe {
    KEVENT go;
    KIRQL irql = 0xFF;
    bool inSystemThread = false;
    bool terminate = true;
    NTSTATUS exitStatus = STATUS_SUCCESS;
    std::atomic<bool> ranPastTheEnd{false};
};

VOID NTAPI ProbeThread(PVOID context)
{
    auto *probe = static_cast<Probe *>(context);
    probe->irql = KeGetCurrentIrql();
    probe->inSystemThread = Threads::InSystemThread();
    KeWaitForSingleObject(&probe->go, Executive, KernelMode, FALSE, nullptr);
    if (probe->terminate) {
        PsTerminateSystemThread(probe->exitStatus);
        probe->ranPastTheEnd = true;
    }
}

// Starts ProbeThread; returns the referenced thread object, the handle closed.
PVOID StartProbe(Probe &probe)
{
    KeInitializeEvent(&probe.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   ProbeThread, &probe),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object,
                                        nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    return object;
}

// Whether the routine calls PsTerminateSystemThread or returns, the thread ends at
// PASSIVE_LEVEL and its object is signalled.
TEST(KernelThreads, EndingSignalsTheThreadObject)
{
    for (bool terminate : {true, false}) {
        SCOPED_TRACE(terminate);
        Machine machine;
        Probe probe;
        probe.terminate = terminate;
        probe.exitStatus = static_cast<NTSTATUS>(0x4000ABCD);
        PVOID object = StartProbe(probe);
        EXPECT_EQ(machine.threads().RunningCount(), 1u);

        KeSetEvent(&probe.go, 0, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_TRUE(machine.threads().WaitUntilAllEnded());
        EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
        EXPECT_TRUE(probe.inSystemThread);
        EXPECT_FALSE(probe.ranPastTheEnd.load());
        EXPECT_FALSE(Threads::InSystemThread());

        std::vector<Threads::Info> threads = machine.threads().List();
        ASSERT_EQ(threads.size(), 1u);
        EXPECT_FALSE(threads[0].running);
        EXPECT_EQ(threads[0].terminated, terminate);
        if (terminate) {
            EXPECT_EQ(threads[0].exitStatus, probe.exitStatus);
        }
        EXPECT_EQ(threads[0].references, 1);
        EXPECT_EQ(threads[0].handles, 0);

        EXPECT_EQ(ObfDereferenceObject(object), 0);
        machine.CheckNothingLeftBehind();
    }
}

TEST(KernelThreads, ReferenceByHandleChecksTheHandle)
{
    Machine machine;
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x1234), 0, nullptr, KernelMode,
                                        &object, nullptr),
              STATUS_INVALID_HANDLE);
    machine.registry().CreateKey("\\Registry\\Machine\\Software\\Probe");
    CountedName name(u"\\Registry\\Machine\\Software\\Probe");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(key, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(key);
}

TEST(KernelThreads, CreationFailsWhenInjected)
{
    Machine machine;
    machine.faults().FailNth("PsCreateSystemThread", 1);
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   ProbeThread, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(machine.threads().List().empty());
}

// A machine that ends while a driver thread still waits ends the thread inside its wait.
TEST(KernelThreads, MachineEndStopsAWaitingThread)
{
    auto probe = std::make_unique<Probe>();
    {
        Machine machine;
        PVOID object = StartProbe(*probe);
        ASSERT_TRUE(machine.clock().WaitForWaiters(1));
        (void)object;
    }
    EXPECT_FALSE(probe->ranPastTheEnd.load());
}

VOID NTAPI ReturnAtApcLevel(PVOID)
{
    RaiseIrql(APC_LEVEL);
}

VOID NTAPI ReturnHoldingALock(PVOID context)
{
    KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(context));
    LowerIrql(PASSIVE_LEVEL);
}

VOID NTAPI WaitForever(PVOID context)
{
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

VOID NTAPI TerminateAtApcLevel(PVOID)
{
    RaiseIrql(APC_LEVEL);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

struct Contended {
    KEVENT go;
    KSPIN_LOCK lock;
};

// Waits for its go event, then spins for the lock the test holds.
VOID NTAPI SpinForTheLock(PVOID context)
{
    auto *contended = static_cast<Contended *>(context);
    KeWaitForSingleObject(&contended->go, Executive, KernelMode, FALSE, nullptr);
    KIRQL old = KfAcquireSpinLock(&contended->lock);
    KfReleaseSpinLock(&contended->lock, old);
}

// Starts `routine` and waits until every system thread has ended.
void RunToTheEnd(Machine &machine, PKSTART_ROUTINE routine, PVOID context = nullptr)
{
    HANDLE handle;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context);
    machine.threads().WaitUntilAllEnded();
}

TEST(KernelThreadsDeathTest, VerifierRules)
{
    ExpectStops({
        {"driver unloaded with its thread running",
         [](Machine &machine) {
             Probe probe;
             ObDereferenceObject(StartProbe(probe));
             machine.CheckNothingLeftBehind();
         },
         "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS\nRule: driver unloaded with a "
         "system thread still running"},
        {"driver unloaded holding a thread reference",
         [](Machine &machine) {
             Probe probe;
             PVOID object = StartProbe(probe);
             KeSetEvent(&probe.go, 0, FALSE);
             KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
             machine.CheckNothingLeftBehind();
         },
         "Rule: driver unloaded holding a reference to a thread object"},
        {"driver unloaded with a thread handle open",
         [](Machine &machine) {
             KEVENT never;
             KeInitializeEvent(&never, NotificationEvent, TRUE);
             RunToTheEnd(machine, WaitForever, &never);
             machine.CheckNothingLeftBehind();
         },
         Literal("Rule: driver unloaded with a kernel handle still open (Thread)")},
        {"dereference without a reference",
         [](Machine &) {
             Probe probe;
             PVOID object = StartProbe(probe);
             ObDereferenceObject(object);
             ObDereferenceObject(object);
         },
         "REFERENCE_BY_POINTER\nRule: ObfDereferenceObject of an object that holds no reference"},
        {"ZwClose of a handle not open", [](Machine &) { ZwClose(reinterpret_cast<HANDLE>(0x80000100)); },
         "STOP: 0x00000093.*\nINVALID_KERNEL_HANDLE\nRule: ZwClose of a handle that is not open"},
        {"PsTerminateSystemThread outside a system thread", [](Machine &) { PsTerminateSystemThread(STATUS_SUCCESS); },
         "Rule: PsTerminateSystemThread called outside a system thread"},
        {"thread returns at a raised IRQL", [](Machine &machine) { RunToTheEnd(machine, ReturnAtApcLevel); },
         "Rule: system thread ended at a raised IRQL\nIRQL: 1  Thread: [0-9]+ \\(system thread 1\\)"},
        {"PsTerminateSystemThread at APC_LEVEL", [](Machine &machine) { RunToTheEnd(machine, TerminateAtApcLevel); },
         "Rule: PsTerminateSystemThread called at an IRQL other than PASSIVE_LEVEL"},
        {"KeSetEvent on a thread object",
         [](Machine &) { Probe probe; KeSetEvent(static_cast<PRKEVENT>(StartProbe(probe)), 0, FALSE); },
         "Rule: KeSetEvent on an object that is not an initialised event"},
        {"KeResetEvent on a thread object",
         [](Machine &) { Probe probe; KeResetEvent(static_cast<PRKEVENT>(StartProbe(probe))); },
         "Rule: KeResetEvent on an object that is not an initialised event"},
        {"thread that does not end when the machine stops",
         [](Machine &machine) {
             auto *contended = new Contended;   // the child dies with it
             KeInitializeEvent(&contended->go, NotificationEvent, FALSE);
             KeInitializeSpinLock(&contended->lock);
             HANDLE handle;
             PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                  SpinForTheLock, contended);
             KfAcquireSpinLock(&contended->lock);
             KeSetEvent(&contended->go, 0, FALSE);
             machine.threads().StopAll(std::chrono::milliseconds(100));
         },
         "Rule: system thread still running when the machine stopped"},
        {"thread returns holding a spin lock",
         [](Machine &machine) {
             KSPIN_LOCK lock;
             KeInitializeSpinLock(&lock);
             RunToTheEnd(machine, ReturnHoldingALock, &lock);
         },
         "Rule: system thread ended holding a spin lock"},
    });
}

}  // namespace
}  // namespace sim::test
