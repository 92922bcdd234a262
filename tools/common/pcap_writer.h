// pcap_writer.h - capture files of the frames carried on simulated segments, for
// Wireshark or tcpdump: one file per link type, written through libpcap.
//
// Ethernet frames go to a file of link type DLT_EN10MB, Token Ring frames (AC, FC,
// addresses, routing information, LLC) to one of DLT_IEEE802 (6). In a build without
// libpcap (KRVDLC_HAVE_PCAP undefined) Open fails with an explanation.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace krvdlc {

inline constexpr int kLinkTypeEthernet = 1;     // DLT_EN10MB
inline constexpr int kLinkTypeTokenRing = 6;    // DLT_IEEE802

class PcapWriter {
public:
    PcapWriter();
    PcapWriter(PcapWriter &&) noexcept;
    PcapWriter &operator=(PcapWriter &&) noexcept;
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;
    ~PcapWriter();

    // Creates (or empties) `path` for frames of `linkType`; false with `error` set when
    // the file cannot be written or libpcap is not part of this build.
    bool Open(const std::string &path, int linkType, std::string &error);
    bool IsOpen() const;
    // Appends one frame, stamped with `when`.
    void Write(const std::vector<uint8_t> &frame,
               std::chrono::system_clock::time_point when = std::chrono::system_clock::now());
    // Flushes and closes; the number of frames written stays available.
    void Close();
    uint64_t FramesWritten() const { return frames_; }
    const std::string &Path() const { return path_; }

    static bool Available();

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
    std::string path_;
    uint64_t frames_ = 0;
};

// Frames in a capture file with their link type, read back through libpcap (empty with
// `error` set when the file cannot be read or libpcap is not part of this build).
struct CapturedFile {
    int linkType = 0;
    std::vector<std::vector<uint8_t>> frames;
};
bool ReadCapture(const std::string &path, CapturedFile &capture, std::string &error);

}  // namespace krvdlc
