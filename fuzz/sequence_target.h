// sequence_target.h - one fuzz input as a sequence of user-mode calls against KRVDLC,
// mixed with what NDIS does underneath: indications, plug-and-play, status, unbind and
// rebind, and the miniport ending its calls at once, later or when told.
//
// Each input gets a fresh machine: the driver loaded, an Ethernet and a Token Ring adapter
// bound. Four handle slots, all overlapped: 0 Ethernet, 1 Token Ring, 2 the control device,
// 3 Ethernet again (a second open, which the driver refuses while slot 0 holds it). Each
// step is an op byte, its low four bits the call and bits 4-5 the slot (the adapter is
// slot & 1):
//   0 open   1 close   2 read (length: 2 bytes)   3 write (length: 2 bytes, then the frame)
//   4 device control: code byte (bits 0-2 one of the driver's codes; bit 3 the next four
//     bytes are the code), input and output length (2 bytes each, up to 64 KB), input
//   5 cancel the slot's requests (CancelIo)
//   6 receive indication: frame length (1 byte), the frame; bit 6 as a whole packet
//   7 plug-and-play event: code byte (power events carry a device power state)
//   8 status indication: selector byte (reset start/end, media connect/disconnect, ring
//     status with its 4 bytes, closing, or the next four bytes as the status)
//   9 unbind   10 rebind   11 release the adapter's held calls   13 receive complete
//   12 script the adapter's next request, reset, send or transfer (kind byte, then a
//     status byte, bit 0 failure): bits 6-7 at once, later on the DPC thread, or held
//   14, 15 (nothing)
// A bind, unbind or close that waits for a held call runs on a thread of its own while
// the harness releases what is held, as the miniport eventually would. Every request must
// end, no later than the final closes and unbinds; one that succeeded (or warned) returns
// no more bytes than its buffer holds (an error copies nothing back, and its byte count
// may name the size needed). The unload must then find nothing left (the machine stops
// the process on a leak, a lost packet or a broken rule).
#pragma once

#include "fuzz/input_reader.h"
#include "tools/common/overlapped_call.h"
#include "tools/common/simulated_host.h"
#include "sim/io_manager.h"

#include "core/krvdlc_public.h"

#include <array>
#include <chrono>
#include <future>
#include <type_traits>
#include <list>
#include <string>
#include <vector>

namespace krvdlc::fuzz {

class SequenceTarget {
public:
    static std::string Run(const uint8_t *data, size_t size)
    {
        SequenceTarget target(data, size);
        return target.Execute();
    }

private:
    static constexpr size_t kMaximumSteps = 48;
    static constexpr size_t kSlots = 4;

    struct Call {
        explicit Call(sim::win32::HANDLE handle) : io(handle) {}
        OverlappedCall io;
        uint32_t limit = 0;   // the most bytes it may return
        std::string what;     // the call in words, for the failure
        bool checked = false;
    };

    SequenceTarget(const uint8_t *data, size_t size) : input_(data, size) {}

    std::string Execute()
    {
        if (!NT_SUCCESS(host_.Load()))
            return "the driver did not load";
        adapters_[0] = &host_.AddAdapter(u"{F0440001-0000-0000-0000-000000000001}", NdisMedium802_3,
                                         {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01});
        adapters_[1] = &host_.AddAdapter(u"{F0440002-0000-0000-0000-000000000002}", NdisMedium802_5,
                                         {0x40, 0x00, 0x4B, 0x52, 0x00, 0x02});
        for (sim::Adapter *adapter : adapters_)
            if (adapter->Bind() != NDIS_STATUS_SUCCESS)
                return "an adapter did not bind";
        host_.ndis().IndicateBindsComplete();

        for (size_t step = 0; step < kMaximumSteps && !input_.done(); step++)
            Step(input_.Byte());

        for (size_t slot = 0; slot < kSlots; slot++)
            Close(slot);
        WhileReleasing([&] { host_.machine().io().WaitForDeferredCloses(); });
        for (sim::Adapter *adapter : adapters_)
            Unbind(*adapter);
        for (Call &call : calls_) {
            if (call.io.Pended() && !call.io.Wait())
                Fail(call.what + " never ended");
            Check(call);
        }
        if (!host_.machine().io().PendingIrps().empty())
            Fail("requests still outstanding after every close and unbind");
        if (host_.ndis().PacketsInUse() != 0 || host_.ndis().LentPackets() != 0)
            Fail("packets not given back after the unbinds");
        if (!host_.Unload())
            Fail("the driver did not unload");
        return failure_;
    }

