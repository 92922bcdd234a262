// The frame filter: which frames KrvDlcReceive and KrvDlcReceivePacket take, on each
// medium, with the DSAP check on and off, and the trace line that tells why one is refused.
#include "tests/support/driver_test_support.h"

using namespace krvdlc::test;

namespace {

constexpr NDIS_MEDIUM kUnknownMedium = static_cast<NDIS_MEDIUM>(3);

// What one handler does with the frame; an empty line means "no discard line at all".
struct Outcome {
    bool accepted;
    std::string line;
};

struct FilterRow {
    const char *name;
    NDIS_MEDIUM medium;
    sim::Frame frame;
    bool checkDsap;
    Outcome lookahead;
    Outcome packet;
    sim::ReceiveOptions receive = {};
    sim::PacketOptions packetOptions = {};
    bool failFirstMapping = false;   // the packet's first buffer cannot be mapped
};

const std::string k8023 = "This is an 802.3 frame.";
const std::string kSna = "This is an SNA services frame (type 80D5).";

std::string DsapLine(uint8_t dsap, bool withPrefix)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string line = withPrefix ? "Discarding this packet. DSAP = 0x" : "Discarding this packet. DSAP = ";
    line += digits[dsap >> 4];
    line += digits[dsap & 15];
    return line + " ";
}

sim::ReceiveOptions Lookahead(size_t bytes)
{
    sim::ReceiveOptions options;
    options.lookaheadSize = bytes;
    return options;
}

sim::ReceiveOptions Header(std::optional<size_t> size, bool null)
{
    sim::ReceiveOptions options;
    options.headerSize = size;
    options.nullHeaderBuffer = null;
    return options;
}

sim::PacketOptions Split(std::vector<size_t> at, bool mapped = true)
{
    sim::PacketOptions options;
    options.splitAt = std::move(at);
    options.mapped = mapped;
    return options;
}

sim::Frame Sna(uint8_t byte14, uint8_t byte17)
{
    return EthernetFrame(0x80D5, {byte14, 0x00, 0x00, byte17, 0x04, 0x03}, 60);
}

sim::Frame Ring(uint8_t fc, uint8_t dsap, std::vector<uint8_t> routing = {})
{
    return TokenRingFrame(fc, routing, {dsap, 0x04, 0x03, 0x11, 0x22, 0x33});
}

