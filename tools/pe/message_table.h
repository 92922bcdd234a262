// RT_MESSAGETABLE resource (MESSAGE_RESOURCE_DATA): blocks of consecutive message ids, each
// pointing at its run of entries {Length, Flags, Text}. Used by the image checks and by the
// event viewer to format the driver's event-log entries.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/pe/byte_view.h"

namespace krvdlc::pe {

constexpr std::uint16_t kMessageFlagUnicode = 0x0001;  // MESSAGE_RESOURCE_UNICODE

struct MessageBlock {
    std::uint32_t low_id = 0;
    std::uint32_t high_id = 0;
    std::uint32_t offset_to_entries = 0;  // from the start of the resource
};

struct MessageEntry {
    std::uint16_t length = 0;  // whole entry, its 4-byte header included
    std::uint16_t flags = 0;   // 0 = ANSI, kMessageFlagUnicode = UTF-16LE
    std::string text;          // up to the first NUL; UTF-16 texts converted to UTF-8
    std::vector<std::uint8_t> stored;  // the entry's text bytes as stored, padding included
};

struct MessageTable {
    std::vector<MessageBlock> blocks;
    std::map<std::uint32_t, MessageEntry> entries;

    // The text of a message, or nothing when the table has no such id.
    std::optional<std::string> text(std::uint32_t id) const;
};

// Throws FormatError on a malformed table (blocks or entries out of range, overlapping ids,
// zero-length entries).
MessageTable parse_message_table(ByteView resource);

}  // namespace krvdlc::pe
