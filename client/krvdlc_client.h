/*
 * krvdlc_client.h - libkrvdlc, the user-mode library of KRVDLC: list the adapters the
 * driver has bound, open one, query and set its NDIS objects, read and write whole LLC
 * frames, and build or decode 802.3 / 802.5 frames with IEEE 802.2 headers.
 *
 * Plain C (C89 types, no bool, no stdint.h), usable from C and C++. On Windows names are
 * wchar_t strings; on the host build (the simulated machine) they are 16-bit char16_t
 * strings, the same UTF-16 the driver reports. C++ programs may prefer krvdlc_client.hpp.
 *
 * Every call that can fail returns a krvdlc_result and, when `error` is not NULL, fills it
 * with the result, the Win32 error behind it (0 when none) and a message naming the
 * adapter, the operation and the Win32 error with its system text. Nothing is global:
 * any number of adapters may be open in one process, each from its own threads.
 *
 * Linking on Windows: the static library needs nothing; the DLL (krvdlc.dll with its
 * import library libkrvdlc.dll.a) is used by defining KRVDLC_DLL before including this.
 */
#ifndef KRVDLC_CLIENT_H
#define KRVDLC_CLIENT_H

#include <stddef.h>

#if defined(_WIN32)
#include <wchar.h>
#define KRVDLC_CALL __cdecl
#if defined(KRVDLC_BUILDING_DLL)
#define KRVDLC_API __declspec(dllexport)
#elif defined(KRVDLC_DLL)
#define KRVDLC_API __declspec(dllimport)
#else
#define KRVDLC_API
#endif
#else
#define KRVDLC_CALL
#define KRVDLC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- types ------------------------------------------------------------------------- */

typedef unsigned char krvdlc_u8;     /* 8 bits */
typedef unsigned short krvdlc_u16;   /* 16 bits */
typedef unsigned int krvdlc_u32;     /* 32 bits on every target the library builds for */

/* A UTF-16 name character: wchar_t on Windows, char16_t (C: unsigned short) on the host. */
#if defined(_WIN32)
typedef wchar_t krvdlc_char;
#elif defined(__cplusplus)
typedef char16_t krvdlc_char;
#else
typedef unsigned short krvdlc_char;
#endif

/* An event handle the caller may wait on itself (a Win32 HANDLE, on the host the
 * simulated machine's). */
typedef void *krvdlc_event;

typedef struct krvdlc_adapter_list krvdlc_adapter_list;  /* a snapshot of the adapter list */
typedef struct krvdlc_adapter krvdlc_adapter;            /* one open adapter device */
typedef struct krvdlc_io krvdlc_io;                      /* one overlapped read or write */

typedef enum krvdlc_result {
    KRVDLC_OK = 0,
    KRVDLC_PENDING = 1,              /* overlapped request started; wait on its event */
    KRVDLC_E_INVALID_ARGUMENT = -1,  /* NULL pointer, bad selector, bad MAC text ... */
    KRVDLC_E_INVALID_LENGTH = -2,    /* buffer length against the object's or frame's rules */
    KRVDLC_E_DRIVER_NOT_LOADED = -3, /* \\.\KRVDLC does not exist */
    KRVDLC_E_NO_SUCH_ADAPTER = -4,   /* no adapter matches the index, name or file name */
    KRVDLC_E_BUSY = -5,              /* the adapter is open elsewhere, or a read is pending */
    KRVDLC_E_NOT_BOUND = -6,         /* the adapter was unbound; close and open again */
    KRVDLC_E_TIMEOUT = -7,           /* read or enumeration time-out; the request was cancelled */
    KRVDLC_E_CANCELLED = -8,         /* cancelled, or ended by krvdlc_interrupt */
    KRVDLC_E_BUFFER_TOO_SMALL = -9,  /* the caller's buffer cannot hold the answer */
    KRVDLC_E_FRAME_TOO_SHORT = -10,  /* below the MAC header of the medium */
    KRVDLC_E_FRAME_TOO_LONG = -11,   /* above the adapter's maximum frame size */
    KRVDLC_E_MALFORMED_FRAME = -12,  /* decode: truncated header or routing information */
    KRVDLC_E_NOT_SUPPORTED = -13,    /* the adapter does not know or allow this object */
    KRVDLC_E_NO_MEMORY = -14,
    KRVDLC_E_IO = -15,               /* any other failure of the driver or the system */
    KRVDLC_E_NOT_IMPLEMENTED = -16
} krvdlc_result;

