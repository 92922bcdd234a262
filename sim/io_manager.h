// io_manager.h - the simulated I/O manager: object namespace (devices and symbolic
// links), the driver object, requests (IRPs) with their buffers, completion and
// cancellation, memory descriptor lists, and the file objects and handles behind the
// emulated Win32 API (sim/win32.h).
//
// It checks the driver like the platform's driver verifier: a request completed twice,
// completed with a cancel routine set or with STATUS_PENDING, a dispatch routine that
// pends without marking the request or returns a status that does not match, a cancel
// routine that returns holding the cancel spin lock, a driver touching a completed
// request or a deleted device (poisoned memory) - each stops the machine (sim/bugcheck.h).
//
// The kernel routines of platform/nt.h that belong here (IoCreateDevice ... IoFreeMdl,
// MmMapLockedPagesSpecifyCache) reach it through Machine::Current().io(). Tests use the
// query functions below to see what the driver did.
#pragma once

#include "sim/machine.h"
#include "sim/faults.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

namespace win32 {
struct OVERLAPPED;
}

// One completed request, in completion order.
struct IoCompletion {
    uint64_t irpId = 0;
    UCHAR majorFunction = 0;
    ULONG ioControlCode = 0;       // IRP_MJ_DEVICE_CONTROL only
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    CCHAR priorityBoost = 0;
    bool cancelled = false;        // Irp->Cancel was set when it completed
    bool markedPending = false;    // the dispatch routine had marked it pending
    std::u16string device;         // name of the target device (empty when unnamed)
};

// One request that the driver holds (issued, not yet completed).
struct PendingIrp {
    uint64_t irpId = 0;
    PIRP irp = nullptr;
    UCHAR majorFunction = 0;
    ULONG ioControlCode = 0;
    std::u16string device;
    bool dispatchReturned = false;
};

// One dispatch path that may return a status other than the one it completed its request
// with: the request's major function, the status the routine returns on that path and the
// completion statuses the path produces. Such a mismatch is counted (StatusMismatches) and
// the caller sees the returned status, as on the platform.
struct StatusMismatchExemption {
    std::string path;                      // what the exemption covers, in the driver's terms
    UCHAR majorFunction = 0;
    NTSTATUS returned = 0;
    std::vector<NTSTATUS> completedWith;
};

struct IoVerifierOptions {
    // A dispatch routine that completes a request and returns a status other than the
    // request's IoStatus.Status stops the machine unless an exemption names that path.
    std::vector<StatusMismatchExemption> statusMismatchExemptions;
};

// What a request asks for; filled by the Win32 layer.
struct IoRequest {
    UCHAR majorFunction = 0;
    ULONG ioControlCode = 0;
    const void *input = nullptr;   // write data, device-control input
    ULONG inputLength = 0;
    void *output = nullptr;        // read buffer, device-control output
    ULONG outputLength = 0;
    LONGLONG byteOffset = 0;
    win32::OVERLAPPED *overlapped = nullptr;
    void *event = nullptr;         // user event handle to signal (OVERLAPPED.hEvent)
};

// Result of a request as the caller sees it.
struct IoResult {
    bool pending = false;          // returned STATUS_PENDING to an overlapped caller
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
};

class IoManager {
public:
    explicit IoManager(Machine &machine);
    ~IoManager();
    IoManager(const IoManager &) = delete;
    IoManager &operator=(const IoManager &) = delete;

