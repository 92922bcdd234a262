// pool.h - nonpaged and paged pool of the simulated kernel, with the checks of a driver
// verifier's special pool and the accounting of a pool monitor.
//
// Every block of the machine comes from here: the driver's through ExAllocatePoolWithTag,
// the simulator's own (IRPs, MDLs, NDIS packets ...) through Allocate() with a tag of their
// own, so that one table shows the use of the whole machine.
//
// - New blocks are filled with 0xCD, never zeroed: a driver that reads what it did not
//   write sees garbage.
// - Freed blocks are filled with 0xDD and kept in a bounded quarantine (and poisoned for
//   AddressSanitizer); a write into one is found when it leaves the quarantine, at the leak
//   check and when the machine ends (DRIVER_CORRUPTED_EXPOOL "freed pool touched").
// - A guard area after each block catches writes past its end at free time.
// - Freeing an unknown address or a block twice stops the machine (BAD_POOL_CALLER).
// - Blocks of up to 64 KiB are slots of chunks of their size class, with their records
//   in a table beside the chunk: allocation, free and look-up by address cost the same
//   however many blocks are live or quarantined, and need no host allocation once the
//   chunks exist; an address is checked against the chunks before anything is read.
#pragma once

#include "sim/asan.h"
#include "sim/cache_line.h"
#include "sim/hot_mutex.h"

#include "sim/machine.h"

#include <cstddef>
#include <cstdint>
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>


