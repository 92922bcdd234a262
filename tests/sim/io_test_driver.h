// io_test_driver.h - a tiny driver for the I/O manager's tests: three devices (buffered,
// direct and neither I/O), requests that it completes at once, holds for the test or gets
// wrong on purpose (one device-control code per verifier rule). Its state lives in the
// device extensions, its variants are separate entry routines.
#pragma once

#include "sim/driver_loader.h"
#include "sim/io_manager.h"
#include "sim/irql.h"
#include "sim/win32.h"

#include <cstring>
#include <string>
#include <thread>

namespace iotest {

constexpr ULONG Code(ULONG function, ULONG method)
{
    return CTL_CODE(0x8001u, function, method, FILE_ANY_ACCESS);
}
constexpr ULONG kNeither = Code(2, METHOD_NEITHER);           // output = input + 1 per byte
constexpr ULONG kCompleteWith = Code(3, METHOD_BUFFERED);     // input: NTSTATUS, information
constexpr ULONG kHold = Code(4, METHOD_BUFFERED);             // pends, cancellable
constexpr ULONG kCompleteTwice = Code(10, METHOD_BUFFERED);
constexpr ULONG kCompleteWithCancelRoutine = Code(11, METHOD_BUFFERED);
constexpr ULONG kPendUnmarked = Code(12, METHOD_BUFFERED);
constexpr ULONG kTouchAfterCompletion = Code(13, METHOD_BUFFERED);
constexpr ULONG kCompletePending = Code(14, METHOD_BUFFERED);
constexpr ULONG kHoldKeepingCancelLock = Code(15, METHOD_BUFFERED);
constexpr ULONG kReturnOtherStatus = Code(16, METHOD_BUFFERED);
constexpr ULONG kReturnUncompleted = Code(17, METHOD_BUFFERED);

constexpr int kLogSize = 16;
constexpr ULONG kTestTag = 0x74736554;   // "Test": pool the tests allocate themselves

struct Extension {
    PIRP volatile held;          // the request the test completes or cancels
    UCHAR log[kLogSize];         // major functions in the order they arrived
    LONG logged;
    PMDL lastMdl;                // MdlAddress of the last read or write
    ULONG lastMdlFlags;
    PVOID lastMappedVa;
    UCHAR written[64];           // data of the last write
    ULONG writtenLength;
};

inline Extension *Ext(PDEVICE_OBJECT device)
{
    return static_cast<Extension *>(device->DeviceExtension);
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline VOID NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PIRP expected = irp;
    __atomic_compare_exchange_n(&Ext(device)->held, &expected, nullptr, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    Complete(irp, STATUS_CANCELLED, 0);
}

inline VOID NTAPI CancelKeepingLock(PDEVICE_OBJECT device, PIRP irp)
{
    Ext(device)->held = nullptr;
    Complete(irp, STATUS_CANCELLED, 0);   // and the cancel spin lock stays held
}

inline NTSTATUS Hold(PDEVICE_OBJECT device, PIRP irp, PDRIVER_CANCEL cancel)
{
    IoMarkIrpPending(irp);
    Ext(device)->held = irp;
    IoSetCancelRoutine(irp, cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Ext(device)->held = nullptr;
        Complete(irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

// What a DPC of the driver would do: completes the held request unless its cancellation
// already owns it. At DISPATCH_LEVEL on a thread of its own.
inline void CompleteHeld(PDEVICE_OBJECT device, NTSTATUS status, ULONG_PTR information)
{
    std::thread([=] {
        sim::IrqlScope dpc(DISPATCH_LEVEL);
        PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(
            reinterpret_cast<PVOID volatile *>(&Ext(device)->held), nullptr));
        if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr)
            Complete(irp, status, information);
    }).join();
}

inline NTSTATUS NTAPI Logged(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = Ext(device);
    LONG slot = InterlockedIncrement(&ext->logged) - 1;
    if (slot < kLogSize)
        ext->log[slot] = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    return Complete(irp, STATUS_SUCCESS, 0);
}

inline NTSTATUS NTAPI Read(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = Ext(device);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ext->lastMdl = irp->MdlAddress;
    if (device->Flags & DO_BUFFERED_IO)
        return Hold(device, irp, CancelHeld);
    UCHAR *data = static_cast<UCHAR *>(irp->UserBuffer);
    if (irp->MdlAddress != nullptr) {
        ext->lastMdlFlags = static_cast<USHORT>(irp->MdlAddress->MdlFlags);
        ext->lastMappedVa = irp->MdlAddress->MappedSystemVa;
        data = static_cast<UCHAR *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        if (data == nullptr)
            return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    for (ULONG i = 0; i < length; ++i)
        data[i] = static_cast<UCHAR>(i ^ 0x5A);
    return Complete(irp, STATUS_SUCCESS, length);
}

inline NTSTATUS NTAPI Write(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = Ext(device);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    ext->lastMdl = irp->MdlAddress;
    const void *data = irp->UserBuffer;
    if (device->Flags & DO_BUFFERED_IO)
        data = irp->AssociatedIrp.SystemBuffer;
    else if (irp->MdlAddress != nullptr)
        data = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    ext->writtenLength = length < sizeof ext->written ? length : sizeof ext->written;
    if (ext->writtenLength != 0)
        std::memcpy(ext->written, data, ext->writtenLength);
    return Complete(irp, STATUS_SUCCESS, length);
}

inline NTSTATUS NTAPI Control(PDEVICE_OBJECT device, PIRP irp)
{
    auto &parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    ULONG in = parameters.InputBufferLength;
    auto buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    switch (parameters.IoControlCode) {
    case kNeither: {
        auto input = static_cast<const UCHAR *>(parameters.Type3InputBuffer);
        auto output = static_cast<UCHAR *>(irp->UserBuffer);
        for (ULONG i = 0; i < in; ++i)
            output[i] = static_cast<UCHAR>(input[i] + 1);
        return Complete(irp, STATUS_SUCCESS, in);
    }
    case kCompleteWith: {
        NTSTATUS status;
        ULONG information;
        std::memcpy(&status, buffer, 4);
        std::memcpy(&information, buffer + 4, 4);
        return Complete(irp, status, information);
    }
    case kHold:
        return Hold(device, irp, CancelHeld);
    case kHoldKeepingCancelLock:
        return Hold(device, irp, CancelKeepingLock);
    case kCompleteTwice:
        Complete(irp, STATUS_SUCCESS, 0);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case kCompleteWithCancelRoutine:
        IoSetCancelRoutine(irp, CancelHeld);
        return Complete(irp, STATUS_SUCCESS, 0);
    case kPendUnmarked:
        Ext(device)->held = irp;
        return STATUS_PENDING;
    case kTouchAfterCompletion:
        Complete(irp, STATUS_SUCCESS, 0);
        irp->IoStatus.Information = 1;
        return STATUS_SUCCESS;
    case kCompletePending:
        IoMarkIrpPending(irp);
        Complete(irp, STATUS_PENDING, 0);
        return STATUS_PENDING;
    case kReturnOtherStatus:
        Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return STATUS_SUCCESS;
    case kReturnUncompleted:
        return STATUS_SUCCESS;
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

struct DeviceLayout {
    const char16_t *name;
    const char16_t *link;
    ULONG ioFlag;
    BOOLEAN exclusive;
};

constexpr DeviceLayout kDevices[] = {
    {u"\\Device\\IoBuffered", u"\\DosDevices\\IoBuffered", DO_BUFFERED_IO, FALSE},
    {u"\\Device\\IoDirect", u"\\??\\IoDirect", DO_DIRECT_IO, TRUE},
    {u"\\Device\\IoNeither", u"\\DosDevices\\IoNeither", 0, FALSE},
};

inline UNICODE_STRING Name(const char16_t *text)
{
    auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(WCHAR));
    return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(WCHAR)), const_cast<PWSTR>(text)};
}

inline VOID NTAPI UnloadForgettingDevices(PDRIVER_OBJECT)
{
    for (const auto &layout : kDevices) {
        UNICODE_STRING link = Name(layout.link);
        IoDeleteSymbolicLink(&link);
    }
}

inline VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    UnloadForgettingDevices(driver);
    while (driver->DeviceObject != nullptr)
        IoDeleteDevice(driver->DeviceObject);
}

inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    for (const auto &layout : kDevices) {
        UNICODE_STRING name = Name(layout.name);
        UNICODE_STRING link = Name(layout.link);
        PDEVICE_OBJECT device;
        NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0,
                                         layout.exclusive, &device);
        if (NT_SUCCESS(status))
            status = IoCreateSymbolicLink(&link, &name);
        if (!NT_SUCCESS(status)) {
            Unload(driver);
            return status;
        }
        device->Flags |= layout.ioFlag;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = Logged;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Logged;
    driver->MajorFunction[IRP_MJ_CLOSE] = Logged;
    driver->MajorFunction[IRP_MJ_READ] = Read;
    driver->MajorFunction[IRP_MJ_WRITE] = Write;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI EntryWithSloppyUnload(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status = Entry(driver, registryPath);
    driver->DriverUnload = UnloadForgettingDevices;
    return status;
}

// Fails after creating a device it does not delete.
inline NTSTATUS NTAPI EntryFailingSloppily(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    UNICODE_STRING name = Name(u"\\Device\\IoLeft");
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    return STATUS_UNSUCCESSFUL;
}

constexpr const char16_t *kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\IoTest";

// Opens a device of the test driver by its user-mode name.
inline sim::win32::HANDLE Open(const char16_t *userName, bool overlapped = false)
{
    return sim::win32::CreateFileW(userName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   sim::win32::OPEN_EXISTING,
                                   overlapped ? sim::win32::FILE_FLAG_OVERLAPPED : 0, nullptr);
}

}  // namespace iotest
