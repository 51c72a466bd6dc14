#include "core/spectral/corr.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "core/common/blob.hpp"
#include "core/common/status.hpp"
#include "platform/memory.hpp"

namespace tb {

namespace {

constexpr char kCorrMagic[4] = {'C', 'O', 'R', 'R'};
constexpr char kCorr2dMagic[4] = {'C', 'R', '2', 'D'};

// Complex product in single precision: each of the four products rounded,
// then one subtraction or addition (no library complex multiply with its
// NaN recovery, no fused multiply-add).
inline cf32 cmul(cf32 a, cf32 b) {
  const float ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag();
  return {ar * br - ai * bi, ar * bi + ai * br};
}
inline cf32 cadd(cf32 a, cf32 b) { return {a.real() + b.real(), a.imag() + b.imag()}; }

// Zero-pads a spectrum of n bins (stride ss) to m bins (stride ds): bins
// 0..h stay, bins h+1..n-1 move to the top, and for even n the Nyquist bin
// h is halved and written to both h and m - h.
void split_pad(const cf32* s, std::size_t n, std::size_t ss, cf32* d, std::size_t m, std::size_t ds) {
  for (std::size_t i = 0; i < m; ++i) d[i * ds] = cf32{};
  const std::size_t h = n / 2;
  for (std::size_t k = 0; k <= h && k < n; ++k) d[k * ds] = s[k * ss];
  for (std::size_t k = h + 1; k < n; ++k) d[(k + m - n) * ds] = s[k * ss];
  if (n % 2 == 0) {
    const cf32 half = {s[h * ss].real() * 0.5f, s[h * ss].imag() * 0.5f};
    d[h * ds] = half;
    d[(m - h) * ds] = half;
  }
}

inline void scale(cf32* y, std::size_t k, float inv) {
  for (std::size_t i = 0; i < k; ++i) y[i] = {y[i].real() * inv, y[i].imag() * inv};
}

template <class R>
bool sizes_fit(std::uint64_t points, std::uint64_t buffers) {
  return points != 0 && buffers != 0 && points <= std::numeric_limits<std::uint64_t>::max() / buffers &&
         platform::fits_in_memory(points * buffers, sizeof(R));
}

// The blob: count, then the accumulator (re, im float32 each).
int put_state(const char magic[4], std::uint64_t count, const std::vector<cf32>& acc, unsigned char* buf,
              std::size_t len) {
  BlobWriter w = blob_begin(buf, len, magic, 1, kBlobHeader + 8 + 8 * acc.size());
  w.put<std::uint64_t>(count);
  for (const cf32& v : acc) {
    w.put<float>(v.real());
    w.put<float>(v.imag());
  }
  return w.status();
}
// A count at or beyond dwell could never dump again: refused.
int check_state(const char magic[4], std::uint64_t dwell, std::size_t n, const unsigned char* buf, std::size_t len) {
  BlobReader r = blob_open(buf, len, magic, 1, kBlobHeader + 8 + 8 * n);
  const std::uint64_t count = r.get<std::uint64_t>();
  return r.ok() && count < dwell ? 0 : kStatusRefused;
}
void take_state(std::uint64_t* count, std::vector<cf32>& acc, const unsigned char* buf) {
  BlobReader r(buf + kBlobHeader, 8 + 8 * acc.size());
  *count = r.get<std::uint64_t>();
  for (cf32& v : acc) {
    const float re = r.get<float>(), im = r.get<float>();
    v = {re, im};
  }
}

}  // namespace

corr::~corr() {
  fft_destroy(fwd);
  fft_destroy(inv);
  fft_destroy(fwdm);
  fft_destroy(invm);
}

corr2d::~corr2d() {
  fft_destroy(fwd);
  fft_destroy(inv);
  fft2d_destroy(fwd2);
  fft2d_destroy(inv2);
}

// ---------------------------------------------------------------------------
// 1-D

corr* corr_create(const cf32* ref, std::size_t n, std::uint64_t dwell, std::uint64_t n_out) {
  if (n_out == 0) n_out = n;
  if (ref == nullptr || n == 0 || dwell == 0 || n_out < n || !sizes_fit<cf32>(n_out, 6)) return nullptr;
  try {
    auto c = std::make_unique<corr>();
    c->n = n;
    c->n_out = n_out;
    c->dwell = dwell;
    c->fwd = fft_create(n, -1);
    c->inv = fft_create(n_out, +1);
    if (!c->fwd || !c->inv) return nullptr;
    c->r.assign(n, cf32{});
    c->x.assign(n, cf32{});
    c->acc.assign(n, cf32{});
    if (n_out != n) c->pad.assign(n_out, cf32{});
    if (fft_execute_cf32(c->fwd, ref, n, c->r.data(), n) < 0) return nullptr;
    for (cf32& v : c->r) v = std::conj(v);
    return c.release();
  } catch (...) {
    return nullptr;
  }
}

corr* corr_create_linear(const cf32* ref, std::size_t n, std::uint64_t dwell) {
  corr* c = corr_create(ref, n, dwell, 0);
  if (!c || dwell != 1 || (n & (n - 1)) == 0) return c;
  std::uint64_t m = 16;
  while (m < 2 * static_cast<std::uint64_t>(n) - 1) m <<= 1;
  try {
    if (!sizes_fit<cf32>(m, 4)) return c;  // the native mode still works
    auto* fwd = fft_create(m, -1);
    auto* inv = fft_create(m, +1);
    c->fwdm = fwd;
    c->invm = inv;
    if (!fwd || !inv) return c;
    std::vector<cf32> padded(m, cf32{});
    std::copy(ref, ref + n, padded.begin());
    c->rm.assign(m, cf32{});
    if (fft_execute_cf32(fwd, padded.data(), m, c->rm.data(), m) < 0) return c;
    for (cf32& v : c->rm) v = std::conj(v);
    c->xin.assign(m, cf32{});
    c->spec.assign(m, cf32{});
    c->lags.assign(m, cf32{});
    c->m = m;
  } catch (...) {
  }
  return c;
}

void corr_destroy(corr* c) { delete c; }

void corr_reset(corr* c) {
  std::fill(c->acc.begin(), c->acc.end(), cf32{});
  c->count = 0;
}

std::size_t corr_max_out(const corr* c) { return static_cast<std::size_t>(c->n_out); }

namespace {

// c[k] = sum_j x[(j + k) mod n] conj(ref[j]) for k < n is the linear
// correlation of [x, x[0..n-2]] with ref at lags 0..n-1; over m >= 2n - 1
// points no lag wraps.  The unnormalised inverse gives m c[k].
std::int64_t linear_execute(corr* c, const cf32* frame, std::size_t len, cf32* out, std::size_t cap) {
  const std::size_t n = c->n, m = c->m;
  cf32* xin = c->xin.data();
  const std::size_t have = std::min(len, n);
  std::copy(frame, frame + have, xin);
  std::fill(xin + have, xin + n, cf32{});  // a short frame reads as zero-padded
  std::copy(xin, xin + n - 1, xin + n);
  std::int64_t rc = fft_execute_cf32(c->fwdm, xin, m, c->spec.data(), m);
  if (rc < 0) return rc;
  for (std::size_t k = 0; k < m; ++k) c->spec[k] = cmul(c->spec[k], c->rm[k]);
  rc = fft_execute_cf32(c->invm, c->spec.data(), m, c->lags.data(), m);
  if (rc < 0) return rc;
  const std::size_t k = std::min(cap, n);
  const float inv = 1.0f / static_cast<float>(m);
  for (std::size_t i = 0; i < k; ++i) out[i] = {c->lags[i].real() * inv, c->lags[i].imag() * inv};
  return static_cast<std::int64_t>(k);
}

}  // namespace

std::int64_t corr_execute(corr* c, const cf32* frame, std::size_t len, cf32* out, std::size_t cap) {
  if (c->m) return linear_execute(c, frame, len, out, cap);
  const std::size_t n = c->n;
  const std::int64_t rc = fft_execute_cf32(c->fwd, frame, len, c->x.data(), n);
  if (rc < 0) return rc;
  if (c->count + 1 != c->dwell) {
    for (std::size_t k = 0; k < n; ++k) c->acc[k] = cadd(c->acc[k], cmul(c->x[k], c->r[k]));
    c->count += 1;
    return 0;
  }
  // The dump frame: the completed sum is formed beside the accumulator, so a
  // transform that cannot get memory leaves the integration as it was.
  for (std::size_t k = 0; k < n; ++k) c->x[k] = cadd(c->acc[k], cmul(c->x[k], c->r[k]));
  const cf32* src = c->x.data();
  if (c->n_out != n) {
    split_pad(c->x.data(), n, 1, c->pad.data(), c->n_out, 1);
    src = c->pad.data();
  }
  const std::int64_t k = fft_execute_cf32(c->inv, src, c->n_out, out, cap);
  if (k < 0) return k;
  scale(out, static_cast<std::size_t>(k), 1.0f / static_cast<float>(n));
  corr_reset(c);
  return k;
}

std::size_t corr_state_bytes(const corr* c) { return kBlobHeader + 8 + 8 * c->acc.size(); }
int corr_get_state(const corr* c, unsigned char* buf, std::size_t len) {
  return put_state(kCorrMagic, c->count, c->acc, buf, len);
}
int corr_check_state(const corr* c, const unsigned char* buf, std::size_t len) {
  return check_state(kCorrMagic, c->dwell, c->acc.size(), buf, len);
}
int corr_set_state(corr* c, const unsigned char* buf, std::size_t len) {
  if (corr_check_state(c, buf, len) != 0) return kStatusRefused;
  take_state(&c->count, c->acc, buf);
  return 0;
}

// ---------------------------------------------------------------------------
// 2-D

corr2d* corr2d_create(const cf32* ref, std::size_t ny, std::size_t nx, std::uint64_t dwell, std::uint64_t ny_out,
                      std::uint64_t nx_out, std::int32_t col_out) {
  if (ny_out == 0) ny_out = ny;
  if (nx_out == 0) nx_out = nx;
  if (ref == nullptr || ny == 0 || nx == 0 || dwell == 0 || ny_out < ny || nx_out < nx) return nullptr;
  if (nx > std::numeric_limits<std::uint64_t>::max() / ny || nx_out > std::numeric_limits<std::uint64_t>::max() / ny_out)
    return nullptr;
  const std::uint64_t total = ny * nx, total_out = ny_out * nx_out;
  if (!sizes_fit<cf32>(std::max(total, total_out), 8)) return nullptr;
  bool rows_zero = true;
  for (std::size_t i = nx; i < total && rows_zero; ++i) rows_zero = ref[i].real() == 0.0f && ref[i].imag() == 0.0f;
  const bool fast = ny_out == ny && rows_zero;
  if (col_out >= 0 && (!fast || nx_out != nx || static_cast<std::uint64_t>(col_out) >= nx)) return nullptr;
  try {
    auto c = std::make_unique<corr2d>();
    c->ny = ny;
    c->nx = nx;
    c->ny_out = ny_out;
    c->nx_out = nx_out;
    c->dwell = dwell;
    c->col_out = col_out;
    c->fast = fast;
    c->acc.assign(total, cf32{});
    c->frame.assign(total, cf32{});
    if (col_out >= 0) {
      c->ref0.resize(nx);
      for (std::size_t p = 0; p < nx; ++p) c->ref0[p] = std::conj(ref[p]);
      return c.release();
    }
    c->x.assign(total, cf32{});
    c->pad2.assign(total_out, cf32{});
    if (fast) {
      c->fwd = fft_create(nx, -1);
      c->inv = fft_create(nx_out, +1);
      if (!c->fwd || !c->inv) return nullptr;
      c->r.assign(nx, cf32{});
      if (fft_execute_cf32(c->fwd, ref, nx, c->r.data(), nx) < 0) return nullptr;
      if (nx_out != nx) c->pad.assign(ny * nx_out, cf32{});
    } else {
      c->fwd2 = fft2d_create(ny, nx, -1);
      c->inv2 = fft2d_create(ny_out, nx_out, +1);
      if (!c->fwd2 || !c->inv2) return nullptr;
      c->r.assign(total, cf32{});
      if (fft2d_execute_cf32(c->fwd2, ref, total, c->r.data(), total) < 0) return nullptr;
      if (nx_out != nx) c->pad.assign(ny * nx_out, cf32{});
    }
    for (cf32& v : c->r) v = std::conj(v);
    return c.release();
  } catch (...) {
    return nullptr;
  }
}

void corr2d_destroy(corr2d* c) { delete c; }

void corr2d_reset(corr2d* c) {
  std::fill(c->acc.begin(), c->acc.end(), cf32{});
  c->count = 0;
}

std::size_t corr2d_max_out(const corr2d* c) {
  return static_cast<std::size_t>(c->col_out >= 0 ? c->ny : c->ny_out * c->nx_out);
}

std::int64_t corr2d_execute(corr2d* c, const cf32* frame, std::size_t len, cf32* out, std::size_t cap) {
  const std::size_t ny = c->ny, nx = c->nx, total = ny * nx;
  if (len < total) {  // a short frame reads as zero-padded
    std::copy(frame, frame + len, c->frame.begin());
    std::fill(c->frame.begin() + static_cast<std::ptrdiff_t>(len), c->frame.end(), cf32{});
    frame = c->frame.data();
  }
  const bool dump = c->count + 1 == c->dwell;
  if (c->col_out >= 0) {
    // One lag, in the time domain: no transform at all.
    const std::size_t col = static_cast<std::size_t>(c->col_out);
    for (std::size_t y = 0; y < ny; ++y) {
      const cf32* row = frame + y * nx;
      cf32 v{};
      for (std::size_t p = 0; p < nx; ++p) v = cadd(v, cmul(c->ref0[p], row[(p + col) % nx]));
      c->acc[y] = cadd(c->acc[y], v);
    }
    if (!dump) {
      c->count += 1;
      return 0;
    }
    const std::size_t k = std::min<std::size_t>(cap, ny);
    std::copy(c->acc.begin(), c->acc.begin() + static_cast<std::ptrdiff_t>(k), out);
    corr2d_reset(c);
    return static_cast<std::int64_t>(k);
  }
  // Forward transform and the product with the reference spectrum; on the
  // dump frame into the work buffer beside the accumulator.
  if (c->fast) {
    for (std::size_t y = 0; y < ny; ++y) {
      const std::int64_t rc = fft_execute_cf32(c->fwd, frame + y * nx, nx, c->x.data() + y * nx, nx);
      if (rc < 0) return rc;
    }
    for (std::size_t i = 0; i < total; ++i) {
      const cf32 p = cmul(c->x[i], c->r[i % nx]);
      if (dump)
        c->x[i] = cadd(c->acc[i], p);
      else
        c->acc[i] = cadd(c->acc[i], p);
    }
  } else {
    const std::int64_t rc = fft2d_execute_cf32(c->fwd2, frame, total, c->x.data(), total);
    if (rc < 0) return rc;
    for (std::size_t i = 0; i < total; ++i) {
      const cf32 p = cmul(c->x[i], c->r[i]);
      if (dump)
        c->x[i] = cadd(c->acc[i], p);
      else
        c->acc[i] = cadd(c->acc[i], p);
    }
  }
  if (!dump) {
    c->count += 1;
    return 0;
  }
  const std::size_t nxo = c->nx_out, nyo = c->ny_out, total_out = nyo * nxo;
  const cf32* rows = c->x.data();
  if (nxo != nx) {
    for (std::size_t y = 0; y < ny; ++y) split_pad(c->x.data() + y * nx, nx, 1, c->pad.data() + y * nxo, nxo, 1);
    rows = c->pad.data();
  }
  cf32* dst = c->pad2.data();
  if (c->fast) {
    for (std::size_t y = 0; y < ny; ++y) {
      const std::int64_t rc = fft_execute_cf32(c->inv, rows + y * nxo, nxo, dst + y * nxo, nxo);
      if (rc < 0) return rc;
    }
    scale(dst, total_out, 1.0f / static_cast<float>(nx));
  } else {
    const cf32* src = rows;
    if (nyo != ny) {
      // Columns last: pad each of the nxo columns from ny to nyo into dst,
      // then transform dst in place.
      for (std::size_t col = 0; col < nxo; ++col) split_pad(rows + col, ny, nxo, dst + col, nyo, nxo);
      src = dst;
    }
    const std::int64_t rc = fft2d_execute_inplace_cf32(c->inv2, src, total_out, dst, total_out);
    if (rc < 0) return rc;
    scale(dst, total_out, 1.0f / static_cast<float>(total));
  }
  const std::size_t k = std::min<std::size_t>(cap, total_out);
  std::copy(dst, dst + k, out);
  corr2d_reset(c);
  return static_cast<std::int64_t>(k);
}

std::size_t corr2d_state_bytes(const corr2d* c) { return kBlobHeader + 8 + 8 * c->acc.size(); }
int corr2d_get_state(const corr2d* c, unsigned char* buf, std::size_t len) {
  return put_state(kCorr2dMagic, c->count, c->acc, buf, len);
}
int corr2d_check_state(const corr2d* c, const unsigned char* buf, std::size_t len) {
  return check_state(kCorr2dMagic, c->dwell, c->acc.size(), buf, len);
}
int corr2d_set_state(corr2d* c, const unsigned char* buf, std::size_t len) {
  if (corr2d_check_state(c, buf, len) != 0) return kStatusRefused;
  take_state(&c->count, c->acc, buf);
  return 0;
}

}  // namespace tb
