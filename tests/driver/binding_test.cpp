// Binding and unbinding of adapters: the adapter device and its names, the medium, every
// failure point of the bind and opens during a bind.
#include "tests/support/driver_test_support.h"

#include <future>
#include <memory>

namespace krvdlc::test {
namespace {

using Binding = LoadedDriver;

TEST_F(Binding, MakesTheAdapterDeviceLinkAndFileName)
{
    const std::u16string guids[] = {u"{4D36E972-E325-11CE-BFC1-08002BE10318}", u"{X}",
                                    u"NdisWanIp"};
    for (const auto &guid : guids) {
        SCOPED_TRACE(krvdlc::Narrow(guid));
        uint64_t before = KdlcBlocks();
        ASSERT_EQ(Add(guid).Bind(), NDIS_STATUS_SUCCESS);

        PDEVICE_OBJECT device = machine().io().FindDevice(DeviceNameOf(guid));
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->DeviceType, 0x8000u);
        EXPECT_EQ(device->Characteristics, 0u);
        EXPECT_EQ(device->Size, sizeof(DEVICE_OBJECT) + sizeof(ADAPTER_CONTEXT));
        ULONG flags = *machine().io().DeviceFlags(DeviceNameOf(guid));
        EXPECT_NE(flags & DO_DIRECT_IO, 0u);
        EXPECT_NE(flags & DO_EXCLUSIVE, 0u);
        EXPECT_EQ(flags & DO_DEVICE_INITIALIZING, 0u);
        EXPECT_EQ(machine().io().SymbolicLinkTarget(LinkNameOf(guid)), DeviceNameOf(guid));

        PADAPTER_CONTEXT adapter = Context(guid);
        EXPECT_EQ(adapter->DeviceObject, device);
        EXPECT_EQ(Text(adapter->SymbolicLink), LinkNameOf(guid));
        EXPECT_EQ(Text(adapter->FileName), FileNameOf(guid));
        EXPECT_EQ(Text(adapter->AdapterName), u"Adapter " + guid);
        // The link buffer holds exactly the string and its terminator, the file-name
        // buffer is the device name's size + 2; the device-name buffer is gone.
        const size_t deviceBytes = DeviceNameOf(guid).size() * 2;
        for (const UNICODE_STRING *name : {&adapter->SymbolicLink, &adapter->FileName}) {
            EXPECT_EQ(name->MaximumLength, name->Length + 2);
            auto block = machine().pool().Find(name->Buffer);
            ASSERT_TRUE(block.has_value());
            EXPECT_EQ(block->size, name == &adapter->FileName ? deviceBytes + 2 : deviceBytes + 10);
            EXPECT_EQ(block->tag, KRVDLC_POOL_TAG);
            EXPECT_EQ(block->type, NonPagedPool);
        }
        EXPECT_EQ(KdlcBlocks(), before + 2);
        EXPECT_EQ(ReadNoFence(&adapter->Bound), 1);
        EXPECT_FALSE(adapter->CheckDSAP);
        ExpectIdle(machine(), adapter);

        DeviceHandle handle = host().Open(FileNameOf(guid));
        EXPECT_TRUE(handle.valid());
        EXPECT_TRUE(Traced("Binding DeviceName: \\Device\\" + krvdlc::Narrow(guid)));
        EXPECT_TRUE(Traced("Exported DeviceName: \\Device\\KrvDlc_" + krvdlc::Narrow(guid)));
        EXPECT_TRUE(Traced("Symbolic Link: \\DosDevices\\KrvDlc_" + krvdlc::Narrow(guid)));
        EXPECT_TRUE(Traced("FileName is: \\\\.\\KrvDlc_" + krvdlc::Narrow(guid)));
        EXPECT_TRUE(Traced("Returning from KrvDlcBindAdapter with status = 0x00000000"));
    }
}

TEST_F(Binding, TakesTheMediumTheAdapterSelects)
{
    const struct {
        NDIS_MEDIUM medium;
        const char *trace;
    } rows[] = {
        {NdisMedium802_3, "Medium used by adapter is Ethernet (802.3)"},
        {NdisMedium802_5, "Medium used by adapter is Token Ring (802.5)"},
    };
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.trace);
        std::u16string guid = u"{M" + krvdlc::Widen(std::to_string(n++)) + u"}";
        machine().debugger().Clear();
        ASSERT_EQ(Add(guid, row.medium).Bind(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Context(guid)->Medium, row.medium);
        EXPECT_TRUE(Traced(row.trace));
        uint32_t medium = 99;
        DeviceHandle handle = host().Open(FileNameOf(guid));
        IoOutcome got = handle.Control(IOCTL_KRVDLC_GET_MEDIUM, nullptr, 0, &medium, 4);
        EXPECT_TRUE(got.ok);
        EXPECT_EQ(medium, static_cast<uint32_t>(row.medium));
    }
}

