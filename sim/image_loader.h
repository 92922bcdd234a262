// image_loader.h - a driver image (KRVDLC.SYS as built for x86 Windows) loaded into the
// simulated machine the way the platform's loader loads a kernel-mode driver.
//
// LoadImage checks the headers (x86, native subsystem, an executable image), maps the
// sections at their offsets into fresh executable memory, zeroes what their raw data does
// not cover, applies the base relocations for the address it got (an image without
// relocations must get its preferred base), binds every import to the simulated kernel,
// HAL or NDIS (sim/image_exports.h) and gives each section the protection it asks for.
// Anything a Windows loader would refuse ends in an ImageLoadError whose message names
// the image and what is wrong (every unresolved import at once). Only 32-bit builds can
// run an image; elsewhere LoadImage always refuses.
//
// The mapping lives as long as the LoadedImage: keep it until the driver has unloaded
// and the machine that ran it is gone. The entry point is called through
// sim::LoadDriver like any PDRIVER_INITIALIZE.
#pragma once

#include "sim/machine.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

class ImageLoadError : public std::runtime_error {
public:
    explicit ImageLoadError(const std::string &what) : std::runtime_error(what) {}
};

class LoadedImage {
public:
    ~LoadedImage();
    LoadedImage(const LoadedImage &) = delete;
    LoadedImage &operator=(const LoadedImage &) = delete;

    const std::string &name() const { return name_; }
    uintptr_t base() const { return base_; }
    uint32_t size() const { return size_; }
    uint32_t preferredBase() const { return preferredBase_; }
    PDRIVER_INITIALIZE entry() const { return entry_; }
    size_t relocationsApplied() const { return relocations_; }
    size_t importsBound() const { return imports_; }

    // The loaded address of a symbol of the image's linker map (the C++ name as the map
    // prints it, e.g. "TraceLevel"; a routine also by its name alone, see FindMapSymbol),
    // or null when the map was not given or lacks it.
    void *Symbol(const std::string &name) const;
    bool Contains(const void *address) const;

private:
    friend std::unique_ptr<LoadedImage> LoadImage(std::vector<uint8_t>, std::string,
                                                  std::map<std::string, uint32_t>);
    LoadedImage() = default;

    std::string name_;
    uintptr_t base_ = 0;
    uint32_t size_ = 0;
    uint32_t preferredBase_ = 0;
    PDRIVER_INITIALIZE entry_ = nullptr;
    size_t relocations_ = 0;
    size_t imports_ = 0;
    std::map<std::string, uint32_t> symbols_;   // name -> address at the preferred base
};

// Loads the image from its bytes; `name` appears in every message; `symbols` maps names
// to their addresses at the preferred base (ReadLinkerMap). Throws ImageLoadError.
std::unique_ptr<LoadedImage> LoadImage(std::vector<uint8_t> bytes, std::string name,
                                       std::map<std::string, uint32_t> symbols = {});
// Loads the file at `path`, with the symbols of the linker map beside it (KRVDLC.SYS ->
// KRVDLC.map) when there is one.
std::unique_ptr<LoadedImage> LoadImageFile(const std::string &path);

// The symbols of an ld linker map for a PE image ("  0x0001b064   TraceLevel" lines).
std::map<std::string, uint32_t> ReadLinkerMap(const std::string &path);
// The map beside an image: KRVDLC.SYS -> KRVDLC.map.
std::string LinkerMapPath(const std::string &imagePath);
// The address of `name` in a map: a variable by its name, a routine also by its name
// alone ("KrvDlcOpen" finds "KrvDlcOpen(_DEVICE_OBJECT*, _IRP*)@8", "DriverEntry" finds
// "DriverEntry@8").
std::optional<uint32_t> FindMapSymbol(const std::map<std::string, uint32_t> &symbols,
                                      const std::string &name);

}  // namespace sim
