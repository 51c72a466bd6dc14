// The timing loop shared by the rate synchroniser and the M-PSK receivers:
// it watches the terminal (matched-filter) stage of a rate-converting
// cascade that produces m outputs per symbol, picks the on-time and
// mid-symbol outputs from a short strobe ring, forms a Gardner or DTTL
// timing error scaled by the detector gain, and steers the stage's per-input
// rate deviation through a PI loop.  A block-averaged eye-opening signal
// feeds its lock decision.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/blob.hpp"
#include "core/common/types.hpp"
#include "core/track/lockdet.hpp"
#include "core/track/loop_filter.hpp"

namespace tb {

enum ted_kind : std::uint32_t { TED_GARDNER = 0, TED_DTTL = 1 };

inline constexpr std::size_t kTimingRingMax = 5;  // m/2 + 1 for m <= 8
inline constexpr std::size_t kTimingSectionBytes = 216;
inline constexpr const char* kTimingProbes[6] = {".e", ".ctrl", ".rate", ".lock", ".locked", ".mu"};

struct timing_loop {
  // Configuration.
  double sps;            // input samples per symbol
  std::uint32_t m;       // terminal outputs per symbol (even, 2..8)
  std::uint32_t ted;     // TED_GARDNER or TED_DTTL
  double gain;           // detector gain G = 1/slope of the S-curve
  double scale;          // the terminal stage's nominal rate
  std::uint64_t k;       // the terminal stage's taps per arm
  loop_filter lf;        // (bn, zeta, t = 1)
  // Running state.
  double ctrl;           // the stage's rate deviation
  double timing_error;   // last scaled error
  double rate;           // tracked samples per symbol
  std::uint64_t prime;   // outputs still to skip before strobing
  std::uint64_t phase;   // symbol-phase counter
  std::uint64_t fill;    // strobe-ring entries filled
  cf32 ring[kTimingRingMax];  // newest first
  cf32 prev;             // previous on-time output
  bool prev_valid;
  timing_lock lock;
};

// The pulse autocorrelation R(x) of the matched pulse: the triangle of the
// integrate-and-dump rectangle (pulse 0) or the raised cosine of an RRC pair
// (pulse 1).
double pulse_autocorr(int pulse, double beta, double x);
// The slope at zero of the detector's S-curve, |S(1e-4) - S(-1e-4)| * 5000;
// the Gardner curve sums 2 span + 5 symbol terms.
double ted_slope(int pulse, double beta, std::uint64_t span, std::uint32_t ted);

// Configure (lock geometry: blocks of 133 looks, thresholds 0.311, verify
// counts 1 and 8) and seed.  gain is 1/slope (1 when the slope is not
// positive).
void timing_loop_init(timing_loop* t, double sps, std::uint32_t m, double bn, double zeta, std::uint32_t ted,
                      double slope, double scale, std::uint64_t k);
void timing_loop_reset(timing_loop* t);

// One terminal output: shift it into the ring; true when it is an on-time
// strobe (then *mid is the output m/2 back).
//
// The whole ring shifts, a fixed number of moves and no call (entries past
// m/2 are never read and never persisted), element by element, so each load
// is served by the one store that wrote it; a wider move would straddle two
// stores still in flight and wait for them to reach the cache.  The symbol phase is reduced
// modulo m by a mask when m is a power of two, so no division per output.
inline bool timing_loop_strobe(timing_loop* t, cf32 y, cf32* mid) {
  const std::uint64_t len = t->m / 2 + 1;
  for (std::size_t i = kTimingRingMax - 1; i > 0; --i) t->ring[i] = t->ring[i - 1];
  t->ring[0] = y;
  if (t->fill < len) ++t->fill;
  if (t->prime > 0) {
    --t->prime;
    return false;
  }
  const std::uint64_t v = t->phase++, m = t->m;
  if (((m & (m - 1)) == 0 ? v & (m - 1) : v % m) != 0 || t->fill < len) return false;
  *mid = t->ring[t->m / 2];
  return true;
}

// One on-time strobe y with mid-symbol output mid: the first only primes the
// detector (false); later ones update the error, the loop, the rate and the
// lock signal and return true.
inline float timing_sgn(float v) { return v >= 0.0f ? 1.0f : -1.0f; }
inline bool timing_loop_update(timing_loop* t, const cf32& y, const cf32& mid) {
  if (!t->prev_valid) {
    t->prev = y;
    t->prev_valid = true;
    return false;
  }
  const cf32 q = t->prev;
  float err;
  if (t->ted == TED_DTTL) {
    err = mid.real() * (timing_sgn(y.real()) - timing_sgn(q.real())) + mid.imag() * (timing_sgn(y.imag()) - timing_sgn(q.imag()));
  } else {
    // Re{(y - q) conj(mid)}
    const float dr = y.real() - q.real(), di = y.imag() - q.imag();
    err = dr * mid.real() + di * mid.imag();
  }
  const double te = static_cast<double>(err) * t->gain;
  t->timing_error = te;
  t->lf.integ = t->lf.integ + t->lf.ki * te;
  t->ctrl = (t->lf.kp * te + t->lf.integ) * t->scale;
  const double r = t->sps / (1.0 + t->lf.integ);
  const double lo = 0.5 * t->sps, hi = 1.5 * t->sps;
  t->rate = r < lo ? lo : (r > hi ? hi : (r == r ? r : t->sps));
  timing_lock_look(&t->lock, y, mid);
  t->prev = y;
  return true;
}


// Terminal outputs taken per input by the loop's owners; the push engine
// defers any more (it never loses them), so this bounds only one call.
inline constexpr std::size_t kTimingPushOutputs = 4;

// The terminal outputs of one input: each is offered to the strobe ring and,
// when it completes a symbol, to the loop; `on_symbol(y)` then returns the
// symbol to emit.  Returns true with *sym the last symbol formed.
template <class OnSymbol>
bool timing_loop_take(timing_loop* t, const cf32* y, std::size_t got, cf32* sym, OnSymbol&& on_symbol) {
  bool formed = false;
  for (std::size_t j = 0; j < got; ++j) {
    cf32 mid;
    if (!timing_loop_strobe(t, y[j], &mid) || !timing_loop_update(t, y[j], mid)) continue;
    *sym = on_symbol(y[j]);
    formed = true;
  }
  return formed;
}

// The "RSLP" section (216 bytes, the loop filter's own blob nested at its
// end); the configuration is not in it.
int timing_loop_get_state(const timing_loop* t, unsigned char* buf, std::size_t len);
// Checks everything into *probe (a copy of the live loop) without touching
// the loop itself, so a composite restore can check all its parts first.
int timing_loop_check_state(const timing_loop* t, const unsigned char* buf, std::size_t len, timing_loop* probe);

}  // namespace tb
