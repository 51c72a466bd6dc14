// The down-converters: mix to baseband, filter and decimate in one pass.
//
//   complex input (LOX, MatchedLOX): LO mix at the input rate, then the
//       plain or matched rate-converting cascade;
//   real input (Loxr, MatchedLoxr): the 2:1 real-to-complex halfband (a
//       quarter-rate shift), the LO mix at half the input rate, then the
//       cascade at twice the requested rate.
//
// Each call can steer the LO (freq_ctrl, cycles per sample of the rate the
// LO runs at) and the terminal resampler (rate_ctrl), per block or per
// input, without the object holding loop state.  One record serves both
// input kinds (`hb` is null for complex input).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/lox/halfband.hpp"
#include "core/lox/lo.hpp"
#include "core/lox/rc.hpp"

namespace tb {

struct lox {
  hbr2* hb = nullptr;  // real input only
  tb::lo o{};
  rc* cascade = nullptr;
  double rate = 0.0;    // the configured (total) output/input ratio
  bool narrow = false;  // a matched "iandd" pulse with pulse_sps < 4
  std::vector<cf32> scratch;
  ~lox();
};

// Plain and matched forms of both kinds; nullptr on a refused parameter or
// allocation failure.  Complex input: rate finite and > 0.  Real input:
// 0 < rate < 0.5.  The matched checks are rc_create_matched's.
lox* lox_create(double norm_freq, double rate);
lox* lox_create_matched(double norm_freq, double rate, int pulse, double beta, std::uint64_t span,
                        double pulse_sps, std::uint64_t num_phases);
lox* loxr_create(double norm_freq, double rate);
lox* loxr_create_matched(double norm_freq, double rate, int pulse, double beta, std::uint64_t span,
                         double pulse_sps, std::uint64_t num_phases);
void lox_destroy(lox* d);
void lox_reset(lox* d);

// Bounds: every input of a block is consumed when cap is at least these.
std::size_t lox_max_out(const lox* d, std::size_t n);
std::size_t lox_max_out_ctrl(const lox* d, std::size_t n, double rate_ctrl);
// The per-input push bound: floor(max(rate, 1)) + 2.
std::size_t lox_push_max_out(const lox* d);

// Block calls (complex input x, or for a real-input record the first n
// floats of xr): the count written, or kStatusNoMemory (nothing consumed).
std::int64_t lox_execute(lox* d, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
std::int64_t lox_execute_ctrl(lox* d, const cf32* x, std::size_t n, double rate_ctrl, double freq_ctrl, cf32* out,
                              std::size_t cap);
std::int64_t loxr_execute(lox* d, const float* x, std::size_t n, cf32* out, std::size_t cap);
std::int64_t loxr_execute_ctrl(lox* d, const float* x, std::size_t n, double rate_ctrl, double freq_ctrl, cf32* out,
                               std::size_t cap);
// One input: 0, 1 or more outputs.
std::size_t lox_execute_ctrl_push(lox* d, cf32 x, double rate_ctrl, double freq_ctrl, cf32* out, std::size_t cap);
std::size_t loxr_execute_ctrl_push(lox* d, float x, double rate_ctrl, double freq_ctrl, cf32* out, std::size_t cap);

void lox_set_freq(lox* d, double f);
double lox_get_freq(const lox* d);
double lox_rate(const lox* d);
bool lox_clipped(const lox* d);
bool lox_narrow(const lox* d);

std::size_t lox_state_bytes(const lox* d);
int lox_get_state(const lox* d, unsigned char* buf, std::size_t len);
int lox_set_state(lox* d, const unsigned char* buf, std::size_t len);

}  // namespace tb
