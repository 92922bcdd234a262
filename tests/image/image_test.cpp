// Checks of the built driver image KRVDLC.SYS: what the Windows loader and the I/O manager
// require of a 32-bit kernel-mode driver, and the version resource it carries.
#include <algorithm>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/image/driver_image.h"
#include "tools/pe/import_library.h"
#include "tools/pe/resources.h"
#include "tools/pe/version_info.h"

namespace krvdlc::image_test {
namespace {

constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::uint16_t kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kFile32BitMachine = 0x0100;
constexpr std::uint16_t kFileDll = 0x2000;
constexpr std::uint16_t kDllDynamicBase = 0x0040;
constexpr std::uint16_t kDllNxCompat = 0x0100;
constexpr std::uint32_t kScnExecute = 0x20000000;
constexpr std::uint32_t kScnWrite = 0x80000000;
constexpr unsigned kRelBasedHighLow = 3;

TEST_F(DriverImageTest, HeadersDescribeANativeI386Driver) {
    const auto& file = image().file_header();
    const auto& opt = image().optional_header();
    EXPECT_EQ(file.machine, pe::kMachineI386);
    EXPECT_EQ(opt.magic, pe::kOptionalMagicPe32);
    EXPECT_EQ(opt.subsystem, pe::kSubsystemNative);
    EXPECT_EQ(opt.major_subsystem_version, 5);
    EXPECT_EQ(opt.minor_subsystem_version, 0);
    EXPECT_EQ(opt.image_base, 0x10000u);
    EXPECT_EQ(opt.section_alignment, 0x1000u);
    EXPECT_EQ(opt.file_alignment, 0x200u);
    EXPECT_TRUE(file.characteristics & kFileExecutableImage);
    EXPECT_TRUE(file.characteristics & kFile32BitMachine);
    EXPECT_FALSE(file.characteristics & kFileDll) << "a driver is not a DLL";
    EXPECT_EQ(opt.dll_characteristics & (kDllDynamicBase | kDllNxCompat), kDllDynamicBase | kDllNxCompat);
    EXPECT_EQ(file.time_date_stamp, 0u) << "the image is built without a time stamp, so builds are reproducible";
}

TEST_F(DriverImageTest, EntryPointIsDriverEntry) {
    EXPECT_EQ(link().entry_symbol, "_DriverEntry@8");
    const auto& opt = image().optional_header();
    EXPECT_EQ(opt.image_base + opt.address_of_entry_point, link().entry_address);

    const pe::Section* text = nullptr;
    for (const auto& s : image().sections()) {
        if (opt.address_of_entry_point >= s.virtual_address &&
            opt.address_of_entry_point - s.virtual_address < s.virtual_size) {
            text = &s;
        }
    }
    ASSERT_NE(text, nullptr) << "the entry point lies in no section";
    EXPECT_TRUE(text->characteristics & kScnExecute) << "the entry point lies in " << text->name;
}

TEST_F(DriverImageTest, NoSectionIsBothWritableAndExecutable) {
    for (const auto& s : image().sections()) {
        EXPECT_FALSE((s.characteristics & kScnWrite) && (s.characteristics & kScnExecute)) << s.name;
    }
}

TEST_F(DriverImageTest, ImportsOnlyNamesTheKernelImportLibrariesProvide) {
    std::map<std::string, std::set<std::string>> provided;
    for (const auto& path : link().import_libraries) {
        const auto library = pe::read_import_library(pe::ByteView(ReadFileBytes(path)));
        provided[library.module].insert(library.names.begin(), library.names.end());
    }
    const std::set<std::string> kernel_modules = {"NDIS.SYS", "ntoskrnl.exe", "HAL.dll"};
    for (const auto& [module, names] : provided) {
        EXPECT_TRUE(kernel_modules.count(module)) << "import library for " << module;
    }

    const auto modules = image().imports();
    ASSERT_FALSE(modules.empty());
    std::set<std::string> seen;
    for (const auto& module : modules) {
        EXPECT_TRUE(kernel_modules.count(module.name)) << "import from " << module.name;
        EXPECT_TRUE(seen.insert(module.name).second) << module.name << " has two import descriptors";
        const auto& names = provided[module.name];
        for (const auto& fn : module.functions) {
            EXPECT_FALSE(fn.by_ordinal) << module.name << " imported by ordinal " << fn.ordinal;
            EXPECT_TRUE(names.count(fn.name)) << module.name << "!" << fn.name << " is not in its import library";
        }
    }
}

TEST_F(DriverImageTest, CarriesHighLowRelocationsOnly) {
    EXPECT_FALSE(image().file_header().characteristics & kFileRelocsStripped);
    const auto relocations = image().relocations();
    EXPECT_GT(relocations.blocks, 0u);
    EXPECT_GT(relocations.entries, 0u);
    for (const auto& [type, count] : relocations.entries_by_type) {
        EXPECT_EQ(type, kRelBasedHighLow) << count << " relocations of type " << type;
    }
}

TEST_F(DriverImageTest, HeaderChecksumMatchesTheFile) {
    EXPECT_NE(image().optional_header().checksum, 0u);
    EXPECT_EQ(image().computed_checksum(), image().optional_header().checksum);
}

TEST_F(DriverImageTest, HasNoSectionsThatNeedARuntime) {
    for (const auto& s : image().sections()) {
        for (const char* prefix : {".ctors", ".dtors", ".init_array", ".fini_array", ".eh_frame", ".tls", ".CRT"}) {
            EXPECT_NE(s.name.rfind(prefix, 0), 0u) << "section " << s.name;
        }
    }
    EXPECT_EQ(image().directory(pe::Directory::Tls).rva, 0u);
    EXPECT_EQ(image().directory(pe::Directory::Export).rva, 0u) << "the driver exports nothing";
}

TEST_F(DriverImageTest, VersionResourceDescribesTheDriver) {
    const auto resources = pe::read_resources(image());
    const pe::Resource* version =
        pe::find_resource(resources, pe::ResourceId::of(pe::kResourceTypeVersion), pe::ResourceId::of(1), 0x0409);
    ASSERT_NE(version, nullptr) << "no RT_VERSION resource 1 in language 0x0409";
    const auto info = pe::parse_version_info(pe::ByteView(version->data));

    EXPECT_EQ(info.fixed.file_version_ms, 0x00010000u);
    EXPECT_EQ(info.fixed.file_version_ls, 0x00010000u);
    EXPECT_EQ(info.fixed.product_version_ms, 0x00010000u);
    EXPECT_EQ(info.fixed.product_version_ls, 0x00010000u);
    EXPECT_EQ(info.fixed.file_os, 0x40004u);   // VOS_NT_WINDOWS32
    EXPECT_EQ(info.fixed.file_type, 3u);       // VFT_DRV
    EXPECT_EQ(info.fixed.file_subtype, 6u);    // VFT2_DRV_NETWORK
    EXPECT_EQ(info.fixed.file_flags, 0u);

    const std::map<std::string, std::string> expected = {
        {"CompanyName", "KRVDLC developers"},
        {"FileDescription", "Korvel DLC protocol driver"},
        {"FileVersion", "1.0.1.0"},
        {"InternalName", "KRVDLC"},
        {"LegalCopyright", "Copyright (C) 2026 KRVDLC developers"},
        {"OriginalFilename", "KRVDLC.SYS"},
        {"ProductName", "KRVDLC"},
        {"ProductVersion", "1.0.1.0"},
    };
    ASSERT_EQ(info.string_tables.size(), 1u);
    ASSERT_EQ(info.string_tables.count("040904B0"), 1u) << "string table is " << info.string_tables.begin()->first;
    EXPECT_EQ(info.string_tables.at("040904B0"), expected);

    const std::vector<std::pair<std::uint16_t, std::uint16_t>> translations = {{0x0409, 0x04B0}};
    EXPECT_EQ(info.translations, translations);
}

}  // namespace
}  // namespace krvdlc::image_test
