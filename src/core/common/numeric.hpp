// Numeric constants and the library's one rounding convention: float to
// integer conversions round half away from zero and saturate.
#pragma once
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tb {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// Round half away from zero for |s| within the int32 range, without a libm
// call: truncate, then step outward when the (exactly computed) remainder is
// at least one half.  Written so the compiler can vectorise it.
inline std::int32_t round_away_f(float s) {
  std::int32_t i = static_cast<std::int32_t>(s);
  const float frac = s - static_cast<float>(i);
  i += static_cast<std::int32_t>(frac >= 0.5f) - static_cast<std::int32_t>(frac <= -0.5f);
  return i;
}

// Round half away from zero into int64; values beyond the int64 range give
// the nearer bound.  A NaN gives the lower bound (callers clamp further).
inline std::int64_t round_sat64(double s) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (s >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (!(s > -kTwo63)) return std::numeric_limits<std::int64_t>::min();
  std::int64_t i = static_cast<std::int64_t>(s);  // exact for |s| >= 2^52 (s is integral)
  const double frac = s - static_cast<double>(i);
  return i + (frac >= 0.5) - (frac <= -0.5);
}

// Saturate a wider integer to the int16 / int8 range.
inline std::int16_t sat16(std::int32_t v) {
  return static_cast<std::int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}
inline std::int8_t sat8(std::int32_t v) {
  return static_cast<std::int8_t>(v > 127 ? 127 : (v < -128 ? -128 : v));
}

// floor(v) exactly, without a library call (the baseline target has no
// rounding instruction): a truncation, stepped down for negative fractions.
// Magnitudes of 2^52 and above (and NaN, inf) are already integral.
inline double floor_exact(double v) {
  if (!(v > -4503599627370496.0 && v < 4503599627370496.0)) return v;
  const double t = static_cast<double>(static_cast<std::int64_t>(v));
  return t - static_cast<double>(t > v);  // branch-free: the sign of v is data
}

// -v when neg, else v: the sign bit flipped exactly as negation flips it
// (NaN included), without a data-dependent branch.
inline float negate_if(float v, bool neg) {
#if defined(__SSE2__)
  // In the vector unit: a compare mask and an xor, no trip through the
  // integer registers.
  const __m128 sign = _mm_and_ps(_mm_castsi128_ps(_mm_set1_epi32(neg ? -1 : 0)), _mm_set_ss(-0.0f));
  return _mm_cvtss_f32(_mm_xor_ps(_mm_set_ss(v), sign));
#else
  return __builtin_bit_cast(float, __builtin_bit_cast(std::uint32_t, v) ^ (static_cast<std::uint32_t>(neg) << 31));
#endif
}

// -v when !(s >= 0) (s negative or NaN), else v, decided in the vector unit.
inline float negate_unless_nonneg(float v, float s) {
#if defined(__SSE2__)
  const __m128 mask = _mm_cmpnge_ss(_mm_set_ss(s), _mm_setzero_ps());  // all ones when !(s >= 0)
  return _mm_cvtss_f32(_mm_xor_ps(_mm_set_ss(v), _mm_and_ps(mask, _mm_set_ss(-0.0f))));
#else
  return negate_if(v, !(s >= 0.0f));
#endif
}

// Single-precision hypot exactly as the C library computes it: the sum of
// squares in double and one rounding of its square root (no overflow or loss
// can occur for float inputs); an infinite part gives infinity even beside
// a NaN.
inline float hypot_f(float a, float b) {
  const double x = a, y = b;
  if (x - x != 0.0 || y - y != 0.0) {  // an infinity or NaN
    if (x == x + x && x != 0.0) return __builtin_inff();
    if (y == y + y && y != 0.0) return __builtin_inff();
    return __builtin_nanf("");
  }
  return static_cast<float>(__builtin_sqrt(x * x + y * y));
}

// True when every argument is a finite number.
template <class... D>
inline bool all_finite(D... v) {
  return ((v - v == v - v) && ...);  // inf - inf and NaN - NaN are NaN
}

}  // namespace tb