#define KRVDLC_ERROR_MESSAGE_SIZE 512

typedef struct krvdlc_error {
    krvdlc_result result;
    krvdlc_u32 win32_error;   /* GetLastError() of the failing call, 0 when none */
    /* UTF-8, e.g. "KrvDlc_{...} (Ethernet 1): read: error 995: The I/O operation has been
     * aborted because of either a thread exit or an application request." */
    char message[KRVDLC_ERROR_MESSAGE_SIZE];
} krvdlc_error;

/* Short constant name of a result ("KRVDLC_E_TIMEOUT"). */
KRVDLC_API const char *KRVDLC_CALL krvdlc_result_name(krvdlc_result result);

/* ---- media, filters, NDIS objects ----------------------------------------------------- */

typedef enum krvdlc_medium {
    KRVDLC_MEDIUM_ETHERNET = 0,    /* NdisMedium802_3 */
    KRVDLC_MEDIUM_TOKEN_RING = 1   /* NdisMedium802_5 */
} krvdlc_medium;

/* Packet-filter bits (OID_GEN_CURRENT_PACKET_FILTER). */
#define KRVDLC_FILTER_DIRECTED      0x00000001u
#define KRVDLC_FILTER_MULTICAST     0x00000002u
#define KRVDLC_FILTER_ALL_MULTICAST 0x00000004u
#define KRVDLC_FILTER_BROADCAST     0x00000008u
#define KRVDLC_FILTER_PROMISCUOUS   0x00000020u
#define KRVDLC_FILTER_FUNCTIONAL    0x00004000u   /* Token Ring functional addresses */

/* NDIS objects the helpers use; any other identifier may be passed to krvdlc_query_oid. */
#define KRVDLC_OID_GEN_MAXIMUM_TOTAL_SIZE     0x00010111u
#define KRVDLC_OID_GEN_LINK_SPEED             0x00010107u
#define KRVDLC_OID_GEN_CURRENT_PACKET_FILTER  0x0001010Eu
#define KRVDLC_OID_GEN_VENDOR_DESCRIPTION     0x0001010Du
#define KRVDLC_OID_GEN_MEDIA_CONNECT_STATUS   0x00010114u
#define KRVDLC_OID_802_3_CURRENT_ADDRESS      0x01010102u
#define KRVDLC_OID_802_3_MULTICAST_LIST       0x01010103u
#define KRVDLC_OID_802_3_MAXIMUM_LIST_SIZE    0x01010104u
#define KRVDLC_OID_802_5_CURRENT_ADDRESS      0x02010102u
#define KRVDLC_OID_802_5_CURRENT_FUNCTIONAL   0x02010103u

/* Largest data part of one query or set (the driver's buffer adds an 11-byte margin). */
#define KRVDLC_OID_DATA_MAXIMUM 4096u

/* Time-outs in milliseconds; KRVDLC_INFINITE waits for ever. */
#define KRVDLC_INFINITE 0xFFFFFFFFu
/* What the open-by-index and open-by-name calls allow the driver to finish its binds. */
#define KRVDLC_DEFAULT_ENUM_TIMEOUT_MS 5000u

#define KRVDLC_MAC_SIZE 6
#define KRVDLC_MAC_TEXT_SIZE 18   /* "02:00:4B:00:00:01" and its terminator */

