// libkrvdlc against the simulated machine: the adapter list and the ways to open an
// adapter, NDIS objects and their size rules, reads with time-out, interrupt and
// overlapped completion, writes between two stations, an unbound adapter, and the
// messages of each failure.
#include "tests/support/driver_test_support.h"

#include "client/krvdlc_client.hpp"

#include <atomic>

using namespace krvdlc::test;
namespace kc = krvdlc::client;

namespace {

constexpr uint32_t kTestLevel = kDebuggerLevel4;

bool Contains(const char *text, const std::string &part)
{
    return std::string(text).find(part) != std::string::npos;
}

// A result and its message.
struct Failure {
    krvdlc_result result;
    std::string message;
};


// The driver with two Ethernet stations on one segment ({E1} lookahead, {E2} packets) and
// two Token Ring stations on a ring ({T1}, {T2}), all bound, binds complete.
class Stations : public DriverHost {
public:
    Stations() : DriverHost(kTestLevel)
    {
        sim::Segment &ethernet = ndis().AddSegment();
        sim::Segment &ring = ndis().AddSegment();
        const struct {
            const char16_t *guid;
            NDIS_MEDIUM medium;
            const char16_t *name;
            sim::ReceivePath path;
        } plan[] = {{u"{E1}", NdisMedium802_3, u"Sim Ethernet One", sim::ReceivePath::Lookahead},
                    {u"{E2}", NdisMedium802_3, u"Sim Ethernet Two", sim::ReceivePath::Packet},
                    {u"{T1}", NdisMedium802_5, u"Sim Token Ring One", sim::ReceivePath::Lookahead},
                    {u"{T2}", NdisMedium802_5, u"Sim Token Ring Two", sim::ReceivePath::Packet}};
        for (const auto &station : plan) {
            sim::Adapter &adapter = Add(station.guid, station.medium, std::u16string(station.name));
            adapter.SetReceivePath(station.path);
            (station.medium == NdisMedium802_3 ? ethernet : ring).Attach(adapter);
            EXPECT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
            adapters.push_back(&adapter);
        }
        BindsComplete();
    }
    std::vector<sim::Adapter *> adapters;
};

krvdlc_adapter *OpenOrFail(const std::u16string &selector)
{
    krvdlc_adapter *adapter = nullptr;
    krvdlc_error error;
    EXPECT_EQ(krvdlc_open(selector.c_str(), 1000, &adapter, &error), KRVDLC_OK) << error.message;
    return adapter;
}

Failure OpenFailure(const std::u16string &selector)
{
    krvdlc_adapter *adapter = nullptr;
    krvdlc_error error;
    krvdlc_result result = krvdlc_open(selector.c_str(), 1000, &adapter, &error);
    EXPECT_EQ(adapter, nullptr);
    krvdlc_close(adapter);
    return {result, error.message};
}

TEST(ClientLibrary, ListsAndOpensAdaptersEveryWayWithClearRefusals)
{
    Stations machine;
    krvdlc_adapter_list *list = nullptr;
    krvdlc_error error;
    ASSERT_EQ(krvdlc_list_adapters(1000, &list, &error), KRVDLC_OK) << error.message;
    ASSERT_EQ(krvdlc_adapter_count(list), 4u);
    EXPECT_EQ(std::u16string(krvdlc_adapter_instance_name(list, 2)), u"Sim Token Ring One");
    EXPECT_EQ(std::u16string(krvdlc_adapter_file_name(list, 3)), FileNameOf(u"{T2}"));
    EXPECT_EQ(krvdlc_adapter_file_name(list, 4), nullptr);
    krvdlc_free_adapter_list(list);

    const struct {
        std::u16string selector;
        size_t station;
    } opens[] = {{u"0", 0}, {u"3", 3}, {u"ring TWO", 3}, {u"ethernet one", 0},
                 {FileNameOf(u"{T1}"), 2}, {u"KrvDlc_{E2}", 1}};
    for (const auto &open : opens) {
        SCOPED_TRACE(krvdlc::Narrow(open.selector));
        kc::Adapter adapter = kc::Adapter::Open(open.selector);
        const sim::Adapter &station = *machine.adapters[open.station];
        EXPECT_EQ(adapter.fileName(), krvdlc::SimulatedHost::AdapterFileName(station));
        EXPECT_EQ(adapter.macAddress(), station.Address());
        EXPECT_EQ(adapter.medium(), station.Medium() == NdisMedium802_5 ? KRVDLC_MEDIUM_TOKEN_RING
                                                                         : KRVDLC_MEDIUM_ETHERNET);
    }

    krvdlc_adapter *held = OpenOrFail(u"1");
    const struct {
        std::u16string selector;
        krvdlc_result result;
        std::vector<std::string> says;
    } refusals[] = {
        {u"4", KRVDLC_E_NO_SUCH_ADAPTER, {"adapter 4: open: no such adapter: KRVDLC has bound 4"}},
        {u"fddi", KRVDLC_E_NO_SUCH_ADAPTER, {"adapter \"fddi\": open: no such adapter"}},
        {u"Sim", KRVDLC_E_INVALID_ARGUMENT, {"matches 4 adapters", "Sim Token Ring Two"}},
        {u"KrvDlc_{XX}", KRVDLC_E_NO_SUCH_ADAPTER, {"\\\\.\\KrvDlc_{XX}: open: no such adapter", "error 2: "}},
        {u"Ethernet Two", KRVDLC_E_BUSY,
         {"(Sim Ethernet Two): open: device busy", "error 5: Access is denied."}},
    };
    for (const auto &refusal : refusals) {
        SCOPED_TRACE(krvdlc::Narrow(refusal.selector));
        Failure failure = OpenFailure(refusal.selector);
        EXPECT_EQ(failure.result, refusal.result) << failure.message;
        for (const std::string &part : refusal.says)
            EXPECT_TRUE(Contains(failure.message.c_str(), part)) << failure.message;
    }
    krvdlc_close(held);
    machine.Unload();
}

TEST(ClientLibrary, DriverNotLoadedAndEnumerationBeforeBindsComplete)
{
    DriverHost driver(kTestLevel);
    // Enough adapters with long names that the list outgrows the first buffer.
    const std::u16string longName(70, u'n');
    for (int i = 0; i < 12; ++i) {
        std::u16string guid = u"{B" + krvdlc::Widen(std::to_string(i)) + u"}";
        sim::Adapter &adapter = driver.Add(guid, NdisMedium802_3, longName + guid);
        ASSERT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
    }
    krvdlc_adapter_list *list = nullptr;
    krvdlc_error error;
    EXPECT_EQ(krvdlc_list_adapters(30, &list, &error), KRVDLC_E_TIMEOUT);
    EXPECT_TRUE(Contains(error.message, "had not finished binding its adapters after 30 ms")) << error.message;
    EXPECT_EQ(list, nullptr);
    driver.BindsComplete();
    ASSERT_EQ(krvdlc_list_adapters(30, &list, &error), KRVDLC_OK) << error.message;
    ASSERT_EQ(krvdlc_adapter_count(list), 12u);
    EXPECT_EQ(std::u16string(krvdlc_adapter_instance_name(list, 11)), longName + u"{B11}");
    krvdlc_free_adapter_list(list);
    driver.Unload();

    for (int attempt = 0; attempt < 2; ++attempt) {
        krvdlc_adapter *adapter = nullptr;
        krvdlc_result result = attempt == 0 ? krvdlc_list_adapters(30, &list, &error)
                                            : krvdlc_open_by_file_name(u"KrvDlc_{B0}", &adapter, &error);
        EXPECT_EQ(result, KRVDLC_E_DRIVER_NOT_LOADED);
        EXPECT_EQ(error.win32_error, 2u);
        EXPECT_TRUE(Contains(error.message, "driver not loaded")) << error.message;
        EXPECT_TRUE(Contains(error.message, "(error 2: The system cannot find the file specified.)"))
            << error.message;
    }
}

TEST(ClientLibrary, AdapterControlNdisObjectsAndSizeRules)
{
    Stations machine;
    {
        kc::Adapter ethernet = kc::Adapter::Open(u"0");
        kc::Adapter ring = kc::Adapter::Open(u"2");
        EXPECT_EQ(ethernet.linkSpeedKbps(), 10000u);
        EXPECT_EQ(ring.linkSpeedKbps(), 16000u);
        EXPECT_EQ(ethernet.maxFrameSize(), 1514u);
        EXPECT_EQ(ethernet.vendorDescription(), "KRVDLC simulated Ethernet adapter");
        EXPECT_TRUE(ethernet.mediaConnected());
        machine.adapters[0]->SetObject(KRVDLC_OID_GEN_MEDIA_CONNECT_STATUS, Le32(1), true);
        EXPECT_FALSE(ethernet.mediaConnected());

        ethernet.reset();
        EXPECT_EQ(machine.adapters[0]->ResetCount(), 1u);
        ethernet.setDsapCheck(false);
        EXPECT_FALSE(machine.Context(*machine.adapters[0])->CheckDSAP);
        ethernet.setDsapCheck(true);
        EXPECT_TRUE(machine.Context(*machine.adapters[0])->CheckDSAP);

        EXPECT_EQ(ethernet.packetFilter(), KRVDLC_FILTER_DIRECTED);   // what every open sets
        ethernet.setPacketFilter(KRVDLC_FILTER_PROMISCUOUS | KRVDLC_FILTER_BROADCAST);
        EXPECT_EQ(machine.adapters[0]->PacketFilter(), KRVDLC_FILTER_PROMISCUOUS | KRVDLC_FILTER_BROADCAST);
        const std::vector<kc::Mac> groups{{0x01, 0x00, 0x5E, 0, 0, 1}, {0x03, 0, 0, 0, 0, 0x80}};
        ethernet.setMulticastList(groups);
        EXPECT_EQ(ethernet.multicastList(), groups);
        ring.setFunctionalAddress({0x00, 0x00, 0x01, 0x00});
        EXPECT_EQ(ring.functionalAddress(), (std::array<uint8_t, 4>{0x00, 0x00, 0x01, 0x00}));

        // One byte of answer fits the smallest buffer the driver takes (12 bytes).
        machine.adapters[0]->SetObject(0xFF000001, {0x5A});
        EXPECT_EQ(ethernet.queryOid(0xFF000001, 1), (kc::Bytes{0x5A}));

        krvdlc_u8 room[8] = {};
        krvdlc_u8 macs[1][KRVDLC_MAC_SIZE];
        krvdlc_u32 count = 0;
        size_t requestsBefore = machine.adapters[0]->Requests().size();
        const struct {
            const char *what;
            std::function<krvdlc_result(krvdlc_error *)> call;
            krvdlc_result result;
            std::string says;
            bool reachesNdis;
        } cases[] = {
            {"short link speed", [&](krvdlc_error *e) { return krvdlc_query_oid(ethernet.get(), KRVDLC_OID_GEN_LINK_SPEED, room, 2, nullptr, e); },
             KRVDLC_E_INVALID_LENGTH, "query: OID_GEN_LINK_SPEED takes 4 bytes, not 2", false},
            {"ragged multicast list", [&](krvdlc_error *e) { return krvdlc_set_oid(ethernet.get(), KRVDLC_OID_802_3_MULTICAST_LIST, room, 7, nullptr, e); },
             KRVDLC_E_INVALID_LENGTH, "takes a multiple of 6 bytes, not 7", false},
            {"oversized", [&](krvdlc_error *e) { return krvdlc_query_oid(ethernet.get(), 0xFF000001, room, 5000, nullptr, e); },
             KRVDLC_E_INVALID_LENGTH, "5000 bytes is more than the 4096", false},
            {"filter 0", [&](krvdlc_error *e) { return krvdlc_set_packet_filter(ethernet.get(), 0, e); },
             KRVDLC_E_INVALID_ARGUMENT, "would stop all reception", false},
            {"unknown object", [&](krvdlc_error *e) { return krvdlc_query_oid(ethernet.get(), 0xFF0000AA, room, 4, nullptr, e); },
             KRVDLC_E_NOT_SUPPORTED, "does not support object 0xFF0000AA (NDIS status 0xC0010017)", true},
            {"read-only", [&](krvdlc_error *e) { return krvdlc_set_oid(ethernet.get(), KRVDLC_OID_GEN_LINK_SPEED, room, 4, nullptr, e); },
             KRVDLC_E_NOT_SUPPORTED, "does not allow this on OID_GEN_LINK_SPEED", true},
            {"short answer room", [&](krvdlc_error *e) { return krvdlc_query_oid(ethernet.get(), KRVDLC_OID_GEN_VENDOR_DESCRIPTION, room, 8, nullptr, e); },
             KRVDLC_E_BUFFER_TOO_SMALL, "refused 8 bytes for OID_GEN_VENDOR_DESCRIPTION", true},
            {"multicast list longer than the array", [&](krvdlc_error *e) { return krvdlc_get_multicast_list(ethernet.get(), macs, 1, &count, e); },
             KRVDLC_E_BUFFER_TOO_SMALL, "holds 2 addresses, room was given for 1", true},
            {"functional address on Ethernet", [&](krvdlc_error *e) { krvdlc_u8 f[4]; return krvdlc_get_functional_address(ethernet.get(), f, e); },
             KRVDLC_E_NOT_SUPPORTED, "does not support OID_802_5_CURRENT_FUNCTIONAL", true},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            krvdlc_error error;
            size_t before = machine.adapters[0]->Requests().size();
            EXPECT_EQ(c.call(&error), c.result);
            EXPECT_EQ(error.result, c.result);
            EXPECT_TRUE(Contains(error.message, c.says)) << error.message;
            EXPECT_TRUE(Contains(error.message, "(Sim Ethernet One)")) << error.message;
            EXPECT_EQ(machine.adapters[0]->Requests().size() > before, c.reachesNdis);
        }
        EXPECT_EQ(count, 2u);
        EXPECT_GT(machine.adapters[0]->Requests().size(), requestsBefore);
    }
    machine.Unload();
}

TEST(ClientLibrary, ReadTimeOutInterruptAndOverlappedEachLeaveTheNextReadWorking)
{
    Stations machine;
    sim::Adapter &station = *machine.adapters[1];
    krvdlc_adapter *adapter = OpenOrFail(u"1");
    std::vector<uint8_t> buffer(1600);
    krvdlc_u32 got = 0;
    krvdlc_error error;
    auto readsNext = [&](uint8_t sequence) {
        sim::Frame frame = Numbered(sequence);
        EXPECT_EQ(station.IndicatePacket(frame), 1);
        EXPECT_EQ(krvdlc_read(adapter, buffer.data(), 1600, 2000, &got, &error), KRVDLC_OK) << error.message;
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + got), frame);
    };

    EXPECT_EQ(krvdlc_read(adapter, buffer.data(), 1600, 20, &got, &error), KRVDLC_E_TIMEOUT);
    EXPECT_TRUE(Contains(error.message, "(Sim Ethernet Two): read: no frame within 20 ms; the read was cancelled"))
        << error.message;
    EXPECT_EQ(machine.IrpCount(station), 0);
    readsNext(1);

    std::atomic<krvdlc_result> interrupted{KRVDLC_OK};
    std::thread reader([&] {
        krvdlc_u32 bytes = 0;
        interrupted = krvdlc_read(adapter, buffer.data(), 1600, KRVDLC_INFINITE, &bytes, nullptr);
    });
    ASSERT_TRUE(WaitUntil([&] { return __atomic_load_n(&machine.Context(station)->PendingReadIrp, __ATOMIC_ACQUIRE) != nullptr; }));
    // A second blocking read from another thread is refused and leaves the waiting one
    // to its own end (the two do not share an event).
    std::vector<uint8_t> other(64);
    EXPECT_EQ(krvdlc_read(adapter, other.data(), 64, 10, &got, &error), KRVDLC_E_BUSY);
    EXPECT_EQ(krvdlc_interrupt(adapter, &error), KRVDLC_OK);
    reader.join();
    EXPECT_EQ(interrupted.load(), KRVDLC_E_CANCELLED);
    readsNext(2);

    kc::Overlapped io;
    std::vector<uint8_t> second(64);
    ASSERT_EQ(krvdlc_read_start(adapter, io.get(), buffer.data(), 1600, &error), KRVDLC_PENDING);
    EXPECT_EQ(krvdlc_io_finish(adapter, io.get(), 0, &got, &error), KRVDLC_PENDING);
    EXPECT_EQ(krvdlc_read(adapter, second.data(), 64, 1000, &got, &error), KRVDLC_E_BUSY);
    EXPECT_TRUE(Contains(error.message, "another read is already waiting")) << error.message;
    sim::Frame frame = Numbered(3);
    EXPECT_EQ(station.IndicatePacket(frame), 1);
    EXPECT_TRUE(station.IndicateReceiveComplete());
    EXPECT_EQ(sim::win32::WaitForSingleObject(krvdlc_io_event(io.get()), 2000), sim::win32::WAIT_OBJECT_0);
    EXPECT_EQ(krvdlc_io_finish(adapter, io.get(), 0, &got, &error), KRVDLC_OK) << error.message;
    EXPECT_EQ(got, frame.size());
    ASSERT_EQ(krvdlc_read_start(adapter, io.get(), buffer.data(), 1600, &error), KRVDLC_PENDING);
    EXPECT_EQ(krvdlc_io_cancel(adapter, io.get(), &got, &error), KRVDLC_E_CANCELLED);
    readsNext(4);

    EXPECT_EQ(krvdlc_read(adapter, buffer.data(), 13, 10, &got, &error), KRVDLC_E_BUFFER_TOO_SMALL);
    krvdlc_close(adapter);

    // Sixteen frames queued by the lookahead handler hold every packet of the adapter: a
    // read served from the queue has none to deliver with. It fails with the way out, not
    // as an empty frame.
    krvdlc_adapter *lookahead = OpenOrFail(u"0");
    for (uint8_t sequence = 0; sequence < 16; sequence++)
        machine.adapters[0]->IndicateReceive(Numbered(sequence));
    EXPECT_EQ(krvdlc_read(lookahead, buffer.data(), 1600, 100, &got, &error), KRVDLC_E_IO);
    EXPECT_TRUE(Contains(error.message, "no free packet or memory to deliver it; if this repeats, close and reopen"))
        << error.message;
    EXPECT_EQ(krvdlc_read_start(lookahead, io.get(), buffer.data(), 1600, &error), KRVDLC_E_IO);
    krvdlc_close(lookahead);
    EXPECT_EQ(station.LentPackets(), 0u);
    machine.Unload();
}

