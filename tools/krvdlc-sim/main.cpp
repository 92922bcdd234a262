// krvdlc-sim - a simulated machine with KRVDLC loaded and a topology bound (the default one,
// a capture replay, a live Linux interface or a TOML file's), in which krvdlcctl commands
// run, each on its own thread; at the end the driver is unloaded and the pool report printed.
//
//   krvdlc-sim [options] -- respond 2 -- test 1 02:00:4B:52:00:02 --count 5
//   krvdlc-sim [options] --script FILE
//   krvdlc-sim --replay mixed.pcapng --deliver passed.pcap
//   krvdlc-sim --live veth0 -- respond 1
//
// Exit status: the first non-zero exit code of the commands (in the order given), else 0;
// 1 for a usage error of krvdlc-sim itself or a topology or capture it cannot use; 4 when a
// live interface cannot be opened.
#include "tools/krvdlc-sim/session.h"

#include "sim/files.h"
#include "tools/common/event_viewer.h"
#include "tools/krvdlcctl/capture_file.h"
#include "tools/krvdlcctl/commands.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <list>
#include <memory>
#include <pthread.h>
#include <sstream>
#include <thread>

namespace {

using krvdlcsim::Milliseconds;

struct Settings {
    krvdlcsim::SessionOptions session;
    std::optional<std::string> topologyFile;
    std::optional<std::string> replay;
    std::optional<std::string> live;
    std::optional<krvdlcsim::IndicationStyle> style;
    std::optional<std::string> deliver;
    std::optional<Milliseconds> bindAfter, unbindAfter, rebindAfter;
    std::string script;
    bool quiet = false;
    bool events = false;        // print the event log after the unload
    uint64_t traceTail = 0;     // print the last lines of the trace file after the unload
};

constexpr char kTraceFile[] = "\\SystemRoot\\trace\\krvdlc.trc";

// krvdlc-sim's options; one that sets a HostOptions field is one entry here.
struct SimOption {
    const char *name;
    const char *value;   // null: a flag
    const char *help;
    std::function<bool(Settings &, const std::string &)> apply;
};

std::optional<uint64_t> Number(const std::string &text)
{
    return krvdlcctl::ParseNumber(text, 0, UINT32_MAX);
}

bool SetDelay(std::optional<Milliseconds> &delay, const std::string &text)
{
    std::optional<uint64_t> n = krvdlcctl::ParseNumber(text, 0, 86400000);
    if (n)
        delay = Milliseconds(*n);
    return n.has_value();
}

const std::vector<SimOption> &Options()
{
    static const std::vector<SimOption> options = {
        {"--trace-level", "N", "registry TraceLevel of the driver (e.g. 0x44: progress to the trace file)",
         [](Settings &s, const std::string &v) { auto n = Number(v); if (n) s.session.host.traceLevel = static_cast<uint32_t>(*n); return n.has_value(); }},
        {"--system-root", "DIR", "folder that \\SystemRoot maps to (default: a temporary one)",
         [](Settings &s, const std::string &v) { s.session.host.machine.systemRoot = v; return true; }},
        {"--script", "FILE", "run the commands of FILE, one per line ('&' at the end: in the background)",
         [](Settings &s, const std::string &v) { s.script = v; return true; }},
        {"--image", "FILE", "run the driver image FILE (build/driver/KRVDLC.SYS) instead of the host-compiled driver; 32-bit builds only",
         [](Settings &s, const std::string &v) { s.session.host.image = v; return true; }},
        {"--no-driver", nullptr, "start the machine without loading KRVDLC",
         [](Settings &s, const std::string &) { s.session.loadDriver = false; return true; }},
        {"--events", nullptr, "after the unload, print the event log as the event viewer shows it",
         [](Settings &s, const std::string &) { s.events = true; return true; }},
        {"--trace-tail", "N", "after the unload, print the last N lines of the trace file",
         [](Settings &s, const std::string &v) { auto n = Number(v); if (n) s.traceTail = *n; return n.has_value(); }},
        {"--quiet", nullptr, "print only the commands' output (no topology, no summary, no pool report)",
         [](Settings &s, const std::string &) { s.quiet = true; return true; }},
        {"--topology", "FILE", "the machine's adapters from a TOML file (README: \"Traffic sources\")",
         [](Settings &s, const std::string &v) { s.topologyFile = v; return true; }},
        {"--replay", "FILE", "one adapter that indicates the frames of a pcap or pcapng file (link type 1 or 6)",
         [](Settings &s, const std::string &v) { s.replay = v; return true; }},
        {"--live", "IFACE", "one adapter on a Linux interface (AF_PACKET; needs root or CAP_NET_RAW)",
         [](Settings &s, const std::string &v) { s.live = v; return true; }},
        {"--style", "STYLE", "indication of the --replay/--live adapter: lookahead[:N], packet, resources (default lookahead)",
         [](Settings &s, const std::string &v) { s.style = krvdlcsim::ParseIndicationStyle(v); return s.style.has_value(); }},
        {"--as-fast-as-possible", nullptr, "replay without waiting for the capture's timestamps",
         [](Settings &s, const std::string &) { s.session.asFastAsPossible = true; return true; }},
        {"--deliver", "FILE", "a reader (capture, promiscuous) on the replay adapter writes what it gets to FILE",
         [](Settings &s, const std::string &v) { s.deliver = v; return true; }},
        {"--no-dsap-check", nullptr, "the --deliver reader switches the DSAP check off (the counts assume it on otherwise)",
         [](Settings &s, const std::string &) { s.session.checkDsap = false; return true; }},
        {"--bind-after", "MS", "bind every adapter MS milliseconds after the start instead of at once",
         [](Settings &s, const std::string &v) { return SetDelay(s.bindAfter, v); }},
        {"--unbind-after", "MS", "unbind every adapter MS milliseconds after the start, while commands run",
         [](Settings &s, const std::string &v) { return SetDelay(s.unbindAfter, v); }},
        {"--rebind-after", "MS", "bind them again MS milliseconds after the start (after --unbind-after)",
         [](Settings &s, const std::string &v) { return SetDelay(s.rebindAfter, v); }},
        {"--binds-complete-after", "MS", "tell the driver binds are complete only MS milliseconds after the start",
         [](Settings &s, const std::string &v) { return SetDelay(s.session.topology.bindsCompleteAfter, v); }},
    };
    return options;
}

void PrintUsage(std::ostream &out)
{
    out << "usage: krvdlc-sim [OPTIONS] -- COMMAND ARGS [-- COMMAND ARGS]...\n"
           "       krvdlc-sim [OPTIONS] --script FILE\n"
           "\n"
           "       krvdlc-sim --replay FILE [--deliver OUT] [OPTIONS] [-- COMMAND ARGS]...\n"
           "       krvdlc-sim --live IFACE [OPTIONS] -- COMMAND ARGS [-- COMMAND ARGS]...\n"
           "\n"
           "Starts a simulated machine, loads KRVDLC, binds two Ethernet stations on one segment\n"
           "(1, 2) and two Token Ring stations on a ring (3, 4) - or the adapters of --topology,\n"
           "--replay, --live - runs krvdlcctl commands in it and at the end unloads the driver and\n"
           "prints a summary of the outside traffic and the pool report. Commands given with '--'\n"
           "run side by side, each on its own thread; capture and respond are started first\n"
           "in the order given and are ready before the next command starts. Commands that run\n"
           "until stopped (respond, capture without -c or --duration) are stopped once every\n"
           "other command has finished, or by Ctrl-C.\n"
           "\n"
           "Options:\n";
    for (const SimOption &option : Options()) {
        std::string head = std::string(option.name) + (option.value ? std::string(" ") + option.value : "");
        out << "  " << head << std::string(head.size() < 20 ? 20 - head.size() : 1, ' ') << option.help << "\n";
    }
    out << "  --help              this text; 'krvdlc-sim -- --help' shows krvdlcctl's commands\n"
           "\n"
           "Exit status: the first non-zero exit code of the commands, else 0; 1 for a usage error.\n";
}

// Splits a script line into words; double quotes group words, '#' starts a comment.
std::vector<std::string> SplitLine(const std::string &line)
{
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && c == '#') {
            break;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}


// The driver image whose message table renders the events: the one that ran, else the
// driver build's KRVDLC.SYS from the working folder or from beside this program's build.
std::string MessageTableImage(const Settings &settings)
{
    if (settings.session.host.image)
        return *settings.session.host.image;
    for (const char *local : {"build/driver/KRVDLC.SYS", "../driver/KRVDLC.SYS"}) {
        if (std::filesystem::exists(local))
            return local;
    }
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    std::filesystem::path beside = self.parent_path() / "../../../driver/KRVDLC.SYS";
    return error ? std::string("build/driver/KRVDLC.SYS") : beside.lexically_normal().string();
}

// What the run left in the trace file and the event log, printed after the unload.
void PrintDiagnostics(const Settings &settings, sim::Machine &machine)
{
    if (settings.traceTail != 0) {
        std::optional<std::string> text = machine.files().ReadFile(kTraceFile);
        std::cout << "\nkrvdlc-sim: trace file " << kTraceFile;
        if (!text) {
            std::cout << ": none (TraceLevel traces to the file when it has verbosity without 0x80, or 0x40)\n";
        } else {
            std::vector<std::string> lines;
            std::istringstream in(*text);
            for (std::string line; std::getline(in, line);)
                lines.push_back(line);
            size_t first = lines.size() > settings.traceTail ? lines.size() - settings.traceTail : 0;
            std::cout << ", " << lines.size() << " lines; the last " << lines.size() - first << ":\n";
            for (size_t i = first; i < lines.size(); ++i)
                std::cout << "  | " << lines[i] << "\n";
        }
    }
    if (settings.events) {
        std::string image = MessageTableImage(settings);
        std::string error;
        std::optional<krvdlc::MessageTable> table = krvdlc::LoadMessageTable(image, &error);
        std::cout << "\nkrvdlc-sim: event log, texts from " << image << (table ? "" : " (" + error + ")") << "\n";
        std::cout << krvdlc::RenderEvents(machine.errorLog().Entries(), table ? &*table : nullptr,
                                          krvdlc::ViewerOptionsFor(machine, image));
    }
}

// The machine's adapters: a topology file's, the --replay and --live adapters', or the
// default stations; the bind options apply to each. Throws std::runtime_error.
void BuildTopology(Settings &settings)
{
    krvdlcsim::Topology &topology = settings.session.topology;
    std::optional<Milliseconds> bindsComplete = topology.bindsCompleteAfter;
    if (settings.topologyFile) {
        if (settings.replay || settings.live)
            throw std::runtime_error("give --topology or --replay/--live, not both");
        topology = krvdlcsim::LoadTopologyFile(*settings.topologyFile);
        if (bindsComplete)
            topology.bindsCompleteAfter = bindsComplete;
    } else if (settings.replay || settings.live) {
        topology.adapters.clear();
        krvdlcsim::IndicationStyle style = settings.style.value_or(krvdlcsim::IndicationStyle{});
        if (settings.replay) {
            NDIS_MEDIUM medium = krvdlcsim::MediumOfLinkType(krvdlcsim::CaptureLinkType(*settings.replay));
            topology.adapters.push_back(krvdlcsim::ReplayAdapter(*settings.replay, medium, style, 1));
        }
        if (settings.live)
            topology.adapters.push_back(krvdlcsim::LiveAdapter(*settings.live, style, topology.adapters.size() + 1));
    } else if (settings.style) {
        throw std::runtime_error("--style is for the adapter of --replay or --live");
    }
    for (krvdlcsim::AdapterPlan &plan : topology.adapters) {
        if (settings.bindAfter)
            plan.bindAfter = settings.bindAfter;
        if (settings.unbindAfter)
            plan.unbindAfter = settings.unbindAfter;
        if (settings.rebindAfter)
            plan.rebindAfter = settings.rebindAfter;
    }
    krvdlcsim::CheckTopology(topology);
}

// Index (from 0) of the first replay adapter.
std::optional<size_t> ReplayStation(const krvdlcsim::Topology &topology)
{
    for (size_t n = 0; n < topology.adapters.size(); ++n) {
        if (topology.adapters[n].backend.kind == krvdlcsim::Backend::Kind::Replay)
            return n;
    }
    return std::nullopt;
}

// Set by the signal thread on Ctrl-C or a SIGTERM from outside.
struct Interrupt {
    std::mutex mutex;
    std::condition_variable raised;
    bool set = false;
};

}  // namespace

