// fuzz_replay_test.cpp - the committed fuzz corpora (fuzz/corpus/<target>/) replayed
// through the same per-input code the libFuzzer targets run, so that every build checks
// them without clang. Seeds and every input that once found a fault (kept under the name
// of what it found) must pass.
#include "fuzz/config_target.h"
#include "fuzz/control_target.h"
#include "fuzz/filter_target.h"
#include "fuzz/receive_target.h"
#include "fuzz/sequence_target.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Runner = std::function<std::string(const uint8_t *, size_t)>;

struct Harness {
    const char *target;
    size_t minimumInputs;
    std::function<Runner()> makeRunner;   // one runner per replay (the filter keeps a machine)
};

const Harness kHarnesses[] = {
    {"filter", 8,
     [] {
         auto target = std::make_shared<krvdlc::fuzz::FilterTarget>();
         return Runner([target](const uint8_t *data, size_t size) { return target->Run(data, size); });
     }},
    {"control", 6, [] { return Runner(krvdlc::fuzz::RunControlInput); }},
    {"receive", 8, [] { return Runner(krvdlc::fuzz::ReceiveTarget::Run); }},
    {"sequence", 8, [] { return Runner(krvdlc::fuzz::SequenceTarget::Run); }},
    {"config", 8, [] { return Runner(krvdlc::fuzz::ConfigTarget::Run); }},
};

fs::path CorpusFolder(const char *target)
{
    return fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / target;
}

class FuzzReplay : public testing::TestWithParam<Harness> {};

TEST_P(FuzzReplay, CorpusPasses)
{
    const Harness &harness = GetParam();
    std::vector<fs::path> files;
    for (const fs::directory_entry &entry : fs::directory_iterator(CorpusFolder(harness.target)))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), harness.minimumInputs) << CorpusFolder(harness.target);
    Runner run = harness.makeRunner();
    for (const fs::path &file : files) {
        std::ifstream in(file, std::ios::binary);
        std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(run(bytes.data(), bytes.size()), "") << file.filename();
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(kHarnesses),
                         [](const testing::TestParamInfo<Harness> &info) { return info.param.target; });

}  // namespace
