// Requests through the emulated Win32 API: buffered, direct and neither I/O, cleanup and
// close around a pending request, overlapped I/O and cancellation, MDLs and the mapping
// of NT status codes to Win32 errors.
#include "tests/sim/io_test_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

namespace w = sim::win32;

class IoRequestsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sim::LoadDriver(iotest::Entry, iotest::kServiceKey), STATUS_SUCCESS);
        io.SetUserWaitLimit(std::chrono::seconds(20));
    }
    void TearDown() override { EXPECT_TRUE(sim::UnloadDriver()); }

    iotest::Extension *Ext(const char16_t *device) { return iotest::Ext(io.FindDevice(device)); }
    std::vector<UCHAR> Log(const char16_t *device)
    {
        iotest::Extension *ext = Ext(device);
        return std::vector<UCHAR>(ext->log, ext->log + ext->logged);
    }

    sim::Machine machine;
    sim::IoManager &io = machine.io();
};

TEST_F(IoRequestsTest, NeitherIoMovesTheCallersBytes)
{
    w::HANDLE neither = iotest::Open(u"\\\\.\\IoNeither");
    UCHAR bytes[3] = {1, 2, 3};
    UCHAR incremented[3] = {};
    w::DWORD returned = 0;
    ASSERT_TRUE(w::DeviceIoControl(neither, iotest::kNeither, bytes, 3, incremented, 3, &returned, nullptr));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::vector<UCHAR>(incremented, incremented + 3), (std::vector<UCHAR>{2, 3, 4}));
    w::CloseHandle(neither);
}

TEST_F(IoRequestsTest, DirectIoDescribesLockedUnmappedPagesAndZeroLengthHasNoMdl)
{
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoDirect");
    std::vector<UCHAR> buffer(9000);
    w::DWORD read = 0;
    ASSERT_TRUE(w::ReadFile(handle, buffer.data() + 3, 100, &read, nullptr));
    EXPECT_EQ(read, 100u);
    EXPECT_EQ(buffer[3 + 7], 7 ^ 0x5A);
    iotest::Extension *ext = Ext(u"\\Device\\IoDirect");
    EXPECT_NE(ext->lastMdl, nullptr);
    EXPECT_EQ(ext->lastMdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), ULONG{MDL_PAGES_LOCKED});
    EXPECT_EQ(ext->lastMappedVa, nullptr);
    EXPECT_EQ(io.DriverMdlsOutstanding(), 0u);

    ASSERT_TRUE(w::ReadFile(handle, buffer.data(), 0, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(ext->lastMdl, nullptr);

    const char frame[] = "0123456789abcdef";
    w::DWORD written = 0;
    ASSERT_TRUE(w::WriteFile(handle, frame, 16, &written, nullptr));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(ext->written), ext->writtenLength), frame);

    // The driver's mapping fails: it refuses the read, which reaches the caller as an error.
    machine.faults().FailNth("MmMapLockedPagesSpecifyCache", 1);
    EXPECT_FALSE(w::ReadFile(handle, buffer.data(), 64, &read, nullptr));
    EXPECT_EQ(w::GetLastError(), w::ERROR_NO_SYSTEM_RESOURCES);
    w::CloseHandle(handle);
}

TEST_F(IoRequestsTest, PendingRequestKeepsTheFileObjectUntilItCompletes)
{
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoBuffered", true);
    char buffer[8];
    w::OVERLAPPED overlapped{};
    EXPECT_FALSE(w::ReadFile(handle, buffer, sizeof buffer, nullptr, &overlapped));
    EXPECT_EQ(w::GetLastError(), w::ERROR_IO_PENDING);
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_PENDING);

    EXPECT_TRUE(w::CloseHandle(handle));
    EXPECT_EQ(Log(u"\\Device\\IoBuffered"), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    EXPECT_EQ(io.OpenHandleCount(u"\\Device\\IoBuffered"), 0u);
    EXPECT_EQ(io.OpenFileObjectCount(u"\\Device\\IoBuffered"), 1u);
    EXPECT_FALSE(sim::UnloadDriver());

    iotest::CompleteHeld(io.FindDevice(u"\\Device\\IoBuffered"), STATUS_SUCCESS, 4);
    io.WaitForDeferredCloses();
    EXPECT_EQ(Log(u"\\Device\\IoBuffered"),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(io.OpenFileObjectCount(u"\\Device\\IoBuffered"), 0u);
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_SUCCESS);
    EXPECT_EQ(overlapped.InternalHigh, 4u);
}

