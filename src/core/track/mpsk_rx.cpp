#include "core/track/mpsk_rx.hpp"

#include <cmath>
#include <cstring>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/numeric.hpp"
#include "core/common/status.hpp"
#include "core/track/carrier.hpp"
#include "core/track/ratesync.hpp"

namespace tb {

namespace {

constexpr char kMagicC[4] = {'M', 'P', 'S', 'K'};
constexpr char kMagicR[4] = {'M', 'P', 'S', 'R'};
constexpr char kSectionMagic[4] = {'M', 'R', 'X', 'L'};
// The section also carries the LO (phase and centre frequency), and the
// real-input blob the halfband's state, so a restore continues exactly.
constexpr std::uint16_t kVersionC = 7, kVersionR = 3, kSectionVersion = 8;
constexpr std::size_t kSectionBytes = 96;
constexpr std::size_t kBlock = 4096;            // inputs per internal block
const double kInvSqrt2 = 1.0 / std::sqrt(2.0);

enum {
  kProbeLock, kProbeCarE, kProbeCarFreq, kProbeCarNco, kProbeCarLocked, kProbeSymI, kProbeSymQ,
  kProbeSync, kProbeAgc = kProbeSync + 6
};

bool pow2(std::uint64_t v) { return v >= 2 && (v & (v - 1)) == 0; }

// The derivations and refusals of the receiver's parameters; false when
// refused.  Fills the values in use.
bool derive(mpsk_rx_config& c) {
  if (c.m != 2 && c.m != 4 && c.m != 8) return false;
  if (c.pulse != RC_PULSE_IANDD && c.pulse != RC_PULSE_RRC) return false;
  if (!std::isfinite(c.sps) || !(c.sps > 0.0) || !std::isfinite(c.init_norm_freq)) return false;
  if (c.m_out == 0) {
    const double w = c.real ? std::nextafter(c.sps / 2.0, -INFINITY) / 2.0 : c.sps / 2.0;
    const double a = std::floor(w);
    c.m_out = a >= 4.0 ? 8u : (a >= 1.0 ? static_cast<std::uint32_t>(2.0 * a) : 0u);
  }
  if (c.m_out < 2 || c.m_out > 8 || c.m_out % 2 != 0) return false;
  if (c.num_phases == 1) return false;
  if (c.zeta == 0.0) c.zeta = kInvSqrt2;
  if (!(c.zeta > 0.0) || !std::isfinite(c.zeta)) return false;
  if (!(c.bn_timing >= 0.0) || !(c.bn_carrier >= 0.0) || !std::isfinite(c.bn_timing) ||
      !std::isfinite(c.bn_carrier))
    return false;
  if (c.rrc_span <= 0 || !(c.rrc_beta >= 0.0 && c.rrc_beta <= 1.0)) return false;
  const double mo = static_cast<double>(c.m_out);
  if (c.real ? !(c.sps > 2.0 * mo) : !(c.sps >= mo)) return false;
  if (c.bn_agc_ratio == 0.0) c.bn_agc_ratio = 0.05;
  if (!(c.bn_agc_ratio > 0.0 && c.bn_agc_ratio < 1.0)) return false;
  if (c.num_phases == 0) c.num_phases = 64;
  if (!pow2(c.num_phases)) return false;
  if (c.lock_thresh == 0.0) c.lock_thresh = 0.4999;
  if (!std::isfinite(c.lock_thresh)) return false;
  return true;
}

// The LO word for a centre frequency: the complex receiver mixes by -f; the
// real one runs after the halfband at half the input rate, where the IF sits
// at 2f - 0.5 cycles per sample.
double lo_freq(const mpsk_rx* r, double f) { return r->cfg.real ? -0.5 - 2.0 * f : -f; }

void seed(mpsk_rx* r) {
  r->osc.phase = 0;
  rc_reset(r->cascade);
  if (r->hb) hbr2_reset(r->hb);
  timing_loop_reset(&r->timing);
  r->carrier.integ = 0.0;
  r->corr = 0.0;
  r->corr_inc = 0;
  r->last_error = 0.0;
  r->lock = 0.0;
  lockdet_reset(&r->det);
  r->symbols = 0;
  r->lock_time = -1;
  r->diff_valid = r->diff_prev = 0;
}

void emit_telemetry(mpsk_rx* r, cf32 s) {
  tb_tlm* ctx = r->tlm.ctx;
  const std::uint32_t* idx = r->tlm.idx;
  tlm_emit(ctx, idx[kProbeLock], static_cast<float>(r->lock));
  tlm_emit(ctx, idx[kProbeCarE], static_cast<float>(r->last_error));
  tlm_emit(ctx, idx[kProbeCarFreq], static_cast<float>(r->carrier.integ / r->two_pi_sps));
  tlm_emit(ctx, idx[kProbeCarNco], static_cast<float>(-r->corr));
  tlm_emit(ctx, idx[kProbeCarLocked], r->det.locked ? 1.0f : 0.0f);
  tlm_emit(ctx, idx[kProbeSymI], s.real());
  tlm_emit(ctx, idx[kProbeSymQ], s.imag());
  timing_loop_emit(&r->timing, r->cascade, ctx, idx + kProbeSync);
}

// The carrier loop on one on-time sample y; returns the output symbol.
inline cf32 carrier_update(mpsk_rx* r, cf32 y) {
  float e, lock_in;
  mth_power(y, r->cfg.m, &e, &lock_in);
  r->lock = r->lock + 0.05 * (static_cast<double>(lock_in) - r->lock);
  if (lockdet_update(&r->det, r->lock) && r->lock_time < 0) r->lock_time = static_cast<std::int64_t>(r->symbols);
  r->last_error = e;
  const double ed = static_cast<double>(e);
  r->carrier.integ = r->carrier.integ + r->carrier.ki * ed;
  r->corr = -(r->carrier.kp * ed + r->carrier.integ) / r->two_pi_sps;
  r->corr_inc = freq_to_inc(r->corr);
  r->symbols += 1;
  const float c = r->rot_c, s = r->rot_s;
  return {y.real() * c - y.imag() * s, y.real() * s + y.imag() * c};
}

// The complex path over n mixed-in samples; symbols written while they fit.
std::size_t run(mpsk_rx* r, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  const float* table = lo_sine_table();
  timing_loop* t = &r->timing;
  std::size_t k = 0;
  cf32 y[kTimingPushOutputs];
  for (std::size_t i = 0; i < n; ++i) {
    float s, c;
    lo_sincos(table, r->osc.phase, &s, &c);
    r->osc.phase += r->osc.phase_inc + r->corr_inc;
    const cf32 z = lo_rotate(c, s, x[i]);
    const std::size_t got = rc_push(r->cascade, z, t->ctrl, y, kTimingPushOutputs);
    cf32 sym{};
    if (!timing_loop_take(t, y, got, &sym, [r](const cf32& v) { return carrier_update(r, v); })) continue;
    if (k < cap) out[k++] = sym;
    if (r->tlm.ctx) emit_telemetry(r, sym);
  }
  return k;
}

// The real path: the halfband block by block (it sits before every loop),
// then the complex path.
std::size_t run_real(mpsk_rx* r, const float* x, std::size_t n, cf32* out, std::size_t cap) {
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; i += kBlock) {
    const std::size_t m = n - i < kBlock ? n - i : kBlock;
    const std::size_t h = hbr2_execute(r->hb, x + i, m, r->half.data(), r->half.size());
    k += run(r, r->half.data(), h, out + k, cap - k);
  }
  return k;
}

template <class S, std::size_t (*Run)(mpsk_rx*, const S*, std::size_t, cf32*, std::size_t)>
std::size_t bits(mpsk_rx* r, const S* x, std::size_t n, std::uint8_t* out, std::size_t cap) {
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; i += kBlock) {
    const std::size_t m = n - i < kBlock ? n - i : kBlock;
    const std::size_t got = Run(r, x + i, m, r->syms.data(), r->syms.size());
    k += mpsk_rx_demap(r, r->syms.data(), got, out + k, cap - k);
  }
  return k;
}