// One failure point of the bind and what it reports.
struct BindFailure {
    const char *what;
    std::function<void(sim::Machine &, sim::Adapter &)> arm;
    std::string text;                      // trace line (without the status) and event text
    std::optional<uint32_t> dumpStatus;    // the status that travels as dump data
    NDIS_STATUS reported;
};

// Fails the index-th (1-based) nonpaged Kdlc allocation of `bytes` from now on.
std::function<bool(const sim::FaultPoint &)> NthAllocationOf(uint64_t bytes, int index)
{
    auto seen = std::make_shared<int>(0);
    return [=](const sim::FaultPoint &point) {
        return point.routine == "ExAllocatePoolWithTag" && point.size == bytes &&
               point.tag == KRVDLC_POOL_TAG && ++*seen == index;
    };
}

TEST_F(Binding, EveryFailurePointIsReportedAndUndone)
{
    // N = \Device\{F} is 22 bytes: the device name and the file name both take N + 16
    // bytes (first and second such allocation), the link the device name + 10 = 46.
    const std::u16string guid = u"{F}";
    const uint64_t nameBytes = 22 + 16;
    const BindFailure rows[] = {
        {"device name", [&](sim::Machine &m, sim::Adapter &) {
             m.faults().FailWhen(NthAllocationOf(nameBytes, 1), 1); },
         "** Memory allocation for device name string failed\n", {}, NDIS_STATUS_FAILURE},
        {"device", [](sim::Machine &m, sim::Adapter &) {
             m.faults().FailWhen([](const sim::FaultPoint &p) { return p.routine == "IoCreateDevice"; }, 1); },
         "** IoCreateDevice failed. Status = ", STATUS_INSUFFICIENT_RESOURCES, NDIS_STATUS_FAILURE},
        {"link name", [&](sim::Machine &m, sim::Adapter &) {
             m.faults().FailWhen(NthAllocationOf(nameBytes + 8, 1), 1); },
         "** Memory allocation for symbolicLink failed\n", {}, NDIS_STATUS_FAILURE},
        {"file name", [&](sim::Machine &m, sim::Adapter &) {
             m.faults().FailWhen(NthAllocationOf(nameBytes, 2), 1); },
         "** Memory allocation for fileName failed\n", {}, NDIS_STATUS_FAILURE},
        {"link", [](sim::Machine &m, sim::Adapter &) {
             m.faults().FailWhen([](const sim::FaultPoint &p) { return p.routine == "IoCreateSymbolicLink"; }, 1); },
         "** IoCreateSymbolicLink failed.  Status = ", STATUS_INSUFFICIENT_RESOURCES, NDIS_STATUS_FAILURE},
        {"packet pool", [](sim::Machine &m, sim::Adapter &) {
             m.faults().FailNth("NdisAllocatePacketPool", 1); },
         "** Failed to allocate packet pool\n", {}, NDIS_STATUS_FAILURE},
        {"open at once", [](sim::Machine &, sim::Adapter &a) {
             a.ScriptNext(sim::NdisOperation::Open, {sim::CompletionMode::Immediate, NDIS_STATUS_OPEN_FAILED}); },
         "** Failed to open adapter\n", {}, NDIS_STATUS_OPEN_FAILED},
        {"open pending", [](sim::Machine &, sim::Adapter &a) {
             a.ScriptNext(sim::NdisOperation::Open, {sim::CompletionMode::Dpc, NDIS_STATUS_RESOURCES}); },
         "** Failed to open adapter\n", {}, NDIS_STATUS_RESOURCES},
    };
    sim::Adapter &adapter = Add(guid);
    const uint64_t blocks = KdlcBlocks();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        machine().debugger().Clear();
        machine().errorLog().Clear();
        row.arm(machine(), adapter);
        EXPECT_EQ(adapter.Bind(), row.reported);
        machine().faults().Clear();

        // The line ends with the status, or in row.text's own line feed.
        std::string line = row.dumpStatus ? row.text + Hex8(*row.dumpStatus)
                                          : row.text.substr(0, row.text.size() - 1);
        EXPECT_TRUE(Traced(line)) << machine().debugger().Text();
        auto entries = EntriesWith(EVENT_DRIVER_ERROR, row.text);
        ASSERT_EQ(entries.size(), 1u);
        std::vector<uint8_t> dump;
        if (row.dumpStatus) {
            dump.resize(4);
            std::memcpy(dump.data(), &*row.dumpStatus, 4);
        }
        EXPECT_EQ(entries[0].dump, dump);
        EXPECT_TRUE(Traced("Returning from KrvDlcBindAdapter with status = " + Hex8(row.reported)));

        EXPECT_FALSE(machine().io().DeviceExists(DeviceNameOf(guid)));
        EXPECT_FALSE(machine().io().SymbolicLinkExists(LinkNameOf(guid)));
        EXPECT_EQ(ndis().PacketPoolCount(), 0u);
        EXPECT_EQ(ndis().OpenBindings(), 0u);
        EXPECT_EQ(KdlcBlocks(), blocks);
        EXPECT_EQ(machine().io().DriverDeviceNames(sim::LoadedDriverObject()).size(), 1u);
    }
    // And a bind that nothing fails still works, then everything comes down cleanly.
    ndis().IndicateBindsComplete();
    std::vector<uint8_t> list(64);
    EXPECT_EQ(Enumerate(list).bytes, 6u);
    EXPECT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(host().Unload());
}

