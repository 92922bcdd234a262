// locks.cpp - spin locks, the lock verifier, interlocked counters and interlocked lists.
#include "sim/locks.h"

#include "sim/bugcheck.h"
#include "sim/irql.h"
#include "sim/pool.h"
#include "sim/spin_wait.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace sim {

namespace {

// The owner token stored in a held lock word: an address unique to each live host thread.
thread_local char t_lockToken;

ULONG_PTR OwnerToken()
{
    return reinterpret_cast<ULONG_PTR>(&t_lockToken);
}

// A word that stays set without any thread holding the lock was never initialised; the
// grace covers the moment between taking a word and recording it.
constexpr std::chrono::milliseconds kGarbageGrace{200};
// The holder check reads every thread's held locks: not on every turn of a wait.
constexpr unsigned kTurnsPerHolderCheck = 16;

// Takes the word as the kernel does: one interlocked try, then waits reading it until it
// is clear before the next try, so that a waiter does not pull the word's line from the
// holder on every turn. While it waits it checks now and then that a thread holds it.
void TakeWord(KSPIN_LOCK *lock, const LockVerifier &verifier)
{
    const ULONG_PTR token = OwnerToken();
    bool timing = false;
    std::chrono::steady_clock::time_point since;
    SpinWait wait;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
        for (unsigned turn = 0; expected != 0; ++turn, expected = __atomic_load_n(lock, __ATOMIC_RELAXED)) {
            if (turn % kTurnsPerHolderCheck == 0) {
                if (verifier.IsHeld(lock)) {
                    timing = false;
                } else if (!timing) {
                    timing = true;
                    since = std::chrono::steady_clock::now();
                } else if (std::chrono::steady_clock::now() - since > kGarbageGrace) {
                    BugCheck(StopCode::DriverVerifierDetectedViolation,
                             "spin lock acquired before it was initialised (the lock word holds garbage)",
                             reinterpret_cast<uintptr_t>(lock), expected);
                }
            }
            wait.Pause();
        }
    }
}

void ClearWord(KSPIN_LOCK *lock)
{
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != OwnerToken())
        BugCheck(StopCode::SpinLockNotOwned, "spin lock released by a thread that does not hold it",
                 reinterpret_cast<uintptr_t>(lock));
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

// Acquisition from at or below DISPATCH_LEVEL: raises to DISPATCH_LEVEL, returns the old IRQL.
KIRQL AcquireRaising(KSPIN_LOCK *lock, const char *routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    LockVerifier &verifier = Machine::Current().locks();
    verifier.BeforeAcquire(lock);
    KIRQL oldIrql = RaiseIrql(DISPATCH_LEVEL);
    TakeWord(lock, verifier);
    verifier.Acquired(lock, oldIrql, false);
    return oldIrql;
}

// Release at DISPATCH_LEVEL that lowers to what the acquisition returned.
void ReleaseLowering(KSPIN_LOCK *lock, KIRQL newIrql, const char *routine)
{
    RequireIrqlExactly(DISPATCH_LEVEL, routine);
    LockVerifier &verifier = Machine::Current().locks();
    LockVerifier::HeldLock held = verifier.Releasing(lock);
    if (newIrql > DISPATCH_LEVEL || newIrql != held.oldIrql)
        BugCheck(StopCode::DriverVerifierDetectedViolation, "spin lock released at the wrong IRQL",
                 reinterpret_cast<uintptr_t>(lock), newIrql, held.oldIrql);
    if (newIrql < DISPATCH_LEVEL && verifier.HeldCount() > 0)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "IRQL lowered below DISPATCH_LEVEL while a spin lock is held",
                 reinterpret_cast<uintptr_t>(lock), verifier.HeldCount());
    ClearWord(lock);
    LowerIrql(newIrql);
}

}  // namespace

