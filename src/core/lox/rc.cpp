#include "core/lox/rc.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/status.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'R', 'S', 'F', 'C'};
constexpr std::uint16_t kVersion = 2;
constexpr double kLog2e = 1.4426950408889634;

double log2_of(double v) { return std::log(v) * kLog2e; }

// Outputs of a non-terminal stage for m inputs (its held input or count
// included).
std::size_t stage_out(const rc_stage& s, std::size_t m) {
  return s.kind == kRcHalfband ? hb_max_out(s.h, m) : cic_max_out(s.c, m);
}

// Runs an integer-ratio stage (halfband, or CIC and its compensator).
std::size_t run_fixed(rc_stage& s, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  if (s.kind == kRcHalfband) return hb_execute(s.h, x, n, out, cap);
  const std::size_t k = cic_execute(s.c, x, n, out, cap);
  if (s.f && k) fir_execute(s.f, out, k, out);
  return k;
}

void release_stages(rc* c) {
  for (int i = 0; i < c->n_stages; ++i) {
    rc_stage& s = c->st[i];
    hb_destroy(s.h);
    cic_destroy(s.c);
    fir_destroy(s.f);
    resamp_destroy(s.r);
    s = rc_stage{};
  }
  c->n_stages = 0;
}

bool build(rc* c, const rc_plan& plan, bool matched) {
  double comp_taps[7];
  bool have_comp = false;
  if (matched && c->comp)
    for (int i = 0; i < plan.n; ++i)
      if (plan.e[i].kind == kRcCic) have_comp = cic_comp_design(4, plan.e[i].cic_r, 7, comp_taps);
  for (int i = 0; i < plan.n; ++i) {
    const rc_plan_entry& e = plan.e[i];
    rc_stage& s = c->st[i];
    s.kind = e.kind;
    c->n_stages = i + 1;
    if (e.kind == kRcHalfband) {
      s.h = hb_create(kHalfbandTaps, kHalfbandTable);
      if (!s.h) return false;
    } else if (e.kind == kRcCic) {
      s.c = cic_create(e.cic_r);
      if (!s.c) return false;
      if (e.comp && !matched) {
        double d[7];
        float f[7];
        if (!cic_comp_design(4, e.cic_r, 7, d)) return false;
        for (int t = 0; t < 7; ++t) f[t] = static_cast<float>(d[t]);
        s.f = fir_create(f, 7);
        if (!s.f) return false;
      }
    } else if (!matched) {
      s.r = resamp_create_default(e.rate);
      if (!s.r) return false;
    } else {
      mf_bank bank;
      if (!mf_design(static_cast<int>(c->pulse), c->beta, c->span, c->pulse_sps, c->num_phases, e.rate,
                     have_comp ? comp_taps : nullptr, &bank))
        return false;
      s.r = resamp_create(c->num_phases, bank.k, bank.taps.data(), e.rate);
      if (!s.r) return false;
      c->mf_sps = bank.sps;
      c->mf_energy = bank.energy;
      c->mf_gain_db = bank.gain_db;
    }
  }
  return true;
}

rc* make(double rate, std::uint32_t comp, bool matched, int pulse, double beta, std::uint64_t span,
         double pulse_sps, std::uint64_t num_phases) {
  rc_plan plan;
  if (!rc_plan_make(rate, comp != 0, matched, &plan)) return nullptr;
  // The terminal resampler's increment must be representable.
  const rc_plan_entry& last = plan.e[plan.n - 1];
  if (last.kind == kRcResamp && !(last.rate >= kResampMinRate && last.rate <= kResampMaxRate)) return nullptr;
  auto c = std::unique_ptr<rc>(new (std::nothrow) rc);
  if (!c) return nullptr;
  c->rate = rate;
  c->comp = comp;
  c->pulse = matched ? static_cast<std::uint32_t>(pulse) : static_cast<std::uint32_t>(RC_PULSE_NONE);
  if (matched) {
    c->beta = beta;
    c->span = span;
    c->pulse_sps = pulse_sps;
    c->num_phases = num_phases;
    c->narrow = pulse == RC_PULSE_IANDD && pulse_sps < 4.0;
  }
  try {
    if (!build(c.get(), plan, matched)) return nullptr;
  } catch (...) {
    return nullptr;
  }
  return c.release();
}

