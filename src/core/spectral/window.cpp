#include "core/spectral/window.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "core/common/numeric.hpp"
#include "core/common/status.hpp"

namespace tb {
namespace {

// A strict weak order on floats with NaN above everything, so sorting never
// meets an inconsistent comparison.
inline bool less_nan_last(float a, float b) { return a < b || (b != b && a == a); }
}  // namespace

void hann_window(float* w, std::size_t n) {
  if (n == 1) w[0] = 1.0f;
  if (n < 2) return;
  const double m = static_cast<double>(n - 1);
  for (std::size_t k = 0; k < n; ++k) {
    const float c = static_cast<float>(std::cos(kTwoPi * static_cast<double>(k) / m));
    w[k] = 0.5f - 0.5f * c;
  }
}

void blackman_harris_window(float* w, std::size_t n) {
  if (n == 1) w[0] = 1.0f;
  if (n < 2) return;
  const double m = static_cast<double>(n - 1);
  for (std::size_t k = 0; k < n; ++k) {
    const double t = kTwoPi * static_cast<double>(k) / m;
    w[k] = static_cast<float>(0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2.0 * t) -
                              0.01168 * std::cos(3.0 * t));
  }
}

double bessel_i0(double x) {
  const double h = x / 2.0;
  double sum = 1.0, term = 1.0;
  for (int m = 1; m <= 40; ++m) {
    const double r = h / m;
    term = term * (r * r);
    sum = sum + term;
    if (term < sum * 1e-15) break;
  }
  return sum;
}

void kaiser_window(float* w, std::size_t n, float beta) {
  if (n == 1) w[0] = 1.0f;
  if (n < 2) return;
  const double b = static_cast<double>(beta), m = static_cast<double>(n - 1);
  const double denom = bessel_i0(b);
  for (std::size_t k = 0; k < n; ++k) {
    const double u = (2.0 * static_cast<double>(k) - m) / m;
    w[k] = static_cast<float>(bessel_i0(b * std::sqrt(std::max(0.0, 1.0 - u * u))) / denom);
  }
}

float kaiser_enbw(const float* w, std::size_t n) {
  double s1 = 0.0, s2 = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    s1 += static_cast<double>(w[k]);
    s2 += static_cast<double>(w[k]) * static_cast<double>(w[k]);
  }
  if (n == 0 || s1 == 0.0) return std::numeric_limits<float>::quiet_NaN();
  return static_cast<float>(static_cast<double>(n) * s2 / (s1 * s1));
}

double kaiser_beta_for_sidelobe(double a) {
  if (a > 60.0) return 0.12438 * a + 0.783594;
  if (a > 13.26) return 0.76609 * std::pow(a - 13.26, 0.4) + 0.09834 * (a - 13.26);
  return 0.0;
}

void magnitude_db_cf32(const std::complex<float>* x, std::size_t n, float lin_floor, float offset_db, float* out) {
  for (std::size_t k = 0; k < n; ++k) {
    const float mag = std::hypot(x[k].real(), x[k].imag());
    out[k] = 20.0f * std::log10(std::max(lin_floor, mag)) + offset_db;
  }
}

void magnitude_db_cf64(const std::complex<double>* x, std::size_t n, double lin_floor, float offset_db, float* out) {
  for (std::size_t k = 0; k < n; ++k) {
    const double mag = std::hypot(x[k].real(), x[k].imag());
    out[k] = static_cast<float>(20.0 * std::log10(std::max(lin_floor, mag))) + offset_db;
  }
}

std::int64_t find_peaks_f32(const float* db, std::size_t n, std::size_t n_peaks, float min_db, spectral_peak* out) {
  if (n <= 2 || n_peaks == 0) return 0;
  std::vector<spectral_peak> cand;
  try {
    cand.reserve(std::min<std::size_t>(n / 2 + 1, 1 << 20));
    const float half = static_cast<float>(n / 2), len = static_cast<float>(n);
    for (std::size_t i = 1; i + 1 < n; ++i) {
      const float l = db[i - 1], c0 = db[i], r = db[i + 1];
      if (!(c0 > min_db && c0 > l && c0 >= r)) continue;
      // A non-finite neighbour or peak (a -inf from a zero magnitude) leaves
      // nothing to fit a parabola to: the bin itself is the peak.
      if (!all_finite(l, c0, r)) {
        cand.push_back({(static_cast<float>(i) - half) / len, c0});
        continue;
      }
      const float c = l - 2.0f * c0 + r;
      float d = c != 0.0f ? 0.5f * (l - r) / c : 0.0f;
      d = std::min(0.5f, std::max(-0.5f, d));
      cand.push_back({(d + static_cast<float>(i) - half) / len, c0 - 0.25f * (l - r) * d});
    }
  } catch (const std::bad_alloc&) {
    return kStatusNoMemory;
  }
  // Highest level first; equal levels keep their bin order.
  std::stable_sort(cand.begin(), cand.end(), [](const spectral_peak& a, const spectral_peak& b) {
    if (a.level != a.level) return false;  // NaN levels last
    return b.level != b.level || a.level > b.level;
  });
  const std::size_t k = std::min(cand.size(), n_peaks);
  std::copy(cand.begin(), cand.begin() + static_cast<std::ptrdiff_t>(k), out);
  return static_cast<std::int64_t>(k);
}

double obw_from_power(const double* pwr, std::size_t n, double fs, double frac) {
  if (frac != frac) return frac;  // a NaN fraction has no bandwidth: NaN in, NaN out
  double total = 0.0;
  for (std::size_t j = 0; j < n; ++j) total += pwr[j];
  if (n == 0 || !(total > 0.0)) return 0.0;
  const double lo = (0.5 - frac / 2.0) * total, hi = (0.5 + frac / 2.0) * total;
  double run = 0.0;
  std::size_t e = 0, j = 0;
  bool found = false;
  for (j = 0; j < n; ++j) {
    run += pwr[j];
    if (!found && run >= lo) {
      e = j;
      found = true;
    }
    if (found && run >= hi) break;
  }
  if (j == n) j = n - 1;
  return static_cast<double>(j - e + 1) * fs / static_cast<double>(n);
}

double median_in_place(float* v, std::size_t n) {
  if (n == 0) return 0.0;
  std::sort(v, v + n, less_nan_last);
  return n % 2 ? static_cast<double>(v[n / 2])
               : (static_cast<double>(v[n / 2 - 1]) + static_cast<double>(v[n / 2])) / 2.0;
}

int noise_floor_db(const float* db, std::size_t n, double* out) {
  *out = 0.0;
  if (n == 0) return 0;
  std::vector<float> v;
  try {
    v.assign(db, db + n);
  } catch (const std::bad_alloc&) {
    return kStatusNoMemory;
  }
  *out = median_in_place(v.data(), n);
  return 0;
}

}  // namespace tb
