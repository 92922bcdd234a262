// command_send.cpp - krvdlcctl send: whole frames from hex, a raw file or a pcap file.
#include "tools/krvdlcctl/command_list.h"

#include "tools/krvdlcctl/capture_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace krvdlcctl {

namespace kc = krvdlc::client;

namespace {

std::vector<kc::Bytes> FramesFromFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        UsageFailure("send: cannot read " + path + ": " + std::strerror(errno));
    kc::Bytes frame((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return {frame};
}

std::vector<kc::Bytes> FramesFromPcap(const std::string &path, krvdlc_medium medium)
{
    CaptureFile capture;
    std::string error;
    if (!ReadCaptureFile(path, capture, error))
        UsageFailure("send: " + error);
    if (capture.linkType != LinkTypeOf(medium))
        UsageFailure("send: " + path + " holds link type " + std::to_string(capture.linkType) +
                     " frames; this adapter is " + MediumName(medium) + " and sends link type " +
                     std::to_string(LinkTypeOf(medium)));
    if (capture.frames.empty())
        UsageFailure("send: " + path + " holds no frames");
    return capture.frames;
}

}  // namespace

void RunSend(Invocation &invocation)
{
    std::optional<std::string> hex = invocation.args.Value("--hex");
    std::optional<std::string> file = invocation.args.Value("--file");
    std::optional<std::string> pcap = invocation.args.Value("--pcap");
    uint64_t count = invocation.Number("--count", 1, 1, UINT32_MAX);
    uint64_t interval = invocation.Number("--interval", 0, 0, 3600000);
    std::string selector = invocation.RequirePositional("ADAPTER");
    invocation.RequireNoLeftover();
    if (int(hex.has_value()) + int(file.has_value()) + int(pcap.has_value()) != 1)
        UsageFailure("send: give exactly one of --hex BYTES, --file FRAME and --pcap FILE");

    std::vector<kc::Bytes> frames;
    if (hex) {
        std::optional<std::vector<uint8_t>> bytes = ParseHex(*hex);
        if (!bytes)
            UsageFailure("send: --hex: not an even number of hex digits: " + *hex);
        frames.push_back(*bytes);
    } else if (file) {
        frames = FramesFromFile(*file);
    }
    kc::Adapter adapter = OpenAdapter(selector);
    if (pcap)
        frames = FramesFromPcap(*pcap, adapter.medium());

    uint64_t sent = 0;
    uint64_t bytes = 0;
    for (uint64_t round = 0; round < count && !invocation.context.stop.Requested(); ++round) {
        for (const kc::Bytes &frame : frames) {
            if (sent != 0 && interval != 0 && !invocation.context.stop.SleepFor(std::chrono::milliseconds(interval)))
                break;
            adapter.write(frame);
            ++sent;
            bytes += frame.size();
        }
    }
    std::ostringstream text;
    text << sent << (sent == 1 ? " frame" : " frames") << " (" << bytes << " bytes) sent\n";
    Json result = Json::MakeObject();
    result.Set("command", "send").Set("ok", true).Set("frames", sent).Set("bytes", bytes);
    invocation.Finish(result, text.str());
}

}  // namespace krvdlcctl
