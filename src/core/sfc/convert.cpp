#include "core/sfc/convert.hpp"

#include <new>
#include <type_traits>

#include "core/common/blob.hpp"
#include "core/common/numeric.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TB_SFC_SSE2 1
#endif

namespace tb {
namespace {

// One sample of the float32 path: scale, clip test on the scaled value,
// clamp (a NaN falls to the lower bound without setting the flag), round.
template <class F>
inline typename F::Code f2i_one(float scale, float v, std::uint32_t& clip) {
  constexpr float lo = static_cast<float>(F::lo), hi = static_cast<float>(F::hi);
  float s = scale * v;
  clip |= static_cast<std::uint32_t>(s < lo) | static_cast<std::uint32_t>(s > hi);
  s = s > lo ? s : lo;
  s = s < hi ? s : hi;
  return F::pack(round_away_f(s));
}

// The int32 path works in double: 2147483647 is not a float32, so a float32
// clamp would let 2^31 through.  NaN goes to the lower bound like the other
// formats, without setting the flag.
inline std::int32_t f2i32_one(float scale, float v, std::uint32_t& clip) {
  constexpr double lo = -2147483648.0, hi = 2147483647.0;
  double s = static_cast<double>(v) * static_cast<double>(scale);
  clip |= static_cast<std::uint32_t>(s < lo) | static_cast<std::uint32_t>(s > hi);
  s = s > lo ? s : lo;
  s = s < hi ? s : hi;
  std::int64_t i = static_cast<std::int64_t>(s);
  const double frac = s - static_cast<double>(i);
  i += static_cast<std::int64_t>(frac >= 0.5) - static_cast<std::int64_t>(frac <= -0.5);
  return static_cast<std::int32_t>(i);
}

#ifdef TB_SFC_SSE2
// Four samples of the float32 path, the same operations as f2i_one:
// max_ps(s, lo) is (s > lo ? s : lo), so a NaN falls to lo; the remainder
// compares give -1 lanes that step the truncated code outward.
struct F2iVec {
  __m128 scale, lo, hi, half = _mm_set1_ps(0.5f), neg_half = _mm_set1_ps(-0.5f);
  __m128 clip = _mm_setzero_ps();
  __m128i codes(__m128 v) {
    __m128 s = _mm_mul_ps(scale, v);
    clip = _mm_or_ps(clip, _mm_or_ps(_mm_cmplt_ps(s, lo), _mm_cmpgt_ps(s, hi)));
    s = _mm_min_ps(_mm_max_ps(s, lo), hi);
    __m128i i = _mm_cvttps_epi32(s);
    const __m128 frac = _mm_sub_ps(s, _mm_cvtepi32_ps(i));
    i = _mm_sub_epi32(i, _mm_castps_si128(_mm_cmpge_ps(frac, half)));
    return _mm_add_epi32(i, _mm_castps_si128(_mm_cmple_ps(frac, neg_half)));
  }
};

// Stores eight signed codes (two vectors of int32) in a format's word type.
template <class F> struct Store8;
template <> struct Store8<FmtI16> {
  static void put(std::int16_t* o, __m128i a, __m128i b) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packs_epi32(a, b));
  }
};
template <> struct Store8<FmtI8> {
  static void put(std::int8_t* o, __m128i a, __m128i b) {
    const __m128i w = _mm_packs_epi32(a, b);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packs_epi16(w, w));
  }
};
template <> struct Store8<FmtUQ15> {
  static void put(std::uint16_t* o, __m128i a, __m128i b) {
    const __m128i w = _mm_xor_si128(_mm_packs_epi32(a, b), _mm_set1_epi16(static_cast<short>(0x8000)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), w);
  }
};
template <> struct Store8<FmtI16U32> {
  static void put(std::uint32_t* o, __m128i a, __m128i b) {
    const __m128i m = _mm_set1_epi32(0xFFFF);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_and_si128(a, m));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4), _mm_and_si128(b, m));
  }
};
template <> struct Store8<FmtI16U64> {
  static void put(std::uint64_t* o, __m128i a, __m128i b) {
    const __m128i m = _mm_set1_epi32(0xFFFF), z = _mm_setzero_si128();
    a = _mm_and_si128(a, m);
    b = _mm_and_si128(b, m);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi32(a, z));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 2), _mm_unpackhi_epi32(a, z));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4), _mm_unpacklo_epi32(b, z));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 6), _mm_unpackhi_epi32(b, z));
  }
};
#endif

}  // namespace

