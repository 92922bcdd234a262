// handles.h - the kernel handle table shared by keys, files and threads.
#pragma once

#include "sim/machine.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Object names (registry keys, files) compare without regard to case, as the object
// manager does: ASCII and Latin-1 letters fold to upper case.
char16_t UpcaseUnit(char16_t unit);
bool NamesEqualIgnoringCase(std::u16string_view a, std::u16string_view b);
// Test-side names: each byte of `text` (ASCII) becomes one 16-bit unit, and back (units
// above 0xFF become '?').
std::u16string WidenName(std::string_view text);
std::string NarrowName(std::u16string_view text);
// The characters a counted string holds (Length bytes), or empty for a null string.
std::u16string_view CountedName(const UNICODE_STRING *name);

// Anything a kernel handle can name.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual const char *TypeName() const = 0;
    // Called by ZwClose once the handle that named this object is gone (share access of a
    // file, the handle count of a thread object ...).
    virtual void OnHandleClosed() {}
};

class HandleTable {
public:
    // A new handle for `object`; handles are never null and never reused while open.
    HANDLE Insert(std::shared_ptr<KernelObject> object);
    // The object behind an open handle, or null.
    std::shared_ptr<KernelObject> Lookup(HANDLE handle) const;
    template <typename T> std::shared_ptr<T> LookupAs(HANDLE handle) const
    {
        return std::dynamic_pointer_cast<T>(Lookup(handle));
    }
    // Closes the handle; false when it was not open.
    bool Close(HANDLE handle);
    size_t OpenCount() const;

    struct OpenHandle {
        HANDLE handle;
        std::string type;   // KernelObject::TypeName()
    };
    // Every open handle, in the order they were opened.
    std::vector<OpenHandle> Snapshot() const;

private:
    mutable std::mutex mutex_;
    std::map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
    uintptr_t next_ = 0x80000004;   // kernel handles have the top bit set
};

}  // namespace sim
