// ioctl_test.cpp - device control: the OID buffer rules and NDIS outcomes, MAC address and
// medium, resets, the DSAP switch, refusals by device, INT3 and the open's own request.
#include "tests/support/driver_test_support.h"

namespace krvdlc::test {
namespace {

constexpr char16_t kGuid[] = u"{5A0C1D2E-0002-4000-8000-00000000B001}";
constexpr char16_t kGuidTr[] = u"{5A0C1D2E-0002-4000-8000-00000000B002}";
constexpr NDIS_OID kTestOid = 0xFF010203;     // a vendor object the tests give the adapter

// A KRVDLC_OID_BUFFER of `size` bytes; the data area is filled with a pattern.
std::vector<uint8_t> OidBuffer(uint32_t oid, uint32_t length, size_t size)
{
    std::vector<uint8_t> buffer(size);
    for (size_t i = 0; i < size; i++)
        buffer[i] = static_cast<uint8_t>(0xC0 + i);
    auto o = Le32(oid), l = Le32(length);
    std::copy(o.begin(), o.end(), buffer.begin());
    std::copy(l.begin(), l.end(), buffer.begin() + 4);
    return buffer;
}

using IoctlTest = OpenAdapterTest;

struct OidCase {
    const char *name;
    uint32_t size;            // buffer bytes
    uint32_t inputLength;
    uint32_t outputLength;
    uint32_t length;          // the Length field
    size_t objectSize;        // bytes of kTestOid's value
    bool reachesNdis;
    NTSTATUS status;
    uint32_t lengthAfter;     // Length field after success
};

// Input and output lengths equal, at least 12, Length at most the size less 11.
TEST_F(IoctlTest, OidBufferSizeRules)
{
    const OidCase cases[] = {
        {"16 bytes, Length 5", 16, 16, 16, 5, 4, true, STATUS_SUCCESS, 4},
        {"16 bytes, Length 6", 16, 16, 16, 6, 4, false, STATUS_UNSUCCESSFUL, 0},
        {"12 bytes, Length 1", 12, 12, 12, 1, 1, true, STATUS_SUCCESS, 1},
        {"12 bytes, Length 2", 12, 12, 12, 2, 1, false, STATUS_UNSUCCESSFUL, 0},
        {"12 bytes, Length 0", 12, 12, 12, 0, 0, true, STATUS_SUCCESS, 0},
        {"11 bytes", 11, 11, 11, 0, 0, false, STATUS_UNSUCCESSFUL, 0},
        {"input below output", 24, 16, 24, 4, 4, false, STATUS_UNSUCCESSFUL, 0},
        {"output below input", 24, 24, 16, 4, 4, false, STATUS_UNSUCCESSFUL, 0},
        {"Length far too big", 64, 64, 64, 0xFFFFFFF0u, 4, false, STATUS_UNSUCCESSFUL, 0},
        {"64 bytes, Length 53", 64, 64, 64, 53, 40, true, STATUS_SUCCESS, 40},
    };
    for (const OidCase &c : cases) {
        SCOPED_TRACE(c.name);
        driver_.ClearLog();
        std::vector<uint8_t> value(c.objectSize);
        for (size_t i = 0; i < value.size(); i++)
            value[i] = static_cast<uint8_t>(0x30 + i);
        adapter_->SetObject(kTestOid, value);
        size_t requestsBefore = adapter_->Requests().size();

        std::vector<uint8_t> input = OidBuffer(kTestOid, c.length, c.size);
        OverlappedCall call(handle_.get());
        call.ControlInPlace(IOCTL_KRVDLC_QUERY_OID, input, c.inputLength, c.outputLength);
        ASSERT_TRUE(call.Wait());
        EXPECT_TRUE(call.Pended());
        EXPECT_EQ(call.Status(), c.status);

        auto requests = adapter_->Requests();
        ASSERT_EQ(requests.size(), requestsBefore + (c.reachesNdis ? 1 : 0));
        if (c.reachesNdis) {
            EXPECT_EQ(requests.back().type, NdisRequestQueryInformation);
            EXPECT_EQ(requests.back().oid, kTestOid);
            EXPECT_EQ(requests.back().informationBufferLength, c.length);
        }
        if (c.status == STATUS_SUCCESS) {
            // The whole buffer comes back, Length replaced by what NDIS wrote.
            std::vector<uint8_t> expected = input;
            auto l = Le32(c.lengthAfter);
            std::copy(l.begin(), l.end(), expected.begin() + 4);
            std::copy(value.begin(), value.end(), expected.begin() + 8);
            EXPECT_EQ(call.Output(), expected);
            EXPECT_EQ(call.Bytes(), c.inputLength);
            EXPECT_TRUE(driver_.Entries().empty());
        } else {
            auto entries = driver_.EntriesWith(EVENT_DRIVER_WARNING,
                                               "External NDIS request failed.  Status = ");
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].dump, Le32(STATUS_UNSUCCESSFUL));
            EXPECT_EQ(driver_.CountLines("External NDIS request failed.  Status = 0xC0000001"), 1u);
        }
    }
}

