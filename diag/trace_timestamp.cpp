//
// trace_timestamp.cpp - the time-stamp line traced at start and unload, and the
// fixed-width number formatting it is built with.
//
#include "core/krvdlc.h"

// "Mar 05, 2006  19:04:09.021\n": 27 characters.
#define TIME_STAMP_LENGTH 27

//
// FormatNumber - writes Value in decimal, right-aligned in exactly Width characters and
// padded on the left with '0'; a negative value carries '-' in the first position,
// counted in the width. When sign and digits do not fit, the field is Width 'X's.
// Writes no NUL. Any IRQL.
//
VOID FormatNumber(LONG Value, PCHAR Destination, ULONG Width)
{
    BOOLEAN Negative = Value < 0;
    // The magnitude as unsigned, so that the most negative value has one too.
    ULONG Magnitude = Negative ? 0u - (ULONG)Value : (ULONG)Value;
    ULONG DigitCount = 0;
    ULONG Position;

    for (ULONG Rest = Magnitude; ; Rest /= 10) {
        DigitCount++;
        if (Rest < 10)
            break;
    }

    if (DigitCount + (Negative ? 1 : 0) > Width) {
        RtlFillMemory(Destination, Width, 'X');
        return;
    }

    RtlFillMemory(Destination, Width, '0');
    if (Negative)
        Destination[0] = '-';
    for (Position = Width; DigitCount != 0; DigitCount--) {
        Destination[--Position] = (CHAR)('0' + Magnitude % 10);
        Magnitude /= 10;
    }
}

//
// TraceTimeStamp - traces the local date and time at level 4 as
// "Mon DD, YYYY  HH:MM:SS.mmm\n". PASSIVE_LEVEL. The calendar fields live in a paged
// block of its own, freed before return; without it no stamp is traced.
//
VOID TraceTimeStamp(VOID)
{
    LARGE_INTEGER SystemTime;
    LARGE_INTEGER LocalTime;
    PTIME_FIELDS Fields;
    CHAR Line[TIME_STAMP_LENGTH + 1];
    const char *Months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    ULONG Month;

    KeQuerySystemTime(&SystemTime);
    ExSystemTimeToLocalTime(&SystemTime, &LocalTime);

    Fields = (PTIME_FIELDS)KrvAllocatePool(PagedPool, sizeof(TIME_FIELDS));
    if (Fields == nullptr)
        return;
    RtlTimeToTimeFields(&LocalTime, Fields);

    // The conversion always yields months 1 to 12; anything else would not index past
    // the table.
    Month = (ULONG)Fields->Month - 1;
    if (Month > 11)
        Month = 0;
    RtlCopyMemory(&Line[0], Months + 3 * Month, 3);
    Line[3] = ' ';
    FormatNumber(Fields->Day, &Line[4], 2);
    Line[6] = ',';
    Line[7] = ' ';
    FormatNumber(Fields->Year, &Line[8], 4);
    Line[12] = ' ';
    Line[13] = ' ';
    FormatNumber(Fields->Hour, &Line[14], 2);
    Line[16] = ':';
    FormatNumber(Fields->Minute, &Line[17], 2);
    Line[19] = ':';
    FormatNumber(Fields->Second, &Line[20], 2);
    Line[22] = '.';
    FormatNumber(Fields->Milliseconds, &Line[23], 3);
    Line[26] = '\n';
    Line[27] = '\0';

    if (TRACE_ON(4))
        TraceMessage(4, Line);

    ExFreePool(Fields);
}
