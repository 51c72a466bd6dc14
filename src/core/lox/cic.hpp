// The fourth-order CIC decimator by a power of two R (2..2048) of the
// rate-converting cascade, its optional droop-compensating FIR, and the
// design routine of that FIR.
//
// The CIC works on 16-bit offset-binary integers (Q14 input, so the range is
// [-2.0, 32767/16384]) with 64-bit wrap-around accumulators and a sticky
// clip flag; the gain R^4 is removed exactly by a shift.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/types.hpp"

namespace tb {

struct cic {
  std::int64_t integ[8];  // I1..I4 of I, then of Q (wrap modulo 2^64)
  std::int64_t comb[8];   // D1..D4 of I, then of Q
  std::uint32_t r;        // decimation ratio
  std::uint32_t count;    // inputs since the last output, 0..r-1
  std::uint32_t shift;    // 4 * log2(r)
  std::uint8_t clipped;   // sticky
};

inline constexpr std::size_t kCicBlobBytes = 16 + 16 * sizeof(std::int64_t) + 4 + 1;  // 149

cic* cic_create(std::uint32_t r);  // nullptr unless r is a power of two in [2, 2048]
void cic_destroy(cic* c);
void cic_reset(cic* c);
// Consumes all n inputs; stores at most cap outputs.
std::size_t cic_execute(cic* c, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
std::size_t cic_max_out(const cic* c, std::size_t n);
std::size_t cic_state_bytes(const cic* c);
int cic_get_state(const cic* c, unsigned char* buf, std::size_t len);
int cic_check_state(const cic* c, const unsigned char* buf, std::size_t len);
int cic_set_state(cic* c, const unsigned char* buf, std::size_t len);

// Real-tap FIR on complex samples with K - 1 samples of history; the
// work buffer (history then block) grows on demand.
struct fir {
  std::vector<float> taps;
  std::vector<cf32> work;  // K - 1 history samples, then the block
};

fir* fir_create(const float* taps, std::size_t k);  // nullptr for k = 0 or no taps
void fir_destroy(fir* f);
void fir_reset(fir* f);
// Room for blocks of n samples: false (nothing changed) when it cannot be had.
bool fir_reserve(fir* f, std::size_t n);
// y[i] = sum_t taps[t] * work[i + K - 1 - t], accumulated from t = 0 upward;
// out may be x.  Returns n, or 0 (history unchanged) when the work buffer
// could not grow.
std::size_t fir_execute(fir* f, const cf32* x, std::size_t n, cf32* out);
std::size_t fir_state_bytes(const fir* f);
int fir_get_state(const fir* f, unsigned char* buf, std::size_t len);
int fir_check_state(const fir* f, const unsigned char* buf, std::size_t len);
int fir_set_state(fir* f, const unsigned char* buf, std::size_t len);

// The 7 linear-phase taps compensating the passband droop of an order-N CIC
// of ratio R (frequency referred to its output rate), matching the Taylor
// expansion of the inverse response in the w^2, w^4 and w^6 terms.  Only
// k = 7 is supported; returns false otherwise.
bool cic_comp_design(int n, double r, std::size_t k, double* taps);

}  // namespace tb
