// The simulator's loader of KRVDLC.SYS: the image as built maps, relocates and binds to
// the simulated kernel; copies damaged the ways a Windows loader refuses are refused with
// a message that names the fault.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/image_exports.h"
#include "sim/image_loader.h"
#include "tests/image/driver_image.h"

namespace krvdlc::image_test {
namespace {

using ::testing::HasSubstr;

constexpr bool kRunsImages = sizeof(void*) == 4;

std::uint32_t Get32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}
void Put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) { std::memcpy(&bytes[at], &value, 2); }
void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) { std::memcpy(&bytes[at], &value, 4); }

// Replaces the first occurrence of `from` (with its NUL) by `to` of the same length.
void Rename(std::vector<std::uint8_t>& bytes, const std::string& from, const std::string& to) {
    auto at = std::search(bytes.begin(), bytes.end(), from.c_str(), from.c_str() + from.size() + 1);
    ASSERT_NE(at, bytes.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

// What LoadImage says about `bytes`, or "" when it loads them.
std::string Refusal(std::vector<std::uint8_t> bytes) {
    try {
        sim::LoadImage(std::move(bytes), "KRVDLC.SYS");
    } catch (const sim::ImageLoadError& error) {
        return error.what();
    }
    return "";
}

TEST_F(DriverImageTest, LoaderMapsRelocatesAndBindsTheImage) {
    if (!kRunsImages) {
        EXPECT_THAT(Refusal(image().bytes()), HasSubstr("runs only in a 32-bit build"));
        return;
    }
    auto loaded = sim::LoadImageFile(ImagePath());
    const auto& opt = image().optional_header();
    ASSERT_NE(loaded->base(), opt.image_base) << "the loader places a relocatable image anywhere";
    EXPECT_EQ(loaded->relocationsApplied(), image().relocations().entries);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(loaded->entry()), loaded->base() + opt.address_of_entry_point);

    // Every fixup moved its word by the distance between the two bases.
    const std::uint32_t delta = static_cast<std::uint32_t>(loaded->base()) - opt.image_base;
    for (const pe::Relocation& r : image().relocation_entries()) {
        std::uint32_t mapped;
        std::memcpy(&mapped, reinterpret_cast<const void*>(loaded->base() + r.rva), 4);
        ASSERT_EQ(mapped, image().view_at_rva(r.rva, 4, "fixup").u32(0, "fixup") + delta) << pe::hex(r.rva);
    }
    // Every import slot holds the simulator's routine of that module and name.
    std::size_t imports = 0;
    for (const pe::ImportedModule& module : image().imports()) {
        for (std::size_t i = 0; i < module.functions.size(); i++, imports++) {
            const sim::ImageExport* routine = sim::FindImageExport(module.name, module.functions[i].name);
            ASSERT_NE(routine, nullptr) << module.functions[i].name;
            std::uint32_t slot;
            std::memcpy(&slot, reinterpret_cast<const void*>(loaded->base() + module.iat_rva + 4 * i), 4);
            EXPECT_EQ(slot, reinterpret_cast<std::uintptr_t>(routine->address)) << module.functions[i].name;
        }
    }
    EXPECT_EQ(loaded->importsBound(), imports);
    // Globals are found through the linker map, inside the image's zeroed data.
    auto* traceLevel = static_cast<const std::uint32_t*>(loaded->Symbol("TraceLevel"));
    ASSERT_NE(traceLevel, nullptr);
    EXPECT_TRUE(loaded->Contains(traceLevel));
    EXPECT_EQ(*traceLevel, 0u);
    EXPECT_EQ(loaded->Symbol("NoSuchSymbol"), nullptr);
}

TEST_F(DriverImageTest, LoaderRefusesWhatTheWindowsLoaderRefuses) {
    if (!kRunsImages) GTEST_SKIP() << "the loader runs x86 images in 32-bit builds only";
    const std::vector<std::uint8_t>& original = image().bytes();
    const std::size_t nt = Get32(original, 0x3C);
    const std::size_t characteristics = nt + 4 + 18;
    const std::size_t optional = nt + 24;
    const std::size_t relocationDirectory = optional + 96 + 8 * 5;
    const std::size_t firstBlock = *image().rva_to_offset(Get32(original, relocationDirectory));
    const std::uint16_t firstEntry = static_cast<std::uint16_t>(Get32(original, firstBlock + 8));

    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> damage;
        const char* message;
    };
    const Case cases[] = {
        {"truncated file", [](auto& b) { b.resize(0x100); }, "KRVDLC.SYS: not a valid PE image"},
        {"x64 machine", [&](auto& b) { Put16(b, nt + 4, 0x8664); }, "machine type 0x8664 is not x86 (0x14C)"},
        {"not an executable image", [&](auto& b) { Put16(b, characteristics, 0x0100); },
         "not marked as an executable image"},
        {"Windows GUI subsystem", [&](auto& b) { Put16(b, optional + 68, 2); }, "subsystem 2 is not native (1)"},
        {"unknown module", [](auto& b) { Rename(b, "NDIS.SYS", "NDIZ.SYS"); },
         "cannot resolve 1 import: NDIZ.SYS (a module the simulated machine does not have"},
        {"misspelt import", [](auto& b) { Rename(b, "IoCreateDevice", "IoCreateDevicf"); },
         "cannot resolve 1 import: ntoskrnl.exe!IoCreateDevicf; not loaded"},
        {"64-bit fixup", [&](auto& b) { Put16(b, firstBlock + 8, static_cast<std::uint16_t>(0xA000 | (firstEntry & 0xFFF))); },
         "base relocation of type 10 at RVA"},
        {"fixup outside the image", [&](auto& b) { Put32(b, firstBlock, 0x00F00000); }, "lies outside the image"},
        {"damaged relocation block", [&](auto& b) { Put32(b, firstBlock + 4, 3); }, "damaged base relocations"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> copy = original;
        c.damage(copy);
        EXPECT_THAT(Refusal(std::move(copy)), HasSubstr(c.message)) << c.what;
    }

    // Without relocations the image can only go to its preferred base; hold that page.
    const std::uint32_t preferred = image().optional_header().image_base;
    void* held = mmap(reinterpret_cast<void*>(static_cast<std::uintptr_t>(preferred)), 4096, PROT_NONE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::vector<std::uint8_t> fixed = original;
    Put16(fixed, characteristics, static_cast<std::uint16_t>(Get32(original, characteristics) | 0x0001));
    Put32(fixed, relocationDirectory + 4, 0);
    EXPECT_THAT(Refusal(std::move(fixed)), HasSubstr("has no base relocations and its preferred base 0x10000 is taken"));
    if (held != MAP_FAILED) munmap(held, 4096);
}

}  // namespace
}  // namespace krvdlc::image_test
