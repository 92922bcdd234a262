#include "tools/pe/resources.h"

#include "tools/pe/utf16.h"

namespace krvdlc::pe {
namespace {

constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::size_t kDirectoryHeaderSize = 16;
constexpr std::size_t kDirectoryEntrySize = 8;
constexpr std::size_t kDataEntrySize = 16;
constexpr int kLevels = 3;  // type, name, language
// Entries may share subdirectories, so a crafted directory could name the same data a huge
// number of times; a real image has a handful of resources.
constexpr std::size_t kMaxResources = 65536;
constexpr std::size_t kMaxTotalBytes = 64u << 20;

struct Walker {
    const Image& image;
    ByteView section;  // the resource directory; all offsets inside are relative to its start
    std::vector<Resource>& out;
    std::size_t total_bytes = 0;

    ResourceId entry_id(std::uint32_t raw) const {
        if (!(raw & kHighBit)) return ResourceId::of(raw);
        const std::size_t at = raw & ~kHighBit;
        const std::uint16_t length = section.u16(at, "resource name length");
        const ByteView chars = section.sub(at + 2, std::size_t{length} * 2, "resource name");
        std::u16string name;
        for (std::size_t i = 0; i < length; ++i) name.push_back(chars.u16(2 * i, "resource name"));
        return ResourceId::named(utf8_from_utf16(name));
    }

    // Levels strictly descend, so a directory that points back at itself ends in an error
    // at the leaf level instead of recursing forever.
    void walk(std::size_t dir_offset, int level, Resource path) {
        const ByteView header = section.sub(dir_offset, kDirectoryHeaderSize, "resource directory");
        const std::size_t count = std::size_t{header.u16(12, "resource directory NumberOfNamedEntries")} +
                                  header.u16(14, "resource directory NumberOfIdEntries");
        const ByteView entries = section.sub(dir_offset + kDirectoryHeaderSize, count * kDirectoryEntrySize,
                                             "resource directory entries");
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t raw_id = entries.u32(i * kDirectoryEntrySize, "resource entry Name");
            const std::uint32_t target = entries.u32(i * kDirectoryEntrySize + 4, "resource entry OffsetToData");
            Resource next = path;
            const ResourceId id = entry_id(raw_id);
            if (level == 0) {
                next.type = id;
            } else if (level == 1) {
                next.name = id;
            } else {
                if (id.is_name) throw FormatError("resource language entry has a name instead of a number");
                next.language = id.number;
            }
            const bool is_directory = (target & kHighBit) != 0;
            if (level + 1 < kLevels) {
                if (!is_directory) {
                    throw FormatError("resource entry at level " + std::to_string(level) +
                                      " points at data instead of a directory");
                }
                walk(target & ~kHighBit, level + 1, std::move(next));
            } else {
                if (is_directory) throw FormatError("resource language entry points at a further directory");
                const ByteView leaf = section.sub(target, kDataEntrySize, "resource data entry");
                next.data_rva = leaf.u32(0, "resource data OffsetToData");
                const std::uint32_t size = leaf.u32(4, "resource data Size");
                next.code_page = leaf.u32(8, "resource data CodePage");
                const ByteView data = image.view_at_rva(next.data_rva, size, "resource data");
                total_bytes += data.size();
                if (out.size() >= kMaxResources || total_bytes > kMaxTotalBytes) {
                    throw FormatError("resource directory names more resources than an image can hold");
                }
                next.data.assign(data.data(), data.data() + data.size());
                out.push_back(std::move(next));
            }
        }
    }
};

}  // namespace

std::string ResourceId::to_string() const {
    return is_name ? "\"" + name + "\"" : std::to_string(number);
}

std::vector<Resource> read_resources(const Image& image) {
    std::vector<Resource> resources;
    const DataDirectory dir = image.directory(Directory::Resource);
    if (dir.rva == 0 || dir.size == 0) return resources;
    Walker walker{image, image.view_at_rva(dir.rva, dir.size, "resource directory"), resources};
    walker.walk(0, 0, Resource{});
    return resources;
}

const Resource* find_resource(const std::vector<Resource>& resources, const ResourceId& type,
                              const ResourceId& name, std::uint32_t language) {
    for (const Resource& r : resources) {
        if (r.type == type && r.name == name && r.language == language) return &r;
    }
    return nullptr;
}

}  // namespace krvdlc::pe
