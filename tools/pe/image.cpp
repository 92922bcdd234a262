#include "tools/pe/image.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace krvdlc::pe {
namespace {

constexpr std::size_t kDosLfanewOffset = 0x3C;
constexpr std::size_t kFileHeaderSize = 20;
constexpr std::size_t kPe32FixedOptionalSize = 96;  // up to and including NumberOfRvaAndSizes
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::uint32_t kOrdinalFlag = 0x80000000u;

std::string section_name(ByteView header) {
    std::string name;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::uint8_t c = header.u8(i, "section name");
        if (c == 0) break;
        name.push_back(static_cast<char>(c));
    }
    return name;
}

}  // namespace

Image Image::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return parse(std::move(bytes));
}

Image Image::parse(std::vector<std::uint8_t> bytes) {
    Image image;
    image.bytes_ = std::move(bytes);
    const ByteView file(image.bytes_);

    if (file.u16(0, "DOS header") != 0x5A4D) throw FormatError("DOS header: no MZ signature");
    const std::uint32_t nt_offset = file.u32(kDosLfanewOffset, "DOS header e_lfanew");
    if (file.u32(nt_offset, "NT headers signature") != 0x00004550) {
        throw FormatError("NT headers: no PE signature at offset " + hex(nt_offset));
    }

    const ByteView fh = file.sub(std::size_t{nt_offset} + 4, kFileHeaderSize, "file header");
    FileHeader& f = image.file_header_;
    f.machine = fh.u16(0, "file header Machine");
    f.number_of_sections = fh.u16(2, "file header NumberOfSections");
    f.time_date_stamp = fh.u32(4, "file header TimeDateStamp");
    f.size_of_optional_header = fh.u16(16, "file header SizeOfOptionalHeader");
    f.characteristics = fh.u16(18, "file header Characteristics");

    const std::size_t opt_offset = std::size_t{nt_offset} + 4 + kFileHeaderSize;
    const ByteView opt = file.sub(opt_offset, f.size_of_optional_header, "optional header");
    OptionalHeader& o = image.optional_header_;
    o.magic = opt.u16(0, "optional header Magic");
    if (o.magic != kOptionalMagicPe32) {
        throw FormatError("optional header: magic " + hex(o.magic) + " is not PE32 (0x10B)");
    }
    if (opt.size() < kPe32FixedOptionalSize) {
        throw FormatError("optional header: " + std::to_string(opt.size()) + " bytes, PE32 needs at least " +
                          std::to_string(kPe32FixedOptionalSize));
    }
    o.address_of_entry_point = opt.u32(16, "AddressOfEntryPoint");
    o.image_base = opt.u32(28, "ImageBase");
    o.section_alignment = opt.u32(32, "SectionAlignment");
    o.file_alignment = opt.u32(36, "FileAlignment");
    o.major_subsystem_version = opt.u16(48, "MajorSubsystemVersion");
    o.minor_subsystem_version = opt.u16(50, "MinorSubsystemVersion");
    o.size_of_image = opt.u32(56, "SizeOfImage");
    o.size_of_headers = opt.u32(60, "SizeOfHeaders");
    o.checksum = opt.u32(64, "CheckSum");
    o.subsystem = opt.u16(68, "Subsystem");
    o.dll_characteristics = opt.u16(70, "DllCharacteristics");
    o.number_of_rva_and_sizes = opt.u32(92, "NumberOfRvaAndSizes");
    image.checksum_offset_ = opt_offset + 64;

    if (o.number_of_rva_and_sizes > 16) {
        throw FormatError("optional header: NumberOfRvaAndSizes " + std::to_string(o.number_of_rva_and_sizes) +
                          " exceeds 16");
    }
    for (std::uint32_t i = 0; i < o.number_of_rva_and_sizes; ++i) {
        const std::size_t at = kPe32FixedOptionalSize + 8 * std::size_t{i};
        image.directories_.push_back({opt.u32(at, "data directory"), opt.u32(at + 4, "data directory")});
    }

    const ByteView table = file.sub(opt_offset + f.size_of_optional_header,
                                    kSectionHeaderSize * std::size_t{f.number_of_sections}, "section table");
    for (std::size_t i = 0; i < f.number_of_sections; ++i) {
        const ByteView h = table.sub(i * kSectionHeaderSize, kSectionHeaderSize, "section header");
        Section s;
        s.name = section_name(h);
        s.virtual_size = h.u32(8, "section VirtualSize");
        s.virtual_address = h.u32(12, "section VirtualAddress");
        s.raw_size = h.u32(16, "section SizeOfRawData");
        s.raw_offset = h.u32(20, "section PointerToRawData");
        s.characteristics = h.u32(36, "section Characteristics");
        if (s.raw_size != 0) file.require(s.raw_offset, s.raw_size, ("raw data of section " + s.name).c_str());
        image.sections_.push_back(std::move(s));
    }
    return image;
}

