#include "core/sig/viterbi.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TB_VITERBI_X86 1
#endif

#include "core/common/blob.hpp"
#include "core/common/status.hpp"
#include "platform/isa.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'V', 'I', 'T', 'B'};
constexpr std::uint16_t kVersion = 2;
constexpr std::uint32_t kMaxDelay = 1u << 20;
constexpr std::size_t kRun = 256;  // symbol pairs sanitised and run per kernel call
constexpr float kSoftLimit = 1e30f;  // soft symbols are clamped here so no metric overflows

// The encoder: register r = (e << 6) | state (state bit 5 the newest input);
// outputs parity(r & 0x79) and the inverse of parity(r & 0x5B); next state
// r >> 1.  Both generators tap bits 0 and 6, so of the four branches into
// the butterfly of states j and j + 32 (predecessors 2j and 2j + 1) the
// metrics are +B and -B for one B per butterfly: with u = s1 + s2 and
// w = s1 - s2, B is +-u when the expected symbols of r = 2j agree and +-w
// when they differ, negative when the first expected symbol is a 1.  The
// sign flips are exact, so this is s1 * a + s2 * b with a, b = +-1.
constexpr bool parity7(unsigned x) { return __builtin_parity(x) != 0; }
struct butterflies {
  std::uint32_t use_w[32] = {}, neg[32] = {};  // all-ones lane masks / sign-bit masks
  constexpr butterflies() {
    for (unsigned j = 0; j < 32; ++j) {
      const bool o1 = parity7((2 * j) & 0x79u), o2 = !parity7((2 * j) & 0x5Bu);
      use_w[j] = o1 != o2 ? 0xFFFFFFFFu : 0u;
      neg[j] = o1 ? 0x80000000u : 0u;
    }
  }
};
alignas(32) constexpr butterflies kFly{};

inline float sanitise(float s) {
  if (!std::isfinite(s)) return 0.0f;  // an erasure
  return std::min(std::max(s, -kSoftLimit), kSoftLimit);
}

inline std::size_t ring_next(std::size_t pos, std::size_t n) { return pos + 1 == n ? 0 : pos + 1; }

// The reference path: each state's add-compare-select in turn.  The
// survivor is the larger metric, the second predecessor's only when
// strictly larger (the order of operations a vector max keeps).  Every
// kNorm pairs (counted in the stream, so chunking does not matter) the best
// metric is subtracted from all, keeping them bounded, and + 0 turns a -0
// into +0, so the metrics do not depend on the order the maximum was found in.
constexpr std::uint64_t kNorm = 8;

void acs_scalar(float* M, std::uint64_t* ring, std::size_t ring_n, std::size_t pos, std::uint64_t step,
                const float* sym, std::size_t n) {
  for (std::size_t p = 0; p < n; ++p) {
    const float s1 = sym[2 * p], s2 = sym[2 * p + 1];
    const float u = s1 + s2, w = s1 - s2;
    float next[kViterbiStates];
    std::uint64_t word = 0;
    for (unsigned j = 0; j < 32; ++j) {
      float b = kFly.use_w[j] ? w : u;
      if (kFly.neg[j]) b = -b;
      const float e = M[2 * j], o = M[2 * j + 1];
      const float lo0 = e + b, lo1 = o - b, hi0 = e - b, hi1 = o + b;
      const bool tlo = lo1 > lo0, thi = hi1 > hi0;
      next[j] = tlo ? lo1 : lo0;
      next[j + 32] = thi ? hi1 : hi0;
      word |= static_cast<std::uint64_t>(tlo) << j | static_cast<std::uint64_t>(thi) << (j + 32);
    }
    if (++step % kNorm == 0) {
      float best = next[0];
      for (unsigned s = 1; s < kViterbiStates; ++s) best = next[s] > best ? next[s] : best;
      for (unsigned s = 0; s < kViterbiStates; ++s) M[s] = (next[s] - best) + 0.0f;
    } else {
      std::copy(next, next + kViterbiStates, M);
    }
    ring[pos] = word;
    pos = ring_next(pos, ring_n);
  }
}

#ifdef TB_VITERBI_X86

