// Telemetry producer: registers probe names in a shared-memory context and
// writes records into its single-producer/single-consumer ring.  The layout
// is fixed so that any consumer (tamberl.telemetry is one) interoperates.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

inline constexpr std::uint32_t kTlmMaxProbes = 64;
inline constexpr std::size_t kTlmNameBytes = 32;  // NUL-terminated, at most 31 characters

struct tlm_record {
  std::uint64_t stamp;  // copied from the context
  float value;
  std::uint16_t probe;
  std::uint16_t zero;
};
static_assert(sizeof(tlm_record) == 16);

struct tlm_ring {
  tlm_record* records;
  std::uint64_t mask;      // capacity - 1
  std::uint64_t capacity;  // records; 0 drops everything
  unsigned char pad0[40];
  std::uint64_t producer;  // written here (release order)
  unsigned char pad1[56];
  std::uint64_t consumer;  // written by the reader
  unsigned char pad2[56];
  std::uint64_t dropped;   // incremented atomically
};

struct tlm_probe {
  char name[kTlmNameBytes];
  std::int32_t decim;      // emit every decim-th opportunity
  std::uint32_t counter;
  std::uint64_t written;
};

struct tb_tlm {
  tlm_ring* ring;
  std::uint64_t stamp;
  std::uint32_t count;
  std::uint32_t pad;
  tlm_probe probes[kTlmMaxProbes];
};

static_assert(offsetof(tlm_ring, producer) == 64 && offsetof(tlm_ring, consumer) == 128 &&
              offsetof(tlm_ring, dropped) == 192);
static_assert(offsetof(tb_tlm, count) == 16 && offsetof(tb_tlm, probes) == 24 && sizeof(tlm_probe) == 48);

// Registers (or re-registers) probe `name` with decimation n.  Returns its
// index, or -4 when refused (null context or name, n of 0 or above 2^31-1,
// a name of 32 characters or more, or a full table).
int tlm_register(tb_tlm* ctx, const char* name, std::uint64_t n);

// One emission opportunity for probe k.
void tlm_emit(tb_tlm* ctx, std::uint32_t k, float v);

// A record's attachment: the borrowed context and one index per probe.
template <std::size_t N>
struct tlm_slots {
  tb_tlm* ctx;
  std::uint32_t idx[N];
};

// The longest prefix that fits in front of every suffix (names are at most
// 31 characters).
std::size_t tlm_prefix_room(const char* const* suffixes, std::size_t n);

// Builds "<prefix><suffix>" for every format suffix and registers them in
// order, then stores the context and indices.  A null context detaches.
// All-or-nothing: every name and the free table slots are checked first, so
// a refusal (-4) registers nothing and keeps the previous attachment.  A
// name that would not fit in 31 characters is refused (not truncated, which
// could merge two probes into one).
int tlm_attach(tb_tlm* ctx, const char* prefix, std::uint64_t decim, const char* const* suffixes,
               std::uint32_t* idx, std::size_t n, tb_tlm** slot_ctx);

template <std::size_t N>
std::size_t tlm_prefix_room(const char* const (&suffixes)[N]) {
  return tlm_prefix_room(suffixes, N);
}

template <std::size_t N>
int tlm_attach(tlm_slots<N>* s, tb_tlm* ctx, const char* prefix, std::uint64_t decim,
               const char* const (&suffixes)[N]) {
  return tlm_attach(ctx, prefix, decim, suffixes, s->idx, N, &s->ctx);
}

template <std::size_t N>
inline void tlm_emit(const tlm_slots<N>& s, std::size_t which, float v) {
  if (s.ctx) tlm_emit(s.ctx, s.idx[which], v);
}

}  // namespace tb
