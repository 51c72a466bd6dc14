#include "core/track/carrier_nda.hpp"

#include <new>

#include "core/common/numeric.hpp"
#include "core/track/carrier.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'C', 'N', 'D', 'A'};
constexpr std::uint16_t kVersion = 5;
constexpr std::size_t kPersisted = offsetof(carrier_nda, tlm);
enum { kProbeLock, kProbeE, kProbeFreq, kProbeLocked };

// Gains from (bn, zeta, t = 1), then scaled by 1/(2 pi) so the loop's output
// is in cycles per sample.
void derive_gains(carrier_nda* c) {
  loop_filter_configure(&c->lf, c->bn, c->zeta, 1.0);
  c->lf.kp = c->lf.kp * (1.0 / kTwoPi);
  c->lf.ki = c->lf.ki * (1.0 / kTwoPi);
}

void seed(carrier_nda* c) {
  lo_init(&c->nco, c->init_norm_freq);
  c->lf.integ = 0.0;
  c->corr = 0.0;
  c->lock = 0.0;
  c->last_error = 0.0;
  c->sum_re = c->sum_im = 0.0f;
  c->idx = 0;
  for (cf32& v : c->ring) v = {};
  lockdet_reset(&c->det);
}

bool geometry_ok(std::uint64_t sps, std::int64_t n, std::int64_t m) {
  return (m == 2 || m == 4 || m == 8) && sps != 0 && n > 0 && sps % static_cast<std::uint64_t>(n) == 0 &&
         sps / static_cast<std::uint64_t>(n) <= kNdaMaxWindow;
}

}  // namespace

carrier_nda* carrier_nda_create(double bn, double zeta, double init_norm_freq, std::uint64_t sps, std::int32_t n,
                                std::int32_t m) {
  if (!geometry_ok(sps, n, m)) return nullptr;
  carrier_nda* c = new (std::nothrow) carrier_nda{};
  if (!c) return nullptr;
  c->sps = sps;
  c->n = n;
  c->m = m;
  c->window = sps / static_cast<std::uint64_t>(n);
  c->inv_window = 1.0f / static_cast<float>(c->window);
  c->init_norm_freq = init_norm_freq;
  c->bn = bn;
  c->zeta = zeta;
  derive_gains(c);
  lockdet_init(&c->det, 0.5, 0.4, 64, 32);
  seed(c);
  return c;
}

void carrier_nda_destroy(carrier_nda* c) { delete c; }
void carrier_nda_reset(carrier_nda* c) { seed(c); }

void carrier_nda_steps(carrier_nda* c, const cf32* x, cf32* out, std::size_t n) {
  const float* table = lo_sine_table();
  const std::uint64_t window = c->window;
  const float inv = c->inv_window;
  const int m = c->m;
  const double kp = c->lf.kp, ki = c->lf.ki;
  std::uint32_t phase = c->nco.phase;
  const std::uint32_t inc = c->nco.phase_inc;
  double integ = c->lf.integ, corr = c->corr, lock = c->lock;
  float sr = c->sum_re, si = c->sum_im;
  std::uint64_t idx = c->idx;
  for (std::size_t i = 0; i < n; ++i) {
    float s, co;
    lo_sincos(table, phase, &s, &co);
    phase += inc + freq_to_inc(corr);
    const cf32 y = lo_derotate(co, s, x[i]);
    // The arm: a moving sum over the last L de-rotated samples.
    sr = (sr + y.real()) - c->ring[idx].real();
    si = (si + y.imag()) - c->ring[idx].imag();
    c->ring[idx] = y;
    if (++idx == window) idx = 0;
    float e, lock_in;
    mth_power({sr * inv, si * inv}, m, &e, &lock_in);
    lock = lock + 0.05 * (static_cast<double>(lock_in) - lock);
    lockdet_update(&c->det, lock);
    c->last_error = e;
    integ = integ + ki * e;
    corr = kp * e + integ;
    out[i] = y;
    if (c->tlm.ctx) {
      tlm_emit(c->tlm, kProbeLock, static_cast<float>(lock));
      tlm_emit(c->tlm, kProbeE, e);
      tlm_emit(c->tlm, kProbeFreq, static_cast<float>(c->init_norm_freq + integ));
      tlm_emit(c->tlm, kProbeLocked, c->det.locked ? 1.0f : 0.0f);
    }
  }
  c->nco.phase = phase;
  c->lf.integ = integ;
  c->corr = corr;
  c->lock = lock;
  c->sum_re = sr;
  c->sum_im = si;
  c->idx = idx;
}

void carrier_nda_configure_lock(carrier_nda* c, double up, double down, std::uint32_t n_up, std::uint32_t n_down) {
  lockdet_retune(&c->det, up, down, n_up, n_down);
}

void carrier_nda_set_bn(carrier_nda* c, double bn) {
  c->bn = bn;
  derive_gains(c);
}

void carrier_nda_set_norm_freq(carrier_nda* c, double f) {
  c->init_norm_freq = f;
  seed(c);
}

double carrier_nda_norm_freq(const carrier_nda* c) { return c->init_norm_freq + c->lf.integ; }

int carrier_nda_set_telemetry(carrier_nda* c, tb_tlm* ctx, const char* prefix, std::uint64_t decim) {
  return tlm_attach(&c->tlm, ctx, prefix, decim, kNdaProbes);
}

std::size_t carrier_nda_state_bytes(const carrier_nda*) { return kCarrierNdaBlobBytes; }

int carrier_nda_get_state(const carrier_nda* c, unsigned char* buf, std::size_t len) {
  return blob_put_image(buf, len, kMagic, kVersion, *c, kPersisted);
}

// The image carries the configuration; a geometry that would index outside
// the arm (or a window other than this object's) is refused, not restored.
int carrier_nda_set_state(carrier_nda* c, const unsigned char* buf, std::size_t len) {
  return blob_restore_image(c, buf, len, kMagic, kVersion, kPersisted, [c](carrier_nda& p) {
    if (!geometry_ok(p.sps, p.n, p.m) || p.window != c->window || p.idx >= p.window) return false;
    p.inv_window = c->inv_window;
    return true;
  });
}

}  // namespace tb
