// pool.cpp - pool blocks, their quarantine after free, the accounting by tag and
// ExAllocatePoolWithTag / ExFreePool.
#include "sim/pool.h"

#include "sim/bugcheck.h"
#include "sim/dispatcher.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/locks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <tuple>


namespace sim {

namespace {

constexpr std::align_val_t kAlignment{16};

const char *TypeText(POOL_TYPE type)
{
    return type == PagedPool ? "Paged" : "NonPaged";
}

// Offset of the first byte in [begin, begin + size) that differs from `fill`, or size.
// Whole words first: a freed frame buffer is checked on every eviction.
size_t FirstDifference(const uint8_t *begin, size_t size, uint8_t fill)
{
    const uint64_t pattern = 0x0101010101010101ull * fill;
    size_t offset = 0;
    for (; offset + sizeof(uint64_t) <= size; offset += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, begin + offset, sizeof word);
        if (word != pattern)
            break;
    }
    for (; offset < size; ++offset) {
        if (begin[offset] != fill)
            return offset;
    }
    return size;
}

// Size classes of a block with its guard area: multiples of 64 bytes up to 4 KiB, then
// powers of two up to 64 KiB; larger blocks get memory of their own.
constexpr size_t kClassStep = 64;
constexpr size_t kStepClasses = 4096 / kClassStep;
constexpr size_t kLargestClassBytes = 65536;
constexpr size_t kSizeClasses = kStepClasses + 4;   // 8, 16, 32, 64 KiB
constexpr size_t kChunkBytes = 65536;

size_t ClassOf(size_t bytes)
{
    if (bytes <= kStepClasses * kClassStep)
        return bytes == 0 ? 0 : (bytes - 1) / kClassStep;
    size_t index = kStepClasses;
    for (size_t stride = 8192; stride < bytes; stride *= 2)
        ++index;
    return index;
}

size_t StrideOf(size_t sizeClass)
{
    if (sizeClass < kStepClasses)
        return (sizeClass + 1) * kClassStep;
    return size_t{8192} << (sizeClass - kStepClasses);
}

}  // namespace

std::string PoolTagText(uint32_t tag)
{
    std::string text(4, '?');
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        if (c >= 0x20 && c < 0x7F)
            text[static_cast<size_t>(i)] = c;
    }
    return text;
}

bool Pool::UsageKey::operator<(const UsageKey &other) const
{
    // Byte-swapped, a tag compares like its four characters.
    return std::make_tuple(__builtin_bswap32(tag), static_cast<int>(type),
                           static_cast<int>(owner)) <
           std::make_tuple(__builtin_bswap32(other.tag), static_cast<int>(other.type),
                           static_cast<int>(other.owner));
}

void Pool::BlockList::PushBack(Block *block)
{
    block->prev = tail;
    block->next = nullptr;
    (tail != nullptr ? tail->next : head) = block;
    tail = block;
    ++count;
}

void Pool::BlockList::Remove(Block *block)
{
    (block->prev != nullptr ? block->prev->next : head) = block->next;
    (block->next != nullptr ? block->next->prev : tail) = block->prev;
    block->prev = block->next = nullptr;
    --count;
}

Pool::Pool(Machine &machine) : machine_(machine), freeSlots_(kSizeClasses) {}

Pool::~Pool()
{
    // A write into freed pool is a driver bug even when no unload check ran.
    CheckQuarantine();
    for (const Chunk &chunk : chunks_) {
        UnpoisonMemory(reinterpret_cast<void *>(chunk.begin), chunk.end - chunk.begin);
        ::operator delete(reinterpret_cast<void *>(chunk.begin), kAlignment);
    }
    for (const auto &[address, block] : large_) {
        UnpoisonMemory(block->raw, block->info.size + kGuardBytes);
        ::operator delete(block->raw, kAlignment);
        delete block;
    }
}

