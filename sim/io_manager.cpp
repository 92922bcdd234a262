// io_manager.cpp - the I/O manager's life cycle, its retired-memory handling, the
// deferred-close worker and the queries that tests use.
#include "sim/io_internal.h"

#include "sim/asan.h"
#include "sim/bugcheck.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>


namespace sim::io {

namespace {
constexpr std::align_val_t kBlockAlignment{16};
constexpr size_t kSlotGap = kAsanBuild ? 16 : 0;
}

Block::Block(size_t bytes) : size_((bytes + 15) & ~size_t{15})
{
    if (size_ == 0)
        size_ = 16;
    data_ = static_cast<std::byte *>(::operator new(size_, kBlockAlignment));
    std::memset(data_, 0, size_);
}

Block::~Block()
{
    Release();
}

Block::Block(Block &&other) noexcept
    : data_(other.data_), size_(other.size_), retired_(other.retired_), owned_(other.owned_)
{
    other.data_ = nullptr;
    other.size_ = 0;
    other.retired_ = false;
    other.owned_ = true;
}

Block &Block::operator=(Block &&other) noexcept
{
    if (this != &other) {
        Release();
        data_ = other.data_;
        size_ = other.size_;
        retired_ = other.retired_;
        owned_ = other.owned_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.retired_ = false;
        other.owned_ = true;
    }
    return *this;
}

void Block::Release()
{
    if (data_ == nullptr)
        return;
    if (owned_) {
        if (retired_)
            UnpoisonMemory(data_, size_);
        ::operator delete(data_, kBlockAlignment);
    }
    data_ = nullptr;
}

void Block::Retire()
{
    if (data_ == nullptr || retired_)
        return;
    std::memset(data_, kPoisonByte, size_);
    PoisonMemory(data_, size_);
    retired_ = true;
}

bool Block::PoisonIntact()
{
    if (!retired_)
        return true;
    UnpoisonMemory(data_, size_);
    retired_ = false;
    // Compared with a page of poison by the C library's vectorised memcmp.
    static const std::array<std::byte, 4096> poison = [] {
        std::array<std::byte, 4096> bytes;
        bytes.fill(std::byte{kPoisonByte});
        return bytes;
    }();
    for (size_t offset = 0; offset < size_; offset += poison.size()) {
        if (std::memcmp(data_ + offset, poison.data(), std::min(poison.size(), size_ - offset)) != 0)
            return false;
    }
    return true;
}

void Block::Reuse()
{
    if (retired_)
        UnpoisonMemory(data_, size_);
    retired_ = false;
    std::memset(data_, 0, size_);
}

Quarantine::~Quarantine()
{
    // Blocks still in records end after the quarantine and leave chunk memory alone.
    blocks_.clear();
    classes_.clear();
    for (const auto &[chunk, bytes] : chunks_) {
        UnpoisonMemory(chunk, bytes);
        ::operator delete(chunk, kBlockAlignment);
    }
}

Quarantine::SizeClass &Quarantine::ClassOf(size_t rounded)
{
    for (SizeClass &sizeClass : classes_) {
        if (sizeClass.size == rounded)
            return sizeClass;
    }
    return classes_.emplace_back(SizeClass{rounded, {}});
}

const void *Quarantine::Add(Block block)
{
    block.Retire();
    blocks_.push_back(std::move(block));
    if (blocks_.size() <= limit_)
        return nullptr;
    Block &oldest = blocks_.front();
    const void *released = oldest.data();
    std::vector<Block> &spare = ClassOf(oldest.size()).spare;
    // A chunk's slot is always kept; the chunk's memory serves only through it.
    if (!oldest.owned_ || spare.size() < kSpareOwnedBlocks)
        spare.push_back(std::move(oldest));
    blocks_.pop_front();
    return released;
}

Block Quarantine::Take(size_t bytes)
{
    const size_t rounded = std::max<size_t>((bytes + 15) & ~size_t{15}, 16);
    SizeClass &sizeClass = ClassOf(rounded);
    if (!sizeClass.spare.empty()) {
        Block block = std::move(sizeClass.spare.back());
        sizeClass.spare.pop_back();
        block.Reuse();
        return block;
    }
    if (rounded > kLargestCarved)
        return Block(bytes);
    // Under AddressSanitizer a poisoned gap after each slot catches a write past a block's
    // end, as the heap's own red zones did for blocks of their own.
    const size_t stride = rounded + kSlotGap;
    const size_t slots = kChunkBytes / stride;
    auto *chunk = static_cast<std::byte *>(::operator new(slots * stride, kBlockAlignment));
    chunks_.emplace_back(chunk, slots * stride);
    for (size_t i = 0; i < slots && kSlotGap != 0; i++)
        PoisonMemory(chunk + i * stride + rounded, kSlotGap);
    // The other slots wait, unused, for the next requests; the lowest address goes first.
    for (size_t i = slots; i-- > 1;)
        sizeClass.spare.push_back(Block(chunk + i * stride, rounded));
    Block block(chunk, rounded);
    std::memset(chunk, 0, rounded);
    return block;
}

bool Quarantine::Holds(const void *address) const
{
    return std::any_of(blocks_.begin(), blocks_.end(),
                       [address](const Block &block) { return block.data() == address; });
}

std::u16string NameKey(std::u16string_view name)
{
    static constexpr std::u16string_view kDosAliases[] = {u"\\??\\", u"\\GLOBAL??\\"};
    std::u16string key;
    for (auto alias : kDosAliases) {
        if (name.size() >= alias.size()) {
            std::u16string head(name.substr(0, alias.size()));
            for (auto &c : head)
                if (c >= u'a' && c <= u'z')
                    c = static_cast<char16_t>(c - u'a' + u'A');
            if (head == alias) {
                key = u"\\DosDevices\\";
                name.remove_prefix(alias.size());
                break;
            }
        }
    }
    key.append(name);
    for (auto &c : key) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
        else if (c >= 0xE0 && c <= 0xFE && c != 0xF7)   // Latin-1 letters
            c = static_cast<char16_t>(c - 0x20);
    }
    return key;
}

