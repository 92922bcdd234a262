// event_viewer.cpp - the driver's event-log entries rendered as the system's viewer shows them.
#include "tools/common/event_viewer.h"

#include "tools/pe/image.h"
#include "tools/pe/resources.h"
#include "tools/pe/utf16.h"

#include <cstddef>
#include <cstdio>
#include <exception>
#include <sstream>

namespace krvdlc {
namespace {

constexpr uint32_t kMessageTableName = 1;
constexpr uint32_t kLanguageEnglishUs = 1033;

// The event data of an I/O error-log entry starts at MajorFunctionCode and runs to the end
// of the dump data: the packet header the viewer shows as words.
constexpr size_t kDumpDataOffset = 40;
constexpr size_t kDumpDataSizeOffset = 2;

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134'774;

struct CivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

// Proleptic Gregorian date of a count of days since 1970-01-01 (H. Hinnant's algorithm).
CivilDate CivilFromDays(int64_t days)
{
    days += 719'468;
    const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return CivilDate{year, month, day};
}

int64_t FloorDivide(int64_t value, int64_t divisor)
{
    int64_t quotient = value / divisor;
    if ((value % divisor != 0) && ((value < 0) != (divisor < 0)))
        --quotient;
    return quotient;
}

uint16_t ReadU16(const std::vector<uint8_t> &bytes, size_t offset)
{
    uint16_t value = 0;
    for (size_t i = 0; i < 2 && offset + i < bytes.size(); ++i)
        value = static_cast<uint16_t>(value | bytes[offset + i] << (8 * i));
    return value;
}

// The event data as the viewer's word display: "0000: 00000000 00000001 ...", four words
// a line, the offset in bytes; a last partial word is zero-extended.
std::string DataWords(const sim::ErrorLogEntry &entry)
{
    size_t size = kDumpDataOffset + ReadU16(entry.bytes, kDumpDataSizeOffset);
    if (size > entry.bytes.size())
        size = entry.bytes.size();
    std::string out;
    char word[24];      // "%04zx:" of a size_t takes up to 17 characters
    for (size_t offset = 0; offset < size; offset += 4) {
        if (offset % 16 == 0) {
            if (offset != 0)
                out += '\n';
            std::snprintf(word, sizeof word, "%04zx:", offset);
            out += word;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < 4 && offset + i < size; ++i)
            value |= static_cast<uint32_t>(entry.bytes[offset + i]) << (8 * i);
        std::snprintf(word, sizeof word, " %08x", value);
        out += word;
    }
    return out;
}

}  // namespace

EventViewerOptions ViewerOptionsFor(const sim::Machine &machine, std::string imagePath)
{
    EventViewerOptions options;
    options.timeZoneBiasMinutes = machine.options().timeZoneBiasMinutes;
    options.imagePath = std::move(imagePath);
    return options;
}

EventType EventTypeOf(uint32_t eventIdentifier)
{
    switch (eventIdentifier >> 30) {
    case 2:
        return EventType::Warning;
    case 3:
        return EventType::Error;
    default:
        return EventType::Information;
    }
}

const char *EventTypeName(EventType type)
{
    switch (type) {
    case EventType::Warning:
        return "Warning";
    case EventType::Error:
        return "Error";
    case EventType::Information:
        break;
    }
    return "Information";
}

uint16_t DisplayedEventId(uint32_t eventIdentifier)
{
    return static_cast<uint16_t>(eventIdentifier & 0xFFFF);
}

LocalTimeText FormatLocalTime(int64_t systemTime, int32_t timeZoneBiasMinutes)
{
    const int64_t local = systemTime - int64_t{timeZoneBiasMinutes} * 60 * kTicksPerSecond;
    const int64_t seconds = FloorDivide(local, kTicksPerSecond);
    const int64_t days = FloorDivide(seconds, kSecondsPerDay);
    const int64_t secondOfDay = seconds - days * kSecondsPerDay;
    const CivilDate date = CivilFromDays(days - kDaysFrom1601To1970);

    const int hour = static_cast<int>(secondOfDay / 3600);
    const int minute = static_cast<int>(secondOfDay / 60 % 60);
    const int second = static_cast<int>(secondOfDay % 60);
    const int hour12 = hour % 12 == 0 ? 12 : hour % 12;

    char dateText[32];
    char timeText[32];
    std::snprintf(dateText, sizeof dateText, "%u/%u/%lld", date.month, date.day,
                  static_cast<long long>(date.year));
    std::snprintf(timeText, sizeof timeText, "%d:%02d:%02d %s", hour12, minute, second,
                  hour < 12 ? "AM" : "PM");
    return LocalTimeText{dateText, timeText};
}

std::optional<MessageTable> LoadMessageTable(const std::string &imagePath, std::string *error)
{
    auto fail = [&](std::string why) -> std::optional<MessageTable> {
        if (error != nullptr)
            *error = std::move(why);
        return std::nullopt;
    };
    try {
        const pe::Image image = pe::Image::load(imagePath);
        const std::vector<pe::Resource> resources = pe::read_resources(image);
        const pe::Resource *resource = pe::find_resource(
            resources, pe::ResourceId::of(pe::kResourceTypeMessageTable),
            pe::ResourceId::of(kMessageTableName), kLanguageEnglishUs);
        if (resource == nullptr)
            return fail(imagePath + " has no message table");
        return pe::parse_message_table(pe::ByteView(resource->data));
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}

std::string FormatMessageText(const std::string &text, const std::vector<std::string> &inserts)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const char next = text[i + 1];
        if (next >= '1' && next <= '9') {
            size_t end = i + 2;
            unsigned number = static_cast<unsigned>(next - '0');
            if (end < text.size() && text[end] >= '0' && text[end] <= '9') {
                number = number * 10 + static_cast<unsigned>(text[end] - '0');
                ++end;
            }
            // "%1!s!": the printf format of the insert; every insert here is a string.
            if (end < text.size() && text[end] == '!') {
                const size_t close = text.find('!', end + 1);
                if (close != std::string::npos)
                    end = close + 1;
            }
            if (number <= inserts.size())
                out += inserts[number - 1];
            else
                out.append(text, i, end - i);
            i = end - 1;
            continue;
        }
        ++i;
        switch (next) {
        case '0':
            return out;
        case 'n':
            out += "\r\n";
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'b':
            out += ' ';
            break;
        default:
            out += next;    // %% %. %! and any other character stand for themselves
            break;
        }
    }
    return out;
}

