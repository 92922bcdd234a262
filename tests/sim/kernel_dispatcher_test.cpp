// Events, waits and virtual time.
#include "tests/sim/kernel_test_support.h"

#include "sim/dispatcher.h"
#include "sim/dpc.h"
#include "sim/irql.h"
#include "sim/threads.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace sim::test {
namespace {

constexpr int64_t kSecond = 10'000'000;
constexpr ULONG kTag = 0x636C644Bu;

NTSTATUS WaitRelative(PVOID object, int64_t ticks)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ticks;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

NTSTATUS WaitForever(PVOID object)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

// Set and reset return the previous state; a zero wait (allowed up to DISPATCH_LEVEL)
// takes a synchronization event's signal and leaves a notification event's.
TEST(KernelEvents, StatesAndZeroWaitsByType)
{
    Machine machine;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
        EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
        EXPECT_EQ(KeResetEvent(&event), 1);
        EXPECT_EQ(KeResetEvent(&event), 0);
        KeInitializeEvent(&event, type, TRUE);
        IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero),
                  type == NotificationEvent ? STATUS_SUCCESS : STATUS_TIMEOUT);
    }
}

TEST(KernelEvents, SynchronizationEventReleasesOneWaiterPerSignal)
{
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS);
            ++released;
        });
    EXPECT_TRUE(machine.clock().WaitForWaiters(2));
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_TRUE(machine.clock().WaitForWaiters(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);     // the released waiter took the signal
    KeSetEvent(&event, 0, FALSE);
    for (std::thread &waiter : waiters)
        waiter.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(KeResetEvent(&event), 0);
}

TEST(KernelEvents, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { EXPECT_EQ(WaitForever(&event), STATUS_SUCCESS); });
    EXPECT_TRUE(machine.clock().WaitForWaiters(3));
    KeSetEvent(&event, 0, FALSE);
    for (std::thread &waiter : waiters)
        waiter.join();
    EXPECT_EQ(KeResetEvent(&event), 1);
}

TEST(KernelTime, LongWaitTimesOutInMillisecondsOfRealTime)
{
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitRelative(&event, 20 * kSecond), STATUS_TIMEOUT);
    auto elapsed = std::chrono::steady_clock::now() - start;
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart - before.QuadPart, 20 * kSecond);
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

TEST(KernelTime, AbsoluteDeadlines)
{
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
    deadline.QuadPart += 3 * kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
    EXPECT_EQ(machine.clock().Now(), deadline.QuadPart);
}

TEST(KernelTime, AutoAdvanceJumpsToEachDeadlineInTurn)
{
    Machine machine;
    const int64_t boot = machine.clock().Now();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    // Both waits start before the clock may move: a late starter would count from a clock
    // that had already jumped.
    machine.clock().SetAutoAdvance(false);
    std::thread shortWait([&] { EXPECT_EQ(WaitRelative(&event, 3 * kSecond), STATUS_TIMEOUT); });
    std::thread longWait([&] { EXPECT_EQ(WaitRelative(&event, 10 * kSecond), STATUS_TIMEOUT); });
    ASSERT_TRUE(machine.clock().WaitForTimedWaiters(2));
    machine.clock().SetAutoAdvance(true);
    shortWait.join();
    longWait.join();
    EXPECT_EQ(machine.clock().Now(), boot + 10 * kSecond);    // not 13: jumps, not sums
}

TEST(KernelTime, ManualClockMovesOnlyWhenAdvanced)
{
    Machine machine;
    machine.clock().SetAutoAdvance(false);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        EXPECT_EQ(WaitRelative(&event, 10 * kSecond), STATUS_TIMEOUT);
        done = true;
    });
    ASSERT_TRUE(machine.clock().WaitForTimedWaiters(1));
    std::this_thread::sleep_for(VirtualClock::kAutoAdvanceGrace * 6);
    machine.clock().Advance(std::chrono::seconds(9));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(machine.clock().TimedWaiterCount(), 1u);
    machine.clock().Advance(std::chrono::seconds(1));
    waiter.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(machine.clock().TimedWaiterCount(), 0u);
}

TEST(KernelTime, SignalBeforeTheDeadlineWins)
{
    Machine machine;
    machine.clock().SetAutoAdvance(false);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::thread waiter([&] { EXPECT_EQ(WaitRelative(&event, kSecond), STATUS_SUCCESS); });
    ASSERT_TRUE(machine.clock().WaitForTimedWaiters(1));
    KeSetEvent(&event, 0, FALSE);
    waiter.join();
    EXPECT_EQ(KeResetEvent(&event), 0);
}

