#include "core/track/costas.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/numeric.hpp"
#include "core/track/carrier.hpp"

namespace tb {
namespace {

constexpr char kMagic[4] = {'C', 'S', 'T', 'S'};
constexpr std::uint16_t kVersion = 3;
constexpr std::size_t kPersisted = offsetof(costas, tlm);  // the telemetry attachment is not persisted
enum { kProbeLock, kProbeE, kProbeFreq, kProbeLocked };

void seed(costas* c) {
  lo_init(&c->nco, c->init_norm_freq);
  c->lf.integ = static_cast<double>(c->tsamps) * (c->init_norm_freq * kTwoPi);
  c->lock_metric = 0.0;
  c->last_error = 0.0;
  c->acc_i = c->acc_q = 0.0f;
  c->count = 0;
  c->prev_i = c->prev_q = 0.0f;
  c->prev_valid = 0;
  lockdet_reset(&c->lock);
}

// The per-symbol update, run on each dump with prompt P = (pi, pq); the
// feedback reads (fi, fq), P but for the sign of a zero (see derotate_dump).
[[gnu::always_inline]] inline void dump(costas* c, float pi, float pq, float fi, float fq, const nudge_scale& ns) {
  const float m = prompt_magnitude(fi, fq);
  const float e = negate_unless_nonneg(pq, pi) / m;
  c->last_error = e;
  if (c->fll_gain > 0.0 && c->prev_valid) {
    const float s = pi >= 0.0f ? 1.0f : -1.0f;
    const float s2 = c->prev_i >= 0.0f ? s : -s;
    const float cross = s2 * (pq * c->prev_i - pi * c->prev_q);
    const float mr = prompt_magnitude(c->prev_i, c->prev_q);
    c->lf.integ = c->lf.integ + static_cast<double>(cross) * c->fll_gain /
                                    (static_cast<double>(mr) * static_cast<double>(m));
  }
  c->prev_i = pi;
  c->prev_q = pq;
  c->prev_valid = 1;
  c->lf.integ = c->lf.integ + c->lf.ki * e;
  lo_set_freq(&c->nco, c->lf.integ / (kTwoPi * static_cast<double>(c->tsamps)));
  // Phase nudge, applied modulo one cycle; from the feedback's error, which
  // differs from e only in the sign of a zero, and a zero nudges by 0.
  c->nco.phase += nudge_inc(negate_unless_nonneg(fq, fi) / m, ns);
  c->lock_metric = c->lock_metric + kCostasLockAlpha * (static_cast<double>(std::fabs(pi) / m) - c->lock_metric);
  lockdet_update(&c->lock, c->lock_metric);
}

}  // namespace

costas* costas_create(double bn, double zeta, double init_norm_freq, std::uint64_t tsamps, double bn_fll) {
  costas* c = new (std::nothrow) costas{};
  if (!c) return nullptr;
  dump_loop_init(c, bn, zeta, init_norm_freq, tsamps, bn_fll);
  lockdet_init(&c->lock, 0.85, 0.78, 8, 32);
  seed(c);
  return c;
}

void costas_destroy(costas* c) { delete c; }
void costas_reset(costas* c) { seed(c); }

std::size_t costas_steps(costas* c, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  // The loop runs on a local copy of the record: nothing it holds can alias
  // the output, so the compiler keeps the per-dump state in registers
  // instead of storing and reloading it around every prompt written.
  costas r = *c;
  const nudge_scale ns(r.lf.kp);
  const std::size_t k =
      derotate_dump(r.nco, r.acc_i, r.acc_q, r.count, r.tsamps, x, n, out, cap,
                    [&r, &ns](float pi, float pq, float fi, float fq) __attribute__((always_inline)) {
        dump(&r, pi, pq, fi, fq, ns);
        if (r.tlm.ctx) {
          tlm_emit(r.tlm, kProbeLock, static_cast<float>(r.lock_metric));
          tlm_emit(r.tlm, kProbeE, static_cast<float>(r.last_error));
          tlm_emit(r.tlm, kProbeFreq, static_cast<float>(r.nco.norm_freq));
          tlm_emit(r.tlm, kProbeLocked, r.lock.locked ? 1.0f : 0.0f);
        }
      });
  *c = r;
  return k;
}

void costas_configure(costas* c, double bn, double zeta) { dump_loop_configure(c, bn, zeta); }

void costas_configure_lock(costas* c, double up, double down, std::uint32_t n_up, std::uint32_t n_down) {
  lockdet_retune(&c->lock, up, down, n_up, n_down);
}

void costas_set_bn(costas* c, double bn) { costas_configure(c, bn, c->zeta); }

void costas_set_norm_freq(costas* c, double f) {
  c->init_norm_freq = f;
  seed(c);
}

void costas_set_bn_fll(costas* c, double bn_fll) { dump_loop_set_fll(c, bn_fll); }

int costas_set_telemetry(costas* c, tb_tlm* ctx, const char* prefix, std::uint64_t decim) {
  return tlm_attach(&c->tlm, ctx, prefix, decim, kCostasProbes);
}

std::size_t costas_state_bytes(const costas*) { return kCostasBlobBytes; }

// The record is standard layout with no implicit padding, so its image is
// the payload.
int costas_get_state(const costas* c, unsigned char* buf, std::size_t len) {
  return blob_put_image(buf, len, kMagic, kVersion, *c, kPersisted);
}

int costas_set_state(costas* c, const unsigned char* buf, std::size_t len) {
  return blob_get_image(c, buf, len, kMagic, kVersion, kPersisted);
}

}  // namespace tb
