// bugcheck.cpp - the stop report and VerifierCheck.
//
// A bug-check may come from any thread, also while a simulator mutex is held, so the
// report is formatted on the stack and written with one write(2): no lock, no allocation.
#include "sim/bugcheck.h"

#include "sim/irql.h"

#include <cstdio>
#include <cstdlib>
#include <sys/syscall.h>
#include <unistd.h>

namespace sim {

const char *StopCodeName(StopCode code)
{
    switch (code) {
    case StopCode::IrqlNotGreaterOrEqual: return "IRQL_NOT_GREATER_OR_EQUAL";
    case StopCode::IrqlNotLessOrEqual: return "IRQL_NOT_LESS_OR_EQUAL";
    case StopCode::SpinLockNotOwned: return "SPIN_LOCK_NOT_OWNED";
    case StopCode::ReferenceByPointer: return "REFERENCE_BY_POINTER";
    case StopCode::MultipleIrpCompleteRequests: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case StopCode::NdisDriver: return "BUGCODE_NDIS_DRIVER";
    case StopCode::InvalidKernelHandle: return "INVALID_KERNEL_HANDLE";
    case StopCode::SpecialPoolDetectedMemoryCorruption:
        return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case StopCode::BadPoolCaller: return "BAD_POOL_CALLER";
    case StopCode::DriverVerifierDetectedViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case StopCode::DriverCorruptedExpool: return "DRIVER_CORRUPTED_EXPOOL";
    case StopCode::DriverUnloadedWithoutCancellingPendingOperations:
        return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    }
    return "UNKNOWN_STOP_CODE";
}

void BugCheck(StopCode code, const char *rule, uintptr_t p1, uintptr_t p2, uintptr_t p3,
              uintptr_t p4)
{
    const int digits = static_cast<int>(sizeof(uintptr_t) * 2);
    char report[2048];
    int length = std::snprintf(
        report, sizeof report,
        "\n*** STOP: 0x%08X (0x%0*llX, 0x%0*llX, 0x%0*llX, 0x%0*llX)\n%s\nRule: %s\n"
        "IRQL: %u  Thread: %ld (%s)\n",
        static_cast<unsigned>(code), digits, static_cast<unsigned long long>(p1), digits,
        static_cast<unsigned long long>(p2), digits, static_cast<unsigned long long>(p3),
        digits, static_cast<unsigned long long>(p4), StopCodeName(code),
        rule != nullptr ? rule : "(none)", static_cast<unsigned>(CurrentIrql()),
        static_cast<long>(syscall(SYS_gettid)), CurrentContextName());
    if (length > 0) {
        size_t size = static_cast<size_t>(length) < sizeof report ? static_cast<size_t>(length)
                                                                  : sizeof report - 1;
        const char *cursor = report;
        while (size > 0) {
            ssize_t written = write(STDERR_FILENO, cursor, size);
            if (written <= 0)
                break;
            cursor += written;
            size -= static_cast<size_t>(written);
        }
    }
    Machine::DiscardTemporaryRoot();
    std::abort();
}

void VerifierCheck(bool condition, const char *rule, uintptr_t p1, uintptr_t p2, uintptr_t p3)
{
    if (!condition)
        BugCheck(StopCode::DriverVerifierDetectedViolation, rule, p1, p2, p3);
}

}  // namespace sim
