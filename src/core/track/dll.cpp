#include "core/track/dll.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/numeric.hpp"
#include "core/common/status.hpp"
#include "core/lox/lo.hpp"
#include "platform/memory.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'D', 'L', 'L', ' '};
constexpr std::uint16_t kVersion = 13;
constexpr double kTwo32 = 4294967296.0;
constexpr double kPowAlpha = 0.03125;  // the hypothesis power EMA: about 32 symbols
enum { kProbeE, kProbeRate, kProbeLock, kProbeLocked };

inline cf32 cadd(cf32 a, cf32 b) { return {a.real() + b.real(), a.imag() + b.imag()}; }
inline cf32 cscale(cf32 a, float s) { return {a.real() * s, a.imag() * s}; }

// floor(frac(v) * 2^32), saturated: <= 0 gives 0, >= 2^32 gives all ones.
inline std::uint32_t phase_word(double v) { return freq_to_inc(v); }

// The replica at code position d in [0, N): flat over the middle of each
// chip, a linear ramp over the half chip centred on each chip boundary.
inline float replica(const float* c, std::uint64_t n2, double d) {
  double u = 2.0 * d - 0.5;
  if (u < 0.0) u += static_cast<double>(n2);
  std::uint64_t k = static_cast<std::uint64_t>(u);
  if (k >= n2) k = n2 - 1;
  const std::uint64_t a = k >> 1;
  const std::uint64_t j = k + 1 >= n2 ? 0 : (k + 1) >> 1;
  const double ca = c[a];
  return static_cast<float>(ca + (static_cast<double>(c[j]) - ca) * (u - static_cast<double>(k)));
}

// A position wrapped into [0, N).
inline double wrap_pos(double x, double n) {
  if (x >= n)
    x -= n;
  else if (x < 0.0)
    x += n;
  if (!(x >= 0.0 && x < n)) {  // far outside (a spacing of many periods), or NaN
    x = std::fmod(x, n);
    if (x < 0.0) x += n;
    if (!(x >= 0.0 && x < n)) x = 0.0;
  }
  return x;
}

void draw_offset(dll* d) {
  const std::uint64_t g = d->guard, r = d->n - 2 * g;
  if (2 * g <= d->n && r != 0) {
    std::uint32_t x = d->rng;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    d->rng = x;
    d->offset = g + (x < r ? x : x % r);
  } else {
    d->offset = 0;
  }
}

void recompute_delta(dll* d, double e) {
  const double f = static_cast<double>(d->f), n = static_cast<double>(d->n);
  d->delta = phase_word((1.0 + d->rate_aid) / f + (d->lf.kp * e / (f * n) + d->lf.integ / f) * d->scale);
}

// The normalised early-minus-late power discriminator and the loop update.
void steer(dll* d, cf32 e_sum, cf32 p_sum, cf32 l_sum) {
  const double me = hypot_f(e_sum.real(), e_sum.imag()), mp = hypot_f(p_sum.real(), p_sum.imag()),
               ml = hypot_f(l_sum.real(), l_sum.imag());
  double e = 0.5 * (me * me - ml * ml) / (mp * mp + 1e-12);
  e = e < -1.0 ? -1.0 : (e > 1.0 ? 1.0 : e);  // NaN passes through
  d->last_error = e;
  d->err_sum += e;
  d->err_count += 1;
  if (d->held) return;
  // The integrator is the rate offset (periods per period, so chips per
  // period over N), while e is in chips: its step is ki e / N, which makes
  // the loop the PI loop its gains were derived for, at any code length.
  d->lf.integ = d->lf.integ + d->lf.ki * e / static_cast<double>(d->n);
  d->code_rate = 1.0 + d->lf.integ * d->scale;
  recompute_delta(d, e);
}

void clear_accs(dll* d) { d->ae = d->ap = d->al = d->ao = cf32{}; }

