//
// ndis.h - the driver's own declarations of the NDIS 5.0 protocol interface (NDIS.SYS):
// records, constants, the routines KRVDLC calls and the packet and buffer macros it
// uses, as inline routines over the published x86 packet layout.
//
#pragma once

#include "platform/nt.h"

typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef PVOID NDIS_HANDLE, *PNDIS_HANDLE;
typedef ULONG NDIS_OID, *PNDIS_OID;
typedef UNICODE_STRING NDIS_STRING, *PNDIS_STRING;
typedef MDL NDIS_BUFFER, *PNDIS_BUFFER;

//
// Status codes.
//
#define NDIS_STATUS_SUCCESS             ((NDIS_STATUS)STATUS_SUCCESS)
#define NDIS_STATUS_PENDING             ((NDIS_STATUS)STATUS_PENDING)
#define NDIS_STATUS_NOT_RECOGNIZED      ((NDIS_STATUS)0x00010001)
#define NDIS_STATUS_NOT_COPIED          ((NDIS_STATUS)0x00010002)
#define NDIS_STATUS_NOT_ACCEPTED        ((NDIS_STATUS)0x00010003)
#define NDIS_STATUS_RESET_START         ((NDIS_STATUS)0x40010004)
#define NDIS_STATUS_RESET_END           ((NDIS_STATUS)0x40010005)
#define NDIS_STATUS_RING_STATUS         ((NDIS_STATUS)0x40010006)
#define NDIS_STATUS_MEDIA_CONNECT       ((NDIS_STATUS)0x4001000B)
#define NDIS_STATUS_MEDIA_DISCONNECT    ((NDIS_STATUS)0x4001000C)
#define NDIS_STATUS_FAILURE             ((NDIS_STATUS)STATUS_UNSUCCESSFUL)
#define NDIS_STATUS_RESOURCES           ((NDIS_STATUS)STATUS_INSUFFICIENT_RESOURCES)
#define NDIS_STATUS_NOT_SUPPORTED       ((NDIS_STATUS)STATUS_NOT_SUPPORTED)
#define NDIS_STATUS_CLOSING             ((NDIS_STATUS)0xC0010002)
#define NDIS_STATUS_BAD_VERSION         ((NDIS_STATUS)0xC0010004)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005)
#define NDIS_STATUS_ADAPTER_NOT_FOUND   ((NDIS_STATUS)0xC0010006)
#define NDIS_STATUS_OPEN_FAILED         ((NDIS_STATUS)0xC0010007)
#define NDIS_STATUS_RESET_IN_PROGRESS   ((NDIS_STATUS)0xC001000D)
#define NDIS_STATUS_INVALID_LENGTH      ((NDIS_STATUS)0xC0010014)
#define NDIS_STATUS_INVALID_DATA        ((NDIS_STATUS)0xC0010015)
#define NDIS_STATUS_BUFFER_TOO_SHORT    ((NDIS_STATUS)0xC0010016)
#define NDIS_STATUS_INVALID_OID         ((NDIS_STATUS)0xC0010017)
#define NDIS_STATUS_UNSUPPORTED_MEDIA   ((NDIS_STATUS)0xC0010019)

//
// Media, objects and packet filters.
//
typedef enum _NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3
} NDIS_MEDIUM, *PNDIS_MEDIUM;

#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_802_3_CURRENT_ADDRESS     0x01010102
#define OID_802_5_CURRENT_ADDRESS     0x02010102
#define NDIS_PACKET_TYPE_DIRECTED     0x00000001

typedef enum _NDIS_REQUEST_TYPE {
    NdisRequestQueryInformation,
    NdisRequestSetInformation,
    NdisRequestQueryStatistics,
    NdisRequestOpen,
    NdisRequestClose,
    NdisRequestSend,
    NdisRequestTransferData,
    NdisRequestReset,
    NdisRequestGeneric1,
    NdisRequestGeneric2,
    NdisRequestGeneric3,
    NdisRequestGeneric4
} NDIS_REQUEST_TYPE, *PNDIS_REQUEST_TYPE;

typedef struct _NDIS_REQUEST {
    UCHAR MacReserved[4 * sizeof(PVOID)];
    NDIS_REQUEST_TYPE RequestType;
    union _DATA {
        struct _QUERY_INFORMATION {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            UINT InformationBufferLength;
            UINT BytesWritten;
            UINT BytesNeeded;
        } QUERY_INFORMATION;
        struct _SET_INFORMATION {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            UINT InformationBufferLength;
            UINT BytesRead;
            UINT BytesNeeded;
        } SET_INFORMATION;
    } DATA;
    UCHAR NdisReserved[9 * sizeof(PVOID)];
    union {
        UCHAR CallMgrReserved[2 * sizeof(PVOID)];
        UCHAR ProtocolReserved[2 * sizeof(PVOID)];
    };
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
} NDIS_REQUEST, *PNDIS_REQUEST;

