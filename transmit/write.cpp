//
// write.cpp - the write dispatch routine: one write sends one frame, exactly as user mode
// passes it, from the user's own locked pages.
//
#include "core/krvdlc.h"

// Bytes of a frame shown in the level-3 dump of a write.
#define WRITE_DUMP_BYTES 32

//
// CompleteWrite - completes a refused write with Status and no bytes.
//
static NTSTATUS CompleteWrite(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

//
// RefuseWrite - traces and logs Text, then completes the write with Status.
//
static NTSTATUS RefuseWrite(PIRP Irp, NTSTATUS Status, const char *Text)
{
    if (TRACE_ON(1)) TraceMessage(1, Text);
    LogSystemError(LOG_ERROR, Text, nullptr, 0);
    return CompleteWrite(Irp, Status);
}

//
// KrvDlcWrite - IRP_MJ_WRITE. Chains the write's MDL chain into a packet of the adapter's
// pool (the packet carries the write in RESERVED()->Irp) and sends it; SendComplete
// completes the write and frees the packet. Returns STATUS_PENDING once the packet went to
// NDIS, also when the send has already completed; a refused write is completed at once
// with its status. Every write counted with IoIncrement is counted out exactly once,
// here on refusal or in SendComplete. PASSIVE_LEVEL.
//
NTSTATUS NTAPI KrvDlcWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (TRACE_ON(5)) TraceLong(5, "KrvDlcWrite... pIrp = ", (ULONG)(ULONG_PTR)Irp, 16);

    if (DeviceObject == ControlDeviceObject)
        return RefuseWrite(Irp, STATUS_INVALID_DEVICE_REQUEST,
                           "** Write requests must be made of adapter devices.\n");

    PMDL Mdl = Irp->MdlAddress;
    if (Mdl == nullptr)
        return RefuseWrite(Irp, STATUS_INVALID_PARAMETER, "** Write request received with NULL MDL.\n");

    PADAPTER_CONTEXT Adapter = (PADAPTER_CONTEXT)DeviceObject->DeviceExtension;
    IoIncrement(Adapter);

    NTSTATUS Status;
    if (ReadNoFence(&Adapter->Bound) == 0) {
        Status = RefuseWrite(Irp, STATUS_UNSUCCESSFUL,
                             "** We are no longer bound to the adapter - write aborted\n");
        IoDecrement(Adapter);
        return Status;
    }

    PVOID Address = nullptr;
    UINT Length = 0;
    NdisQueryBufferSafe(Mdl, &Address, &Length, NormalPagePriority);
    if (TRACE_ON(4)) {
        TraceLong(4, "pIrp->MdlAddress = ", (ULONG)(ULONG_PTR)Mdl, 16);
        TraceLong(4, "Virtual Address = ", (ULONG)(ULONG_PTR)Address, 16);
        TraceLong(4, "Total Length = ", Length, 10);
    }

    if (Address == nullptr || Length < KRVDLC_MINIMUM_FRAME) {
        Status = RefuseWrite(Irp, STATUS_UNSUCCESSFUL, "** Unable to retrieve valid data from MDL\n");
        IoDecrement(Adapter);
        return Status;
    }

    if (TRACE_ON(3)) {
        TraceLong(3, "Write byte count = ", MmGetMdlByteCount(Mdl), 10);
        // Only the mapped first buffer is dumped, and at most its first bytes.
        TraceBuffer(3, "Sending: ", (const UCHAR *)Address,
                    Length < WRITE_DUMP_BYTES ? Length : WRITE_DUMP_BYTES);
    }

    NDIS_STATUS NdisStatus;
    PNDIS_PACKET Packet = nullptr;
    NdisAllocatePacket(&NdisStatus, &Packet, Adapter->PacketPool);
    if (NdisStatus != NDIS_STATUS_SUCCESS) {
        // Completed first, then traced and logged.
        Status = CompleteWrite(Irp, STATUS_INSUFFICIENT_RESOURCES);
        if (TRACE_ON(1)) TraceMessage(1, "** No free packets available\n");
        LogSystemError(LOG_ERROR, "** No free packets available\n", nullptr, 0);
        IoDecrement(Adapter);
        return Status;
    }

    RESERVED(Packet)->Irp = Irp;
    NdisChainBufferAtFront(Packet, Mdl);
    IoMarkIrpPending(Irp);

    // From here on the write belongs to SendComplete and is not touched again.
    NdisSend(&NdisStatus, Adapter->BindingHandle, Packet);
    if (NdisStatus != NDIS_STATUS_PENDING)
        SendComplete(Adapter, Packet, NdisStatus);

    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcWrite\n");
    return STATUS_PENDING;
}
