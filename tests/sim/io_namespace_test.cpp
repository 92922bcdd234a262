// The object namespace, the driver's device list, opening devices and loading and
// unloading a driver, with the test driver of io_test_driver.h.
#include "tests/sim/io_test_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

namespace w = sim::win32;
using iotest::Name;

// A stand-in for one driver global: the loader must zero the section like a fresh image.
__attribute__((section("krvdlc_globals"), used)) int gPretendDriverGlobal;

class IoNamespaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sim::LoadDriver(iotest::Entry, iotest::kServiceKey), STATUS_SUCCESS);
        driver = sim::LoadedDriverObject();
    }
    void TearDown() override
    {
        if (sim::LoadedDriverObject() != nullptr) {
            EXPECT_TRUE(sim::UnloadDriver());
        }
    }

    sim::Machine machine;
    sim::IoManager &io = machine.io();
    PDRIVER_OBJECT driver = nullptr;
};

// Names are case-insensitive, links reachable through both aliases; new devices go to the
// head of the driver's list and lose DO_DEVICE_INITIALIZING after DriverEntry.
TEST_F(IoNamespaceTest, NamesLinksAndTheDeviceList)
{
    EXPECT_TRUE(io.DeviceExists(u"\\device\\IOBUFFERED"));
    EXPECT_FALSE(io.DeviceExists(u"\\DosDevices\\IoBuffered"));   // a link, not a device
    EXPECT_EQ(io.SymbolicLinkTarget(u"\\??\\iobuffered"), u"\\Device\\IoBuffered");
    // Created as \??\IoDirect, found as \DosDevices\IoDirect.
    EXPECT_EQ(io.SymbolicLinkTarget(u"\\DosDevices\\IODIRECT"), u"\\Device\\IoDirect");
    EXPECT_FALSE(io.SymbolicLinkExists(u"\\DosDevices\\IoMissing"));
    EXPECT_EQ(io.DriverDeviceNames(driver),
              (std::vector<std::u16string>{u"\\Device\\IoNeither", u"\\Device\\IoDirect",
                                           u"\\Device\\IoBuffered"}));
    EXPECT_EQ(io.DeviceFlags(u"\\Device\\IoDirect"), ULONG{DO_EXCLUSIVE | DO_DIRECT_IO});
    EXPECT_EQ(io.DeviceFlags(u"\\Device\\IoBuffered"), ULONG{DO_BUFFERED_IO});
    PDEVICE_OBJECT device = io.FindDevice(u"\\Device\\IoBuffered");
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DriverObject, driver);
    EXPECT_EQ(device->DeviceType, ULONG{FILE_DEVICE_UNKNOWN});
    auto ext = static_cast<const UCHAR *>(device->DeviceExtension);
    EXPECT_TRUE(std::all_of(ext, ext + sizeof(iotest::Extension), [](UCHAR b) { return b == 0; }));
}

