//
// globals.cpp - the driver-wide state. All of it is zero when the image is loaded;
// DriverEntry fills it in and KrvDlcUnload takes it down.
//
#include "core/krvdlc.h"

KRVDLC_GLOBAL PDRIVER_OBJECT DriverObject;
KRVDLC_GLOBAL NDIS_HANDLE ProtocolHandle;
KRVDLC_GLOBAL UNICODE_STRING RegistryPath;
KRVDLC_GLOBAL LIST_ENTRY AdapterList;
KRVDLC_GLOBAL KSPIN_LOCK AdapterListLock;
KRVDLC_GLOBAL volatile LONG BindsComplete;
KRVDLC_GLOBAL PIRP volatile PendingEnumIrp;
KRVDLC_GLOBAL KSPIN_LOCK EnumLock;
KRVDLC_GLOBAL PDEVICE_OBJECT ControlDeviceObject;
