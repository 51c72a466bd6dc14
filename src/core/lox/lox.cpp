#include "core/lox/lox.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <type_traits>

#include "core/common/blob.hpp"
#include "core/common/status.hpp"

namespace tb {

namespace {

constexpr char kLoxMagic[4] = {'L', 'O', 'X', '_'};
constexpr char kLoxrMagic[4] = {'L', 'O', 'X', 'R'};

lox* finish(std::unique_ptr<lox> d, double norm_freq, rc* cascade, double rate) {
  if (!cascade) return nullptr;
  d->cascade = cascade;
  d->rate = rate;
  d->narrow = rc_narrow(cascade);
  lo_init(&d->o, norm_freq);
  return d.release();
}

std::unique_ptr<lox> fresh(bool real) {
  auto d = std::unique_ptr<lox>(new (std::nothrow) lox);
  if (d && real) {
    d->hb = hbr2_create(kHalfbandTaps, kHalfbandTable);
    if (!d->hb) d.reset();
  }
  return d;
}

bool real_rate_ok(double rate) { return rate > 0.0 && rate < 0.5; }  // NaN fails

// Scratch for a block of n inputs (complex: n mixed samples; real: the
// halfband's n/2 + 2 outputs) and the cascade's own buffers, before any
// state changes.
bool reserve(lox* d, std::size_t n) {
  const std::size_t need = d->hb ? n / 2 + 2 : n;
  if (d->scratch.size() < need) {
    try {
      d->scratch.resize(need);
    } catch (...) {
      return false;
    }
  }
  return rc_reserve(d->cascade, need);
}

// Mixes the block (through the halfband for real input) into the scratch;
// returns the number of complex samples for the cascade.
template <class S>
std::size_t front(lox* d, const S* x, std::size_t n, double freq_ctrl) {
  if constexpr (std::is_same_v<S, float>) {
    const std::size_t c = hbr2_execute(d->hb, x, n, d->scratch.data(), d->scratch.size());
    lo_mix_ctrl(&d->o, d->scratch.data(), d->scratch.data(), c, freq_ctrl);
    return c;
  } else {
    lo_mix_ctrl(&d->o, x, d->scratch.data(), n, freq_ctrl);
    return n;
  }
}

// Inputs mixed and filtered at a time: the mixed samples are read back by
// the cascade while they are still in the cache.
constexpr std::size_t kSubBlock = 4096;

template <class S>
std::int64_t block(lox* d, const S* x, std::size_t n, bool ctrl, double rate_ctrl, double freq_ctrl, cf32* out,
                   std::size_t cap) {
  if (n == 0) return 0;
  const std::size_t sub = std::min(n, kSubBlock);
  if (!reserve(d, sub)) return kStatusNoMemory;
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; i += sub) {
    const std::size_t c = front(d, x + i, std::min(sub, n - i), ctrl ? freq_ctrl : 0.0);
    if (c == 0) continue;
    const std::int64_t r = ctrl ? rc_execute_ctrl(d->cascade, d->scratch.data(), c, rate_ctrl, out + k, cap - k)
                                : rc_execute(d->cascade, d->scratch.data(), c, out + k, cap - k);
    if (r < 0) return r;
    k += static_cast<std::size_t>(r);
  }
  return static_cast<std::int64_t>(k);
}

// One mixed sample into the cascade: rotated by the current phase, then the
// phase advances by the LO word plus the frequency control.
std::size_t push_mixed(lox* d, cf32 x, double rate_ctrl, double freq_ctrl, cf32* out, std::size_t cap) {
  float s, c;
  lo_sincos(lo_sine_table(), d->o.phase, &s, &c);
  const cf32 y = lo_rotate(c, s, x);
  d->o.phase += d->o.phase_inc + freq_to_inc(freq_ctrl);
  return rc_push(d->cascade, y, rate_ctrl, out, cap);
}

}  // namespace

lox::~lox() {
  hbr2_destroy(hb);
  rc_destroy(cascade);
}

lox* lox_create(double norm_freq, double rate) {
  if (!(rate > 0.0)) return nullptr;
  auto d = fresh(false);
  return d ? finish(std::move(d), norm_freq, rc_create(rate, 0), rate) : nullptr;
}

lox* lox_create_matched(double norm_freq, double rate, int pulse, double beta, std::uint64_t span, double pulse_sps,
                        std::uint64_t num_phases) {
  if (!(rate > 0.0)) return nullptr;
  auto d = fresh(false);
  return d ? finish(std::move(d), norm_freq, rc_create_matched(rate, 1, pulse, beta, span, pulse_sps, num_phases),
                    rate)
           : nullptr;
}

lox* loxr_create(double norm_freq, double rate) {
  if (!real_rate_ok(rate)) return nullptr;
  auto d = fresh(true);
  return d ? finish(std::move(d), norm_freq, rc_create(2.0 * rate, 0), rate) : nullptr;
}

lox* loxr_create_matched(double norm_freq, double rate, int pulse, double beta, std::uint64_t span,
                         double pulse_sps, std::uint64_t num_phases) {
  if (!real_rate_ok(rate)) return nullptr;
  auto d = fresh(true);
  return d ? finish(std::move(d), norm_freq,
                    rc_create_matched(2.0 * rate, 1, pulse, beta, span, pulse_sps, num_phases), rate)
           : nullptr;
}