std::vector<FilterRow> Rows()
{
    const Outcome take8023{true, k8023};
    std::vector<FilterRow> rows = {
        {"dsap 04", NdisMedium802_3, LlcFrame(0x04), true, take8023, take8023},
        {"dsap 08", NdisMedium802_3, LlcFrame(0x08), true, take8023, take8023},
        {"dsap F4", NdisMedium802_3, LlcFrame(0xF4), true, take8023, take8023},
        {"dsap 00 unchecked", NdisMedium802_3, LlcFrame(0x00), false, take8023, take8023},
        {"length 05FF", NdisMedium802_3, EthernetFrame(0x05FF, {0x04, 0x04, 0x03}, 60), true, take8023, take8023},
        {"type 0600", NdisMedium802_3, EthernetFrame(0x0600, {0x04, 0x04, 0x03}, 60), true,
         {false, "Discarding this packet. Frame type = 0x00000600"},
         {false, "Discarding this packet. Frame type = 0x00000600"}},
        {"type 0800", NdisMedium802_3, EthernetFrame(0x0800, {0x04, 0x04, 0x03}, 60), true,
         {false, "Discarding this packet. Frame type = 0x00000800"},
         {false, "Discarding this packet. Frame type = 0x00000800"}},
        {"sna dsap at 14 for lookahead, 17 for packet", NdisMedium802_3, Sna(0x00, 0x04), true,
         {false, DsapLine(0x00, false)}, {true, kSna}},
        {"sna reversed", NdisMedium802_3, Sna(0x04, 0x00), true, {true, kSna}, {false, DsapLine(0x00, true)}},
        {"sna unchecked", NdisMedium802_3, Sna(0x00, 0xFF), false, {true, kSna}, {true, kSna}},
        {"one-byte lookahead", NdisMedium802_3, LlcFrame(0xFF), true, take8023,
         {false, DsapLine(0xFF, true)}, Lookahead(1)},
        {"header longer than 14", NdisMedium802_3, LlcFrame(0x04), true, {false, ""}, take8023,
         Header(15, false)},
        {"no header buffer", NdisMedium802_3, LlcFrame(0x04), true, {false, ""}, take8023,
         Header(std::nullopt, true)},
        {"dsap beyond the first buffer", NdisMedium802_3, LlcFrame(0x04), true, take8023, {false, ""}, {},
         Split({14})},
        {"sna dsap beyond the first buffer", NdisMedium802_3, Sna(0x04, 0x04), true, {true, kSna},
         {false, ""}, {}, Split({17})},
        {"type beyond the first buffer", NdisMedium802_3, LlcFrame(0x04), true, take8023, {false, ""}, {},
         Split({13})},
        {"split after the dsap", NdisMedium802_3, LlcFrame(0x04), true, take8023, take8023, {},
         Split({15, 30})},
        {"unmapped first buffer", NdisMedium802_3, LlcFrame(0x04), true, take8023, take8023, {},
         Split({20}, false)},
        {"unmappable first buffer", NdisMedium802_3, LlcFrame(0x04), true, take8023, {false, ""}, {},
         Split({20}, false), true},

        {"ring fc 40", NdisMedium802_5, Ring(0x40, 0x04), true, {true, ""}, {true, ""}},
        {"ring fc 50", NdisMedium802_5, Ring(0x50, 0x04), true, {true, ""}, {true, ""}},
        {"ring fc 00", NdisMedium802_5, Ring(0x00, 0x04), true,
         {false, "Discarding this packet.  FrameControl = 00 "},
         {false, "Discarding this packet.  FrameControl = 00 "}},
        {"ring fc C0", NdisMedium802_5, Ring(0xC0, 0x04), true,
         {false, "Discarding this packet.  FrameControl = C0 "},
         {false, "Discarding this packet.  FrameControl = C0 "}},
        {"ring dsap 00", NdisMedium802_5, Ring(0x40, 0x00), true, {false, DsapLine(0x00, false)},
         {false, DsapLine(0x00, false)}},
        {"ring dsap 00 unchecked", NdisMedium802_5, Ring(0x40, 0x00), false, {true, ""}, {true, ""}},
        {"ring empty lookahead", NdisMedium802_5, Ring(0x40, 0x02), true, {true, ""},
         {false, DsapLine(0x02, false)}, Lookahead(0)},
        // Routing control 0x06 at byte 14 (itself a refused DSAP): the DSAP is byte 20.
        {"ring routed dsap 04", NdisMedium802_5, Ring(0x40, 0x04, {0x06, 0x30, 0x01, 0x02, 0x03, 0x05}),
         true, {true, ""}, {true, ""}},
        {"ring routed dsap F0", NdisMedium802_5, Ring(0x40, 0xF0, {0x06, 0x30, 0x04, 0x08, 0x0C, 0x10}),
         true, {false, DsapLine(0xF0, false)}, {false, DsapLine(0xF0, false)}},
        {"ring routed dsap beyond the first buffer", NdisMedium802_5,
         Ring(0x40, 0x04, {0x06, 0x30, 0x01, 0x02, 0x03, 0x05}), true, {true, ""}, {false, ""}, {},
         Split({20})},

        {"unknown medium", kUnknownMedium, LlcFrame(0x00), true,
         {false, "Discarding this packet. Medium = 3"},
         {true, "* Unknown transmission medium.  Passing packet up anyway."}},
    };
    for (uint8_t dsap : {0x00, 0xF0, 0x01, 0x02, 0x05, 0x06, 0xFF})
        rows.push_back({"refused dsap", NdisMedium802_3, LlcFrame(dsap), true,
                        {false, DsapLine(dsap, false)}, {false, DsapLine(dsap, true)}});
    return rows;
}

