// registry.cpp - keys and values, ZwOpenKey and ZwQueryValueKey.
#include "sim/registry.h"

#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/irql.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim {

struct Registry::Key {
    std::u16string name;
    std::vector<std::shared_ptr<Key>> subkeys;
    std::vector<RegistryValue> values;
    bool deleted = false;

    RegistryValue *FindValue(std::u16string_view valueName)
    {
        for (RegistryValue &value : values) {
            if (NamesEqualIgnoringCase(value.name, valueName))
                return &value;
        }
        return nullptr;
    }
};

class Registry::KeyObject final : public KernelObject {
public:
    KeyObject(std::shared_ptr<Key> key, ACCESS_MASK access) : key(std::move(key)), access(access) {}
    const char *TypeName() const override { return "Key"; }

    std::shared_ptr<Key> key;
    ACCESS_MASK access;
};

namespace {

constexpr ACCESS_MASK kKeyWrite = 0x00020006;
constexpr ACCESS_MASK kKeyAllAccess = 0x000F003F;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;

ACCESS_MASK MapKeyAccess(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & 0x00FFFFFF;
    if (access & GENERIC_READ)
        mapped |= KEY_READ;
    if (access & GENERIC_WRITE)
        mapped |= kKeyWrite;
    if (access & kGenericExecute)
        mapped |= KEY_READ;
    if (access & kGenericAll)
        mapped |= kKeyAllAccess;
    return mapped;
}

// Whether every backslash-separated component of a relative path is non-empty ("\\" and a
// leading or trailing backslash make an empty one); the empty path has no components.
bool WellFormed(std::u16string_view path)
{
    if (path.empty())
        return true;
    return path.front() != u'\\' && path.back() != u'\\' &&
           path.find(u"\\\\") == std::u16string_view::npos;
}

// The first component of a well-formed path, and the path after it.
std::u16string_view TakeComponent(std::u16string_view &path)
{
    size_t end = path.find(u'\\');
    std::u16string_view component = path.substr(0, end);
    path = end == std::u16string_view::npos ? std::u16string_view() : path.substr(end + 1);
    return component;
}

}  // namespace

Registry::Registry(Machine &machine) : machine_(machine), root_(std::make_shared<Key>())
{
    root_->name = u"Registry";
    CreateKey("\\Registry\\Machine\\System\\CurrentControlSet\\Services");
    CreateKey("\\Registry\\Machine\\Software");
    CreateKey("\\Registry\\User");
}

Registry::~Registry() = default;

std::shared_ptr<Registry::Key> Registry::FindLocked(const std::shared_ptr<Key> &from,
                                                    std::u16string_view path, bool create) const
{
    std::shared_ptr<Key> key = from;
    while (!path.empty()) {
        std::u16string_view component = TakeComponent(path);
        auto next = std::find_if(key->subkeys.begin(), key->subkeys.end(),
                                 [&](const std::shared_ptr<Key> &k) {
                                     return NamesEqualIgnoringCase(k->name, component);
                                 });
        if (next != key->subkeys.end()) {
            key = *next;
            continue;
        }
        if (!create)
            return nullptr;
        auto made = std::make_shared<Key>();
        made->name = std::u16string(component);
        key->subkeys.push_back(made);
        key = made;
    }
    return key;
}

std::shared_ptr<Registry::Key> Registry::FindAbsoluteLocked(std::u16string_view path,
                                                            bool create) const
{
    if (path.empty() || path.front() != u'\\')
        return nullptr;
    path.remove_prefix(1);
    if (path.empty() || !WellFormed(path) || !NamesEqualIgnoringCase(TakeComponent(path), u"Registry"))
        return nullptr;
    return FindLocked(root_, path, create);
}

void Registry::CreateKey(std::string_view path)
{
    CreateKey(WidenName(path));
}

void Registry::CreateKey(std::u16string_view path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (FindAbsoluteLocked(path, true) == nullptr)
        throw std::invalid_argument("Registry: not an absolute \\Registry path: " +
                                    NarrowName(path));
}

