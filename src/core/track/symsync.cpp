#include "core/track/symsync.hpp"

#include <new>

#include "core/common/numeric.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'S', 'Y', 'N', 'C'};
constexpr std::uint16_t kVersion = 5;
constexpr std::size_t kPersisted = offsetof(symsync, tlm);
enum { kProbeE, kProbeFreq, kProbeRate, kProbeLock, kProbeLocked };

// The interpolant between h[1] (x-2) and h[2] (x-1) at fraction mu, with
// h[0] (x-3) before them and h[3] (x0) the newest.
inline cf32 interp(std::uint32_t order, const cf32* h, float mu) {
  const cf32 xm3 = h[0], xm2 = h[1], xm1 = h[2], x0 = h[3];
  if (order == SYMSYNC_LINEAR) return xm2 + mu * (xm1 - xm2);
  if (order == SYMSYNC_PARABOLIC) {
    const cf32 v = 0.5f * (((xm3 - xm2) - xm1) + x0);
    return xm2 + mu * (((xm1 - xm2) - v) + mu * v);
  }
  constexpr float kSixth = 0.16666667f;
  const cf32 c1 = (((6.0f * xm1 - 2.0f * xm3) - 3.0f * xm2) - x0) * kSixth;
  const cf32 c2 = 0.5f * ((xm3 - 2.0f * xm2) + xm1);
  const cf32 c3 = ((3.0f * xm2 - xm3) + x0) - 3.0f * xm1;
  return xm2 + mu * (c1 + mu * (c2 + mu * c3 * kSixth));
}

inline float sgn(float v) { return v >= 0.0f ? 1.0f : -1.0f; }

void seed(symsync* s) {
  s->phase = 0;
  s->inc = s->base_inc;
  s->lf.integ = 0.0;
  s->timing_error = 0.0;
  s->prev = s->mid = {};
  s->prev_valid = 0;
  s->rate = static_cast<double>(s->sps);
  s->power = 1.0;
  s->lock.lock_stat = 0.0;
  s->lock.sum = 0.0;
  s->lock.looks = 0;
  lockdet_reset(&s->lock.det);
  for (cf32& v : s->hist) v = {};
}

}  // namespace

symsync* symsync_create(std::uint64_t sps, double bn, double zeta, std::uint32_t order, std::uint32_t ted) {
  if (sps < 2 || order > SYMSYNC_CUBIC || ted > TED_DTTL || !loop_filter_params_ok(bn, zeta, 1.0)) return nullptr;
  symsync* s = new (std::nothrow) symsync{};
  if (!s) return nullptr;
  s->sps = sps;
  s->base_inc = static_cast<std::uint32_t>(4294967296.0 / static_cast<double>(sps));
  s->order = order;
  s->ted = ted;
  symsync_configure(s, bn, zeta);
  if (timing_lock_configure(&s->lock, 0.35, 10.0, 1e-3, 0.9) != 0) {
    delete s;
    return nullptr;
  }
  seed(s);
  return s;
}

void symsync_destroy(symsync* s) { delete s; }
void symsync_reset(symsync* s) { seed(s); }

