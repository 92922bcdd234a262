// The trace lines byte for byte as the debugger receives them: each line routine with its
// cuts and its parameter checks, the time stamp and its number fields, the lines of
// DriverEntry and those of one frame's way from indication to read.
#include "tests/support/driver_test_support.h"

#include <climits>
#include <cstdio>
#include <regex>

namespace krvdlc::test {
namespace {

// The driver loaded at verbosity 7, debugger only; the routines are then called directly.
class TraceLines : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(host_.Load(), STATUS_SUCCESS);
        host_.machine().debugger().Clear();
    }

    std::vector<std::string> Prints() { return host_.machine().debugger().Prints(); }
    // What one call printed.
    template <typename Call>
    std::string PrintOf(Call call)
    {
        host_.machine().debugger().Clear();
        call();
        std::vector<std::string> prints = Prints();
        std::string all;
        for (const std::string &print : prints)
            all += "[" + print + "]";
        EXPECT_EQ(prints.size(), 1u) << all;
        return prints.empty() ? std::string() : prints.front();
    }

    SimulatedHost host_{WithTraceLevel(kDebuggerAll)};
};

struct LineCase {
    std::string label;
    std::string text;
    std::string printed;     // without the "KRVDLC: " prefix
};

std::string Filler(size_t length, char first = 'a')
{
    std::string text(length, ' ');
    for (size_t i = 0; i < length; i++)
        text[i] = static_cast<char>(first + i % 26);
    return text;
}

TEST_F(TraceLines, MessageIsPrintedUnchanged)
{
    EXPECT_EQ(PrintOf([] { DRIVER_SYMBOL(TraceMessage)(4, "DriverEntry\n"); }), "KRVDLC: DriverEntry\n");
    EXPECT_EQ(PrintOf([] { DRIVER_SYMBOL(TraceMessage)(1, "no line feed"); }), "KRVDLC: no line feed");
}

TEST_F(TraceLines, StringAndWideStringLinesAndTheirCuts)
{
    // The line holds 128 bytes. Up to 126 bytes of label and text it ends "\n"; at 127
    // and beyond it is cut to its first 127 bytes, without "\n".
    const std::string label = "Label = ";
    const LineCase cases[] = {
        {label, "text", "Label = text\n"},
        {label, "", "Label = \n"},
        {"", "text", "text\n"},
        {label, Filler(118), label + Filler(118) + "\n"},                     // 126 bytes
        {label, Filler(119), (label + Filler(119)).substr(0, 127)},           // 127
        {label, Filler(120), (label + Filler(120)).substr(0, 127)},           // 128
        {label, Filler(300), (label + Filler(300)).substr(0, 127)},
        {Filler(200, 'A'), "text", Filler(200, 'A').substr(0, 127)},          // label alone fills it
    };
    for (const LineCase &c : cases) {
        SCOPED_TRACE(c.label + "|" + c.text);
        EXPECT_EQ(PrintOf([&] { DRIVER_SYMBOL(TraceString)(4, c.label.c_str(), c.text.c_str()); }),
                  Printed(c.printed));
        std::u16string wide = Widen(c.text);
        EXPECT_EQ(PrintOf([&] { DRIVER_SYMBOL(TraceWString)(4, c.label.c_str(), wide.c_str()); }),
                  Printed(c.printed));
    }
    // Each 16-bit unit gives its low byte.
    EXPECT_EQ(PrintOf([] { DRIVER_SYMBOL(TraceWString)(4, "Name: ", u"A\u0142\u00E9"); }),
              Printed("Name: AB\xE9\n"));
}

TEST_F(TraceLines, LongLinesInBothRadixes)
{
    struct LongCase {
        std::string label;
        ULONG value;
        ULONG radix;
        std::string printed;
    };
    const LongCase cases[] = {
        {"Status = ", 0, 16, "Status = 0x00000000\n"},
        {"Status = ", 0xC3, 16, "Status = 0x000000C3\n"},
        {"Status = ", 0xC000009A, 16, "Status = 0xC000009A\n"},
        {"Count = ", 0, 10, "Count = 0\n"},
        {"Count = ", 1234567, 10, "Count = 1234567\n"},
        {"Count = ", 0xFFFFFFFF, 10, "Count = 4294967295\n"},
        // Prefix and padding only below 118 bytes; digits while at most 126 are used.
        {Filler(117), 0xC3, 16, Filler(117) + "0x000000C3"},           // 127: no room for "\n"
        {Filler(116), 0xC3, 16, Filler(116) + "0x000000C3\n"},
        {Filler(118), 0xC3, 16, Filler(118) + "C3\n"},
        {Filler(125), 12345, 10, Filler(125) + "12"},
        {Filler(122), 12345, 10, Filler(122) + "12345"},
        {Filler(121), 12345, 10, Filler(121) + "12345\n"},
        {Filler(200), 7, 16, Filler(127)},
    };
    for (const LongCase &c : cases) {
        SCOPED_TRACE(c.printed);
        EXPECT_EQ(PrintOf([&] { DRIVER_SYMBOL(TraceLong)(4, c.label.c_str(), c.value, c.radix); }),
                  Printed(c.printed));
    }
}

