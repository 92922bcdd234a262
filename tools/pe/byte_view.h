// A bounds-checked, read-only window onto bytes with little-endian reads. Every read outside
// the window throws FormatError naming what was being read; nothing reads past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/pe/error.h"

namespace krvdlc::pe {

class ByteView {
public:
    ByteView() = default;
    ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit ByteView(const std::vector<std::uint8_t>& bytes) : data_(bytes.data()), size_(bytes.size()) {}

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // True when [offset, offset + length) lies inside the view (no overflow).
    bool contains(std::size_t offset, std::size_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    // The part [offset, offset + length); throws when it does not fit.
    ByteView sub(std::size_t offset, std::size_t length, const char* what) const {
        require(offset, length, what);
        return ByteView(data_ + offset, length);
    }
    // The part from offset to the end.
    ByteView tail(std::size_t offset, const char* what) const {
        require(offset, 0, what);
        return ByteView(data_ + offset, size_ - offset);
    }

    std::uint8_t u8(std::size_t offset, const char* what) const {
        require(offset, 1, what);
        return data_[offset];
    }
    std::uint16_t u16(std::size_t offset, const char* what) const {
        require(offset, 2, what);
        return static_cast<std::uint16_t>(data_[offset] | (data_[offset + 1] << 8));
    }
    std::uint32_t u32(std::size_t offset, const char* what) const {
        require(offset, 4, what);
        return static_cast<std::uint32_t>(data_[offset]) |
               (static_cast<std::uint32_t>(data_[offset + 1]) << 8) |
               (static_cast<std::uint32_t>(data_[offset + 2]) << 16) |
               (static_cast<std::uint32_t>(data_[offset + 3]) << 24);
    }

    // The NUL-terminated byte string at offset (without its NUL). A string that runs to the
    // end of the view without a NUL is an error.
    std::string c_string(std::size_t offset, const char* what) const;

    // Copies [offset, offset + length).
    std::vector<std::uint8_t> bytes(std::size_t offset, std::size_t length, const char* what) const {
        ByteView part = sub(offset, length, what);
        return std::vector<std::uint8_t>(part.data_, part.data_ + part.size_);
    }

    void require(std::size_t offset, std::size_t length, const char* what) const;

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace krvdlc::pe
