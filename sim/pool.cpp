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

constexpr size_t kSpareNodes = 256;
constexpr size_t kSpareMemory = 32;

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

Pool::Pool(Machine &machine) : machine_(machine) {}

Pool::~Pool()
{
    // A write into freed pool is a driver bug even when no unload check ran.
    CheckQuarantine();
    for (auto &[address, block] : freed_)
        ReleaseMemory(block);
    for (auto &[address, block] : live_)
        ReleaseMemory(block);
    for (const SpareMemory &spare : spareMemory_) {
        UnpoisonMemory(spare.raw, spare.size + kGuardBytes);
        ::operator delete(spare.raw, kAlignment);
    }
}

void *Pool::Allocate(POOL_TYPE type, size_t size, uint32_t tag, PoolOwner owner)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Block block;
    block.info.size = size;
    block.info.tag = tag;
    block.info.type = type;
    block.info.owner = owner;
    // The newest evicted block of this size first: steady traffic reuses its own memory.
    for (size_t i = spareMemory_.size(); i-- > 0;) {
        if (spareMemory_[i].size != size)
            continue;
        block.raw = spareMemory_[i].raw;
        spareMemory_.erase(spareMemory_.begin() + static_cast<std::ptrdiff_t>(i));
        UnpoisonMemory(block.raw, size + kGuardBytes);
        break;
    }
    if (block.raw == nullptr && size <= kLargestBlock)
        block.raw = ::operator new(size + kGuardBytes, kAlignment, std::nothrow);
    if (block.raw == nullptr) {
        ++UsageFor(block.info).failures;
        return nullptr;
    }
    auto *bytes = static_cast<uint8_t *>(block.raw);
    std::memset(bytes, kFreshFill, size);
    std::memset(bytes + size, kGuardFill, kGuardBytes);
    PoisonMemory(bytes + size, kGuardBytes);
    block.info.address = block.raw;
    block.info.serial = ++serial_;

    PoolTagUsage &usage = UsageFor(block.info);
    block.usage = &usage;
    ++usage.allocations;
    ++usage.blocks;
    usage.bytes += size;
    usage.peakBlocks = std::max(usage.peakBlocks, usage.blocks);
    usage.peakBytes = std::max(usage.peakBytes, usage.bytes);

    const auto key = reinterpret_cast<uintptr_t>(block.raw);
    if (!spareNodes_.empty()) {
        BlockMap::node_type node = std::move(spareNodes_.back());
        spareNodes_.pop_back();
        node.key() = key;
        node.mapped() = block;
        live_.insert(std::move(node));
    } else {
        live_.emplace(key, block);
    }
    return block.raw;
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
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = live_.find(key);
        if (checkIrql != nullptr)
            checkIrql(found != live_.end() ? found->second.info.type : NonPagedPool);
        if (found == live_.end()) {
            auto freed = freed_.find(key);
            if (freed != freed_.end())
                BugCheck(StopCode::BadPoolCaller, "pool block freed twice", 7, key,
                         freed->second.info.tag);
            BugCheck(StopCode::BadPoolCaller, "ExFreePool of an address that is no pool block",
                     0x46, key);
        }
        Block block = found->second;
        auto *bytes = static_cast<uint8_t *>(block.raw);
        size = block.info.size;

        UnpoisonMemory(bytes + size, kGuardBytes);
        size_t overrun = FirstDifference(bytes + size, kGuardBytes, kGuardFill);
        if (overrun < kGuardBytes)
            BugCheck(StopCode::SpecialPoolDetectedMemoryCorruption,
                     "pool block overrun: bytes after the block's end were written", key, size,
                     block.info.tag, size + overrun);

        std::memset(bytes, kFreedFill, size + kGuardBytes);
        PoisonMemory(bytes, size + kGuardBytes);
        holdsKernelObjects = block.holdsKernelObjects;

        PoolTagUsage &usage = *block.usage;
        ++usage.frees;
        --usage.blocks;
        usage.bytes -= size;

        freed_.insert(live_.extract(found));
        quarantine_.push_back(key);
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
    std::lock_guard<std::mutex> lock(mutex_);
    const auto key = reinterpret_cast<uintptr_t>(address);
    auto after = live_.upper_bound(key);
    if (after == live_.begin())
        return;
    Block &block = std::prev(after)->second;
    if (key - reinterpret_cast<uintptr_t>(block.raw) < std::max<size_t>(block.info.size, 1))
        block.holdsKernelObjects = true;
}

void Pool::RecordFailure(POOL_TYPE type, uint32_t tag, PoolOwner owner)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PoolBlock info;
    info.type = type;
    info.tag = tag;
    info.owner = owner;
    ++UsageFor(info).failures;
}

std::optional<PoolBlock> Pool::Find(const void *address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = live_.find(reinterpret_cast<uintptr_t>(address));
    if (found == live_.end())
        return std::nullopt;
    return found->second.info;
}

std::optional<PoolBlock> Pool::Containing(const void *address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto key = reinterpret_cast<uintptr_t>(address);
    auto after = live_.upper_bound(key);
    if (after == live_.begin())
        return std::nullopt;
    const Block &block = std::prev(after)->second;
    const auto start = reinterpret_cast<uintptr_t>(block.raw);
    // A zero-sized block contains its own address only.
    if (key - start < std::max<size_t>(block.info.size, 1))
        return block.info;
    return std::nullopt;
}

std::vector<PoolBlock> Pool::Blocks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PoolBlock> blocks;
    for (const auto &[address, block] : live_)
        blocks.push_back(block.info);
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolBlock &a, const PoolBlock &b) { return a.serial < b.serial; });
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
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PoolTagUsage> rows;
    for (const auto &[key, usage] : usage_)
        rows.push_back(usage);
    return rows;
}

PoolTagUsage Pool::UsageOf(uint32_t tag) const
{
    std::lock_guard<std::mutex> lock(mutex_);
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
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[address, block] : freed_)
        VerifyFreedBlock(block);
}

PoolTagUsage &Pool::UsageFor(const PoolBlock &block)
{
    PoolTagUsage &usage = usage_[UsageKey{block.tag, block.type, block.owner}];
    usage.tag = block.tag;
    usage.type = block.type;
    usage.owner = block.owner;
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

void Pool::RecycleMemory(Block &block)
{
    if (spareMemory_.size() == kSpareMemory) {
        void *oldest = spareMemory_.front().raw;
        UnpoisonMemory(oldest, spareMemory_.front().size + kGuardBytes);
        ::operator delete(oldest, kAlignment);
        spareMemory_.erase(spareMemory_.begin());
    }
    spareMemory_.push_back({block.raw, block.info.size});
    block.raw = nullptr;
}

void Pool::ReleaseMemory(Block &block)
{
    UnpoisonMemory(block.raw, block.info.size + kGuardBytes);
    ::operator delete(block.raw, kAlignment);
    block.raw = nullptr;
}

void Pool::Evict()
{
    while (quarantine_.size() > kQuarantineBlocks ||
           (quarantineBytes_ > kQuarantineBytes && !quarantine_.empty())) {
        auto found = freed_.find(quarantine_.front());
        quarantine_.pop_front();
        VerifyFreedBlock(found->second);
        quarantineBytes_ -= found->second.info.size;
        RecycleMemory(found->second);
        BlockMap::node_type node = freed_.extract(found);
        if (spareNodes_.size() < kSpareNodes)
            spareNodes_.push_back(std::move(node));
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
