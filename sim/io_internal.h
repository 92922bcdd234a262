// io_internal.h - the I/O manager's private records, shared by its source files
// (io_manager.cpp, io_objects.cpp, io_irp.cpp, mdl.cpp, win32.cpp, driver_loader.cpp).
//
// Everything here is guarded by IoManager::State::mutex unless a field says otherwise.
// Driver code is never called with that mutex held.
#pragma once

#include "sim/cache_line.h"
#include "sim/hot_mutex.h"
#include "sim/io_manager.h"
#include "sim/spare_nodes.h"
#include "sim/win32.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim::io {

inline constexpr ULONG kPageSize = 4096;
inline constexpr UCHAR kSlPendingReturned = 0x01;   // IO_STACK_LOCATION.Control
inline constexpr unsigned char kPoisonByte = 0xD5;  // fill of retired objects

// Object type codes the platform stores in each object's Type field.
inline constexpr CSHORT kTypeDevice = 3;
inline constexpr CSHORT kTypeDriver = 4;
inline constexpr CSHORT kTypeFile = 5;
inline constexpr CSHORT kTypeIrp = 6;

// FILE_OBJECT.Flags: the handle does synchronous I/O.
inline constexpr ULONG kFoSynchronousIo = 0x00000002;

// Status codes the I/O manager produces that the driver's declarations do not name.
inline constexpr NTSTATUS kStatusAccessViolation = static_cast<NTSTATUS>(0xC0000005);
inline constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003B);

// Zero-filled, 16-byte aligned memory for one simulated object. Retiring a block fills
// it with kPoisonByte and, under AddressSanitizer, poisons it, so that any later touch
// by the driver is reported; ASan-less builds still find writes through PoisonIntact.
// A block has memory of its own from the host heap, or a slot of a Quarantine's chunk
// (which the quarantine frees when it ends).
class Block {
public:
    Block() = default;
    explicit Block(size_t bytes);
    ~Block();
    Block(Block &&other) noexcept;
    Block &operator=(Block &&other) noexcept;
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;

    void *data() const { return data_; }
    size_t size() const { return size_; }
    void Retire();
    // Unpoisons a retired block and tells whether its fill is still intact.
    bool PoisonIntact();
    // Makes a retired block usable again, zero-filled.
    void Reuse();

private:
    friend class Quarantine;
    Block(std::byte *slot, size_t size) : data_(slot), size_(size), owned_(false) {}
    void Release();
    std::byte *data_ = nullptr;
    size_t size_ = 0;
    bool retired_ = false;
    bool owned_ = true;     // false: a slot of a quarantine's chunk
};

// Retired blocks kept poisoned for a while, so that late touches hit poison and not
// reused memory. Holds at most `limit` blocks; the oldest leave first, and their memory
// is kept (still poisoned) for Take. New blocks of the sizes requests use are carved
// from chunks, so that a steady stream of requests goes to the host heap once per chunk
// rather than for each object, also while the quarantine fills.
class Quarantine {
public:
    explicit Quarantine(size_t limit) : limit_(limit) {}
    ~Quarantine();
    Quarantine(const Quarantine &) = delete;
    Quarantine &operator=(const Quarantine &) = delete;
    // Retires `block`; returns the address of the block that left to make room, or null.
    const void *Add(Block block);
    // A zero-filled block of `bytes` (rounded as Block rounds), from memory that left the
    // quarantine when a block of that size is at hand.
    Block Take(size_t bytes);
    // Whether a retired block starts at `address`: tells a second completion or free
    // from a stray address. A walk of the quarantine, for the bug-check path only, so that
    // retiring costs no look-up table.
    bool Holds(const void *address) const;

private:
    static constexpr size_t kChunkBytes = 16384;
    static constexpr size_t kLargestCarved = 2048;   // larger blocks: the host heap, one each
    static constexpr size_t kSpareOwnedBlocks = 64;  // of the host heap, kept per size
    struct SizeClass {
        size_t size;
        std::vector<Block> spare;   // left the quarantine, or never used
    };
    SizeClass &ClassOf(size_t rounded);

    size_t limit_;
    std::deque<Block> blocks_;
    std::vector<SizeClass> classes_;    // one per size seen; requests use a few
    std::vector<std::pair<std::byte *, size_t>> chunks_;
};

struct DriverRecord;

