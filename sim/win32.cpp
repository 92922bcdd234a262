// win32.cpp - the emulated Win32 API over the simulated I/O manager, and the user-mode
// objects it needs of its own: events and the per-thread last error.
#include "sim/win32.h"

#include "sim/io_internal.h"
#include "sim/irql.h"
#include "sim/spin_wait.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace sim {

using namespace io;

void *IoManager::CreateUserEvent(bool manualReset, bool initialState)
{
    auto event = std::make_shared<UserEvent>();
    event->manualReset = manualReset;
    event->state = initialState;
    std::lock_guard lock(state_->mutex);
    uintptr_t value = state_->nextHandle;
    state_->nextHandle += 4;
    state_->handles[value] = HandleEntry{nullptr, std::move(event)};
    return reinterpret_cast<void *>(value);
}

namespace {

// The event behind `handle`, or null; state.mutex held.
std::shared_ptr<UserEvent> LookupEventLocked(IoManager::State &state, void *handle)
{
    auto it = state.handles.find(reinterpret_cast<uintptr_t>(handle));
    return it != state.handles.end() ? it->second.event : nullptr;
}

std::shared_ptr<UserEvent> LookupEvent(IoManager::State &state, void *handle)
{
    std::lock_guard lock(state.mutex);
    return LookupEventLocked(state, handle);
}

// How long a wait looks at its events before it goes to sleep. It outlasts a short
// stall of the thread that is to signal (a receive loop the host did not schedule for a
// while): a reader asleep when the frames come back is woken late, and sixteen lookahead
// frames queued meanwhile hold every packet until it reopens. Looking costs little while
// the wait lasts, as SpinWait yields on almost every turn.
constexpr std::chrono::microseconds kSpinBeforeSleep{1000};

// Spins until one of `events` looks signalled or the spin (never longer than the wait's
// time-out) is over; true when one does. A signal due within microseconds - the next
// frame of a saturated link completing a read - is cheaper caught this way than by
// sleeping and being woken. The caller still takes the event under its mutex.
bool SpinForSignal(const std::shared_ptr<UserEvent> *events, size_t count, uint32_t milliseconds)
{
    auto spin = std::min<std::chrono::microseconds>(kSpinBeforeSleep, std::chrono::milliseconds(milliseconds));
    auto end = std::chrono::steady_clock::now() + spin;
    SpinWait wait;
    for (;;) {
        for (size_t i = 0; i < count; ++i) {
            if (events[i]->state.load(std::memory_order_acquire))
                return true;
        }
        // A poll (no time to wait) looks once: a yield would hand the processor away.
        if (std::chrono::steady_clock::now() >= end)
            return false;
        wait.Pause();
    }
}

// WAIT_OBJECT_0 + the index of the first signalled event, taking it (an auto-reset event
// releases one waiter), or WAIT_TIMEOUT.
uint32_t TakeFirstSignalled(const std::vector<std::shared_ptr<UserEvent>> &events)
{
    for (size_t i = 0; i < events.size(); ++i) {
        std::lock_guard lock(events[i]->mutex);
        if (events[i]->Take())
            return win32::WAIT_OBJECT_0 + static_cast<uint32_t>(i);
    }
    return win32::WAIT_TIMEOUT;
}

}  // namespace

void UserEvent::Signal(bool newState)
{
    // A reset wakes nobody, and a set that no sleeper can miss needs no mutex: a sleeper
    // counts itself before it looks at the state, the setter looks at the count after it
    // stored the state (both sequentially consistent), so one of them sees the other.
    state.store(newState);
    if (!newState || sleepers.load() == 0)
        return;
    std::vector<std::shared_ptr<EventWaiter>> toWake;
    {
        std::lock_guard lock(mutex);
        toWake = waiters;
    }
    signalled.notify_all();
    for (const auto &waiter : toWake) {
        {
            std::lock_guard lock(waiter->mutex);
            waiter->pending = true;
        }
        waiter->woken.notify_all();
    }
}

bool IoManager::SetUserEvent(void *handle, bool signalled)
{
    auto event = LookupEvent(*state_, handle);
    if (event == nullptr)
        return false;
    event->Signal(signalled);
    return true;
}

uint32_t IoManager::WaitAnyUserEvent(void *const *handles, uint32_t count, uint32_t milliseconds)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "WaitForMultipleObjects");
    std::vector<std::shared_ptr<UserEvent>> events;
    {
        std::lock_guard lock(state_->mutex);
        for (uint32_t i = 0; i < count; ++i) {
            auto event = LookupEventLocked(*state_, handles[i]);
            if (event == nullptr)
                return win32::WAIT_FAILED;
            events.push_back(std::move(event));
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    if (SpinForSignal(events.data(), events.size(), milliseconds)) {
        uint32_t taken = TakeFirstSignalled(events);
        if (taken != win32::WAIT_TIMEOUT)
            return taken;
    }
    // The waiter is registered with every event before the first look at them, so that a
    // signal between the look and the wait is not lost.
    auto waiter = std::make_shared<EventWaiter>();
    for (const auto &event : events) {
        std::lock_guard lock(event->mutex);
        event->sleepers.fetch_add(1);
        event->waiters.push_back(waiter);
    }
    uint32_t outcome = win32::WAIT_TIMEOUT;
    for (;;) {
        outcome = TakeFirstSignalled(events);
        if (outcome != win32::WAIT_TIMEOUT)
            break;
        std::unique_lock lock(waiter->mutex);
        auto woken = [&] { return waiter->pending; };
        if (milliseconds == win32::INFINITE)
            waiter->woken.wait(lock, woken);
        else if (!waiter->woken.wait_until(lock, deadline, woken))
            break;
        waiter->pending = false;
    }
    for (const auto &event : events) {
        std::lock_guard lock(event->mutex);
        auto &list = event->waiters;
        list.erase(std::remove(list.begin(), list.end(), waiter), list.end());
        event->sleepers.fetch_sub(1);
    }
    return outcome;
}

uint32_t IoManager::WaitUserEvent(void *handle, uint32_t milliseconds)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "WaitForSingleObject");
    auto event = LookupEvent(*state_, handle);
    if (event == nullptr)
        return win32::WAIT_FAILED;
    SpinForSignal(&event, 1, milliseconds);
    std::unique_lock lock(event->mutex);
    auto signalled = [&] { return event->Take(); };
    event->sleepers.fetch_add(1);
    bool woken = true;
    if (milliseconds == win32::INFINITE)
        event->signalled.wait(lock, signalled);
    else
        woken = event->signalled.wait_for(lock, std::chrono::milliseconds(milliseconds), signalled);
    event->sleepers.fetch_sub(1);
    return woken ? win32::WAIT_OBJECT_0 : win32::WAIT_TIMEOUT;
}

