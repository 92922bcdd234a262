// Shared by the image tests: where the driver image is, what its link recorded next to it
// (build/driver/KRVDLC.link), and a fixture that loads the image or fails saying how to
// build it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/pe/image.h"

namespace krvdlc::image_test {

// The driver image the driver preset builds.
std::string ImagePath();

// Facts the driver build wrote into KRVDLC.link beside the image.
struct LinkInfo {
    std::string entry_symbol;
    std::uint32_t entry_address = 0;  // virtual address at the preferred image base
    std::vector<std::string> import_libraries;
    std::string message_header;
};

// Reads KRVDLC.link next to the image; throws std::runtime_error when it is missing or damaged.
LinkInfo ReadLinkInfo(const std::string& image_path);

std::vector<std::uint8_t> ReadFileBytes(const std::string& path);

class DriverImageTest : public ::testing::Test {
protected:
    void SetUp() override;

    const pe::Image& image() const { return *image_; }
    const LinkInfo& link() const { return *link_; }

private:
    std::optional<pe::Image> image_;
    std::optional<LinkInfo> link_;
};

}  // namespace krvdlc::image_test
