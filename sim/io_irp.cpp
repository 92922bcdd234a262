// io_irp.cpp - requests: building an IRP with its buffers, calling the dispatch routine,
// completion, the cancel spin lock and cancellation, and the verifier rules around them.
#include "sim/io_internal.h"

#include "sim/bugcheck.h"
#include "sim/irql.h"
#include "sim/locks.h"

#include <algorithm>
#include <cstring>

namespace sim {

using namespace io;

namespace {

uintptr_t Ptr(const void *p)
{
    return reinterpret_cast<uintptr_t>(p);
}

size_t RoundUp16(size_t n)
{
    return (n + 15) & ~size_t{15};
}

// The completion as the OVERLAPPED shows it: the byte count first, then the status,
// which is what a user-mode poll looks at.
void PublishToOverlapped(win32::OVERLAPPED *overlapped, NTSTATUS status, ULONG_PTR information)
{
    __atomic_store_n(&overlapped->InternalHigh, information, __ATOMIC_RELAXED);
    __atomic_store_n(&overlapped->Internal,
                     static_cast<win32::ULONG_PTR>(static_cast<uint32_t>(status)),
                     __ATOMIC_RELEASE);
}

void SignalEvent(UserEvent &event, bool state)
{
    event.Signal(state);
}

// Waits until the request is completed and its dispatch routine has returned.
void WaitForCompletion(IoManager::State &state, std::unique_lock<HotMutex> &lock,
                       IrpRecord *record)
{
    auto done = [&] { return record->completed && record->dispatchReturned; };
    state.completionWaiters++;
    const bool finished = state.completion.wait_for(lock, state.userWaitLimit, done);
    state.completionWaiters--;
    if (!finished)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "user-mode wait exceeded its limit: the driver never completed the request",
                 Ptr(record->irp), record->major);
}

const char *CallerName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_READ:
        return "ReadFile";
    case IRP_MJ_WRITE:
        return "WriteFile";
    case IRP_MJ_DEVICE_CONTROL:
        return "DeviceIoControl";
    default:
        return "NtXxxFile";
    }
}

// Cancels `irp` if it is still the outstanding request `id` (0: any).
bool CancelOutstanding(IoManager &io, IoManager::State &state, PIRP irp, uint64_t id)
{
    KIRQL irql;
    io.AcquireCancelSpinLock(&irql);
    PDRIVER_CANCEL routine = nullptr;
    PDEVICE_OBJECT device = nullptr;
    {
        std::lock_guard lock(state.mutex);
        auto it = state.irps.find(irp);
        if (it == state.irps.end() || it->second->completed || (id != 0 && it->second->id != id)) {
            if (it == state.irps.end() && id == 0)
                BugCheck(StopCode::DriverVerifierDetectedViolation,
                         "IoCancelIrp of an IRP that is not outstanding", Ptr(irp));
        } else {
            irp->CancelIrql = irql;
            irp->Cancel = TRUE;
            routine = IoSetCancelRoutine(irp, nullptr);
            device = it->second->device->object;
        }
    }
    if (routine == nullptr) {
        io.ReleaseCancelSpinLock(irql);
        return false;
    }
    kernel::CallCancelRoutine(state.machine, routine, device, irp);
    if (state.cancelOwner.load() == std::this_thread::get_id())
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "cancel routine returned holding the cancel spin lock", Ptr(irp),
                 Ptr(reinterpret_cast<const void *>(routine)));
    VerifierCheck(CurrentIrql() == irql, "cancel routine returned at another IRQL", Ptr(irp),
                  CurrentIrql(), irql);
    return true;
}

bool MismatchExempted(const IoVerifierOptions &options, const IrpRecord &record,
                      NTSTATUS returned)
{
    for (const StatusMismatchExemption &exemption : options.statusMismatchExemptions) {
        const auto &statuses = exemption.completedWith;
        if (exemption.majorFunction == record.major && exemption.returned == returned &&
            std::find(statuses.begin(), statuses.end(), record.status) != statuses.end())
            return true;
    }
    return false;
}

}  // namespace