// Four butterflies per register: the even and odd predecessors of states
// 4g..4g+3 are the even and odd lanes of metrics 8g..8g+7.
void acs_sse2(float* M, std::uint64_t* ring, std::size_t ring_n, std::size_t pos, std::uint64_t step,
              const float* sym, std::size_t n) {
  const __m128 zero = _mm_setzero_ps();
  for (std::size_t p = 0; p < n; ++p) {
    const float s1 = sym[2 * p], s2 = sym[2 * p + 1];
    const __m128 u = _mm_set1_ps(s1 + s2), w = _mm_set1_ps(s1 - s2);
    alignas(16) float next[kViterbiStates];
    std::uint64_t word = 0;
    for (unsigned g = 0; g < 8; ++g) {
      const __m128 a = _mm_loadu_ps(M + 8 * g), c = _mm_loadu_ps(M + 8 * g + 4);
      const __m128 e = _mm_shuffle_ps(a, c, _MM_SHUFFLE(2, 0, 2, 0));
      const __m128 o = _mm_shuffle_ps(a, c, _MM_SHUFFLE(3, 1, 3, 1));
      const __m128 mw = _mm_load_ps(reinterpret_cast<const float*>(kFly.use_w + 4 * g));
      const __m128 ng = _mm_load_ps(reinterpret_cast<const float*>(kFly.neg + 4 * g));
      const __m128 b = _mm_xor_ps(_mm_or_ps(_mm_and_ps(mw, w), _mm_andnot_ps(mw, u)), ng);
      const __m128 lo0 = _mm_add_ps(e, b), lo1 = _mm_sub_ps(o, b);
      const __m128 hi0 = _mm_sub_ps(e, b), hi1 = _mm_add_ps(o, b);
      // max(x, y) is x > y ? x : y, the survivor rule.
      _mm_store_ps(next + 4 * g, _mm_max_ps(lo1, lo0));
      _mm_store_ps(next + 32 + 4 * g, _mm_max_ps(hi1, hi0));
      word |= static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(lo1, lo0))) << (4 * g) |
              static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps(hi1, hi0))) << (32 + 4 * g);
    }
    if (++step % kNorm == 0) {
      __m128 top = _mm_load_ps(next);
      for (unsigned s = 4; s < kViterbiStates; s += 4) top = _mm_max_ps(top, _mm_load_ps(next + s));
      top = _mm_max_ps(top, _mm_shuffle_ps(top, top, _MM_SHUFFLE(1, 0, 3, 2)));
      top = _mm_max_ps(top, _mm_shuffle_ps(top, top, _MM_SHUFFLE(2, 3, 0, 1)));
      for (unsigned s = 0; s < kViterbiStates; s += 4)
        _mm_storeu_ps(M + s, _mm_add_ps(_mm_sub_ps(_mm_load_ps(next + s), top), zero));
    } else {
      for (unsigned s = 0; s < kViterbiStates; s += 4) _mm_storeu_ps(M + s, _mm_load_ps(next + s));
    }
    ring[pos] = word;
    pos = ring_next(pos, ring_n);
  }
}

// Eight butterflies per register, the 64 metrics held in eight registers
// across pairs (v[q] = metrics 8q..8q+7); the even/odd split within 128-bit
// lanes is put back in order across them by a 64-bit permute.
__attribute__((target("avx2"))) void acs_avx2(float* M, std::uint64_t* ring, std::size_t ring_n, std::size_t pos,
                                              std::uint64_t step, const float* sym, std::size_t n) {
  const __m256 zero = _mm256_setzero_ps();
  __m256 v[8];
  for (unsigned q = 0; q < 8; ++q) v[q] = _mm256_loadu_ps(M + 8 * q);
  for (std::size_t p = 0; p < n; ++p) {
    const float s1 = sym[2 * p], s2 = sym[2 * p + 1];
    const __m256 u = _mm256_set1_ps(s1 + s2), w = _mm256_set1_ps(s1 - s2);
    __m256 nv[8];
    std::uint64_t word = 0;
#pragma GCC unroll 4
    for (unsigned g = 0; g < 4; ++g) {
      const __m256 a = v[2 * g], c = v[2 * g + 1];
      const __m256 e = _mm256_castpd_ps(
          _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, c, _MM_SHUFFLE(2, 0, 2, 0))), 0xD8));
      const __m256 o = _mm256_castpd_ps(
          _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(a, c, _MM_SHUFFLE(3, 1, 3, 1))), 0xD8));
      const __m256 mw = _mm256_load_ps(reinterpret_cast<const float*>(kFly.use_w + 8 * g));
      const __m256 ng = _mm256_load_ps(reinterpret_cast<const float*>(kFly.neg + 8 * g));
      const __m256 b = _mm256_xor_ps(_mm256_blendv_ps(u, w, mw), ng);
      const __m256 lo0 = _mm256_add_ps(e, b), lo1 = _mm256_sub_ps(o, b);
      const __m256 hi0 = _mm256_sub_ps(e, b), hi1 = _mm256_add_ps(o, b);
      nv[g] = _mm256_max_ps(lo1, lo0);
      nv[4 + g] = _mm256_max_ps(hi1, hi0);
      word |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(lo1, lo0, _CMP_GT_OQ))))
                  << (8 * g) |
              static_cast<std::uint64_t>(static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(hi1, hi0, _CMP_GT_OQ))))
                  << (32 + 8 * g);
    }
    if (++step % kNorm == 0) {
      __m256 top = _mm256_max_ps(_mm256_max_ps(_mm256_max_ps(nv[0], nv[1]), _mm256_max_ps(nv[2], nv[3])),
                                 _mm256_max_ps(_mm256_max_ps(nv[4], nv[5]), _mm256_max_ps(nv[6], nv[7])));
      top = _mm256_max_ps(top, _mm256_permute2f128_ps(top, top, 1));
      top = _mm256_max_ps(top, _mm256_shuffle_ps(top, top, _MM_SHUFFLE(1, 0, 3, 2)));
      top = _mm256_max_ps(top, _mm256_shuffle_ps(top, top, _MM_SHUFFLE(2, 3, 0, 1)));
#pragma GCC unroll 8
      for (unsigned q = 0; q < 8; ++q) v[q] = _mm256_add_ps(_mm256_sub_ps(nv[q], top), zero);
    } else {
#pragma GCC unroll 8
      for (unsigned q = 0; q < 8; ++q) v[q] = nv[q];
    }
    ring[pos] = word;
    pos = ring_next(pos, ring_n);
  }
  for (unsigned q = 0; q < 8; ++q) _mm256_storeu_ps(M + 8 * q, v[q]);
}

