#include "tools/pe/utf16.h"

namespace krvdlc::pe {
namespace {

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

std::string utf8_from_utf16(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            append_utf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, unit);
        }
    }
    return out;
}

std::u16string read_utf16z(ByteView view, std::size_t offset, bool allow_unterminated, const char* what,
                           std::size_t* units_read) {
    view.require(offset, 0, what);
    std::u16string text;
    std::size_t at = offset;
    for (;;) {
        if (!view.contains(at, 2)) {
            if (!allow_unterminated) {
                throw FormatError(std::string(what) + ": UTF-16 string at offset " + hex(offset) +
                                  " has no terminating NUL");
            }
            break;
        }
        const char16_t unit = view.u16(at, what);
        at += 2;
        if (unit == 0) break;
        text.push_back(unit);
    }
    if (units_read != nullptr) *units_read = (at - offset) / 2;
    return text;
}

}  // namespace krvdlc::pe