namespace io {

void ReleaseFileReference(IoManager::State &state, const std::shared_ptr<FileRecord> &file)
{
    file->outstanding--;
    if (file->cleanupDone && file->outstanding == 0 && !file->closeScheduled) {
        file->closeScheduled = true;
        QueueDeferredClose(state, file);
    }
}

// A request is finished once it is completed and its dispatch routine has returned,
// whichever comes last. Its reference goes then, unless its issuer holds it until it
// has collected the result.
void RequestFinished(IoManager::State &state, IrpRecord *record)
{
    if (!record->issuerHolds)
        ReleaseFileReference(state, record->file);
}

namespace {
// The calling thread's record in the I/O manager it last used.
struct CachedUserThread {
    uint64_t manager = 0;
    UserThread *thread = nullptr;
};
thread_local CachedUserThread t_userThread;
}  // namespace

UserThread *CurrentUserThread(IoManager::State &state)
{
    if (t_userThread.manager == state.id)
        return t_userThread.thread;
    auto &slot = state.threads[std::this_thread::get_id()];
    if (slot == nullptr)
        slot = std::make_unique<UserThread>();
    t_userThread = {state.id, slot.get()};
    return slot.get();
}

UserThread *CurrentUserThreadUnlocked(IoManager::State &state)
{
    if (t_userThread.manager == state.id)
        return t_userThread.thread;
    std::lock_guard lock(state.mutex);
    return CurrentUserThread(state);
}

void NotifyCompletion(IoManager::State &state)
{
    if (state.completionWaiters != 0)
        state.completion.notify_all();
}

std::unique_ptr<IrpRecord> BuildIrpLocked(IoManager::State &state,
                                          const std::shared_ptr<FileRecord> &file, UCHAR major)
{
    size_t irpBytes = RoundUp16(sizeof(IRP));
    std::unique_ptr<IrpRecord> record;
    // A collected request's record and memory serve again when at hand.
    for (auto &node : state.spareIrpNodes) {
        if (node.mapped() != nullptr) {
            record = std::move(node.mapped());
            break;
        }
    }
    if (record == nullptr)
        record = std::make_unique<IrpRecord>();
    record->block = state.irpQuarantine.Take(irpBytes + sizeof(IO_STACK_LOCATION));
    auto base = static_cast<std::byte *>(record->block.data());
    auto irp = reinterpret_cast<PIRP>(base);
    auto stack = reinterpret_cast<PIO_STACK_LOCATION>(base + irpBytes);
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(CurrentUserThread(state));
    irp->Type = kTypeIrp;
    irp->Size = static_cast<USHORT>(irpBytes + sizeof(IO_STACK_LOCATION));
    irp->StackCount = 1;
    irp->CurrentLocation = 1;
    irp->RequestorMode = UserMode;
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = stack;
    irp->Tail.Overlay.OriginalFileObject = file->object;
    stack->MajorFunction = major;
    stack->DeviceObject = file->device->object;
    stack->FileObject = file->object;

    record->irp = irp;
    record->stack = stack;
    record->major = major;
    record->file = file;
    record->device = file->device;
    record->driver = file->device->driver;
    record->issuer = std::this_thread::get_id();
    return record;
}

std::unique_ptr<IrpRecord> BuildIrp(IoManager::State &state,
                                    const std::shared_ptr<FileRecord> &file, UCHAR major)
{
    std::lock_guard lock(state.mutex);
    return BuildIrpLocked(state, file, major);
}

IrpRecord *RegisterIrpLocked(IoManager::State &state, std::unique_ptr<IrpRecord> record)
{
    record->id = state.nextIrpId++;
    if (!record->issuerHolds)
        record->file->outstanding++;   // a user request took its reference at the lookup
    IrpRecord *raw = record.get();
    // An entry whose record went to BuildIrp carries this one.
    auto spare = std::find_if(state.spareIrpNodes.begin(), state.spareIrpNodes.end(),
                              [](const IoManager::State::IrpNode &node) { return node.mapped() == nullptr; });
    if (spare != state.spareIrpNodes.end()) {
        IoManager::State::IrpNode node = std::move(*spare);
        *spare = std::move(state.spareIrpNodes.back());
        state.spareIrpNodes.pop_back();
        node.key() = raw->irp;
        node.mapped() = std::move(record);
        state.irps.insert(std::move(node));
    } else {
        state.irps.emplace(raw->irp, std::move(record));
    }
    return raw;
}

IrpRecord *RegisterIrp(IoManager::State &state, std::unique_ptr<IrpRecord> record)
{
    std::lock_guard lock(state.mutex);
    return RegisterIrpLocked(state, std::move(record));
}

NTSTATUS DispatchIrp(IoManager::State &state, IrpRecord *record, std::unique_lock<HotMutex> &lock)
{
    PDRIVER_DISPATCH routine = record->driver->object->MajorFunction[record->major];
    PIRP irp = record->irp;
    NTSTATUS returned = kernel::CallDispatchRoutine(state.machine, routine, record->device->object, irp);
    KIRQL irql = CurrentIrql();
    VerifierCheck(irql == PASSIVE_LEVEL, "dispatch routine returned at raised IRQL", Ptr(irp),
                  irql);

    lock.lock();
    record->dispatchReturned = true;
    bool marked = record->completed ? record->markedPending
                                    : (record->stack->Control & kSlPendingReturned) != 0;
    if (returned == STATUS_PENDING) {
        VerifierCheck(marked, "dispatch routine returned STATUS_PENDING without marking the IRP pending",
                      Ptr(irp), record->major);
    } else {
        VerifierCheck(record->completed,
                      "dispatch routine returned a status for an IRP it neither completed nor pended",
                      Ptr(irp), record->major, static_cast<uint32_t>(returned));
        VerifierCheck(!marked,
                      "dispatch routine marked the IRP pending but returned a status other than STATUS_PENDING",
                      Ptr(irp), record->major, static_cast<uint32_t>(returned));
        if (returned != record->status) {
            VerifierCheck(MismatchExempted(state.verifier, *record, returned),
                          "dispatch routine returned a status other than the IRP's completion status",
                          Ptr(irp), static_cast<uint32_t>(returned),
                          static_cast<uint32_t>(record->status));
            state.statusMismatches++;
        }
    }
    if (record->completed)
        RequestFinished(state, record);
    NotifyCompletion(state);
    return returned;
}

NTSTATUS DispatchIrp(IoManager::State &state, IrpRecord *record)
{
    std::unique_lock lock(state.mutex, std::defer_lock);
    return DispatchIrp(state, record, lock);
}

IoResult FinishIrp(IoManager::State &state, std::unique_lock<HotMutex> &lock, IrpRecord *record,
                   NTSTATUS returned, bool mayPend)
{
    if (returned == STATUS_PENDING && mayPend) {
        // The overlapped caller collects later (or the close does): the reference goes
        // with the request's completion.
        if (record->issuerHolds) {
            record->issuerHolds = false;
            if (record->completed && record->dispatchReturned)
                ReleaseFileReference(state, record->file);
        }
        return {true, STATUS_PENDING, 0};
    }
    if (returned == STATUS_PENDING)
        WaitForCompletion(state, lock, record);
    IoResult result{false, returned == STATUS_PENDING ? record->status : returned,
                    record->information};
    std::shared_ptr<FileRecord> file = record->issuerHolds ? record->file : nullptr;
    CollectIrp(state, record);
    if (file != nullptr)
        ReleaseFileReference(state, file);
    return result;
}

IoResult FinishIrp(IoManager::State &state, IrpRecord *record, NTSTATUS returned, bool mayPend)
{
    std::unique_lock lock(state.mutex);
    return FinishIrp(state, lock, record, returned, mayPend);
}

// The issuer has the result: the IRP goes to the quarantine, still poisoned, and its
// address is remembered there so a late second completion is named as such.
void CollectIrp(IoManager::State &state, IrpRecord *record)
{
    PIRP irp = record->irp;
    if (!record->block.PoisonIntact())
        BugCheck(StopCode::DriverVerifierDetectedViolation, "IRP modified after completion",
                 Ptr(irp), record->major);
    state.irpQuarantine.Add(std::move(record->block));
    IoManager::State::IrpNode node = state.irps.extract(irp);
    if (state.spareIrpNodes.size() < kSpareNodes) {
        *node.mapped() = IrpRecord{};   // drops its file and event references now
        state.spareIrpNodes.push_back(std::move(node));
    }
}

}  // namespace io