/* ---- adapter enumeration ---------------------------------------------------------- */

/* Asks the control device for the list of bound adapters, growing the buffer as the
 * driver asks for more. An enumeration made while the driver still waits for its binds
 * waits too, at most timeout_ms, then is cancelled (KRVDLC_E_TIMEOUT). */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_list_adapters(krvdlc_u32 timeout_ms,
                                                          krvdlc_adapter_list **list,
                                                          krvdlc_error *error);
KRVDLC_API void KRVDLC_CALL krvdlc_free_adapter_list(krvdlc_adapter_list *list);
KRVDLC_API krvdlc_u32 KRVDLC_CALL krvdlc_adapter_count(const krvdlc_adapter_list *list);
/* NUL-terminated names owned by the list; NULL for an index past the end. The instance
 * name may be empty (an adapter that gave NDIS none); the file name is \\.\KrvDlc_{X}. */
KRVDLC_API const krvdlc_char *KRVDLC_CALL krvdlc_adapter_instance_name(
    const krvdlc_adapter_list *list, krvdlc_u32 index);
KRVDLC_API const krvdlc_char *KRVDLC_CALL krvdlc_adapter_file_name(
    const krvdlc_adapter_list *list, krvdlc_u32 index);

/* ---- open and close ------------------------------------------------------------------- */

/* Open an adapter device (exclusive: a second open anywhere fails KRVDLC_E_BUSY). The
 * driver empties its receive queue, sets the packet filter to directed frames and turns
 * the DSAP check on at every open. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_open_by_index(krvdlc_u32 index, krvdlc_u32 enum_timeout_ms,
                                                          krvdlc_adapter **adapter,
                                                          krvdlc_error *error);
/* The first adapter whose instance name contains `name_part`, compared case-insensitively;
 * KRVDLC_E_INVALID_ARGUMENT when two or more adapters match. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_open_by_name(const krvdlc_char *name_part,
                                                         krvdlc_u32 enum_timeout_ms,
                                                         krvdlc_adapter **adapter,
                                                         krvdlc_error *error);
/* \\.\KrvDlc_{X}, or KrvDlc_{X} without the prefix; does not consult the adapter list. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_open_by_file_name(const krvdlc_char *file_name,
                                                              krvdlc_adapter **adapter,
                                                              krvdlc_error *error);
/* What a command line passes: a decimal index, a file name (\\.\... or KrvDlc_...) or
 * else a part of the instance name. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_open(const krvdlc_char *selector, krvdlc_u32 enum_timeout_ms,
                                                 krvdlc_adapter **adapter, krvdlc_error *error);
/* Cancels what the calling thread still has outstanding, closes the handle, frees. NULL is
 * allowed. No request of the adapter may be in progress on another thread. */
KRVDLC_API void KRVDLC_CALL krvdlc_close(krvdlc_adapter *adapter);

/* Names of an open adapter, owned by it (instance name empty when opened by file name and
 * the list did not name it). */
KRVDLC_API const krvdlc_char *KRVDLC_CALL krvdlc_file_name(const krvdlc_adapter *adapter);
KRVDLC_API const krvdlc_char *KRVDLC_CALL krvdlc_instance_name(const krvdlc_adapter *adapter);

/* ---- adapter properties and control ---------------------------------------------------- */

KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_mac_address(krvdlc_adapter *adapter,
                                                            krvdlc_u8 address[KRVDLC_MAC_SIZE],
                                                            krvdlc_error *error);
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_medium(krvdlc_adapter *adapter, krvdlc_medium *medium,
                                                       krvdlc_error *error);
/* Resets the adapter; frames the driver had queued for reading are dropped. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_reset(krvdlc_adapter *adapter, krvdlc_error *error);
/* on = 0: frames to any DSAP are passed up; otherwise the null SAP, 0xF0 and SAPs with
 * either low bit set are dropped (the state after every open). */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_set_dsap_check(krvdlc_adapter *adapter, int on,
                                                           krvdlc_error *error);