TEST_F(TraceLines, BufferDumpIsOneUnwrappedLine)
{
    std::vector<UCHAR> data(100);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<UCHAR>(0xA0 + i);
    auto dump = [&](size_t count) { return HexDump(data.data(), count); };
    struct BufferCase {
        std::string label;
        ULONG length;
        std::string printed;
    };
    const std::string label20 = "Received: 20 chars: ";
    ASSERT_EQ(label20.size(), 20u);
    const BufferCase cases[] = {
        {"Sending: ", 0, "Sending: \n"},
        {"Sending: ", 3, "Sending: " + dump(3) + "\n"},
        {label20, 100, label20 + dump(77) + "\n"},
        {Filler(150), 100, Filler(100) + dump(50) + "\n"},          // the label is cut at 100
    };
    for (const BufferCase &c : cases) {
        SCOPED_TRACE(c.printed);
        EXPECT_EQ(PrintOf([&] { DRIVER_SYMBOL(TraceBuffer)(3, c.label.c_str(), data.data(), c.length); }),
                  Printed(c.printed));
    }
}

TEST_F(TraceLines, NullParametersOnlyReachTheDebugger)
{
    const UCHAR byte = 1;
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] { DRIVER_SYMBOL(TraceString)(4, nullptr, "x"); }, "TraceString"},
        {[] { DRIVER_SYMBOL(TraceString)(4, "x", nullptr); }, "TraceString"},
        {[] { DRIVER_SYMBOL(TraceWString)(4, nullptr, u"x"); }, "TraceWString"},
        {[] { DRIVER_SYMBOL(TraceWString)(4, "x", nullptr); }, "TraceWString"},
        {[] { DRIVER_SYMBOL(TraceLong)(4, nullptr, 1, 16); }, "TraceLong"},
        {[&] { DRIVER_SYMBOL(TraceBuffer)(4, nullptr, &byte, 1); }, "TraceBuffer"},
        {[] { DRIVER_SYMBOL(TraceBuffer)(4, "x", nullptr, 1); }, "TraceBuffer"},
    };
    for (const auto &[call, routine] : cases) {
        SCOPED_TRACE(routine);
        EXPECT_EQ(PrintOf(call), "KRVDLC: Invalid parameter passed in to " + routine + "\n");
        // Without TRACE_TO_DEBUGGER the message is not printed at all.
        WriteNoFence(&DRIVER_SYMBOL(TraceLevel), ReadNoFence(&DRIVER_SYMBOL(TraceLevel)) & ~ULONG{TRACE_TO_DEBUGGER});
        host_.machine().debugger().Clear();
        call();
        EXPECT_TRUE(Prints().empty());
        WriteNoFence(&DRIVER_SYMBOL(TraceLevel), ULONG{kDebuggerAll});
    }
}