std::uint32_t log2m(int m) { return m == 2 ? 1u : (m == 4 ? 2u : 3u); }

}  // namespace

mpsk_rx::~mpsk_rx() {
  rc_destroy(cascade);
  hbr2_destroy(hb);
}

mpsk_rx* mpsk_rx_create(const mpsk_rx_config& cfg_in) {
  mpsk_rx_config c = cfg_in;
  if (!derive(c)) return nullptr;
  mpsk_rx* r = new (std::nothrow) mpsk_rx;
  if (!r) return nullptr;
  r->cfg = c;
  r->sps_eff = c.real ? c.sps / 2.0 : c.sps;
  r->two_pi_sps = kTwoPi * r->sps_eff;
  r->lock_drop = 0.8 * c.lock_thresh;
  if (c.m == 4) {
    r->rot_c = static_cast<float>(std::cos(kPi / 4.0));
    r->rot_s = static_cast<float>(std::sin(kPi / 4.0));
  }
  try {
    r->syms.resize(kBlock);
    if (c.real) r->half.resize(kBlock / 2 + 2);
  } catch (...) {
    delete r;
    return nullptr;
  }
  if (c.real && !(r->hb = hbr2_create(kHalfbandTaps, kHalfbandTable))) {
    delete r;
    return nullptr;
  }
  const double mo = static_cast<double>(c.m_out);
  r->cascade = rc_create_matched(mo / r->sps_eff, 1, c.pulse, c.rrc_beta, static_cast<std::uint64_t>(c.rrc_span), mo,
                                 c.num_phases);
  if (!r->cascade || !rc_terminal(r->cascade)) {
    delete r;
    return nullptr;
  }
  lo_init(&r->osc, lo_freq(r, c.init_norm_freq));
  timing_loop_bind(&r->timing, r->cascade, c.sps, c.m_out, c.bn_timing, c.zeta, TED_GARDNER, c.pulse, c.rrc_beta,
                   static_cast<std::uint64_t>(c.rrc_span));
  loop_filter_init(&r->carrier, c.bn_carrier, c.zeta, 1.0);
  lockdet_init(&r->det, c.lock_thresh, r->lock_drop, 8, 32);
  // The AGC levels the stream into the matched filter, at a bandwidth a
  // fraction of the slower loop's, quoted in the pre-terminal stream's units.
  const double b = c.bn_agc_ratio * (c.bn_carrier < c.bn_timing ? c.bn_carrier : c.bn_timing);
  if (c.agc && b > 0.0) {
    if (!rc_attach_agc(r->cascade, r->cascade->mf_gain_db, b / r->cascade->mf_sps, 0.01, 8.0, 120.0, 8)) {
      delete r;
      return nullptr;
    }
  }
  seed(r);
  return r;
}