/* Any NDIS object. `size` is the room for the answer (query) or the bytes to set, 0 to
 * KRVDLC_OID_DATA_MAXIMUM; for the objects named above the library also checks `size`
 * against the object's own size (KRVDLC_E_INVALID_LENGTH), before asking the driver.
 * *transferred (may be NULL) receives the bytes NDIS wrote (query) or read (set). */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_query_oid(krvdlc_adapter *adapter, krvdlc_u32 oid,
                                                      void *data, krvdlc_u32 size,
                                                      krvdlc_u32 *transferred, krvdlc_error *error);
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_set_oid(krvdlc_adapter *adapter, krvdlc_u32 oid,
                                                    const void *data, krvdlc_u32 size,
                                                    krvdlc_u32 *transferred, krvdlc_error *error);

/* Helpers over krvdlc_query_oid / krvdlc_set_oid. */
/* In kbit/s (NDIS reports units of 100 bit/s). */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_link_speed(krvdlc_adapter *adapter, krvdlc_u32 *kbps,
                                                           krvdlc_error *error);
/* Largest whole frame, MAC header included (OID_GEN_MAXIMUM_TOTAL_SIZE). */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_max_frame_size(krvdlc_adapter *adapter,
                                                               krvdlc_u32 *bytes, krvdlc_error *error);
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_packet_filter(krvdlc_adapter *adapter,
                                                              krvdlc_u32 *filter, krvdlc_error *error);
/* KRVDLC_FILTER_* bits; 0 is refused (the adapter would then deliver nothing). */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_set_packet_filter(krvdlc_adapter *adapter,
                                                              krvdlc_u32 filter, krvdlc_error *error);
/* Ethernet multicast list: up to `capacity` addresses into `addresses`, their number in
 * *count; KRVDLC_E_BUFFER_TOO_SMALL (with *count the number held) when they do not fit. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_multicast_list(krvdlc_adapter *adapter,
                                                               krvdlc_u8 (*addresses)[KRVDLC_MAC_SIZE],
                                                               krvdlc_u32 capacity, krvdlc_u32 *count,
                                                               krvdlc_error *error);
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_set_multicast_list(
    krvdlc_adapter *adapter, const krvdlc_u8 (*addresses)[KRVDLC_MAC_SIZE], krvdlc_u32 count,
    krvdlc_error *error);
/* Token Ring functional address: the 4 bytes after C0:00. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_functional_address(krvdlc_adapter *adapter,
                                                                   krvdlc_u8 address[4],
                                                                   krvdlc_error *error);
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_set_functional_address(krvdlc_adapter *adapter,
                                                                   const krvdlc_u8 address[4],
                                                                   krvdlc_error *error);
/* NUL-terminated ASCII, cut to size - 1 characters. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_vendor_description(krvdlc_adapter *adapter, char *text,
                                                                   krvdlc_u32 size, krvdlc_error *error);
/* *connected = 1 when the medium is connected, 0 when not. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_get_media_connect_status(krvdlc_adapter *adapter,
                                                                     int *connected,
                                                                     krvdlc_error *error);

/* ---- reading and writing frames ------------------------------------------------------ */

