// The PE reader on damaged input: truncated and corrupted copies of the driver image must end
// in a FormatError naming what could not be read, never in a read out of range (the host
// build runs this under AddressSanitizer). Plus the parts whose answers are known by hand.
#include <cstdio>
#include <cstring>
#include <set>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/image/driver_image.h"
#include "tools/pe/import_library.h"
#include "tools/pe/message_table.h"
#include "tools/pe/resources.h"
#include "tools/pe/version_info.h"

namespace krvdlc::image_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b.at(at) = static_cast<std::uint8_t>(v);
    b.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, static_cast<std::uint16_t>(v));
    Put16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}
std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}

// Offsets inside the pristine image that the corruptions aim at.
struct Layout {
    std::size_t nt = 0;           // "PE\0\0"
    std::size_t optional = 0;     // optional header
    std::size_t section_table = 0;
    std::size_t import_descriptors = 0;
    std::size_t relocations = 0;
    std::size_t resources = 0;    // resource directory root
    std::size_t message_table = 0;
    std::size_t version = 0;
};

std::size_t Offset(const pe::Image& image, std::uint32_t rva) {
    const auto offset = image.rva_to_offset(rva);
    if (!offset) throw std::runtime_error("RVA not in file");
    return *offset;
}

Layout Locate(const pe::Image& image) {
    Layout l;
    const Bytes& b = image.bytes();
    l.nt = Get32(b, 0x3C);
    l.optional = l.nt + 24;
    l.section_table = l.optional + image.file_header().size_of_optional_header;
    l.import_descriptors = Offset(image, image.directory(pe::Directory::Import).rva);
    l.relocations = Offset(image, image.directory(pe::Directory::BaseRelocation).rva);
    l.resources = Offset(image, image.directory(pe::Directory::Resource).rva);
    for (const auto& r : pe::read_resources(image)) {
        if (r.type == pe::ResourceId::of(pe::kResourceTypeMessageTable)) l.message_table = Offset(image, r.data_rva);
        if (r.type == pe::ResourceId::of(pe::kResourceTypeVersion)) l.version = Offset(image, r.data_rva);
    }
    return l;
}

// Everything a consumer of the reader may call on an image.
void ReadEverything(const pe::Image& image) {
    image.imports();
    image.relocations();
    for (const auto& r : pe::read_resources(image)) {
        if (r.type == pe::ResourceId::of(pe::kResourceTypeMessageTable)) pe::parse_message_table(pe::ByteView(r.data));
        if (r.type == pe::ResourceId::of(pe::kResourceTypeVersion)) pe::parse_version_info(pe::ByteView(r.data));
    }
}

struct Corruption {
    const char* name;
    std::function<void(Bytes&, const Layout&)> apply;
    const char* expected_message;  // part of the FormatError text
};