TEST_F(IoctlTest, SetOidReturnsBytesReadInLength)
{
    adapter_->SetObject(kTestOid, {0, 0, 0, 0});
    std::vector<uint8_t> input = OidBuffer(kTestOid, 3, 20);
    OverlappedCall call(handle_.get());
    call.ControlInPlace(IOCTL_KRVDLC_SET_OID, input, 20, 20);
    ASSERT_TRUE(call.Wait());
    EXPECT_EQ(call.Status(), STATUS_SUCCESS);
    EXPECT_EQ(call.Bytes(), 20u);
    EXPECT_EQ(ReadLe32(call.Output().data() + 4), 3u);
    EXPECT_EQ(adapter_->Object(kTestOid), std::vector<uint8_t>(input.begin() + 8, input.begin() + 11));
    EXPECT_EQ(adapter_->Requests().back().type, NdisRequestSetInformation);
}

struct NdisFailureCase {
    const char *name;
    uint32_t code;
    sim::Script script;
    bool removeObject;
    NDIS_STATUS expected;
};

// NDIS's own status reaches user mode, whenever NDIS gives it.
TEST_F(IoctlTest, NdisFailuresPassThroughAsTheNdisStatus)
{
    const NdisFailureCase cases[] = {
        {"unknown object", IOCTL_KRVDLC_QUERY_OID, {}, true, NDIS_STATUS_INVALID_OID},
        {"set of unknown object", IOCTL_KRVDLC_SET_OID, {}, true, NDIS_STATUS_INVALID_OID},
        {"dpc failure", IOCTL_KRVDLC_QUERY_OID, {sim::CompletionMode::Dpc, NDIS_STATUS_FAILURE},
         false, NDIS_STATUS_FAILURE},
        {"held failure", IOCTL_KRVDLC_SET_OID,
         {sim::CompletionMode::Held, NDIS_STATUS_NOT_SUPPORTED}, false, NDIS_STATUS_NOT_SUPPORTED},
        {"immediate length", IOCTL_KRVDLC_QUERY_OID,
         {sim::CompletionMode::Immediate, NDIS_STATUS_INVALID_LENGTH}, false,
         NDIS_STATUS_INVALID_LENGTH},
    };
    for (const NdisFailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        driver_.ClearLog();
        if (c.removeObject)
            adapter_->RemoveObject(kTestOid);
        else
            adapter_->SetObject(kTestOid, {1, 2});
        adapter_->ScriptNext(sim::NdisOperation::Request, c.script);
        OverlappedCall call(handle_.get());
        call.ControlInPlace(c.code, OidBuffer(kTestOid, 4, 16), 16, 16);
        if (c.script.mode == sim::CompletionMode::Held) {
            EXPECT_FALSE(call.Wait(20));
            ASSERT_TRUE(adapter_->ReleasePending(sim::NdisOperation::Request));
        }
        ASSERT_TRUE(call.Wait());
        IoOutcome outcome = call.Result();
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.status, c.expected);
        if ((c.expected & 0xFFFF0000u) == 0xC0010000u) {
            EXPECT_EQ(outcome.error, w::ERROR_MR_MID_NOT_FOUND);
        }
        EXPECT_EQ(driver_.CountLines("External NDIS request failed.  Status = " + Hex8(c.expected)),
                  1u);
        auto entries =
            driver_.EntriesWith(EVENT_DRIVER_WARNING, "External NDIS request failed.  Status = ");
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].dump, Le32(c.expected));
        auto completions = driver_.machine().io().Completions();
        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0].information, 0u);
    }
}