    // ---- kernel routines (called by the extern "C" entry points) ------------------
    NTSTATUS CreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize,
                          PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                          ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *device);
    void DeleteDevice(PDEVICE_OBJECT device);
    NTSTATUS CreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target);
    NTSTATUS DeleteSymbolicLink(PUNICODE_STRING link);
    void CompleteRequest(PIRP irp, CCHAR priorityBoost);
    void AcquireCancelSpinLock(PKIRQL irql);
    void ReleaseCancelSpinLock(KIRQL irql);
    // IoCancelIrp: true when a cancel routine was called.
    bool CancelIrp(PIRP irp);
    // IoAllocateMdl. Other parts of the machine that describe their own buffers (NDIS's
    // miniport buffers) pass chargeToDriver false: such MDLs are not the driver's to free
    // and do not count in DriverMdlsOutstanding or the unload check.
    PMDL AllocateMdl(PVOID address, ULONG length, BOOLEAN secondary, PIRP irp,
                     bool chargeToDriver = true);
    void FreeMdl(PMDL mdl);
    void BuildMdlForNonPagedPool(PMDL mdl);
    PVOID MapLockedPages(PMDL mdl, KPROCESSOR_MODE mode, ULONG bugCheckOnFailure);

    // ---- driver load and unload (sim/driver_loader.h) -----------------------------
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string serviceKeyPath,
                        std::u16string driverName, uint32_t poolTag);
    bool UnloadDriver();
    PDRIVER_OBJECT LoadedDriver() const;

    // ---- user-mode side (sim/win32.cpp) ---------------------------------------------
    // Opens \\.\NAME; returns the status and, on success, a new user handle.
    NTSTATUS OpenFile(std::u16string_view userName, ULONG desiredAccess, ULONG shareAccess,
                      bool overlapped, void **handle);
    // Closes a user handle (file or event); false when it was not open.
    bool CloseUserHandle(void *handle);
    // Issues a request on a file handle. STATUS_INVALID_HANDLE for a bad handle.
    IoResult Issue(void *handle, const IoRequest &request);
    // Result of an overlapped request: false (and nothing stored) while it is still
    // pending and `wait` is false.
    bool OverlappedResult(void *handle, win32::OVERLAPPED *overlapped, bool wait,
                          IoResult *result);
    // Cancels the requests this thread issued on `handle`; false for a bad handle.
    bool CancelThreadIo(void *handle);
    void *CreateUserEvent(bool manualReset, bool initialState);
    bool SetUserEvent(void *handle, bool state);
    // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
    uint32_t WaitUserEvent(void *handle, uint32_t milliseconds);
    // WAIT_OBJECT_0 + index of the first signalled event, WAIT_TIMEOUT or WAIT_FAILED.
    uint32_t WaitAnyUserEvent(void *const *handles, uint32_t count, uint32_t milliseconds);
    uint32_t LastError();
    void SetLastError(uint32_t error);
    bool IsOverlappedHandle(void *handle) const;

    // ---- queries for tests ------------------------------------------------------------
    bool DeviceExists(std::u16string_view name) const;
    PDEVICE_OBJECT FindDevice(std::u16string_view name) const;
    bool SymbolicLinkExists(std::u16string_view name) const;
    std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view name) const;
    // Names of the devices on the driver object's list, head first (unnamed: u"").
    std::vector<std::u16string> DriverDeviceNames(PDRIVER_OBJECT driver) const;
    std::optional<ULONG> DeviceFlags(std::u16string_view name) const;
    size_t OpenHandleCount(std::u16string_view deviceName) const;
    size_t OpenFileObjectCount(std::u16string_view deviceName) const;
    std::vector<PendingIrp> PendingIrps() const;
    // The latest completions (a long run keeps its last 16,384), oldest first.
    std::vector<IoCompletion> Completions() const;
    void ClearCompletions();
    size_t DriverMdlsOutstanding() const;
    uint64_t NonzeroPriorityBoosts() const;
    uint64_t StatusMismatches() const;
    // Returns once every close that waited for its file's last request has been sent.
    void WaitForDeferredCloses();

    void SetVerifierOptions(IoVerifierOptions options);
    // How long a blocking user-mode call waits for the driver before the machine stops
    // with "user-mode wait exceeded its limit" (a hung driver fails the test quickly).
    void SetUserWaitLimit(std::chrono::milliseconds limit);
    // Called on the issuing thread once a request holds its file object and before it
    // reaches the driver: a test stands in there for a thread preempted in that window,
    // while another thread closes the handle (as can happen on Windows).
    void SetIssueGate(std::function<void(UCHAR majorFunction)> gate);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace sim
