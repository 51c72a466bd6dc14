// Pieces every carrier loop shares: the de-rotate-and-dump sample loop over
// the integer-phase NCO, and the M-th-power phase discriminator.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/numeric.hpp"
#include "core/common/types.hpp"
#include "core/lox/lo.hpp"
#include "core/track/loop_filter.hpp"

namespace tb {

// Runs n samples through the NCO: each is de-rotated by the conjugate
// phasor of the pre-advance phase and added to the accumulator (ai, aq);
// every tsamps samples `dump(ai, aq, fi, fq)` steers the NCO (it may change
// the phase and the frequency word) and the prompt, scaled by the single-
// precision reciprocal of tsamps, is written while there is room.  Returns
// the prompts written.  The NCO state lives in locals between dumps.
//
// (fi, fq) is the prompt as the loop's feedback may read it: equal to
// (ai, aq) but for the sign of a zero.  With one sample a symbol the prompt
// is 0 + y, so the feedback takes the de-rotated sample y itself and that
// addition is off the path from one sample's phase to the next; a dump must
// give the same result from either (magnitudes, the sign test I >= 0, and a
// phase nudge, which is 0 for an error of either zero).
template <class Dump>
std::size_t derotate_dump(lo& nco, float& acc_i, float& acc_q, std::uint64_t& count, std::uint64_t tsamps,
                          const cf32* x, std::size_t n, cf32* out, std::size_t cap, Dump&& dump) {
  const float* table = lo_sine_table();
  const float inv = 1.0f / static_cast<float>(tsamps);
  float ai = acc_i, aq = acc_q;
  std::uint64_t c = count;
  std::uint32_t phase = nco.phase, inc = nco.phase_inc;
  std::size_t k = 0;
  if (tsamps == 1 && ai == 0.0f && aq == 0.0f) {
    // Every sample is a dump, and the accumulator before it is a zero.
    for (std::size_t i = 0; i < n; ++i) {
      float s, co;
      lo_sincos(table, phase, &s, &co);
      phase += inc;
      const cf32 d = lo_derotate(co, s, x[i]);
      const float pi = ai + d.real(), pq = aq + d.imag();
      nco.phase = phase;
      dump(pi, pq, d.real(), d.imag());
      phase = nco.phase;
      inc = nco.phase_inc;
      if (k < cap) out[k++] = {pi * inv, pq * inv};
      ai = aq = 0.0f;
    }
    c = 0;
    n = 0;
  }
  for (std::size_t i = 0; i < n; ++i) {
    float s, co;
    lo_sincos(table, phase, &s, &co);
    phase += inc;
    const cf32 d = lo_derotate(co, s, x[i]);
    ai += d.real();
    aq += d.imag();
    if (++c < tsamps) continue;
    nco.phase = phase;
    dump(ai, aq, ai, aq);
    phase = nco.phase;
    inc = nco.phase_inc;
    if (k < cap) out[k++] = {ai * inv, aq * inv};
    ai = aq = 0.0f;
    c = 0;
  }
  nco.phase = phase;
  acc_i = ai;
  acc_q = aq;
  count = c;
  return k;
}

// hypotf(I, Q) + 1e-12 in single precision, the prompt magnitude of the
// dump-based loops.  From a root of 2^-15 up the addition cannot change it
// (1e-12 is below half its unit in the last place), so there it is skipped
// behind a branch that is taken only for prompts near zero: the addition is
// off the loop's critical path, the value the same.
inline float prompt_magnitude(float i, float q) {
  float m = hypot_f(i, q);
  if (__builtin_expect(!(m >= 0x1p-15f), 0)) m += 1e-12f;
  return m;
}

// The configuration the dump-based carrier loops (Costas, CarrierMpsk) share,
// over records with the same field names.
template <class R>
void dump_loop_configure(R* c, double bn, double zeta) {
  c->bn = bn;
  c->zeta = zeta;
  loop_filter_configure(&c->lf, bn, zeta, 1.0);
}
template <class R>
void dump_loop_set_fll(R* c, double bn_fll) {
  c->bn_fll = bn_fll;
  c->fll_gain = 4.0 * bn_fll;
}
template <class R>
void dump_loop_init(R* c, double bn, double zeta, double init_norm_freq, std::uint64_t tsamps, double bn_fll) {
  c->tsamps = tsamps ? tsamps : 1;
  c->init_norm_freq = init_norm_freq;
  dump_loop_set_fll(c, bn_fll);
  dump_loop_configure(c, bn, zeta);
  c->lf.integ = 0.0;
}

// The phase nudge of the carrier loops, freq_to_inc((e * kp) / (2 pi)), on
// the critical path of every dump.  It is computed as floor(e * k) modulo
// 2^32 with k = kp * 2^32 / (2 pi) rounded once (no division): five
// roundings separate that product g from the exact operand, together less
// than 2^-20 for the magnitudes taken here, while the rounding of f + 1 in
// freq_to_inc adds at most 2^-21; so whenever g's fractional part is further
// than 2^-17 from an integer, both give the same increment.  Otherwise
// (about one dump in 2^16), or for |g| >= 2^31, it is the exact expression.
// The result is bit-identical either way.
struct nudge_scale {
  double kp;  // the loop's proportional gain
  double k;   // kp * (2^32 / 2 pi)
  explicit nudge_scale(double kp_) : kp(kp_), k(kp_ * (4294967296.0 / kTwoPi)) {}
};
inline std::uint32_t nudge_inc(float e, const nudge_scale& s) {
  const double g = static_cast<double>(e) * s.k;
  if (g > -2147483648.0 && g < 2147483648.0) {
    // floor(g) as trunc(g), less one for a negative g: the sign is known
    // beside the conversion, so only the multiply and the conversion are on
    // the path.  g - trunc(g) is exact, and its distance from an integer is
    // that of g's fractional part.
    const std::int64_t t = static_cast<std::int64_t>(g);
    const double frac = __builtin_fabs(g - static_cast<double>(t));  // feeds only the check
    if (frac > 0x1p-17 && frac < 1.0 - 0x1p-17) return static_cast<std::uint32_t>(t - (g < 0.0));
  }
  return freq_to_inc(static_cast<double>(e) * s.kp / kTwoPi);
}

// The M-th-power discriminator of M-PSK (M = 2, 4, 8) on an arm or symbol
// sample a: when |a|^2 > 1e-12, u = a^2/|a|^2, squared again for M >= 4 and
// once more for M = 8 (single precision), giving v = a^M/|a|^M; the error
// is Im v/(M/2) and the lock input Re v; otherwise both are 0.
inline void mth_power(cf32 a, int m, float* e, float* lock_in) {
  const float re = a.real(), im = a.imag();
  const float p = re * re + im * im;
  if (!(p > 1e-12f)) {
    *e = 0.0f;
    *lock_in = 0.0f;
    return;
  }
  float ur = (re * re - im * im) / p, ui = (re * im + im * re) / p;
  for (int k = 4; k <= m; k *= 2) {
    const float r = ur * ur - ui * ui, i = ur * ui + ui * ur;
    ur = r;
    ui = i;
  }
  *e = ui / static_cast<float>(m / 2);
  *lock_in = ur;
}

}  // namespace tb