struct DeviceRecord {
    Block block;                    // DEVICE_OBJECT, then the extension
    PDEVICE_OBJECT object = nullptr;
    std::u16string name;            // as created; empty for an unnamed device
    std::shared_ptr<const std::u16string> sharedName;   // the same, for completion records
    DriverRecord *driver = nullptr;
    bool deleted = false;
    bool createdDuringEntry = false;
    size_t fileObjects = 0;         // file objects not yet closed (the device's references)
    size_t handles = 0;             // open user handles
};

struct DriverRecord {
    Block block;                    // DRIVER_OBJECT and its extension
    PDRIVER_OBJECT object = nullptr;
    std::u16string name;
    std::shared_ptr<const std::u16string> sourceName;  // after the last '\\': error-log entries' %1
    uint32_t poolTag = 0;
    Block serviceKey;               // the registry path handed to DriverEntry
    bool inDriverEntry = false;
    std::set<std::u16string> links;  // keys of links the driver created
};

// A thread in WaitForMultipleObjects: every event it waits on wakes it.
struct EventWaiter {
    std::mutex mutex;
    std::condition_variable woken;
    bool pending = false;
};

struct UserEvent {
    std::mutex mutex;                 // guards waiters and the sleeps on `signalled`
    std::condition_variable signalled;
    std::atomic<bool> state{false};   // read without the mutex by a waiter's spin
    // Threads that sleep on the event or are registered in `waiters`, counted under the
    // mutex before they look at `state`: a setter that sees none need not wake anyone.
    std::atomic<size_t> sleepers{0};
    bool manualReset = true;
    std::vector<std::shared_ptr<EventWaiter>> waiters;

    // Sets or clears the event; setting it wakes its waiters of both kinds.
    void Signal(bool newState);
    // Whether it is signalled; an auto-reset event is taken (cleared) in the same step,
    // so that of two waiters only one is released by one signal.
    bool Take() { return manualReset ? state.load() : state.exchange(false); }
};

struct FileRecord {
    Block block;                    // FILE_OBJECT and its name
    PFILE_OBJECT object = nullptr;
    DeviceRecord *device = nullptr;
    bool overlapped = false;
    size_t handles = 0;
    // References held by requests: one from the handle lookup of a user request until its
    // issuer has the result (or, for an overlapped request that pended, until it has
    // completed and its dispatch routine returned), one per I/O manager request (create,
    // cleanup, close) while it is outstanding. The close goes out when the last one goes.
    size_t outstanding = 0;
    bool cleanupDone = false;
    bool closeScheduled = false;
    bool closed = false;
};

enum class BufferMethod { None, Buffered, Direct, Neither };

struct IrpRecord {
    uint64_t id = 0;
    Block block;                    // IRP, then its one stack location
    PIRP irp = nullptr;
    PIO_STACK_LOCATION stack = nullptr;
    UCHAR major = 0;
    ULONG ioControlCode = 0;
    std::shared_ptr<FileRecord> file;
    DeviceRecord *device = nullptr;
    DriverRecord *driver = nullptr;
    std::thread::id issuer;
    BufferMethod method = BufferMethod::None;
    void *systemBuffer = nullptr;
    void *copyBackTo = nullptr;     // user buffer that receives the system buffer's output
    ULONG copyBackLength = 0;
    win32::OVERLAPPED *overlapped = nullptr;
    std::shared_ptr<UserEvent> event;
    // Completion, filled by IofCompleteRequest.
    bool completed = false;
    bool dispatchReturned = false;
    bool markedPending = false;
    bool cancelled = false;
    bool issuerHolds = false;       // the issuer holds a file reference until it has the result
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
};

enum class MdlOwner { Driver, System, Request };

// Spare map entries kept at most.
inline constexpr size_t kSpareNodes = 64;

struct MdlRecord {
    Block block;
    MdlOwner owner = MdlOwner::Driver;
};

