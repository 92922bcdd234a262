#include "tools/pe/import_library.h"

#include <cstring>
#include <optional>

namespace krvdlc::pe {
namespace {

constexpr char kArchiveMagic[] = "!<arch>\n";
constexpr std::size_t kMemberHeaderSize = 60;
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kSymbolSize = 18;

std::size_t parse_decimal(ByteView field, const char* what) {
    std::size_t value = 0;
    bool any = false;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const char c = static_cast<char>(field.data()[i]);
        if (c == ' ') break;
        if (c < '0' || c > '9') throw FormatError(std::string(what) + ": not a decimal number");
        if (value > (SIZE_MAX - 9) / 10) throw FormatError(std::string(what) + ": number too large");
        value = value * 10 + static_cast<std::size_t>(c - '0');
        any = true;
    }
    if (!any) throw FormatError(std::string(what) + ": empty number");
    return value;
}

// Name of a COFF symbol: inline (8 bytes, NUL-padded) or an offset into the string table.
std::string symbol_name(ByteView symbol, ByteView strings) {
    if (symbol.u32(0, "symbol name") == 0) {
        return strings.c_string(symbol.u32(4, "symbol name offset"), "symbol name in string table");
    }
    std::string name;
    for (std::size_t i = 0; i < 8 && symbol.data()[i] != 0; ++i) name.push_back(static_cast<char>(symbol.data()[i]));
    return name;
}

struct MemberFacts {
    std::optional<std::string> module;
    std::optional<std::string> name;
};

// Short import member: {0, 0xFFFF, version, machine, time, size, ordinal/hint, type}, then
// the symbol name and the module name.
MemberFacts read_short_import(ByteView member) {
    MemberFacts facts;
    const std::uint16_t type_bits = member.u16(18, "short import type");
    const std::string symbol = member.c_string(20, "short import symbol");
    facts.module = member.c_string(20 + symbol.size() + 1, "short import module");
    const unsigned name_type = (type_bits >> 2) & 7;
    std::string name = symbol;
    switch (name_type) {
        case 0:  // by ordinal: no name
            return facts;
        case 1:  // IMPORT_NAME: as is
            break;
        case 2:  // IMPORT_NAME_NOPREFIX
        case 3:  // IMPORT_NAME_UNDECORATE
            if (!name.empty() && (name[0] == '?' || name[0] == '@' || name[0] == '_')) name.erase(0, 1);
            if (name_type == 3) name = name.substr(0, name.find('@'));
            break;
        default:
            throw FormatError("short import member with unknown name type " + std::to_string(name_type));
    }
    facts.name = name;
    return facts;
}

MemberFacts read_coff_member(ByteView object) {
    MemberFacts facts;
    const std::uint16_t section_count = object.u16(2, "COFF NumberOfSections");
    const std::uint32_t symbol_offset = object.u32(8, "COFF PointerToSymbolTable");
    const std::uint32_t symbol_count = object.u32(12, "COFF NumberOfSymbols");
    const std::uint16_t optional_size = object.u16(16, "COFF SizeOfOptionalHeader");
    const ByteView sections = object.sub(kCoffHeaderSize + optional_size,
                                         std::size_t{section_count} * kSectionHeaderSize, "COFF section table");

    auto section_data = [&](std::size_t index) {
        const ByteView h = sections.sub(index * kSectionHeaderSize, kSectionHeaderSize, "COFF section header");
        return object.sub(h.u32(20, "COFF PointerToRawData"), h.u32(16, "COFF SizeOfRawData"), "COFF section data");
    };

    for (std::size_t i = 0; i < section_count; ++i) {
        const ByteView h = sections.sub(i * kSectionHeaderSize, kSectionHeaderSize, "COFF section header");
        if (std::memcmp(h.data(), ".idata$6", 8) == 0) {
            const ByteView data = section_data(i);
            if (data.size() > 2) facts.name = data.c_string(2, "import name");
        }
    }

    if (symbol_count != 0) {
        const ByteView symbols = object.sub(symbol_offset, std::size_t{symbol_count} * kSymbolSize, "COFF symbols");
        const ByteView strings = object.tail(symbol_offset + std::size_t{symbol_count} * kSymbolSize, "COFF strings");
        for (std::size_t i = 0; i < symbol_count; ++i) {
            const ByteView symbol = symbols.sub(i * kSymbolSize, kSymbolSize, "COFF symbol");
            const std::string name = symbol_name(symbol, strings);
            const auto section = static_cast<std::int16_t>(symbol.u16(12, "COFF symbol SectionNumber"));
            const std::string suffix = "_iname";
            if (section > 0 && name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                facts.module = section_data(static_cast<std::size_t>(section - 1)).c_string(0, "import module name");
            }
            i += symbol.u8(17, "COFF symbol NumberOfAuxSymbols");
        }
    }
    return facts;
}

}  // namespace

ImportLibrary read_import_library(ByteView archive) {
    if (!archive.contains(0, 8) || std::memcmp(archive.data(), kArchiveMagic, 8) != 0) {
        throw FormatError("import library: not an ar archive");
    }
    ImportLibrary library;
    for (std::size_t at = 8; at < archive.size();) {
        const ByteView header = archive.sub(at, kMemberHeaderSize, "archive member header");
        if (header.u8(58, "archive member header") != '`' || header.u8(59, "archive member header") != '\n') {
            throw FormatError("archive member header at offset " + hex(at) + " is damaged");
        }
        const std::size_t size = parse_decimal(header.sub(48, 10, "archive member size"), "archive member size");
        const ByteView member = archive.sub(at + kMemberHeaderSize, size, "archive member");
        // "/" and "/SYM64/" are symbol indexes, "//" holds long member names.
        const bool special = header.data()[0] == '/' &&
                             (header.data()[1] == ' ' || header.data()[1] == '/' ||
                              std::memcmp(header.data(), "/SYM64/", 7) == 0);
        if (!special) {
            const bool short_import = member.size() >= 4 && member.u16(0, "member") == 0 && member.u16(2, "member") == 0xFFFF;
            const MemberFacts facts = short_import ? read_short_import(member) : read_coff_member(member);
            if (facts.module) {
                if (!library.module.empty() && library.module != *facts.module) {
                    throw FormatError("import library names two modules: " + library.module + " and " + *facts.module);
                }
                library.module = *facts.module;
            }
            if (facts.name) library.names.insert(*facts.name);
        }
        at += kMemberHeaderSize + size + (size & 1);
    }
    if (library.module.empty()) throw FormatError("import library names no module");
    return library;
}

}  // namespace krvdlc::pe
