// rtl.cpp - run-time library routines: counted strings, time conversions and the
// platform's swprintf (16-bit characters).
#include "sim/debugger.h"
#include "sim/dispatcher.h"

#include <cstring>

namespace sim {

namespace {

constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134'774;
// The largest Length a counted string can describe with its terminator.
constexpr size_t kMaximumCountedBytes = 0xFFFC;

int64_t FloorDivide(int64_t value, int64_t divisor)
{
    int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = FloorDivide(year, 400);
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146'097 + dayOfEra - 719'468;
}

void CivilFromDays(int64_t days, int64_t &year, int64_t &month, int64_t &day)
{
    days += 719'468;
    const int64_t era = FloorDivide(days, 146'097);
    const int64_t dayOfEra = days - era * 146'097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

template <typename CharT> size_t Count(const CharT *text)
{
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

}  // namespace

int64_t SystemTimeFromCalendar(int year, int month, int day, int hour, int minute, int second,
                               int milliseconds)
{
    const int64_t days = DaysFromCivil(year, month, day) + kDays1601To1970;
    const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    return seconds * kTicksPerSecond + milliseconds * kTicksPerMillisecond;
}

}  // namespace sim

//
// RtlInitUnicodeString / RtlInitString - a counted string over a terminated one (null
// gives an empty string without buffer). Any IRQL.
//
extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = sim::Count(SourceString) * sizeof(WCHAR);
    if (bytes > sim::kMaximumCountedBytes)
        bytes = sim::kMaximumCountedBytes;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = sim::Count(SourceString);
    if (bytes > sim::kMaximumCountedBytes)
        bytes = sim::kMaximumCountedBytes;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

//
// RtlCopyUnicodeString - copies as much of the source as the destination holds and adds a
// terminator when there is room for one. A null source empties the destination.
//
extern "C" VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                           PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    bytes &= static_cast<USHORT>(~1u);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

//
// RtlAppendUnicodeToString - appends a terminated string; STATUS_BUFFER_TOO_SMALL, with
// the destination unchanged, when it does not fit. Adds a terminator when there is room.
//
extern "C" NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr)
        return STATUS_SUCCESS;
    const size_t bytes = sim::Count(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source,
                 bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

//
// ExSystemTimeToLocalTime - local time = system time - the time-zone bias.
//
extern "C" VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime)
{
    const int64_t bias = sim::Machine::Current().options().timeZoneBiasMinutes;
    LocalTime->QuadPart = SystemTime->QuadPart - bias * 60 * sim::kTicksPerSecond;
}

//
// RtlTimeToTimeFields - the calendar fields (proleptic Gregorian) of a time in 100 ns
// units since 1601-01-01; Weekday 0 is Sunday.
//
extern "C" VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields)
{
    using namespace sim;
    const int64_t ticks = Time->QuadPart;
    const int64_t milliseconds = FloorDivide(ticks, kTicksPerMillisecond);
    const int64_t seconds = FloorDivide(milliseconds, 1000);
    const int64_t days = FloorDivide(seconds, kSecondsPerDay);
    const int64_t secondOfDay = seconds - days * kSecondsPerDay;
    int64_t year, month, day;
    CivilFromDays(days - kDays1601To1970, year, month, day);
    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = static_cast<CSHORT>(month);
    TimeFields->Day = static_cast<CSHORT>(day);
    TimeFields->Hour = static_cast<CSHORT>(secondOfDay / 3600);
    TimeFields->Minute = static_cast<CSHORT>(secondOfDay / 60 % 60);
    TimeFields->Second = static_cast<CSHORT>(secondOfDay % 60);
    TimeFields->Milliseconds = static_cast<CSHORT>(milliseconds - seconds * 1000);
    // 1601-01-01 was a Monday.
    TimeFields->Weekday = static_cast<CSHORT>(((days + 1) % 7 + 7) % 7);
}

//
// swprintf of the platform (16-bit characters; %s is a 16-bit string). The host's C library
// has its own swprintf, so the driver reaches this one as KrvSimSwprintf. Returns the
// characters written without the terminator.
//
extern "C" int KRV_CDECL KrvSimSwprintf(PWSTR Buffer, PCWSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::u16string text = sim::FormatPlatform(Format, args);
    va_end(args);
    std::memcpy(Buffer, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    return static_cast<int>(text.size());
}