namespace {

// Each verifier has an id of its own, so that a thread's view of an ended machine's
// verifier is never taken for one of the next machine's at the same address.
uint64_t NewVerifierId()
{
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// A thread remembers at most this many pairs; beyond it starts over.
constexpr size_t kKnownPairsKept = 64;

}  // namespace

LockVerifier::LockVerifier() : id_(NewVerifierId()) {}

thread_local LockVerifier::ThreadView *LockVerifier::t_view_ = nullptr;

LockVerifier::ThreadView &LockVerifier::MineSlow()
{
    thread_local ThreadView view;
    t_view_ = &view;
    if (view.verifier != id_) {
        auto locks = std::make_shared<ThreadLocks>();
        {
            std::lock_guard<std::mutex> guard(mutex_);
            threads_.push_back(locks);
        }
        view.verifier = id_;
        view.epoch = orderEpoch_.load(std::memory_order_acquire);
        view.locks = std::move(locks);
        view.knownPairs.clear();
        // Marks of another machine's pool say nothing of this one's.
        view.markedLocks.clear();
        view.markEpoch = markEpoch_.load(std::memory_order_acquire);
    }
    return view;
}

// Whether every pair (held, lock) is known to be in the order graph already: the graph
// has no cycle, so then `lock` cannot reach a held lock, and nothing is to be recorded.
bool LockVerifier::PairsKnown(ThreadView &view, const KSPIN_LOCK *lock)
{
    const uint64_t epoch = orderEpoch_.load(std::memory_order_acquire);
    if (view.epoch != epoch) {
        view.knownPairs.clear();
        view.epoch = epoch;
    }
    const auto to = reinterpret_cast<Address>(lock);
    for (const HeldLock &held : view.locks->held) {
        const auto from = reinterpret_cast<Address>(held.lock);
        if (!view.knownPairs.Contains(from, to))
            return false;
    }
    return true;
}

void LockVerifier::Initialized(const KSPIN_LOCK *lock)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const auto address = reinterpret_cast<Address>(lock);
    if (HeldByAnyThread(address, address + 1))
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "KeInitializeSpinLock on a spin lock that is held", address);
    ForgetLocked(address, address + 1);
}

void LockVerifier::BeforeAcquire(const KSPIN_LOCK *lock)
{
    ThreadView &view = Mine();
    const ThreadLocks::Stack &held = view.locks->held;
    if (held.empty())
        return;
    const auto address = reinterpret_cast<Address>(lock);
    for (const HeldLock &entry : held) {
        if (entry.lock == lock)
            BugCheck(StopCode::DriverVerifierDetectedViolation, "spin lock acquired recursively",
                     address);
    }
    if (PairsKnown(view, lock)) {
        view.checked = lock;    // Acquired need not look again
        return;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    for (const HeldLock &entry : held) {
        const auto other = reinterpret_cast<Address>(entry.lock);
        if (Reaches(address, other)) {
            std::string rule = "lock order inversion: " + DescribeLocked(address) +
                               " taken while holding " + DescribeLocked(other) +
                               ", but earlier " + DescribeLocked(other) +
                               " was taken while holding " + DescribeLocked(address);
            BugCheck(StopCode::DriverVerifierDetectedViolation, rule.c_str(), address, other);
        }
    }
}

void LockVerifier::Acquired(const KSPIN_LOCK *lock, KIRQL oldIrql, bool atDpcLevel)
{
    ThreadView &view = Mine();
    ThreadLocks &mine = *view.locks;
    const bool checked = view.checked == lock;
    view.checked = nullptr;
    if (!mine.held.empty() && !checked && !PairsKnown(view, lock)) {
        const auto to = reinterpret_cast<Address>(lock);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            // A pair forgotten meanwhile would leave a stale entry: the epoch is read
            // under the mutex, where forgetting bumps it.
            const uint64_t epoch = orderEpoch_.load(std::memory_order_relaxed);
            if (view.epoch != epoch || view.knownPairs.size() + mine.held.size() > kKnownPairsKept) {
                view.knownPairs.clear();
                view.epoch = epoch;
            }
            for (const HeldLock &held : mine.held) {
                const auto from = reinterpret_cast<Address>(held.lock);
                takenAfter_[from].insert(to);
                takenBefore_[to].insert(from);
                view.knownPairs.Insert(from, to);
            }
        }
    }
    // The pool block of every lock ever taken is marked, so that its free checks the locks
    // held (PoolFreed) and the free of any other block need not.
    const auto address = reinterpret_cast<Address>(lock);
    const uint64_t markEpoch = markEpoch_.load(std::memory_order_acquire);
    if (view.markEpoch != markEpoch || view.markedLocks.size() == kKnownPairsKept) {
        view.markedLocks.clear();
        view.markEpoch = markEpoch;
    }
    if (!view.markedLocks.Contains(address, 0)) {
        view.markedLocks.Insert(address, 0);
        {
            std::lock_guard<std::mutex> guard(mutex_);
            markedLocks_.insert(address);
        }
        MarkInPool(lock);
    }
    const size_t count = mine.held.count;
    if (count == ThreadLocks::kMostHeld)
        BugCheck(StopCode::DriverVerifierDetectedViolation,
                 "more spin locks held at once by one thread than the verifier tracks",
                 reinterpret_cast<uintptr_t>(lock), count);
    mine.held.items[count] = HeldLock{lock, oldIrql, atDpcLevel};
    mine.held.count = count + 1;
    mine.visible[count].store(lock, std::memory_order_relaxed);
    mine.visibleCount.store(count + 1, std::memory_order_release);
}

