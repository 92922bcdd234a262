//
// dispatch.h - dispatch routines of the driver core, request accounting and the NDIS
// requests the driver issues.
//
#pragma once

// One NDIS request issued by the driver; nonpaged, freed by RequestCompleteHandler.
typedef struct _INTERNAL_REQUEST {
    PIRP Irp;                   // device-control request to complete; null when local
    BOOLEAN IsLocal;            // TRUE for the driver's own packet-filter request
    NDIS_REQUEST Request;       // handed to NDIS; RequestCompleteHandler gets its address
} INTERNAL_REQUEST, *PINTERNAL_REQUEST;

// IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL (PASSIVE_LEVEL).
DRIVER_DISPATCH KrvDlcOpen;
DRIVER_DISPATCH KrvDlcClose;
DRIVER_DISPATCH KrvDlcCleanup;
DRIVER_DISPATCH KrvDlcIoControl;

// Count of requests in progress on an adapter device; any IRQL up to DISPATCH_LEVEL.
VOID IoIncrement(PADAPTER_CONTEXT Adapter);
VOID IoDecrement(PADAPTER_CONTEXT Adapter);
// Waits (PASSIVE_LEVEL) until no request is in progress; TimeoutMs 0 waits without end.
BOOLEAN KrvDlcWaitForRequests(PADAPTER_CONTEXT Adapter, UINT TimeoutMs);

// NDIS request and reset completion (up to DISPATCH_LEVEL).
REQUEST_COMPLETE_HANDLER RequestCompleteHandler;
RESET_COMPLETE_HANDLER KrvDlcResetComplete;

// Sets the adapter's packet filter to directed frames (PASSIVE_LEVEL).
NDIS_STATUS EnableDirectedReads(PADAPTER_CONTEXT Adapter);

// Cancel routine of the enumeration request parked in PendingEnumIrp; the I/O manager
// calls it holding the system cancel spin lock.
DRIVER_CANCEL KrvDlcCancelEnumIrp;

// Completes a request with Status and Information, without priority boost; any IRQL up
// to DISPATCH_LEVEL. The caller no longer touches the request afterwards.
VOID KrvDlcCompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
