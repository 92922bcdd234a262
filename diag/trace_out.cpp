//
// trace_out.cpp - TraceOut, where every trace line goes to the debugger and into the
// trace buffers for the file.
//
#include "core/krvdlc.h"

//
// TraceOut - prints one line to the debugger when TRACE_TO_DEBUGGER is set, then, while
// file tracing runs, appends its Length - 1 bytes of text to the current trace buffer.
// A buffer that a pending flush or the line itself does not leave room for is queued
// first, the trace thread woken and a new current buffer allocated (nonpaged). Any IRQL
// up to DISPATCH_LEVEL; never waits. Queued buffers pass to the trace thread.
//
// The line must be NUL-terminated within its buffer (the line builders see to it).
//
VOID TraceOut(PSTRING Line)
{
    ULONG Level = ReadNoFence(&TraceLevel);
    ULONG LineLength = Line->Length;
    PTRACE_BUFFER Buffer;
    KIRQL OldIrql;

    if (Level & TRACE_TO_DEBUGGER)
        DbgPrint("KRVDLC: %s", Line->Buffer);

    if (!ReadNoFence(&TraceInitialized) || (Level & TRACE_TO_FILE) == 0)
        return;

    // Read without the lock: a slightly stale count only moves the limit by a line.
    if (ReadNoFence(&QueueCount) > TRACE_QUEUE_LIMIT) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: ** QueueCount exceeded maximum\n");
        return;
    }

    // No buffer holds more; the line builders never come near this.
    if (LineLength > TRACE_BUFFER_TEXT_SIZE)
        LineLength = TRACE_BUFFER_TEXT_SIZE;

    AcquireLockAnyIrql(&TraceQueueLock, &OldIrql);

    // TraceInitialized was read without the lock; the trace thread or TraceFinalize may
    // have ended file tracing since and freed the buffers. Only under the lock is
    // CurrentTraceBuffer known to be alive.
    Buffer = CurrentTraceBuffer;
    if (!ReadNoFence(&TraceInitialized) || Buffer == nullptr) {
        ReleaseLockAnyIrql(&TraceQueueLock, OldIrql);
        return;
    }

    if ((ReadNoFence(&FlushPending) && Buffer->Length != 0) ||
        (ULONG)Buffer->Length + LineLength > Buffer->MaximumLength) {
        InsertTailList(&TraceQueue, &Buffer->ListEntry);
        WriteNoFence(&QueueCount, ReadNoFence(&QueueCount) + 1);
        WriteNoFence(&FlushPending, (BOOLEAN)FALSE);
        KeSetEvent(&TraceEvent, 0, FALSE);

        // The queued buffer belongs to the trace thread now and must not stay current.
        Buffer = (PTRACE_BUFFER)KrvAllocatePool(NonPagedPool, sizeof(TRACE_BUFFER));
        CurrentTraceBuffer = Buffer;
        if (Buffer == nullptr) {
            ReleaseLockAnyIrql(&TraceQueueLock, OldIrql);
            if (TRACE_DEBUGGER_ON())
                DbgPrint("KRVDLC: TraceOut is unable to allocate trace message queue\n");
            ClearTraceToFile();
            return;
        }
        Buffer->Length = 0;
        Buffer->MaximumLength = TRACE_BUFFER_TEXT_SIZE;
    }

    // The copy happens under the lock: another caller may queue this very buffer, and
    // the trace thread then writes and frees it.
    if (LineLength > 1) {
        RtlCopyMemory(Buffer->Text + Buffer->Length, Line->Buffer, LineLength - 1);
        Buffer->Length = (USHORT)(Buffer->Length + LineLength - 1);
    }

    ReleaseLockAnyIrql(&TraceQueueLock, OldIrql);
}
