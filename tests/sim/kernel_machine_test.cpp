// The machine: its \SystemRoot folder, the DPC thread, fault injection and the rules of
// its own use.
#include "tests/sim/kernel_test_support.h"

#include "sim/dpc.h"
#include "sim/faults.h"
#include "sim/files.h"
#include "sim/irql.h"
#include "sim/locks.h"
#include "sim/registry.h"

#include <atomic>
#include <fstream>
#include <thread>

namespace sim::test {
namespace {

TEST(KernelMachine, TemporarySystemRootGoesWithTheMachine)
{
    std::filesystem::path root;
    {
        Machine machine;
        root = machine.options().systemRoot;
        EXPECT_FALSE(std::filesystem::exists(root));   // made on first use only
        ASSERT_EQ(machine.files().Root(), root);
        ASSERT_TRUE(std::filesystem::is_directory(root));
        std::filesystem::create_directory(root / "trace");
        std::ofstream(root / "trace" / "krvdlc.trc") << "text";
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

TEST(KernelMachine, GivenSystemRootIsCreatedAndKept)
{
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("krvdlc-kept-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    {
        MachineOptions options;
        options.systemRoot = root / "Windows";
        Machine machine(options);
        EXPECT_EQ(machine.options().systemRoot, root / "Windows");
        EXPECT_TRUE(std::filesystem::is_directory(root / "Windows"));
    }
    EXPECT_TRUE(std::filesystem::is_directory(root / "Windows"));
    std::filesystem::remove_all(root);
}

TEST(KernelMachine, DpcWorkRunsInOrderAtDispatchLevelOnItsOwnThread)
{
    Machine machine;
    std::vector<int> order;
    std::atomic<bool> allAtDispatch{true};
    std::atomic<bool> offTheCaller{true};
    const auto caller = std::this_thread::get_id();
    for (int i = 0; i < 50; ++i) {
        machine.dpcs().Queue([&, i] {
            order.push_back(i);
            allAtDispatch = allAtDispatch && KeGetCurrentIrql() == DISPATCH_LEVEL;
            offTheCaller = offTheCaller && std::this_thread::get_id() != caller;
        });
    }
    machine.dpcs().Drain();
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
    EXPECT_TRUE(allAtDispatch.load());
    EXPECT_TRUE(offTheCaller.load());
}

TEST(KernelFaults, FailByPredicateUntilClearedOrUsedUp)
{
    FaultInjector faults;
    faults.FailWhen([](const FaultPoint &p) { return p.name == u"\\Device\\KRVDLC"; });
    faults.FailWhen([](const FaultPoint &p) { return p.callNumber % 2 == 0; }, 2);
    FaultPoint device;
    device.routine = "IoCreateDevice";
    device.name = u"\\Device\\KRVDLC";
    FaultPoint other;
    other.routine = "NdisAllocatePacket";
    std::vector<bool> failed;
    for (int i = 0; i < 6; ++i)
        failed.push_back(faults.ShouldFail(other));
    EXPECT_EQ(failed, (std::vector<bool>{false, true, false, true, false, false}));
    EXPECT_TRUE(faults.ShouldFail(device));
    EXPECT_TRUE(faults.ShouldFail(device));
    faults.Clear();
    EXPECT_FALSE(faults.ShouldFail(device));
    EXPECT_EQ(faults.Injected(), 4u);
}

TEST(KernelFaults, CountsAreSafeAcrossThreads)
{
    FaultInjector faults;
    auto callFromThreads = [&faults](std::atomic<int> &failures) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                FaultPoint point;
                point.routine = "ExAllocatePoolWithTag";
                for (int i = 0; i < 250; ++i)
                    failures += faults.ShouldFail(point) ? 1 : 0;
            });
        for (std::thread &thread : threads)
            thread.join();
    };
    // Unarmed, each thread counts on its own; the totals sum them.
    std::atomic<int> failures{0};
    callFromThreads(failures);
    EXPECT_EQ(faults.Calls("ExAllocatePoolWithTag"), 1000u);
    EXPECT_EQ(faults.OverallCalls(), 1000u);
    // Armed, the call numbers run on from every thread's calls.
    faults.FailWhen([](const FaultPoint &p) { return p.callNumber % 10 == 0 && p.overallNumber > 1000; });
    callFromThreads(failures);
    EXPECT_EQ(faults.Calls("ExAllocatePoolWithTag"), 2000u);
    EXPECT_EQ(failures.load(), 100);
    // The same name from other storage counts with it.
    const std::string sameName = "ExAllocatePoolWithTag";
    FaultPoint copy;
    copy.routine = sameName;
    faults.ShouldFail(copy);
    EXPECT_EQ(faults.Calls("ExAllocatePoolWithTag"), 2001u);
}

// Each routine's IRQL limit, one level above it.
TEST(KernelMachineDeathTest, RoutinesAboveTheirIrql)
{
    struct Limit {
        const char *routine;
        KIRQL maximum;
        std::function<void()> call;
    };
    const Limit limits[] = {
        {"ObReferenceObjectByHandle", APC_LEVEL,
         [] {
             PVOID object;
             ObReferenceObjectByHandle(nullptr, 0, nullptr, KernelMode, &object, nullptr);
         }},
        {"ObfDereferenceObject", DISPATCH_LEVEL, [] { ObfDereferenceObject(nullptr); }},
        {"KeResetEvent", DISPATCH_LEVEL, [] { KeResetEvent(nullptr); }},
        {"ExFreePool", DISPATCH_LEVEL, [] { ExFreePool(reinterpret_cast<PVOID>(16)); }},
        {"IoWriteErrorLogEntry", DISPATCH_LEVEL, [] { IoWriteErrorLogEntry(nullptr); }},
        {"ExfInterlockedRemoveHeadList", DISPATCH_LEVEL,
         [] { ExInterlockedRemoveHeadList(nullptr, nullptr); }},
        {"ZwClose", PASSIVE_LEVEL, [] { ZwClose(nullptr); }},
        {"ZwCreateFile", PASSIVE_LEVEL,
         [] { ZwCreateFile(nullptr, 0, nullptr, nullptr, nullptr, 0, 0, 0, 0, nullptr, 0); }},
        {"ZwWriteFile", PASSIVE_LEVEL,
         [] { ZwWriteFile(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr); }},
        {"ZwOpenKey", PASSIVE_LEVEL, [] { ZwOpenKey(nullptr, KEY_READ, nullptr); }},
        {"ZwQueryValueKey", PASSIVE_LEVEL,
         [] { ZwQueryValueKey(nullptr, nullptr, KeyValuePartialInformation, nullptr, 0, nullptr); }},
        {"PsCreateSystemThread", PASSIVE_LEVEL,
         [] { PsCreateSystemThread(nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr); }},
        {"KeSetEvent", DISPATCH_LEVEL, [] { KeSetEvent(nullptr, 0, FALSE); }},
        {"KfAcquireSpinLock", DISPATCH_LEVEL, [] { KfAcquireSpinLock(nullptr); }},
        {"ExfInterlockedInsertTailList", DISPATCH_LEVEL,
         [] { ExInterlockedInsertTailList(nullptr, nullptr, nullptr); }},
        {"IoAllocateErrorLogEntry", DISPATCH_LEVEL, [] { IoAllocateErrorLogEntry(nullptr, 48); }},
    };
    for (const Limit &limit : limits) {
        SCOPED_TRACE(limit.routine);
        const std::string bound = limit.maximum == PASSIVE_LEVEL ? " called at an IRQL other than "
                                                                 : " called above ";
        EXPECT_DEATH(
            {
                Machine machine;
                IrqlScope above(static_cast<KIRQL>(limit.maximum + 1));
                limit.call();
            },
            "Rule: " + std::string(limit.routine) + bound + IrqlName(limit.maximum));
    }
}

TEST(KernelMachineDeathTest, VerifierRules)
{
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 1, 0), "Rule: a kernel routine was called with no machine running");
    ExpectStops({
        {"second machine", [](Machine &) { Machine second; },
         "Rule: a second machine was started while one is running"},
        {"DPC queue drained from a DPC",
         [](Machine &machine) {
             machine.dpcs().Queue([&] { machine.dpcs().Drain(); });
             machine.dpcs().Drain();
         },
         "Rule: DPC queue drained from a DPC.*\nIRQL: 2  Thread: [0-9]+ \\(DPC\\)"},
        {"DPC returns holding a spin lock",
         [](Machine &machine) {
             auto lock = std::make_shared<KSPIN_LOCK>(0);
             machine.dpcs().Queue([lock] { KefAcquireSpinLockAtDpcLevel(lock.get()); });
             machine.dpcs().Drain();
         },
         "Rule: DPC returned holding a spin lock"},
        {"spin lock word holding garbage",
         [](Machine &) {
             KSPIN_LOCK lock = 0x1234;   // never initialised
             KfAcquireSpinLock(&lock);
         },
         "Rule: spin lock acquired before it was initialised"},
        {"DPC returns at a lower IRQL",
         [](Machine &machine) {
             machine.dpcs().Queue([] { LowerIrql(PASSIVE_LEVEL); });
             machine.dpcs().Drain();
         },
         "Rule: DPC returned at an IRQL other than DISPATCH_LEVEL"},
    });
}

}  // namespace
}  // namespace sim::test
