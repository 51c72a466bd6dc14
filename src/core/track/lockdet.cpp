#include "core/track/lockdet.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/common/blob.hpp"

namespace tb {

void lockdet_init(lockdet* d, double up, double down, std::uint32_t n_up, std::uint32_t n_down) {
  d->up_thresh = up;
  d->down_thresh = down;
  d->n_up = n_up ? n_up : 1;
  d->n_down = n_down ? n_down : 1;
}

void lockdet_retune(lockdet* d, double up, double down, std::uint32_t n_up, std::uint32_t n_down) {
  lockdet_init(d, up, down, n_up, n_down);
  d->count = 0;
}

void lockdet_reset(lockdet* d) {
  d->count = 0;
  d->locked = 0;
}


int lockdet_set_verify(lockdet* d, std::uint32_t n_up, std::uint32_t n_down) {
  if (n_up == 0 || n_down == 0) return kStatusRefused;
  d->n_up = n_up;
  d->n_down = n_down;
  lockdet_reset(d);
  return 0;
}

// ---------------------------------------------------------------------------
// Detection-theory functions

double gamma_q(double a, double x) {
  if (x <= 0.0) return 1.0;
  const double g = a * std::log(x) - x - std::lgamma(a);
  if (x < a + 1.0) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n <= 300; ++n) {
      term = term * x / (a + n);
      sum = sum + term;
      if (std::fabs(term) < std::fabs(sum) * 1e-15) break;
    }
    return 1.0 - sum * std::exp(g);
  }
  double b = x + 1.0 - a, c = 1e300, d = 1.0 / b, h = d;
  for (int i = 1; i <= 300; ++i) {
    const double an = -i * (i - a);
    b = b + 2.0;
    d = an * d + b;
    if (std::fabs(d) < 1e-300) d = 1e-300;
    d = 1.0 / d;
    c = b + an / c;
    if (std::fabs(c) < 1e-300) c = 1e-300;
    h = h * d * c;
    if (std::fabs(d * c - 1.0) < 1e-15) break;
  }
  return h * std::exp(g);
}

double marcum_q(std::uint64_t n, double, double eta) {
  if (eta <= 0.0) return 1.0;
  return gamma_q(static_cast<double>(n), eta * eta / 2.0);
}

double det_threshold_noncoherent(double pfa, std::uint64_t n) {
  const double base = std::sqrt(-2.0 * std::log(pfa));
  if (n < 2) return base;
  double hi = std::max(1.0, base);
  // Bounded doubling: a pfa that cannot be reached (NaN, <= 0) stops at a
  // finite threshold instead of looping forever.
  for (int i = 0; i < 2048 && marcum_q(n, 0.0, hi) > pfa; ++i) hi = 2.0 * hi;
  double lo = 0.0;
  for (int i = 0; i < 100; ++i) {
    const double mid = (hi + lo) / 2.0;
    if (marcum_q(n, 0.0, mid) <= pfa)
      hi = mid;
    else
      lo = mid;
  }
  return (hi + lo) / 2.0;
}

double q_inv(double p) {
  if (!(p > 0.0 && p < 1.0)) return 0.0;
  const double u = 1.0 - 2.0 * p;
  const double l = std::log(1.0 - u * u);
  const double c = l / 2.0 + 4.330746750799873;
  const double sgn = u > 0.0 ? 1.0 : (u < 0.0 ? -1.0 : 0.0);
  double y = sgn * std::sqrt(std::max(0.0, std::sqrt(std::max(0.0, c * c - l * 6.802721088435375)) - c));
  for (int i = 0; i < 4; ++i) y = y + (std::erfc(y) - 2.0 * p) / (std::exp(-y * y) * 1.1283791670955126);
  return y * 1.4142135623730951;
}

std::int64_t det_verify_count(double p, double budget) {
  if (p <= 0.0 || p <= budget) return 1;
  if (p >= 1.0) return 2147483647;
  const double k = std::ceil(std::log(budget) / std::log(p) - 1e-9);
  if (!(k >= 1.0)) return 1;
  return k > 2147483647.0 ? 2147483647 : static_cast<std::int64_t>(k);
}

double det_ema_alpha(double in_db, double out_db) {
  const double c = std::pow(10.0, in_db / 10.0), d = std::pow(10.0, out_db / 10.0);
  if (c >= d) return 1.0;
  return 2.0 * c / (d + c);
}

