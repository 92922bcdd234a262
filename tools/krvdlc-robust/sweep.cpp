// sweep.cpp - the low-resources sweep: every run in a child process, so that a run the
// simulator stops (a bug-check aborts) is counted and the sweep goes on.
#include "tools/krvdlc-robust/sweep.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace krvdlc::robust {

namespace {

// ---- one run in a child -----------------------------------------------------------------

// The child's report, one fact a line.
std::string Serialize(const ScenarioOutcome &outcome)
{
    std::ostringstream out;
    auto site = [&](const char *kind, const SiteRecord &s) {
        out << kind << ' ' << s.routine;
        for (const void *address : s.returns)
            out << ' ' << reinterpret_cast<uintptr_t>(address);
        out << '\n';
    };
    out << "calls " << outcome.calls << '\n'
        << "requests " << outcome.requests << '\n'
        << "lost " << outcome.lost << '\n'
        << "packets " << outcome.packetsHeld << '\n'
        << "leaked " << outcome.bytesLeaked << '\n';
    if (outcome.injected)
        site("failed", outcome.failedSite);
    for (const SiteRecord &s : outcome.sites)
        site("site", s);
    for (const std::string &problem : outcome.problems)
        out << "problem " << problem << '\n';
    return out.str();
}

struct ChildReport {
    uint64_t calls = 0, requests = 0, lost = 0, packets = 0, leaked = 0;
    bool injected = false;
    SiteRecord failed;
    std::vector<SiteRecord> sites;
    std::vector<std::string> problems;
    bool complete = false;        // the child got to the end of its report
};

ChildReport Parse(const std::string &text)
{
    ChildReport report;
    std::istringstream in(text);
    std::string line;
    auto readSite = [](std::istringstream &fields) {
        SiteRecord s;
        fields >> s.routine;
        for (uintptr_t address = 0; fields >> address;)
            s.returns.push_back(reinterpret_cast<const void *>(address));
        return s;
    };
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "calls") fields >> report.calls;
        else if (key == "requests") fields >> report.requests;
        else if (key == "lost") fields >> report.lost;
        else if (key == "packets") fields >> report.packets;
        else if (key == "leaked") fields >> report.leaked;
        else if (key == "failed") { report.injected = true; report.failed = readSite(fields); }
        else if (key == "site") report.sites.push_back(readSite(fields));
        else if (key == "problem") report.problems.push_back(line.substr(8));
        else if (key == "end") report.complete = true;
    }
    return report;
}

struct Child {
    pid_t pid = -1;
    uint64_t k = 0;               // the call failed by number (0: none or by site)
    std::string what;             // the run in words, for reports
    int output = -1;              // read end of the report pipe
    std::string report;
    std::filesystem::path stderrFile;
    std::chrono::steady_clock::time_point start;
};

Child Spawn(const ScenarioOptions &options, const std::string &what,
            const std::filesystem::path &folder, uint64_t serial)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe failed");
    Child child;
    child.k = options.failCall;
    child.what = what;
    child.stderrFile = folder / ("run-" + std::to_string(serial) + ".err");
    child.start = std::chrono::steady_clock::now();
    std::fflush(nullptr);
    child.pid = fork();
    if (child.pid < 0)
        throw std::runtime_error("fork failed");
    if (child.pid == 0) {
        close(pipeEnds[0]);
        int err = open(child.stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err >= 0) {
            dup2(err, STDERR_FILENO);
            close(err);
        }
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        ScenarioOutcome outcome = RunScenario(options);
        std::string text = Serialize(outcome) + "end\n";
        for (size_t at = 0; at < text.size();) {
            ssize_t n = write(pipeEnds[1], text.data() + at, text.size() - at);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
        _exit(outcome.problems.empty() ? 0 : 1);
    }
    close(pipeEnds[1]);
    fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    child.output = pipeEnds[0];
    return child;
}

// Reads what the child wrote so far; true once the pipe is closed.
bool Drain(Child &child)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = read(child.output, buffer, sizeof buffer);
        if (n > 0) {
            child.report.append(buffer, static_cast<size_t>(n));
            continue;
        }
        return n == 0 || (errno != EAGAIN && errno != EINTR);
    }
}

