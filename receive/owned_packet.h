//
// owned_packet.h - driver-owned receive packets: a descriptor of the adapter's pool, one
// nonpaged frame buffer and the packet MDL that describes the whole buffer, kept in the
// descriptor's RESERVED()->Mdl. A non-null Mdl is what tells every later stage that the
// driver, not NDIS, owns the packet.
//
#pragma once

//
// AllocateFrameBuffer - gives Packet (a descriptor of the adapter's pool, still owned by
// the caller) a nonpaged frame buffer of Bytes and the packet MDL over it, stored in
// RESERVED(Packet)->Mdl and not chained. Returns the buffer, or null with nothing left
// allocated. Its progress lines follow Level, the trace level its caller read. Any IRQL
// up to DISPATCH_LEVEL. Inline: every frame of the lookahead path passes here.
//
FORCEINLINE PUCHAR AllocateFrameBuffer(PNDIS_PACKET Packet, UINT Bytes, ULONG Level)
{
    PUCHAR Buffer = (PUCHAR)KrvAllocatePool(NonPagedPool, Bytes);
    if (Buffer == nullptr) {
        if (TRACE_ON(1)) TraceMessage(1, "** ExAllocatePool buffer failed.\n");
        LogSystemError(LOG_ERROR, "** ExAllocatePool buffer failed.\n", nullptr, 0);
        return nullptr;
    }
    if (TRACE_AT(Level, 4))
        TraceLong(4, "Driver allocating packet buffer: ", (ULONG)(ULONG_PTR)Buffer, 16);

    PMDL Mdl = IoAllocateMdl(Buffer, Bytes, FALSE, FALSE, nullptr);
    if (Mdl == nullptr) {
        if (TRACE_ON(1)) TraceMessage(1, "** Failed to allocate packet Mdl\n");
        LogSystemError(LOG_ERROR, "** Failed to allocate packet Mdl\n", nullptr, 0);
        ExFreePool(Buffer);
        return nullptr;
    }
    if (TRACE_AT(Level, 4)) TraceLong(4, "Driver allocating MDL for packet: ", (ULONG)(ULONG_PTR)Mdl, 16);
    MmBuildMdlForNonPagedPool(Mdl);
    RESERVED(Packet)->Mdl = Mdl;
    return Buffer;
}

//
// FreeOwnedPacket - frees a driver-owned packet: frame buffer (the address its packet
// MDL describes), packet MDL, descriptor, with a trace line for each from Level 4 on
// (Level: the trace level its caller read, or 0 for no lines). The MDLs chained to the
// packet are the driver's own and are unchained first, so that the descriptor goes back
// to the pool without a stale chain. Up to DISPATCH_LEVEL. Inline: every frame of the
// lookahead path is freed here.
//
FORCEINLINE VOID FreeOwnedPacket(PNDIS_PACKET Packet, ULONG Level)
{
    PMDL Mdl = RESERVED(Packet)->Mdl;
    // The chain is looked at before each call, so that a packet with one buffer costs one.
    for (;;) {
        PNDIS_BUFFER Chained = nullptr;
        NdisQueryPacketFirstBuffer(Packet, &Chained);
        if (Chained == nullptr)
            break;
        NdisUnchainBufferAtFront(Packet, &Chained);
    }

    // Built for nonpaged pool, the MDL's virtual address is the frame buffer's system address.
    PVOID Buffer = MmGetMdlVirtualAddress(Mdl);
    BOOLEAN Trace = TRACE_AT(Level, 4);
    if (Trace)
        TraceLong(4, "Freeing driver-allocated packet buffer: ", (ULONG)(ULONG_PTR)Buffer, 16);
    ExFreePool(Buffer);

    if (Trace)
        TraceLong(4, "Freeing driver-allocated MDL: ", (ULONG)(ULONG_PTR)Mdl, 16);
    IoFreeMdl(Mdl);

    if (Trace)
        TraceLong(4, "Freeing driver-allocated packet: ", (ULONG)(ULONG_PTR)Packet, 16);
    RESERVED(Packet)->Mdl = nullptr;
    NdisFreePacket(Packet);
}
