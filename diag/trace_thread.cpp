//
// trace_thread.cpp - file tracing from start to unload: TraceInitialize sets up the
// queue and starts TraceThread, which writes queued buffers to the trace file, and
// TraceFinalize stops it.
//
#include "core/krvdlc.h"

#define STATE_BIT(State) (1u << (State))

//
// SetTraceThreadState - moves TraceThreadState to NewState if its current value is one
// of the states in FromStates (a mask of STATE_BITs); returns the state it found.
//
// TraceThreadState has two writers, TraceFinalize (stop request) and the thread (every
// other move). Both go through here under TraceQueueLock, so a compare and its store
// are one step: the thread's 0 -> 1 cannot overwrite a stop request made while it was
// still creating the file, and a stop request cannot overwrite a thread that has
// already stopped by itself. PASSIVE_LEVEL.
//
static ULONG SetTraceThreadState(ULONG NewState, ULONG FromStates)
{
    KIRQL OldIrql;
    ULONG Found;

    AcquireLockAnyIrql(&TraceQueueLock, &OldIrql);
    Found = ReadNoFence(&TraceThreadState);
    if (STATE_BIT(Found) & FromStates)
        WriteNoFence(&TraceThreadState, NewState);
    ReleaseLockAnyIrql(&TraceQueueLock, OldIrql);
    return Found;
}

//
// EndTracePass - at the end of a pass, moves a stop request on to "stopping" once the
// queue is empty; returns the state then. Reading the state and QueueCount under the
// same lock that TraceOut queues under means a buffer queued before the stop request
// is always seen. PASSIVE_LEVEL.
//
static ULONG EndTracePass(VOID)
{
    KIRQL OldIrql;
    ULONG State;

    AcquireLockAnyIrql(&TraceQueueLock, &OldIrql);
    State = ReadNoFence(&TraceThreadState);
    if (State == TRACE_THREAD_STOP_REQUESTED && ReadNoFence(&QueueCount) == 0) {
        State = TRACE_THREAD_STOPPING;
        WriteNoFence(&TraceThreadState, State);
    }
    ReleaseLockAnyIrql(&TraceQueueLock, OldIrql);
    return State;
}

