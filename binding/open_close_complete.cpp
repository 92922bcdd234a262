//
// open_close_complete.cpp - NDIS completion of a pending adapter open or close.
//
#include "core/krvdlc.h"

//
// OpenAdapterComplete - NDIS finished a pending NdisOpenAdapter. Up to DISPATCH_LEVEL.
// Hands the status to the waiting bind through CompletionStatus and CompletionEvent;
// the context may be gone once the event is set.
//
VOID NTAPI OpenAdapterComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status,
                               NDIS_STATUS OpenErrorStatus)
{
    (void)OpenErrorStatus;
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;

    if (TRACE_ON(5)) TraceMessage(5, "Entering OpenAdapterComplete\n");
    Adapter->CompletionStatus = Status;
    NdisSetEvent(&Adapter->CompletionEvent);
    if (TRACE_ON(5)) TraceMessage(5, "Leaving OpenAdapterComplete\n");
}

//
// CloseAdapterComplete - NDIS finished a pending NdisCloseAdapter. Up to
// DISPATCH_LEVEL. Hands the status to the waiting unbind as above.
//
VOID NTAPI CloseAdapterComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status)
{
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;

    if (TRACE_ON(5)) TraceMessage(5, "Entering CloseAdapterComplete\n");
    Adapter->CompletionStatus = Status;
    NdisSetEvent(&Adapter->CompletionEvent);
    if (TRACE_ON(5)) TraceMessage(5, "Leaving CloseAdapterComplete\n");
}
