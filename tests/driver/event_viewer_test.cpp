// The event viewer on the driver's entries: message texts from KRVDLC.SYS with their
// inserts, type, identifier, local time and source, and the listing without the image.
#include "tests/support/driver_test_support.h"

#include "tools/common/event_viewer.h"

namespace krvdlc::test {
namespace {

const std::string kImagePath = KRVDLC_IMAGE_PATH;

// The table of the built image; a test that needs it fails when the image is not built.
const MessageTable &ImageTable()
{
    static const std::optional<MessageTable> table = LoadMessageTable(kImagePath);
    if (!table)
        ADD_FAILURE() << "no message table in " << kImagePath << " (build the driver preset)";
    static const MessageTable empty;
    return table ? *table : empty;
}

TEST(EventViewerText, InsertsAndEscapesAsTheMessageFormatterDoesThem)
{
    const std::vector<std::string> inserts = {"KRVDLC", "** Text.\n"};
    struct Case {
        const char *text;
        const char *shown;
    };
    for (const Case &c : {
             Case{"error: %2\r\n", "error: ** Text.\n\r\n"},
             Case{"%1 and %2!s!.", "KRVDLC and ** Text.\n."},
             Case{"missing %3, %12 kept", "missing %3, %12 kept"},
             Case{"100%% %.%!%b%t%r%nend", "100% .! \t\r\r\nend"},
             Case{"cut here%0 not shown", "cut here"},
             Case{"trailing %", "trailing %"},
         }) {
        EXPECT_EQ(FormatMessageText(c.text, inserts), c.shown) << c.text;
    }
}

TEST(EventViewerText, TypeIdentifierAndLocalTime)
{
    EXPECT_EQ(std::string(EventTypeName(EventTypeOf(0x402A0001))), "Information");
    EXPECT_EQ(std::string(EventTypeName(EventTypeOf(0x002A0001))), "Information");
    EXPECT_EQ(std::string(EventTypeName(EventTypeOf(0x802A0004))), "Warning");
    EXPECT_EQ(std::string(EventTypeName(EventTypeOf(0xC02A0005))), "Error");
    EXPECT_EQ(DisplayedEventId(0xC02A0005), 5);

    struct Case {
        int64_t utc;
        int32_t bias;
        const char *date;
        const char *time;
    };
    const int64_t minute = 600'000'000;
    for (const Case &c : {
             Case{sim::SystemTimeFromCalendar(2006, 3, 5, 19, 4, 9, 21), 0, "3/5/2006", "7:04:09 PM"},
             // Eastern time, 300 minutes west: the local date is the day before.
             Case{sim::SystemTimeFromCalendar(2026, 1, 1, 3, 0, 0), 300, "12/31/2025", "10:00:00 PM"},
             Case{sim::SystemTimeFromCalendar(2024, 2, 29, 0, 0, 59), 0, "2/29/2024", "12:00:59 AM"},
             Case{sim::SystemTimeFromCalendar(2024, 2, 29, 12, 30, 0) + 30 * minute, -60,
                  "2/29/2024", "2:00:00 PM"},
         }) {
        const LocalTimeText shown = FormatLocalTime(c.utc, c.bias);
        EXPECT_EQ(shown.date, c.date);
        EXPECT_EQ(shown.time, c.time);
    }
}

// The seven events as the driver logs them, each with an insertion string, read back
// through the table of the image.
TEST(EventViewer, ShowsEveryEventOfTheImageTable)
{
    const MessageTable &table = ImageTable();
    SimulatedHost host(WithTraceLevel(std::nullopt));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    host.machine().errorLog().Clear();

    const std::string insert = "** Inserted text.\n";
    struct Event {
        NTSTATUS code;
        const char *type;
        uint16_t id;
        std::string description;
    };
    const std::vector<Event> events = {
        {EVENT_DRIVER_STARTED, "Information", 1, "The Korvel DLC driver started successfully.\r\n"},
        {EVENT_DRIVER_FAILED, "Error", 2, "The Korvel DLC driver failed to start.\r\n"},
        {EVENT_DRIVER_INFORMATION, "Information", 3,
         "The Korvel DLC driver reported the following information: " + insert + "\r\n"},
        {EVENT_DRIVER_WARNING, "Warning", 4,
         "The Korvel DLC driver reported the following warning: " + insert + "\r\n"},
        {EVENT_DRIVER_ERROR, "Error", 5,
         "The Korvel DLC driver reported the following error: " + insert + "\r\n"},
        {EVENT_DRIVER_SHUTDOWN, "Information", 6, "The Korvel DLC driver is shutting down.\r\n"},
        {EVENT_OPENING_ADAPTER, "Information", 7,
         "Opening adapter: " + insert +
             ".  Note that some adapter names are too long to be passed to the event log and may "
             "be truncated.\r\n"},
    };
    const std::u16string wideInsert = Widen(insert);
    for (const Event &e : events)
        DRIVER_SYMBOL(LogSystemEvent)(e.code, wideInsert.c_str(), nullptr, 0);

    const std::vector<sim::ErrorLogEntry> entries = host.machine().errorLog().Entries();
    ASSERT_EQ(entries.size(), events.size());
    const EventViewerOptions options = ViewerOptionsFor(host.machine(), kImagePath);
    for (size_t i = 0; i < events.size(); ++i) {
        SCOPED_TRACE(events[i].id);
        EXPECT_EQ(DescribeEvent(entries[i], &table, options), events[i].description);
        const std::string shown = RenderEvent(entries[i], &table, options);
        EXPECT_NE(shown.find(std::string("Event Type:\t") + events[i].type + "\n"), std::string::npos);
        EXPECT_NE(shown.find("Event ID:\t" + std::to_string(events[i].id) + "\n"), std::string::npos);
        EXPECT_NE(shown.find("Description:\n" + events[i].description), std::string::npos) << shown;
    }
}

// The road of real events: start, an adapter opened, a read with too small a buffer (two
// errors), shutdown, rendered with the machine's clock and time zone.
TEST(EventViewer, RendersTheEventsOfARealSession)
{
    const MessageTable &table = ImageTable();
    HostOptions hostOptions = WithTraceLevel(std::nullopt);
    hostOptions.machine.timeZoneBiasMinutes = 60;   // one hour west of UTC
    hostOptions.machine.bootSystemTime = sim::SystemTimeFromCalendar(2026, 3, 2, 9, 15, 30);
    SimulatedHost host(hostOptions);
    sim::Adapter &adapter = host.AddAdapter(u"{5D3F0B8A-0001-4C1E-9E21-7A65C0DE0001}", NdisMedium802_3,
                                            sim::MacAddress{2, 0, 0, 0, 0, 1},
                                            u"Simulated Ethernet Adapter");
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    ASSERT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
    {
        DeviceHandle device = host.Open(SimulatedHost::AdapterFileName(adapter));
        ASSERT_TRUE(device.valid());
        std::vector<uint8_t> buffer(13);
        const IoOutcome read = device.Read(buffer);
        EXPECT_FALSE(read.ok);
        EXPECT_EQ(read.status, STATUS_BUFFER_TOO_SMALL);
    }
    ASSERT_EQ(adapter.Unbind(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(host.Unload());

    const std::vector<sim::ErrorLogEntry> entries = host.machine().errorLog().Entries();
    ASSERT_EQ(entries.size(), 5u);
    const EventViewerOptions options = ViewerOptionsFor(host.machine(), kImagePath);
    std::vector<std::string> descriptions;
    for (const sim::ErrorLogEntry &entry : entries)
        descriptions.push_back(DescribeEvent(entry, &table, options));
    EXPECT_EQ(descriptions,
              (std::vector<std::string>{
                  "The Korvel DLC driver started successfully.\r\n",
                  "Opening adapter: Simulated Ethernet Adapter.  Note that some adapter names are "
                  "too long to be passed to the event log and may be truncated.\r\n",
                  "The Korvel DLC driver reported the following error: ** Read buffer is too small.\n\r\n",
                  "The Korvel DLC driver reported the following error: ** Error detected in "
                  "KrvDlcRead()...\n\r\n",
                  "The Korvel DLC driver is shutting down.\r\n",
              }));

    // 09:15:30 UTC at boot is 08:15:30 local. Data: the header words (one string at 0x30,
    // the error code) and no dump.
    const std::string shown = RenderEvent(entries[2], &table, options);
    const std::string expected =
        "Event Type:\tError\n"
        "Event Source:\tKRVDLC\n"
        "Event Category:\tNone\n"
        "Event ID:\t5\n"
        "Date:\t\t3/2/2026\n"
        "Time:\t\t" + FormatLocalTime(entries[2].writtenAt, 60).time + "\n"
        "Description:\n"
        "The Korvel DLC driver reported the following error: ** Read buffer is too small.\n\r\n"
        "Data:\n"
        "0000: 00000000 00300001 00000000 c02a0005\n"
        "0010: 00000000 00000000 00000000 00000000\n"
        "0020: 00000000 00000000\n";
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(FormatLocalTime(entries[0].writtenAt, 60).time.substr(0, 5), "8:15:");
}

TEST(EventViewer, WithoutTheImageShowsIdentifiersAndStringsRaw)
{
    std::string error;
    EXPECT_FALSE(LoadMessageTable("/nonexistent/KRVDLC.SYS", &error).has_value());
    EXPECT_FALSE(error.empty());

    SimulatedHost host(WithTraceLevel(std::nullopt));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    host.machine().errorLog().Clear();
    const ULONG medium = 7;
    DRIVER_SYMBOL(LogSystemError)(LOG_ERROR, "** Unsupported media type: ", &medium, sizeof medium);

    EventViewerOptions options = ViewerOptionsFor(host.machine(), "/nonexistent/KRVDLC.SYS");
    options.showData = false;
    const std::string shown = RenderEvents(host.machine().errorLog().Entries(), nullptr, options);
    EXPECT_EQ(shown,
              "Driver image missing: /nonexistent/KRVDLC.SYS; event texts unavailable, identifiers "
              "and insertion strings shown raw.\n\n"
              "Event Type:\tError\n"
              "Event Source:\tKRVDLC\n"
              "Event Category:\tNone\n"
              "Event ID:\t5\n"
              "Date:\t\t1/1/2026\n"
              "Time:\t\t12:00:00 AM\n"
              "Description:\n"
              "The description for Event ID ( 5 ) in Source ( KRVDLC ) cannot be found: the driver "
              "image with its message table is missing. Identifier: 0xC02A0005. The following "
              "information is part of the event: KRVDLC, ** Unsupported media type: \n");

    // A table without the identifier says so instead.
    MessageTable other;
    EXPECT_NE(DescribeEvent(host.machine().errorLog().Entries().at(0), &other, options)
                  .find("the message table has no such identifier"),
              std::string::npos);
}

}  // namespace
}  // namespace krvdlc::test
