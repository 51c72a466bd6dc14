#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/common/numeric.hpp"
#include "core/qmath/qmath.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#define TB_HAVE_SSE2 1
#endif

namespace tb {
namespace {

// Scalar element rules: the reference every vector body must match.
inline std::int16_t add1_q15(std::int16_t a, std::int16_t b) { return sat16(std::int32_t{a} + b); }
inline std::int16_t sub1_q15(std::int16_t a, std::int16_t b) { return sat16(std::int32_t{a} - b); }
inline std::int16_t mul1_q15(std::int16_t a, std::int16_t b) {
  // (-32768)^2 is the only product whose rounded value (32768) overflows.
  std::int32_t p = (std::int32_t{a} * b + 16384) >> 15;
  return static_cast<std::int16_t>(std::min(p, 32767));
}
inline std::int8_t add1_q8(std::int8_t a, std::int8_t b) { return sat8(std::int32_t{a} + b); }
inline std::int8_t sub1_q8(std::int8_t a, std::int8_t b) { return sat8(std::int32_t{a} - b); }
inline std::int8_t mul1_q8(std::int8_t a, std::int8_t b) {
  std::int32_t p = (std::int32_t{a} * b + 64) >> 7;
  return static_cast<std::int8_t>(std::min(p, 127));
}

// Vector bodies: each processes one 16-byte lane group and returns the count
// of elements it consumed per call (8 int16 or 16 int8).
#ifdef TB_HAVE_SSE2
struct AddQ15V {
  static __m128i op(__m128i a, __m128i b) { return _mm_adds_epi16(a, b); }
};
struct SubQ15V {
  static __m128i op(__m128i a, __m128i b) { return _mm_subs_epi16(a, b); }
};
struct MulQ15V {
  static __m128i op(__m128i a, __m128i b) {
    const __m128i lo = _mm_mullo_epi16(a, b);
    const __m128i hi = _mm_mulhi_epi16(a, b);
    const __m128i half = _mm_set1_epi32(16384);
    __m128i p0 = _mm_srai_epi32(_mm_add_epi32(_mm_unpacklo_epi16(lo, hi), half), 15);
    __m128i p1 = _mm_srai_epi32(_mm_add_epi32(_mm_unpackhi_epi16(lo, hi), half), 15);
    return _mm_packs_epi32(p0, p1);  // saturates 32768 to 32767
  }
};
struct AddQ8V {
  static __m128i op(__m128i a, __m128i b) { return _mm_adds_epi8(a, b); }
};
struct SubQ8V {
  static __m128i op(__m128i a, __m128i b) { return _mm_subs_epi8(a, b); }
};
struct MulQ8V {
  static __m128i half_mul(__m128i a8, __m128i b8) {  // a8/b8 hold int8 sign-extended into the high byte
    const __m128i a = _mm_srai_epi16(a8, 8);
    const __m128i b = _mm_srai_epi16(b8, 8);
    return _mm_srai_epi16(_mm_add_epi16(_mm_mullo_epi16(a, b), _mm_set1_epi16(64)), 7);
  }
  static __m128i op(__m128i a, __m128i b) {
    __m128i lo = half_mul(_mm_unpacklo_epi8(a, a), _mm_unpacklo_epi8(b, b));
    __m128i hi = half_mul(_mm_unpackhi_epi8(a, a), _mm_unpackhi_epi8(b, b));
    return _mm_packs_epi16(lo, hi);  // saturates 128 to 127
  }
};
#endif

// Shared driver of the two-input elementwise kernels: vector body over the
// common length, scalar tail, then the zero-b tail where b is shorter.
template <class T, T (*Scalar)(T, T), class V>
void binary_kernel(T* out, const T* a, std::size_t na, const T* b, std::size_t nb) {
  const std::size_t n = std::min(na, nb);
  std::size_t i = 0;
#ifdef TB_HAVE_SSE2
  constexpr std::size_t W = 16 / sizeof(T);
  for (; i + 2 * W <= n; i += 2 * W) {
    __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + W));
    __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + W));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), V::op(a0, b0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + W), V::op(a1, b1));
  }
#endif
  for (; i < n; ++i) out[i] = Scalar(a[i], b[i]);
  for (; i < na; ++i) out[i] = Scalar(a[i], T{0});
}

#ifndef TB_HAVE_SSE2
struct NoVec {};
using AddQ15V = NoVec; using SubQ15V = NoVec; using MulQ15V = NoVec;
using AddQ8V = NoVec; using SubQ8V = NoVec; using MulQ8V = NoVec;
#endif

}  // namespace

