//
// adapter.h - the per-adapter context and the NDIS binding handlers.
//
#pragma once

// Packet pool of every adapter: shared by sends in flight, driver-owned receive packets
// and the copy packet of a delivery.
#define ADAPTER_PACKET_POOL_SIZE 16

// How long an unbind waits for requests in progress before it closes the adapter.
#define UNBIND_WAIT_MS 20000

//
// ADAPTER_CONTEXT - one per bound adapter; the device extension of the adapter's device
// and the NDIS protocol binding context at once. Zero-filled when the device is created.
//
// Lock order: ReadLock, then the system cancel spin lock, then RxQueueLock.
// ResetListLock, IrpCountLock and AdapterListLock are leaves.
//
typedef struct _ADAPTER_CONTEXT {
    PDEVICE_OBJECT DeviceObject;        // back pointer to the device of this extension
    volatile LONG IrpCount;             // requests in progress (IoIncrement/IoDecrement)
    NDIS_STRING AdapterName;            // instance name; buffer owned, NdisFreeMemory at unbind
    UNICODE_STRING SymbolicLink;        // \DosDevices\KrvDlc_{X}; nonpaged, owned
    UNICODE_STRING FileName;            // \\.\KrvDlc_{X}; nonpaged, owned
    NDIS_HANDLE BindingHandle;          // null until the open succeeded
    NDIS_HANDLE PacketPool;             // ADAPTER_PACKET_POOL_SIZE descriptors
    KSPIN_LOCK RxQueueLock;             // guards RxQueue only
    LIST_ENTRY RxQueue;                 // RECEIVED_PACKETs, oldest first
    volatile LONG RxQueueCount;         // records in RxQueue (interlocked)
    PIRP volatile PendingReadIrp;       // the one waiting read (interlocked exchange)
    KSPIN_LOCK ReadLock;                // serialises deliveries to the waiting read
    NDIS_MEDIUM Medium;                 // NdisMedium802_3 or NdisMedium802_5
    KSPIN_LOCK ResetListLock;           // guards ResetList
    LIST_ENTRY ResetList;               // reset requests waiting for NDIS, oldest first
    NDIS_STATUS CompletionStatus;       // status of the last open or close completion
    NDIS_EVENT CompletionEvent;         // set by OpenAdapterComplete / CloseAdapterComplete
    NDIS_EVENT CleanupEvent;            // while CleanupWaiters != 0: signalled exactly while IrpCount is 0
    LIST_ENTRY AdapterLink;             // link in AdapterList
    volatile LONG Bound;                // 1 from a successful open until the unbind begins
    volatile BOOLEAN CheckDSAP;         // apply the DSAP check to received frames
    KSPIN_LOCK IrpCountLock;            // keeps CleanupEvent in step with IrpCount for waiters
    volatile LONG CleanupWaiters;       // cleanups and unbind waiting on CleanupEvent (interlocked)
    // Receive path (receive/indication_guard.cpp, receive/read.cpp). Zero after creation
    // needs no further set-up: KrvDlcWaitForIndications initialises IndicationsIdle itself.
    volatile LONG ActiveIndications;    // receive handlers running now (interlocked)
    volatile LONG IndicationWaiter;     // 1 once IndicationsIdle is set up for an unbind
    NDIS_EVENT IndicationsIdle;         // set when ActiveIndications drops to 0 for a waiter
    BOOLEAN PendingReadCancellable;     // under ReadLock: PendingReadIrp got a cancel routine
} ADAPTER_CONTEXT, *PADAPTER_CONTEXT;

// NDIS handlers (PASSIVE_LEVEL for bind and unbind, which wait).
BIND_HANDLER KrvDlcBindAdapter;
UNBIND_HANDLER KrvDlcUnbindAdapter;
OPEN_ADAPTER_COMPLETE_HANDLER OpenAdapterComplete;
CLOSE_ADAPTER_COMPLETE_HANDLER CloseAdapterComplete;
PNP_EVENT_HANDLER KrvDlcPNPHandler;
STATUS_HANDLER KrvDlcStatus;
STATUS_COMPLETE_HANDLER KrvDlcStatusComplete;

// The adapter list for user mode; DataLength receives the bytes the whole list needs.
NTSTATUS KrvDlcGetAdapterList(PVOID Buffer, ULONG BufferLength, PULONG DataLength);