std::int64_t det_looks_gaussian(double mu, double v, double pd, double pfa) {
  if (!(mu > 0.0 && v > 0.0 && 0.0 < pfa && pfa < pd && pd < 1.0)) return -1;
  const double r = (q_inv(pfa) - q_inv(pd)) / mu;
  const double k = v * (r * r);
  if (std::isnan(k) || k < 1.0) return 1;
  if (k > 2147483647.0) return 2147483647;
  return static_cast<std::int64_t>(std::ceil(k));
}

double det_threshold_gaussian(double mu, double pd, double pfa) {
  if (!(mu > 0.0 && 0.0 < pfa && pfa < pd && pd < 1.0)) return 0.0;
  const double qf = q_inv(pfa), qd = q_inv(pd);
  return qf - qd > 0.0 ? mu * qf / (qf - qd) : 0.0;
}

// ---------------------------------------------------------------------------
// CFAR look accumulator

bool cfar_look(cfar_looks* c, std::complex<float> prompt, std::complex<float> off_peak) {
  c->noise_samples += 1;
  const double o2 = static_cast<double>(std::norm(off_peak));
  const double w = std::max(c->alpha, 1.0 / static_cast<double>(c->noise_samples));
  c->noise_est = c->noise_est + (o2 - c->noise_est) * w;
  c->sum += static_cast<double>(std::norm(prompt));
  c->looks += 1;
  if (c->looks < c->n_looks) return false;
  const double r2 = 2.0 * c->sum / std::max(c->noise_est, 1e-12);
  c->lock_stat = std::sqrt(r2);
  lockdet_update(&c->det, r2 < 0.0 ? -std::numeric_limits<double>::infinity() : std::sqrt(r2));
  c->sum = 0.0;
  c->looks = 0;
  return true;
}

void cfar_clear(cfar_looks* c) {
  c->noise_est = 0.0;
  c->sum = 0.0;
  c->looks = 0;
  c->lock_stat = 0.0;
  c->noise_samples = 0;
  lockdet_reset(&c->det);
}

int cfar_configure(cfar_looks* c, double pfa, std::uint64_t n, double ref_snr_db) {
  if (!(pfa > 0.0 && pfa < 1.0)) return kStatusRefused;
  if (n == 0) n = 1;
  if (!(ref_snr_db > 0.0))
    ref_snr_db = 10.0 * std::log10(static_cast<double>(std::max<std::uint64_t>(64 * n, 2048)) - 1.0);
  c->alpha = det_ema_alpha(0.0, ref_snr_db);
  const double eta = det_threshold_noncoherent(pfa, n);
  const std::int64_t v = det_verify_count(pfa, 1e-3 * pfa);
  lockdet_init(&c->det, eta, eta, static_cast<std::uint32_t>(v), 2);
  c->n_looks = n;
  cfar_clear(c);
  return 0;
}

void cfar_configure_raw(cfar_looks* c, double up, double down, std::uint32_t n_up, std::uint32_t n_down,
                        std::uint64_t n, double alpha) {
  lockdet_init(&c->det, up, down, n_up, n_down);
  c->n_looks = n ? n : 1;
  c->alpha = alpha;
  cfar_clear(c);
}

// ---------------------------------------------------------------------------
// Block-averaged timing lock signal

bool timing_lock_look(timing_lock* t, const std::complex<float>& a, const std::complex<float>& b) {
  const double a2 = static_cast<double>(std::norm(a)), b2 = static_cast<double>(std::norm(b));
  t->sum = t->sum + 2.0 * (a2 - b2) / (a2 + 1e-12 + b2);
  t->looks += 1;
  if (t->looks < t->avgs) return false;
  t->lock_stat = t->sum / static_cast<double>(t->avgs);
  lockdet_update(&t->det, t->lock_stat);  // NaN counts as -infinity there
  t->sum = 0.0;
  t->looks = 0;
  return true;
}

int timing_lock_configure(timing_lock* t, double rolloff, double esno_min_db, double pfa, double pd) {
  if (!(pfa > 0.0 && pfa < 1.0 && pfa < pd && pd < 1.0)) return kStatusRefused;
  const double mu = (1.0 - std::exp(-0.275 * std::pow(10.0, esno_min_db / 10.0))) * (0.6 * rolloff + 0.26);
  const std::int64_t avgs = det_looks_gaussian(mu, kSymsyncLockStatVariance, pd, pfa);
  if (avgs <= 0) return kStatusRefused;
  const double thr = det_threshold_gaussian(mu, pd, pfa);
  t->avgs = static_cast<std::uint64_t>(avgs);
  t->sum = 0.0;
  t->looks = 0;
  lockdet_retune(&t->det, thr, thr, 1, 8);
  return 0;
}

}  // namespace tb
