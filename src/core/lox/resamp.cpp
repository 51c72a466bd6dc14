#include "core/lox/resamp.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cmath>
#include <limits>
#include <new>

#include "core/common/blob.hpp"
#include "platform/isa.hpp"
#include "core/lox/lo.hpp"
#include "core/lox/pulse.hpp"
#include "platform/memory.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'R', 'S', 'M', 'P'};
constexpr std::uint16_t kVersion = 2;
// The largest countdown the push engine ever sets: floor(1/1e-6) + 1.  A
// restored blob beyond it is refused (it would stall each push).
constexpr std::uint32_t kMaxCountdown = 1000001;

inline std::uint32_t arm(const resamp* r, std::uint32_t v) {
  return r->log2p == 0 ? 0u : v >> (32 - r->log2p);
}

#if defined(__SSE2__)
// The products from i on added one at a time to c, whose low half holds
// (re, im): both parts at once.  Returns that pair.
inline cf32 dot_tail(__m128 c, const float* t, const float* xf, std::size_t i, std::size_t k) {
  for (; i < k; ++i)
    c = _mm_add_ps(c, _mm_mul_ps(_mm_set1_ps(t[i]), _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(xf + 2 * i)))));
  float v[4];
  _mm_storeu_ps(v, c);
  return {v[0], v[1]};
}
#endif

// y = sum_k taps[k] * R[k] in the one fixed order both engines use: with
// K >= 8, the first 8*floor(K/8) products go round eight running sums,
// combined ((s5 + s1) + (s7 + s3)) + ((s4 + s0) + (s6 + s2)); the remaining
// products are added one at a time.  Real and imaginary parts alike.
[[gnu::always_inline]] inline cf32 dot(const float* t, const cf32* x, std::size_t k) {
  std::size_t i = 0;
#if defined(__SSE2__)
  __m128 c = _mm_setzero_ps();  // (re, im) in its low half
  const float* xf = reinterpret_cast<const float*>(x);
  if (k >= 8) {
    // The same eight running sums, kept interleaved (re, im of lanes l and
    // l + 1 in one register): each lane still adds its products in order.
    __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (; i + 8 <= k; i += 8) {
      const __m128 t0 = _mm_loadu_ps(t + i), t1 = _mm_loadu_ps(t + i + 4);
      a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_unpacklo_ps(t0, t0), _mm_loadu_ps(xf + 2 * i)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_unpackhi_ps(t0, t0), _mm_loadu_ps(xf + 2 * i + 4)));
      a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_unpacklo_ps(t1, t1), _mm_loadu_ps(xf + 2 * i + 8)));
      a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_unpackhi_ps(t1, t1), _mm_loadu_ps(xf + 2 * i + 12)));
    }
    // The combination in registers: a2 + a0 holds (s4 + s0, s5 + s1) and
    // a3 + a1 (s6 + s2, s7 + s3); their sum the two brackets, whose sum
    // (a floating-point sum is the same either way round) is the total.
    const __m128 b = _mm_add_ps(_mm_add_ps(a2, a0), _mm_add_ps(a3, a1));
    c = _mm_add_ps(_mm_movehl_ps(b, b), b);
  }
  return dot_tail(c, t, xf, i, k);
#else
  float re = 0.0f, im = 0.0f;
  if (k >= 8) {
    float sr[8], si[8];
    for (int l = 0; l < 8; ++l) sr[l] = si[l] = 0.0f;
    for (; i + 8 <= k; i += 8)
      for (int l = 0; l < 8; ++l) {
        sr[l] += t[i + l] * x[i + l].real();
        si[l] += t[i + l] * x[i + l].imag();
      }
    re = ((sr[5] + sr[1]) + (sr[7] + sr[3])) + ((sr[4] + sr[0]) + (sr[6] + sr[2]));
    im = ((si[5] + si[1]) + (si[7] + si[3])) + ((si[4] + si[0]) + (si[6] + si[2]));
  }
  for (; i < k; ++i) {
    re += t[i] * x[i].real();
    im += t[i] * x[i].imag();
  }
  return {re, im};
