#include "core/lox/agc.hpp"

#include <bit>
#include <cmath>

#include "core/common/blob.hpp"

namespace tb {

namespace {

constexpr char kMagic[4] = {'A', 'G', 'C', ' '};
constexpr std::uint16_t kVersion = 3;

}  // namespace

double agc_exp2a(double e) {
  e = agc_limit(e, -1023.0, 1023.0, -1023.0);
  const double f = std::floor(e);
  const double frac = e - f;
  const double r = frac * 0.6931471805599453;
  // 2^f straight into the exponent field (f is within the normal range).
  const double p2 = std::bit_cast<double>(static_cast<std::uint64_t>(static_cast<std::int64_t>(f) + 1023) << 52);
  return p2 * (((((frac * 0.028881132523331052 + 0.16666666666666666) * r + 0.5) * r + 1.0) * r + 1.0));
}

double agc_log10a(double l) {
  int e;
  const double m = std::frexp(l, &e) * 2.0;  // l = 2^(e-1) * m, 1 <= m < 2
  const double t = (m - 1.0) / (m + 1.0);
  return (static_cast<double>(e - 1) + (t * t * 0.3333333333333333 + 1.0) * (t * 2.885390081777927)) *
         3.010299956639812;
}

void agc_reset(agc* a) {
  a->count = 0;
  a->gain_lin = 1.0;
  a->gain_db = 0.0;
  a->clamp_lin = static_cast<float>(agc_exp2a(a->clamp_db * kAgcDbToLog2));
  a->power = std::pow(10.0, a->target_db / 10.0);
}

void agc_update(agc* a) {
  const std::uint64_t period = a->period ? a->period : 1;
  const double level = agc_limit(a->power + 1e-30, 1e-30, kAgcPowerMax, kAgcPowerMax);
  const double power_db = agc_log10a(level);
  a->gain_db += (a->target_db - power_db) * (static_cast<double>(period) * 4.0 * a->loop_gain);
  a->clamp_lin = static_cast<float>(agc_exp2a(a->clamp_db * kAgcDbToLog2));
  a->count = 0;
  if (a->tlm) {
    if (a->ch_gain >= 0 && a->ch_gain < 64) tlm_emit(a->tlm, static_cast<std::uint32_t>(a->ch_gain), static_cast<float>(a->gain_db));
    if (a->ch_power >= 0 && a->ch_power < 64) tlm_emit(a->tlm, static_cast<std::uint32_t>(a->ch_power), static_cast<float>(power_db));
  }
}

int agc_set_telemetry(agc* a, tb_tlm* ctx, const char* prefix, std::uint64_t decim) {
  std::uint32_t idx[2];
  tb_tlm* got = nullptr;
  const int rc = tlm_attach(ctx, prefix, decim, kAgcProbes, idx, 2, &got);
  if (rc != 0) return rc;
  a->tlm = got;
  a->ch_gain = got ? static_cast<std::int32_t>(idx[0]) : -1;
  a->ch_power = got ? static_cast<std::int32_t>(idx[1]) : -1;
  return 0;
}

int agc_get_state(const agc* a, unsigned char* buf, std::size_t len) {
  return blob_put_image(buf, len, kMagic, kVersion, *a, kAgcPersisted);
}

int agc_check_state(const agc*, const unsigned char* buf, std::size_t len) {
  return blob_open(buf, len, kMagic, kVersion, kAgcBlobBytes).ok() ? 0 : kStatusRefused;
}

// The image carries the parameters too, so an AGC's settings travel with its
// state; the telemetry attachment stays the object's own.
int agc_set_state(agc* a, const unsigned char* buf, std::size_t len) {
  return blob_get_image(a, buf, len, kMagic, kVersion, kAgcPersisted);
}

}  // namespace tb
