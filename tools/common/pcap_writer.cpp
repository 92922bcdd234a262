// pcap_writer.cpp - capture files through libpcap (a "dead" capture handle and a dumper).
#include "tools/common/pcap_writer.h"

#include <algorithm>
#include <utility>

#if defined(KRVDLC_HAVE_PCAP)
#include <pcap/pcap.h>
#endif

namespace krvdlc {

namespace {
// Large enough for any frame the segments carry (Token Ring frames reach 17 KB).
constexpr int kSnapLength = 65535;
}  // namespace

#if defined(KRVDLC_HAVE_PCAP)

struct PcapWriter::Handles {
    pcap_t *pcap = nullptr;
    pcap_dumper_t *dumper = nullptr;
    ~Handles()
    {
        if (dumper != nullptr)
            pcap_dump_close(dumper);
        if (pcap != nullptr)
            pcap_close(pcap);
    }
};

bool PcapWriter::Available()
{
    return true;
}

bool PcapWriter::Open(const std::string &path, int linkType, std::string &error)
{
    Close();
    auto handles = std::make_unique<Handles>();
    handles->pcap = pcap_open_dead(linkType, kSnapLength);
    if (handles->pcap == nullptr) {
        error = "pcap_open_dead failed for link type " + std::to_string(linkType);
        return false;
    }
    handles->dumper = pcap_dump_open(handles->pcap, path.c_str());
    if (handles->dumper == nullptr) {
        error = std::string("cannot write ") + path + ": " + pcap_geterr(handles->pcap);
        return false;
    }
    handles_ = std::move(handles);
    path_ = path;
    frames_ = 0;
    return true;
}

void PcapWriter::Write(const std::vector<uint8_t> &frame, std::chrono::system_clock::time_point when)
{
    if (!IsOpen())
        return;
    auto since = when.time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since - seconds);
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<decltype(header.ts.tv_sec)>(seconds.count());
    header.ts.tv_usec = static_cast<decltype(header.ts.tv_usec)>(micros.count());
    header.caplen = static_cast<bpf_u_int32>(std::min<size_t>(frame.size(), kSnapLength));
    header.len = static_cast<bpf_u_int32>(frame.size());
    pcap_dump(reinterpret_cast<u_char *>(handles_->dumper), &header, frame.data());
    ++frames_;
}

bool ReadCapture(const std::string &path, CapturedFile &capture, std::string &error)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    pcap_t *pcap = pcap_open_offline(path.c_str(), message);
    if (pcap == nullptr) {
        error = message;
        return false;
    }
    capture.linkType = pcap_datalink(pcap);
    capture.frames.clear();
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int result;
    while ((result = pcap_next_ex(pcap, &header, &data)) == 1)
        capture.frames.emplace_back(data, data + header->caplen);
    if (result == PCAP_ERROR)
        error = pcap_geterr(pcap);
    pcap_close(pcap);
    return result != PCAP_ERROR;
}

#else  // no libpcap in this build

struct PcapWriter::Handles {};

bool PcapWriter::Available()
{
    return false;
}

bool PcapWriter::Open(const std::string &path, int, std::string &error)
{
    error = "cannot write " + path + ": this build has no libpcap (KRVDLC_WITH_PCAP is off)";
    return false;
}

void PcapWriter::Write(const std::vector<uint8_t> &, std::chrono::system_clock::time_point) {}

bool ReadCapture(const std::string &path, CapturedFile &, std::string &error)
{
    error = "cannot read " + path + ": this build has no libpcap (KRVDLC_WITH_PCAP is off)";
    return false;
}

#endif

PcapWriter::PcapWriter() = default;

PcapWriter::PcapWriter(PcapWriter &&other) noexcept
    : handles_(std::move(other.handles_)), path_(std::move(other.path_)),
      frames_(std::exchange(other.frames_, 0))
{
}

PcapWriter &PcapWriter::operator=(PcapWriter &&other) noexcept
{
    if (this != &other) {
        handles_ = std::move(other.handles_);
        path_ = std::move(other.path_);
        frames_ = std::exchange(other.frames_, 0);
    }
    return *this;
}

PcapWriter::~PcapWriter() = default;

bool PcapWriter::IsOpen() const
{
    return handles_ != nullptr;
}

void PcapWriter::Close()
{
    handles_.reset();
}

}  // namespace krvdlc