#endif

void seed(viterbi* v) {
  // The encoder starts at the zero state.
  for (std::uint32_t s = 0; s < kViterbiStates; ++s) v->metric[s] = s == 0 ? 0.0f : -1e30f;
  std::fill(v->surv.begin(), v->surv.end(), 0);
  v->steps = 0;
  v->pending = 0;
  v->held = 0.0f;
  v->decided = 0;
  v->ndecided = 0;
}

std::uint32_t best_state(const viterbi* v) {
  std::uint32_t b = 0;
  for (std::uint32_t s = 1; s < kViterbiStates; ++s)
    if (v->metric[s] > v->metric[b]) b = s;
  return b;
}

// The input bits of steps t .. t + count - 1 (all < steps, steps - t <=
// ring size), traced back from state `from` at the newest step; bit k of the
// result is step t + k's.
std::uint64_t trace(const viterbi* v, std::uint32_t from, std::uint64_t t, std::uint32_t count) {
  const std::size_t ring = v->surv.size();
  std::size_t idx = static_cast<std::size_t>((v->steps - 1) % ring);
  std::uint32_t s = from;
  std::uint64_t bits = 0;
  for (std::uint64_t k = v->steps - 1;; --k) {
    if (k < t + count) bits |= static_cast<std::uint64_t>(s >> 5) << (k - t);
    if (k == t) break;
    s = ((s << 1) & 63u) | static_cast<std::uint32_t>((v->surv[idx] >> s) & 1u);
    idx = idx == 0 ? ring - 1 : idx - 1;
  }
  return bits;
}

// Decided bits waiting to be emitted after `steps` pairs: the rest of the
// batch of the last bit given out.
std::uint32_t waiting(const viterbi* v, std::uint64_t steps) {
  if (steps <= v->delay) return 0;
  return v->batch - 1 - static_cast<std::uint32_t>((v->start + steps - 1 - v->delay) % v->batch);
}

}  // namespace

void viterbi_acs(int isa, float* metric, std::uint64_t* ring, std::size_t ring_n, std::size_t pos,
                 std::uint64_t step, const float* sym, std::size_t n) {
  isa = std::min(isa, platform::isa_supported());
#ifdef TB_VITERBI_X86
  if (isa >= platform::ISA_AVX2) return acs_avx2(metric, ring, ring_n, pos, step, sym, n);
  if (isa >= platform::ISA_SSE2) return acs_sse2(metric, ring, ring_n, pos, step, sym, n);
#endif
  acs_scalar(metric, ring, ring_n, pos, step, sym, n);
}

viterbi* viterbi_create(std::uint32_t delay, std::uint64_t start) {
  if (delay == 0 || delay > kMaxDelay) return nullptr;
  viterbi* v = new (std::nothrow) viterbi;
  if (!v) return nullptr;
  try {
    v->surv.assign(delay + 1, 0);
  } catch (...) {
    delete v;
    return nullptr;
  }
  v->delay = delay;
  v->start = start;
  v->batch = delay < 3 ? 1 : std::min<std::uint32_t>(64, delay / 3);
  seed(v);
  return v;
}

void viterbi_destroy(viterbi* v) { delete v; }
void viterbi_reset(viterbi* v) { seed(v); }

std::size_t viterbi_steps_max_out(const viterbi* v, std::size_t n) { return (n + v->pending) / 2; }

