//
// complete_irp.cpp - completion of a request from user mode.
//
#include "core/krvdlc.h"

//
// KrvDlcCompleteIrp - stores Status and Information in the request and completes it
// without priority boost. Any IRQL up to DISPATCH_LEVEL. The request belongs to the I/O
// manager again on return.
//
VOID KrvDlcCompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}
