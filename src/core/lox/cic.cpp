#include "core/lox/cic.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <utility>

#include "core/common/blob.hpp"

namespace tb {

namespace {

constexpr char kCicMagic[4] = {'C', 'I', 'C', '_'};
constexpr char kFirMagic[4] = {'F', 'I', 'R', '_'};
constexpr std::uint16_t kCicVersion = 2;

// Q14 quantisation of one component: clip to the int16 range (noting it),
// truncate toward zero (NaN becomes 0), then offset binary.
inline std::uint64_t quantise(float v, bool& clip) {
  const float q = v * 16384.0f;
  std::int32_t i;
  if (q > 32767.0f) {
    i = 32767;
    clip = true;
  } else if (q < -32768.0f) {
    i = -32768;
    clip = true;
  } else if (q != q) {
    i = 0;
  } else {
    i = static_cast<std::int32_t>(q);
  }
  return static_cast<std::uint64_t>(i + 32768);
}

// The integrators and combs run in unsigned arithmetic: wrap-around modulo
// 2^64 is the intended behaviour, and the exact shift removes the gain.
struct Lane {
  std::uint64_t* in;  // I1..I4
  std::uint64_t* dl;  // D1..D4
  void integrate(std::uint64_t s) {
    in[0] += s;
    in[1] += in[0];
    in[2] += in[1];
    in[3] += in[2];
  }
  float dump(std::uint32_t shift) {
    std::uint64_t c = in[3];
    for (int k = 0; k < 4; ++k) {
      const std::uint64_t d = c - dl[k];
      dl[k] = c;
      c = d;
    }
    const auto code = static_cast<std::uint16_t>(c >> shift);
    return static_cast<float>(code) * 0x1p-14f - 2.0f;
  }
};

}  // namespace

cic* cic_create(std::uint32_t r) {
  if (r < 2 || r > 2048 || (r & (r - 1)) != 0) return nullptr;
  cic* c = new (std::nothrow) cic{};
  if (!c) return nullptr;
  c->r = r;
  c->shift = 4u * static_cast<std::uint32_t>(std::countr_zero(r));
  return c;
}

void cic_destroy(cic* c) { delete c; }

void cic_reset(cic* c) {
  for (auto& v : c->integ) v = 0;
  for (auto& v : c->comb) v = 0;
  c->count = 0;
  c->clipped = 0;
}

std::size_t cic_execute(cic* c, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
  auto* in = reinterpret_cast<std::uint64_t*>(c->integ);
  auto* dl = reinterpret_cast<std::uint64_t*>(c->comb);
  Lane li{in, dl}, lq{in + 4, dl + 4};
  const std::uint32_t r = c->r, shift = c->shift;
  std::uint32_t count = c->count;
  bool clip = false;
  std::size_t j = 0;
  for (std::size_t i = 0; i < n; ++i) {
    li.integrate(quantise(x[i].real(), clip));
    lq.integrate(quantise(x[i].imag(), clip));
    if (++count < r) continue;
    count = 0;
    const float re = li.dump(shift), im = lq.dump(shift);
    if (j < cap) out[j++] = {re, im};
  }
  c->count = count;
  if (clip) c->clipped = 1;
  return j;
}

std::size_t cic_max_out(const cic* c, std::size_t n) { return (n + c->count) / c->r; }

std::size_t cic_state_bytes(const cic*) { return kCicBlobBytes; }

int cic_get_state(const cic* c, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kCicMagic, kCicVersion, kCicBlobBytes);
  for (std::int64_t v : c->integ) w.put<std::int64_t>(v);
  for (std::int64_t v : c->comb) w.put<std::int64_t>(v);
  w.put<std::uint32_t>(c->count);
  w.put<std::uint8_t>(c->clipped);
  return w.status();
}

int cic_check_state(const cic*, const unsigned char* buf, std::size_t len) {
  return blob_open(buf, len, kCicMagic, kCicVersion, kCicBlobBytes).ok() ? 0 : kStatusRefused;
}

int cic_set_state(cic* c, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kCicMagic, kCicVersion, kCicBlobBytes);
  if (!r.ok()) return kStatusRefused;
  for (auto& v : c->integ) v = r.get<std::int64_t>();
  for (auto& v : c->comb) v = r.get<std::int64_t>();
  c->count = r.get<std::uint32_t>() % c->r;  // a count past the ratio would never dump
  c->clipped = r.get<std::uint8_t>() ? 1 : 0;
  return 0;
}

// ---------------------------------------------------------------------------
// Compensator FIR

fir* fir_create(const float* taps, std::size_t k) {
  if (k == 0 || taps == nullptr) return nullptr;
  try {
    auto* f = new fir;
    f->taps.assign(taps, taps + k);
    f->work.assign(k, cf32{});  // history plus room for one sample
    return f;
  } catch (...) {
    return nullptr;
  }
}