void IoManager::CompleteRequest(PIRP irp, CCHAR priorityBoost)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    std::lock_guard lock(state_->mutex);
    auto it = state_->irps.find(irp);
    if (it == state_->irps.end())
        BugCheck(StopCode::MultipleIrpCompleteRequests,
                 state_->irpQuarantine.Holds(irp)
                     ? "IRP completed twice"
                     : "IofCompleteRequest of an IRP the I/O manager did not issue",
                 Ptr(irp));
    IrpRecord *record = it->second.get();
    if (record->completed)
        BugCheck(StopCode::MultipleIrpCompleteRequests, "IRP completed twice", Ptr(irp));
    // The driver sets and clears the routine by interlocked exchange; read it the same way.
    PDRIVER_CANCEL routine = __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE);
    VerifierCheck(routine == nullptr, "IRP completed with a cancel routine set", Ptr(irp),
                  Ptr(reinterpret_cast<const void *>(routine)));
    VerifierCheck(irp->IoStatus.Status != STATUS_PENDING, "IRP completed with STATUS_PENDING",
                  Ptr(irp));

    record->status = irp->IoStatus.Status;
    record->information = irp->IoStatus.Information;
    record->markedPending = (record->stack->Control & kSlPendingReturned) != 0;
    record->cancelled = irp->Cancel != FALSE;
    if (priorityBoost != 0)
        state_->nonzeroBoosts++;

    if (record->copyBackTo != nullptr && !NtError(record->status)) {
        VerifierCheck(record->information <= record->copyBackLength,
                      "buffered request completed with more bytes than its output buffer holds",
                      Ptr(irp), record->information, record->copyBackLength);
        std::memcpy(record->copyBackTo, record->systemBuffer, record->information);
    }
    if (record->systemBuffer != nullptr) {
        kernel::FreeNonPaged(state_->machine, record->systemBuffer);
        record->systemBuffer = nullptr;
    }
    FreeRequestMdls(*state_, irp->MdlAddress);
    record->block.Retire();
    record->completed = true;

    if (state_->completions.size() == State::kCompletionsKept)
        state_->completions.pop_front();
    state_->completions.push_back({{record->id, record->major, record->ioControlCode,
                                    record->status, record->information, priorityBoost,
                                    record->cancelled, record->markedPending, {}},
                                   record->device->sharedName});
    if (record->overlapped != nullptr)
        PublishToOverlapped(record->overlapped, record->status, record->information);
    if (record->event != nullptr)
        SignalEvent(*record->event, true);

    if (record->dispatchReturned)
        RequestFinished(*state_, record);
    NotifyCompletion(*state_);
}

