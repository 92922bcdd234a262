// Start-up and unload: the control device, its link, the protocol registration and the
// dispatch table the driver leaves after DriverEntry; every failed start leaving nothing
// behind; the unload taking adapters down newest first and logging its shutdown last.
#include "tests/support/driver_test_support.h"

namespace krvdlc::test {
namespace {

constexpr char16_t kControlDevice[] = u"\\Device\\KRVDLC";
constexpr char16_t kControlLink[] = u"\\DosDevices\\KRVDLC";
constexpr char16_t kControlFile[] = u"\\\\.\\KRVDLC";

bool ControlObjectsGone(sim::Machine &machine)
{
    return !machine.io().DeviceExists(kControlDevice) &&
           !machine.io().SymbolicLinkExists(kControlLink) && !machine.ndis().ProtocolRegistered();
}

// The control device, its link, the dispatch table and the registry path copy, all gone
// again after the unload.
TEST(StartUnload, ControlDeviceLinkDispatchTableAndRegistryPath)
{
    SimulatedHost host(WithTraceLevel(std::nullopt));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    sim::IoManager &io = host.machine().io();

    PDEVICE_OBJECT control = io.FindDevice(kControlDevice);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control, DRIVER_SYMBOL(ControlDeviceObject));
    EXPECT_EQ(control->DeviceType, 0x22u);
    EXPECT_EQ(control->DeviceExtension, nullptr);
    EXPECT_EQ(control->Characteristics, 0u);
    EXPECT_NE(control->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(control->Flags & DO_EXCLUSIVE, 0u);
    EXPECT_EQ(io.SymbolicLinkTarget(kControlLink), std::u16string(kControlDevice));

    // Not exclusive: two handles at once.
    DeviceHandle first = host.Open(kControlFile);
    DeviceHandle second = host.Open(kControlFile);
    EXPECT_TRUE(first.valid());
    EXPECT_TRUE(second.valid());

    PDRIVER_OBJECT driver = sim::LoadedDriverObject();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &DRIVER_SYMBOL(KrvDlcOpen));
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &DRIVER_SYMBOL(KrvDlcClose));
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], &DRIVER_SYMBOL(KrvDlcCleanup));
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], &DRIVER_SYMBOL(KrvDlcRead));
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_WRITE], &DRIVER_SYMBOL(KrvDlcWrite));
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], &DRIVER_SYMBOL(KrvDlcIoControl));
    EXPECT_EQ(driver->DriverUnload, &DRIVER_SYMBOL(KrvDlcUnload));
    const UCHAR claimed[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP,
                             IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL};
    const UCHAR flushBuffers = 0x09;
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        if (std::find(std::begin(claimed), std::end(claimed), major) != std::end(claimed))
            continue;
        EXPECT_EQ(driver->MajorFunction[major], driver->MajorFunction[flushBuffers])
            << "major function " << int(major);
    }
    // The others keep the I/O manager's default, which is none of the driver's routines.
    ASSERT_NE(driver->MajorFunction[flushBuffers], nullptr);
    for (UCHAR major : claimed)
        EXPECT_NE(driver->MajorFunction[flushBuffers], driver->MajorFunction[major]);

    first.Close();
    second.Close();

    const std::u16string path = Widen(kServiceKey);
    const USHORT length = static_cast<USHORT>(path.size() * sizeof(char16_t));

    const UNICODE_STRING &registryPath = DRIVER_SYMBOL(RegistryPath);
    EXPECT_EQ(registryPath.Length, length);
    EXPECT_EQ(registryPath.MaximumLength, length + 2);
    ASSERT_NE(registryPath.Buffer, nullptr);
    EXPECT_EQ(std::u16string(registryPath.Buffer, path.size() + 1), path + u'\0');
    const void *copy = registryPath.Buffer;
    std::optional<sim::PoolBlock> block = host.machine().pool().Find(copy);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->type, PagedPool);
    EXPECT_EQ(block->tag, KRVDLC_POOL_TAG);
    EXPECT_EQ(block->size, size_t{length} + 2u);

    ASSERT_TRUE(host.Unload());
    EXPECT_FALSE(host.machine().pool().Find(copy).has_value());
    EXPECT_TRUE(ControlObjectsGone(host.machine()));
    EXPECT_TRUE(DriverBlocks(host.machine()).empty());
}