//
// Packets.
//
typedef NDIS_HANDLE PNDIS_PACKET_POOL;

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;
    UINT TotalLength;
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    PNDIS_PACKET_POOL Pool;
    UINT Count;
    ULONG Flags;
    BOOLEAN ValidCounts;
    UCHAR NdisPacketFlags;
    USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE, *PNDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    union {
        struct {
            UCHAR MiniportReserved[2 * sizeof(PVOID)];
            UCHAR WrapperReserved[2 * sizeof(PVOID)];
        };
        struct {
            UCHAR MiniportReservedEx[3 * sizeof(PVOID)];
            UCHAR WrapperReservedEx[sizeof(PVOID)];
        };
        struct {
            UCHAR MacReserved[4 * sizeof(PVOID)];
        };
    };
    ULONG_PTR Reserved[2];
    UCHAR ProtocolReserved[1];
} NDIS_PACKET, *PNDIS_PACKET, **PPNDIS_PACKET;

// Out-of-band data that NDIS keeps behind each packet at Private.NdisPacketOobOffset.
typedef struct _NDIS_PACKET_OOB_DATA {
    union {
        alignas(8) ULONGLONG TimeToSend;   // 8-byte aligned on the platform, also on x86
        ULONGLONG TimeSent;
    };
    ULONGLONG TimeReceived;
    UINT HeaderSize;
    UINT SizeMediaSpecificInfo;
    PVOID MediaSpecificInformation;
    NDIS_STATUS Status;
} NDIS_PACKET_OOB_DATA, *PNDIS_PACKET_OOB_DATA;

//
// Events and plug-and-play.
//
typedef struct _NDIS_EVENT {
    KEVENT Event;
} NDIS_EVENT, *PNDIS_EVENT;

typedef enum _NET_PNP_EVENT_CODE {
    NetEventSetPower = 0,
    NetEventQueryPower = 1,
    NetEventQueryRemoveDevice = 2,
    NetEventCancelRemoveDevice = 3,
    NetEventReconfigure = 4,
    NetEventBindList = 5,
    NetEventBindsComplete = 6,
    NetEventPnPCapabilities = 7,
    NetEventMaximum = 8
} NET_PNP_EVENT_CODE;

typedef struct _NET_PNP_EVENT {
    NET_PNP_EVENT_CODE NetEvent;
    PVOID Buffer;
    ULONG BufferLength;
    ULONG_PTR NdisReserved[4];
    ULONG_PTR TransportReserved[4];
    ULONG_PTR TdiReserved[4];
    ULONG_PTR TdiClientReserved[4];
} NET_PNP_EVENT, *PNET_PNP_EVENT;

typedef enum _NDIS_DEVICE_POWER_STATE {
    NdisDeviceStateUnspecified = 0,
    NdisDeviceStateD0 = 1,
    NdisDeviceStateD1 = 2,
    NdisDeviceStateD2 = 3,
    NdisDeviceStateD3 = 4
} NDIS_DEVICE_POWER_STATE;

//
// Protocol handlers and the characteristics record (NDIS 5.0, 108 bytes on x86).
//
typedef VOID NTAPI OPEN_ADAPTER_COMPLETE_HANDLER(NDIS_HANDLE ProtocolBindingContext,
                                                NDIS_STATUS Status, NDIS_STATUS OpenErrorStatus);
typedef VOID NTAPI CLOSE_ADAPTER_COMPLETE_HANDLER(NDIS_HANDLE ProtocolBindingContext,
                                                 NDIS_STATUS Status);
typedef VOID NTAPI SEND_COMPLETE_HANDLER(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet,
                                        NDIS_STATUS Status);
typedef VOID NTAPI TRANSFER_DATA_COMPLETE_HANDLER(NDIS_HANDLE ProtocolBindingContext,
                                                 PNDIS_PACKET Packet, NDIS_STATUS Status,
                                                 UINT BytesTransferred);
typedef VOID NTAPI RESET_COMPLETE_HANDLER(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS Status);
typedef VOID NTAPI REQUEST_COMPLETE_HANDLER(NDIS_HANDLE ProtocolBindingContext,
                                           PNDIS_REQUEST NdisRequest, NDIS_STATUS Status);
