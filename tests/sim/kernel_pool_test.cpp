// Pool: accounting by tag and the printable table, garbage-filled blocks, fault
// injection, and the special-pool checks (use after free, double free, overrun, leaks,
// IRQL of paged pool).
#include "tests/sim/kernel_test_support.h"

#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/pool.h"

#include <sstream>

namespace sim::test {
namespace {

constexpr ULONG kDriverTag = 0x636C644Bu;   // "Kdlc" as the driver writes it
constexpr ULONG kOtherTag = PoolTag("Othr");

// The numeric columns of the report row for `tag`, `owner` and `type`.
std::vector<unsigned long long> ReportRow(const std::string &report, const std::string &prefix)
{
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        std::istringstream fields(line.substr(prefix.size()));
        std::vector<unsigned long long> numbers;
        unsigned long long value;
        while (fields >> value)
            numbers.push_back(value);
        return numbers;
    }
    return {};
}

TEST(KernelPool, AccountsBlocksByTagTypeAndOwner)
{
    static_assert(PoolTag("Kdlc") == kDriverTag);
    Machine machine;
    void *a = ExAllocatePoolWithTag(NonPagedPool, 100, kDriverTag);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 28, kDriverTag);
    void *c = ExAllocatePoolWithTag(PagedPool, 50, kDriverTag);
    void *system = machine.pool().Allocate(NonPagedPool, 64, PoolTag("Irp "));
    ExFreePool(a);

    PoolTagUsage usage = machine.pool().UsageOf(kDriverTag);
    EXPECT_EQ(usage.allocations, 3u);
    EXPECT_EQ(usage.frees, 1u);
    EXPECT_EQ(usage.blocks, 2u);
    EXPECT_EQ(usage.bytes, 78u);

    // Allocs Frees Failed Blocks Bytes PeakBlk PeakBytes
    const std::string report = machine.pool().Report();
    EXPECT_EQ(ReportRow(report, "Kdlc  driver  NonPaged"),
              (std::vector<unsigned long long>{2, 1, 0, 1, 28, 2, 128}));
    EXPECT_EQ(ReportRow(report, "Kdlc  driver  Paged"),
              (std::vector<unsigned long long>{1, 0, 0, 1, 50, 1, 50}));
    EXPECT_EQ(ReportRow(report, "Irp   system  NonPaged"),
              (std::vector<unsigned long long>{1, 0, 0, 1, 64, 1, 64}));

    ExFreePool(b);
    ExFreePool(c);
    machine.pool().CheckNoLeaks(kDriverTag);
    // A block of the simulator's own is not the driver's leak.
    machine.pool().CheckDriverPoolFreed();
    machine.pool().Free(system);
}

TEST(KernelPool, NewBlocksAreGarbageFilledAndFoundByAnyAddressInside)
{
    Machine machine;
    auto *block = static_cast<uint8_t *>(ExAllocatePoolWithTag(PagedPool, 32, kDriverTag));
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(block[i], Pool::kFreshFill) << "byte " << i;
    std::optional<PoolBlock> found = machine.pool().Containing(block + 31);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->address, block);
    EXPECT_EQ(found->type, PagedPool);
    EXPECT_EQ(found->owner, PoolOwner::Driver);
    EXPECT_FALSE(machine.pool().Containing(block + 32).has_value());
    EXPECT_FALSE(machine.pool().Find(block + 1).has_value());
    ExFreePool(block);
    EXPECT_FALSE(machine.pool().Containing(block).has_value());
    // A zero-byte request still returns a distinct block.
    void *empty = ExAllocatePoolWithTag(NonPagedPool, 0, kDriverTag);
    EXPECT_NE(empty, nullptr);
    ExFreePool(empty);
}

TEST(KernelPool, FailsTheAllocationsTheInjectorNames)
{
    Machine machine;
    void *before = ExAllocatePoolWithTag(NonPagedPool, 16, kDriverTag);
    machine.faults().FailNth("ExAllocatePoolWithTag", 2);   // counted from here
    machine.faults().FailNth("IoCreateSymbolicLink", 1);    // armed for another routine only
    void *first = ExAllocatePoolWithTag(NonPagedPool, 16, kDriverTag);
    void *second = ExAllocatePoolWithTag(NonPagedPool, 16, kDriverTag);
    void *third = ExAllocatePoolWithTag(NonPagedPool, 16, kDriverTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);

    machine.faults().FailWhen(
        [](const FaultPoint &p) { return p.size == 4096 && p.poolType == PagedPool; }, 2);
    EXPECT_NE(ExAllocatePoolWithTag(NonPagedPool, 4096, kOtherTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4096, kOtherTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4096, kOtherTag), nullptr);
    void *afterLimit = ExAllocatePoolWithTag(PagedPool, 4096, kOtherTag);
    EXPECT_NE(afterLimit, nullptr);

    EXPECT_EQ(machine.faults().Calls("ExAllocatePoolWithTag"), 8u);
    EXPECT_EQ(machine.faults().Injected(), 3u);
    EXPECT_EQ(machine.faults().Calls("IoCreateSymbolicLink"), 0u);
    EXPECT_EQ(machine.pool().UsageOf(kDriverTag).failures, 1u);
    EXPECT_EQ(machine.pool().UsageOf(kOtherTag).failures, 2u);
    for (const PoolBlock &block : machine.pool().Blocks())
        machine.pool().Free(block.address);
    (void)before;
}