void emit_tlm(dll* d) {
  tlm_emit(d->tlm, kProbeE, static_cast<float>(d->last_error));
  tlm_emit(d->tlm, kProbeRate, static_cast<float>(d->code_rate));
  tlm_emit(d->tlm, kProbeLock, static_cast<float>(d->cfar.lock_stat));
  tlm_emit(d->tlm, kProbeLocked, d->cfar.det.locked ? 1.0f : 0.0f);
}

struct Out {
  cf32* p;
  std::size_t cap, k;
  void put(cf32 v) {
    if (k < cap) p[k++] = v;
  }
};

// S = 1: one epoch, one discriminator, one prompt.
void close_epoch(dll* d, Out& out) {
  steer(d, d->ae, d->ap, d->al);
  const float inv = 1.0f / static_cast<float>(d->f);
  cfar_look(&d->cfar, cscale(d->ap, inv), cscale(d->ao, inv));
  out.put(cscale(d->ap, inv));
  clear_accs(d);
  draw_offset(d);
  emit_tlm(d);
}

inline bool on_boundary(double period, std::uint64_t s, std::uint64_t h) {
  const double j = floor_exact((static_cast<double>(s) - static_cast<double>(h)) / period + 0.5);
  return j >= 0.0 && floor_exact(static_cast<double>(h) + 0.5 + j * period) == static_cast<double>(s);
}

// Symbol-period mode: one closed (scaled) partial into the boundary search.
void symbol_partial(dll* d, cf32 p, cf32 o, cf32 e, cf32 l) {
  const std::uint64_t mask = d->ring - 1, n = d->npart;
  d->rp[n & mask] = p;
  d->ro[n & mask] = o;
  d->re[n & mask] = e;
  d->rl[n & mask] = l;
  d->npart = n + 1;
  if (n + 1 < d->win) return;
  const std::uint64_t s = n + 1 - d->win;
  cf32 sp{}, so{}, se{}, sl{};
  for (std::uint64_t i = s; i <= n; ++i) {
    sp = cadd(sp, d->rp[i & mask]);
    so = cadd(so, d->ro[i & mask]);
    se = cadd(se, d->re[i & mask]);
    sl = cadd(sl, d->rl[i & mask]);
  }
  const double power = static_cast<double>(sp.real()) * sp.real() + static_cast<double>(sp.imag()) * sp.imag();
  for (std::uint64_t h = 0; h < d->hyps; ++h) {
    if (!on_boundary(d->period, s, h)) continue;
    d->pow[h] = d->pow[h] + kPowAlpha * (power - d->pow[h]);
    if (d->pow[h] > d->pow[d->best]) d->best = h;
  }
  if (!on_boundary(d->period, s, d->best) || (d->used && s < d->last_end)) return;
  d->used = 1;
  d->last_end = n + 1;
  cfar_look(&d->cfar, sp, so);
  steer(d, se, sp, sl);
}

// S >= 2: partial k closes; its scaled sums are a look (or go to the
// symbol search), its raw prompt, early and late sums are kept.
void close_partial(dll* d) {
  const std::uint64_t k = d->part;
  if (k >= d->segs) return;
  const float inv = static_cast<float>(static_cast<double>(d->segs) / static_cast<double>(d->f));
  if (d->period > 0.0)
    symbol_partial(d, cscale(d->ap, inv), cscale(d->ao, inv), cscale(d->ae, inv), cscale(d->al, inv));
  else
    cfar_look(&d->cfar, cscale(d->ap, inv), cscale(d->ao, inv));
  d->cur_p[k] = d->ap;
  d->cur_e[k] = d->ae;
  d->cur_l[k] = d->al;
  clear_accs(d);
  d->part = k + 1;
}

