// Event-log entries as the driver writes them: the bytes of each entry, the 152-byte bound
// with its cut string, and the events lost to a bad kind, too much dump data or no pool.
#include "tests/support/driver_test_support.h"

namespace krvdlc::test {
namespace {

constexpr size_t kFixedPart = 48;
constexpr size_t kDumpOffset = 40;

// What one call should leave in the log.
struct Expected {
    NTSTATUS code;
    std::vector<uint8_t> dump;
    std::optional<std::u16string> string;   // as stored, without its terminator
};

struct Case {
    const char *name;
    std::function<void()> call;
    std::optional<Expected> entry;           // nullopt: nothing logged
    std::vector<std::string> prints;         // debugger output of the call, in order
};

std::string Text(size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text.push_back(static_cast<char>('A' + i % 26));
    return text;
}

// Compares an entry with what was expected, byte by byte. The fixed part must be zero but
// for the fields set; the bytes between the end of the dump data and StringOffset (past
// the fixed part) are not the driver's to write and are not compared.
void ExpectEntry(const sim::ErrorLogEntry &entry, const Expected &expected)
{
    const size_t dumpSize = expected.dump.size();
    const size_t stringBytes = expected.string ? 2 * (expected.string->size() + 1) : 0;
    ASSERT_EQ(entry.bytes.size(), kFixedPart + dumpSize + stringBytes);

    std::vector<uint8_t> header(kFixedPart, 0);
    header[2] = static_cast<uint8_t>(dumpSize);                     // DumpDataSize
    header[4] = expected.string ? 1 : 0;                             // NumberOfStrings
    const auto stringOffset = static_cast<uint16_t>(kFixedPart + dumpSize);
    std::memcpy(&header[6], &stringOffset, 2);                       // StringOffset
    std::memcpy(&header[12], &expected.code, 4);                     // ErrorCode
    for (size_t i = 0; i < dumpSize && kDumpOffset + i < kFixedPart; ++i)
        header[kDumpOffset + i] = expected.dump[i];
    EXPECT_EQ(std::vector<uint8_t>(entry.bytes.begin(), entry.bytes.begin() + kFixedPart), header);

    EXPECT_EQ(entry.DumpData(), expected.dump);
    if (expected.string) {
        std::u16string stored(expected.string->size() + 1, u'\0');
        std::memcpy(stored.data(), entry.bytes.data() + stringOffset, stringBytes);
        EXPECT_EQ(stored, *expected.string + u'\0');
    }
    EXPECT_EQ(entry.source, u"KRVDLC");
}

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(host_.Load(), STATUS_SUCCESS);
        host_.machine().errorLog().Clear();
    }

    // The debugger output of one call, its trace lines at level 5 left out.
    std::vector<std::string> Run(const std::function<void()> &call)
    {
        host_.machine().errorLog().Clear();
        host_.machine().debugger().Clear();
        call();
        std::vector<std::string> prints;
        for (const std::string &print : host_.machine().debugger().Prints()) {
            if (print.rfind("KRVDLC: Entering ", 0) != 0 && print.rfind("KRVDLC: Leaving ", 0) != 0)
                prints.push_back(print);
        }
        return prints;
    }

    // Levels 1 to 5 to the debugger, so that the bound's own lines show; no file.
    SimulatedHost host_{WithTraceLevel(0x85)};
};

