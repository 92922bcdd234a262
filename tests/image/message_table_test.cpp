// The message table of KRVDLC.SYS: the texts the event viewer shows for the driver's
// event-log entries, in the layout the viewer reads (ANSI entries padded to 4 bytes).
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/image/driver_image.h"
#include "tools/pe/message_table.h"
#include "tools/pe/resources.h"

namespace krvdlc::image_test {
namespace {

struct Event {
    const char* name;
    std::uint32_t id;
    const char* text;
};

const Event kEvents[] = {
    {"EVENT_DRIVER_STARTED", 0x402A0001, "The Korvel DLC driver started successfully.\r\n"},
    {"EVENT_DRIVER_FAILED", 0xC02A0002, "The Korvel DLC driver failed to start.\r\n"},
    {"EVENT_DRIVER_INFORMATION", 0x402A0003, "The Korvel DLC driver reported the following information: %2\r\n"},
    {"EVENT_DRIVER_WARNING", 0x802A0004, "The Korvel DLC driver reported the following warning: %2\r\n"},
    {"EVENT_DRIVER_ERROR", 0xC02A0005, "The Korvel DLC driver reported the following error: %2\r\n"},
    {"EVENT_DRIVER_SHUTDOWN", 0x402A0006, "The Korvel DLC driver is shutting down.\r\n"},
    {"EVENT_OPENING_ADAPTER", 0x402A0007,
     "Opening adapter: %2.  Note that some adapter names are too long to be passed to the event log and may be "
     "truncated.\r\n"},
};

class MessageTableTest : public DriverImageTest {
protected:
    void SetUp() override {
        DriverImageTest::SetUp();
        if (HasFatalFailure()) return;
        const auto resources = pe::read_resources(image());
        const pe::Resource* resource = pe::find_resource(
            resources, pe::ResourceId::of(pe::kResourceTypeMessageTable), pe::ResourceId::of(1), 1033);
        ASSERT_NE(resource, nullptr) << "no RT_MESSAGETABLE resource 1 in language 1033";
        table_ = pe::parse_message_table(pe::ByteView(resource->data));
    }
    pe::MessageTable table_;
};

TEST_F(MessageTableTest, HoldsTheSevenEventsInSixBlocks) {
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {0x402A0001, 0x402A0001}, {0x402A0003, 0x402A0003}, {0x402A0006, 0x402A0007},
        {0x802A0004, 0x802A0004}, {0xC02A0002, 0xC02A0002}, {0xC02A0005, 0xC02A0005},
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> blocks;
    for (const auto& b : table_.blocks) blocks.emplace_back(b.low_id, b.high_id);
    EXPECT_EQ(blocks, expected);
    EXPECT_EQ(table_.entries.size(), std::size(kEvents));
}

TEST_F(MessageTableTest, TextsAreExact) {
    for (const Event& event : kEvents) {
        const auto text = table_.text(event.id);
        ASSERT_TRUE(text.has_value()) << event.name;
        EXPECT_EQ(*text, event.text) << event.name;
    }
}

TEST_F(MessageTableTest, EntriesAreAnsiAndPaddedWithNulsToFourBytes) {
    for (const Event& event : kEvents) {
        const auto it = table_.entries.find(event.id);
        ASSERT_NE(it, table_.entries.end()) << event.name;
        const pe::MessageEntry& entry = it->second;
        const std::size_t text_length = std::char_traits<char>::length(event.text);
        EXPECT_EQ(entry.flags, 0) << event.name << " is not stored as ANSI";
        EXPECT_EQ(entry.length % 4, 0u) << event.name;
        // Text, its NUL, then the fewest NULs that reach a multiple of 4.
        EXPECT_EQ(entry.length, (4 + text_length + 1 + 3) / 4 * 4) << event.name;
        for (std::size_t i = text_length; i < entry.stored.size(); ++i) {
            EXPECT_EQ(entry.stored[i], 0) << event.name << " padding byte " << i;
        }
    }
}

// The header the message compiler wrote defines the same names and codes the driver code
// defines for itself.
TEST_F(MessageTableTest, CompiledHeaderDefinesTheEventCodes) {
    std::ifstream in(link().message_header);
    ASSERT_TRUE(in) << "cannot open " << link().message_header;
    const std::regex define(R"(^#define\s+(EVENT_\w+)\s+\(NTSTATUS\)\s*0x([0-9A-Fa-f]+))");
    std::map<std::string, std::uint32_t> defined;
    std::string line;
    std::smatch match;
    while (std::getline(in, line)) {
        if (std::regex_search(line, match, define)) {
            defined[match[1]] = static_cast<std::uint32_t>(std::stoul(match[2], nullptr, 16));
        }
    }
    std::map<std::string, std::uint32_t> expected;
    for (const Event& event : kEvents) expected[event.name] = event.id;
    EXPECT_EQ(defined, expected);
}

}  // namespace
}  // namespace krvdlc::image_test