#endif
}

#if defined(__x86_64__) || defined(__i386__)
// The same sums four complex lanes a register: a0 holds sums 0 to 3 and a1
// sums 4 to 7, each lane adding its products in order.  a0 + a1 is
// (s0 + s4, s1 + s5 | s2 + s6, s3 + s7), its halves added the two brackets
// of the SSE2 form, then the same last steps.  Measured, it pays for its
// call from eight blocks of eight up (a 129-tap arm 16% faster a push); at
// four blocks (33 taps) the inline SSE2 form is quicker.
constexpr std::size_t kDotAvx2MinTaps = 64;
__attribute__((target("avx2"))) cf32 dot_avx2(const float* t, const cf32* x, std::size_t k) {
  const __m256i lo = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3), hi = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
  const float* xf = reinterpret_cast<const float*>(x);
  __m256 a0 = _mm256_setzero_ps(), a1 = a0;
  std::size_t i = 0;
  for (; i + 8 <= k; i += 8) {
    const __m256 tt = _mm256_loadu_ps(t + i);
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_permutevar8x32_ps(tt, lo), _mm256_loadu_ps(xf + 2 * i)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(_mm256_permutevar8x32_ps(tt, hi), _mm256_loadu_ps(xf + 2 * i + 8)));
  }
  const __m256 p = _mm256_add_ps(a0, a1);
  const __m128 b = _mm_add_ps(_mm256_castps256_ps128(p), _mm256_extractf128_ps(p, 1));
  return dot_tail(_mm_add_ps(_mm_movehl_ps(b, b), b), t, xf, i, k);
}
#endif

// Whether this resampler's arms take the AVX2 dot product now.
inline bool dot_wide(const resamp* r) {
#if defined(__x86_64__) || defined(__i386__)
  return r->k >= kDotAvx2MinTaps && platform::isa_active() >= platform::ISA_AVX2;
#else
  (void)r;
  return false;
#endif
}

// Arm phi's dot product with the ring (wide: dot_wide's answer).
[[gnu::always_inline]] inline cf32 dot_arm(const resamp* r, std::uint32_t phi, bool wide) {
  const float* t = r->taps.data() + static_cast<std::size_t>(phi) * r->k;
  const cf32* x = r->ring.data() + r->ring_index;
#if defined(__x86_64__) || defined(__i386__)
  if (wide) return dot_avx2(t, x, r->k);
#endif
  (void)wide;
  return dot(t, x, r->k);
}

inline void push_ring(resamp* r, cf32 x) {
  r->ring_index = (r->ring_index + r->d - 1) & (r->d - 1);
  r->ring[r->ring_index] = r->ring[r->ring_index + r->d] = x;
}

// The push engine's period for one input: s = rate + rate_ctrl floored at
// 1e-6, period = 1/s split into whole inputs and a 32-bit fraction.
inline void push_period(double rate, double rate_ctrl, double* ip, std::uint32_t* fp) {
  double s = rate + rate_ctrl;
  if (!(s > 1e-6)) s = 1e-6;
  const double period = 1.0 / s;
  *ip = std::floor(period);
  *fp = freq_to_inc(period - *ip);
}

std::uint64_t ceil_pow2(std::uint64_t v) {
  std::uint64_t d = 1;
  while (d < v) d <<= 1;
  return d;
}

}  // namespace

