// Every NDIS rule the simulated NDIS enforces stops the machine with a bug-check that
// names the rule.
#include "tests/sim/ndis_test_protocol.h"

using namespace ndistest;

namespace {

class NdisVerifier : public NdisFixture {
public:
    // An open binding on a fresh adapter whose calls of one kind end as `script` says.
    sim::Adapter &Opened(TestBinding &binding, sim::NdisOperation operation = sim::NdisOperation::Open,
                         sim::Script script = {}, const char16_t *instanceName = nullptr)
    {
        sim::AdapterConfig config;
        config.deviceName = u"\\Device\\{V}";
        if (instanceName != nullptr)
            config.instanceName = instanceName;
        sim::Adapter &adapter = ndis.AddAdapter(config);
        adapter.SetScript(operation, script);
        Open(u"\\Device\\{V}", binding);
        return adapter;
    }
    PNDIS_PACKET KeepIndicated(TestBinding &binding, NDIS_STATUS status = NDIS_STATUS_SUCCESS)
    {
        PNDIS_PACKET kept = nullptr;
        binding.onReceivePacket = [&kept](PNDIS_PACKET packet) { return kept = packet, 1; };
        sim::PacketOptions options;
        options.status = status;
        Opened(binding).IndicatePacket(EthernetFrame(kStationA, 30), options);
        return kept;
    }
    void Send(TestBinding &binding, PNDIS_PACKET packet)
    {
        NDIS_STATUS status;
        NdisSend(&status, binding.handle, packet);
    }
};

const sim::Script kHeld{sim::CompletionMode::Held, NDIS_STATUS_SUCCESS};

// A fresh machine for one death-test child: the parent keeps none, so the child is a
// plain fork (32-bit test binaries run under an emulator that cannot re-execute them).
struct VerifierRig : NdisVerifier {
    void TestBody() override {}
};

TEST(NdisVerifierRules, EachBrokenRuleBugChecks)
{
    using Op = sim::NdisOperation;
    NDIS_STATUS status;
    UINT count;
    const struct {
        const char *rule;   // what the bug-check report names
        std::function<void(NdisVerifier &)> breakIt;
    } rules[] = {
        {"binding handle used after NdisCloseAdapter",
         [&](NdisVerifier &t) { TestBinding b; t.Opened(b); t.Close(b); NdisReset(&status, b.handle); }},
        {"binding handle used before its open completed",
         [&](NdisVerifier &t) { TestBinding b; t.Opened(b, Op::Open, kHeld); NdisReset(&status, b.handle); }},
        {"NdisCloseAdapter before the open completed",
         [&](NdisVerifier &t) { TestBinding b; t.Opened(b, Op::Open, kHeld); t.Close(b); }},
        {"packet pool freed with packets still allocated",
         [&](NdisVerifier &t) { NDIS_HANDLE pool = t.Pool(2); t.Packet(pool); NdisFreePacketPool(pool); }},
        {"protocol closed the adapter holding indicated packets",
         [&](NdisVerifier &t) { TestBinding b; t.KeepIndicated(b); t.Close(b); }},
        {"protocol kept a packet indicated with NDIS_STATUS_RESOURCES",
         [&](NdisVerifier &t) { TestBinding b; t.KeepIndicated(b, NDIS_STATUS_RESOURCES); }},
        {"packet returned to NDIS twice", [&](NdisVerifier &t) {
             TestBinding b;
             PNDIS_PACKET kept = t.KeepIndicated(b);
             NdisReturnPackets(&kept, 1);
             NdisReturnPackets(&kept, 1);
         }},
        {"packet returned to NDIS that it never lent",
         [&](NdisVerifier &t) { PNDIS_PACKET own = t.Packet(t.Pool(1)); NdisReturnPackets(&own, 1); }},
        {"packet returned to NDIS that it never lent", [&](NdisVerifier &t) {
             TestBinding b;
             auto inside = reinterpret_cast<PNDIS_PACKET>(reinterpret_cast<char *>(t.KeepIndicated(b)) + 8);
             NdisReturnPackets(&inside, 1);
         }},
        {"NdisTransferData with a stale MacReceiveContext", [&](NdisVerifier &t) {
             TestBinding b;
             NDIS_HANDLE saved = nullptr;
             b.onReceive = [&](NDIS_HANDLE context, UINT, UINT, UINT) { return saved = context, NDIS_STATUS_SUCCESS; };
             t.Opened(b).IndicateReceive(EthernetFrame(kStationA, 30));
             NdisTransferData(&status, b.handle, saved, 0, 16, t.Packet(t.Pool(1)), &count);
         }},
        {"packet sent again while in flight", [&](NdisVerifier &t) {
             TestBinding b;
             t.Opened(b, Op::Send, kHeld);
             PNDIS_PACKET packet = t.Packet(t.Pool(1));
             t.Send(b, packet);
             t.Send(b, packet);
         }},
        {"packet freed while NDIS holds it", [&](NdisVerifier &t) {
             TestBinding b;
             t.Opened(b, Op::Send, kHeld);
             PNDIS_PACKET packet = t.Packet(t.Pool(1));
             t.Send(b, packet);
             NdisFreePacket(packet);
         }},
        {"packet freed twice",
         [&](NdisVerifier &t) { PNDIS_PACKET p = t.Packet(t.Pool(1)); NdisFreePacket(p); NdisFreePacket(p); }},
        {"NDIS_REQUEST submitted again while NDIS still holds it", [&](NdisVerifier &t) {
             TestBinding b;
             t.Opened(b, Op::Request, kHeld);
             NDIS_REQUEST request{};
             NdisRequest(&status, b.handle, &request);
             NdisRequest(&status, b.handle, &request);
         }},
        {"protocol deregistered with open bindings",
         [&](NdisVerifier &t) { TestBinding b; t.Opened(b); NdisDeregisterProtocol(&status, t.protocol); }},
        {"NdisFreeMemory called twice for the same block", [&](NdisVerifier &t) {
             TestBinding b;
             t.Opened(b, Op::Open, {}, u"V");
             NDIS_STRING name;
             NdisQueryAdapterInstanceName(&name, b.handle);
             NdisFreeMemory(name.Buffer, name.Length, 0);
             NdisFreeMemory(name.Buffer, name.Length, 0);
         }},
        // IRQL rules: the check comes before anything else the routine looks at.
        {"NdisSend called above DISPATCH_LEVEL",
         [&](NdisVerifier &) { sim::IrqlScope high(DISPATCH_LEVEL + 1); NdisSend(&status, nullptr, nullptr); }},
        {"NdisRequest called above DISPATCH_LEVEL",
         [&](NdisVerifier &) { sim::IrqlScope high(DISPATCH_LEVEL + 1); NdisRequest(&status, nullptr, nullptr); }},
        {"NdisReset called above DISPATCH_LEVEL",
         [&](NdisVerifier &) { sim::IrqlScope high(DISPATCH_LEVEL + 1); NdisReset(&status, nullptr); }},
        {"NdisTransferData called above DISPATCH_LEVEL", [&](NdisVerifier &) {
             sim::IrqlScope high(DISPATCH_LEVEL + 1);
             NdisTransferData(&status, nullptr, nullptr, 0, 0, nullptr, &count);
         }},
        {"NdisOpenAdapter called at an IRQL other than PASSIVE_LEVEL",
         [&](NdisVerifier &t) { TestBinding b; sim::IrqlScope dispatch(DISPATCH_LEVEL); t.Opened(b); }},
        {"NdisCloseAdapter called at an IRQL other than PASSIVE_LEVEL",
         [&](NdisVerifier &t) { TestBinding b; t.Opened(b); sim::IrqlScope dispatch(DISPATCH_LEVEL); t.Close(b); }},
        {"NdisRegisterProtocol called at an IRQL other than PASSIVE_LEVEL", [&](NdisVerifier &) {
             NDIS_PROTOCOL_CHARACTERISTICS c = Characteristics(u"OTHER");
             NDIS_HANDLE handle;
             sim::IrqlScope dispatch(DISPATCH_LEVEL);
             NdisRegisterProtocol(&status, &handle, &c, sizeof(c));
         }},
    };
    for (const auto &rule : rules) {
        SCOPED_TRACE(rule.rule);
        EXPECT_DEATH(
            {
                VerifierRig rig;
                rig.SetUp();
                rule.breakIt(rig);
            },
            rule.rule);
    }
}

}  // namespace
