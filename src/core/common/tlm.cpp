#include "core/common/tlm.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/common/blob.hpp"

namespace tb {

int tlm_register(tb_tlm* ctx, const char* name, std::uint64_t n) {
  if (ctx == nullptr || name == nullptr || n == 0 || n > 2147483647u) return kStatusRefused;
  const std::size_t len = strnlen(name, kTlmNameBytes);
  if (len >= kTlmNameBytes) return kStatusRefused;
  const std::uint32_t count = ctx->count < kTlmMaxProbes ? ctx->count : kTlmMaxProbes;
  for (std::uint32_t i = 0; i < count; ++i) {
    tlm_probe& p = ctx->probes[i];
    if (strncmp(p.name, name, kTlmNameBytes) == 0) {
      p.decim = static_cast<std::int32_t>(n);
      p.counter = static_cast<std::uint32_t>(n - 1);
      return static_cast<int>(i);
    }
  }
  if (count >= kTlmMaxProbes) return kStatusRefused;
  tlm_probe& p = ctx->probes[count];
  std::memset(p.name, 0, kTlmNameBytes);
  std::memcpy(p.name, name, len);
  p.written = 0;
  p.decim = static_cast<std::int32_t>(n);
  p.counter = static_cast<std::uint32_t>(n - 1);
  ctx->count = count + 1;
  return static_cast<int>(count);
}

void tlm_emit(tb_tlm* ctx, std::uint32_t k, float v) {
  if (ctx == nullptr || k >= kTlmMaxProbes) return;
  tlm_probe& p = ctx->probes[k];
  p.counter += 1;
  if (static_cast<std::int64_t>(p.counter) < static_cast<std::int64_t>(p.decim)) return;
  p.counter = 0;
  tlm_ring* r = ctx->ring;
  if (r == nullptr) return;
  const std::uint64_t prod = r->producer;
  const std::uint64_t cons = std::atomic_ref<std::uint64_t>(r->consumer).load(std::memory_order_acquire);
  if (r->capacity != 0 && r->records != nullptr && prod - cons != r->capacity &&
      (prod & r->mask) < r->capacity) {
    tlm_record& rec = r->records[prod & r->mask];
    rec.stamp = ctx->stamp;
    rec.value = v;
    rec.probe = static_cast<std::uint16_t>(k);
    rec.zero = 0;
    std::atomic_ref<std::uint64_t>(r->producer).store(prod + 1, std::memory_order_release);
    p.written += 1;
  } else {
    std::atomic_ref<std::uint64_t>(r->dropped).fetch_add(1, std::memory_order_relaxed);
  }
}

std::size_t tlm_prefix_room(const char* const* suffixes, std::size_t n) {
  std::size_t longest = 0;
  for (std::size_t i = 0; i < n; ++i) longest = std::max(longest, std::strlen(suffixes[i]));
  return longest >= kTlmNameBytes - 1 ? 0 : kTlmNameBytes - 1 - longest;
}

int tlm_attach(tb_tlm* ctx, const char* prefix, std::uint64_t decim, const char* const* suffixes,
               std::uint32_t* idx, std::size_t n, tb_tlm** slot_ctx) {
  if (ctx == nullptr) {
    *slot_ctx = nullptr;
    return 0;
  }
  if (prefix == nullptr || n > kTlmMaxProbes || decim == 0 || decim > 2147483647u) return kStatusRefused;
  // Every name is built and checked, and the free slots counted, before any
  // is registered: a refused attachment leaves no orphan probes behind.
  char names[kTlmMaxProbes][kTlmNameBytes] = {};
  const std::size_t plen = std::strlen(prefix);
  if (plen > tlm_prefix_room(suffixes, n)) return kStatusRefused;
  const std::uint32_t count = ctx->count < kTlmMaxProbes ? ctx->count : kTlmMaxProbes;
  std::uint32_t fresh = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(names[i], prefix, plen);
    std::memcpy(names[i] + plen, suffixes[i], std::strlen(suffixes[i]));
    bool known = false;
    for (std::uint32_t k = 0; k < count && !known; ++k)
      known = strncmp(ctx->probes[k].name, names[i], kTlmNameBytes) == 0;
    for (std::size_t j = 0; j < i && !known; ++j) known = std::strcmp(names[j], names[i]) == 0;
    fresh += known ? 0u : 1u;
  }
  if (count + fresh > kTlmMaxProbes) return kStatusRefused;
  std::uint32_t got[kTlmMaxProbes];
  for (std::size_t i = 0; i < n; ++i) {
    const int k = tlm_register(ctx, names[i], decim);
    if (k < 0) return k;  // not reached: every condition was checked above
    got[i] = static_cast<std::uint32_t>(k);
  }
  for (std::size_t i = 0; i < n; ++i) idx[i] = got[i];
  *slot_ctx = ctx;
  return 0;
}

}  // namespace tb