resamp* resamp_create(std::uint64_t p, std::uint64_t k, const float* taps, double rate) {
  if (p == 0 || (p & (p - 1)) != 0 || k == 0 || taps == nullptr) return nullptr;
  if (!(rate >= kResampMinRate && rate <= kResampMaxRate)) return nullptr;  // also NaN
  if (k > (std::uint64_t{1} << 40) || p > std::numeric_limits<std::uint64_t>::max() / k ||
      !platform::fits_in_memory(p * k, sizeof(float), 8 * ceil_pow2(k) * sizeof(cf32)))
    return nullptr;
  try {
    auto* r = new resamp;
    r->rate = rate;
    r->p = p;
    r->k = k;
    r->log2p = std::countr_zero(p);
    r->up = rate >= 1.0;
    r->taps.assign(taps, taps + p * k);
    const double inc = r->up ? std::trunc(4294967296.0 / rate) : std::trunc(rate * 4294967296.0);
    r->block_inc = static_cast<std::uint32_t>(std::fmod(inc, 4294967296.0));
    r->d = ceil_pow2(k);
    r->ring.assign(2 * r->d, cf32{});
    if (!r->up && k > 1 && k <= 32) {
      r->kp = (k + 3) / 4 * 4;
      r->spread_taps.assign(p * 2 * r->kp, 0.0f);
      for (std::uint64_t a = 0; a < p; ++a)
        for (std::uint64_t m = 0; m < k; ++m)
          r->spread_taps[a * 2 * r->kp + 2 * m] = r->spread_taps[a * 2 * r->kp + 2 * m + 1] = taps[a * k + k - 1 - m];
    }
    r->acc.assign(std::max<std::uint64_t>(k, r->kp), cf32{});
    r->delay.assign(std::max<std::uint64_t>(k > 1 ? k - 1 : 1, r->kp), cf32{});
    return r;
  } catch (...) {
    return nullptr;
  }
}

void resamp_destroy(resamp* r) { delete r; }

void resamp_reset(resamp* r) {
  r->block_phase = r->ctrl_acc = r->countdown = r->deferred = 0;
  r->ring_index = 0;
  std::fill(r->ring.begin(), r->ring.end(), cf32{});
  std::fill(r->acc.begin(), r->acc.end(), cf32{});
  std::fill(r->delay.begin(), r->delay.end(), cf32{});
}

