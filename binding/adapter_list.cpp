//
// adapter_list.cpp - the list of bound adapters in the form user mode reads it.
//
#include "core/krvdlc.h"

//
// AppendString - copies the Length bytes of String and a 16-bit zero to Position and
// returns the position after them. No alignment is kept.
//
static PUCHAR AppendString(PUCHAR Position, const UNICODE_STRING *String)
{
    if (String->Length != 0) {
        RtlCopyMemory(Position, String->Buffer, String->Length);
        Position += String->Length;
    }
    RtlZeroMemory(Position, sizeof(WCHAR));
    return Position + sizeof(WCHAR);
}

//
// KrvDlcGetAdapterList - writes the adapter count, then per bound adapter its instance
// name and its file name each ended by a 16-bit zero, then a 16-bit end mark. Up to
// DISPATCH_LEVEL. DataLength always receives the size of the whole list; a Buffer too
// small for it is left untouched and STATUS_BUFFER_TOO_SMALL returned.
//
NTSTATUS KrvDlcGetAdapterList(PVOID Buffer, ULONG BufferLength, PULONG DataLength)
{
    NTSTATUS Status;
    ULONG Count = 0;
    ULONG Size = 0;

    if (TRACE_ON(5)) TraceMessage(5, "Entering KrvDlcGetAdapterList\n");

    // Counting and writing under one holding of the lock: the count always matches
    // the strings that follow it.
    KIRQL OldIrql = KfAcquireSpinLock(&AdapterListLock);
    for (PLIST_ENTRY Entry = AdapterList.Flink; Entry != &AdapterList; Entry = Entry->Flink) {
        PADAPTER_CONTEXT Adapter = CONTAINING_RECORD(Entry, ADAPTER_CONTEXT, AdapterLink);
        Count++;
        Size += (ULONG)Adapter->AdapterName.Length + Adapter->FileName.Length + 2 * sizeof(WCHAR);
    }
    Size += sizeof(ULONG) + sizeof(WCHAR);
    *DataLength = Size;

    if (Size > BufferLength) {
        Status = STATUS_BUFFER_TOO_SMALL;
    } else {
        PUCHAR Position = (PUCHAR)Buffer;
        RtlCopyMemory(Position, &Count, sizeof(ULONG));
        Position += sizeof(ULONG);
        for (PLIST_ENTRY Entry = AdapterList.Flink; Entry != &AdapterList;
             Entry = Entry->Flink) {
            PADAPTER_CONTEXT Adapter = CONTAINING_RECORD(Entry, ADAPTER_CONTEXT, AdapterLink);
            Position = AppendString(Position, &Adapter->AdapterName);
            Position = AppendString(Position, &Adapter->FileName);
        }
        RtlZeroMemory(Position, sizeof(WCHAR));
        Status = STATUS_SUCCESS;
    }
    KfReleaseSpinLock(&AdapterListLock, OldIrql);

    // AdapterListLock is a leaf: the count is traced once it is released.
    if (TRACE_ON(4)) TraceLong(4, "Adapters available: ", Count, 10);
    if (TRACE_ON(5)) TraceMessage(5, "Leaving KrvDlcGetAdapterList\n");
    return Status;
}
