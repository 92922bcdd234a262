// pnp_status_test.cpp - plug-and-play and power events, the enumeration parked until the
// binds are complete, and status indications.
#include "tests/support/driver_test_support.h"

namespace krvdlc::test {
namespace {

constexpr char16_t kGuidA[] = u"{5A0C1D2E-0003-4000-8000-00000000C001}";
constexpr char16_t kGuidB[] = u"{5A0C1D2E-0003-4000-8000-00000000C002}";

struct EventCase {
    uint32_t code;
    std::vector<uint8_t> buffer;
    NDIS_STATUS status;
    const char *line;
};

// Every event code, for a binding and as a global event: the same answer either way.
TEST(PnpTest, EventTable)
{
    const EventCase cases[] = {
        {0, Le32(NdisDeviceStateD0), NDIS_STATUS_SUCCESS, "NetEventSetPower"},
        {1, {}, NDIS_STATUS_SUCCESS, "NetEventQueryPower"},
        {2, {}, NDIS_STATUS_SUCCESS, "NetEventQueryRemoveDevice "},
        {3, {}, NDIS_STATUS_SUCCESS, "NetEventCancelRemoveDevice "},
        {4, {}, NDIS_STATUS_SUCCESS, "NetEventReconfigure"},
        {5, {}, NDIS_STATUS_NOT_SUPPORTED, "NetEventBindList not supported"},
        {6, {}, NDIS_STATUS_SUCCESS, "NetEventBindsComplete "},
        {7, {}, NDIS_STATUS_NOT_SUPPORTED, "NetEventPnPCapabilities not supported."},
        {8, {}, NDIS_STATUS_NOT_SUPPORTED, "Unknown event: 0x00000008"},
        {9, {1, 0, 0, 0}, NDIS_STATUS_NOT_SUPPORTED, "Unknown event: 0x00000009"},
        {0x7FFFFFFF, {}, NDIS_STATUS_NOT_SUPPORTED, "Unknown event: 0x7FFFFFFF"},
    };
    DriverHost driver;
    sim::Adapter &adapter = driver.AddBound(kGuidA);

    for (bool global : {true, false}) {
        for (const EventCase &c : cases) {
            SCOPED_TRACE(testing::Message() << c.line << (global ? " global" : " binding"));
            driver.ClearLog();
            auto code = static_cast<NET_PNP_EVENT_CODE>(c.code);
            NDIS_STATUS status = global ? driver.host().ndis().SendPnPEvent(code, c.buffer)
                                        : adapter.SendPnPEvent(code, c.buffer);
            EXPECT_EQ(status, c.status);
            auto lines = driver.Lines();
            std::vector<std::string> expected = {"Entering KrvDlcPNPHandler", c.line,
                                                 "Leaving KrvDlcPNPHandler"};
            EXPECT_EQ(lines, expected);
            EXPECT_TRUE(driver.Entries().empty());
        }
    }
    // Only full power (D0, the first row) is accepted; no state at all is no full power.
    const std::vector<uint8_t> otherStates[] = {
        Le32(NdisDeviceStateD1), Le32(NdisDeviceStateD2), Le32(NdisDeviceStateD3),
        Le32(NdisDeviceStateUnspecified), {}, {1, 0}};
    for (const auto &buffer : otherStates)
        EXPECT_EQ(adapter.SendPnPEvent(NetEventSetPower, buffer), NDIS_STATUS_NOT_SUPPORTED) << buffer.size();
    driver.Unload();
}

TEST(PnpTest, EnumerationParkedUntilBindsComplete)
{
    struct {
        uint32_t outputLength;
        NTSTATUS status;
    } const cases[] = {{1024, STATUS_SUCCESS}, {2, STATUS_BUFFER_TOO_SMALL}};

    for (const auto &c : cases) {
        SCOPED_TRACE(c.outputLength);
        DriverHost driver;
        driver.AddBound(kGuidA);
        driver.AddBound(kGuidB, NdisMedium802_5);
        DeviceHandle control = driver.OpenControl();
        driver.ClearLog();

        OverlappedCall parked(control.get());
        parked.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, {}, c.outputLength);
        EXPECT_TRUE(parked.Pended());
        EXPECT_FALSE(parked.Wait(30));
        EXPECT_EQ(driver.CountLines("Adapter binding is not yet complete, pending the IRP."), 1u);
        // One waits at a time; a second is turned away.
        OverlappedCall second(control.get());
        second.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 1024);
        ASSERT_TRUE(second.Wait());
        EXPECT_EQ(second.Status(), STATUS_DEVICE_BUSY);
        EXPECT_FALSE(parked.Done());