// Checks one handler's outcome from the trace and the event log it left.
void ExpectOutcome(DriverWithAdapter &driver, const Outcome &expected, bool warningEvent)
{
    auto lines = driver.Lines();
    size_t discards = std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
        return line.rfind("Discarding", 0) == 0;
    });
    if (!expected.line.empty()) {
        EXPECT_TRUE(driver.Traced(expected.line)) << "missing: " << expected.line;
    }
    bool lineIsDiscard = expected.line.rfind("Discarding", 0) == 0;
    EXPECT_EQ(discards, lineIsDiscard ? 1u : 0u);
    // A refusal is not an error: the only event the filter writes is the odd-medium warning.
    EXPECT_EQ(driver.Entries().size(), warningEvent ? 1u : 0u);
    if (warningEvent) {
        EXPECT_EQ(driver.EntriesWith(EVENT_DRIVER_WARNING, expected.line + "\n").size(), 1u);
    }
}

TEST(DsapFilter, RejectDsapRefusesAllButTheMultiplesOfFour)
{
    DriverWithAdapter driver;
    std::vector<int> accepted;
    for (int dsap = 0; dsap < 256; dsap++) {
        if (!DRIVER_SYMBOL(RejectDSAP)(static_cast<UCHAR>(dsap)))
            accepted.push_back(dsap);
    }
    std::vector<int> expected;
    for (int dsap = 0x04; dsap <= 0xFC; dsap += 4) {
        if (dsap != 0xF0)
            expected.push_back(dsap);
    }
    EXPECT_EQ(accepted.size(), 62u);
    EXPECT_EQ(accepted, expected);
}

TEST(DsapFilter, BothClassificationsOverTheTable)
{
    auto rows = Rows();
    std::stable_sort(rows.begin(), rows.end(),
                     [](const FilterRow &a, const FilterRow &b) { return a.medium < b.medium; });
    std::unique_ptr<DriverWithAdapter> driver;
    NDIS_MEDIUM current = kUnknownMedium;
    for (const FilterRow &row : rows) {
        SCOPED_TRACE(row.name);
        if (!driver || row.medium != current) {
            driver.reset();
            driver = std::make_unique<DriverWithAdapter>(row.medium == kUnknownMedium ? NdisMedium802_3
                                                                                      : row.medium);
            current = row.medium;
            // NDIS binds only media the driver asks for; a context on another medium is
            // what the filter must cope with all the same.
            if (row.medium == kUnknownMedium)
                driver->Context()->Medium = kUnknownMedium;
        }
        driver->Reopen();   // empties the queue and switches the check on
        if (!row.checkDsap)
            driver->SetCheckDsap(0);
        ASSERT_EQ(driver->Queued(), 0);
        sim::Adapter &adapter = driver->adapter();

        driver->ClearLog();
        EXPECT_EQ(adapter.IndicateReceive(row.frame, row.receive),
                  row.lookahead.accepted ? NDIS_STATUS_SUCCESS : NDIS_STATUS_NOT_ACCEPTED);
        EXPECT_EQ(driver->Queued(), row.lookahead.accepted ? 1 : 0);
        ExpectOutcome(*driver, row.lookahead, false);

        LONG before = driver->Queued();
        driver->ClearLog();
        if (row.failFirstMapping)
            driver->machine().faults().FailNth("MmMapLockedPagesSpecifyCache", 1);
        EXPECT_EQ(adapter.IndicatePacket(row.frame, row.packetOptions), row.packet.accepted ? 1 : 0);
        driver->machine().faults().Clear();
        EXPECT_EQ(driver->Queued(), before + (row.packet.accepted ? 1 : 0));
        ExpectOutcome(*driver, row.packet, row.medium == kUnknownMedium);
        EXPECT_EQ(adapter.LentPackets(), static_cast<size_t>(row.packet.accepted ? 1 : 0));
    }
    driver->Reopen();
    EXPECT_EQ(driver->adapter().LentPackets(), 0u);
}

}  // namespace
