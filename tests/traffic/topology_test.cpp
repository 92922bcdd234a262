// topology_test.cpp - krvdlc-sim's machines from TOML files: what a file gives, the faults
// it is refused for (with the line), and a schedule of late binds, an unbind with a rebind
// and a delayed binds-complete that an enumeration waits for.
#include "tools/krvdlc-sim/session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path WriteFile(const std::string &text)
{
    fs::path path = fs::temp_directory_path() / ("krvdlc-topology-" + std::to_string(::getpid()) + ".toml");
    std::ofstream(path) << text;
    return path;
}

TEST(TopologyFile, ReadsAdaptersAndRefusesFaultsByLine)
{
    fs::path path = WriteFile(R"(binds_complete_after_ms = 250
[[adapter]]
label = "site"
medium = "token-ring"
style = "lookahead:64"
replay = "site.pcap"
segment = "ring"
[[adapter]]
mac = "02-00-4B-52-00-22"
instance = "Peer"
style = "resources"
unbind_after_ms = 100
rebind_after_ms = 200
)");
    krvdlcsim::Topology topology = krvdlcsim::LoadTopologyFile(path.string());
    ASSERT_EQ(topology.adapters.size(), 2u);
    EXPECT_EQ(topology.bindsCompleteAfter, 250ms);
    const krvdlcsim::AdapterPlan &site = topology.adapters[0];
    EXPECT_EQ(site.medium, NdisMedium802_5);
    EXPECT_EQ(site.style.Describe(), "lookahead 64");
    EXPECT_EQ(site.backend.kind, krvdlcsim::Backend::Kind::Replay);
    EXPECT_EQ(site.backend.source, "site.pcap");
    const krvdlcsim::AdapterPlan &peer = topology.adapters[1];
    EXPECT_EQ(peer.label, "eth2");
    EXPECT_EQ(peer.instanceName, u"Peer");
    EXPECT_EQ(peer.address, (sim::MacAddress{0x02, 0x00, 0x4B, 0x52, 0x00, 0x22}));
    EXPECT_EQ(peer.style.kind, krvdlcsim::IndicationStyle::Kind::PacketResources);
    EXPECT_EQ(peer.segment, "eth2");
    EXPECT_EQ(peer.rebindAfter, 200ms);
    EXPECT_NE(site.guid, peer.guid);

    const struct {
        const char *text;
        const char *message;
    } faults[] = {
        {"[[adapter]]\ncolour = \"red\"\n", ":2: unknown key colour"},
        {"[[adapter]]\nmedium = \"fddi\"\n", ":2: medium is \"ethernet\" or \"token-ring\""},
        {"[[adapter]]\nmac = \"02:00\"\n", ":2: mac is six hexadecimal bytes"},
        {"[[adapter]]\nstyle = \"burst\"\n", ":2: style is \"lookahead\""},
        {"[[adapter]]\nbind_after_ms = -5\n", ":2: bind_after_ms takes milliseconds"},
        {"[[adapter]]\nrebind_after_ms = 10\n", "a rebind comes after an unbind"},
        {"[[adapter]]\nmedium = \"token-ring\"\nlive = \"eth0\"\n", "a live interface carries Ethernet only"},
        {"[[adapter]]\nreplay = \"a.pcap\"\nsegment = \"s\"\n[[adapter]]\nreplay = \"b.pcap\"\nsegment = \"s\"\n",
         "segment s already has a replay or live adapter"},
        {"[[adapter]]\nsegment = \"s\"\n[[adapter]]\nmedium = \"token-ring\"\nsegment = \"s\"\n", "joins Ethernet and Token Ring"},
        {"[[adapter]]\nlabel = \"x\"\nlabel = \"y\"\n", ":3:"},
        {"title = 1\n", ":1: unknown key title"},
        {"", "no [[adapter]] table"},
    };
    for (const auto &fault : faults) {
        WriteFile(fault.text);
        try {
            krvdlcsim::LoadTopologyFile(path.string());
            ADD_FAILURE() << "accepted:\n" << fault.text;
        } catch (const std::runtime_error &error) {
            EXPECT_NE(std::string(error.what()).find(fault.message), std::string::npos)
                << error.what() << "\nwanted: " << fault.message;
        }
    }
    fs::remove(path);
}

// Waits up to five seconds for `condition`.
template <typename Condition>
bool Eventually(Condition condition)
{
    for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(2ms)) {
        if (condition())
            return true;
    }
    return condition();
}

TEST(TopologySchedule, LateBindUnbindRebindAndDelayedBindsComplete)
{
    krvdlcsim::SessionOptions options;
    options.topology.adapters = {krvdlcsim::DefaultTopology().adapters[0], krvdlcsim::DefaultTopology().adapters[1]};
    options.topology.adapters[0].unbindAfter = 400ms;
    options.topology.adapters[0].rebindAfter = 900ms;
    options.topology.adapters[1].bindAfter = 150ms;
    options.topology.bindsCompleteAfter = 300ms;
    krvdlcsim::SimulatedMachine machine(options);
    sim::Adapter &first = *machine.stations()[0].adapter;
    sim::Adapter &second = *machine.stations()[1].adapter;
    EXPECT_TRUE(first.IsOpen());
    EXPECT_FALSE(second.IsOpen());

    // An enumeration started now waits for binds-complete, and then sees both adapters.
    auto start = std::chrono::steady_clock::now();
    machine.StartTraffic();
    std::vector<krvdlcsim::CommandRun> list = {{{"list"}, {}, {}, -1}};
    krvdlcsim::RunSideBySide(list);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_EQ(list[0].exitCode, 0) << list[0].errors;
    EXPECT_NE(list[0].output.find("Simulated Ethernet Adapter #2"), std::string::npos) << list[0].output;

    EXPECT_TRUE(Eventually([&] { return !first.IsOpen(); })) << "never unbound";
    EXPECT_TRUE(Eventually([&] { return first.IsOpen(); })) << "never bound again";
    EXPECT_TRUE(second.IsOpen());
    machine.Finish();
}

}  // namespace
