// driver_loader.cpp - driver load and unload, the I/O manager's default dispatch routine
// and the checks that a failed start or an unload left nothing behind.
#include "sim/driver_loader.h"

#include "sim/bugcheck.h"
#include "sim/io_internal.h"
#include "sim/irql.h"

#include <algorithm>

// Bounds of the driver's global data, defined by the linker when a driver is linked in.
// Weak, so that the simulator also links without one.
extern "C" {
extern char __start_krvdlc_globals[] __attribute__((weak));
extern char __stop_krvdlc_globals[] __attribute__((weak));
}

namespace sim {

using namespace io;

namespace {

uintptr_t Ptr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

size_t RoundUp16(size_t n)
{
    return (n + 15) & ~size_t{15};
}

// Every major function the driver does not claim refuses the request.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The section may hold instrumented globals whose redzones are poisoned: a plain byte
// loop that the sanitizer does not check and the compiler does not turn into memset.
__attribute__((no_sanitize("address"))) void ZeroRange(char *begin, char *end)
{
    for (volatile char *p = begin; p < end; ++p)
        *p = 0;
}

// The rules a driver that goes away must keep, with the wording of each bug-check.
struct CleanupRule {
    const char *unloaded;
    const char *failedStart;
};

constexpr CleanupRule kDevicesLeft{"driver unloaded without deleting its devices",
                                   "driver failed to start and left devices behind"};
constexpr CleanupRule kLinksLeft{"driver unloaded without deleting its symbolic links",
                                 "driver failed to start and left symbolic links behind"};
constexpr CleanupRule kRequestsLeft{"driver unloaded with requests pending",
                                    "driver failed to start and left requests pending"};
constexpr CleanupRule kMdlsLeft{"driver unloaded with MDLs allocated",
                                "driver failed to start and left MDLs allocated"};
constexpr CleanupRule kPoolLeft{"driver unloaded with pool allocations outstanding",
                                "driver failed to start and left pool allocations behind"};
constexpr CleanupRule kErrorLogLeft{
    "driver unloaded with error-log entries allocated and not written",
    "driver failed to start and left error-log entries allocated and not written"};
constexpr CleanupRule kThreadsLeft{"driver unloaded with system threads running",
                                   "driver failed to start and left system threads running"};
constexpr CleanupRule kProtocolLeft{"driver unloaded without deregistering its protocol",
                                    "driver failed to start and left its protocol registered"};

void CheckNothingLeft(IoManager::State &state, DriverRecord *driver, bool unloading)
{
    auto rule = [unloading](const CleanupRule &r) { return unloading ? r.unloaded : r.failedStart; };
    size_t devices = 0;
    size_t requests = 0;
    size_t mdls = 0;
    size_t links = 0;
    {
        std::lock_guard lock(state.mutex);
        for (auto &[object, record] : state.devices)
            devices += record->driver == driver;
        for (auto &[irp, record] : state.irps)
            requests += record->driver == driver && !record->completed;
        links = driver->links.size();
    }
    mdls = state.mdls.Outstanding(MdlOwner::Driver);
    VerifierCheck(devices == 0 && driver->object->DeviceObject == nullptr, rule(kDevicesLeft),
                  devices, Ptr(driver->object->DeviceObject));
    VerifierCheck(links == 0, rule(kLinksLeft), links);
    if (requests != 0)
        BugCheck(StopCode::DriverUnloadedWithoutCancellingPendingOperations, rule(kRequestsLeft),
                 requests);
    VerifierCheck(mdls == 0, rule(kMdlsLeft), mdls);
    size_t pool = kernel::PoolBlocksWithTag(state.machine, driver->poolTag);
    VerifierCheck(pool == 0, rule(kPoolLeft), pool, driver->poolTag);
    size_t entries = kernel::UnwrittenErrorLogEntries(state.machine);
    VerifierCheck(entries == 0, rule(kErrorLogLeft), entries);
    size_t threads = kernel::RunningSystemThreads(state.machine);
    VerifierCheck(threads == 0, rule(kThreadsLeft), threads);
    VerifierCheck(!kernel::ProtocolRegistered(state.machine), rule(kProtocolLeft));
    // The kernel's own checks: handles, thread references, writes into freed pool.
    state.machine.CheckNothingLeftBehind();
}

// The driver object goes to the retired list, poisoned: the driver must not use it
// once it is gone.
void RetireDriver(IoManager::State &state)
{
    std::lock_guard lock(state.mutex);
    state.driver->block.Retire();
    state.retiredObjects.push_back(std::move(state.driver->block));
    state.driver.reset();
}

}  // namespace

void ZeroDriverGlobals()
{
    if (__start_krvdlc_globals != nullptr && __stop_krvdlc_globals != nullptr)
        ZeroRange(__start_krvdlc_globals, __stop_krvdlc_globals);
}

NTSTATUS IoManager::LoadDriver(PDRIVER_INITIALIZE entry, std::u16string serviceKeyPath,
                               std::u16string driverName, uint32_t poolTag)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "LoadDriver");
    {
        std::lock_guard lock(state_->mutex);
        if (state_->driver != nullptr)
            return STATUS_OBJECT_NAME_COLLISION;
    }
    ZeroDriverGlobals();

    auto driver = std::make_unique<DriverRecord>();
    size_t objectBytes = RoundUp16(sizeof(DRIVER_OBJECT));
    size_t extensionBytes = 64;
    driver->block = Block(objectBytes + extensionBytes + (driverName.size() + 1) * 2);
    auto base = static_cast<std::byte *>(driver->block.data());
    auto object = reinterpret_cast<PDRIVER_OBJECT>(base);
    auto nameBuffer = reinterpret_cast<char16_t *>(base + objectBytes + extensionBytes);
    std::copy(driverName.begin(), driverName.end(), nameBuffer);
    object->Type = kTypeDriver;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = base + objectBytes;
    object->DriverName.Buffer = nameBuffer;
    object->DriverName.Length = static_cast<USHORT>(driverName.size() * 2);
    object->DriverName.MaximumLength = static_cast<USHORT>(driverName.size() * 2 + 2);
    object->DriverInit = entry;
    for (auto &dispatch : object->MajorFunction)
        dispatch = InvalidDeviceRequest;

    // The registry path is the loader's and lives only as long as the entry routine.
    driver->serviceKey = Block(RoundUp16(sizeof(UNICODE_STRING)) + (serviceKeyPath.size() + 1) * 2);
    auto keyBase = static_cast<std::byte *>(driver->serviceKey.data());
    auto registryPath = reinterpret_cast<PUNICODE_STRING>(keyBase);
    auto keyBuffer = reinterpret_cast<char16_t *>(keyBase + RoundUp16(sizeof(UNICODE_STRING)));
    std::copy(serviceKeyPath.begin(), serviceKeyPath.end(), keyBuffer);
    registryPath->Buffer = keyBuffer;
    registryPath->Length = static_cast<USHORT>(serviceKeyPath.size() * 2);
    registryPath->MaximumLength = static_cast<USHORT>(serviceKeyPath.size() * 2 + 2);

    driver->object = object;
    driver->name = std::move(driverName);
    driver->sourceName = std::make_shared<const std::u16string>(driver->name.substr(driver->name.rfind(u'\\') + 1));
    driver->poolTag = poolTag;
    driver->inDriverEntry = true;
    DriverRecord *raw = driver.get();
    {
        std::lock_guard lock(state_->mutex);
        state_->driver = std::move(driver);
    }

    NTSTATUS status = entry(object, registryPath);
    VerifierCheck(CurrentIrql() == PASSIVE_LEVEL, "DriverEntry returned at raised IRQL",
                  CurrentIrql());

    {
        std::lock_guard lock(state_->mutex);
        raw->inDriverEntry = false;
        raw->serviceKey.Retire();
        state_->retiredObjects.push_back(std::move(raw->serviceKey));
        if (NT_SUCCESS(status)) {
            // As the platform does for the devices a driver creates in its entry routine.
            for (auto &[device, record] : state_->devices)
                if (record->driver == raw && record->createdDuringEntry)
                    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
            return status;
        }
    }
    CheckNothingLeft(*state_, raw, false);
    RetireDriver(*state_);
    return status;
}