// Under AddressSanitizer the poisoned bytes report the stray access at once.
std::string FreedPoolTouched()
{
    return kPoolPoisonedForAsan ? "use-after-poison" : "DRIVER_CORRUPTED_EXPOOL.*\nRule: freed pool touched";
}

TEST(KernelPoolDeathTest, VerifierRules)
{
    ExpectStops({
        {"paged pool at DISPATCH_LEVEL",
         [](Machine &) {
             IrqlScope dispatch(DISPATCH_LEVEL);
             ExAllocatePoolWithTag(PagedPool, 8, kDriverTag);
         },
         "STOP: 0x000000C4.*\nDRIVER_VERIFIER_DETECTED_VIOLATION\nRule: " +
             Literal("ExAllocatePoolWithTag(PagedPool) called above APC_LEVEL") + "\nIRQL: 2"},
        {"nonpaged pool above DISPATCH_LEVEL",
         [](Machine &) { IrqlScope high(DISPATCH_LEVEL + 1); ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag); },
         Literal("ExAllocatePoolWithTag(NonPagedPool) called above DISPATCH_LEVEL")},
        {"paged block freed at DISPATCH_LEVEL",
         [](Machine &) { void *block = ExAllocatePoolWithTag(PagedPool, 8, kDriverTag); IrqlScope dispatch(DISPATCH_LEVEL); ExFreePool(block); },
         Literal("ExFreePool(PagedPool) called above APC_LEVEL")},
        {"unknown pool type",
         [](Machine &) { ExAllocatePoolWithTag(static_cast<POOL_TYPE>(7), 8, kDriverTag); },
         "BAD_POOL_CALLER\nRule: ExAllocatePoolWithTag called with an unknown pool type"},
        {"double free",
         [](Machine &) { void *block = ExAllocatePoolWithTag(NonPagedPool, 8, kDriverTag); ExFreePool(block); ExFreePool(block); },
         "STOP: 0x000000C2.*\nBAD_POOL_CALLER\nRule: pool block freed twice"},
        {"free of no block", [](Machine &) { int local = 0; ExFreePool(&local); },
         "BAD_POOL_CALLER\nRule: ExFreePool of an address that is no pool block"},
        {"free of an address inside a block",
         [](Machine &) { ExFreePool(static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 40, kDriverTag)) + 16); },
         "BAD_POOL_CALLER\nRule: ExFreePool of an address that is no pool block"},
        {"free of null", [](Machine &) { ExFreePool(nullptr); },
         "Rule: ExFreePool called with a null pointer"},
        {"write past the end",
         [](Machine &) {
             auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 10, kDriverTag));
             block[10] = 0;
             ExFreePool(block);
         },
         kPoolPoisonedForAsan ? "use-after-poison"
                              : "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION\nRule: pool block overrun"},
        {"freed block written, found by the leak check",
         [](Machine &machine) {
             auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 10, kDriverTag));
             ExFreePool(block);
             block[3] = 1;
             machine.pool().CheckNoLeaks(kDriverTag);
         },
         FreedPoolTouched()},
        {"freed block written, found when it leaves the quarantine",
         [](Machine &) {
             auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, 10, kDriverTag));
             ExFreePool(block);
             block[9] = 1;
             for (size_t i = 0; i < Pool::kQuarantineBlocks; ++i)
                 ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 1, kOtherTag));
         },
         FreedPoolTouched()},
        {"driver unloaded without freeing its pool",
         [](Machine &machine) {
             ExAllocatePoolWithTag(NonPagedPool, 100, kDriverTag);
             ExAllocatePoolWithTag(PagedPool, 50, kDriverTag);
             ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag);
             machine.pool().CheckNoLeaks(kDriverTag);
         },
         "DRIVER_VERIFIER_DETECTED_VIOLATION\nRule: driver unloaded without freeing its pool: "
         "tag Kdlc 2 blocks 150 bytes\n"},
        {"every driver tag is checked at unload",
         [](Machine &machine) { ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag); machine.CheckNothingLeftBehind(); },
         "Rule: driver unloaded without freeing its pool: tag Othr 1 block 7 bytes\n"},
    });
}

}  // namespace
}  // namespace sim::test
