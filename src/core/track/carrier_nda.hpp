// Non-data-aided carrier loop for M-PSK (M = 2, 4, 8): no symbol timing and
// no decisions.  Every sample is de-rotated by the integer-phase NCO, slides
// an I/Q moving-average arm of L = sps/n samples, and the M-th-power
// discriminator on the arm output steers the NCO once per sample through the
// PI loop filter (gains scaled to cycles per sample).  The de-rotated samples
// come out, one per input.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/blob.hpp"
#include "core/common/tlm.hpp"
#include "core/lox/lo.hpp"
#include "core/track/lockdet.hpp"
#include "core/track/loop_filter.hpp"

namespace tb {

inline constexpr std::size_t kNdaMaxWindow = 64;
inline constexpr const char* kNdaProbes[4] = {".lock", ".e", ".freq", ".locked"};

// The record image (telemetry zeroed) is the state payload.
struct carrier_nda {
  lo nco;                     // 0: the frequency word stays at init_norm_freq
  loop_filter lf;             // 16: kp, ki scaled by 1/(2 pi); integ in cycles/sample
  std::uint64_t sps;          // 64
  std::int32_t n, m;          // 72
  std::uint64_t window;       // 80: L
  double init_norm_freq;      // 88
  double bn, zeta;            // 96
  double lock;                // 112: EMA of the lock input
  double last_error;          // 120
  double corr;                // 128: correction c (cycles/sample) from the previous sample
  float sum_re, sum_im;       // 136: the arm's running sum
  std::uint64_t idx;          // 144: the arm's write index
  lockdet det;                // 152
  cf32 ring[kNdaMaxWindow];   // 184: the arm
  float inv_window;           // 696: 1/L in single precision
  std::uint32_t reserved[7];  // 700: zero
  tlm_slots<4> tlm;           // 728
};
static_assert(sizeof(carrier_nda) == 752 && offsetof(carrier_nda, ring) == 184 && offsetof(carrier_nda, tlm) == 728);

inline constexpr std::size_t kCarrierNdaBlobBytes = blob_image_bytes<carrier_nda>();  // 768

// nullptr when m is not 2, 4 or 8, sps is 0, n <= 0, sps is not a multiple
// of n or sps/n > 64, or allocation fails.
carrier_nda* carrier_nda_create(double bn, double zeta, double init_norm_freq, std::uint64_t sps, std::int32_t n,
                                std::int32_t m);
void carrier_nda_destroy(carrier_nda* c);
void carrier_nda_reset(carrier_nda* c);
void carrier_nda_steps(carrier_nda* c, const cf32* x, cf32* out, std::size_t n);
void carrier_nda_configure_lock(carrier_nda* c, double up, double down, std::uint32_t n_up, std::uint32_t n_down);
void carrier_nda_set_bn(carrier_nda* c, double bn);
void carrier_nda_set_norm_freq(carrier_nda* c, double f);
double carrier_nda_norm_freq(const carrier_nda* c);
int carrier_nda_set_telemetry(carrier_nda* c, tb_tlm* ctx, const char* prefix, std::uint64_t decim);
std::size_t carrier_nda_state_bytes(const carrier_nda* c);
int carrier_nda_get_state(const carrier_nda* c, unsigned char* buf, std::size_t len);
int carrier_nda_set_state(carrier_nda* c, const unsigned char* buf, std::size_t len);

}  // namespace tb