TEST(StartUnload, RegistersProtocolWithNdis50Table)
{
    SimulatedHost host(WithTraceLevel(std::nullopt));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    std::optional<sim::ProtocolInfo> protocol = host.ndis().Protocol();
    ASSERT_TRUE(protocol.has_value());
    EXPECT_EQ(protocol->name, u"KRVDLC");
    EXPECT_EQ(protocol->majorVersion, 5);
    EXPECT_EQ(protocol->minorVersion, 0);
#if defined(__i386__)
    EXPECT_EQ(protocol->characteristicsLength, 108u);
#else
    EXPECT_EQ(protocol->characteristicsLength, sizeof(NDIS_PROTOCOL_CHARACTERISTICS));
#endif

    EXPECT_EQ(protocol->nameLength, 12);
    EXPECT_EQ(protocol->nameMaximumLength, 14);
    NDIS_PROTOCOL_CHARACTERISTICS record = protocol->characteristics;
    EXPECT_EQ(record.Name.Length, 12);
    EXPECT_EQ(record.OpenAdapterCompleteHandler, &DRIVER_SYMBOL(OpenAdapterComplete));
    EXPECT_EQ(record.CloseAdapterCompleteHandler, &DRIVER_SYMBOL(CloseAdapterComplete));
    EXPECT_EQ(record.SendCompleteHandler, &DRIVER_SYMBOL(SendComplete));
    EXPECT_EQ(record.TransferDataCompleteHandler, &DRIVER_SYMBOL(KrvDlcTransferDataComplete));
    EXPECT_EQ(record.ResetCompleteHandler, &DRIVER_SYMBOL(KrvDlcResetComplete));
    EXPECT_EQ(record.RequestCompleteHandler, &DRIVER_SYMBOL(RequestCompleteHandler));
    EXPECT_EQ(record.ReceiveHandler, &DRIVER_SYMBOL(KrvDlcReceive));
    EXPECT_EQ(record.ReceiveCompleteHandler, &DRIVER_SYMBOL(KrvDlcReceiveComplete));
    EXPECT_EQ(record.StatusHandler, &DRIVER_SYMBOL(KrvDlcStatus));
    EXPECT_EQ(record.StatusCompleteHandler, &DRIVER_SYMBOL(KrvDlcStatusComplete));
    EXPECT_EQ(record.ReceivePacketHandler, &DRIVER_SYMBOL(KrvDlcReceivePacket));
    EXPECT_EQ(record.BindAdapterHandler, &DRIVER_SYMBOL(KrvDlcBindAdapter));
    EXPECT_EQ(record.UnbindAdapterHandler, &DRIVER_SYMBOL(KrvDlcUnbindAdapter));
    EXPECT_EQ(record.PnPEventHandler, &DRIVER_SYMBOL(KrvDlcPNPHandler));
    EXPECT_EQ(record.UnloadHandler, nullptr);

    // With the named fields cleared, every byte left (flags, reserved and
    // connection-oriented handlers, padding) must be zero.
    record.MajorNdisVersion = 0;
    record.Name = {};
    record.OpenAdapterCompleteHandler = nullptr;
    record.CloseAdapterCompleteHandler = nullptr;
    record.SendCompleteHandler = nullptr;
    record.TransferDataCompleteHandler = nullptr;
    record.ResetCompleteHandler = nullptr;
    record.RequestCompleteHandler = nullptr;
    record.ReceiveHandler = nullptr;
    record.ReceiveCompleteHandler = nullptr;
    record.StatusHandler = nullptr;
    record.StatusCompleteHandler = nullptr;
    record.ReceivePacketHandler = nullptr;
    record.BindAdapterHandler = nullptr;
    record.UnbindAdapterHandler = nullptr;
    record.PnPEventHandler = nullptr;
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    EXPECT_EQ(bytes, std::vector<uint8_t>(sizeof record, 0));
}

// A link or device name that exists before the driver starts, so that creation fails
// with a status of its own; removed again at the end.
struct ForeignLink {
    std::u16string name;
    std::u16string target = u"\\Device\\Elsewhere";
};