TEST(ClientLibrary, FramesBuiltByTheLibraryCrossEachMediumAndDecode)
{
    Stations machine;
    const uint8_t routing[] = {0x06, 0x30, 0x00, 0x11, 0x00, 0x20};
    const uint8_t information[] = {'p', 'i', 'n', 'g'};
    for (size_t first : {size_t{0}, size_t{2}}) {
        bool tokenRing = first == 2;
        SCOPED_TRACE(tokenRing ? "Token Ring" : "Ethernet");
        kc::Adapter sender = kc::Adapter::OpenIndex(static_cast<uint32_t>(first));
        kc::Adapter receiver = kc::Adapter::OpenIndex(static_cast<uint32_t>(first + 1));
        krvdlc_frame_fields fields{};
        fields.medium = tokenRing ? KRVDLC_MEDIUM_TOKEN_RING : KRVDLC_MEDIUM_ETHERNET;
        kc::Mac to = receiver.macAddress(), from = sender.macAddress();
        std::copy(to.begin(), to.end(), fields.destination);
        std::copy(from.begin(), from.end(), fields.source);
        fields.routing = tokenRing ? routing : nullptr;
        fields.routing_size = tokenRing ? sizeof routing : 0;
        fields.dsap = KRVDLC_SAP_SNA;
        fields.ssap = 0x08;
        fields.control = KRVDLC_CONTROL_TEST | KRVDLC_POLL_FINAL;
        fields.information = information;
        fields.information_size = sizeof information;
        fields.pad = 1;
        kc::Bytes frame = kc::BuildFrame(fields);
        EXPECT_EQ(frame.size(), tokenRing ? 14u + 6 + 3 + 4 : 60u);

        kc::Overlapped io;
        sender.startWrite(io, frame);   // pending or done at once, finish tells either way
        EXPECT_EQ(sender.finish(io, 2000), frame.size());
        std::optional<kc::Bytes> received = receiver.read(2000);
        ASSERT_TRUE(received.has_value());
        EXPECT_EQ(*received, frame);

        krvdlc_decoded_frame d = kc::DecodeFrame(fields.medium, *received);
        EXPECT_EQ(d.kind, tokenRing ? KRVDLC_FRAME_TOKEN_RING_LLC : KRVDLC_FRAME_802_3);
        EXPECT_TRUE(std::equal(from.begin(), from.end(), d.source));
        EXPECT_EQ(d.routing_size, fields.routing_size);
        EXPECT_TRUE(d.has_llc);
        EXPECT_EQ(d.dsap, KRVDLC_SAP_SNA);
        EXPECT_EQ(d.ssap, 0x08);
        EXPECT_FALSE(d.response);
        EXPECT_EQ(std::string(krvdlc_control_name(&d)), "TEST");
        EXPECT_TRUE(d.poll_final);
        // The 802.3 length field, not the padding, ends the information field.
        EXPECT_EQ(std::string(d.information, d.information + d.information_size), "ping");

        const struct {
            size_t size;
            krvdlc_result result;
        } bad[] = {{13, KRVDLC_E_FRAME_TOO_SHORT}, {tokenRing ? 4501u : 1515u, KRVDLC_E_FRAME_TOO_LONG}};
        for (const auto &b : bad) {
            kc::Bytes wrong(b.size, 0);
            krvdlc_error error;
            EXPECT_EQ(krvdlc_write(sender.get(), wrong.data(), static_cast<krvdlc_u32>(wrong.size()), nullptr, &error),
                      b.result);
            EXPECT_TRUE(Contains(error.message, ": write: frame too")) << error.message;
        }
        EXPECT_EQ(machine.adapters[first]->SentFrames().size(), 1u);
    }
    machine.Unload();
}

