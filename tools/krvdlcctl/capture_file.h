// capture_file.h - pcap capture files that krvdlcctl writes (capture) and reads (send --pcap).
//
// Two writers and readers sit behind one interface: libpcap's where the build has it (the
// Linux host build, KRVDLC_HAVE_PCAP), and this program's own for the Windows build, which
// links only system DLLs. Both write the classic pcap format with microsecond stamps, one
// frame per record, flushed as written so a capture that ends early is still complete.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace krvdlcctl {

inline constexpr uint32_t kLinkTypeEthernet = 1;    // DLT_EN10MB
inline constexpr uint32_t kLinkTypeTokenRing = 6;   // DLT_IEEE802
inline constexpr uint32_t kCaptureSnapLength = 65535;

class CaptureWriter {
public:
    virtual ~CaptureWriter() = default;
    // Appends one frame to what goes to the file at the next Flush (or when the writer's
    // buffer fills); false when the file could not be written.
    virtual bool Write(const uint8_t *frame, size_t length, std::chrono::system_clock::time_point when) = 0;
    bool Write(const std::vector<uint8_t> &frame, std::chrono::system_clock::time_point when)
    {
        return Write(frame.data(), frame.size(), when);
    }
    // Puts every frame written so far into the file; false when it could not be written.
    virtual bool Flush() = 0;
};

struct CaptureFile {
    uint32_t linkType = 0;
    std::vector<std::vector<uint8_t>> frames;
};

// This program's own writer and reader (every build).
std::unique_ptr<CaptureWriter> OpenOwnCaptureWriter(const std::string &path, uint32_t linkType,
                                                    std::string &error);
bool ReadOwnCaptureFile(const std::string &path, CaptureFile &file, std::string &error);

// libpcap's (null / false with an explanation in a build without it).
std::unique_ptr<CaptureWriter> OpenLibpcapCaptureWriter(const std::string &path, uint32_t linkType,
                                                        std::string &error);
bool ReadLibpcapCaptureFile(const std::string &path, CaptureFile &file, std::string &error);

// The ones this build uses: libpcap's where present, else the own.
std::unique_ptr<CaptureWriter> OpenCaptureWriter(const std::string &path, uint32_t linkType,
                                                 std::string &error);
bool ReadCaptureFile(const std::string &path, CaptureFile &file, std::string &error);

}  // namespace krvdlcctl
