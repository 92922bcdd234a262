// bugcheck.h - how the simulator stops on a broken platform rule.
//
// BugCheck prints a report in the style of a stop screen (code, its name, the rule in
// words, four parameters, the IRQL and the current thread) to stderr and aborts the
// process. Tests prove a rule with EXPECT_DEATH on the rule's name.
#pragma once

#include <cstdint>

namespace sim {

enum class StopCode : uint32_t {
    IrqlNotGreaterOrEqual = 0x09,
    IrqlNotLessOrEqual = 0x0A,
    SpinLockNotOwned = 0x10,
    ReferenceByPointer = 0x18,       // an object dereferenced below zero
    MultipleIrpCompleteRequests = 0x44,
    NdisDriver = 0x7C,               // BUGCODE_NDIS_DRIVER
    InvalidKernelHandle = 0x93,
    SpecialPoolDetectedMemoryCorruption = 0xC1,
    BadPoolCaller = 0xC2,
    DriverVerifierDetectedViolation = 0xC4,
    DriverCorruptedExpool = 0xC5,
    DriverUnloadedWithoutCancellingPendingOperations = 0xCE,
};

const char *StopCodeName(StopCode code);

// `rule` names the broken rule in words, e.g. "spin lock released at the wrong IRQL".
[[noreturn]] void BugCheck(StopCode code, const char *rule, uintptr_t p1 = 0, uintptr_t p2 = 0,
                           uintptr_t p3 = 0, uintptr_t p4 = 0);

// Bug-checks with DriverVerifierDetectedViolation unless `condition` holds.
void VerifierCheck(bool condition, const char *rule, uintptr_t p1 = 0, uintptr_t p2 = 0,
                   uintptr_t p3 = 0);

}  // namespace sim