    void Step(uint8_t op)
    {
        size_t slot = (op >> 4) & 0x03;
        sim::Adapter &adapter = *adapters_[slot & 1];
        switch (op & 0x0F) {
        case 0:
            Open(slot);
            break;
        case 1:
            Close(slot);
            break;
        case 2: {
            uint16_t length = input_.Word();
            if (Call *call = NewCall(slot, length, "read"))
                call->io.Read(length);
            break;
        }
        case 3: {
            std::vector<uint8_t> frame = input_.Bytes(input_.Word());
            if (Call *call = NewCall(slot, static_cast<uint32_t>(frame.size()), "write"))
                call->io.Write(std::move(frame));
            break;
        }
        case 4:
            Control(slot);
            break;
        case 5:
            if (handles_[slot].valid())
                sim::win32::CancelIo(handles_[slot].get());
            break;
        case 6: {
            sim::Frame frame = input_.Bytes(input_.Byte());
            if ((op & 0x40) != 0)
                adapter.IndicatePacket(frame);
            else
                adapter.IndicateReceive(frame);
            break;
        }
        case 7: {
            auto code = static_cast<NET_PNP_EVENT_CODE>(input_.Byte() % NetEventMaximum);
            std::vector<uint8_t> buffer;
            if (code == NetEventSetPower || code == NetEventQueryPower)
                buffer = {static_cast<uint8_t>(1 + input_.Byte() % 4), 0, 0, 0};
            if (adapter.IsOpen())   // NDIS sends it to a binding
                adapter.SendPnPEvent(code, buffer);
            break;
        }
        case 8:
            IndicateStatus(adapter);
            break;
        case 9:
            Unbind(adapter);
            break;
        case 10:
            if (!adapter.IsOpen())
                WhileReleasing([&] { adapter.Bind(); });
            break;
        case 11:
            ReleaseHeld(adapter);
            break;
        case 12: {
            static constexpr sim::NdisOperation kKinds[] = {
                sim::NdisOperation::Request, sim::NdisOperation::Reset, sim::NdisOperation::Send,
                sim::NdisOperation::TransferData};
            static constexpr sim::CompletionMode kModes[] = {
                sim::CompletionMode::Immediate, sim::CompletionMode::Dpc, sim::CompletionMode::Held,
                sim::CompletionMode::Dpc};
            sim::NdisOperation kind = kKinds[input_.Byte() % 4];
            NDIS_STATUS status = (input_.Byte() & 0x01) != 0 ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
            adapter.ScriptNext(kind, {kModes[op >> 6], status});
            break;
        }
        case 13:
            adapter.IndicateReceiveComplete();
            break;
        default:
            break;
        }
    }

    void Open(size_t slot)
    {
        if (handles_[slot].valid())
            return;
        std::u16string name = slot == 2 ? std::u16string(KRVDLC_CONTROL_FILE_NAME)
                                        : SimulatedHost::AdapterFileName(*adapters_[slot & 1]);
        handles_[slot] = host_.Open(name, true);
    }

    void Close(size_t slot)
    {
        WhileReleasing([&] { handles_[slot].Close(); });
    }

