// adapters.cpp - the adapter list from the control device, and opening and closing an
// adapter device by index, by part of its instance name or by its file name.
#include "client/internal.h"

#include <cstring>
#include <new>
#include <vector>

struct krvdlc_adapter_list {
    struct Entry {
        krvdlc::client::String instanceName;
        krvdlc::client::String fileName;
    };
    std::vector<Entry> entries;
};

namespace krvdlc::client {

namespace {

constexpr krvdlc_u32 kFirstListSize = 1024;
constexpr krvdlc_u32 kLargestListSize = 1u << 20;

krvdlc_char Fold(krvdlc_char c)
{
    // ASCII and Latin-1 letters; adapter names are rarely anything else.
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<krvdlc_char>(c + 0x20);
    return c;
}

String Folded(const String &text)
{
    String out(text);
    for (auto &c : out)
        c = Fold(c);
    return out;
}

bool StartsWithFolded(const String &text, const char *prefix)
{
    size_t n = std::strlen(prefix);
    if (text.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (Fold(text[i]) != Fold(static_cast<krvdlc_char>(prefix[i])))
            return false;
    return true;
}

// Reads one UTF-16 string ending in a 16-bit zero at `offset`; false when the bytes end first.
bool TakeString(const std::vector<uint8_t> &bytes, size_t size, size_t &offset, String &text)
{
    text.clear();
    for (;;) {
        if (offset + 2 > size)
            return false;
        auto c = static_cast<krvdlc_char>(bytes[offset] | (bytes[offset + 1] << 8));
        offset += 2;
        if (c == 0)
            return true;
        text += c;
    }
}

bool ParseList(const std::vector<uint8_t> &bytes, size_t size, krvdlc_adapter_list &list)
{
    if (size < 6)
        return false;
    uint32_t count = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    if (count > (size - 6) / 4)
        return false;
    size_t offset = 4;
    for (uint32_t i = 0; i < count; ++i) {
        krvdlc_adapter_list::Entry entry;
        if (!TakeString(bytes, size, offset, entry.instanceName) || !TakeString(bytes, size, offset, entry.fileName))
            return false;
        list.entries.push_back(std::move(entry));
    }
    String endMark;
    return TakeString(bytes, size, offset, endMark) && endMark.empty();
}

krvdlc_result DriverMissing(krvdlc_error *error, port::DWORD win32Error, const char *operation)
{
    return Report(error, KRVDLC_E_DRIVER_NOT_LOADED, win32Error, "KRVDLC", operation,
                  "driver not loaded: the control device \\\\.\\KRVDLC does not exist; install KRVDLC and "
                  "start it (net start krvdlc)");
}

krvdlc_result List(krvdlc_u32 timeoutMs, krvdlc_adapter_list &list, krvdlc_error *error)
{
    port::HANDLE control = port::CreateFileW(kControlFileName, port::kGenericReadWrite, 0, nullptr,
                                             port::kOpenExisting, port::kFlagOverlapped, nullptr);
    if (control == port::kInvalidHandle) {
        port::DWORD code = port::GetLastError();
        if (code == port::kErrorFileNotFound || code == port::kErrorPathNotFound)
            return DriverMissing(error, code, "list adapters");
        return Report(error, KRVDLC_E_IO, code, "KRVDLC", "list adapters", "cannot open the control device");
    }
    std::vector<uint8_t> buffer;
    krvdlc_result result = KRVDLC_OK;
    for (krvdlc_u32 size = kFirstListSize;; size *= 2) {
        buffer.assign(size, 0);
        Request request;
        request.code = kIoctlEnumAdapters;
        request.output = buffer.data();
        request.outputSize = size;
        Outcome outcome = Carry(control, request, timeoutMs);
        if (outcome.ok) {
            if (!ParseList(buffer, outcome.bytes, list))
                result = Report(error, KRVDLC_E_IO, 0, "KRVDLC", "list adapters",
                                "the driver's adapter list is malformed (" + std::to_string(outcome.bytes) +
                                    " bytes)");
            break;
        }
        if (outcome.ending == Ending::TimedOut) {
            result = Report(error, KRVDLC_E_TIMEOUT, 0, "KRVDLC", "list adapters",
                            "the driver had not finished binding its adapters after " +
                                std::to_string(timeoutMs) + " ms; try again later");
            break;
        }
        bool tooSmall = outcome.error == port::kErrorInsufficientBuffer || outcome.error == port::kErrorMoreData;
        if (!tooSmall || size >= kLargestListSize) {
            result = Report(error, KRVDLC_E_IO, outcome.error, "KRVDLC", "list adapters",
                            tooSmall ? "the adapter list is larger than 1 MiB" : "the driver failed the request");
            break;
        }
    }
    port::CloseHandle(control);
    return result == KRVDLC_OK ? Succeed(error) : result;
}

krvdlc_result OpenFile(const String &fileName, const String &instanceName, krvdlc_adapter **adapter,
                       krvdlc_error *error)
{
    String name = fileName;
    if (!StartsWithFolded(name, "\\\\.\\"))
        name = String(kDevicePrefix) + name;
    std::string subject = Utf8(name);
    if (!instanceName.empty())
        subject += " (" + Utf8(instanceName) + ")";

    port::HANDLE device = port::CreateFileW(name.c_str(), port::kGenericReadWrite, 0, nullptr, port::kOpenExisting,
                                            port::kFlagOverlapped, nullptr);
    if (device == port::kInvalidHandle) {
        port::DWORD code = port::GetLastError();
        if (code == port::kErrorFileNotFound || code == port::kErrorPathNotFound) {
            port::HANDLE control = port::CreateFileW(kControlFileName, port::kGenericReadWrite, 0, nullptr,
                                                     port::kOpenExisting, 0, nullptr);
            if (control == port::kInvalidHandle)
                return DriverMissing(error, port::GetLastError(), "open");
            port::CloseHandle(control);
            return Report(error, KRVDLC_E_NO_SUCH_ADAPTER, code, subject, "open",
                          "no such adapter; 'krvdlcctl list' shows the adapters KRVDLC has bound");
        }
        if (code == port::kErrorAccessDenied || code == port::kErrorSharingViolation)
            return Report(error, KRVDLC_E_BUSY, code, subject, "open",
                          "device busy: another program has this adapter open (one at a time); close it first");
        if (code == port::kErrorNotReady)
            return Report(error, KRVDLC_E_NOT_BOUND, code, subject, "open",
                          "the adapter is not bound, or refused its packet filter");
        return Report(error, KRVDLC_E_IO, code, subject, "open", "the driver refused the open");
    }

    auto *opened = new (std::nothrow) krvdlc_adapter;
    Event interrupt(false);
    Event read(true);
    if (opened == nullptr || interrupt.get() == nullptr || read.get() == nullptr) {
        delete opened;
        port::CloseHandle(device);
        return Report(error, KRVDLC_E_NO_MEMORY, 0, subject, "open", "out of memory");
    }
    opened->device = device;
    opened->fileName = name;
    opened->instanceName = instanceName;
    opened->interruptEvent = interrupt.release();
    opened->readEvent = read.release();
    // Known once, so that a write too long for the medium is refused before the driver.
    krvdlc_u32 maxFrameSize = 0;
    if (krvdlc_get_max_frame_size(opened, &maxFrameSize, nullptr) == KRVDLC_OK)
        opened->maxFrameSize = maxFrameSize;
    *adapter = opened;
    return Succeed(error);
}

}  // namespace

bool StillListed(const krvdlc_adapter *adapter)
{
    krvdlc_adapter_list list;
    if (adapter == nullptr || List(0, list, nullptr) != KRVDLC_OK)
        return true;   // cannot tell: say nothing about binding
    String wanted = Folded(adapter->fileName);
    for (const auto &entry : list.entries)
        if (Folded(entry.fileName) == wanted)
            return true;
    return false;
}

}  // namespace krvdlc::client

using namespace krvdlc::client;

extern "C" {

krvdlc_result KRVDLC_CALL krvdlc_list_adapters(krvdlc_u32 timeout_ms, krvdlc_adapter_list **list,
                                               krvdlc_error *error)
{
    if (list == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "KRVDLC", "list adapters", "no place for the list");
    *list = nullptr;
    auto *made = new (std::nothrow) krvdlc_adapter_list;
    if (made == nullptr)
        return Report(error, KRVDLC_E_NO_MEMORY, 0, "KRVDLC", "list adapters", "out of memory");
    krvdlc_result result = List(timeout_ms, *made, error);
    if (result != KRVDLC_OK) {
        delete made;
        return result;
    }
    *list = made;
    return result;
}

void KRVDLC_CALL krvdlc_free_adapter_list(krvdlc_adapter_list *list)
{
    delete list;
}

krvdlc_u32 KRVDLC_CALL krvdlc_adapter_count(const krvdlc_adapter_list *list)
{
    return list == nullptr ? 0 : static_cast<krvdlc_u32>(list->entries.size());
}

const krvdlc_char *KRVDLC_CALL krvdlc_adapter_instance_name(const krvdlc_adapter_list *list, krvdlc_u32 index)
{
    if (list == nullptr || index >= list->entries.size())
        return nullptr;
    return list->entries[index].instanceName.c_str();
}

const krvdlc_char *KRVDLC_CALL krvdlc_adapter_file_name(const krvdlc_adapter_list *list, krvdlc_u32 index)
{
    if (list == nullptr || index >= list->entries.size())
        return nullptr;
    return list->entries[index].fileName.c_str();
}

krvdlc_result KRVDLC_CALL krvdlc_open_by_file_name(const krvdlc_char *file_name, krvdlc_adapter **adapter,
                                                   krvdlc_error *error)
{
    if (adapter == nullptr || file_name == nullptr || file_name[0] == 0)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "KRVDLC", "open", "no file name or no place for the adapter");
    *adapter = nullptr;
    return OpenFile(file_name, String(), adapter, error);
}

krvdlc_result KRVDLC_CALL krvdlc_open_by_index(krvdlc_u32 index, krvdlc_u32 enum_timeout_ms,
                                               krvdlc_adapter **adapter, krvdlc_error *error)
{
    if (adapter == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "KRVDLC", "open", "no place for the adapter");
    *adapter = nullptr;
    krvdlc_adapter_list list;
    krvdlc_result result = List(enum_timeout_ms, list, error);
    if (result != KRVDLC_OK)
        return result;
    if (index >= list.entries.size())
        return Report(error, KRVDLC_E_NO_SUCH_ADAPTER, 0, "adapter " + std::to_string(index), "open",
                      "no such adapter: KRVDLC has bound " + std::to_string(list.entries.size()) +
                          "; 'krvdlcctl list' shows them");
    return OpenFile(list.entries[index].fileName, list.entries[index].instanceName, adapter, error);
}

krvdlc_result KRVDLC_CALL krvdlc_open_by_name(const krvdlc_char *name_part, krvdlc_u32 enum_timeout_ms,
                                              krvdlc_adapter **adapter, krvdlc_error *error)
{
    if (adapter == nullptr || name_part == nullptr || name_part[0] == 0)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "KRVDLC", "open", "no name or no place for the adapter");
    *adapter = nullptr;
    krvdlc_adapter_list list;
    krvdlc_result result = List(enum_timeout_ms, list, error);
    if (result != KRVDLC_OK)
        return result;
    String wanted = Folded(name_part);
    std::vector<const krvdlc_adapter_list::Entry *> matches;
    for (const auto &entry : list.entries)
        if (Folded(entry.instanceName).find(wanted) != String::npos)
            matches.push_back(&entry);
    std::string subject = "adapter \"" + Utf8(name_part) + "\"";
    if (matches.empty())
        return Report(error, KRVDLC_E_NO_SUCH_ADAPTER, 0, subject, "open",
                      "no such adapter: no instance name contains it; 'krvdlcctl list' shows them");
    if (matches.size() > 1) {
        std::string names;
        for (const auto *match : matches)
            names += (names.empty() ? "" : ", ") + Utf8(match->instanceName);
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, subject, "open",
                      "matches " + std::to_string(matches.size()) + " adapters (" + names +
                          "); give more of the name, the index or the file name");
    }
    return OpenFile(matches.front()->fileName, matches.front()->instanceName, adapter, error);
}

