// UTF-16LE text as found in resources, converted to UTF-8 for comparison and display.
#pragma once

#include <string>

#include "tools/pe/byte_view.h"

namespace krvdlc::pe {

// Converts UTF-16 code units to UTF-8. Unpaired surrogates become U+FFFD.
std::string utf8_from_utf16(const std::u16string& text);

// Reads UTF-16LE code units at offset up to (not including) a NUL unit. When the view ends
// first, the text read so far is returned if allow_unterminated, else FormatError is thrown.
// *units_read (if given) receives the count of units consumed, the NUL included.
std::u16string read_utf16z(ByteView view, std::size_t offset, bool allow_unterminated, const char* what,
                           std::size_t* units_read = nullptr);

}  // namespace krvdlc::pe