const Section* Image::find_section(const std::string& name) const {
    for (const Section& s : sections_) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

DataDirectory Image::directory(Directory which) const {
    const auto index = static_cast<std::size_t>(which);
    return index < directories_.size() ? directories_[index] : DataDirectory{};
}

std::optional<std::size_t> Image::rva_to_offset(std::uint32_t rva) const {
    if (rva < optional_header_.size_of_headers && rva < bytes_.size()) return rva;
    for (const Section& s : sections_) {
        const std::uint32_t mapped = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        if (rva >= s.virtual_address && rva - s.virtual_address < mapped) {
            const std::uint32_t delta = rva - s.virtual_address;
            if (delta >= s.raw_size) return std::nullopt;  // zero-filled, not in the file
            return std::size_t{s.raw_offset} + delta;
        }
    }
    return std::nullopt;
}

ByteView Image::view_from_rva(std::uint32_t rva, const char* what) const {
    const ByteView file(bytes_);
    if (rva < optional_header_.size_of_headers && rva < bytes_.size()) {
        return file.sub(rva, std::min<std::size_t>(optional_header_.size_of_headers, bytes_.size()) - rva, what);
    }
    for (const Section& s : sections_) {
        const std::uint32_t mapped = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        if (rva >= s.virtual_address && rva - s.virtual_address < mapped) {
            const std::uint32_t delta = rva - s.virtual_address;
            const std::uint32_t backed = std::min(mapped, s.raw_size);
            if (delta >= backed) break;
            return file.sub(std::size_t{s.raw_offset} + delta, backed - delta, what);
        }
    }
    throw FormatError(std::string(what) + ": RVA " + hex(rva) + " is not backed by the file");
}

ByteView Image::view_at_rva(std::uint32_t rva, std::uint32_t size, const char* what) const {
    const ByteView from = view_from_rva(rva, what);
    if (size > from.size()) {
        throw FormatError(std::string(what) + ": " + std::to_string(size) + " bytes at RVA " + hex(rva) +
                          " run past the end of their section");
    }
    return from.sub(0, size, what);
}

std::vector<ImportedModule> Image::imports() const {
    std::vector<ImportedModule> modules;
    const DataDirectory dir = directory(Directory::Import);
    if (dir.rva == 0) return modules;

    const ByteView descriptors = view_from_rva(dir.rva, "import directory");
    for (std::size_t at = 0;; at += kImportDescriptorSize) {
        const ByteView d = descriptors.sub(at, kImportDescriptorSize, "import descriptor");
        const std::uint32_t lookup_rva = d.u32(0, "import OriginalFirstThunk");
        const std::uint32_t name_rva = d.u32(12, "import Name");
        const std::uint32_t iat_rva = d.u32(16, "import FirstThunk");
        if (lookup_rva == 0 && name_rva == 0 && iat_rva == 0) break;

        ImportedModule module;
        module.iat_rva = iat_rva;
        module.name = view_from_rva(name_rva, "import module name").c_string(0, "import module name");
        const ByteView thunks = view_from_rva(lookup_rva != 0 ? lookup_rva : iat_rva, "import lookup table");
        for (std::size_t t = 0;; t += 4) {
            const std::uint32_t thunk = thunks.u32(t, "import lookup entry");
            if (thunk == 0) break;
            ImportedFunction fn;
            if (thunk & kOrdinalFlag) {
                fn.by_ordinal = true;
                fn.ordinal = static_cast<std::uint16_t>(thunk & 0xFFFF);
            } else {
                const ByteView hint_name = view_from_rva(thunk, "import hint/name");
                fn.hint = hint_name.u16(0, "import hint");
                fn.name = hint_name.c_string(2, "import name");
            }
            module.functions.push_back(std::move(fn));
        }
        modules.push_back(std::move(module));
    }
    return modules;
}

std::vector<std::string> Image::export_names() const {
    std::vector<std::string> names;
    const DataDirectory dir = directory(Directory::Export);
    if (dir.rva == 0) return names;
    const ByteView table = view_at_rva(dir.rva, 40, "export directory");
    const std::uint32_t count = table.u32(24, "export NumberOfNames");
    const ByteView name_rvas = view_at_rva(table.u32(32, "export AddressOfNames"), count * 4, "export name table");
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t rva = name_rvas.u32(i * 4, "export name pointer");
        names.push_back(view_from_rva(rva, "export name").c_string(0, "export name"));
    }
    return names;
}

