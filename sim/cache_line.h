// cache_line.h - the unit in which processors pass memory between them. State that an
// indicating thread and a reader write for every frame begins a line of its own
// (alignas(kCacheLine)), so that words one thread writes do not pull the other's along.
#pragma once

#include <cstddef>

namespace sim {

inline constexpr size_t kCacheLine = 64;

}  // namespace sim
