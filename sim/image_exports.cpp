// image_exports.cpp - the table of routines a loaded driver image may import.
#include "sim/image_exports.h"

#include "sim/machine.h"

#include <algorithm>
#include <cctype>
#include <string.h>
#include <iterator>

// The platform's swprintf (16-bit characters), defined in sim/rtl.cpp.
extern "C" int KRV_CDECL KrvSimSwprintf(PWSTR Buffer, PCWSTR Format, ...);

namespace sim {

namespace {

constexpr std::string_view kKernel = "ntoskrnl.exe";
constexpr std::string_view kHal = "HAL.dll";
constexpr std::string_view kNdis = "NDIS.SYS";

#define SIM_EXPORT(module, routine) {module, #routine, reinterpret_cast<void *>(&routine)}

const ImageExport kExports[] = {
    // ntoskrnl.exe: I/O manager.
    SIM_EXPORT(kKernel, IoCreateDevice),
    SIM_EXPORT(kKernel, IoDeleteDevice),
    SIM_EXPORT(kKernel, IoCreateSymbolicLink),
    SIM_EXPORT(kKernel, IoDeleteSymbolicLink),
    SIM_EXPORT(kKernel, IofCompleteRequest),
    SIM_EXPORT(kKernel, IoAcquireCancelSpinLock),
    SIM_EXPORT(kKernel, IoReleaseCancelSpinLock),
    SIM_EXPORT(kKernel, IoAllocateMdl),
    SIM_EXPORT(kKernel, IoFreeMdl),
    SIM_EXPORT(kKernel, IoAllocateErrorLogEntry),
    SIM_EXPORT(kKernel, IoWriteErrorLogEntry),
    // Memory.
    SIM_EXPORT(kKernel, ExAllocatePoolWithTag),
    SIM_EXPORT(kKernel, ExFreePool),
    SIM_EXPORT(kKernel, MmBuildMdlForNonPagedPool),
    SIM_EXPORT(kKernel, MmMapLockedPagesSpecifyCache),
    // Lists, counters, spin locks at DPC level.
    SIM_EXPORT(kKernel, ExfInterlockedInsertTailList),
    SIM_EXPORT(kKernel, ExfInterlockedRemoveHeadList),
    SIM_EXPORT(kKernel, InterlockedIncrement),
    SIM_EXPORT(kKernel, InterlockedDecrement),
    SIM_EXPORT(kKernel, InterlockedExchange),
    SIM_EXPORT(kKernel, KeInitializeSpinLock),
    SIM_EXPORT(kKernel, KefAcquireSpinLockAtDpcLevel),
    SIM_EXPORT(kKernel, KefReleaseSpinLockFromDpcLevel),
    // Threads, objects, events.
    SIM_EXPORT(kKernel, PsCreateSystemThread),
    SIM_EXPORT(kKernel, PsTerminateSystemThread),
    SIM_EXPORT(kKernel, ObReferenceObjectByHandle),
    SIM_EXPORT(kKernel, ObfDereferenceObject),
    SIM_EXPORT(kKernel, ZwClose),
    SIM_EXPORT(kKernel, KeInitializeEvent),
    SIM_EXPORT(kKernel, KeSetEvent),
    SIM_EXPORT(kKernel, KeWaitForSingleObject),
    // Registry and files.
    SIM_EXPORT(kKernel, ZwOpenKey),
    SIM_EXPORT(kKernel, ZwQueryValueKey),
    SIM_EXPORT(kKernel, ZwCreateFile),
    SIM_EXPORT(kKernel, ZwWriteFile),
    // Strings, time, debugger output and the C routines the kernel exports.
    SIM_EXPORT(kKernel, RtlInitUnicodeString),
    SIM_EXPORT(kKernel, RtlCopyUnicodeString),
    SIM_EXPORT(kKernel, RtlAppendUnicodeToString),
    SIM_EXPORT(kKernel, KeQuerySystemTime),
    SIM_EXPORT(kKernel, ExSystemTimeToLocalTime),
    SIM_EXPORT(kKernel, RtlTimeToTimeFields),
    SIM_EXPORT(kKernel, DbgPrint),
    {kKernel, "swprintf", reinterpret_cast<void *>(&KrvSimSwprintf)},
    {kKernel, "memcpy", reinterpret_cast<void *>(&::memcpy)},
    {kKernel, "memset", reinterpret_cast<void *>(&::memset)},
    {kKernel, "memmove", reinterpret_cast<void *>(&::memmove)},
    // HAL.dll.
    SIM_EXPORT(kHal, KeGetCurrentIrql),
    SIM_EXPORT(kHal, KfAcquireSpinLock),
    SIM_EXPORT(kHal, KfReleaseSpinLock),
    // NDIS.SYS.
    SIM_EXPORT(kNdis, NdisRegisterProtocol),
    SIM_EXPORT(kNdis, NdisDeregisterProtocol),
    SIM_EXPORT(kNdis, NdisOpenAdapter),
    SIM_EXPORT(kNdis, NdisCloseAdapter),
    SIM_EXPORT(kNdis, NdisRequest),
    SIM_EXPORT(kNdis, NdisReset),
    SIM_EXPORT(kNdis, NdisSend),
    SIM_EXPORT(kNdis, NdisTransferData),
    SIM_EXPORT(kNdis, NdisQueryAdapterInstanceName),
    SIM_EXPORT(kNdis, NdisFreeMemory),
    SIM_EXPORT(kNdis, NdisAllocatePacketPool),
    SIM_EXPORT(kNdis, NdisFreePacketPool),
    SIM_EXPORT(kNdis, NdisAllocatePacket),
    SIM_EXPORT(kNdis, NdisFreePacket),
    SIM_EXPORT(kNdis, NdisUnchainBufferAtFront),
    SIM_EXPORT(kNdis, NdisCopyFromPacketToPacket),
    SIM_EXPORT(kNdis, NdisReturnPackets),
    SIM_EXPORT(kNdis, NdisInitializeEvent),
    SIM_EXPORT(kNdis, NdisSetEvent),
    SIM_EXPORT(kNdis, NdisResetEvent),
    SIM_EXPORT(kNdis, NdisWaitEvent),
};

#undef SIM_EXPORT

bool SameModule(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

const ImageExport *FindImageExport(std::string_view module, std::string_view name)
{
    auto it = std::find_if(std::begin(kExports), std::end(kExports), [&](const ImageExport &e) {
        return e.name == name && SameModule(e.module, module);
    });
    return it == std::end(kExports) ? nullptr : &*it;
}

bool IsImageExportModule(std::string_view module)
{
    for (std::string_view known : {kKernel, kHal, kNdis})
        if (SameModule(known, module))
            return true;
    return false;
}

}  // namespace sim
