//
// bind.cpp - the NDIS bind handler: one adapter device, its names and context, and the
// NDIS open of the adapter.
//
#include "core/krvdlc.h"

// Characters of "\Device\" that the device name of an adapter loses.
#define DEVICE_PREFIX_CHARS 8

//
// FormatName - allocates Bytes of nonpaged pool, prints Format with Argument into it
// and makes Name a counted string over it. PASSIVE_LEVEL. Returns FALSE, with Name
// untouched, when there is no pool; otherwise the caller owns Name.Buffer.
//
static BOOLEAN FormatName(PUNICODE_STRING Name, ULONG Bytes, PCWSTR Format, PCWSTR Argument)
{
    PWSTR Buffer = (PWSTR)KrvAllocatePool(NonPagedPool, Bytes);
    if (Buffer == nullptr)
        return FALSE;
    swprintf(Buffer, Format, Argument);
    RtlInitUnicodeString(Name, Buffer);
    return TRUE;
}

//
// KrvDlcBindAdapter - binds the protocol to the adapter NDIS names in DeviceName
// (\Device\{X}). PASSIVE_LEVEL; waits for a pending open. On success the adapter device
// \Device\KrvDlc_{X} with its link \DosDevices\KrvDlc_{X} exists, its context (the
// device extension) owns the link and file names, the packet pool and the NDIS binding,
// and is on AdapterList; KrvDlcUnbindAdapter releases them. On failure everything made
// here is released again. Never pends.
//
VOID NTAPI KrvDlcBindAdapter(PNDIS_STATUS Status, NDIS_HANDLE BindContext,
                             PNDIS_STRING DeviceName, PVOID SystemSpecific1,
                             PVOID SystemSpecific2)
{
    (void)BindContext;
    (void)SystemSpecific1;
    (void)SystemSpecific2;

    UNICODE_STRING ExportedName = {0, 0, nullptr};   // \Device\KrvDlc_{X}
    PDEVICE_OBJECT Device = nullptr;
    PADAPTER_CONTEXT Adapter = nullptr;
    BOOLEAN LinkCreated = FALSE;
    NTSTATUS NtStatus;
    NDIS_STATUS OpenErrorStatus;
    NDIS_STATUS PoolStatus;
    UINT SelectedMedium = 0;
    NDIS_MEDIUM MediumArray[2] = {NdisMedium802_3, NdisMedium802_5};
    NDIS_STRING InstanceName = {0, 0, nullptr};
    KIRQL OldIrql;

    if (TRACE_ON(4)) TraceWString(4, "Binding DeviceName: ", DeviceName->Buffer);

    // The NDIS name loses its first characters by count. A name shorter than that (NDIS
    // gives none) loses only what it has, so the format never reads past it; the buffer
    // holds exactly the result and its terminator.
    ULONG NameChars = DeviceName->Length / sizeof(WCHAR);
    ULONG Skip = NameChars < DEVICE_PREFIX_CHARS ? NameChars : DEVICE_PREFIX_CHARS;
    ULONG DeviceNameBytes = (ULONG)DeviceName->Length - Skip * sizeof(WCHAR) + 32;
    if (!FormatName(&ExportedName, DeviceNameBytes, u"\\Device\\KrvDlc_%ws",
                    DeviceName->Buffer + Skip)) {
        if (TRACE_ON(1)) TraceMessage(1, "** Memory allocation for device name string failed\n");
        LogSystemError(LOG_ERROR, "** Memory allocation for device name string failed\n",
                       nullptr, 0);
        *Status = NDIS_STATUS_FAILURE;
        goto Failed;
    }
    if (TRACE_ON(4)) TraceWString(4, "Exported DeviceName: ", ExportedName.Buffer);

    NtStatus = IoCreateDevice(DriverObject, sizeof(ADAPTER_CONTEXT), &ExportedName,
                              KRVDLC_DEVICE_TYPE, 0, TRUE, &Device);
    if (!NT_SUCCESS(NtStatus)) {
        Device = nullptr;
        if (TRACE_ON(1)) TraceLong(1, "** IoCreateDevice failed. Status = ", (ULONG)NtStatus, 16);
        LogSystemError(LOG_ERROR, "** IoCreateDevice failed. Status = ", &NtStatus,
                       sizeof(ULONG));
        *Status = NDIS_STATUS_FAILURE;
        goto Failed;
    }
    Device->Flags |= DO_DIRECT_IO;
    Adapter = (PADAPTER_CONTEXT)Device->DeviceExtension;
    Adapter->DeviceObject = Device;

    // Both names carry KrvDlc_{X}, the device name less "\Device\".
    if (!FormatName(&Adapter->SymbolicLink, (ULONG)ExportedName.Length + 10, u"\\DosDevices\\%ws",
                    ExportedName.Buffer + DEVICE_PREFIX_CHARS)) {
        if (TRACE_ON(1)) TraceMessage(1, "** Memory allocation for symbolicLink failed\n");
        LogSystemError(LOG_ERROR, "** Memory allocation for symbolicLink failed\n", nullptr, 0);
        *Status = NDIS_STATUS_FAILURE;
        goto Failed;
    }
    if (TRACE_ON(4)) TraceWString(4, "Symbolic Link: ", Adapter->SymbolicLink.Buffer);

    if (!FormatName(&Adapter->FileName, (ULONG)ExportedName.Length + 2, u"\\\\.\\%ws",
                    ExportedName.Buffer + DEVICE_PREFIX_CHARS)) {
        if (TRACE_ON(1)) TraceMessage(1, "** Memory allocation for fileName failed\n");
        LogSystemError(LOG_ERROR, "** Memory allocation for fileName failed\n", nullptr, 0);
        *Status = NDIS_STATUS_FAILURE;
        goto Failed;
    }
    if (TRACE_ON(4)) TraceWString(4, "FileName is: ", Adapter->FileName.Buffer);

    NtStatus = IoCreateSymbolicLink(&Adapter->SymbolicLink, &ExportedName);
    if (!NT_SUCCESS(NtStatus)) {
        if (TRACE_ON(1))
            TraceLong(1, "** IoCreateSymbolicLink failed.  Status = ", (ULONG)NtStatus, 16);
        LogSystemError(LOG_ERROR, "** IoCreateSymbolicLink failed.  Status = ", &NtStatus,
                       sizeof(ULONG));
        *Status = NDIS_STATUS_FAILURE;
        goto Failed;
    }
    LinkCreated = TRUE;
    ExFreePool(ExportedName.Buffer);
    ExportedName.Buffer = nullptr;

    NdisAllocatePacketPool(&PoolStatus, &Adapter->PacketPool, ADAPTER_PACKET_POOL_SIZE,
                           sizeof(PACKET_RESERVED));
    if (PoolStatus != NDIS_STATUS_SUCCESS) {
        Adapter->PacketPool = nullptr;
        if (TRACE_ON(1)) TraceMessage(1, "** Failed to allocate packet pool\n");
        LogSystemError(LOG_ERROR, "** Failed to allocate packet pool\n", nullptr, 0);
        *Status = NDIS_STATUS_FAILURE;
        goto Failed;
    }

    // NDIS may call the driver's handlers for this binding as soon as the open
    // completes, so every lock, list and event of the context is ready before it. Only a
    // waiter relies on CleanupEvent, and it brings the event in line itself.
    NdisInitializeEvent(&Adapter->CompletionEvent);
    InitializeListHead(&Adapter->ResetList);
    KeInitializeSpinLock(&Adapter->ResetListLock);
    KeInitializeSpinLock(&Adapter->RxQueueLock);
    InitializeListHead(&Adapter->RxQueue);
    KeInitializeSpinLock(&Adapter->ReadLock);
    KeInitializeSpinLock(&Adapter->IrpCountLock);
    WriteNoFence(&Adapter->IrpCount, 0);
    WriteNoFence(&Adapter->CleanupWaiters, 0);
    WriteNoFence(&Adapter->RxQueueCount, 0);
    WriteNoFence(&Adapter->PendingReadIrp, (PIRP)nullptr);
    NdisInitializeEvent(&Adapter->CleanupEvent);
    NdisSetEvent(&Adapter->CleanupEvent);

    NdisOpenAdapter(Status, &OpenErrorStatus, &Adapter->BindingHandle, &SelectedMedium,
                    MediumArray, 2, ProtocolHandle, Adapter, DeviceName, 0, nullptr);
    if (*Status == NDIS_STATUS_PENDING) {
        // Without time-out: the open-complete handler is always called.
        NdisWaitEvent(&Adapter->CompletionEvent, 0);
        *Status = Adapter->CompletionStatus;
    }
    if (*Status != NDIS_STATUS_SUCCESS) {
        Adapter->BindingHandle = nullptr;
        if (TRACE_ON(1)) TraceMessage(1, "** Failed to open adapter\n");
        LogSystemError(LOG_ERROR, "** Failed to open adapter\n", nullptr, 0);
        goto Failed;
    }

    // The receive handlers classify by Medium as soon as they see Bound: the medium is
    // stored first, and the interlocked exchange orders the two for them.
    Adapter->Medium = MediumArray[SelectedMedium];
    InterlockedExchange(&Adapter->Bound, 1);

    // An adapter without an instance name is listed with an empty one. The device can
    // already be opened, and an open reads the name under IrpCountLock: it is put into
    // the context under that lock.
    NdisQueryAdapterInstanceName(&InstanceName, Adapter->BindingHandle);
    OldIrql = KfAcquireSpinLock(&Adapter->IrpCountLock);
    Adapter->AdapterName = InstanceName;
    KfReleaseSpinLock(&Adapter->IrpCountLock, OldIrql);
    if (TRACE_ON(4))
        TraceWString(4, "Bound AdapterName: ",
                     Adapter->AdapterName.Buffer != nullptr ? Adapter->AdapterName.Buffer : u"");

    if (Adapter->Medium == NdisMedium802_3) {
        if (TRACE_ON(4)) TraceMessage(4, "Medium used by adapter is Ethernet (802.3)\n");
    } else if (Adapter->Medium == NdisMedium802_5) {
        if (TRACE_ON(4)) TraceMessage(4, "Medium used by adapter is Token Ring (802.5)\n");
    } else {
        if (TRACE_ON(4))
            TraceLong(4, "Medium used by adapter is ", (ULONG)Adapter->Medium, 10);
    }

    InitializeListHead(&Adapter->AdapterLink);
    ExInterlockedInsertTailList(&AdapterList, &Adapter->AdapterLink, &AdapterListLock);

    // Openable only now that it is on the list.
    Device->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    *Status = NDIS_STATUS_SUCCESS;
    goto Done;

Failed:
    // Released in reverse order; the device goes last, after the strings its context
    // holds. Nothing is on AdapterList yet.
    if (Adapter != nullptr) {
        if (Adapter->PacketPool != nullptr) {
            NdisFreePacketPool(Adapter->PacketPool);
            Adapter->PacketPool = nullptr;
        }
        if (LinkCreated)
            IoDeleteSymbolicLink(&Adapter->SymbolicLink);
        if (Adapter->FileName.Buffer != nullptr) {
            ExFreePool(Adapter->FileName.Buffer);
            Adapter->FileName.Buffer = nullptr;
        }
        if (Adapter->SymbolicLink.Buffer != nullptr) {
            ExFreePool(Adapter->SymbolicLink.Buffer);
            Adapter->SymbolicLink.Buffer = nullptr;
        }
    }
    if (ExportedName.Buffer != nullptr)
        ExFreePool(ExportedName.Buffer);
    if (Device != nullptr)
        IoDeleteDevice(Device);

Done:
    if (TRACE_ON(5))
        TraceLong(5, "Returning from KrvDlcBindAdapter with status = ", (ULONG)*Status, 16);
}
