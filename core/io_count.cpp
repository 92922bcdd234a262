//
// io_count.cpp - the count of requests in progress on an adapter device and the
// CleanupEvent it drives.
//
// Protocol (every change of IrpCount and CleanupWaiters is an interlocked operation):
//
//   request:  IoIncrement ... IoDecrement. A step of IrpCount from 0 to 1 or from 1 to 0
//             that sees CleanupWaiters != 0 brings CleanupEvent in line with IrpCount
//             under IrpCountLock (SyncCleanupEvent); with no waiter nothing else is done.
//   waiter:   KrvDlcWaitForRequests: InterlockedIncrement(CleanupWaiters), count itself
//             in, SyncCleanupEvent (resets: IrpCount >= 1 now), count itself out (a step
//             to 0 syncs, i.e. sets), wait, pass through IrpCountLock, then
//             InterlockedDecrement(CleanupWaiters).
//
// Why no wake-up is lost: the waiter's own increment and every later change of IrpCount
// form one release sequence, so a step to 0 that comes after it sees CleanupWaiters set
// and syncs. Syncs run one at a time under IrpCountLock and each reads IrpCount after its
// own step and after every sync before it, so the last sync leaves the event as the last
// count says: set once the count has come down to 0.
//
// Why no early wake-up: while no waiter exists the event is left as it is and may be
// stale; the waiter's own sync, made while its own count holds IrpCount above 0, resets
// it before the waiter can look at it. A step to 0 that came before the waiter's
// increment and syncs late reads IrpCount under the lock after that reset, so it sees the
// waiter's count and resets too.
//
#include "core/krvdlc.h"

//
// SyncCleanupEvent - sets CleanupEvent when IrpCount is 0, else resets it, under
// IrpCountLock. Any IRQL up to DISPATCH_LEVEL. Out of line and cold: only steps seen by
// a waiter come here (IoIncrement and IoDecrement are inline, core/dispatch.h).
//
DECLSPEC_NOINLINE DECLSPEC_COLD VOID SyncCleanupEvent(PADAPTER_CONTEXT Adapter)
{
    KIRQL OldIrql = KfAcquireSpinLock(&Adapter->IrpCountLock);
    if (ReadNoFence(&Adapter->IrpCount) == 0)
        NdisSetEvent(&Adapter->CleanupEvent);
    else
        NdisResetEvent(&Adapter->CleanupEvent);
    KfReleaseSpinLock(&Adapter->IrpCountLock, OldIrql);
}

//
// SyncCleanupEventOnStep - SyncCleanupEvent for a change of IrpCount that saw a waiter,
// when it was a step to Step: Count is the count after the change, Step 1 for an
// increment and 0 for a decrement. Any IRQL up to DISPATCH_LEVEL. Out of line and cold,
// for the same reason.
//
DECLSPEC_NOINLINE DECLSPEC_COLD VOID SyncCleanupEventOnStep(PADAPTER_CONTEXT Adapter, LONG Count, LONG Step)
{
    if (Count == Step)
        SyncCleanupEvent(Adapter);
}

//
// KrvDlcWaitForRequests - waits until no request is in progress on the adapter, at most
// TimeoutMs (0: without time-out); TRUE when none is. The caller holds no count itself.
// PASSIVE_LEVEL; cleanups and an unbind may wait at the same time.
//
BOOLEAN KrvDlcWaitForRequests(PADAPTER_CONTEXT Adapter, UINT TimeoutMs)
{
    InterlockedIncrement(&Adapter->CleanupWaiters);

    // Counted in without a trace line: the waiter is not a request.
    InterlockedIncrement(&Adapter->IrpCount);
    SyncCleanupEvent(Adapter);
    if (InterlockedDecrement(&Adapter->IrpCount) == 0)
        SyncCleanupEvent(Adapter);

    BOOLEAN Idle = NdisWaitEvent(&Adapter->CleanupEvent, TimeoutMs);

    // The step to 0 that set the event did so holding IrpCountLock: passing through the
    // lock makes sure it has let go of the context.
    KIRQL OldIrql = KfAcquireSpinLock(&Adapter->IrpCountLock);
    KfReleaseSpinLock(&Adapter->IrpCountLock, OldIrql);

    InterlockedDecrement(&Adapter->CleanupWaiters);
    return Idle;
}