bool IoManager::UnloadDriver()
{
    RequireIrqlExactly(PASSIVE_LEVEL, "UnloadDriver");
    WaitForDeferredCloses();
    DriverRecord *driver = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        driver = state_->driver.get();
        if (driver == nullptr || driver->object->DriverUnload == nullptr)
            return false;
        auto referenced = [driver](const auto &record) {
            return record->driver == driver && record->fileObjects != 0;
        };
        if (std::any_of(state_->deletedDevices.begin(), state_->deletedDevices.end(), referenced))
            return false;
        for (auto &[object, record] : state_->devices)
            if (referenced(record))
                return false;
    }
    driver->object->DriverUnload(driver->object);
    VerifierCheck(CurrentIrql() == PASSIVE_LEVEL, "driver unload routine returned at raised IRQL",
                  CurrentIrql());
    CheckNothingLeft(*state_, driver, true);
    RetireDriver(*state_);
    return true;
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string serviceKeyPath,
                    DriverLoadOptions options)
{
    return Machine::Current().io().LoadDriver(entry, std::move(serviceKeyPath),
                                              std::move(options.driverName), options.poolTag);
}

bool UnloadDriver()
{
    return Machine::Current().io().UnloadDriver();
}

PDRIVER_OBJECT LoadedDriverObject()
{
    return Machine::Current().io().LoadedDriver();
}

}  // namespace sim
