// control_target.h - one fuzz input of device-control requests against KRVDLC.
//
// Each input gets a fresh machine: the driver loaded, one Ethernet adapter bound and its
// device open, the control device open. The input is a sequence of requests, each
//   byte 0     code: bits 0-2 pick one of the driver's eight codes, or, with bit 3 set,
//              the next four bytes are the code itself (little-endian)
//              bit 4: send it to the control device instead of the adapter device
//   byte 1     input length (0-255)
//   byte 2     output length (0-255)
//   then       the input bytes (as many as the input provides, the rest zero)
// Every request must complete (the simulated I/O manager stops a hung caller), return no
// more bytes than its output buffer holds, and leave the driver able to answer the
// medium request afterwards; closing, unbinding and unloading must then find nothing
// left behind (the machine's unload checks stop the process otherwise).
#pragma once

#include "tools/common/simulated_host.h"
#include "sim/io_manager.h"

#include "core/krvdlc_public.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace krvdlc::fuzz {

inline std::string RunControlInput(const uint8_t *data, size_t size)
{
    static constexpr uint32_t kCodes[] = {
        IOCTL_KRVDLC_SET_OID,      IOCTL_KRVDLC_QUERY_OID,       IOCTL_KRVDLC_RESET,
        IOCTL_KRVDLC_ENUM_ADAPTERS, IOCTL_KRVDLC_CHECK_DSAP,     IOCTL_KRVDLC_GET_MAC_ADDRESS,
        IOCTL_KRVDLC_GET_MEDIUM,   IOCTL_KRVDLC_INT3,
    };
    constexpr size_t kMaximumRequests = 16;

    std::string failure;
    {
        SimulatedHost host(SoleThreadHostOptions());
        if (!NT_SUCCESS(host.Load()))
            return "the driver did not load";
        sim::Adapter &adapter = host.AddAdapter(u"{F0220001-0000-0000-0000-000000000001}", NdisMedium802_3,
                                                {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01});
        adapter.Bind();
        host.ndis().IndicateBindsComplete();
        DeviceHandle control = host.Open(KRVDLC_CONTROL_FILE_NAME);
        DeviceHandle device = host.Open(SimulatedHost::AdapterFileName(adapter));
        if (!control.valid() || !device.valid())
            return "the devices did not open";

        size_t offset = 0;
        for (size_t n = 0; n < kMaximumRequests && offset + 3 <= size && failure.empty(); ++n) {
            uint8_t selector = data[offset];
            uint32_t code = kCodes[selector & 0x07];
            offset += 1;
            if ((selector & 0x08) != 0 && offset + 4 <= size) {
                std::memcpy(&code, data + offset, 4);
                offset += 4;
            }
            if (offset + 2 > size)
                break;
            size_t inputLength = data[offset];
            size_t outputLength = data[offset + 1];
            offset += 2;
            std::vector<uint8_t> input(inputLength, 0);
            size_t available = std::min(inputLength, size - offset);
            std::copy_n(data + offset, available, input.begin());
            offset += available;
            std::vector<uint8_t> output(outputLength, 0xA5);

            DeviceHandle &target = (selector & 0x10) != 0 ? control : device;
            IoOutcome outcome = target.Control(code, input.empty() ? nullptr : input.data(),
                                               static_cast<uint32_t>(input.size()),
                                               output.empty() ? nullptr : output.data(),
                                               static_cast<uint32_t>(output.size()));
            if (outcome.status == static_cast<int32_t>(STATUS_PENDING))
                failure = "request " + std::to_string(code) + " still pending after the call returned";
            else if (outcome.bytes > outputLength)
                failure = "request " + std::to_string(code) + " returned " + std::to_string(outcome.bytes) +
                          " bytes into a " + std::to_string(outputLength) + "-byte buffer";
        }

        // The adapter device still answers.
        uint32_t medium = 0xFFFFFFFF;
        IoOutcome check = device.Control(IOCTL_KRVDLC_GET_MEDIUM, nullptr, 0, &medium, sizeof medium);
        if (failure.empty() && (!check.ok || check.bytes != 4 || medium != KRVDLC_MEDIUM_802_3))
            failure = "the medium request failed after the sequence";

        device.Close();
        control.Close();
        host.machine().io().WaitForDeferredCloses();
        if (adapter.Unbind() != NDIS_STATUS_SUCCESS && failure.empty())
            failure = "the adapter did not unbind";
        if (!host.Unload() && failure.empty())
            failure = "the driver did not unload";
    }
    return failure;
}

}  // namespace krvdlc::fuzz
