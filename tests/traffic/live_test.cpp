// live_test.cpp - krvdlc-sim on a real wire: a network namespace of the test's own with a
// veth pair. Frames a raw socket sends on one end reach a reader through the driver; a
// frame written to the driver arrives on the far end byte for byte; and a TEST from one
// krvdlc-sim is answered by another on the far end (two simulators, one wire). Skips,
// saying why, without root or CAP_NET_RAW or without ip(8).
#include "tests/traffic/child_process.h"
#include "tools/common/frames.h"
#include "tools/krvdlcctl/capture_file.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

namespace {

namespace fs = std::filesystem;
namespace fr = krvdlc::frames;
using traffic_test::ChildProcess;
using namespace std::chrono_literals;

const fr::MacAddress kMacA{0x02, 0x00, 0x4B, 0x52, 0x10, 0x01};
const fr::MacAddress kMacB{0x02, 0x00, 0x4B, 0x52, 0x10, 0x02};

std::string IpProgram()
{
    for (const char *path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(path, X_OK) == 0)
            return path;
    }
    return {};
}

std::string Hex(const fr::Bytes &bytes)
{
    std::string text;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        text += byte;
    }
    return text;
}

// A namespace with the veth pair kvA/kvB (MACs kMacA, kMacB), removed again - with the pair
// in it - whatever way the test ends.
class VethNamespace {
public:
    VethNamespace() : name_("krvdlc-live-" + std::to_string(::getpid())) {}
    ~VethNamespace()
    {
        if (created_)
            Run({"netns", "del", name_});
    }

    // Empty on success, else what failed.
    std::string Create()
    {
        ::unlink(("/run/netns/" + name_).c_str());
        if (!Run({"netns", "add", name_}))
            return "ip netns add failed: " + last_;
        created_ = true;
        std::string ip = IpProgram();
        for (const std::vector<std::string> &words : std::vector<std::vector<std::string>>{
                 {"-n", name_, "link", "add", "kvA", "type", "veth", "peer", "name", "kvB"},
                 {"-n", name_, "link", "set", "kvA", "address", fr::FormatMac(kMacA)},
                 {"-n", name_, "link", "set", "kvB", "address", fr::FormatMac(kMacB)},
                 {"-n", name_, "link", "set", "kvA", "up"},
                 {"-n", name_, "link", "set", "kvB", "up"}}) {
            if (!Run(words))
                return "ip " + words[2] + " " + words[3] + " failed: " + last_;
        }
        return {};
    }

    // krvdlc-sim inside the namespace.
    std::vector<std::string> Sim(std::vector<std::string> words) const
    {
        std::vector<std::string> all = {IpProgram(), "netns", "exec", name_, traffic_test::SimProgram()};
        all.insert(all.end(), words.begin(), words.end());
        return all;
    }

    // A raw socket bound to `interfaceName` of the namespace (created on a thread that
    // entered it; the socket stays in it). -1 on failure.
    int RawSocket(const std::string &interfaceName) const
    {
        int result = -1;
        std::thread([&] {
            int ns = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0)
                return;
            ::close(ns);
            int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
            sockaddr_ll at{};
            at.sll_family = AF_PACKET;
            at.sll_protocol = htons(ETH_P_ALL);
            at.sll_ifindex = static_cast<int>(::if_nametoindex(interfaceName.c_str()));
            if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0)
                result = fd;
            else if (fd >= 0)
                ::close(fd);
        }).join();
        return result;
    }

private:
    bool Run(const std::vector<std::string> &words)
    {
        std::vector<std::string> all = {IpProgram()};
        all.insert(all.end(), words.begin(), words.end());
        fs::path log = fs::temp_directory_path() / (name_ + ".ip.txt");
        ChildProcess ip(all, log);
        bool ok = ip.Wait(10s) == 0;
        last_ = ip.Output();
        fs::remove(log);
        return ok;
    }

    std::string name_;
    bool created_ = false;
    std::string last_;
};

// Frames arriving on `fd` within `limit`, without the ones it sent itself.
std::vector<fr::Bytes> ReceiveFor(int fd, std::chrono::milliseconds limit, const fr::Bytes &wanted)
{
    std::vector<fr::Bytes> frames;
    auto end = std::chrono::steady_clock::now() + limit;
    std::vector<uint8_t> buffer(65536);
    while (std::chrono::steady_clock::now() < end) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0)
            continue;
        sockaddr_ll from{};
        socklen_t size = sizeof from;
        ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &size);
        if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        frames.emplace_back(buffer.begin(), buffer.begin() + n);
        if (frames.back() == wanted)
            break;
    }
    return frames;
}