// The transposed form's per-input step: acc[m] += t[k - 1 - m] (gr, gi)
// for every m, each a product rounded to float and one sum, so the lanes
// may run in any grouping.
inline void spread_scalar(cf32* acc, const float* t, std::size_t k, std::size_t m, float gr, float gi) {
  for (; m < k; ++m) {
    const float w = t[k - 1 - m];
    acc[m] = {acc[m].real() + w * gr, acc[m].imag() + w * gi};
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Two partial outputs a register (re, im, re, im): four taps loaded,
// reversed, and each doubled for its output's two parts.
void spread_sse2(cf32* acc, const float* t, std::size_t k, float gr, float gi) {
  float* a = reinterpret_cast<float*>(acc);
  const __m128 gv = _mm_setr_ps(gr, gi, gr, gi);
  std::size_t m = 0;
  for (; m + 4 <= k; m += 4) {
    const __m128 w = _mm_shuffle_ps(_mm_loadu_ps(t + k - 4 - m), _mm_loadu_ps(t + k - 4 - m), _MM_SHUFFLE(0, 1, 2, 3));
    _mm_storeu_ps(a + 2 * m, _mm_add_ps(_mm_loadu_ps(a + 2 * m), _mm_mul_ps(_mm_unpacklo_ps(w, w), gv)));
    _mm_storeu_ps(a + 2 * m + 4, _mm_add_ps(_mm_loadu_ps(a + 2 * m + 4), _mm_mul_ps(_mm_unpackhi_ps(w, w), gv)));
  }
  spread_scalar(acc, t, k, m, gr, gi);
}

// Four partial outputs a register.
__attribute__((target("avx2"))) void spread_avx2(cf32* acc, const float* t, std::size_t k, float gr, float gi) {
  float* a = reinterpret_cast<float*>(acc);
  const __m256 gv = _mm256_setr_ps(gr, gi, gr, gi, gr, gi, gr, gi);
  const __m256i rev_lo = _mm256_setr_epi32(7, 7, 6, 6, 5, 5, 4, 4), rev_hi = _mm256_setr_epi32(3, 3, 2, 2, 1, 1, 0, 0);
  std::size_t m = 0;
  for (; m + 8 <= k; m += 8) {
    const __m256 w = _mm256_loadu_ps(t + k - 8 - m);  // taps k-8-m .. k-1-m; lane 7 is t[k-1-m]
    _mm256_storeu_ps(a + 2 * m,
                     _mm256_add_ps(_mm256_loadu_ps(a + 2 * m), _mm256_mul_ps(_mm256_permutevar8x32_ps(w, rev_lo), gv)));
    _mm256_storeu_ps(a + 2 * m + 8, _mm256_add_ps(_mm256_loadu_ps(a + 2 * m + 8),
                                                  _mm256_mul_ps(_mm256_permutevar8x32_ps(w, rev_hi), gv)));
  }
  spread_scalar(acc, t, k, m, gr, gi);
}
#endif

inline void spread(int isa, cf32* acc, const float* t, std::size_t k, float gr, float gi) {
#if defined(__x86_64__) || defined(__i386__)
  if (isa >= platform::ISA_AVX2) return spread_avx2(acc, t, k, gr, gi);
  if (isa >= platform::ISA_SSE2) return spread_sse2(acc, t, k, gr, gi);
#else
  (void)isa;
#endif
  spread_scalar(acc, t, k, 0, gr, gi);
}

// After an output: delay[m - 1] = delay[m] + acc[m] (m = 1 .. k - 2),
// delay[k - 2] = acc[k - 1], acc cleared.  Each element one sum, read
// before the store below it overwrites it.
inline void shift(cf32* delay, cf32* acc, std::size_t k) {
  float* d = reinterpret_cast<float*>(delay);
  const float* a = reinterpret_cast<const float*>(acc);
  std::size_t m = 1;
#if defined(__SSE2__)
  for (; m + 2 < k; m += 2)
    _mm_storeu_ps(d + 2 * (m - 1), _mm_add_ps(_mm_loadu_ps(d + 2 * m), _mm_loadu_ps(a + 2 * m)));
#endif
  for (; m + 1 < k; ++m) delay[m - 1] = {delay[m].real() + acc[m].real(), delay[m].imag() + acc[m].imag()};
  delay[k - 2] = acc[k - 1];
  std::fill(acc, acc + k, cf32{});  // (padding lanes past k only ever gather zeros)
}

#if defined(__x86_64__) || defined(__i386__)
// The transposed decimator with its K partial outputs (acc) and K - 1
// carried sums (delay) held in NR registers each, four complex lanes a
// register, across a whole block; each lane adds the same products and sums
// in the same order as spread_scalar and shift.  At an output, S = delay +
// acc lane by lane (lane K - 1 taken from acc alone, as delay[K - 2] =
// acc[K - 1] is no sum), the output is lane 0 and the new delay is S moved
// down one lane.  Lanes past K - 1 hold only padding.  Returns the inputs
// taken; *jp counts the outputs.
template <int NR>
__attribute__((target("avx2"))) std::size_t down_tiled(resamp* r, const cf32* x, std::size_t n, cf32* out,
                                                       std::size_t cap, std::size_t* jp) {
  const std::uint32_t inc = r->block_inc;
  const float g = static_cast<float>(r->rate);
  const std::size_t k = r->k, stride = 2 * r->kp;
  float* accf = reinterpret_cast<float*>(r->acc.data());
  float* delf = reinterpret_cast<float*>(r->delay.data());
  __m256 a[NR], d[NR], last[NR];
#pragma GCC unroll 8
  for (int q = 0; q < NR; ++q) {
    a[q] = _mm256_loadu_ps(accf + 8 * q);
    d[q] = _mm256_loadu_ps(delf + 8 * q);
    // all ones on the two floats of complex lane k - 1
    const int lo = 8 * q;
    last[q] = _mm256_castsi256_ps(_mm256_setr_epi32(
        -(lo + 0 == 2 * static_cast<int>(k - 1)), -(lo + 1 == 2 * static_cast<int>(k - 1) + 1),
        -(lo + 2 == 2 * static_cast<int>(k - 1)), -(lo + 3 == 2 * static_cast<int>(k - 1) + 1),
        -(lo + 4 == 2 * static_cast<int>(k - 1)), -(lo + 5 == 2 * static_cast<int>(k - 1) + 1),
        -(lo + 6 == 2 * static_cast<int>(k - 1)), -(lo + 7 == 2 * static_cast<int>(k - 1) + 1)));
  }
  std::size_t i = 0, j = *jp;
  for (; i < n && j < cap; ++i) {
    const float* t = r->spread_taps.data() + static_cast<std::size_t>(arm(r, r->block_phase)) * stride;
    const float gr = x[i].real() * g, gi = x[i].imag() * g;
    const __m256 gv = _mm256_setr_ps(gr, gi, gr, gi, gr, gi, gr, gi);
#pragma GCC unroll 8
    for (int q = 0; q < NR; ++q) a[q] = _mm256_add_ps(a[q], _mm256_mul_ps(_mm256_loadu_ps(t + 8 * q), gv));
    const std::uint32_t old = r->block_phase;
    r->block_phase += inc;
    if (inc != 0 && r->block_phase >= old) continue;
    __m256 sum[NR];
#pragma GCC unroll 8
    for (int q = 0; q < NR; ++q) sum[q] = _mm256_blendv_ps(_mm256_add_ps(d[q], a[q]), a[q], last[q]);
    _mm_storel_pi(reinterpret_cast<__m64*>(out + j), _mm256_castps256_ps128(sum[0]));
    ++j;
#pragma GCC unroll 8
    for (int q = 0; q < NR; ++q) {
      // lanes 1 2 3 of this register, then lane 0 of the next
      const __m256d down = _mm256_permute4x64_pd(_mm256_castps_pd(sum[q]), _MM_SHUFFLE(0, 3, 2, 1));
      const __m256d next = q + 1 < NR ? _mm256_permute4x64_pd(_mm256_castps_pd(sum[q + 1]), _MM_SHUFFLE(0, 3, 2, 1))
                                      : _mm256_setzero_pd();
      d[q] = _mm256_castpd_ps(_mm256_blend_pd(down, next, 0x8));
      a[q] = _mm256_setzero_ps();
    }
  }
#pragma GCC unroll 8
  for (int q = 0; q < NR; ++q) {
    _mm256_storeu_ps(accf + 8 * q, a[q]);
    _mm256_storeu_ps(delf + 8 * q, d[q]);
  }
  *jp = j;
  return i;
}

// The tiled decimator for this K, or nullptr.
using down_fn = std::size_t (*)(resamp*, const cf32*, std::size_t, cf32*, std::size_t, std::size_t*);
down_fn tiled_for(const resamp* r) {
  switch (r->kp / 4) {
    case 1: return down_tiled<1>;
    case 2: return down_tiled<2>;
    case 3: return down_tiled<3>;
    case 4: return down_tiled<4>;
    case 5: return down_tiled<5>;
    case 6: return down_tiled<6>;
    case 7: return down_tiled<7>;
    case 8: return down_tiled<8>;
    default: return nullptr;
  }
}
#endif

std::size_t resamp_execute(resamp* r, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  const std::uint32_t inc = r->block_inc;
  std::size_t i = 0, j = 0;
  if (r->up) {
    const bool wide = dot_wide(r);
    // Direct form: each output is computed before the input that follows it
    // is pushed.  Nothing is emitted without an input to follow it, so an
    // empty block reads nothing and leaves the state alone.
    while (i < n && j < cap) {
      out[j++] = dot_arm(r, arm(r, r->block_phase), wide);
      const std::uint32_t old = r->block_phase;
      r->block_phase += inc;
      if (inc == 0 || r->block_phase < old) push_ring(r, x[i++]);
    }
    return j;
  }
  // Transposed fractional decimator: each input is spread over the K partial
  // outputs through the arm of its output-time fraction; the factor rate
  // restores unit DC gain.
  const int isa = platform::isa_active();
#if defined(__x86_64__) || defined(__i386__)
  if (isa >= platform::ISA_AVX2 && r->kp) {
    if (down_fn f = tiled_for(r)) {
      f(r, x, n, out, cap, &j);
      return j;
    }
  }
#endif
  const std::size_t k = r->k;
  const float g = static_cast<float>(r->rate);
  cf32* acc = r->acc.data();
  cf32* delay = r->delay.data();
  for (; i < n && j < cap; ++i) {
    const float* t = r->taps.data() + static_cast<std::size_t>(arm(r, r->block_phase)) * k;
    if (k == 1) {
      const float w = t[0] * g;
      acc[0] = {acc[0].real() + w * x[i].real(), acc[0].imag() + w * x[i].imag()};
    } else {
      spread(isa, acc, t, k, x[i].real() * g, x[i].imag() * g);
    }
    const std::uint32_t old = r->block_phase;
    r->block_phase += inc;
    if (inc != 0 && r->block_phase >= old) continue;
    if (k == 1) {
      out[j++] = acc[0];
      acc[0] = {};
    } else {
      out[j++] = {delay[0].real() + acc[0].real(), delay[0].imag() + acc[0].imag()};
      shift(delay, acc, k);
    }
  }
  return j;
}

std::size_t resamp_max_out(const resamp* r, std::size_t n) {
  if (!r->up || r->block_inc == 0) return n;  // at most one output per input
  // Outputs until the n-th wrap of the phase: at most ceil(n 2^32 / inc).
  const unsigned __int128 num = (static_cast<unsigned __int128>(n) << 32) + r->block_inc - 1;
  const unsigned __int128 q = num / r->block_inc;
  return q > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                     : static_cast<std::size_t>(q);
}

namespace {

// The push engine's body; Wide takes the AVX2 dot product, and only the
// AVX2 entry below instantiates it, so the common entry stays a leaf.
template <bool Wide>
[[gnu::always_inline]] inline std::size_t push_body(resamp* r, const cf32& x, double rate_ctrl, cf32* out,
                                                    std::size_t cap) {
  if (!r->period_valid || rate_ctrl != r->period_ctrl) {
    double ip;
    push_period(r->rate, rate_ctrl, &ip, &r->period_frac);
    r->period_whole = ip >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ip);
    r->period_ctrl = rate_ctrl;
    r->period_valid = rate_ctrl == rate_ctrl;  // a NaN deviation is recomputed every time
  }
  const std::uint32_t whole = r->period_whole, fp = r->period_frac;
  std::size_t j = 0;
  while (j < cap) {
    if (r->countdown == 0) {
      out[j++] = dot_arm(r, arm(r, r->ctrl_acc), Wide);
      const std::uint32_t old = r->ctrl_acc;
      r->ctrl_acc += fp;
      r->countdown = whole + (r->ctrl_acc < old ? 1u : 0u);
      if (r->countdown == 0) continue;  // another output before the next input
    }
    if (r->deferred == 0) {
      push_ring(r, x);
      r->countdown -= 1;
      return j;
    }
    r->deferred -= 1;  // settle a step owed by an earlier, full call
    r->countdown -= 1;
  }
  push_ring(r, x);
  r->deferred += 1;
  return j;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) std::size_t push_wide(resamp* r, const cf32& x, double rate_ctrl, cf32* out,
                                                      std::size_t cap) {
  return push_body<true>(r, x, rate_ctrl, out, cap);
}
#endif

}  // namespace

std::size_t resamp_push(resamp* r, const cf32& x, double rate_ctrl, cf32* out, std::size_t cap) {
#if defined(__x86_64__) || defined(__i386__)
  if (dot_wide(r)) return push_wide(r, x, rate_ctrl, out, cap);
#endif
  return push_body<false>(r, x, rate_ctrl, out, cap);
}

std::size_t resamp_push_max_out(const resamp* r, std::size_t n, double rate_ctrl) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  double ip;
  std::uint32_t fp;
  push_period(r->rate, rate_ctrl, &ip, &fp);
  std::uint64_t per;  // outputs per countdown step
  if (ip >= 1.0)
    per = 1;
  else if (fp == 0)
    return kMax;  // every step would fill any buffer
  else
    per = (std::uint64_t{1} << 32) / fp + 1;
  const std::uint64_t steps = static_cast<std::uint64_t>(n) + r->deferred + 1;
  return steps > kMax / per ? kMax : static_cast<std::size_t>(steps * per);
}

