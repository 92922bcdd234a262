// Checks of the Windows user-mode images of the windows preset: krvdlc.dll and, once its
// sources exist, krvdlcctl.exe are PE32 i386 images that import only system DLLs, and the
// DLL exports every function of the C API.
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tools/pe/image.h"

namespace krvdlc::image_test {
namespace {

constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::uint16_t kFileDll = 0x2000;
constexpr std::uint16_t kSubsystemConsole = 3;

std::filesystem::path SourceDir() { return KRVDLC_SOURCE_DIR; }
std::filesystem::path UserBuildDir() { return KRVDLC_USER_BUILD_DIR; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Loads build/windows/<name>, or fails saying how to build it.
std::optional<pe::Image> LoadUserImage(const std::string& name) {
    const auto path = UserBuildDir() / name;
    if (!std::filesystem::exists(path)) {
        ADD_FAILURE() << path << " does not exist. Build the windows preset first:\n"
                      << "  cmake --preset windows && cmake --build --preset windows";
        return std::nullopt;
    }
    return pe::Image::load(path.string());
}

TEST(UserImages, AreI386ImagesImportingOnlySystemDlls) {
    const bool ctl_expected = std::filesystem::exists(SourceDir() / "tools" / "krvdlcctl");
    const struct {
        std::string name;
        bool dll;
    } images[] = {{"krvdlc.dll", true}, {"krvdlcctl.exe", false}};
    const std::set<std::string> system_dlls = {"kernel32.dll", "msvcrt.dll"};
    for (const auto& expected : images) {
        SCOPED_TRACE(expected.name);
        if (!expected.dll && !ctl_expected) continue;   // tools/krvdlcctl/ not written yet
        const auto image = LoadUserImage(expected.name);
        if (!image) continue;
        const auto& file = image->file_header();
        EXPECT_EQ(file.machine, pe::kMachineI386);
        EXPECT_EQ(image->optional_header().magic, pe::kOptionalMagicPe32);
        EXPECT_TRUE(file.characteristics & kFileExecutableImage);
        EXPECT_EQ((file.characteristics & kFileDll) != 0, expected.dll);
        if (!expected.dll) {
            EXPECT_EQ(image->optional_header().subsystem, kSubsystemConsole);
        }
        const auto modules = image->imports();
        std::set<std::string> names;
        for (const auto& module : modules) names.insert(Lower(module.name));
        EXPECT_TRUE(names.count("kernel32.dll"));
        for (const auto& name : names) EXPECT_TRUE(system_dlls.count(name)) << "imports from " << name;
    }
}

TEST(UserImages, DllExportsEveryFunctionOfTheHeader) {
    std::ifstream header(SourceDir() / "client" / "krvdlc_client.h");
    ASSERT_TRUE(header) << "client/krvdlc_client.h";
    std::stringstream text;
    text << header.rdbuf();
    const std::string source = text.str();
    std::set<std::string> declared;
    const std::regex function(R"(KRVDLC_CALL\s+(krvdlc_\w+)\s*\()");
    for (auto it = std::sregex_iterator(source.begin(), source.end(), function); it != std::sregex_iterator(); ++it)
        declared.insert((*it)[1]);
    ASSERT_GT(declared.size(), 30u);

    const auto image = LoadUserImage("krvdlc.dll");
    if (!image) return;
    const auto exported = image->export_names();
    const std::set<std::string> exports(exported.begin(), exported.end());
    for (const auto& name : declared) EXPECT_TRUE(exports.count(name)) << name << " is not exported";
    for (const auto& name : exports) EXPECT_TRUE(declared.count(name)) << name << " is exported but not declared";
}

}  // namespace
}  // namespace krvdlc::image_test
