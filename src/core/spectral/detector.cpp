#include "core/spectral/detector.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/common/blob.hpp"
#include "core/common/status.hpp"
#include "platform/memory.hpp"

namespace tb {

namespace {

constexpr char kDet1[4] = {'D', 'E', 'T', '1'};
constexpr char kDet2[4] = {'D', 'E', 'T', '2'};

// NaN sorts above every number, so the order stays strict and weak.
inline bool less_nan_last(float a, float b) { return a < b || (b != b && a == a); }

bool finish(detector* d, std::uint64_t noise_lo, std::uint64_t noise_hi, int mode, float threshold) {
  const std::uint64_t last = d->n - 1;
  noise_lo = std::min(noise_lo, last);
  noise_hi = std::min(noise_hi, last);
  if (noise_lo > noise_hi) std::swap(noise_lo, noise_hi);
  d->noise_lo = noise_lo;
  d->noise_hi = noise_hi;
  d->mode = mode;
  d->threshold = threshold;
  if (!platform::fits_in_memory(d->n, 2 * sizeof(cf32) + 2 * sizeof(float))) return false;
  d->out = std::shared_ptr<cf32[]>(new cf32[d->n]());
  d->mag.assign(d->n, 0.0f);
  d->scratch.assign(noise_hi - noise_lo + 1, 0.0f);
  d->ring = platform::ring_create(d->n);
  return d->ring != nullptr;
}

// Single-precision hypot, computed as the C library computes it: the sum of
// squares in double and its square root rounded once to float (no overflow
// or loss can occur).  Written out so the loop vectorises instead of calling
// the library per bin; the one case it differs in, an infinite part beside
// a NaN (infinity, not NaN), is mended afterwards.
inline void magnitudes(const cf32* x, float* mag, std::size_t n) {
  std::size_t k0 = 0;
#if defined(__SSE2__)
  // Two bins at a time: widen, square, add re^2 + im^2, sqrtpd, narrow.
  const float* f = reinterpret_cast<const float*>(x);
  for (; k0 + 2 <= n; k0 += 2) {
    const __m128 v = _mm_loadu_ps(f + 2 * k0);
    const __m128d a = _mm_cvtps_pd(v), b = _mm_cvtps_pd(_mm_movehl_ps(v, v));
    const __m128d sa = _mm_mul_pd(a, a), sb = _mm_mul_pd(b, b);
    const __m128d sum = _mm_add_pd(_mm_unpacklo_pd(sa, sb), _mm_unpackhi_pd(sa, sb));
    _mm_storel_pi(reinterpret_cast<__m64*>(mag + k0), _mm_cvtpd_ps(_mm_sqrt_pd(sum)));
  }
#endif
  for (std::size_t k = k0; k < n; ++k) {
    const double a = x[k].real(), b = x[k].imag();
    mag[k] = static_cast<float>(std::sqrt(a * a + b * b));
  }
  int nan = 0;
  for (std::size_t k = 0; k < n; ++k) nan |= mag[k] != mag[k];
  if (nan)
    for (std::size_t k = 0; k < n; ++k)
      if (mag[k] != mag[k]) mag[k] = std::hypot(x[k].real(), x[k].imag());
}

// The index of the first largest value: what the scan `if (v[k] > v[best])
// best = k` finds (NaN is never larger; a NaN at 0 is kept).  The maximum is
// found four lanes at a time with maxps, whose (a > b ? a : b) is that
// comparison, then its first occurrence.
std::size_t first_max(const float* v, std::size_t n) {
  if (n == 0 || v[0] != v[0]) return 0;
  float best = v[0];
  std::size_t k = 1;
#if defined(__SSE2__)
  __m128 b4 = _mm_set1_ps(best);
  for (; k + 4 <= n; k += 4) b4 = _mm_max_ps(_mm_loadu_ps(v + k), b4);
  float lanes[4];
  _mm_storeu_ps(lanes, b4);
  for (float l : lanes) best = l > best ? l : best;
#endif
  for (; k < n; ++k) best = v[k] > best ? v[k] : best;
  for (k = 0; k < n; ++k)
    if (v[k] == best) return k;
  return 0;
}

// Peak, noise and test statistic of the dump in d->out.
detection measure(detector* d) {
  const std::size_t n = static_cast<std::size_t>(d->n);
  float* mag = d->mag.data();
  magnitudes(d->out.get(), mag, n);
  const std::size_t peak = first_max(mag, n);
  const std::size_t lo = static_cast<std::size_t>(d->noise_lo), m = static_cast<std::size_t>(d->noise_hi) - lo + 1;
  const float* w = mag + lo;
  float noise;
  switch (d->mode) {
    case kNoiseMedian: {
      std::copy(w, w + m, d->scratch.begin());
      std::sort(d->scratch.begin(), d->scratch.end(), less_nan_last);
      noise = d->scratch[m / 2];
      break;
    }
    case kNoiseMin:
      noise = *std::min_element(w, w + m);
      break;
    case kNoiseMax:
      noise = *std::max_element(w, w + m);
      break;
    default: {
      float sum = 0.0f;
      for (std::size_t k = 0; k < m; ++k) sum += w[k];
      noise = sum / static_cast<float>(m);
    }
  }
  detection r{peak, mag[peak], noise, noise > 0.0f ? mag[peak] / noise : 0.0f};
  return r;
}

std::int64_t correlate(detector* d, const cf32* frame) {
  const std::size_t n = static_cast<std::size_t>(d->n);
  return d->c1 ? corr_execute(d->c1, frame, n, d->out.get(), n) : corr2d_execute(d->c2, frame, n, d->out.get(), n);
}

std::size_t corr_blob_bytes(const detector* d) {
  return d->c1 ? corr_state_bytes(d->c1) : corr2d_state_bytes(d->c2);
}
std::size_t tail_bytes(const detector* d) { return (d->c1 ? 8 : 16) + 3 * 4 + 4; }

}  // namespace

detector::~detector() {
  corr_destroy(c1);
  corr2d_destroy(c2);
  platform::ring_destroy(ring);
}

detector* detector_create(const cf32* ref, std::size_t n, std::uint64_t dwell, std::uint64_t noise_lo,
                          std::uint64_t noise_hi, int mode, float threshold) {
  try {
    auto d = std::make_unique<detector>();
    d->c1 = corr_create_linear(ref, n, dwell);
    if (!d->c1) return nullptr;
    d->n = d->nx = n;
    if (!finish(d.get(), noise_lo, noise_hi, mode, threshold)) return nullptr;
    return d.release();
  } catch (...) {
    return nullptr;
  }
}

detector* detector2d_create(const cf32* ref, std::size_t ny, std::size_t nx, std::uint64_t dwell,
                            std::uint64_t noise_lo, std::uint64_t noise_hi, int mode, float threshold) {
  try {
    auto d = std::make_unique<detector>();
    d->c2 = corr2d_create(ref, ny, nx, dwell, 0, 0, -1);
    if (!d->c2) return nullptr;
    d->ny = ny;
    d->nx = nx;
    d->n = ny * nx;
    if (!finish(d.get(), noise_lo, noise_hi, mode, threshold)) return nullptr;
    return d.release();
  } catch (...) {
    return nullptr;
  }
}

void detector_destroy(detector* d) { delete d; }

void detector_reset(detector* d) {
  platform::ring_reset(d->ring);
  if (d->c1) corr_reset(d->c1);
  if (d->c2) corr2d_reset(d->c2);
  d->valid = 0;
}

std::uint64_t detector_count(const detector* d) { return d->c1 ? d->c1->count : d->c2->count; }
std::uint64_t detector_dwell(const detector* d) { return d->c1 ? d->c1->dwell : d->c2->dwell; }

std::int64_t detector_push(detector* d, const cf32* x, std::size_t n, detection* out, std::size_t cap,
                           std::size_t* consumed) {
  std::size_t taken = 0, k = 0;
  for (;;) {
    while (platform::ring_fill(d->ring) >= d->n && k < cap) {
      const std::int64_t rc = correlate(d, platform::ring_peek(d->ring));
      if (rc < 0) {
        *consumed = taken;
        return rc;
      }
      platform::ring_consume(d->ring, d->n);
      if (rc == 0) continue;  // the integration goes on
      d->valid = 1;
      d->last = measure(d);
      if (d->threshold == 0.0f || d->last.stat > d->threshold) out[k++] = d->last;
    }
    if (k == cap || taken == n) break;
    const std::size_t e = static_cast<std::size_t>(std::min<std::uint64_t>(n - taken, platform::ring_free(d->ring)));
    if (e == 0) break;
    platform::ring_write(d->ring, x + taken, e);
    taken += e;
  }
  *consumed = taken;
  return static_cast<std::int64_t>(k);
}

std::size_t detector_state_bytes(const detector* d) {
  return kBlobHeader + corr_blob_bytes(d) + 8 + 8 * d->ring->cap + tail_bytes(d);
}

int detector_get_state(const detector* d, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, d->c1 ? kDet1 : kDet2, 1, detector_state_bytes(d));
  w.child(corr_blob_bytes(d), [d](unsigned char* p, std::size_t n) {
    return d->c1 ? corr_get_state(d->c1, p, n) : corr2d_get_state(d->c2, p, n);
  });
  const std::uint64_t pending = platform::ring_fill(d->ring);
  w.put<std::uint64_t>(pending);
  const cf32* p = platform::ring_peek(d->ring);
  for (std::uint64_t i = 0; i < d->ring->cap; ++i) {
    const cf32 v = i < pending ? p[i] : cf32{};
    w.put<float>(v.real());
    w.put<float>(v.imag());
  }
  if (d->c1) {
    w.put<std::uint64_t>(d->last.index);
  } else {
    w.put<std::uint64_t>(d->last.index / d->nx);
    w.put<std::uint64_t>(d->last.index % d->nx);
  }
  w.put<float>(d->last.peak);
  w.put<float>(d->last.noise);
  w.put<float>(d->last.stat);
  w.put<std::uint32_t>(d->valid);
  return w.status();
}

