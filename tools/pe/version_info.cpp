#include "tools/pe/version_info.h"

#include <algorithm>
#include <iterator>

#include "tools/pe/utf16.h"

namespace krvdlc::pe {
namespace {

constexpr std::size_t kNodeHeaderSize = 6;  // wLength, wValueLength, wType
constexpr std::size_t kFixedFileInfoSize = 52;
constexpr int kMaxDepth = 4;  // VS_VERSIONINFO / StringFileInfo / StringTable / String

std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// One node of the version block tree: every node is {wLength, wValueLength, wType, szKey,
// padding, Value, padding, Children}, where wValueLength counts characters for text values
// (wType 1) and bytes for binary ones.
struct Node {
    std::string key;
    std::uint16_t type = 0;
    ByteView value;
    std::vector<Node> children;
};

Node parse_node(ByteView block, int depth) {
    if (depth > kMaxDepth) throw FormatError("version resource nests deeper than its format allows");
    const std::uint16_t length = block.u16(0, "version node wLength");
    if (length < kNodeHeaderSize) {
        throw FormatError("version node length " + std::to_string(length) + " is shorter than its header");
    }
    const ByteView node = block.sub(0, length, "version node");
    const std::uint16_t value_length = node.u16(2, "version node wValueLength");
    Node out;
    out.type = node.u16(4, "version node wType");
    std::size_t key_units = 0;
    out.key = utf8_from_utf16(read_utf16z(node, kNodeHeaderSize, false, "version node key", &key_units));

    const std::size_t value_offset = align4(kNodeHeaderSize + 2 * key_units);
    const std::size_t value_bytes = out.type == 1 ? 2 * std::size_t{value_length} : value_length;
    if (value_bytes != 0) {
        // Some compilers count the terminating NUL of a text value and some do not; the value
        // never extends past its node.
        out.value = node.sub(value_offset, std::min(value_bytes, node.size() - std::min(node.size(), value_offset)),
                             "version node value");
    }
    for (std::size_t at = align4(value_offset + value_bytes); at < node.size();) {
        Node child = parse_node(node.tail(at, "version child"), depth + 1);
        at += align4(node.u16(at, "version child wLength"));
        out.children.push_back(std::move(child));
    }
    return out;
}

std::string text_value(const Node& node) {
    if (node.value.empty()) return {};
    return utf8_from_utf16(read_utf16z(node.value, 0, true, "version string value"));
}

FixedFileInfo parse_fixed(ByteView v) {
    if (v.size() < kFixedFileInfoSize) {
        throw FormatError("VS_FIXEDFILEINFO has " + std::to_string(v.size()) + " bytes, expected 52");
    }
    FixedFileInfo f;
    std::uint32_t* fields[] = {&f.signature,       &f.struct_version,     &f.file_version_ms, &f.file_version_ls,
                               &f.product_version_ms, &f.product_version_ls, &f.file_flags_mask, &f.file_flags,
                               &f.file_os,         &f.file_type,          &f.file_subtype,    &f.file_date_ms,
                               &f.file_date_ls};
    for (std::size_t i = 0; i < std::size(fields); ++i) *fields[i] = v.u32(4 * i, "VS_FIXEDFILEINFO");
    if (f.signature != kFixedFileInfoSignature) {
        throw FormatError("VS_FIXEDFILEINFO signature " + hex(f.signature) + " is not 0xFEEF04BD");
    }
    return f;
}

}  // namespace

VersionInfo parse_version_info(ByteView resource) {
    const Node root = parse_node(resource, 0);
    if (root.key != "VS_VERSION_INFO") throw FormatError("version resource key is \"" + root.key + "\"");
    VersionInfo info;
    info.fixed = parse_fixed(root.value);
    for (const Node& child : root.children) {
        if (child.key == "StringFileInfo") {
            for (const Node& table : child.children) {
                auto& entries = info.string_tables[table.key];
                for (const Node& entry : table.children) entries[entry.key] = text_value(entry);
            }
        } else if (child.key == "VarFileInfo") {
            for (const Node& var : child.children) {
                if (var.key != "Translation") continue;
                for (std::size_t at = 0; at + 4 <= var.value.size(); at += 4) {
                    info.translations.emplace_back(var.value.u16(at, "Translation"), var.value.u16(at + 2, "Translation"));
                }
            }
        }
    }
    return info;
}

}  // namespace krvdlc::pe