TEST_F(IoNamespaceTest, CollisionsMissingLinksAndInjectedFaults)
{
    UNICODE_STRING taken = Name(u"\\Device\\IoBuffered");
    UNICODE_STRING link = Name(u"\\DosDevices\\IoBuffered");
    UNICODE_STRING fresh = Name(u"\\Device\\IoFresh");
    UNICODE_STRING freshLink = Name(u"\\DosDevices\\IoFresh");
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(&taken);
    EXPECT_EQ(IoCreateDevice(driver, 0, &taken, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &taken), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&freshLink), STATUS_OBJECT_NAME_NOT_FOUND);

    machine.faults().FailNth("IoCreateDevice", 1);
    EXPECT_EQ(IoCreateDevice(driver, 0, &fresh, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_FALSE(io.DeviceExists(u"\\Device\\IoFresh"));
    machine.faults().FailNth("IoCreateSymbolicLink", 1);
    EXPECT_EQ(IoCreateSymbolicLink(&freshLink, &fresh), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(io.SymbolicLinkExists(u"\\DosDevices\\IoFresh"));
    EXPECT_EQ(IoCreateSymbolicLink(&freshLink, &fresh), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&freshLink), STATUS_SUCCESS);
}

TEST_F(IoNamespaceTest, DeviceStillInitializingRefusesOpens)
{
    // Created outside DriverEntry, as a bind handler does: the driver must clear the flag.
    UNICODE_STRING name = Name(u"\\Device\\IoLate");
    UNICODE_STRING link = Name(u"\\DosDevices\\IoLate");
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(iotest::Extension), &name, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &device),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(iotest::Open(u"\\\\.\\IoLate"), w::INVALID_HANDLE_VALUE);
    EXPECT_EQ(w::GetLastError(), w::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(iotest::Ext(device)->logged, 0);

    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    w::HANDLE handle = iotest::Open(u"\\\\.\\iolate");
    ASSERT_NE(handle, w::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(w::CloseHandle(handle));
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(IoNamespaceTest, DeletedDeviceCannotBeOpenedButServesOpenHandlesUntilClosed)
{
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoNeither");
    ASSERT_NE(handle, w::INVALID_HANDLE_VALUE);
    PDEVICE_OBJECT device = io.FindDevice(u"\\Device\\IoNeither");
    UNICODE_STRING link = Name(u"\\DosDevices\\IoNeither");
    IoDeleteDevice(device);
    EXPECT_FALSE(io.DeviceExists(u"\\Device\\IoNeither"));
    EXPECT_EQ(io.DriverDeviceNames(driver).size(), 2u);
    EXPECT_EQ(iotest::Open(u"\\\\.\\IoNeither"), w::INVALID_HANDLE_VALUE);
    EXPECT_EQ(w::GetLastError(), w::ERROR_FILE_NOT_FOUND);

    char frame[20] = "still alive";
    w::DWORD written = 0;
    EXPECT_TRUE(w::WriteFile(handle, frame, sizeof frame, &written, nullptr));
    EXPECT_EQ(written, sizeof frame);
    EXPECT_FALSE(sim::UnloadDriver());   // the deleted device still has an open file
    EXPECT_TRUE(w::CloseHandle(handle));
    EXPECT_EQ(io.OpenFileObjectCount(u"\\Device\\IoNeither"), 0u);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

// The test driver with its write entry put back to the I/O manager's default.
NTSTATUS NTAPI EntryWithoutWrites(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status = iotest::Entry(driver, registryPath);
    driver->MajorFunction[IRP_MJ_WRITE] = driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
    return status;
}

TEST(IoDriverLoader, UnclaimedMajorFunctionIsRefusedAsInvalidDeviceRequest)
{
    sim::Machine machine;
    ASSERT_EQ(sim::LoadDriver(EntryWithoutWrites, iotest::kServiceKey), STATUS_SUCCESS);
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoBuffered");
    char data[16] = {};
    w::DWORD written = 7;
    EXPECT_FALSE(w::WriteFile(handle, data, sizeof data, &written, nullptr));
    EXPECT_EQ(w::GetLastError(), w::ERROR_INVALID_FUNCTION);
    EXPECT_EQ(written, 0u);
    auto log = machine.io().Completions();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().majorFunction, IRP_MJ_WRITE);
    EXPECT_EQ(log.back().status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(w::CloseHandle(handle));
    EXPECT_TRUE(sim::UnloadDriver());
}

TEST(IoDriverLoader, LoadZeroesGlobalsAndUnloadWaitsForHandlesAndRemovesEverything)
{
    sim::Machine machine;
    gPretendDriverGlobal = 42;
    ASSERT_EQ(sim::LoadDriver(iotest::Entry, iotest::kServiceKey), STATUS_SUCCESS);
    EXPECT_EQ(gPretendDriverGlobal, 0);
    EXPECT_EQ(sim::LoadDriver(iotest::Entry, iotest::kServiceKey), STATUS_OBJECT_NAME_COLLISION);
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoBuffered");
    ASSERT_NE(handle, w::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(sim::UnloadDriver());
    EXPECT_TRUE(machine.io().DeviceExists(u"\\Device\\IoBuffered"));
    EXPECT_TRUE(w::CloseHandle(handle));
    EXPECT_TRUE(sim::UnloadDriver());
    EXPECT_EQ(sim::LoadedDriverObject(), nullptr);
    EXPECT_FALSE(machine.io().DeviceExists(u"\\Device\\IoBuffered"));
    EXPECT_FALSE(machine.io().SymbolicLinkExists(u"\\DosDevices\\IoDirect"));
    EXPECT_FALSE(sim::UnloadDriver());
}

}  // namespace