Pool::Block *Pool::TakeSlot(size_t sizeClass)
{
    std::vector<Block *> &free = freeSlots_[sizeClass];
    if (free.empty()) {
        const size_t stride = StrideOf(sizeClass);
        const size_t slots = std::max<size_t>(kChunkBytes / stride, 1);
        Chunk chunk;
        void *memory = ::operator new(slots * stride, kAlignment, std::nothrow);
        if (memory == nullptr)
            return nullptr;
        chunk.begin = reinterpret_cast<uintptr_t>(memory);
        chunk.end = chunk.begin + slots * stride;
        chunk.stride = stride;
        chunk.blocks = std::make_unique<Block[]>(slots);
        // Slots no block uses are off limits.
        PoisonMemory(memory, slots * stride);
        for (size_t i = slots; i-- > 0;) {
            Block &block = chunk.blocks[i];
            block.raw = reinterpret_cast<void *>(chunk.begin + i * stride);
            block.sizeClass = static_cast<uint16_t>(sizeClass);
            free.push_back(&block);
        }
        auto at = std::upper_bound(chunks_.begin(), chunks_.end(), chunk.begin,
                                   [](uintptr_t address, const Chunk &c) { return address < c.begin; });
        chunks_.insert(at, std::move(chunk));
    }
    Block *block = free.back();
    free.pop_back();
    return block;
}

void *Pool::Allocate(POOL_TYPE type, size_t size, uint32_t tag, PoolOwner owner)
{
    std::lock_guard lock(mutex_);
    PoolBlock info;
    info.size = size;
    info.tag = tag;
    info.type = type;
    info.owner = owner;
    Block *block = nullptr;
    const size_t bytes = size + kGuardBytes;
    if (size <= kLargestBlock) {
        if (bytes <= kLargestClassBytes) {
            block = TakeSlot(ClassOf(bytes));
        } else if (void *memory = ::operator new(bytes, kAlignment, std::nothrow)) {
            block = new Block;
            block->raw = memory;
            block->sizeClass = kLargeClass;
            large_.emplace(reinterpret_cast<uintptr_t>(memory), block);
        }
    }
    if (block == nullptr) {
        ++UsageFor(info).failures;
        return nullptr;
    }
    auto *memory = static_cast<uint8_t *>(block->raw);
    UnpoisonMemory(memory, bytes);
    std::memset(memory, kFreshFill, size);
    std::memset(memory + size, kGuardFill, kGuardBytes);
    PoisonMemory(memory + size, kGuardBytes);
    info.address = memory;
    info.serial = ++serial_;
    block->info = info;
    block->state = Block::State::Live;
    block->holdsKernelObjects = false;

    PoolTagUsage &usage = UsageFor(info);
    block->usage = &usage;
    ++usage.allocations;
    ++usage.blocks;
    usage.bytes += size;
    usage.peakBlocks = std::max(usage.peakBlocks, usage.blocks);
    usage.peakBytes = std::max(usage.peakBytes, usage.bytes);
    return memory;
}

Pool::Block *Pool::BlockAt(uintptr_t address) const
{
    auto after = std::upper_bound(chunks_.begin(), chunks_.end(), address,
                                  [](uintptr_t a, const Chunk &c) { return a < c.begin; });
    if (after != chunks_.begin()) {
        const Chunk &chunk = *std::prev(after);
        if (address < chunk.end) {
            const uintptr_t offset = address - chunk.begin;
            if (offset % chunk.stride != 0)
                return nullptr;
            Block *block = &chunk.blocks[offset / chunk.stride];
            return block->state != Block::State::Unused ? block : nullptr;
        }
    }
    auto large = large_.find(address);
    return large != large_.end() ? large->second : nullptr;
}

Pool::Block *Pool::RecordContaining(uintptr_t address) const
{
    Block *block = nullptr;
    auto after = std::upper_bound(chunks_.begin(), chunks_.end(), address,
                                  [](uintptr_t a, const Chunk &c) { return a < c.begin; });
    if (after != chunks_.begin() && address < std::prev(after)->end) {
        const Chunk &chunk = *std::prev(after);
        block = &chunk.blocks[(address - chunk.begin) / chunk.stride];
    } else {
        auto large = large_.upper_bound(address);
        if (large == large_.begin())
            return nullptr;
        block = std::prev(large)->second;
    }
    // A zero-sized block contains its own address only.
    const uintptr_t start = reinterpret_cast<uintptr_t>(block->raw);
    if (block->state != Block::State::Live || address - start >= std::max<size_t>(block->info.size, 1))
        return nullptr;
    return block;
}

void Pool::Free(void *address)
{
    Free(address, nullptr);
}

