// filter_target.h - one fuzz input against KRVDLC's frame filter, both classifications.
//
// Input: byte 0 selects the medium (bits 0-1: 802.3, 802.5, another medium, 802.3), the
// DSAP check (bit 2), level-5 tracing without a sink (bit 3) and the length of the
// packet's first buffer (bits 4-7: n > 0 splits the frame after 2n bytes); the rest is
// the frame. The frame is handed to AcceptLookaheadFrame split as NDIS splits it (header
// and lookahead in blocks of their own, so that a read past either is caught) and to
// AcceptPacketFrame as a packet of one or two mapped buffers. Each verdict is compared with
// the filter rules of tools/common/frames.h, and RejectDSAP with the DSAP rule for every
// byte value the input carries.
//
// Needs a loaded driver (the packet classification logs a warning event for a frame on
// another medium): FilterTarget keeps one SimulatedHost for all inputs.
#pragma once

#include "tools/common/simulated_host.h"
#include "tools/common/frames.h"
#include "sim/errorlog.h"

#include "core/krvdlc.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

namespace krvdlc::fuzz {

class FilterTarget {
public:
    FilterTarget() { host_.Load(); }
    FilterTarget(const FilterTarget &) = delete;
    FilterTarget &operator=(const FilterTarget &) = delete;

    // An empty string when every verdict matched; otherwise what went wrong.
    std::string Run(const uint8_t *data, size_t size)
    {
        if (size == 0)
            return {};
        static constexpr NDIS_MEDIUM kMedia[] = {NdisMedium802_3, NdisMedium802_5,
                                                 static_cast<NDIS_MEDIUM>(2), NdisMedium802_3};
        NDIS_MEDIUM medium = kMedia[data[0] & 0x03];
        bool checkDsap = (data[0] & 0x04) != 0;
        bool trace = (data[0] & 0x08) != 0;
        size_t split = static_cast<size_t>(data[0] >> 4) * 2;
        frames::Bytes frame(data + 1, data + size);

        auto adapter = std::make_unique<ADAPTER_CONTEXT>();
        adapter->Medium = medium;
        adapter->CheckDSAP = checkDsap ? TRUE : FALSE;
        ULONG savedLevel = ReadNoFence(&TraceLevel);
        WriteNoFence(&TraceLevel, static_cast<ULONG>(trace ? 5 : 0));

        std::string failure;
        uint32_t mediumValue = static_cast<uint32_t>(medium);
        bool lookahead = Lookahead(*adapter, frame);
        if (lookahead != frames::DriverAccepts(frames::ReceiveStyle::Lookahead, mediumValue, checkDsap, frame))
            failure = Describe("lookahead", lookahead, data[0], frame);
        std::optional<size_t> firstBuffer;
        if (split != 0 && split < frame.size())
            firstBuffer = split;
        bool packet = Packet(*adapter, frame, firstBuffer);
        if (failure.empty() &&
            packet != frames::DriverAccepts(frames::ReceiveStyle::Packet, mediumValue, checkDsap, frame, firstBuffer))
            failure = Describe("packet", packet, data[0], frame);
        for (size_t i = 1; failure.empty() && i < size && i < 64; ++i) {
            if ((RejectDSAP(data[i]) != FALSE) != frames::DsapRefused(data[i]))
                failure = "RejectDSAP disagrees for DSAP " + std::to_string(data[i]);
        }
        WriteNoFence(&TraceLevel, savedLevel);
        host_.machine().errorLog().Clear();
        return failure;
    }

private:
    static std::string Describe(const char *style, bool accepted, uint8_t control, const frames::Bytes &frame)
    {
        return std::string(style) + " classification " + (accepted ? "accepted" : "refused") +
               " against the rules (control byte " + std::to_string(control) + ", " +
               std::to_string(frame.size()) + "-byte frame)";
    }

    static bool Lookahead(ADAPTER_CONTEXT &adapter, const frames::Bytes &frame)
    {
        size_t headerSize = frames::IndicatedHeaderSize(static_cast<uint32_t>(adapter.Medium), frame);
        size_t lookaheadSize = frame.size() - headerSize;
        auto header = std::make_unique<uint8_t[]>(headerSize);
        std::copy_n(frame.data(), headerSize, header.get());
        auto lookahead = std::make_unique<uint8_t[]>(lookaheadSize);
        std::copy_n(frame.data() + headerSize, lookaheadSize, lookahead.get());
        return AcceptLookaheadFrame(&adapter, header.get(), static_cast<UINT>(headerSize), lookahead.get(),
                                    static_cast<UINT>(lookaheadSize)) != FALSE;
    }

    // The frame as a packet of mapped buffers, each an exact-size block of its own.
    static bool Packet(ADAPTER_CONTEXT &adapter, const frames::Bytes &frame, std::optional<size_t> firstBuffer)
    {
        size_t first = firstBuffer.value_or(frame.size());
        auto head = std::make_unique<uint8_t[]>(first);
        std::copy_n(frame.data(), first, head.get());
        auto tail = std::make_unique<uint8_t[]>(frame.size() - first);
        std::copy_n(frame.data() + first, frame.size() - first, tail.get());
        MDL buffers[2] = {};
        buffers[0].MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
        buffers[0].MappedSystemVa = buffers[0].StartVa = head.get();
        buffers[0].ByteCount = static_cast<ULONG>(first);
        buffers[1].MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
        buffers[1].MappedSystemVa = buffers[1].StartVa = tail.get();
        buffers[1].ByteCount = static_cast<ULONG>(frame.size() - first);
        auto storage = std::make_unique<uint8_t[]>(sizeof(NDIS_PACKET) + 32);
        auto *packet = new (storage.get()) NDIS_PACKET{};
        if (!frame.empty()) {
            if (firstBuffer)
                buffers[0].Next = &buffers[1];
            packet->Private.Head = &buffers[0];
            packet->Private.Tail = firstBuffer ? &buffers[1] : &buffers[0];
        }
        return AcceptPacketFrame(&adapter, packet) != FALSE;
    }

    SimulatedHost host_;
};

}  // namespace krvdlc::fuzz
