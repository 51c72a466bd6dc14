// Second-order proportional-plus-integral loop filter.  Every tracking loop
// embeds one record by value (configured with t = 1, its bandwidth normalised
// to its own update rate); track.LoopFilter is its stand-alone face.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tb {

struct loop_filter {
  double kp;     // proportional gain (derived)
  double ki;     // integral gain (derived)
  double integ;  // integrator: the running frequency / rate estimate
  double bn;     // noise bandwidth, cycles per update
  double zeta;   // damping
  double t;      // update period in samples
};
static_assert(sizeof(loop_filter) == 48, "loop_filter is six doubles");

inline constexpr std::size_t kLoopFilterBlobBytes = 16 + sizeof(loop_filter);  // header + six doubles

// True when bn >= 0, zeta > 0, t > 0 and all three are finite.
bool loop_filter_params_ok(double bn, double zeta, double t);

// Store the configuration and derive the gains; integ is left alone.
void loop_filter_configure(loop_filter* lf, double bn, double zeta, double t);
// Configure and clear the integrator.
void loop_filter_init(loop_filter* lf, double bn, double zeta, double t);

inline double loop_filter_step(loop_filter* lf, double x) {
  lf->integ = lf->integ + lf->ki * x;
  return lf->integ + lf->kp * x;
}
void loop_filter_steps(loop_filter* lf, const double* x, double* out, std::size_t n);

// Heap record for the Python type: nullptr when the parameters are refused
// or allocation fails.
loop_filter* loop_filter_create(double bn, double zeta, double t);
void loop_filter_destroy(loop_filter* lf);
void loop_filter_reset(loop_filter* lf);
std::size_t loop_filter_state_bytes(const loop_filter* lf);
int loop_filter_get_state(const loop_filter* lf, unsigned char* buf, std::size_t len);
int loop_filter_set_state(loop_filter* lf, const unsigned char* buf, std::size_t len);

}  // namespace tb
