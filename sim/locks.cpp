// locks.cpp - spin locks, the lock verifier, interlocked counters and interlocked lists.
#include "sim/locks.h"

#include "sim/bugcheck.h"
#include "sim/irql.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

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

void TakeWord(KSPIN_LOCK *lock, const LockVerifier &verifier)
{
    const ULONG_PTR token = OwnerToken();
    bool timing = false;
    std::chrono::steady_clock::time_point since;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
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
        std::this_thread::yield();
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

void LockVerifier::Initialized(const KSPIN_LOCK *lock)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const auto address = reinterpret_cast<Address>(lock);
    for (const auto &[thread, locks] : held_) {
        for (const HeldLock &held : locks) {
            if (held.lock == lock)
                BugCheck(StopCode::DriverVerifierDetectedViolation,
                         "KeInitializeSpinLock on a spin lock that is held", address);
        }
    }
    ForgetLocked(address, address + 1);
}

void LockVerifier::BeforeAcquire(const KSPIN_LOCK *lock)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const auto address = reinterpret_cast<Address>(lock);
    auto mine = held_.find(std::this_thread::get_id());
    if (mine == held_.end())
        return;
    for (const HeldLock &held : mine->second) {
        if (held.lock == lock)
            BugCheck(StopCode::DriverVerifierDetectedViolation, "spin lock acquired recursively",
                     address);
    }
    for (const HeldLock &held : mine->second) {
        const auto other = reinterpret_cast<Address>(held.lock);
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
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<HeldLock> &mine = held_[std::this_thread::get_id()];
    for (const HeldLock &held : mine)
        takenAfter_[reinterpret_cast<Address>(held.lock)].insert(reinterpret_cast<Address>(lock));
    mine.push_back(HeldLock{lock, oldIrql, atDpcLevel});
}

LockVerifier::HeldLock LockVerifier::Releasing(const KSPIN_LOCK *lock)
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto mine = held_.find(std::this_thread::get_id());
    if (mine != held_.end()) {
        std::vector<HeldLock> &locks = mine->second;
        for (auto held = locks.rbegin(); held != locks.rend(); ++held) {
            if (held->lock != lock)
                continue;
            HeldLock record = *held;
            locks.erase(std::next(held).base());
            if (locks.empty())
                held_.erase(mine);
            return record;
        }
    }
    BugCheck(StopCode::SpinLockNotOwned, "spin lock released by a thread that does not hold it",
             reinterpret_cast<uintptr_t>(lock));
}

size_t LockVerifier::HeldCount() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    auto mine = held_.find(std::this_thread::get_id());
    return mine == held_.end() ? 0 : mine->second.size();
}

bool LockVerifier::IsHeld(const KSPIN_LOCK *lock) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto &[thread, locks] : held_) {
        for (const HeldLock &held : locks) {
            if (held.lock == lock)
                return true;
        }
    }
    return false;
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
    std::lock_guard<std::mutex> guard(mutex_);
    names_[reinterpret_cast<Address>(lock)] = std::move(name);
}

std::string LockVerifier::Describe(const KSPIN_LOCK *lock) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return DescribeLocked(reinterpret_cast<Address>(lock));
}

void LockVerifier::ForgetRange(const void *address, size_t size)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const auto begin = reinterpret_cast<Address>(address);
    const Address end = begin + std::max<size_t>(size, 1);
    for (const auto &[thread, locks] : held_) {
        for (const HeldLock &held : locks) {
            const auto lock = reinterpret_cast<Address>(held.lock);
            if (lock >= begin && lock < end)
                BugCheck(StopCode::DriverVerifierDetectedViolation,
                         "pool freed while a spin lock in it is held", lock, begin);
        }
    }
    ForgetLocked(begin, end);
}

std::string LockVerifier::Report() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::string text = "Spin locks\n";
    for (const auto &[thread, locks] : held_) {
        for (const HeldLock &held : locks)
            text += "  held: " + DescribeLocked(reinterpret_cast<Address>(held.lock)) + "\n";
    }
    for (const auto &[from, after] : takenAfter_) {
        for (Address to : after)
            text += "  order: " + DescribeLocked(from) + " before " + DescribeLocked(to) + "\n";
    }
    return text;
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

void LockVerifier::ForgetLocked(Address begin, Address end)
{
    takenAfter_.erase(takenAfter_.lower_bound(begin), takenAfter_.lower_bound(end));
    for (auto &[from, after] : takenAfter_)
        after.erase(after.lower_bound(begin), after.lower_bound(end));
    names_.erase(names_.lower_bound(begin), names_.lower_bound(end));
}

KIRQL AcquireKernelLock(KSPIN_LOCK *lock, const char *name)
{
    Machine::Current().locks().Name(lock, name);
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
