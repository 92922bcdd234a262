// mdl.cpp - memory descriptor lists: IoAllocateMdl, IoFreeMdl, MmBuildMdlForNonPagedPool,
// MmMapLockedPagesSpecifyCache, and the MDLs the I/O manager builds for direct I/O.
//
// The simulated machine has one address space, so a system mapping of a buffer is the
// buffer's own address; what is checked is the protocol: pages locked (or nonpaged)
// before they are mapped, every MDL freed once, by its owner.
#include "sim/faults.h"
#include "sim/io_internal.h"

#include "sim/bugcheck.h"
#include "sim/irql.h"

namespace sim {

using namespace io;

namespace {

uintptr_t Ptr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

// Stand-in for the owning process of locked user pages; drivers only compare it.
constexpr char kUserProcessToken = 0;

}  // namespace

namespace io {

namespace {
std::atomic<size_t> nextMdlShard{0};
thread_local size_t mdlShardOfThread = nextMdlShard.fetch_add(1, std::memory_order_relaxed);
}  // namespace

MdlTable::Shard &MdlTable::ShardOfThisThread()
{
    return shards_[mdlShardOfThread % kShards];
}

template <typename Visit>
bool MdlTable::VisitShards(Visit visit) const
{
    const size_t first = mdlShardOfThread % kShards;
    for (size_t i = 0; i < kShards; ++i) {
        Shard &shard = shards_[(first + i) % kShards];
        std::lock_guard lock(shard.mutex);
        if (visit(shard))
            return true;
    }
    return false;
}

PMDL MdlTable::Create(void *address, ULONG length, MdlOwner owner)
{
    uintptr_t va = Ptr(address);
    uintptr_t start = va & ~uintptr_t{kPageSize - 1};
    size_t pages = (va + length - start + kPageSize - 1) / kPageSize;
    size_t bytes = sizeof(MDL) + pages * sizeof(ULONG);
    Shard &shard = ShardOfThisThread();
    std::lock_guard lock(shard.mutex);
    MdlRecord record;
    record.block = shard.quarantine.Take(bytes);
    record.owner = owner;
    auto mdl = static_cast<PMDL>(record.block.data());
    mdl->Size = static_cast<CSHORT>(bytes);
    mdl->StartVa = reinterpret_cast<PVOID>(start);
    mdl->ByteOffset = static_cast<ULONG>(va - start);
    mdl->ByteCount = length;
    // Page frame numbers follow the header; they only have to look plausible.
    auto frames = reinterpret_cast<ULONG *>(mdl + 1);
    for (size_t i = 0; i < pages; ++i)
        frames[i] = static_cast<ULONG>((start >> 12) + i);
    if (owner == MdlOwner::Request) {
        mdl->MdlFlags = MDL_PAGES_LOCKED;
        mdl->Process = reinterpret_cast<PEPROCESS>(const_cast<char *>(&kUserProcessToken));
    }
    shard.spareNodes.Emplace(shard.records, mdl, std::move(record));
    return mdl;
}

std::optional<MdlOwner> MdlTable::OwnerOf(PMDL mdl) const
{
    std::optional<MdlOwner> owner;
    VisitShards([&](const Shard &shard) {
        auto it = shard.records.find(mdl);
        if (it != shard.records.end())
            owner = it->second.owner;
        return owner.has_value();
    });
    return owner;
}

// The MDL goes to its shard's quarantine and its entry to the spares.
std::optional<MdlOwner> MdlTable::Retire(PMDL mdl, std::optional<MdlOwner> keep)
{
    std::optional<MdlOwner> owner;
    VisitShards([&](Shard &shard) {
        auto it = shard.records.find(mdl);
        if (it == shard.records.end())
            return false;
        owner = it->second.owner;
        if (owner != keep) {
            shard.quarantine.Add(std::move(it->second.block));
            shard.spareNodes.Erase(shard.records, it);
        }
        return true;
    });
    return owner;
}

bool MdlTable::RetiredLately(PMDL mdl) const
{
    return VisitShards([&](const Shard &shard) { return shard.quarantine.Holds(mdl); });
}

size_t MdlTable::Outstanding(MdlOwner owner) const
{
    size_t count = 0;
    VisitShards([&](const Shard &shard) {
        for (const auto &entry : shard.records)
            count += entry.second.owner == owner;
        return false;
    });
    return count;
}

void FreeRequestMdls(IoManager::State &state, PMDL chain)
{
    while (chain != nullptr) {
        PMDL next = chain->Next;
        if (!state.mdls.Retire(chain))
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "completed IRP carries an MDL the I/O manager did not allocate", Ptr(chain));
        chain = next;
    }
}

}  // namespace io

