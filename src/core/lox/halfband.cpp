#include "core/lox/halfband.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/common/blob.hpp"
#include "platform/isa.hpp"

namespace tb {

namespace {

constexpr float f32(std::uint32_t bits) { return std::bit_cast<float>(bits); }

constexpr char kHbMagic[4] = {'H', 'B', 'D', 'C'};
constexpr char kHbr2Magic[4] = {'H', 'B', 'R', '2'};
constexpr std::size_t H = kHalfbandRing;

// The fixed summation order of the nine folded products p0..p8; identical in
// both halfbands so their outputs are reproducible bit for bit.
#define TB_FOLD9(p) ((((p##5 + p##1) + (p##7 + p##3)) + ((p##4 + p##0) + (p##6 + p##2))) + p##8)

// One component of m complex-halfband outputs.  With w the odd branch and
// w[H + q - k] the odd sample k pairs before pair q (B[k]), each output is
//   0.5 e[H + q - 9] + fold of taps[t] (B[18 - t] + B[t + 1]).
inline __attribute__((always_inline)) void hb_body(const float* __restrict tp, const float* __restrict e,
                                                   const float* __restrict w, float* __restrict y, std::size_t m) {
  for (std::size_t q = 0; q < m; ++q) {
    const float* b = w + H + q;
    const float p0 = tp[0] * (b[-18] + b[-1]), p1 = tp[1] * (b[-17] + b[-2]), p2 = tp[2] * (b[-16] + b[-3]);
    const float p3 = tp[3] * (b[-15] + b[-4]), p4 = tp[4] * (b[-14] + b[-5]), p5 = tp[5] * (b[-13] + b[-6]);
    const float p6 = tp[6] * (b[-12] + b[-7]), p7 = tp[7] * (b[-11] + b[-8]), p8 = tp[8] * (b[-10] + b[-9]);
    y[q] = 0.5f * e[H + q - 9] + TB_FOLD9(p);
  }
}

// The real-to-complex twin: q_t = taps[t] (B[t + 1] - B[18 - t]) folded for
// the imaginary part, the centre with its sign for the real part.
inline __attribute__((always_inline)) void hbr2_body(const float* __restrict tp, float centre,
                                                     const float* __restrict e, const float* __restrict w,
                                                     float* __restrict re, float* __restrict im, std::size_t m) {
  for (std::size_t q = 0; q < m; ++q) {
    const float* b = w + H + q;
    const float p0 = tp[0] * (b[-1] - b[-18]), p1 = tp[1] * (b[-2] - b[-17]), p2 = tp[2] * (b[-3] - b[-16]);
    const float p3 = tp[3] * (b[-4] - b[-15]), p4 = tp[4] * (b[-5] - b[-14]), p5 = tp[5] * (b[-6] - b[-13]);
    const float p6 = tp[6] * (b[-7] - b[-12]), p7 = tp[7] * (b[-8] - b[-11]), p8 = tp[8] * (b[-9] - b[-10]);
    im[q] = TB_FOLD9(p);
    re[q] = centre * e[H + q - 9];
  }
}

#undef TB_FOLD9

// Each body is compiled twice: for the baseline (SSE2 on x86-64, four
// outputs a register) and, chosen at run time, for AVX2 (eight).  The loops
// vectorise across outputs with each output's operations in the order
// above, so both give the same bits.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) void hb_component_avx2(const float* tp, const float* e, const float* w, float* y,
                                                       std::size_t m) {
  hb_body(tp, e, w, y, m);
}
__attribute__((target("avx2"))) void hbr2_parts_avx2(const float* tp, float centre, const float* e, const float* w,
                                                     float* re, float* im, std::size_t m) {
  hbr2_body(tp, centre, e, w, re, im, m);
}
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
void hb_component_avx2(const float*, const float*, const float*, float*, std::size_t) {}
void hbr2_parts_avx2(const float*, float, const float*, const float*, float*, float*, std::size_t) {}
#endif

void hb_component(const float* tp, const float* e, const float* w, float* y, std::size_t m) {
  if (kX86 && m > 1 && platform::isa_active() >= platform::ISA_AVX2) return hb_component_avx2(tp, e, w, y, m);
  hb_body(tp, e, w, y, m);
}

void hbr2_parts(const float* tp, float centre, const float* e, const float* w, float* re, float* im,
                std::size_t m) {
  if (kX86 && platform::isa_active() >= platform::ISA_AVX2) return hbr2_parts_avx2(tp, centre, e, w, re, im, m);
  hbr2_body(tp, centre, e, w, re, im, m);
}

// The last H samples of each work array become the history of the next chunk.
inline void keep_history(float* w, std::size_t m) { std::memmove(w, w + m, H * sizeof(float)); }

// The pairing rule shared by both halfbands: a held input is the even sample
// of the first pair; pairs are formed while two inputs remain and there is
// room; one leftover input (or, if the capacity ran out, the first
// unprocessed one) is held for the next call.  `chunk(j, m, held, first, p)`
// runs m pairs: when held, pair 0 is (first, p[0]) and the rest start at
// p + 1; pair q of the rest is (p[2k], p[2k + 1]) with k = q - held.
template <class H_, class S, class Chunk>
std::size_t run_pairs(H_* h, const S* x, std::size_t n, std::size_t cap, Chunk chunk) {
  std::size_t i = 0, j = 0;
  while (j < cap) {
    const std::size_t avail = (n - i + (h->pending ? 1 : 0)) / 2;
    if (avail == 0) break;
    const std::size_t m = std::min({avail, cap - j, kHalfbandChunk});
    const bool held = h->pending != 0;
    chunk(j, m, held, h->held, x + i);
    i += 2 * m - (held ? 1 : 0);
    h->pending = 0;
    h->pushes += m;
    j += m;
  }
  if (i < n) {
    h->pending = 1;
    h->held = x[i];
  }
  return j;
}

// The even and odd inputs of pairs q0.. q0 + k - 1, p[2i] and p[2i + 1],
// split into the four work arrays at H + q0 (the SSE2 path transposes four
// pairs at a time: each register is one pair's e.re, e.im, o.re, o.im).
void split_pairs(hb* h, std::size_t q0, const cf32* p, std::size_t k) {
  float *er = h->er + H + q0, *ei = h->ei + H + q0, *orr = h->orr + H + q0, *oi = h->oi + H + q0;
  const float* f = reinterpret_cast<const float*>(p);
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 4 <= k; i += 4) {
    __m128 a = _mm_loadu_ps(f + 4 * i), b = _mm_loadu_ps(f + 4 * i + 4);
    __m128 c = _mm_loadu_ps(f + 4 * i + 8), d = _mm_loadu_ps(f + 4 * i + 12);
    _MM_TRANSPOSE4_PS(a, b, c, d);
    _mm_storeu_ps(er + i, a);
    _mm_storeu_ps(ei + i, b);
    _mm_storeu_ps(orr + i, c);
    _mm_storeu_ps(oi + i, d);
  }
#endif
  for (; i < k; ++i) {
    er[i] = f[4 * i];
    ei[i] = f[4 * i + 1];
    orr[i] = f[4 * i + 2];
    oi[i] = f[4 * i + 3];
  }
}