void mpsk_rx_destroy(mpsk_rx* r) { delete r; }
void mpsk_rx_reset(mpsk_rx* r) { seed(r); }

std::size_t mpsk_rx_steps(mpsk_rx* r, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  return run(r, x, n, out, cap);
}
std::size_t mpsk_rx_steps_r(mpsk_rx* r, const float* x, std::size_t n, cf32* out, std::size_t cap) {
  return run_real(r, x, n, out, cap);
}
std::size_t mpsk_rx_bits(mpsk_rx* r, const cf32* x, std::size_t n, std::uint8_t* out, std::size_t cap) {
  return bits<cf32, run>(r, x, n, out, cap);
}
std::size_t mpsk_rx_bits_r(mpsk_rx* r, const float* x, std::size_t n, std::uint8_t* out, std::size_t cap) {
  return bits<float, run_real>(r, x, n, out, cap);
}
std::size_t mpsk_rx_bits_max_out(const mpsk_rx* r, std::size_t n) { return n * log2m(r->cfg.m); }

std::size_t mpsk_rx_demap(mpsk_rx* r, const cf32* s, std::size_t n, std::uint8_t* out, std::size_t cap) {
  const std::uint32_t m = static_cast<std::uint32_t>(r->cfg.m), nb = log2m(r->cfg.m);
  const double rho = r->cfg.m == 4 ? kPi / 4.0 : 0.0;
  const double scale = static_cast<double>(m) / kTwoPi;
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = (std::atan2(static_cast<double>(s[i].imag()), static_cast<double>(s[i].real())) - rho) * scale;
    const std::uint32_t q = std::isfinite(a) ? static_cast<std::uint32_t>(std::lround(a)) & (m - 1) : 0u;
    std::uint32_t label = q ^ (q >> 1);
    if (r->cfg.differential) {
      std::uint32_t b = label;  // inverse Gray
      for (std::uint32_t sh = label >> 1; sh; sh >>= 1) b ^= sh;
      const std::uint32_t d = (b + m - static_cast<std::uint32_t>(r->diff_prev)) % m;
      r->diff_prev = b;
      r->diff_valid = 1;
      label = d ^ (d >> 1);
    }
    for (std::uint32_t j = 0; j < nb && k < cap; ++j) out[k++] = static_cast<std::uint8_t>((label >> j) & 1u);
  }
  return k;
}

