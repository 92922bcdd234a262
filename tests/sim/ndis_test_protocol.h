// ndis_test_protocol.h - a small NDIS protocol for the tests of the simulated NDIS. It
// records what NDIS calls it with; its per-binding state is the binding context (and,
// in the bind handler, SystemSpecific1).
#pragma once

#include "sim/dpc.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/ndis.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ndistest {

// Host buffers of the given sizes (bytes counting up from `fill`), each described by a
// mapped MDL, chained in order.
struct Chain {
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<std::unique_ptr<MDL>> mdls;

    Chain(const std::vector<size_t> &sizes, uint8_t fill)
    {
        for (size_t size : sizes) {
            bytes.emplace_back(size);
            for (auto &b : bytes.back())
                b = fill++;
            auto mdl = std::make_unique<MDL>();
            *mdl = MDL{};
            mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
            mdl->StartVa = mdl->MappedSystemVa = bytes.back().data();
            mdl->ByteCount = static_cast<ULONG>(size);
            if (!mdls.empty())
                mdls.back()->Next = mdl.get();
            mdls.push_back(std::move(mdl));
        }
    }
    PNDIS_BUFFER Head() { return mdls.empty() ? nullptr : mdls.front().get(); }
    std::vector<uint8_t> Bytes() const
    {
        std::vector<uint8_t> all;
        for (const auto &b : bytes)
            all.insert(all.end(), b.begin(), b.end());
        return all;
    }
};

struct Completion {
    PVOID subject;
    NDIS_STATUS status;
    UINT bytes;
};

// One binding's context: everything NDIS told this binding.
struct TestBinding {
    NDIS_HANDLE handle = nullptr;
    NDIS_EVENT done{};   // open or close completed
    NDIS_STATUS lastStatus = NDIS_STATUS_PENDING;
    std::atomic<int> openCompletions{0}, closeCompletions{0}, receiveCompletes{0};
    std::mutex mutex;
    std::vector<Completion> sends, statuses;
    std::vector<std::vector<uint8_t>> received;   // header + lookahead, or the whole packet
    std::vector<KIRQL> irqls;                     // of every completion and indication
    std::function<NDIS_STATUS(NDIS_HANDLE context, UINT header, UINT lookahead, UINT size)> onReceive;
    std::function<INT(PNDIS_PACKET)> onReceivePacket;

    TestBinding() { NdisInitializeEvent(&done); }
    void Note(std::vector<Completion> *list, PVOID subject, NDIS_STATUS status, UINT bytes,
              std::vector<uint8_t> seen = {})
    {
        std::lock_guard lock(mutex);
        if (list != nullptr)
            list->push_back({subject, status, bytes});
        else
            received.push_back(std::move(seen));
        irqls.push_back(KeGetCurrentIrql());
    }
    void Finish(std::atomic<int> &count, NDIS_STATUS status)
    {
        {
            std::lock_guard lock(mutex);
            irqls.push_back(KeGetCurrentIrql());
        }
        lastStatus = status;
        count++;
        NdisSetEvent(&done);
    }
};

// What the bind handler finds through SystemSpecific1.
struct BindTarget {
    NDIS_HANDLE protocol;
    TestBinding *binding;
    std::u16string deviceName;
    KIRQL irql;
};

inline TestBinding &Of(NDIS_HANDLE c) { return *static_cast<TestBinding *>(c); }
inline std::vector<uint8_t> Span(PVOID p, UINT n) { return {static_cast<uint8_t *>(p), static_cast<uint8_t *>(p) + n}; }

