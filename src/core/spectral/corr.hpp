// Correlators: the circular cross-correlation of each frame with a fixed
// reference, through the frequency domain, integrated coherently over
// `dwell` frames before a result is emitted (integrate-and-dump).
//
//   c[k] = sum_j x[(j + k) mod n] conj(ref[j])           (1-D, length n)
//   c[dy, dx] = sum_{y,x} x[(y+dy) mod ny, (x+dx) mod nx] conj(ref[y, x])
//
// The emitted values are these raw sums.  The output can be interpolated
// onto a finer lag grid by zero-padding the cross-spectrum (n_out > n), and
// the 2-D correlator can emit one lag column straight from the time domain.
// Frames shorter than the reference are zero-padded, as the FFT engines do;
// longer ones use their first n (ny*nx) samples.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/types.hpp"
#include "core/spectral/fft.hpp"

namespace tb {

struct corr {
  std::uint64_t n = 0, n_out = 0, dwell = 0, count = 0;
  fft* fwd = nullptr;  // length n, sign -1
  fft* inv = nullptr;  // length n_out, sign +1
  std::vector<cf32> r;    // conj(FFT(ref))
  std::vector<cf32> x;    // frame spectrum
  std::vector<cf32> acc;  // integrated cross-spectrum
  std::vector<cf32> pad;  // n_out, when n_out != n
  // Linear mode (dwell 1, native output, n not a power of two): the circular
  // correlation as the valid part of a linear one, over [frame, frame] and
  // a power-of-two transform of m >= 2n - 1 points, which runs on the fast
  // single-precision engine instead of the widened double one.
  std::uint64_t m = 0;
  fft* fwdm = nullptr;
  fft* invm = nullptr;
  std::vector<cf32> rm, xin, spec, lags;
  ~corr();
};

struct corr2d {
  std::uint64_t ny = 0, nx = 0, ny_out = 0, nx_out = 0, dwell = 0, count = 0;
  std::int32_t col_out = -1;
  bool fast = false;  // only row 0 of the reference is non-zero: row-by-row 1-D correlations
  fft* fwd = nullptr;     // fast: length nx
  fft* inv = nullptr;     // fast: length nx_out
  fft2d* fwd2 = nullptr;  // general: ny x nx
  fft2d* inv2 = nullptr;  // general: ny_out x nx_out
  std::vector<cf32> r;    // conj(FFT(ref row 0)) or conj(FFT2(ref))
  std::vector<cf32> ref0;  // single lag: conj(ref row 0) in the time domain
  std::vector<cf32> frame, x, acc, pad, pad2;
  ~corr2d();
};

// nullptr when n_out < n (n_out 0 means n), dwell is 0, the reference is
// empty, or memory cannot be had.
corr* corr_create(const cf32* ref, std::size_t n, std::uint64_t dwell, std::uint64_t n_out);
// As corr_create, choosing the linear mode where it applies (the detectors'
// correlator: with dwell 1 nothing is ever carried between frames, so the
// state blob is the same).
corr* corr_create_linear(const cf32* ref, std::size_t n, std::uint64_t dwell);
void corr_destroy(corr* c);
void corr_reset(corr* c);
std::size_t corr_max_out(const corr* c);
// One frame of len samples; on the dump frame writes min(n_out, cap)
// samples and returns the count, else 0; a negative status when a
// transform could not get working memory.
std::int64_t corr_execute(corr* c, const cf32* frame, std::size_t len, cf32* out, std::size_t cap);
std::size_t corr_state_bytes(const corr* c);
int corr_get_state(const corr* c, unsigned char* buf, std::size_t len);
int corr_check_state(const corr* c, const unsigned char* buf, std::size_t len);
int corr_set_state(corr* c, const unsigned char* buf, std::size_t len);

// nullptr when ny_out < ny or nx_out < nx (0 means native), dwell is 0,
// col_out >= 0 without the fast path or with nx_out != nx or col_out >= nx,
// or memory cannot be had.
corr2d* corr2d_create(const cf32* ref, std::size_t ny, std::size_t nx, std::uint64_t dwell, std::uint64_t ny_out,
                      std::uint64_t nx_out, std::int32_t col_out);
void corr2d_destroy(corr2d* c);
void corr2d_reset(corr2d* c);
std::size_t corr2d_max_out(const corr2d* c);  // ny_out*nx_out, or ny for a single lag
std::int64_t corr2d_execute(corr2d* c, const cf32* frame, std::size_t len, cf32* out, std::size_t cap);
std::size_t corr2d_state_bytes(const corr2d* c);
int corr2d_get_state(const corr2d* c, unsigned char* buf, std::size_t len);
int corr2d_check_state(const corr2d* c, const unsigned char* buf, std::size_t len);
int corr2d_set_state(corr2d* c, const unsigned char* buf, std::size_t len);

}  // namespace tb
