// errorlog.h - I/O error-log entries (IoAllocateErrorLogEntry, IoWriteErrorLogEntry).
//
// Entries come from pool (tag 'IoEl', garbage-filled like every block). A written entry
// is kept as the event log would get it: its bytes, the size allocated, the virtual time
// of the write and the name of its source (the driver's name for the driver object, the
// device's name for a device object), which the I/O manager supplies through
// SetSourceResolver. The rules, each a bug-check: an entry for no object or for an object
// that is neither the driver nor one of its devices; writing what the allocator did not
// hand out, or writing it twice; an entry whose dump data or strings overrun its size;
// entries allocated but never written when the driver unloads (CheckNoneOutstanding).
#pragma once

#include "sim/machine.h"

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct ErrorLogEntry {
    std::vector<uint8_t> bytes;     // the whole entry as allocated
    size_t allocatedSize = 0;
    int64_t writtenAt = 0;          // system time
    std::u16string source;          // %1 of the event text
    const void *ioObject = nullptr;

    // The fields the event log reads.
    NTSTATUS ErrorCode() const;
    std::vector<uint8_t> DumpData() const;          // DumpDataSize bytes at DumpData
    std::vector<std::u16string> Strings() const;    // NumberOfStrings at StringOffset
};

class ErrorLog {
public:
    // The name of a driver or device object of the loaded driver (shared with its record,
    // so that an entry costs no copy of it), or null for any other pointer.
    using SourceResolver = std::function<std::shared_ptr<const std::u16string>(const void *ioObject)>;

    static constexpr size_t kEntriesKept = 16384;

    explicit ErrorLog(Machine &machine);
    ~ErrorLog();
    ErrorLog(const ErrorLog &) = delete;
    ErrorLog &operator=(const ErrorLog &) = delete;

    // Set by the I/O manager. Without one, any non-null object is accepted, named "".
    void SetSourceResolver(SourceResolver resolver);

    // IoAllocateErrorLogEntry / IoWriteErrorLogEntry once the IRQL and fault checks passed.
    void *Allocate(const void *ioObject, size_t entrySize);
    void Write(void *entry);

    // The latest kEntriesKept written entries, oldest first: like an event log set to
    // overwrite as needed, a machine that runs for hours keeps a bounded log.
    std::vector<ErrorLogEntry> Entries() const;
    // Entries written since the last Clear with an insertion string that contains `text`,
    // also those no longer kept (strings beyond the first kStringsCounted distinct ones
    // are not counted).
    uint64_t CountWritten(std::u16string_view text) const;
    size_t OutstandingCount() const;
    void Clear();
    // Unload check: "driver unloaded with error-log entries allocated but never written".
    void CheckNoneOutstanding() const;

private:
    // A driver that logs once per dropped frame writes an entry per frame under overload:
    // the records below are kept without a heap allocation per entry once warm.
    struct Outstanding {
        const void *entry;
        size_t size;
        const void *ioObject;
        std::shared_ptr<const std::u16string> source;
    };
    struct Written {
        std::array<uint8_t, ERROR_LOG_MAXIMUM_SIZE> bytes;
        size_t size;
        int64_t writtenAt;
        const void *ioObject;
        std::shared_ptr<const std::u16string> source;
    };

    // Counts each insertion string of a written entry; mutex_ held.
    void CountStringsLocked(const Written &entry);

    Machine &machine_;
    mutable std::mutex mutex_;
    SourceResolver resolver_;
    static constexpr size_t kStringsCounted = 1024;

    std::vector<Outstanding> outstanding_;  // a few at a time: searched in turn
    std::vector<Written> written_;          // a ring once it holds kEntriesKept
    size_t oldest_ = 0;                     // index of the oldest entry in written_
    std::map<std::u16string, uint64_t, std::less<>> writtenByString_;
    std::map<std::u16string, uint64_t, std::less<>>::iterator lastCounted_;    // the last string counted
};

}  // namespace sim
