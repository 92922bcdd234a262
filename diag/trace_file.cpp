//
// trace_file.cpp - the trace file \SystemRoot\trace\krvdlc.trc: created (emptied) when
// the trace thread starts, reopened for appending after every pass, closed when the
// thread stops. Only the trace thread calls these; TraceFileHandle is its own.
//
#include "core/krvdlc.h"

// Write-through and synchronous, so that what a pass wrote is on disk when it ends.
#define TRACE_FILE_OPTIONS \
    (FILE_WRITE_THROUGH | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE)

//
// OpenTraceFile - makes sure the folder \SystemRoot\trace exists, then creates the trace
// file, emptying an old one, into TraceFileHandle. Returns the file creation's status
// (TraceFileHandle stays null when it fails). PASSIVE_LEVEL, trace thread. The folder
// handle is closed at once.
//
NTSTATUS OpenTraceFile(VOID)
{
    UNICODE_STRING FolderName = RTL_CONSTANT_STRING(TRACE_FOLDER_NAME);
    UNICODE_STRING FileName = RTL_CONSTANT_STRING(TRACE_FILE_NAME);
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    HANDLE Folder = nullptr;
    NTSTATUS Status;

    if (TRACE_ON(5))
        TraceMessage(5, "KRVDLCTRACE: Opening trace file...\n");

    // The folder may well exist already: failing to create it does not stop the file.
    InitializeObjectAttributes(&Attributes, &FolderName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    Status = ZwCreateFile(&Folder, READ_CONTROL | FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                          &Attributes, &IoStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                          FILE_SHARE_READ, FILE_OPEN_IF, FILE_DIRECTORY_FILE, nullptr, 0);
    if (Status == STATUS_SUCCESS) {
        if (TRACE_ON(4))
            TraceWString(4, "KRVDLCTRACE: Successfully opened folder: ", FolderName.Buffer);
    } else if (TRACE_DEBUGGER_ON()) {
        DbgPrint("KRVDLCTRACE: ** unable to create folder: %ws", FolderName.Buffer);
    }
    // Any success status comes with a handle, also one other than STATUS_SUCCESS.
    if (NT_SUCCESS(Status))
        ZwClose(Folder);

    InitializeObjectAttributes(&Attributes, &FileName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    Status = ZwCreateFile(&TraceFileHandle, GENERIC_WRITE | SYNCHRONIZE, &Attributes, &IoStatus,
                          nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_WRITE, FILE_OVERWRITE_IF,
                          TRACE_FILE_OPTIONS, nullptr, 0);
    if (Status != STATUS_SUCCESS) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLCTRACE: ** Unable to create file: %ws", FileName.Buffer);
    } else if (TRACE_ON(4)) {
        TraceWString(4, "KRVDLCTRACE: Successfully created file: ", FileName.Buffer);
    }
    if (!NT_SUCCESS(Status))
        TraceFileHandle = nullptr;

    return Status;
}

//
// ReopenTraceFile - closes the trace file and opens it again for appending, so that
// what has been written is committed; TraceFileHandle is null when the reopening fails.
// Returns the reopening's status. PASSIVE_LEVEL, trace thread.
//
NTSTATUS ReopenTraceFile(VOID)
{
    UNICODE_STRING FileName = RTL_CONSTANT_STRING(TRACE_FILE_NAME);
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status;

    if (TraceFileHandle != nullptr) {
        Status = ZwClose(TraceFileHandle);
        TraceFileHandle = nullptr;
        if (!NT_SUCCESS(Status) && TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLCTRACE: ZwClose returned status = 0x%08X\n", Status);
    }

    InitializeObjectAttributes(&Attributes, &FileName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    Status = ZwCreateFile(&TraceFileHandle, FILE_APPEND_DATA | SYNCHRONIZE, &Attributes,
                          &IoStatus, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_WRITE,
                          FILE_OPEN_IF, TRACE_FILE_OPTIONS, nullptr, 0);
    if (!NT_SUCCESS(Status)) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLCTRACE: ** Unable to reopen trace file: %ws\n", FileName.Buffer);
        TraceFileHandle = nullptr;
    }
    return Status;
}

//
// CloseTraceFile - closes the trace file if it is open. Returns the close status, or
// STATUS_SUCCESS when nothing was open. PASSIVE_LEVEL, trace thread.
//
NTSTATUS CloseTraceFile(VOID)
{
    NTSTATUS Status = STATUS_SUCCESS;

    if (TRACE_ON(5))
        TraceMessage(5, "KRVDLCTRACE: Closing trace file...\n");

    if (TraceFileHandle != nullptr) {
        Status = ZwClose(TraceFileHandle);
        if (!NT_SUCCESS(Status) && TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLCTRACE: ZwClose returned status = 0x%08X\n", Status);
        TraceFileHandle = nullptr;
        if (TRACE_ON(4))
            TraceMessage(4, "KRVDLCTRACE: Trace file closed.\n");
    } else if (TRACE_ON(4)) {
        TraceMessage(4, "KRVDLCTRACE: Trace file wasn't open.\n");
    }
    return Status;
}