// Runs the stages before the terminal one over a block into the scratch
// buffers; returns where their output is and how long.
const cf32* run_front(rc* c, const cf32* x, std::size_t n, std::size_t* m) {
  const cf32* in = x;
  std::size_t len = n;
  for (int i = 0; i + 1 < c->n_stages; ++i) {
    cf32* dst = (i % 2 == 0) ? c->a.data() : c->b.data();
    len = run_fixed(c->st[i], in, len, dst, c->a.size());
    in = dst;
  }
  *m = len;
  return in;
}

}  // namespace

rc::~rc() {
  release_stages(this);
  delete gain;
}

bool rc_plan_make(double rate, bool comp, bool matched, rc_plan* plan) {
  *plan = rc_plan{};
  if (!(rate > 0.0) || !std::isfinite(rate)) return false;
  const double a = 1.0 / rate;
  auto resampler = [&](double r) {
    rc_plan_entry& e = plan->e[plan->n++];
    e.kind = kRcResamp;
    e.rate = r;
  };
  auto cic_stage = [&](std::uint32_t r) {
    rc_plan_entry& e = plan->e[plan->n++];
    e.kind = kRcCic;
    e.cic_r = r;
    e.comp = (comp && !matched) ? 1 : 0;  // the matched variant folds compensation into its bank
  };
  if (rate >= 1.0 || a < 2.0) {
    resampler(rate);
    return true;
  }
  const double b = log2_of(a);
  const double e = std::round(b);  // halves away from zero
  if (std::fabs(b - e) < 1e-9) {
    double d;
    if (e == 1.0) {
      plan->e[plan->n++].kind = kRcHalfband;
      d = 2.0;
    } else if (e == 2.0) {
      plan->e[plan->n++].kind = kRcHalfband;
      plan->e[plan->n++].kind = kRcHalfband;
      d = 4.0;
    } else {
      const std::uint32_t r = e >= 12.0 ? 2048u : (1u << static_cast<int>(e));
      cic_stage(r);
      d = static_cast<double>(r);
    }
    if (matched || a != d) resampler(rate * d);
    return true;
  }
  if (a >= 8.0) {
    const double f = std::floor(b);
    const double r1 = f >= 12.0 ? 2048.0 : std::ldexp(1.0, static_cast<int>(f));
    const double r2 = f >= 11.0 ? 2048.0 : std::ldexp(1.0, static_cast<int>(f) + 1);
    const double q1 = r1 * rate, q2 = r2 * rate;
    const bool first = std::fabs(log2_of(q1)) <= std::fabs(log2_of(q2));
    const double r = first ? r1 : r2, q = first ? q1 : q2;
    cic_stage(static_cast<std::uint32_t>(r));
    if (matched || std::fabs(q - 1.0) > 1e-6) resampler(q);
    return true;
  }
  resampler(rate);
  return true;
}

rc* rc_create(double rate, std::uint32_t comp) { return make(rate, comp, false, RC_PULSE_NONE, 0.0, 0, 0.0, 0); }

rc* rc_create_matched(double rate, std::uint32_t comp, int pulse, double beta, std::uint64_t span, double pulse_sps,
                      std::uint64_t num_phases) {
  if (pulse != RC_PULSE_IANDD && pulse != RC_PULSE_RRC) return nullptr;
  if (num_phases < 2 || (num_phases & (num_phases - 1)) != 0) return nullptr;
  if (!(pulse_sps > 0.0) || !std::isfinite(pulse_sps) || span < 1 || !(beta >= 0.0 && beta <= 1.0)) return nullptr;
  return make(rate, comp, true, pulse, beta, span, pulse_sps, num_phases);
}

void rc_destroy(rc* c) { delete c; }

void rc_reset(rc* c) {
  for (int i = 0; i < c->n_stages; ++i) {
    rc_stage& s = c->st[i];
    if (s.h) hb_reset(s.h);
    if (s.c) cic_reset(s.c);
    if (s.f) fir_reset(s.f);
    if (s.r) resamp_reset(s.r);
  }
  if (c->gain) agc_reset(c->gain);
}

bool rc_reserve(rc* c, std::size_t n) {
  if (c->n_stages > 1 && c->a.size() < n) {
    try {
      std::vector<cf32> a(n), b(n);
      c->a.swap(a);
      c->b.swap(b);
    } catch (...) {
      return false;
    }
  }
  for (int i = 0; i < c->n_stages; ++i)
    if (c->st[i].f && !fir_reserve(c->st[i].f, n)) return false;
  return true;
}

std::size_t rc_max_out(const rc* c, std::size_t n) {
  std::size_t m = n;
  for (int i = 0; i < c->n_stages; ++i) {
    const rc_stage& s = c->st[i];
    m = s.kind == kRcResamp ? resamp_max_out(s.r, m) : stage_out(s, m);
  }
  return m;
}

