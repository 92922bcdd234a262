//
// transmit.h - writes and send completion.
//
#pragma once

DRIVER_DISPATCH KrvDlcWrite;                 // IRP_MJ_WRITE, PASSIVE_LEVEL
SEND_COMPLETE_HANDLER SendComplete;          // up to DISPATCH_LEVEL
