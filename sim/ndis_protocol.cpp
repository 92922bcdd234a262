// ndis_protocol.cpp - protocol registration, adapter open and close, adapter instance
// names and NDIS-owned memory.
#include "sim/ndis_state.h"

#include "sim/faults.h"
#include "sim/irql.h"
#include "sim/ndis_verifier.h"

#include <cstddef>
#include <cstring>

namespace sim {
namespace {

// The characteristics record of each NDIS version a protocol may register with; the
// sizes are those of the record's prefix in this build's layout (108 bytes for 5.0 on x86).
struct VersionShape {
    UCHAR major;
    UCHAR minor;
    size_t size;
    bool bindHandlers;   // 4.0 and later bind through the bind and unbind handlers
};

constexpr VersionShape kVersions[] = {
    {5, 0, sizeof(NDIS_PROTOCOL_CHARACTERISTICS), true},
    {4, 0, offsetof(NDIS_PROTOCOL_CHARACTERISTICS, ReservedHandlers), true},
    {3, 0, offsetof(NDIS_PROTOCOL_CHARACTERISTICS, ReceivePacketHandler), false},
};

bool FaultInjected(Machine &machine, const char *routine)
{
    FaultPoint point;
    point.routine = routine;
    return machine.faults().ShouldFail(point);
}

// Checks a characteristics record as NDIS 5.0 does; the version shape on success.
NDIS_STATUS ValidateCharacteristics(const NDIS_PROTOCOL_CHARACTERISTICS *record, UINT length,
                                    const VersionShape **shape)
{
    if (record == nullptr)
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    *shape = nullptr;
    for (const auto &version : kVersions) {
        if (version.major == record->MajorNdisVersion && version.minor == record->MinorNdisVersion)
            *shape = &version;
    }
    if (*shape == nullptr)
        return NDIS_STATUS_BAD_VERSION;
    if (length < (*shape)->size)
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    const NDIS_STRING &name = record->Name;
    if (name.Length == 0 || name.Buffer == nullptr || name.Length % sizeof(WCHAR) != 0)
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    // What a connectionless protocol must handle.
    const void *required[] = {
        reinterpret_cast<const void *>(record->OpenAdapterCompleteHandler),
        reinterpret_cast<const void *>(record->CloseAdapterCompleteHandler),
        reinterpret_cast<const void *>(record->SendCompleteHandler),
        reinterpret_cast<const void *>(record->TransferDataCompleteHandler),
        reinterpret_cast<const void *>(record->ResetCompleteHandler),
        reinterpret_cast<const void *>(record->RequestCompleteHandler),
        reinterpret_cast<const void *>(record->ReceiveHandler),
        reinterpret_cast<const void *>(record->ReceiveCompleteHandler),
        reinterpret_cast<const void *>(record->StatusHandler),
        reinterpret_cast<const void *>(record->StatusCompleteHandler),
    };
    for (const void *handler : required) {
        if (handler == nullptr)
            return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    if ((*shape)->bindHandlers &&
        (record->BindAdapterHandler == nullptr || record->UnbindAdapterHandler == nullptr))
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    return NDIS_STATUS_SUCCESS;
}

// NDIS names compare without regard to ASCII case.
bool SameName(const NDIS_STRING &name, const std::u16string &deviceName)
{
    if (name.Buffer == nullptr || name.Length / sizeof(WCHAR) != deviceName.size())
        return false;
    for (size_t i = 0; i < deviceName.size(); i++) {
        char16_t a = name.Buffer[i];
        char16_t b = deviceName[i];
        if (a >= u'a' && a <= u'z')
            a = static_cast<char16_t>(a - u'a' + u'A');
        if (b >= u'a' && b <= u'z')
            b = static_cast<char16_t>(b - u'a' + u'A');
        if (a != b)
            return false;
    }
    return true;
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI NdisRegisterProtocol(PNDIS_STATUS Status, PNDIS_HANDLE NdisProtocolHandle,
                                PNDIS_PROTOCOL_CHARACTERISTICS ProtocolCharacteristics,
                                UINT CharacteristicsLength)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    RequireIrqlExactly(PASSIVE_LEVEL, "NdisRegisterProtocol");
    NdisState &state = CurrentNdis();
    if (FaultInjected(state.machine, "NdisRegisterProtocol")) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    const VersionShape *shape = nullptr;
    NDIS_STATUS valid = ValidateCharacteristics(ProtocolCharacteristics, CharacteristicsLength, &shape);
    if (valid != NDIS_STATUS_SUCCESS) {
        *Status = valid;
        return;
    }
    std::lock_guard lock(state.mutex);
    if (state.protocol) {
        // This machine hosts one protocol.
        *Status = NDIS_STATUS_FAILURE;
        return;
    }
    ProtocolInfo info;
    info.majorVersion = ProtocolCharacteristics->MajorNdisVersion;
    info.minorVersion = ProtocolCharacteristics->MinorNdisVersion;
    info.characteristicsLength = CharacteristicsLength;
    info.nameLength = ProtocolCharacteristics->Name.Length;
    info.nameMaximumLength = ProtocolCharacteristics->Name.MaximumLength;
    std::memcpy(&info.characteristics, ProtocolCharacteristics, shape->size);
    size_t chars = ProtocolCharacteristics->Name.Length / sizeof(WCHAR);
    info.name.assign(ProtocolCharacteristics->Name.Buffer, chars);
    state.protocolName = std::make_unique<char16_t[]>(chars + 1);
    std::memcpy(state.protocolName.get(), info.name.data(), chars * sizeof(WCHAR));
    info.characteristics.Name.Buffer = state.protocolName.get();
    info.characteristics.Name.MaximumLength = static_cast<USHORT>((chars + 1) * sizeof(WCHAR));
    state.protocol = std::move(info);
    state.protocolHandle = state.NewToken();
    *NdisProtocolHandle = state.protocolHandle;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisDeregisterProtocol(PNDIS_STATUS Status, NDIS_HANDLE NdisProtocolHandle)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "NdisDeregisterProtocol");
    NdisState &state = CurrentNdis();
    std::lock_guard lock(state.mutex);
    NdisCheck(state.protocol && NdisProtocolHandle == state.protocolHandle,
              "NdisDeregisterProtocol with an unknown protocol handle",
              reinterpret_cast<uintptr_t>(NdisProtocolHandle));
    size_t open = 0;
    for (const auto &[handle, binding] : state.bindings) {
        if (binding->state == BindingState::Opening || binding->state == BindingState::Open ||
            binding->state == BindingState::Closing)
            open++;
    }
    NdisCheck(open == 0, "protocol deregistered with open bindings", open);
    state.protocol.reset();
    state.protocolName.reset();
    state.protocolHandle = nullptr;
    *Status = NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisOpenAdapter(PNDIS_STATUS Status, PNDIS_STATUS OpenErrorStatus,
                           PNDIS_HANDLE NdisBindingHandle, PUINT SelectedMediumIndex,
                           PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                           NDIS_HANDLE NdisProtocolHandle, NDIS_HANDLE ProtocolBindingContext,
                           PNDIS_STRING AdapterName, UINT OpenOptions, PVOID AddressingInformation)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    (void)OpenOptions;
    (void)AddressingInformation;
    RequireIrqlExactly(PASSIVE_LEVEL, "NdisOpenAdapter");
    NdisState &state = CurrentNdis();
    *OpenErrorStatus = NDIS_STATUS_SUCCESS;
    if (FaultInjected(state.machine, "NdisOpenAdapter")) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    std::unique_lock lock(state.mutex);
    NdisCheck(state.protocol && NdisProtocolHandle == state.protocolHandle,
              "NdisOpenAdapter with an unknown protocol handle",
              reinterpret_cast<uintptr_t>(NdisProtocolHandle));
    Adapter *adapter = nullptr;
    for (const auto &candidate : state.adapters) {
        if (AdapterName != nullptr && SameName(*AdapterName, candidate->DeviceName()))
            adapter = candidate.get();
    }
    if (adapter == nullptr) {
        *Status = NDIS_STATUS_ADAPTER_NOT_FOUND;
        return;
    }
    if (adapter->binding_) {
        // One binding per adapter: the protocol opens each adapter once.
        *Status = NDIS_STATUS_OPEN_FAILED;
        return;
    }
    UINT index = 0;
    while (index < MediumArraySize && MediumArray[index] != adapter->Medium())
        index++;
    if (index == MediumArraySize) {
        *Status = NDIS_STATUS_UNSUPPORTED_MEDIA;
        return;
    }
    Script script = adapter->TakeScript(NdisOperation::Open);
    *SelectedMediumIndex = index;
    if (script.mode == CompletionMode::Immediate && script.status != NDIS_STATUS_SUCCESS) {
        *Status = script.status;
        return;
    }
    auto binding = std::make_shared<NdisBinding>();
    binding->handle = state.NewToken();
    binding->adapter = adapter;
    binding->protocolContext = ProtocolBindingContext;
    binding->state = script.mode == CompletionMode::Immediate ? BindingState::Open : BindingState::Opening;
    state.bindings[binding->handle] = binding;
    adapter->binding_ = binding;
    *NdisBindingHandle = binding->handle;
    if (script.mode == CompletionMode::Immediate) {
        *Status = NDIS_STATUS_SUCCESS;
        return;
    }
    lock.unlock();

    auto op = NewPendingOp(NdisOperation::Open, script, binding);
    op->finish = [&state, binding](NDIS_STATUS status) {
        OPEN_ADAPTER_COMPLETE_HANDLER *handler = nullptr;
        {
            std::lock_guard guard(state.mutex);
            binding->state = status == NDIS_STATUS_SUCCESS ? BindingState::Open : BindingState::Failed;
            if (binding->state == BindingState::Failed && binding->adapter->binding_ == binding)
                binding->adapter->binding_.reset();
            if (state.protocol)
                handler = state.protocol->characteristics.OpenAdapterCompleteHandler;
        }
        if (handler != nullptr)
            handler(binding->protocolContext, status, NDIS_STATUS_SUCCESS);
    };
    *Status = NDIS_STATUS_PENDING;
    state.StartPending(*adapter, op);
}

VOID NTAPI NdisCloseAdapter(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "NdisCloseAdapter");
    NdisState &state = CurrentNdis();
    std::shared_ptr<NdisBinding> binding;
    {
        std::lock_guard lock(state.mutex);
        auto found = state.bindings.find(NdisBindingHandle);
        NdisCheck(found == state.bindings.end() || found->second->state != BindingState::Opening,
                  "NdisCloseAdapter before the open completed",
                  reinterpret_cast<uintptr_t>(NdisBindingHandle));
        binding = state.RequireOpenBinding(NdisBindingHandle, "NdisCloseAdapter");
        binding->state = BindingState::Closing;
    }
    // The miniport finishes what the binding has outstanding before the close ends.
    state.FinishBindingCalls(binding);