void add_q15(std::int16_t* out, const std::int16_t* a, std::size_t na, const std::int16_t* b, std::size_t nb) {
  binary_kernel<std::int16_t, add1_q15, AddQ15V>(out, a, na, b, nb);
}
void sub_q15(std::int16_t* out, const std::int16_t* a, std::size_t na, const std::int16_t* b, std::size_t nb) {
  binary_kernel<std::int16_t, sub1_q15, SubQ15V>(out, a, na, b, nb);
}
void mul_q15(std::int16_t* out, const std::int16_t* a, std::size_t na, const std::int16_t* b, std::size_t nb) {
  binary_kernel<std::int16_t, mul1_q15, MulQ15V>(out, a, na, b, nb);
}
void add_q8(std::int8_t* out, const std::int8_t* a, std::size_t na, const std::int8_t* b, std::size_t nb) {
  binary_kernel<std::int8_t, add1_q8, AddQ8V>(out, a, na, b, nb);
}
void sub_q8(std::int8_t* out, const std::int8_t* a, std::size_t na, const std::int8_t* b, std::size_t nb) {
  binary_kernel<std::int8_t, sub1_q8, SubQ8V>(out, a, na, b, nb);
}
void mul_q8(std::int8_t* out, const std::int8_t* a, std::size_t na, const std::int8_t* b, std::size_t nb) {
  binary_kernel<std::int8_t, mul1_q8, MulQ8V>(out, a, na, b, nb);
}

std::int64_t dot_q15(const std::int16_t* a, const std::int16_t* b, std::size_t n) {
  // Each product fits in 32 bits; the sum is carried in unsigned 64-bit so a
  // (theoretical) wrap is defined behaviour.
  std::uint64_t s = 0;
  for (std::size_t i = 0; i < n; ++i)
    s += static_cast<std::uint64_t>(static_cast<std::int64_t>(std::int32_t{a[i]} * b[i]));
  return static_cast<std::int64_t>(s);
}

std::int32_t dot_q8(const std::int8_t* a, const std::int8_t* b, std::size_t n) {
  std::uint32_t s = 0;  // wraps modulo 2^32 by design
  for (std::size_t i = 0; i < n; ++i)
    s += static_cast<std::uint32_t>(std::int32_t{a[i]} * b[i]);
  return static_cast<std::int32_t>(s);
}

namespace {

// Left shift with saturation to [lo, hi], computed in 32 bits.  Counts above
// `limit` saturate by sign.
template <class T>
void shl_sat(T* out, const T* a, std::size_t n, std::int32_t k, std::int32_t limit, std::int32_t lo,
             std::int32_t hi) {
  if (k <= 0) {
    if (n) std::memmove(out, a, n * sizeof(T));
    return;
  }
  if (k > limit) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<T>(a[i] > 0 ? hi : (a[i] < 0 ? lo : 0));
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    std::int32_t v = static_cast<std::int32_t>(static_cast<std::uint32_t>(std::int32_t{a[i]}) << k);
    out[i] = static_cast<T>(v > hi ? hi : (v < lo ? lo : v));
  }
}

// Rounding right shift (a + 2^(k-1)) >> k in the working type W; counts above
// `limit` shift by min(k, bits(W)-1) without the rounding offset.
template <class T, class W>
void shr_round(T* out, const T* a, std::size_t n, std::int32_t k, std::int32_t limit) {
  if (k <= 0) {
    if (n) std::memmove(out, a, n * sizeof(T));
    return;
  }
  if (k > limit) {
    const int s = std::min<int>(k, static_cast<int>(sizeof(W) * 8 - 1));
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<T>(static_cast<W>(a[i]) >> s);
    return;
  }
  const W half = static_cast<W>(W{1} << (k - 1));
  for (std::size_t i = 0; i < n; ++i) {
    // The addition wraps in W's width (only reachable for int64).
    using U = std::make_unsigned_t<W>;
    W v = static_cast<W>(static_cast<U>(static_cast<W>(a[i])) + static_cast<U>(half));
    out[i] = static_cast<T>(v >> k);
  }
}

}  // namespace

void shl_q15(std::int16_t* out, const std::int16_t* a, std::size_t n, std::int32_t k) {
  shl_sat(out, a, n, k, 15, -32768, 32767);
}
void shr_q15(std::int16_t* out, const std::int16_t* a, std::size_t n, std::int32_t k) {
  shr_round<std::int16_t, std::int32_t>(out, a, n, k, 15);
}
void shl_q8(std::int8_t* out, const std::int8_t* a, std::size_t n, std::int32_t k) {
  shl_sat(out, a, n, k, 7, -128, 127);
}
void shr_q8(std::int8_t* out, const std::int8_t* a, std::size_t n, std::int32_t k) {
  shr_round<std::int8_t, std::int16_t>(out, a, n, k, 7);
}
void shl_i64(std::int64_t* out, const std::int64_t* a, std::size_t n, std::int32_t k) {
  if (k <= 0) {
    if (n) std::memmove(out, a, n * sizeof(std::int64_t));
    return;
  }
  if (k > 62) {
    for (std::size_t i = 0; i < n; ++i) out[i] = 0;
    return;
  }
  // Bits shifted out are lost; done on the unsigned image so it is defined.
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<std::int64_t>(static_cast<std::uint64_t>(a[i]) << k);
}
void shr_i64(std::int64_t* out, const std::int64_t* a, std::size_t n, std::int32_t k) {
  shr_round<std::int64_t, std::int64_t>(out, a, n, k, 62);
}

}  // namespace tb
