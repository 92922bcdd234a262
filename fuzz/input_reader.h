// input_reader.h - reads a fuzz input field by field; past its end every field reads as
// zero, so any byte string is a complete input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krvdlc::fuzz {

class InputReader {
public:
    InputReader(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool done() const { return offset_ >= size_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t Word()
    {
        uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t Long()
    {
        uint32_t low = Word();
        return low | (static_cast<uint32_t>(Word()) << 16);
    }
    // `count` bytes: as many as the input still holds, the rest zero.
    std::vector<uint8_t> Bytes(size_t count)
    {
        std::vector<uint8_t> bytes(count, 0);
        for (size_t i = 0; i < count && offset_ < size_; i++)
            bytes[i] = data_[offset_++];
        return bytes;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace krvdlc::fuzz
