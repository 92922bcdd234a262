//
// unbind.cpp - the NDIS unbind handler, also used by the driver's unload for every
// adapter left.
//
#include "core/krvdlc.h"

//
// KrvDlcUnbindAdapter - takes one binding down. PASSIVE_LEVEL; waits for requests in
// progress (at most UNBIND_WAIT_MS), for receive indications still running and for a
// pending close. Gives back every queued packet, closes the adapter and releases all
// that the bind made: list entry, packet pool, instance name, link, file name and last
// the device with this context. Never pends; reports the status of the close.
//
VOID NTAPI KrvDlcUnbindAdapter(PNDIS_STATUS Status, NDIS_HANDLE ProtocolBindingContext,
                               NDIS_HANDLE UnbindContext)
{
    (void)UnbindContext;
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;
    KIRQL OldIrql;
    NDIS_STRING Name;

    if (TRACE_ON(5))
        TraceWString(5, "KrvDlcUnbindAdapter: ",
                     Adapter->AdapterName.Buffer != nullptr ? Adapter->AdapterName.Buffer : u"");

    if (Adapter->BindingHandle == nullptr) {
        // Nothing is bound, so there is nothing to fail.
        *Status = NDIS_STATUS_SUCCESS;
        goto Done;
    }

    NdisResetEvent(&Adapter->CompletionEvent);

    // From here on the dispatch routines refuse new requests and the receive handlers
    // refuse new frames.
    InterlockedExchange(&Adapter->Bound, 0);

    KrvDlcCancelReadIrp(Adapter->DeviceObject);

    if (TRACE_ON(4)) TraceMessage(4, "Waiting on CleanupEvent\n");
    KrvDlcWaitForRequests(Adapter, UNBIND_WAIT_MS);

    // Indications that passed the Bound test may still queue frames: let them finish,
    // then give every queued packet back while the adapter and the pool still exist.
    KrvDlcWaitForIndications(Adapter);
    KrvDlcEmptyRxQueue(Adapter);
    // An open or a cleanup emptying the queue at the same time may still hold a packet it
    // took off: wait until it has given it back. Nothing can be queued any more.
    KrvDlcWaitForIndications(Adapter);

    NdisCloseAdapter(Status, Adapter->BindingHandle);
    if (*Status == NDIS_STATUS_PENDING) {
        NdisWaitEvent(&Adapter->CompletionEvent, 0);
        *Status = Adapter->CompletionStatus;
    }
    Adapter->BindingHandle = nullptr;

    // A transfer that NDIS completed during the close may have queued one more frame.
    KrvDlcEmptyRxQueue(Adapter);

    OldIrql = KfAcquireSpinLock(&AdapterListLock);
    RemoveEntryList(&Adapter->AdapterLink);
    KfReleaseSpinLock(&AdapterListLock, OldIrql);

    NdisFreePacketPool(Adapter->PacketPool);
    Adapter->PacketPool = nullptr;

    // An adapter that NDIS gave no instance name has no buffer to return.
    // An open on a handle that outlives the unbind reads the name under IrpCountLock:
    // take it out of the context under that lock, then give it back to NDIS.
    OldIrql = KfAcquireSpinLock(&Adapter->IrpCountLock);
    Name = Adapter->AdapterName;
    Adapter->AdapterName.Buffer = nullptr;
    Adapter->AdapterName.Length = 0;
    Adapter->AdapterName.MaximumLength = 0;
    KfReleaseSpinLock(&Adapter->IrpCountLock, OldIrql);
    if (Name.Buffer != nullptr)
        NdisFreeMemory(Name.Buffer, Name.Length, 0);

    IoDeleteSymbolicLink(&Adapter->SymbolicLink);
    ExFreePool(Adapter->SymbolicLink.Buffer);
    Adapter->SymbolicLink.Buffer = nullptr;
    ExFreePool(Adapter->FileName.Buffer);
    Adapter->FileName.Buffer = nullptr;

    // The context is part of the device: not touched after this.
    IoDeleteDevice(Adapter->DeviceObject);

Done:
    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcUnbindAdapter\n");
}
