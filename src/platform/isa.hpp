// Which SIMD instruction set the kernels use.  Every kernel gives the same
// bits on every path; the choice is only speed.  The processor's best is
// found once; a cap (the environment variable TAMBERL_ISA = scalar, sse2 or
// avx2, or isa_set_cap at run time) lowers it, so tests and benchmarks can
// run each path on one machine.
#pragma once
#include <atomic>

namespace tb::platform {

enum isa_level : int { ISA_SCALAR = 0, ISA_SSE2 = 1, ISA_AVX2 = 2 };

namespace detail {
extern std::atomic<int> g_active;  // min(cap, supported), kept by isa_set_cap
}

// The best level this processor runs.
int isa_supported();
// The level kernels use now: the supported level, capped.  Inline (one
// relaxed load), so per-sample paths can ask without a call.
inline int isa_active() { return detail::g_active.load(std::memory_order_relaxed); }
// Sets the cap (clamped to the valid range); returns the previous cap.
int isa_set_cap(int level);
// "scalar", "sse2" or "avx2"; -1 from isa_parse for any other name.
const char* isa_name(int level);
int isa_parse(const char* name);

}  // namespace tb::platform
