// simulated_host.cpp - KRVDLC in a simulated machine, for tools and tests.
#include "tools/common/simulated_host.h"

#include "core/krvdlc.h"
#include "sim/driver_loader.h"
#include "sim/io_manager.h"
#include "sim/registry.h"

#include <utility>

namespace krvdlc {

namespace w = sim::win32;

DeviceHandle::DeviceHandle(DeviceHandle &&other) noexcept
    : handle_(std::exchange(other.handle_, w::INVALID_HANDLE_VALUE))
{
}

DeviceHandle &DeviceHandle::operator=(DeviceHandle &&other) noexcept
{
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, w::INVALID_HANDLE_VALUE);
    }
    return *this;
}

DeviceHandle::~DeviceHandle()
{
    Close();
}

bool DeviceHandle::Close()
{
    if (!valid())
        return false;
    w::CloseHandle(std::exchange(handle_, w::INVALID_HANDLE_VALUE));
    return true;
}

namespace {

// The request's own status travels in OVERLAPPED.Internal, as the platform reports it.
IoOutcome Outcome(w::BOOL ok, w::DWORD bytes, const w::OVERLAPPED &overlapped)
{
    IoOutcome outcome;
    outcome.ok = ok != FALSE;
    outcome.error = outcome.ok ? 0 : w::GetLastError();
    outcome.bytes = bytes;
    outcome.status = static_cast<int32_t>(overlapped.Internal);
    return outcome;
}

}  // namespace

IoOutcome DeviceHandle::Read(std::vector<uint8_t> &buffer)
{
    w::OVERLAPPED overlapped{};
    w::DWORD bytes = 0;
    w::BOOL ok = w::ReadFile(handle_, buffer.data(), static_cast<w::DWORD>(buffer.size()), &bytes,
                             &overlapped);
    return Outcome(ok, bytes, overlapped);
}

IoOutcome DeviceHandle::Write(const std::vector<uint8_t> &frame)
{
    w::OVERLAPPED overlapped{};
    w::DWORD bytes = 0;
    w::BOOL ok = w::WriteFile(handle_, frame.data(), static_cast<w::DWORD>(frame.size()), &bytes,
                              &overlapped);
    return Outcome(ok, bytes, overlapped);
}

IoOutcome DeviceHandle::Control(uint32_t code, const void *input, uint32_t inputLength,
                                void *output, uint32_t outputLength)
{
    w::OVERLAPPED overlapped{};
    w::DWORD bytes = 0;
    w::BOOL ok = w::DeviceIoControl(handle_, code, const_cast<void *>(input), inputLength, output,
                                    outputLength, &bytes, &overlapped);
    return Outcome(ok, bytes, overlapped);
}

SimulatedHost::SimulatedHost(HostOptions options)
    : imagePath_(std::move(options.image)), machine_(std::make_unique<sim::Machine>(options.machine))
{
    // A read that finds frames queued returns STATUS_SUCCESS from KrvDlcRead whatever its
    // delivery completed it with (no free copy packet, the queue emptied meanwhile, the
    // reader's buffer not mapped, or the read cancelled by a cleanup in between). That
    // path alone may return a status other than its completion status.
    sim::IoVerifierOptions verifier;
    verifier.statusMismatchExemptions.push_back(
        {"read served at once from the receive queue", IRP_MJ_READ, STATUS_SUCCESS,
         {STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL, STATUS_CANCELLED}});
    machine_->io().SetVerifierOptions(verifier);
    machine_->registry().CreateKey(std::string_view(kParametersKey));
    if (options.traceLevel)
        machine_->registry().SetDword(kParametersKey, "TraceLevel", *options.traceLevel);
}

SimulatedHost::~SimulatedHost()
{
    if (loaded_)
        Unload();
}

sim::Ndis &SimulatedHost::ndis()
{
    return machine_->ndis();
}

NTSTATUS SimulatedHost::Load()
{
    PDRIVER_INITIALIZE entry = &DriverEntry;
    if (imagePath_) {
        if (loaded_)
            return STATUS_OBJECT_NAME_COLLISION;
        // A fresh mapping for every load: the image's globals start out as in the file.
        image_ = sim::LoadImageFile(*imagePath_);
        entry = image_->entry();
    }
    NTSTATUS status = sim::LoadDriver(entry, Widen(kServiceKey));
    loaded_ = NT_SUCCESS(status);
    return status;
}

bool SimulatedHost::Unload()
{
    if (!loaded_)
        return false;
    if (!sim::UnloadDriver())
        return false;
    loaded_ = false;
    return true;
}

sim::Adapter &SimulatedHost::AddAdapter(const std::u16string &guid, NDIS_MEDIUM medium,
                                        const sim::MacAddress &address,
                                        std::optional<std::u16string> instanceName)
{
    sim::AdapterConfig config;
    config.deviceName = u"\\Device\\" + guid;
    config.instanceName = std::move(instanceName);
    config.medium = medium;
    config.macAddress = address;
    return machine_->ndis().AddAdapter(std::move(config));
}

DeviceHandle SimulatedHost::Open(const std::u16string &userName, bool overlapped)
{
    return DeviceHandle(w::CreateFileW(userName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       w::OPEN_EXISTING,
                                       overlapped ? w::FILE_FLAG_OVERLAPPED : 0, nullptr));
}

std::u16string SimulatedHost::AdapterFileName(const sim::Adapter &adapter)
{
    // \Device\{X} -> \\.\KrvDlc_{X}: the driver skips the first 8 characters by count.
    const std::u16string &device = adapter.DeviceName();
    return u"\\\\.\\KrvDlc_" + (device.size() > 8 ? device.substr(8) : std::u16string());
}

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    narrow.reserve(text.size());
    for (char16_t c : text)
        narrow.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    return narrow;
}

std::u16string Widen(const std::string &text)
{
    std::u16string wide;
    wide.reserve(text.size());
    for (unsigned char c : text)
        wide.push_back(c);
    return wide;
}

}  // namespace krvdlc