UNICODE_STRING Unicode(std::u16string &text)
{
    const auto bytes = static_cast<USHORT>(text.size() * 2);
    return {bytes, bytes, text.data()};
}

void CreateLink(ForeignLink link)
{
    UNICODE_STRING name = Unicode(link.name), target = Unicode(link.target);
    ASSERT_EQ(IoCreateSymbolicLink(&name, &target), STATUS_SUCCESS);
}

void DeleteLink(ForeignLink link)
{
    UNICODE_STRING name = Unicode(link.name);
    EXPECT_EQ(IoDeleteSymbolicLink(&name), STATUS_SUCCESS);
}

struct StartFailureCase {
    const char *name;
    std::function<void(sim::Machine &)> arm;
    std::optional<ForeignLink> foreign;
    NTSTATUS status;
    std::string failureText;     // the failure's own level-1 line and error entry
};

TEST(StartUnload, FailedStartReportsAndLeavesNothingBehind)
{
    const std::string detected = "** Error detected in DriverEntry\n";
    const StartFailureCase cases[] = {
        {"control device fails",
         [](sim::Machine &m) { m.faults().FailNth("IoCreateDevice", 1); },
         std::nullopt, STATUS_INSUFFICIENT_RESOURCES, "** IoCreateDevice Failed.\n"},
        {"control device name taken", nullptr, ForeignLink{kControlDevice},
         STATUS_OBJECT_NAME_COLLISION, "** IoCreateDevice Failed.\n"},
        {"link fails",
         [](sim::Machine &m) { m.faults().FailNth("IoCreateSymbolicLink", 1); },
         std::nullopt, STATUS_INSUFFICIENT_RESOURCES, "** IoCreateSymbolicLink Failed.\n"},
        // The link that is there already must survive: the failed start deletes no link.
        {"link name taken", nullptr, ForeignLink{kControlLink}, STATUS_OBJECT_NAME_COLLISION,
         "** IoCreateSymbolicLink Failed.\n"},
        {"NDIS refuses the protocol",
         [](sim::Machine &m) { m.faults().FailNth("NdisRegisterProtocol", 1); },
         std::nullopt, STATUS_UNSUCCESSFUL, "** Failed to register protocol with NDIS\n"},
    };
    for (const StartFailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedHost host(WithTraceLevel(0x81));
        sim::Machine &machine = host.machine();
        if (c.foreign)
            CreateLink(*c.foreign);
        if (c.arm)
            c.arm(machine);

        EXPECT_EQ(host.Load(), c.status);

        EXPECT_EQ(sim::LoadedDriverObject(), nullptr);
        EXPECT_FALSE(machine.io().DeviceExists(kControlDevice));
        EXPECT_EQ(machine.io().SymbolicLinkExists(kControlLink),
                  c.foreign && c.foreign->name == kControlLink);
        EXPECT_FALSE(machine.ndis().ProtocolRegistered());
        EXPECT_TRUE(DriverBlocks(machine).empty());
        EXPECT_EQ(LoggedEvents(machine),
                  (std::vector<LoggedEvent>{{EVENT_DRIVER_ERROR, c.failureText},
                                            {EVENT_DRIVER_FAILED, ""},
                                            {EVENT_DRIVER_ERROR, detected}}));
        // At level 1 the failure and the summary are all that is printed after the level
        // was read.
        std::vector<std::string> prints = machine.debugger().Prints();
        ptrdiff_t levelRead = IndexOf(prints, Printed("TraceLevel is: 0x00000081\n"));
        ASSERT_GE(levelRead, 0);
        EXPECT_EQ(PrintsFrom(machine, static_cast<size_t>(levelRead) + 1),
                  (std::vector<std::string>{Printed(c.failureText), Printed(detected)}));

        if (c.foreign) {
            EXPECT_EQ(machine.io().SymbolicLinkTarget(c.foreign->name), c.foreign->target);
            DeleteLink(*c.foreign);
        }
    }
}

