// asan.h - poisoning of memory the simulated machine takes back (freed pool, completed
// IRPs, returned packets), so that a driver touching it afterwards is reported by
// AddressSanitizer at the faulting access. Without the sanitizer the calls do nothing
// and the machine's own poison patterns catch writes later.
#pragma once

#include <cstddef>

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

#if defined(KRVDLC_SIM_ASAN)
inline constexpr bool kAsanBuild = true;
#else
inline constexpr bool kAsanBuild = false;
#endif

inline void PoisonMemory(const void *address, size_t size)
{
#if defined(KRVDLC_SIM_ASAN)
    ASAN_POISON_MEMORY_REGION(address, size);
#else
    (void)address;
    (void)size;
#endif
}

inline void UnpoisonMemory(const void *address, size_t size)
{
#if defined(KRVDLC_SIM_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(address, size);
#else
    (void)address;
    (void)size;
#endif
}

}  // namespace sim
