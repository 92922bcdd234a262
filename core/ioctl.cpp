//
// ioctl.cpp - IRP_MJ_DEVICE_CONTROL: adapter enumeration on the control device, and on
// an adapter device the NDIS query and set requests, MAC address, medium, reset and the
// DSAP switch.
//
#include "core/krvdlc.h"

// The control codes have the top bit set; they are compared as the ULONG the request
// carries.

//
// EnumerateAdapters - IOCTL_KRVDLC_ENUM_ADAPTERS. PASSIVE_LEVEL. Answers at once when
// NDIS has finished its initial binds, otherwise parks the request in PendingEnumIrp,
// cancellable, for the binds-complete event to answer. Never counted on an adapter.
//
static NTSTATUS EnumerateAdapters(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG OutputLength)
{
    if (TRACE_ON(4)) TraceMessage(4, "IOCTL_KRVDLC_ENUM_ADAPTERS.\n");

    if (DeviceObject != ControlDeviceObject) {
        if (TRACE_ON(2))
            TraceMessage(2, "Request to enumerate adapters must be issued to KRVDLC\n");
        LogSystemError(LOG_WARNING, "Request to enumerate adapters must be issued to KRVDLC\n",
                       nullptr, 0);
        KrvDlcCompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    // Testing BindsComplete and parking are one step under EnumLock, so the
    // binds-complete event either sees the parked request or has set the flag first.
    KIRQL OldIrql = KfAcquireSpinLock(&EnumLock);
    if (ReadNoFence(&BindsComplete) == 0) {
        if (PendingEnumIrp != nullptr) {
            // One enumeration waits at a time; a second one is refused, not queued.
            KfReleaseSpinLock(&EnumLock, OldIrql);
            KrvDlcCompleteIrp(Irp, STATUS_DEVICE_BUSY, 0);
            return STATUS_DEVICE_BUSY;
        }
        if (TRACE_ON(4))
            TraceMessage(4, "Adapter binding is not yet complete, pending the IRP.\n");
        IoMarkIrpPending(Irp);
        IoSetCancelRoutine(Irp, KrvDlcCancelEnumIrp);
        PendingEnumIrp = Irp;
        // Cancelled before its cancel routine was set: nobody else will complete it.
        // If the routine is already gone, the cancel routine runs and takes it back.
        if (ReadNoFence(&Irp->Cancel) && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            PendingEnumIrp = nullptr;
            KfReleaseSpinLock(&EnumLock, OldIrql);
            KrvDlcCompleteIrp(Irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
        KfReleaseSpinLock(&EnumLock, OldIrql);
        return STATUS_PENDING;
    }
    KfReleaseSpinLock(&EnumLock, OldIrql);

    ULONG DataLength = 0;
    NTSTATUS Status =
        KrvDlcGetAdapterList(Irp->AssociatedIrp.SystemBuffer, OutputLength, &DataLength);
    KrvDlcCompleteIrp(Irp, Status, DataLength);
    return Status;
}

//
// GetMedium - IOCTL_KRVDLC_GET_MEDIUM: writes Medium as a ULONG. PASSIVE_LEVEL; the
// request is counted and completed here.
//
static VOID GetMedium(PADAPTER_CONTEXT Adapter, PIRP Irp, ULONG OutputLength)
{
    if (TRACE_ON(4)) TraceMessage(4, "Retrieving transmission medium...\n");

    if (OutputLength < sizeof(ULONG)) {
        if (TRACE_ON(1))
            TraceLong(1, "** Insufficient buffer length for medium: ", OutputLength, 10);
        LogSystemError(LOG_ERROR, "** Insufficient buffer length for medium: ", &OutputLength,
                       sizeof(ULONG));
        KrvDlcCompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        IoDecrement(Adapter);
        return;
    }

    ULONG Medium = (ULONG)Adapter->Medium;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Medium, sizeof(ULONG));
    if (Medium == NdisMedium802_3) {
        if (TRACE_ON(4)) TraceMessage(4, "Transmission medium is Ethernet.\n");
    } else if (Medium == NdisMedium802_5) {
        if (TRACE_ON(4)) TraceMessage(4, "Transmission medium is Token Ring.\n");
    } else {
        if (TRACE_ON(1)) TraceLong(1, "** Unsupported media type: ", Medium, 16);
        LogSystemError(LOG_ERROR, "** Unsupported media type: ", &Medium, sizeof(ULONG));
    }
    KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, sizeof(ULONG));
    IoDecrement(Adapter);
}

//
// AllocateInternalRequest - a zeroed INTERNAL_REQUEST for Irp from nonpaged pool, or
// null. Any IRQL up to DISPATCH_LEVEL. RequestCompleteHandler frees it.
//
static PINTERNAL_REQUEST AllocateInternalRequest(PIRP Irp)
{
    PINTERNAL_REQUEST Request =
        (PINTERNAL_REQUEST)KrvAllocatePool(NonPagedPool, sizeof(INTERNAL_REQUEST));
    if (Request != nullptr) {
        RtlZeroMemory(Request, sizeof(INTERNAL_REQUEST));
        Request->Irp = Irp;
        Request->IsLocal = FALSE;
    }
    return Request;
}

//
// IssueRequest - hands a prepared request to NDIS; one that does not pend is finished at
// once through RequestCompleteHandler. PASSIVE_LEVEL. The record belongs to NDIS or is
// freed on return.
//
static VOID IssueRequest(PADAPTER_CONTEXT Adapter, PINTERNAL_REQUEST Request)
{
    NDIS_STATUS Status;
    NdisRequest(&Status, Adapter->BindingHandle, &Request->Request);
    if (Status != NDIS_STATUS_PENDING)
        RequestCompleteHandler(Adapter, &Request->Request, Status);
}

//
// GetMacAddress - IOCTL_KRVDLC_GET_MAC_ADDRESS: queries the current address of the
// adapter's medium into the system buffer. PASSIVE_LEVEL; the request is counted and
// completed here or by RequestCompleteHandler. Returns TRUE when the request went to
// NDIS or to RequestCompleteHandler.
//
static BOOLEAN GetMacAddress(PADAPTER_CONTEXT Adapter, PIRP Irp, ULONG OutputLength)
{
    if (TRACE_ON(4)) TraceMessage(4, "Retrieving MAC address...\n");

    PINTERNAL_REQUEST Request = AllocateInternalRequest(Irp);
    if (Request == nullptr) {
        if (TRACE_ON(1)) TraceMessage(1, "** Unable to allocate memory for internal request\n");
        LogSystemError(LOG_ERROR, "** Unable to allocate memory for internal request\n",
                       nullptr, 0);
        KrvDlcCompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        IoDecrement(Adapter);
        return FALSE;
    }

    Request->Request.RequestType = NdisRequestQueryInformation;
    ULONG Medium = (ULONG)Adapter->Medium;
    if (Medium == NdisMedium802_3) {
        Request->Request.DATA.QUERY_INFORMATION.Oid = OID_802_3_CURRENT_ADDRESS;
    } else if (Medium == NdisMedium802_5) {
        Request->Request.DATA.QUERY_INFORMATION.Oid = OID_802_5_CURRENT_ADDRESS;
    } else {
        if (TRACE_ON(1)) TraceLong(1, "** Unsupported media type: ", Medium, 16);
        LogSystemError(LOG_ERROR, "** Unsupported media type: ", &Medium, sizeof(ULONG));
        ExFreePool(Request);
        KrvDlcCompleteIrp(Irp, NDIS_STATUS_UNSUPPORTED_MEDIA, 0);
        IoDecrement(Adapter);
        return FALSE;
    }

    if (TRACE_ON(4))
        TraceLong(4, "SystemBuffer = ", (ULONG)(ULONG_PTR)Irp->AssociatedIrp.SystemBuffer, 16);
    if (TRACE_ON(4)) TraceLong(4, "Output Buffer Length = ", OutputLength, 10);
    Request->Request.DATA.QUERY_INFORMATION.InformationBuffer = Irp->AssociatedIrp.SystemBuffer;
    Request->Request.DATA.QUERY_INFORMATION.InformationBufferLength = OutputLength;
    IssueRequest(Adapter, Request);
    return TRUE;
}

//
// QuerySetOid - IOCTL_KRVDLC_QUERY_OID and IOCTL_KRVDLC_SET_OID on a KRVDLC_OID_BUFFER.
// PASSIVE_LEVEL; the request is counted and completed here or by RequestCompleteHandler.
// Returns TRUE when the request went to NDIS or to RequestCompleteHandler.
//
static BOOLEAN QuerySetOid(PADAPTER_CONTEXT Adapter, PIRP Irp, ULONG Code, ULONG InputLength,
                           ULONG OutputLength)
{
    PINTERNAL_REQUEST Request = AllocateInternalRequest(Irp);
    if (Request == nullptr) {
        KrvDlcCompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        IoDecrement(Adapter);
        return FALSE;
    }

    // Equal lengths of at least the minimum, and Length within the buffer less 11.
    KRVDLC_OID_BUFFER *Buffer = (KRVDLC_OID_BUFFER *)Irp->AssociatedIrp.SystemBuffer;
    if (InputLength != OutputLength || InputLength < KRVDLC_OID_BUFFER_MINIMUM ||
        Buffer->Length > InputLength - 11) {
        RequestCompleteHandler(Adapter, &Request->Request, STATUS_UNSUCCESSFUL);
        return TRUE;
    }

    if (TRACE_DEBUGGER_ON())
        DbgPrint("KRVDLC: IoControl: NdisRequest: Oid=0x%08lx, Length=0x%08lx\n",
                 (ULONG)Buffer->Oid, (ULONG)Buffer->Length);
    if (Code == (ULONG)IOCTL_KRVDLC_SET_OID) {
        Request->Request.RequestType = NdisRequestSetInformation;
        Request->Request.DATA.SET_INFORMATION.Oid = Buffer->Oid;
        Request->Request.DATA.SET_INFORMATION.InformationBuffer = Buffer->Data;
        Request->Request.DATA.SET_INFORMATION.InformationBufferLength = Buffer->Length;
    } else {
        Request->Request.RequestType = NdisRequestQueryInformation;
        Request->Request.DATA.QUERY_INFORMATION.Oid = Buffer->Oid;
        Request->Request.DATA.QUERY_INFORMATION.InformationBuffer = Buffer->Data;
        Request->Request.DATA.QUERY_INFORMATION.InformationBufferLength = Buffer->Length;
    }
    IssueRequest(Adapter, Request);
    return TRUE;
}

//
// ResetAdapter - IOCTL_KRVDLC_RESET. PASSIVE_LEVEL. The request waits in ResetList,
// counted, until a reset completion takes the oldest one off.
//
static VOID ResetAdapter(PADAPTER_CONTEXT Adapter, PIRP Irp)
{
    NDIS_STATUS Status;

    if (TRACE_ON(4)) TraceMessage(4, "IoControl - Reset adapter request\n");
    ExInterlockedInsertTailList(&Adapter->ResetList, &Irp->Tail.Overlay.ListEntry,
                                &Adapter->ResetListLock);
    NdisReset(&Status, Adapter->BindingHandle);
    if (Status != NDIS_STATUS_PENDING)
        KrvDlcResetComplete(Adapter, Status);
}

//
// CheckDsap - IOCTL_KRVDLC_CHECK_DSAP: the first input byte switches the DSAP check
// (0 off, anything else on). PASSIVE_LEVEL; completes and releases the count.
//
static VOID CheckDsap(PADAPTER_CONTEXT Adapter, PIRP Irp, ULONG InputLength)
{
    // Without its input byte the request is refused and the switch left as it is.
    if (InputLength == 0) {
        KrvDlcCompleteIrp(Irp, STATUS_INVALID_PARAMETER, 0);
        IoDecrement(Adapter);
        return;
    }

    UCHAR Value = *(PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    WriteNoFence(&Adapter->CheckDSAP, (BOOLEAN)Value);
    if (TRACE_ON(4)) TraceLong(4, "IOCTL_KRVDLC_CHECK_DSAP.\n", Value, 16);
    KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, 0);
    IoDecrement(Adapter);
}

//
// KrvDlcIoControl - IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL, caller's thread. Codes for
// an adapter need a bound adapter device; from the moment such a request is counted it
// is marked pending and STATUS_PENDING is returned, whoever completes it and whenever.
//
NTSTATUS NTAPI KrvDlcIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;

    if (TRACE_ON(5)) TraceMessage(5, "Entering KrvDlcIoControl\n");
    if (TRACE_ON(4)) TraceLong(4, "IoControlCode is ", Code, 16);
    if (TRACE_ON(4)) TraceLong(4, "Input buffer size = ", InputLength, 10);
    if (TRACE_ON(4)) TraceLong(4, "Output buffer size = ", OutputLength, 10);

    if (Code == (ULONG)IOCTL_KRVDLC_ENUM_ADAPTERS)
        return EnumerateAdapters(DeviceObject, Irp, OutputLength);

    if (Code == (ULONG)IOCTL_KRVDLC_INT3) {
        // Only a debugger line: the driver never breaks into the debugger.
        if (TRACE_DEBUGGER_ON()) DbgPrint("KRVDLC: IOCTL_KRVDLC_INT3.\n");
        KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }

    if (DeviceObject == ControlDeviceObject ||
        ReadNoFence(&((PADAPTER_CONTEXT)DeviceObject->DeviceExtension)->Bound) == 0) {
        KrvDlcCompleteIrp(Irp, STATUS_UNSUCCESSFUL, 0);
        return STATUS_UNSUCCESSFUL;
    }

    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)DeviceObject->DeviceExtension;
    IoIncrement(Adapter);
    // An unbind that cleared Bound between the test above and the count saw no request
    // in progress and may already be closing the adapter: refuse, and never reach NDIS.
    if (ReadAcquire(&Adapter->Bound) == 0) {
        KrvDlcCompleteIrp(Irp, STATUS_UNSUCCESSFUL, 0);
        IoDecrement(Adapter);
        return STATUS_UNSUCCESSFUL;
    }
    IoMarkIrpPending(Irp);

    BOOLEAN TraceLeaving = FALSE;
    switch (Code) {
    case (ULONG)IOCTL_KRVDLC_GET_MEDIUM:
        GetMedium(Adapter, Irp, OutputLength);
        break;
    case (ULONG)IOCTL_KRVDLC_GET_MAC_ADDRESS:
        TraceLeaving = GetMacAddress(Adapter, Irp, OutputLength);
        break;
    case (ULONG)IOCTL_KRVDLC_QUERY_OID:
    case (ULONG)IOCTL_KRVDLC_SET_OID:
        TraceLeaving = QuerySetOid(Adapter, Irp, Code, InputLength, OutputLength);
        break;
    case (ULONG)IOCTL_KRVDLC_RESET:
        ResetAdapter(Adapter, Irp);
        TraceLeaving = TRUE;
        break;
    case (ULONG)IOCTL_KRVDLC_CHECK_DSAP:
        CheckDsap(Adapter, Irp, InputLength);
        break;
    default:
        if (TRACE_ON(4)) TraceLong(4, "Unhandled I/O control code: ", Code, 16);
        KrvDlcCompleteIrp(Irp, STATUS_UNSUCCESSFUL, 0);
        IoDecrement(Adapter);
        TraceLeaving = TRUE;
        break;
    }

    if (TraceLeaving && TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcIoControl\n");
    return STATUS_PENDING;
}
