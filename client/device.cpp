// device.cpp - the adapter's own device-control requests: MAC address, medium, reset and
// the DSAP check switch.
#include "client/internal.h"

using namespace krvdlc::client;

namespace {

krvdlc_result Control(krvdlc_adapter *adapter, const char *operation, krvdlc_u32 code, const void *input,
                      krvdlc_u32 inputSize, void *output, krvdlc_u32 outputSize, port::DWORD *bytes,
                      krvdlc_error *error)
{
    if (adapter == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, "KRVDLC", operation, "no adapter (NULL)");
    Request request;
    request.code = code;
    request.input = input;
    request.inputSize = inputSize;
    request.output = output;
    request.outputSize = outputSize;
    Outcome outcome = Carry(adapter->device, request, port::kInfinite);
    if (!outcome.ok)
        return ReportFailure(error, adapter, operation, outcome);
    if (bytes != nullptr)
        *bytes = outcome.bytes;
    return Succeed(error);
}

}  // namespace

extern "C" {

krvdlc_result KRVDLC_CALL krvdlc_get_mac_address(krvdlc_adapter *adapter, krvdlc_u8 address[KRVDLC_MAC_SIZE],
                                                 krvdlc_error *error)
{
    if (address == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "get MAC address", "no place for it");
    port::DWORD bytes = 0;
    krvdlc_result result = Control(adapter, "get MAC address", kIoctlGetMacAddress, nullptr, 0, address,
                                   KRVDLC_MAC_SIZE, &bytes, error);
    if (result == KRVDLC_OK && bytes != KRVDLC_MAC_SIZE)
        return Report(error, KRVDLC_E_IO, 0, Subject(adapter), "get MAC address",
                      "the adapter returned " + std::to_string(bytes) + " bytes instead of 6");
    return result;
}

krvdlc_result KRVDLC_CALL krvdlc_get_medium(krvdlc_adapter *adapter, krvdlc_medium *medium, krvdlc_error *error)
{
    if (medium == nullptr)
        return Report(error, KRVDLC_E_INVALID_ARGUMENT, 0, Subject(adapter), "get medium", "no place for it");
    krvdlc_u32 value = 0;
    port::DWORD bytes = 0;
    krvdlc_result result =
        Control(adapter, "get medium", kIoctlGetMedium, nullptr, 0, &value, sizeof value, &bytes, error);
    if (result != KRVDLC_OK)
        return result;
    if (bytes != sizeof value || (value != KRVDLC_MEDIUM_ETHERNET && value != KRVDLC_MEDIUM_TOKEN_RING))
        return Report(error, KRVDLC_E_NOT_SUPPORTED, 0, Subject(adapter), "get medium",
                      "the adapter's medium " + std::to_string(value) + " is neither 802.3 nor 802.5");
    *medium = static_cast<krvdlc_medium>(value);
    return result;
}

krvdlc_result KRVDLC_CALL krvdlc_reset(krvdlc_adapter *adapter, krvdlc_error *error)
{
    return Control(adapter, "reset", kIoctlReset, nullptr, 0, nullptr, 0, nullptr, error);
}

krvdlc_result KRVDLC_CALL krvdlc_set_dsap_check(krvdlc_adapter *adapter, int on, krvdlc_error *error)
{
    krvdlc_u8 value = on ? 1 : 0;
    return Control(adapter, on ? "DSAP check on" : "DSAP check off", kIoctlCheckDsap, &value, 1, nullptr, 0,
                   nullptr, error);
}

}  // extern "C"
