// Errors of the PE reader: every malformed or truncated input ends in a FormatError whose
// message names the structure and the offset that could not be read.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace krvdlc::pe {

class FormatError : public std::runtime_error {
public:
    explicit FormatError(const std::string& what) : std::runtime_error(what) {}
};

// "0x1A2B" for messages.
std::string hex(std::uint64_t value);

}  // namespace krvdlc::pe