// out[q] = (re[q], im[q]).
void join(const float* re, const float* im, cf32* out, std::size_t m) {
  float* o = reinterpret_cast<float*>(out);
  std::size_t q = 0;
#if defined(__SSE2__)
  for (; q + 4 <= m; q += 4) {
    const __m128 r = _mm_loadu_ps(re + q), i = _mm_loadu_ps(im + q);
    _mm_storeu_ps(o + 2 * q, _mm_unpacklo_ps(r, i));
    _mm_storeu_ps(o + 2 * q + 4, _mm_unpackhi_ps(r, i));
  }
#endif
  for (; q < m; ++q) {
    o[2 * q] = re[q];
    o[2 * q + 1] = im[q];
  }
}

// Writes the delay line w (the last H samples, newest at H - 1) as a ring of
// D mirrored slots with index -pushes mod D: slot[(index + k) mod D] is the
// sample pushed k ago.
template <class Put>
void put_ring(const float* re, const float* im, std::uint64_t pushes, Put put) {
  const std::size_t index = static_cast<std::size_t>((H - pushes % H) % H);
  for (std::size_t s = 0; s < 2 * H; ++s) {
    const std::size_t k = (s % H + H - index) % H;  // slot s holds the sample pushed k ago
    put(re[H - 1 - k], im ? im[H - 1 - k] : 0.0f);
  }
}

// Reads a ring as the halfband would: sample k ago is slot[index + k].
template <class Get>
std::uint64_t get_ring(float* re, float* im, std::uint64_t index, Get get) {
  float slot_re[2 * H], slot_im[2 * H];
  for (std::size_t s = 0; s < 2 * H; ++s) get(&slot_re[s], im ? &slot_im[s] : nullptr);
  index %= H;
  for (std::size_t k = 0; k < H; ++k) {
    re[H - 1 - k] = slot_re[index + k];
    if (im) im[H - 1 - k] = slot_im[index + k];
  }
  return (H - index) % H;
}

}  // namespace