std::uint32_t resamp_get_ctrl_acc(const resamp* r) { return r->ctrl_acc; }

cf32 resamp_up_next(resamp* r, bool* wants_input) {
  const cf32 y = dot_arm(r, arm(r, r->block_phase), dot_wide(r));
  const std::uint32_t old = r->block_phase;
  r->block_phase += r->block_inc;
  *wants_input = r->block_inc == 0 || r->block_phase < old;
  return y;
}

void resamp_feed(resamp* r, cf32 x) { push_ring(r, x); }

std::size_t resamp_state_bytes(const resamp* r) {
  const std::size_t k = r->k;
  return 40 + 16 * r->d + (k < 2 ? 8 * k : 16 * k - 8);
}

int resamp_get_state(const resamp* r, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, resamp_state_bytes(r));
  w.put<std::uint32_t>(r->block_phase);
  w.put<std::uint64_t>(r->ring_index);
  w.put<std::uint32_t>(r->ctrl_acc);
  w.put<std::uint32_t>(r->countdown);
  w.put<std::uint32_t>(r->deferred);
  auto put = [&w](const std::vector<cf32>& v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      w.put<float>(v[i].real());
      w.put<float>(v[i].imag());
    }
  };
  put(r->ring, r->ring.size());
  put(r->acc, r->k);
  if (r->k > 1) put(r->delay, r->k - 1);
  return w.status();
}

