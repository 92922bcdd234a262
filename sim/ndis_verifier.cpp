// ndis_verifier.cpp - bug-checks for broken NDIS rules and AddressSanitizer poisoning.
#include "sim/ndis_verifier.h"

#include "sim/bugcheck.h"

#if defined(__SANITIZE_ADDRESS__)
#define KRVDLC_SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KRVDLC_SIM_ASAN 1
#endif
#endif

#if defined(KRVDLC_SIM_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace sim {

void NdisViolation(const std::string &rule, uintptr_t p1, uintptr_t p2, uintptr_t p3)
{
    BugCheck(StopCode::NdisDriver, rule.c_str(), p1, p2, p3);
}

void PoisonMemory(const void *address, size_t size)
{
#if defined(KRVDLC_SIM_ASAN)
    ASAN_POISON_MEMORY_REGION(address, size);
#else
    (void)address;
    (void)size;
#endif
}

void UnpoisonMemory(const void *address, size_t size)
{
#if defined(KRVDLC_SIM_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(address, size);
#else
    (void)address;
    (void)size;
#endif
}

}  // namespace sim
