// Costas carrier loop for BPSK (or bare) complex baseband with known symbol
// timing: integer-phase NCO de-rotation, integrate-and-dump per symbol, the
// decision-directed discriminator steering the NCO through a PI loop filter,
// an optional FLL assist, and an always-on lock decision.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/lox/lo.hpp"
#include "core/track/lockdet.hpp"
#include "core/track/loop_filter.hpp"
#include "core/common/blob.hpp"
#include "core/common/tlm.hpp"

namespace tb {

inline constexpr double kCostasLockAlpha = 0.1;
inline constexpr const char* kCostasProbes[4] = {".lock", ".e", ".freq", ".locked"};

// The record image is the state payload (with the telemetry bytes zeroed).
struct costas {
  lo nco;                 // 0: phase, frequency word, norm_freq
  loop_filter lf;         // 16: t = 1; integ is the frequency in rad/symbol
  std::uint64_t tsamps;   // 64: samples per symbol (0 stored as 1)
  double init_norm_freq;  // 72
  double bn;              // 80
  double zeta;            // 88
  double bn_fll;          // 96
  double fll_gain;        // 104: 4 * bn_fll
  float acc_i, acc_q;     // 112: integrate-and-dump
  std::uint64_t count;    // 120: samples in the current symbol
  float prev_i, prev_q;   // 128: previous prompt
  std::uint32_t prev_valid;
  std::uint32_t pad;      // 140
  double lock_metric;     // 144: EMA of |Re P|/|P|
  lockdet lock;           // 152
  double last_error;      // 184
  tlm_slots<4> tlm;       // 192: lock, e, freq, locked
};
static_assert(sizeof(costas) == 216);
static_assert(offsetof(costas, lf) == 16 && offsetof(costas, tsamps) == 64 && offsetof(costas, acc_i) == 112 &&
              offsetof(costas, count) == 120 && offsetof(costas, prev_valid) == 136 &&
              offsetof(costas, lock_metric) == 144 && offsetof(costas, lock) == 152 &&
              offsetof(costas, last_error) == 184 && offsetof(costas, tlm) == 192);

inline constexpr std::size_t kCostasBlobBytes = blob_image_bytes<costas>();

costas* costas_create(double bn, double zeta, double init_norm_freq, std::uint64_t tsamps, double bn_fll);
void costas_destroy(costas* c);
void costas_reset(costas* c);  // re-seed from init_norm_freq; configuration kept
// Runs n samples; writes up to cap prompts (one per completed symbol) and
// returns how many were written.
std::size_t costas_steps(costas* c, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
void costas_configure(costas* c, double bn, double zeta);
void costas_configure_lock(costas* c, double up, double down, std::uint32_t n_up, std::uint32_t n_down);
void costas_set_bn(costas* c, double bn);
void costas_set_norm_freq(costas* c, double f);  // becomes the seed; full re-seed, lock dropped
void costas_set_bn_fll(costas* c, double bn_fll);
int costas_set_telemetry(costas* c, tb_tlm* ctx, const char* prefix, std::uint64_t decim);
std::size_t costas_state_bytes(const costas* c);
int costas_get_state(const costas* c, unsigned char* buf, std::size_t len);
int costas_set_state(costas* c, const unsigned char* buf, std::size_t len);

}  // namespace tb