std::size_t rc_max_out_ctrl(const rc* c, std::size_t n, double rate_ctrl) {
  resamp* r = rc_terminal(c);
  if (!r) return rc_max_out(c, n);
  std::size_t m = n;
  for (int i = 0; i + 1 < c->n_stages; ++i) m = stage_out(c->st[i], m);
  return resamp_push_max_out(r, m, rate_ctrl);
}

std::int64_t rc_execute(rc* c, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  if (c->n_stages == 0 || n == 0) return 0;
  if (c->pulse != RC_PULSE_NONE) return rc_execute_ctrl(c, x, n, 0.0, out, cap);
  if (!rc_reserve(c, n)) return kStatusNoMemory;
  std::size_t m;
  const cf32* in = run_front(c, x, n, &m);
  rc_stage& last = c->st[c->n_stages - 1];
  const std::size_t k = last.kind == kRcResamp ? resamp_execute(last.r, in, m, out, cap) : run_fixed(last, in, m, out, cap);
  return static_cast<std::int64_t>(k);
}

std::int64_t rc_execute_ctrl(rc* c, const cf32* x, std::size_t n, double rate_ctrl, cf32* out, std::size_t cap) {
  if (c->n_stages == 0 || n == 0) return 0;
  resamp* r = rc_terminal(c);
  if (!r) {
    // Nothing to steer: the plan ends in a halfband or CIC.
    if (!rc_reserve(c, n)) return kStatusNoMemory;
    std::size_t m;
    const cf32* in = run_front(c, x, n, &m);
    return static_cast<std::int64_t>(run_fixed(c->st[c->n_stages - 1], in, m, out, cap));
  }
  if (!rc_reserve(c, n)) return kStatusNoMemory;
  std::size_t m;
  const cf32* in = run_front(c, x, n, &m);
  std::size_t written = 0;
  for (std::size_t i = 0; i < m && written < cap; ++i)
    written += rc_push_resamp(c, r, in[i], rate_ctrl, out + written, cap - written, nullptr);
  return static_cast<std::int64_t>(written);
}

std::size_t rc_push_staged(rc* c, const cf32& x, double rate_ctrl, cf32* out, std::size_t cap, cf32* pre_out,
                           int* reached) {
  if (reached) *reached = 0;
  if (cap == 0 || c->n_stages == 0) return 0;
  cf32 y = x;
  for (int i = 0; i + 1 < c->n_stages; ++i) {
    rc_stage& s = c->st[i];
    const bool passed = s.kind == kRcHalfband ? hb_push(s.h, y, &y) : run_fixed(s, &y, 1, &y, 1) != 0;
    if (!passed) return 0;  // absorbed by a decimating stage
  }
  const std::size_t k = rc_push_terminal(c, y, rate_ctrl, out, cap, pre_out);
  if (reached) *reached = (k || c->st[c->n_stages - 1].kind == kRcResamp) ? 1 : 0;
  return k;
}

const cf32* rc_front(rc* c, const cf32* x, std::size_t n, std::size_t* m) {
  if (!rc_reserve(c, n)) return nullptr;
  return run_front(c, x, n, m);
}

std::size_t rc_front_max_out(const rc* c, std::size_t n) {
  std::size_t m = n;
  for (int i = 0; i + 1 < c->n_stages; ++i) m = stage_out(c->st[i], m);
  return m;
}

std::size_t rc_push_fixed_terminal(rc* c, const cf32& y, cf32* out, std::size_t cap, cf32* pre_out) {
  const std::size_t k = run_fixed(c->st[c->n_stages - 1], &y, 1, out, cap);
  if (k && pre_out) *pre_out = out[0];
  return k;
}

bool rc_clipped(const rc* c) {
  for (int i = 0; i < c->n_stages; ++i)
    if (c->st[i].c && c->st[i].c->clipped) return true;
  return false;
}
bool rc_narrow(const rc* c) { return c->narrow; }
double rc_rate(const rc* c) { return c->rate; }

resamp* rc_terminal(const rc* c) {
  if (c->n_stages == 0) return nullptr;
  const rc_stage& s = c->st[c->n_stages - 1];
  return s.kind == kRcResamp ? s.r : nullptr;
}

