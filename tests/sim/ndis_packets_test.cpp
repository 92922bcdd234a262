// Copies between the buffer chains of two packets of the simulated NDIS.
#include "tests/sim/ndis_test_protocol.h"

#include <thread>

using namespace ndistest;

namespace {

using NdisPackets = NdisFixture;

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

}  // namespace
