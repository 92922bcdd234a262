// io_kernel_adapter.cpp - what the I/O manager asks of the other parts of the machine:
// pool blocks for system buffers, the leak counts of the unload checks, and NDIS's word
// on the protocol registration. The one place that names their interfaces.
#include "sim/io_internal.h"

#include "sim/dispatcher.h"
#include "sim/errorlog.h"
#include "sim/ndis.h"
#include "sim/pool.h"
#include "sim/threads.h"

namespace sim::io::kernel {

namespace {
// System buffers of requests.
constexpr uint32_t kSystemBufferTag = PoolTag("IoSb");
}  // namespace

void *AllocateNonPaged(Machine &machine, size_t bytes)
{
    return machine.pool().Allocate(NonPagedPool, bytes, kSystemBufferTag, PoolOwner::System);
}

void FreeNonPaged(Machine &machine, void *block)
{
    machine.pool().Free(block);
}

size_t PoolBlocksWithTag(Machine &machine, uint32_t tag)
{
    return machine.pool().Blocks(tag).size();
}

bool IsNonPagedPool(Machine &machine, const void *address, size_t length)
{
    auto block = machine.pool().Containing(address);
    // An empty buffer may begin just past its block's last byte (the empty data part of a
    // frame that is all header): it spans no page, so the block it ends is the one to judge.
    if (!block && length == 0 && address != nullptr)
        block = machine.pool().Containing(static_cast<const uint8_t *>(address) - 1);
    if (!block || block->type != NonPagedPool)
        return false;
    auto begin = reinterpret_cast<uintptr_t>(block->address);
    return reinterpret_cast<uintptr_t>(address) + length <= begin + block->size;
}

NTSTATUS CallDispatchRoutine(Machine &machine, PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp)
{
    VirtualClock::DispatchScope running(machine.clock());
    return routine(device, irp);
}

void CallCancelRoutine(Machine &machine, PDRIVER_CANCEL routine, PDEVICE_OBJECT device, PIRP irp)
{
    VirtualClock::DispatchScope running(machine.clock());
    routine(device, irp);
}

size_t RunningSystemThreads(Machine &machine)
{
    return machine.threads().RunningCount();
}

size_t UnwrittenErrorLogEntries(Machine &machine)
{
    return machine.errorLog().OutstandingCount();
}

void SetErrorLogSourceResolver(Machine &machine,
                               std::function<std::shared_ptr<const std::u16string>(const void *)> resolver)
{
    machine.errorLog().SetSourceResolver(std::move(resolver));
}

bool ProtocolRegistered(Machine &machine)
{
    return machine.ndis().ProtocolRegistered();
}

}  // namespace sim::io::kernel