void lox_destroy(lox* d) { delete d; }

void lox_reset(lox* d) {
  if (d->hb) hbr2_reset(d->hb);
  lo_reset(&d->o);
  rc_reset(d->cascade);
}

std::size_t lox_max_out(const lox* d, std::size_t n) {
  return rc_max_out(d->cascade, d->hb ? hbr2_max_out(d->hb, n) : n);
}

std::size_t lox_max_out_ctrl(const lox* d, std::size_t n, double rate_ctrl) {
  return rc_max_out_ctrl(d->cascade, d->hb ? hbr2_max_out(d->hb, n) : n, rate_ctrl);
}

std::size_t lox_push_max_out(const lox* d) {
  const double r = d->hb ? 2.0 * d->rate : d->rate;
  return static_cast<std::size_t>(std::floor(r > 1.0 ? r : 1.0)) + 2;
}

std::int64_t lox_execute(lox* d, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  return block(d, x, n, false, 0.0, 0.0, out, cap);
}
std::int64_t lox_execute_ctrl(lox* d, const cf32* x, std::size_t n, double rate_ctrl, double freq_ctrl, cf32* out,
                              std::size_t cap) {
  return block(d, x, n, true, rate_ctrl, freq_ctrl, out, cap);
}
std::int64_t loxr_execute(lox* d, const float* x, std::size_t n, cf32* out, std::size_t cap) {
  return block(d, x, n, false, 0.0, 0.0, out, cap);
}
std::int64_t loxr_execute_ctrl(lox* d, const float* x, std::size_t n, double rate_ctrl, double freq_ctrl, cf32* out,
                               std::size_t cap) {
  return block(d, x, n, true, rate_ctrl, freq_ctrl, out, cap);
}

std::size_t lox_execute_ctrl_push(lox* d, cf32 x, double rate_ctrl, double freq_ctrl, cf32* out, std::size_t cap) {
  return push_mixed(d, x, rate_ctrl, freq_ctrl, out, cap);
}

std::size_t loxr_execute_ctrl_push(lox* d, float x, double rate_ctrl, double freq_ctrl, cf32* out, std::size_t cap) {
  cf32 y;
  // The first sample of each pair is only held by the halfband: no output,
  // no LO advance, the controls unused.
  if (hbr2_execute(d->hb, &x, 1, &y, 1) == 0) return 0;
  return push_mixed(d, y, rate_ctrl, freq_ctrl, out, cap);
}

void lox_set_freq(lox* d, double f) { lo_set_freq(&d->o, f); }
double lox_get_freq(const lox* d) { return lo_get_freq(&d->o); }
double lox_rate(const lox* d) { return d->rate; }
bool lox_clipped(const lox* d) { return rc_clipped(d->cascade); }
bool lox_narrow(const lox* d) { return d->narrow; }

// Blob: header, the configured rate, then the complete blobs of the halfband
// (real input), the LO and the cascade.
std::size_t lox_state_bytes(const lox* d) {
  return kBlobHeader + sizeof(double) + (d->hb ? hbr2_state_bytes(d->hb) : 0) + lo_state_bytes(&d->o) +
         rc_state_bytes(d->cascade);
}

int lox_get_state(const lox* d, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, d->hb ? kLoxrMagic : kLoxMagic, 1, lox_state_bytes(d));
  w.put<double>(d->rate);
  if (d->hb)
    w.child(hbr2_state_bytes(d->hb), [d](unsigned char* p, std::size_t n) { return hbr2_get_state(d->hb, p, n); });
  w.child(lo_state_bytes(&d->o), [d](unsigned char* p, std::size_t n) { return lo_get_state(&d->o, p, n); });
  w.child(rc_state_bytes(d->cascade), [d](unsigned char* p, std::size_t n) { return rc_get_state(d->cascade, p, n); });
  return w.status();
}

int lox_set_state(lox* d, const unsigned char* buf, std::size_t len) {
  // Everything is checked first (header, rate, every nested blob), so a
  // refused blob leaves the whole object as it was.
  BlobReader r = blob_open(buf, len, d->hb ? kLoxrMagic : kLoxMagic, 1, lox_state_bytes(d));
  const double rate = r.get<double>();
  const BlobSpan h = d->hb ? r.child() : BlobSpan{};
  const BlobSpan o = r.child();
  const BlobSpan c = r.child();
  if (!r.ok() || rate != d->rate) return kStatusRefused;
  if (d->hb && hbr2_check_state(d->hb, h.p, h.n) != 0) return kStatusRefused;
  lo probe = d->o;
  if (lo_set_state(&probe, o.p, o.n) != 0 || rc_check_state(d->cascade, c.p, c.n) != 0) return kStatusRefused;
  if (d->hb) hbr2_set_state(d->hb, h.p, h.n);
  d->o.phase = probe.phase;
  rc_set_state(d->cascade, c.p, c.n);
  return 0;
}

}  // namespace tb