// The first lines of the bug-check report a stopped child left on stderr.
std::string StopReport(const std::filesystem::path &file)
{
    std::ifstream in(file);
    std::string line, text;
    int lines = 0;
    while (std::getline(in, line) && lines < 12) {
        if (line.empty())
            continue;
        text += "    " + line + "\n";
        lines++;
    }
    return text;
}

// ---- naming call sites --------------------------------------------------------------------

// "function (file:line)" for each address, through addr2line on this program.
std::unordered_map<const void *, std::string> Symbolize(const std::set<const void *> &addresses)
{
    std::unordered_map<const void *, std::string> names;
    if (addresses.empty())
        return names;
    std::string command = "addr2line -f -C -e /proc/" + std::to_string(getpid()) + "/exe";
    std::vector<const void *> order(addresses.begin(), addresses.end());
    for (const void *address : order) {
        Dl_info info{};
        uintptr_t base = dladdr(address, &info) != 0 ? reinterpret_cast<uintptr_t>(info.dli_fbase) : 0;
        char hex[32];
        // The return address is past the call; the call itself is one byte before.
        std::snprintf(hex, sizeof hex, " 0x%zx", static_cast<size_t>(reinterpret_cast<uintptr_t>(address) - base - 1));
        command += hex;
    }
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return names;
    char line[1024];
    for (const void *address : order) {
        std::string function, location;
        if (std::fgets(line, sizeof line, pipe) == nullptr)
            break;
        function = line;
        if (std::fgets(line, sizeof line, pipe) == nullptr)
            break;
        location = line;
        while (!function.empty() && function.back() == '\n') function.pop_back();
        while (!location.empty() && location.back() == '\n') location.pop_back();
        // The folder and file: "binding/bind.cpp:120".
        if (auto last = location.rfind('/'); last != std::string::npos && last > 0)
            if (auto folderStart = location.rfind('/', last - 1); folderStart != std::string::npos)
                location = location.substr(folderStart + 1);
        auto paren = function.find('(');
        names[address] = function.substr(0, paren) + " (" + location + ")";
    }
    pclose(pipe);
    return names;
}

// An inline routine of the platform headers (MmGetSystemAddressForMdlSafe,
// NdisQueryBufferSafe ...): the driver's own routines never carry these prefixes.
bool PlatformHelper(const std::string &name)
{
    for (const char *prefix : {"Mm", "Ndis", "Io", "Ex", "Ke", "Rtl", "Zw", "Ps"})
        if (name.rfind(prefix, 0) == 0)
            return true;
    return name.find("(platform/") != std::string::npos;
}

// The driver's call site: the first caller that is not an inline helper of the platform
// headers ("ExAllocatePoolWithTag in KrvDlcBindAdapter (binding/bind.cpp:17)").
SiteName NameSite(const SiteRecord &site,
                  const std::unordered_map<const void *, std::string> &names)
{
    std::string helpers;
    for (const void *address : site.returns) {
        auto it = names.find(address);
        std::string name = it == names.end() ? std::string("?") : it->second;
        if (!PlatformHelper(name))
            return site.routine + " in " + name + helpers;
        helpers += " via " + name.substr(0, name.find(' '));
    }
    return site.routine + " in ?" + helpers;   // the caller was not found on the stack
}

}  // namespace

SiteName DescribeSite(const SiteRecord &site)
{
    std::set<const void *> addresses(site.returns.begin(), site.returns.end());
    return NameSite(site, Symbolize(addresses));
}

