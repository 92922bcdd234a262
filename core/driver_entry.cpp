//
// driver_entry.cpp - start of the driver: registry path, tracing, the control device,
// protocol registration with NDIS and the dispatch routines.
//
#include "core/krvdlc.h"

#if defined(__i386__)
static_assert(sizeof(NDIS_PROTOCOL_CHARACTERISTICS) == 108, "NDIS 5.0 protocol characteristics");
#endif

//
// FillProtocolCharacteristics - the NDIS 5.0 handler table of the protocol KRVDLC.
// Every field not named here stays zero: no flags, no unload handler (the I/O manager's
// unload routine takes the driver down), no reserved or connection-oriented handlers.
//
static VOID FillProtocolCharacteristics(PNDIS_PROTOCOL_CHARACTERISTICS Characteristics)
{
    RtlZeroMemory(Characteristics, sizeof(NDIS_PROTOCOL_CHARACTERISTICS));
    Characteristics->MajorNdisVersion = 5;
    Characteristics->MinorNdisVersion = 0;
    RtlInitUnicodeString(&Characteristics->Name, u"KRVDLC");
    Characteristics->OpenAdapterCompleteHandler = OpenAdapterComplete;
    Characteristics->CloseAdapterCompleteHandler = CloseAdapterComplete;
    Characteristics->SendCompleteHandler = SendComplete;
    Characteristics->TransferDataCompleteHandler = KrvDlcTransferDataComplete;
    Characteristics->ResetCompleteHandler = KrvDlcResetComplete;
    Characteristics->RequestCompleteHandler = RequestCompleteHandler;
    Characteristics->ReceiveHandler = KrvDlcReceive;
    Characteristics->ReceiveCompleteHandler = KrvDlcReceiveComplete;
    Characteristics->StatusHandler = KrvDlcStatus;
    Characteristics->StatusCompleteHandler = KrvDlcStatusComplete;
    Characteristics->ReceivePacketHandler = KrvDlcReceivePacket;
    Characteristics->BindAdapterHandler = KrvDlcBindAdapter;
    Characteristics->UnbindAdapterHandler = KrvDlcUnbindAdapter;
    Characteristics->PnPEventHandler = KrvDlcPNPHandler;
    Characteristics->UnloadHandler = nullptr;
}