std::vector<std::string> EventInserts(const sim::ErrorLogEntry &entry)
{
    std::vector<std::string> inserts{pe::utf8_from_utf16(entry.source)};
    for (const std::u16string &text : entry.Strings())
        inserts.push_back(pe::utf8_from_utf16(text));
    return inserts;
}

std::string DescribeEvent(const sim::ErrorLogEntry &entry, const MessageTable *table,
                          const EventViewerOptions &options)
{
    const auto identifier = static_cast<uint32_t>(entry.ErrorCode());
    const std::vector<std::string> inserts = EventInserts(entry);

    std::optional<std::string> text;
    if (table != nullptr)
        text = table->text(identifier);
    if (text)
        return FormatMessageText(*text, inserts);

    char idText[16];
    std::snprintf(idText, sizeof idText, "0x%08X", identifier);
    std::string out = "The description for Event ID ( " +
                      std::to_string(DisplayedEventId(identifier)) + " ) in Source ( " +
                      options.source + " ) cannot be found: ";
    out += table == nullptr ? "the driver image with its message table is missing"
                            : "the message table has no such identifier";
    out += ". Identifier: ";
    out += idText;
    out += ". The following information is part of the event: ";
    for (size_t i = 0; i < inserts.size(); ++i) {
        if (i != 0)
            out += ", ";
        out += inserts[i];
    }
    return out;
}

std::string RenderEvent(const sim::ErrorLogEntry &entry, const MessageTable *table,
                        const EventViewerOptions &options)
{
    const auto identifier = static_cast<uint32_t>(entry.ErrorCode());
    const LocalTimeText when = FormatLocalTime(entry.writtenAt, options.timeZoneBiasMinutes);

    std::ostringstream out;
    out << "Event Type:\t" << EventTypeName(EventTypeOf(identifier)) << '\n'
        << "Event Source:\t" << options.source << '\n'
        << "Event Category:\tNone\n"
        << "Event ID:\t" << DisplayedEventId(identifier) << '\n'
        << "Date:\t\t" << when.date << '\n'
        << "Time:\t\t" << when.time << '\n'
        << "Description:\n";
    std::string description = DescribeEvent(entry, table, options);
    if (description.empty() || description.back() != '\n')
        description += '\n';
    out << description;
    if (options.showData)
        out << "Data:\n" << DataWords(entry) << '\n';
    return out.str();
}

std::string RenderEvents(const std::vector<sim::ErrorLogEntry> &entries, const MessageTable *table,
                         const EventViewerOptions &options)
{
    std::string out;
    if (table == nullptr) {
        out += "Driver image missing: ";
        out += options.imagePath.empty() ? std::string("(no path given)") : options.imagePath;
        out += "; event texts unavailable, identifiers and insertion strings shown raw.\n\n";
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i != 0)
            out += '\n';
        out += RenderEvent(entries[i], table, options);
    }
    return out;
}

}  // namespace krvdlc