void LockVerifier::MarkInPool(const KSPIN_LOCK *lock)
{
    if (Machine::Exists())
        Machine::Current().pool().MarkKernelObject(lock);
}

LockVerifier::HeldLock LockVerifier::Releasing(const KSPIN_LOCK *lock)
{
    ThreadLocks &mine = *Mine().locks;
    ThreadLocks::Stack &held = mine.held;
    // Innermost first: locks are released in the reverse order almost always.
    for (size_t index = held.count; index-- > 0;) {
        if (held.items[index].lock != lock)
            continue;
        HeldLock record = held.items[index];
        for (size_t i = index; i + 1 < held.count; ++i) {
            held.items[i] = held.items[i + 1];
            mine.visible[i].store(held.items[i].lock, std::memory_order_relaxed);
        }
        --held.count;
        mine.visibleCount.store(held.count, std::memory_order_release);
        return record;
    }
    BugCheck(StopCode::SpinLockNotOwned, "spin lock released by a thread that does not hold it",
             reinterpret_cast<uintptr_t>(lock));
}

size_t LockVerifier::HeldCount() const
{
    return const_cast<LockVerifier *>(this)->Mine().locks->held.size();
}

bool LockVerifier::IsHeld(const KSPIN_LOCK *lock) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    const auto address = reinterpret_cast<Address>(lock);
    return HeldByAnyThread(address, address + 1);
}

size_t LockVerifier::OrderPairCount() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    size_t pairs = 0;
    for (const auto &[from, to] : takenAfter_)
        pairs += to.size();
    return pairs;
}

void LockVerifier::Name(const KSPIN_LOCK *lock, std::string name)
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        names_[reinterpret_cast<Address>(lock)] = std::move(name);
    }
    MarkInPool(lock);
}

void LockVerifier::NameOnce(const KSPIN_LOCK *lock, const char *name)
{
    if (lastNamed_.load(std::memory_order_acquire) == lock)
        return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        names_[reinterpret_cast<Address>(lock)] = name;
        lastNamed_.store(lock, std::memory_order_release);
    }
    MarkInPool(lock);
}

std::string LockVerifier::Describe(const KSPIN_LOCK *lock) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return DescribeLocked(reinterpret_cast<Address>(lock));
}

