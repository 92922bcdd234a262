// krvdlc_client.hpp - a thin C++ layer over libkrvdlc's C API: RAII owners of the adapter
// list, an open adapter and an overlapped request, failures as krvdlc::client::Error, and
// frames as byte vectors. Header only, so that it works across the DLL boundary.
#pragma once

#include "client/krvdlc_client.h"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace krvdlc::client {

using Bytes = std::vector<uint8_t>;
using String = std::basic_string<krvdlc_char>;
using Mac = std::array<uint8_t, KRVDLC_MAC_SIZE>;

// What read() offers the driver for one frame: more than any medium's largest.
constexpr uint32_t kReadRoom = 65536;

// A failed call: result code, Win32 error and the library's message.
class Error : public std::runtime_error {
public:
    explicit Error(const krvdlc_error &error)
        : std::runtime_error(error.message), result_(error.result), win32Error_(error.win32_error) {}
    krvdlc_result result() const { return result_; }
    uint32_t win32Error() const { return win32Error_; }

private:
    krvdlc_result result_;
    uint32_t win32Error_;
};

namespace detail {
inline void Check(krvdlc_result result, const krvdlc_error &error)
{
    if (result < 0)
        throw Error(error);
}
}  // namespace detail

struct AdapterEntry {
    String instanceName;
    String fileName;
};

// The bound adapters, in the order the driver bound them.
inline std::vector<AdapterEntry> ListAdapters(uint32_t timeoutMs = KRVDLC_DEFAULT_ENUM_TIMEOUT_MS)
{
    krvdlc_error error;
    krvdlc_adapter_list *list = nullptr;
    detail::Check(krvdlc_list_adapters(timeoutMs, &list, &error), error);
    std::vector<AdapterEntry> entries;
    for (uint32_t i = 0; i < krvdlc_adapter_count(list); ++i)
        entries.push_back({krvdlc_adapter_instance_name(list, i), krvdlc_adapter_file_name(list, i)});
    krvdlc_free_adapter_list(list);
    return entries;
}

// One overlapped request slot with its event; see krvdlc_io_*.
class Overlapped {
public:
    Overlapped()
    {
        krvdlc_error error;
        detail::Check(krvdlc_io_create(&io_, &error), error);
    }
    ~Overlapped() { krvdlc_io_free(io_); }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;

    krvdlc_io *get() const { return io_; }
    krvdlc_event event() const { return krvdlc_io_event(io_); }

private:
    krvdlc_io *io_ = nullptr;
};

// One open adapter device; closed by the destructor.
class Adapter {
public:
    // selector: an index, a file name or a part of the instance name (krvdlc_open).
    static Adapter Open(const String &selector, uint32_t enumTimeoutMs = KRVDLC_DEFAULT_ENUM_TIMEOUT_MS)
    {
        return Opened([&](krvdlc_adapter **a, krvdlc_error *e) {
            return krvdlc_open(selector.c_str(), enumTimeoutMs, a, e);
        });
    }
    static Adapter OpenIndex(uint32_t index, uint32_t enumTimeoutMs = KRVDLC_DEFAULT_ENUM_TIMEOUT_MS)
    {
        return Opened([&](krvdlc_adapter **a, krvdlc_error *e) {
            return krvdlc_open_by_index(index, enumTimeoutMs, a, e);
        });
    }
    static Adapter OpenName(const String &namePart, uint32_t enumTimeoutMs = KRVDLC_DEFAULT_ENUM_TIMEOUT_MS)
    {
        return Opened([&](krvdlc_adapter **a, krvdlc_error *e) {
            return krvdlc_open_by_name(namePart.c_str(), enumTimeoutMs, a, e);
        });
    }
    static Adapter OpenFile(const String &fileName)
    {
        return Opened([&](krvdlc_adapter **a, krvdlc_error *e) {
            return krvdlc_open_by_file_name(fileName.c_str(), a, e);
        });
    }