/* Reads one received frame, MAC header first; a frame longer than `size` is cut (the rest
 * is lost). Waits at most timeout_ms: on time-out the read is cancelled and the result is
 * KRVDLC_E_TIMEOUT; the next read works as usual. At most one read per adapter at a time. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_read(krvdlc_adapter *adapter, void *buffer, krvdlc_u32 size,
                                                 krvdlc_u32 timeout_ms, krvdlc_u32 *bytes_read,
                                                 krvdlc_error *error);
/* Sends one whole frame exactly as given; returns once NDIS is done with it. Frames below
 * 14 bytes or above the adapter's maximum frame size are refused before the driver. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_write(krvdlc_adapter *adapter, const void *frame,
                                                  krvdlc_u32 size, krvdlc_u32 *bytes_written,
                                                  krvdlc_error *error);
/* Ends a krvdlc_read that waits on another thread (or the next one to start) with
 * KRVDLC_E_CANCELLED; safe from any thread, e.g. a console control handler. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_interrupt(krvdlc_adapter *adapter, krvdlc_error *error);

/* Overlapped requests. A krvdlc_io owns a manual-reset event and its OVERLAPPED; it
 * carries one request at a time and may be reused after it has finished. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_io_create(krvdlc_io **io, krvdlc_error *error);
/* Must not carry a request still in progress (finish or cancel it first). NULL allowed. */
KRVDLC_API void KRVDLC_CALL krvdlc_io_free(krvdlc_io *io);
/* Signalled when the request has finished; the caller may wait on it together with its
 * own events (WaitForMultipleObjects), then call krvdlc_io_finish. */
KRVDLC_API krvdlc_event KRVDLC_CALL krvdlc_io_event(const krvdlc_io *io);
/* Start a read or a write: KRVDLC_PENDING while it runs, KRVDLC_OK when it finished at
 * once (krvdlc_io_finish still gives its byte count), or a failure. The buffer must stay
 * valid until the request has finished. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_read_start(krvdlc_adapter *adapter, krvdlc_io *io,
                                                       void *buffer, krvdlc_u32 size,
                                                       krvdlc_error *error);
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_write_start(krvdlc_adapter *adapter, krvdlc_io *io,
                                                        const void *frame, krvdlc_u32 size,
                                                        krvdlc_error *error);
/* Waits at most timeout_ms (0: just looks) for the request of `io`: KRVDLC_PENDING when it
 * is still running, else its outcome and byte count. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_io_finish(krvdlc_adapter *adapter, krvdlc_io *io,
                                                      krvdlc_u32 timeout_ms, krvdlc_u32 *bytes,
                                                      krvdlc_error *error);
/* Cancels the request of `io` (call it on the thread that started it: Windows 2000 and XP
 * cancel only the calling thread's requests) and waits until it has ended. Returns the
 * request's outcome: KRVDLC_E_CANCELLED, or KRVDLC_OK when it finished first. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_io_cancel(krvdlc_adapter *adapter, krvdlc_io *io,
                                                      krvdlc_u32 *bytes, krvdlc_error *error);

/* ---- LLC frames ------------------------------------------------------------------------ */

#define KRVDLC_ETHERNET_HEADER_SIZE 14   /* destination, source, length */
#define KRVDLC_TOKEN_RING_HEADER_SIZE 14 /* AC, FC, destination, source */
#define KRVDLC_ROUTING_MAXIMUM 18        /* routing control and up to 8 route designators */
#define KRVDLC_ETHERNET_MINIMUM_FRAME 60 /* without FCS; shorter 802.3 frames are padded */
#define KRVDLC_SNA_SERVICES_TYPE 0x80D5u

#define KRVDLC_TR_ACCESS_CONTROL 0x10u   /* the default AC of a built Token Ring frame */
#define KRVDLC_TR_FRAME_CONTROL_LLC 0x40u
#define KRVDLC_TR_ROUTED 0x80u           /* in the first source-address byte */

#define KRVDLC_SAP_NULL 0x00u
#define KRVDLC_SAP_SNA 0x04u
#define KRVDLC_SAP_GLOBAL 0xFFu
#define KRVDLC_SSAP_RESPONSE 0x01u       /* C/R bit of the SSAP */
#define KRVDLC_POLL_FINAL 0x10u          /* in a U-format control byte */

/* U-format control bytes with the P/F bit clear. */
#define KRVDLC_CONTROL_UI 0x03u
#define KRVDLC_CONTROL_XID 0xAFu
#define KRVDLC_CONTROL_TEST 0xE3u
#define KRVDLC_CONTROL_SABME 0x6Fu
#define KRVDLC_CONTROL_UA 0x63u
#define KRVDLC_CONTROL_DISC 0x43u
#define KRVDLC_CONTROL_DM 0x0Fu
#define KRVDLC_CONTROL_FRMR 0x87u

