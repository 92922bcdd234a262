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
// with the waiters). Inline: every read and write passes both. A change seen with a
// waiter goes to SyncCleanupEventOnStep, which syncs when Count, the new count, is Step
// (1 after an increment, 0 after a decrement).
DECLSPEC_COLD VOID SyncCleanupEvent(PADAPTER_CONTEXT Adapter);
DECLSPEC_COLD VOID SyncCleanupEventOnStep(PADAPTER_CONTEXT Adapter, LONG Count, LONG Step);

//
// CountRequestIn, CountRequestOut - the count of IoIncrement and IoDecrement without
// their trace lines; return the new count. Any IRQL up to DISPATCH_LEVEL. On the step
// from 0 to 1 a waiting cleanup or unbind gets CleanupEvent reset, on the step to 0 set,
// which lets it go on.
//
FORCEINLINE LONG CountRequestIn(PADAPTER_CONTEXT Adapter)
{
    // The waiters are looked at first (after the change all the same): without one, the
    // step from 0 does not matter, and the count is not even compared.
    LONG Count = InterlockedIncrement(&Adapter->IrpCount);
    if (__builtin_expect(ReadNoFence(&Adapter->CleanupWaiters) != 0, 0))
        SyncCleanupEventOnStep(Adapter, Count, 1);
    return Count;
}

FORCEINLINE LONG CountRequestOut(PADAPTER_CONTEXT Adapter)
{
    LONG Count = InterlockedDecrement(&Adapter->IrpCount);
    if (__builtin_expect(ReadNoFence(&Adapter->CleanupWaiters) != 0, 0))
        SyncCleanupEventOnStep(Adapter, Count, 0);
    return Count;
}

//
// IoIncrementWithTraceLevel, IoDecrementWithTraceLevel - IoIncrement and IoDecrement for
// a routine that read the trace level at its start (TRACE_LEVEL_NOW) and passes it as
// Level.
//
FORCEINLINE VOID IoIncrementWithTraceLevel(PADAPTER_CONTEXT Adapter, ULONG Level)
{
    LONG Count = CountRequestIn(Adapter);
    if (TRACE_AT(Level, 4)) TraceLong(4, "IoIncrement: IrpCount is now ", (ULONG)Count, 10);
}

FORCEINLINE VOID IoDecrementWithTraceLevel(PADAPTER_CONTEXT Adapter, ULONG Level)
{
    LONG Count = CountRequestOut(Adapter);
    if (TRACE_AT(Level, 4)) TraceLong(4, "IoDecrement: IrpCount is now ", (ULONG)Count, 10);
}

//
// IoIncrement - counts one more request in progress on the adapter. Any IRQL up to
// DISPATCH_LEVEL.
//
INLINE_ROUTINE VOID IoIncrement(PADAPTER_CONTEXT Adapter)
{
    IoIncrementWithTraceLevel(Adapter, TRACE_LEVEL_NOW());
}

//
// IoDecrement - releases the count of one request, called right after the request was
// completed. Any IRQL up to DISPATCH_LEVEL.
//
INLINE_ROUTINE VOID IoDecrement(PADAPTER_CONTEXT Adapter)
{
    IoDecrementWithTraceLevel(Adapter, TRACE_LEVEL_NOW());
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
