#include "core/sig/awgn.hpp"

#include <cmath>

#include "core/common/blob.hpp"
#include "core/lox/lo.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'A', 'W', 'G', 'N'};
constexpr std::uint64_t kGamma = 0x9E3779B97F4A7C15ull;

inline std::uint64_t mix(std::uint64_t z) {
  z ^= z >> 30;
  z *= 0xBF58476D1CE4E5B9ull;
  z ^= z >> 27;
  z *= 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

inline std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

struct Xoshiro {
  std::uint64_t s0, s1, s2, s3;
  std::uint64_t next() {
    const std::uint64_t r = rotl(s0 + s3, 23) + s0;
    const std::uint64_t t = s1 << 17;
    s2 ^= s0;
    s3 ^= s1;
    s1 ^= s2;
    s0 ^= s3;
    s2 ^= t;
    s3 = rotl(s3, 45);
    return r;
  }
};

// One Box-Muller sample from two raw draws: the radius from the top 24 bits
// of the first (u in (0, 1]), the angle from the top 16 bits of the second.
inline cf32 gauss(const float* table, std::uint64_t r1, std::uint64_t r2, float amp) {
  const float u = static_cast<float>((r1 >> 40) + 1) * 0x1p-24f;
  const float radius = std::sqrt(-2.0f * std::log(u)) * amp;
  const std::uint32_t k = static_cast<std::uint32_t>(r2 >> 48);
  return {radius * table[k + 16384u], radius * table[k]};
}

}  // namespace

void awgn_init(awgn* a, std::uint64_t seed, float amp) {
  a->seed = seed;
  a->amp = amp;
  awgn_reset(a);
}

void awgn_reset(awgn* a) {
  const std::uint64_t seed = a->seed;
  for (int i = 0; i < 4; ++i) a->s[i] = mix(seed + static_cast<std::uint64_t>(i + 1) * kGamma);
  for (int j = 0; j < 4; ++j)
    for (int k = 0; k < 8; ++k) a->aux[j * 8 + k] = mix(seed + static_cast<std::uint64_t>(k + j + 1) * kGamma);
}

cf32 awgn_next(awgn* a) {
  Xoshiro x{a->s[0], a->s[1], a->s[2], a->s[3]};
  const std::uint64_t r1 = x.next(), r2 = x.next();
  a->s[0] = x.s0, a->s[1] = x.s1, a->s[2] = x.s2, a->s[3] = x.s3;
  return gauss(lo_sine_table(), r1, r2, a->amp);
}

void awgn_generate(awgn* a, cf32* out, std::size_t n) {
  const float* table = lo_sine_table();
  const float amp = a->amp;
  Xoshiro x{a->s[0], a->s[1], a->s[2], a->s[3]};
  // The draws first (one serial dependency chain), then the arithmetic,
  // which has none between samples.
  constexpr std::size_t kChunk = 256;
  std::uint64_t r[2 * kChunk];
  for (std::size_t i = 0; i < n; i += kChunk) {
    const std::size_t m = n - i < kChunk ? n - i : kChunk;
    for (std::size_t j = 0; j < 2 * m; ++j) r[j] = x.next();
    for (std::size_t j = 0; j < m; ++j) out[i + j] = gauss(table, r[2 * j], r[2 * j + 1], amp);
  }
  a->s[0] = x.s0, a->s[1] = x.s1, a->s[2] = x.s2, a->s[3] = x.s3;
}

int awgn_get_state(const awgn* a, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, 1, kAwgnBlobBytes);
  for (std::uint64_t v : a->s) w.put<std::uint64_t>(v);
  for (std::uint64_t v : a->aux) w.put<std::uint64_t>(v);
  return w.status();
}

int awgn_check_state(const unsigned char* buf, std::size_t len) {
  return blob_open(buf, len, kMagic, 1, kAwgnBlobBytes).ok() ? 0 : kStatusRefused;
}

int awgn_set_state(awgn* a, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, 1, kAwgnBlobBytes);
  if (!r.ok()) return kStatusRefused;
  for (std::uint64_t& v : a->s) v = r.get<std::uint64_t>();
  for (std::uint64_t& v : a->aux) v = r.get<std::uint64_t>();
  return 0;
}

}  // namespace tb
