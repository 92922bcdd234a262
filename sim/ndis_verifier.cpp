// ndis_verifier.cpp - bug-checks for broken NDIS rules and AddressSanitizer poisoning.
#include "sim/ndis_verifier.h"

#include "sim/bugcheck.h"

namespace sim {

void NdisViolation(const std::string &rule, uintptr_t p1, uintptr_t p2, uintptr_t p3)
{
    BugCheck(StopCode::NdisDriver, rule.c_str(), p1, p2, p3);
}

}  // namespace sim