std::vector<Relocation> Image::relocation_entries() const {
    std::vector<Relocation> entries;
    const DataDirectory dir = directory(Directory::BaseRelocation);
    if (dir.rva == 0 || dir.size == 0) return entries;

    const ByteView all = view_at_rva(dir.rva, dir.size, "base relocation directory");
    for (std::size_t at = 0; at < all.size();) {
        const std::uint32_t page_rva = all.u32(at, "base relocation block page");
        const std::uint32_t block_size = all.u32(at + 4, "base relocation block size");
        if (block_size < 8 || block_size % 2 != 0) {
            throw FormatError("base relocation block at offset " + hex(at) + " has invalid size " +
                              std::to_string(block_size));
        }
        const ByteView block = all.sub(at, block_size, "base relocation block");
        for (std::size_t e = 8; e < block_size; e += 2) {
            const std::uint16_t entry = block.u16(e, "base relocation entry");
            const unsigned type = entry >> 12;
            if (type == 0) continue;  // IMAGE_REL_BASED_ABSOLUTE pads a block to 4 bytes
            entries.push_back({page_rva + (entry & 0x0FFFu), type});
        }
        at += block_size;
    }
    return entries;
}

RelocationSummary Image::relocations() const {
    RelocationSummary summary;
    const DataDirectory dir = directory(Directory::BaseRelocation);
    if (dir.rva == 0 || dir.size == 0) return summary;

    // The entries first: reading them checks every block's size.
    for (const Relocation& r : relocation_entries()) {
        ++summary.entries;
        ++summary.entries_by_type[r.type];
    }
    const ByteView all = view_at_rva(dir.rva, dir.size, "base relocation directory");
    for (std::size_t at = 0; at < all.size(); at += all.u32(at + 4, "base relocation block size"))
        ++summary.blocks;
    return summary;
}

std::uint32_t compute_checksum(ByteView file, std::size_t checksum_offset) {
    // The field counts as zero wherever it lies, so odd placements need no special case.
    const auto byte_at = [&](std::size_t i) -> std::uint32_t {
        if (i >= checksum_offset && i - checksum_offset < 4) return 0;
        return i < file.size() ? file.data()[i] : 0;
    };
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < file.size(); i += 2) {
        sum += byte_at(i) | (byte_at(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + file.size());
}

std::uint32_t Image::computed_checksum() const {
    return compute_checksum(ByteView(bytes_), checksum_offset_);
}

}  // namespace krvdlc::pe