inline VOID NTAPI OpenComplete(NDIS_HANDLE c, NDIS_STATUS s, NDIS_STATUS) { Of(c).Finish(Of(c).openCompletions, s); }
inline VOID NTAPI CloseComplete(NDIS_HANDLE c, NDIS_STATUS s) { Of(c).Finish(Of(c).closeCompletions, s); }
inline VOID NTAPI SendComplete(NDIS_HANDLE c, PNDIS_PACKET p, NDIS_STATUS s) { Of(c).Note(&Of(c).sends, p, s, 0); }
inline VOID NTAPI TransferComplete(NDIS_HANDLE, PNDIS_PACKET, NDIS_STATUS, UINT) {}
inline VOID NTAPI ResetComplete(NDIS_HANDLE, NDIS_STATUS) {}
inline VOID NTAPI RequestComplete(NDIS_HANDLE, PNDIS_REQUEST, NDIS_STATUS) {}
inline VOID NTAPI Status(NDIS_HANDLE c, NDIS_STATUS s, PVOID, UINT n) { Of(c).Note(&Of(c).statuses, nullptr, s, n); }
inline VOID NTAPI StatusComplete(NDIS_HANDLE c) { Of(c).Note(&Of(c).statuses, nullptr, NDIS_STATUS_SUCCESS, 0); }
inline VOID NTAPI ReceiveComplete(NDIS_HANDLE c) { Of(c).receiveCompletes++; }

inline NDIS_STATUS NTAPI Receive(NDIS_HANDLE c, NDIS_HANDLE context, PVOID header, UINT headerSize,
                                 PVOID lookahead, UINT lookaheadSize, UINT packetSize)
{
    std::vector<uint8_t> seen = header != nullptr ? Span(header, headerSize) : std::vector<uint8_t>{};
    auto rest = Span(lookahead, lookaheadSize);
    seen.insert(seen.end(), rest.begin(), rest.end());
    Of(c).Note(nullptr, nullptr, 0, 0, seen);
    return Of(c).onReceive ? Of(c).onReceive(context, headerSize, lookaheadSize, packetSize) : NDIS_STATUS_NOT_ACCEPTED;
}

// Reads the whole frame as a protocol would, mapping each buffer.
inline INT NTAPI ReceivePacket(NDIS_HANDLE c, PNDIS_PACKET packet)
{
    std::vector<uint8_t> seen;
    for (PNDIS_BUFFER buffer = packet->Private.Head; buffer != nullptr; buffer = buffer->Next) {
        PVOID address;
        UINT length;
        NdisQueryBufferSafe(buffer, &address, &length, NormalPagePriority);
        auto part = Span(address, address != nullptr ? length : 0);
        seen.insert(seen.end(), part.begin(), part.end());
    }
    Of(c).Note(nullptr, nullptr, 0, 0, seen);
    return Of(c).onReceivePacket ? Of(c).onReceivePacket(packet) : 0;
}

// Opens an adapter offering Ethernet and Token Ring; `index` is NDIS's choice.
inline VOID OpenFor(BindTarget &t, PNDIS_STRING name, PNDIS_STATUS status, PUINT index)
{
    NDIS_STATUS openError;
    NDIS_MEDIUM media[] = {NdisMedium802_3, NdisMedium802_5};
    NdisResetEvent(&t.binding->done);
    NdisOpenAdapter(status, &openError, &t.binding->handle, index, media, 2, t.protocol, t.binding, name, 0, nullptr);
}

// Binds synchronously: waits for an open that pends.
inline VOID NTAPI BindAdapter(PNDIS_STATUS status, NDIS_HANDLE, PNDIS_STRING name, PVOID target, PVOID)
{
    auto &t = *static_cast<BindTarget *>(target);
    t.irql = KeGetCurrentIrql();
    t.deviceName.assign(name->Buffer, name->Length / sizeof(WCHAR));
    UINT index;
    OpenFor(t, name, status, &index);
    if (*status == NDIS_STATUS_PENDING && NdisWaitEvent(&t.binding->done, 0))
        *status = t.binding->lastStatus;
}

inline VOID NTAPI UnbindAdapter(PNDIS_STATUS status, NDIS_HANDLE c, NDIS_HANDLE)
{
    NdisResetEvent(&Of(c).done);
    NdisCloseAdapter(status, Of(c).handle);
    if (*status == NDIS_STATUS_PENDING && NdisWaitEvent(&Of(c).done, 0))
        *status = Of(c).lastStatus;
}

// Global events: only binds-complete is handled. Per binding: full power only.
inline NDIS_STATUS NTAPI PnPEvent(NDIS_HANDLE c, PNET_PNP_EVENT event)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return NDIS_STATUS_FAILURE;
    if (c == nullptr)
        return event->NetEvent == NetEventBindsComplete ? NDIS_STATUS_SUCCESS : NDIS_STATUS_NOT_SUPPORTED;
    bool fullPower = event->BufferLength == 4 && *static_cast<ULONG *>(event->Buffer) == NdisDeviceStateD0;
    return event->NetEvent != NetEventSetPower || fullPower ? NDIS_STATUS_SUCCESS : NDIS_STATUS_NOT_SUPPORTED;
}

