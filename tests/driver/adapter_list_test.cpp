// The adapter list as user mode reads it (IOCTL_KRVDLC_ENUM_ADAPTERS on \\.\KRVDLC) and
// as KrvDlcGetAdapterList writes it.
#include "tests/support/driver_test_support.h"

namespace krvdlc::test {
namespace {

using AdapterList_ = LoadedDriver;

constexpr uint8_t kCanary = 0xA5;

// KrvDlcGetAdapterList into a buffer of `length` bytes with a canary after it.
struct DirectList {
    NTSTATUS status;
    ULONG dataLength;
    std::vector<uint8_t> bytes;   // length + 8 canary bytes
};

DirectList ListDirectly(ULONG length)
{
    DirectList out{0, 0xFFFFFFFF, std::vector<uint8_t>(length + 8, kCanary)};
    out.status = DRIVER_SYMBOL(KrvDlcGetAdapterList)(out.bytes.data(), length, &out.dataLength);
    return out;
}

// The adapter list bytes for (instance name, file name) pairs in list order.
std::vector<uint8_t> ListBytes(const std::vector<std::pair<std::u16string, std::u16string>> &adapters)
{
    std::vector<uint8_t> bytes = Le32(static_cast<uint32_t>(adapters.size()));
    auto put = [&](const std::u16string &text) {
        for (char16_t c : text + u'\0') {
            bytes.push_back(static_cast<uint8_t>(c & 0xFF));
            bytes.push_back(static_cast<uint8_t>(c >> 8));
        }
    };
    for (const auto &[instance, file] : adapters) {
        put(instance);
        put(file);
    }
    put(u"");
    return bytes;
}

TEST_F(AdapterList_, IsListedInBindOrderByteForByte)
{
    // Added in one order, bound in another: the list follows the binds.
    sim::Adapter &second = Add(u"{BBBB}");
    sim::Adapter &nameless = Add(u"{NONAME}", NdisMedium802_5, std::nullopt, false);
    sim::Adapter &first = Add(u"{AAAA}");
    ASSERT_EQ(first.Bind(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(second.Bind(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(nameless.Bind(), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(Traced("Bound AdapterName: "));
    ndis().IndicateBindsComplete();

    // No instance name: an empty string, a lone 16-bit zero.
    const auto expected = ListBytes({{u"Adapter {AAAA}", FileNameOf(u"{AAAA}")},
                                     {u"Adapter {BBBB}", FileNameOf(u"{BBBB}")},
                                     {u"", FileNameOf(u"{NONAME}")}});
    const ULONG size = static_cast<ULONG>(expected.size());

    const struct {
        const char *what;
        ULONG length;
        NTSTATUS status;
    } rows[] = {
        {"roomy", size + 40, STATUS_SUCCESS},
        {"exact", size, STATUS_SUCCESS},
        {"one byte short", size - 1, STATUS_BUFFER_TOO_SMALL},
        {"none", 0, STATUS_BUFFER_TOO_SMALL},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        DirectList direct = ListDirectly(row.length);
        EXPECT_EQ(direct.status, row.status);
        EXPECT_EQ(direct.dataLength, size);
        std::vector<uint8_t> want(row.length + 8, kCanary);
        if (row.status == STATUS_SUCCESS)
            std::copy(expected.begin(), expected.end(), want.begin());
        EXPECT_EQ(direct.bytes, want);

        std::vector<uint8_t> buffer(row.length + 8, kCanary);
        DeviceHandle control = host().Open(KRVDLC_CONTROL_FILE_NAME);
        IoOutcome got = control.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, nullptr, 0, buffer.data(),
                                        row.length);
        EXPECT_EQ(got.status, row.status);
        if (row.status == STATUS_SUCCESS) {
            EXPECT_TRUE(got.ok);
            EXPECT_EQ(got.bytes, size);
        } else {
            EXPECT_EQ(got.error, sim::win32::ERROR_INSUFFICIENT_BUFFER);
        }
        EXPECT_EQ(buffer, want);
    }
    EXPECT_TRUE(Traced("Adapters available: 3"));
}

TEST_F(AdapterList_, EmptyListIsSixBytes)
{
    ndis().IndicateBindsComplete();
    std::vector<uint8_t> buffer(16, kCanary);
    IoOutcome got = Enumerate(buffer);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.bytes, 6u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 6), ListBytes({}));

    DirectList tooSmall = ListDirectly(5);
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.dataLength, 6u);
    EXPECT_EQ(tooSmall.bytes, std::vector<uint8_t>(13, kCanary));
    EXPECT_TRUE(Traced("Adapters available: 0"));
}

TEST_F(AdapterList_, UnboundAdapterLeavesTheList)
{
    sim::Adapter &first = Add(u"{ONE}");
    sim::Adapter &second = Add(u"{TWO}");
    ASSERT_EQ(first.Bind(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(second.Bind(), NDIS_STATUS_SUCCESS);
    ndis().IndicateBindsComplete();
    ASSERT_EQ(first.Unbind(), NDIS_STATUS_SUCCESS);

    const auto expected = ListBytes({{u"Adapter {TWO}", FileNameOf(u"{TWO}")}});
    std::vector<uint8_t> buffer(expected.size());
    IoOutcome got = Enumerate(buffer);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.bytes, expected.size());
    EXPECT_EQ(buffer, expected);

    // Bound again, it goes to the end of the list.
    ASSERT_EQ(first.Bind(), NDIS_STATUS_SUCCESS);
    const auto again = ListBytes({{u"Adapter {TWO}", FileNameOf(u"{TWO}")},
                                  {u"Adapter {ONE}", FileNameOf(u"{ONE}")}});
    DirectList direct = ListDirectly(static_cast<ULONG>(again.size()));
    EXPECT_EQ(direct.status, STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(direct.bytes.begin(), direct.bytes.begin() + again.size()), again);
}

}  // namespace
}  // namespace krvdlc::test
