// receive_target.h - one fuzz input of receive indications against KRVDLC, made the way
// NDIS makes them, with a reader reading.
//
// Each input gets a fresh machine: the driver loaded, one adapter bound and opened for
// overlapped reads. Input:
//   byte 0     bit 0: Token Ring (else Ethernet); bit 1: DSAP check off;
//              bits 2-3: transfers end at once, later on the DPC thread, when released by
//              a step (held), or at once with a failure; bits 5-7: the read length
//              (14, 15, 20, 60, 64, 100, 1514 or 4096 bytes)
//   then steps, each an op byte:
//              bits 0-1: 0 lookahead indication, 1 packet indication, 2 receive
//              complete, 3 release the oldest held transfer
//              lookahead: bit 2 no header buffer, bit 3 HeaderBufferSize given, bit 4
//              lookahead size given, bit 5 PacketSize given
//              packet: bit 2 buffers not mapped, bit 3 NDIS_STATUS_RESOURCES, bit 4 the
//              out-of-band HeaderSize given, bits 6-7 buffer splits (0-3)
//   an indication then reads: frame length (1 byte), the sizes given (1 byte each,
//   PacketSize 2 bytes with 0xFFFF meaning 0xFFFFFFF8), one byte per split, the frame.
// After every step a finished read is checked and a new one issued. Every read must end
// with at most its length, and a frame it delivers must be one that was indicated: the
// header and the bytes the transfer gave (or the whole packet) equal, its length the
// indicated length cut at the read length. Unbinding and unloading must then find
// every packet returned and nothing left (the machine stops the process otherwise).
#pragma once

#include "fuzz/input_reader.h"
#include "tools/common/overlapped_call.h"
#include "tools/common/simulated_host.h"
#include "sim/dpc.h"
#include "sim/io_manager.h"

#include "core/krvdlc_public.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace krvdlc::fuzz {

class ReceiveTarget {
public:
    static std::string Run(const uint8_t *data, size_t size)
    {
        ReceiveTarget target(data, size);
        return target.Execute();
    }

private:
    static constexpr size_t kMaximumSteps = 32;
    static constexpr uint32_t kReadLengths[] = {14, 15, 20, 60, 64, 100, 1514, 4096};

    // What a delivered frame may hold: `length` bytes in all, the first `known` of them
    // those of `frame` (the rest the transfer did not write).
    struct Expected {
        std::vector<uint8_t> frame;
        size_t length = 0;
        size_t known = 0;
    };

    ReceiveTarget(const uint8_t *data, size_t size) : input_(data, size) {}

    std::string Execute()
    {
        uint8_t setup = input_.Byte();
        NDIS_MEDIUM medium = (setup & 0x01) != 0 ? NdisMedium802_5 : NdisMedium802_3;
        unsigned transfer = (setup >> 2) & 0x03;
        readLength_ = kReadLengths[setup >> 5];
        if (!NT_SUCCESS(host_.Load()))
            return "the driver did not load";
        sim::Adapter &adapter = host_.AddAdapter(u"{F0330001-0000-0000-0000-000000000001}", medium,
                                                 {0x02, 0x00, 0x4B, 0x52, 0x00, 0x01});
        static constexpr sim::Script kTransfers[] = {
            {sim::CompletionMode::Immediate, NDIS_STATUS_SUCCESS},
            {sim::CompletionMode::Dpc, NDIS_STATUS_SUCCESS},
            {sim::CompletionMode::Held, NDIS_STATUS_SUCCESS},
            {sim::CompletionMode::Immediate, NDIS_STATUS_FAILURE},
        };
        adapter.SetScript(sim::NdisOperation::TransferData, kTransfers[transfer]);
        transferCopies_ = transfer != 3;
        if (adapter.Bind() != NDIS_STATUS_SUCCESS)
            return "the adapter did not bind";
        host_.ndis().IndicateBindsComplete();
        DeviceHandle device = host_.Open(SimulatedHost::AdapterFileName(adapter), true);
        if (!device.valid())
            return "the adapter device did not open";
        if ((setup & 0x02) != 0) {
            OverlappedCall off(device.get());
            off.Control(IOCTL_KRVDLC_CHECK_DSAP, {0}, 0);
            if (!off.Wait() || off.Status() != STATUS_SUCCESS)
                return "the DSAP check did not switch off";
        }

        for (size_t step = 0; step < kMaximumSteps && !input_.done() && failure_.empty(); step++) {
            uint8_t op = input_.Byte();
            switch (op & 0x03) {
            case 0:
                IndicateLookahead(adapter, op);
                break;
            case 1:
                IndicatePacket(adapter, op);
                break;
            case 2:
                adapter.IndicateReceiveComplete();
                break;
            case 3:
                adapter.ReleasePending(sim::NdisOperation::TransferData);
                break;
            }
            Read(device.get());
        }

        // Held transfers end, the last frames are read, then the waiting read is cancelled.
        while (adapter.ReleasePending(sim::NdisOperation::TransferData)) {
        }
        // Transfers that end later do so on the DPC thread.
        do {
            host_.machine().dpcs().Drain();
        } while (adapter.OutstandingCount() != 0 && !host_.machine().dpcs().Idle());
        WaitFor([&] { return adapter.OutstandingCount() == 0; });
        adapter.IndicateReceiveComplete();
        Read(device.get());
        if (read_) {
            sim::win32::CancelIo(device.get());
            if (!read_->Wait())
                Fail("a read was neither served nor cancelled");
            Check(*read_);
            read_.reset();
        }
        device.Close();
        host_.machine().io().WaitForDeferredCloses();
        if (adapter.Unbind() != NDIS_STATUS_SUCCESS)
            Fail("the adapter did not unbind");
        if (host_.ndis().PacketsInUse() != 0 || host_.ndis().LentPackets() != 0)
            Fail("packets not given back after the unbind");
        if (!host_.Unload())
            Fail("the driver did not unload");
        return failure_;
    }

