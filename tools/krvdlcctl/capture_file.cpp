// capture_file.cpp - this program's own pcap writer and reader (classic format, little
// endian on write; either byte order and the nanosecond variant on read), and the choice
// between it and libpcap's.
#include "tools/krvdlcctl/capture_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace krvdlcctl {

namespace {

constexpr uint32_t kMagicMicroseconds = 0xA1B2C3D4;
constexpr uint32_t kMagicNanoseconds = 0xA1B23C4D;
constexpr size_t kFileHeaderSize = 24;
constexpr size_t kRecordHeaderSize = 16;

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

void Put32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put16(uint8_t *at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

uint32_t Get32(const uint8_t *at, bool swapped)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(at[swapped ? 3 - i : i]) << (8 * i);
    return value;
}

class OwnWriter final : public CaptureWriter {
public:
    explicit OwnWriter(FilePointer file) : file_(std::move(file)) {}

    bool Write(const uint8_t *frame, size_t size, std::chrono::system_clock::time_point when) override
    {
        auto since = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
        uint32_t length = static_cast<uint32_t>(size);
        uint32_t kept = length < kCaptureSnapLength ? length : kCaptureSnapLength;
        uint8_t header[kRecordHeaderSize];
        Put32(header, static_cast<uint32_t>(since / 1000000));
        Put32(header + 4, static_cast<uint32_t>(since % 1000000));
        Put32(header + 8, kept);
        Put32(header + 12, length);
        return std::fwrite(header, 1, sizeof header, file_.get()) == sizeof header &&
               std::fwrite(frame, 1, kept, file_.get()) == kept;
    }
    bool Flush() override { return std::fflush(file_.get()) == 0; }

private:
    FilePointer file_;
};

}  // namespace

std::unique_ptr<CaptureWriter> OpenOwnCaptureWriter(const std::string &path, uint32_t linkType,
                                                    std::string &error)
{
    FilePointer file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    uint8_t header[kFileHeaderSize] = {};
    Put32(header, kMagicMicroseconds);
    Put16(header + 4, 2);
    Put16(header + 6, 4);
    Put32(header + 16, kCaptureSnapLength);
    Put32(header + 20, linkType);
    if (std::fwrite(header, 1, sizeof header, file.get()) != sizeof header || std::fflush(file.get()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<OwnWriter>(std::move(file));
}

bool ReadOwnCaptureFile(const std::string &path, CaptureFile &file, std::string &error)
{
    FilePointer in(std::fopen(path.c_str(), "rb"));
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t header[kFileHeaderSize];
    if (std::fread(header, 1, sizeof header, in.get()) != sizeof header) {
        error = path + " is not a pcap file (shorter than a pcap file header)";
        return false;
    }
    uint32_t magic = Get32(header, false);
    bool swapped = false;
    if (magic != kMagicMicroseconds && magic != kMagicNanoseconds) {
        swapped = true;
        magic = Get32(header, true);
        if (magic != kMagicMicroseconds && magic != kMagicNanoseconds) {
            error = path + " is not a pcap file (unknown magic number)";
            return false;
        }
    }
    file.linkType = Get32(header + 20, swapped) & 0x0FFFFFFF;
    file.frames.clear();
    for (;;) {
        uint8_t record[kRecordHeaderSize];
        size_t got = std::fread(record, 1, sizeof record, in.get());
        if (got == 0)
            return true;
        uint32_t kept = Get32(record + 8, swapped);
        if (got != sizeof record || kept > 262144) {
            error = path + ": record " + std::to_string(file.frames.size() + 1) + " is damaged";
            return false;
        }
        std::vector<uint8_t> frame(kept);
        if (std::fread(frame.data(), 1, kept, in.get()) != kept) {
            error = path + ": record " + std::to_string(file.frames.size() + 1) + " is cut short";
            return false;
        }
        file.frames.push_back(std::move(frame));
    }
}

std::unique_ptr<CaptureWriter> OpenCaptureWriter(const std::string &path, uint32_t linkType,
                                                 std::string &error)
{
#ifdef KRVDLC_HAVE_PCAP
    return OpenLibpcapCaptureWriter(path, linkType, error);
#else
    return OpenOwnCaptureWriter(path, linkType, error);
#endif
}

bool ReadCaptureFile(const std::string &path, CaptureFile &file, std::string &error)
{
#ifdef KRVDLC_HAVE_PCAP
    return ReadLibpcapCaptureFile(path, file, error);
#else
    return ReadOwnCaptureFile(path, file, error);
#endif
}

}  // namespace krvdlcctl
