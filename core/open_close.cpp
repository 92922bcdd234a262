//
// open_close.cpp - IRP_MJ_CREATE, IRP_MJ_CLOSE and IRP_MJ_CLEANUP of the control device
// and the adapter devices.
//
#include "core/krvdlc.h"

//
// KrvDlcOpen - opens the control device or an adapter device. PASSIVE_LEVEL, caller's
// thread. An adapter open drops the frames queued while no one had the device open,
// sets the packet filter to directed frames and switches the DSAP check on. Completes
// the request before it returns.
//
NTSTATUS NTAPI KrvDlcOpen(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS Status;

    if (TRACE_ON(5))
        TraceLong(5, "Entering KrvDlcOpen... pIrp == ", (ULONG)(ULONG_PTR)Irp, 16);

    if (DeviceObject == ControlDeviceObject) {
        if (TRACE_ON(4)) TraceMessage(4, "Control device object opened.\n");
        KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }

    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)DeviceObject->DeviceExtension;

    // The name is read under IrpCountLock, under which an unbind takes it out of the
    // context before giving it back to NDIS; an open racing the unbind shows an empty name.
    KIRQL OldIrql = KfAcquireSpinLock(&Adapter->IrpCountLock);
    const WCHAR *Name = Adapter->AdapterName.Buffer != nullptr ? Adapter->AdapterName.Buffer : u"";
    if (TRACE_ON(4)) TraceWString(4, "AdapterName: ", Name);
    LogSystemEvent(EVENT_OPENING_ADAPTER, Name, nullptr, 0);
    KfReleaseSpinLock(&Adapter->IrpCountLock, OldIrql);

    // Bound is tested once counted: an unbind that clears it afterwards waits for this
    // open, and one that cleared it before may already be returning the queued packets
    // and the pool, so only a bound adapter's queue is emptied (the unbind empties its own).
    IoIncrement(Adapter);
    BOOLEAN IsBound = ReadAcquire(&Adapter->Bound) != 0 ? TRUE : FALSE;

    if (!IsBound) {
        Status = STATUS_DEVICE_NOT_READY;
    } else {
        KrvDlcEmptyRxQueue(Adapter);
        // Set at every open; a filter request that pends still counts as a success.
        NDIS_STATUS FilterStatus = EnableDirectedReads(Adapter);
        if (FilterStatus == NDIS_STATUS_SUCCESS || FilterStatus == NDIS_STATUS_PENDING) {
            Status = STATUS_SUCCESS;
        } else {
            if (TRACE_ON(1))
                TraceLong(1, "** Unable to enable reads of the NIC.  Status = ",
                          (ULONG)FilterStatus, 16);
            LogSystemError(LOG_ERROR, "** Unable to enable reads of the NIC.  Status = ",
                           &FilterStatus, sizeof(ULONG));
            Status = STATUS_DEVICE_NOT_READY;
        }
    }

    WriteNoFence(&Adapter->CheckDSAP, (BOOLEAN)TRUE);

    KrvDlcCompleteIrp(Irp, Status, 0);
    IoDecrement(Adapter);
    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcOpen\n");
    return Status;
}

//
// KrvDlcClose - closes a handle. PASSIVE_LEVEL, caller's thread. Changes nothing on
// the adapter: its packet filter and binding stay. Completes the request before it
// returns.
//
NTSTATUS NTAPI KrvDlcClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (TRACE_ON(5))
        TraceLong(5, "Entering KrvDlcClose... pIrp = ", (ULONG)(ULONG_PTR)Irp, 16);

    if (DeviceObject == ControlDeviceObject) {
        if (TRACE_ON(4)) TraceMessage(4, "Control device object closed.\n");
        KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }

    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)DeviceObject->DeviceExtension;
    IoIncrement(Adapter);
    KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, 0);
    IoDecrement(Adapter);
    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcClose\n");
    return STATUS_SUCCESS;
}

//
// KrvDlcCleanup - the last handle of a device is going away. PASSIVE_LEVEL, caller's
// thread. On an adapter device it cancels the waiting read, drops every queued frame
// and waits, without time-out, until no other request is in progress on the adapter.
// Completes the request before it returns.
//
NTSTATUS NTAPI KrvDlcCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (TRACE_ON(5))
        TraceLong(5, "Entering KrvDlcCleanup... pIrp = ", (ULONG)(ULONG_PTR)Irp, 16);

    if (DeviceObject == ControlDeviceObject) {
        KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }

    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)DeviceObject->DeviceExtension;
    IoIncrement(Adapter);
    // A read arriving on this file from now on would wait for a frame, and this cleanup
    // with it: it is cancelled instead.
    MarkFileCleanedUp(Adapter, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    KrvDlcCancelReadIrp(DeviceObject);
    // Once the unbind has begun it empties the queue itself before it frees the pool;
    // emptying here as well could return a packet after the pool is gone.
    if (ReadAcquire(&Adapter->Bound) != 0)
        KrvDlcEmptyRxQueue(Adapter);
    // The cleanup gives its own count back first, so it never waits for itself.
    IoDecrement(Adapter);
    KrvDlcWaitForRequests(Adapter, 0);

    KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, 0);
    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcCleanup\n");
    return STATUS_SUCCESS;
}