void Registry::SetValue(std::string_view keyPath, std::string_view name, ULONG type,
                        std::vector<uint8_t> data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Key> key = FindAbsoluteLocked(WidenName(keyPath), true);
    if (key == nullptr)
        throw std::invalid_argument("Registry: not an absolute \\Registry path: " +
                                    std::string(keyPath));
    std::u16string valueName = WidenName(name);
    if (RegistryValue *value = key->FindValue(valueName)) {
        value->type = type;
        value->data = std::move(data);
        return;
    }
    key->values.push_back(RegistryValue{valueName, type, std::move(data)});
}

void Registry::SetDword(std::string_view keyPath, std::string_view name, uint32_t value)
{
    std::vector<uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    SetValue(keyPath, name, REG_DWORD, std::move(data));
}

void Registry::SetString(std::string_view keyPath, std::string_view name, std::string_view value)
{
    std::u16string wide = WidenName(value);
    std::vector<uint8_t> data((wide.size() + 1) * sizeof(char16_t));
    std::memcpy(data.data(), wide.c_str(), data.size());
    SetValue(keyPath, name, REG_SZ, std::move(data));
}

bool Registry::DeleteValue(std::string_view keyPath, std::string_view name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Key> key = FindAbsoluteLocked(WidenName(keyPath), false);
    if (key == nullptr)
        return false;
    std::u16string valueName = WidenName(name);
    auto found = std::find_if(key->values.begin(), key->values.end(), [&](const RegistryValue &v) {
        return NamesEqualIgnoringCase(v.name, valueName);
    });
    if (found == key->values.end())
        return false;
    key->values.erase(found);
    return true;
}

bool Registry::DeleteKey(std::string_view path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::u16string wide = WidenName(path);
    size_t cut = wide.rfind(u'\\');
    if (cut == std::u16string::npos || cut == 0)
        return false;
    std::shared_ptr<Key> parent = FindAbsoluteLocked(std::u16string_view(wide).substr(0, cut), false);
    std::shared_ptr<Key> key = FindAbsoluteLocked(wide, false);
    if (parent == nullptr || key == nullptr)
        return false;
    std::vector<std::shared_ptr<Key>> pending{key};
    while (!pending.empty()) {
        std::shared_ptr<Key> next = pending.back();
        pending.pop_back();
        next->deleted = true;
        pending.insert(pending.end(), next->subkeys.begin(), next->subkeys.end());
    }
    parent->subkeys.erase(std::remove(parent->subkeys.begin(), parent->subkeys.end(), key),
                          parent->subkeys.end());
    return true;
}

bool Registry::KeyExists(std::string_view path) const
{
    return KeyExists(WidenName(path));
}

bool Registry::KeyExists(std::u16string_view path) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return FindAbsoluteLocked(path, false) != nullptr;
}

std::optional<RegistryValue> Registry::Value(std::string_view keyPath, std::string_view name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Key> key = FindAbsoluteLocked(WidenName(keyPath), false);
    if (key == nullptr)
        return std::nullopt;
    RegistryValue *value = key->FindValue(WidenName(name));
    if (value == nullptr)
        return std::nullopt;
    return *value;
}

uint64_t Registry::OpenCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

