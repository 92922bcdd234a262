//
// trace_lines.cpp - the routines that build one trace line each on the caller's stack
// and hand it to TraceOut: TraceMessage, TraceString, TraceWString, TraceLong and
// TraceBuffer. Any IRQL up to DISPATCH_LEVEL; they never block and never allocate.
//
// TraceOut prints a line up to its NUL and copies Length - 1 bytes of it to the file, so
// every line handed to it is terminated inside its buffer. The built lines carry their
// NUL at Buffer[Length - 1]. A 128-byte line that label and text fill completely has no
// room for it: its last counted byte, which the file copy leaves out anyway, is turned
// into the NUL. So the debugger print and the file copy show the same 127 bytes and
// neither reads past the line.
//
#include "core/krvdlc.h"

//
// FinishLine - appends "\n" and then a NUL while the Size-byte line has room, terminates
// a line that is full at its last byte (see above), and hands it to TraceOut.
//
static VOID FinishLine(PCHAR Line, ULONG Used, ULONG Size)
{
    STRING String;

    if (Used < Size)
        Line[Used++] = '\n';
    if (Used < Size)
        Line[Used++] = '\0';
    else
        Line[Size - 1] = '\0';

    String.Length = (USHORT)Used;
    String.MaximumLength = (USHORT)Size;
    String.Buffer = Line;
    TraceOut(&String);
}

//
// CopyLabel - copies the label's bytes up to its NUL, at most Limit; returns the count.
//
static ULONG CopyLabel(PCHAR Line, const char *Label, ULONG Limit)
{
    ULONG Used = 0;
    while (Used < Limit && Label[Used] != '\0') {
        Line[Used] = Label[Used];
        Used++;
    }
    return Used;
}

//
// TraceMessage - traces the caller's text unchanged. A text longer than one trace
// buffer can hold (text and NUL above 4084 bytes) goes to the file cut to its first
// 4083 bytes; the debugger still prints all of it.
//
VOID TraceMessage(ULONG Level, const char *Text)
{
    STRING String;
    ULONG Count = 0;

    (VOID)Level;
    if (Text == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: Invalid parameter passed in to TraceMessage\n");
        return;
    }
    while (Count < TRACE_BUFFER_TEXT_SIZE - 1 && Text[Count] != '\0')
        Count++;

    String.Length = (USHORT)(Count + 1);
    String.MaximumLength = (USHORT)(Count + 1);
    String.Buffer = (PCHAR)Text;
    TraceOut(&String);
}

//
// TraceString - traces label, text and "\n" as one line of at most 128 bytes.
//
VOID TraceString(ULONG Level, const char *Label, const char *Text)
{
    CHAR Line[TRACE_LINE_SIZE];
    ULONG Used;

    (VOID)Level;
    if (Label == nullptr || Text == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: Invalid parameter passed in to TraceString\n");
        return;
    }

    Used = CopyLabel(Line, Label, TRACE_LINE_SIZE);
    for (ULONG i = 0; Used < TRACE_LINE_SIZE && Text[i] != '\0'; i++)
        Line[Used++] = Text[i];
    FinishLine(Line, Used, TRACE_LINE_SIZE);
}

//
// TraceWString - traces label, a UTF-16 text narrowed to the low byte of each code unit,
// and "\n" as one line of at most 128 bytes.
//
VOID TraceWString(ULONG Level, const char *Label, const WCHAR *Text)
{
    CHAR Line[TRACE_LINE_SIZE];
    ULONG Used;

    (VOID)Level;
    if (Label == nullptr || Text == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: Invalid parameter passed in to TraceWString\n");
        return;
    }

    Used = CopyLabel(Line, Label, TRACE_LINE_SIZE);
    for (ULONG i = 0; Used < TRACE_LINE_SIZE && Text[i] != 0; i++)
        Line[Used++] = (CHAR)(Text[i] & 0xFF);
    FinishLine(Line, Used, TRACE_LINE_SIZE);
}

//
// TraceLong - traces label and value as one line of at most 128 bytes: radix 16 as "0x"
// and eight upper-case digits, radix 10 as plain digits. Other radixes from 2 up work
// too; a radix below 2 has no digits of its own and is taken as 10.
// When label, prefix and digits reach 127 bytes the "\n" is the byte given up for the
// NUL, so the line ends without it; a label of 128 bytes or more loses its 128th byte.
//
VOID TraceLong(ULONG Level, const char *Label, ULONG Value, ULONG Radix)
{
    CHAR Line[TRACE_LINE_SIZE];
    CHAR Digits[32];            // a 32-bit value has at most 32 digits (radix 2)
    ULONG DigitCount = 0;
    ULONG Used;

    (VOID)Level;
    if (Label == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: Invalid parameter passed in to TraceLong\n");
        return;
    }
    if (Radix < 2)
        Radix = 10;

    Used = CopyLabel(Line, Label, TRACE_LINE_SIZE);

    // Least significant digit first.
    if (Value == 0) {
        Digits[DigitCount++] = '0';
    } else {
        while (Value != 0) {
            ULONG Digit = Value % Radix;
            Digits[DigitCount++] = (CHAR)(Digit < 10 ? '0' + Digit : 'A' + Digit - 10);
            Value /= Radix;
        }
    }

    if (Radix == 16 && Used < 118) {
        Line[Used++] = '0';
        Line[Used++] = 'x';
        for (ULONG Pad = DigitCount; Pad < 8; Pad++)
            Line[Used++] = '0';
    }

    while (DigitCount != 0 && Used <= TRACE_LINE_SIZE - 2)
        Line[Used++] = Digits[--DigitCount];

    FinishLine(Line, Used, TRACE_LINE_SIZE);
}

//
// TraceBuffer - traces label and a hex dump ("0A " per byte) as one line of at most 256
// bytes. The dump is not wrapped: bytes that do not fit before the 250-byte mark are
// left out. A length of 0 traces the label alone.
//
VOID TraceBuffer(ULONG Level, const char *Label, const UCHAR *Data, ULONG Length)
{
    CHAR Line[TRACE_DUMP_LINE_SIZE];
    ULONG Used;

    (VOID)Level;
    if (Label == nullptr || Data == nullptr) {
        if (TRACE_DEBUGGER_ON())
            DbgPrint("KRVDLC: Invalid parameter passed in to TraceBuffer\n");
        return;
    }

    Used = CopyLabel(Line, Label, 100);
    for (ULONG i = 0; Used < 250 && i < Length; i++) {
        ULONG High = Data[i] >> 4;
        ULONG Low = Data[i] & 0x0F;
        Line[Used++] = (CHAR)(High < 10 ? '0' + High : 'A' + High - 10);
        Line[Used++] = (CHAR)(Low < 10 ? '0' + Low : 'A' + Low - 10);
        Line[Used++] = ' ';
    }
    FinishLine(Line, Used, TRACE_DUMP_LINE_SIZE);
}
