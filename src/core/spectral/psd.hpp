// Averaged power-spectrum estimator: windowed, zero-padded frames through a
// single-precision FFT, per-bin power folded into a double-precision trace
// (running mean, exponential average, max-hold or min-hold), calibrated
// against a full-scale amplitude.  Spectra are in centred bin order: element
// i holds frequency (i - nfft/2) * fs / nfft.
#pragma once
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/spectral/fft.hpp"

namespace tb {

enum psd_window { kPsdHann = 0, kPsdKaiser = 1, kPsdBlackmanHarris = 2 };
enum psd_mode { kPsdMean = 0, kPsdExp = 1, kPsdMaxHold = 2, kPsdMinHold = 3 };

struct psd {
  std::uint64_t n = 0, nfft = 0;
  double fs = 1.0, full_scale = 1.0;
  std::uint64_t bits = 0;
  std::vector<float> w;
  double s1 = 0.0, s2 = 0.0, enbw = 0.0;
  fft* engine = nullptr;
  std::vector<cf32> frame, spectrum;
  int mode = kPsdMean;
  double alpha = 0.1;
  std::uint64_t count = 0;
  std::vector<double> trace;
  // Scratch for the measurements, sized once so they never allocate.
  std::vector<float> db, sorted;  // psd_db values, and a copy to sort
  std::vector<double> lin;        // linear power for the occupied bandwidth
  ~psd();
};

psd* psd_create(std::uint64_t n, double fs, int window, float beta, std::uint64_t pad, double full_scale,
                std::uint64_t bits, int mode, double alpha);
void psd_destroy(psd* p);
void psd_reset(psd* p);
// Fold every whole frame of x; a trailing partial frame is ignored.  Returns
// the frames folded, or a negative status from the transform.
std::int64_t psd_accumulate(psd* p, const cf32* x, std::size_t n);
std::int64_t psd_accumulate_real(psd* p, const float* x, std::size_t n);

// Spectrum outputs: write min(nfft, cap) values (nfft/2 + 1 for the one-sided
// power) and return the count; 0 while no frame has been folded.
std::size_t psd_power_twosided(const psd* p, float* out, std::size_t cap);
std::size_t psd_power_onesided(const psd* p, float* out, std::size_t cap);
std::size_t psd_db_values(const psd* p, float* out, std::size_t cap);
std::size_t psd_dbhz_values(const psd* p, float* out, std::size_t cap);

// Measurements.
std::size_t psd_band_power(const psd* p, const double* bands, std::size_t n_values, float* out, std::size_t cap);
double psd_total_band_power(const psd* p, const double* bands, std::size_t n_values);
double psd_occupied_bw(psd* p, double fraction);
double psd_noise_floor(psd* p);
double psd_snr(psd* p, double lo_hz, double hi_hz);
double psd_sfdr(psd* p, float min_db);

std::size_t psd_state_bytes(const psd* p);
int psd_get_state(const psd* p, unsigned char* buf, std::size_t len);
int psd_set_state(psd* p, const unsigned char* buf, std::size_t len);

}  // namespace tb
