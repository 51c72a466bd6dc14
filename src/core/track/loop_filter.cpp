#include "core/track/loop_filter.hpp"

#include <cmath>
#include <initializer_list>
#include <new>

#include "core/common/blob.hpp"

namespace tb {
namespace {
constexpr char kMagic[4] = {'L', 'P', 'F', 'L'};
}

bool loop_filter_params_ok(double bn, double zeta, double t) {
  return std::isfinite(bn) && std::isfinite(zeta) && std::isfinite(t) && bn >= 0.0 && zeta > 0.0 &&
         t > 0.0;
}

void loop_filter_configure(loop_filter* lf, double bn, double zeta, double t) {
  // a is twice the usual theta = bn*t / (zeta + 1/(4 zeta)); the evaluation
  // order below is fixed so every loop derives bit-identical gains.
  const double a = 8.0 * zeta * bn * t / (4.0 * zeta * zeta + 1.0);
  const double d = 4.0 + 4.0 * zeta * a + a * a;
  lf->kp = 8.0 * zeta * a / d;
  lf->ki = 4.0 * a * a / d;
  lf->bn = bn;
  lf->zeta = zeta;
  lf->t = t;
}

void loop_filter_init(loop_filter* lf, double bn, double zeta, double t) {
  loop_filter_configure(lf, bn, zeta, t);
  lf->integ = 0.0;
}

void loop_filter_steps(loop_filter* lf, const double* x, double* out, std::size_t n) {
  // Locals keep the recurrence in registers; the order of operations is the
  // same as loop_filter_step, so the results match it bit for bit.
  const double kp = lf->kp, ki = lf->ki;
  double integ = lf->integ;
  for (std::size_t i = 0; i < n; ++i) {
    const double e = x[i];
    integ = integ + ki * e;
    out[i] = integ + kp * e;
  }
  lf->integ = integ;
}

loop_filter* loop_filter_create(double bn, double zeta, double t) {
  if (!loop_filter_params_ok(bn, zeta, t)) return nullptr;
  loop_filter* lf = new (std::nothrow) loop_filter{};
  if (lf) loop_filter_init(lf, bn, zeta, t);
  return lf;
}

void loop_filter_destroy(loop_filter* lf) { delete lf; }
void loop_filter_reset(loop_filter* lf) { lf->integ = 0.0; }
std::size_t loop_filter_state_bytes(const loop_filter*) { return kLoopFilterBlobBytes; }

int loop_filter_get_state(const loop_filter* lf, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, 1, kLoopFilterBlobBytes);
  for (double v : {lf->kp, lf->ki, lf->integ, lf->bn, lf->zeta, lf->t}) w.put<double>(v);
  return w.status();
}

int loop_filter_set_state(loop_filter* lf, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, 1, kLoopFilterBlobBytes);
  if (!r.ok()) return kStatusRefused;
  loop_filter v;
  v.kp = r.get<double>();
  v.ki = r.get<double>();
  v.integ = r.get<double>();
  v.bn = r.get<double>();
  v.zeta = r.get<double>();
  v.t = r.get<double>();
  // The gains are derived from bn, zeta and t, which the constructor vets:
  // a blob may not carry what it would refuse.
  if (!loop_filter_params_ok(v.bn, v.zeta, v.t)) return kStatusRefused;
  *lf = v;
  return 0;
}

}  // namespace tb
