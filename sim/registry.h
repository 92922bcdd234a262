// registry.h - the simulated registry: a tree of keys under \Registry with typed values.
//
// Tests and the other simulated parts fill it through the API below (paths are absolute,
// "\Registry\Machine\System\...", matched without regard to case; missing keys on the way
// are created). The driver reads it with ZwOpenKey and ZwQueryValueKey, which behave like
// the platform's: KeyValuePartialInformation with STATUS_BUFFER_TOO_SMALL below the fixed
// header, STATUS_BUFFER_OVERFLOW with the header filled when the data does not fit, the
// needed size in *ResultLength for both; STATUS_OBJECT_NAME_NOT_FOUND for what is missing.
#pragma once

#include "sim/machine.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct RegistryValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Statuses of the registry beyond those the driver's headers name.
inline constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003B);
inline constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017C);

class Registry {
public:
    explicit Registry(Machine &machine);
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    void CreateKey(std::string_view path);
    void CreateKey(std::u16string_view path);
    void SetValue(std::string_view keyPath, std::string_view name, ULONG type,
                  std::vector<uint8_t> data);
    void SetDword(std::string_view keyPath, std::string_view name, uint32_t value);
    // REG_SZ, stored with its 16-bit terminator.
    void SetString(std::string_view keyPath, std::string_view name, std::string_view value);
    bool DeleteValue(std::string_view keyPath, std::string_view name);
    // Removes the key with its subkeys; handles still open to it see STATUS_KEY_DELETED.
    bool DeleteKey(std::string_view path);
    bool KeyExists(std::string_view path) const;
    bool KeyExists(std::u16string_view path) const;
    std::optional<RegistryValue> Value(std::string_view keyPath, std::string_view name) const;

    // ZwOpenKey and ZwQueryValueKey once the IRQL and fault checks passed.
    NTSTATUS OpenKey(HANDLE *keyHandle, ACCESS_MASK desiredAccess,
                     const OBJECT_ATTRIBUTES *objectAttributes);
    NTSTATUS QueryValue(HANDLE keyHandle, const UNICODE_STRING *valueName,
                        KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                        ULONG length, PULONG resultLength);

    // Keys opened by ZwOpenKey so far (a test sees whether the driver looked).
    uint64_t OpenCount() const;

private:
    struct Key;
    class KeyObject;

    // mutex_ held. The key at the well-formed relative `path` below `from`; null when a
    // key on the way is missing, unless `create` makes them.
    std::shared_ptr<Key> FindLocked(const std::shared_ptr<Key> &from, std::u16string_view path,
                                    bool create) const;
    std::shared_ptr<Key> FindAbsoluteLocked(std::u16string_view path, bool create) const;

    Machine &machine_;
    mutable std::mutex mutex_;
    std::shared_ptr<Key> root_;     // \Registry
    uint64_t opens_ = 0;
};

}  // namespace sim
