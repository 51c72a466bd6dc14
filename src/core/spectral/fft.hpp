// Reusable FFT engines of fixed length (1-D) or fixed ny x nx grid (2-D) and
// fixed direction.  All planning happens at creation; execute only runs the
// transform.  Double precision runs on pocketfft (any length); single
// precision runs on FFTW's single-precision library for power-of-two lengths
// of at least 16 (planned with FFTW_ESTIMATE, so plans and results are the
// same run to run) and otherwise widens to double and uses pocketfft.
//
// Transform: X[k] = sum_j x[j] exp(s 2 pi i j k / n), s = -1 when sign < 0,
// +1 otherwise; no scaling in either direction.
//
// Short inputs are zero-padded to the transform length (out-of-place and
// integer variants).  The in-place variants copy the available samples into
// the destination and transform all of it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/status.hpp"
#include "core/common/types.hpp"

namespace tb {


struct fft;
struct fft2d;

fft* fft_create(std::uint64_t n, std::int32_t sign);  // nullptr for n = 0 or allocation failure
void fft_destroy(fft* f);
std::uint64_t fft_n(const fft* f);
std::int32_t fft_sign(const fft* f);

// Each returns the samples written to dst (n, or cap when smaller), or a
// negative status.  x holds nx samples (nx values for the integer twins:
// interleaved I, Q).
std::int64_t fft_execute_cf64(fft* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap);
std::int64_t fft_execute_cf32(fft* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap);
std::int64_t fft_execute_inplace_cf64(fft* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap);
std::int64_t fft_execute_inplace_cf32(fft* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap);
std::int64_t fft_execute_ci16(fft* f, const std::int16_t* iq, std::size_t nv, cf32* dst, std::size_t cap);
std::int64_t fft_execute_ci8(fft* f, const std::int8_t* iq, std::size_t nv, cf32* dst, std::size_t cap);

fft2d* fft2d_create(std::uint64_t ny, std::uint64_t nx, std::int32_t sign);
void fft2d_destroy(fft2d* f);
std::uint64_t fft2d_ny(const fft2d* f);
std::uint64_t fft2d_nx(const fft2d* f);
std::int32_t fft2d_sign(const fft2d* f);
std::int64_t fft2d_execute_cf64(fft2d* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap);
std::int64_t fft2d_execute_cf32(fft2d* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap);
std::int64_t fft2d_execute_inplace_cf64(fft2d* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap);
std::int64_t fft2d_execute_inplace_cf32(fft2d* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap);

}  // namespace tb