inline NDIS_PROTOCOL_CHARACTERISTICS Characteristics(const char16_t *name)
{
    NDIS_PROTOCOL_CHARACTERISTICS c{};
    c.MajorNdisVersion = 5;
    c.OpenAdapterCompleteHandler = OpenComplete;
    c.CloseAdapterCompleteHandler = CloseComplete;
    c.SendCompleteHandler = SendComplete;
    c.TransferDataCompleteHandler = TransferComplete;
    c.ResetCompleteHandler = ResetComplete;
    c.RequestCompleteHandler = RequestComplete;
    c.ReceiveHandler = Receive;
    c.ReceiveCompleteHandler = ReceiveComplete;
    c.StatusHandler = Status;
    c.StatusCompleteHandler = StatusComplete;
    c.ReceivePacketHandler = ReceivePacket;
    c.BindAdapterHandler = BindAdapter;
    c.UnbindAdapterHandler = UnbindAdapter;
    c.PnPEventHandler = PnPEvent;
    RtlInitUnicodeString(&c.Name, name);
    return c;
}

// An Ethernet frame to `destination` of `size` bytes, the rest counting up from 0x46.
inline sim::Frame EthernetFrame(const sim::MacAddress &destination, size_t size)
{
    sim::Frame frame(size);
    std::copy(destination.begin(), destination.end(), frame.begin());
    for (size_t i = 6; i < size; i++)
        frame[i] = static_cast<uint8_t>(0x40 + i);
    return frame;
}

constexpr sim::MacAddress kStationA{0x02, 0, 0, 0, 0, 0x0A};
constexpr sim::MacAddress kStationB{0x02, 0, 0, 0, 0, 0x0B};

// A machine with the test protocol registered, and helpers that open adapters and
// allocate packets on the test thread.
class NdisFixture : public ::testing::Test {
public:
    sim::Machine machine;
    sim::Ndis &ndis = machine.ndis();
    NDIS_HANDLE protocol = nullptr;

    void SetUp() override
    {
        NDIS_PROTOCOL_CHARACTERISTICS c = Characteristics(u"NDISTEST");
        NDIS_STATUS status;
        NdisRegisterProtocol(&status, &protocol, &c, sizeof(c));
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    }

    sim::Adapter &AddAdapter(const std::u16string &name, sim::MacAddress mac = kStationA,
                             NDIS_MEDIUM medium = NdisMedium802_3, uint32_t filter = 0)
    {
        sim::AdapterConfig config;
        config.deviceName = name;
        config.macAddress = mac;
        config.medium = medium;
        config.packetFilter = filter;
        return ndis.AddAdapter(config);
    }

    NDIS_STATUS Open(const char16_t *name, TestBinding &binding)
    {
        BindTarget target{protocol, &binding, {}, 0};
        NDIS_STRING adapterName;
        RtlInitUnicodeString(&adapterName, name);
        NDIS_STATUS status;
        UINT selected;
        OpenFor(target, &adapterName, &status, &selected);
        return status;
    }

    NDIS_STATUS Close(TestBinding &binding)
    {
        NDIS_STATUS status;
        NdisResetEvent(&binding.done);
        NdisCloseAdapter(&status, binding.handle);
        return status;
    }

    NDIS_HANDLE Pool(UINT count = 16, UINT reserved = 24)
    {
        NDIS_STATUS status;
        NDIS_HANDLE pool = nullptr;
        NdisAllocatePacketPool(&status, &pool, count, reserved);
        return pool;
    }

    PNDIS_PACKET Packet(NDIS_HANDLE pool, PNDIS_BUFFER chain = nullptr)
    {
        NDIS_STATUS status;
        PNDIS_PACKET packet = nullptr;
        NdisAllocatePacket(&status, &packet, pool);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        if (packet != nullptr && chain != nullptr)
            NdisChainBufferAtFront(packet, chain);
        return packet;
    }
};

}  // namespace ndistest