void epoch_end(dll* d, Out& out) {
  const std::uint64_t s_n = d->segs;
  // Prefix sums of this epoch: T[j] = partials 0..j.
  cf32 *prefix_p = d->pre_p.data(), *prefix_e = d->pre_e.data(), *prefix_l = d->pre_l.data();
  cf32 rp{}, re{}, rl{};
  for (std::uint64_t j = 0; j < s_n; ++j) {
    rp = cadd(rp, d->cur_p[j]);
    re = cadd(re, d->cur_e[j]);
    rl = cadd(rl, d->cur_l[j]);
    prefix_p[j] = rp;
    prefix_e[j] = re;
    prefix_l[j] = rl;
  }
  // Look-back: the aligned window, then windows starting w partials into
  // the previous epoch; a later candidate wins only when strictly larger.
  cf32 wp = prefix_p[s_n - 1], we = prefix_e[s_n - 1], wl = prefix_l[s_n - 1];
  float best = hypot_f(wp.real(), wp.imag());
  if (d->have_prev) {
    for (std::uint64_t w = s_n - 1; w >= 1; --w) {
      const cf32 cand = cadd(d->suf_p[w - 1], prefix_p[s_n - w - 1]);
      const float mag = hypot_f(cand.real(), cand.imag());
      if (mag > best) {
        best = mag;
        wp = cand;
        we = cadd(d->suf_e[w - 1], prefix_e[s_n - w - 1]);
        wl = cadd(d->suf_l[w - 1], prefix_l[s_n - w - 1]);
      }
    }
  }
  if (d->period <= 0.0) steer(d, we, wp, wl);
  // The partials, normalised by the winning window's magnitude.
  const double fs = static_cast<double>(d->f) / static_cast<double>(s_n);
  const double m = static_cast<double>(best) / static_cast<double>(d->f);
  const float g = static_cast<float>(1.0 / (m > 0.0 ? fs * m : fs));
  for (std::uint64_t j = 0; j < s_n; ++j) out.put(cscale(d->cur_p[j], g));
  // Suffix sums (last 1, 2, ... S partials) for the next epoch's look-back.
  cf32 sp{}, se{}, sl{};
  for (std::uint64_t w = 1; w <= s_n; ++w) {
    sp = cadd(sp, d->cur_p[s_n - w]);
    se = cadd(se, d->cur_e[s_n - w]);
    sl = cadd(sl, d->cur_l[s_n - w]);
    d->suf_p[w - 1] = sp;
    d->suf_e[w - 1] = se;
    d->suf_l[w - 1] = sl;
  }
  d->have_prev = 1;
  d->part = 0;
  d->put_forward = 0;
  draw_offset(d);
  emit_tlm(d);
}

void seed(dll* d) {
  const double n = static_cast<double>(d->n);
  d->phi = phase_word(d->init_chip / n);
  d->delta = phase_word(1.0 / static_cast<double>(d->f));
  d->code_phase = d->init_chip;
  d->code_rate = 1.0;
  d->last_error = 0.0;
  d->err_sum = 0.0;
  d->err_count = 0;
  clear_accs(d);
  d->put_forward = d->put_back = 0;
  d->part = 0;
  d->have_prev = 0;
  for (auto* v : {&d->cur_p, &d->cur_e, &d->cur_l, &d->suf_p, &d->suf_e, &d->suf_l})
    for (cf32& c : *v) c = {};
  d->npart = d->best = d->last_end = 0;
  d->used = 0;
  for (auto* v : {&d->rp, &d->ro, &d->re, &d->rl})
    for (cf32& c : *v) c = {};
  for (double& p : d->pow) p = 0.0;
  cfar_clear(&d->cfar);
  d->lf.integ = 0.0;
  d->rng = static_cast<std::uint32_t>(d->n) ^ 0x2545F491u;
  draw_offset(d);
}

}  // namespace