TEST(StartUnload, NoPoolForRegistryPathFailsAtOnce)
{
    SimulatedHost host(WithTraceLevel(kDebuggerAll));
    sim::Machine &machine = host.machine();
    const uint64_t copySize = Widen(kServiceKey).size() * 2 + 2;
    machine.faults().FailWhen(
        [copySize](const sim::FaultPoint &point) {
            return point.routine == "ExAllocatePoolWithTag" && point.size == copySize &&
                   point.poolType == PagedPool;
        },
        1);

    EXPECT_EQ(host.Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(machine.faults().Injected(), 1u);
    // TraceLevel is still 0xFF: the one line goes to the debugger; nothing else was done.
    EXPECT_EQ(machine.debugger().Prints(),
              (std::vector<std::string>{"KRVDLC: Couldn't allocate pool for registry path.\n"}));
    EXPECT_TRUE(LoggedEvents(machine).empty());
    EXPECT_EQ(machine.registry().OpenCount(), 0u);
    EXPECT_TRUE(ControlObjectsGone(machine));
    EXPECT_TRUE(DriverBlocks(machine).empty());
}

TEST(StartUnload, UnloadWithoutAdaptersDeregistersAtOnce)
{
    SimulatedHost host(WithTraceLevel(0x85));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    size_t before = host.machine().debugger().Prints().size();
    ASSERT_TRUE(host.Unload());

    std::vector<std::string> prints = PrintsFrom(host.machine(), before);
    ptrdiff_t enter = IndexOf(prints, Printed("KrvDlcUnload Enter\n"));
    ptrdiff_t deregister = IndexOf(prints, Printed("Deregistering protocol\n"));
    ptrdiff_t exit = IndexOf(prints, Printed("KrvDlcUnload Exit\n"));
    ASSERT_EQ(enter, 0);
    EXPECT_EQ(deregister, 1);
    EXPECT_EQ(exit, 2);
}

TEST(StartUnload, UnloadUnbindsNewestAdapterFirstThenDeregisters)
{
    SimulatedHost host(WithTraceLevel(0x85));
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    const std::u16string names[] = {u"First NIC", u"Second NIC", u"Third NIC"};
    std::vector<sim::Adapter *> adapters;
    for (int i = 0; i < 3; i++) {
        std::u16string guid = u"{0000000" + std::u16string(1, char16_t(u'1' + i)) +
                              u"-0000-0000-0000-000000000000}";
        sim::Adapter &adapter = host.AddAdapter(guid, NdisMedium802_3,
                                                {0x02, 0, 0, 0, 0, uint8_t(i + 1)}, names[i]);
        ASSERT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
        adapters.push_back(&adapter);
    }
    // Each bind puts its device at the head of the driver object's list.
    std::vector<std::u16string> devices =
        host.machine().io().DriverDeviceNames(sim::LoadedDriverObject());
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices.back(), kControlDevice);

    size_t before = host.machine().debugger().Prints().size();
    ASSERT_TRUE(host.Unload());
    for (sim::Adapter *adapter : adapters)
        EXPECT_FALSE(adapter->IsOpen());
    EXPECT_EQ(host.ndis().OpenBindings(), 0u);

    std::vector<std::string> unbinds;
    std::vector<std::string> prints = PrintsFrom(host.machine(), before);
    ptrdiff_t lastLeave = -1;
    for (size_t i = 0; i < prints.size(); i++) {
        if (prints[i].rfind(Printed("KrvDlcUnbindAdapter: "), 0) == 0)
            unbinds.push_back(prints[i]);
        if (prints[i] == Printed("Leaving KrvDlcUnbindAdapter\n"))
            lastLeave = static_cast<ptrdiff_t>(i);
    }
    EXPECT_EQ(unbinds, (std::vector<std::string>{Printed("KrvDlcUnbindAdapter: Third NIC\n"),
                                                 Printed("KrvDlcUnbindAdapter: Second NIC\n"),
                                                 Printed("KrvDlcUnbindAdapter: First NIC\n")}));
    ptrdiff_t deregister = IndexOf(prints, Printed("Deregistering protocol\n"));
    ASSERT_GE(lastLeave, 0);
    EXPECT_GT(deregister, lastLeave);

    EXPECT_TRUE(ControlObjectsGone(host.machine()));
    EXPECT_TRUE(DriverBlocks(host.machine()).empty());
    EXPECT_EQ(LoggedEvents(host.machine()).back(), (LoggedEvent{EVENT_DRIVER_SHUTDOWN, ""}));
}

}  // namespace
}  // namespace krvdlc::test