int resamp_check_state(const resamp* r, const unsigned char* buf, std::size_t len) {
  BlobReader b = blob_open(buf, len, kMagic, kVersion, resamp_state_bytes(r));
  b.skip(4 + 8 + 4);
  const std::uint32_t countdown = b.get<std::uint32_t>();
  return b.ok() && countdown <= kMaxCountdown ? 0 : kStatusRefused;
}

int resamp_set_state(resamp* r, const unsigned char* buf, std::size_t len) {
  if (resamp_check_state(r, buf, len) != 0) return kStatusRefused;
  BlobReader b = blob_open(buf, len, kMagic, kVersion, resamp_state_bytes(r));
  r->block_phase = b.get<std::uint32_t>();
  r->ring_index = b.get<std::uint64_t>() & (r->d - 1);  // never an index outside the ring
  r->ctrl_acc = b.get<std::uint32_t>();
  r->countdown = b.get<std::uint32_t>();
  r->deferred = b.get<std::uint32_t>();
  auto get = [&b](std::vector<cf32>& v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const float re = b.get<float>(), im = b.get<float>();
      v[i] = {re, im};
    }
  };
  get(r->ring, r->ring.size());
  get(r->acc, r->k);
  if (r->k > 1) get(r->delay, r->k - 1);
  return 0;
}

