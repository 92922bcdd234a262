// image_loader.cpp - mapping, relocating and binding a driver image in the simulated machine.
#include "sim/image_loader.h"

#include "sim/image_exports.h"
#include "tools/pe/image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

namespace sim {

namespace pe = krvdlc::pe;

namespace {

constexpr uint16_t kRelocsStripped = 0x0001;   // IMAGE_FILE_RELOCS_STRIPPED
constexpr uint16_t kExecutableImage = 0x0002;  // IMAGE_FILE_EXECUTABLE_IMAGE
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr unsigned kRelocationHighLow = 3;     // IMAGE_REL_BASED_HIGHLOW

std::string Hex(uint64_t value)
{
    return pe::hex(value);
}

// One anonymous mapping, released unless the load succeeds.
class Mapping {
public:
    Mapping(void *hint, size_t size) : size_(size)
    {
        void *address = mmap(hint, size, PROT_READ | PROT_WRITE | PROT_EXEC,
                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        address_ = address == MAP_FAILED ? nullptr : static_cast<uint8_t *>(address);
    }
    ~Mapping()
    {
        if (address_ != nullptr)
            munmap(address_, size_);
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    uint8_t *get() const { return address_; }
    uint8_t *release() { return std::exchange(address_, nullptr); }

private:
    uint8_t *address_ = nullptr;
    size_t size_;
};

size_t PageSize()
{
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t RoundUp(size_t value, size_t unit)
{
    return (value + unit - 1) / unit * unit;
}

class Loader {
public:
    Loader(const pe::Image &image, const std::string &name) : image_(image), name_(name) {}

    [[noreturn]] void Refuse(const std::string &why) const { throw ImageLoadError(name_ + ": " + why); }

    void CheckHeaders() const
    {
        const pe::FileHeader &file = image_.file_header();
        const pe::OptionalHeader &optional = image_.optional_header();
        if (file.machine != pe::kMachineI386)
            Refuse("machine type " + Hex(file.machine) + " is not x86 (0x14C); not loaded");
        if ((file.characteristics & kExecutableImage) == 0)
            Refuse("not marked as an executable image (an object file or a damaged header); not loaded");
        if (optional.subsystem != pe::kSubsystemNative)
            Refuse("subsystem " + std::to_string(optional.subsystem) +
                   " is not native (1): not a kernel-mode driver; not loaded");
        if (optional.size_of_image == 0 || optional.size_of_headers > optional.size_of_image)
            Refuse("SizeOfImage " + Hex(optional.size_of_image) + " cannot hold its headers");
        if (optional.address_of_entry_point == 0 ||
            optional.address_of_entry_point >= optional.size_of_image)
            Refuse("entry point RVA " + Hex(optional.address_of_entry_point) +
                   " lies outside the image");
        for (const pe::Section &section : image_.sections()) {
            uint64_t end = uint64_t{section.virtual_address} +
                           std::max(section.virtual_size, section.raw_size);
            if (end > optional.size_of_image)
                Refuse("section " + section.name + " ends at RVA " + Hex(end) +
                       ", past SizeOfImage " + Hex(optional.size_of_image));
        }
    }

    bool Relocatable() const
    {
        return (image_.file_header().characteristics & kRelocsStripped) == 0 &&
               image_.directory(pe::Directory::BaseRelocation).size != 0;
    }

    // Headers and sections at their RVAs; what raw data does not cover stays zero.
    void Map(uint8_t *base) const
    {
        const auto &bytes = image_.bytes();
        std::memcpy(base, bytes.data(), std::min<size_t>(image_.optional_header().size_of_headers, bytes.size()));
        for (const pe::Section &section : image_.sections()) {
            uint32_t span = section.virtual_size != 0 ? section.virtual_size : section.raw_size;
            uint32_t copied = std::min(span, section.raw_size);
            std::memcpy(base + section.virtual_address, bytes.data() + section.raw_offset, copied);
            std::memset(base + section.virtual_address + copied, 0, span - copied);
        }
    }

    size_t Relocate(uint8_t *base) const
    {
        std::vector<pe::Relocation> relocations;
        try {
            relocations = image_.relocation_entries();
        } catch (const pe::FormatError &error) {
            Refuse(std::string("damaged base relocations: ") + error.what());
        }
        const uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base)) -
                               image_.optional_header().image_base;
        for (const pe::Relocation &relocation : relocations) {
            if (relocation.type != kRelocationHighLow)
                Refuse("base relocation of type " + std::to_string(relocation.type) + " at RVA " +
                       Hex(relocation.rva) + ": an x86 image uses HIGHLOW (3) only");
            if (uint64_t{relocation.rva} + 4 > image_.optional_header().size_of_image)
                Refuse("base relocation at RVA " + Hex(relocation.rva) + " lies outside the image");
            uint32_t value;
            std::memcpy(&value, base + relocation.rva, 4);
            value += delta;
            std::memcpy(base + relocation.rva, &value, 4);
        }
        return relocations.size();
    }

    // Writes every import's address into its slot; names all that cannot be resolved.
    size_t Bind(uint8_t *base) const
    {
        std::vector<pe::ImportedModule> modules;
        try {
            modules = image_.imports();
        } catch (const pe::FormatError &error) {
            Refuse(std::string("damaged import directory: ") + error.what());
        }
        std::vector<std::string> missing;
        size_t bound = 0;
        for (const pe::ImportedModule &module : modules) {
            if (!IsImageExportModule(module.name)) {
                missing.push_back(module.name + " (a module the simulated machine does not have; " +
                                  std::to_string(module.functions.size()) + " routines)");
                continue;
            }
            for (size_t i = 0; i < module.functions.size(); i++) {
                const pe::ImportedFunction &function = module.functions[i];
                const ImageExport *found = nullptr;
                if (function.by_ordinal)
                    missing.push_back(module.name + "!#" + std::to_string(function.ordinal) +
                                      " (by ordinal; the simulated modules export by name)");
                else if ((found = FindImageExport(module.name, function.name)) == nullptr)
                    missing.push_back(module.name + "!" + function.name);
                if (found == nullptr)
                    continue;
                uint64_t slot = uint64_t{module.iat_rva} + 4 * i;
                if (module.iat_rva == 0 || slot + 4 > image_.optional_header().size_of_image)
                    Refuse("import address table of " + module.name + " lies outside the image");
                const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(found->address));
                std::memcpy(base + slot, &address, 4);
                bound++;
            }
        }
        if (!missing.empty()) {
            std::string list;
            for (const std::string &item : missing)
                list += (list.empty() ? "" : ", ") + item;
            Refuse("cannot resolve " + std::to_string(missing.size()) + " import" +
                   (missing.size() == 1 ? "" : "s") + ": " + list + "; not loaded");
        }
        return bound;
    }

