// Run-time library: calendar fields, local time, counted strings, swprintf; the debugger's
// DbgPrint formats and captured output.
#include "tests/sim/kernel_test_support.h"

#include "sim/debugger.h"
#include "sim/dispatcher.h"
#include "sim/irql.h"

extern "C" int KRV_CDECL KrvSimSwprintf(PWSTR Buffer, PCWSTR Format, ...);

namespace sim::test {
namespace {

struct CalendarCase {
    int64_t time;       // computed independently of the simulator
    TIME_FIELDS fields; // Year Month Day Hour Minute Second Milliseconds Weekday
};

TEST(KernelRtl, TimeToTimeFields)
{
    Machine machine;
    const CalendarCase cases[] = {
        {0, {1601, 1, 1, 0, 0, 0, 0, 1}},
        {127860590490210000, {2006, 3, 5, 19, 4, 9, 21, 0}},
        {125963423999990000, {2000, 2, 29, 23, 59, 59, 999, 2}},
        {134116992000000000, {2026, 1, 1, 0, 0, 0, 0, 4}},
        {94406256000000000, {1900, 3, 1, 12, 0, 0, 0, 4}},
        {157784543990010000, {2100, 12, 31, 23, 59, 59, 1, 5}},
    };
    for (const CalendarCase &c : cases) {
        SCOPED_TRACE(c.time);
        LARGE_INTEGER time;
        time.QuadPart = c.time;
        TIME_FIELDS fields;
        RtlTimeToTimeFields(&time, &fields);
        EXPECT_EQ(fields.Year, c.fields.Year);
        EXPECT_EQ(fields.Month, c.fields.Month);
        EXPECT_EQ(fields.Day, c.fields.Day);
        EXPECT_EQ(fields.Hour, c.fields.Hour);
        EXPECT_EQ(fields.Minute, c.fields.Minute);
        EXPECT_EQ(fields.Second, c.fields.Second);
        EXPECT_EQ(fields.Milliseconds, c.fields.Milliseconds);
        EXPECT_EQ(fields.Weekday, c.fields.Weekday);
        EXPECT_EQ(SystemTimeFromCalendar(c.fields.Year, c.fields.Month, c.fields.Day, c.fields.Hour,
                                         c.fields.Minute, c.fields.Second, c.fields.Milliseconds),
                  c.time);
    }
    // The machine boots at 2026-01-01 00:00 unless told otherwise.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, 134116992000000000);
}

TEST(KernelRtl, LocalTimeAppliesTheBias)
{
    MachineOptions options;
    options.timeZoneBiasMinutes = -60;  // one hour east of UTC
    options.bootSystemTime = 127860590490210000;
    Machine machine(options);
    LARGE_INTEGER system, local;
    KeQuerySystemTime(&system);
    ExSystemTimeToLocalTime(&system, &local);
    TIME_FIELDS fields;
    RtlTimeToTimeFields(&local, &fields);
    EXPECT_EQ(fields.Hour, 20);
    EXPECT_EQ(fields.Minute, 4);
}

TEST(KernelRtl, CountedStrings)
{
    Machine machine;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"KrvDlc_{A}");
    EXPECT_EQ(source.Length, 20);
    EXPECT_EQ(source.MaximumLength, 22);
    RtlInitUnicodeString(&source, nullptr);
    EXPECT_EQ(source.Length, 0);
    EXPECT_EQ(source.Buffer, nullptr);
    STRING narrow;
    RtlInitString(&narrow, "abc");
    EXPECT_EQ(narrow.Length, 3);
    EXPECT_EQ(narrow.MaximumLength, 4);

