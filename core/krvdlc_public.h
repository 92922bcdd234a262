//
// krvdlc_public.h - what user mode needs to talk to KRVDLC: device names, device-control
// codes and the buffer of the NDIS query and set requests. Plain C types only, so that
// tools include it without the driver's platform declarations.
//
#pragma once

#include <stdint.h>

// Control device (lists the bound adapters) and the adapter file-name prefix.
#define KRVDLC_CONTROL_FILE_NAME u"\\\\.\\KRVDLC"
#define KRVDLC_ADAPTER_FILE_PREFIX u"\\\\.\\KrvDlc_"

#define KRVDLC_DEVICE_TYPE 0x8000u
#define KRVDLC_CTL_CODE(Function, Method) (((KRVDLC_DEVICE_TYPE) << 16) | ((Function) << 2) | (Method))

#define IOCTL_KRVDLC_SET_OID         KRVDLC_CTL_CODE(0x000, 0)   // 0x80000000
#define IOCTL_KRVDLC_QUERY_OID       KRVDLC_CTL_CODE(0x001, 0)   // 0x80000004
#define IOCTL_KRVDLC_RESET           KRVDLC_CTL_CODE(0x002, 0)   // 0x80000008
#define IOCTL_KRVDLC_ENUM_ADAPTERS   KRVDLC_CTL_CODE(0x800, 0)   // 0x80002000
#define IOCTL_KRVDLC_CHECK_DSAP      KRVDLC_CTL_CODE(0x803, 0)   // 0x8000200C
#define IOCTL_KRVDLC_GET_MAC_ADDRESS KRVDLC_CTL_CODE(0x820, 0)   // 0x80002080
#define IOCTL_KRVDLC_GET_MEDIUM      KRVDLC_CTL_CODE(0x821, 0)   // 0x80002084
#define IOCTL_KRVDLC_INT3            KRVDLC_CTL_CODE(0x833, 3)   // 0x800020CF

// Buffer of IOCTL_KRVDLC_QUERY_OID and IOCTL_KRVDLC_SET_OID, little-endian. Input and
// output length are equal, at least 12, and Length is at most that length minus 11.
typedef struct _KRVDLC_OID_BUFFER {
    uint32_t Oid;
    uint32_t Length;   // in: bytes to set or room for the answer; out: bytes read or written
    uint8_t Data[1];
} KRVDLC_OID_BUFFER;

#define KRVDLC_OID_BUFFER_HEADER 8
#define KRVDLC_OID_BUFFER_MINIMUM 12

// Shortest frame a read accepts and a write sends: the MAC header.
#define KRVDLC_MINIMUM_FRAME 14

// NDIS media reported by IOCTL_KRVDLC_GET_MEDIUM.
#define KRVDLC_MEDIUM_802_3 0
#define KRVDLC_MEDIUM_802_5 1
