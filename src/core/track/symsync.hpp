// Symbol timing recovery at an integer oversampling: a 32-bit timing NCO
// wraps once per symbol and its overshoot is the interpolation fraction; a
// Farrow interpolator (linear, parabolic or cubic) forms the mid-symbol and
// on-time samples; a Gardner or DTTL detector, normalised by a running power
// estimate, steers the NCO increment through a PI loop.  One on-time sample
// comes out per symbol.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/blob.hpp"
#include "core/common/tlm.hpp"
#include "core/track/lockdet.hpp"
#include "core/track/loop_filter.hpp"
#include "core/track/timing.hpp"

namespace tb {

enum symsync_order : std::uint32_t { SYMSYNC_LINEAR = 0, SYMSYNC_PARABOLIC = 1, SYMSYNC_CUBIC = 2 };
inline constexpr const char* kSymsyncProbes[5] = {".e", ".freq", ".rate", ".lock", ".locked"};

// The first 256 bytes are the state payload (configuration included).
struct symsync {
  std::uint32_t phase;        // 0: 2^32 is one symbol
  std::uint32_t inc;          // 4: current increment
  std::uint32_t reserved[4];  // 8
  cf32 hist[4];               // 24: oldest first
  std::uint32_t order;        // 56
  std::uint32_t pad0;         // 60
  loop_filter lf;             // 64
  std::uint64_t sps;          // 112
  std::uint32_t base_inc;     // 120: 2^32 / sps, truncated
  std::uint32_t ted;          // 124
  std::uint32_t prev_valid;   // 128
  cf32 prev;                  // 132
  cf32 mid;                   // 140
  std::uint32_t pad1;         // 148
  double bn, zeta;            // 152
  double timing_error;        // 168
  double rate;                // 176
  double power;               // 184: on-time power EMA
  timing_lock lock;           // 192
  tlm_slots<5> tlm;           // 256
};
static_assert(sizeof(symsync) == 288 && offsetof(symsync, lf) == 64 && offsetof(symsync, prev) == 132 &&
              offsetof(symsync, lock) == 192 && offsetof(symsync, tlm) == 256);

inline constexpr std::size_t kSymsyncBlobBytes = blob_image_bytes<symsync>();  // 304

// nullptr when sps < 2 (a symbol needs two samples for a mid-symbol
// strobe; at 1 the increment would be 2^32), order or ted is unknown, the
// loop parameters are refused, or allocation fails.
symsync* symsync_create(std::uint64_t sps, double bn, double zeta, std::uint32_t order, std::uint32_t ted);
void symsync_destroy(symsync* s);
void symsync_reset(symsync* s);
std::size_t symsync_steps(symsync* s, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
void symsync_configure(symsync* s, double bn, double zeta);
void symsync_set_bn(symsync* s, double bn);
int symsync_configure_lock(symsync* s, double rolloff, double esno_min_db, double pfa, double pd);
void symsync_configure_lock_raw(symsync* s, std::uint64_t avgs, double up, double down, std::uint32_t n_up,
                                std::uint32_t n_down);
int symsync_set_telemetry(symsync* s, tb_tlm* ctx, const char* prefix, std::uint64_t decim);
std::size_t symsync_state_bytes(const symsync* s);
int symsync_get_state(const symsync* s, unsigned char* buf, std::size_t len);
int symsync_set_state(symsync* s, const unsigned char* buf, std::size_t len);

}  // namespace tb
