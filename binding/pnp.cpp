//
// pnp.cpp - NDIS plug-and-play and power events.
//
#include "core/krvdlc.h"

//
// ReleaseParkedEnumeration - NetEventBindsComplete: raises BindsComplete and answers
// the enumeration request parked until now, if there is one. PASSIVE_LEVEL.
//
static VOID ReleaseParkedEnumeration(VOID)
{
    // Taking the parked request and raising the flag are one step under EnumLock, so
    // an enumeration either was parked before or sees the flag and is answered at once.
    KIRQL OldIrql = KfAcquireSpinLock(&EnumLock);
    PIRP Irp = PendingEnumIrp;
    if (Irp != nullptr) {
        // A request whose cancel routine is already running stays parked; the cancel
        // routine takes it back and completes it.
        if (IoSetCancelRoutine(Irp, nullptr) == nullptr)
            Irp = nullptr;
        else
            PendingEnumIrp = nullptr;
    }
    InterlockedExchange(&BindsComplete, 1);
    KfReleaseSpinLock(&EnumLock, OldIrql);

    if (Irp == nullptr)
        return;

    // Completed outside the lock.
    if (TRACE_ON(4)) TraceMessage(4, "Processing pending request to enumerate adapters. \n");
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG DataLength = 0;
    NTSTATUS Status =
        KrvDlcGetAdapterList(Irp->AssociatedIrp.SystemBuffer,
                             Stack->Parameters.DeviceIoControl.OutputBufferLength, &DataLength);
    KrvDlcCompleteIrp(Irp, Status, DataLength);
}

//
// KrvDlcPNPHandler - answers NDIS's plug-and-play and power events; the same for events
// of a binding and global ones. PASSIVE_LEVEL. Only full power is accepted; events the
// driver does not handle get NDIS_STATUS_NOT_SUPPORTED.
//
NDIS_STATUS NTAPI KrvDlcPNPHandler(NDIS_HANDLE ProtocolBindingContext, PNET_PNP_EVENT NetPnPEvent)
{
    (void)ProtocolBindingContext;
    NDIS_STATUS Status;

    if (TRACE_ON(5)) TraceMessage(5, "Entering KrvDlcPNPHandler\n");

    // NDIS may pass codes beyond those the enumeration names: the raw 32-bit value is
    // read, never the enumeration itself.
    ULONG Code;
    RtlCopyMemory(&Code, &NetPnPEvent->NetEvent, sizeof(ULONG));
    switch (Code) {
    case NetEventSetPower: {
        if (TRACE_ON(4)) TraceMessage(4, "NetEventSetPower\n");
        // A missing or short power-state buffer is no request for full power.
        ULONG PowerState = NdisDeviceStateUnspecified;
        if (NetPnPEvent->Buffer != nullptr && NetPnPEvent->BufferLength >= sizeof(ULONG))
            RtlCopyMemory(&PowerState, NetPnPEvent->Buffer, sizeof(ULONG));
        Status = (PowerState == NdisDeviceStateD0) ? NDIS_STATUS_SUCCESS
                                                   : NDIS_STATUS_NOT_SUPPORTED;
        break;
    }
    case NetEventQueryPower:
        if (TRACE_ON(4)) TraceMessage(4, "NetEventQueryPower\n");
        Status = NDIS_STATUS_SUCCESS;
        break;
    case NetEventQueryRemoveDevice:
        if (TRACE_ON(4)) TraceMessage(4, "NetEventQueryRemoveDevice \n");
        Status = NDIS_STATUS_SUCCESS;
        break;
    case NetEventCancelRemoveDevice:
        if (TRACE_ON(4)) TraceMessage(4, "NetEventCancelRemoveDevice \n");
        Status = NDIS_STATUS_SUCCESS;
        break;
    case NetEventReconfigure:
        if (TRACE_ON(4)) TraceMessage(4, "NetEventReconfigure\n");
        Status = NDIS_STATUS_SUCCESS;
        break;
    case NetEventBindList:
        if (TRACE_ON(4)) TraceMessage(4, "NetEventBindList not supported\n");
        Status = NDIS_STATUS_NOT_SUPPORTED;
        break;
    case NetEventBindsComplete:
        ReleaseParkedEnumeration();
        if (TRACE_ON(4)) TraceMessage(4, "NetEventBindsComplete \n");
        Status = NDIS_STATUS_SUCCESS;
        break;
    case NetEventPnPCapabilities:
        if (TRACE_ON(4)) TraceMessage(4, "NetEventPnPCapabilities not supported.\n");
        Status = NDIS_STATUS_NOT_SUPPORTED;
        break;
    default:
        if (TRACE_ON(4)) TraceLong(4, "Unknown event: ", Code, 16);
        Status = NDIS_STATUS_NOT_SUPPORTED;
        break;
    }

    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcPNPHandler\n");
    return Status;
}
