// event_viewer.h - the driver's event-log entries as the system's event viewer shows them.
//
// An entry the simulated I/O manager kept (sim::ErrorLogEntry: the raw bytes, the time of
// the write, the name of the driver or device that wrote it) is shown with its type
// (Information, Warning or Error from the top two bits of the event identifier), the event
// identifier (its low 16 bits), the local date and time, the source and the description:
// the message of that identifier from the driver's message table, with %1 (the driver or
// device name) and %2... (the entry's insertion strings) filled in, followed by the entry's
// data words. The message table is read from the built driver image (KRVDLC.SYS); without
// it the viewer says so and shows the identifier and the insertion strings raw.
//
// Typical use (tools, demo):
//
//     std::string error;
//     auto table = krvdlc::LoadMessageTable("build/driver/KRVDLC.SYS", &error);
//     auto options = krvdlc::ViewerOptionsFor(host.machine(), "build/driver/KRVDLC.SYS");
//     std::cout << krvdlc::RenderEvents(host.machine().errorLog().Entries(),
//                                       table ? &*table : nullptr, options);
#pragma once

#include "sim/errorlog.h"
#include "tools/pe/message_table.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace krvdlc {

using MessageTable = pe::MessageTable;

struct EventViewerOptions {
    // Local time = system time - bias (minutes west of UTC), as sim::MachineOptions has it.
    int32_t timeZoneBiasMinutes = 0;
    // The event source the driver is registered under.
    std::string source = "KRVDLC";
    // The driver image, named when its message table is missing.
    std::string imagePath;
    // Show the entry's data words (the packet header from MajorFunctionCode and the dump).
    bool showData = true;
};

// The options that match a machine: its time zone, and the image path given.
EventViewerOptions ViewerOptionsFor(const sim::Machine &machine, std::string imagePath = {});

enum class EventType { Information, Warning, Error };

// Severity bits 31-30 of an NTSTATUS-form identifier: 0 (success) and 1 show as
// Information, 2 as Warning, 3 as Error.
EventType EventTypeOf(uint32_t eventIdentifier);
const char *EventTypeName(EventType type);
// What the viewer shows as the event ID: the identifier's low 16 bits.
uint16_t DisplayedEventId(uint32_t eventIdentifier);

// System time (100 ns since 1601-01-01 UTC) less the bias, as the viewer shows it:
// date "M/D/YYYY", time "h:mm:ss AM".
struct LocalTimeText {
    std::string date;
    std::string time;
};
LocalTimeText FormatLocalTime(int64_t systemTime, int32_t timeZoneBiasMinutes);

// The message table (RT_MESSAGETABLE 1, language 1033) of the image at `imagePath`, or
// nothing when the image is missing, unreadable or has no table; `error` (if given) then
// says why.
std::optional<MessageTable> LoadMessageTable(const std::string &imagePath,
                                             std::string *error = nullptr);

// A message text with its inserts filled the way the system's message formatter does it:
// %1 to %99 (an optional !format! after the number is skipped) take inserts[n - 1], and
// stay as written when there is no such insert; %n is CR LF, %r CR, %t tab, %b blank,
// %0 ends the text, %% %. %! stand for the character. Other text, line ends included, is
// copied unchanged.
std::string FormatMessageText(const std::string &text, const std::vector<std::string> &inserts);

// The inserts of an entry: %1 the source name the I/O manager supplied, then the entry's
// strings (UTF-8).
std::vector<std::string> EventInserts(const sim::ErrorLogEntry &entry);

// The description the viewer shows: the formatted message, or, without a table or without
// that identifier in it, the notice that it cannot be found with the identifier and the
// inserts raw.
std::string DescribeEvent(const sim::ErrorLogEntry &entry, const MessageTable *table,
                          const EventViewerOptions &options);

// One event: type, source, category, event ID, date, time, description and data.
std::string RenderEvent(const sim::ErrorLogEntry &entry, const MessageTable *table,
                        const EventViewerOptions &options);

// Every event, oldest first, separated by a blank line; without a table the listing starts
// by saying the driver image (and with it the message texts) is missing.
std::string RenderEvents(const std::vector<sim::ErrorLogEntry> &entries, const MessageTable *table,
                         const EventViewerOptions &options);

}  // namespace krvdlc
