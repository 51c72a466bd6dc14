// The optional automatic gain control of the rate-converting cascade: it
// levels the stream entering the terminal (matched-filter) stage, updating
// its gain in dB every `period` samples from a smoothed power estimate, and
// clamps each output component.  Only the receivers attach one; the cascade
// runs, resets and serialises it.  The exp/log approximations are fixed so
// every build gives the same gains.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/tlm.hpp"
#include "core/common/types.hpp"

namespace tb {

struct agc {
  double target_db;   // 0
  double loop_gain;   // 8
  double alpha;       // 16: power smoothing; >= 1 means none
  double reserved;    // 24: owner's parameter, not read by the cascade
  double clamp_db;    // 32
  std::uint64_t period;  // 40: samples between updates (0 acts as 1)
  double gain_db;     // 48
  double power;       // 56: smoothed linear power
  double gain_lin;    // 64: cached 10^(gain_db/20)
  std::uint64_t count;   // 72
  float clamp_lin;    // 80
  std::uint32_t unread;  // 84: never read
  tb_tlm* tlm;        // 88: borrowed telemetry context, or null
  std::int32_t ch_gain, ch_power;  // 96, 100: probe indices (used below 64)
};
static_assert(sizeof(agc) == 104 && offsetof(agc, period) == 40 && offsetof(agc, clamp_lin) == 80 &&
              offsetof(agc, tlm) == 88);

inline constexpr std::size_t kAgcPersisted = offsetof(agc, tlm);  // 88-byte image
inline constexpr std::size_t kAgcBlobBytes = 16 + sizeof(agc);    // 120: image, then 16 zero bytes
inline constexpr const char* kAgcProbes[2] = {".gain_db", ".level_db"};

// 2^e and log10 by the fixed polynomial approximations the gain loop uses.
double agc_exp2a(double e);
double agc_log10a(double l);

inline constexpr double kAgcDbToLog2 = 0.16609640474436813;  // 1/20 * log2(10)
inline constexpr double kAgcPowerMax = 0x1p257;

inline double agc_limit(double v, double lo, double hi, double nan_value) {
  if (v != v) return nan_value;
  return v < lo ? lo : (v > hi ? hi : v);
}

inline float agc_clamp_component(float v, float c) {
  if (v != v) return -c;
  return v < -c ? -c : (v > c ? c : v);
}

// count 0, gain 0 dB (linear 1), clamp from clamp_db, power = 10^(target_db/10).
void agc_reset(agc* a);
// The gain update that ends each period (with telemetry); restarts the count.
void agc_update(agc* a);

// One sample into the terminal stage: gain, power estimate, periodic gain
// update, clamp.  Inline, so the cascade keeps the sample in registers
// across it.
inline cf32 agc_run(agc* a, const cf32& x) {
  if (a->count == 0) a->gain_lin = agc_exp2a(a->gain_db * kAgcDbToLog2);
  const float g = static_cast<float>(a->gain_lin);
  const float yr = x.real() * g, yi = x.imag() * g;
  const double p = agc_limit(static_cast<double>(yi) * static_cast<double>(yi) +
                                 static_cast<double>(yr) * static_cast<double>(yr),
                             0.0, kAgcPowerMax, kAgcPowerMax);
  a->power = a->alpha >= 1.0 ? p : (p - a->power) * a->alpha + a->power;
  if (++a->count >= (a->period ? a->period : 1)) agc_update(a);
  const float c = a->clamp_lin;
  return {agc_clamp_component(yr, c), agc_clamp_component(yi, c)};
}
int agc_set_telemetry(agc* a, tb_tlm* ctx, const char* prefix, std::uint64_t decim);

int agc_get_state(const agc* a, unsigned char* buf, std::size_t len);
int agc_check_state(const agc* a, const unsigned char* buf, std::size_t len);
int agc_set_state(agc* a, const unsigned char* buf, std::size_t len);

}  // namespace tb
