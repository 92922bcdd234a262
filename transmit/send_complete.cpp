//
// send_complete.cpp - the end of a write: NDIS is done with the frame and its buffer.
//
#include "core/krvdlc.h"

//
// SendComplete - NDIS send-complete handler, also called by KrvDlcWrite for a send that
// finished at once. Frees the packet descriptor (the write's MDL chain stays with the
// write, which the I/O manager releases), completes the write with its length on
// success or STATUS_UNSUCCESSFUL and no bytes on failure, and counts it out.
// Up to DISPATCH_LEVEL.
//
VOID NTAPI SendComplete(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet, NDIS_STATUS Status)
{
    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)ProtocolBindingContext;

    if (TRACE_ON(5)) TraceLong(5, "SendComplete.  NDIS Status = ", (ULONG)Status, 16);

    PIRP Irp = RESERVED(Packet)->Irp;
    NdisFreePacket(Packet);

    if (Status == NDIS_STATUS_SUCCESS) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    } else {
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        Irp->IoStatus.Information = 0;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoDecrement(Adapter);
}
