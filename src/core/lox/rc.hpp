// The rate-converting cascade ("RateConverter"): complex float32 in, rate x
// the input rate out, for any real rate > 0, by the cheapest chain of up to
// two 2:1 halfbands or one CIC decimator by a power of two, followed where
// needed by the polyphase resampler.  The matched variant always ends in a
// resampler whose taps are the matched filter of the transmitted pulse
// (optionally with the CIC droop compensator folded in).
//
// The down-converters of lox, the rate synchroniser and the receivers of
// track each own one cascade; only the receivers attach its optional AGC.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/types.hpp"
#include "core/lox/agc.hpp"
#include "core/lox/cic.hpp"
#include "core/lox/halfband.hpp"
#include "core/lox/resamp.hpp"

namespace tb {

enum rc_kind : int { kRcHalfband = 0, kRcCic = 1, kRcResamp = 2 };
enum rc_pulse_kind : int { RC_PULSE_IANDD = 0, RC_PULSE_RRC = 1, RC_PULSE_NONE = 2 };

struct rc_plan_entry {
  int kind = kRcHalfband;
  std::uint32_t cic_r = 0;  // kind 1
  double rate = 0.0;        // kind 2
  std::int32_t comp = 0;    // kind 1: attach the droop compensator
};
struct rc_plan {
  int n = 0;
  rc_plan_entry e[3];
};

// The stage chain for a rate; false when there is none (rate <= 0 or NaN).
bool rc_plan_make(double rate, bool comp, bool matched, rc_plan* plan);

struct rc_stage {
  int kind = kRcHalfband;
  hb* h = nullptr;
  cic* c = nullptr;
  fir* f = nullptr;  // compensator of a CIC stage, or null
  resamp* r = nullptr;
};

struct rc {
  double rate = 0.0;
  std::uint32_t comp = 0;
  int n_stages = 0;
  rc_stage st[3];
  std::vector<cf32> a, b;  // ping-pong scratch between stages
  std::uint32_t pulse = RC_PULSE_NONE;
  double beta = 0.0;
  std::uint64_t span = 0;
  double pulse_sps = 0.0;
  std::uint64_t num_phases = 0;
  bool narrow = false;
  agc* gain = nullptr;  // attached by an owner that wants gain control
  double mf_sps = 0.0, mf_energy = 0.0, mf_gain_db = 0.0;
  ~rc();
};

// Plain cascade; nullptr when the rate is refused (not finite and > 0, or a
// terminal stage rate outside the resampler's range) or allocation fails.
rc* rc_create(double rate, std::uint32_t comp);
// Matched cascade: also nullptr unless pulse is 0 or 1, num_phases a power
// of two >= 2, pulse_sps > 0, span >= 1 and 0 <= beta <= 1 (NaN fails).
rc* rc_create_matched(double rate, std::uint32_t comp, int pulse, double beta, std::uint64_t span, double pulse_sps,
                      std::uint64_t num_phases);
void rc_destroy(rc* c);
void rc_reset(rc* c);

// Room for blocks of n inputs in the scratch buffers and the compensator;
// false (nothing changed) when it cannot be had.
bool rc_reserve(rc* c, std::size_t n);
// The most outputs a block of n inputs can give from the current state: by
// the block engines, or (rc_max_out_ctrl) through the push engine at a rate
// deviation, so a caller sizes cap and no input is ever left unconsumed.
std::size_t rc_max_out(const rc* c, std::size_t n);
std::size_t rc_max_out_ctrl(const rc* c, std::size_t n, double rate_ctrl);

// Block calls: the count written, or kStatusNoMemory when the scratch could
// not grow (nothing consumed then).  With cap >= the bound above every
// input is consumed.
std::int64_t rc_execute(rc* c, const cf32* x, std::size_t n, cf32* out, std::size_t cap);
std::int64_t rc_execute_ctrl(rc* c, const cf32* x, std::size_t n, double rate_ctrl, cf32* out, std::size_t cap);
// One input; pre_out and reached (optional) tell the sample that entered the
// terminal stage (after the AGC) and whether the input got that far.  A
// cascade that is only its resampler (the receivers' usual case) goes
// straight to it, inline; others through rc_push_staged.
std::size_t rc_push_staged(rc* c, const cf32& x, double rate_ctrl, cf32* out, std::size_t cap, cf32* pre_out,
                           int* reached);
inline std::size_t rc_push(rc* c, const cf32& x, double rate_ctrl, cf32* out, std::size_t cap,
                           cf32* pre_out = nullptr, int* reached = nullptr);

// The push split in two, for loops that steer only the terminal resampler:
// the stages before it run over a block at once (the same bits as pushing
// its inputs one by one), then each of their outputs goes through the
// terminal stage.  rc_front gives where its outputs are (scratch owned by
// the cascade, valid until the next call) and how many, or nullptr when the
// scratch could not grow (nothing consumed then); rc_front_max_out bounds
// that count for n inputs; rc_push_terminal is rc_push's last step (pre_out
// as there).
const cf32* rc_front(rc* c, const cf32* x, std::size_t n, std::size_t* m);
std::size_t rc_front_max_out(const rc* c, std::size_t n);
// The terminal step when it is a halfband or a CIC.
std::size_t rc_push_fixed_terminal(rc* c, const cf32& y, cf32* out, std::size_t cap, cf32* pre_out);
// A sample through the AGC (when attached) into the terminal push engine r.
inline std::size_t rc_push_resamp(rc* c, resamp* r, cf32 y, double rate_ctrl, cf32* out, std::size_t cap,
                                  cf32* pre_out) {
  if (c->gain) y = agc_run(c->gain, y);
  if (pre_out) *pre_out = y;
  return resamp_push(r, y, rate_ctrl, out, cap);
}
// Inline: the loops call it once a sample.
inline std::size_t rc_push_terminal(rc* c, const cf32& y, double rate_ctrl, cf32* out, std::size_t cap,
                                    cf32* pre_out = nullptr) {
  rc_stage& last = c->st[c->n_stages - 1];
  if (last.kind != kRcResamp) return rc_push_fixed_terminal(c, y, out, cap, pre_out);
  return rc_push_resamp(c, last.r, y, rate_ctrl, out, cap, pre_out);
}
inline std::size_t rc_push(rc* c, const cf32& x, double rate_ctrl, cf32* out, std::size_t cap, cf32* pre_out,
                           int* reached) {
  if (c->n_stages == 1 && cap != 0 && c->st[0].kind == kRcResamp) {
    if (reached) *reached = 1;
    return rc_push_resamp(c, c->st[0].r, x, rate_ctrl, out, cap, pre_out);
  }
  return rc_push_staged(c, x, rate_ctrl, out, cap, pre_out, reached);
}

bool rc_clipped(const rc* c);
bool rc_narrow(const rc* c);
double rc_rate(const rc* c);
// The terminal resampler, or nullptr when the plan ends in a halfband or CIC.
resamp* rc_terminal(const rc* c);
// The plan's last rate (the terminal stage's nominal rate).
double rc_stage_rate(const rc* c);

// Attaches (replacing any previous) an AGC with these parameters, reset;
// false when allocation fails.  rc_detach_agc releases it.
bool rc_attach_agc(rc* c, double target_db, double loop_gain, double alpha, double reserved, double clamp_db,
                   std::uint64_t period);
void rc_detach_agc(rc* c);

std::size_t rc_state_bytes(const rc* c);
int rc_get_state(const rc* c, unsigned char* buf, std::size_t len);
// Every component's header and length are checked before anything changes.
int rc_check_state(const rc* c, const unsigned char* buf, std::size_t len);
int rc_set_state(rc* c, const unsigned char* buf, std::size_t len);

}  // namespace tb