    void Unbind(sim::Adapter &adapter)
    {
        if (adapter.IsOpen() && WhileReleasing([&] { return adapter.Unbind(); }) != NDIS_STATUS_SUCCESS)
            Fail("an adapter did not unbind");
    }

    // Runs `work` on a thread of its own, releasing held calls until it is done.
    template <typename Work> std::invoke_result_t<Work> WhileReleasing(Work work)
    {
        auto result = std::async(std::launch::async, work);
        while (result.wait_for(std::chrono::microseconds(500)) != std::future_status::ready)
            for (sim::Adapter *adapter : adapters_)
                ReleaseHeld(*adapter);
        return result.get();
    }

    void Control(size_t slot)
    {
        static constexpr uint32_t kCodes[] = {
            IOCTL_KRVDLC_SET_OID,       IOCTL_KRVDLC_QUERY_OID,   IOCTL_KRVDLC_RESET,
            IOCTL_KRVDLC_ENUM_ADAPTERS, IOCTL_KRVDLC_CHECK_DSAP,  IOCTL_KRVDLC_GET_MAC_ADDRESS,
            IOCTL_KRVDLC_GET_MEDIUM,    IOCTL_KRVDLC_INT3,
        };
        uint8_t selector = input_.Byte();
        uint32_t code = (selector & 0x08) != 0 ? input_.Long() : kCodes[selector & 0x07];
        uint16_t inputLength = input_.Word();
        uint16_t outputLength = input_.Word();
        std::vector<uint8_t> in = input_.Bytes(inputLength);
        if (Call *call = NewCall(slot, outputLength, "device control " + std::to_string(code)))
            call->io.Control(code, std::move(in), outputLength);
    }

    void IndicateStatus(sim::Adapter &adapter)
    {
        static constexpr NDIS_STATUS kStatuses[] = {
            NDIS_STATUS_RESET_START, NDIS_STATUS_RESET_END, NDIS_STATUS_MEDIA_CONNECT,
            NDIS_STATUS_MEDIA_DISCONNECT, NDIS_STATUS_RING_STATUS, NDIS_STATUS_CLOSING};
        uint8_t selector = input_.Byte() % 8;
        if (selector == 4) {
            adapter.IndicateStatus(NDIS_STATUS_RING_STATUS, input_.Bytes(4));
            return;
        }
        NDIS_STATUS status = selector < 6 ? kStatuses[selector] : static_cast<NDIS_STATUS>(input_.Long());
        adapter.IndicateStatus(status);
    }

    Call *NewCall(size_t slot, uint32_t limit, std::string what)
    {
        if (!handles_[slot].valid())
            return nullptr;
        Call &call = calls_.emplace_back(handles_[slot].get());
        call.limit = limit;
        call.what = std::move(what) + " on slot " + std::to_string(slot);
        return &call;
    }

    void ReleaseHeld(sim::Adapter &adapter)
    {
        for (auto kind : {sim::NdisOperation::Request, sim::NdisOperation::Reset, sim::NdisOperation::Send,
                          sim::NdisOperation::TransferData})
            while (adapter.ReleasePending(kind)) {
            }
    }

    void Check(Call &call)
    {
        if (call.checked || !call.io.Done())
            return;
        call.checked = true;
        // An error status copies nothing back; its byte count may name the size needed.
        if (!IsErrorStatus(call.io.Status()) && call.io.Bytes() > call.limit)
            Fail(call.what + " returned " + std::to_string(call.io.Bytes()) + " bytes for a " +
                 std::to_string(call.limit) + "-byte buffer");
    }

    void Fail(const std::string &what)
    {
        if (failure_.empty())
            failure_ = what;
    }

    InputReader input_;
    SimulatedHost host_;
    std::array<sim::Adapter *, 2> adapters_{};
    std::array<DeviceHandle, kSlots> handles_;
    std::list<Call> calls_;   // declared after host_: gone before the machine
    std::string failure_;
};

}  // namespace krvdlc::fuzz
