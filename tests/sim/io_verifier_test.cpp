// The verifier rules of the I/O manager: each broken rule stops the machine with a report
// that names it. Every dying statement boots its own machine, so the forked child has
// the machine's threads to itself.
#include "tests/sim/io_test_driver.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

namespace w = sim::win32;

// Boots a machine with the test driver, opens the buffered device for overlapped I/O
// and hands both to `body`.
void WithTestDriver(const std::function<void(sim::Machine &, w::HANDLE, w::OVERLAPPED &)> &body)
{
    sim::Machine machine;
    sim::LoadDriver(iotest::Entry, iotest::kServiceKey);
    w::OVERLAPPED overlapped{};
    body(machine, iotest::Open(u"\\\\.\\IoBuffered", true), overlapped);
}

void Control(w::HANDLE handle, ULONG code, w::OVERLAPPED &overlapped)
{
    w::DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, nullptr, &overlapped);
}

struct RuleCase {
    ULONG code;
    const char *report;
};

TEST(IoVerifierDeathTest, EachBrokenCompletionRuleStopsTheMachine)
{
    const RuleCase cases[] = {
        {iotest::kCompleteTwice, "IRP completed twice"},
        {iotest::kCompleteWithCancelRoutine, "IRP completed with a cancel routine set"},
        {iotest::kPendUnmarked, "returned STATUS_PENDING without marking the IRP pending"},
        {iotest::kCompletePending, "IRP completed with STATUS_PENDING"},
        {iotest::kReturnOtherStatus, "returned a status other than the IRP's completion status"},
        {iotest::kReturnUncompleted, "for an IRP it neither completed nor pended"},
        // AddressSanitizer reports the touch at once; without it the poison is found
        // overwritten when the result is collected.
        {iotest::kTouchAfterCompletion, "use-after-poison|IRP modified after completion"},
    };
    for (const RuleCase &c : cases) {
        SCOPED_TRACE(c.report);
        EXPECT_DEATH(WithTestDriver([&](sim::Machine &, w::HANDLE handle, w::OVERLAPPED &overlapped) {
                         Control(handle, c.code, overlapped);
                     }),
                     c.report);
    }
}

TEST(IoVerifierDeathTest, CancelRoutineMustReleaseTheCancelSpinLock)
{
    EXPECT_DEATH(WithTestDriver([](sim::Machine &, w::HANDLE handle, w::OVERLAPPED &overlapped) {
                     Control(handle, iotest::kHoldKeepingCancelLock, overlapped);
                     w::CancelIo(handle);
                 }),
                 "cancel routine returned holding the cancel spin lock");
}

TEST(IoVerifierDeathTest, MdlRules)
{
    EXPECT_DEATH(WithTestDriver([](sim::Machine &, w::HANDLE, w::OVERLAPPED &) {
                     char buffer[32];
                     PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
                     IoFreeMdl(mdl);
                     IoFreeMdl(mdl);
                 }),
                 "MDL freed twice");
    EXPECT_DEATH(WithTestDriver([](sim::Machine &, w::HANDLE, w::OVERLAPPED &) {
                     char buffer[32];
                     PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
                     MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                                  NormalPagePriority);
                 }),
                 "whose pages are not locked");
}

TEST(IoVerifierDeathTest, DriverMustCleanUpWhenItGoesAway)
{
    EXPECT_DEATH(
        {
            sim::Machine machine;
            sim::LoadDriver(iotest::EntryWithSloppyUnload, iotest::kServiceKey);
            sim::UnloadDriver();
        },
        "driver unloaded without deleting its devices");
    EXPECT_DEATH(
        {
            sim::Machine machine;
            sim::LoadDriver(iotest::EntryFailingSloppily, iotest::kServiceKey);
        },
        "driver failed to start and left devices behind");
}

TEST(IoVerifier, MismatchedStatusCanBeCountedInsteadOfStopping)
{
    sim::Machine machine;
    ASSERT_EQ(sim::LoadDriver(iotest::Entry, iotest::kServiceKey), STATUS_SUCCESS);
    machine.io().SetVerifierOptions({false});
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
