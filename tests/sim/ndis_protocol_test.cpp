// Protocol registration, adapter open and close, binding, PnP and status calls, adapter
// instance names and NDIS events of the simulated NDIS.
#include "tests/sim/ndis_test_protocol.h"

#include <thread>

using namespace ndistest;
using Characteristics_ = NDIS_PROTOCOL_CHARACTERISTICS;

namespace {

TEST(NdisRegistration, ValidatesTheCharacteristicsRecord)
{
    const int v4Length = offsetof(Characteristics_, ReservedHandlers);
    const int v3Length = offsetof(Characteristics_, ReceivePacketHandler);
    const struct {
        const char *what;
        std::function<void(Characteristics_ &)> change;
        int length;   // 0: the whole record
        NDIS_STATUS expected;
    } rows[] = {
        {"valid 5.0", [](auto &) {}, 0, NDIS_STATUS_SUCCESS},
        {"version 6.0", [](auto &c) { c.MajorNdisVersion = 6; }, 0, NDIS_STATUS_BAD_VERSION},
        {"version 5.1", [](auto &c) { c.MinorNdisVersion = 1; }, 0, NDIS_STATUS_BAD_VERSION},
        {"length one short", [](auto &) {}, sizeof(Characteristics_) - 1, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"empty name", [](auto &c) { c.Name.Length = 0; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"name without text", [](auto &c) { c.Name.Buffer = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no open complete", [](auto &c) { c.OpenAdapterCompleteHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no close complete", [](auto &c) { c.CloseAdapterCompleteHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no send complete", [](auto &c) { c.SendCompleteHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no transfer complete", [](auto &c) { c.TransferDataCompleteHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no reset complete", [](auto &c) { c.ResetCompleteHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no request complete", [](auto &c) { c.RequestCompleteHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no receive", [](auto &c) { c.ReceiveHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no receive complete", [](auto &c) { c.ReceiveCompleteHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no status", [](auto &c) { c.StatusHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no status complete", [](auto &c) { c.StatusCompleteHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no bind", [](auto &c) { c.BindAdapterHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no unbind", [](auto &c) { c.UnbindAdapterHandler = nullptr; }, 0, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"optional handlers absent", [](auto &c) { c.ReceivePacketHandler = nullptr; c.PnPEventHandler = nullptr; }, 0, NDIS_STATUS_SUCCESS},
        {"4.0 at its own length", [](auto &c) { c.MajorNdisVersion = 4; }, v4Length, NDIS_STATUS_SUCCESS},
        {"4.0 without unbind", [](auto &c) { c.MajorNdisVersion = 4; c.UnbindAdapterHandler = nullptr; }, v4Length, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"3.0 without bind handlers", [](auto &c) { c.MajorNdisVersion = 3; c.BindAdapterHandler = nullptr; c.UnbindAdapterHandler = nullptr; }, v3Length, NDIS_STATUS_SUCCESS},
    };
    sim::Machine machine;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        Characteristics_ c = Characteristics(u"NDISTEST");
        row.change(c);
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        NDIS_HANDLE handle = nullptr;
        NdisRegisterProtocol(&status, &handle, &c, row.length != 0 ? row.length : sizeof(c));
        EXPECT_EQ(status, row.expected);
        EXPECT_EQ(machine.ndis().ProtocolRegistered(), row.expected == NDIS_STATUS_SUCCESS);
        if (status == NDIS_STATUS_SUCCESS)
            NdisDeregisterProtocol(&status, handle);
    }
}

TEST(NdisRegistration, KeepsItsOwnCopyAndOneProtocol)
{
    sim::Machine machine;
    char16_t name[] = u"KRVTEST";
    Characteristics_ c = Characteristics(name);
    NDIS_STATUS status;
    NDIS_HANDLE handle;
    machine.faults().FailNth("NdisRegisterProtocol", 1);
    NdisRegisterProtocol(&status, &handle, &c, sizeof(c));
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    NdisRegisterProtocol(&status, &handle, &c, sizeof(c) + 4);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    name[0] = u'X';
    c.ReceiveHandler = nullptr;
    auto info = machine.ndis().Protocol();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->name, u"KRVTEST");
    EXPECT_EQ(std::u16string(info->characteristics.Name.Buffer, info->characteristics.Name.Length / 2), u"KRVTEST");
    EXPECT_EQ(info->characteristicsLength, sizeof(c) + 4);
    EXPECT_EQ(info->characteristics.ReceiveHandler, &Receive);
    NDIS_HANDLE second;
    NdisRegisterProtocol(&status, &second, &c, sizeof(c));
    EXPECT_NE(status, NDIS_STATUS_SUCCESS);
    NdisDeregisterProtocol(&status, handle);
    EXPECT_FALSE(machine.ndis().ProtocolRegistered());
}

using NdisOpen = NdisFixture;

TEST_F(NdisOpen, BindAndUnbindGoThroughTheProtocolsHandlers)
{
    TestBinding binding;
    BindTarget target{protocol, &binding, {}, 0xFF};
    sim::AdapterConfig config;
    config.deviceName = u"\\Device\\{B}";
    config.instanceName = u"Test Adapter #2";
    config.bindSystemSpecific1 = &target;
    sim::Adapter &adapter = ndis.AddAdapter(config);
    adapter.SetScript(sim::NdisOperation::Open, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
    adapter.SetScript(sim::NdisOperation::Close, {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS});
    TestBinding unnamed;
    AddAdapter(u"\\Device\\{U}");
    ASSERT_EQ(Open(u"\\Device\\{U}", unnamed), NDIS_STATUS_SUCCESS);

    EXPECT_EQ(adapter.Bind(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(target.irql, PASSIVE_LEVEL);
    EXPECT_EQ(target.deviceName, u"\\Device\\{B}");
    EXPECT_TRUE(adapter.IsOpen());

    NDIS_STRING name;
    ASSERT_EQ(NdisQueryAdapterInstanceName(&name, binding.handle), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), u"Test Adapter #2");
    EXPECT_EQ(ndis.NdisMemoryBlocks(), 1u);
    NdisFreeMemory(name.Buffer, name.Length, 0);
    EXPECT_EQ(NdisQueryAdapterInstanceName(&name, unnamed.handle), NDIS_STATUS_FAILURE);
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_EQ(name.Length, 0);
    EXPECT_EQ(ndis.NdisMemoryBlocks(), 0u);

    EXPECT_EQ(ndis.IndicateBindsComplete(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ndis.SendPnPEvent(NetEventReconfigure), NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(adapter.SendPnPEvent(NetEventSetPower, {NdisDeviceStateD0, 0, 0, 0}), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter.SendPnPEvent(NetEventSetPower, {NdisDeviceStateD3, 0, 0, 0}), NDIS_STATUS_NOT_SUPPORTED);

    EXPECT_TRUE(adapter.IndicateStatus(NDIS_STATUS_MEDIA_DISCONNECT, {1, 2, 3, 4}));
    ASSERT_EQ(binding.statuses.size(), 2u);   // status, then status complete
    EXPECT_EQ(binding.statuses[0].status, NDIS_STATUS_MEDIA_DISCONNECT);
    EXPECT_EQ(binding.statuses[0].bytes, 4u);
    EXPECT_EQ(binding.irqls.back(), DISPATCH_LEVEL);

    EXPECT_EQ(adapter.Unbind(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(binding.closeCompletions, 1);
    EXPECT_FALSE(adapter.IsOpen());
    Close(unnamed);
}

TEST(NdisEvents, WaitReportsSignalAndTimeOut)
{
    sim::Machine machine;
    NDIS_EVENT event;
    NdisInitializeEvent(&event);
    EXPECT_FALSE(NdisWaitEvent(&event, 20000));
    NdisSetEvent(&event);
    EXPECT_TRUE(NdisWaitEvent(&event, 20000));
    EXPECT_TRUE(NdisWaitEvent(&event, 0));   // a notification event stays signalled
    NdisResetEvent(&event);
    std::thread setter([&] { NdisSetEvent(&event); });
    EXPECT_TRUE(NdisWaitEvent(&event, 0));
    setter.join();
}

}  // namespace