const float kHalfbandTable[kHalfbandTaps] = {
    f32(0x3ACEF83Cu), f32(0xBB99373Bu), f32(0x3C2B19DEu), f32(0xBCA54541u), f32(0x3D12A1E5u),
    f32(0xBD794F04u), f32(0x3DD53969u), f32(0xBE4A475Au), f32(0x3F21B099u), f32(0x3F21B099u),
    f32(0xBE4A475Au), f32(0x3DD53969u), f32(0xBD794F04u), f32(0x3D12A1E5u), f32(0xBCA54541u),
    f32(0x3C2B19DEu), f32(0xBB99373Bu), f32(0x3ACEF83Cu), 0.0f,
};

// ---------------------------------------------------------------------------
// Complex halfband

hb* hb_create(std::size_t n, const float* table) {
  if (n != kHalfbandTaps || table == nullptr) return nullptr;
  hb* h = new (std::nothrow) hb{};
  if (!h) return nullptr;
  for (std::size_t t = 0; t < n; ++t) h->taps[t] = 0.5f * table[t];
  return h;
}

void hb_destroy(hb* h) { delete h; }

// Moves a slid history back to the start of the work arrays.
void hb_compact(hb* h) {
  if (h->off == 0) return;
  for (float* w : {h->er, h->ei, h->orr, h->oi}) std::memmove(w, w + h->off, H * sizeof(float));
  h->off = 0;
}

void hb_reset(hb* h) {
  h->off = 0;
  std::fill_n(h->er, H, 0.0f);
  std::fill_n(h->ei, H, 0.0f);
  std::fill_n(h->orr, H, 0.0f);
  std::fill_n(h->oi, H, 0.0f);
  h->pushes = 0;
  h->pending = 0;
  h->held = {};
}

std::size_t hb_execute(hb* h, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  hb_compact(h);
  return run_pairs(h, x, n, cap, [&](std::size_t j, std::size_t m, bool held, cf32 first, const cf32* p) {
    if (held) {
      h->er[H] = first.real();
      h->ei[H] = first.imag();
      h->orr[H] = p[0].real();
      h->oi[H] = p[0].imag();
    }
    split_pairs(h, held ? 1 : 0, p + (held ? 1 : 0), m - (held ? 1 : 0));
    float yr[kHalfbandChunk], yi[kHalfbandChunk];
    hb_component(h->taps, h->er, h->orr, yr, m);
    hb_component(h->taps, h->ei, h->oi, yi, m);
    join(yr, yi, out + j, m);
    keep_history(h->er, m);
    keep_history(h->ei, m);
    keep_history(h->orr, m);
    keep_history(h->oi, m);
  });
}

std::size_t hb_max_out(const hb* h, std::size_t n) { return (n + (h->pending ? 1 : 0)) / 2; }

bool hb_push(hb* h, const cf32& x, cf32* y) {
  if (!h->pending) {
    h->pending = 1;
    h->held = x;
    return false;
  }
  if (h->off == kHalfbandChunk) hb_compact(h);
  const std::size_t at = h->off + H;
  h->er[at] = h->held.real();
  h->ei[at] = h->held.imag();
  h->orr[at] = x.real();
  h->oi[at] = x.imag();
  float yr, yi;
  hb_component(h->taps, h->er + h->off, h->orr + h->off, &yr, 1);
  hb_component(h->taps, h->ei + h->off, h->oi + h->off, &yi, 1);
  *y = {yr, yi};
  h->off += 1;
  h->pending = 0;
  h->pushes += 1;
  return true;
}

std::size_t hb_state_bytes(const hb*) { return kHbBlobBytes; }

int hb_get_state(const hb* h, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kHbMagic, 1, kHbBlobBytes);
  const std::uint64_t index = (H - h->pushes % H) % H;
  w.put<std::uint64_t>(index);
  w.put<std::uint64_t>(index);
  // A held sample only when one is pending, so equal states give equal blobs.
  const cf32 held = h->pending ? h->held : cf32{};
  w.put<std::uint32_t>(h->pending);
  w.put<float>(held.real());
  w.put<float>(held.imag());
  auto put = [&w](float re, float im) {
    w.put<float>(re);
    w.put<float>(im);
  };
  put_ring(h->er + h->off, h->ei + h->off, h->pushes, put);
  put_ring(h->orr + h->off, h->oi + h->off, h->pushes, put);
  return w.status();
}

int hb_check_state(const hb*, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kHbMagic, 1, kHbBlobBytes);
  // The two rings advance together, one push each per pair.
  const std::uint64_t ia = r.get<std::uint64_t>(), ib = r.get<std::uint64_t>();
  return r.ok() && ia % H == ib % H ? 0 : kStatusRefused;
}

