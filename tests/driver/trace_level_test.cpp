// The trace level read from the registry at start-up: what each value becomes, what each
// failure prints, and where the lines go afterwards.
#include "tests/support/driver_test_support.h"

namespace krvdlc::test {
namespace {

std::string LevelRead(uint32_t value)
{
    char text[64];
    std::snprintf(text, sizeof text, "KRVDLC: TraceLevel is: 0x%08X\n", value);
    return text;
}

struct LevelCase {
    const char *name;
    std::optional<uint32_t> registryValue;
    std::function<void(sim::Machine &)> arm;
    uint32_t level;             // TraceLevel after start-up
    std::string lastReadPrint;  // the debugger line that ends the read
};

// The key name: the service key path and "\\Parameters" with its terminator.
uint64_t KeyNameBytes()
{
    return Widen(kServiceKey).size() * 2 + 26;
}

TEST(TraceLevel, RegistryValuesAndReadFailures)
{
    const std::string noValue = "KRVDLC: ** Unable to open registry value: TraceLevel.\n";
    const std::string notDword = "KRVDLC: ** registry value TraceLevel needs to be a DWORD.\n";
    const std::string noKey =
        "KRVDLC: ** Unable to open registry key: " + std::string(kParametersKey) + ".\n";
    const LevelCase cases[] = {
        {"no value", std::nullopt, nullptr, 0, noValue},
        {"REG_SZ", std::nullopt,
         [](sim::Machine &m) { m.registry().SetString(kParametersKey, "TraceLevel", "7"); }, 0,
         notDword},
        {"short REG_DWORD", std::nullopt,
         [](sim::Machine &m) { m.registry().SetValue(kParametersKey, "TraceLevel", REG_DWORD, {7, 0}); },
         0, notDword},
        {"zero", 0, nullptr, 0, LevelRead(0)},
        {"verbosity only goes to the file", 3, nullptr, 0x43, LevelRead(3)},
        {"debugger without file", 0x85, nullptr, 0x85, LevelRead(0x85)},
        {"debugger and file", 0xC7, nullptr, 0xC7, LevelRead(0xC7)},
        {"debugger switch alone", 0x80, nullptr, 0x80, LevelRead(0x80)},
        // Failures: the value would give 0x87.
        {"no Parameters key", 0x87,
         [](sim::Machine &m) { m.registry().DeleteKey(kParametersKey); }, 0, noKey},
        {"key cannot be opened", 0x87,
         [](sim::Machine &m) { m.faults().FailNth("ZwOpenKey", 1); }, 0, noKey},
        {"no pool for the key name", 0x87,
         [](sim::Machine &m) {
             m.faults().FailWhen(
                 [](const sim::FaultPoint &p) {
                     return p.routine == "ExAllocatePoolWithTag" && p.size == KeyNameBytes();
                 },
                 1);
         },
         0, "KRVDLC: ** Couldn't allocate pool for registry path.\n"},
        {"size query fails", 0x87,
         [](sim::Machine &m) { m.faults().FailNth("ZwQueryValueKey", 1); }, 0, noValue},
        // The driver's third allocation: registry path copy, key name, value buffer.
        {"no pool for the value", 0x87,
         [](sim::Machine &m) { m.faults().FailNth("ExAllocatePoolWithTag", 3); }, 0,
         "KRVDLC: ** Unable to allocate memory for pkvpi.\n"},
        {"value query fails", 0x87,
         [](sim::Machine &m) { m.faults().FailNth("ZwQueryValueKey", 2); }, 0,
         "KRVDLC: ** Unable to retrieve TraceLevel from registry.\n"},
    };
    for (const LevelCase &c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedHost host(WithTraceLevel(c.registryValue));
        sim::Machine &machine = host.machine();
        if (c.arm)
            c.arm(machine);
        ASSERT_EQ(host.Load(), STATUS_SUCCESS);
        EXPECT_EQ(ReadNoFence(&DRIVER_SYMBOL(TraceLevel)), c.level);

        std::vector<std::string> prints = machine.debugger().Prints();
        ptrdiff_t read = IndexOf(prints, c.lastReadPrint);
        ASSERT_GE(read, 0);
        EXPECT_EQ(std::count(prints.begin(), prints.end(), c.lastReadPrint), 1);
        const bool debugger = (c.level & TRACE_TO_DEBUGGER) != 0;
        const ULONG verbosity = c.level & TRACE_LEVEL_MASK;
        if (!debugger) {
            // Nothing is printed after the read, neither at start nor at unload.
            EXPECT_EQ(static_cast<size_t>(read), prints.size() - 1);
        } else {
            EXPECT_EQ(IndexOf(prints, Printed("DriverEntry\n")) > read, verbosity >= 4);
        }
        // Below level 4 a line reaches the file only once a later line has pushed its
        // buffer to the queue; the second line is there for that.
        if ((ReadNoFence(&DRIVER_SYMBOL(TraceLevel)) & TRACE_LEVEL_MASK) >= 3)
            DRIVER_SYMBOL(TraceMessage)(3, "Data line\n");
        if ((ReadNoFence(&DRIVER_SYMBOL(TraceLevel)) & TRACE_LEVEL_MASK) >= 3)
            DRIVER_SYMBOL(TraceMessage)(3, "Push line\n");
        ASSERT_TRUE(host.Unload());
        std::vector<std::string> after = machine.debugger().Prints();
        if (!debugger)
            EXPECT_EQ(after.size(), prints.size());
        else
            EXPECT_EQ(IndexOf(after, Printed("Data line\n")) >= 0, verbosity >= 3);

        // The file gets the lines up to the verbosity when TRACE_TO_FILE was set.
        std::optional<std::string> file = machine.files().ReadFile(kTraceFile);
        if ((c.level & TRACE_TO_FILE) == 0) {
            EXPECT_FALSE(file.has_value());
            continue;
        }
        ASSERT_TRUE(file.has_value());
        EXPECT_NE(file->find("Data line\n"), std::string::npos);
        EXPECT_EQ(file->find("DriverEntry\n") != std::string::npos, verbosity >= 4);
        EXPECT_EQ(file->find("KRVDLC: "), std::string::npos);
    }
}

}  // namespace
}  // namespace krvdlc::test