TEST(TraceTimeStamp, LocalTimeOnFifthOfMarch2006)
{
    // 2006-03-05 19:04:09.021 local, five hours west of UTC: 2006-03-06 00:04:09.021 UTC.
    auto daysFromCivil = [](int64_t y, int64_t m, int64_t d) {
        y -= m <= 2;
        const int64_t era = (y >= 0 ? y : y - 399) / 400;
        const int64_t yoe = y - era * 400;
        const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
        return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy;
    };
    const int64_t days = daysFromCivil(2006, 3, 6) - daysFromCivil(1601, 1, 1);
    const int64_t ms = ((days * 24 + 0) * 60 + 4) * 60 * 1000 + 9 * 1000 + 21;
    sim::MachineOptions machine;
    machine.timeZoneBiasMinutes = 300;
    machine.bootSystemTime = ms * 10000;

    SimulatedHost host(WithTraceLevel(0x84, machine));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    std::vector<std::string> prints = host.machine().debugger().Prints();
    ptrdiff_t stamp = IndexOf(prints, Printed("Mar 05, 2006  19:04:09.021\n"));
    ASSERT_GE(stamp, 0);
    // The stamp comes right before the first line of DriverEntry.
    ASSERT_LT(static_cast<size_t>(stamp + 1), prints.size());
    EXPECT_EQ(prints[stamp + 1], Printed("DriverEntry\n"));

    // Below level 4 no stamp is traced.
    WriteNoFence(&DRIVER_SYMBOL(TraceLevel), 0x83u);
    host.machine().debugger().Clear();
    DRIVER_SYMBOL(TraceTimeStamp)();
    EXPECT_TRUE(host.machine().debugger().Prints().empty());
}

TEST(TraceTimeStamp, FormatNumberFields)
{
    // Loaded, so that the image's own FormatNumber runs when the suite runs against it.
    SimulatedHost host(WithTraceLevel(std::nullopt));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    struct NumberCase {
        LONG value;
        ULONG width;
        std::string text;
    };
    const NumberCase cases[] = {
        {5, 2, "05"},          {0, 3, "000"},        {2006, 4, "2006"},
        {21, 3, "021"},        {-5, 3, "-05"},       {-5, 2, "-5"},
        {-5, 1, "X"},          {123, 2, "XX"},       {-100, 3, "XXX"},
        {INT_MAX, 10, "2147483647"},                  {INT_MIN, 11, "-2147483648"},
        {INT_MIN, 10, "XXXXXXXXXX"},
    };
    for (const NumberCase &c : cases) {
        SCOPED_TRACE(c.text);
        char field[16];
        std::memset(field, '#', sizeof field);
        DRIVER_SYMBOL(FormatNumber)(c.value, field, c.width);
        EXPECT_EQ(std::string(field, c.width), c.text);
        EXPECT_EQ(field[c.width], '#');   // no NUL, nothing past the width
    }
}

TEST(TraceStartLines, DriverEntryLinesAtLevel4InOrder)
{
    SimulatedHost host(WithTraceLevel(0x84));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    std::vector<std::string> prints = host.machine().debugger().Prints();
    for (const std::string &print : prints)
        EXPECT_EQ(print.rfind(kPrefix, 0), 0u) << print;

    ptrdiff_t first = IndexOf(prints, Printed("DriverEntry\n"));
    ASSERT_GE(first, 0);
    ASSERT_GE(prints.size(), static_cast<size_t>(first) + 7);
    EXPECT_TRUE(std::regex_match(prints[first + 1],
                                 std::regex("KRVDLC: Build Date = [A-Z][a-z]{2} [ 0-9]\\d \\d{4}\\n")))
        << prints[first + 1];
    EXPECT_TRUE(std::regex_match(prints[first + 2],
                                 std::regex("KRVDLC: Build Time = \\d\\d:\\d\\d:\\d\\d\\n")))
        << prints[first + 2];
    EXPECT_EQ(std::vector<std::string>(prints.begin() + first + 3, prints.begin() + first + 7),
              (std::vector<std::string>{
                  Printed("=== Free build ===\n"),
                  Printed("RegistryPath = " + std::string(kServiceKey) + "\n"),
                  Printed("Creating the driver control device object...\n"),
                  Printed("Successfully registered DLC protocol with NDIS\n")}));
    // Level 5 lines stay out.
    EXPECT_EQ(IndexOf(prints, Printed("Returning from DriverEntry\n")), -1);
}

