//
// indication_guard.cpp - keeps count of the receive handlers running on an adapter, so
// that the unbind can give back every queued packet before it closes the adapter.
//
// Protocol (all changes of ActiveIndications and Bound are interlocked operations):
//
//   handler:  InterlockedIncrement(ActiveIndications); test Bound; ...work...;
//             if InterlockedDecrement(ActiveIndications) == 0 and a waiter exists,
//             set IndicationsIdle.
//   unbind:   InterlockedExchange(Bound, 0); ...; KrvDlcWaitForIndications:
//             set up IndicationsIdle, publish IndicationWaiter, then repeatedly
//             reset the event, count itself in and out, and wait unless its own
//             decrement reached 0.
//
// Why no handler slips through: every modification of ActiveIndications is an
// interlocked read-modify-write, so the waiter's increment and any later one form one
// release sequence. A handler whose increment comes after the waiter's therefore sees
// everything the unbind did before, Bound == 0 included, and refuses its frame. A handler
// that saw Bound != 0 incremented before the waiter did, so the waiter's own decrement
// cannot reach 0 until that handler has decremented too.
//
// Why no wake-up is lost: when the waiter's decrement leaves a count above 0, the
// handler whose decrement later reaches 0 reads from the waiter's release sequence, so it
// sees IndicationWaiter set and the event already reset, and sets it. A set left over
// from an earlier drop to 0 only makes the waiter count itself once more.
//
// The event is set up by the waiter itself before IndicationWaiter is published, and no
// handler touches it before it sees IndicationWaiter set, so the bind needs to prepare
// nothing for it.
//
#include "core/krvdlc.h"

// The handler side, EnterIndication and LeaveIndication, is inline in receive.h.

//
// WakeIndicationWaiter - the end of LeaveIndication once a waiter exists: sets
// IndicationsIdle when Running, the count the handler's decrement left, is 0. Up to
// DISPATCH_LEVEL. Out of line and cold: only an unbind waits.
//
DECLSPEC_NOINLINE DECLSPEC_COLD VOID WakeIndicationWaiter(PADAPTER_CONTEXT Adapter, LONG Running)
{
    if (Running == 0)
        NdisSetEvent(&Adapter->IndicationsIdle);
}

//
// KrvDlcWaitForIndications - called by the unbind after it cleared Bound; returns once no
// receive handler that could still queue a frame is running. PASSIVE_LEVEL; one caller
// per adapter at a time (a repeated call is harmless).
//
VOID KrvDlcWaitForIndications(PADAPTER_CONTEXT Adapter)
{
    if (ReadAcquire(&Adapter->IndicationWaiter) == 0) {
        NdisInitializeEvent(&Adapter->IndicationsIdle);
        InterlockedExchange(&Adapter->IndicationWaiter, 1);
    }

    for (;;) {
        NdisResetEvent(&Adapter->IndicationsIdle);
        InterlockedIncrement(&Adapter->ActiveIndications);
        if (InterlockedDecrement(&Adapter->ActiveIndications) == 0)
            break;
        NdisWaitEvent(&Adapter->IndicationsIdle, 0);
    }
}