void Pool::Free(void *address, void (*checkIrql)(POOL_TYPE type))
{
    const auto key = reinterpret_cast<uintptr_t>(address);
    size_t size = 0;
    bool holdsKernelObjects = false;
    {
        std::lock_guard lock(mutex_);
        Block *block = BlockAt(key);
        const bool live = block != nullptr && block->state == Block::State::Live;
        if (checkIrql != nullptr)
            checkIrql(live ? block->info.type : NonPagedPool);
        if (!live) {
            if (block != nullptr)
                BugCheck(StopCode::BadPoolCaller, "pool block freed twice", 7, key, block->info.tag);
            BugCheck(StopCode::BadPoolCaller, "ExFreePool of an address that is no pool block",
                     0x46, key);
        }
        auto *bytes = static_cast<uint8_t *>(block->raw);
        size = block->info.size;

        UnpoisonMemory(bytes + size, kGuardBytes);
        size_t overrun = FirstDifference(bytes + size, kGuardBytes, kGuardFill);
        if (overrun < kGuardBytes)
            BugCheck(StopCode::SpecialPoolDetectedMemoryCorruption,
                     "pool block overrun: bytes after the block's end were written", key, size,
                     block->info.tag, size + overrun);

        std::memset(bytes, kFreedFill, size + kGuardBytes);
        PoisonMemory(bytes, size + kGuardBytes);
        holdsKernelObjects = block->holdsKernelObjects;

        PoolTagUsage &usage = *block->usage;
        ++usage.frees;
        --usage.blocks;
        usage.bytes -= size;

        block->state = Block::State::Quarantined;
        quarantine_.PushBack(block);
        quarantineBytes_ += size;
        Evict();
    }
    // Locks and dispatcher objects that lived in the block are gone with it; a lock in it
    // may not be held.
    machine_.locks().PoolFreed(address, size, holdsKernelObjects);
    if (holdsKernelObjects)
        machine_.dispatcher().ForgetRange(address, size);
}

void Pool::MarkKernelObject(const void *address)
{
    std::lock_guard lock(mutex_);
    if (Block *block = RecordContaining(reinterpret_cast<uintptr_t>(address)))
        block->holdsKernelObjects = true;
}

void Pool::RecordFailure(POOL_TYPE type, uint32_t tag, PoolOwner owner)
{
    std::lock_guard lock(mutex_);
    PoolBlock info;
    info.type = type;
    info.tag = tag;
    info.owner = owner;
    ++UsageFor(info).failures;
}

std::optional<PoolBlock> Pool::Find(const void *address) const
{
    std::lock_guard lock(mutex_);
    Block *block = BlockAt(reinterpret_cast<uintptr_t>(address));
    if (block == nullptr || block->state != Block::State::Live)
        return std::nullopt;
    return block->info;
}

std::optional<PoolBlock> Pool::Containing(const void *address) const
{
    std::lock_guard lock(mutex_);
    if (Block *block = RecordContaining(reinterpret_cast<uintptr_t>(address)))
        return block->info;
    return std::nullopt;
}

std::vector<PoolBlock> Pool::Blocks() const
{
    std::vector<PoolBlock> blocks;
    {
        std::lock_guard lock(mutex_);
        for (const Chunk &chunk : chunks_) {
            const size_t slots = (chunk.end - chunk.begin) / chunk.stride;
            for (size_t i = 0; i < slots; ++i) {
                if (chunk.blocks[i].state == Block::State::Live)
                    blocks.push_back(chunk.blocks[i].info);
            }
        }
        for (const auto &[address, block] : large_) {
            if (block->state == Block::State::Live)
                blocks.push_back(block->info);
        }
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolBlock &a, const PoolBlock &b) { return a.serial < b.serial; });   // oldest first
    return blocks;
}

std::vector<PoolBlock> Pool::Blocks(uint32_t tag) const
{
    std::vector<PoolBlock> blocks = Blocks();
    blocks.erase(std::remove_if(blocks.begin(), blocks.end(),
                                [tag](const PoolBlock &b) { return b.tag != tag; }),
                 blocks.end());
    return blocks;
}

std::vector<PoolTagUsage> Pool::Usage() const
{
    std::lock_guard lock(mutex_);
    std::vector<PoolTagUsage> rows;
    for (const auto &[key, usage] : usage_)
        rows.push_back(usage);
    return rows;
}