dll* dll_create(const std::uint8_t* code, std::size_t n, std::uint64_t sps, double init_chip, double bn, double zeta,
                double spacing, std::uint64_t segments) {
  if (code == nullptr || n == 0 || segments == 0) return nullptr;
  if (sps == 0) sps = 1;
  if (sps > std::numeric_limits<std::uint64_t>::max() / n || segments > (std::uint64_t{1} << 32) ||
      !platform::fits_in_memory(n, sizeof(float), 6 * segments * sizeof(cf32)))
    return nullptr;
  try {
    auto d = std::make_unique<dll>();
    d->chips.resize(n);
    for (std::size_t i = 0; i < n; ++i) d->chips[i] = (code[i] & 1u) ? -1.0f : 1.0f;
    d->n = n;
    d->sps = sps;
    d->f = sps * n;
    d->segs = segments;
    d->spacing = spacing;
    d->guard = static_cast<std::uint64_t>(std::max(0.0, std::floor(spacing + 2.0 + 0.999)));
    if (!(d->guard <= n)) d->guard = n;  // also a NaN spacing
    d->init_chip = init_chip;
    loop_filter_init(&d->lf, bn, zeta, 1.0);
    if (segments >= 2)
      for (auto* v : {&d->cur_p, &d->cur_e, &d->cur_l, &d->suf_p, &d->suf_e, &d->suf_l, &d->pre_p, &d->pre_e, &d->pre_l})
        v->assign(segments, cf32{});
    if (cfar_configure(&d->cfar, 1e-3, 20, 0.0) != 0) return nullptr;
    seed(d.get());
    return d.release();
  } catch (...) {
    return nullptr;
  }
}

void dll_destroy(dll* d) { delete d; }
void dll_reset(dll* d) { seed(d); }

std::size_t dll_steps(dll* d, const cf32* x, std::size_t count, cf32* out_buf, std::size_t cap) {
  Out out{out_buf, cap, 0};
  const float* c = d->chips.data();
  const std::uint64_t n2 = 2 * d->n;
  const double n = static_cast<double>(d->n), kn = n * 0x1p-32;
  const double spacing = d->spacing;
  const bool multi = d->segs >= 2;
  const double part_len = n / static_cast<double>(d->segs);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t mid = d->phi + (d->delta >> 1);
    const double p = static_cast<double>(mid) * kn;
    const cf32 v = x[i];
    const float rp = replica(c, n2, p);
    const float re = replica(c, n2, wrap_pos(p + spacing, n));
    const float rl = replica(c, n2, wrap_pos(p - spacing, n));
    const float ro = replica(c, n2, wrap_pos(static_cast<double>(d->offset) + p, n));
    d->ap = cadd(d->ap, cscale(v, rp));
    d->ae = cadd(d->ae, cscale(v, re));
    d->al = cadd(d->al, cscale(v, rl));
    d->ao = cadd(d->ao, cscale(v, ro));
    const std::uint32_t old = d->phi;
    d->phi += d->delta;
    const bool wrapped = d->phi < old;
    d->code_phase = static_cast<double>(d->phi) * kn;
    if (!multi) {
      if (d->put_forward) {
        d->put_forward = 0;
        close_epoch(d, out);
      } else if (wrapped) {
        if (d->put_back) {
          d->put_back = 0;
          clear_accs(d);
        } else {
          close_epoch(d, out);
        }
      }
      continue;
    }
    if (d->put_forward) {
      while (d->part < d->segs) close_partial(d);
      epoch_end(d, out);
    } else if (wrapped) {
      if (d->put_back) {
        d->put_back = 0;
        clear_accs(d);
        d->part = 0;
      } else {
        while (d->part < d->segs) close_partial(d);
        epoch_end(d, out);
      }
    } else {
      while (d->part + 1 < d->segs && d->code_phase >= static_cast<double>(d->part + 1) * part_len) close_partial(d);
    }
  }
  return out.k;
}

void dll_configure(dll* d, double bn, double zeta) { loop_filter_configure(&d->lf, bn, zeta, d->lf.t); }
void dll_set_bn(dll* d, double bn) { dll_configure(d, bn, d->lf.zeta); }

void dll_set_rate_aid(dll* d, double a) {
  d->rate_aid = a;
  if (d->held) recompute_delta(d, 0.0);
}

void dll_set_hold(dll* d, bool held) { d->held = held ? 1 : 0; }