int main(int argc, char **argv)
{
    Settings settings;
    std::vector<std::vector<std::string>> commandLines;
    int i = 1;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(std::cout);
            return 0;
        }
        auto option = std::find_if(Options().begin(), Options().end(),
                                   [&](const SimOption &option) { return arg == option.name; });
        if (option == Options().end()) {
            std::cerr << "krvdlc-sim: unknown option " << arg << " (krvdlc-sim --help shows the options)\n";
            return 1;
        }
        std::string value;
        if (option->value) {
            if (i + 1 >= argc) {
                std::cerr << "krvdlc-sim: " << arg << " needs a value\n";
                return 1;
            }
            value = argv[++i];
        }
        if (!option->apply(settings, value)) {
            std::cerr << "krvdlc-sim: " << arg << ": not a valid value: " << value << " (" << option->value
                      << ": " << option->help << ")\n";
            return 1;
        }
    }
    for (; i < argc; ++i) {
        if (std::string(argv[i]) == "--")
            commandLines.emplace_back();
        else
            commandLines.back().push_back(argv[i]);
    }
    try {
        BuildTopology(settings);
    } catch (const std::exception &error) {
        std::cerr << "krvdlc-sim: " << error.what() << "\n";
        return 1;
    }
    // One entry per command; the flag says it runs in the background (scripts only).
    std::list<std::pair<krvdlcsim::CommandRun, bool>> commands;
    std::optional<size_t> deliverStation;
    if (settings.deliver) {
        deliverStation = ReplayStation(settings.session.topology);
        if (!deliverStation) {
            std::cerr << "krvdlc-sim: --deliver needs a replay adapter (--replay FILE, or replay = FILE in the topology)\n";
            return 1;
        }
        std::vector<std::string> words = {"capture", std::to_string(*deliverStation + 1), "-w", *settings.deliver,
                                          "--filter", "promiscuous"};
        if (!settings.session.checkDsap)
            words.push_back("--no-dsap-check");
        commands.push_back({{words, {}, {}, -1}, true});
    }
    if (!settings.script.empty()) {
        if (!commandLines.empty()) {
            std::cerr << "krvdlc-sim: give commands either after -- or in --script, not both\n";
            return 1;
        }
        std::ifstream in(settings.script);
        if (!in) {
            std::cerr << "krvdlc-sim: cannot read the script " << settings.script << "\n";
            return 1;
        }
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> words = SplitLine(line);
            bool background = !words.empty() && words.back() == "&";
            if (background)
                words.pop_back();
            if (!words.empty())
                commands.push_back({{words, {}, {}, -1}, background});
        }
    } else {
        for (auto &words : commandLines) {
            if (words.empty()) {
                std::cerr << "krvdlc-sim: an empty command after -- (krvdlc-sim --help shows the usage)\n";
                return 1;
            }
            commands.push_back({{words, {}, {}, -1}, true});
        }
    }
    if (commands.empty() && !ReplayStation(settings.session.topology)) {
        std::cerr << "krvdlc-sim: no command given (e.g. krvdlc-sim -- list)\n";
        return 1;
    }

    // Ctrl-C stops the commands through their stop signals, on a thread of its own.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigaddset(&interrupt, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);

    // Only a 32-bit build can run the x86 image.
    if (settings.session.host.image && sizeof(void *) != 4) {
        std::cerr << "krvdlc-sim: --image needs the 32-bit build: build/host-x86/tools/krvdlc-sim/krvdlc-sim"
                     " (run it under qemu-i386 -L / where the kernel cannot run 32-bit programs)\n";
        return 1;
    }
    std::unique_ptr<krvdlcsim::SimulatedMachine> started;
    try {
        started = std::make_unique<krvdlcsim::SimulatedMachine>(settings.session);
    } catch (const sim::ImageLoadError &error) {
        std::cerr << "krvdlc-sim: " << error.what() << "\n";
        return 3;
    } catch (const krvdlcsim::LiveError &error) {
        std::cerr << "krvdlc-sim: " << error.what() << "\n";
        return 4;
    } catch (const std::runtime_error &error) {
        std::cerr << "krvdlc-sim: " << error.what() << "\n";
        return 1;
    }
    krvdlcsim::SimulatedMachine &machine = *started;
    if (!settings.quiet) {
        std::cout << "krvdlc-sim: KRVDLC " << (machine.driverLoaded() ? "loaded" : "not loaded");
        if (const sim::LoadedImage *image = machine.host().image())
            std::cout << " from the image " << image->name() << " (" << image->relocationsApplied()
                      << " relocations applied, " << image->importsBound() << " imports bound)";
        std::cout << "; stations:\n";
        for (size_t n = 0; n < machine.stations().size(); ++n) {
            const krvdlcsim::StationInfo &station = machine.stations()[n];
            std::cout << "  " << n + 1 << "  " << station.label << "  " << station.address << "  " << station.fileName;
            if (station.backend.kind != krvdlcsim::Backend::Kind::None)
                std::cout << "  " << station.style.Describe()
                          << (station.backend.kind == krvdlcsim::Backend::Kind::Replay ? ", replay of " : ", live on ")
                          << station.backend.source;
            std::cout << "\n";
        }
    }
    // Lines of commands that run beside others carry the command's name (and number).
    std::vector<std::string> prefixes;
    for (auto &[command, background] : commands) {
        std::string prefix = settings.script.empty() ? std::to_string(prefixes.size() + 1) + " " : "";
        prefixes.push_back(commands.size() > 1 && background ? "[" + prefix + command.words[0] + "] " : "");
    }
    krvdlcsim::CommandRunner runner([&](size_t index, bool error, const std::string &line) {
        (error ? std::cerr : std::cout) << prefixes.at(index) << line << "\n" << std::flush;
    });
    Interrupt interrupted;
    std::atomic<bool> finishing{false};
    std::thread signals([&] {
        int signal = 0;
        if (sigwait(&interrupt, &signal) != 0 || finishing.load())
            return;
        runner.Stop();
        machine.StopReplays();
        std::lock_guard lock(interrupted.mutex);
        interrupted.set = true;
        interrupted.raised.notify_all();
    });

    bool trafficStarted = false;
    if (!settings.script.empty() && !deliverStation) {
        machine.StartTraffic();
        trafficStarted = true;
    }
    for (auto &[command, background] : commands) {
        if (!settings.script.empty()) {
            std::cout << "\n$ krvdlcctl";
            for (const std::string &word : command.words)
                std::cout << " " << (word.find(' ') == std::string::npos ? word : '"' + word + '"');
            std::cout << (background ? " &" : "") << "\n" << std::flush;
        }
        size_t index = runner.Start(command);
        if (!background)
            runner.Wait(index);
        // In a script the outside traffic starts once the reader of --deliver listens, else
        // before the first command.
        if (!settings.script.empty() && index == 0 && !trafficStarted) {
            machine.StartTraffic();
            trafficStarted = true;
        }
    }
    if (!trafficStarted)
        machine.StartTraffic();
    if (!settings.quiet && (machine.HasReplay() || machine.HasLive()))
        std::cout << "krvdlc-sim: commands started, outside traffic flowing\n" << std::flush;
    if (machine.HasReplay())
        machine.WaitForReplays();
    // On a live interface, commands that only serve (respond, capture) serve until Ctrl-C.
    bool onlyServing = std::all_of(commands.begin(), commands.end(),
                                   [](const auto &entry) { return krvdlcsim::RunsUntilStopped(entry.first.words); });
    if (machine.HasLive() && onlyServing) {
        std::unique_lock lock(interrupted.mutex);
        interrupted.raised.wait(lock, [&] { return interrupted.set; });
    }
    runner.Finish();

    int status = 0;
    for (auto &command : commands) {
        if (status == 0 && command.first.exitCode != 0)
            status = command.first.exitCode;
    }
    std::optional<krvdlcsim::SimulatedMachine::Delivered> delivered;
    if (deliverStation) {
        krvdlcctl::CaptureFile file;
        std::string error;
        if (krvdlcctl::ReadCaptureFile(*settings.deliver, file, error))
            delivered = krvdlcsim::SimulatedMachine::Delivered{
                *deliverStation, file.frames.size(),
                static_cast<uint64_t>(std::count_if(file.frames.begin(), file.frames.end(),
                                                    [](const auto &frame) { return frame.empty(); }))};
        else
            std::cerr << "krvdlc-sim: --deliver: " << error << "\n";
    }
    std::string report = machine.Finish();
    if (!settings.quiet) {
        for (const krvdlcsim::TrafficReport &traffic : machine.Reports(delivered))
            std::cout << "\n" << krvdlcsim::FormatReport(traffic);
        std::cout << "\nkrvdlc-sim: driver unloaded; pool report:\n" << report;
    }
    PrintDiagnostics(settings, machine.host().machine());
    finishing.store(true);
    pthread_kill(signals.native_handle(), SIGTERM);   // ends the signal thread's wait
    signals.join();
    return status;
}