// One Ethernet and one Token Ring adapter: the address and the medium each answers.
TEST(IoctlAddressTest, MacAddressAndMediumFollowTheMedium)
{
    const sim::MacAddress ether = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    const sim::MacAddress ring = {0x40, 0x00, 0x12, 0x34, 0x56, 0x78};
    const struct {
        NDIS_MEDIUM medium;
        uint32_t outputLength;
        NTSTATUS status;
        NDIS_OID oid;
    } cases[] = {
        {NdisMedium802_3, 6, STATUS_SUCCESS, OID_802_3_CURRENT_ADDRESS},
        {NdisMedium802_3, 64, STATUS_SUCCESS, OID_802_3_CURRENT_ADDRESS},
        {NdisMedium802_3, 5, NDIS_STATUS_INVALID_LENGTH, OID_802_3_CURRENT_ADDRESS},
        {NdisMedium802_5, 6, STATUS_SUCCESS, OID_802_5_CURRENT_ADDRESS},
        {NdisMedium802_5, 0, NDIS_STATUS_INVALID_LENGTH, OID_802_5_CURRENT_ADDRESS},
    };
    DriverHost driver(0x83);
    sim::Adapter &e = driver.AddBound(kGuid, NdisMedium802_3, ether);
    sim::Adapter &t = driver.AddBound(kGuidTr, NdisMedium802_5, ring);
    driver.BindsComplete();
    DeviceHandle eh = driver.OpenAdapter(e), th = driver.OpenAdapter(t);

    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.medium << "/" << c.outputLength);
        driver.ClearLog();
        bool isEther = c.medium == NdisMedium802_3;
        sim::Adapter &adapter = isEther ? e : t;
        const sim::MacAddress &address = isEther ? ether : ring;
        OverlappedCall call(isEther ? eh.get() : th.get());
        call.Control(IOCTL_KRVDLC_GET_MAC_ADDRESS, {}, c.outputLength);
        ASSERT_TRUE(call.Wait());
        EXPECT_EQ(call.Status(), c.status);
        EXPECT_EQ(adapter.Requests().back().oid, c.oid);
        EXPECT_EQ(adapter.Requests().back().informationBufferLength, c.outputLength);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(call.Bytes(), 6u);
            EXPECT_TRUE(std::equal(address.begin(), address.end(), call.Output().begin()));
            EXPECT_EQ(driver.CountLines("MAC address retrieved: " + HexDump(address.data(), 6)), 1u);
        }
    }
    WriteNoFence(&DRIVER_SYMBOL(TraceLevel), kTraceAll);
    const struct {
        NDIS_MEDIUM medium;
        uint32_t outputLength;
        NTSTATUS status;
        const char *line;
    } mediumCases[] = {
        {NdisMedium802_3, 8, STATUS_SUCCESS, "Transmission medium is Ethernet."},
        {NdisMedium802_3, 4, STATUS_SUCCESS, "Transmission medium is Ethernet."},
        {NdisMedium802_5, 4, STATUS_SUCCESS, "Transmission medium is Token Ring."},
        {NdisMedium802_3, 3, STATUS_INSUFFICIENT_RESOURCES,
         "** Insufficient buffer length for medium: 3"},
        {NdisMedium802_5, 0, STATUS_INSUFFICIENT_RESOURCES,
         "** Insufficient buffer length for medium: 0"},
    };
    for (const auto &c : mediumCases) {
        SCOPED_TRACE(c.line);
        driver.ClearLog();
        OverlappedCall call(c.medium == NdisMedium802_3 ? eh.get() : th.get());
        call.Control(IOCTL_KRVDLC_GET_MEDIUM, {}, c.outputLength);
        ASSERT_TRUE(call.Wait());
        EXPECT_TRUE(call.Pended());
        EXPECT_EQ(call.Status(), c.status);
        EXPECT_EQ(driver.CountLines(c.line), 1u);
        auto completions = driver.machine().io().Completions();
        ASSERT_EQ(completions.size(), 1u);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(completions[0].information, 4u);
            EXPECT_EQ(ReadLe32(call.Output().data()), static_cast<uint32_t>(c.medium));
            if (c.outputLength > 4) {
                EXPECT_EQ(call.Output()[4], 0xEE);
            }
            EXPECT_TRUE(driver.Entries().empty());
        } else {
            EXPECT_EQ(completions[0].information, 0u);
            auto entries = driver.EntriesWith(EVENT_DRIVER_ERROR,
                                              "** Insufficient buffer length for medium: ");
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entries[0].dump, Le32(c.outputLength));
        }
    }
    eh.Close();
    th.Close();
    driver.Unload();
}

