// command_capture.cpp - krvdlcctl capture: received frames to a pcap file until a count, a
// duration or a stop (Ctrl-C); the read in progress is cancelled and the file is complete.
#include "tools/krvdlcctl/command_list.h"

#include "tools/krvdlcctl/capture_file.h"

#include <cstdio>
#include <sstream>

namespace krvdlcctl {

namespace kc = krvdlc::client;

namespace {

// Reads wait at most this long, so a stop or the end of --duration is seen promptly.
constexpr uint32_t kReadSliceMs = 200;
constexpr auto kStatusInterval = std::chrono::milliseconds(250);
constexpr auto kReopenNoteInterval = std::chrono::seconds(1);
// Frames reach the file whenever a read finds none, and at least this often under a steady
// stream: a flush per frame would cost a system call per frame at line rate.
constexpr auto kFlushInterval = std::chrono::milliseconds(200);
// Win32 ERROR_NO_SYSTEM_RESOURCES: the driver had a frame queued but no packet to deliver it.
constexpr uint32_t kErrorNoSystemResources = 1450;

uint32_t ParseFilter(Invocation &invocation, const std::string &text)
{
    static const struct {
        const char *name;
        uint32_t bits;
    } kFilters[] = {
        {"directed", KRVDLC_FILTER_DIRECTED},
        {"multicast", KRVDLC_FILTER_DIRECTED | KRVDLC_FILTER_MULTICAST},
        {"broadcast", KRVDLC_FILTER_DIRECTED | KRVDLC_FILTER_BROADCAST},
        {"promiscuous", KRVDLC_FILTER_PROMISCUOUS},
    };
    for (const auto &filter : kFilters) {
        if (text == filter.name)
            return filter.bits;
    }
    UsageFailure(invocation.name + ": --filter takes directed, multicast, broadcast or promiscuous, not " + text);
}

std::string StatusLine(uint64_t frames, uint64_t bytes, double seconds)
{
    char line[96];
    std::snprintf(line, sizeof line, "%llu frames, %llu bytes, %.1f frames/s",
                  static_cast<unsigned long long>(frames), static_cast<unsigned long long>(bytes),
                  seconds > 0 ? static_cast<double>(frames) / seconds : 0.0);
    return line;
}

}  // namespace

void RunCapture(Invocation &invocation)
{
    std::optional<std::string> path = invocation.args.Value("--write", "-w");
    uint64_t count = invocation.Number("--count", 0, 1, UINT32_MAX);
    std::optional<std::string> countShort = invocation.args.Value("-c");
    if (countShort) {
        std::optional<uint64_t> value = ParseNumber(*countShort, 1, UINT32_MAX);
        if (!value)
            UsageFailure("capture: " + RangeError("-c", *countShort, 1, UINT32_MAX));
        count = *value;
    }
    uint64_t duration = invocation.Number("--duration", 0, 1, 864000);
    bool noDsapCheck = invocation.args.Flag("--no-dsap-check");
    std::optional<std::string> filterText = invocation.args.Value("--filter");
    std::string selector = invocation.RequirePositional("ADAPTER");
    invocation.RequireNoLeftover();
    if (!path)
        UsageFailure("capture: -w FILE is missing");
    uint32_t filter = filterText ? ParseFilter(invocation, *filterText) : 0;

    // Every open sets the directed filter and the DSAP check again: what the command line
    // asks for is set after each.
    auto configure = [&](kc::Adapter opened) {
        if (noDsapCheck)
            opened.setDsapCheck(false);
        if (filter != 0)
            opened.setPacketFilter(filter);
        return opened;
    };
    kc::Adapter adapter = configure(OpenAdapter(selector));
    krvdlc_medium medium = adapter.medium();
    std::string error;
    std::unique_ptr<CaptureWriter> writer = OpenCaptureWriter(*path, LinkTypeOf(medium), error);
    if (!writer)
        throw CommandFailure(kExitIoError, "capture: " + error);
    if (invocation.context.ready)
        invocation.context.ready();

    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now();
    Clock::time_point end = start + std::chrono::seconds(duration);
    Clock::time_point nextStatus = start;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t reopens = 0;
    Clock::time_point nextReopenNote = start;
    Clock::time_point nextFlush = start + kFlushInterval;
    bool unflushed = false;
    auto writeFailure = [&] { return CommandFailure(kExitIoError, "capture: cannot write " + *path + " (disk full?)"); };
    auto flush = [&] {
        if (!writer->Flush())
            throw writeFailure();
        unflushed = false;
        nextFlush = Clock::now() + kFlushInterval;
    };
    // One buffer for every read: a frame of its own would be allocated and cleared in full.
    kc::Bytes buffer(kc::kReadRoom);
    bool terminal = invocation.context.terminal && !invocation.json;
    while (!invocation.context.stop.Requested() && (count == 0 || frames < count)) {
        uint32_t wait = kReadSliceMs;
        if (duration != 0) {
            Clock::time_point now = Clock::now();
            if (now >= end)
                break;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1;
            wait = static_cast<uint32_t>(std::min<long long>(left, kReadSliceMs));
        }
        std::optional<uint32_t> length;   // of the frame read into `buffer`
        try {
            length = adapter.readInto(buffer.data(), static_cast<uint32_t>(buffer.size()), wait);
        } catch (const kc::Error &error) {
            // Frames queued by the lookahead handler can hold every packet of the adapter,
            // and then no read gets one delivered: reopening empties the queue.
            if (error.win32Error() != kErrorNoSystemResources)
                throw;
            // The same device again, straight (the adapter list is not asked, and a list
            // that changed meanwhile cannot give another adapter).
            kc::String device = adapter.fileName();
            { kc::Adapter stuck = std::move(adapter); }
            try {
                adapter = configure(kc::Adapter::OpenFile(device));
            } catch (const kc::Error &reopen) {
                LibraryFailure(reopen);
            }
            ++reopens;
            // Under a flood this can happen hundreds of times a second: one line a second.
            if (Clock::now() >= nextReopenNote) {
                invocation.context.err << (terminal ? "\r" : "") << "capture: the driver could not deliver its "
                                          "queued frames (no free packet); reopened the adapter, dropping them ("
                                       << reopens << (reopens == 1 ? " time" : " times") << " so far)\n";
                nextReopenNote = Clock::now() + kReopenNoteInterval;
            }
        }
        if (length) {
            if (!writer->Write(buffer.data(), *length, std::chrono::system_clock::now()))
                throw writeFailure();
            ++frames;
            bytes += *length;
            unflushed = true;
        }
        if (unflushed && (!length || Clock::now() >= nextFlush))
            flush();
        if (terminal && Clock::now() >= nextStatus) {
            invocation.context.err << "\r" << StatusLine(frames, bytes, Milliseconds(Clock::now() - start) / 1000) << "   " << std::flush;
            nextStatus = Clock::now() + kStatusInterval;
        }
    }
    flush();
    writer.reset();
    double seconds = Milliseconds(Clock::now() - start) / 1000;
    if (terminal)
        invocation.context.err << "\r" << StatusLine(frames, bytes, seconds) << "   \n";

    std::ostringstream text;
    text << frames << (frames == 1 ? " frame" : " frames") << " (" << bytes << " bytes) written to " << *path
         << ", link type " << LinkTypeOf(medium) << "\n";
    if (reopens != 0)
        text << "the adapter was reopened " << reopens << (reopens == 1 ? " time" : " times")
             << " to drop queued frames the driver had no packet to deliver\n";
    Json result = Json::MakeObject();
    result.Set("command", "capture").Set("ok", true).Set("file", *path).Set("link_type", LinkTypeOf(medium))
        .Set("frames", frames).Set("bytes", bytes).Set("seconds", seconds).Set("reopens", reopens);
    invocation.Finish(result, text.str());
}

}  // namespace krvdlcctl
