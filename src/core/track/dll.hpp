// Code delay-locked loop for direct-sequence spread signals: carrier-wiped
// samples are correlated against a local replica of one code period with
// early, prompt and late taps (and an off-peak tap for the noise floor); a
// 32-bit code NCO (one period = 2^32) is steered once per period (epoch)
// from a normalised early-minus-late power discriminator through the PI loop
// filter; the despread prompt comes out once per epoch, or as `segments`
// partial prompts per epoch.  An always-on CFAR code-lock detector looks at
// every prompt against the off-peak tap.
//
// With segments >= 2 the epoch end looks back over the previous epoch for
// the window of S partials with the largest coherent prompt (a data
// transition inside the period would otherwise cancel it), and a
// symbol-period mode searches the boundary phase of symbols spanning
// several partials.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/tlm.hpp"
#include "core/common/types.hpp"
#include "core/track/lockdet.hpp"
#include "core/track/loop_filter.hpp"

namespace tb {

inline constexpr const char* kDllProbes[4] = {".e", ".rate", ".lock", ".locked"};
inline constexpr std::size_t kDllFixedBlobBytes = 704;

struct dll {
  // configuration
  std::vector<float> chips;  // +1 for bit 0 clear, -1 for bit 0 set
  std::uint64_t n = 0, sps = 1, f = 1, segs = 1, guard = 0;
  double spacing = 0.5, init_chip = 0.0, rate_aid = 0.0, scale = 1.0;
  loop_filter lf{};
  std::uint32_t held = 0;  // coasting: the loop is not steered
  // running state
  std::uint32_t phi = 0, delta = 0;
  double code_phase = 0.0, code_rate = 1.0, last_error = 0.0, err_sum = 0.0;
  std::uint64_t err_count = 0;
  cf32 ae{}, ap{}, al{}, ao{};  // early, prompt, late, off-peak accumulators
  std::uint64_t offset = 0;     // off-peak offset in chips
  std::uint32_t rng = 0;
  std::uint32_t put_forward = 0, put_back = 0;
  std::uint64_t part = 0;
  std::uint32_t have_prev = 0;
  cfar_looks cfar{};
  // segments >= 2: this epoch's partials, and the previous epoch's suffix sums
  std::vector<cf32> cur_p, cur_e, cur_l, suf_p, suf_e, suf_l;
  std::vector<cf32> pre_p, pre_e, pre_l;  // epoch-end scratch (not state)
  // symbol-period mode (period 0: off)
  double period = 0.0;
  std::uint64_t win = 0, hyps = 0, ring = 0;  // L, W, H
  std::uint64_t npart = 0, best = 0, last_end = 0;
  std::uint32_t used = 0;
  std::vector<cf32> rp, ro, re, rl;
  std::vector<double> pow;
  tlm_slots<4> tlm{};
};

// nullptr for an empty code, segments 0 or allocation failure.
dll* dll_create(const std::uint8_t* code, std::size_t n, std::uint64_t sps, double init_chip, double bn, double zeta,
                double spacing, std::uint64_t segments);
void dll_destroy(dll* d);
void dll_reset(dll* d);
std::size_t dll_steps(dll* d, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
void dll_configure(dll* d, double bn, double zeta);
void dll_set_bn(dll* d, double bn);
void dll_set_rate_aid(dll* d, double a);
void dll_set_code_phase(dll* d, double chips);
double dll_take_error_mean(dll* d);
void dll_set_hold(dll* d, bool held);
int dll_configure_lock(dll* d, double pfa, std::uint64_t n_looks, double ref_snr_db);
void dll_configure_lock_raw(dll* d, double up, double down, std::uint64_t n_looks, double alpha, std::uint32_t n_up,
                            std::uint32_t n_down);
int dll_set_lock_verify(dll* d, std::uint32_t n_up, std::uint32_t n_down);
// Enters (P >= 2), re-enters or (P <= 0) leaves symbol-period mode; -4 for
// P in (0, 2), NaN or fewer than 2 segments; kStatusNoMemory when the
// buffers cannot be had (the mode is then unchanged).
int dll_set_symbol_period(dll* d, double p);
int dll_set_telemetry(dll* d, tb_tlm* ctx, const char* prefix, std::uint64_t decim);
std::size_t dll_state_bytes(const dll* d);
int dll_get_state(const dll* d, unsigned char* buf, std::size_t len);
int dll_set_state(dll* d, const unsigned char* buf, std::size_t len);

}  // namespace tb
