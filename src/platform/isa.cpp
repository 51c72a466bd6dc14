#include "platform/isa.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace tb::platform {

namespace {

int detect() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return ISA_AVX2;
  if (__builtin_cpu_supports("sse2")) return ISA_SSE2;
#endif
  return ISA_SCALAR;
}

int initial_cap() {
  const char* e = std::getenv("TAMBERL_ISA");
  const int parsed = e ? isa_parse(e) : -1;
  return parsed < 0 ? ISA_AVX2 : parsed;
}

const int g_supported = detect();
std::atomic<int> g_cap{initial_cap()};

int capped(int cap) { return cap < g_supported ? cap : g_supported; }

}  // namespace

// Until this is initialised (another object's static initialiser asking
// first) it reads 0, the scalar path, which gives the same bits.
std::atomic<int> detail::g_active{capped(g_cap.load())};

int isa_supported() { return g_supported; }

int isa_set_cap(int level) {
  if (level < ISA_SCALAR) level = ISA_SCALAR;
  if (level > ISA_AVX2) level = ISA_AVX2;
  const int before = g_cap.exchange(level, std::memory_order_relaxed);
  detail::g_active.store(capped(level), std::memory_order_relaxed);
  return before;
}

const char* isa_name(int level) {
  switch (level) {
    case ISA_SSE2: return "sse2";
    case ISA_AVX2: return "avx2";
    default: return "scalar";
  }
}

int isa_parse(const char* name) {
  for (int l = ISA_SCALAR; l <= ISA_AVX2; ++l)
    if (std::strcmp(name, isa_name(l)) == 0) return l;
  return -1;
}

}  // namespace tb::platform
