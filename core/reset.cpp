//
// reset.cpp - completion of adapter resets asked for by IOCTL_KRVDLC_RESET.
//
#include "core/krvdlc.h"

//
// KrvDlcResetComplete - completes the oldest reset request waiting in ResetList with
// the reset's outcome and drops the frames received before the reset. Called by NDIS
// for a reset that pended (up to DISPATCH_LEVEL) and by KrvDlcIoControl for one that
// did not. Releases the completed request's count.
//
VOID NTAPI KrvDlcResetComplete(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status)
{
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;

    if (TRACE_ON(5)) TraceMessage(5, "Entering KrvDlcResetComplete\n");

    PLIST_ENTRY Entry = ExInterlockedRemoveHeadList(&Adapter->ResetList, &Adapter->ResetListLock);
    if (Entry == nullptr) {
        if (TRACE_ON(2)) TraceMessage(2, "**WARNING** Reset list is empty.\n");
        LogSystemError(LOG_WARNING, "**WARNING** Reset list is empty.\n", nullptr, 0);
        return;
    }

    PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
    NTSTATUS IrpStatus = (Status == NDIS_STATUS_SUCCESS) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;

    KrvDlcEmptyRxQueue(Adapter);

    KrvDlcCompleteIrp(Irp, IrpStatus, 0);
    IoDecrement(Adapter);
    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcResetComplete\n");
}
