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

// Count of requests in progress on an adapter device (core/io_count.cpp has the protocol
// with the waiters). Inline: every read and write passes both.
DECLSPEC_COLD VOID SyncCleanupEvent(PADAPTER_CONTEXT Adapter);

//
// IoIncrement - counts one more request in progress on the adapter. Any IRQL up to
// DISPATCH_LEVEL. On the step from 0 to 1 a waiting cleanup or unbind gets
// CleanupEvent reset.
//
INLINE_ROUTINE VOID IoIncrement(PADAPTER_CONTEXT Adapter)
{
    // The waiters are looked at first (after the change all the same): without one, the
    // step from 0 does not matter.
    LONG Count = InterlockedIncrement(&Adapter->IrpCount);
    if (ReadNoFence(&Adapter->CleanupWaiters) != 0 && Count == 1)
        SyncCleanupEvent(Adapter);

    if (TRACE_ON(4)) TraceLong(4, "IoIncrement: IrpCount is now ", (ULONG)Count, 10);
}

//
// IoDecrement - releases the count of one request, called right after the request was
// completed. Any IRQL up to DISPATCH_LEVEL. On the step to 0 a waiting cleanup or
// unbind gets CleanupEvent set, which lets it go on.
//
INLINE_ROUTINE VOID IoDecrement(PADAPTER_CONTEXT Adapter)
{
    LONG Count = InterlockedDecrement(&Adapter->IrpCount);
    if (ReadNoFence(&Adapter->CleanupWaiters) != 0 && Count == 0)
        SyncCleanupEvent(Adapter);

    if (TRACE_ON(4)) TraceLong(4, "IoDecrement: IrpCount is now ", (ULONG)Count, 10);
}

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