// The MDLs the I/O manager has handed out and not yet taken back, kept by the thread that
// made them: an indicating thread makes and frees its frames' MDLs while a reader makes
// and frees its requests' MDLs, and one table under one mutex would pass that mutex and
// its lines between their processors several times a frame. Each thread keeps its MDLs in
// a shard of its own; an MDL freed by another thread is found in the maker's shard. Has a
// mutex per shard and takes no other lock (it may be called under State::mutex).
class MdlTable {
public:
    PMDL Create(void *address, ULONG length, MdlOwner owner);
    // The owner of `mdl`, or nothing when it is not outstanding.
    std::optional<MdlOwner> OwnerOf(PMDL mdl) const;
    // Takes `mdl` back unless its owner is `keep`; the owner it had, or nothing when it
    // was not outstanding (then nothing changes).
    std::optional<MdlOwner> Retire(PMDL mdl, std::optional<MdlOwner> keep = std::nullopt);
    // Whether `mdl` was taken back lately: tells a second free from a stray address.
    bool RetiredLately(PMDL mdl) const;
    size_t Outstanding(MdlOwner owner) const;

private:
    static constexpr size_t kShards = 4;
    struct alignas(kCacheLine) Shard {
        mutable HotMutex mutex;
        std::unordered_map<PMDL, MdlRecord> records;
        Quarantine quarantine{4096};
        SpareNodes<std::unordered_map<PMDL, MdlRecord>> spareNodes{kSpareNodes};
    };
    Shard &ShardOfThisThread();
    // Calls `visit` with each shard under its mutex, the calling thread's first, until it
    // returns true.
    template <typename Visit>
    bool VisitShards(Visit visit) const;

    mutable std::array<Shard, kShards> shards_;
};

struct UserThread {
    DISPATCHER_HEADER header{};     // thread objects begin with a dispatcher header
    win32::DWORD lastError = 0;
};

struct HandleEntry {
    std::shared_ptr<FileRecord> file;
    std::shared_ptr<UserEvent> event;
};

inline bool NtError(NTSTATUS status)
{
    return (static_cast<uint32_t>(status) >> 30) == 3;
}

// Key of a name in the object namespace: \??\ and \GLOBAL??\ folded into \DosDevices\,
// upper case (the namespace is case-insensitive).
std::u16string NameKey(std::u16string_view name);
std::u16string ToU16(const UNICODE_STRING *string);
std::string Narrow(std::u16string_view text);

// Services of the other parts of the machine, in one adapter file (io_kernel_adapter.cpp).
namespace kernel {
void *AllocateNonPaged(Machine &machine, size_t bytes);      // the I/O manager's own tag
void FreeNonPaged(Machine &machine, void *block);
size_t PoolBlocksWithTag(Machine &machine, uint32_t tag);
bool IsNonPagedPool(Machine &machine, const void *address, size_t length);
size_t RunningSystemThreads(Machine &machine);
// Call the driver's dispatch or cancel routine, with the virtual clock told it runs.
NTSTATUS CallDispatchRoutine(Machine &machine, PDRIVER_DISPATCH routine, PDEVICE_OBJECT device, PIRP irp);
void CallCancelRoutine(Machine &machine, PDRIVER_CANCEL routine, PDEVICE_OBJECT device, PIRP irp);
size_t UnwrittenErrorLogEntries(Machine &machine);
bool ProtocolRegistered(Machine &machine);
// Error-log entries name their source through this: the driver or one of its devices.
void SetErrorLogSourceResolver(Machine &machine,
                               std::function<std::shared_ptr<const std::u16string>(const void *)> resolver);
}  // namespace kernel

}  // namespace sim::io