void IoManager::AcquireCancelSpinLock(PKIRQL irql)
{
    *irql = AcquireKernelLock(&state_->cancelLock, "system cancel spin lock");
    state_->cancelOwner.store(std::this_thread::get_id());
}

void IoManager::ReleaseCancelSpinLock(KIRQL irql)
{
    if (state_->cancelOwner.load() != std::this_thread::get_id())
        BugCheck(StopCode::SpinLockNotOwned,
                 "cancel spin lock released by a thread that does not hold it", irql);
    state_->cancelOwner.store(std::thread::id{});
    ReleaseKernelLock(&state_->cancelLock, irql);
}

bool IoManager::CancelIrp(PIRP irp)
{
    return CancelOutstanding(*this, *state_, irp, 0);
}

IoResult IoManager::Issue(void *handle, const IoRequest &request)
{
    const char *caller = CallerName(request.majorFunction);
    RequireIrqlExactly(PASSIVE_LEVEL, caller);
    // The mutex is held from the handle lookup to the request's registration, and again
    // from the dispatch routine's return to the result; it is let go only around the
    // issue gate and the system buffer's allocation.
    std::unique_lock lock(state_->mutex);
    std::shared_ptr<FileRecord> file;
    std::shared_ptr<UserEvent> event;
    auto it = state_->handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == state_->handles.end() || it->second.file == nullptr)
        return {false, STATUS_INVALID_HANDLE, 0};
    if (request.event != nullptr) {
        auto ev = state_->handles.find(reinterpret_cast<uintptr_t>(request.event));
        if (ev == state_->handles.end() || ev->second.event == nullptr)
            return {false, STATUS_INVALID_HANDLE, 0};
        event = ev->second.event;
    }
    // The request references the file object from here on: a close of the handle
    // by another thread sends the cleanup, but the close waits for this request.
    file = it->second.file;
    file->outstanding++;
    if (state_->issueGate) {
        std::function<void(UCHAR)> gate = state_->issueGate;
        lock.unlock();
        gate(request.majorFunction);
        lock.lock();
    }
    auto refused = [&](NTSTATUS status) {
        ReleaseFileReference(*state_, file);
        return IoResult{false, status, 0};
    };
    if (file->overlapped && request.overlapped == nullptr)
        return refused(STATUS_INVALID_PARAMETER);
    if ((request.input == nullptr && request.inputLength != 0) ||
        (request.output == nullptr && request.outputLength != 0))
        return refused(kStatusAccessViolation);

    auto record = BuildIrpLocked(*state_, file, request.majorFunction);
    record->issuerHolds = true;
    PIRP irp = record->irp;
    PIO_STACK_LOCATION stack = record->stack;
    ULONG deviceFlags = ReadDeviceFlagsUnlocked(file->device->object);
    bool inputCopied = false;

    auto allocateSystemBuffer = [&](size_t bytes) {
        lock.unlock();   // the pool is not taken under the I/O manager's mutex
        void *buffer = kernel::AllocateNonPaged(state_->machine, bytes);
        lock.lock();
        record->systemBuffer = buffer;
        irp->AssociatedIrp.SystemBuffer = buffer;
        if (buffer == nullptr)   // the unused IRP's memory goes back to the quarantine
            state_->irpQuarantine.Add(std::move(record->block));
        return buffer != nullptr;
    };
    auto describeWithMdl = [&](void *address, ULONG length) {
        irp->MdlAddress = state_->mdls.Create(address, length, MdlOwner::Request);
    };

    switch (request.majorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        bool read = request.majorFunction == IRP_MJ_READ;
        void *buffer = read ? request.output : const_cast<void *>(request.input);
        ULONG length = read ? request.outputLength : request.inputLength;
        stack->Parameters.Read.Length = length;
        stack->Parameters.Read.ByteOffset.QuadPart = request.byteOffset;
        irp->UserBuffer = buffer;
        if ((deviceFlags & DO_BUFFERED_IO) != 0 && length != 0) {
            if (!allocateSystemBuffer(length))
                return refused(STATUS_INSUFFICIENT_RESOURCES);
            if (read) {
                record->method = BufferMethod::Buffered;
                record->copyBackTo = buffer;
                record->copyBackLength = length;
            } else {
                std::memcpy(record->systemBuffer, buffer, length);
            }
        } else if ((deviceFlags & DO_DIRECT_IO) != 0 && length != 0) {
            record->method = BufferMethod::Direct;
            describeWithMdl(buffer, length);
        } else {
            record->method = BufferMethod::Neither;
        }
        break;
    }
    case IRP_MJ_DEVICE_CONTROL: {
        record->ioControlCode = request.ioControlCode;
        stack->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
        stack->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        switch (request.ioControlCode & 3) {
        case METHOD_BUFFERED: {
            record->method = BufferMethod::Buffered;
            size_t bytes = std::max(request.inputLength, request.outputLength);
            if (bytes != 0) {
                if (!allocateSystemBuffer(bytes))
                    return refused(STATUS_INSUFFICIENT_RESOURCES);
                inputCopied = true;
                record->copyBackTo = request.output;
                record->copyBackLength = request.outputLength;
            }
            irp->UserBuffer = request.output;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            record->method = BufferMethod::Direct;
            if (request.inputLength != 0) {
                if (!allocateSystemBuffer(request.inputLength))
                    return refused(STATUS_INSUFFICIENT_RESOURCES);
                inputCopied = true;
            }
            if (request.outputLength != 0)
                describeWithMdl(request.output, request.outputLength);
            break;
        default:
            record->method = BufferMethod::Neither;
            stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(request.input);
            irp->UserBuffer = request.output;
            break;
        }
        if (inputCopied && request.inputLength != 0)
            std::memcpy(record->systemBuffer, request.input, request.inputLength);
        break;
    }
    default:
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "the Win32 layer issued a request of an unsupported major function",
                 request.majorFunction);
    }

    record->overlapped = request.overlapped;
    record->event = event;
    if (request.overlapped != nullptr)
        PublishToOverlapped(request.overlapped, STATUS_PENDING, 0);
    if (event != nullptr)
        SignalEvent(*event, false);

    IrpRecord *raw = RegisterIrpLocked(*state_, std::move(record));
    lock.unlock();
    NTSTATUS returned = DispatchIrp(*state_, raw, lock);
    return FinishIrp(*state_, lock, raw, returned, request.overlapped != nullptr && file->overlapped);
}