krvdlc_result KRVDLC_CALL krvdlc_open(const krvdlc_char *selector, krvdlc_u32 enum_timeout_ms,
                                      krvdlc_adapter **adapter, krvdlc_error *error)
{
    if (selector == nullptr || selector[0] == 0)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "KRVDLC", "open", "no adapter given");
    String text(selector);
    bool digits = text.size() <= 9;
    for (krvdlc_char c : text)
        digits = digits && c >= '0' && c <= '9';
    if (digits) {
        krvdlc_u32 index = 0;
        for (krvdlc_char c : text)
            index = index * 10 + static_cast<krvdlc_u32>(c - '0');
        return krvdlc_open_by_index(index, enum_timeout_ms, adapter, error);
    }
    if (StartsWithFolded(text, "\\\\.\\") || StartsWithFolded(text, "KrvDlc_"))
        return krvdlc_open_by_file_name(selector, adapter, error);
    return krvdlc_open_by_name(selector, enum_timeout_ms, adapter, error);
}

void KRVDLC_CALL krvdlc_close(krvdlc_adapter *adapter)
{
    if (adapter == nullptr)
        return;
    if (adapter->device != port::kInvalidHandle) {
        port::CancelIo(adapter->device);
        port::CloseHandle(adapter->device);
    }
    if (adapter->interruptEvent != nullptr)
        port::CloseHandle(adapter->interruptEvent);
    if (adapter->readEvent != nullptr)
        port::CloseHandle(adapter->readEvent);
    delete adapter;
}

const krvdlc_char *KRVDLC_CALL krvdlc_file_name(const krvdlc_adapter *adapter)
{
    static const krvdlc_char kEmpty[1] = {0};
    return adapter == nullptr ? kEmpty : adapter->fileName.c_str();
}

const krvdlc_char *KRVDLC_CALL krvdlc_instance_name(const krvdlc_adapter *adapter)
{
    static const krvdlc_char kEmpty[1] = {0};
    return adapter == nullptr ? kEmpty : adapter->instanceName.c_str();
}

}  // extern "C"