int detector_set_state(detector* d, const unsigned char* buf, std::size_t len) {
  // The whole blob is checked before anything is applied.
  BlobReader r = blob_open(buf, len, d->c1 ? kDet1 : kDet2, 1, detector_state_bytes(d));
  const BlobSpan c = r.child();
  const std::uint64_t pending = r.get<std::uint64_t>();
  if (!r.ok() || c.n != corr_blob_bytes(d) || pending > d->ring->cap) return kStatusRefused;
  const int ok = d->c1 ? corr_check_state(d->c1, c.p, c.n) : corr2d_check_state(d->c2, c.p, c.n);
  if (ok != 0) return kStatusRefused;
  if (d->c1)
    corr_set_state(d->c1, c.p, c.n);
  else
    corr2d_set_state(d->c2, c.p, c.n);
  platform::ring_reset(d->ring);
  std::vector<cf32> samples(static_cast<std::size_t>(pending));
  for (cf32& v : samples) {
    const float re = r.get<float>(), im = r.get<float>();
    v = {re, im};
  }
  r.skip(static_cast<std::size_t>(8 * (d->ring->cap - pending)));
  platform::ring_write(d->ring, samples.data(), pending);
  if (d->c1) {
    d->last.index = r.get<std::uint64_t>() % d->n;
  } else {
    const std::uint64_t row = r.get<std::uint64_t>() % d->ny, col = r.get<std::uint64_t>() % d->nx;
    d->last.index = row * d->nx + col;
  }
  d->last.peak = r.get<float>();
  d->last.noise = r.get<float>();
  d->last.stat = r.get<float>();
  d->valid = r.get<std::uint32_t>() ? 1 : 0;
  return 0;
}

}  // namespace tb
