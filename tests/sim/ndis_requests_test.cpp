// Queries, sets and resets against a simulated adapter's object table.
#include "tests/sim/ndis_test_protocol.h"

using namespace ndistest;

namespace {

constexpr NDIS_OID kCustomOid = 0x00020101;
constexpr NDIS_OID kUnknownOid = 0x0DEAD001;
using Bytes = std::vector<uint8_t>;

class NdisRequests : public NdisFixture, public ::testing::WithParamInterface<sim::CompletionMode> {};

TEST_P(NdisRequests, QueryAndSetFollowTheObjectTable)
{
    const Bytes mac(kStationA.begin(), kStationA.end());
    const struct {
        const char *what;
        NDIS_REQUEST_TYPE type;
        NDIS_OID oid;
        Bytes buffer;          // what the protocol passes; its size is the length
        NDIS_STATUS status;
        UINT done;             // BytesWritten or BytesRead
        UINT needed;
        Bytes answer;          // query: the buffer afterwards
        uint32_t filter;       // the adapter's packet filter afterwards
        Bytes custom;          // the custom object afterwards
    } rows[] = {
        {"query address", NdisRequestQueryInformation, OID_802_3_CURRENT_ADDRESS, Bytes(6), NDIS_STATUS_SUCCESS, 6, 0, mac, 0, {7}},
        {"query address, room to spare", NdisRequestQueryInformation, OID_802_3_CURRENT_ADDRESS, Bytes(6 + 2),
         NDIS_STATUS_SUCCESS, 6, 0, {2, 0, 0, 0, 0, 0x0A, 0, 0}, 0, {7}},
        {"query address, short buffer", NdisRequestQueryInformation, OID_802_3_CURRENT_ADDRESS, Bytes(5),
         NDIS_STATUS_INVALID_LENGTH, 0, 6, Bytes(5), 0, {7}},
        {"query unknown object", NdisRequestQueryInformation, kUnknownOid, Bytes(8), NDIS_STATUS_INVALID_OID, 0, 0, Bytes(8), 0, {7}},
        {"set filter", NdisRequestSetInformation, OID_GEN_CURRENT_PACKET_FILTER, {9, 0, 0, 0}, NDIS_STATUS_SUCCESS, 4, 0, {}, 9, {7}},
        {"set filter, 2 bytes", NdisRequestSetInformation, OID_GEN_CURRENT_PACKET_FILTER, {1, 0}, NDIS_STATUS_INVALID_LENGTH, 0, 4, {}, 0, {7}},
        {"set filter, 8 bytes", NdisRequestSetInformation, OID_GEN_CURRENT_PACKET_FILTER, Bytes(8, 1), NDIS_STATUS_INVALID_LENGTH, 0, 4, {}, 0, {7}},
        {"set read-only address", NdisRequestSetInformation, OID_802_3_CURRENT_ADDRESS, Bytes(6), NDIS_STATUS_NOT_SUPPORTED, 0, 0, {}, 0, {7}},
        {"set custom object", NdisRequestSetInformation, kCustomOid, {1, 2, 3}, NDIS_STATUS_SUCCESS, 3, 0, {}, 0, {1, 2, 3}},
        {"set unknown object", NdisRequestSetInformation, kUnknownOid, {1}, NDIS_STATUS_INVALID_OID, 0, 0, {}, 0, {7}},
        {"query statistics", NdisRequestQueryStatistics, OID_802_3_CURRENT_ADDRESS, Bytes(6), NDIS_STATUS_NOT_SUPPORTED, 0, 0, Bytes(6), 0, {7}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        // A fresh adapter per row, so every row starts from the same object table.
        std::u16string name = u"\\Device\\{" + std::u16string(1, static_cast<char16_t>(u'A' + (&row - rows))) + u"}";
        sim::Adapter &adapter = AddAdapter(name, kStationA);
        adapter.SetObject(kCustomOid, {7});
        adapter.SetScript(sim::NdisOperation::Request, {GetParam(), NDIS_STATUS_SUCCESS});
        TestBinding binding;
        ASSERT_EQ(Open(name.c_str(), binding), NDIS_STATUS_SUCCESS);

        Bytes buffer = row.buffer;
        NDIS_REQUEST request{};
        request.RequestType = row.type;
        auto &query = request.DATA.QUERY_INFORMATION;
        query.Oid = row.oid;
        query.InformationBuffer = buffer.data();
        query.InformationBufferLength = static_cast<UINT>(buffer.size());
        query.BytesWritten = query.BytesNeeded = 0xEEEE;
        NDIS_STATUS status;
        NdisRequest(&status, binding.handle, &request);
        if (GetParam() != sim::CompletionMode::Immediate) {
            EXPECT_EQ(status, NDIS_STATUS_PENDING);
            machine.dpcs().Drain();
            ASSERT_EQ(binding.requests.size(), 1u);
            EXPECT_EQ(binding.requests[0].subject, &request);
            status = binding.requests[0].status;
        }
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(query.BytesWritten, row.done);
        EXPECT_EQ(query.BytesNeeded, row.needed);
        if (row.type != NdisRequestSetInformation) {
            EXPECT_EQ(buffer, row.answer);
        }
        EXPECT_EQ(adapter.PacketFilter(), row.filter);
        EXPECT_EQ(adapter.Object(kCustomOid), row.custom);

        auto records = adapter.Requests();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].type, row.type);
        EXPECT_EQ(records[0].oid, row.oid);
        EXPECT_EQ(records[0].informationBufferLength, buffer.size());
        EXPECT_EQ(records[0].pended, GetParam() != sim::CompletionMode::Immediate);
        EXPECT_EQ(records[0].status, row.status);
        Close(binding);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, NdisRequests,
                         ::testing::Values(sim::CompletionMode::Immediate, sim::CompletionMode::Dpc));

using NdisRequestScripts = NdisFixture;

TEST_F(NdisRequestScripts, ScriptedFailureLeavesTheObjectAlone)
{
    sim::Adapter &adapter = AddAdapter(u"\\Device\\{E}");
    TestBinding binding;
    ASSERT_EQ(Open(u"\\Device\\{E}", binding), NDIS_STATUS_SUCCESS);
    uint32_t filter = NDIS_PACKET_TYPE_DIRECTED;
    NDIS_REQUEST set{};
    set.RequestType = NdisRequestSetInformation;
    set.DATA.SET_INFORMATION = {OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, 0xEEEE, 0xEEEE};
    adapter.ScriptNext(sim::NdisOperation::Request, {sim::CompletionMode::Held, NDIS_STATUS_FAILURE});
    NDIS_STATUS status;
    NdisRequest(&status, binding.handle, &set);
    EXPECT_EQ(status, NDIS_STATUS_PENDING);
    EXPECT_EQ(adapter.HeldCount(sim::NdisOperation::Request), 1u);
    EXPECT_TRUE(adapter.ReleasePending(sim::NdisOperation::Request));
    ASSERT_EQ(binding.requests.size(), 1u);
    EXPECT_EQ(binding.requests[0].status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(set.DATA.SET_INFORMATION.BytesRead, 0u);
    EXPECT_EQ(adapter.PacketFilter(), 0u);
    Close(binding);
}

TEST_F(NdisRequestScripts, ResetsCompleteInTheChosenOrderOrAtClose)
{
    sim::Adapter &adapter = AddAdapter(u"\\Device\\{E}");
    TestBinding binding;
    ASSERT_EQ(Open(u"\\Device\\{E}", binding), NDIS_STATUS_SUCCESS);
    NDIS_STATUS status;
    NdisReset(&status, binding.handle);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    adapter.SetScript(sim::NdisOperation::Reset, {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS});
    adapter.ScriptNext(sim::NdisOperation::Reset, {sim::CompletionMode::Held, NDIS_STATUS_FAILURE});
    for (int i = 0; i < 5; i++) {
        NdisReset(&status, binding.handle);
        EXPECT_EQ(status, NDIS_STATUS_PENDING);
    }
    EXPECT_EQ(adapter.ResetCount(), 6u);
    EXPECT_EQ(adapter.HeldCount(sim::NdisOperation::Reset), 5u);
    EXPECT_TRUE(adapter.ReleasePending(sim::NdisOperation::Reset, 2, NDIS_STATUS_RESOURCES));
    EXPECT_TRUE(adapter.ReleasePending(sim::NdisOperation::Reset, 0));
    EXPECT_FALSE(adapter.ReleasePending(sim::NdisOperation::Reset, 3));
    EXPECT_TRUE(adapter.ReleasePending(sim::NdisOperation::Reset, 0));
    const NDIS_STATUS order[] = {NDIS_STATUS_RESOURCES, NDIS_STATUS_FAILURE, NDIS_STATUS_SUCCESS};
    ASSERT_EQ(binding.resets.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_EQ(binding.resets[i].status, order[i]);   // third (overridden), first, second
    // The close completes the two still held before it ends.
    EXPECT_EQ(Close(binding), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(binding.resets.size(), 5u);
    EXPECT_EQ(adapter.OutstandingCount(), 0u);
}

}  // namespace
