// The registry: ZwOpenKey and ZwQueryValueKey as the platform answers them.
#include "tests/sim/kernel_test_support.h"

#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/irql.h"
#include "sim/registry.h"

#include <cstring>

namespace sim::test {
namespace {

constexpr char kParameters[] =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRVDLC\\Parameters";
constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

class KernelRegistry : public ::testing::Test {
protected:
    NTSTATUS Open(std::u16string path, HANDLE *key, ACCESS_MASK access = KEY_READ,
                  HANDLE root = nullptr)
    {
        CountedName name(std::move(path));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), 0, root, nullptr);
        return ZwOpenKey(key, access, &attributes);
    }

    NTSTATUS OpenParameters(HANDLE *key)
    {
        return Open(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRVDLC\\Parameters", key);
    }

    NTSTATUS Query(HANDLE key, std::u16string value, void *buffer, ULONG length, ULONG *result)
    {
        CountedName name(std::move(value));
        return ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer, length, result);
    }

    Machine machine_;
};

struct LengthCase {
    ULONG length;
    NTSTATUS status;
    bool headerFilled;
    bool dataFilled;
};

TEST_F(KernelRegistry, PartialInformationByBufferLength)
{
    machine_.registry().SetDword(kParameters, "TraceLevel", 0x44);
    machine_.registry().SetValue(kParameters, "Empty", REG_BINARY, {});
    HANDLE key = nullptr;
    ASSERT_EQ(OpenParameters(&key), STATUS_SUCCESS);
    const LengthCase cases[] = {
        {0, STATUS_BUFFER_TOO_SMALL, false, false},
        {kHeader - 1, STATUS_BUFFER_TOO_SMALL, false, false},
        {kHeader, STATUS_BUFFER_OVERFLOW, true, false},
        {kHeader + 3, STATUS_BUFFER_OVERFLOW, true, false},
        {kHeader + 4, STATUS_SUCCESS, true, true},
        {64, STATUS_SUCCESS, true, true},
    };
    for (const LengthCase &c : cases) {
        SCOPED_TRACE(c.length);
        uint8_t buffer[64];
        std::memset(buffer, 0xEE, sizeof buffer);
        ULONG result = 0;
        EXPECT_EQ(Query(key, u"TraceLevel", buffer, c.length, &result), c.status);
        EXPECT_EQ(result, kHeader + 4);
        KEY_VALUE_PARTIAL_INFORMATION header;
        std::memcpy(&header, buffer, kHeader);
        if (c.headerFilled) {
            EXPECT_EQ(header.TitleIndex, 0u);
            EXPECT_EQ(header.Type, ULONG(REG_DWORD));
            EXPECT_EQ(header.DataLength, 4u);
        } else {
            EXPECT_EQ(buffer[0], 0xEE);
        }
        uint32_t data;
        std::memcpy(&data, buffer + kHeader, sizeof data);
        EXPECT_EQ(data, c.dataFilled ? 0x44u : 0xEEEEEEEEu);
    }
    // A value without data fits in the header alone.
    uint8_t buffer[kHeader];
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"Empty", buffer, kHeader, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, kHeader);
    ZwClose(key);
}

// Names match without regard to case; a missing value leaves the result length alone
// and appears to an open handle once it is set.
TEST_F(KernelRegistry, NamesAndMissingValues)
{
    machine_.registry().SetString(kParameters, "AdapterName", "Eth0");
    HANDLE key = nullptr;
    ASSERT_EQ(Open(u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\krvdlc\\PARAMETERS", &key),
              STATUS_SUCCESS);
    uint8_t buffer[64];
    ULONG result = 0;
    ASSERT_EQ(Query(key, u"adaptername", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, kHeader + 10);    // "Eth0" and its terminator
    EXPECT_EQ(std::memcmp(buffer + kHeader, u"Eth0", 10), 0);
    result = 12345;
    EXPECT_EQ(Query(key, u"TraceLevel", nullptr, 0, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 12345u);
    machine_.registry().SetDword(kParameters, "TraceLevel", 3);
    EXPECT_EQ(Query(key, u"TraceLevel", nullptr, 0, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, kHeader + 4);
    ZwClose(key);
}

TEST_F(KernelRegistry, OpenErrors)
{
    machine_.registry().CreateKey(kParameters);
    HANDLE key = reinterpret_cast<HANDLE>(0x77);
    struct Case {
        std::u16string path;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\NOSUCH\\Parameters",
         STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRVDLC\\Parameters\\Deeper",
         STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Device\\KRVDLC", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\\\System", STATUS_OBJECT_NAME_INVALID},
        {u"Registry\\Machine", kStatusObjectPathSyntaxBad},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(NarrowName(c.path));
        EXPECT_EQ(Open(c.path, &key), c.status);
        EXPECT_EQ(key, reinterpret_cast<HANDLE>(0x77));
    }
    OBJECT_ATTRIBUTES unset{};
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &unset), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine_.registry().OpenCount(), 0u);
}

TEST_F(KernelRegistry, RelativeOpenAccessAndDeletedKeys)
{
    machine_.registry().SetDword(kParameters, "TraceLevel", 7);
    HANDLE services = nullptr, parameters = nullptr, noQuery = nullptr;
    ASSERT_EQ(Open(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services", &services), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"krvdlc\\parameters", &parameters, KEY_READ, services), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"KRVDLC\\Parameters", &noQuery, KEY_ENUMERATE_SUB_KEYS, services), STATUS_SUCCESS);
    ULONG result = 0;
    EXPECT_EQ(Query(noQuery, u"TraceLevel", nullptr, 0, &result), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryValueKey(parameters, nullptr, KeyValueFullInformation, nullptr, 0, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(machine_.registry().DeleteKey("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRVDLC"));
    EXPECT_EQ(Query(parameters, u"TraceLevel", nullptr, 0, &result), kStatusKeyDeleted);
    EXPECT_FALSE(machine_.registry().KeyExists(kParameters));
    for (HANDLE handle : {services, parameters, noQuery})
        ZwClose(handle);
}

TEST(KernelRegistryDeathTest, VerifierRules)
{
    ExpectStops({
        {"key handle left open at unload",
         [](Machine &machine) {
             CountedName name(u"\\Registry\\Machine\\Software");
             OBJECT_ATTRIBUTES attributes;
             InitializeObjectAttributes(&attributes, name.get(), 0, nullptr, nullptr);
             HANDLE key;
             ZwOpenKey(&key, KEY_READ, &attributes);
             machine.CheckNothingLeftBehind();
         },
         Literal("Rule: driver unloaded with a kernel handle still open (Key)")},
    });
}

}  // namespace
}  // namespace sim::test
