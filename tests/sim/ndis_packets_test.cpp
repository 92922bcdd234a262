// Packet pools, packets, buffer chains and sends of the simulated NDIS.
#include "tests/sim/ndis_test_protocol.h"

#include <thread>

using namespace ndistest;

namespace {

using NdisPackets = NdisFixture;

TEST_F(NdisPackets, PoolOfSixteenIsExhaustedAtTheSeventeenth)
{
    NDIS_STATUS status;
    NDIS_HANDLE pool = nullptr;
    machine.faults().FailNth("NdisAllocatePacketPool", 1);
    NdisAllocatePacketPool(&status, &pool, 16, 20);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    pool = Pool(16, 20);
    std::vector<PNDIS_PACKET> packets;
    for (int i = 0; i < 16; i++) {
        PNDIS_PACKET packet = Packet(pool);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->Private.Pool, pool);
        EXPECT_EQ(packet->Private.Head, nullptr);
        EXPECT_TRUE(packet->Private.ValidCounts);
        EXPECT_GE(packet->Private.NdisPacketOobOffset, offsetof(NDIS_PACKET, ProtocolReserved) + 20);
        EXPECT_EQ(NDIS_GET_PACKET_STATUS(packet), NDIS_STATUS_SUCCESS);
        packets.push_back(packet);
    }
    EXPECT_EQ(ndis.PacketsInUse(pool), 16u);
    PNDIS_PACKET extra = packets[0];
    NdisAllocatePacket(&status, &extra, pool);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(extra, nullptr);

    // A freed descriptor comes back initialised, whatever the protocol left in it.
    Chain leftover({1}, 0);
    NdisChainBufferAtFront(packets[3], leftover.Head());
    NdisFreePacket(packets[3]);
    machine.faults().FailNth("NdisAllocatePacket", 1);
    NdisAllocatePacket(&status, &extra, pool);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    PNDIS_PACKET again = Packet(pool);
    EXPECT_EQ(again, packets[3]);
    EXPECT_EQ(again->Private.Head, nullptr);
    EXPECT_TRUE(again->Private.ValidCounts);
    for (PNDIS_PACKET packet : packets)
        NdisFreePacket(packet);
    EXPECT_EQ(ndis.PacketsInUse(pool), 0u);
    NdisFreePacketPool(pool);
    EXPECT_EQ(ndis.PacketPoolCount(), 0u);
}

TEST_F(NdisPackets, CopyFromPacketToPacketWalksBothSplitChains)
{
    const struct {
        std::vector<size_t> source, destination;
        UINT sourceOffset, destinationOffset, bytesToCopy, expected;
    } rows[] = {
        {{10}, {10}, 0, 0, 10, 10},
        {{3, 4, 5}, {12}, 0, 0, 12, 12},
        {{12}, {1, 2, 9}, 0, 0, 12, 12},
        {{3, 4, 5}, {5, 5, 5}, 2, 4, 8, 8},
        {{3, 4, 5}, {2, 2}, 0, 0, 12, 4},       // destination shorter
        {{3, 0, 4}, {7}, 5, 0, 100, 2},          // source ends first; an empty buffer inside
        {{6}, {6}, 6, 0, 3, 0},                  // offset at the end
    };
    NDIS_HANDLE pool = Pool(2, 8);
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.source) + " -> " + testing::PrintToString(row.destination));
        Chain source(row.source, 0x10);
        Chain destination(row.destination, 0x80);
        std::vector<uint8_t> expected = destination.Bytes();
        const std::vector<uint8_t> all = source.Bytes();
        std::copy_n(all.begin() + row.sourceOffset, row.expected, expected.begin() + row.destinationOffset);
        PNDIS_PACKET from = Packet(pool, source.Head());
        PNDIS_PACKET to = Packet(pool, destination.Head());
        UINT copied = 0xFFFF;
        NdisCopyFromPacketToPacket(to, row.destinationOffset, row.bytesToCopy, from, row.sourceOffset, &copied);
        EXPECT_EQ(copied, row.expected);
        EXPECT_EQ(destination.Bytes(), expected);
        // Taking the buffers off again leaves the packet empty.
        PNDIS_BUFFER buffer;
        for (size_t i = 0; i < row.source.size(); i++) {
            NdisUnchainBufferAtFront(from, &buffer);
            EXPECT_EQ(buffer, source.mdls[i].get());
            EXPECT_EQ(buffer->Next, nullptr);
        }
        NdisUnchainBufferAtFront(from, &buffer);
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(from->Private.Tail, nullptr);
        NdisFreePacket(from);
        NdisFreePacket(to);
    }
    NdisFreePacketPool(pool);
}

TEST_F(NdisPackets, SendsCaptureTheFrameAndCompleteInAnyOrder)
{
    sim::Adapter &adapter = AddAdapter(u"\\Device\\{E}");
    TestBinding binding;
    ASSERT_EQ(Open(u"\\Device\\{E}", binding), NDIS_STATUS_SUCCESS);
    NDIS_HANDLE pool = Pool(4, 8);
    Chain first({14, 3}, 0x00), second({20}, 0x50), third({16}, 0x90);
    PNDIS_PACKET a = Packet(pool, first.Head());
    PNDIS_PACKET b = Packet(pool, second.Head());
    PNDIS_PACKET c = Packet(pool, third.Head());

    NDIS_STATUS status;
    adapter.ScriptNext(sim::NdisOperation::Send, {sim::CompletionMode::Immediate, NDIS_STATUS_FAILURE});
    NdisSend(&status, binding.handle, a);
    EXPECT_EQ(status, NDIS_STATUS_FAILURE);
    adapter.SetScript(sim::NdisOperation::Send, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    NdisSend(&status, binding.handle, b);
    EXPECT_EQ(status, NDIS_STATUS_PENDING);
    NdisSend(&status, binding.handle, c);
    EXPECT_EQ(status, NDIS_STATUS_PENDING);
    EXPECT_EQ(adapter.SentFrames(), (std::vector<sim::Frame>{first.Bytes(), second.Bytes(), third.Bytes()}));

    std::thread other([&] { EXPECT_TRUE(adapter.ReleasePending(sim::NdisOperation::Send, 1)); });
    other.join();
    EXPECT_TRUE(adapter.ReleasePending(sim::NdisOperation::Send, 0, NDIS_STATUS_RESOURCES));
    ASSERT_EQ(binding.sends.size(), 2u);
    EXPECT_EQ(binding.sends[0].subject, c);
    EXPECT_EQ(binding.sends[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(binding.sends[1].subject, b);
    EXPECT_EQ(binding.sends[1].status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(binding.irqls, std::vector<KIRQL>(2, DISPATCH_LEVEL));
    adapter.SetScript(sim::NdisOperation::Send, {});
    NdisSend(&status, binding.handle, b);   // a completed packet may go again
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);

    // Locked pages not yet mapped: a failed mapping fails the send.
    std::vector<uint8_t> frame = EthernetFrame(kStationB, 14);
    PMDL mdl = IoAllocateMdl(frame.data(), static_cast<ULONG>(frame.size()), FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    PNDIS_PACKET d = Packet(pool, mdl);
    machine.faults().FailNth("MmMapLockedPagesSpecifyCache", 1);
    NdisSend(&status, binding.handle, d);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(adapter.SentFrames().size(), 4u);
    NdisSend(&status, binding.handle, d);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter.SentFrames().back(), frame);
    for (PNDIS_PACKET packet : {a, b, c, d})
        NdisFreePacket(packet);
    IoFreeMdl(mdl);
    NdisFreePacketPool(pool);
    Close(binding);
}

}  // namespace
