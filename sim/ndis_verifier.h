// ndis_verifier.h - how the simulated NDIS reports a protocol that breaks an NDIS rule,
// and the memory poisoning that lets AddressSanitizer catch a protocol touching packets
// and buffers it no longer owns.
#pragma once

#include "sim/asan.h"

#include "sim/machine.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// Stops the machine with BUGCODE_NDIS_DRIVER naming `rule`.
[[noreturn]] void NdisViolation(const std::string &rule, uintptr_t p1 = 0, uintptr_t p2 = 0,
                                uintptr_t p3 = 0);
inline void NdisCheck(bool condition, const char *rule, uintptr_t p1 = 0, uintptr_t p2 = 0,
                      uintptr_t p3 = 0)
{
    if (!condition)
        NdisViolation(rule, p1, p2, p3);
}

// Marks host memory as off limits (or usable again) for AddressSanitizer; no effect in
// builds without it.

}  // namespace sim