typedef NDIS_STATUS NTAPI RECEIVE_HANDLER(NDIS_HANDLE ProtocolBindingContext,
                                         NDIS_HANDLE MacReceiveContext, PVOID HeaderBuffer,
                                         UINT HeaderBufferSize, PVOID LookAheadBuffer,
                                         UINT LookaheadBufferSize, UINT PacketSize);
typedef VOID NTAPI RECEIVE_COMPLETE_HANDLER(NDIS_HANDLE ProtocolBindingContext);
typedef VOID NTAPI STATUS_HANDLER(NDIS_HANDLE ProtocolBindingContext, NDIS_STATUS GeneralStatus,
                                 PVOID StatusBuffer, UINT StatusBufferSize);
typedef VOID NTAPI STATUS_COMPLETE_HANDLER(NDIS_HANDLE ProtocolBindingContext);
typedef INT NTAPI RECEIVE_PACKET_HANDLER(NDIS_HANDLE ProtocolBindingContext, PNDIS_PACKET Packet);
typedef VOID NTAPI BIND_HANDLER(PNDIS_STATUS Status, NDIS_HANDLE BindContext,
                               PNDIS_STRING DeviceName, PVOID SystemSpecific1,
                               PVOID SystemSpecific2);
typedef VOID NTAPI UNBIND_HANDLER(PNDIS_STATUS Status, NDIS_HANDLE ProtocolBindingContext,
                                 NDIS_HANDLE UnbindContext);
typedef NDIS_STATUS NTAPI PNP_EVENT_HANDLER(NDIS_HANDLE ProtocolBindingContext,
                                           PNET_PNP_EVENT NetPnPEvent);
typedef VOID NTAPI UNLOAD_PROTOCOL_HANDLER(VOID);

typedef struct _NDIS_PROTOCOL_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    USHORT Filler;
    UINT Flags;
    OPEN_ADAPTER_COMPLETE_HANDLER *OpenAdapterCompleteHandler;
    CLOSE_ADAPTER_COMPLETE_HANDLER *CloseAdapterCompleteHandler;
    SEND_COMPLETE_HANDLER *SendCompleteHandler;
    TRANSFER_DATA_COMPLETE_HANDLER *TransferDataCompleteHandler;
    RESET_COMPLETE_HANDLER *ResetCompleteHandler;
    REQUEST_COMPLETE_HANDLER *RequestCompleteHandler;
    RECEIVE_HANDLER *ReceiveHandler;
    RECEIVE_COMPLETE_HANDLER *ReceiveCompleteHandler;
    STATUS_HANDLER *StatusHandler;
    STATUS_COMPLETE_HANDLER *StatusCompleteHandler;
    NDIS_STRING Name;
    RECEIVE_PACKET_HANDLER *ReceivePacketHandler;
    BIND_HANDLER *BindAdapterHandler;
    UNBIND_HANDLER *UnbindAdapterHandler;
    PNP_EVENT_HANDLER *PnPEventHandler;
    UNLOAD_PROTOCOL_HANDLER *UnloadHandler;
    PVOID ReservedHandlers[4];
    PVOID CoSendCompleteHandler;
    PVOID CoStatusHandler;
    PVOID CoReceivePacketHandler;
    PVOID CoAfRegisterNotifyHandler;
} NDIS_PROTOCOL_CHARACTERISTICS, *PNDIS_PROTOCOL_CHARACTERISTICS;