int mpsk_rx_set_telemetry(mpsk_rx* r, tb_tlm* ctx, const char* prefix, std::uint64_t decim) {
  agc* a = r->cascade->gain;
  const std::size_t n = a ? kMpskProbesMax : kMpskProbesMax - 2;
  const int rc = tlm_attach(ctx, prefix, decim, kMpskProbes, r->tlm.idx, n, &r->tlm.ctx);
  if (rc != 0) return rc;
  if (a) {
    a->tlm = r->tlm.ctx;
    a->ch_gain = a->tlm ? static_cast<std::int32_t>(r->tlm.idx[kProbeAgc]) : -1;
    a->ch_power = a->tlm ? static_cast<std::int32_t>(r->tlm.idx[kProbeAgc + 1]) : -1;
  }
  return 0;
}

void mpsk_rx_set_norm_freq(mpsk_rx* r, double f) {
  r->cfg.init_norm_freq = f;
  lo_set_freq(&r->osc, lo_freq(r, f));
  r->carrier.integ = 0.0;
  r->corr = 0.0;
  r->corr_inc = 0;
}

double mpsk_rx_norm_freq(const mpsk_rx* r) {
  const double k = r->cfg.real ? 0.5 : 1.0;
  return r->cfg.init_norm_freq + k * r->carrier.integ / r->two_pi_sps;
}

double mpsk_rx_agc_gain_db(const mpsk_rx* r) { return r->cascade->gain ? r->cascade->gain->gain_db : 0.0; }

std::size_t mpsk_rx_state_bytes(const mpsk_rx* r) {
  return kBlobHeader + rc_state_bytes(r->cascade) + kSectionBytes + kTimingSectionBytes + kLoopFilterBlobBytes +
         (r->hb ? hbr2_state_bytes(r->hb) : 0);
}