namespace sim {

// True in a build with AddressSanitizer: freed and guard bytes are then poisoned, so a
// stray access is reported by the sanitizer at once rather than by the pool later.
inline constexpr bool kPoolPoisonedForAsan = kAsanBuild;

// The tag of four characters as a pool dump shows them: PoolTag("Kdlc") == 0x636C644B.
constexpr uint32_t PoolTag(const char (&text)[5])
{
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

// The four characters of a tag, unprintable bytes shown as '?'.
std::string PoolTagText(uint32_t tag);

// Whom a block is charged to. Driver blocks must all be freed when the driver unloads;
// a block the simulator hands to the driver for it to free (an adapter name, for one)
// should be allocated as Driver so that a driver that forgets it is caught.
enum class PoolOwner { Driver, System };

struct PoolBlock {
    void *address = nullptr;
    size_t size = 0;
    uint32_t tag = 0;
    POOL_TYPE type = NonPagedPool;
    PoolOwner owner = PoolOwner::System;
    uint64_t serial = 0;        // 1 for the machine's first allocation, and so on
};

// Use of one tag in one pool by one owner.
struct PoolTagUsage {
    uint32_t tag = 0;
    POOL_TYPE type = NonPagedPool;
    PoolOwner owner = PoolOwner::System;
    uint64_t allocations = 0;
    uint64_t frees = 0;
    uint64_t failures = 0;      // allocations refused (injected faults, impossible sizes)
    uint64_t blocks = 0;        // outstanding
    uint64_t bytes = 0;         // outstanding
    uint64_t peakBlocks = 0;
    uint64_t peakBytes = 0;
};

class Pool {
public:
    static constexpr uint8_t kFreshFill = 0xCD;
    static constexpr uint8_t kFreedFill = 0xDD;
    static constexpr uint8_t kGuardFill = 0xFE;
    static constexpr size_t kGuardBytes = 16;
    static constexpr size_t kQuarantineBlocks = 1024;
    static constexpr size_t kQuarantineBytes = 8u << 20;
    // Requests above this fail like an exhausted pool rather than exhausting the host.
    static constexpr size_t kLargestBlock = 256u << 20;

    explicit Pool(Machine &machine);
    ~Pool();
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    // A new block (garbage-filled), or null for an impossible size. No IRQL check and no
    // fault injection: ExAllocatePoolWithTag does those for the driver's calls.
    void *Allocate(POOL_TYPE type, size_t size, uint32_t tag, PoolOwner owner = PoolOwner::System);
    // Returns a block; stops the machine for an address that is no block's start, for a
    // block freed twice and for a block whose guard area was overwritten.
    void Free(void *address);
    // The same with the caller's IRQL rule for the block's pool type checked first (for an
    // address that is no block, as for nonpaged pool): one look-up for ExFreePool.
    void Free(void *address, void (*checkIrql)(POOL_TYPE type));
    // Counts a refused allocation against the tag.
    void RecordFailure(POOL_TYPE type, uint32_t tag, PoolOwner owner);

    // The live block starting at `address`, or the one that contains it.
    std::optional<PoolBlock> Find(const void *address) const;
    std::optional<PoolBlock> Containing(const void *address) const;
    // Live blocks, oldest first (all of them, or those of one tag).
    std::vector<PoolBlock> Blocks() const;
    std::vector<PoolBlock> Blocks(uint32_t tag) const;

    // Accounting by tag, pool type and owner, sorted by tag.
    std::vector<PoolTagUsage> Usage() const;
    // One tag's use summed over pool types and owners.
    PoolTagUsage UsageOf(uint32_t tag) const;
    // The printable table of Usage(), as a pool monitor shows it.
    std::string Report() const;

    // Unload checks. CheckNoLeaks stops the machine with DRIVER_VERIFIER_DETECTED_VIOLATION
    // "driver unloaded without freeing its pool" when blocks of `tag` are outstanding;
    // CheckDriverPoolFreed does the same for every block charged to the driver. Both first
    // check the quarantine.
    void CheckNoLeaks(uint32_t tag);
    void CheckDriverPoolFreed();
    // Checks every quarantined block for writes after its free.
    void CheckQuarantine();

    // A spin lock or dispatcher object at `address` is known to the lock verifier or the
    // dispatcher: when its block is freed they are told (ForgetRange), other frees cost
    // them nothing. Addresses outside the pool are ignored.
    void MarkKernelObject(const void *address);

private:
    // The record of one block, kept apart from its memory so that a driver's stray write
    // cannot reach it: in its chunk's table for blocks of a size class, on the host heap
    // for larger ones. Quarantined blocks are on a list, oldest first; live ones on none,
    // since their frees come from any thread and a list would have the freeing thread
    // write its neighbours, which the allocating thread has just written.
    struct Block {
        enum class State : uint8_t { Unused, Live, Quarantined };
        PoolBlock info;
        void *raw = nullptr;                // the slot or the large block's memory
        PoolTagUsage *usage = nullptr;      // the node of usage_ it is counted in
        Block *prev = nullptr;
        Block *next = nullptr;
        uint16_t sizeClass = 0;             // kLargeClass for a block of its own
        State state = State::Unused;
        bool holdsKernelObjects = false;    // see MarkKernelObject
    };
    struct BlockList {
        Block *head = nullptr;
        Block *tail = nullptr;
        size_t count = 0;
        void PushBack(Block *block);
        void Remove(Block *block);
    };
    // Memory of one size class: slots of `stride` bytes (block and guard area) with
    // their records in `blocks`.
    struct Chunk {
        uintptr_t begin = 0;
        uintptr_t end = 0;
        size_t stride = 0;
        std::unique_ptr<Block[]> blocks;
    };
    struct UsageKey {
        uint32_t tag;
        POOL_TYPE type;
        PoolOwner owner;
        bool operator<(const UsageKey &other) const;
    };
    static constexpr uint16_t kLargeClass = 0xFFFF;

    PoolTagUsage &UsageFor(const PoolBlock &block);
    // The live or quarantined block that starts at `address`, or null; mutex_ held.
    // Reads no memory at `address`: a stray pointer is recognised as such.
    Block *BlockAt(uintptr_t address) const;
    // The chunk slot record or large block record for an address inside a block's memory.
    Block *RecordContaining(uintptr_t address) const;
    Block *TakeSlot(size_t size);
    void VerifyFreedBlock(const Block &block) const;
    void Evict();   // oldest quarantined blocks beyond the bounds
    [[noreturn]] void ReportLeaks(const std::vector<PoolBlock> &leaked) const;

    // Written by every allocation and free, from any thread: the mutex and what is written
    // under it every time share one cache line, so that taking the mutex brings them along.
    alignas(kCacheLine) mutable HotMutex mutex_;
    uint64_t serial_ = 0;
    BlockList quarantine_;
    size_t quarantineBytes_ = 0;
    // Read by every allocation and free, written seldom (a new chunk, tag or large block).
    alignas(kCacheLine) Machine &machine_;
    std::vector<Chunk> chunks_;                         // by address
    std::vector<std::vector<Block *>> freeSlots_;       // by size class
    std::map<uintptr_t, Block *> large_;                // blocks above the largest class
    std::map<UsageKey, PoolTagUsage> usage_;
    // The usage node last found for a key: steady traffic allocates a few tags only.
    struct UsageHint {
        UsageKey key{};
        PoolTagUsage *usage = nullptr;
    };
    std::array<UsageHint, 8> usageHints_{};
};

}  // namespace sim