typedef struct krvdlc_frame_fields {
    krvdlc_medium medium;
    krvdlc_u8 destination[KRVDLC_MAC_SIZE];
    krvdlc_u8 source[KRVDLC_MAC_SIZE];
    /* Token Ring only: routing information as carried (its first byte holds the length in
     * its low five bits; the library checks it and sets the routed bit of the source). */
    const krvdlc_u8 *routing;
    krvdlc_u32 routing_size;                 /* 0: not source-routed */
    krvdlc_u8 access_control;                /* 0: KRVDLC_TR_ACCESS_CONTROL */
    krvdlc_u8 frame_control;                 /* 0: KRVDLC_TR_FRAME_CONTROL_LLC */
    krvdlc_u8 dsap;
    krvdlc_u8 ssap;                          /* without the C/R bit */
    int response;                            /* non-zero: set the C/R bit */
    krvdlc_u16 control;                      /* U: one byte; I and S: two (N(S)/N(R) low byte first) */
    const krvdlc_u8 *information;
    krvdlc_u32 information_size;
    int pad;                                 /* Ethernet: pad with zeros to 60 bytes */
} krvdlc_frame_fields;

/* Writes the frame into `buffer`; its length into *size. KRVDLC_E_BUFFER_TOO_SMALL (with
 * *size the length needed) when it does not fit; KRVDLC_E_INVALID_ARGUMENT for routing
 * information whose length byte disagrees, or is odd, below 2 or above 18; an 802.3 LLC
 * PDU above 1500 bytes is KRVDLC_E_FRAME_TOO_LONG. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_build_frame(const krvdlc_frame_fields *fields, void *buffer,
                                                        krvdlc_u32 capacity, krvdlc_u32 *size,
                                                        krvdlc_error *error);

typedef enum krvdlc_frame_kind {
    KRVDLC_FRAME_802_3 = 0,          /* Ethernet with a length field: LLC at 14 */
    KRVDLC_FRAME_SNA_SERVICES = 1,   /* Ethernet type 0x80D5: LLC at 17 */
    KRVDLC_FRAME_ETHERNET_II = 2,    /* any other Ethernet type: no LLC */
    KRVDLC_FRAME_TOKEN_RING_LLC = 3,
    KRVDLC_FRAME_TOKEN_RING_MAC = 4  /* MAC frames: no LLC */
} krvdlc_frame_kind;

typedef enum krvdlc_llc_format {
    KRVDLC_FORMAT_I = 0,   /* information: N(S), N(R), P/F */
    KRVDLC_FORMAT_S = 1,   /* supervisory: RR, RNR, REJ with N(R), P/F */
    KRVDLC_FORMAT_U = 2    /* unnumbered: UI, XID, TEST, SABME, ... with P/F */
} krvdlc_llc_format;

typedef struct krvdlc_decoded_frame {
    krvdlc_medium medium;
    krvdlc_frame_kind kind;
    krvdlc_u8 destination[KRVDLC_MAC_SIZE];
    krvdlc_u8 source[KRVDLC_MAC_SIZE];    /* Token Ring: routed bit cleared */
    krvdlc_u16 length_or_type;            /* Ethernet only */
    krvdlc_u8 access_control;             /* Token Ring only */
    krvdlc_u8 frame_control;              /* Token Ring only */
    const krvdlc_u8 *routing;             /* into the frame; NULL when not source-routed */
    krvdlc_u32 routing_size;
    int has_llc;                          /* the fields below are valid */
    krvdlc_u8 dsap;                       /* with its I/G bit */
    krvdlc_u8 ssap;                       /* without the C/R bit */
    int response;                         /* C/R bit of the SSAP */
    krvdlc_llc_format format;
    krvdlc_u16 control;                   /* as carried: 1 byte (U) or 2 (I, S, low byte first) */
    krvdlc_u8 u_modifier;                 /* U: control byte with P/F cleared (KRVDLC_CONTROL_*) */
    krvdlc_u8 s_function;                 /* S: 0 RR, 1 RNR, 2 REJ */
    krvdlc_u8 ns;                         /* I: N(S) */
    krvdlc_u8 nr;                         /* I and S: N(R) */
    int poll_final;                       /* P/F bit */
    const krvdlc_u8 *information;         /* into the frame, after the LLC header */
    krvdlc_u32 information_size;          /* 802.3: bounded by the length field */
} krvdlc_decoded_frame;

