//
// trace_buffers.cpp - the end of the trace buffers' life, shared by every way file
// tracing ends: a failed set-up, the trace thread's stop and TraceFinalize.
//
#include "core/krvdlc.h"

//
// ReleaseTraceBuffers - ends file tracing for TraceOut and frees the current buffer and
// every buffer still queued; their text is never written. PASSIVE_LEVEL (the frees come
// after the lock is released). TraceQueueLock and TraceQueue must be initialised.
//
// TraceInitialized goes FALSE under the lock, and TraceOut re-checks it there before it
// touches CurrentTraceBuffer, so no caller can still be using a buffer freed here. A
// second call finds nothing left to free.
//
VOID ReleaseTraceBuffers(VOID)
{
    LIST_ENTRY Taken;
    PTRACE_BUFFER Current;
    KIRQL OldIrql;

    InitializeListHead(&Taken);

    AcquireLockAnyIrql(&TraceQueueLock, &OldIrql);
    WriteNoFence(&TraceInitialized, (BOOLEAN)FALSE);
    Current = CurrentTraceBuffer;
    CurrentTraceBuffer = nullptr;
    while (!IsListEmpty(&TraceQueue)) {
        PLIST_ENTRY Entry = TraceQueue.Flink;
        RemoveEntryList(Entry);
        InsertTailList(&Taken, Entry);
    }
    WriteNoFence(&QueueCount, 0u);
    ReleaseLockAnyIrql(&TraceQueueLock, OldIrql);

    while (!IsListEmpty(&Taken)) {
        PLIST_ENTRY Entry = Taken.Flink;
        RemoveEntryList(Entry);
        ExFreePool(CONTAINING_RECORD(Entry, TRACE_BUFFER, ListEntry));
    }
    if (Current != nullptr)
        ExFreePool(Current);
}
