// The table-driven local oscillator: a 32-bit phase accumulator (2^32 is one
// cycle) read through one process-wide 65536-entry float32 sine table.
//
// The down-converters rotate samples by e^(+j*phase); the carrier loops of
// track embed the same record and de-rotate by the conjugate.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/numeric.hpp"
#include "core/common/types.hpp"

namespace tb {

inline constexpr std::size_t kSineTableSize = 65536;
// The table repeats its first quarter cycle after the end, so the cosine of
// index k is entry k + 16384 with no wrap (the value entry (k + 16384) mod
// 65536 holds): one load straight from the shifted phase, nothing between.
inline constexpr std::size_t kSineTableStored = kSineTableSize + kSineTableSize / 4;

// The shared table, built on first use (thread-safe, once per process):
// entry i = sinf(float(i) * k), k the float32 nearest 2*pi/65536, for i
// below 65536; entries 65536 to 81919 repeat entries 0 to 16383.
const float* lo_sine_table();

// Phase increment for a frequency in cycles per sample: the fractional part
// of f times 2^32, truncated; 0 for a non-positive or NaN product and
// 0xFFFFFFFF when it rounds up to 2^32 (tiny negative f).
inline std::uint32_t freq_to_inc(double f) {
  if (f > -1.0 && f < 1.0) {
    // The common case, without a floor and without a data-dependent branch:
    // floor(f) is -1 or 0, so f - floor(f) is f + 1 (the same rounded sum)
    // or f itself (adding 0 changes nothing but the sign of a zero, which
    // gives 0 either way); then the same saturation.
    const double u = (f + static_cast<double>(f < 0.0)) * 4294967296.0;
    const std::int64_t t = static_cast<std::int64_t>(u);  // u in [0, 2^32]: exact truncation
    return t > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(t);
  }
  const double u = (f - floor_exact(f)) * 4294967296.0;
  if (!(u > 0.0)) return 0;  // also NaN
  if (u >= 4294967296.0) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(u);
}

struct lo {
  std::uint32_t phase;      // accumulator, mutable state
  std::uint32_t phase_inc;  // per-sample increment
  double norm_freq;         // frequency exactly as last given
};
static_assert(sizeof(lo) == 16, "lo is embedded in fixed record images");

inline constexpr std::size_t kLoBlobBytes = 16 + sizeof(std::uint32_t);  // header + phase

// Embedded use: set the frequency and zero the phase (builds the table).
void lo_init(lo* o, double norm_freq);

lo* lo_create(double norm_freq);  // nullptr only when allocation fails
void lo_destroy(lo* o);
// Phase-continuous retune (inline: the carrier loops retune on every dump).
inline void lo_set_freq(lo* o, double f) {
  o->phase_inc = freq_to_inc(f);
  o->norm_freq = f;
}
double lo_get_freq(const lo* o);
void lo_reset(lo* o);

// sin and cos of a phase through the table (no interpolation).
inline void lo_sincos(const float* table, std::uint32_t phase, float* s, float* c) {
  const std::size_t i = phase >> 16;
  *s = table[i];
  *c = table[i + 16384];
}

// min(n, cap) oscillator samples (cos, sin), advancing the phase after each.
std::size_t lo_generate(lo* o, std::size_t n, cf32* out, std::size_t cap);

// y = x * e^(+j*phase) with each product rounded to float32, then one add or
// subtract: (c*re - s*im, c*im + s*re); then phase += phase_inc + ctrl_inc.
inline cf32 lo_rotate(float c, float s, cf32 x) {
  const float re = x.real(), im = x.imag();
  const float cr = c * re, si = s * im, ci = c * im, sr = s * re;
  return {cr - si, ci + sr};
}

// y = x * e^(-j*phase), the conjugate rotation the carrier loops apply:
// (c*re + s*im, c*im - s*re), each product rounded to float32, then one add
// or subtract.
inline cf32 lo_derotate(float c, float s, cf32 x) {
  const float re = x.real(), im = x.imag();
  const float rc = re * c, is = im * s, ic = im * c, rs = re * s;
  return {rc + is, ic - rs};
}

// Rotate a block.  Without control it generates the oscillator block into
// `scratch` (at least n entries) and multiplies; with control (ctrl_freq, in
// cycles per sample, converted once per call) each advance adds its increment.
// Both forms give identical bits.
void lo_mix(lo* o, const cf32* x, cf32* y, std::size_t n, cf32* scratch);
void lo_mix_ctrl(lo* o, const cf32* x, cf32* y, std::size_t n, double ctrl_freq);

std::size_t lo_state_bytes(const lo* o);
int lo_get_state(const lo* o, unsigned char* buf, std::size_t len);
int lo_set_state(lo* o, const unsigned char* buf, std::size_t len);

}  // namespace tb