//
// DrainTraceQueue - writes every queued buffer to the trace file, oldest first, and
// frees it. The lock is held only to unlink one buffer, never while writing; a failed
// write loses that buffer's text only. PASSIVE_LEVEL, trace thread only.
//
static VOID DrainTraceQueue(VOID)
{
    while (ReadNoFence(&QueueCount) != 0) {
        PTRACE_BUFFER Buffer;
        IO_STATUS_BLOCK IoStatus;
        NTSTATUS Status;
        KIRQL OldIrql;

        AcquireLockAnyIrql(&TraceQueueLock, &OldIrql);
        if (IsListEmpty(&TraceQueue)) {
            WriteNoFence(&QueueCount, 0u);
            ReleaseLockAnyIrql(&TraceQueueLock, OldIrql);
            if (TRACE_DEBUGGER_ON())
                DbgPrint("KRVDLCTRACE: ** List was empty\n");
            return;
        }
        Buffer = CONTAINING_RECORD(TraceQueue.Flink, TRACE_BUFFER, ListEntry);
        RemoveEntryList(&Buffer->ListEntry);
        WriteNoFence(&QueueCount, ReadNoFence(&QueueCount) - 1);
        ReleaseLockAnyIrql(&TraceQueueLock, OldIrql);

        Status = ZwWriteFile(TraceFileHandle, nullptr, nullptr, nullptr, &IoStatus,
                             Buffer->Text, Buffer->Length, nullptr, nullptr);
        if (!NT_SUCCESS(Status) && TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLCTRACE: ZwWriteFile failed with ntStatus = 0x%08X\n", Status);

        ExFreePool(Buffer);
    }
}

//
// TraceThread - the trace writer: creates the trace file, then once per wake-up (a
// queued buffer or 10 seconds) writes every queued buffer, closes and reopens the file
// for appending and asks for the partly filled buffer to be flushed. Stops after the
// first pass that finds a stop request and an empty queue, or at once when the file
// cannot be created or reopened. PASSIVE_LEVEL, system process.
// On its way out it ends file tracing and frees every trace buffer left (their text is
// not written), so nothing of the queue outlives it.
//
VOID NTAPI TraceThread(PVOID StartContext)
{
    (VOID)StartContext;

    if (TRACE_ON(5))
        TraceMessage(5, "KRVDLCTRACE: Trace thread entry\n");

    if (NT_SUCCESS(OpenTraceFile())) {
        // A stop request made meanwhile stays in place; the first pass then ends it.
        SetTraceThreadState(TRACE_THREAD_RUNNING, STATE_BIT(TRACE_THREAD_STARTING));

        for (;;) {
            LARGE_INTEGER Timeout;
            Timeout.QuadPart = TRACE_THREAD_PERIOD;

            // The event, the time-out and an alert all start a pass alike.
            KeWaitForSingleObject(&TraceEvent, Executive, KernelMode, TRUE, &Timeout);

            DrainTraceQueue();

            if (!NT_SUCCESS(ReopenTraceFile()))
                break;

            WriteNoFence(&FlushPending, (BOOLEAN)TRUE);
            if (EndTracePass() == TRACE_THREAD_STOPPING)
                break;
        }
    }

    ClearTraceToFile();
    SetTraceThreadState(TRACE_THREAD_STOPPED, ~0u);
    ReleaseTraceBuffers();
    CloseTraceFile();
    if (TRACE_DEBUGGER_ON())
        DbgPrint("KRVDLCTRACE: Trace thread is self-terminating\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

//
// TraceInitialize - reads the trace level from the registry and, when it asks for the
// file, sets up the trace queue with its first buffer (nonpaged) and starts TraceThread,
// keeping a reference to the thread object for TraceFinalize. Returns STATUS_SUCCESS or
// the thread creation's failure status. PASSIVE_LEVEL, once, from DriverEntry.
// On failure nothing is left: the buffers are freed and TRACE_TO_FILE is cleared.
//
NTSTATUS TraceInitialize(VOID)
{
    PTRACE_BUFFER Buffer;
    HANDLE ThreadHandle;
    NTSTATUS Status;

    if (TRACE_ON(5))
        TraceMessage(5, "Initializing driver trace utility\n");

    WriteNoFence(&TraceLevel, ReadTraceLevel());

    if ((ReadNoFence(&TraceLevel) & TRACE_TO_FILE) == 0) {
        WriteNoFence(&TraceInitialized, (BOOLEAN)FALSE);
        if (TRACE_ON(4))
            TraceMessage(4, "Tracing to file is not enabled\n");
        return STATUS_SUCCESS;
    }

    if (TRACE_ON(4))
        TraceMessage(4, "Tracing to file is enabled\n");

    KeInitializeEvent(&TraceEvent, SynchronizationEvent, FALSE);
    InitializeListHead(&TraceQueue);
    KeInitializeSpinLock(&TraceQueueLock);

    Buffer = (PTRACE_BUFFER)KrvAllocatePool(NonPagedPool, sizeof(TRACE_BUFFER));
    if (Buffer == nullptr) {
        if (TRACE_ON(1))
            TraceMessage(1, "** Unable to allocate trace message queue\n");
        LogSystemError(LOG_ERROR, "** Unable to allocate trace message queue\n", nullptr, 0);
        Status = STATUS_SUCCESS;
        goto Failed;
    }

    Buffer->Length = 0;
    Buffer->MaximumLength = TRACE_BUFFER_TEXT_SIZE;
    CurrentTraceBuffer = Buffer;
    WriteNoFence(&FlushPending, (BOOLEAN)TRUE);
    WriteNoFence(&QueueCount, 0u);
    WriteNoFence(&TraceThreadState, (ULONG)TRACE_THREAD_STARTING);
    WriteRelease(&TraceInitialized, (BOOLEAN)TRUE);

    Status = PsCreateSystemThread(&ThreadHandle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                  TraceThread, nullptr);
    if (!NT_SUCCESS(Status)) {
        if (TRACE_ON(1))
            TraceMessage(1, "** Tracing thread failed to start.\n");
        LogSystemError(LOG_ERROR, "** Tracing thread failed to start.\n", nullptr, 0);
        goto Failed;
    }

    // A kernel handle just created with THREAD_ALL_ACCESS references without fail; should
    // it not, TraceThreadObject stays null and TraceFinalize has nothing to wait on.
    if (!NT_SUCCESS(ObReferenceObjectByHandle(ThreadHandle, THREAD_ALL_ACCESS, nullptr,
                                              KernelMode, &TraceThreadObject, nullptr)))
        TraceThreadObject = nullptr;
    ZwClose(ThreadHandle);
    return STATUS_SUCCESS;

Failed:
    // The lines traced since the set-up (the failure's own among them) may have filled
    // or queued buffers: they all go.
    ReleaseTraceBuffers();
    ClearTraceToFile();
    return Status;
}

//
// WaitForTraceThread - waits until the trace thread has ended and drops the reference
// TraceInitialize took. PASSIVE_LEVEL. Nothing to do when no thread was started.
//
static VOID WaitForTraceThread(VOID)
{
    PVOID Thread = TraceThreadObject;

    if (Thread == nullptr)
        return;
    KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, nullptr);
    TraceThreadObject = nullptr;
    ObDereferenceObject(Thread);
}

//
// TraceFinalize - stops file tracing at unload: queues the current buffer through the
// line "Flushing the trace queue\n", asks the trace thread to stop, waits until it has
// ended and frees what is left of the buffers. PASSIVE_LEVEL, once, from unload (or a
// failed start). Returns STATUS_SUCCESS.
//
NTSTATUS TraceFinalize(VOID)
{
    if (!ReadNoFence(&TraceInitialized)) {
        // File tracing never started, or the thread stopped by itself: nothing to flush.
        // A thread that stopped by itself may still be on its last lines; the wait for
        // it ends at once or nearly so, and no code of the driver runs after unload.
        WaitForTraceThread();
        return STATUS_SUCCESS;
    }

    if (TRACE_ON(5))
        TraceMessage(5, "Finalizing trace utility\n");
    if (TRACE_ON(4))
        TraceMessage(4, "Terminating the trace thread...\n");

    WriteNoFence(&FlushPending, (BOOLEAN)TRUE);

    if (TRACE_ON(4))
        TraceMessage(4, "Flushing the trace queue\n");

    // Only a thread still starting or running is asked to stop; one that has stopped by
    // itself meanwhile keeps its final state.
    SetTraceThreadState(TRACE_THREAD_STOP_REQUESTED,
                        STATE_BIT(TRACE_THREAD_STARTING) | STATE_BIT(TRACE_THREAD_RUNNING));

    WaitForTraceThread();

    // The thread freed the buffers on its way out; this covers a thread that could not be
    // waited on and finds nothing otherwise.
    ReleaseTraceBuffers();
    return STATUS_SUCCESS;
}
