// krvdlc-sim - a simulated machine with KRVDLC loaded and the default topology bound, in
// which krvdlcctl commands run, each on its own thread; at the end the driver is unloaded
// and the pool report printed.
//
//   krvdlc-sim [options] -- respond 2 -- test 1 02:00:4B:52:00:02 --count 5
//   krvdlc-sim [options] --script FILE
//
// Exit status: the first non-zero exit code of the commands (in the order given), else 0;
// 1 for a usage error of krvdlc-sim itself.
#include "tools/krvdlc-sim/session.h"

#include "sim/files.h"
#include "tools/common/event_viewer.h"
#include "tools/krvdlcctl/commands.h"

#include <algorithm>
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

struct Settings {
    krvdlcsim::SessionOptions session;
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
        {"--quiet", nullptr, "print only the commands' output (no topology, no pool report)",
         [](Settings &s, const std::string &) { s.quiet = true; return true; }},
    };
    return options;
}

void PrintUsage(std::ostream &out)
{
    out << "usage: krvdlc-sim [OPTIONS] -- COMMAND ARGS [-- COMMAND ARGS]...\n"
           "       krvdlc-sim [OPTIONS] --script FILE\n"
           "\n"
           "Starts a simulated machine, loads KRVDLC, binds two Ethernet stations on one segment\n"
           "(1, 2) and two Token Ring stations on a ring (3, 4), runs krvdlcctl commands in it and\n"
           "at the end unloads the driver and prints the pool report. Commands given with '--'\n"
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
            std::cerr << "krvdlc-sim: " << arg << ": not a valid value: " << value << "\n";
            return 1;
        }
    }
    for (; i < argc; ++i) {
        if (std::string(argv[i]) == "--")
            commandLines.emplace_back();
        else
            commandLines.back().push_back(argv[i]);
    }
    // One entry per command; the flag says it runs in the background (scripts only).
    std::list<std::pair<krvdlcsim::CommandRun, bool>> commands;
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
    if (commands.empty()) {
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
            std::cout << "  " << n + 1 << "  " << station.label << "  " << station.address << "  " << station.fileName << "\n";
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
    std::thread signals([&] {
        int signal = 0;
        if (sigwait(&interrupt, &signal) == 0 && signal == SIGINT)
            runner.Stop();
    });

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
    }
    runner.Finish();

    int status = 0;
    for (auto &command : commands) {
        if (status == 0 && command.first.exitCode != 0)
            status = command.first.exitCode;
    }
    std::string report = machine.Finish();
    if (!settings.quiet)
        std::cout << "\nkrvdlc-sim: driver unloaded; pool report:\n" << report;
    PrintDiagnostics(settings, machine.host().machine());
    pthread_kill(signals.native_handle(), SIGTERM);   // ends the signal thread's wait
    signals.join();
    return status;
}
