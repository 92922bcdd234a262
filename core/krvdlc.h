//
// krvdlc.h - the driver-wide header: platform declarations, the pool tag, the global
// driver state and every subsystem's routines. Every driver source includes it.
//
#pragma once

#include "platform/ndis.h"
#include "platform/spinlock.h"
#include "core/krvdlc_public.h"

// Driver globals live in one section of their own in the host build, so that the
// simulator's loader can zero them as a fresh image would be; in the image they are
// ordinary zero-initialised data.
#if defined(_WIN32)
#define KRVDLC_GLOBAL
#else
#define KRVDLC_GLOBAL __attribute__((section("krvdlc_globals"), used))
#endif

// Every pool block of the driver carries this tag; it reads "Kdlc" in a pool dump.
#define KRVDLC_POOL_TAG 0x636C644Bu

// Pool blocks come from this routine and go back with ExFreePool.
#define KrvAllocatePool(Type, Bytes) ExAllocatePoolWithTag((Type), (Bytes), KRVDLC_POOL_TAG)

#include "diag/trace.h"
#include "diag/eventlog.h"
#include "diag/tracefile.h"
#include "binding/adapter.h"
#include "core/dispatch.h"
#include "receive/receive.h"
#include "transmit/transmit.h"

//
// Global driver state. All zero when the image is loaded; written during start-up
// and, where noted, afterwards.
//
// Lock order (never the reverse): AdapterListLock is a leaf: nothing else is taken
// while it is held. EnumLock is taken with no other lock held (the enumeration cancel
// routine drops the system cancel spin lock first); only trace output is done under it.
//
extern PDRIVER_OBJECT DriverObject;       // the driver object handed to DriverEntry
extern NDIS_HANDLE ProtocolHandle;        // from NdisRegisterProtocol
extern UNICODE_STRING RegistryPath;       // copy of the service key path; paged pool
extern LIST_ENTRY AdapterList;            // bound ADAPTER_CONTEXTs, oldest first
extern KSPIN_LOCK AdapterListLock;        // guards AdapterList
extern volatile LONG BindsComplete;       // 1 once NDIS reported its initial binds done
extern PIRP volatile PendingEnumIrp;      // enumeration parked until binds complete
extern KSPIN_LOCK EnumLock;               // makes parking and releasing PendingEnumIrp one step
extern PDEVICE_OBJECT ControlDeviceObject;  // \Device\KRVDLC

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD KrvDlcUnload;
