// report.cpp - the robustness report: runs the sweep, the fuzz harnesses and the load
// test, each program in a child process with its output in a log of its own, and reads
// the figures from what they print.
#include "tools/krvdlc-robust/report.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace krvdlc::robust {

namespace fs = std::filesystem;

namespace {

struct Command {
    std::vector<std::string> arguments;
    fs::path log;                 // stdout and stderr
    unsigned timeoutSeconds = 0;
};

struct Finished {
    int status = 0;               // as waitpid gives it
    bool timedOut = false;
    double seconds = 0;
    std::string output;
};

pid_t Start(const Command &command)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int log = open(command.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        close(log);
    }
    std::vector<char *> argv;
    for (const std::string &argument : command.arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    std::perror(argv[0]);
    _exit(127);
}

std::string ReadFile(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the commands, `jobs` at a time; a command past its time limit is killed.
std::vector<Finished> RunAll(const std::vector<Command> &commands, unsigned jobs)
{
    using Clock = std::chrono::steady_clock;
    struct Running {
        size_t index;
        pid_t pid;
        Clock::time_point start;
    };
    std::vector<Finished> finished(commands.size());
    std::vector<Running> running;
    size_t next = 0;
    while (next < commands.size() || !running.empty()) {
        while (next < commands.size() && running.size() < std::max(jobs, 1u)) {
            running.push_back({next, Start(commands[next]), Clock::now()});
            next++;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (auto it = running.begin(); it != running.end();) {
            Finished &done = finished[it->index];
            double seconds = std::chrono::duration<double>(Clock::now() - it->start).count();
            unsigned limit = commands[it->index].timeoutSeconds;
            if (limit != 0 && seconds > limit && !done.timedOut) {
                kill(it->pid, SIGKILL);
                done.timedOut = true;
            }
            if (waitpid(it->pid, &done.status, WNOHANG) != it->pid) {
                ++it;
                continue;
            }
            done.seconds = seconds;
            done.output = ReadFile(commands[it->index].log);
            it = running.erase(it);
        }
    }
    return finished;
}

bool Succeeded(const Finished &run)
{
    return !run.timedOut && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
}

// The first line of `text` that contains one of `markers`.
std::string FirstLineWith(const std::string &text, std::initializer_list<const char *> markers)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        for (const char *marker : markers)
            if (line.find(marker) != std::string::npos)
                return line;
    return {};
}

uint64_t Number(const std::smatch &match, size_t group)
{
    return std::stoull(match[group].str());
}

std::vector<FuzzFigures> RunFuzz(const ReportOptions &options, bool *missing)
{
    std::vector<fs::path> programs;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(options.fuzzFolder, error)) {
        std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.size() > 5 && name.compare(name.size() - 5, 5, "_fuzz") == 0)
            programs.push_back(entry.path());
    }
    std::sort(programs.begin(), programs.end());
    *missing = programs.empty();

    std::vector<Command> commands;
    std::vector<FuzzFigures> figures;
    for (const fs::path &program : programs) {
        std::string harness = program.filename().string();
        harness.resize(harness.size() - 5);
        fs::path corpus = options.workFolder / "corpus" / harness;
        fs::path crashes = options.workFolder / "crashes";
        fs::create_directories(corpus);
        fs::create_directories(crashes);
        Command command;
        // New inputs go to the work corpus; the committed one is only read.
        command.arguments = {program.string(),
                             "-max_total_time=" + std::to_string(options.fuzzSeconds),
                             "-timeout=30",
                             "-max_len=4096",
                             "-print_final_stats=1",
                             "-artifact_prefix=" + (crashes / (harness + "-")).string(),
                             corpus.string()};
        fs::path committed = options.corpusFolder / harness;
        if (fs::is_directory(committed))
            command.arguments.push_back(committed.string());
        command.log = options.workFolder / (harness + "_fuzz.log");
        command.timeoutSeconds = options.fuzzSeconds + 120;
        commands.push_back(command);
        FuzzFigures entry;
        entry.harness = harness;
        figures.push_back(entry);
    }
    std::vector<Finished> runs = RunAll(commands, options.jobs);
    static const std::regex executed(R"(stat::number_of_executed_units:\s*(\d+))");
    static const std::regex written(R"(Test unit written to (\S+))");
    for (size_t i = 0; i < runs.size(); i++) {
        FuzzFigures &f = figures[i];
        const Finished &run = runs[i];
        std::smatch match;
        if (std::regex_search(run.output, match, executed))
            f.executions = Number(match, 1);
        f.seconds = run.seconds;
        if (!Succeeded(run)) {
            f.crashes = 1;
            f.completedTwice = run.output.find("completed twice") != std::string::npos;
            if (std::regex_search(run.output, match, written))
                f.crashInput = match[1].str();
            f.firstError = run.timedOut ? "did not stop in time"
                                        : FirstLineWith(run.output, {"_fuzz: ", "ERROR:", "STOP", "deadly signal"});
            if (f.firstError.empty())
                f.firstError = "ended with status " + std::to_string(run.status) + ", see " +
                               commands[i].log.string();
        }
    }
    return figures;
}