    void IndicateLookahead(sim::Adapter &adapter, uint8_t op)
    {
        size_t length = input_.Byte();
        sim::ReceiveOptions options;
        options.nullHeaderBuffer = (op & 0x04) != 0;
        if ((op & 0x08) != 0)
            options.headerSize = input_.Byte();
        if ((op & 0x10) != 0)
            options.lookaheadSize = input_.Byte();
        if ((op & 0x20) != 0) {
            uint16_t size = input_.Word();
            options.packetSize = size == 0xFFFF ? 0xFFFFFFF8u : size;
        }
        sim::Frame frame = input_.Bytes(length);
        // As the simulated NDIS cuts them: the header first, then the data after it.
        size_t header = std::min(options.headerSize.value_or(adapter.HeaderSize(frame)), frame.size());
        size_t dataSize = frame.size() - header;
        size_t packetSize = options.packetSize.value_or(static_cast<UINT>(dataSize));
        auto status = adapter.IndicateReceive(frame, options);
        if (status && *status == NDIS_STATUS_SUCCESS)
            expected_.push_back({frame, header + packetSize,
                                 header + (transferCopies_ ? std::min(packetSize, dataSize) : 0)});
    }

    void IndicatePacket(sim::Adapter &adapter, uint8_t op)
    {
        size_t length = input_.Byte();
        sim::PacketOptions options;
        options.mapped = (op & 0x04) == 0;
        options.status = (op & 0x08) != 0 ? NDIS_STATUS_RESOURCES : NDIS_STATUS_SUCCESS;
        if ((op & 0x10) != 0)
            options.headerSize = input_.Byte();
        for (unsigned split = op >> 6; split > 0; split--)
            options.splitAt.push_back(input_.Byte());
        sim::Frame frame = input_.Bytes(length);
        // Whether the driver took it shows in the read; any frame may come back whole.
        expected_.push_back({frame, frame.size(), frame.size()});
        adapter.IndicatePacket(frame, options);
    }

    // Checks a finished read and issues the next one.
    void Read(sim::win32::HANDLE device)
    {
        if (read_ && read_->Done()) {
            Check(*read_);
            read_.reset();
        }
        if (!read_) {
            read_ = std::make_unique<OverlappedCall>(device);
            read_->Read(readLength_);
            if (!read_->Pended()) {
                Check(*read_);
                read_.reset();
            }
        }
    }

    void Check(OverlappedCall &read)
    {
        uint32_t bytes = read.Bytes();
        if (bytes > readLength_) {
            Fail("a read returned " + std::to_string(bytes) + " bytes for " + std::to_string(readLength_));
            return;
        }
        if (read.Status() != STATUS_SUCCESS || bytes == 0)
            return;
        const std::vector<uint8_t> &got = read.Output();
        for (const Expected &entry : expected_) {
            size_t known = std::min<size_t>(entry.known, bytes);
            if (bytes == std::min<size_t>(entry.length, readLength_) &&
                std::equal(got.begin(), got.begin() + known, entry.frame.begin()))
                return;
        }
        Fail("a read delivered " + std::to_string(bytes) + " bytes that match no indicated frame");
    }

    template <typename Condition> static void WaitFor(Condition condition)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    void Fail(const std::string &what)
    {
        if (failure_.empty())
            failure_ = what;
    }

    InputReader input_;
    SimulatedHost host_{SoleThreadHostOptions()};
    uint32_t readLength_ = 0;
    bool transferCopies_ = true;
    std::vector<Expected> expected_;
    std::unique_ptr<OverlappedCall> read_;
    std::string failure_;
};

}  // namespace krvdlc::fuzz
