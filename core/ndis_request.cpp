//
// ndis_request.cpp - NDIS query and set requests of the driver: their completion, and
// the packet-filter request the driver makes for itself at every open.
//
#include "core/krvdlc.h"

//
// RequestCompleteHandler - finishes one INTERNAL_REQUEST. Called by NDIS for a request
// that pended (up to DISPATCH_LEVEL) and by the issuer for one that did not. A local
// request is only traced; one made for a device-control request completes that request
// and releases its count. Frees the record and, for a local request, its filter block.
//
VOID NTAPI RequestCompleteHandler(NDIS_HANDLE ProtocolBindingContext, PNDIS_REQUEST NdisRequest,
                                  NDIS_STATUS Status)
{
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;

    if (TRACE_ON(5)) TraceMessage(5, "NDIS Request Complete\n");
    PINTERNAL_REQUEST Request = CONTAINING_RECORD(NdisRequest, INTERNAL_REQUEST, Request);

    if (Request->IsLocal) {
        // A failed filter request is reported by this line only.
        if (TRACE_ON(4))
            TraceLong(4, "Local request completed with Status = ", (ULONG)Status, 16);
        if (Request->Request.DATA.SET_INFORMATION.InformationBuffer != nullptr)
            ExFreePool(Request->Request.DATA.SET_INFORMATION.InformationBuffer);
        ExFreePool(Request);
        return;
    }

    PIRP Irp = Request->Irp;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;

    if (Status == NDIS_STATUS_SUCCESS) {
        PVOID SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
        // Query and set share the layout: BytesWritten of a query is BytesRead of a set.
        UINT Count = Request->Request.DATA.QUERY_INFORMATION.BytesWritten;
        ULONG_PTR Information;

        if (Code == (ULONG)IOCTL_KRVDLC_SET_OID || Code == (ULONG)IOCTL_KRVDLC_QUERY_OID) {
            KRVDLC_OID_BUFFER *Buffer = (KRVDLC_OID_BUFFER *)SystemBuffer;
            Buffer->Length = (Code == (ULONG)IOCTL_KRVDLC_SET_OID)
                                 ? Request->Request.DATA.SET_INFORMATION.BytesRead
                                 : Request->Request.DATA.QUERY_INFORMATION.BytesWritten;
        }
        if (TRACE_ON(4))
            TraceLong(4, "irp->AssociatedIrp.SystemBuffer = ", (ULONG)(ULONG_PTR)SystemBuffer, 16);
        if (TRACE_ON(4)) TraceLong(4, "pRequest->...BytesWritten = ", Count, 10);

        if (Code == (ULONG)IOCTL_KRVDLC_GET_MAC_ADDRESS) {
            if (TRACE_ON(3))
                TraceBuffer(3, "MAC address retrieved: ", (const UCHAR *)SystemBuffer, Count);
            Information = Count;
        } else {
            // The whole buffer goes back, header included.
            Information = Stack->Parameters.DeviceIoControl.InputBufferLength;
        }
        KrvDlcCompleteIrp(Irp, STATUS_SUCCESS, Information);
    } else {
        if (TRACE_ON(2))
            TraceLong(2, "External NDIS request failed.  Status = ", (ULONG)Status, 16);
        LogSystemError(LOG_WARNING, "External NDIS request failed.  Status = ", &Status,
                       sizeof(ULONG));
        // User mode sees the NDIS status code itself.
        KrvDlcCompleteIrp(Irp, (NTSTATUS)Status, 0);
    }

    IoDecrement(Adapter);
    ExFreePool(Request);
}

//
// EnableDirectedReads - sets the adapter's packet filter to directed frames only.
// PASSIVE_LEVEL. Allocates the request and its 4-byte filter block from nonpaged pool;
// RequestCompleteHandler frees both. Returns STATUS_INSUFFICIENT_RESOURCES or the
// status NDIS gave, NDIS_STATUS_PENDING included.
//
NDIS_STATUS EnableDirectedReads(PADAPTER_CONTEXT Adapter)
{
    NDIS_STATUS Status;

    if (TRACE_ON(5)) TraceMessage(5, "Enabling read of directed packets.\n");

    PINTERNAL_REQUEST Request =
        (PINTERNAL_REQUEST)KrvAllocatePool(NonPagedPool, sizeof(INTERNAL_REQUEST));
    PULONG Filter = (PULONG)KrvAllocatePool(NonPagedPool, sizeof(ULONG));
    if (Request == nullptr || Filter == nullptr) {
        if (Filter != nullptr)
            ExFreePool(Filter);
        if (Request != nullptr)
            ExFreePool(Request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Directed frames only: no broadcast, multicast or promiscuous reception.
    *Filter = NDIS_PACKET_TYPE_DIRECTED;
    RtlZeroMemory(Request, sizeof(INTERNAL_REQUEST));
    Request->Irp = nullptr;
    Request->IsLocal = TRUE;
    Request->Request.RequestType = NdisRequestSetInformation;
    Request->Request.DATA.SET_INFORMATION.Oid = OID_GEN_CURRENT_PACKET_FILTER;
    Request->Request.DATA.SET_INFORMATION.InformationBuffer = Filter;
    Request->Request.DATA.SET_INFORMATION.InformationBufferLength = sizeof(ULONG);

    NdisRequest(&Status, Adapter->BindingHandle, &Request->Request);
    if (Status != NDIS_STATUS_PENDING) {
        if (TRACE_ON(4)) TraceMessage(4, "Calling RequestCompleteHandler\n");
        RequestCompleteHandler(Adapter, &Request->Request, Status);
    }
    return Status;
}
