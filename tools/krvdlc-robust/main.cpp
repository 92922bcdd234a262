// krvdlc-robust - robustness figures of KRVDLC in the simulated machine.
//
//   krvdlc-robust report [--jobs N] [--fuzz-seconds S] [--fuzz-dir DIR] [--corpus DIR]
//                        [--work-dir DIR] [--tests PROGRAM] [--no-sweep] [--no-fuzz]
//                        [--no-load] [--json]
//   krvdlc-robust sweep [--jobs N] [--limit K] [--sites] [--json]
//   krvdlc-robust run [--fail K]
//
// report: the sweep, then every fuzz harness built (build/fuzz/fuzz/*_fuzz) for S seconds
// each, then the load test (LoadStress in the test program), as one table: fault points
// and violations, fuzz executions and crashes, load rounds and requests, requests lost or
// completed twice and bytes leaked over all of them.
//
// sweep: runs the whole-driver scenario once to count the calls that can fail, then once
// more for every k failing the k-th call (each run a process of its own), and prints
// failure points, runs, violations, requests lost or completed twice, packets held and
// bytes leaked, and which of the driver's failure sites were failed.
//
// Exit status: 0 all figures clean, 1 a violation, a crash, a leak, a lost request or a
// failure site the sweep did not fail, 2 bad usage.
#include "tools/krvdlc-robust/report.h"
#include "tools/krvdlc-robust/sweep.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using krvdlc::robust::SweepOptions;
using krvdlc::robust::SitesNotFailed;
using krvdlc::robust::SweepResult;

void Usage(std::ostream &out)
{
    out << "usage: krvdlc-robust report [--jobs N] [--fuzz-seconds S] [--fuzz-dir DIR] [--corpus DIR]\n"
           "                            [--work-dir DIR] [--tests PROGRAM] [--no-sweep] [--no-fuzz]\n"
           "                            [--no-load] [--json]\n"
           "       krvdlc-robust sweep [--jobs N] [--limit K] [--sites] [--json]\n"
           "       krvdlc-robust run [--fail K]\n"
           "  report   sweep, fuzz harnesses (S s each, default 20) and load test in one table\n"
           "           (defaults: build/fuzz/fuzz, fuzz/corpus, build/robust, build/host/krvdlc_tests)\n"
           "  sweep    fail every failable call of the scenario in turn, one run each\n"
           "  run      one run of the scenario in this process (K: the call to fail)\n"
           "  --jobs   runs at a time (default 2)\n"
           "  --limit  only the first K failure points (default all)\n"
           "  --sites  list the driver's failure sites and whether each was failed\n"
           "  --json   figures as one JSON object\n"
           "exit status: 0 clean, 1 a violation, crash, leak, lost request or site not failed,\n"
           "2 bad usage\n";
}

std::string Quote(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c == '\n' ? ' ' : c;
    }
    return quoted + "\"";
}

void PrintText(const SweepResult &r, bool listSites)
{
    std::printf("fault sweep: %llu failure points, %llu runs (%llu failed the call asked for), "
                "%llu violations\n",
                static_cast<unsigned long long>(r.failurePoints), static_cast<unsigned long long>(r.runs),
                static_cast<unsigned long long>(r.injected), static_cast<unsigned long long>(r.violations));
    std::printf("  requests issued %llu, lost %llu, completed twice %llu; packets held %llu; "
                "bytes leaked %llu\n",
                static_cast<unsigned long long>(r.requests), static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.completedTwice),
                static_cast<unsigned long long>(r.packetsHeld),
                static_cast<unsigned long long>(r.bytesLeaked));
    std::printf("  driver failure sites: %zu reached, %zu of them failed; %zu more reached only "
                "on error paths\n",
                r.sitesReached.size(), r.sitesReached.size() - SitesNotFailed(r), r.sitesOnErrorPaths.size());
    std::printf("  took %.1f s\n", r.seconds);
    for (const auto &site : r.sitesReached)
        if (listSites || r.sitesFailed.count(site) == 0)
            std::printf("  %s %s\n", r.sitesFailed.count(site) ? "failed " : "NOT FAILED", site.c_str());
    if (listSites)
        for (const auto &site : r.sitesOnErrorPaths)
            std::printf("  error path %s\n", site.c_str());
    for (const auto &report : r.reports)
        std::printf("VIOLATION %s", report.c_str());
}

