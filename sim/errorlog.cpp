// errorlog.cpp - error-log entries: allocation, the checks at write time and the record.
#include "sim/errorlog.h"

#include "sim/bugcheck.h"
#include "sim/dispatcher.h"
#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/pool.h"

#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kEntryTag = PoolTag("IoEl");
constexpr size_t kDumpDataOffset = offsetof(IO_ERROR_LOG_PACKET, DumpData);

uint16_t ReadUshort(const std::vector<uint8_t> &bytes, size_t offset)
{
    uint16_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
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
    const uint16_t size = ReadUshort(bytes, offsetof(IO_ERROR_LOG_PACKET, DumpDataSize));
    return std::vector<uint8_t>(bytes.begin() + kDumpDataOffset,
                                bytes.begin() + static_cast<ptrdiff_t>(kDumpDataOffset + size));
}

std::vector<std::u16string> ErrorLogEntry::Strings() const
{
    const uint16_t count = ReadUshort(bytes, offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings));
    size_t offset = ReadUshort(bytes, offsetof(IO_ERROR_LOG_PACKET, StringOffset));
    std::vector<std::u16string> strings;
    for (uint16_t i = 0; i < count; ++i) {
        std::u16string text;
        for (;;) {
            char16_t unit;
            std::memcpy(&unit, bytes.data() + offset, sizeof unit);
            offset += sizeof unit;
            if (unit == 0)
                break;
            text.push_back(unit);
        }
        strings.push_back(std::move(text));
    }
    return strings;
}

ErrorLog::ErrorLog(Machine &machine) : machine_(machine) {}

ErrorLog::~ErrorLog()
{
    for (const auto &[entry, info] : outstanding_)
        machine_.pool().Free(const_cast<void *>(entry));
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
    std::u16string source;
    if (resolver) {
        std::optional<std::u16string> name = resolver(ioObject);
        if (!name.has_value())
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "IoAllocateErrorLogEntry for an object that is neither the driver nor one "
                     "of its devices",
                     reinterpret_cast<uintptr_t>(ioObject));
        source = std::move(*name);
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
    outstanding_.emplace(entry, Outstanding{entrySize, ioObject, std::move(source)});
    return entry;
}

void ErrorLog::Write(void *entry)
{
    Outstanding info;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = outstanding_.find(entry);
        if (found == outstanding_.end()) {
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "IoWriteErrorLogEntry with an entry that IoAllocateErrorLogEntry did not "
                     "hand out (or that was written already)",
                     reinterpret_cast<uintptr_t>(entry));
        }
        info = found->second;
        outstanding_.erase(found);
    }
    ErrorLogEntry record;
    record.bytes.assign(static_cast<uint8_t *>(entry), static_cast<uint8_t *>(entry) + info.size);
    record.allocatedSize = info.size;
    record.ioObject = info.ioObject;
    record.source = std::move(info.source);
    record.writtenAt = machine_.clock().Now();

    // Dump data and strings must stay inside the entry.
    const uintptr_t address = reinterpret_cast<uintptr_t>(entry);
    const uint16_t dumpSize = ReadUshort(record.bytes, offsetof(IO_ERROR_LOG_PACKET, DumpDataSize));
    if (kDumpDataOffset + dumpSize > info.size)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "error-log entry overruns its size (dump data)", address, info.size, dumpSize);
    const uint16_t strings = ReadUshort(record.bytes, offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings));
    size_t offset = ReadUshort(record.bytes, offsetof(IO_ERROR_LOG_PACKET, StringOffset));
    for (uint16_t i = 0; i < strings; ++i) {
        for (;;) {
            if (offset + sizeof(char16_t) > info.size)
                BugCheck(StopCode::DriverVerifierDetectedViolation,
                         "error-log entry overruns its size (insertion strings)", address,
                         info.size, offset);
            char16_t unit;
            std::memcpy(&unit, record.bytes.data() + offset, sizeof unit);
            offset += sizeof unit;
            if (unit == 0)
                break;
        }
    }
    std::vector<std::u16string> texts = record.Strings();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::u16string &text : texts) {
            auto counted = writtenByString_.find(text);
            if (counted != writtenByString_.end())
                counted->second++;
            else if (writtenByString_.size() < kStringsCounted)
                writtenByString_.emplace(std::move(text), 1);
        }
        if (written_.size() == kEntriesKept)
            written_.pop_front();
        written_.push_back(std::move(record));
    }
    machine_.pool().Free(entry);
}

std::vector<ErrorLogEntry> ErrorLog::Entries() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {written_.begin(), written_.end()};
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
    writtenByString_.clear();
}

void ErrorLog::CheckNoneOutstanding() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!outstanding_.empty())
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "driver unloaded with error-log entries allocated but never written",
                 outstanding_.size(), reinterpret_cast<uintptr_t>(outstanding_.begin()->first));
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