sfc_f2i* sfc_f2i_create(float scale) {
  if (!(scale > 0.0f) || !all_finite(scale)) return nullptr;
  sfc_f2i* c = new (std::nothrow) sfc_f2i{};
  if (c) c->scale = scale;
  return c;
}
void sfc_f2i_destroy(sfc_f2i* c) { delete c; }
void sfc_f2i_reset(sfc_f2i* c) { c->clipped = 0; }
std::size_t sfc_f2i_state_bytes(const sfc_f2i*) { return kSfcBlobBytes; }

int sfc_f2i_get_state(const sfc_f2i* c, const char magic[4], unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, magic, 1, kSfcBlobBytes);
  w.put<float>(c->scale);
  w.put<std::uint32_t>(c->clipped);
  return w.status();
}

int sfc_f2i_set_state(sfc_f2i* c, const char magic[4], const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, magic, 1, kSfcBlobBytes);
  if (!r.ok()) return kStatusRefused;
  c->scale = r.get<float>();
  c->clipped = r.get<std::uint32_t>();
  return 0;
}

sfc_i2f* sfc_i2f_create(float scale) {
  if (!(scale > 0.0f) || !all_finite(scale)) return nullptr;
  sfc_i2f* c = new (std::nothrow) sfc_i2f{};
  if (c) c->inv = 1.0f / scale;
  return c;
}
void sfc_i2f_destroy(sfc_i2f* c) { delete c; }

template <class F>
void sfc_f2i_steps(sfc_f2i* c, const float* __restrict x, typename F::Code* __restrict out, std::size_t n) {
  const float scale = c->scale;
  std::uint32_t clip = 0;
  if constexpr (std::is_same_v<F, FmtI32>) {
    for (std::size_t i = 0; i < n; ++i) out[i] = f2i32_one(scale, x[i], clip);
  } else {
    std::size_t i = 0;
#ifdef TB_SFC_SSE2
    F2iVec v{_mm_set1_ps(scale), _mm_set1_ps(static_cast<float>(F::lo)), _mm_set1_ps(static_cast<float>(F::hi))};
    for (; i + 8 <= n; i += 8) {
      const __m128i a = v.codes(_mm_loadu_ps(x + i));
      const __m128i b = v.codes(_mm_loadu_ps(x + i + 4));
      Store8<F>::put(out + i, a, b);
    }
    clip |= static_cast<std::uint32_t>(_mm_movemask_ps(v.clip) != 0);
#endif
    for (; i < n; ++i) out[i] = f2i_one<F>(scale, x[i], clip);
  }
  c->clipped |= clip;
}

template <class F>
typename F::Code sfc_f2i_step(sfc_f2i* c, float x) {
  typename F::Code out;
  sfc_f2i_steps<F>(c, &x, &out, 1);
  return out;
}

template <class F>
void sfc_i2f_steps(sfc_i2f* c, const typename F::Code* __restrict x, float* __restrict out, std::size_t n) {
  const float inv = c->inv;
  if constexpr (std::is_same_v<F, FmtI32>) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(x[i]) * inv;
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(F::unpack(x[i])) * inv;
  }
}

template <class F>
float sfc_i2f_step(sfc_i2f* c, typename F::Code x) {
  float out;
  sfc_i2f_steps<F>(c, &x, &out, 1);
  return out;
}

#define TB_SFC_INSTANTIATE(F)                                                                   \
  template void sfc_f2i_steps<F>(sfc_f2i*, const float*, F::Code*, std::size_t);              \
  template F::Code sfc_f2i_step<F>(sfc_f2i*, float);                                           \
  template void sfc_i2f_steps<F>(sfc_i2f*, const F::Code*, float*, std::size_t);        \
  template float sfc_i2f_step<F>(sfc_i2f*, F::Code);
TB_SFC_INSTANTIATE(FmtI8)
TB_SFC_INSTANTIATE(FmtI16)
TB_SFC_INSTANTIATE(FmtI32)
TB_SFC_INSTANTIATE(FmtI16U32)
TB_SFC_INSTANTIATE(FmtI16U64)
TB_SFC_INSTANTIATE(FmtUQ15)
#undef TB_SFC_INSTANTIATE

}  // namespace tb