TEST_F(EventLogTest, EntriesAreWrittenByteExactWithinTheBound)
{
    const ULONG status = 0xC0000001;
    const std::vector<uint8_t> big(104, 0x5A);
    const std::string t51 = Text(51), t52 = Text(52), t60 = Text(60);
    const std::string packetBound = "KRVDLC: * ulPacketLength is too large: ";

    const std::vector<Case> cases = {
        {"error text with its line feed",
         [] { DRIVER_SYMBOL(LogSystemError)(LOG_ERROR, "** Read buffer is too small.\n", nullptr, 0); },
         Expected{EVENT_DRIVER_ERROR, {}, u"** Read buffer is too small.\n"},
         {}},
        {"warning with a 4-byte value",
         [&] { DRIVER_SYMBOL(LogSystemError)(LOG_WARNING, "External NDIS request failed.  Status = ", &status, 4); },
         Expected{EVENT_DRIVER_WARNING, Le32(status), u"External NDIS request failed.  Status = "},
         {}},
        {"51 characters fill 152 bytes exactly",
         [&] { DRIVER_SYMBOL(LogSystemError)(LOG_ERROR, t51.c_str(), nullptr, 0); },
         Expected{EVENT_DRIVER_ERROR, {}, Widen(t51)},
         {}},
        {"52 characters are cut to 51",
         [&] { DRIVER_SYMBOL(LogSystemError)(LOG_ERROR, t52.c_str(), nullptr, 0); },
         Expected{EVENT_DRIVER_ERROR, {}, Widen(t51)},
         {packetBound + "154\n", "KRVDLC: Truncating the string.\n"}},
        {"60 characters and a value are cut to 49",
         [&] { DRIVER_SYMBOL(LogSystemError)(LOG_ERROR, t60.c_str(), &status, 4); },
         Expected{EVENT_DRIVER_ERROR, Le32(status), Widen(t60.substr(0, 49))},
         {packetBound + "174\n", "KRVDLC: Truncating the string.\n"}},
        {"104 bytes of dump data log nothing",
         [&] { DRIVER_SYMBOL(LogSystemEvent)(EVENT_DRIVER_ERROR, u"x", big.data(), 104); },
         std::nullopt,
         {packetBound + "156\n", "KRVDLC: Unable to log the event.\n"}},
        {"an unknown kind logs nothing", [] { DRIVER_SYMBOL(LogSystemError)(3, "** text\n", nullptr, 0); },
         std::nullopt, {}},
        {"no string and no dump data",
         [] { DRIVER_SYMBOL(LogSystemEvent)(EVENT_DRIVER_SHUTDOWN, nullptr, nullptr, 0); },
         Expected{EVENT_DRIVER_SHUTDOWN, {}, std::nullopt},
         {}},
        {"a string given directly",
         [] { DRIVER_SYMBOL(LogSystemEvent)(EVENT_OPENING_ADAPTER, u"Adapter \u00e9", nullptr, 0); },
         Expected{EVENT_OPENING_ADAPTER, {}, u"Adapter \u00e9"},
         {}},
    };

    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + " at " + sim::IrqlName(irql));
            std::vector<std::string> prints = Run([&] {
                sim::IrqlScope raised(irql);
                c.call();
            });
            EXPECT_EQ(prints, c.prints);
            std::vector<sim::ErrorLogEntry> entries = host_.machine().errorLog().Entries();
            ASSERT_EQ(entries.size(), c.entry ? 1u : 0u);
            if (c.entry)
                ExpectEntry(entries[0], *c.entry);
        }
    }
    // The wide copies of LogSystemError are all given back.
    EXPECT_EQ(host_.machine().errorLog().OutstandingCount(), 0u);
}

TEST_F(EventLogTest, AllocationFailuresLoseTheEventAndSaySo)
{
    sim::Machine &machine = host_.machine();
    const std::string text = "** Failed to open adapter\n";
    struct Failure {
        const char *name;
        std::function<void()> arm;
        std::string print;
    };
    const std::vector<Failure> failures = {
        {"no error-log entry", [&] { machine.faults().FailNth("IoAllocateErrorLogEntry", 1); },
         "KRVDLC: ** Unable to allocate an IO Error Log Packet\n"},
        {"no pool for the wide copy",
         [&] {
             // The wide copy: two bytes per character of the text and its NUL, nonpaged.
             const uint64_t wideSize = 2 * (text.size() + 1);
             machine.faults().FailWhen(
                 [wideSize](const sim::FaultPoint &point) {
                     return point.routine == "ExAllocatePoolWithTag" && point.size == wideSize &&
                            point.poolType == NonPagedPool && point.tag == sim::PoolTag("Kdlc");
                 },
                 1);
         },
         "KRVDLC: LogSystemError unable to allocate buffer from nonpaged pool\n"},
    };
    for (const Failure &f : failures) {
        SCOPED_TRACE(f.name);
        const uint64_t injected = machine.faults().Injected();
        std::vector<std::string> prints = Run([&] {
            f.arm();
            DRIVER_SYMBOL(LogSystemError)(LOG_ERROR, text.c_str(), nullptr, 0);
        });
        EXPECT_EQ(machine.faults().Injected(), injected + 1);
        EXPECT_EQ(prints, std::vector<std::string>{f.print});
        EXPECT_TRUE(machine.errorLog().Entries().empty());
        machine.faults().Clear();
    }
    // Logging works again once the pool does.
    Run([&] { DRIVER_SYMBOL(LogSystemError)(LOG_ERROR, text.c_str(), nullptr, 0); });
    EXPECT_EQ(machine.errorLog().Entries().size(), 1u);
}

TEST(EventLogLifetime, StartAndUnloadLogTheirEvents)
{
    SimulatedHost host(WithTraceLevel(std::nullopt));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    ASSERT_TRUE(host.Unload());
    std::vector<NTSTATUS> codes;
    for (const sim::ErrorLogEntry &entry : host.machine().errorLog().Entries()) {
        codes.push_back(entry.ErrorCode());
        EXPECT_EQ(entry.bytes.size(), kFixedPart);
    }
    EXPECT_EQ(codes, (std::vector<NTSTATUS>{EVENT_DRIVER_STARTED, EVENT_DRIVER_SHUTDOWN}));
}

}  // namespace
}  // namespace krvdlc::test