SweepResult RunSweep(const SweepOptions &options)
{
    const auto start = std::chrono::steady_clock::now();
    auto folder = std::filesystem::temp_directory_path() /
                  ("krvdlc-sweep-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);

    SweepResult result;
    // The driver's failure sites are those of the run without a failure; a run with one
    // also reaches the calls its error paths make, which no single-failure run can fail.
    std::vector<SiteRecord> reached, failed, onErrorPaths;
    struct Run {
        ScenarioOptions options;
        std::string what;
    };
    std::deque<Run> todo{{ScenarioOptions{0, true, {}}, "the run without a failure"}};
    std::vector<Child> running;
    bool counted = false, targeted = false;
    uint64_t serial = 0;

    auto finish = [&](Child &child, int status, bool hung) {
        ChildReport report = Parse(child.report);
        bool clean = !hung && WIFEXITED(status) && WEXITSTATUS(status) == 0 && report.complete;
        if (!counted) {
            result.failurePoints = report.calls;
            reached = report.sites;
            uint64_t last = options.limit != 0 ? std::min(options.limit, report.calls) : report.calls;
            for (uint64_t k = 1; k <= last; k++)
                todo.push_back({ScenarioOptions{k, true, {}}, "run failing call " + std::to_string(k)});
            counted = true;
        } else {
            result.runs++;
            if (report.injected) {
                result.injected++;
                failed.push_back(report.failed);
            }
            onErrorPaths.insert(onErrorPaths.end(), report.sites.begin(), report.sites.end());
        }
        result.requests += report.requests;
        result.lost += report.lost;
        result.packetsHeld += report.packets;
        result.bytesLeaked += report.leaked;
        if (!clean) {
            result.violations++;
            std::string text = StopReport(child.stderrFile);
            if (text.find("completed twice") != std::string::npos)
                result.completedTwice++;
            std::string why = hung ? "hung" : !WIFEXITED(status) ? "stopped" : "ended with problems";
            for (const std::string &problem : report.problems)
                why += "; " + problem;
            result.reports.push_back(child.what + ": " + why + "\n" + text);
        }
        std::filesystem::remove(child.stderrFile);
    };

    for (;;) {
        // The numbered runs may not all meet the call they were meant for (threads make
        // the order of calls vary a little): each site no run failed gets a run of its own.
        if (todo.empty() && running.empty() && counted && !targeted && options.limit == 0) {
            targeted = true;
            std::set<SiteRecord> missing(reached.begin(), reached.end());
            for (const SiteRecord &site : failed)
                missing.erase(site);
            for (const SiteRecord &site : missing)
                todo.push_back({ScenarioOptions{0, true, site}, "run failing the first " + site.routine + " of one site"});
        }
        if (todo.empty() && running.empty())
            break;
        while (!todo.empty() && running.size() < std::max(1u, options.jobs) && (counted || running.empty())) {
            running.push_back(Spawn(todo.front().options, todo.front().what, folder, ++serial));
            todo.pop_front();
        }
        std::vector<pollfd> fds;
        for (const Child &child : running)
            fds.push_back({child.output, POLLIN, 0});
        poll(fds.data(), fds.size(), 200);
        for (size_t i = 0; i < running.size();) {
            Child &child = running[i];
            bool closed = Drain(child);
            bool hung = std::chrono::steady_clock::now() - child.start >
                        std::chrono::seconds(options.timeoutSeconds);
            if (!closed && !hung) {
                i++;
                continue;
            }
            if (hung)
                kill(child.pid, SIGKILL);
            int status = 0;
            waitpid(child.pid, &status, 0);
            close(child.output);
            finish(child, status, hung && !closed);
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    std::filesystem::remove_all(folder);

    std::set<const void *> addresses;
    for (const auto *list : {&reached, &failed, &onErrorPaths})
        for (const SiteRecord &site : *list)
            addresses.insert(site.returns.begin(), site.returns.end());
    auto names = Symbolize(addresses);
    for (const SiteRecord &site : reached)
        result.sitesReached.insert(NameSite(site, names));
    for (const SiteRecord &site : failed)
        result.sitesFailed.insert(NameSite(site, names));
    for (const SiteRecord &site : onErrorPaths) {
        SiteName name = NameSite(site, names);
        if (result.sitesReached.count(name) == 0)
            result.sitesOnErrorPaths.insert(name);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

size_t SitesNotFailed(const SweepResult &result)
{
    size_t missing = 0;
    for (const auto &site : result.sitesReached)
        missing += result.sitesFailed.count(site) == 0 ? 1 : 0;
    return missing;
}

bool SweepClean(const SweepResult &result, uint64_t limit)
{
    return result.violations == 0 && result.lost == 0 && result.bytesLeaked == 0 && result.packetsHeld == 0 &&
           result.failurePoints > 0 && (limit != 0 || SitesNotFailed(result) == 0);
}

}  // namespace krvdlc::robust
