// Decision-directed carrier loop for M-PSK (M = 2, 4, 8): the Costas loop
// generalised.  Each tsamps-sample prompt P is sliced to the nearest
// constellation point a and the loop steers on Im(P conj a)/|P|, with an
// optional FLL assist on decision-aligned prompts; a lock metric (EMA of
// Re(P conj a)/|P|) but no verify-counted decision and no telemetry.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/blob.hpp"
#include "core/lox/lo.hpp"
#include "core/track/loop_filter.hpp"

namespace tb {

// The record image is the state payload.
struct carrier_mpsk {
  lo nco;                // 0
  loop_filter lf;        // 16
  std::uint64_t tsamps;  // 64 (0 stored as 1)
  double init_norm_freq; // 72
  double bn, zeta;       // 80
  double bn_fll;         // 96
  double fll_gain;       // 104: 4 bn_fll
  std::uint32_t m;       // 112
  float acc_i, acc_q;    // 116
  std::uint32_t pad0;    // 124
  std::uint64_t count;   // 128
  float prev_r, prev_v;  // 136: previous decision-aligned prompt
  double prev_w;         // 144: its magnitude (with the 1e-12 offset)
  std::uint32_t prev_valid, pad1;  // 152
  double lock_metric;    // 160
  double last_error;     // 168
};
static_assert(sizeof(carrier_mpsk) == 176 && offsetof(carrier_mpsk, m) == 112 && offsetof(carrier_mpsk, count) == 128 &&
              offsetof(carrier_mpsk, prev_w) == 144 && offsetof(carrier_mpsk, lock_metric) == 160);

inline constexpr std::size_t kCarrierMpskBlobBytes = blob_image_bytes<carrier_mpsk>();  // 192

// nullptr when m is not 2, 4 or 8 (or allocation fails).
carrier_mpsk* carrier_mpsk_create(double bn, double zeta, double init_norm_freq, std::uint64_t tsamps, double bn_fll,
                                  std::int32_t m);
void carrier_mpsk_destroy(carrier_mpsk* c);
void carrier_mpsk_reset(carrier_mpsk* c);
std::size_t carrier_mpsk_steps(carrier_mpsk* c, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
void carrier_mpsk_configure(carrier_mpsk* c, double bn, double zeta);
void carrier_mpsk_set_bn(carrier_mpsk* c, double bn);
void carrier_mpsk_set_norm_freq(carrier_mpsk* c, double f);
void carrier_mpsk_set_bn_fll(carrier_mpsk* c, double bn_fll);
std::size_t carrier_mpsk_state_bytes(const carrier_mpsk* c);
int carrier_mpsk_get_state(const carrier_mpsk* c, unsigned char* buf, std::size_t len);
int carrier_mpsk_set_state(carrier_mpsk* c, const unsigned char* buf, std::size_t len);

}  // namespace tb