const Corruption kCorruptions[] = {
    {"no MZ signature", [](Bytes& b, const Layout&) { b[0] = 'X'; }, "MZ"},
    {"e_lfanew past the end", [](Bytes& b, const Layout&) { Put32(b, 0x3C, 0xFFFFFFF0u); }, "NT headers"},
    {"no PE signature", [](Bytes& b, const Layout& l) { b[l.nt] = 'X'; }, "no PE signature"},
    {"PE32+ magic", [](Bytes& b, const Layout& l) { Put16(b, l.optional, 0x20B); }, "not PE32"},
    {"section count past the end", [](Bytes& b, const Layout& l) { Put16(b, l.nt + 6, 0xFFFF); }, "section table"},
    {"optional header size past the end", [](Bytes& b, const Layout& l) { Put16(b, l.nt + 20, 0xFFFF); },
     "optional header"},
    {"too many data directories", [](Bytes& b, const Layout& l) { Put32(b, l.optional + 92, 17); },
     "NumberOfRvaAndSizes"},
    {"section raw data past the end", [](Bytes& b, const Layout& l) { Put32(b, l.section_table + 20, 0xFFFFFF00u); },
     "raw data of section"},
    {"import directory outside the image",
     [](Bytes& b, const Layout& l) { Put32(b, l.optional + 96 + 8 * 1, 0x7FFFFFF0u); }, "import directory"},
    {"import module name outside the image",
     [](Bytes& b, const Layout& l) { Put32(b, l.import_descriptors + 12, 0x7FFFFFF0u); }, "import module name"},
    {"relocation block of size zero", [](Bytes& b, const Layout& l) { Put32(b, l.relocations + 4, 0); },
     "invalid size"},
    {"relocation block larger than the directory",
     [](Bytes& b, const Layout& l) { Put32(b, l.relocations + 4, 0x7FFFFFF0u); }, "base relocation block"},
    {"relocation directory past its section",
     [](Bytes& b, const Layout& l) { Put32(b, l.optional + 96 + 8 * 5 + 4, 0x7FFFFFF0u); }, "run past"},
    {"resource entry count past the directory", [](Bytes& b, const Layout& l) { Put16(b, l.resources + 14, 0xFFFF); },
     "resource directory entries"},
    {"resource directory pointing at itself",
     [](Bytes& b, const Layout& l) { Put32(b, l.resources + 16 + 4, 0x80000000u); }, "further directory"},
    {"message table with too many blocks", [](Bytes& b, const Layout& l) { Put32(b, l.message_table, 0x10000000u); },
     "message table blocks"},
    {"message block entries past the resource", [](Bytes& b, const Layout& l) { Put32(b, l.message_table + 12, 0xFFFFu); },
     "message entry"},
    {"message block with HighId below LowId", [](Bytes& b, const Layout& l) { Put32(b, l.message_table + 8, 0); },
     "below LowId"},
    {"message entry of length zero",
     [](Bytes& b, const Layout& l) { Put16(b, l.message_table + Get32(b, l.message_table + 12), 0); },
     "shorter than its header"},
    {"version node shorter than its header", [](Bytes& b, const Layout& l) { Put16(b, l.version, 2); },
     "shorter than its header"},
    {"version node longer than the resource", [](Bytes& b, const Layout& l) { Put16(b, l.version, 0xFFFF); },
     "version node"},
    {"version fixed info signature", [](Bytes& b, const Layout& l) { Put32(b, l.version + 40, 0); }, "signature"},
};

class PeReaderDamageTest : public DriverImageTest {};

TEST_F(PeReaderDamageTest, CorruptedCopiesFailWithAFormatError) {
    const Layout layout = Locate(image());
    ASSERT_NO_THROW(ReadEverything(image()));
    for (const Corruption& c : kCorruptions) {
        SCOPED_TRACE(c.name);
        Bytes bytes = image().bytes();
        c.apply(bytes, layout);
        try {
            ReadEverything(pe::Image::parse(std::move(bytes)));
            ADD_FAILURE() << "no error";
        } catch (const pe::FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expected_message), std::string::npos) << e.what();
        }
    }
}