std::size_t symsync_steps(symsync* s, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  std::size_t k = 0;
  const double sps = static_cast<double>(s->sps);
  for (std::size_t i = 0; i < n; ++i) {
    s->hist[0] = s->hist[1];
    s->hist[1] = s->hist[2];
    s->hist[2] = s->hist[3];
    s->hist[3] = x[i];
    const std::uint32_t d = s->phase, e = d + s->inc;
    s->phase = e;
    const double inc = static_cast<double>(s->inc);
    if (d < 0x80000000u && e >= 0x80000000u) {  // mid-symbol strobe (no wrap)
      const float mu = static_cast<float>(1.0 - static_cast<double>(e & 0x7FFFFFFFu) / inc);
      s->mid = interp(s->order, s->hist, mu);
    }
    if (e >= d) continue;  // no wrap: no on-time strobe
    const float mu = static_cast<float>(1.0 - static_cast<double>(e) / inc);
    const cf32 y = interp(s->order, s->hist, mu);
    if (!s->prev_valid) {
      s->prev = y;
      s->prev_valid = 1;
      continue;
    }
    const double py = static_cast<double>(std::norm(y));
    s->power = s->power + 0.01 * (py - s->power);
    const cf32 m = s->mid, q = s->prev;
    float num;
    if (s->ted == TED_DTTL)
      num = m.real() * (sgn(y.real()) - sgn(q.real())) + m.imag() * (sgn(y.imag()) - sgn(q.imag()));
    else
      num = (y.real() - q.real()) * m.real() + (y.imag() - q.imag()) * m.imag();
    const double err = static_cast<double>(num) / (s->power + 1e-6);
    s->timing_error = err;
    s->lf.integ = s->lf.integ + s->lf.ki * err;
    const double g = 1.0 + s->lf.kp * err + s->lf.integ;
    s->inc = static_cast<std::uint32_t>(static_cast<std::uint64_t>(round_sat64(static_cast<double>(s->base_inc) * g)));
    double r = sps / g;
    if (!(r >= 0.5 * sps)) r = 0.5 * sps;  // NaN too
    if (r > 1.5 * sps) r = 1.5 * sps;
    s->rate = s->rate + 0.02 * (r - s->rate);
    timing_lock_look(&s->lock, y, m);
    s->prev = y;
    if (k < cap) out[k++] = y;
    if (s->tlm.ctx) {
      tlm_emit(s->tlm, kProbeE, static_cast<float>(err));
      tlm_emit(s->tlm, kProbeFreq, static_cast<float>(static_cast<double>(s->inc) / s->base_inc - 1.0));
      tlm_emit(s->tlm, kProbeRate, static_cast<float>(s->rate));
      tlm_emit(s->tlm, kProbeLock, static_cast<float>(s->lock.lock_stat));
      tlm_emit(s->tlm, kProbeLocked, s->lock.det.locked ? 1.0f : 0.0f);
    }
  }
  return k;
}

void symsync_configure(symsync* s, double bn, double zeta) {
  s->bn = bn;
  s->zeta = zeta;
  loop_filter_configure(&s->lf, bn, zeta, 1.0);
}

void symsync_set_bn(symsync* s, double bn) { symsync_configure(s, bn, s->zeta); }

int symsync_configure_lock(symsync* s, double rolloff, double esno_min_db, double pfa, double pd) {
  timing_lock probe = s->lock;
  const int rc = timing_lock_configure(&probe, rolloff, esno_min_db, pfa, pd);
  if (rc == 0) s->lock = probe;
  return rc;
}

void symsync_configure_lock_raw(symsync* s, std::uint64_t avgs, double up, double down, std::uint32_t n_up,
                                std::uint32_t n_down) {
  s->lock.avgs = avgs ? avgs : 1;
  s->lock.sum = 0.0;
  s->lock.looks = 0;
  lockdet_retune(&s->lock.det, up, down, n_up, n_down);
}

int symsync_set_telemetry(symsync* s, tb_tlm* ctx, const char* prefix, std::uint64_t decim) {
  return tlm_attach(&s->tlm, ctx, prefix, decim, kSymsyncProbes);
}

std::size_t symsync_state_bytes(const symsync*) { return kSymsyncBlobBytes; }

int symsync_get_state(const symsync* s, unsigned char* buf, std::size_t len) {
  return blob_put_image(buf, len, kMagic, kVersion, *s, kPersisted);
}

// The image carries the configuration; one the object could not have been
// built with is refused, not restored.
int symsync_set_state(symsync* s, const unsigned char* buf, std::size_t len) {
  return blob_restore_image(s, buf, len, kMagic, kVersion, kPersisted, [](const symsync& p) {
    return p.sps >= 2 && p.order <= SYMSYNC_CUBIC && p.ted <= TED_DTTL && p.prev_valid <= 1 && p.lock.avgs != 0 &&
           p.lock.det.locked <= 1 && loop_filter_params_ok(p.bn, p.zeta, 1.0) &&
           loop_filter_params_ok(p.lf.bn, p.lf.zeta, p.lf.t);
  });
}

}  // namespace tb
