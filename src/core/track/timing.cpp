#include "core/track/timing.hpp"

#include <cmath>

#include "core/common/numeric.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'R', 'S', 'L', 'P'};
constexpr std::uint16_t kVersion = 2;

double gardner_s(int pulse, double beta, std::uint64_t span, double tau) {
  const std::int64_t w = static_cast<std::int64_t>(span) + 2;
  double s = 0.0;
  for (std::int64_t k = -w; k <= w; ++k) {
    const double kd = static_cast<double>(k);
    s += (pulse_autocorr(pulse, beta, tau - kd) - pulse_autocorr(pulse, beta, tau - 1.0 - kd)) *
         pulse_autocorr(pulse, beta, tau - 0.5 - kd);
  }
  return s;
}

double dttl_s(int pulse, double beta, double tau) {
  return pulse_autocorr(pulse, beta, tau - 0.5) - pulse_autocorr(pulse, beta, tau + 0.5);
}

}  // namespace

double pulse_autocorr(int pulse, double beta, double x) {
  if (pulse == 0) {
    const double v = 1.0 - std::fabs(x);
    return v > 0.0 ? v : 0.0;
  }
  const double ax = std::fabs(x);
  if (ax < 1e-9) return 1.0;
  if (beta > 0.0 && std::fabs(ax - 1.0 / (2.0 * beta)) < 1e-9) return beta / 2.0 * std::sin(kPi / (2.0 * beta));
  const double bx = 2.0 * beta * x;
  return std::sin(kPi * x) * std::cos(kPi * beta * x) / (kPi * x * (1.0 - bx * bx));
}

double ted_slope(int pulse, double beta, std::uint64_t span, std::uint32_t ted) {
  const double d = 1e-4;
  const double diff = ted == TED_DTTL ? dttl_s(pulse, beta, d) - dttl_s(pulse, beta, -d)
                                      : gardner_s(pulse, beta, span, d) - gardner_s(pulse, beta, span, -d);
  return std::fabs(diff) * 5000.0;
}

void timing_loop_init(timing_loop* t, double sps, std::uint32_t m, double bn, double zeta, std::uint32_t ted,
                      double slope, double scale, std::uint64_t k) {
  t->sps = sps;
  t->m = m;
  t->ted = ted;
  t->gain = slope > 0.0 ? 1.0 / slope : 1.0;
  t->scale = scale;
  t->k = k;
  loop_filter_init(&t->lf, bn, zeta, 1.0);
  t->lock.avgs = 133;
  lockdet_init(&t->lock.det, 0.311, 0.311, 1, 8);
  timing_loop_reset(t);
}

void timing_loop_reset(timing_loop* t) {
  t->lf.integ = 0.0;
  t->ctrl = 0.0;
  t->timing_error = 0.0;
  t->rate = t->sps;
  t->prime = t->k + 1;
  t->phase = 0;
  t->fill = 0;
  for (cf32& v : t->ring) v = {};
  t->prev = {};
  t->prev_valid = false;
  t->lock.sum = 0.0;
  t->lock.looks = 0;
  t->lock.lock_stat = 0.0;
  lockdet_reset(&t->lock.det);
}

int timing_loop_get_state(const timing_loop* t, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, kTimingSectionBytes);
  w.put<double>(t->ctrl);
  w.put<double>(t->timing_error);
  w.put<double>(t->rate);
  w.put<double>(t->lock.sum);
  w.put<double>(t->lock.lock_stat);
  w.put<std::uint64_t>(t->prev_valid ? 1 : 0);
  w.put<std::uint64_t>(t->prime);
  w.put<std::uint64_t>(t->phase);
  w.put<std::uint64_t>(t->fill);
  w.put<std::uint64_t>(t->lock.looks);
  const std::uint64_t len_ring = t->m / 2 + 1;
  for (std::uint64_t i = 0; i < kTimingRingMax; ++i) {
    const cf32 v = i < len_ring ? t->ring[i] : cf32{};
    w.put<float>(v.real());
    w.put<float>(v.imag());
  }
  w.put<float>(t->prev.real());
  w.put<float>(t->prev.imag());
  w.put<std::uint32_t>(t->lock.det.count);
  w.put<std::uint32_t>(t->lock.det.locked);
  w.child(kLoopFilterBlobBytes, [t](unsigned char* p, std::size_t n) { return loop_filter_get_state(&t->lf, p, n); });
  return w.status();
}

int timing_loop_check_state(const timing_loop* t, const unsigned char* buf, std::size_t len, timing_loop* probe) {
  BlobReader r = blob_open(buf, len, kMagic, kVersion, kTimingSectionBytes);
  timing_loop v = *t;
  v.ctrl = r.get<double>();
  v.timing_error = r.get<double>();
  v.rate = r.get<double>();
  v.lock.sum = r.get<double>();
  v.lock.lock_stat = r.get<double>();
  v.prev_valid = (r.get<std::uint64_t>() & 1) != 0;
  v.prime = r.get<std::uint64_t>();
  v.phase = r.get<std::uint64_t>();
  v.fill = r.get<std::uint64_t>();
  v.lock.looks = r.get<std::uint64_t>();
  for (cf32& e : v.ring) {
    const float re = r.get<float>(), im = r.get<float>();
    e = {re, im};
  }
  const float pr = r.get<float>(), pi = r.get<float>();
  v.prev = {pr, pi};
  v.lock.det.count = r.get<std::uint32_t>();
  v.lock.det.locked = r.get<std::uint32_t>();
  const BlobSpan lf = r.child();
  if (!r.ok() || r.left() != 0 || loop_filter_set_state(&v.lf, lf.p, lf.n) != 0) return kStatusRefused;
  // Counters must describe a state the loop can reach.
  const std::uint64_t len_ring = v.m / 2 + 1;
  if (v.fill > len_ring || v.prime > v.k + 1 || v.lock.det.locked > 1 || v.lock.looks >= v.lock.avgs)
    return kStatusRefused;
  for (std::uint64_t i = len_ring; i < kTimingRingMax; ++i) v.ring[i] = {};
  *probe = v;
  return 0;
}

}  // namespace tb
