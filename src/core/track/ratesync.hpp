// Symbol timing recovery at any real oversampling: the rate-converting
// cascade brings the stream to m samples per symbol through its matched-
// filter terminal stage, and the shared timing loop steers that stage's
// per-input rate deviation.  One on-time output per symbol.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/common/tlm.hpp"
#include "core/lox/rc.hpp"
#include "core/track/timing.hpp"

namespace tb {

struct ratesync {
  rc* cascade = nullptr;
  timing_loop loop{};
  double bn = 0.0, zeta = 0.0;
  tlm_slots<6> tlm{};
  ~ratesync();
};

// nullptr unless m is even in [2, 8], span >= 1, 0 <= beta <= 1, num_phases
// a power of two >= 2, pulse 0 (integrate-and-dump) or 1 (RRC), ted 0 or 1,
// zeta > 0, bn >= 0 and sps >= m (all finite), or when the cascade cannot be
// built.
ratesync* ratesync_create(double sps, int pulse, double beta, std::uint64_t span, std::uint32_t m,
                          std::uint64_t num_phases, double bn, double zeta, std::uint32_t ted);
void ratesync_destroy(ratesync* s);
void ratesync_reset(ratesync* s);
std::size_t ratesync_steps(ratesync* s, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
void ratesync_configure(ratesync* s, double bn, double zeta);  // ignored unless bn >= 0 and zeta > 0
void ratesync_set_bn(ratesync* s, double bn);                  // ignored unless bn >= 0
void ratesync_configure_lock_raw(ratesync* s, std::uint64_t avgs, double up, double down, std::uint32_t n_up,
                                 std::uint32_t n_down);
int ratesync_set_telemetry(ratesync* s, tb_tlm* ctx, const char* prefix, std::uint64_t decim);
std::size_t ratesync_state_bytes(const ratesync* s);
int ratesync_get_state(const ratesync* s, unsigned char* buf, std::size_t len);
int ratesync_set_state(ratesync* s, const unsigned char* buf, std::size_t len);

// Shared with the receivers: the detector gain, control scale and taps per
// arm bound to the cascade's terminal stage.
void timing_loop_bind(timing_loop* t, const rc* cascade, double sps, std::uint32_t m, double bn, double zeta,
                      std::uint32_t ted, int pulse, double beta, std::uint64_t span);
// Telemetry of the loop: its six probes, from slot indices idx.
void timing_loop_emit(const timing_loop* t, const rc* cascade, tb_tlm* ctx, const std::uint32_t* idx);

}  // namespace tb
