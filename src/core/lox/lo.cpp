#include "core/lox/lo.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <new>

#include "core/common/blob.hpp"
#include "platform/isa.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TB_LO_X86 1
#endif

namespace tb {
namespace {

constexpr char kMagic[4] = {'L', 'O', '_', '_'};

struct SineTable {
  std::array<float, kSineTableStored> v;
  SineTable() {
    // The step is the float32 nearest 2*pi/65536; the argument is formed in
    // float32, so entries at multiples of pi are not exactly zero.
    const float k = std::bit_cast<float>(0x38C90FDBu);
    for (std::size_t i = 0; i < kSineTableSize; ++i) v[i] = std::sin(static_cast<float>(i) * k);
    for (std::size_t i = kSineTableSize; i < kSineTableStored; ++i) v[i] = v[i - kSineTableSize];
  }
};

}  // namespace

const float* lo_sine_table() {
  static const SineTable table;  // built once, on first use, never modified
  return table.v.data();
}

void lo_init(lo* o, double norm_freq) {
  lo_sine_table();
  o->phase = 0;
  o->phase_inc = freq_to_inc(norm_freq);
  o->norm_freq = norm_freq;
}

lo* lo_create(double norm_freq) {
  lo* o = new (std::nothrow) lo{};
  if (o) lo_init(o, norm_freq);
  return o;
}

void lo_destroy(lo* o) { delete o; }

double lo_get_freq(const lo* o) { return o->norm_freq; }
void lo_reset(lo* o) { o->phase = 0; }

std::size_t lo_generate(lo* o, std::size_t n, cf32* out, std::size_t cap) {
  const float* t = lo_sine_table();
  const std::size_t m = n < cap ? n : cap;
  std::uint32_t ph = o->phase;
  const std::uint32_t inc = o->phase_inc;
  for (std::size_t i = 0; i < m; ++i) {
    float s, c;
    lo_sincos(t, ph, &s, &c);
    out[i] = {c, s};
    ph += inc;
  }
  o->phase = ph;
  return m;
}

void lo_mix(lo* o, const cf32* x, cf32* y, std::size_t n, cf32* scratch) {
  lo_generate(o, n, scratch, n);
  for (std::size_t i = 0; i < n; ++i) y[i] = lo_rotate(scratch[i].real(), scratch[i].imag(), x[i]);
}

namespace {

// The mixing loop from sample i on (the phase of sample i given); returns
// the phase after the last.
std::uint32_t mix_scalar(const float* t, std::uint32_t ph, std::uint32_t step, const cf32* x, cf32* y,
                         std::size_t i, std::size_t n) {
  for (; i < n; ++i) {
    float s, c;
    lo_sincos(t, ph, &s, &c);
    y[i] = lo_rotate(c, s, x[i]);
    ph += step;
  }
  return ph;
}

#ifdef TB_LO_X86

// Four samples a register: the table read per lane, the rotation's four
// products and two sums as lo_rotate does them.
std::uint32_t mix_sse2(const float* t, std::uint32_t ph, std::uint32_t step, const cf32* x, cf32* y,
                       std::size_t n) {
  const float* xf = reinterpret_cast<const float*>(x);
  float* yf = reinterpret_cast<float*>(y);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::uint32_t p0 = ph >> 16, p1 = (ph + step) >> 16, p2 = (ph + 2 * step) >> 16, p3 = (ph + 3 * step) >> 16;
    const __m128 s = _mm_set_ps(t[p3], t[p2], t[p1], t[p0]);
    const float* tc = t + 16384;
    const __m128 c = _mm_set_ps(tc[p3], tc[p2], tc[p1], tc[p0]);
    const __m128 a = _mm_loadu_ps(xf + 2 * i), b = _mm_loadu_ps(xf + 2 * i + 4);
    const __m128 re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 yr = _mm_sub_ps(_mm_mul_ps(c, re), _mm_mul_ps(s, im));
    const __m128 yi = _mm_add_ps(_mm_mul_ps(c, im), _mm_mul_ps(s, re));
    _mm_storeu_ps(yf + 2 * i, _mm_unpacklo_ps(yr, yi));
    _mm_storeu_ps(yf + 2 * i + 4, _mm_unpackhi_ps(yr, yi));
    ph += 4 * step;
  }
  return mix_scalar(t, ph, step, x, y, i, n);
}

// Eight samples a register, the table read by gathers.  The even/odd split
// of the input within 128-bit lanes puts samples 0 1 4 5 2 3 6 7 in the
// lanes, so the phases are laid out the same way and the unpacks restore
// the order.
__attribute__((target("avx2"))) std::uint32_t mix_avx2(const float* t, std::uint32_t ph, std::uint32_t step,
                                                       const cf32* x, cf32* y, std::size_t n) {
  const float* xf = reinterpret_cast<const float*>(x);
  float* yf = reinterpret_cast<float*>(y);
  const __m256i lanes = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7),
                                           _mm256_set1_epi32(static_cast<int>(step)));
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i idx = _mm256_srli_epi32(_mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(ph)), lanes), 16);
    const __m256 s = _mm256_i32gather_ps(t, idx, 4);
    const __m256 c = _mm256_i32gather_ps(t + 16384, idx, 4);
    const __m256 a = _mm256_loadu_ps(xf + 2 * i), b = _mm256_loadu_ps(xf + 2 * i + 8);
    const __m256 re = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 im = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    const __m256 yr = _mm256_sub_ps(_mm256_mul_ps(c, re), _mm256_mul_ps(s, im));
    const __m256 yi = _mm256_add_ps(_mm256_mul_ps(c, im), _mm256_mul_ps(s, re));
    _mm256_storeu_ps(yf + 2 * i, _mm256_unpacklo_ps(yr, yi));
    _mm256_storeu_ps(yf + 2 * i + 8, _mm256_unpackhi_ps(yr, yi));
    ph += 8 * step;
  }
  return mix_scalar(t, ph, step, x, y, i, n);
}

#endif

}  // namespace

void lo_mix_ctrl(lo* o, const cf32* x, cf32* y, std::size_t n, double ctrl_freq) {
  const float* t = lo_sine_table();
  const std::uint32_t step = o->phase_inc + freq_to_inc(ctrl_freq);  // wraps mod 2^32
#ifdef TB_LO_X86
  const int isa = platform::isa_active();
  if (isa >= platform::ISA_AVX2) {
    o->phase = mix_avx2(t, o->phase, step, x, y, n);
    return;
  }
  if (isa >= platform::ISA_SSE2) {
    o->phase = mix_sse2(t, o->phase, step, x, y, n);
    return;
  }
#endif
  o->phase = mix_scalar(t, o->phase, step, x, y, 0, n);
}

std::size_t lo_state_bytes(const lo*) { return kLoBlobBytes; }

int lo_get_state(const lo* o, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, 1, kLoBlobBytes);
  w.put<std::uint32_t>(o->phase);
  return w.status();
}

int lo_set_state(lo* o, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, 1, kLoBlobBytes);
  if (!r.ok()) return kStatusRefused;
  o->phase = r.get<std::uint32_t>();
  return 0;
}

}  // namespace tb