// ---------------------------------------------------------------------------
// Banks

namespace {

constexpr std::size_t kDefaultArms = 4096, kDefaultTaps = 19;

// The default bank depends on nothing but constants: designed once per
// process (about 6 ms of series and sines) and shared, read-only, by every
// resampler built from it.
std::vector<float> design_default_bank() {
  constexpr std::size_t kPoints = kDefaultArms * kDefaultTaps + 1;
  std::vector<double> h(kPoints);
  for (std::size_t i = 0; i < kPoints; ++i) {
    // Kaiser window (beta 5.65326) from its I0 power series...
    const double a = static_cast<double>(i) * 2.5699013157894735e-05 - 1.0;
    const double r = std::sqrt(1.0 - a * a);
    double term = 1.0, sum = 1.0;
    for (int k = 1; k <= 29; ++k) {
      const double c = 2.82663 * (1.0 / static_cast<double>(k));
      term = (r * c) * (r * c) * term;
      sum += term;
      if (k < 29 && term < sum * 1e-20) break;
    }
    // ... times the sinc of the 4096-arm grid, normalised by 1/I0(beta).
    const double t = static_cast<double>(i) - 38912.0;
    const double s = t == 0.0 ? 1.0 : std::sin(t * 0.0007669903939428206) / (t * 0.0007669903939428206);
    h[i] = sum * 0.020388000239333882 * s;
  }
  std::vector<float> bank(kDefaultArms * kDefaultTaps);
  for (std::size_t phi = 0; phi < kDefaultArms; ++phi)
    for (std::size_t k = 0; k < kDefaultTaps; ++k)
      bank[phi * kDefaultTaps + k] = static_cast<float>(h[phi + kDefaultArms * k]);
  return bank;
}

}  // namespace

