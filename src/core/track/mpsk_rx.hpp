// The complete M-PSK receiver (M = 2, 4, 8): an integer-phase LO whose
// frequency the carrier loop corrects, the rate-converting cascade whose
// terminal stage is the matched filter and timing interpolator, an optional
// AGC in front of that stage, the shared Gardner timing loop, a non-data-
// aided M-th-power carrier loop run once per symbol, lock decisions on both
// loops and a Gray (optionally differential) demapper.  The real-input form
// runs the same receiver behind the 2:1 real-to-complex halfband.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/tlm.hpp"
#include "core/lox/halfband.hpp"
#include "core/lox/lo.hpp"
#include "core/lox/rc.hpp"
#include "core/track/lockdet.hpp"
#include "core/track/loop_filter.hpp"
#include "core/track/timing.hpp"

namespace tb {

inline constexpr std::size_t kMpskProbesMax = 15;
// The receiver's probes, then the timing loop's under ".sync", then the
// AGC's under ".agc" (registered only when the AGC is attached).
inline constexpr const char* kMpskProbes[kMpskProbesMax] = {
    ".lock", ".car.e", ".car.freq", ".car.nco", ".car.locked", ".sym.i", ".sym.q",
    ".sync.e", ".sync.ctrl", ".sync.rate", ".sync.lock", ".sync.locked", ".sync.mu",
    ".agc.gain_db", ".agc.level_db"};

struct mpsk_rx_config {
  int m = 4;
  double sps = 8.0;
  std::uint32_t m_out = 0;  // 0: derived
  int pulse = RC_PULSE_IANDD;
  double rrc_beta = 0.35;
  std::int64_t rrc_span = 8;
  double bn_carrier = 0.01;
  double zeta = 0.0;        // 0: 1/sqrt(2)
  double bn_timing = 0.01;
  double lock_thresh = 0.0; // 0: 0.4999
  double init_norm_freq = 0.0;
  int differential = 0;
  std::uint64_t num_phases = 0;  // 0: 64
  int agc = 1;
  double bn_agc_ratio = 0.0;     // 0: 0.05
  bool real = false;
};

struct mpsk_rx {
  mpsk_rx_config cfg;  // the values in use after derivation
  double sps_eff = 0.0;          // the loops' clock: sps, or sps/2 behind the halfband
  double two_pi_sps = 0.0;       // 2 pi sps_eff
  double lock_drop = 0.0;
  float rot_c = 1.0f, rot_s = 0.0f;
  hbr2* hb = nullptr;            // real input only
  lo osc{};
  rc* cascade = nullptr;
  timing_loop timing{};
  loop_filter carrier{};
  double corr = 0.0;             // LO correction, cycles per LO sample
  std::uint32_t corr_inc = 0;    // its phase increment
  double last_error = 0.0;
  double lock = 0.0;
  lockdet det{};
  std::uint64_t symbols = 0;
  std::int64_t lock_time = -1;
  std::uint64_t diff_valid = 0, diff_prev = 0;
  tlm_slots<kMpskProbesMax> tlm{};
  std::vector<cf32> syms, half;  // block scratch: symbols, halfband outputs
  ~mpsk_rx();
};

// nullptr when a parameter is refused (see the derivation rules in the
// implementation), the cascade cannot be built, or allocation fails.
mpsk_rx* mpsk_rx_create(const mpsk_rx_config& cfg);
void mpsk_rx_destroy(mpsk_rx* r);
void mpsk_rx_reset(mpsk_rx* r);
std::size_t mpsk_rx_steps(mpsk_rx* r, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
std::size_t mpsk_rx_steps_r(mpsk_rx* r, const float* x, std::size_t n, cf32* out, std::size_t cap);
std::size_t mpsk_rx_bits(mpsk_rx* r, const cf32* x, std::size_t n, std::uint8_t* out, std::size_t cap);
std::size_t mpsk_rx_bits_r(mpsk_rx* r, const float* x, std::size_t n, std::uint8_t* out, std::size_t cap);
// Enough room for the bits of n inputs: one symbol per input at most.
std::size_t mpsk_rx_bits_max_out(const mpsk_rx* r, std::size_t n);
// Writes the Gray labels of n symbols as bits (LSB first) while they fit;
// advances the differential memory.  Returns the bits written.
std::size_t mpsk_rx_demap(mpsk_rx* r, const cf32* s, std::size_t n, std::uint8_t* out, std::size_t cap);

int mpsk_rx_set_telemetry(mpsk_rx* r, tb_tlm* ctx, const char* prefix, std::uint64_t decim);
void mpsk_rx_set_norm_freq(mpsk_rx* r, double f);
double mpsk_rx_norm_freq(const mpsk_rx* r);
double mpsk_rx_agc_gain_db(const mpsk_rx* r);
std::size_t mpsk_rx_state_bytes(const mpsk_rx* r);
int mpsk_rx_get_state(const mpsk_rx* r, unsigned char* buf, std::size_t len);
int mpsk_rx_set_state(mpsk_rx* r, const unsigned char* buf, std::size_t len);

}  // namespace tb