// The last error belongs to the calling thread alone: no mutex once its record is known.
uint32_t IoManager::LastError()
{
    return CurrentUserThreadUnlocked(*state_)->lastError;
}

void IoManager::SetLastError(uint32_t error)
{
    CurrentUserThreadUnlocked(*state_)->lastError = error;
}

}  // namespace sim

namespace sim::win32 {

namespace {

IoManager &Io()
{
    return Machine::Current().io();
}

// Sets the last error from a failed status and returns FALSE, as kernel32 does.
BOOL Fail(NTSTATUS status)
{
    Io().SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

// The common tail of ReadFile, WriteFile and DeviceIoControl.
BOOL Conclude(const IoResult &result, LPDWORD bytes)
{
    if (result.pending) {
        Io().SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (bytes != nullptr && !NtError(result.status))
        *bytes = static_cast<DWORD>(result.information);
    if (!NT_SUCCESS(result.status))
        return Fail(result.status);
    return TRUE;
}

IoRequest WithOverlapped(IoRequest request, LPOVERLAPPED overlapped)
{
    if (overlapped != nullptr) {
        request.overlapped = overlapped;
        request.event = overlapped->hEvent;
        request.byteOffset = static_cast<LONGLONG>(
            (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset);
    }
    return request;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void *lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    (void)dwCreationDisposition;
    (void)hTemplateFile;
    if (lpFileName == nullptr) {
        Io().SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    void *handle = nullptr;
    NTSTATUS status = Io().OpenFile(lpFileName, dwDesiredAccess, dwShareMode,
                                    (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, &handle);
    if (!NT_SUCCESS(status)) {
        Fail(status);
        return INVALID_HANDLE_VALUE;
    }
    Io().SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL CloseHandle(HANDLE hObject)
{
    if (!Io().CloseUserHandle(hObject)) {
        Io().SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    IoRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = dwIoControlCode;
    request.input = lpInBuffer;
    request.inputLength = nInBufferSize;
    request.output = lpOutBuffer;
    request.outputLength = nOutBufferSize;
    return Conclude(Io().Issue(hDevice, WithOverlapped(request, lpOverlapped)), lpBytesReturned);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0;
    IoRequest request;
    request.majorFunction = IRP_MJ_READ;
    request.output = lpBuffer;
    request.outputLength = nNumberOfBytesToRead;
    return Conclude(Io().Issue(hFile, WithOverlapped(request, lpOverlapped)),
                    lpNumberOfBytesRead);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    IoRequest request;
    request.majorFunction = IRP_MJ_WRITE;
    request.input = lpBuffer;
    request.inputLength = nNumberOfBytesToWrite;
    return Conclude(Io().Issue(hFile, WithOverlapped(request, lpOverlapped)),
                    lpNumberOfBytesWritten);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    if (lpOverlapped == nullptr) {
        Io().SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    IoResult result;
    if (!Io().OverlappedResult(hFile, lpOverlapped, bWait != FALSE, &result)) {
        Io().SetLastError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    if (lpNumberOfBytesTransferred != nullptr)
        *lpNumberOfBytesTransferred = static_cast<DWORD>(result.information);
    if (!NT_SUCCESS(result.status))
        return Fail(result.status);
    return TRUE;
}

BOOL CancelIo(HANDLE hFile)
{
    if (!Io().CancelThreadIo(hFile)) {
        Io().SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventW(void *lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName)
{
    (void)lpEventAttributes;
    if (lpName != nullptr) {
        // Named events would be shared between processes; the tools never need them.
        Io().SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return Io().CreateUserEvent(bManualReset != FALSE, bInitialState != FALSE);
}

BOOL SetEvent(HANDLE hEvent)
{
    if (!Io().SetUserEvent(hEvent, true)) {
        Io().SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    if (!Io().SetUserEvent(hEvent, false)) {
        Io().SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    DWORD result = Io().WaitUserEvent(hHandle, dwMilliseconds);
    if (result == WAIT_FAILED)
        Io().SetLastError(ERROR_INVALID_HANDLE);
    return result;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        Io().SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (bWaitAll) {
        // Nothing in KRVDLC's user-mode side waits for all; refused rather than faked.
        Io().SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    DWORD result = Io().WaitAnyUserEvent(lpHandles, nCount, dwMilliseconds);
    if (result == WAIT_FAILED)
        Io().SetLastError(ERROR_INVALID_HANDLE);
    return result;
}

DWORD GetLastError()
{
    return Io().LastError();
}

void SetLastError(DWORD dwErrCode)
{
    Io().SetLastError(dwErrCode);
}

}  // namespace sim::win32
