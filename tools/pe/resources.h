// Resource directory of a PE image: the three levels type / name / language down to the
// data entries, each returned with a copy of its bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pe/image.h"

namespace krvdlc::pe {

constexpr std::uint32_t kResourceTypeMessageTable = 11;  // RT_MESSAGETABLE
constexpr std::uint32_t kResourceTypeVersion = 16;       // RT_VERSION

// A directory entry's identifier: a number, or a name (UTF-16 in the image, UTF-8 here).
struct ResourceId {
    bool is_name = false;
    std::uint32_t number = 0;
    std::string name;

    static ResourceId of(std::uint32_t number) { return ResourceId{false, number, {}}; }
    static ResourceId named(std::string name) { return ResourceId{true, 0, std::move(name)}; }
    bool operator==(const ResourceId& other) const {
        return is_name == other.is_name && (is_name ? name == other.name : number == other.number);
    }
    std::string to_string() const;
};

struct Resource {
    ResourceId type;
    ResourceId name;
    std::uint32_t language = 0;
    std::uint32_t data_rva = 0;
    std::uint32_t code_page = 0;
    std::vector<std::uint8_t> data;
};

// All resources of the image in directory order; none when the image has no resource
// directory. Throws FormatError on a malformed directory.
std::vector<Resource> read_resources(const Image& image);

// The resource with that type, name and language, or nullptr.
const Resource* find_resource(const std::vector<Resource>& resources, const ResourceId& type,
                              const ResourceId& name, std::uint32_t language);

}  // namespace krvdlc::pe