void fir_destroy(fir* f) { delete f; }

void fir_reset(fir* f) { std::fill(f->work.begin(), f->work.begin() + (f->taps.size() - 1), cf32{}); }

bool fir_reserve(fir* f, std::size_t n) {
  const std::size_t need = f->taps.size() - 1 + n;
  if (f->work.size() >= need) return true;
  try {
    f->work.resize(need);
    return true;
  } catch (...) {
    return false;
  }
}

std::size_t fir_execute(fir* f, const cf32* x, std::size_t n, cf32* out) {
  if (n == 0) return 0;
  if (!fir_reserve(f, n)) return 0;
  const std::size_t k = f->taps.size(), h = k - 1;
  cf32* w = f->work.data();
  std::copy(x, x + n, w + h);  // x may be out: copied before any output is written
  const float* t = f->taps.data();
  for (std::size_t i = 0; i < n; ++i) {
    float re = 0.0f, im = 0.0f;
    for (std::size_t j = 0; j < k; ++j) {
      const cf32 v = w[i + h - j];
      re += t[j] * v.real();
      im += t[j] * v.imag();
    }
    out[i] = {re, im};
  }
  std::copy(w + n, w + n + h, w);  // the last K - 1 samples become the history
  return n;
}

std::size_t fir_state_bytes(const fir* f) {
  const std::size_t k = f->taps.size();
  return k < 2 ? kBlobHeader : kBlobHeader + (k - 1) * sizeof(cf32);
}

int fir_get_state(const fir* f, unsigned char* buf, std::size_t len) {
  BlobWriter w = blob_begin(buf, len, kFirMagic, 1, fir_state_bytes(f));
  for (std::size_t i = 0; i + 1 < f->taps.size(); ++i) {
    w.put<float>(f->work[i].real());
    w.put<float>(f->work[i].imag());
  }
  return w.status();
}

int fir_check_state(const fir* f, const unsigned char* buf, std::size_t len) {
  return blob_open(buf, len, kFirMagic, 1, fir_state_bytes(f)).ok() ? 0 : kStatusRefused;
}

int fir_set_state(fir* f, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, kFirMagic, 1, fir_state_bytes(f));
  if (!r.ok()) return kStatusRefused;
  for (std::size_t i = 0; i + 1 < f->taps.size(); ++i) {
    const float re = r.get<float>(), im = r.get<float>();
    f->work[i] = {re, im};
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Compensator design

bool cic_comp_design(int n, double r, std::size_t k, double* taps) {
  if (k != 7 || taps == nullptr) return false;
  // a_c = |B_2c| N (1 - R^-2c) / (2c) with the Bernoulli numbers 1/6, 1/30, 1/42.
  const double bern[3] = {1.0 / 6.0, 1.0 / 30.0, 1.0 / 42.0};
  double a[3];
  for (int c = 1; c <= 3; ++c)
    a[c - 1] = bern[c - 1] * static_cast<double>(n) * (1.0 - std::pow(r, -2.0 * c)) / (2.0 * c);
  double m[3][4];
  for (int row = 0; row < 3; ++row) {
    const double g = row % 2 == 0 ? -2.0 : 2.0;
    for (int col = 0; col < 3; ++col) m[row][col] = g * std::pow(static_cast<double>(col + 1), 2.0 * row + 2.0);
    double rhs = 0.0;
    for (int p = 1; p <= row + 1; ++p) rhs += (2.0 * p - 1.0) * std::pow(a[row + 1 - p], static_cast<double>(p));
    m[row][3] = rhs;
  }
  // Gaussian elimination with partial pivoting, then back-substitution.
  for (int col = 0; col < 3; ++col) {
    int piv = col;
    for (int row = col + 1; row < 3; ++row)
      if (std::fabs(m[row][col]) > std::fabs(m[piv][col])) piv = row;
    if (piv != col)
      for (int j = 0; j < 4; ++j) std::swap(m[col][j], m[piv][j]);
    if (m[col][col] == 0.0) return false;
    for (int row = col + 1; row < 3; ++row) {
      const double f = m[row][col] / m[col][col];
      for (int j = col; j < 4; ++j) m[row][j] -= f * m[col][j];
    }
  }
  double x[3];
  for (int row = 2; row >= 0; --row) {
    double s = m[row][3];
    for (int j = row + 1; j < 3; ++j) s -= m[row][j] * x[j];
    x[row] = s / m[row][row];
  }
  const double centre = 1.0 - 2.0 * (x[0] + x[1] + x[2]);
  const double out[7] = {x[2], x[1], x[0], centre, x[0], x[1], x[2]};
  for (int i = 0; i < 7; ++i) taps[i] = out[i];
  return true;
}

}  // namespace tb