PoolTagUsage Pool::UsageOf(uint32_t tag) const
{
    std::lock_guard lock(mutex_);
    PoolTagUsage sum;
    sum.tag = tag;
    for (const auto &[key, usage] : usage_) {
        if (key.tag != tag)
            continue;
        sum.allocations += usage.allocations;
        sum.frees += usage.frees;
        sum.failures += usage.failures;
        sum.blocks += usage.blocks;
        sum.bytes += usage.bytes;
        sum.peakBlocks += usage.peakBlocks;
        sum.peakBytes += usage.peakBytes;
    }
    return sum;
}

std::string Pool::Report() const
{
    std::vector<PoolTagUsage> rows = Usage();
    std::string text = "Pool use by tag\n";
    char line[160];
    std::snprintf(line, sizeof line, "%-4s  %-6s  %-8s  %8s  %8s  %6s  %7s  %10s  %7s  %10s\n",
                  "Tag", "Owner", "Type", "Allocs", "Frees", "Failed", "Blocks", "Bytes",
                  "PeakBlk", "PeakBytes");
    text += line;
    PoolTagUsage total;
    for (const PoolTagUsage &row : rows) {
        std::snprintf(line, sizeof line,
                      "%-4s  %-6s  %-8s  %8llu  %8llu  %6llu  %7llu  %10llu  %7llu  %10llu\n",
                      PoolTagText(row.tag).c_str(),
                      row.owner == PoolOwner::Driver ? "driver" : "system", TypeText(row.type),
                      static_cast<unsigned long long>(row.allocations),
                      static_cast<unsigned long long>(row.frees),
                      static_cast<unsigned long long>(row.failures),
                      static_cast<unsigned long long>(row.blocks),
                      static_cast<unsigned long long>(row.bytes),
                      static_cast<unsigned long long>(row.peakBlocks),
                      static_cast<unsigned long long>(row.peakBytes));
        text += line;
        total.allocations += row.allocations;
        total.frees += row.frees;
        total.failures += row.failures;
        total.blocks += row.blocks;
        total.bytes += row.bytes;
    }
    std::snprintf(line, sizeof line, "%-4s  %-6s  %-8s  %8llu  %8llu  %6llu  %7llu  %10llu\n",
                  "All", "", "", static_cast<unsigned long long>(total.allocations),
                  static_cast<unsigned long long>(total.frees),
                  static_cast<unsigned long long>(total.failures),
                  static_cast<unsigned long long>(total.blocks),
                  static_cast<unsigned long long>(total.bytes));
    text += line;
    return text;
}

void Pool::CheckNoLeaks(uint32_t tag)
{
    CheckQuarantine();
    std::vector<PoolBlock> leaked = Blocks(tag);
    if (!leaked.empty())
        ReportLeaks(leaked);
}

void Pool::CheckDriverPoolFreed()
{
    CheckQuarantine();
    std::vector<PoolBlock> leaked = Blocks();
    leaked.erase(std::remove_if(leaked.begin(), leaked.end(),
                                [](const PoolBlock &b) { return b.owner != PoolOwner::Driver; }),
                 leaked.end());
    if (!leaked.empty())
        ReportLeaks(leaked);
}

void Pool::CheckQuarantine()
{
    std::lock_guard lock(mutex_);
    for (const Block *block = quarantine_.head; block != nullptr; block = block->next)
        VerifyFreedBlock(*block);
}

PoolTagUsage &Pool::UsageFor(const PoolBlock &block)
{
    UsageHint &hint = usageHints_[(block.tag ^ (block.tag >> 13) ^ static_cast<uint32_t>(block.type) * 3 ^
                                   static_cast<uint32_t>(block.owner) * 5) % usageHints_.size()];
    if (hint.usage != nullptr && hint.key.tag == block.tag && hint.key.type == block.type &&
        hint.key.owner == block.owner)
        return *hint.usage;
    const UsageKey key{block.tag, block.type, block.owner};
    PoolTagUsage &usage = usage_[key];
    usage.tag = block.tag;
    usage.type = block.type;
    usage.owner = block.owner;
    hint = {key, &usage};
    return usage;
}