        driver.ClearLog();
        driver.BindsComplete();
        ASSERT_TRUE(parked.Wait());
        EXPECT_EQ(parked.Status(), c.status);
        auto completions = driver.machine().io().Completions();
        ASSERT_EQ(completions.size(), 1u);
        // The request is answered first, the event's own line comes after.
        auto lines = driver.Lines();
        auto processing = std::find(lines.begin(), lines.end(),
                                    "Processing pending request to enumerate adapters. ");
        auto event = std::find(lines.begin(), lines.end(), "NetEventBindsComplete ");
        EXPECT_TRUE(processing < event && event != lines.end());

        // The list as answered now that the binds are complete, for comparison.
        driver.machine().io().ClearCompletions();
        OverlappedCall now(control.get());
        now.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 1024);
        ASSERT_TRUE(now.Wait());
        EXPECT_EQ(now.Status(), STATUS_SUCCESS);
        const std::vector<uint8_t> list = now.Data();
        const size_t size = list.size();
        ASSERT_GT(size, 2u);
        // Too small: the size needed is the byte count; otherwise the list itself.
        EXPECT_EQ(completions[0].information, size);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(std::vector<uint8_t>(parked.Output().begin(), parked.Output().begin() + size),
                      list);
        }
        control.Close();
        driver.Unload();
    }
}

// Binds complete with nothing parked (the one parked was cancelled) only raise the flag.
TEST(PnpTest, CancelledParkedEnumerationCompletesOnce)
{
    DriverHost driver;
    driver.AddBound(kGuidA);
    DeviceHandle control = driver.OpenControl();
    driver.ClearLog();

    OverlappedCall parked(control.get());
    parked.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 1024);
    ASSERT_TRUE(parked.Pended());
    ASSERT_TRUE(w::CancelIo(control.get()));
    ASSERT_TRUE(parked.Wait());
    EXPECT_EQ(parked.Status(), STATUS_CANCELLED);

    // The binds-complete event finds nothing parked any more.
    driver.BindsComplete();
    auto completions = driver.machine().io().Completions();
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].status, STATUS_CANCELLED);
    EXPECT_EQ(driver.CountLinesStartingWith("Processing pending request"), 0u);

    // From now on an enumeration parks no more: it is answered within the call.
    OverlappedCall call(control.get());
    call.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 1024);
    EXPECT_FALSE(call.Pended());
    ASSERT_TRUE(call.Wait());
    EXPECT_EQ(call.Status(), STATUS_SUCCESS);
    EXPECT_GT(call.Bytes(), 0u);
    control.Close();
    driver.Unload();
}

struct StatusCase {
    NDIS_STATUS status;
    std::vector<uint8_t> buffer;
    std::vector<std::string> lines;
};

TEST(StatusIndicationTest, TracedByBufferSize)
{
    const StatusCase cases[] = {
        {NDIS_STATUS_MEDIA_CONNECT,
         {},
         {"***NDIS Status indication*** Status = 0x4001000B", "StatusBufferSize: 0",
          "StatusIndicationComplete"}},
        {NDIS_STATUS_RESET_START,
         {0x78, 0x56, 0x34, 0x12},
         {"***NDIS Status indication*** Status = 0x40010004", "StatusBufferSize: 4",
          "Status: 0x12345678", "StatusIndicationComplete"}},
        {0x40010012,
         {1, 2, 3, 4, 5, 6, 0xFE},
         {"***NDIS Status indication*** Status = 0x40010012", "StatusBufferSize: 7",
          "Status buffer: 01 02 03 04 05 06 FE ", "StatusIndicationComplete"}},
        {0x40010012,
         {0xAB},
         {"***NDIS Status indication*** Status = 0x40010012", "StatusBufferSize: 1",
          "Status buffer: AB ", "StatusIndicationComplete"}},
    };
    DriverHost driver;
    sim::Adapter &adapter = driver.AddBound(kGuidA);
    driver.BindsComplete();
    for (const StatusCase &c : cases) {
        SCOPED_TRACE(c.buffer.size());
        driver.ClearLog();
        ASSERT_TRUE(adapter.IndicateStatus(c.status, c.buffer));
        EXPECT_EQ(driver.Lines(), c.lines);
        EXPECT_TRUE(driver.Entries().empty());
    }
    driver.Unload();
}

}  // namespace
}  // namespace krvdlc::test
