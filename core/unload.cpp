//
// unload.cpp - the driver's unload routine.
//
#include "core/krvdlc.h"

//
// KrvDlcUnload - takes the driver down. PASSIVE_LEVEL, system thread; the I/O manager
// calls it only when no handle to any of the driver's devices is open. Deletes the
// control device and its link, unbinds every adapter still bound (each unbind deletes
// its device), frees RegistryPath's buffer, deregisters the protocol and stops tracing.
//
VOID NTAPI KrvDlcUnload(PDRIVER_OBJECT pDriverObject)
{
    UNICODE_STRING LinkName;
    NDIS_STATUS Status;

    if (TRACE_ON(5)) TraceMessage(5, "KrvDlcUnload Enter\n");

    RtlInitUnicodeString(&LinkName, u"\\DosDevices\\KRVDLC");
    IoDeleteSymbolicLink(&LinkName);

    if (ControlDeviceObject != nullptr) {
        IoDeleteDevice(ControlDeviceObject);
        ControlDeviceObject = nullptr;
    }

    // Only adapter devices are left on the driver object; each unbind deletes the first.
    while (pDriverObject->DeviceObject != nullptr) {
        KrvDlcUnbindAdapter(&Status, pDriverObject->DeviceObject->DeviceExtension, nullptr);
    }

    ExFreePool(RegistryPath.Buffer);
    RegistryPath.Buffer = nullptr;
    RegistryPath.Length = 0;
    RegistryPath.MaximumLength = 0;

    if (TRACE_ON(4)) TraceMessage(4, "Deregistering protocol\n");
    NdisDeregisterProtocol(&Status, ProtocolHandle);

    if (TRACE_ON(5)) TraceMessage(5, "KrvDlcUnload Exit\n");
    TraceTimeStamp();
    TraceFinalize();

    // The shutdown entry is the very last thing the driver does.
    LogSystemEvent(EVENT_DRIVER_SHUTDOWN, nullptr, nullptr, 0);
}