NTSTATUS Registry::OpenKey(HANDLE *keyHandle, ACCESS_MASK desiredAccess,
                           const OBJECT_ATTRIBUTES *objectAttributes)
{
    if (objectAttributes == nullptr || objectAttributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    std::u16string_view path = CountedName(objectAttributes->ObjectName);
    if (objectAttributes->ObjectName != nullptr && (objectAttributes->ObjectName->Length & 1))
        return STATUS_OBJECT_NAME_INVALID;

    std::shared_ptr<Key> from;
    if (objectAttributes->RootDirectory != nullptr) {
        std::shared_ptr<KernelObject> root = machine_.handles().Lookup(objectAttributes->RootDirectory);
        if (root == nullptr)
            return STATUS_INVALID_HANDLE;
        auto rootKey = std::dynamic_pointer_cast<KeyObject>(root);
        if (rootKey == nullptr)
            return STATUS_OBJECT_TYPE_MISMATCH;
        if (!path.empty() && path.front() == u'\\')
            return kStatusObjectPathSyntaxBad;
        from = rootKey->key;
    } else if (path.empty() || path.front() != u'\\') {
        return kStatusObjectPathSyntaxBad;
    }

    std::shared_ptr<Key> key;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (from != nullptr) {
            if (from->deleted)
                return kStatusKeyDeleted;
            if (!WellFormed(path))
                return STATUS_OBJECT_NAME_INVALID;
            key = FindLocked(from, path, false);
        } else {
            std::u16string_view rest = path.substr(1);
            if (!WellFormed(rest))
                return STATUS_OBJECT_NAME_INVALID;
            if (rest.empty() || !NamesEqualIgnoringCase(TakeComponent(rest), u"Registry"))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            key = FindLocked(root_, rest, false);
        }
        if (key == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        ++opens_;
    }
    *keyHandle = machine_.handles().Insert(
        std::make_shared<KeyObject>(std::move(key), MapKeyAccess(desiredAccess)));
    return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryValue(HANDLE keyHandle, const UNICODE_STRING *valueName,
                              KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                              ULONG length, PULONG resultLength)
{
    std::shared_ptr<KernelObject> named = machine_.handles().Lookup(keyHandle);
    if (named == nullptr)
        return STATUS_INVALID_HANDLE;
    auto keyObject = std::dynamic_pointer_cast<KeyObject>(named);
    if (keyObject == nullptr)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (!(keyObject->access & KEY_QUERY_VALUE))
        return STATUS_ACCESS_DENIED;
    if (informationClass != KeyValuePartialInformation || resultLength == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (valueName != nullptr && (valueName->Length & 1))
        return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::mutex> lock(mutex_);
    if (keyObject->key->deleted)
        return kStatusKeyDeleted;
    const RegistryValue *value = keyObject->key->FindValue(CountedName(valueName));
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;

    const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG needed = header + static_cast<ULONG>(value->data.size());
    *resultLength = needed;
    if (length < header)
        return STATUS_BUFFER_TOO_SMALL;
    // The caller's buffer need not be aligned: fields go in by copy.
    auto *out = static_cast<uint8_t *>(information);
    const ULONG titleIndex = 0;
    const ULONG dataLength = static_cast<ULONG>(value->data.size());
    std::memcpy(out + offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), &titleIndex, sizeof(ULONG));
    std::memcpy(out + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), &value->type, sizeof(ULONG));
    std::memcpy(out + offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), &dataLength,
                sizeof(ULONG));
    if (length < needed)
        return STATUS_BUFFER_OVERFLOW;
    if (dataLength != 0)
        std::memcpy(out + header, value->data.data(), dataLength);
    return STATUS_SUCCESS;
}

}  // namespace sim

//
// ZwOpenKey - a handle to an existing key, by absolute path or relative to a key handle.
// PASSIVE_LEVEL. STATUS_OBJECT_NAME_NOT_FOUND when the key does not exist.
//
extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    sim::RequireIrqlExactly(PASSIVE_LEVEL, "ZwOpenKey");
    sim::Machine &machine = sim::Machine::Current();
    sim::FaultPoint point;
    point.routine = "ZwOpenKey";
    if (ObjectAttributes != nullptr)
        point.name = std::u16string(sim::CountedName(ObjectAttributes->ObjectName));
    if (machine.faults().ShouldFail(point))
        return STATUS_INSUFFICIENT_RESOURCES;
    return machine.registry().OpenKey(KeyHandle, DesiredAccess, ObjectAttributes);
}

//
// ZwQueryValueKey - one value of an open key as KeyValuePartialInformation. PASSIVE_LEVEL.
//
extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length,
                                          PULONG ResultLength)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    sim::RequireIrqlExactly(PASSIVE_LEVEL, "ZwQueryValueKey");
    sim::Machine &machine = sim::Machine::Current();
    sim::FaultPoint point;
    point.routine = "ZwQueryValueKey";
    point.size = Length;
    point.name = std::u16string(sim::CountedName(ValueName));
    if (machine.faults().ShouldFail(point))
        return STATUS_INSUFFICIENT_RESOURCES;
    return machine.registry().QueryValue(KeyHandle, ValueName, KeyValueInformationClass,
                                         KeyValueInformation, Length, ResultLength);
}
