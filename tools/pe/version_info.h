// VS_VERSIONINFO (RT_VERSION resource): the fixed file information and the StringFileInfo
// tables, plus the VarFileInfo translations.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/pe/byte_view.h"

namespace krvdlc::pe {

struct FixedFileInfo {
    std::uint32_t signature = 0;  // 0xFEEF04BD
    std::uint32_t struct_version = 0;
    std::uint32_t file_version_ms = 0;
    std::uint32_t file_version_ls = 0;
    std::uint32_t product_version_ms = 0;
    std::uint32_t product_version_ls = 0;
    std::uint32_t file_flags_mask = 0;
    std::uint32_t file_flags = 0;
    std::uint32_t file_os = 0;
    std::uint32_t file_type = 0;
    std::uint32_t file_subtype = 0;
    std::uint32_t file_date_ms = 0;
    std::uint32_t file_date_ls = 0;
};

constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

struct VersionInfo {
    FixedFileInfo fixed;
    // StringFileInfo: table key (e.g. "040904B0") -> entry name -> value (UTF-8).
    std::map<std::string, std::map<std::string, std::string>> string_tables;
    // VarFileInfo\Translation: (language, code page) pairs.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;
};

// Throws FormatError on a malformed block.
VersionInfo parse_version_info(ByteView resource);

}  // namespace krvdlc::pe
