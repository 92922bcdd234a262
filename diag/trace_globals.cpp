//
// trace_globals.cpp - the diagnostics globals: the trace level word, the trace buffer
// queue and the trace writer thread's state. All zero when the image is loaded.
//
#include "core/krvdlc.h"

// Read without a lock everywhere; after start-up only TRACE_TO_FILE is cleared.
KRVDLC_GLOBAL volatile ULONG TraceLevel;

// TRUE while the queue, the current buffer and the trace thread exist. Written under
// TraceQueueLock once the lock exists, so TraceOut can re-check it there.
KRVDLC_GLOBAL volatile BOOLEAN TraceInitialized;

// Guarded by TraceQueueLock (a leaf lock). QueueCount and FlushPending are also read
// without it, so every access goes through ReadNoFence/WriteNoFence.
KRVDLC_GLOBAL LIST_ENTRY TraceQueue;
KRVDLC_GLOBAL volatile ULONG QueueCount;
KRVDLC_GLOBAL PTRACE_BUFFER CurrentTraceBuffer;
KRVDLC_GLOBAL volatile BOOLEAN FlushPending;
KRVDLC_GLOBAL KEVENT TraceEvent;
KRVDLC_GLOBAL KSPIN_LOCK TraceQueueLock;

// The trace thread and its file. TraceThreadState is written under TraceQueueLock.
KRVDLC_GLOBAL HANDLE TraceFileHandle;
KRVDLC_GLOBAL volatile ULONG TraceThreadState;
KRVDLC_GLOBAL PVOID TraceThreadObject;
