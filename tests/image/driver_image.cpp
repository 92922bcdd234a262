#include "tests/image/driver_image.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace krvdlc::image_test {

std::string ImagePath() { return KRVDLC_IMAGE_PATH; }

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

LinkInfo ReadLinkInfo(const std::string& image_path) {
    const std::filesystem::path path = std::filesystem::path(image_path).replace_extension(".link");
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path.string() + " (written by the driver build)");
    LinkInfo info;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "entry") {
            std::string address;
            fields >> info.entry_symbol >> address;
            info.entry_address = static_cast<std::uint32_t>(std::stoul(address, nullptr, 16));
        } else if (key == "import_library") {
            std::string library;
            fields >> library;
            info.import_libraries.push_back(library);
        } else if (key == "message_header") {
            fields >> info.message_header;
        }
    }
    if (info.entry_symbol.empty() || info.import_libraries.empty() || info.message_header.empty()) {
        throw std::runtime_error(path.string() + " lacks the entry, import_library or message_header line");
    }
    return info;
}

void DriverImageTest::SetUp() {
    const std::string path = ImagePath();
    ASSERT_TRUE(std::filesystem::exists(path))
        << "The driver image " << path << " does not exist. Build the driver preset first:\n"
        << "  cmake --preset driver && cmake --build --preset driver";
    ASSERT_NO_THROW(image_ = pe::Image::load(path));
    ASSERT_NO_THROW(link_ = ReadLinkInfo(path));
}

}  // namespace krvdlc::image_test