TEST(ClientLibrary, UnboundAdapterIsReportedAsSuch)
{
    Stations machine;
    {
        kc::Adapter adapter = kc::Adapter::Open(u"0");
        ASSERT_EQ(machine.adapters[0]->Unbind(), NDIS_STATUS_SUCCESS);
        kc::Bytes frame = Numbered(1);
        const std::function<void()> calls[] = {[&] { adapter.read(100); }, [&] { adapter.write(frame); },
                                               [&] { adapter.linkSpeedKbps(); }, [&] { adapter.reset(); }};
        for (const auto &call : calls) {
            try {
                call();
                ADD_FAILURE() << "an unbound adapter answered";
            } catch (const kc::Error &error) {
                EXPECT_EQ(error.result(), KRVDLC_E_NOT_BOUND) << error.what();
                EXPECT_TRUE(Contains(error.what(), "no longer bound")) << error.what();
            }
        }
    }
    machine.Unload();
}

TEST(ClientLibrary, FrameDecodingRefusesCutHeadersAndReadsEveryControlFormat)
{
    const struct {
        const char *what;
        krvdlc_medium medium;
        std::vector<uint8_t> frame;
        krvdlc_result result;
        krvdlc_frame_kind kind;
        const char *control;   // name, "" without LLC
        uint8_t ns, nr, sFunction;
        bool pollFinal;
        uint32_t informationSize;
    } rows[] = {
        {"13 bytes", KRVDLC_MEDIUM_ETHERNET, std::vector<uint8_t>(13), KRVDLC_E_MALFORMED_FRAME, KRVDLC_FRAME_802_3, "", 0, 0, 0, false, 0},
        {"I frame", KRVDLC_MEDIUM_ETHERNET, EthernetFrame(0x0006, {0x04, 0x05, 0x0A, 0x0D, 'a', 'b'}), KRVDLC_OK, KRVDLC_FRAME_802_3, "I", 5, 6, 0, true, 2},
        {"REJ", KRVDLC_MEDIUM_ETHERNET, EthernetFrame(0x0004, {0x04, 0x05, 0x09, 0x0E}), KRVDLC_OK, KRVDLC_FRAME_802_3, "REJ", 0, 7, 2, false, 0},
        {"S cut short", KRVDLC_MEDIUM_ETHERNET, EthernetFrame(0x0003, {0x04, 0x05, 0x01}), KRVDLC_E_MALFORMED_FRAME, KRVDLC_FRAME_802_3, "", 0, 0, 0, false, 0},
        {"SNA services XID", KRVDLC_MEDIUM_ETHERNET, EthernetFrame(0x80D5, {0x00, 0x06, 0x00, 0x04, 0x05, 0xBF, 0x81, 0x03, 0x0E}), KRVDLC_OK, KRVDLC_FRAME_SNA_SERVICES, "XID", 0, 0, 0, true, 3},
        {"Ethernet II", KRVDLC_MEDIUM_ETHERNET, EthernetFrame(0x0800, {1, 2, 3}), KRVDLC_OK, KRVDLC_FRAME_ETHERNET_II, "", 0, 0, 0, false, 0},
        {"ring MAC frame", KRVDLC_MEDIUM_TOKEN_RING, TokenRingFrame(0x00, {}, {1, 2}), KRVDLC_OK, KRVDLC_FRAME_TOKEN_RING_MAC, "", 0, 0, 0, false, 0},
        {"odd routing", KRVDLC_MEDIUM_TOKEN_RING, TokenRingFrame(0x40, {0x05, 0x30, 0, 0, 0}, {4, 4, 3}), KRVDLC_E_MALFORMED_FRAME, KRVDLC_FRAME_TOKEN_RING_LLC, "", 0, 0, 0, false, 0},
        {"routed UI", KRVDLC_MEDIUM_TOKEN_RING, TokenRingFrame(0x40, {0x04, 0x30, 0x00, 0x11}, {0xF0, 0xF1, 0x03, 'x'}), KRVDLC_OK, KRVDLC_FRAME_TOKEN_RING_LLC, "UI", 0, 0, 0, false, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        krvdlc_decoded_frame d;
        krvdlc_error error;
        EXPECT_EQ(krvdlc_decode_frame(row.medium, row.frame.data(), static_cast<krvdlc_u32>(row.frame.size()), &d, &error),
                  row.result)
            << error.message;
        if (row.result != KRVDLC_OK)
            continue;
        EXPECT_EQ(d.kind, row.kind);
        EXPECT_EQ(std::string(krvdlc_control_name(&d)), row.control);
        EXPECT_EQ(d.ns, row.ns);
        EXPECT_EQ(d.nr, row.nr);
        EXPECT_EQ(d.s_function, row.sFunction);
        EXPECT_EQ(d.poll_final != 0, row.pollFinal);
        EXPECT_EQ(d.information_size, row.informationSize);
        if (d.routing_size > 0) {
            // An all-routes explorer's route comes back specifically routed, direction flipped.
            std::vector<uint8_t> explorer(d.routing, d.routing + d.routing_size), back(d.routing_size);
            explorer[0] |= 0x80;
            ASSERT_EQ(krvdlc_reverse_routing(explorer.data(), d.routing_size, back.data(), &error), KRVDLC_OK);
            EXPECT_EQ(back, (std::vector<uint8_t>{0x04, 0xB0, 0x00, 0x11}));
            EXPECT_EQ(krvdlc_reverse_routing(explorer.data(), 3, back.data(), &error), KRVDLC_E_INVALID_ARGUMENT);
        }
        if (row.kind == KRVDLC_FRAME_SNA_SERVICES) {
            krvdlc_xid xid;
            ASSERT_EQ(krvdlc_decode_xid(d.information, d.information_size, &xid, &error), KRVDLC_OK);
            EXPECT_EQ(xid.llc_class, 2);
            EXPECT_EQ(xid.receive_window, 7);
            EXPECT_TRUE(d.response);
        }
    }

    const struct {
        const char *text;
        bool ok;
    } macs[] = {{"02:00:4b:00:00:01", true}, {"02-00-4B-00-00-01", true}, {"02004B000001", true},
                {"02:00:4B-00:00:01", false}, {"02:00:4B:00:00", false}, {"02:00:4G:00:00:01", false}};
    for (const auto &mac : macs) {
        SCOPED_TRACE(mac.text);
        krvdlc_u8 address[6];
        krvdlc_error error;
        ASSERT_EQ(krvdlc_parse_mac(mac.text, address, &error) == KRVDLC_OK, mac.ok) << error.message;
        if (mac.ok)
            EXPECT_EQ(kc::FormatMac(kc::ParseMac(mac.text)), "02:00:4B:00:00:01");
        else
            EXPECT_TRUE(Contains(error.message, "malformed MAC address")) << error.message;
    }
}

}  // namespace