//
// Routines exported by NDIS.SYS.
//
extern "C" {

VOID NTAPI NdisRegisterProtocol(PNDIS_STATUS Status, PNDIS_HANDLE NdisProtocolHandle,
                                PNDIS_PROTOCOL_CHARACTERISTICS ProtocolCharacteristics,
                                UINT CharacteristicsLength);
VOID NTAPI NdisDeregisterProtocol(PNDIS_STATUS Status, NDIS_HANDLE NdisProtocolHandle);
VOID NTAPI NdisOpenAdapter(PNDIS_STATUS Status, PNDIS_STATUS OpenErrorStatus,
                           PNDIS_HANDLE NdisBindingHandle, PUINT SelectedMediumIndex,
                           PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                           NDIS_HANDLE NdisProtocolHandle, NDIS_HANDLE ProtocolBindingContext,
                           PNDIS_STRING AdapterName, UINT OpenOptions,
                           PVOID AddressingInformation);
VOID NTAPI NdisCloseAdapter(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle);
VOID NTAPI NdisRequest(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle,
                       PNDIS_REQUEST NdisRequest);
VOID NTAPI NdisReset(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle);
VOID NTAPI NdisSend(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle, PNDIS_PACKET Packet);
VOID NTAPI NdisTransferData(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle,
                            NDIS_HANDLE MacReceiveContext, UINT ByteOffset,
                            UINT BytesToTransfer, PNDIS_PACKET Packet, PUINT BytesTransferred);
NDIS_STATUS NTAPI NdisQueryAdapterInstanceName(PNDIS_STRING AdapterInstanceName,
                                               NDIS_HANDLE NdisBindingHandle);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

VOID NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors, UINT ProtocolReservedLength);
VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET *Packet, NDIS_HANDLE PoolHandle);
VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet);
VOID NTAPI NdisUnchainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER *Buffer);
VOID NTAPI NdisCopyFromPacketToPacket(PNDIS_PACKET Destination, UINT DestinationOffset,
                                      UINT BytesToCopy, PNDIS_PACKET Source, UINT SourceOffset,
                                      PUINT BytesCopied);
VOID NTAPI NdisReturnPackets(PNDIS_PACKET *PacketsToReturn, UINT NumberOfPackets);

VOID NTAPI NdisInitializeEvent(PNDIS_EVENT Event);
VOID NTAPI NdisSetEvent(PNDIS_EVENT Event);
VOID NTAPI NdisResetEvent(PNDIS_EVENT Event);
BOOLEAN NTAPI NdisWaitEvent(PNDIS_EVENT Event, UINT MsToWait);

}  // extern "C"

//
// Packet and buffer macros of the NDIS 5 interface, over the published layout.
//

// The status the miniport set in a packet it indicates; NDIS_STATUS_RESOURCES means
// the protocol may not keep the packet beyond the indication.
static inline NDIS_STATUS NDIS_GET_PACKET_STATUS(PNDIS_PACKET Packet)
{
    return ((PNDIS_PACKET_OOB_DATA)((PUCHAR)Packet + Packet->Private.NdisPacketOobOffset))->Status;
}

static inline VOID NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer)
{
    PNDIS_BUFFER Last = Buffer;
    while (Last->Next != nullptr)
        Last = Last->Next;
    if (Packet->Private.Head == nullptr)
        Packet->Private.Tail = Last;
    Last->Next = Packet->Private.Head;
    Packet->Private.Head = Buffer;
    Packet->Private.ValidCounts = FALSE;
}

// First buffer, buffer count and total length; brings the packet's counts up to date.
static inline VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount,
                                   PUINT BufferCount, PNDIS_BUFFER *FirstBuffer, PUINT TotalLength)
{
    if (!Packet->Private.ValidCounts) {
        UINT Count = 0;
        UINT Length = 0;
        for (PNDIS_BUFFER Buffer = Packet->Private.Head; Buffer != nullptr; Buffer = Buffer->Next) {
            Count++;
            Length += MmGetMdlByteCount(Buffer);
        }
        Packet->Private.Count = Count;
        Packet->Private.TotalLength = Length;
        Packet->Private.PhysicalCount = Count;
        Packet->Private.ValidCounts = TRUE;
    }
    if (PhysicalBufferCount != nullptr)
        *PhysicalBufferCount = Packet->Private.PhysicalCount;
    if (BufferCount != nullptr)
        *BufferCount = Packet->Private.Count;
    if (FirstBuffer != nullptr)
        *FirstBuffer = Packet->Private.Head;
    if (TotalLength != nullptr)
        *TotalLength = Packet->Private.TotalLength;
}

// First buffer alone, without bringing the counts up to date.
static inline VOID NdisQueryPacketFirstBuffer(PNDIS_PACKET Packet, PNDIS_BUFFER *FirstBuffer)
{
    *FirstBuffer = Packet->Private.Head;
}

static inline VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER *NextBuffer)
{
    *NextBuffer = CurrentBuffer->Next;
}

// System address and length of a buffer; the address is null (and the length 0) when
// no mapping can be obtained, which does not stop the system.
static inline VOID NdisQueryBufferSafe(PNDIS_BUFFER Buffer, PVOID *VirtualAddress, PUINT Length,
                                       ULONG Priority)
{
    PVOID Address = MmGetSystemAddressForMdlSafe(Buffer, Priority);
    if (VirtualAddress != nullptr)
        *VirtualAddress = Address;
    *Length = Address != nullptr ? MmGetMdlByteCount(Buffer) : 0;
}
