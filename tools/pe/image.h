// PE32 image reader: headers, sections, data directories, address translation, imports,
// base relocations and the header checksum of an x86 image such as KRVDLC.SYS.
// The image owns a copy of the file's bytes; all parsing is bounds-checked (FormatError).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/pe/byte_view.h"

namespace krvdlc::pe {

constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kOptionalMagicPe32 = 0x010B;
constexpr std::uint16_t kSubsystemNative = 1;

enum class Directory : std::uint32_t {
    Export = 0,
    Import = 1,
    Resource = 2,
    Exception = 3,
    Security = 4,
    BaseRelocation = 5,
    Debug = 6,
    Tls = 9,
    Iat = 12,
};

struct FileHeader {
    std::uint16_t machine = 0;
    std::uint16_t number_of_sections = 0;
    std::uint32_t time_date_stamp = 0;
    std::uint16_t size_of_optional_header = 0;
    std::uint16_t characteristics = 0;
};

struct OptionalHeader {
    std::uint16_t magic = 0;
    std::uint32_t address_of_entry_point = 0;
    std::uint32_t image_base = 0;
    std::uint32_t section_alignment = 0;
    std::uint32_t file_alignment = 0;
    std::uint16_t major_subsystem_version = 0;
    std::uint16_t minor_subsystem_version = 0;
    std::uint32_t size_of_image = 0;
    std::uint32_t size_of_headers = 0;
    std::uint32_t checksum = 0;
    std::uint16_t subsystem = 0;
    std::uint16_t dll_characteristics = 0;
    std::uint32_t number_of_rva_and_sizes = 0;
};

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct Section {
    std::string name;
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t raw_offset = 0;
    std::uint32_t characteristics = 0;
};

struct ImportedFunction {
    bool by_ordinal = false;
    std::uint16_t ordinal = 0;  // when by_ordinal
    std::uint16_t hint = 0;     // when by name
    std::string name;           // when by name
};

struct ImportedModule {
    std::string name;
    std::uint32_t iat_rva = 0;  // FirstThunk: where the loader writes the addresses, 4 bytes each
    std::vector<ImportedFunction> functions;
};

struct Relocation {
    std::uint32_t rva = 0;  // the address the fixup applies to
    unsigned type = 0;      // IMAGE_REL_BASED_*; padding entries (type 0) are left out
};

struct RelocationSummary {
    std::size_t blocks = 0;
    std::size_t entries = 0;                         // padding entries (type 0) not counted
    std::map<unsigned, std::size_t> entries_by_type;  // IMAGE_REL_BASED_* -> count
};

class Image {
public:
    // Parses the headers and the section table; throws FormatError on malformed input.
    static Image parse(std::vector<std::uint8_t> bytes);
    // Reads the file and parses it; throws std::runtime_error when it cannot be read.
    static Image load(const std::string& path);

    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    ByteView view() const { return ByteView(bytes_); }

    const FileHeader& file_header() const { return file_header_; }
    const OptionalHeader& optional_header() const { return optional_header_; }
    const std::vector<Section>& sections() const { return sections_; }
    const Section* find_section(const std::string& name) const;

    // Zero rva and size when the image has no such directory.
    DataDirectory directory(Directory which) const;

    // File offset of the byte at rva, or nothing when no file byte backs that address.
    std::optional<std::size_t> rva_to_offset(std::uint32_t rva) const;
    // The file bytes backing [rva, rva + size); throws when they do not all exist in one piece.
    ByteView view_at_rva(std::uint32_t rva, std::uint32_t size, const char* what) const;
    // The file bytes from rva to the end of the section (or headers) that holds it.
    ByteView view_from_rva(std::uint32_t rva, const char* what) const;

    std::vector<ImportedModule> imports() const;
    // Names in the export directory (a DLL's), in the table's order; empty without one.
    std::vector<std::string> export_names() const;
    RelocationSummary relocations() const;
    // Every base relocation in directory order; throws FormatError on a malformed block.
    std::vector<Relocation> relocation_entries() const;

    // File offset of the optional header's CheckSum field.
    std::size_t checksum_offset() const { return checksum_offset_; }
    // The checksum the loader's algorithm gives for these bytes (the field itself excluded).
    std::uint32_t computed_checksum() const;

private:
    std::vector<std::uint8_t> bytes_;
    FileHeader file_header_;
    OptionalHeader optional_header_;
    std::vector<DataDirectory> directories_;
    std::vector<Section> sections_;
    std::size_t checksum_offset_ = 0;
};

// The standard PE checksum: 16-bit one's-complement-style sum of the file with carries folded,
// skipping the 4 bytes at checksum_offset, plus the file length.
std::uint32_t compute_checksum(ByteView file, std::size_t checksum_offset);

}  // namespace krvdlc::pe