int mpsk_rx_get_state(const mpsk_rx* r, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, r->cfg.real ? kMagicR : kMagicC, r->cfg.real ? kVersionR : kVersionC,
                            mpsk_rx_state_bytes(r));
  w.child(rc_state_bytes(r->cascade), [r](unsigned char* p, std::size_t n) { return rc_get_state(r->cascade, p, n); });
  w.child(kSectionBytes, [r](unsigned char* p, std::size_t n) {
    BlobWriter s = blob_begin(p, n, kSectionMagic, kSectionVersion, kSectionBytes);
    s.put<double>(r->corr);
    s.put<double>(r->last_error);
    s.put<double>(r->lock);
    s.put<std::uint64_t>(r->symbols);
    s.put<std::uint64_t>(r->diff_valid);
    s.put<std::uint64_t>(r->diff_prev);
    s.put<std::int64_t>(r->lock_time);
    s.put<std::uint32_t>(r->det.count);
    s.put<std::uint32_t>(r->det.locked);
    s.put<double>(r->cfg.init_norm_freq);
    s.put<std::uint32_t>(r->osc.phase);
    s.put<std::uint32_t>(0);
    return s.status();
  });
  w.child(kTimingSectionBytes, [r](unsigned char* p, std::size_t n) { return timing_loop_get_state(&r->timing, p, n); });
  w.child(kLoopFilterBlobBytes, [r](unsigned char* p, std::size_t n) { return loop_filter_get_state(&r->carrier, p, n); });
  if (r->hb) w.child(hbr2_state_bytes(r->hb), [r](unsigned char* p, std::size_t n) { return hbr2_get_state(r->hb, p, n); });
  return w.status();
}

int mpsk_rx_set_state(mpsk_rx* r, const unsigned char* buf, std::size_t len) {
  BlobReader rd = blob_open(buf, len, r->cfg.real ? kMagicR : kMagicC, r->cfg.real ? kVersionR : kVersionC,
                            mpsk_rx_state_bytes(r));
  const BlobSpan casc = rd.child(), sec = rd.child(), loop = rd.child(), carrier = rd.child();
  const BlobSpan half = r->hb ? rd.child() : BlobSpan{};
  if (!rd.ok() || rd.left() != 0) return kStatusRefused;
  BlobReader s = blob_open(sec, kSectionMagic, kSectionVersion, kSectionBytes);
  const double corr = s.get<double>(), last_error = s.get<double>(), lock = s.get<double>();
  const std::uint64_t symbols = s.get<std::uint64_t>(), diff_valid = s.get<std::uint64_t>(),
                      diff_prev = s.get<std::uint64_t>();
  const std::int64_t lock_time = s.get<std::int64_t>();
  const std::uint32_t det_count = s.get<std::uint32_t>(), det_locked = s.get<std::uint32_t>();
  const double f0 = s.get<double>();
  const std::uint32_t phase = s.get<std::uint32_t>();
  s.get<std::uint32_t>();
  if (!s.ok() || diff_valid > 1 || diff_prev >= static_cast<std::uint64_t>(r->cfg.m) || det_locked > 1 ||
      lock_time < -1 || !std::isfinite(f0))
    return kStatusRefused;
  timing_loop tl;
  loop_filter lf = r->carrier;
  if (rc_check_state(r->cascade, casc.p, casc.n) != 0 ||
      timing_loop_check_state(&r->timing, loop.p, loop.n, &tl) != 0 ||
      loop_filter_set_state(&lf, carrier.p, carrier.n) != 0 ||
      (r->hb && hbr2_check_state(r->hb, half.p, half.n) != 0))
    return kStatusRefused;
  rc_set_state(r->cascade, casc.p, casc.n);
  if (r->hb) hbr2_set_state(r->hb, half.p, half.n);
  r->timing = tl;
  r->carrier = lf;
  r->corr = corr;
  r->corr_inc = freq_to_inc(corr);
  r->last_error = last_error;
  r->lock = lock;
  r->symbols = symbols;
  r->diff_valid = diff_valid;
  r->diff_prev = diff_prev;
  r->lock_time = lock_time;
  r->det.count = det_count;
  r->det.locked = det_locked;
  r->cfg.init_norm_freq = f0;
  lo_set_freq(&r->osc, lo_freq(r, f0));
  r->osc.phase = phase;
  return 0;
}

}  // namespace tb
