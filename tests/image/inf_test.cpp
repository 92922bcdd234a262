// Checks of install/KRVDLC.INF as Windows setup reads it: every section it names exists,
// every %string% is defined, the service and event-log entries the driver relies on, and
// the files it copies against the built image beside which the driver build places it.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/image/driver_image.h"
#include "tools/pe/resources.h"
#include "tools/pe/version_info.h"

namespace krvdlc::image_test {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Trim(const std::string &text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// One line of a section: "key = v1, v2" or a bare "v1, v2" (key empty). Values are
// trimmed and unquoted; an empty field stays as an empty value.
struct InfLine {
    std::string key;
    std::vector<std::string> values;
    int number = 0;
};

// Section names are case-insensitive in an INF: the map is keyed by the lower-case name.
using Inf = std::map<std::string, std::vector<InfLine>>;

std::vector<std::string> SplitFields(const std::string &text) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    for (auto &field : fields) field = Trim(field);
    return fields;
}

Inf ParseInf(std::istream &in) {
    Inf inf;
    std::vector<InfLine> *section = nullptr;
    std::string raw;
    for (int number = 1; std::getline(in, raw); ++number) {
        // A ';' outside quotes starts a comment.
        std::string line;
        bool quoted = false;
        for (char c : raw) {
            if (c == '"') quoted = !quoted;
            if (c == ';' && !quoted) break;
            line += c;
        }
        line = Trim(line);
        if (line.empty()) continue;
        if (line.front() == '[') {
            EXPECT_EQ(line.back(), ']') << "line " << number << ": unterminated section name";
            section = &inf[Lower(line.substr(1, line.size() - 2))];
            continue;
        }
        EXPECT_NE(section, nullptr) << "line " << number << " stands before any section";
        if (section == nullptr) continue;
        InfLine entry;
        entry.number = number;
        const auto equals = line.find('=');
        const bool quotedBeforeEquals = line.find('"') < equals;
        if (equals != std::string::npos && !quotedBeforeEquals) {
            entry.key = Trim(line.substr(0, equals));
            entry.values = SplitFields(line.substr(equals + 1));
        } else {
            entry.values = SplitFields(line);
        }
        section->push_back(entry);
    }
    return inf;
}

class InfTest : public DriverImageTest {
protected:
    void SetUp() override {
        DriverImageTest::SetUp();
        if (HasFatalFailure()) return;
        std::ifstream in(InfPath());
        ASSERT_TRUE(in) << "cannot open " << InfPath();
        inf_ = ParseInf(in);
    }

    // The copy that the driver build puts beside KRVDLC.SYS, so both install from one folder.
    static std::string InfPath() {
        return (std::filesystem::path(ImagePath()).parent_path() / "KRVDLC.INF").string();
    }

    const std::vector<InfLine> &Section(const std::string &name) {
        static const std::vector<InfLine> none;
        const auto found = inf_.find(Lower(name));
        return found == inf_.end() ? none : found->second;
    }

    bool HasSection(const std::string &name) const { return inf_.count(Lower(name)) != 0; }

    // The values of the first line with this key (keys compare case-insensitively).
    std::vector<std::string> Values(const std::string &section, const std::string &key) {
        for (const auto &line : Section(section)) {
            if (Lower(line.key) == Lower(key)) return line.values;
        }
        ADD_FAILURE() << "[" << section << "] has no " << key;
        return {};
    }

    // The registry lines of an AddReg section whose subkey and value name match.
    std::vector<std::string> Registry(const std::string &section, const std::string &subkey,
                                      const std::string &name) {
        for (const auto &line : Section(section)) {
            if (line.key.empty() && line.values.size() >= 5 && line.values[0] == "HKR" &&
                Lower(line.values[1]) == Lower(subkey) && Lower(line.values[2]) == Lower(name)) {
                return line.values;
            }
        }
        ADD_FAILURE() << "[" << section << "] sets no HKR," << subkey << "," << name;
        return {};
    }

