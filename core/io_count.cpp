//
// io_count.cpp - the count of requests in progress on an adapter device and the
// CleanupEvent it drives.
//
#include "core/krvdlc.h"

//
// IoIncrement - counts one more request in progress on the adapter. Any IRQL up to
// DISPATCH_LEVEL. CleanupEvent is reset on the step from 0 to 1.
//
VOID IoIncrement(PADAPTER_CONTEXT Adapter)
{
    // Count and event change together under IrpCountLock, so that an increment from 0
    // racing a decrement to 0 cannot leave the event signalled while a request counts.
    KIRQL OldIrql = KfAcquireSpinLock(&Adapter->IrpCountLock);
    LONG Count = InterlockedIncrement(&Adapter->IrpCount);
    if (Count == 1)
        NdisResetEvent(&Adapter->CleanupEvent);
    KfReleaseSpinLock(&Adapter->IrpCountLock, OldIrql);

    if (TRACE_ON(4)) TraceLong(4, "IoIncrement: IrpCount is now ", (ULONG)Count, 10);
}

//
// IoDecrement - releases the count of one request, called right after the request was
// completed. Any IRQL up to DISPATCH_LEVEL. CleanupEvent is set on the step to 0, which
// lets a waiting cleanup or unbind go on.
//
VOID IoDecrement(PADAPTER_CONTEXT Adapter)
{
    // See IoIncrement: the event follows the count under the same lock.
    KIRQL OldIrql = KfAcquireSpinLock(&Adapter->IrpCountLock);
    LONG Count = InterlockedDecrement(&Adapter->IrpCount);
    if (Count == 0)
        NdisSetEvent(&Adapter->CleanupEvent);
    KfReleaseSpinLock(&Adapter->IrpCountLock, OldIrql);

    if (TRACE_ON(4)) TraceLong(4, "IoDecrement: IrpCount is now ", (ULONG)Count, 10);
}
