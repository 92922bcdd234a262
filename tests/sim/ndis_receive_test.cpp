// Indicated packets and segments of the simulated NDIS.
#include "tests/sim/ndis_test_protocol.h"

#include <thread>

using namespace ndistest;

namespace {

using NdisReceive = NdisFixture;

TEST_F(NdisReceive, PacketReturnedOnAnotherProcessorDuringItsIndicationIsNotLent)
{
    sim::Adapter &adapter = AddAdapter(u"\\Device\\{E}");
    TestBinding binding;
    ASSERT_EQ(Open(u"\\Device\\{E}", binding), NDIS_STATUS_SUCCESS);
    const sim::Frame frame = EthernetFrame(kStationA, 64);
    binding.onReceivePacket = [&](PNDIS_PACKET packet) {
        std::thread other([&] { NdisReturnPackets(&packet, 1); });
        other.join();
        return 1;
    };
    EXPECT_EQ(adapter.IndicatePacket(frame), 1);
    EXPECT_EQ(adapter.LentPackets(), 0u);
    Close(binding);
}

TEST_F(NdisReceive, SegmentDeliversWhatEachFilterAccepts)
{
    sim::Segment &segment = ndis.AddSegment();
    const sim::MacAddress c{0x02, 0, 0, 0, 0, 0x0C}, d{0x02, 0, 0, 0, 0, 0x0D};
    sim::Adapter *stations[] = {
        &AddAdapter(u"\\Device\\{A}", kStationA, NdisMedium802_3, NDIS_PACKET_TYPE_DIRECTED),
        &AddAdapter(u"\\Device\\{B}", kStationB, NdisMedium802_3, NDIS_PACKET_TYPE_DIRECTED),
        &AddAdapter(u"\\Device\\{C}", c, NdisMedium802_3, 0),
        &AddAdapter(u"\\Device\\{D}", d, NdisMedium802_3, NDIS_PACKET_TYPE_DIRECTED | sim::kPacketTypeBroadcast),
    };
    stations[3]->SetReceivePath(sim::ReceivePath::Packet);
    TestBinding bindings[4];
    for (int i = 0; i < 4; i++) {
        segment.Attach(*stations[i]);
        ASSERT_EQ(Open(stations[i]->DeviceName().c_str(), bindings[i]), NDIS_STATUS_SUCCESS);
    }
    NDIS_HANDLE pool = Pool(1, 8);
    const struct {
        sim::MacAddress to;
        int receiver;   // -1: none
    } rows[] = {
        {kStationB, 1},
        {c, -1},                                   // C's filter is 0
        {d, 3},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 3},   // only D takes broadcasts
        {{0x03, 0, 0, 0, 0, 1}, -1},                 // multicast: nobody has the bit
        {kStationA, -1},                             // the sender does not hear itself
    };
    for (const auto &row : rows) {
        for (auto &binding : bindings) {
            binding.received.clear();
            binding.receiveCompletes = 0;
        }
        Chain frame({30}, 0);
        std::copy(row.to.begin(), row.to.end(), frame.bytes[0].begin());
        PNDIS_PACKET packet = Packet(pool, frame.Head());
        NDIS_STATUS status;
        NdisSend(&status, bindings[0].handle, packet);
        EXPECT_EQ(status, NDIS_STATUS_PENDING);
        machine.dpcs().Drain();
        ASSERT_FALSE(bindings[0].sends.empty());
        EXPECT_EQ(bindings[0].sends.back().subject, packet);
        EXPECT_EQ(bindings[0].sends.back().status, NDIS_STATUS_SUCCESS);
        for (int i = 1; i < 4; i++) {
            const bool hears = i == row.receiver;
            EXPECT_EQ(bindings[i].received, std::vector<sim::Frame>(hears ? 1 : 0, frame.Bytes())) << i;
            EXPECT_EQ(bindings[i].receiveCompletes, hears ? 1 : 0) << i;
        }
        NdisFreePacket(packet);
    }
    EXPECT_EQ(segment.FramesCarried(), 6u);
    EXPECT_EQ(segment.Deliveries(), 3u);
    NdisFreePacketPool(pool);
    for (auto &binding : bindings)
        Close(binding);
}

}  // namespace