resamp* resamp_create_default(double rate) {
  const float* taps;
  try {
    // A failed design (out of memory) throws out of the initialiser, which
    // leaves the static to be tried again on the next call.
    static const std::vector<float> bank = design_default_bank();
    taps = bank.data();
  } catch (...) {
    return nullptr;
  }
  return resamp_create(kDefaultArms, kDefaultTaps, taps, rate);
}

bool mf_design(int pulse, double beta, std::uint64_t span, double pulse_sps, std::uint64_t p, double stage_rate,
               const double* comp, mf_bank* out) {
  if (p == 0 || !(stage_rate > 0.0) || !(pulse_sps > 0.0)) return false;
  const double sps = pulse_sps / stage_rate;
  const double h = 1.0 / sps;
  const double m0 = pulse == 0 ? 0.5 : static_cast<double>(span);
  const double mm = std::ceil((2.0 * m0 + h) * sps);
  // Points per arm and arms are both chosen by the caller: refuse what no
  // memory could hold before anything is attempted.
  if (!(mm >= 0.0 && mm < 4e9)) return false;
  const std::uint64_t m = static_cast<std::uint64_t>(mm);
  const std::uint64_t k = m + 1 + (comp ? 6 : 0);
  if (p > std::numeric_limits<std::uint64_t>::max() / k || !platform::fits_in_memory(p * k, sizeof(float)))
    return false;
  auto value = [&](double g) {
    if (pulse == 0) return (g >= -0.5 && g < 0.5) ? 1.0 : 0.0;
    return rrc_pulse(g, beta);
  };
  try {
    out->taps.assign(p * k, 0.0f);
  } catch (...) {
    return false;
  }
  const double step = 1.0 / (static_cast<double>(p) * sps);
  for (std::uint64_t j = 0; j < p; ++j) {
    const double r0 = m0 - static_cast<double>(j) * step;
    float* arm_taps = out->taps.data() + j * k;
    for (std::uint64_t i = 0; i <= m; ++i) {
      const double v = value(r0 - static_cast<double>(i) * h);
      if (!comp) {
        arm_taps[i] = static_cast<float>(v);
      } else {
        for (int l = 0; l < 7; ++l) arm_taps[i + l] += static_cast<float>(comp[l] * v);
      }
    }
  }
  double u = 0.0;
  for (std::uint64_t i = 0; i <= m; ++i) {
    const double v = value(m0 - static_cast<double>(i) * h);
    u += v * v;
  }
  const float scale = u > 0.0 ? static_cast<float>(1.0 / u) : 1.0f;
  for (float& t : out->taps) t *= scale;
  out->k = k;
  out->sps = sps;
  out->energy = u;
  out->gain_db = (u > 0.0 && sps > 0.0) ? 10.0 * std::log10(u / sps) : 0.0;
  return true;
}

}  // namespace tb
