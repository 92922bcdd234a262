// errorlog.cpp - error-log entries: allocation, the checks at write time and the record.
#include "sim/errorlog.h"

#include "sim/bugcheck.h"
#include "sim/dispatcher.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/pool.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kEntryTag = PoolTag("IoEl");
constexpr size_t kDumpDataOffset = offsetof(IO_ERROR_LOG_PACKET, DumpData);

uint16_t ReadUshort(const uint8_t *bytes, size_t offset)
{
    uint16_t value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// Calls `visit` with each insertion string of the entry of `size` bytes at `bytes`. The
// strings may sit at an odd offset: they are copied at once into an aligned buffer, whose
// zeroed tail ends a string cut off by the entry's end.
template <typename Visit>
void ForEachString(const uint8_t *bytes, size_t size, Visit visit)
{
    const uint16_t count = ReadUshort(bytes, offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings));
    const size_t offset = ReadUshort(bytes, offsetof(IO_ERROR_LOG_PACKET, StringOffset));
    if (count == 0 || offset >= size)
        return;
    std::array<char16_t, ERROR_LOG_MAXIMUM_SIZE / 2 + 1> text{};
    std::memcpy(text.data(), bytes + offset, std::min(size - offset, size_t{ERROR_LOG_MAXIMUM_SIZE}));
    const char16_t *next = text.data();
    const char16_t *end = text.data() + text.size();
    for (uint16_t i = 0; i < count && next < end; ++i) {
        std::u16string_view string(next);
        next += string.size() + 1;
        visit(string);
    }
}

}  // namespace

NTSTATUS ErrorLogEntry::ErrorCode() const
{
    NTSTATUS code;
    std::memcpy(&code, bytes.data() + offsetof(IO_ERROR_LOG_PACKET, ErrorCode), sizeof code);
    return code;
}

std::vector<uint8_t> ErrorLogEntry::DumpData() const
{
    const uint16_t size = ReadUshort(bytes.data(), offsetof(IO_ERROR_LOG_PACKET, DumpDataSize));
    return std::vector<uint8_t>(bytes.begin() + kDumpDataOffset,
                                bytes.begin() + static_cast<ptrdiff_t>(kDumpDataOffset + size));
}

std::vector<std::u16string> ErrorLogEntry::Strings() const
{
    std::vector<std::u16string> strings;
    ForEachString(bytes.data(), bytes.size(), [&](std::u16string_view text) { strings.emplace_back(text); });
    return strings;
}

ErrorLog::ErrorLog(Machine &machine) : machine_(machine), lastCounted_(writtenByString_.end()) {}

ErrorLog::~ErrorLog()
{
    for (const Outstanding &info : outstanding_)
        machine_.pool().Free(const_cast<void *>(info.entry));
}

void ErrorLog::SetSourceResolver(SourceResolver resolver)
{
    std::lock_guard<std::mutex> lock(mutex_);
    resolver_ = std::move(resolver);
}

void *ErrorLog::Allocate(const void *ioObject, size_t entrySize)
{
    if (ioObject == nullptr)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "IoAllocateErrorLogEntry called without a driver or device object");
    SourceResolver resolver;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resolver = resolver_;
    }
    static const auto kNoName = std::make_shared<const std::u16string>();
    std::shared_ptr<const std::u16string> source = kNoName;
    if (resolver) {
        source = resolver(ioObject);
        if (source == nullptr)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "IoAllocateErrorLogEntry for an object that is neither the driver nor one "
                     "of its devices",
                     reinterpret_cast<uintptr_t>(ioObject));
    }
    if (entrySize < sizeof(IO_ERROR_LOG_PACKET) || entrySize > ERROR_LOG_MAXIMUM_SIZE)
        return nullptr;
    FaultPoint point;
    point.routine = "IoAllocateErrorLogEntry";
    point.size = entrySize;
    if (machine_.faults().ShouldFail(point))
        return nullptr;
    void *entry = machine_.pool().Allocate(NonPagedPool, entrySize, kEntryTag, PoolOwner::System);
    if (entry == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    outstanding_.push_back(Outstanding{entry, entrySize, ioObject, std::move(source)});
    return entry;
}