double rc_stage_rate(const rc* c) {
  const resamp* r = rc_terminal(c);
  if (r) return r->rate;
  double g = 1.0;
  for (int i = 0; i < c->n_stages; ++i) g /= c->st[i].kind == kRcHalfband ? 2.0 : static_cast<double>(c->st[i].c->r);
  return g;
}

bool rc_attach_agc(rc* c, double target_db, double loop_gain, double alpha, double reserved, double clamp_db,
                   std::uint64_t period) {
  agc* a = new (std::nothrow) agc{};
  if (!a) return false;
  a->target_db = target_db;
  a->loop_gain = loop_gain;
  a->alpha = alpha;
  a->reserved = reserved;
  a->clamp_db = clamp_db;
  a->period = period;
  a->ch_gain = a->ch_power = -1;
  agc_reset(a);
  delete c->gain;
  c->gain = a;
  return true;
}

void rc_detach_agc(rc* c) {
  delete c->gain;
  c->gain = nullptr;
}

// ---------------------------------------------------------------------------
// State: the outer header, then each stage's complete blob in order (a CIC
// followed by its compensator's), then the AGC's when attached.

namespace {

template <class Fn>
void for_each_component(const rc* c, Fn&& fn) {
  for (int i = 0; i < c->n_stages; ++i) {
    const rc_stage& s = c->st[i];
    if (s.kind == kRcResamp) {
      fn(resamp_state_bytes(s.r), [&s](unsigned char* p, std::size_t n) { return resamp_get_state(s.r, p, n); },
         [&s](const unsigned char* p, std::size_t n) { return resamp_check_state(s.r, p, n); },
         [&s](const unsigned char* p, std::size_t n) { return resamp_set_state(s.r, p, n); });
    } else if (s.kind == kRcCic) {
      fn(cic_state_bytes(s.c), [&s](unsigned char* p, std::size_t n) { return cic_get_state(s.c, p, n); },
         [&s](const unsigned char* p, std::size_t n) { return cic_check_state(s.c, p, n); },
         [&s](const unsigned char* p, std::size_t n) { return cic_set_state(s.c, p, n); });
      if (s.f)
        fn(fir_state_bytes(s.f), [&s](unsigned char* p, std::size_t n) { return fir_get_state(s.f, p, n); },
           [&s](const unsigned char* p, std::size_t n) { return fir_check_state(s.f, p, n); },
           [&s](const unsigned char* p, std::size_t n) { return fir_set_state(s.f, p, n); });
    } else {
      fn(hb_state_bytes(s.h), [&s](unsigned char* p, std::size_t n) { return hb_get_state(s.h, p, n); },
         [&s](const unsigned char* p, std::size_t n) { return hb_check_state(s.h, p, n); },
         [&s](const unsigned char* p, std::size_t n) { return hb_set_state(s.h, p, n); });
    }
  }
  if (c->gain) {
    agc* g = c->gain;
    fn(kAgcBlobBytes, [g](unsigned char* p, std::size_t n) { return agc_get_state(g, p, n); },
       [g](const unsigned char* p, std::size_t n) { return agc_check_state(g, p, n); },
       [g](const unsigned char* p, std::size_t n) { return agc_set_state(g, p, n); });
  }
}

}  // namespace

std::size_t rc_state_bytes(const rc* c) {
  std::size_t total = kBlobHeader;
  for_each_component(c, [&](std::size_t n, auto&&, auto&&, auto&&) { total += n; });
  return total;
}

int rc_get_state(const rc* c, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, rc_state_bytes(c));
  for_each_component(c, [&](std::size_t n, auto&& get, auto&&, auto&&) { w.child(n, get); });
  return w.status();
}

int rc_check_state(const rc* c, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, kVersion, rc_state_bytes(c));
  bool ok = r.ok();
  for_each_component(c, [&](std::size_t n, auto&&, auto&& check, auto&&) {
    const BlobSpan s = r.child();
    ok = ok && r.ok() && s.n == n && check(s.p, s.n) == 0;
  });
  return ok ? 0 : kStatusRefused;
}

int rc_set_state(rc* c, const unsigned char* buf, std::size_t len) {
  if (rc_check_state(c, buf, len) != 0) return kStatusRefused;
  BlobReader r = blob_open(buf, len, kMagic, kVersion, rc_state_bytes(c));
  int rc_status = 0;
  for_each_component(c, [&](std::size_t, auto&&, auto&&, auto&& set) {
    const BlobSpan s = r.child();
    if (set(s.p, s.n) != 0) rc_status = kStatusRefused;  // not reached: every part was checked
  });
  return rc_status;
}

}  // namespace tb