    Inf inf_;
};

TEST_F(InfTest, EverySectionAndStringItNamesExists) {
    const auto models = Values("Manufacturer", "%Provider%");
    ASSERT_FALSE(models.empty());
    const auto install = Values(models[0], "%KrvDlc.Description%");
    ASSERT_EQ(install.size(), 2u);
    EXPECT_EQ(install[1], "KRVDLC") << "the component id users and scripts install by";

    // Directives whose values are section names, in every section that carries them.
    const std::vector<std::string> sectionDirectives = {"AddReg", "CopyFiles", "DelFiles"};
    std::vector<std::string> named = {models[0], install[0], install[0] + ".Services",
                                      install[0] + ".Remove", install[0] + ".Remove.Services"};
    for (const auto &[section, lines] : inf_) {
        for (const auto &line : lines) {
            for (const auto &directive : sectionDirectives) {
                if (Lower(line.key) == Lower(directive)) {
                    named.insert(named.end(), line.values.begin(), line.values.end());
                }
            }
            if (Lower(line.key) == "addservice") {
                ASSERT_GE(line.values.size(), 4u) << "AddService on line " << line.number;
                named.push_back(line.values[2]);   // service install section
                named.push_back(line.values[3]);   // event-log install section
            }
        }
    }
    for (const auto &name : named) EXPECT_TRUE(HasSection(name)) << "[" << name << "] is named but missing";

    // Every %token% has a [Strings] entry, except %N% directory ids and %% escapes.
    std::map<std::string, bool> strings;
    for (const auto &line : Section("Strings")) strings[Lower(line.key)] = true;
    for (const auto &[section, lines] : inf_) {
        for (const auto &line : lines) {
            std::vector<std::string> texts = line.values;
            texts.push_back(line.key);
            for (const auto &text : texts) {
                for (size_t at = text.find('%'); at != std::string::npos;) {
                    const size_t end = text.find('%', at + 1);
                    ASSERT_NE(end, std::string::npos) << "unpaired % on line " << line.number;
                    const std::string token = text.substr(at + 1, end - at - 1);
                    const bool directoryId =
                        !token.empty() && std::all_of(token.begin(), token.end(), ::isdigit);
                    if (!token.empty() && !directoryId) {
                        EXPECT_TRUE(strings[Lower(token)]) << "%" << token << "% undefined, line " << line.number;
                    }
                    at = text.find('%', end + 1);
                }
            }
        }
    }
}

TEST_F(InfTest, ServiceAndEventLogEntries) {
    EXPECT_EQ(Values("Version", "Class"), std::vector<std::string>{"NetTrans"});
    EXPECT_EQ(Lower(Values("Version", "ClassGUID").at(0)), "{4d36e975-e325-11ce-bfc1-08002be10318}");

    const auto service = Values("KrvDlc.Install.Services", "AddService");
    ASSERT_GE(service.size(), 4u);
    EXPECT_EQ(service[0], "KRVDLC") << "the service name is the registry key the driver reads TraceLevel under";
    EXPECT_EQ(Registry("KrvDlc.Ndi.AddReg", "Ndi", "Service").at(4), "KRVDLC");

    const std::string &svc = service[2];
    EXPECT_EQ(Values(svc, "ServiceType").at(0), "1") << "kernel driver";
    EXPECT_EQ(Values(svc, "StartType").at(0), "3") << "demand start";
    EXPECT_EQ(Lower(Values(svc, "ServiceBinary").at(0)), "%12%\\krvdlc.sys");
    const auto traceLevel = Registry(Values(svc, "AddReg").at(0), "Parameters", "TraceLevel");
    EXPECT_EQ(std::stoul(traceLevel.at(3), nullptr, 0) & 0xFFFF0001u, 0x00010001u) << "TraceLevel is a DWORD";

    const std::string eventLog = Values(service[3], "AddReg").at(0);
    const auto messageFile = Registry(eventLog, "", "EventMessageFile");
    EXPECT_EQ(std::stoul(messageFile.at(3), nullptr, 0), 0x00020000u) << "REG_EXPAND_SZ";
    EXPECT_EQ(Lower(messageFile.at(4)), "%%systemroot%%\\system32\\drivers\\krvdlc.sys");
    EXPECT_EQ(std::stoul(Registry(eventLog, "", "TypesSupported").at(4), nullptr, 0), 7u);

    const auto lower = Lower(Registry("KrvDlc.Ndi.AddReg", "Ndi\\Interfaces", "LowerRange").at(4));
    for (const char *media : {"ethernet", "tokenring", "ndis5"}) {
        EXPECT_NE(lower.find(media), std::string::npos) << "LowerRange lacks " << media;
    }
}

TEST_F(InfTest, FilesMatchTheBuiltImage) {
    const std::filesystem::path folder = std::filesystem::path(ImagePath()).parent_path();
    std::map<std::string, bool> onDisk;
    for (const auto &line : Section("SourceDisksFiles")) onDisk[Lower(line.key)] = true;
    for (const auto &line : Section(Values("KrvDlc.Install", "CopyFiles").at(0))) {
        const std::string file = line.values.at(0);
        EXPECT_TRUE(onDisk[Lower(file)]) << file << " is copied but not in [SourceDisksFiles]";
        EXPECT_TRUE(std::filesystem::exists(folder / file)) << file << " is not beside the INF in " << folder;
    }

    // DriverVer's version is the image's: users compare the two in Device Manager.
    const auto driverVer = Values("Version", "DriverVer");
    ASSERT_EQ(driverVer.size(), 2u);
    const auto resources = pe::read_resources(image());
    const pe::Resource *version =
        pe::find_resource(resources, pe::ResourceId::of(pe::kResourceTypeVersion), pe::ResourceId::of(1), 0x0409);
    ASSERT_NE(version, nullptr);
    const auto strings = pe::parse_version_info(pe::ByteView(version->data)).string_tables.at("040904B0");
    EXPECT_EQ(driverVer[1], strings.at("FileVersion"));
    EXPECT_EQ(Lower(strings.at("OriginalFilename")), "krvdlc.sys");
}

}  // namespace
}  // namespace krvdlc::image_test