    Adapter(Adapter &&other) noexcept : adapter_(std::exchange(other.adapter_, nullptr)) {}
    Adapter &operator=(Adapter &&other) noexcept
    {
        if (this != &other) {
            krvdlc_close(adapter_);
            adapter_ = std::exchange(other.adapter_, nullptr);
        }
        return *this;
    }
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;
    ~Adapter() { krvdlc_close(adapter_); }

    krvdlc_adapter *get() const { return adapter_; }
    String fileName() const { return krvdlc_file_name(adapter_); }
    String instanceName() const { return krvdlc_instance_name(adapter_); }

    Mac macAddress() const
    {
        Mac mac{};
        Call(krvdlc_get_mac_address, mac.data());
        return mac;
    }
    krvdlc_medium medium() const
    {
        krvdlc_medium medium{};
        Call(krvdlc_get_medium, &medium);
        return medium;
    }
    void reset() const { Call(krvdlc_reset); }
    void setDsapCheck(bool on) const { Call(krvdlc_set_dsap_check, on ? 1 : 0); }

    // Answer of an NDIS query with room for `size` bytes, cut to what NDIS wrote.
    Bytes queryOid(uint32_t oid, uint32_t size) const
    {
        Bytes data(size);
        uint32_t written = 0;
        Call(krvdlc_query_oid, oid, data.data(), size, &written);
        data.resize(written);
        return data;
    }
    void setOid(uint32_t oid, const Bytes &value) const
    {
        Call(krvdlc_set_oid, oid, value.data(), static_cast<uint32_t>(value.size()), nullptr);
    }

    uint32_t linkSpeedKbps() const { return Value<uint32_t>(krvdlc_get_link_speed); }
    uint32_t maxFrameSize() const { return Value<uint32_t>(krvdlc_get_max_frame_size); }
    uint32_t packetFilter() const { return Value<uint32_t>(krvdlc_get_packet_filter); }
    void setPacketFilter(uint32_t filter) const { Call(krvdlc_set_packet_filter, filter); }
    bool mediaConnected() const { return Value<int>(krvdlc_get_media_connect_status) != 0; }
    std::string vendorDescription() const
    {
        char text[256];
        Call(krvdlc_get_vendor_description, text, static_cast<uint32_t>(sizeof text));
        return text;
    }
    std::vector<Mac> multicastList(uint32_t capacity = 32) const
    {
        std::vector<Mac> list(capacity);
        uint32_t count = 0;
        Call(krvdlc_get_multicast_list, reinterpret_cast<krvdlc_u8(*)[KRVDLC_MAC_SIZE]>(list.data()),
             capacity, &count);
        list.resize(count);
        return list;
    }
    void setMulticastList(const std::vector<Mac> &list) const
    {
        Call(krvdlc_set_multicast_list,
             reinterpret_cast<const krvdlc_u8(*)[KRVDLC_MAC_SIZE]>(list.data()),
             static_cast<uint32_t>(list.size()));
    }
    std::array<uint8_t, 4> functionalAddress() const
    {
        std::array<uint8_t, 4> address{};
        Call(krvdlc_get_functional_address, address.data());
        return address;
    }
    void setFunctionalAddress(const std::array<uint8_t, 4> &address) const
    {
        Call(krvdlc_set_functional_address, address.data());
    }

    // One frame, or nothing when timeoutMs passed (the read was cancelled).
    std::optional<Bytes> read(uint32_t timeoutMs = KRVDLC_INFINITE, uint32_t room = kReadRoom) const
    {
        Bytes frame(room);
        std::optional<uint32_t> got = readInto(frame.data(), room, timeoutMs);
        if (!got)
            return std::nullopt;
        frame.resize(*got);
        return frame;
    }
    // One frame into the caller's `room` bytes at `buffer`: its length, or nothing when
    // timeoutMs passed. A loop of many reads keeps one buffer this way, where read()
    // allocates and clears its room for every frame.
    std::optional<uint32_t> readInto(uint8_t *buffer, uint32_t room, uint32_t timeoutMs = KRVDLC_INFINITE) const
    {
        uint32_t got = 0;
        krvdlc_error error;
        krvdlc_result result = krvdlc_read(adapter_, buffer, room, timeoutMs, &got, &error);
        if (result == KRVDLC_E_TIMEOUT)
            return std::nullopt;
        detail::Check(result, error);
        return got;
    }
    void write(const Bytes &frame) const
    {
        Call(krvdlc_write, frame.data(), static_cast<uint32_t>(frame.size()), nullptr);
    }
    // Ends a read waiting on another thread (Error with KRVDLC_E_CANCELLED there).
    void interrupt() const { Call(krvdlc_interrupt); }

