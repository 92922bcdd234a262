// fuzz_replay_test.cpp - the committed fuzz corpus (fuzz/corpus/<target>/) replayed through
// the same per-input code the libFuzzer targets run, so that every build checks it
// without clang. One test per target; each file is one input and must pass.
#include "fuzz/filter_target.h"
#include "fuzz/control_target.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path CorpusFolder(const char *target)
{
    return fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / target;
}

// The corpus files in name order, each with its bytes.
std::vector<std::pair<std::string, std::vector<uint8_t>>> Corpus(const char *target)
{
    std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs;
    for (const fs::directory_entry &entry : fs::directory_iterator(CorpusFolder(target))) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        inputs.emplace_back(entry.path().filename().string(),
                            std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

TEST(FuzzReplay, FilterCorpusMatchesTheRules)
{
    auto inputs = Corpus("filter");
    ASSERT_GE(inputs.size(), 8u) << CorpusFolder("filter");
    krvdlc::fuzz::FilterTarget target;
    for (const auto &[name, bytes] : inputs)
        EXPECT_EQ(target.Run(bytes.data(), bytes.size()), "") << name;
}

TEST(FuzzReplay, ControlCorpusLeavesTheDriverSound)
{
    auto inputs = Corpus("control");
    ASSERT_GE(inputs.size(), 6u) << CorpusFolder("control");
    for (const auto &[name, bytes] : inputs)
        EXPECT_EQ(krvdlc::fuzz::RunControlInput(bytes.data(), bytes.size()), "") << name;
}

}  // namespace
