// config_target.h - one fuzz input of configuration against KRVDLC: the registry value
// TraceLevel as it may be found (any type, size and bytes) and the adapter names NDIS
// hands to the bind handler (any length and characters, the instance name missing).
//
// Each input gets a fresh machine. Input:
//   byte 0     TraceLevel's type (bits 0-2): none at all, REG_DWORD, REG_SZ, REG_BINARY,
//              REG_NONE, REG_DWORD_BIG_ENDIAN, REG_MULTI_SZ, REG_QWORD
//   byte 1     its size, then that many bytes (file tracing may be switched on by them)
//   then up to three adapters, each: a flags byte (bit 0 Token Ring; bits 1-2 instance
//   name: missing, empty, from the input, the device name; bit 3 the device name as
//   given, else "\Device\" and the given part), a length byte and that many 16-bit
//   characters, then for an instance name from the input a length byte and characters.
// The driver must load, bind or refuse each adapter with a status, list the adapters
// within the enumeration buffer, open each bound adapter's device by its file name (when
// that name can be formed) and answer its medium there, then unbind and unload with
// nothing left (the machine stops the process on a leak or a broken rule).
#pragma once

#include "fuzz/input_reader.h"
#include "tools/common/overlapped_call.h"
#include "tools/common/simulated_host.h"
#include "sim/io_manager.h"
#include "sim/registry.h"

#include "core/krvdlc_public.h"

#include <set>
#include <string>
#include <vector>

namespace krvdlc::fuzz {

class ConfigTarget {
public:
    static std::string Run(const uint8_t *data, size_t size)
    {
        ConfigTarget target(data, size);
        return target.Execute();
    }

private:
    static constexpr size_t kMaximumAdapters = 3;

    ConfigTarget(const uint8_t *data, size_t size) : input_(data, size) {}

    std::string Execute()
    {
        // REG_NONE, REG_DWORD, REG_SZ, REG_BINARY, REG_NONE, REG_DWORD_BIG_ENDIAN,
        // REG_MULTI_SZ, REG_QWORD
        static constexpr ULONG kTypes[] = {0, 4, 1, 3, 0, 5, 7, 11};
        uint8_t type = input_.Byte() & 0x07;
        std::vector<uint8_t> value = input_.Bytes(input_.Byte());
        if (type != 0)
            host_.machine().registry().SetValue(kParametersKey, "TraceLevel", kTypes[type], value);
        NTSTATUS loaded = host_.Load();
        if (!NT_SUCCESS(loaded))
            return "the driver did not load (status " + std::to_string(static_cast<uint32_t>(loaded)) + ")";

        std::vector<sim::Adapter *> adapters;
        std::set<std::u16string> names;
        for (size_t n = 0; n < kMaximumAdapters && !input_.done(); n++) {
            uint8_t flags = input_.Byte();
            sim::AdapterConfig config;
            config.medium = (flags & 0x01) != 0 ? NdisMedium802_5 : NdisMedium802_3;
            config.macAddress = {0x02, 0x00, 0x4B, 0x52, 0x00, static_cast<uint8_t>(n + 1)};
            config.deviceName = Name();
            if ((flags & 0x08) == 0)
                config.deviceName = u"\\Device\\" + config.deviceName;
            switch ((flags >> 1) & 0x03) {
            case 1:
                config.instanceName = u"";
                break;
            case 2:
                config.instanceName = Name();
                break;
            case 3:
                config.instanceName = config.deviceName;
                break;
            default:
                break;
            }
            // NDIS names each adapter once.
            if (!names.insert(config.deviceName).second)
                continue;
            sim::Adapter &adapter = host_.ndis().AddAdapter(std::move(config));
            adapter.Bind();
            adapters.push_back(&adapter);
        }
        host_.ndis().IndicateBindsComplete();

        DeviceHandle control = host_.Open(KRVDLC_CONTROL_FILE_NAME, true);
        if (!control.valid())
            Fail("the control device did not open");
        else
            Ask(control, IOCTL_KRVDLC_ENUM_ADAPTERS, 0x10000);
        for (sim::Adapter *adapter : adapters) {
            if (!adapter->IsOpen() || adapter->DeviceName().size() <= 8)
                continue;
            DeviceHandle device = host_.Open(SimulatedHost::AdapterFileName(*adapter), true);
            if (!device.valid())
                continue;   // another adapter's name may lead to the same device
            std::vector<uint8_t> medium = Ask(device, IOCTL_KRVDLC_GET_MEDIUM, 4);
            if (medium.size() == 4 && medium[0] > KRVDLC_MEDIUM_802_5)
                Fail("the medium request answered " + std::to_string(medium[0]));
        }
        control.Close();
        host_.machine().io().WaitForDeferredCloses();
        for (sim::Adapter *adapter : adapters)
            if (adapter->IsOpen() && adapter->Unbind() != NDIS_STATUS_SUCCESS)
                Fail("an adapter did not unbind");
        if (!host_.Unload())
            Fail("the driver did not unload");
        return failure_;
    }

    // A length byte and that many 16-bit characters.
    std::u16string Name()
    {
        size_t length = input_.Byte();
        std::u16string name;
        for (size_t i = 0; i < length; i++)
            name.push_back(static_cast<char16_t>(input_.Word()));
        return name;
    }

    // One device-control request with no input; its answer, which must fit its buffer.
    std::vector<uint8_t> Ask(DeviceHandle &handle, uint32_t code, uint32_t outputLength)
    {
        OverlappedCall call(handle.get());
        call.Control(code, {}, outputLength);
        if (call.Pended() && !call.Wait()) {
            Fail("request " + std::to_string(code) + " never ended");
            return {};
        }
        if (!IsErrorStatus(call.Status()) && call.Bytes() > outputLength)
            Fail("request " + std::to_string(code) + " returned more than its buffer holds");
        return call.Status() == STATUS_SUCCESS ? call.Data() : std::vector<uint8_t>();
    }

    void Fail(const std::string &what)
    {
        if (failure_.empty())
            failure_ = what;
    }

    InputReader input_;
    SimulatedHost host_{SoleThreadHostOptions()};
    std::string failure_;
};

}  // namespace krvdlc::fuzz