// Calls `visit` with every lock some thread holds, as far as it can be seen.
template <class Visit> void LockVerifier::ForEachHeld(Visit visit) const
{
    for (const auto &thread : threads_) {
        const size_t count = std::min(thread->visibleCount.load(std::memory_order_acquire),
                                      ThreadLocks::kMostHeld);
        for (size_t i = 0; i < count; ++i) {
            if (const KSPIN_LOCK *lock = thread->visible[i].load(std::memory_order_relaxed))
                visit(lock);
        }
    }
}

void LockVerifier::PoolFreed(const void *address, size_t size, bool holdsKnownLocks)
{
    // A lock's first acquisition marks its block (Acquired): a block that is not marked
    // holds no lock anyone has taken, let alone holds.
    if (holdsKnownLocks)
        ForgetRange(address, size);
}


void LockVerifier::ForgetRange(const void *address, size_t size)
{
    const auto begin = reinterpret_cast<Address>(address);
    const Address end = begin + std::max<size_t>(size, 1);
    std::lock_guard<std::mutex> guard(mutex_);
    ForEachHeld([&](const KSPIN_LOCK *held) {
        const auto lock = reinterpret_cast<Address>(held);
        if (lock >= begin && lock < end)
            BugCheck(StopCode::DriverVerifierDetectedViolation,
                     "pool freed while a spin lock in it is held", lock, begin);
    });
    ForgetLocked(begin, end);
}

std::string LockVerifier::Report() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::string text = "Spin locks\n";
    ForEachHeld([&](const KSPIN_LOCK *held) {
        text += "  held: " + DescribeLocked(reinterpret_cast<Address>(held)) + "\n";
    });
    for (const auto &[from, after] : takenAfter_) {
        for (Address to : after)
            text += "  order: " + DescribeLocked(from) + " before " + DescribeLocked(to) + "\n";
    }
    return text;
}

bool LockVerifier::HeldByAnyThread(Address begin, Address end) const
{
    bool found = false;
    ForEachHeld([&](const KSPIN_LOCK *held) {
        const auto lock = reinterpret_cast<Address>(held);
        found = found || (lock >= begin && lock < end);
    });
    return found;
}

bool LockVerifier::Reaches(Address from, Address to) const
{
    std::vector<Address> pending{from};
    std::set<Address> seen{from};
    while (!pending.empty()) {
        Address current = pending.back();
        pending.pop_back();
        auto edges = takenAfter_.find(current);
        if (edges == takenAfter_.end())
            continue;
        for (Address next : edges->second) {
            if (next == to)
                return true;
            if (seen.insert(next).second)
                pending.push_back(next);
        }
    }
    return false;
}

std::string LockVerifier::DescribeLocked(Address lock) const
{
    char text[40];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(lock));
    auto name = names_.find(lock);
    if (name == names_.end())
        return text;
    return std::string(text) + " (" + name->second + ")";
}

// Forgets the locks in [begin, end): their pairs in both directions and their names.
// Costs the pairs of those locks, not the size of the graph.
void LockVerifier::ForgetLocked(Address begin, Address end)
{
    bool forgotten = false;
    auto forget = [&](std::map<Address, std::set<Address>> &from,
                      std::map<Address, std::set<Address>> &reverse) {
        auto first = from.lower_bound(begin);
        auto last = from.lower_bound(end);
        for (auto it = first; it != last; ++it) {
            for (Address other : it->second) {
                auto back = reverse.find(other);
                if (back == reverse.end())
                    continue;
                back->second.erase(it->first);
                if (back->second.empty())
                    reverse.erase(back);
            }
        }
        forgotten = forgotten || first != last;
        from.erase(first, last);
    };
    forget(takenAfter_, takenBefore_);
    forget(takenBefore_, takenAfter_);
    if (forgotten)
        orderEpoch_.fetch_add(1, std::memory_order_acq_rel);
    // A new block at these addresses must be marked again at its locks' next acquisition.
    auto marked = markedLocks_.lower_bound(begin);
    if (marked != markedLocks_.end() && *marked < end) {
        markedLocks_.erase(marked, markedLocks_.lower_bound(end));
        markEpoch_.fetch_add(1, std::memory_order_acq_rel);
    }
    const KSPIN_LOCK *named = lastNamed_.load(std::memory_order_relaxed);
    if (reinterpret_cast<Address>(named) >= begin && reinterpret_cast<Address>(named) < end)
        lastNamed_.store(nullptr, std::memory_order_relaxed);
    names_.erase(names_.lower_bound(begin), names_.lower_bound(end));
}