    // Code read and execute, data read and write as each section asks, headers read-only.
    void Protect(uint8_t *base) const
    {
        const size_t page = PageSize();
        if (image_.optional_header().section_alignment % page != 0)
            return;   // sections share pages: leave the whole image writable and executable
        mprotect(base, RoundUp(image_.optional_header().size_of_headers, page), PROT_READ);
        for (const pe::Section &section : image_.sections()) {
            uint32_t span = section.virtual_size != 0 ? section.virtual_size : section.raw_size;
            int protection = PROT_READ;
            if (section.characteristics & kSectionWrite)
                protection |= PROT_WRITE;
            if (section.characteristics & kSectionExecute)
                protection |= PROT_EXEC;
            mprotect(base + section.virtual_address, RoundUp(span, page), protection);
        }
    }

private:
    const pe::Image &image_;
    const std::string &name_;
};

}  // namespace

LoadedImage::~LoadedImage()
{
    if (base_ != 0)
        munmap(reinterpret_cast<void *>(base_), RoundUp(size_, PageSize()));
}

void *LoadedImage::Symbol(const std::string &name) const
{
    std::optional<uint32_t> address = FindMapSymbol(symbols_, name);
    if (!address || *address < preferredBase_ || *address - preferredBase_ >= size_)
        return nullptr;
    return reinterpret_cast<void *>(base_ + (*address - preferredBase_));
}

bool LoadedImage::Contains(const void *address) const
{
    auto at = reinterpret_cast<uintptr_t>(address);
    return at >= base_ && at - base_ < size_;
}

std::unique_ptr<LoadedImage> LoadImage(std::vector<uint8_t> bytes, std::string name,
                                       std::map<std::string, uint32_t> symbols)
{
    std::optional<pe::Image> parsed;
    try {
        parsed = pe::Image::parse(std::move(bytes));
    } catch (const pe::FormatError &error) {
        throw ImageLoadError(name + ": not a valid PE image: " + error.what());
    }
    Loader loader(*parsed, name);
    if (sizeof(void *) != 4)
        loader.Refuse("an x86 image runs only in a 32-bit build of the simulator (preset host-x86)");
    loader.CheckHeaders();

    const pe::OptionalHeader &optional = parsed->optional_header();
    const size_t mapped = RoundUp(optional.size_of_image, PageSize());
    const bool relocatable = loader.Relocatable();
    // A relocatable image goes wherever there is room, as the platform places drivers;
    // one without relocations works only at its preferred base.
    void *preferred = reinterpret_cast<void *>(static_cast<uintptr_t>(optional.image_base));
    Mapping mapping(relocatable ? nullptr : preferred, mapped);
    if (mapping.get() == nullptr)
        loader.Refuse("no memory for its " + std::to_string(mapped) + " bytes");
    if (!relocatable && mapping.get() != preferred)
        loader.Refuse("has no base relocations and its preferred base " + Hex(optional.image_base) +
                      " is taken; not loaded");

    loader.Map(mapping.get());
    auto image = std::unique_ptr<LoadedImage>(new LoadedImage());
    image->relocations_ = relocatable ? loader.Relocate(mapping.get()) : 0;
    image->imports_ = loader.Bind(mapping.get());
    loader.Protect(mapping.get());

    image->name_ = std::move(name);
    image->preferredBase_ = optional.image_base;
    image->size_ = optional.size_of_image;
    image->symbols_ = std::move(symbols);
    image->base_ = reinterpret_cast<uintptr_t>(mapping.release());
    image->entry_ = reinterpret_cast<PDRIVER_INITIALIZE>(image->base_ + optional.address_of_entry_point);
    return image;
}

std::map<std::string, uint32_t> ReadLinkerMap(const std::string &path)
{
    std::map<std::string, uint32_t> symbols;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        // "                0x0001b064                TraceLevel"
        size_t at = line.find_first_not_of(' ');
        if (at == 0 || at == std::string::npos || line.compare(at, 2, "0x") != 0)
            continue;
        size_t end = line.find(' ', at);
        size_t nameAt = end == std::string::npos ? end : line.find_first_not_of(' ', end);
        if (nameAt == std::string::npos || line.compare(nameAt, 2, "0x") == 0)
            continue;
        symbols.emplace(line.substr(nameAt), static_cast<uint32_t>(std::stoul(line.substr(at, end - at), nullptr, 16)));
    }
    return symbols;
}

