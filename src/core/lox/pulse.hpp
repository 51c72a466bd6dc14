// The root-raised-cosine pulse, shared by the matched-filter design of the
// cascade and the synthesiser's pulse shaping: one expression for both, so a
// transmitter and its matched receiver use the same numbers.
#pragma once
#include <cmath>

namespace tb {

// h(t) at t symbol periods with roll-off beta (unnormalised; the peak is
// 1 + beta (4/pi - 1)), with the two removable singularities taken as limits.
inline double rrc_pulse(double t, double beta) {
  constexpr double kPi = 3.141592653589793;
  if (std::fabs(t) < 1e-9) return beta * 0.27323954473516276 + 1.0;
  if (beta > 0.0 && std::fabs(std::fabs(t) - 0.25 / beta) < 1e-9) {
    const double a = (1.0 / beta) * 0.7853981633974483;
    return beta * 0.7071067811865475 * (std::sin(a) * 1.6366197723675815 + std::cos(a) * 0.3633802276324186);
  }
  const double q = kPi * t;
  const double b4t = 4.0 * beta * t;
  return (std::cos(q * (beta + 1.0)) * b4t + std::sin(q * (1.0 - beta))) / ((1.0 - b4t * b4t) * q);
}

}  // namespace tb
