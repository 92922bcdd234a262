// kernel_test_support.h - helpers shared by the kernel-core tests (tests/sim/kernel_*).
#pragma once

#include "sim/machine.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::test {

// One deliberately broken call and the bug-check it must raise.
struct StopCase {
    std::string name;
    std::function<void(Machine &)> body;
    std::string report;     // regular expression matched against the stop report
};

// Runs each case in a death-test child on a machine of its own, so the parent process
// never holds a machine (or its threads) while it forks.
inline void ExpectStops(const std::vector<StopCase> &cases)
{
    for (const StopCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(
            {
                Machine machine;
                c.body(machine);
            },
            c.report);
    }
}

// `text` as a regular expression that matches it literally.
inline std::string Literal(std::string_view text)
{
    std::string escaped;
    for (char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos)
            escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

// A counted string that owns its characters.
class CountedName {
public:
    explicit CountedName(std::u16string text) : text_(std::move(text))
    {
        counted_.Length = static_cast<USHORT>(text_.size() * sizeof(char16_t));
        counted_.MaximumLength = static_cast<USHORT>(counted_.Length + sizeof(char16_t));
        counted_.Buffer = text_.data();
    }
    CountedName(const CountedName &) = delete;
    CountedName &operator=(const CountedName &) = delete;
    PUNICODE_STRING get() { return &counted_; }

private:
    std::u16string text_;
    UNICODE_STRING counted_{};
};

}  // namespace sim::test
