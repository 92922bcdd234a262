// Error-log entries: allocation limits, what a written entry keeps, and the rules.
#include "tests/sim/kernel_test_support.h"

#include "sim/dispatcher.h"
#include "sim/errorlog.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/pool.h"

#include <cstring>

namespace sim::test {
namespace {

constexpr NTSTATUS kEventDriverError = static_cast<NTSTATUS>(0xC02A0005);

// The stand-in for the driver object, named as the I/O manager would name it.
struct LoggingMachine {
    LoggingMachine()
    {
        machine.errorLog().SetSourceResolver([this](const void *object) -> std::shared_ptr<const std::u16string> {
            if (object == &driverObject)
                return std::make_shared<const std::u16string>(u"KRVDLC");
            return nullptr;
        });
    }

    // Fills an entry the way the driver does: fixed part zeroed, one dump word, one string.
    PIO_ERROR_LOG_PACKET Fill(void *entry, ULONG dump, const std::u16string &text)
    {
        auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(entry);
        std::memset(packet, 0, sizeof(IO_ERROR_LOG_PACKET));
        packet->ErrorCode = kEventDriverError;
        packet->DumpDataSize = sizeof dump;
        packet->DumpData[0] = dump;
        packet->NumberOfStrings = 1;
        packet->StringOffset = sizeof(IO_ERROR_LOG_PACKET) + sizeof dump;
        std::memcpy(reinterpret_cast<char *>(packet) + packet->StringOffset, text.c_str(),
                    (text.size() + 1) * sizeof(char16_t));
        return packet;
    }

    Machine machine;
    DRIVER_OBJECT driverObject{};
};

TEST(KernelErrorLog, EntrySizesAndInjectedFailures)
{
    LoggingMachine logging;
    struct Case {
        UCHAR size;
        bool allocated;
    };
    for (const Case &c : {Case{47, false}, Case{48, true}, Case{152, true}, Case{153, false}, Case{255, false}}) {
        SCOPED_TRACE(int(c.size));
        void *entry = IoAllocateErrorLogEntry(&logging.driverObject, c.size);
        EXPECT_EQ(entry != nullptr, c.allocated);
        if (entry != nullptr) {
            std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
            IoWriteErrorLogEntry(entry);
        }
    }
    logging.machine.faults().FailNth("IoAllocateErrorLogEntry", 1);
    EXPECT_EQ(IoAllocateErrorLogEntry(&logging.driverObject, 48), nullptr);
    EXPECT_EQ(logging.machine.errorLog().Entries().size(), 2u);
}

TEST(KernelErrorLog, WithoutAResolverAnyObjectIsAccepted)
{
    Machine machine;
    machine.errorLog().SetSourceResolver(nullptr);  // the I/O manager may have set one
    int device = 0;
    void *entry = IoAllocateErrorLogEntry(&device, 48);
    ASSERT_NE(entry, nullptr);
    std::memset(entry, 0, 48);
    IoWriteErrorLogEntry(entry);
    EXPECT_EQ(machine.errorLog().Entries().at(0).source, u"");
    EXPECT_EQ(machine.errorLog().Entries().at(0).ioObject, &device);
}

// A machine that logs for hours keeps the latest entries only, and still counts them all
// by their text (krvdlc-sim's queue-full count comes from these counts).
TEST(KernelErrorLog, KeepsTheLatestEntriesAndCountsEveryOneByText)
{
    LoggingMachine logging;
    ErrorLog &log = logging.machine.errorLog();
    const size_t kept = ErrorLog::kEntriesKept;
    auto write = [&](ULONG dump, const std::u16string &text) {
        auto size = static_cast<UCHAR>(sizeof(IO_ERROR_LOG_PACKET) + sizeof dump + (text.size() + 1) * sizeof(char16_t));
        void *entry = IoAllocateErrorLogEntry(&logging.driverObject, size);
        ASSERT_NE(entry, nullptr);
        IoWriteErrorLogEntry(logging.Fill(entry, dump, text));
    };
    for (ULONG i = 0; i < kept + 10; ++i)
        write(i, u"** Too many received packets have been queued");
    write(0, u"** No free packets in pool");

    std::vector<ErrorLogEntry> entries = log.Entries();
    ASSERT_EQ(entries.size(), kept);
    EXPECT_EQ(entries.front().DumpData(), (std::vector<uint8_t>{11, 0, 0, 0}));   // 0 to 10 overwritten
    EXPECT_EQ(entries.back().Strings().at(0), u"** No free packets in pool");
    EXPECT_EQ(log.CountWritten(u"Too many received packets"), kept + 10);
    EXPECT_EQ(log.CountWritten(u"No free packets"), 1u);
    EXPECT_EQ(log.CountWritten(u"**"), kept + 11);
    log.Clear();
    EXPECT_EQ(log.CountWritten(u"**"), 0u);
}

// An entry for a stand-in object that the machine accepts, zero-filled.
void *ZeroedEntry(Machine &machine, UCHAR size)
{
    machine.errorLog().SetSourceResolver(nullptr);
    int object = 0;
    void *entry = IoAllocateErrorLogEntry(&object, size);
    std::memset(entry, 0, size);
    return entry;
}

TEST(KernelErrorLogDeathTest, VerifierRules)
{
    ExpectStops({
        {"entry for no object", [](Machine &) { IoAllocateErrorLogEntry(nullptr, 48); },
         "Rule: IoAllocateErrorLogEntry called without a driver or device object"},
        {"entry for a stranger",
         [](Machine &machine) {
             machine.errorLog().SetSourceResolver([](const void *) { return nullptr; });
             int stranger = 0;
             IoAllocateErrorLogEntry(&stranger, 48);
         },
         "Rule: IoAllocateErrorLogEntry for an object that is neither the driver nor one of its devices"},
        {"written twice",
         [](Machine &machine) { void *entry = ZeroedEntry(machine, 48); IoWriteErrorLogEntry(entry); IoWriteErrorLogEntry(entry); },
         "Rule: IoWriteErrorLogEntry with an entry that IoAllocateErrorLogEntry did not hand out"},
        {"dump data beyond the entry",
         [](Machine &machine) {
             auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(ZeroedEntry(machine, 52));
             packet->DumpDataSize = 16;
             IoWriteErrorLogEntry(packet);
         },
         Literal("Rule: error-log entry overruns its size (dump data)")},
        {"string without its terminator inside the entry",
         [](Machine &machine) {
             auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(ZeroedEntry(machine, 52));
             packet->NumberOfStrings = 1;
             packet->StringOffset = 48;
             std::memcpy(reinterpret_cast<char *>(packet) + 48, u"ab", 4);
             IoWriteErrorLogEntry(packet);
         },
         Literal("Rule: error-log entry overruns its size (insertion strings)")},
        {"entry never written when the driver unloads",
         [](Machine &machine) { ZeroedEntry(machine, 48); machine.CheckNothingLeftBehind(); },
         "Rule: driver unloaded with error-log entries allocated but never written"},
    });
}

}  // namespace
}  // namespace sim::test