LoadFigures RunLoad(const ReportOptions &options)
{
    LoadFigures load;
    fs::create_directories(options.workFolder);
    Command command;
    command.arguments = {options.testProgram.string(), "--gtest_filter=LoadStress.*"};
    command.log = options.workFolder / "load.log";
    command.timeoutSeconds = 600;
    Finished run = RunAll({command}, 1).front();
    load.ran = true;
    load.seconds = run.seconds;
    load.passed = Succeeded(run) && run.output.find("[  PASSED  ] 1 test") != std::string::npos;
    static const std::regex line(
        R"(load: (\d+) rounds, (\d+) requests .*?, (\d+) frames indicated, (\d+) unbinds .*?, (\d+) lost, (\d+) blocks leaked)");
    std::smatch match;
    if (std::regex_search(run.output, match, line)) {
        load.rounds = Number(match, 1);
        load.requests = Number(match, 2);
        load.indicated = Number(match, 3);
        load.unbinds = Number(match, 4);
        load.lost = Number(match, 5);
        load.leakedBlocks = Number(match, 6);
    } else {
        load.passed = false;
    }
    load.completedTwice = run.output.find("completed twice") != std::string::npos;
    if (!load.passed) {
        load.firstError = FirstLineWith(run.output, {"Failure", "STOP", "ERROR:", "not found"});
        if (load.firstError.empty())
            load.firstError = "see " + command.log.string();
    }
    return load;
}

}  // namespace

uint64_t Report::Lost() const
{
    return (sweep ? sweep->lost : 0) + (load ? load->lost : 0);
}

uint64_t Report::CompletedTwice() const
{
    uint64_t twice = sweep ? sweep->completedTwice : 0;
    for (const FuzzFigures &f : fuzz)
        twice += f.completedTwice ? 1 : 0;
    return twice + (load && load->completedTwice ? 1 : 0);
}

uint64_t Report::BytesLeaked() const
{
    return sweep ? sweep->bytesLeaked : 0;
}

bool Report::Clean() const
{
    bool clean = !fuzzMissing && Lost() == 0 && CompletedTwice() == 0 && BytesLeaked() == 0;
    if (sweep)
        clean = clean && SweepClean(*sweep, 0);
    for (const FuzzFigures &f : fuzz)
        clean = clean && f.crashes == 0 && f.executions > 0;
    if (load)
        clean = clean && load->passed && load->leakedBlocks == 0;
    return clean;
}

Report RunReport(const ReportOptions &options)
{
    Report report;
    if (!options.skipSweep)
        report.sweep = RunSweep(options.sweep);
    if (!options.skipFuzz)
        report.fuzz = RunFuzz(options, &report.fuzzMissing);
    if (!options.skipLoad)
        report.load = RunLoad(options);
    return report;
}

