#include "core/track/ratesync.hpp"

#include <cmath>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/status.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'R', 'A', 'T', 'S'};
constexpr std::uint16_t kVersion = 2;

bool loop_ok(double bn, double zeta) { return std::isfinite(bn) && std::isfinite(zeta) && bn >= 0.0 && zeta > 0.0; }

}  // namespace

ratesync::~ratesync() { rc_destroy(cascade); }

void timing_loop_bind(timing_loop* t, const rc* cascade, double sps, std::uint32_t m, double bn, double zeta,
                      std::uint32_t ted, int pulse, double beta, std::uint64_t span) {
  const resamp* term = rc_terminal(cascade);
  timing_loop_init(t, sps, m, bn, zeta, ted, ted_slope(pulse, beta, span, ted), rc_stage_rate(cascade),
                   term ? term->k : 0);
}

void timing_loop_emit(const timing_loop* t, const rc* cascade, tb_tlm* ctx, const std::uint32_t* idx) {
  const resamp* term = rc_terminal(cascade);
  const double mu = term ? static_cast<double>(resamp_get_ctrl_acc(term)) / 4294967296.0 : 0.0;
  tlm_emit(ctx, idx[0], static_cast<float>(t->timing_error));
  tlm_emit(ctx, idx[1], static_cast<float>(t->ctrl));
  tlm_emit(ctx, idx[2], static_cast<float>(t->rate));
  tlm_emit(ctx, idx[3], static_cast<float>(t->lock.lock_stat));
  tlm_emit(ctx, idx[4], t->lock.det.locked ? 1.0f : 0.0f);
  tlm_emit(ctx, idx[5], static_cast<float>(mu));
}

ratesync* ratesync_create(double sps, int pulse, double beta, std::uint64_t span, std::uint32_t m,
                          std::uint64_t num_phases, double bn, double zeta, std::uint32_t ted) {
  if (m % 2 != 0 || m < 2 || m > 8 || span < 1 || !(beta >= 0.0 && beta <= 1.0) || num_phases < 2 ||
      (num_phases & (num_phases - 1)) != 0 || (pulse != RC_PULSE_IANDD && pulse != RC_PULSE_RRC) ||
      ted > TED_DTTL || !loop_ok(bn, zeta) || !std::isfinite(sps) || !(sps >= static_cast<double>(m)))
    return nullptr;
  ratesync* s = new (std::nothrow) ratesync;
  if (!s) return nullptr;
  s->cascade = rc_create_matched(static_cast<double>(m) / sps, 1, pulse, beta, span, static_cast<double>(m),
                                 num_phases);
  if (!s->cascade || !rc_terminal(s->cascade)) {
    delete s;
    return nullptr;
  }
  s->bn = bn;
  s->zeta = zeta;
  timing_loop_bind(&s->loop, s->cascade, sps, m, bn, zeta, ted, pulse, beta, span);
  return s;
}

void ratesync_destroy(ratesync* s) { delete s; }

void ratesync_reset(ratesync* s) {
  rc_reset(s->cascade);
  timing_loop_reset(&s->loop);
}

std::size_t ratesync_steps(ratesync* s, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  timing_loop* t = &s->loop;
  rc* c = s->cascade;
  std::size_t k = 0, i = 0;
  cf32 y[kTimingPushOutputs];
  auto take = [&](std::size_t got) __attribute__((always_inline)) {
    cf32 sym{};
    if (!timing_loop_take(t, y, got, &sym, [](const cf32& v) { return v; })) return;
    out[k++] = sym;
    if (s->tlm.ctx) timing_loop_emit(t, c, s->tlm.ctx, s->tlm.idx);
  };
  // The loop steers only the terminal resampler, so the stages before it
  // (a halfband at 4 samples a symbol) run block by block on their block
  // kernels, and only the terminal stage and the loop go sample by sample.
  // A block is taken whole only when its symbols cannot fill the output
  // (cap) within it, so no input is consumed that the per-sample path
  // below would have left; there the rest goes as before.
  if (c->n_stages > 1) {
    constexpr std::size_t kFrontBlock = 1024;
    while (i < n) {
      const std::size_t b = n - i < kFrontBlock ? n - i : kFrontBlock;
      if (cap - k <= rc_front_max_out(c, b) * kTimingPushOutputs) break;
      std::size_t m;
      const cf32* f = rc_front(c, x + i, b, &m);
      if (!f) break;  // no scratch: sample by sample, which needs none
      for (std::size_t j = 0; j < m; ++j) take(rc_push_terminal(c, f[j], t->ctrl, y, kTimingPushOutputs));
      i += b;
    }
  }
  for (; i < n && k < cap; ++i) take(rc_push(c, x[i], t->ctrl, y, kTimingPushOutputs));
  return k;
}

void ratesync_configure(ratesync* s, double bn, double zeta) {
  if (!loop_ok(bn, zeta)) return;
  s->bn = bn;
  s->zeta = zeta;
  loop_filter_configure(&s->loop.lf, bn, zeta, 1.0);
}

void ratesync_set_bn(ratesync* s, double bn) { ratesync_configure(s, bn, s->zeta); }

void ratesync_configure_lock_raw(ratesync* s, std::uint64_t avgs, double up, double down, std::uint32_t n_up,
                                 std::uint32_t n_down) {
  timing_lock& l = s->loop.lock;
  l.avgs = avgs ? avgs : 1;
  lockdet_init(&l.det, up, down, n_up, n_down);
  lockdet_reset(&l.det);
  l.lock_stat = 0.0;
  l.sum = 0.0;
  l.looks = 0;
}

int ratesync_set_telemetry(ratesync* s, tb_tlm* ctx, const char* prefix, std::uint64_t decim) {
  return tlm_attach(&s->tlm, ctx, prefix, decim, kTimingProbes);
}

std::size_t ratesync_state_bytes(const ratesync* s) {
  return kBlobHeader + rc_state_bytes(s->cascade) + kTimingSectionBytes;
}

int ratesync_get_state(const ratesync* s, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kMagic, kVersion, ratesync_state_bytes(s));
  w.child(rc_state_bytes(s->cascade), [s](unsigned char* p, std::size_t n) { return rc_get_state(s->cascade, p, n); });
  w.child(kTimingSectionBytes, [s](unsigned char* p, std::size_t n) { return timing_loop_get_state(&s->loop, p, n); });
  return w.status();
}

int ratesync_set_state(ratesync* s, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kMagic, kVersion, ratesync_state_bytes(s));
  const BlobSpan casc = r.child(), loop = r.child();
  if (!r.ok() || r.left() != 0) return kStatusRefused;
  timing_loop probe;
  if (rc_check_state(s->cascade, casc.p, casc.n) != 0 ||
      timing_loop_check_state(&s->loop, loop.p, loop.n, &probe) != 0)
    return kStatusRefused;
  rc_set_state(s->cascade, casc.p, casc.n);
  s->loop = probe;
  return 0;
}

}  // namespace tb