TEST_F(PeReaderDamageTest, TruncatedCopiesFailWithAFormatError) {
    const Layout layout = Locate(image());
    const std::size_t size = image().bytes().size();
    // The headers' boundaries, then a sweep across the sections; the last section ends at the
    // end of the file, so every shorter copy misses data its section table promises.
    std::vector<std::size_t> lengths = {0, 1, 2, 0x3C, 0x3F, layout.nt + 3, layout.nt + 23, layout.optional + 95,
                                        layout.section_table + 39, size - 1};
    for (std::size_t n = 0; n < size; n += 509) lengths.push_back(n);
    for (std::size_t n : lengths) {
        SCOPED_TRACE("length " + std::to_string(n));
        Bytes bytes(image().bytes().begin(), image().bytes().begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(pe::Image::parse(std::move(bytes)), pe::FormatError);
    }
}

TEST_F(PeReaderDamageTest, TruncatedImportLibraryFails) {
    const Bytes archive = ReadFileBytes(link().import_libraries.at(0));
    ASSERT_NO_THROW(pe::read_import_library(pe::ByteView(archive)));
    // Inside the magic, inside the first member header, inside the first member's data.
    for (std::size_t n : {std::size_t{0}, std::size_t{7}, std::size_t{8 + 30}, std::size_t{8 + 60 + 1}}) {
        SCOPED_TRACE("length " + std::to_string(n));
        EXPECT_THROW(pe::read_import_library(pe::ByteView(archive.data(), n)), pe::FormatError);
    }
}

struct ChecksumCase {
    Bytes file;
    std::size_t checksum_offset;
    std::uint32_t expected;
};

TEST(PeChecksum, FoldsCarriesSkipsTheFieldAndAddsTheLength) {
    const ChecksumCase cases[] = {
        {{}, 0, 0},
        {{0x01, 0x02, 0x03}, 100, 0x0201 + 0x0003 + 3},
        {{0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 4},               // 0xFFFF + 2 folds to 2
        {{0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 2, 0x0030 + 8},  // field bytes 2..5 ignored
        {{0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x20, 0x00}, 3, 0x0010 + 0x00AA + 8},         // bytes 3..6 ignored
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pe::compute_checksum(pe::ByteView(c.file), c.checksum_offset), c.expected);
    }
}

// A table with an ANSI and a Unicode entry, built the way the message compiler lays it out.
TEST(PeMessageTable, ReadsAnsiAndUnicodeEntries) {
    Bytes t;
    auto u32 = [&](std::uint32_t v) { for (int i = 0; i < 4; ++i) t.push_back(static_cast<std::uint8_t>(v >> (8 * i))); };
    auto u16 = [&](std::uint16_t v) { t.push_back(static_cast<std::uint8_t>(v)); t.push_back(static_cast<std::uint8_t>(v >> 8)); };
    u32(2);
    u32(0x10); u32(0x10); u32(28);
    u32(0x20); u32(0x20); u32(36);
    u16(8); u16(0); for (char c : {'a', 'b', 'c', '\0'}) t.push_back(static_cast<std::uint8_t>(c));
    u16(12); u16(1); for (char16_t c : {u'\u00e9', u'x', u'\0', u'\0'}) u16(c);

    const auto table = pe::parse_message_table(pe::ByteView(t));
    ASSERT_EQ(table.blocks.size(), 2u);
    EXPECT_EQ(table.text(0x10), "abc");
    EXPECT_EQ(table.text(0x20), "\xC3\xA9x");
    EXPECT_FALSE(table.text(0x11).has_value());
    EXPECT_EQ(table.entries.at(0x20).flags, pe::kMessageFlagUnicode);
}

TEST(PeMessageTable, RejectsAnIdInTwoBlocks) {
    Bytes t = {2, 0, 0, 0};
    for (std::uint32_t v : {0x10u, 0x10u, 28u, 0x10u, 0x10u, 28u}) {
        for (int i = 0; i < 4; ++i) t.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    const std::uint8_t entry[] = {8, 0, 0, 0, 'a', 0, 0, 0};
    t.insert(t.end(), std::begin(entry), std::end(entry));
    EXPECT_THROW(pe::parse_message_table(pe::ByteView(t)), pe::FormatError);
}

// An archive holding one short import member, the format other linkers write.
TEST(PeImportLibrary, ReadsShortImportMembers) {
    auto member = [](const std::string& symbol, const std::string& module, unsigned name_type) {
        Bytes m = {0, 0, 0xFF, 0xFF, 0, 0, 0x4C, 0x01, 0, 0, 0, 0};
        const std::uint32_t size = static_cast<std::uint32_t>(symbol.size() + module.size() + 2);
        for (int i = 0; i < 4; ++i) m.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
        m.push_back(0); m.push_back(0);                                     // hint
        m.push_back(static_cast<std::uint8_t>(name_type << 2)); m.push_back(0);  // code import, name type
        m.insert(m.end(), symbol.begin(), symbol.end()); m.push_back(0);
        m.insert(m.end(), module.begin(), module.end()); m.push_back(0);
        return m;
    };
    auto archive = [](const std::vector<Bytes>& members) {
        std::string a = "!<arch>\n";
        for (const auto& m : members) {
            char header[61];
            std::snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10zu`\n", "x.o/", "0", "0", "0", "644", m.size());
            a.append(header, 60);
            a.append(m.begin(), m.end());
            if (m.size() % 2) a.push_back('\n');
        }
        return Bytes(a.begin(), a.end());
    };
    const Bytes lib = archive({member("_IoCreateDevice@28", "ntoskrnl.exe", 3), member("@KfAcquireSpinLock@4", "ntoskrnl.exe", 3),
                               member("_memcpy", "ntoskrnl.exe", 2), member("RawName", "ntoskrnl.exe", 1)});
    const auto library = pe::read_import_library(pe::ByteView(lib));
    EXPECT_EQ(library.module, "ntoskrnl.exe");
    EXPECT_EQ(library.names, (std::set<std::string>{"IoCreateDevice", "KfAcquireSpinLock", "memcpy", "RawName"}));

    const Bytes mixed = archive({member("_IoCreateDevice@28", "ntoskrnl.exe", 3), member("_KeGetCurrentIrql@0", "HAL.dll", 3)});
    EXPECT_THROW(pe::read_import_library(pe::ByteView(mixed)), pe::FormatError);
}

}  // namespace
}  // namespace krvdlc::image_test