void Pool::VerifyFreedBlock(const Block &block) const
{
    auto *bytes = static_cast<uint8_t *>(block.raw);
    const size_t size = block.info.size + kGuardBytes;
    UnpoisonMemory(bytes, size);
    size_t touched = FirstDifference(bytes, size, kFreedFill);
    if (touched < size)
        BugCheck(StopCode::DriverCorruptedExpool,
                 "freed pool touched: a block was written after it was freed",
                 reinterpret_cast<uintptr_t>(block.raw), block.info.size, block.info.tag,
                 touched);
    PoisonMemory(bytes, size);
}

void Pool::Evict()
{
    while (quarantine_.count > kQuarantineBlocks ||
           (quarantineBytes_ > kQuarantineBytes && quarantine_.count != 0)) {
        Block *oldest = quarantine_.head;
        VerifyFreedBlock(*oldest);
        quarantine_.Remove(oldest);
        quarantineBytes_ -= oldest->info.size;
        if (oldest->sizeClass == kLargeClass) {
            UnpoisonMemory(oldest->raw, oldest->info.size + kGuardBytes);
            ::operator delete(oldest->raw, kAlignment);
            large_.erase(reinterpret_cast<uintptr_t>(oldest->raw));
            delete oldest;
        } else {
            // Checked and still poisoned, for the next block of its class.
            oldest->state = Block::State::Unused;
            freeSlots_[oldest->sizeClass].push_back(oldest);
        }
    }
}

void Pool::ReportLeaks(const std::vector<PoolBlock> &leaked) const
{
    // Summed by tag, in the order the tags first appear among the leaked blocks.
    struct Sum {
        uint32_t tag;
        size_t count;
        size_t bytes;
    };
    std::vector<Sum> sums;
    for (const PoolBlock &block : leaked) {
        auto sum = std::find_if(sums.begin(), sums.end(),
                                [&](const Sum &s) { return s.tag == block.tag; });
        if (sum == sums.end()) {
            sums.push_back(Sum{block.tag, 0, 0});
            sum = sums.end() - 1;
        }
        ++sum->count;
        sum->bytes += block.size;
    }
    std::string rule = "driver unloaded without freeing its pool:";
    for (const Sum &sum : sums) {
        char part[96];
        std::snprintf(part, sizeof part, " tag %s %zu block%s %zu bytes;",
                      PoolTagText(sum.tag).c_str(), sum.count, sum.count == 1 ? "" : "s",
                      sum.bytes);
        rule += part;
    }
    rule.pop_back();
    BugCheck(StopCode::DriverVerifierDetectedViolation, rule.c_str(), 0x60, sums.front().tag,
             sums.front().count, sums.front().bytes);
}

}  // namespace sim

//
// ExAllocatePoolWithTag - a block of the driver, garbage-filled; null when the fault
// injector says so. Nonpaged pool at or below DISPATCH_LEVEL, paged pool at or below
// APC_LEVEL.
//
extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    using namespace sim;
    if (PoolType == PagedPool)
        RequireIrqlAtMost(APC_LEVEL, "ExAllocatePoolWithTag(PagedPool)");
    else if (PoolType == NonPagedPool)
        RequireIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag(NonPagedPool)");
    else
        BugCheck(StopCode::BadPoolCaller, "ExAllocatePoolWithTag called with an unknown pool type",
                 0x9B, static_cast<uintptr_t>(PoolType), NumberOfBytes, Tag);

    Machine &machine = Machine::Current();
    FaultPoint point;
    point.routine = "ExAllocatePoolWithTag";
    point.size = NumberOfBytes;
    point.tag = Tag;
    point.poolType = PoolType;
    if (machine.faults().ShouldFail(point)) {
        machine.pool().RecordFailure(PoolType, Tag, PoolOwner::Driver);
        return nullptr;
    }
    return machine.pool().Allocate(PoolType, NumberOfBytes, Tag, PoolOwner::Driver);
}

//
// ExFreePool - returns a block; at or below DISPATCH_LEVEL for nonpaged pool, at or below
// APC_LEVEL for paged pool.
//
extern "C" VOID NTAPI ExFreePool(PVOID P)
{
    using namespace sim;
    Machine &machine = Machine::Current();
    if (P == nullptr)
        BugCheck(StopCode::BadPoolCaller, "ExFreePool called with a null pointer", 0x46);
    machine.pool().Free(P, [](POOL_TYPE type) {
        if (type == PagedPool)
            RequireIrqlAtMost(APC_LEVEL, "ExFreePool(PagedPool)");
        else
            RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    });
}
