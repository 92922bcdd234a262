// io_objects.cpp - the object namespace: device objects in \Device, symbolic links in
// \DosDevices (also reached as \??), and the resolution of user-mode names \\.\NAME.
#include "sim/faults.h"
#include "sim/io_internal.h"

#include "sim/bugcheck.h"
#include "sim/irql.h"

#include <algorithm>

namespace sim {

using namespace io;

namespace {

// The namespace has two directories; names are \Directory\Leaf.
NTSTATUS CheckObjectName(const std::u16string &key)
{
    if (key.size() < 2 || key[0] != u'\\')
        return kStatusObjectPathSyntaxBad;
    auto separator = key.find(u'\\', 1);
    if (separator == std::u16string::npos || separator == 1 || separator + 1 == key.size())
        return STATUS_OBJECT_NAME_INVALID;
    if (key.find(u'\\', separator + 1) != std::u16string::npos)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    auto directory = key.substr(1, separator - 1);
    if (directory != u"DEVICE" && directory != u"DOSDEVICES")
        return STATUS_OBJECT_PATH_NOT_FOUND;
    return STATUS_SUCCESS;
}

uintptr_t Ptr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

size_t RoundUp16(size_t n)
{
    return (n + 15) & ~size_t{15};
}

}  // namespace

namespace io {

// The device's memory goes into the retired list once it is deleted and the last file
// object that refers to it is gone. Called with the state mutex held.
void RetireDeviceIfUnreferenced(IoManager::State &state, DeviceRecord *device)
{
    if (!device->deleted || device->fileObjects != 0)
        return;
    auto it = std::find_if(state.deletedDevices.begin(), state.deletedDevices.end(),
                           [&](const auto &record) { return record.get() == device; });
    if (it == state.deletedDevices.end())
        return;
    (*it)->block.Retire();
    state.retiredObjects.push_back(std::move((*it)->block));
    state.deletedDevices.erase(it);
}

// The device that a user-mode name \\.\NAME[\rest] reaches through \DosDevices, or null.
// `rest` receives the part after NAME (the file name the driver sees).
DeviceRecord *ResolveUserName(IoManager::State &state, std::u16string_view userName,
                              std::u16string *rest)
{
    constexpr std::u16string_view kPrefix = u"\\\\.\\";
    if (userName.substr(0, kPrefix.size()) != kPrefix)
        return nullptr;
    userName.remove_prefix(kPrefix.size());
    auto split = userName.find(u'\\');
    *rest = split == std::u16string_view::npos ? u"" : std::u16string(userName.substr(split));
    std::u16string key = NameKey(u"\\DosDevices\\" + std::u16string(userName.substr(0, split)));
    for (int depth = 0; depth < 8; ++depth) {
        auto it = state.names.find(key);
        if (it == state.names.end())
            return nullptr;
        if (!it->second.isLink) {
            auto device = state.devices.find(it->second.device);
            return device != state.devices.end() ? device->second.get() : nullptr;
        }
        key = NameKey(it->second.linkTarget);
    }
    return nullptr;
}

}  // namespace io

NTSTATUS IoManager::CreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                                 PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                                 ULONG characteristics, BOOLEAN exclusive,
                                 PDEVICE_OBJECT *device)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "IoCreateDevice");
    *device = nullptr;
    std::u16string name = ToU16(deviceName);
    FaultPoint point;
    point.routine = "IoCreateDevice";
    point.size = extensionSize;
    point.name = name;
    if (state_->machine.faults().ShouldFail(point))
        return STATUS_INSUFFICIENT_RESOURCES;

    std::lock_guard lock(state_->mutex);
    if (state_->driver == nullptr || state_->driver->object != driverObject)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "IoCreateDevice with a driver object the I/O manager did not create",
                 Ptr(driverObject));
    std::u16string key;
    if (!name.empty()) {
        key = NameKey(name);
        NTSTATUS valid = CheckObjectName(key);
        if (!NT_SUCCESS(valid))
            return valid;
        if (state_->names.count(key) != 0)
            return STATUS_OBJECT_NAME_COLLISION;
    }

    auto record = std::make_unique<DeviceRecord>();
    size_t objectBytes = RoundUp16(sizeof(DEVICE_OBJECT));
    size_t objectExtensionBytes = 64;   // DeviceObjectExtension, never read by drivers
    record->block = Block(objectBytes + objectExtensionBytes + extensionSize);
    auto base = static_cast<std::byte *>(record->block.data());
    auto object = reinterpret_cast<PDEVICE_OBJECT>(base);
    object->Type = kTypeDevice;
    object->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    object->DriverObject = driverObject;
    object->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    object->Characteristics = characteristics;
    object->DeviceType = deviceType;
    object->StackSize = 1;
    object->DeviceExtension = extensionSize != 0 ? base + objectBytes + objectExtensionBytes
                                                 : nullptr;
    object->DeviceObjectExtension = base + objectBytes;
    InitializeListHead(&object->Queue.ListEntry);
    InitializeListHead(&object->DeviceQueue.DeviceListHead);
    object->DeviceLock.Header.Type = SynchronizationEvent;
    object->DeviceLock.Header.SignalState = 1;
    InitializeListHead(&object->DeviceLock.Header.WaitListHead);

    // The platform puts a new device at the head of the driver's list.
    object->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = object;

    record->object = object;
    record->name = name;
    record->sharedName = std::make_shared<const std::u16string>(name);
    record->driver = state_->driver.get();
    record->createdDuringEntry = state_->driver->inDriverEntry;
    if (!key.empty())
        state_->names[key] = State::Name{name, object, {}, false};
    state_->devices.emplace(object, std::move(record));
    *device = object;
    return STATUS_SUCCESS;
}