void dll_set_code_phase(dll* d, double chips) {
  const double n = static_cast<double>(d->n);
  double x = std::fmod(chips, n);
  if (x < 0.0) x += n;
  if (!(x >= 0.0 && x < n)) x = 0.0;  // NaN or inf: the start of the period
  // The signed short-way distance decides whether the move crosses the
  // period end, forward or backward.
  double dist = x - d->code_phase;
  if (dist > n / 2) dist -= n;
  if (dist <= -n / 2) dist += n;
  const double target = d->code_phase + dist;
  if (target >= n) {  // forward across the end: the epoch closes on the next sample
    if (d->put_back)
      d->put_back = 0;
    else
      d->put_forward = 1;
  } else if (target < 0.0) {  // backward across it: the next wrap only clears
    if (d->put_forward)
      d->put_forward = 0;
    else
      d->put_back = 1;
  }
  d->phi = phase_word(x / n);
  d->code_phase = x;
}

double dll_take_error_mean(dll* d) {
  const double m = d->err_count ? d->err_sum / static_cast<double>(d->err_count)
                                : std::numeric_limits<double>::quiet_NaN();
  d->err_sum = 0.0;
  d->err_count = 0;
  return m;
}

int dll_configure_lock(dll* d, double pfa, std::uint64_t n_looks, double ref_snr_db) {
  return cfar_configure(&d->cfar, pfa, n_looks, ref_snr_db);
}

void dll_configure_lock_raw(dll* d, double up, double down, std::uint64_t n_looks, double alpha, std::uint32_t n_up,
                            std::uint32_t n_down) {
  cfar_configure_raw(&d->cfar, up, down, n_up, n_down, n_looks, alpha);
}

int dll_set_lock_verify(dll* d, std::uint32_t n_up, std::uint32_t n_down) {
  return lockdet_set_verify(&d->cfar.det, n_up, n_down);
}

int dll_set_symbol_period(dll* d, double p) {
  const double s = static_cast<double>(d->segs);
  // The integrator in per-epoch units, whatever the current timing.
  const double integ_epoch = d->lf.integ * d->scale;
  if (p <= 0.0) {
    d->period = 0.0;
    d->win = d->hyps = d->ring = 0;
    for (auto* v : {&d->rp, &d->ro, &d->re, &d->rl}) std::vector<cf32>().swap(*v);
    std::vector<double>().swap(d->pow);
    cfar_clear(&d->cfar);
    loop_filter_configure(&d->lf, d->lf.bn, d->lf.zeta, 1.0);
    d->lf.integ = integ_epoch;
    d->scale = 1.0;
    return 0;
  }
  if (!(p >= 2.0) || !std::isfinite(p) || d->segs < 2) return kStatusRefused;
  const std::uint64_t win = std::min<std::uint64_t>(static_cast<std::uint64_t>(std::floor(p)) - 1, 4 * d->segs);
  const double w_hyps = std::ceil(p);
  if (!(w_hyps < 1e12)) return kStatusTooLarge;
  const std::uint64_t hyps = static_cast<std::uint64_t>(w_hyps);
  std::uint64_t ring = 1;
  while (ring < 2 * (win + hyps) + 2) ring <<= 1;
  if (!platform::fits_in_memory(ring, 4 * sizeof(cf32), hyps * sizeof(double))) return kStatusTooLarge;
  std::vector<cf32> rp, ro, re, rl;
  std::vector<double> pw;
  try {
    rp.assign(ring, cf32{});
    ro.assign(ring, cf32{});
    re.assign(ring, cf32{});
    rl.assign(ring, cf32{});
    pw.assign(hyps, 0.0);
  } catch (...) {
    return kStatusNoMemory;  // nothing changed
  }
  d->rp.swap(rp);
  d->ro.swap(ro);
  d->re.swap(re);
  d->rl.swap(rl);
  d->pow.swap(pw);
  d->period = p;
  d->win = win;
  d->hyps = hyps;
  d->ring = ring;
  d->npart = d->best = d->last_end = 0;
  d->used = 0;
  cfar_clear(&d->cfar);
  loop_filter_configure(&d->lf, d->lf.bn, d->lf.zeta, p / s);
  d->lf.integ = integ_epoch * (p / s);
  d->scale = s / p;
  return 0;
}

