// krvdlcctl.exe under Wine, where the machine's Wine can run 32-bit Windows programs: the
// help runs, and `list` on a machine without the driver says "driver not loaded" with exit
// code 3. Skipped, saying why, where Wine or the program is missing or Wine cannot run
// 32-bit programs (Debian's wine64 alone cannot; wine32 needs a kernel that runs i386).
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

struct CommandRun {
    int exit_code = -1;
    std::string output;
};

CommandRun RunCommand(const std::string& command) {
    CommandRun run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 512> chunk;
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) run.output += chunk.data();
    const int status = pclose(pipe);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string FindWine() {
    for (const char* candidate : {"/usr/bin/wine", "/usr/lib/wine/wine", "/usr/lib/wine/wine64"})
        if (std::filesystem::exists(candidate)) return candidate;
    return {};
}

TEST(WineImages, KrvdlcctlHelpAndListWithoutTheDriver) {
    const std::filesystem::path program = std::filesystem::path(KRVDLC_USER_BUILD_DIR) / "krvdlcctl.exe";
    if (!std::filesystem::exists(program)) GTEST_SKIP() << program << " is not built (tools/krvdlcctl/ missing)";
    const std::string wine = FindWine();
    if (wine.empty()) GTEST_SKIP() << "Wine is not installed";
    const std::filesystem::path prefix = std::filesystem::temp_directory_path() / "krvdlc-wine-prefix";
    const std::string base = "WINEDEBUG=-all WINEPREFIX=" + prefix.string() + " timeout 300 " + wine + " " +
                             program.string();

    const CommandRun help = RunCommand(base + " --help");
    if (help.output.find("could not be started") != std::string::npos ||
        help.output.find("c0000135") != std::string::npos || help.output.find("Bad EXE") != std::string::npos)
        GTEST_SKIP() << "this Wine cannot run 32-bit Windows programs:\n" << help.output;
    EXPECT_EQ(help.exit_code, 0) << help.output;
    EXPECT_NE(help.output.find("list"), std::string::npos) << help.output;

    const CommandRun list = RunCommand(base + " list");
    EXPECT_EQ(list.exit_code, 3) << list.output;
    EXPECT_NE(list.output.find("driver not loaded"), std::string::npos) << list.output;
}

}  // namespace