void IoManager::DeleteDevice(PDEVICE_OBJECT device)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "IoDeleteDevice");
    std::lock_guard lock(state_->mutex);
    auto it = state_->devices.find(device);
    if (it == state_->devices.end()) {
        bool twice = std::any_of(state_->deletedDevices.begin(), state_->deletedDevices.end(),
                                 [&](const auto &record) { return record->object == device; });
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 twice ? "IoDeleteDevice of a device already deleted"
                       : "IoDeleteDevice of an object that is not a device",
                 Ptr(device));
    }
    auto record = std::move(it->second);
    state_->devices.erase(it);

    PDRIVER_OBJECT driver = device->DriverObject;
    PDEVICE_OBJECT *link = &driver->DeviceObject;
    while (*link != nullptr && *link != device)
        link = &(*link)->NextDevice;
    if (*link == nullptr)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "device to delete is missing from its driver's device list", Ptr(device),
                 Ptr(driver));
    *link = device->NextDevice;

    if (!record->name.empty())
        state_->names.erase(NameKey(record->name));
    record->deleted = true;
    DeviceRecord *raw = record.get();
    state_->deletedDevices.push_back(std::move(record));
    RetireDeviceIfUnreferenced(*state_, raw);
}

NTSTATUS IoManager::CreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::u16string name = ToU16(link);
    FaultPoint point;
    point.routine = "IoCreateSymbolicLink";
    point.name = name;
    if (state_->machine.faults().ShouldFail(point))
        return STATUS_INSUFFICIENT_RESOURCES;

    std::lock_guard lock(state_->mutex);
    std::u16string key = NameKey(name);
    NTSTATUS valid = CheckObjectName(key);
    if (!NT_SUCCESS(valid))
        return valid;
    if (state_->names.count(key) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    state_->names[key] = State::Name{name, nullptr, ToU16(target), true};
    if (state_->driver != nullptr)
        state_->driver->links.insert(key);
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::DeleteSymbolicLink(PUNICODE_STRING link)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard lock(state_->mutex);
    std::u16string key = NameKey(ToU16(link));
    auto it = state_->names.find(key);
    if (it == state_->names.end() || !it->second.isLink)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    state_->names.erase(it);
    if (state_->driver != nullptr)
        state_->driver->links.erase(key);
    return STATUS_SUCCESS;
}

}  // namespace sim

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    return sim::Machine::Current().io().CreateDevice(DriverObject, DeviceExtensionSize,
                                                     DeviceName, DeviceType,
                                                     DeviceCharacteristics, Exclusive,
                                                     DeviceObject);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    sim::Machine::Current().io().DeleteDevice(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    return sim::Machine::Current().io().CreateSymbolicLink(SymbolicLinkName, DeviceName);
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return sim::Machine::Current().io().DeleteSymbolicLink(SymbolicLinkName);
}

}  // extern "C"