int dll_set_telemetry(dll* d, tb_tlm* ctx, const char* prefix, std::uint64_t decim) {
  return tlm_attach(&d->tlm, ctx, prefix, decim, kDllProbes);
}

// ---------------------------------------------------------------------------
// State: a fixed section of every scalar of the configuration and the
// running state (padded to its fixed size), then the six per-partial arrays
// (segments >= 2), then the symbol-search rings and powers (in that mode).

namespace {

template <class IO>
void fixed_fields(IO& io, dll* d) {
  io.template u<std::uint64_t>(d->n);
  io.template u<std::uint64_t>(d->sps);
  io.template u<std::uint64_t>(d->f);
  io.template u<std::uint64_t>(d->segs);
  io.template u<std::uint64_t>(d->guard);
  io.template u<double>(d->spacing);
  io.template u<double>(d->init_chip);
  io.template u<double>(d->rate_aid);
  io.template u<double>(d->scale);
  io.template u<double>(d->lf.kp);
  io.template u<double>(d->lf.ki);
  io.template u<double>(d->lf.integ);
  io.template u<double>(d->lf.bn);
  io.template u<double>(d->lf.zeta);
  io.template u<double>(d->lf.t);
  io.template u<std::uint32_t>(d->held);
  io.template u<std::uint32_t>(d->phi);
  io.template u<std::uint32_t>(d->delta);
  io.template u<double>(d->code_phase);
  io.template u<double>(d->code_rate);
  io.template u<double>(d->last_error);
  io.template u<double>(d->err_sum);
  io.template u<std::uint64_t>(d->err_count);
  for (cf32* c : {&d->ae, &d->ap, &d->al, &d->ao}) io.c(*c);
  io.template u<std::uint64_t>(d->offset);
  io.template u<std::uint32_t>(d->rng);
  io.template u<std::uint32_t>(d->put_forward);
  io.template u<std::uint32_t>(d->put_back);
  io.template u<std::uint64_t>(d->part);
  io.template u<std::uint32_t>(d->have_prev);
  io.template u<double>(d->cfar.noise_est);
  io.template u<double>(d->cfar.alpha);
  io.template u<std::uint64_t>(d->cfar.noise_samples);
  io.template u<double>(d->cfar.sum);
  io.template u<std::uint64_t>(d->cfar.looks);
  io.template u<std::uint64_t>(d->cfar.n_looks);
  io.template u<double>(d->cfar.lock_stat);
  io.template u<double>(d->cfar.det.up_thresh);
  io.template u<double>(d->cfar.det.down_thresh);
  io.template u<std::uint32_t>(d->cfar.det.n_up);
  io.template u<std::uint32_t>(d->cfar.det.n_down);
  io.template u<std::uint32_t>(d->cfar.det.count);
  io.template u<std::uint32_t>(d->cfar.det.locked);
  io.template u<double>(d->period);
  io.template u<std::uint64_t>(d->win);
  io.template u<std::uint64_t>(d->hyps);
  io.template u<std::uint64_t>(d->ring);
  io.template u<std::uint64_t>(d->npart);
  io.template u<std::uint64_t>(d->best);
  io.template u<std::uint64_t>(d->last_end);
  io.template u<std::uint32_t>(d->used);
}

// fixed_fields visits lvalues; the writer only reads them.
struct Put {
  BlobWriter& w;
  template <class U>
  void u(const U& v) {
    w.put<U>(v);
  }
  void c(const cf32& v) {
    w.put<float>(v.real());
    w.put<float>(v.imag());
  }
};
struct Get {
  BlobReader& r;
  template <class T>
  void u(T& v) {
    v = r.get<T>();
  }
  void c(cf32& v) {
    const float re = r.get<float>(), im = r.get<float>();
    v = {re, im};
  }
};

std::size_t arrays_bytes(const dll* d) {
  std::size_t b = 0;
  if (d->segs >= 2) b += 6 * d->segs * sizeof(cf32);
  if (d->period > 0.0) b += 4 * d->ring * sizeof(cf32) + d->hyps * sizeof(double);
  return b;
}

}  // namespace

