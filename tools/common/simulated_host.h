// simulated_host.h - KRVDLC loaded into a simulated machine, as tools and tests use it.
//
// A SimulatedHost owns one sim::Machine, writes the driver's registry parameters, loads
// the driver (DriverEntry) and unloads it, adds and binds simulated adapters, and opens
// the driver's devices through the emulated Win32 API. DeviceHandle wraps one open
// handle with the calls user mode makes (read, write, device control).
//
// The driver is either the host-compiled one linked into the program or, with
// HostOptions::image, the driver image KRVDLC.SYS itself, loaded from its file by
// sim/image_loader.h (32-bit builds only): the same calls then reach the shipped bytes.
#pragma once

#include "sim/image_loader.h"
#include "sim/machine.h"
#include "sim/ndis.h"
#include "sim/win32.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace krvdlc {

// The driver's service key, where its Parameters subkey holds TraceLevel.
inline constexpr char kServiceKey[] =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRVDLC";
inline constexpr char kParametersKey[] =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRVDLC\\Parameters";

struct HostOptions {
    sim::MachineOptions machine;
    std::optional<uint32_t> traceLevel;   // absent: no TraceLevel value at all
    // Path of a driver image (build/driver/KRVDLC.SYS) to load instead of the
    // host-compiled driver; absent: the host-compiled driver.
    std::optional<std::string> image;
};

// Options of a host that one thread drives alone, as a fuzz input does: the machine's clock
// then never waits out real-time grace periods (sim::MachineOptions::soleHostThread).
inline HostOptions SoleThreadHostOptions()
{
    HostOptions options;
    options.machine.soleHostThread = true;
    return options;
}

// Result of one user-mode call.
struct IoOutcome {
    bool ok = false;            // the call's BOOL
    uint32_t error = 0;         // GetLastError after a failure (0 on success)
    uint32_t bytes = 0;         // bytes returned / read / written
    int32_t status = 0;         // the request's NT status (from OVERLAPPED.Internal)
};

class DeviceHandle {
public:
    DeviceHandle() = default;
    explicit DeviceHandle(sim::win32::HANDLE handle) : handle_(handle) {}
    DeviceHandle(DeviceHandle &&other) noexcept;
    DeviceHandle &operator=(DeviceHandle &&other) noexcept;
    DeviceHandle(const DeviceHandle &) = delete;
    DeviceHandle &operator=(const DeviceHandle &) = delete;
    ~DeviceHandle();

    bool valid() const { return handle_ != sim::win32::INVALID_HANDLE_VALUE && handle_ != nullptr; }
    sim::win32::HANDLE get() const { return handle_; }
    // Closes now (cleanup and close reach the driver); true when a handle was closed.
    bool Close();

    // Blocking calls, each with its status taken from an OVERLAPPED on the side.
    IoOutcome Read(std::vector<uint8_t> &buffer);
    IoOutcome Write(const std::vector<uint8_t> &frame);
    IoOutcome Control(uint32_t code, const void *input, uint32_t inputLength, void *output,
                      uint32_t outputLength);

private:
    sim::win32::HANDLE handle_ = sim::win32::INVALID_HANDLE_VALUE;
};

class SimulatedHost {
public:
    explicit SimulatedHost(HostOptions options = {});
    ~SimulatedHost();
    SimulatedHost(const SimulatedHost &) = delete;
    SimulatedHost &operator=(const SimulatedHost &) = delete;

    sim::Machine &machine() { return *machine_; }
    sim::Ndis &ndis();

    // Loads the driver; returns what DriverEntry returned. With HostOptions::image each
    // load maps a fresh copy of the image first and throws sim::ImageLoadError, naming
    // what is wrong, when the image cannot be loaded.
    NTSTATUS Load();
    // Unloads the driver; false when the I/O manager refused (a handle is open).
    bool Unload();
    bool loaded() const { return loaded_; }
    // The image the driver runs from (null for the host-compiled driver or before Load).
    const sim::LoadedImage *image() const { return image_.get(); }

    // Adds an adapter named \Device\{<guid>} with the given medium and address.
    sim::Adapter &AddAdapter(const std::u16string &guid, NDIS_MEDIUM medium,
                             const sim::MacAddress &address,
                             std::optional<std::u16string> instanceName = std::nullopt);

    // Opens \\.\NAME (e.g. u"\\\\.\\KRVDLC" or an adapter's file name).
    DeviceHandle Open(const std::u16string &userName, bool overlapped = false);
    // The file name user mode opens for \Device\{X}: \\.\KrvDlc_{X}.
    static std::u16string AdapterFileName(const sim::Adapter &adapter);

private:
    std::optional<std::string> imagePath_;
    // Declared before the machine so that it is unmapped only after the machine, whose
    // threads and NDIS may still hold addresses in it, is gone.
    std::unique_ptr<sim::LoadedImage> image_;
    std::unique_ptr<sim::Machine> machine_;
    bool loaded_ = false;
};

// Narrow text of a 16-bit string (characters above 0xFF become '?').
std::string Narrow(const std::u16string &text);
std::u16string Widen(const std::string &text);

}  // namespace krvdlc