    Adapter *adapter = binding->adapter;
    Script script;
    {
        std::lock_guard lock(state.mutex);
        NdisCheck(binding->lentPackets == 0, "protocol closed the adapter holding indicated packets",
                  reinterpret_cast<uintptr_t>(NdisBindingHandle), binding->lentPackets);
        script = adapter->TakeScript(NdisOperation::Close);
        if (script.mode == CompletionMode::Immediate) {
            binding->state = BindingState::Closed;
            adapter->binding_.reset();
            *Status = script.status;
            return;
        }
    }
    auto op = NewPendingOp(NdisOperation::Close, script, binding);
    op->finish = [&state, binding](NDIS_STATUS status) {
        CLOSE_ADAPTER_COMPLETE_HANDLER *handler = nullptr;
        {
            std::lock_guard guard(state.mutex);
            binding->state = BindingState::Closed;
            if (binding->adapter->binding_ == binding)
                binding->adapter->binding_.reset();
            if (state.protocol)
                handler = state.protocol->characteristics.CloseAdapterCompleteHandler;
        }
        if (handler != nullptr)
            handler(binding->protocolContext, status);
    };
    *Status = NDIS_STATUS_PENDING;
    state.StartPending(*adapter, op);
}

NDIS_STATUS NTAPI NdisQueryAdapterInstanceName(PNDIS_STRING AdapterInstanceName,
                                               NDIS_HANDLE NdisBindingHandle)
{
    sim::DriverCall driverCall;   // names the driver's call site for the fault sweep
    RequireIrqlExactly(PASSIVE_LEVEL, "NdisQueryAdapterInstanceName");
    NdisState &state = CurrentNdis();
    AdapterInstanceName->Length = 0;
    AdapterInstanceName->MaximumLength = 0;
    AdapterInstanceName->Buffer = nullptr;
    std::lock_guard lock(state.mutex);
    auto binding = state.RequireOpenBinding(NdisBindingHandle, "NdisQueryAdapterInstanceName");
    const auto &name = binding->adapter->InstanceName();
    if (!name)
        return NDIS_STATUS_FAILURE;
    FaultPoint point;
    point.routine = "NdisQueryAdapterInstanceName";
    point.size = (name->size() + 1) * sizeof(WCHAR);
    if (state.machine.faults().ShouldFail(point))
        return NDIS_STATUS_RESOURCES;
    auto text = std::make_unique<char16_t[]>(name->size() + 1);
    std::memcpy(text.get(), name->data(), name->size() * sizeof(WCHAR));
    AdapterInstanceName->Buffer = text.get();
    AdapterInstanceName->Length = static_cast<USHORT>(name->size() * sizeof(WCHAR));
    AdapterInstanceName->MaximumLength = static_cast<USHORT>((name->size() + 1) * sizeof(WCHAR));
    state.freedMemory.erase(text.get());
    state.memory[text.get()] = std::move(text);
    return NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags)
{
    (void)Length;
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreeMemory");
    NdisState &state = CurrentNdis();
    std::lock_guard lock(state.mutex);
    auto found = state.memory.find(VirtualAddress);
    auto raw = reinterpret_cast<uintptr_t>(VirtualAddress);
    if (found == state.memory.end()) {
        if (state.freedMemory.count(VirtualAddress) != 0)
            NdisViolation("NdisFreeMemory called twice for the same block", raw);
        NdisViolation("NdisFreeMemory of memory NDIS did not allocate", raw);
    }
    NdisCheck(MemoryFlags == 0, "NdisFreeMemory with flags that do not match the allocation", raw,
              MemoryFlags);
    state.memory.erase(found);
    state.freedMemory.insert(VirtualAddress);
}

}  // extern "C"