TEST(LiveInterface, FramesCrossARealWireBothWaysAndTwoSimulatorsTalk)
{
    if (sizeof(void *) == 4)
        GTEST_SKIP() << "the live test starts krvdlc-sim processes from the 64-bit builds";
    if (IpProgram().empty())
        GTEST_SKIP() << "no ip(8) (iproute2) to make a network namespace and a veth pair";
    int probe = ::socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (probe < 0)
        GTEST_SKIP() << "a packet socket needs root or CAP_NET_RAW: " << std::strerror(errno);
    ::close(probe);
    VethNamespace ns;
    if (std::string fault = ns.Create(); !fault.empty())
        GTEST_SKIP() << "cannot make a network namespace with a veth pair (needs CAP_SYS_ADMIN): " << fault;
    fs::path folder = fs::temp_directory_path() / ("krvdlc-live-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    int wire = ns.RawSocket("kvB");
    ASSERT_GE(wire, 0) << "raw socket on kvB";

    // 1. Frames sent on kvB reach a reader of the adapter on kvA, byte for byte.
    std::vector<fr::Bytes> sent = {
        fr::Ethernet8023(kMacA, kMacB, {0x04, 0x08, fr::kControlUi}, {1, 2, 3}, 60),
        fr::EthernetSnaServices(kMacA, kMacB, {0x04, 0x08, fr::kControlTest}, {4, 5}),
        fr::Ethernet8023(kMacA, kMacB, {0xF4, 0x04, fr::kControlXid}, fr::XidInformation()),
    };
    {
        fs::path rx = folder / "rx.pcap";
        ChildProcess reader(ns.Sim({"--live", "kvA", "--style", "packet", "--", "capture", "1", "-w", rx.string(),
                                    "-c", "3", "--duration", "20"}),
                            folder / "reader.txt");
        ASSERT_TRUE(reader.WaitForOutput("commands started", 30s)) << reader.Output();
        for (const fr::Bytes &frame : sent)
            ASSERT_EQ(::send(wire, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
        ASSERT_EQ(reader.Wait(30s), 0) << reader.Output();
        krvdlcctl::CaptureFile file;
        std::string error;
        ASSERT_TRUE(krvdlcctl::ReadCaptureFile(rx.string(), file, error)) << error;
        EXPECT_EQ(file.frames, sent) << reader.Output();
        EXPECT_NE(reader.Output().find("live interface kvA on station 1"), std::string::npos) << reader.Output();
    }

    // 2. A frame written to the driver leaves on kvA and arrives on kvB unchanged.
    {
        fr::Bytes frame = fr::Ethernet8023(kMacB, kMacA, {0x04, 0x04, fr::kControlUi}, {9, 8, 7, 6, 5});
        ChildProcess writer(ns.Sim({"--live", "kvA", "--", "send", "1", "--hex", Hex(frame)}), folder / "writer.txt");
        std::vector<fr::Bytes> arrived = ReceiveFor(wire, 20s, frame);
        ASSERT_EQ(writer.Wait(30s), 0) << writer.Output();
        ASSERT_FALSE(arrived.empty());
        EXPECT_EQ(arrived.back(), frame) << writer.Output();
    }
    ::close(wire);

    // 3. TEST from a simulated station on kvA, answered by krvdlcctl respond in a second
    // simulator on kvB.
    ChildProcess responder(ns.Sim({"--live", "kvB", "--", "respond", "1"}), folder / "responder.txt");
    ASSERT_TRUE(responder.WaitForOutput("commands started", 30s)) << responder.Output();
    ChildProcess tester(ns.Sim({"--live", "kvA", "--", "test", "1", fr::FormatMac(kMacB), "--count", "3",
                                "--interval", "20", "--timeout", "3000"}),
                        folder / "tester.txt");
    EXPECT_EQ(tester.Wait(30s), 0) << tester.Output();
    EXPECT_NE(tester.Output().find("3 sent, 3 received"), std::string::npos) << tester.Output();
    responder.Signal(SIGINT);
    EXPECT_EQ(responder.Wait(30s), 0) << responder.Output();
    EXPECT_NE(responder.Output().find("answered 3 TEST"), std::string::npos) << responder.Output();
    fs::remove_all(folder);
}

}  // namespace