//
// DriverEntry - brings the driver up. PASSIVE_LEVEL, system thread. On success the
// driver owns RegistryPath's buffer, the control device with its link and the protocol
// registration until KrvDlcUnload; on failure everything it made is undone before it
// returns, the trace thread included.
//
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    NTSTATUS Status;
    NDIS_STATUS RegisterStatus;
    PDEVICE_OBJECT ControlDevice = nullptr;
    BOOLEAN LinkCreated = FALSE;
    UNICODE_STRING DeviceName;
    UNICODE_STRING LinkName;
    NDIS_PROTOCOL_CHARACTERISTICS Characteristics;

    DriverObject = pDriverObject;
    WriteNoFence(&BindsComplete, 0);
    WriteNoFence(&TraceInitialized, (BOOLEAN)FALSE);
    WriteNoFence(&TraceLevel, (ULONG)0xFF);

    // The copy ends in a null character: the trace set-up opens the service key by it.
    ULONG PathBytes = (ULONG)pRegistryPath->Length + sizeof(WCHAR);
    RegistryPath.Buffer = (PWSTR)KrvAllocatePool(PagedPool, PathBytes);
    if (RegistryPath.Buffer == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: Couldn't allocate pool for registry path.\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RegistryPath.Length = 0;
    RegistryPath.MaximumLength = (USHORT)PathBytes;
    RtlCopyUnicodeString(&RegistryPath, pRegistryPath);

    RtlInitUnicodeString(&DeviceName, u"\\Device\\KRVDLC");
    RtlInitUnicodeString(&LinkName, u"\\DosDevices\\KRVDLC");

    TraceInitialize();
    TraceTimeStamp();

    if (TRACE_ON(4)) TraceMessage(4, "DriverEntry\n");
    // The build lines identify the image in a trace file; they come from the compiler.
    if (TRACE_ON(4)) TraceString(4, "Build Date = ", __DATE__);
    if (TRACE_ON(4)) TraceString(4, "Build Time = ", __TIME__);
    if (TRACE_ON(4)) TraceMessage(4, "=== Free build ===\n");
    if (TRACE_ON(4)) TraceWString(4, "RegistryPath = ", RegistryPath.Buffer);
    if (TRACE_ON(4)) TraceMessage(4, "Creating the driver control device object...\n");

    Status = IoCreateDevice(pDriverObject, 0, &DeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &ControlDevice);
    if (!NT_SUCCESS(Status)) {
        ControlDevice = nullptr;
        if (TRACE_ON(1)) TraceMessage(1, "** IoCreateDevice Failed.\n");
        LogSystemError(LOG_ERROR, "** IoCreateDevice Failed.\n", nullptr, 0);
        goto Failed;
    }

    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        if (TRACE_ON(1)) TraceMessage(1, "** IoCreateSymbolicLink Failed.\n");
        LogSystemError(LOG_ERROR, "** IoCreateSymbolicLink Failed.\n", nullptr, 0);
        goto Failed;
    }
    LinkCreated = TRUE;

    ControlDevice->Flags |= DO_BUFFERED_IO;
    ControlDeviceObject = ControlDevice;
    InitializeListHead(&AdapterList);
    KeInitializeSpinLock(&AdapterListLock);
    // NDIS may report binds complete while the protocol is being registered; parking an
    // enumeration and releasing it go through EnumLock, so it exists before that.
    WriteNoFence(&PendingEnumIrp, (PIRP)nullptr);
    KeInitializeSpinLock(&EnumLock);

    // Zero-filled and registered with its full NDIS 5.0 length.
    FillProtocolCharacteristics(&Characteristics);
    NdisRegisterProtocol(&RegisterStatus, &ProtocolHandle, &Characteristics,
                         sizeof(NDIS_PROTOCOL_CHARACTERISTICS));
    if (RegisterStatus != NDIS_STATUS_SUCCESS) {
        if (TRACE_ON(1)) TraceMessage(1, "** Failed to register protocol with NDIS\n");
        LogSystemError(LOG_ERROR, "** Failed to register protocol with NDIS\n", nullptr, 0);
        Status = STATUS_UNSUCCESSFUL;
        goto Failed;
    }
    if (TRACE_ON(4)) TraceMessage(4, "Successfully registered DLC protocol with NDIS\n");

    // Only now that NDIS knows the protocol may user mode reach the driver.
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = KrvDlcOpen;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = KrvDlcClose;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = KrvDlcCleanup;
    pDriverObject->MajorFunction[IRP_MJ_READ] = KrvDlcRead;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = KrvDlcWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KrvDlcIoControl;
    pDriverObject->DriverUnload = KrvDlcUnload;

    LogSystemEvent(EVENT_DRIVER_STARTED, nullptr, nullptr, 0);
    if (TRACE_ON(5)) TraceMessage(5, "Returning from DriverEntry\n");
    return STATUS_SUCCESS;

Failed:
    // The failed start leaves nothing behind: device, then link (only if made), the
    // registry path copy and the trace thread.
    LogSystemEvent(EVENT_DRIVER_FAILED, nullptr, nullptr, 0);
    if (TRACE_ON(1)) TraceMessage(1, "** Error detected in DriverEntry\n");
    LogSystemError(LOG_ERROR, "** Error detected in DriverEntry\n", nullptr, 0);
    if (ControlDevice != nullptr) {
        IoDeleteDevice(ControlDevice);
        ControlDeviceObject = nullptr;
    }
    if (LinkCreated)
        IoDeleteSymbolicLink(&LinkName);
    ExFreePool(RegistryPath.Buffer);
    RegistryPath.Buffer = nullptr;
    RegistryPath.Length = 0;
    RegistryPath.MaximumLength = 0;
    TraceFinalize();
    return Status;
}
