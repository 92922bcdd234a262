//
// tracefile.h - the trace writer thread and the trace file \SystemRoot\trace\krvdlc.trc.
//
#pragma once

// TraceThreadState values.
#define TRACE_THREAD_STARTING       0
#define TRACE_THREAD_RUNNING        1
#define TRACE_THREAD_STOP_REQUESTED 2
#define TRACE_THREAD_STOPPING       3
#define TRACE_THREAD_STOPPED        4

// The trace file and its folder.
#define TRACE_FOLDER_NAME u"\\SystemRoot\\trace"
#define TRACE_FILE_NAME   u"\\SystemRoot\\trace\\krvdlc.trc"

// Longest wait of the trace thread between two passes: 10 seconds, relative, in 100 ns.
#define TRACE_THREAD_PERIOD (-100000000LL)

extern HANDLE TraceFileHandle;             // used only by the trace thread
extern volatile ULONG TraceThreadState;
extern PVOID TraceThreadObject;            // referenced thread object, waited on at unload

NTSTATUS TraceInitialize(VOID);            // PASSIVE_LEVEL, once at start
NTSTATUS TraceFinalize(VOID);              // PASSIVE_LEVEL, once at unload
KSTART_ROUTINE TraceThread;
NTSTATUS OpenTraceFile(VOID);
NTSTATUS ReopenTraceFile(VOID);
NTSTATUS CloseTraceFile(VOID);

// Ends the life of the trace buffers: under TraceQueueLock sets TraceInitialized FALSE and
// takes the current buffer and every queued one, then frees them. PASSIVE_LEVEL; needs
// TraceQueueLock and TraceQueue initialised.
VOID ReleaseTraceBuffers(VOID);