bool IoManager::OverlappedResult(void *handle, win32::OVERLAPPED *overlapped, bool wait,
                                 IoResult *result)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "GetOverlappedResult");
    std::unique_lock lock(state_->mutex);
    auto it = state_->handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == state_->handles.end() || it->second.file == nullptr) {
        *result = {false, STATUS_INVALID_HANDLE, 0};
        return true;
    }
    IrpRecord *record = nullptr;
    for (auto &[irp, candidate] : state_->irps)
        if (candidate->overlapped == overlapped && candidate->file == it->second.file)
            record = candidate.get();
    if (record == nullptr) {
        // Collected already (or never pended): the OVERLAPPED holds the result.
        auto status = static_cast<NTSTATUS>(
            __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
        if (status == STATUS_PENDING)
            return false;
        *result = {false, status, overlapped->InternalHigh};
        return true;
    }
    if (!(record->completed && record->dispatchReturned)) {
        if (!wait)
            return false;
        WaitForCompletion(*state_, lock, record);
    }
    *result = {false, record->status, record->information};
    CollectIrp(*state_, record);
    return true;
}

bool IoManager::CancelThreadIo(void *handle)
{
    RequireIrqlExactly(PASSIVE_LEVEL, "CancelIo");
    std::vector<std::pair<PIRP, uint64_t>> targets;
    {
        std::lock_guard lock(state_->mutex);
        auto it = state_->handles.find(reinterpret_cast<uintptr_t>(handle));
        if (it == state_->handles.end() || it->second.file == nullptr)
            return false;
        for (auto &[irp, record] : state_->irps)
            if (record->file == it->second.file && !record->completed &&
                record->issuer == std::this_thread::get_id())
                targets.emplace_back(irp, record->id);
    }
    std::sort(targets.begin(), targets.end(),
              [](const auto &a, const auto &b) { return a.second < b.second; });
    for (auto &[irp, id] : targets)
        CancelOutstanding(*this, *state_, irp, id);
    return true;
}

}  // namespace sim

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    sim::Machine::Current().io().CompleteRequest(Irp, PriorityBoost);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    sim::Machine::Current().io().AcquireCancelSpinLock(Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    sim::Machine::Current().io().ReleaseCancelSpinLock(Irql);
}

}  // extern "C"