/* Decodes a received frame of the given medium. The pointers of *decoded point into
 * `frame`. KRVDLC_E_MALFORMED_FRAME when the MAC header, the routing information or the
 * LLC header is cut short (the fields decoded so far are kept); a frame without LLC
 * (Ethernet II, Token Ring MAC) decodes with has_llc 0 and KRVDLC_OK. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_decode_frame(krvdlc_medium medium, const void *frame,
                                                         krvdlc_u32 size, krvdlc_decoded_frame *decoded,
                                                         krvdlc_error *error);

/* The routing information a station answers a source-routed frame with: the same route,
 * specifically routed (broadcast bits cleared) and with its direction bit flipped. `out`
 * has room for `size` bytes; KRVDLC_E_INVALID_ARGUMENT for routing information that is not
 * 2 to 18 bytes, even, with its own length in its first byte. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_reverse_routing(const krvdlc_u8 *routing, krvdlc_u32 size,
                                                            krvdlc_u8 *out, krvdlc_error *error);

/* "UI", "XID", "TEST", "SABME", "I", "RR", ... for a decoded frame's control field. */
KRVDLC_API const char *KRVDLC_CALL krvdlc_control_name(const krvdlc_decoded_frame *decoded);

/* XID information field in the IEEE 802.2 basic format (3 bytes). */
#define KRVDLC_XID_FORMAT_BASIC 0x81u
#define KRVDLC_XID_CLASS_1 0x01u   /* type 1 only (connectionless) */
#define KRVDLC_XID_CLASS_2 0x03u   /* types 1 and 2 */

typedef struct krvdlc_xid {
    krvdlc_u8 format;          /* 0x81 for the basic format */
    krvdlc_u8 llc_class;       /* 1 to 4 */
    krvdlc_u8 types;           /* the bit mask of LLC types as carried */
    krvdlc_u8 receive_window;  /* 0 to 127 */
} krvdlc_xid;

/* Writes the 3 bytes of the basic XID information field. */
KRVDLC_API void KRVDLC_CALL krvdlc_build_xid(krvdlc_u8 types, krvdlc_u8 receive_window, krvdlc_u8 out[3]);
/* KRVDLC_E_MALFORMED_FRAME when shorter than 3 bytes or not the basic format. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_decode_xid(const krvdlc_u8 *information, krvdlc_u32 size,
                                                       krvdlc_xid *xid, krvdlc_error *error);

/* "02:00:4b:00:00:01", "02-00-4B-00-00-01" or "02004B000001"; KRVDLC_E_INVALID_ARGUMENT
 * otherwise. */
KRVDLC_API krvdlc_result KRVDLC_CALL krvdlc_parse_mac(const char *text, krvdlc_u8 address[KRVDLC_MAC_SIZE],
                                                      krvdlc_error *error);
/* "02:00:4B:00:00:01" into `text` (KRVDLC_MAC_TEXT_SIZE bytes). */
KRVDLC_API void KRVDLC_CALL krvdlc_format_mac(const krvdlc_u8 address[KRVDLC_MAC_SIZE],
                                              char text[KRVDLC_MAC_TEXT_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* KRVDLC_CLIENT_H */
