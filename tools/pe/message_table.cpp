#include "tools/pe/message_table.h"

#include "tools/pe/utf16.h"

namespace krvdlc::pe {
namespace {

constexpr std::size_t kBlockSize = 12;
constexpr std::size_t kEntryHeaderSize = 4;

}  // namespace

std::optional<std::string> MessageTable::text(std::uint32_t id) const {
    const auto it = entries.find(id);
    if (it == entries.end()) return std::nullopt;
    return it->second.text;
}

MessageTable parse_message_table(ByteView resource) {
    MessageTable table;
    const std::uint32_t block_count = resource.u32(0, "message table NumberOfBlocks");
    const ByteView blocks = resource.sub(4, std::size_t{block_count} * kBlockSize, "message table blocks");
    std::uint64_t total_ids = 0;
    for (std::size_t b = 0; b < block_count; ++b) {
        MessageBlock block;
        block.low_id = blocks.u32(b * kBlockSize, "message block LowId");
        block.high_id = blocks.u32(b * kBlockSize + 4, "message block HighId");
        block.offset_to_entries = blocks.u32(b * kBlockSize + 8, "message block OffsetToEntries");
        if (block.high_id < block.low_id) {
            throw FormatError("message block " + std::to_string(b) + ": HighId " + hex(block.high_id) +
                              " is below LowId " + hex(block.low_id));
        }
        // Each id needs a 4-byte entry header of its own, which bounds the work by the resource
        // size even for blocks claiming billions of ids or sharing their entries.
        const std::uint64_t ids = std::uint64_t{block.high_id} - block.low_id + 1;
        total_ids += ids;
        if (total_ids * kEntryHeaderSize > resource.size()) {
            throw FormatError("message block " + std::to_string(b) + " claims " + std::to_string(ids) +
                              " entries, more than the resource can hold");
        }

        std::size_t at = block.offset_to_entries;
        for (std::uint64_t i = 0; i < ids; ++i) {
            const std::uint32_t id = block.low_id + static_cast<std::uint32_t>(i);
            MessageEntry entry;
            entry.length = resource.u16(at, "message entry Length");
            entry.flags = resource.u16(at + 2, "message entry Flags");
            if (entry.length < kEntryHeaderSize) {
                throw FormatError("message " + hex(id) + ": entry length " + std::to_string(entry.length) +
                                  " is shorter than its header");
            }
            const ByteView body = resource.sub(at + kEntryHeaderSize, entry.length - kEntryHeaderSize,
                                               "message entry text");
            entry.stored.assign(body.data(), body.data() + body.size());
            if (entry.flags & kMessageFlagUnicode) {
                entry.text = utf8_from_utf16(read_utf16z(body, 0, true, "message entry text"));
            } else {
                std::size_t n = 0;
                while (n < body.size() && body.data()[n] != 0) ++n;
                entry.text.assign(reinterpret_cast<const char*>(body.data()), n);
            }
            if (!table.entries.emplace(id, std::move(entry)).second) {
                throw FormatError("message " + hex(id) + " appears in more than one block");
            }
            at += table.entries[id].length;
        }
        table.blocks.push_back(block);
    }
    return table;
}

}  // namespace krvdlc::pe