// Codes that need a bound adapter device, on the control device, on an adapter device
// whose unbind has begun, and unknown codes on a bound one.
TEST_F(IoctlTest, RefusalsByDevice)
{
    const uint32_t adapterCodes[] = {IOCTL_KRVDLC_SET_OID,  IOCTL_KRVDLC_QUERY_OID,
                                     IOCTL_KRVDLC_RESET,    IOCTL_KRVDLC_CHECK_DSAP,
                                     IOCTL_KRVDLC_GET_MAC_ADDRESS, IOCTL_KRVDLC_GET_MEDIUM,
                                     0x80002010,            0x12345678};
    DeviceHandle control = driver_.OpenControl();
    for (uint32_t code : adapterCodes) {
        SCOPED_TRACE(Hex8(code));
        driver_.ClearLog();
        OverlappedCall call(control.get());
        call.ControlInPlace(code, OidBuffer(kTestOid, 1, 16), 16, 16);
        ASSERT_TRUE(call.Wait());
        EXPECT_EQ(call.Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(driver_.CountLinesStartingWith("IoIncrement:"), 0u);
        EXPECT_TRUE(driver_.Entries().empty());
    }
    // INT3 is answered on every device: here, and below on an adapter being unbound.
    driver_.ClearLog();
    OverlappedCall controlInt3(control.get());
    controlInt3.Control(IOCTL_KRVDLC_INT3, {}, 0);
    ASSERT_TRUE(controlInt3.Wait());
    EXPECT_EQ(controlInt3.Status(), STATUS_SUCCESS);
    EXPECT_EQ(driver_.CountLines("IOCTL_KRVDLC_INT3."), 1u);

    const uint32_t unknownCodes[] = {0x80002010, 0x80000000 | (0x822 << 2), 0x0022000C, 0};
    for (uint32_t code : unknownCodes) {
        SCOPED_TRACE(Hex8(code));
        driver_.ClearLog();
        OverlappedCall call(handle_.get());
        call.Control(code, {1, 2, 3, 4}, 4);
        ASSERT_TRUE(call.Wait());
        EXPECT_TRUE(call.Pended());
        EXPECT_EQ(call.Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(driver_.CountLines("Unhandled I/O control code: " + Hex8(code)), 1u);
        EXPECT_EQ(driver_.CountLines("Leaving KrvDlcIoControl"), 1u);
    }

    driver_.ClearLog();
    OverlappedCall enumerate(handle_.get());
    enumerate.Control(IOCTL_KRVDLC_ENUM_ADAPTERS, {}, 512);
    ASSERT_TRUE(enumerate.Wait());
    EXPECT_EQ(enumerate.Status(), STATUS_INVALID_DEVICE_REQUEST);
    driver_.ExpectReported(EVENT_DRIVER_WARNING, "Request to enumerate adapters must be issued to KRVDLC");

    {
        UnbindInProgress unbind(driver_, *adapter_, handle_.get());
        size_t requestsBefore = adapter_->Requests().size();
        for (uint32_t code : adapterCodes) {
            SCOPED_TRACE(Hex8(code));
            driver_.ClearLog();
            OverlappedCall call(handle_.get());
            call.ControlInPlace(code, OidBuffer(kTestOid, 1, 16), 16, 16);
            ASSERT_TRUE(call.Wait());
            EXPECT_EQ(call.Status(), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(driver_.CountLinesStartingWith("IoIncrement:"), 0u);
        }
        EXPECT_EQ(adapter_->Requests().size(), requestsBefore);
        EXPECT_EQ(adapter_->ResetCount(), 0u);

        driver_.ClearLog();
        OverlappedCall int3(handle_.get());
        int3.Control(IOCTL_KRVDLC_INT3, {}, 0);
        ASSERT_TRUE(int3.Wait());
        EXPECT_EQ(int3.Status(), STATUS_SUCCESS);
        EXPECT_EQ(driver_.CountLines("IOCTL_KRVDLC_INT3."), 1u);
        EXPECT_EQ(unbind.Finish(), NDIS_STATUS_SUCCESS);
    }
    control.Close();
}

struct DsapCase {
    std::vector<uint8_t> input;
    BOOLEAN before;
    NTSTATUS status;
    BOOLEAN after;
};

TEST_F(IoctlTest, CheckDsapSwitch)
{
    const DsapCase cases[] = {
        {{0x00}, TRUE, STATUS_SUCCESS, 0x00},
        {{0x01}, FALSE, STATUS_SUCCESS, 0x01},
        {{0x00, 0x01}, TRUE, STATUS_SUCCESS, 0x00},
        {{0xFF}, FALSE, STATUS_SUCCESS, 0xFF},
        {{}, TRUE, STATUS_INVALID_PARAMETER, TRUE},
        {{}, FALSE, STATUS_INVALID_PARAMETER, FALSE},
    };
    PADAPTER_CONTEXT context = driver_.Context(*adapter_);
    EXPECT_TRUE(context->CheckDSAP);   // on after every open
    for (const DsapCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.input.size() << "/" << int(c.before));
        context->CheckDSAP = c.before;
        OverlappedCall call(handle_.get());
        call.Control(IOCTL_KRVDLC_CHECK_DSAP, c.input, 0);
        ASSERT_TRUE(call.Wait());
        EXPECT_EQ(call.Status(), c.status);
        EXPECT_EQ(context->CheckDSAP, c.after);
    }
}

TEST_F(IoctlTest, ResetsCompleteOldestFirstAndEmptyTheReceiveQueue)
{
    PADAPTER_CONTEXT context = driver_.Context(*adapter_);
    context->CheckDSAP = FALSE;
    ASSERT_TRUE(adapter_->IndicateReceive(Numbered(1, 22)).has_value());
    ASSERT_TRUE(adapter_->IndicateReceive(Numbered(2, 22)).has_value());
    ASSERT_EQ(context->RxQueueCount, 2);

    adapter_->SetScript(sim::NdisOperation::Reset, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    OverlappedCall first(handle_.get()), second(handle_.get());
    first.Control(IOCTL_KRVDLC_RESET, {}, 0);
    second.Control(IOCTL_KRVDLC_RESET, {}, 0);
    EXPECT_TRUE(first.Pended());
    EXPECT_TRUE(second.Pended());
    ASSERT_EQ(adapter_->HeldCount(sim::NdisOperation::Reset), 2u);
    EXPECT_FALSE(first.Wait(20));

    // Whichever reset NDIS ends first, the oldest request is the one completed.
    ASSERT_TRUE(adapter_->ReleasePending(sim::NdisOperation::Reset, 1, NDIS_STATUS_FAILURE));
    ASSERT_TRUE(first.Wait());
    EXPECT_EQ(first.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(second.Done());
    // A failed reset drops the queued frames as well.
    EXPECT_EQ(context->RxQueueCount, 0);

    ASSERT_TRUE(adapter_->IndicateReceive(Numbered(3, 22)).has_value());
    ASSERT_TRUE(adapter_->ReleasePending(sim::NdisOperation::Reset, 0));
    ASSERT_TRUE(second.Wait());
    EXPECT_EQ(second.Status(), STATUS_SUCCESS);
    EXPECT_EQ(context->RxQueueCount, 0);

    // Immediate endings complete the request within the call, still pended.
    struct {
        NDIS_STATUS ndis;
        NTSTATUS status;
    } const immediate[] = {{NDIS_STATUS_SUCCESS, STATUS_SUCCESS},
                           {NDIS_STATUS_RESET_IN_PROGRESS, STATUS_UNSUCCESSFUL},
                           {NDIS_STATUS_FAILURE, STATUS_UNSUCCESSFUL}};
    for (const auto &c : immediate) {
        adapter_->ScriptNext(sim::NdisOperation::Reset, {sim::CompletionMode::Immediate, c.ndis});
        OverlappedCall call(handle_.get());
        call.Control(IOCTL_KRVDLC_RESET, {}, 0);
        EXPECT_TRUE(call.Pended());
        ASSERT_TRUE(call.Wait());
        EXPECT_EQ(call.Status(), c.status);
    }
    // The frame queued after the reset that was not yet done is gone too; a new one reads.
    ASSERT_TRUE(adapter_->IndicateReceive(Numbered(4, 22)).has_value());
    OverlappedCall read(handle_.get());
    read.Read(1514);
    ASSERT_TRUE(read.Wait());
    ASSERT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Output()[17], 4);
}

TEST_F(IoctlTest, ResetCompletionNobodyAskedForIsAWarning)
{
    DRIVER_SYMBOL(KrvDlcResetComplete)(driver_.Context(*adapter_), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(driver_.CountLines("**WARNING** Reset list is empty."), 1u);
    auto entries =
        driver_.EntriesWith(EVENT_DRIVER_WARNING, "**WARNING** Reset list is empty.\n");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].dump.empty());
    EXPECT_TRUE(driver_.machine().io().Completions().empty());
}

TEST(IoctlOpenTest, OpenWhosePacketFilterRequestPendsSucceeds)
{
    for (sim::CompletionMode mode : {sim::CompletionMode::Held, sim::CompletionMode::Dpc}) {
        DriverHost driver;
        sim::Adapter &adapter = driver.AddBound(kGuid);
        driver.BindsComplete();
        adapter.ScriptNext(sim::NdisOperation::Request, {mode, NDIS_STATUS_SUCCESS});
        DeviceHandle handle = driver.OpenAdapter(adapter);
        ASSERT_TRUE(handle.valid());
        if (mode == sim::CompletionMode::Held) {
            EXPECT_EQ(adapter.HeldCount(sim::NdisOperation::Request), 1u);
            EXPECT_EQ(driver.CountLinesStartingWith("Local request completed"), 0u);
            ASSERT_TRUE(adapter.ReleasePending(sim::NdisOperation::Request));
        }
        // The DPC thread may still be inside the completion handler: wait for its line.
        const std::string done = "Local request completed with Status = 0x00000000";
        for (int i = 0; i < 1000 && driver.CountLines(done) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(driver.CountLines(done), 1u);
        EXPECT_EQ(adapter.OutstandingCount(), 0u);
        EXPECT_EQ(adapter.PacketFilter(), NDIS_PACKET_TYPE_DIRECTED);
        handle.Close();
        // The leak checks of the unload find the request and its filter block freed.
        driver.Unload();
    }
}

}  // namespace
}  // namespace krvdlc::test