    // Overlapped: true when the request is still pending.
    bool startRead(Overlapped &io, Bytes &buffer) const
    {
        return Call(krvdlc_read_start, io.get(), buffer.data(), static_cast<uint32_t>(buffer.size())) ==
               KRVDLC_PENDING;
    }
    bool startWrite(Overlapped &io, const Bytes &frame) const
    {
        return Call(krvdlc_write_start, io.get(), frame.data(), static_cast<uint32_t>(frame.size())) ==
               KRVDLC_PENDING;
    }
    // Byte count once finished, nothing while still pending after timeoutMs.
    std::optional<uint32_t> finish(Overlapped &io, uint32_t timeoutMs = KRVDLC_INFINITE) const
    {
        uint32_t bytes = 0;
        if (Call(krvdlc_io_finish, io.get(), timeoutMs, &bytes) == KRVDLC_PENDING)
            return std::nullopt;
        return bytes;
    }
    // Cancels and waits; the outcome as krvdlc_io_cancel reports it (no throw).
    krvdlc_result cancel(Overlapped &io) const
    {
        uint32_t bytes = 0;
        return krvdlc_io_cancel(adapter_, io.get(), &bytes, nullptr);
    }

private:
    explicit Adapter(krvdlc_adapter *adapter) : adapter_(adapter) {}

    template <typename OpenCall>
    static Adapter Opened(OpenCall open)
    {
        krvdlc_error error;
        krvdlc_adapter *adapter = nullptr;
        detail::Check(open(&adapter, &error), error);
        return Adapter(adapter);
    }
    template <typename Function, typename... Args>
    krvdlc_result Call(Function function, Args... args) const
    {
        krvdlc_error error;
        krvdlc_result result = function(adapter_, args..., &error);
        detail::Check(result, error);
        return result;
    }
    template <typename T, typename Function>
    T Value(Function function) const
    {
        T value{};
        Call(function, &value);
        return value;
    }

    krvdlc_adapter *adapter_ = nullptr;
};

// Frame building and decoding over std::vector.
inline Bytes BuildFrame(const krvdlc_frame_fields &fields)
{
    krvdlc_error error;
    krvdlc_u32 size = 0;
    krvdlc_result result = krvdlc_build_frame(&fields, nullptr, 0, &size, &error);
    if (result != KRVDLC_E_BUFFER_TOO_SMALL)
        detail::Check(result, error);
    Bytes frame(size);
    detail::Check(krvdlc_build_frame(&fields, frame.data(), size, &size, &error), error);
    frame.resize(size);
    return frame;
}

// The decoded frame points into `frame`, which must outlive it.
inline krvdlc_decoded_frame DecodeFrame(krvdlc_medium medium, const Bytes &frame)
{
    krvdlc_error error;
    krvdlc_decoded_frame decoded;
    detail::Check(krvdlc_decode_frame(medium, frame.data(), static_cast<uint32_t>(frame.size()), &decoded,
                                      &error),
                  error);
    return decoded;
}

inline Mac ParseMac(const std::string &text)
{
    krvdlc_error error;
    Mac mac{};
    detail::Check(krvdlc_parse_mac(text.c_str(), mac.data(), &error), error);
    return mac;
}

inline std::string FormatMac(const Mac &mac)
{
    char text[KRVDLC_MAC_TEXT_SIZE];
    krvdlc_format_mac(mac.data(), text);
    return text;
}

}  // namespace krvdlc::client