std::string FormatReport(const Report &report)
{
    std::string text;
    char line[512];
    auto row = [&](const std::string &what, const std::string &figures, bool ok) {
        std::snprintf(line, sizeof line, "%-16s %-70s %s\n", what.c_str(), figures.c_str(), ok ? "ok" : "FAIL");
        text += line;
    };
    std::snprintf(line, sizeof line, "%-16s %-70s %s\n", "check", "figures", "result");
    text += line;
    if (report.sweep) {
        const SweepResult &s = *report.sweep;
        size_t notFailed = SitesNotFailed(s);
        std::snprintf(line, sizeof line, "%" PRIu64 " failure points, %" PRIu64 " violations, %zu/%zu sites failed, %.0f s",
                      s.failurePoints, s.violations, s.sitesReached.size() - notFailed, s.sitesReached.size(),
                      s.seconds);
        row("fault sweep", line, SweepClean(s, 0));
    }
    for (const FuzzFigures &f : report.fuzz) {
        std::snprintf(line, sizeof line, "%" PRIu64 " executions, %" PRIu64 " crashes, %.0f s", f.executions,
                      f.crashes, f.seconds);
        row("fuzz " + f.harness, line, f.crashes == 0 && f.executions > 0);
    }
    if (report.fuzzMissing)
        row("fuzz", "no harness built: bash fuzz/run.sh --build-only", false);
    if (report.load) {
        const LoadFigures &l = *report.load;
        std::snprintf(line, sizeof line,
                      "%" PRIu64 " rounds, %" PRIu64 " requests, %" PRIu64 " frames, %" PRIu64 " unbinds, %.0f s",
                      l.rounds, l.requests, l.indicated, l.unbinds, l.seconds);
        row("load", line, l.passed && l.leakedBlocks == 0);
    }
    std::snprintf(line, sizeof line, "%" PRIu64 " lost, %" PRIu64 " completed twice, %" PRIu64 " bytes leaked, %" PRIu64
                  " blocks left by the load", report.Lost(), report.CompletedTwice(), report.BytesLeaked(),
                  report.load ? report.load->leakedBlocks : 0);
    row("requests, pool", line, report.Lost() == 0 && report.CompletedTwice() == 0 && report.BytesLeaked() == 0 &&
                                   (!report.load || report.load->leakedBlocks == 0));
    if (report.sweep)
        for (const std::string &violation : report.sweep->reports)
            text += "sweep: " + violation;
    for (const FuzzFigures &f : report.fuzz)
        if (f.crashes != 0)
            text += "fuzz " + f.harness + ": " + f.firstError + (f.crashInput.empty() ? "" : "; input " + f.crashInput) +
                    " (copy it to fuzz/corpus/" + f.harness + "/ once fixed)\n";
    if (report.load && !report.load->passed)
        text += "load: " + report.load->firstError + "\n";
    text += report.Clean() ? "robustness: clean\n" : "robustness: NOT clean\n";
    return text;
}

std::string FormatReportJson(const Report &report)
{
    std::ostringstream out;
    out << "{\"clean\": " << (report.Clean() ? "true" : "false") << ", \"lost\": " << report.Lost()
        << ", \"completedTwice\": " << report.CompletedTwice() << ", \"bytesLeaked\": " << report.BytesLeaked();
    if (report.sweep)
        out << ", \"sweep\": {\"failurePoints\": " << report.sweep->failurePoints
            << ", \"violations\": " << report.sweep->violations
            << ", \"sitesReached\": " << report.sweep->sitesReached.size()
            << ", \"sitesNotFailed\": " << SitesNotFailed(*report.sweep) << "}";
    out << ", \"fuzz\": [";
    const char *separator = "";
    for (const FuzzFigures &f : report.fuzz) {
        out << separator << "{\"harness\": \"" << f.harness << "\", \"executions\": " << f.executions
            << ", \"crashes\": " << f.crashes << "}";
        separator = ", ";
    }
    out << "]";
    if (report.load)
        out << ", \"load\": {\"passed\": " << (report.load->passed ? "true" : "false")
            << ", \"rounds\": " << report.load->rounds << ", \"requests\": " << report.load->requests
            << ", \"lost\": " << report.load->lost << ", \"blocksLeaked\": " << report.load->leakedBlocks << "}";
    out << "}\n";
    return out.str();
}

}  // namespace krvdlc::robust
