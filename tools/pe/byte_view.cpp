#include "tools/pe/byte_view.h"

#include <cstdio>
#include <cstring>

namespace krvdlc::pe {

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

void ByteView::require(std::size_t offset, std::size_t length, const char* what) const {
    if (!contains(offset, length)) {
        throw FormatError(std::string(what) + ": " + std::to_string(length) + " bytes at offset " +
                          hex(offset) + " lie outside the " + std::to_string(size_) + " bytes available");
    }
}

std::string ByteView::c_string(std::size_t offset, const char* what) const {
    require(offset, 0, what);
    const void* nul = std::memchr(data_ + offset, 0, size_ - offset);
    if (nul == nullptr) {
        throw FormatError(std::string(what) + ": string at offset " + hex(offset) + " has no terminating NUL");
    }
    const auto* end = static_cast<const std::uint8_t*>(nul);
    return std::string(reinterpret_cast<const char*>(data_ + offset), static_cast<std::size_t>(end - (data_ + offset)));
}

}  // namespace krvdlc::pe