TEST_F(Binding, RefusesOpensWhileTheAdapterOpenIsUnderWay)
{
    const std::u16string guid = u"{HELD}";
    sim::Adapter &adapter = Add(guid);
    adapter.ScriptNext(sim::NdisOperation::Open, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    auto bind = std::async(std::launch::async, [&] { return adapter.Bind(); });
    ASSERT_TRUE(WaitUntil([&] { return adapter.HeldCount(sim::NdisOperation::Open) == 1; }));

    // Link and device exist, but the device is still initialising.
    EXPECT_TRUE(machine().io().SymbolicLinkExists(LinkNameOf(guid)));
    DeviceHandle early = host().Open(FileNameOf(guid));
    EXPECT_FALSE(early.valid());
    EXPECT_EQ(sim::win32::GetLastError(), sim::win32::RtlNtStatusToDosError(STATUS_NO_SUCH_DEVICE));
    ndis().IndicateBindsComplete();
    std::vector<uint8_t> list(64);
    EXPECT_EQ(Enumerate(list).bytes, 6u);

    ASSERT_TRUE(adapter.ReleasePending(sim::NdisOperation::Open));
    EXPECT_EQ(bind.get(), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(host().Open(FileNameOf(guid)).valid());
}

TEST_F(Binding, RefusesOpensOnceTheUnbindBegan)
{
    const std::u16string guid = u"{GOING}";
    sim::Adapter &adapter = Add(guid);
    ASSERT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
    // The close is held: the unbind has cleared Bound, the device still exists.
    adapter.ScriptNext(sim::NdisOperation::Close, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    auto unbind = std::async(std::launch::async, [&] { return adapter.Unbind(); });
    ASSERT_TRUE(WaitUntil([&] { return adapter.HeldCount(sim::NdisOperation::Close) == 1; }));

    DeviceHandle late = host().Open(FileNameOf(guid));
    EXPECT_FALSE(late.valid());
    EXPECT_EQ(sim::win32::GetLastError(), sim::win32::ERROR_NOT_READY);
    EXPECT_TRUE(Completed(machine(), IRP_MJ_CREATE));

    ASSERT_TRUE(adapter.ReleasePending(sim::NdisOperation::Close, 0, NDIS_STATUS_FAILURE));
    // The unbind reports the close's status and takes everything down regardless.
    EXPECT_EQ(unbind.get(), NDIS_STATUS_FAILURE);
    EXPECT_FALSE(machine().io().DeviceExists(DeviceNameOf(guid)));
    EXPECT_FALSE(host().Open(FileNameOf(guid)).valid());
    EXPECT_EQ(sim::win32::GetLastError(), sim::win32::ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(host().Unload());
}

}  // namespace
}  // namespace krvdlc::test
