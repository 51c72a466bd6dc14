// Window functions and spectrum utilities: symmetric windows, the Kaiser
// design formula, equivalent noise bandwidth, dB magnitudes, peak finding
// with parabolic refinement, occupied bandwidth and a median noise floor.
#pragma once
#include <complex>
#include <cstddef>
#include <cstdint>

namespace tb {

// Symmetric windows of n points (period n - 1); n = 1 gives the value 1.
void hann_window(float* w, std::size_t n);
void blackman_harris_window(float* w, std::size_t n);  // 4-term, minimum sidelobe
void kaiser_window(float* w, std::size_t n, float beta);
double bessel_i0(double x);  // power series, at most 40 terms
float kaiser_enbw(const float* w, std::size_t n);  // NaN for an empty or all-zero window
double kaiser_beta_for_sidelobe(double atten_db);

// 20 log10(max(lin_floor, |x|)) + offset_db.
void magnitude_db_cf32(const std::complex<float>* x, std::size_t n, float lin_floor, float offset_db, float* out);
void magnitude_db_cf64(const std::complex<double>* x, std::size_t n, double lin_floor, float offset_db, float* out);

struct spectral_peak {
  float freq;   // cycles per sample, for an fft-shifted spectrum (DC at bin n/2)
  float level;  // interpolated level
};
// Up to n_peaks local maxima above min_db, highest first, each refined by a
// parabola through its neighbours (not where any of the three is
// non-finite).  Returns the count, or kStatusNoMemory when the working
// storage could not be allocated.
std::int64_t find_peaks_f32(const float* db, std::size_t n, std::size_t n_peaks, float min_db, spectral_peak* out);

double obw_from_power(const double* pwr, std::size_t n, double fs, double frac);
// Median (even counts average the middle pair, NaN sorting above every
// number) into *out; 0 for an empty array.  Returns kStatusNoMemory when the
// working copy could not be allocated, else 0.
int noise_floor_db(const float* db, std::size_t n, double* out);
// The same median, sorting v itself.
double median_in_place(float* v, std::size_t n);

}  // namespace tb