PMDL IoManager::AllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, PIRP irp,
                            bool chargeToDriver)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    FaultPoint point;
    point.routine = "IoAllocateMdl";
    point.size = length;
    if (state_->machine.faults().ShouldFail(point))
        return nullptr;
    PMDL mdl = state_->mdls.Create(address, length, chargeToDriver ? MdlOwner::Driver : MdlOwner::System);
    if (irp != nullptr) {
        std::lock_guard lock(state_->mutex);
        if (state_->irps.count(irp) == 0)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "IoAllocateMdl for an IRP that is not outstanding", Ptr(irp));
        if (!secondary) {
            irp->MdlAddress = mdl;
        } else {
            PMDL *tail = &irp->MdlAddress;
            while (*tail != nullptr)
                tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

void IoManager::FreeMdl(PMDL mdl)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    std::optional<MdlOwner> owner = state_->mdls.Retire(mdl, MdlOwner::Request);
    if (!owner)
        BugCheck(StopCode::BadPoolCaller,
                 state_->mdls.RetiredLately(mdl) ? "MDL freed twice"
                                                  : "IoFreeMdl of an MDL that IoAllocateMdl did not return",
                 Ptr(mdl));
    if (*owner == MdlOwner::Request)
        BugCheck(StopCode::BadPoolCaller, "IoFreeMdl of the MDL of an IRP the I/O manager owns",
                 Ptr(mdl));
}

void IoManager::BuildMdlForNonPagedPool(PMDL mdl)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    if (!state_->mdls.OwnerOf(mdl))
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "MmBuildMdlForNonPagedPool of an MDL that IoAllocateMdl did not return",
                 Ptr(mdl));
    VerifierCheck((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA)) == 0,
                  "MmBuildMdlForNonPagedPool of an MDL whose pages are locked or mapped",
                  Ptr(mdl), static_cast<uint16_t>(mdl->MdlFlags));
    PVOID address = MmGetMdlVirtualAddress(mdl);
    VerifierCheck(kernel::IsNonPagedPool(state_->machine, address, mdl->ByteCount),
                  "MmBuildMdlForNonPagedPool of a buffer that is not nonpaged pool",
                  Ptr(mdl), Ptr(address), mdl->ByteCount);
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID IoManager::MapLockedPages(PMDL mdl, KPROCESSOR_MODE mode, ULONG bugCheckOnFailure)
{
    RequireIrqlAtMost(mode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL,
                      "MmMapLockedPagesSpecifyCache");
    if (!state_->mdls.OwnerOf(mdl))
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "MmMapLockedPagesSpecifyCache of an MDL the I/O manager does not know", Ptr(mdl));
    if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "MmMapLockedPagesSpecifyCache of an MDL whose pages are not locked", Ptr(mdl),
                 static_cast<uint16_t>(mdl->MdlFlags));
    VerifierCheck((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0,
                  "MmMapLockedPagesSpecifyCache of an MDL already mapped to system space",
                  Ptr(mdl));
    FaultPoint point;
    point.routine = "MmMapLockedPagesSpecifyCache";
    point.size = mdl->ByteCount;
    if (state_->machine.faults().ShouldFail(point)) {
        if (bugCheckOnFailure)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "MmMapLockedPagesSpecifyCache failed with BugCheckOnFailure set", Ptr(mdl));
        return nullptr;
    }
    PVOID address = MmGetMdlVirtualAddress(mdl);
    if (mode == KernelMode) {
        mdl->MappedSystemVa = address;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return address;
}

}  // namespace sim

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    (void)ChargeQuota;
    return sim::Machine::Current().io().AllocateMdl(VirtualAddress, Length, SecondaryBuffer, Irp);
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    sim::Machine::Current().io().FreeMdl(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl)
{
    sim::Machine::Current().io().BuildMdlForNonPagedPool(Mdl);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    (void)CacheType;
    (void)BaseAddress;
    (void)Priority;
    return sim::Machine::Current().io().MapLockedPages(Mdl, AccessMode, BugCheckOnFailure);
}

}  // extern "C"
