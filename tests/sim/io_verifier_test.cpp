// The verifier rules of the I/O manager: each broken rule stops the machine with a report
// that names it. Every dying statement boots its own machine, so the forked child has
// the machine's threads to itself.
#include "tests/sim/io_test_driver.h"
#include "tests/sim/kernel_test_support.h"

#include <thread>

namespace {

namespace w = sim::win32;
using sim::test::StopCase;

// Loads the test driver, sends `code` to the buffered device opened for overlapped I/O,
// then hands the handle to `then` while the request may still be pending.
void Control(ULONG code, const std::function<void(w::HANDLE)> &then = nullptr)
{
    sim::LoadDriver(iotest::Entry, iotest::kServiceKey);
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoBuffered", true);
    w::OVERLAPPED overlapped{};
    w::DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, nullptr, &overlapped);
    if (then)
        then(handle);
}

StopCase Completing(ULONG code, const char *report)
{
    return {report, [code](sim::Machine &) { Control(code); }, report};
}

const sim::StatusMismatchExemption kControlExemption{
    "control path under test", IRP_MJ_DEVICE_CONTROL, STATUS_SUCCESS, {STATUS_INSUFFICIENT_RESOURCES}};

// kReturnOtherStatus under an exemption that names another path.
StopCase MismatchOffPath(const char *name, UCHAR major, NTSTATUS completedWith)
{
    sim::StatusMismatchExemption other = kControlExemption;
    other.majorFunction = major;
    other.completedWith = {completedWith};
    return {name,
            [other](sim::Machine &machine) {
                machine.io().SetVerifierOptions({{other}});
                Control(iotest::kReturnOtherStatus);
            },
            "returned a status other than the IRP's completion status"};
}

TEST(IoVerifierDeathTest, EachBrokenRuleStopsTheMachine)
{
    sim::test::ExpectStops({
        Completing(iotest::kCompleteTwice, "IRP completed twice"),
        Completing(iotest::kCompleteWithCancelRoutine, "IRP completed with a cancel routine set"),
        Completing(iotest::kPendUnmarked, "returned STATUS_PENDING without marking the IRP pending"),
        Completing(iotest::kCompletePending, "IRP completed with STATUS_PENDING"),
        Completing(iotest::kReturnOtherStatus, "returned a status other than the IRP's completion status"),
        MismatchOffPath("exemption of another major function", IRP_MJ_READ, STATUS_INSUFFICIENT_RESOURCES),
        MismatchOffPath("exemption of another completion status", IRP_MJ_DEVICE_CONTROL, STATUS_CANCELLED),
        Completing(iotest::kReturnUncompleted, "for an IRP it neither completed nor pended"),
        // AddressSanitizer reports the touch at once; without it the poison is found
        // overwritten when the result is collected.
        Completing(iotest::kTouchAfterCompletion, "use-after-poison|IRP modified after completion"),
        {"cancel routine keeps the lock", [](sim::Machine &) { Control(iotest::kHoldKeepingCancelLock, [](w::HANDLE h) { w::CancelIo(h); }); },
         "cancel routine returned holding the cancel spin lock"},
        {"MDL freed twice", [](sim::Machine &) {
             char buffer[32];
             PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
             std::thread([mdl] { IoFreeMdl(mdl); }).join();   // not the thread that made it
             IoFreeMdl(mdl);
         },
         "MDL freed twice"},
        {"unlocked MDL mapped",
         [](sim::Machine &) {
             char buffer[32];
             PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
             MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
         },
         "whose pages are not locked"},
        {"unload leaves devices",
         [](sim::Machine &) {
             sim::LoadDriver(iotest::EntryWithSloppyUnload, iotest::kServiceKey);
             sim::UnloadDriver();
         },
         "driver unloaded without deleting its devices"},
        {"failed start leaves devices",
         [](sim::Machine &) { sim::LoadDriver(iotest::EntryFailingSloppily, iotest::kServiceKey); },
         "driver failed to start and left devices behind"},
    });
}

// An exemption lets through the one path it names (major function, returned status,
// completion status) and counts it; off that path the mismatch stops (the death test).
TEST(IoVerifier, StatusMismatchExemptionCountsItsPath)
{
    sim::Machine machine;
    ASSERT_EQ(sim::LoadDriver(iotest::Entry, iotest::kServiceKey), STATUS_SUCCESS);
    machine.io().SetVerifierOptions({{kControlExemption}});
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoBuffered");
    // The caller sees what the dispatch routine returned, as on the platform.
    EXPECT_TRUE(w::DeviceIoControl(handle, iotest::kReturnOtherStatus, nullptr, 0, nullptr, 0,
                                   nullptr, nullptr));
    EXPECT_EQ(machine.io().StatusMismatches(), 1u);
    EXPECT_EQ(machine.io().Completions().back().status, STATUS_INSUFFICIENT_RESOURCES);
    w::CloseHandle(handle);
    EXPECT_TRUE(sim::UnloadDriver());
}

}  // namespace
