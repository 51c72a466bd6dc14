#include "core/spectral/psd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#include "core/common/blob.hpp"
#include "core/common/numeric.hpp"
#include "platform/memory.hpp"
#include "core/spectral/window.hpp"

namespace tb {
namespace {

constexpr char kMagic[4] = {'P', 'S', 'D', ' '};
constexpr char kTraceMagic[4] = {'A', 'T', 'R', 'C'};
constexpr double kFloor = 1e-20;
constexpr double kEmptyDb = -200.0;  // 10 log10(1e-20)

double db10(double v) { return 10.0 * std::log10(std::max(v, kFloor)); }

// Round half away from zero.
double round_away(double v) { return std::round(v); }

// The bins [first, last] of a band; false when the band is empty.  `outside`
// tells a band wholly off the spectrum from one that clamps to nothing.
bool band_bins(const psd* p, double a, double b, std::size_t* first, std::size_t* last, bool* outside) {
  const double lo = std::min(a, b), hi = std::max(a, b);
  const double nf = static_cast<double>(p->nfft), half = std::floor(nf / 2.0);
  const double f = round_away(lo * nf / p->fs + half), l = round_away(hi * nf / p->fs + half);
  *outside = false;
  if (!(l >= 0.0) || !(f < nf)) {  // also NaN bounds
    *outside = true;
    return false;
  }
  const double lc = std::min(l, nf - 1.0), fc = std::max(f, 0.0);
  if (lc < fc) return false;
  *first = static_cast<std::size_t>(fc);
  *last = static_cast<std::size_t>(lc);
  return true;
}

double band_linear(const psd* p, double a, double b) {
  std::size_t f, l;
  bool outside;
  if (!band_bins(p, a, b, &f, &l, &outside)) return 0.0;
  double sum = 0.0;
  for (std::size_t i = f; i <= l; ++i) sum += static_cast<double>(static_cast<float>(p->trace[i]));
  return sum / (p->full_scale * p->full_scale * static_cast<double>(p->nfft) * p->s2);
}

// Fill p->db with the psd_db values; false while no frame has been folded.
bool refresh_db(psd* p) {
  return psd_db_values(p, p->db.data(), p->db.size()) != 0;
}

template <class Sample>
std::int64_t accumulate(psd* p, const Sample* x, std::size_t len) {
  const std::size_t n = p->n, nfft = p->nfft, h = nfft / 2;
  const std::size_t frames = len / n;
  for (std::size_t f = 0; f < frames; ++f) {
    const Sample* s = x + f * n;
    for (std::size_t j = 0; j < n; ++j) {
      if constexpr (std::is_same_v<Sample, cf32>)
        p->frame[j] = cf32(p->w[j] * s[j].real(), p->w[j] * s[j].imag());
      else
        p->frame[j] = cf32(p->w[j] * s[j], 0.0f);
    }
    const std::int64_t rc = fft_execute_cf32(p->engine, p->frame.data(), nfft, p->spectrum.data(), nfft);
    if (rc < 0) return rc;
    const bool first = p->count == 0;
    p->count = first ? 1 : p->count + 1;
    const double cnt = static_cast<double>(p->count);
    for (std::size_t m = 0; m < nfft; ++m) {
      const cf32 v = p->spectrum[m];
      const double pw = static_cast<double>(v.real() * v.real() + v.imag() * v.imag());
      double& t = p->trace[(m + h) % nfft];
      if (first) {
        t = pw;
        continue;
      }
      switch (p->mode) {
        case kPsdMean: t += (pw - t) / cnt; break;
        case kPsdExp: t = p->alpha >= 1.0 ? pw : t + p->alpha * (pw - t); break;
        case kPsdMaxHold: t = std::max(t, pw); break;
        default: t = std::min(t, pw); break;
      }
    }
  }
  return static_cast<std::int64_t>(frames);
}

}  // namespace

psd::~psd() { fft_destroy(engine); }

psd* psd_create(std::uint64_t n, double fs, int window, float beta, std::uint64_t pad, double full_scale,
                std::uint64_t bits, int mode, double alpha) {
  if (bits != 0) full_scale = std::ldexp(1.0, static_cast<int>(std::min<std::uint64_t>(bits, 4096)) - 1);
  // Non-finite settings are refused like out-of-range ones; beta only
  // matters (and is only checked) for the Kaiser window.
  if (n < 2 || !(fs > 0.0) || !(full_scale > 0.0) || !all_finite(fs, full_scale, alpha) || !(alpha >= 0.0) ||
      (window == kPsdKaiser && !all_finite(beta)))
    return nullptr;
  if (pad == 0) pad = 1;
  constexpr std::uint64_t kMax = std::uint64_t{1} << 40;
  if (n > kMax || pad > kMax / n) return nullptr;
  std::uint64_t nfft = 1;
  while (nfft < pad * n) nfft <<= 1;
  // The window, six nfft-long working arrays and the engine: refuse at once
  // what could never fit rather than attempt it.
  constexpr std::size_t kBytesPerBin = 2 * sizeof(cf32) + 2 * sizeof(double) + 2 * sizeof(float) + 3 * sizeof(cf64);
  if (!platform::fits_in_memory(nfft, kBytesPerBin, n * sizeof(float))) return nullptr;
  try {
    auto p = std::make_unique<psd>();
    p->n = n;
    p->nfft = nfft;
    p->fs = fs;
    p->full_scale = full_scale;
    p->bits = bits;
    p->mode = mode;
    p->alpha = alpha;
    p->w.assign(n, 0.0f);
    if (window == kPsdKaiser)
      kaiser_window(p->w.data(), n, beta);
    else if (window == kPsdBlackmanHarris)
      blackman_harris_window(p->w.data(), n);
    else
      hann_window(p->w.data(), n);
    for (float v : p->w) {
      p->s1 += static_cast<double>(v);
      p->s2 += static_cast<double>(v) * static_cast<double>(v);
    }
    p->enbw = static_cast<double>(n) * p->s2 / (p->s1 * p->s1);
    p->engine = fft_create(nfft, -1);
    if (!p->engine) return nullptr;
    p->frame.assign(nfft, cf32{});
    p->spectrum.assign(nfft, cf32{});
    p->trace.assign(nfft, 0.0);
    p->db.assign(nfft, 0.0f);
    p->sorted.assign(nfft, 0.0f);
    p->lin.assign(nfft, 0.0);
    return p.release();
  } catch (...) {
    return nullptr;
  }
}

void psd_destroy(psd* p) { delete p; }

void psd_reset(psd* p) {
  std::fill(p->trace.begin(), p->trace.end(), 0.0);
  p->count = 0;
}

std::int64_t psd_accumulate(psd* p, const cf32* x, std::size_t n) { return accumulate(p, x, n); }
std::int64_t psd_accumulate_real(psd* p, const float* x, std::size_t n) { return accumulate(p, x, n); }

std::size_t psd_power_twosided(const psd* p, float* out, std::size_t cap) {
  if (p->count == 0) return 0;
  const std::size_t k = std::min<std::size_t>(cap, p->nfft);
  const double s = p->s1 * p->s1;
  for (std::size_t i = 0; i < k; ++i) out[i] = static_cast<float>(static_cast<float>(p->trace[i]) / s);
  return k;
}

std::size_t psd_power_onesided(const psd* p, float* out, std::size_t cap) {
  if (p->count == 0) return 0;
  const std::size_t h = p->nfft / 2, k = std::min<std::size_t>(cap, h + 1);
  const double s = p->s1 * p->s1;
  auto t = [&](std::size_t i) { return static_cast<double>(static_cast<float>(p->trace[i])); };
  for (std::size_t j = 0; j < k; ++j) {
    double v;
    if (j == 0)
      v = t(h);
    else if (j == h)
      v = t(0);
    else
      v = t(h - j) + t(h + j);
    out[j] = static_cast<float>(v / s);
  }
  return k;
}

std::size_t psd_db_values(const psd* p, float* out, std::size_t cap) {
  if (p->count == 0) return 0;
  const std::size_t k = std::min<std::size_t>(cap, p->nfft);
  const double ref = p->s1 * p->full_scale;
  for (std::size_t i = 0; i < k; ++i)
    out[i] = static_cast<float>(db10(static_cast<double>(static_cast<float>(p->trace[i])) / (ref * ref)));
  return k;
}

std::size_t psd_dbhz_values(const psd* p, float* out, std::size_t cap) {
  const std::size_t k = psd_db_values(p, out, cap);
  const double bw = 10.0 * std::log10(p->fs * p->s2 / (p->s1 * p->s1));
  for (std::size_t i = 0; i < k; ++i) out[i] = static_cast<float>(static_cast<double>(out[i]) - bw);
  return k;
}

std::size_t psd_band_power(const psd* p, const double* bands, std::size_t n_values, float* out, std::size_t cap) {
  if (p->count == 0) return 0;
  const std::size_t k = std::min(n_values / 2, cap);
  for (std::size_t i = 0; i < k; ++i) out[i] = static_cast<float>(db10(band_linear(p, bands[2 * i], bands[2 * i + 1])));
  return k;
}

double psd_total_band_power(const psd* p, const double* bands, std::size_t n_values) {
  if (p->count == 0) return kEmptyDb;
  double total = 0.0;
  for (std::size_t i = 0; i + 1 < n_values; i += 2) total += band_linear(p, bands[i], bands[i + 1]);
  return db10(total);
}

double psd_occupied_bw(psd* p, double fraction) {
  if (p->count == 0) return 0.0;
  double* lin = p->lin.data();
  const double s = p->s1 * p->s1;
  for (std::size_t i = 0; i < p->nfft; ++i) lin[i] = static_cast<double>(static_cast<float>(p->trace[i])) / s;
  return obw_from_power(lin, p->nfft, p->fs, fraction);
}

double psd_noise_floor(psd* p) {
  if (!refresh_db(p)) return 0.0;
  std::copy(p->db.begin(), p->db.end(), p->sorted.begin());
  return median_in_place(p->sorted.data(), p->sorted.size());
}

double psd_snr(psd* p, double lo_hz, double hi_hz) {
  if (p->count == 0) return 0.0;
  std::size_t f, l;
  bool outside;
  if (!band_bins(p, lo_hz, hi_hz, &f, &l, &outside)) return outside ? 0.0 : -std::numeric_limits<double>::infinity();
  const double floor_db = psd_noise_floor(p);  // also refreshes p->db
  float peak = p->db[f];
  for (std::size_t i = f + 1; i <= l; ++i) peak = std::max(peak, p->db[i]);
  return static_cast<double>(peak) - floor_db;
}

double psd_sfdr(psd* p, float min_db) {
  if (!refresh_db(p)) return 0.0;
  spectral_peak peaks[16];
  const std::int64_t k = find_peaks_f32(p->db.data(), p->db.size(), 16, min_db, peaks);
  if (k < 2) return 0.0;
  return static_cast<double>(peaks[0].level) - static_cast<double>(peaks[1].level);
}

// Blob: outer header, then the trace's own blob ("ATRC": count, values).
namespace {
std::size_t trace_bytes(const psd* p) { return kBlobHeader + sizeof(std::uint64_t) + sizeof(double) * p->nfft; }
}  // namespace

std::size_t psd_state_bytes(const psd* p) { return kBlobHeader + trace_bytes(p); }

int psd_get_state(const psd* p, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, 1, psd_state_bytes(p));
  w.child(trace_bytes(p), [p](unsigned char* dst, std::size_t n) {
    BlobWriter t = blob_begin(dst, n, kTraceMagic, 1, n);
    t.put<std::uint64_t>(p->count);
    for (double v : p->trace) t.put<double>(v);
    return t.status();
  });
  return w.status();
}

int psd_set_state(psd* p, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, 1, psd_state_bytes(p));
  BlobReader t = blob_open(r.child(), kTraceMagic, 1, trace_bytes(p));
  if (!r.ok() || !t.ok()) return kStatusRefused;
  p->count = t.get<std::uint64_t>();
  for (double& v : p->trace) v = t.get<double>();
  return 0;
}

}  // namespace tb
