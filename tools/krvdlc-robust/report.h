// report.h - every robustness figure from one run: the fault sweep, each fuzz harness for
// a bounded time, and the load test, each in processes of its own.
#pragma once

#include "tools/krvdlc-robust/sweep.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace krvdlc::robust {

struct ReportOptions {
    SweepOptions sweep;
    unsigned jobs = 2;                       // fuzz harnesses at a time
    unsigned fuzzSeconds = 20;               // per harness
    std::filesystem::path fuzzFolder = "build/fuzz/fuzz";    // the *_fuzz programs
    std::filesystem::path corpusFolder = "fuzz/corpus";      // committed corpora, read only
    std::filesystem::path workFolder = "build/robust";       // grown corpora, crashes, logs
    std::filesystem::path testProgram = "build/host/krvdlc_tests";   // runs the load test
    bool skipSweep = false, skipFuzz = false, skipLoad = false;
};

struct FuzzFigures {
    std::string harness;
    uint64_t executions = 0;
    uint64_t crashes = 0;         // 0 or 1: libFuzzer stops at the first
    bool completedTwice = false;  // the crash was a request completed twice
    double seconds = 0;
    std::string crashInput;       // where libFuzzer kept the input that failed
    std::string firstError;       // the line that says why
};

struct LoadFigures {
    bool ran = false;
    bool passed = false;
    uint64_t rounds = 0, requests = 0, indicated = 0, unbinds = 0, lost = 0, leakedBlocks = 0;
    bool completedTwice = false;
    double seconds = 0;
    std::string firstError;
};

struct Report {
    std::optional<SweepResult> sweep;
    std::vector<FuzzFigures> fuzz;
    bool fuzzMissing = false;     // fuzzing asked for and no harness found
    std::optional<LoadFigures> load;

    uint64_t Lost() const;
    uint64_t CompletedTwice() const;
    uint64_t BytesLeaked() const;
    bool Clean() const;
};

Report RunReport(const ReportOptions &options);

// The report as a table, and as one JSON object.
std::string FormatReport(const Report &report);
std::string FormatReportJson(const Report &report);

}  // namespace krvdlc::robust
