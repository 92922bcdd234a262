// locks.h - spin locks of the simulated kernel and the lock verifier that watches them.
//
// The lock word is the KSPIN_LOCK itself: 0 when free, otherwise a token of the owning
// host thread, set and cleared atomically; a waiter spins with yield. Beside the word the
// LockVerifier keeps, per thread, the locks it holds (with the IRQL each acquisition
// returned) and, for the whole machine, the order in which locks have been seen taken
// (lockdep style). Its rules, each a bug-check:
//   - "spin lock acquired recursively"
//   - SPIN_LOCK_NOT_OWNED when a thread releases a lock it does not hold
//   - "spin lock released at the wrong IRQL" (a NewIrql above the current IRQL or other
//     than the one the matching acquisition returned)
//   - "IRQL lowered below DISPATCH_LEVEL while a spin lock is held"
//   - "lock order inversion" when taking B while holding A after A had been taken while
//     holding B (directly or through other locks)
//   - "spin lock acquired before it was initialised" when the word holds garbage
// Kernel-internal locks (the I/O manager's cancel spin lock) go through AcquireKernelLock
// / ReleaseKernelLock so that they carry a name in reports.
#pragma once

#include "sim/machine.h"

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sim {

class LockVerifier {
public:
    struct HeldLock {
        const KSPIN_LOCK *lock = nullptr;
        KIRQL oldIrql = PASSIVE_LEVEL;  // what the acquisition returned
        bool atDpcLevel = false;        // taken by KefAcquireSpinLockAtDpcLevel
    };

    LockVerifier();
    LockVerifier(const LockVerifier &) = delete;
    LockVerifier &operator=(const LockVerifier &) = delete;

    // KeInitializeSpinLock: a new lock at this address; the order seen for an earlier lock
    // there no longer counts.
    void Initialized(const KSPIN_LOCK *lock);
    // Before spinning: stops on recursion and on an order inversion with a held lock.
    void BeforeAcquire(const KSPIN_LOCK *lock);
    // After the word was taken: records the lock as held by this thread.
    void Acquired(const KSPIN_LOCK *lock, KIRQL oldIrql, bool atDpcLevel);
    // Before the word is cleared: the held record, removed; stops when this thread does
    // not hold the lock.
    HeldLock Releasing(const KSPIN_LOCK *lock);

    // Spin locks the calling thread holds.
    size_t HeldCount() const;
    // Whether any thread holds `lock` according to the records.
    bool IsHeld(const KSPIN_LOCK *lock) const;
    // Number of ordered pairs seen so far (A before B).
    size_t OrderPairCount() const;

    // Gives a lock a name for reports ("system cancel spin lock").
    void Name(const KSPIN_LOCK *lock, std::string name);
    // The same for a kernel lock named on every acquisition: only the first call costs.
    void NameOnce(const KSPIN_LOCK *lock, const char *name);
    // "0x... (name)" or "0x...".
    std::string Describe(const KSPIN_LOCK *lock) const;
    // The pool block [address, address + size) is gone: forget the locks in it.
    void ForgetRange(const void *address, size_t size);
    // The same from the pool's free when `holdsKnownLocks` (the block was marked, see
    // Pool::MarkKernelObject); every lock's block is marked at its first acquisition, so
    // the free of any other block costs nothing.
    void PoolFreed(const void *address, size_t size, bool holdsKnownLocks);
    // Named locks, held locks and the order seen, printable.
    std::string Report() const;

private:
    using Address = uintptr_t;
    // The locks one thread holds, innermost last: `held` for the owning thread alone,
    // `visible` (the lock addresses) for the rare whole-machine checks of other threads
    // (IsHeld, ForgetRange, Initialized, Report), which may see a release or acquisition
    // in progress either way. No mutex on the acquire and release path.
    struct ThreadLocks {
        static constexpr size_t kMostHeld = 64;
        // Innermost last, in place: an acquisition or release costs no host allocation.
        struct Stack {
            std::array<HeldLock, kMostHeld> items{};
            size_t count = 0;
            const HeldLock *begin() const { return items.data(); }
            const HeldLock *end() const { return items.data() + count; }
            size_t size() const { return count; }
            bool empty() const { return count == 0; }
        };
        Stack held;
        std::array<std::atomic<const KSPIN_LOCK *>, kMostHeld> visible{};
        std::atomic<size_t> visibleCount{0};
    };
    // The calling thread's record in this verifier, and what it has already seen of the
    // order graph: pairs (A, B) known to be recorded, so that a nesting the thread has
    // taken before costs no walk of the graph and no machine-wide mutex.
    struct ThreadView {
        uint64_t verifier = 0;          // id_ of the verifier the view belongs to
        uint64_t epoch = 0;             // orderEpoch_ when `knownPairs` was filled
        std::shared_ptr<ThreadLocks> locks;
        // Pairs known to be in the graph, open addressing by the pair: a look-up costs the
        // same however many the thread has seen. Half full at most (kKnownPairsKept).
        struct KnownPairs {
            static constexpr size_t kSlots = 128;
            std::array<std::pair<Address, Address>, kSlots> slots{};
            size_t count = 0;
            static size_t SlotOf(Address from, Address to)
            {
                return static_cast<size_t>(((from >> 3) * 0x9E3779B97F4A7C15ull ^ (to >> 3)) >> 57) & (kSlots - 1);
            }
            bool Contains(Address from, Address to) const
            {
                for (size_t i = SlotOf(from, to);; i = (i + 1) & (kSlots - 1)) {
                    if (slots[i].first == from && slots[i].second == to)
                        return true;
                    if (slots[i].first == 0)
                        return false;
                }
            }
            void Insert(Address from, Address to)
            {
                for (size_t i = SlotOf(from, to);; i = (i + 1) & (kSlots - 1)) {
                    if (slots[i].first == from && slots[i].second == to)
                        return;
                    if (slots[i].first == 0) {
                        slots[i] = {from, to};
                        ++count;
                        return;
                    }
                }
            }
            size_t size() const { return count; }
            void clear()
            {
                if (count != 0)
                    slots.fill({});
                count = 0;
            }
        };
        KnownPairs knownPairs;
        // Locks whose pool blocks this thread has had marked (see Acquired), as pairs
        // (lock, 0): only a lock's first acquisition asks the pool. Cleared when a marked
        // lock is forgotten.
        KnownPairs markedLocks;
        uint64_t markEpoch = 0;         // markEpoch_ when `markedLocks` was filled
        const KSPIN_LOCK *checked = nullptr;   // BeforeAcquire found its pairs known
        ~ThreadView()
        {
            if (t_view_ == this)
                t_view_ = nullptr;
        }
    };
    // The calling thread's view; the common case is one thread-local load and a compare.
    ThreadView &Mine()
    {
        ThreadView *view = t_view_;
        return view != nullptr && view->verifier == id_ ? *view : MineSlow();
    }
    ThreadView &MineSlow();
    static thread_local ThreadView *t_view_;
    bool PairsKnown(ThreadView &view, const KSPIN_LOCK *lock);
    bool Reaches(Address from, Address to) const;   // along the order seen; mutex_ held
    std::string DescribeLocked(Address lock) const;
    void ForgetLocked(Address begin, Address end);
    bool HeldByAnyThread(Address begin, Address end) const;   // mutex_ held
    template <class Visit> void ForEachHeld(Visit visit) const;  // mutex_ held
    static void MarkInPool(const KSPIN_LOCK *lock);           // mutex_ not held

    const uint64_t id_;
    mutable std::mutex mutex_;      // threads_, the order graph and names_
    std::vector<std::shared_ptr<ThreadLocks>> threads_;
    std::set<Address> markedLocks_;                      // taken once at least, block marked
    std::atomic<uint64_t> markEpoch_{0};                 // bumped when marked locks are forgotten
    std::atomic<uint64_t> orderEpoch_{0};                // bumped when pairs are forgotten
    std::map<Address, std::set<Address>> takenAfter_;    // A -> {B taken while A held}
    std::map<Address, std::set<Address>> takenBefore_;   // B -> {A}, to forget B quickly
    std::map<Address, std::string> names_;
    std::atomic<const KSPIN_LOCK *> lastNamed_{nullptr}; // AcquireKernelLock's last Name()
};

// A kernel-internal spin lock taken from at or below DISPATCH_LEVEL (raises to it) and
// given back at the IRQL the acquisition returned, with the verifier's checks and `name`
// in its reports.
KIRQL AcquireKernelLock(KSPIN_LOCK *lock, const char *name);
void ReleaseKernelLock(KSPIN_LOCK *lock, KIRQL oldIrql);

}  // namespace sim
