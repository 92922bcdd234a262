// Spin locks, the lock verifier, interlocked counters and lists.
#include "tests/sim/kernel_test_support.h"

#include "sim/irql.h"
#include "sim/locks.h"

#include <atomic>
#include <thread>

namespace sim::test {
namespace {

constexpr ULONG kTag = 0x636C644Bu;

// The pattern the driver's any-IRQL pair uses: Kf below DISPATCH_LEVEL, Kef at it.
TEST(KernelLocks, NestedLocksInOneOrderAtEitherIrql)
{
    Machine machine;
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    for (KIRQL start : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        IrqlScope scope(start);
        KIRQL outerOld = KfAcquireSpinLock(&outer);
        EXPECT_EQ(outerOld, start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_NE(outer, 0u);
        KefAcquireSpinLockAtDpcLevel(&inner);
        EXPECT_EQ(machine.locks().HeldCount(), 2u);
        KefReleaseSpinLockFromDpcLevel(&inner);
        KfReleaseSpinLock(&outer, outerOld);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        EXPECT_EQ(outer, 0u);
        EXPECT_EQ(machine.locks().HeldCount(), 0u);
    }
    EXPECT_EQ(machine.locks().OrderPairCount(), 1u);
}

// A nesting pair a thread has taken before is not looked up again; a re-initialised lock
// must still start with no order, both in the graph and in that thread's memory of it.
void TakePair(KSPIN_LOCK *first, KSPIN_LOCK *second)
{
    KefAcquireSpinLockAtDpcLevel(first);
    KefAcquireSpinLockAtDpcLevel(second);
    KefReleaseSpinLockFromDpcLevel(second);
    KefReleaseSpinLockFromDpcLevel(first);
}

TEST(KernelLocks, AReinitialisedLockStartsANewOrder)
{
    Machine machine;
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    IrqlScope dispatch(DISPATCH_LEVEL);
    TakePair(&a, &b);
    TakePair(&a, &b);
    KeInitializeSpinLock(&b);
    TakePair(&b, &a);
    EXPECT_EQ(machine.locks().OrderPairCount(), 1u);
}

TEST(KernelLocks, KernelLocksCarryTheirNameInReports)
{
    Machine machine;
    KSPIN_LOCK cancel, queue;
    KeInitializeSpinLock(&cancel);
    KeInitializeSpinLock(&queue);
    KIRQL old = AcquireKernelLock(&cancel, "system cancel spin lock");
    KefAcquireSpinLockAtDpcLevel(&queue);
    KefReleaseSpinLockFromDpcLevel(&queue);
    ReleaseKernelLock(&cancel, old);
    const std::string report = machine.locks().Report();
    EXPECT_NE(report.find("(system cancel spin lock) before 0x"), std::string::npos) << report;
}

// A spin lock initialised where it lives (the verifier knows locks by address).
struct FreshLock {
    KSPIN_LOCK word;
    FreshLock() { KeInitializeSpinLock(&word); }
    operator PKSPIN_LOCK() { return &word; }
};

TEST(KernelLocksDeathTest, VerifierRules)
{
    ExpectStops({
        {"released with an IRQL other than the acquisition returned",
         [](Machine &) { FreshLock lock; KfAcquireSpinLock(lock); KfReleaseSpinLock(lock, APC_LEVEL); },
         "DRIVER_VERIFIER_DETECTED_VIOLATION\nRule: spin lock released at the wrong IRQL"},
        {"acquired recursively",
         [](Machine &) { FreshLock lock; KfAcquireSpinLock(lock); KefAcquireSpinLockAtDpcLevel(lock); },
         "Rule: spin lock acquired recursively"},
        {"released without being held",
         [](Machine &) { FreshLock lock; IrqlScope dispatch(DISPATCH_LEVEL); KefReleaseSpinLockFromDpcLevel(lock); },
         "STOP: 0x00000010.*\nSPIN_LOCK_NOT_OWNED\nRule: spin lock released by a thread that does "
         "not hold it"},
        {"released by another thread than the holder",
         [](Machine &) {
             FreshLock lock;
             std::thread([&] { KfAcquireSpinLock(lock); }).join();
             IrqlScope dispatch(DISPATCH_LEVEL);
             KfReleaseSpinLock(lock, PASSIVE_LEVEL);
         },
         "SPIN_LOCK_NOT_OWNED"},
        {"order inversion",
         [](Machine &) {
             FreshLock a, b;
             IrqlScope dispatch(DISPATCH_LEVEL);
             KefAcquireSpinLockAtDpcLevel(a);
             KefAcquireSpinLockAtDpcLevel(b);
             KefReleaseSpinLockFromDpcLevel(b);
             KefReleaseSpinLockFromDpcLevel(a);
             KefAcquireSpinLockAtDpcLevel(b);
             KefAcquireSpinLockAtDpcLevel(a);
         },
         "Rule: lock order inversion: 0x[0-9a-f]+ taken while holding 0x[0-9a-f]+, but earlier"},
        {"order inversion through a third lock",
         [](Machine &) {
             FreshLock a, b, c;
             IrqlScope dispatch(DISPATCH_LEVEL);
             auto pair = [](KSPIN_LOCK *first, KSPIN_LOCK *second) {
                 KefAcquireSpinLockAtDpcLevel(first);
                 KefAcquireSpinLockAtDpcLevel(second);
                 KefReleaseSpinLockFromDpcLevel(second);
                 KefReleaseSpinLockFromDpcLevel(first);
             };
             pair(a, b);
             pair(b, c);
             pair(c, a);
         },
         "Rule: lock order inversion"},
        {"order inversion after the same thread took the pair before",
         [](Machine &) {
             FreshLock a, b;
             IrqlScope dispatch(DISPATCH_LEVEL);
             TakePair(a, b);
             KeInitializeSpinLock(b);
             TakePair(b, a);
             TakePair(a, b);
         },
         "Rule: lock order inversion"},
        {"lowered below DISPATCH_LEVEL with a lock still held",
         [](Machine &) {
             FreshLock a, b;
             KIRQL oldA = KfAcquireSpinLock(a);
             KfAcquireSpinLock(b);
             KfReleaseSpinLock(a, oldA);
         },
         "Rule: IRQL lowered below DISPATCH_LEVEL while a spin lock is held"},
        {"KefAcquireSpinLockAtDpcLevel at PASSIVE_LEVEL", [](Machine &) { FreshLock lock; KefAcquireSpinLockAtDpcLevel(lock); },
         "Rule: KefAcquireSpinLockAtDpcLevel called at an IRQL other than DISPATCH_LEVEL"},
        {"KfReleaseSpinLock at PASSIVE_LEVEL",
         [](Machine &) {
             FreshLock lock;
             KIRQL old = KfAcquireSpinLock(lock);
             LowerIrql(PASSIVE_LEVEL);
             KfReleaseSpinLock(lock, old);
         },
         "Rule: KfReleaseSpinLock called at an IRQL other than DISPATCH_LEVEL"},
        {"lock word never initialised",
         [](Machine &) {
             KSPIN_LOCK lock = static_cast<KSPIN_LOCK>(0xCDCDCDCDu);
             KfAcquireSpinLock(&lock);
         },
         "Rule: spin lock acquired before it was initialised"},
        {"initialised while held", [](Machine &) { FreshLock lock; KfAcquireSpinLock(lock); KeInitializeSpinLock(lock); },
         "Rule: KeInitializeSpinLock on a spin lock that is held"},
        {"pool freed with a lock in it held",
         [](Machine &) {
             auto *lock = static_cast<KSPIN_LOCK *>(
                 ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK), kTag));
             KeInitializeSpinLock(lock);
             KfAcquireSpinLock(lock);
             ExFreePool(lock);
         },
         "Rule: pool freed while a spin lock in it is held"},
        // The new block at a freed one's address is marked again when its lock is taken.
        {"pool freed with a lock in it held, at the address of an earlier lock's block",
         [](Machine &) {
             auto allocate = [] { return static_cast<KSPIN_LOCK *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK), kTag)); };
             KSPIN_LOCK *first = allocate();
             KeInitializeSpinLock(first);
             KfReleaseSpinLock(first, KfAcquireSpinLock(first));
             ExFreePool(first);
             KSPIN_LOCK *lock = nullptr;
             for (int i = 0; i < 4096 && lock != first; ++i) {   // until it leaves the quarantine
                 lock = allocate();
                 if (lock != first)
                     ExFreePool(lock);
             }
             if (lock != first)
                 return;     // no stop: the case fails
             KeInitializeSpinLock(lock);
             KfAcquireSpinLock(lock);
             ExFreePool(lock);
         },
         "Rule: pool freed while a spin lock in it is held"},
        {"IRQL raised to a lower level",
         [](Machine &) { IrqlScope dispatch(DISPATCH_LEVEL); RaiseIrql(PASSIVE_LEVEL); },
         "STOP: 0x00000009.*\nIRQL_NOT_GREATER_OR_EQUAL\nRule: IRQL raised to a level below"},
        {"IRQL lowered to a higher level", [](Machine &) { LowerIrql(DISPATCH_LEVEL); },
         "STOP: 0x0000000A.*\nIRQL_NOT_LESS_OR_EQUAL\nRule: IRQL lowered to a level above"},
    });
}

}  // namespace
}  // namespace sim::test