KIRQL AcquireKernelLock(KSPIN_LOCK *lock, const char *name)
{
    Machine::Current().locks().NameOnce(lock, name);
    return AcquireRaising(lock, name);
}

void ReleaseKernelLock(KSPIN_LOCK *lock, KIRQL oldIrql)
{
    ReleaseLowering(lock, oldIrql, "ReleaseKernelLock");
}

}  // namespace sim

using sim::AcquireRaising;
using sim::ReleaseLowering;

//
// KeInitializeSpinLock - a free lock. Any IRQL.
//
extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    sim::Machine::Current().locks().Initialized(SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

//
// KfAcquireSpinLock - at or below DISPATCH_LEVEL; raises to DISPATCH_LEVEL and returns the
// previous IRQL.
//
extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    return AcquireRaising(SpinLock, "KfAcquireSpinLock");
}

//
// KfReleaseSpinLock - at DISPATCH_LEVEL, by the holder; lowers to NewIrql, which must be
// what the matching KfAcquireSpinLock returned.
//
extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseLowering(SpinLock, NewIrql, "KfReleaseSpinLock");
}

//
// KefAcquireSpinLockAtDpcLevel / KefReleaseSpinLockFromDpcLevel - exactly at
// DISPATCH_LEVEL; the IRQL does not change.
//
extern "C" VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    sim::RequireIrqlExactly(DISPATCH_LEVEL, "KefAcquireSpinLockAtDpcLevel");
    sim::LockVerifier &verifier = sim::Machine::Current().locks();
    verifier.BeforeAcquire(SpinLock);
    sim::TakeWord(SpinLock, verifier);
    verifier.Acquired(SpinLock, DISPATCH_LEVEL, true);
}

extern "C" VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    sim::RequireIrqlExactly(DISPATCH_LEVEL, "KefReleaseSpinLockFromDpcLevel");
    sim::Machine::Current().locks().Releasing(SpinLock);
    sim::ClearWord(SpinLock);
}

//
// Interlocked counters: full barriers, any IRQL. Increment and decrement return the new
// value, exchange the old one.
//
extern "C" LONG FASTCALL InterlockedIncrement(LONG volatile *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedDecrement(LONG volatile *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG FASTCALL InterlockedExchange(LONG volatile *Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

//
// ExfInterlockedInsertTailList - appends ListEntry under Lock, taken at DISPATCH_LEVEL.
// At or below DISPATCH_LEVEL. Returns the previous last entry, or null for an empty list.
//
extern "C" PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead,
                                                             PLIST_ENTRY ListEntry,
                                                             PKSPIN_LOCK Lock)
{
    KIRQL oldIrql = AcquireRaising(Lock, "ExfInterlockedInsertTailList");
    PLIST_ENTRY previous = ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    ReleaseLowering(Lock, oldIrql, "ExfInterlockedInsertTailList");
    return previous == ListHead ? nullptr : previous;
}

//
// ExfInterlockedRemoveHeadList - unlinks the first entry under Lock, taken at
// DISPATCH_LEVEL. At or below DISPATCH_LEVEL. Null for an empty list.
//
extern "C" PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead,
                                                             PKSPIN_LOCK Lock)
{
    KIRQL oldIrql = AcquireRaising(Lock, "ExfInterlockedRemoveHeadList");
    PLIST_ENTRY first = nullptr;
    if (!IsListEmpty(ListHead)) {
        first = ListHead->Flink;
        RemoveEntryList(first);
    }
    ReleaseLowering(Lock, oldIrql, "ExfInterlockedRemoveHeadList");
    return first;
}
