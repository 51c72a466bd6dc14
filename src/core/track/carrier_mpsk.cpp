#include "core/track/carrier_mpsk.hpp"

#include <cmath>
#include <new>

#include "core/common/numeric.hpp"
#include "core/track/carrier.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'C', 'M', 'P', 'K'};
constexpr std::uint16_t kVersion = 1;

void seed(carrier_mpsk* c) {
  lo_init(&c->nco, c->init_norm_freq);
  c->lf.integ = static_cast<double>(c->tsamps) * kTwoPi * c->init_norm_freq;
  c->lock_metric = 0.0;
  c->last_error = 0.0;
  c->acc_i = c->acc_q = 0.0f;
  c->count = 0;
  c->prev_r = c->prev_v = 0.0f;
  c->prev_w = 0.0;
  c->prev_valid = 0;
}

// The per-dump update on prompt P = (pi, pq).
void dump(carrier_mpsk* c, float pi, float pq, const nudge_scale& ns) {
  const int m = static_cast<int>(c->m);
  const double rho = m == 4 ? kPi / 4.0 : 0.0;
  // The nearest constellation point: its angle from the sector of atan2.
  const long k = std::lround((std::atan2(static_cast<double>(pq), static_cast<double>(pi)) - rho) * m / kTwoPi) &
                 static_cast<long>(m - 1);
  const double alpha = static_cast<double>(k) * kTwoPi / m + rho;
  const float ca = static_cast<float>(std::cos(alpha)), sa = static_cast<float>(std::sin(alpha));
  const float v = pq * ca - pi * sa;  // Im(P conj a)
  const float r = pi * ca + pq * sa;  // Re(P conj a)
  const float w = prompt_magnitude(pi, pq);
  const float e = v / w;
  c->last_error = e;
  if (c->fll_gain > 0.0 && c->prev_valid) {
    const float cross = c->prev_r * v - c->prev_v * r;
    c->lf.integ = c->lf.integ + c->fll_gain * static_cast<double>(cross) / (c->prev_w * static_cast<double>(w));
  }
  c->prev_r = r;
  c->prev_v = v;
  c->prev_w = w;
  c->prev_valid = 1;
  c->lf.integ = c->lf.integ + c->lf.ki * e;
  lo_set_freq(&c->nco, c->lf.integ / (kTwoPi * static_cast<double>(c->tsamps)));
  c->nco.phase += nudge_inc(e, ns);
  c->lock_metric = c->lock_metric + 0.1 * (static_cast<double>(r / w) - c->lock_metric);
}

}  // namespace

carrier_mpsk* carrier_mpsk_create(double bn, double zeta, double init_norm_freq, std::uint64_t tsamps, double bn_fll,
                                  std::int32_t m) {
  if (m != 2 && m != 4 && m != 8) return nullptr;
  carrier_mpsk* c = new (std::nothrow) carrier_mpsk{};
  if (!c) return nullptr;
  dump_loop_init(c, bn, zeta, init_norm_freq, tsamps, bn_fll);
  c->m = static_cast<std::uint32_t>(m);
  seed(c);
  return c;
}

void carrier_mpsk_destroy(carrier_mpsk* c) { delete c; }
void carrier_mpsk_reset(carrier_mpsk* c) { seed(c); }

std::size_t carrier_mpsk_steps(carrier_mpsk* c, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  carrier_mpsk r = *c;  // a local copy: its state stays in registers (see costas_steps)
  const nudge_scale ns(r.lf.kp);
  const std::size_t k = derotate_dump(r.nco, r.acc_i, r.acc_q, r.count, r.tsamps, x, n, out, cap,
                                      [&r, &ns](float pi, float pq, float, float) { dump(&r, pi, pq, ns); });
  *c = r;
  return k;
}

void carrier_mpsk_configure(carrier_mpsk* c, double bn, double zeta) { dump_loop_configure(c, bn, zeta); }
void carrier_mpsk_set_bn(carrier_mpsk* c, double bn) { carrier_mpsk_configure(c, bn, c->zeta); }
void carrier_mpsk_set_norm_freq(carrier_mpsk* c, double f) {
  c->init_norm_freq = f;
  seed(c);
}
void carrier_mpsk_set_bn_fll(carrier_mpsk* c, double bn_fll) { dump_loop_set_fll(c, bn_fll); }

std::size_t carrier_mpsk_state_bytes(const carrier_mpsk*) { return kCarrierMpskBlobBytes; }

int carrier_mpsk_get_state(const carrier_mpsk* c, unsigned char* buf, std::size_t len) {
  return blob_put_image(buf, len, kMagic, kVersion, *c);
}

// The whole record is restored; an order or symbol length no object could
// have (which would slice outside the constellation or never dump) is
// refused.
int carrier_mpsk_set_state(carrier_mpsk* c, const unsigned char* buf, std::size_t len) {
  return blob_restore_image(c, buf, len, kMagic, kVersion, sizeof(carrier_mpsk), [](const carrier_mpsk& p) {
    return (p.m == 2 || p.m == 4 || p.m == 8) && p.tsamps != 0;
  });
}

}  // namespace tb
