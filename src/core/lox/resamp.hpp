// The polyphase resampler: the terminal stage of the rate-converting
// cascade, P arms of K taps over one mirrored history ring, converting
// complex float32 samples by an arbitrary real ratio `rate` (output rate /
// input rate).
//
// Two engines share the taps and the ring:
//   - the block engine (resamp_execute): a direct-form interpolator for
//     rate >= 1 and a transposed fractional decimator for rate < 1, driven
//     by a 32-bit phase accumulator with a fixed increment;
//   - the push engine (resamp_push): one input at a time with a per-input
//     rate deviation; its fractional accumulator (ctrl_acc) is the timing
//     phase the receivers observe.
// Both compute each output from the ring before the following input is
// pushed, and both use one fixed summation order for the dot product.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/types.hpp"

namespace tb {

struct resamp {
  double rate = 0.0;
  std::uint64_t p = 0, k = 0;   // arms, taps per arm
  std::int32_t log2p = 0;       // P = 2^log2p
  bool up = false;              // rate >= 1
  std::vector<float> taps;      // arm-major: taps[phi * K + k]
  std::uint32_t block_phase = 0;
  std::uint32_t block_inc = 0;
  std::uint64_t d = 0;          // ring size: smallest power of two >= K
  std::vector<cf32> ring;       // 2D, mirrored
  std::uint64_t ring_index = 0;
  std::vector<cf32> acc;        // K transposed-form partial outputs
  std::vector<cf32> delay;      // max(K - 1, 1) carried partial sums
  // The decimator's taps per arm reversed and doubled (t[K-1-m] twice for
  // partial output m), padded with zeros to a whole number of 4-output
  // registers: derived at creation for the AVX2 path, never persisted.  acc
  // and delay are padded alike; only their first K and K - 1 are state.
  std::vector<float> spread_taps;
  std::uint64_t kp = 0;         // K rounded up to a multiple of 4 (0: no such table)
  std::uint32_t ctrl_acc = 0;   // push-engine fractional accumulator
  std::uint32_t countdown = 0;  // inputs to push before the next output
  std::uint32_t deferred = 0;   // pushes whose countdown step is still owed
  // The push engine's period for the last rate deviation seen (a loop
  // changes it once per symbol, not per input); derived, never persisted.
  double period_ctrl = 0.0;
  bool period_valid = false;
  std::uint32_t period_whole = 0, period_frac = 0;
};

// The widest ratio either engine represents: the block increment must stay
// non-zero (2^-32 <= rate <= 2^32, rate 1 itself being the zero increment).
inline constexpr double kResampMinRate = 0x1p-32;
inline constexpr double kResampMaxRate = 0x1p32;

// nullptr unless P is a power of two, K > 0, taps given and rate within
// [kResampMinRate, kResampMaxRate] (NaN refused), or when the arrays could
// not be had.
resamp* resamp_create(std::uint64_t p, std::uint64_t k, const float* taps, double rate);
// The default Kaiser-windowed sinc bank of 4096 arms x 19 taps.
resamp* resamp_create_default(double rate);
void resamp_destroy(resamp* r);
void resamp_reset(resamp* r);

// Block engine: consumes inputs while there is room; with cap at least
// resamp_max_out(n) every input is consumed.
std::size_t resamp_execute(resamp* r, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
std::size_t resamp_max_out(const resamp* r, std::size_t n);
// Push engine: one input with rate deviation rate_ctrl (this input only).
std::size_t resamp_push(resamp* r, const cf32& x, double rate_ctrl, cf32* out, std::size_t cap);
// The most outputs n pushes at this rate deviation can produce (owed
// countdown steps included), so a caller can size its buffer.
std::size_t resamp_push_max_out(const resamp* r, std::size_t n, double rate_ctrl);
std::uint32_t resamp_get_ctrl_acc(const resamp* r);

// The interpolator (rate >= 1) one output at a time, for a source that
// supplies inputs on demand: the output at the current phase, then the
// phase advance; true when the next input must be fed before the next
// output (the phase wrapped, or always at rate 1).  The same outputs as
// resamp_execute over the same inputs, and no input is read ahead.
cf32 resamp_up_next(resamp* r, bool* wants_input);
void resamp_feed(resamp* r, cf32 x);

std::size_t resamp_state_bytes(const resamp* r);
int resamp_get_state(const resamp* r, unsigned char* buf, std::size_t len);
int resamp_check_state(const resamp* r, const unsigned char* buf, std::size_t len);
int resamp_set_state(resamp* r, const unsigned char* buf, std::size_t len);

// Matched-filter bank for a terminal stage of rate g: P arms, pulse 0
// (rectangle one symbol wide) or 1 (root-raised cosine, roll-off beta, span
// symbols each side), pulse_sps output samples per symbol, optionally the 7
// CIC compensator taps folded in.  Fills taps (P x K, arm-major) and the
// readbacks; false when the sizes cannot be had.
struct mf_bank {
  std::uint64_t k = 0;
  std::vector<float> taps;
  double sps = 0.0, energy = 0.0, gain_db = 0.0;
};
bool mf_design(int pulse, double beta, std::uint64_t span, double pulse_sps, std::uint64_t p, double stage_rate,
               const double* comp, mf_bank* out);

}  // namespace tb