// The helper NDIS waits with: the magnitude of a relative time-out, or none.
TEST(KernelTime, WaitForObjectForNdis)
{
    Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const int64_t boot = machine.clock().Now();
    EXPECT_EQ(WaitForObject(&event, 5 * kSecond), STATUS_TIMEOUT);
    EXPECT_EQ(WaitForObject(&event, -5 * kSecond), STATUS_TIMEOUT);
    EXPECT_EQ(machine.clock().Now(), boot + 10 * kSecond);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(WaitForObject(&event, std::nullopt), STATUS_SUCCESS);
}

// On a machine driven by one host thread the clock skips the grace period, but only once
// no thread of the machine can still run: a DPC queued or a system thread not blocked in a
// wait may be about to end the wait, and does.
void NTAPI SetEventOnceTheHostWaits(PVOID context)
{
    Machine::Current().clock().WaitForWaiters(1);
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
}

TEST(KernelTime, SoleHostClockWaitsForThreadsThatCanStillRun)
{
    for (bool dpc : {true, false}) {
        SCOPED_TRACE(dpc ? "DPC" : "system thread");
        MachineOptions options;
        options.soleHostThread = true;
        Machine machine(options);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        if (dpc) {
            machine.dpcs().Queue([&event] { SetEventOnceTheHostWaits(&event); });
        } else {
            HANDLE handle = nullptr;
            ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           SetEventOnceTheHostWaits, &event),
                      STATUS_SUCCESS);
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
        const int64_t boot = machine.clock().Now();
        EXPECT_EQ(WaitRelative(&event, 10 * kSecond), STATUS_SUCCESS);
        EXPECT_EQ(machine.clock().Now(), boot);
        EXPECT_TRUE(machine.threads().WaitUntilAllEnded());
        machine.dpcs().Drain();
    }
}

// A notification event initialised where it lives.
struct FreshEvent {
    KEVENT event;
    explicit FreshEvent(BOOLEAN signalled) { KeInitializeEvent(&event, NotificationEvent, signalled); }
    operator PKEVENT() { return &event; }
};

TEST(KernelDispatcherDeathTest, VerifierRules)
{
    ExpectStops({
        {"timed wait at DISPATCH_LEVEL",
         [](Machine &) { FreshEvent event(FALSE); IrqlScope dispatch(DISPATCH_LEVEL); WaitRelative(event, kSecond); },
         "DRIVER_VERIFIER_DETECTED_VIOLATION\nRule: KeWaitForSingleObject with a non-zero "
         "time-out called above APC_LEVEL\nIRQL: 2"},
        {"NDIS wait at DISPATCH_LEVEL names its routine",
         [](Machine &) {
             FreshEvent event(TRUE);
             IrqlScope dispatch(DISPATCH_LEVEL);
             WaitForObjectAs("NdisWaitEvent", event, std::nullopt);
         },
         "Rule: NdisWaitEvent with a non-zero time-out called above APC_LEVEL"},
        {"wait on an object never initialised", [](Machine &) { KEVENT event{}; WaitForever(&event); },
         "Rule: wait on an object that was never initialised"},
        {"KeSetEvent of an object never initialised", [](Machine &) { KEVENT event{}; KeSetEvent(&event, 0, FALSE); },
         "Rule: KeSetEvent on an object that was never initialised"},
        {"unknown event type",
         [](Machine &) { KEVENT event; KeInitializeEvent(&event, static_cast<EVENT_TYPE>(5), FALSE); },
         "Rule: KeInitializeEvent with an unknown event type"},
        {"event initialised again while a thread waits on it",
         [](Machine &machine) {
             FreshEvent event(FALSE);
             std::thread([&] { WaitForever(event); }).detach();
             machine.clock().WaitForWaiters(1);
             KeInitializeEvent(event, NotificationEvent, FALSE);
         },
         "Rule: KeInitializeEvent on an event that a thread waits on"},
        {"pool freed under a waiter",
         [](Machine &machine) {
             auto *event = static_cast<KEVENT *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kTag));
             KeInitializeEvent(event, NotificationEvent, FALSE);
             std::thread([event] { WaitForever(event); }).detach();
             machine.clock().WaitForWaiters(1);
             ExFreePool(event);
         },
         "Rule: pool freed while a thread waits on an object in it"},
    });
}

}  // namespace
}  // namespace sim::test