    RtlInitUnicodeString(&source, u"abcd");
    struct CopyCase {
        USHORT maximum;
        std::u16string copied;
        bool terminated;
    };
    for (const CopyCase &c : {CopyCase{20, u"abcd", true}, CopyCase{8, u"abcd", false},
                              CopyCase{6, u"abc", false}, CopyCase{0, u"", false}}) {
        SCOPED_TRACE(c.maximum);
        char16_t buffer[10];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        UNICODE_STRING target{0, c.maximum, buffer};
        RtlCopyUnicodeString(&target, &source);
        EXPECT_EQ(std::u16string(buffer, target.Length / 2), c.copied);
        EXPECT_EQ(buffer[c.copied.size()], c.terminated ? u'\0' : u'#');
    }

    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UNICODE_STRING target{0, 12, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&target, u"\\Dev"), STATUS_SUCCESS);
    EXPECT_EQ(buffer[4], u'\0');
    EXPECT_EQ(RtlAppendUnicodeToString(&target, u"ice"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(target.Length, 8);
    EXPECT_EQ(RtlAppendUnicodeToString(&target, u"ic"), STATUS_SUCCESS);   // exactly full
    EXPECT_EQ(std::u16string(buffer, 6), u"\\Devic");
    EXPECT_EQ(buffer[6], u'#');
}

TEST(KernelRtl, SwprintfUsesWideStrings)
{
    Machine machine;
    char16_t buffer[128];
    EXPECT_EQ(KrvSimSwprintf(buffer, u"\\Device\\KrvDlc_%ws", u"{4D36E972}"), 25);
    EXPECT_EQ(std::u16string(buffer), u"\\Device\\KrvDlc_{4D36E972}");
    KrvSimSwprintf(buffer, u"%s|%hs|%S|%c|%d|%x|%X|%%|%5.2d", u"wide", "narrow", "also", u'Z', -12,
                   0xBEEF, 0xBEEF, 7);
    EXPECT_EQ(std::u16string(buffer), u"wide|narrow|also|Z|-12|beef|BEEF|%|   07");
}

struct PrintCase {
    const char *name;
    std::function<void()> print;
    std::string expected;
};

TEST(KernelDebugger, DbgPrintFormats)
{
    Machine machine;
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, u"\\Device\\{X}");
    STRING ansi;
    RtlInitString(&ansi, "ansi");
    const std::string pointer = sizeof(void *) == 8 ? "00000000DEADBEEF" : "DEADBEEF";
    const PrintCase cases[] = {
        {"narrow string", [] { DbgPrint("KRVDLC: %s", "line\n"); }, "KRVDLC: line\n"},
        {"wide strings", [] { DbgPrint("%ws|%S|%ls", u"one", u"two", u"three"); }, "one|two|three"},
        {"null strings", [] { DbgPrint("%s|%ws", static_cast<char *>(nullptr), static_cast<char16_t *>(nullptr)); }, "(null)|(null)"},
        {"characters", [] { DbgPrint("%c%C", 'a', u'b'); }, "ab"},
        {"signed", [] { DbgPrint("%d|%i|%+d|% d|%ld", -42, 7, 7, 7, -1); }, "-42|7|+7| 7|-1"},
        {"unsigned", [] { DbgPrint("%u|%lu", 4294967295u, 3000000000u); }, "4294967295|3000000000"},
        {"hex", [] { DbgPrint("%x|%X|%#x|%o", 0xabcu, 0xabcu, 255u, 8u); }, "abc|ABC|0xff|10"},
        {"'l' is 32 bits", [] { DbgPrint("%lx|%d|%lX", 0xFFFFFFFFu, 7, 0xDEADBEEFu); }, "ffffffff|7|DEADBEEF"},
        {"zero padding", [] { DbgPrint("0x%08lx|0x%08X|%05d|%-5d|%5d|", 0x1234u, 0xC0000001u, -42, 42, 42); },
         "0x00001234|0xC0000001|-0042|42   |   42|"},
        {"precision", [] { DbgPrint("%.3s|%.*s|%.3d|%6.3s|", "abcdef", 2, "xyz", 5, "abcdef"); }, "abc|xy|005|   abc|"},
        {"64 bits", [] { DbgPrint("%I64x|%llu", 0x123456789ull, 18446744073709551615ull); }, "123456789|18446744073709551615"},
        {"pointer", [] { DbgPrint("%p", reinterpret_cast<void *>(0xDEADBEEF)); }, pointer},
        {"counted strings", [&] { DbgPrint("%wZ|%Z", &counted, &ansi); }, "\\Device\\{X}|ansi"},
        {"percent and unknown", [] { DbgPrint("100%%|%y"); }, "100%|%y"},
        {"wide text narrowed", [] { DbgPrint("%ws", u"\u00e9\u4e2d"); }, "\xe9?"},
    };
    for (const PrintCase &c : cases) {
        SCOPED_TRACE(c.name);
        machine.debugger().Clear();
        c.print();
        ASSERT_EQ(machine.debugger().Prints().size(), 1u);
        EXPECT_EQ(machine.debugger().Prints()[0], c.expected);
    }
}

}  // namespace
}  // namespace sim::test
