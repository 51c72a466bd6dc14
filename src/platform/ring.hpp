// A ring of complex64 samples whose storage is mapped twice, back to back,
// so that any run of up to its capacity starting anywhere is contiguous:
// chunk writes and frame reads are one copy or a pointer, never split at
// the wrap.  On Linux: one memfd object, a PROT_NONE reservation of twice
// its size, and two MAP_FIXED | MAP_SHARED views of the object inside it.
#pragma once
#include <complex>
#include <cstddef>
#include <cstdint>

namespace tb::platform {

struct mirror_ring {
  std::complex<float>* base = nullptr;  // first view; the mirror follows at base + phys
  std::uint64_t mask = 0;               // physical capacity - 1
  std::uint64_t phys = 0;               // physical capacity in samples (a power of two)
  std::uint64_t cap = 0;                // logical capacity in samples
  int fd = -1;
  alignas(64) std::uint64_t write = 0;  // samples ever written
  alignas(64) std::uint64_t read = 0;   // samples ever consumed
  alignas(64) std::uint64_t overflow = 0;  // samples refused (atomic increments)
};

// The allocation granularity a view's address and size must respect.
std::size_t map_granularity();

// Logical capacity for frames of n samples: max(512, next power of two >= n).
std::uint64_t ring_logical_capacity(std::uint64_t n);

// A ring for frames of n samples: logical capacity as above, physical
// capacity doubled until a view covers at least the granularity; mapping
// retried up to 1024 times, then the capacity doubled, up to 2^28 + 1
// samples.  nullptr when nothing could be mapped (no mapping or descriptor
// is left behind).
mirror_ring* ring_create(std::uint64_t n);
void ring_destroy(mirror_ring* r);

inline std::uint64_t ring_fill(const mirror_ring* r) { return r->write - r->read; }
inline std::uint64_t ring_free(const mirror_ring* r) { return r->cap - ring_fill(r); }
// Writes e samples in one piece, or (when they do not fit) counts them as
// overflow and writes nothing; returns whether they were written.
bool ring_write(mirror_ring* r, const std::complex<float>* x, std::uint64_t e);
// The n samples at the read position, in place.
inline const std::complex<float>* ring_peek(const mirror_ring* r) { return r->base + (r->read & r->mask); }
inline void ring_consume(mirror_ring* r, std::uint64_t n) { r->read += n; }
inline void ring_reset(mirror_ring* r) { r->write = r->read = 0; }

}  // namespace tb::platform