namespace sim {

namespace io {
// Helpers shared by the I/O manager's files. "Locked" ones expect State::mutex held.
void RetireDeviceIfUnreferenced(IoManager::State &state, DeviceRecord *device);   // locked
DeviceRecord *ResolveUserName(IoManager::State &state, std::u16string_view userName,
                              std::u16string *rest);                              // locked
UserThread *CurrentUserThread(IoManager::State &state);                           // locked
// The same without the mutex once the thread has been seen (its record is cached).
UserThread *CurrentUserThreadUnlocked(IoManager::State &state);
// Wakes the threads waiting for a request's completion, if any; locked.
void NotifyCompletion(IoManager::State &state);
std::unique_ptr<IrpRecord> BuildIrp(IoManager::State &state,
                                    const std::shared_ptr<FileRecord> &file, UCHAR major);
std::unique_ptr<IrpRecord> BuildIrpLocked(IoManager::State &state,
                                          const std::shared_ptr<FileRecord> &file, UCHAR major);
IrpRecord *RegisterIrp(IoManager::State &state, std::unique_ptr<IrpRecord> record);
IrpRecord *RegisterIrpLocked(IoManager::State &state, std::unique_ptr<IrpRecord> record);
NTSTATUS DispatchIrp(IoManager::State &state, IrpRecord *record);
// The same with `lock` (of State::mutex, not held on entry) held on return.
NTSTATUS DispatchIrp(IoManager::State &state, IrpRecord *record, std::unique_lock<HotMutex> &lock);
// The caller's view of a dispatched request: waits for it unless it may stay pending.
IoResult FinishIrp(IoManager::State &state, IrpRecord *record, NTSTATUS returned,
                   bool mayPend);
IoResult FinishIrp(IoManager::State &state, std::unique_lock<HotMutex> &lock, IrpRecord *record,
                   NTSTATUS returned, bool mayPend);                                // locked
void CollectIrp(IoManager::State &state, IrpRecord *record);                       // locked
// Drops one reference of `file`; the last one after the cleanup queues the close.
void ReleaseFileReference(IoManager::State &state, const std::shared_ptr<FileRecord> &file);  // locked
void FreeRequestMdls(IoManager::State &state, PMDL chain);                         // locked
void SendClose(IoManager::State &state, const std::shared_ptr<FileRecord> &file);
#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
#endif

// A driver clears DO_DEVICE_INITIALIZING with a plain write, without any lock, once its
// device is ready; the platform's open reads the flags just as plainly and sees the old or
// the new value, and so does a request reading DO_BUFFERED_IO. ThreadSanitizer is told
// that these reads race by design.
inline ULONG ReadDeviceFlagsUnlocked(const DEVICE_OBJECT *device)
{
#if defined(__SANITIZE_THREAD__)
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
#endif
    const ULONG flags = *static_cast<const volatile ULONG *>(&device->Flags);
#if defined(__SANITIZE_THREAD__)
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
#endif
    return flags;
}


void QueueDeferredClose(IoManager::State &state, std::shared_ptr<FileRecord> file);  // locked
}  // namespace io

struct IoManager::State {
    explicit State(Machine &m);
    Machine &machine;
    // Tells this I/O manager's records apart from an ended one's in per-thread caches.
    const uint64_t id;
    mutable HotMutex mutex;
    std::condition_variable_any completion;         // any request completed
    size_t completionWaiters = 0;                   // threads waiting on `completion`

    // Object namespace: key -> device or link.
    struct Name {
        std::u16string name;
        PDEVICE_OBJECT device = nullptr;
        std::u16string linkTarget;
        bool isLink = false;
    };
    std::map<std::u16string, Name> names;
    std::map<PDEVICE_OBJECT, std::unique_ptr<io::DeviceRecord>> devices;
    std::vector<std::unique_ptr<io::DeviceRecord>> deletedDevices;  // kept until unreferenced
    std::unique_ptr<io::DriverRecord> driver;
    std::vector<io::Block> retiredObjects;          // drivers, devices, registry paths

    // Requests.
    uint64_t nextIrpId = 1;
    std::unordered_map<PIRP, std::unique_ptr<io::IrpRecord>> irps;
    io::Quarantine irpQuarantine{4096};
    // Collected requests' map entries, kept with their (cleared) records for the next
    // requests, so that a request costs no host allocation once the machine is warm.
    using IrpNode = decltype(irps)::node_type;
    std::vector<IrpNode> spareIrpNodes;
    // Completions as recorded: the device name is shared with the device, not copied.
    // The latest kCompletionsKept only, so that a machine that runs for hours (a live
    // adapter, a long replay) does not grow: tests look at a few hundred.
    struct CompletionEntry {
        IoCompletion fields;        // all but `device`
        std::shared_ptr<const std::u16string> device;
    };
    static constexpr size_t kCompletionsKept = 16384;
    std::deque<CompletionEntry> completions;
    uint64_t nonzeroBoosts = 0;
    uint64_t statusMismatches = 0;
    IoVerifierOptions verifier;
    std::chrono::milliseconds userWaitLimit{120000};
    std::function<void(UCHAR)> issueGate;           // SetIssueGate; under mutex

    // Cancel spin lock: the KSPIN_LOCK itself and who holds it.
    KSPIN_LOCK cancelLock = 0;
    std::atomic<std::thread::id> cancelOwner{};

    // MDLs: a table of their own, not under this mutex.
    io::MdlTable mdls;

    // Files and user handles.
    std::map<PFILE_OBJECT, std::shared_ptr<io::FileRecord>> files;
    io::Quarantine fileQuarantine{1024};
    std::map<uintptr_t, io::HandleEntry> handles;
    uintptr_t nextHandle = 0x4;
    std::map<std::thread::id, std::unique_ptr<io::UserThread>> threads;

    // Closes that wait for the last request of their file object; sent by a worker.
    std::deque<std::shared_ptr<io::FileRecord>> deferredCloses;
    bool closeWorkerBusy = false;
    bool stopping = false;
    std::condition_variable_any deferredWork;
    std::thread closeWorker;
};

}  // namespace sim