void ErrorLog::Write(void *entry)
{
    Outstanding info;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = std::find_if(outstanding_.begin(), outstanding_.end(),
                                  [entry](const Outstanding &candidate) { return candidate.entry == entry; });
        if (found == outstanding_.end()) {
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "IoWriteErrorLogEntry with an entry that IoAllocateErrorLogEntry did not "
                     "hand out (or that was written already)",
                     reinterpret_cast<uintptr_t>(entry));
        }
        info = std::move(*found);
        if (&*found != &outstanding_.back())
            *found = std::move(outstanding_.back());
        outstanding_.pop_back();
    }
    const auto *bytes = static_cast<const uint8_t *>(entry);

    // Dump data and strings must stay inside the entry.
    const uintptr_t address = reinterpret_cast<uintptr_t>(entry);
    const uint16_t dumpSize = ReadUshort(bytes, offsetof(IO_ERROR_LOG_PACKET, DumpDataSize));
    if (kDumpDataOffset + dumpSize > info.size)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "error-log entry overruns its size (dump data)", address, info.size, dumpSize);
    const uint16_t strings = ReadUshort(bytes, offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings));
    size_t offset = ReadUshort(bytes, offsetof(IO_ERROR_LOG_PACKET, StringOffset));
    for (uint16_t i = 0; i < strings; ++i) {
        for (;;) {
            if (offset + sizeof(char16_t) > info.size)
                BugCheck(StopCode::DriverVerifierDetectedViolation,
                         "error-log entry overruns its size (insertion strings)", address,
                         info.size, offset);
            char16_t unit;
            std::memcpy(&unit, bytes + offset, sizeof unit);
            offset += sizeof unit;
            if (unit == 0)
                break;
        }
    }
    const int64_t writtenAt = machine_.clock().Now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Written *record;
        if (written_.size() < kEntriesKept) {
            record = &written_.emplace_back();
        } else {
            record = &written_[oldest_];
            oldest_ = (oldest_ + 1) % kEntriesKept;
        }
        std::memcpy(record->bytes.data(), bytes, info.size);
        record->size = info.size;
        record->writtenAt = writtenAt;
        record->ioObject = info.ioObject;
        record->source = std::move(info.source);
        CountStringsLocked(*record);
    }
    machine_.pool().Free(entry);
}

void ErrorLog::CountStringsLocked(const Written &entry)
{
    ForEachString(entry.bytes.data(), entry.size, [this](std::u16string_view string) {
        // A driver that logs under load writes the same text again and again.
        if (lastCounted_ != writtenByString_.end() && lastCounted_->first == string) {
            lastCounted_->second++;
            return;
        }
        auto counted = writtenByString_.find(string);
        if (counted == writtenByString_.end()) {
            if (writtenByString_.size() == kStringsCounted)
                return;
            counted = writtenByString_.emplace(std::u16string(string), 0).first;
        }
        counted->second++;
        lastCounted_ = counted;
    });
}

std::vector<ErrorLogEntry> ErrorLog::Entries() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ErrorLogEntry> entries;
    entries.reserve(written_.size());
    for (size_t i = 0; i < written_.size(); ++i) {
        const Written &record = written_[(oldest_ + i) % written_.size()];
        ErrorLogEntry &entry = entries.emplace_back();
        entry.bytes.assign(record.bytes.begin(), record.bytes.begin() + static_cast<ptrdiff_t>(record.size));
        entry.allocatedSize = record.size;
        entry.writtenAt = record.writtenAt;
        entry.source = *record.source;
        entry.ioObject = record.ioObject;
    }
    return entries;
}

uint64_t ErrorLog::CountWritten(std::u16string_view text) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t count = 0;
    for (const auto &[string, times] : writtenByString_) {
        if (string.find(text) != std::u16string::npos)
            count += times;
    }
    return count;
}

size_t ErrorLog::OutstandingCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_.size();
}

void ErrorLog::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    written_.clear();
    oldest_ = 0;
    writtenByString_.clear();
    lastCounted_ = writtenByString_.end();
}

void ErrorLog::CheckNoneOutstanding() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!outstanding_.empty())
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "driver unloaded with error-log entries allocated but never written",
                 outstanding_.size(), reinterpret_cast<uintptr_t>(outstanding_.front().entry));
}

}  // namespace sim

//
// IoAllocateErrorLogEntry - an entry of EntrySize bytes for the driver or one of its
// devices; null for a size outside [sizeof(IO_ERROR_LOG_PACKET), ERROR_LOG_MAXIMUM_SIZE]
// or when the fault injector says so. At or below DISPATCH_LEVEL. Not zeroed.
//
extern "C" PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
    return sim::Machine::Current().errorLog().Allocate(IoObject, EntrySize);
}

//
// IoWriteErrorLogEntry - hands an entry to the event log, which takes it over. At or below
// DISPATCH_LEVEL.
//
extern "C" VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry)
{
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
    sim::Machine::Current().errorLog().Write(ElEntry);
}