std::optional<uint32_t> FindMapSymbol(const std::map<std::string, uint32_t> &symbols,
                                      const std::string &name)
{
    if (auto it = symbols.find(name); it != symbols.end())
        return it->second;
    // Routines are listed with their parameters or stack bytes: "KrvDlcOpen(_DEVICE_OBJECT*,
    // _IRP*)@8", "DriverEntry@8".
    for (char next : {'(', '@'}) {
        auto it = symbols.lower_bound(name + next);
        if (it != symbols.end() && it->first.compare(0, name.size() + 1, name + next) == 0)
            return it->second;
    }
    return std::nullopt;
}

std::string LinkerMapPath(const std::string &imagePath)
{
    std::string mapPath = imagePath;
    size_t dot = mapPath.find_last_of("./");
    if (dot != std::string::npos && mapPath[dot] == '.')
        mapPath.erase(dot);
    return mapPath + ".map";
}

std::unique_ptr<LoadedImage> LoadImageFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ImageLoadError(path + ": cannot open the file (build the driver preset first: "
                                    "cmake --preset driver && cmake --build --preset driver)");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string name = path.substr(path.find_last_of('/') + 1);
    return LoadImage(std::move(bytes), name, ReadLinkerMap(LinkerMapPath(path)));
}

}  // namespace sim