int hb_set_state(hb* h, const unsigned char* buf, std::size_t len) {
  if (hb_check_state(h, buf, len) != 0) return kStatusRefused;
  BlobReader r = blob_open(buf, len, kHbMagic, 1, kHbBlobBytes);
  const std::uint64_t index = r.get<std::uint64_t>();
  r.get<std::uint64_t>();
  h->pending = r.get<std::uint32_t>() & 1u;
  const float hr = r.get<float>(), hi = r.get<float>();
  h->held = {hr, hi};
  auto get = [&r](float* re, float* im) {
    *re = r.get<float>();
    *im = r.get<float>();
  };
  h->off = 0;
  h->pushes = get_ring(h->er, h->ei, index, get);
  get_ring(h->orr, h->oi, index, get);
  return 0;
}

// ---------------------------------------------------------------------------
// Real-to-complex halfband

hbr2* hbr2_create(std::size_t n, const float* table) {
  if (n != kHalfbandTaps || table == nullptr) return nullptr;
  hbr2* h = new (std::nothrow) hbr2{};
  if (!h) return nullptr;
  for (std::size_t t = 0; t < n; ++t) h->taps[t] = table[t] * ((t % 2 == 0) ? 0.5f : -0.5f);
  h->centre_sign = (n % 4 == 1) ? 1.0f : -1.0f;
  return h;
}

void hbr2_destroy(hbr2* h) { delete h; }

void hbr2_reset(hbr2* h) {
  std::fill_n(h->e, H, 0.0f);
  std::fill_n(h->o, H, 0.0f);
  h->pushes = 0;
  h->pending = 0;
  h->held = 0.0f;
  h->toggle = 0;
}

std::size_t hbr2_execute(hbr2* h, const float* x, std::size_t n, cf32* out, std::size_t cap) {
  return run_pairs(h, x, n, cap, [&](std::size_t j, std::size_t m, bool held, float first, const float* p) {
    std::size_t q = 0;
    if (held) {
      h->e[H] = first;
      h->o[H] = p[0];
      q = 1;
    }
    for (const float* s = p + q; q < m; ++q, s += 2) {
      h->e[H + q] = s[0];
      h->o[H + q] = s[1];
    }
    float re[kHalfbandChunk], im[kHalfbandChunk];
    hbr2_parts(h->taps, h->centre_sign * 0.5f, h->e, h->o, re, im, m);
    // The quarter-rate rotation: every other output negated; the factor 2
    // restores unit amplitude for the analytic signal.
    std::uint32_t toggle = h->toggle;
    for (std::size_t q = 0; q < m; ++q) {
      float a = re[q], b = im[q];
      if (toggle) {
        a = -a;
        b = -b;
      }
      toggle ^= 1u;
      out[j + q] = {a + a, b + b};
    }
    h->toggle = toggle;
    keep_history(h->e, m);
    keep_history(h->o, m);
  });
}

std::size_t hbr2_max_out(const hbr2* h, std::size_t n) { return (n + (h->pending ? 1 : 0)) / 2; }

std::size_t hbr2_state_bytes(const hbr2*) { return kHbr2BlobBytes; }

int hbr2_get_state(const hbr2* h, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kHbr2Magic, 1, kHbr2BlobBytes);
  const std::uint64_t index = (H - h->pushes % H) % H;
  w.put<std::uint64_t>(index);
  w.put<std::uint64_t>(index);
  w.put<std::uint32_t>(h->pending);
  w.put<float>(h->pending ? h->held : 0.0f);
  w.put<std::uint32_t>(h->toggle);
  auto put = [&w](float v, float) { w.put<float>(v); };
  put_ring(h->e, nullptr, h->pushes, put);
  put_ring(h->o, nullptr, h->pushes, put);
  return w.status();
}

int hbr2_check_state(const hbr2*, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kHbr2Magic, 1, kHbr2BlobBytes);
  const std::uint64_t ia = r.get<std::uint64_t>(), ib = r.get<std::uint64_t>();
  return r.ok() && ia % H == ib % H ? 0 : kStatusRefused;
}

int hbr2_set_state(hbr2* h, const unsigned char* buf, std::size_t len) {
  if (hbr2_check_state(h, buf, len) != 0) return kStatusRefused;
  BlobReader r = blob_open(buf, len, kHbr2Magic, 1, kHbr2BlobBytes);
  const std::uint64_t index = r.get<std::uint64_t>();
  r.get<std::uint64_t>();
  h->pending = r.get<std::uint32_t>() & 1u;
  h->held = r.get<float>();
  h->toggle = r.get<std::uint32_t>() & 1u;
  auto get = [&r](float* v, float*) { *v = r.get<float>(); };
  h->pushes = get_ring(h->e, nullptr, index, get);
  get_ring(h->o, nullptr, index, get);
  return 0;
}

}  // namespace tb