std::size_t viterbi_steps(viterbi* v, const float* soft, std::size_t n, std::uint8_t* out, std::size_t cap) {
  const int isa = platform::isa_active();
  float sym[2 * kRun];
  std::size_t k = 0, i = 0;
  for (;;) {
    // Pairs that may run before the next traceback or the end of the room
    // for output: those before the first emission, the decided bits
    // waiting, and the one whose emission needs a new traceback.
    const std::uint64_t silent = v->steps < v->delay ? v->delay - v->steps : 0;
    const std::uint64_t room =
        std::min<std::uint64_t>({silent + v->ndecided + 1, silent + (cap - k), static_cast<std::uint64_t>(kRun)});
    if (room == 0) break;
    std::size_t np = 0;
    if (v->pending) {
      if (i == n) break;
      sym[0] = sanitise(v->held);
      sym[1] = sanitise(soft[i++]);
      np = 1;
      v->pending = 0;
    }
    const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(room) - np, (n - i) / 2);
    for (std::size_t q = 0; q < 2 * take; ++q) sym[2 * np + q] = sanitise(soft[i + q]);
    np += take;
    i += 2 * take;
    if (np == 0) break;
    const std::uint64_t s0 = v->steps;
    viterbi_acs(isa, v->metric, v->surv.data(), v->surv.size(), static_cast<std::size_t>(s0 % v->surv.size()),
                v->start + s0, sym, np);
    v->steps = s0 + np;
    const std::uint64_t first = std::max<std::uint64_t>(s0, v->delay);  // pairs up to here emit nothing
    for (std::uint64_t e = v->steps > first ? v->steps - first : 0; e > 0; --e) {
      if (v->ndecided == 0) {  // only ever at the newest pair of the run
        const std::uint64_t t = v->steps - 1 - v->delay;
        v->ndecided = v->batch - static_cast<std::uint32_t>((v->start + t) % v->batch);  // to the end of its batch
        v->decided = trace(v, best_state(v), t, v->ndecided);
      }
      out[k++] = static_cast<std::uint8_t>(v->decided & 1u);
      v->decided >>= 1;
      v->ndecided -= 1;
    }
  }
  if (i + 1 == n && !v->pending) {  // a lone last symbol waits for its partner
    v->held = soft[i];
    v->pending = 1;
  }
  return k;
}

std::size_t viterbi_flush_max_out(const viterbi* v) {
  return static_cast<std::size_t>(v->steps < v->delay ? v->steps : v->delay);
}

std::size_t viterbi_flush(viterbi* v, std::uint8_t* out, std::size_t cap) {
  const std::size_t left = viterbi_flush_max_out(v);
  if (cap < left) return 0;
  const std::uint32_t b = best_state(v);
  for (std::size_t j = 0; j < left; j += 64) {
    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::size_t>(64, left - j));
    const std::uint64_t bits = trace(v, b, v->steps - left + j, count);
    for (std::uint32_t q = 0; q < count; ++q) out[j + q] = static_cast<std::uint8_t>((bits >> q) & 1u);
  }
  seed(v);
  return left;
}

std::size_t viterbi_state_bytes(const viterbi* v) {
  return kBlobHeader + 4 * kViterbiStates + 8 * v->surv.size() + 8 + 4 + 4 + 8 + 4;
}

int viterbi_get_state(const viterbi* v, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, viterbi_state_bytes(v));
  for (float m : v->metric) w.put<float>(m);
  for (std::uint64_t s : v->surv) w.put<std::uint64_t>(s);
  w.put<std::uint64_t>(v->steps);
  w.put<std::uint32_t>(v->pending);
  w.put<float>(v->pending ? v->held : 0.0f);
  w.put<std::uint64_t>(v->decided);
  w.put<std::uint32_t>(v->ndecided);
  return w.status();
}

int viterbi_set_state(viterbi* v, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, kVersion, viterbi_state_bytes(v));
  float metric[kViterbiStates];
  for (float& m : metric) m = r.get<float>();
  std::vector<std::uint64_t> surv(v->surv.size());
  for (std::uint64_t& s : surv) s = r.get<std::uint64_t>();
  const std::uint64_t steps = r.get<std::uint64_t>();
  const std::uint32_t pending = r.get<std::uint32_t>();
  const float held = r.get<float>();
  const std::uint64_t decided = r.get<std::uint64_t>();
  const std::uint32_t ndecided = r.get<std::uint32_t>();
  if (!r.ok() || pending > 1) return kStatusRefused;
  // The waiting decisions are fixed by the pair count: a blob that holds
  // another number of them (or stray bits above them) is not one of ours.
  if (ndecided != waiting(v, steps) || (ndecided < 64 && (decided >> ndecided) != 0)) return kStatusRefused;
  for (float m : metric)
    if (!std::isfinite(m)) return kStatusRefused;
  std::copy(metric, metric + kViterbiStates, v->metric);
  v->surv.swap(surv);
  v->steps = steps;
  v->pending = pending;
  v->held = held;
  v->decided = decided;
  v->ndecided = ndecided;
  return 0;
}

}  // namespace tb