void PrintJson(const SweepResult &r)
{
    std::printf("{\"failurePoints\": %llu, \"runs\": %llu, \"injected\": %llu, \"violations\": %llu, "
                "\"requests\": %llu, \"lost\": %llu, \"completedTwice\": %llu, \"packetsHeld\": %llu, "
                "\"bytesLeaked\": %llu, \"sitesReached\": %zu, \"sitesFailed\": %zu, \"seconds\": %.1f, "
                "\"reports\": [",
                static_cast<unsigned long long>(r.failurePoints), static_cast<unsigned long long>(r.runs),
                static_cast<unsigned long long>(r.injected), static_cast<unsigned long long>(r.violations),
                static_cast<unsigned long long>(r.requests), static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.completedTwice),
                static_cast<unsigned long long>(r.packetsHeld),
                static_cast<unsigned long long>(r.bytesLeaked), r.sitesReached.size(),
                r.sitesReached.size() - SitesNotFailed(r), r.seconds);
    const char *separator = "";
    for (const auto &report : r.reports) {
        std::printf("%s%s", separator, Quote(report).c_str());
        separator = ", ";
    }
    std::printf("]}\n");
}

// run [--fail K]: one run of the scenario in this process, failing the K-th call.
int RunOne(int argc, char **argv)
{
    krvdlc::ScenarioOptions options;
    options.recordSites = true;
    if (argc == 4 && std::strcmp(argv[2], "--fail") == 0) {
        options.failCall = std::strtoull(argv[3], nullptr, 10);
    } else if (argc != 2) {
        Usage(std::cerr);
        return 2;
    }
    krvdlc::ScenarioOutcome outcome = krvdlc::RunScenario(options);
    std::printf("%llu failable calls, %llu requests, %llu lost, %llu packets held, %llu bytes leaked\n",
                static_cast<unsigned long long>(outcome.calls),
                static_cast<unsigned long long>(outcome.requests),
                static_cast<unsigned long long>(outcome.lost),
                static_cast<unsigned long long>(outcome.packetsHeld),
                static_cast<unsigned long long>(outcome.bytesLeaked));
    if (outcome.injected)
        std::printf("failed: %s\n", krvdlc::robust::DescribeSite(outcome.failedSite).c_str());
    for (const std::string &problem : outcome.problems)
        std::printf("problem: %s\n", problem.c_str());
    return outcome.problems.empty() ? 0 : 1;
}

// report [...]: every figure from one run; exit 0 only when all are clean.
int RunReportCommand(int argc, char **argv)
{
    krvdlc::robust::ReportOptions options;
    bool json = false;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        uint64_t number = 0;
        auto parseNumber = [&] {
            char *end = nullptr;
            number = std::strtoull(argv[i + 1], &end, 10);
            return end != argv[i + 1] && *end == '\0' && number > 0;
        };
        if (arg == "--json") {
            json = true;
        } else if (arg == "--no-sweep") {
            options.skipSweep = true;
        } else if (arg == "--no-fuzz") {
            options.skipFuzz = true;
        } else if (arg == "--no-load") {
            options.skipLoad = true;
        } else if (arg == "--jobs" && hasValue && parseNumber()) {
            options.jobs = options.sweep.jobs = static_cast<unsigned>(number);
            i++;
        } else if (arg == "--fuzz-seconds" && hasValue && parseNumber()) {
            options.fuzzSeconds = static_cast<unsigned>(number);
            i++;
        } else if (arg == "--fuzz-dir" && hasValue) {
            options.fuzzFolder = argv[++i];
        } else if (arg == "--corpus" && hasValue) {
            options.corpusFolder = argv[++i];
        } else if (arg == "--work-dir" && hasValue) {
            options.workFolder = argv[++i];
        } else if (arg == "--tests" && hasValue) {
            options.testProgram = argv[++i];
        } else {
            std::cerr << "krvdlc-robust: bad argument '" << arg << "'; see krvdlc-robust --help\n";
            return 2;
        }
    }
    krvdlc::robust::Report report = krvdlc::robust::RunReport(options);
    std::fputs((json ? FormatReportJson(report) : FormatReport(report)).c_str(), stdout);
    return report.Clean() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "run") == 0)
        return RunOne(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "report") == 0)
        return RunReportCommand(argc, argv);
    if (argc < 2 || std::strcmp(argv[1], "sweep") != 0) {
        Usage(argc < 2 || std::strcmp(argv[1], "--help") != 0 ? std::cerr : std::cout);
        return argc >= 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    SweepOptions options;
    bool json = false, sites = false;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        auto number = [&](uint64_t &value) {
            if (i + 1 >= argc)
                return false;
            char *end = nullptr;
            value = std::strtoull(argv[++i], &end, 10);
            return end != nullptr && *end == '\0';
        };
        uint64_t value = 0;
        if (arg == "--json") {
            json = true;
        } else if (arg == "--sites") {
            sites = true;
        } else if (arg == "--jobs" && number(value) && value > 0) {
            options.jobs = static_cast<unsigned>(value);
        } else if (arg == "--limit" && number(value)) {
            options.limit = value;
        } else {
            std::cerr << "krvdlc-robust: bad argument '" << arg << "'; see krvdlc-robust --help\n";
            return 2;
        }
    }
    SweepResult result = krvdlc::robust::RunSweep(options);
    if (json)
        PrintJson(result);
    else
        PrintText(result, sites);
    return krvdlc::robust::SweepClean(result, options.limit) ? 0 : 1;
}
