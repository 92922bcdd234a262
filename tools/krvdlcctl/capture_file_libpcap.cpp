// capture_file_libpcap.cpp - capture files through libpcap, in builds that link it.
#include "tools/krvdlcctl/capture_file.h"

#ifdef KRVDLC_HAVE_PCAP
#include <pcap/pcap.h>
#endif

namespace krvdlcctl {

#ifdef KRVDLC_HAVE_PCAP

namespace {

struct PcapCloser {
    void operator()(pcap_t *pcap) const { pcap_close(pcap); }
};
struct DumperCloser {
    void operator()(pcap_dumper_t *dumper) const { pcap_dump_close(dumper); }
};

class LibpcapWriter final : public CaptureWriter {
public:
    LibpcapWriter(std::unique_ptr<pcap_t, PcapCloser> pcap, std::unique_ptr<pcap_dumper_t, DumperCloser> dumper)
        : pcap_(std::move(pcap)), dumper_(std::move(dumper))
    {
    }
    ~LibpcapWriter() override
    {
        dumper_.reset();   // before the pcap_t it was opened on
    }

    bool Write(const uint8_t *frame, size_t length, std::chrono::system_clock::time_point when) override
    {
        auto since = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(since / 1000000);
        header.ts.tv_usec = static_cast<suseconds_t>(since % 1000000);
        header.len = static_cast<bpf_u_int32>(length);
        header.caplen = header.len < kCaptureSnapLength ? header.len : kCaptureSnapLength;
        pcap_dump(reinterpret_cast<u_char *>(dumper_.get()), &header, frame);
        // pcap_dump reports no error: a failed write shows at the flush.
        return true;
    }
    bool Flush() override { return pcap_dump_flush(dumper_.get()) == 0; }

private:
    std::unique_ptr<pcap_t, PcapCloser> pcap_;
    std::unique_ptr<pcap_dumper_t, DumperCloser> dumper_;
};

}  // namespace

std::unique_ptr<CaptureWriter> OpenLibpcapCaptureWriter(const std::string &path, uint32_t linkType,
                                                        std::string &error)
{
    std::unique_ptr<pcap_t, PcapCloser> pcap(pcap_open_dead(static_cast<int>(linkType), kCaptureSnapLength));
    if (!pcap) {
        error = "libpcap cannot write link type " + std::to_string(linkType);
        return nullptr;
    }
    std::unique_ptr<pcap_dumper_t, DumperCloser> dumper(pcap_dump_open(pcap.get(), path.c_str()));
    if (!dumper) {
        error = "cannot create " + path + ": " + pcap_geterr(pcap.get());
        return nullptr;
    }
    return std::make_unique<LibpcapWriter>(std::move(pcap), std::move(dumper));
}

bool ReadLibpcapCaptureFile(const std::string &path, CaptureFile &file, std::string &error)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    std::unique_ptr<pcap_t, PcapCloser> pcap(pcap_open_offline(path.c_str(), message));
    if (!pcap) {
        error = "cannot read " + path + ": " + message;
        return false;
    }
    file.linkType = static_cast<uint32_t>(pcap_datalink(pcap.get()));
    file.frames.clear();
    for (;;) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        int result = pcap_next_ex(pcap.get(), &header, &data);
        if (result == PCAP_ERROR_BREAK)
            return true;
        if (result != 1) {
            error = path + ": record " + std::to_string(file.frames.size() + 1) + " is damaged: " +
                    pcap_geterr(pcap.get());
            return false;
        }
        file.frames.emplace_back(data, data + header->caplen);
    }
}

#else

std::unique_ptr<CaptureWriter> OpenLibpcapCaptureWriter(const std::string &, uint32_t, std::string &error)
{
    error = "this build has no libpcap";
    return nullptr;
}

bool ReadLibpcapCaptureFile(const std::string &, CaptureFile &, std::string &error)
{
    error = "this build has no libpcap";
    return false;
}

#endif

}  // namespace krvdlcctl
