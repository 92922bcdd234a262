// ndis_mdl.cpp - the MDLs of the packets a miniport indicates. The one place where NDIS
// asks the I/O manager, the owner of MmMapLockedPagesSpecifyCache, for MDLs: a buffer
// the protocol has to map must be one the I/O manager knows.
#include "sim/ndis_state.h"

#include "sim/io_manager.h"

#include <cstring>

namespace sim {

MiniportBuffer NewMiniportBuffer(uint8_t *address, size_t length, bool mapped, MDL *storage)
{
    if (!mapped) {
        // Locked pages not yet mapped to system space, as for a buffer described by
        // MmProbeAndLockPages. An injected IoAllocateMdl failure leaves it mapped.
        PMDL mdl = Machine::Current().io().AllocateMdl(address, static_cast<ULONG>(length), FALSE, nullptr,
                                                             /*chargeToDriver=*/false);
        if (mdl != nullptr) {
            mdl->MdlFlags |= MDL_PAGES_LOCKED;
            return {mdl, true};
        }
    }
    // Miniport memory from nonpaged pool, mapped from the start.
    auto *mdl = storage != nullptr ? storage : new MDL;
    std::memset(mdl, 0, sizeof(*mdl));
    auto raw = reinterpret_cast<uintptr_t>(address);
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(raw & ~static_cast<uintptr_t>(0xFFF));
    mdl->ByteOffset = static_cast<ULONG>(raw & 0xFFF);
    mdl->ByteCount = static_cast<ULONG>(length);
    mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->MappedSystemVa = address;
    return {mdl, false, storage != nullptr};
}

void DeleteMiniportBuffer(const MiniportBuffer &buffer)
{
    if (buffer.fromIoManager)
        Machine::Current().io().FreeMdl(buffer.mdl);
    else if (!buffer.inPacket)
        delete buffer.mdl;
}

}  // namespace sim