// ---- file objects ---------------------------------------------------------------------

namespace sim {

namespace io {

void SendClose(IoManager::State &state, const std::shared_ptr<FileRecord> &file)
{
    IrpRecord *record = RegisterIrp(state, BuildIrp(state, file, IRP_MJ_CLOSE));
    FinishIrp(state, record, DispatchIrp(state, record), false);

    std::lock_guard lock(state.mutex);
    // Overlapped results nobody collected go with the file object. No issuer holds a
    // reference any more, so every request left is one of those.
    std::vector<IrpRecord *> uncollected;
    for (auto &[irp, candidate] : state.irps)
        if (candidate->file == file && candidate->completed && !candidate->issuerHolds)
            uncollected.push_back(candidate.get());
    for (IrpRecord *leftover : uncollected)
        CollectIrp(state, leftover);
    file->closed = true;
    file->device->fileObjects--;
    RetireDeviceIfUnreferenced(state, file->device);
    state.files.erase(file->object);
    state.fileQuarantine.Add(std::move(file->block));
}

void QueueDeferredClose(IoManager::State &state, std::shared_ptr<FileRecord> file)
{
    state.deferredCloses.push_back(std::move(file));
    if (!state.closeWorker.joinable()) {
        state.closeWorker = std::thread([&state] {
            BeginThreadContext("I/O close worker");
            std::unique_lock lock(state.mutex);
            for (;;) {
                state.deferredWork.wait(
                    lock, [&] { return state.stopping || !state.deferredCloses.empty(); });
                if (state.deferredCloses.empty())
                    return;
                auto next = std::move(state.deferredCloses.front());
                state.deferredCloses.pop_front();
                state.closeWorkerBusy = true;
                lock.unlock();
                SendClose(state, next);
                lock.lock();
                state.closeWorkerBusy = false;
                state.deferredWork.notify_all();
            }
        });
    }
    state.deferredWork.notify_all();
}

}  // namespace io

NTSTATUS IoManager::OpenFile(std::u16string_view userName, ULONG desiredAccess,
                             ULONG shareAccess, bool overlapped, void **handle)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "CreateFileW");
    *handle = nullptr;
    auto file = std::make_shared<FileRecord>();
    {
        std::unique_lock lock(state_->mutex);
        // On the platform the last reference to a file object sends its close at once, in
        // the thread that lets it go; here the close worker sends it. An open waits for
        // those closes, so that it finds an exclusive device as the platform would.
        state_->deferredWork.wait(lock, [&] {
            return state_->deferredCloses.empty() && !state_->closeWorkerBusy;
        });
        std::u16string rest;
        DeviceRecord *device = ResolveUserName(*state_, userName, &rest);
        if (device == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        const ULONG flags = ReadDeviceFlagsUnlocked(device->object);
        if ((flags & DO_DEVICE_INITIALIZING) != 0)
            return STATUS_NO_SUCH_DEVICE;
        if ((flags & DO_EXCLUSIVE) != 0 && device->fileObjects != 0)
            return STATUS_ACCESS_DENIED;

        size_t objectBytes = RoundUp16(sizeof(FILE_OBJECT));
        file->block = Block(objectBytes + (rest.size() + 1) * sizeof(char16_t));
        auto base = static_cast<std::byte *>(file->block.data());
        auto object = reinterpret_cast<PFILE_OBJECT>(base);
        auto name = reinterpret_cast<char16_t *>(base + objectBytes);
        std::copy(rest.begin(), rest.end(), name);
        object->Type = kTypeFile;
        object->Size = sizeof(FILE_OBJECT);
        object->DeviceObject = device->object;
        object->Flags = overlapped ? 0 : kFoSynchronousIo;
        object->ReadAccess = (desiredAccess & (GENERIC_READ | FILE_READ_DATA)) != 0;
        object->WriteAccess = (desiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
        object->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
        object->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
        object->SharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;
        object->FileName.Buffer = name;
        object->FileName.Length = static_cast<USHORT>(rest.size() * sizeof(char16_t));
        object->FileName.MaximumLength = static_cast<USHORT>(object->FileName.Length + 2);
        InitializeListHead(&object->Lock.Header.WaitListHead);
        InitializeListHead(&object->Event.Header.WaitListHead);
        file->object = object;
        file->device = device;
        file->overlapped = overlapped;
        device->fileObjects++;
        state_->files.emplace(object, file);
    }

    auto record = BuildIrp(*state_, file, IRP_MJ_CREATE);
    auto &create = record->stack->Parameters.Create;
    create.Options = (FILE_OPEN << 24) | (overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    create.ShareAccess = static_cast<USHORT>(shareAccess);
    create.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    IrpRecord *raw = RegisterIrp(*state_, std::move(record));
    IoResult result = FinishIrp(*state_, raw, DispatchIrp(*state_, raw), false);

    std::lock_guard lock(state_->mutex);
    if (!NT_SUCCESS(result.status)) {
        // A refused open leaves no file object behind: no cleanup, no close.
        file->closed = true;
        file->device->fileObjects--;
        RetireDeviceIfUnreferenced(*state_, file->device);
        state_->files.erase(file->object);
        state_->fileQuarantine.Add(std::move(file->block));
        return result.status;
    }
    file->handles = 1;
    file->device->handles++;
    uintptr_t value = state_->nextHandle;
    state_->nextHandle += 4;
    state_->handles[value] = HandleEntry{file, nullptr};
    *handle = reinterpret_cast<void *>(value);
    return result.status;
}

bool IoManager::CloseUserHandle(void *handle)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "CloseHandle");
    std::shared_ptr<FileRecord> file;
    {
        std::lock_guard lock(state_->mutex);
        auto it = state_->handles.find(reinterpret_cast<uintptr_t>(handle));
        if (it == state_->handles.end())
            return false;
        file = it->second.file;
        state_->handles.erase(it);
        if (file == nullptr)
            return true;   // an event
        file->device->handles--;
        if (--file->handles != 0)
            return true;
    }

    IrpRecord *record = RegisterIrp(*state_, BuildIrp(*state_, file, IRP_MJ_CLEANUP));
    FinishIrp(*state_, record, DispatchIrp(*state_, record), false);
    bool closeNow = false;
    {
        std::lock_guard lock(state_->mutex);
        file->cleanupDone = true;
        if (file->outstanding == 0 && !file->closeScheduled) {
            file->closeScheduled = true;
            closeNow = true;
        }
    }
    // A request still outstanding keeps the file object: its completion sends the close.
    if (closeNow)
        SendClose(*state_, file);
    return true;
}

bool IoManager::IsOverlappedHandle(void *handle) const
{
    std::lock_guard lock(state_->mutex);
    auto it = state_->handles.find(reinterpret_cast<uintptr_t>(handle));
    return it != state_->handles.end() && it->second.file != nullptr && it->second.file->overlapped;
}

}  // namespace sim