// One frame's way, indication to read, on either receive path: every line in order at
// level 5, the lines of level 3 and below alone at level 3, none at level 0. Addresses
// are shown as 0x*.
TEST(TraceFrameLines, OneFrameFromIndicationToReadAtEachLevel)
{
    const sim::Frame frame = Numbered(4);
    auto dump = [&frame](size_t bytes) { return HexDump(frame.data(), bytes); };
    struct Line {
        uint32_t level;
        std::string text;
    };
    const std::vector<Line> readWaits = {
        {5, "KrvDlcRead... Irp = 0x*"},
        {4, "IoIncrement: IrpCount is now 1"},
        {4, "No receive data available.  Pending this request..."}};
    const std::vector<Line> packetQueued = {
        {5, "KrvDlcReceivePacket enter"},
        {4, "This is an 802.3 frame."},
        {5, "RejectDSAP validating: DSAP = 04 "},
        {4, "Adding received packet to the queue: 0x*"},
        {4, "Number of outstanding receive packets is now 1"}};
    const std::vector<Line> lookaheadQueued = {
        {5, "*KrvDlcReceive"},
        {4, "HeaderBuffer = " + dump(14)},
        {4, "This is an 802.3 frame."},
        {5, "RejectDSAP validating: DSAP = 04 "},
        {4, "Driver allocating packet from our pool: 0x*"},
        {4, "Driver allocating packet buffer: 0x*"},
        {4, "Driver allocating MDL for packet: 0x*"},
        {5, "TransferDataComplete"},
        {4, "Adding received packet to the queue: 0x*"},
        {4, "Number of outstanding receive packets is now 1"},
        {4, "Packet data transferred: 46"},
        {5, "Leaving KrvDlcTransferDataComplete."},
        {5, "Leaving KrvDlcReceive with NDIS_STATUS_SUCCESS."}};
    const std::vector<Line> readServedAtOnce = {
        {5, "KrvDlcRead... Irp = 0x*"},
        {4, "IoIncrement: IrpCount is now 1"},
        {4, "Calling KrvDlcReceiveComplete from KrvDlcRead"}};
    auto delivery = [&dump](bool lent) {
        std::vector<Line> lines = {
            {5, "KrvDlcReceiveComplete enter"},
            {4, "Number of outstanding receive packets is now 0"},
            {3, "Received byte count = 60"},
            {3, "Received: " + dump(32)}};
        if (lent) {
            lines.push_back({4, "Returning packet to NDIS: 0x*"});
        } else {
            lines.push_back({4, "Freeing driver-allocated packet buffer: 0x*"});
            lines.push_back({4, "Freeing driver-allocated MDL: 0x*"});
            lines.push_back({4, "Freeing driver-allocated packet: 0x*"});
        }
        for (const Line &line : std::vector<Line>{{4, "Calling IoCompleteRequest with pIrp = 0x*"},
                                                  {4, "IoDecrement: IrpCount is now 0"},
                                                  {4, "BytesTransferred: 60"},
                                                  {5, "KrvDlcReceiveComplete exit"}})
            lines.push_back(line);
        return lines;
    };
    auto join = [](std::initializer_list<std::vector<Line>> parts) {
        std::vector<Line> all;
        for (const std::vector<Line> &part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    struct Case {
        std::string name;
        bool packetPath;
        bool readerWaits;
        std::vector<Line> lines;
    } cases[] = {
        {"packet, reader waiting", true, true, join({readWaits, packetQueued, delivery(true)})},
        {"lookahead, read finds it queued", false, false,
         join({lookaheadQueued, readServedAtOnce, delivery(false)})},
    };
    const std::regex address("0x[0-9A-F]{8}");
    for (const Case &c : cases) {
        for (uint32_t level : {5u, 3u, 0u}) {
            SCOPED_TRACE(c.name + ", level " + std::to_string(level));
            DriverWithAdapter driver(NdisMedium802_3, TRACE_TO_DEBUGGER | level, true);
            sim::Adapter &adapter = driver.adapter();
            driver.ClearLog();
            auto indicate = [&] {
                if (c.packetPath)
                    ASSERT_EQ(adapter.IndicatePacket(frame), 1);
                else
                    ASSERT_EQ(adapter.IndicateReceive(frame), NDIS_STATUS_SUCCESS);
            };
            if (c.readerWaits) {
                PendingRead read(driver.handle().get(), 200);
                indicate();
                EXPECT_TRUE(adapter.IndicateReceiveComplete());
                ASSERT_TRUE(read.Wait());
                EXPECT_EQ(read.Data(), frame);
            } else {
                indicate();
                PendingRead read(driver.handle().get(), 200);
                ASSERT_TRUE(read.Wait());
                EXPECT_EQ(read.Data(), frame);
            }
            std::vector<std::string> expected, traced;
            for (const Line &line : c.lines)
                if (line.level <= level)
                    expected.push_back(line.text);
            for (const std::string &line : driver.Lines())
                traced.push_back(std::regex_replace(line, address, "0x*"));
            EXPECT_EQ(traced, expected);
        }
    }
}

}  // namespace
}  // namespace krvdlc::test
