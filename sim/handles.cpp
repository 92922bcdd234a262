// handles.cpp - the kernel handle table and ZwClose, which closes a handle of any kind.
#include "sim/handles.h"

#include "sim/bugcheck.h"
#include "sim/irql.h"

namespace sim {

char16_t UpcaseUnit(char16_t unit)
{
    if (unit >= u'a' && unit <= u'z')
        return static_cast<char16_t>(unit - 0x20);
    if (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)
        return static_cast<char16_t>(unit - 0x20);
    if (unit == 0xFF)
        return 0x178;
    return unit;
}

bool NamesEqualIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpcaseUnit(a[i]) != UpcaseUnit(b[i]))
            return false;
    }
    return true;
}

std::u16string WidenName(std::string_view text)
{
    std::u16string wide;
    wide.reserve(text.size());
    for (char c : text)
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return wide;
}

std::string NarrowName(std::u16string_view text)
{
    std::string narrow;
    narrow.reserve(text.size());
    for (char16_t unit : text)
        narrow.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
    return narrow;
}

std::u16string_view CountedName(const UNICODE_STRING *name)
{
    if (name == nullptr || name->Buffer == nullptr)
        return {};
    return std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
}

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object)
{
    std::lock_guard<std::mutex> lock(mutex_);
    uintptr_t value = next_;
    next_ += 4;
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Lookup(HANDLE handle) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return found != objects_.end() ? found->second : nullptr;
}

bool HandleTable::Close(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
}

size_t HandleTable::OpenCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_.size();
}

std::vector<HandleTable::OpenHandle> HandleTable::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<OpenHandle> open;
    open.reserve(objects_.size());
    for (const auto &[value, object] : objects_)
        open.push_back(OpenHandle{reinterpret_cast<HANDLE>(value), object->TypeName()});
    return open;
}

}  // namespace sim

//
// ZwClose - closes a kernel handle of any kind. PASSIVE_LEVEL. Closing a handle that is
// not open stops the machine, as the verifier does for kernel handles.
//
extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    sim::RequireIrqlExactly(PASSIVE_LEVEL, "ZwClose");
    sim::HandleTable &table = sim::Machine::Current().handles();
    std::shared_ptr<sim::KernelObject> object = table.Lookup(Handle);
    if (object == nullptr || !table.Close(Handle))
        sim::BugCheck(sim::StopCode::InvalidKernelHandle, "ZwClose of a handle that is not open",
                      reinterpret_cast<uintptr_t>(Handle));
    object->OnHandleClosed();
    return STATUS_SUCCESS;
}
