// Receive indications, data transfers, indicated packets and segments of the simulated NDIS.
#include "tests/sim/ndis_test_protocol.h"

#include <thread>

using namespace ndistest;

namespace {

using NdisReceive = NdisFixture;

TEST_F(NdisReceive, HeaderAndLookaheadFollowTheMedium)
{
    sim::Adapter &ethernet = AddAdapter(u"\\Device\\{E}");
    sim::Adapter &ring = AddAdapter(u"\\Device\\{T}", kStationB, NdisMedium802_5);
    TestBinding onEthernet, onRing;
    ASSERT_EQ(Open(u"\\Device\\{E}", onEthernet), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\Device\\{T}", onRing), NDIS_STATUS_SUCCESS);
    std::vector<UINT> sizes;
    onEthernet.onReceive = onRing.onReceive = [&](NDIS_HANDLE, UINT header, UINT lookahead, UINT size) {
        sizes = {header, lookahead, size};
        return NDIS_STATUS_SUCCESS;
    };
    sim::Frame routed(40, 0x11), plain(40, 0x11);
    routed[8] = 0x82;   // routing information present, 6 bytes of it
    routed[14] = 0x06;
    const struct {
        sim::Adapter *adapter;
        sim::Frame frame;
        std::optional<size_t> lookahead, header;
        std::vector<UINT> sizes;   // header, lookahead, packet size
    } rows[] = {
        {&ethernet, EthernetFrame(kStationA, 60), {}, {}, {14, 46, 46}},
        {&ethernet, EthernetFrame(kStationA, 60), 10, {}, {14, 10, 46}},
        {&ethernet, EthernetFrame(kStationA, 60), {}, 3, {3, 57, 57}},
        {&ethernet, EthernetFrame(kStationA, 14), {}, {}, {14, 0, 0}},
        {&ring, routed, {}, {}, {20, 20, 20}},
        {&ring, plain, {}, {}, {14, 26, 26}},
    };
    for (const auto &row : rows) {
        TestBinding &binding = row.adapter == &ethernet ? onEthernet : onRing;
        binding.received.clear();
        sim::ReceiveOptions options;
        options.lookaheadSize = row.lookahead;
        options.headerSize = row.header;
        EXPECT_EQ(row.adapter->IndicateReceive(row.frame, options), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(sizes, row.sizes);
        ASSERT_EQ(binding.received.size(), 1u);
        EXPECT_EQ(binding.received[0], sim::Frame(row.frame.begin(), row.frame.begin() + row.sizes[0] + row.sizes[1]));
        EXPECT_EQ(binding.irqls.back(), DISPATCH_LEVEL);
    }
    sim::ReceiveOptions noHeader;
    noHeader.nullHeaderBuffer = true;
    onEthernet.received.clear();
    EXPECT_TRUE(ethernet.IndicateReceive(EthernetFrame(kStationA, 20), noHeader).has_value());
    EXPECT_EQ(onEthernet.received[0].size(), 6u);   // the lookahead alone
    EXPECT_TRUE(ethernet.IndicateReceiveComplete());
    EXPECT_EQ(onEthernet.receiveCompletes, 1);
    Close(onEthernet);
    Close(onRing);
    EXPECT_FALSE(ethernet.IndicateReceive(EthernetFrame(kStationA, 20)).has_value());
}

class NdisTransfer : public NdisFixture, public ::testing::WithParamInterface<sim::CompletionMode> {};

TEST_P(NdisTransfer, CopiesTheFrameDataIntoTheProtocolsChain)
{
    sim::Adapter &adapter = AddAdapter(u"\\Device\\{E}");
    TestBinding binding;
    ASSERT_EQ(Open(u"\\Device\\{E}", binding), NDIS_STATUS_SUCCESS);
    adapter.SetScript(sim::NdisOperation::TransferData, {GetParam(), NDIS_STATUS_SUCCESS});
    NDIS_HANDLE pool = Pool(1, 8);
    Chain chain({7, 1, 34}, 0);
    PNDIS_PACKET packet = Packet(pool, chain.Head());
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    UINT transferred = 0xFFFF;
    binding.onReceive = [&](NDIS_HANDLE context, UINT, UINT, UINT size) {
        // Everything after the first 4 data bytes.
        NdisTransferData(&status, binding.handle, context, 4, size - 4, packet, &transferred);
        return NDIS_STATUS_SUCCESS;
    };
    const sim::Frame frame = EthernetFrame(kStationA, 60);
    sim::ReceiveOptions options;
    options.lookaheadSize = 8;
    EXPECT_EQ(adapter.IndicateReceive(frame, options), NDIS_STATUS_SUCCESS);
    if (GetParam() == sim::CompletionMode::Immediate) {
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(transferred, 42u);
    } else {
        EXPECT_EQ(status, NDIS_STATUS_PENDING);
        if (GetParam() == sim::CompletionMode::Held) {
            EXPECT_EQ(chain.Bytes()[0], 0u);   // nothing is copied before the completion
            std::thread other([&] { EXPECT_TRUE(adapter.ReleasePending(sim::NdisOperation::TransferData)); });
            other.join();
        }
        machine.dpcs().Drain();
        ASSERT_EQ(binding.transfers.size(), 1u);
        EXPECT_EQ(binding.transfers[0].subject, packet);
        EXPECT_EQ(binding.transfers[0].status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(binding.transfers[0].bytes, 42u);
        EXPECT_EQ(binding.irqls.back(), DISPATCH_LEVEL);
    }
    EXPECT_EQ(chain.Bytes(), std::vector<uint8_t>(frame.begin() + 18, frame.end()));
    NdisFreePacket(packet);
    NdisFreePacketPool(pool);
    Close(binding);
}

INSTANTIATE_TEST_SUITE_P(Modes, NdisTransfer,
                         ::testing::Values(sim::CompletionMode::Immediate, sim::CompletionMode::Dpc,
                                           sim::CompletionMode::Held));

TEST_F(NdisReceive, IndicatedPacketsAreLentUntilReturned)
{
    sim::Adapter &adapter = AddAdapter(u"\\Device\\{E}");
    TestBinding binding;
    ASSERT_EQ(Open(u"\\Device\\{E}", binding), NDIS_STATUS_SUCCESS);
    std::vector<PNDIS_PACKET> kept;
    std::vector<NDIS_STATUS> statuses;
    binding.onReceivePacket = [&](PNDIS_PACKET packet) {
        statuses.push_back(NDIS_GET_PACKET_STATUS(packet));
        if (statuses.back() == NDIS_STATUS_RESOURCES)
            return 0;
        kept.push_back(packet);
        return 1;
    };
    const sim::Frame frame = EthernetFrame(kStationA, 64);
    sim::PacketOptions split;
    split.splitAt = {14, 20, 20};
    split.mapped = false;   // the protocol maps each buffer itself
    EXPECT_EQ(adapter.IndicatePacket(frame, split), 1);
    sim::PacketOptions scarce;
    scarce.status = NDIS_STATUS_RESOURCES;
    EXPECT_EQ(adapter.IndicatePacket(frame, scarce), 0);
    EXPECT_EQ(binding.received, std::vector<sim::Frame>(2, frame));
    EXPECT_EQ(statuses, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS, NDIS_STATUS_RESOURCES}));
    ASSERT_EQ(kept.size(), 1u);
    UINT count, total;
    NdisQueryPacket(kept[0], nullptr, &count, nullptr, &total);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(total, 64u);
    EXPECT_EQ(adapter.LentPackets(), 1u);
    EXPECT_EQ(ndis.LentPackets(), 1u);
    NdisReturnPackets(kept.data(), 1);
    EXPECT_EQ(adapter.LentPackets(), 0u);

    // A packet given back on another processor before its indication ends is not lent.
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