TEST_F(IoRequestsTest, StressCompletionRacingCancellationCompletesEachRequestOnce)
{
    constexpr int kRounds = 200;
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoBuffered", true);
    PDEVICE_OBJECT device = io.FindDevice(u"\\Device\\IoBuffered");
    io.ClearCompletions();
    int cancelled = 0;
    for (int round = 0; round < kRounds; ++round) {
        w::OVERLAPPED overlapped{};
        ASSERT_FALSE(w::DeviceIoControl(handle, iotest::kHold, nullptr, 0, nullptr, 0, nullptr,
                                        &overlapped));
        std::thread dpc([&] { iotest::CompleteHeld(device, STATUS_SUCCESS, 0); });
        w::CancelIo(handle);
        dpc.join();
        w::DWORD bytes;
        if (!w::GetOverlappedResult(handle, &overlapped, &bytes, TRUE)) {
            EXPECT_EQ(w::GetLastError(), w::ERROR_OPERATION_ABORTED);
            ++cancelled;
        }
    }
    EXPECT_EQ(io.Completions().size(), size_t{kRounds});
    EXPECT_TRUE(io.PendingIrps().empty());
    RecordProperty("cancelled", cancelled);
    w::CloseHandle(handle);
}

struct StatusCase {
    NTSTATUS status;
    w::DWORD error;
};

constexpr StatusCase kStatusCases[] = {
    {STATUS_SUCCESS, w::ERROR_SUCCESS},
    {STATUS_INVALID_DEVICE_REQUEST, 1},
    {STATUS_INVALID_PARAMETER, 87},
    {STATUS_NO_SUCH_DEVICE, 2},
    {STATUS_OBJECT_NAME_NOT_FOUND, 2},
    {STATUS_ACCESS_DENIED, 5},
    {STATUS_DEVICE_NOT_READY, 21},
    {STATUS_DEVICE_BUSY, 170},
    {STATUS_BUFFER_TOO_SMALL, 122},
    {STATUS_BUFFER_OVERFLOW, 234},
    {STATUS_UNSUCCESSFUL, 31},
    {STATUS_INSUFFICIENT_RESOURCES, 1450},
    {STATUS_CANCELLED, 995},
    {STATUS_NOT_SUPPORTED, 50},
    {STATUS_NOT_IMPLEMENTED, 1},
    {STATUS_SHARING_VIOLATION, 32},
    {static_cast<NTSTATUS>(0xC0010019), 317},   // NDIS_STATUS_UNSUPPORTED_MEDIA
    {static_cast<NTSTATUS>(0xC0010016), 317},   // NDIS_STATUS_BUFFER_TOO_SHORT
};

TEST_F(IoRequestsTest, CompletionStatusReachesGetLastErrorThroughThePlatformMapping)
{
    EXPECT_EQ(w::RtlNtStatusToDosError(STATUS_PENDING), w::ERROR_IO_PENDING);
    w::HANDLE handle = iotest::Open(u"\\\\.\\IoBuffered");
    for (const StatusCase &c : kStatusCases) {
        SCOPED_TRACE(testing::Message() << std::hex << "status 0x" << c.status);
        EXPECT_EQ(w::RtlNtStatusToDosError(c.status), c.error);
        NTSTATUS input[2] = {c.status, 0};
        w::SetLastError(12345);
        w::BOOL ok = w::DeviceIoControl(handle, iotest::kCompleteWith, input, sizeof input, nullptr, 0,
                                     nullptr, nullptr);
        EXPECT_EQ(ok, NT_SUCCESS(c.status) ? TRUE : FALSE);
        EXPECT_EQ(w::GetLastError(), NT_SUCCESS(c.status) ? 12345u : c.error);
    }
    // The last error belongs to the thread.
    w::SetLastError(7);
    std::thread([] { EXPECT_EQ(w::GetLastError(), 0u); }).join();
    EXPECT_EQ(w::GetLastError(), 7u);
    w::CloseHandle(handle);
}

TEST_F(IoRequestsTest, MdlsDescribeBuffersAndAreCounted)
{
    std::vector<char> buffer(3 * 4096);
    auto *start = buffer.data() + 4096 * 2 - 5;
    PMDL mdl = IoAllocateMdl(start, 9, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mdl->StartVa) % 4096, 0u);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 9u);
    EXPECT_EQ(io.DriverMdlsOutstanding(), 1u);
    IoFreeMdl(mdl);
    EXPECT_EQ(io.DriverMdlsOutstanding(), 0u);

    void *pool = ExAllocatePoolWithTag(NonPagedPool, 100, iotest::kTestTag);
    mdl = IoAllocateMdl(pool, 100, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(mdl->MappedSystemVa, pool);
    EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    machine.faults().FailNth("MmMapLockedPagesSpecifyCache", 1);
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                           NormalPagePriority),
              nullptr);
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                           NormalPagePriority),
              pool);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    IoFreeMdl(mdl);
    ExFreePool(pool);

    machine.faults().FailNth("IoAllocateMdl", 1);
    EXPECT_EQ(IoAllocateMdl(start, 9, FALSE, FALSE, nullptr), nullptr);
}

}  // namespace
