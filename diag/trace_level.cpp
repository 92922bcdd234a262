//
// trace_level.cpp - the trace level word: reading it from the registry and switching
// file tracing off.
//
#include "core/krvdlc.h"

// "\Parameters" (22 bytes) and its terminator fit in the 26 bytes added to the path.
#define PARAMETERS_KEY_EXTRA 26

//
// ReadTraceLevel - reads the DWORD value TraceLevel under the service key's Parameters
// subkey and returns it, with TRACE_TO_FILE added when it names a verbosity without
// TRACE_TO_DEBUGGER; 0 on any failure. PASSIVE_LEVEL, once, from TraceInitialize.
// Owns the key name and the value buffer (paged pool) and the key handle; all are given
// back before it returns.
//
ULONG ReadTraceLevel(VOID)
{
    ULONG Level = 0;
    HANDLE Key = nullptr;
    PKEY_VALUE_PARTIAL_INFORMATION Info = nullptr;
    ULONG InfoSize = 0;
    NTSTATUS Status;
    UNICODE_STRING ValueName;
    OBJECT_ATTRIBUTES Attributes;
    UNICODE_STRING KeyName;

    KeyName.Length = 0;
    KeyName.MaximumLength = (USHORT)(RegistryPath.Length + PARAMETERS_KEY_EXTRA);
    KeyName.Buffer = (PWSTR)KrvAllocatePool(PagedPool, KeyName.MaximumLength);
    if (KeyName.Buffer == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: ** Couldn't allocate pool for registry path.\n");
        return 0;
    }
    // Zero-filled, so the name stays terminated for the debugger message whatever the
    // string routines do about terminators.
    RtlZeroMemory(KeyName.Buffer, KeyName.MaximumLength);
    RtlCopyUnicodeString(&KeyName, &RegistryPath);
    RtlAppendUnicodeToString(&KeyName, u"\\Parameters");

    InitializeObjectAttributes(&Attributes, &KeyName, 0, nullptr, nullptr);
    Status = ZwOpenKey(&Key, KEY_READ, &Attributes);
    if (!NT_SUCCESS(Status)) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: ** Unable to open registry key: %ws.\n", KeyName.Buffer);
        goto FreeKeyName;
    }

    RtlInitUnicodeString(&ValueName, u"TraceLevel");
    Status = ZwQueryValueKey(Key, &ValueName, KeyValuePartialInformation, nullptr, 0,
                             &InfoSize);
    if (Status == STATUS_NOT_FOUND || InfoSize == 0) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: ** Unable to open registry value: TraceLevel.\n");
        goto CloseKey;
    }

    Info = (PKEY_VALUE_PARTIAL_INFORMATION)KrvAllocatePool(PagedPool, InfoSize);
    if (Info == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: ** Unable to allocate memory for pkvpi.\n");
        goto CloseKey;
    }

    Status = ZwQueryValueKey(Key, &ValueName, KeyValuePartialInformation, Info, InfoSize,
                             &InfoSize);
    if (!NT_SUCCESS(Status)) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: ** Unable to retrieve TraceLevel from registry.\n");
        goto FreeInfo;
    }

    // A REG_DWORD shorter than four bytes cannot be read as one either.
    if (Info->Type != REG_DWORD || Info->DataLength < sizeof(ULONG) ||
        InfoSize < offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG)) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: ** registry value TraceLevel needs to be a DWORD.\n");
        goto FreeInfo;
    }

    RtlCopyMemory(&Level, Info->Data, sizeof(ULONG));
    if (TRACE_ON(4))
        TraceLong(4, "TraceLevel is: ", Level, 16);

    // A level that names only a verbosity means the file; one that asks for the debugger
    // gets the file only when it says so too.
    if (Level != 0 && (Level & TRACE_TO_DEBUGGER) == 0)
        Level |= TRACE_TO_FILE;

FreeInfo:
    ExFreePool(Info);
CloseKey:
    ZwClose(Key);
FreeKeyName:
    ExFreePool(KeyName.Buffer);
    return Level;
}

//
// ClearTraceToFile - switches file tracing off for good by clearing TRACE_TO_FILE in
// TraceLevel. Any IRQL. The other bits no longer change after start-up, so callers that
// race here all store the same value and no update is lost.
//
VOID ClearTraceToFile(VOID)
{
    WriteNoFence(&TraceLevel, ReadNoFence(&TraceLevel) & ~(ULONG)TRACE_TO_FILE);
}
