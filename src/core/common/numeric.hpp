// Numeric constants and the library's one rounding convention: float to
// integer conversions round half away from zero and saturate.
#pragma once
#include <cstdint>
#include <limits>

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

// True when every argument is a finite number.
template <class... D>
inline bool all_finite(D... v) {
  return ((v - v == v - v) && ...);  // inf - inf and NaN - NaN are NaN
}

}  // namespace tb
