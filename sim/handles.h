// handles.h - the kernel handle table shared by keys, files and threads.
#pragma once

#include "sim/machine.h"

#include <map>
#include <memory>
#include <mutex>

namespace sim {

// Anything a kernel handle can name.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual const char *TypeName() const = 0;
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

private:
    mutable std::mutex mutex_;
    std::map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
    uintptr_t next_ = 0x80000004;   // kernel handles have the top bit set
};

}  // namespace sim