std::u16string ToU16(const UNICODE_STRING *string)
{
    if (string == nullptr || string->Buffer == nullptr)
        return {};
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

std::string Narrow(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace sim::io

namespace sim {

using namespace io;

namespace {
uint64_t NewManagerId()
{
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}
}  // namespace

IoManager::State::State(Machine &m) : machine(m), id(NewManagerId()) {}

IoManager::IoManager(Machine &machine) : state_(std::make_unique<State>(machine))
{
    // Error-log entries may be written for the driver object or one of its live devices.
    kernel::SetErrorLogSourceResolver(machine, [state = state_.get()](const void *object)
                                                   -> std::shared_ptr<const std::u16string> {
        std::lock_guard lock(state->mutex);
        if (state->driver == nullptr)
            return nullptr;
        if (object == state->driver->object)
            return state->driver->sourceName;
        auto device = state->devices.find(static_cast<PDEVICE_OBJECT>(const_cast<void *>(object)));
        if (device == state->devices.end())
            return nullptr;
        return device->second->sharedName;
    });
}

IoManager::~IoManager()
{
    kernel::SetErrorLogSourceResolver(state_->machine, nullptr);
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->deferredWork.notify_all();
    if (state_->closeWorker.joinable())
        state_->closeWorker.join();
    // Requests the driver never completed still own system buffers from the pool.
    for (auto &[irp, record] : state_->irps)
        if (!record->completed && record->systemBuffer != nullptr)
            kernel::FreeNonPaged(state_->machine, record->systemBuffer);
}

void IoManager::SetVerifierOptions(IoVerifierOptions options)
{
    std::lock_guard lock(state_->mutex);
    state_->verifier = options;
}

void IoManager::SetUserWaitLimit(std::chrono::milliseconds limit)
{
    std::lock_guard lock(state_->mutex);
    state_->userWaitLimit = limit;
}

void IoManager::SetIssueGate(std::function<void(UCHAR majorFunction)> gate)
{
    std::lock_guard lock(state_->mutex);
    state_->issueGate = std::move(gate);
}

bool IoManager::DeviceExists(std::u16string_view name) const
{
    return FindDevice(name) != nullptr;
}

PDEVICE_OBJECT IoManager::FindDevice(std::u16string_view name) const
{
    std::lock_guard lock(state_->mutex);
    auto it = state_->names.find(NameKey(name));
    if (it == state_->names.end() || it->second.isLink)
        return nullptr;
    return it->second.device;
}

bool IoManager::SymbolicLinkExists(std::u16string_view name) const
{
    return SymbolicLinkTarget(name).has_value();
}

std::optional<std::u16string> IoManager::SymbolicLinkTarget(std::u16string_view name) const
{
    std::lock_guard lock(state_->mutex);
    auto it = state_->names.find(NameKey(name));
    if (it == state_->names.end() || !it->second.isLink)
        return std::nullopt;
    return it->second.linkTarget;
}

std::vector<std::u16string> IoManager::DriverDeviceNames(PDRIVER_OBJECT driver) const
{
    std::lock_guard lock(state_->mutex);
    std::vector<std::u16string> names;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        auto it = state_->devices.find(device);
        if (it == state_->devices.end())
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "driver object's device list holds an object that is not a device",
                     reinterpret_cast<uintptr_t>(driver), reinterpret_cast<uintptr_t>(device));
        names.push_back(it->second->name);
    }
    return names;
}

std::optional<ULONG> IoManager::DeviceFlags(std::u16string_view name) const
{
    std::lock_guard lock(state_->mutex);
    auto it = state_->names.find(NameKey(name));
    if (it == state_->names.end() || it->second.isLink)
        return std::nullopt;
    return it->second.device->Flags;
}

namespace {

const DeviceRecord *DeviceByName(const IoManager::State &state, std::u16string_view name)
{
    auto key = NameKey(name);
    for (auto &[object, record] : state.devices)
        if (NameKey(record->name) == key)
            return record.get();
    for (auto &record : state.deletedDevices)
        if (NameKey(record->name) == key)
            return record.get();
    return nullptr;
}

}  // namespace

size_t IoManager::OpenHandleCount(std::u16string_view deviceName) const
{
    std::lock_guard lock(state_->mutex);
    auto device = DeviceByName(*state_, deviceName);
    return device != nullptr ? device->handles : 0;
}

size_t IoManager::OpenFileObjectCount(std::u16string_view deviceName) const
{
    std::lock_guard lock(state_->mutex);
    auto device = DeviceByName(*state_, deviceName);
    return device != nullptr ? device->fileObjects : 0;
}

std::vector<PendingIrp> IoManager::PendingIrps() const
{
    std::lock_guard lock(state_->mutex);
    std::vector<PendingIrp> pending;
    for (auto &[irp, record] : state_->irps) {
        if (record->completed)
            continue;
        pending.push_back({record->id, irp, record->major, record->ioControlCode,
                           record->device != nullptr ? record->device->name : u"",
                           record->dispatchReturned});
    }
    std::sort(pending.begin(), pending.end(),
              [](const PendingIrp &a, const PendingIrp &b) { return a.irpId < b.irpId; });
    return pending;
}

std::vector<IoCompletion> IoManager::Completions() const
{
    std::lock_guard lock(state_->mutex);
    std::vector<IoCompletion> completions;
    completions.reserve(state_->completions.size());
    for (const State::CompletionEntry &entry : state_->completions) {
        completions.push_back(entry.fields);
        if (entry.device != nullptr)
            completions.back().device = *entry.device;
    }
    return completions;
}

void IoManager::ClearCompletions()
{
    std::lock_guard lock(state_->mutex);
    state_->completions.clear();
}

size_t IoManager::DriverMdlsOutstanding() const
{
    return state_->mdls.Outstanding(MdlOwner::Driver);
}

uint64_t IoManager::NonzeroPriorityBoosts() const
{
    std::lock_guard lock(state_->mutex);
    return state_->nonzeroBoosts;
}

uint64_t IoManager::StatusMismatches() const
{
    std::lock_guard lock(state_->mutex);
    return state_->statusMismatches;
}

void IoManager::WaitForDeferredCloses()
{
    std::unique_lock lock(state_->mutex);
    state_->deferredWork.wait(lock, [&] {
        return state_->deferredCloses.empty() && !state_->closeWorkerBusy;
    });
}

PDRIVER_OBJECT IoManager::LoadedDriver() const
{
    std::lock_guard lock(state_->mutex);
    return state_->driver != nullptr ? state_->driver->object : nullptr;
}

}  // namespace sim
