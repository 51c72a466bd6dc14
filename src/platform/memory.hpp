// How much memory this machine has, so that sizes no allocation could
// satisfy are refused at once instead of being attempted.
#pragma once
#include <cstddef>

namespace tb::platform {

// Physical memory in bytes (read once; a large fallback when unknown).
std::size_t physical_memory_bytes();

// True when count elements of elem bytes each (plus `extra` bytes) could fit
// in physical memory; false as well when the product overflows.
bool fits_in_memory(std::size_t count, std::size_t elem, std::size_t extra = 0);

}  // namespace tb::platform
