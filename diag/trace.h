//
// trace.h - the trace level word, the trace routines and the in-memory trace buffers.
//
// Every call site tests the level itself, so a disabled message costs a load, a mask
// and a compare, and its arguments are not evaluated:
//
//     if (TRACE_ON(4)) TraceMessage(4, "DriverEntry\n");
//
// The test is expected to fail and the line-building routines are cold: the compiler lays
// the calls out of line, and a routine whose only calls are trace calls needs no frame
// for them on its way through with tracing off.
//
// The routines every frame passes read the level once, at their start, and test that copy,
// which the compiler keeps in a register (or, where it is the constant 0, drops with the
// tests):
//
//     ULONG Level = TRACE_LEVEL_NOW();
//     ...
//     if (TRACE_AT(Level, 4)) TraceLong(4, "Returning packet to NDIS: ", ...);
//
// The level may change while such a routine runs; its lines then follow the level it
// started with, and each line is still written whole or not at all.
//
#pragma once

// TraceLevel bits.
#define TRACE_LEVEL_MASK  0x07   // verbosity 0-7; level N shows when (TraceLevel & 7) >= N
#define TRACE_TO_FILE     0x40   // lines also go to the trace buffers for the trace file
#define TRACE_TO_DEBUGGER 0x80   // lines (and debugger-only messages) go to DbgPrint

#define TRACE_LEVEL_NOW() (ReadNoFence(&TraceLevel) & TRACE_LEVEL_MASK)
#define TRACE_AT(Level, N) __builtin_expect((ULONG)(Level) >= (ULONG)(N), 0)
#define TRACE_ON(N) TRACE_AT(TRACE_LEVEL_NOW(), N)
#define TRACE_DEBUGGER_ON() ((ReadNoFence(&TraceLevel) & TRACE_TO_DEBUGGER) != 0)

// Line-buffer limits of the line-building routines.
#define TRACE_LINE_SIZE        128
#define TRACE_DUMP_LINE_SIZE   256

// One block of trace text on its way to the trace file.
#define TRACE_BUFFER_BLOCK_SIZE 4096
#define TRACE_BUFFER_TEXT_SIZE  4084

// Above this many queued buffers TraceOut drops lines from the file until the trace
// thread catches up.
#define TRACE_QUEUE_LIMIT 16

typedef struct _TRACE_BUFFER {
    LIST_ENTRY ListEntry;       // link in TraceQueue once full or flushed
    USHORT Length;              // bytes of text held
    USHORT MaximumLength;       // capacity of Text
    CHAR Text[TRACE_BUFFER_TEXT_SIZE];
} TRACE_BUFFER, *PTRACE_BUFFER;

//
// Trace globals. TraceLevel is read without a lock everywhere; after start-up only its
// TRACE_TO_FILE bit changes. The queue globals are guarded by TraceQueueLock, a leaf
// lock taken through AcquireLockAnyIrql (below and at DISPATCH_LEVEL).
//
extern volatile ULONG TraceLevel;
extern volatile BOOLEAN TraceInitialized;     // queue, current buffer and thread exist
extern LIST_ENTRY TraceQueue;                 // buffers waiting for the file, oldest first
extern volatile ULONG QueueCount;             // buffers in TraceQueue
extern PTRACE_BUFFER CurrentTraceBuffer;      // buffer being filled, never in the queue
extern volatile BOOLEAN FlushPending;         // next line first queues a non-empty buffer
extern KEVENT TraceEvent;                     // wakes the trace thread
extern KSPIN_LOCK TraceQueueLock;

// Line-building routines: any IRQL up to DISPATCH_LEVEL, never block. Level is passed
// through unexamined; the call site has tested it.
DECLSPEC_COLD VOID TraceMessage(ULONG Level, const char *Text);
DECLSPEC_COLD VOID TraceString(ULONG Level, const char *Label, const char *Text);
DECLSPEC_COLD VOID TraceWString(ULONG Level, const char *Label, const WCHAR *Text);
DECLSPEC_COLD VOID TraceLong(ULONG Level, const char *Label, ULONG Value, ULONG Radix);
DECLSPEC_COLD VOID TraceBuffer(ULONG Level, const char *Label, const UCHAR *Data, ULONG Length);

// PASSIVE_LEVEL only.
VOID TraceTimeStamp(VOID);
ULONG ReadTraceLevel(VOID);

// Prints one line to the debugger and appends it to the trace buffers.
VOID TraceOut(PSTRING Line);

// Decimal digits of Value right-aligned in Width characters, '0'-padded; no NUL.
VOID FormatNumber(LONG Value, PCHAR Destination, ULONG Width);

// Switches file tracing off for good: clears TRACE_TO_FILE, the only bit of TraceLevel
// that changes after start-up. Any IRQL.
VOID ClearTraceToFile(VOID);

#if defined(__i386__)
static_assert(sizeof(TRACE_BUFFER) == TRACE_BUFFER_BLOCK_SIZE, "one trace block");
#endif