std::size_t dll_state_bytes(const dll* d) { return kDllFixedBlobBytes + arrays_bytes(d); }

int dll_get_state(const dll* d, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, dll_state_bytes(d));
  if (!w.ok()) return kStatusRefused;
  const unsigned char* start = w.pos();
  Put put{w};
  fixed_fields(put, const_cast<dll*>(d));
  w.zeros(kDllFixedBlobBytes - kBlobHeader - static_cast<std::size_t>(w.pos() - start));
  if (d->segs >= 2)
    for (const auto* v : {&d->cur_p, &d->cur_e, &d->cur_l, &d->suf_p, &d->suf_e, &d->suf_l})
      for (const cf32& c : *v) put.c(c);
  if (d->period > 0.0) {
    for (const auto* v : {&d->rp, &d->ro, &d->re, &d->rl})
      for (const cf32& c : *v) put.c(c);
    for (double p : d->pow) w.put<double>(p);
  }
  return w.status();
}

int dll_set_state(dll* d, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, kVersion, dll_state_bytes(d));
  if (!r.ok()) return kStatusRefused;
  // Everything is read into a probe and checked against this object's
  // geometry first; the code, buffers and telemetry stay the object's own.
  dll probe;
  Get get{r};
  fixed_fields(get, &probe);
  const bool same = probe.n == d->n && probe.sps == d->sps && probe.f == d->f && probe.segs == d->segs &&
                    probe.guard == d->guard && (probe.period > 0.0) == (d->period > 0.0) && probe.win == d->win &&
                    probe.hyps == d->hyps && probe.ring == d->ring && probe.period == d->period;
  // The period (exactly 0 when off) and the loop's timing scale derive from
  // set_symbol_period alone: a blob whose values no call could have produced
  // (a NaN period would never compare equal again) is refused.
  const double s = static_cast<double>(d->segs);
  const bool timing_ok = d->period > 0.0 ? probe.scale == s / d->period && probe.lf.t == d->period / s
                                         : probe.scale == 1.0 && probe.lf.t == 1.0;
  if (!same || !timing_ok || probe.offset >= d->n || probe.part > d->segs || (d->hyps && probe.best >= d->hyps) ||
      probe.cfar.n_looks == 0)
    return kStatusRefused;
  r.skip(kDllFixedBlobBytes - kBlobHeader - (len - r.left() - kBlobHeader));
  auto read_all = [&](std::vector<cf32>& v) {
    for (cf32& c : v) get.c(c);
  };
  probe.cur_p = d->cur_p;
  probe.cur_e = d->cur_e;
  probe.cur_l = d->cur_l;
  probe.suf_p = d->suf_p;
  probe.suf_e = d->suf_e;
  probe.suf_l = d->suf_l;
  if (d->segs >= 2)
    for (auto* v : {&probe.cur_p, &probe.cur_e, &probe.cur_l, &probe.suf_p, &probe.suf_e, &probe.suf_l}) read_all(*v);
  if (d->period > 0.0) {
    probe.rp = d->rp;
    probe.ro = d->ro;
    probe.re = d->re;
    probe.rl = d->rl;
    probe.pow = d->pow;
    for (auto* v : {&probe.rp, &probe.ro, &probe.re, &probe.rl}) read_all(*v);
    for (double& p : probe.pow) p = r.get<double>();
  }
  if (!r.ok()) return kStatusRefused;
  probe.chips.swap(d->chips);
  probe.pre_p.swap(d->pre_p);
  probe.pre_e.swap(d->pre_e);
  probe.pre_l.swap(d->pre_l);
  probe.tlm = d->tlm;
  *d = std::move(probe);
  return 0;
}

}  // namespace tb
