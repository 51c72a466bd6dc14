#include "core/spectral/fft.hpp"

#include "platform/memory.hpp"

#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

// Only the 1-D plans are used: no threading, and plain malloc for the working
// arrays (the library's aligned_alloc path asks for sizes that are not a
// multiple of the alignment, which C leaves undefined).
#define POCKETFFT_NO_MULTITHREADING
#define POCKETFFT_NO_VECTORS
#include <pocketfft_hdronly.h>

namespace tb {

// Working memory of an engine per transform point, as planned: pocketfft's
// plan and work array plus the single-precision buffers (a generous bound,
// used only to refuse sizes that cannot fit).
constexpr std::size_t kBytesPerPoint = 3 * sizeof(cf64);
namespace {

using pocketfft::detail::cmplx;
using pocketfft::detail::pocketfft_c;

bool is_pow2(std::uint64_t n) { return n && !(n & (n - 1)); }

// Memory from FFTW's aligned allocator.
struct FftwFree {
  void operator()(void* p) const { fftwf_free(p); }
};
using AlignedCf32 = std::unique_ptr<cf32[], FftwFree>;

AlignedCf32 aligned_cf32(std::size_t n) {
  if (n > std::numeric_limits<std::size_t>::max() / sizeof(cf32)) return nullptr;
  return AlignedCf32(static_cast<cf32*>(fftwf_malloc(n * sizeof(cf32))));
}

fftwf_complex* fw(cf32* p) { return reinterpret_cast<fftwf_complex*>(p); }
fftwf_complex* fw(const cf32* p) { return reinterpret_cast<fftwf_complex*>(const_cast<cf32*>(p)); }

// The single-precision SIMD path: one out-of-place plan on aligned buffers.
// New-array execution runs it on the caller's arrays when their alignment
// matches the planning buffers' (same codelets, so the same bits).
struct FftwPath {
  fftwf_plan plan = nullptr;
  AlignedCf32 in, out;
  ~FftwPath() {
    if (plan) fftwf_destroy_plan(plan);
  }
  bool make(int rank, const int* dims, std::size_t total, int sign) {
    in = aligned_cf32(total);
    out = aligned_cf32(total);
    if (!in || !out) return false;
    plan = fftwf_plan_dft(rank, dims, fw(in.get()), fw(out.get()), sign < 0 ? FFTW_FORWARD : FFTW_BACKWARD,
                          FFTW_ESTIMATE);
    return plan != nullptr;
  }
  bool direct_ok(const cf32* x, const cf32* y) const {
    return x != y && fftwf_alignment_of(reinterpret_cast<float*>(const_cast<cf32*>(x))) ==
                         fftwf_alignment_of(reinterpret_cast<float*>(in.get())) &&
           fftwf_alignment_of(reinterpret_cast<float*>(const_cast<cf32*>(y))) ==
               fftwf_alignment_of(reinterpret_cast<float*>(out.get()));
  }
  // y = transform(x) for `total` samples; x and y may be the same array.
  void run(const cf32* x, cf32* y, std::size_t total) {
    if (direct_ok(x, y)) {
      fftwf_execute_dft(plan, fw(x), fw(y));
      return;
    }
    std::memcpy(in.get(), x, total * sizeof(cf32));
    fftwf_execute(plan);
    std::memcpy(y, out.get(), total * sizeof(cf32));
  }
};

// One dimension on pocketfft, in double precision, in place.
struct Pocket {
  std::unique_ptr<pocketfft_c<double>> plan;
  bool fwd = true;
  bool make(std::size_t n, int sign) {
    plan = std::make_unique<pocketfft_c<double>>(n);
    fwd = sign < 0;
    return true;
  }
  void run(cf64* c) const { plan->exec(reinterpret_cast<cmplx<double>*>(c), 1.0, fwd); }
};

template <class T>
void copy_padded(const T* x, std::size_t nx, T* dst, std::size_t n) {
  const std::size_t m = std::min(nx, n);
  if (m && x != dst) std::memmove(dst, x, m * sizeof(T));
  std::fill(dst + m, dst + n, T{});
}

// Room for a whole transform (n samples of the widest type, cf64) when the
// caller's destination is shorter; made on first need and kept.
struct ShortDestination {
  std::vector<cf64> short_dst;
  template <class T>
  T* short_room(std::size_t n) {
    static_assert(sizeof(T) <= sizeof(cf64));
    if (short_dst.size() < n) short_dst.assign(n, cf64{});
    return reinterpret_cast<T*>(short_dst.data());
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// 1-D engine

struct fft : ShortDestination {
  std::size_t total() const { return static_cast<std::size_t>(n); }
  std::uint64_t n = 0;
  std::int32_t sign = -1;
  Pocket pocket;
  std::vector<cf64> work;            // widening scratch of the single-precision fallback
  std::unique_ptr<FftwPath> simd;    // power-of-two n >= 16 only

  void run64(cf64* c) { pocket.run(c); }
  // y = transform(x), n samples; x may equal y.
  void run32(const cf32* x, cf32* y) {
    if (simd) {
      simd->run(x, y, n);
      return;
    }
    for (std::size_t i = 0; i < n; ++i) work[i] = cf64(x[i].real(), x[i].imag());
    pocket.run(work.data());
    for (std::size_t i = 0; i < n; ++i)
      y[i] = cf32(static_cast<float>(work[i].real()), static_cast<float>(work[i].imag()));
  }
  template <class T>
  T* short_buffer() { return short_room<T>(total()); }
};

fft* fft_create(std::uint64_t n, std::int32_t sign) {
  // Plans, twiddles and working buffers take a few complex doubles per
  // point; a length no memory could hold is refused before any is attempted.
  if (n == 0 || !platform::fits_in_memory(n, kBytesPerPoint)) return nullptr;
  try {
    auto f = std::make_unique<fft>();
    f->n = n;
    f->sign = sign;
    f->pocket.make(n, sign);
    if (is_pow2(n) && n >= 16 && n <= static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
      auto s = std::make_unique<FftwPath>();
      const int dims[1] = {static_cast<int>(n)};
      if (s->make(1, dims, n, sign)) f->simd = std::move(s);  // else: pocketfft only
    }
    if (!f->simd) f->work.assign(n, cf64{});
    return f.release();
  } catch (...) {
    return nullptr;
  }
}

void fft_destroy(fft* f) { delete f; }
std::uint64_t fft_n(const fft* f) { return f->n; }
std::int32_t fft_sign(const fft* f) { return f->sign; }

// ---------------------------------------------------------------------------
// 2-D engine: rows (length nx) then columns (length ny), same sign.

struct fft2d : ShortDestination {
  std::uint64_t ny = 0, nx = 0;
  std::int32_t sign = -1;
  Pocket rows, cols;
  std::vector<cf64> grid;          // transposition scratch, ny*nx
  std::unique_ptr<FftwPath> simd;  // both dimensions powers of two >= 16

  std::size_t total() const { return static_cast<std::size_t>(ny * nx); }

  // Columns through a 16 x 16 tiled transposition: the column pass then runs
  // on contiguous rows of the transposed grid.
  template <class T>
  static void transpose(const T* src, T* dst, std::size_t r, std::size_t c) {
    constexpr std::size_t B = 16;
    for (std::size_t i0 = 0; i0 < r; i0 += B)
      for (std::size_t j0 = 0; j0 < c; j0 += B)
        for (std::size_t i = i0; i < std::min(i0 + B, r); ++i)
          for (std::size_t j = j0; j < std::min(j0 + B, c); ++j) dst[j * r + i] = src[i * c + j];
  }
  void run64(cf64* g) {
    for (std::size_t r = 0; r < ny; ++r) rows.run(g + r * nx);
    transpose(g, grid.data(), ny, nx);
    for (std::size_t c = 0; c < nx; ++c) cols.run(grid.data() + c * ny);
    transpose(grid.data(), g, nx, ny);
  }
  void run32(const cf32* x, cf32* y) {
    if (simd) {
      simd->run(x, y, total());
      return;
    }
    // Widen, transform rows, round to single precision between the passes,
    // widen again and transform the columns.
    cf64* g = grid.data();
    for (std::size_t r = 0; r < ny; ++r) {
      cf64* row = short_row();
      for (std::size_t j = 0; j < nx; ++j) row[j] = cf64(x[r * nx + j].real(), x[r * nx + j].imag());
      rows.run(row);
      for (std::size_t j = 0; j < nx; ++j)
        g[j * ny + r] = cf64(static_cast<float>(row[j].real()), static_cast<float>(row[j].imag()));
    }
    for (std::size_t c = 0; c < nx; ++c) cols.run(g + c * ny);
    for (std::size_t r = 0; r < ny; ++r)
      for (std::size_t c = 0; c < nx; ++c)
        y[r * nx + c] = cf32(static_cast<float>(g[c * ny + r].real()), static_cast<float>(g[c * ny + r].imag()));
  }
  std::vector<cf64> row_buf;  // one widened row of the single-precision fallback
  cf64* short_row() { return row_buf.data(); }
  template <class T>
  T* short_buffer() { return short_room<T>(total()); }
};

fft2d* fft2d_create(std::uint64_t ny, std::uint64_t nx, std::int32_t sign) {
  if (ny == 0 || nx == 0 || nx > std::numeric_limits<std::size_t>::max() / ny ||
      !platform::fits_in_memory(ny * nx, kBytesPerPoint))
    return nullptr;
  try {
    auto f = std::make_unique<fft2d>();
    f->ny = ny;
    f->nx = nx;
    f->sign = sign;
    f->rows.make(nx, sign);
    f->cols.make(ny, sign);
    f->grid.assign(f->total(), cf64{});
    f->row_buf.assign(nx, cf64{});
    constexpr std::uint64_t kIntMax = static_cast<std::uint64_t>(std::numeric_limits<int>::max());
    if (is_pow2(nx) && is_pow2(ny) && nx >= 16 && ny >= 16 && nx <= kIntMax && ny <= kIntMax) {
      auto s = std::make_unique<FftwPath>();
      const int dims[2] = {static_cast<int>(ny), static_cast<int>(nx)};
      if (s->make(2, dims, f->total(), sign)) f->simd = std::move(s);
    }
    return f.release();
  } catch (...) {
    return nullptr;
  }
}

void fft2d_destroy(fft2d* f) { delete f; }
std::uint64_t fft2d_ny(const fft2d* f) { return f->ny; }
std::uint64_t fft2d_nx(const fft2d* f) { return f->nx; }
std::int32_t fft2d_sign(const fft2d* f) { return f->sign; }

// ---------------------------------------------------------------------------
// Execution, shared by both engines (E provides total(), run64, run32 and
// short_buffer).

namespace {

// Runs `fill` (which writes the transform input into a buffer) and `run` into
// dst when it holds the whole transform, else into the engine's own buffer,
// copying the first cap samples.  A library allocation failure becomes a
// status instead of escaping.
template <class T, class E, class Fill, class Run>
std::int64_t execute(E* f, T* dst, std::size_t cap, Fill fill, Run run) {
  try {
    const std::size_t n = f->total();
    T* buf = cap >= n ? dst : f->template short_buffer<T>();
    fill(buf);
    run(buf);
    if (buf != dst) std::memcpy(dst, buf, cap * sizeof(T));
    return static_cast<std::int64_t>(std::min<std::size_t>(cap, n));
  } catch (const std::bad_alloc&) {
    return kStatusNoMemory;
  }
}

template <class E>
std::int64_t oop64(E* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap) {
  return execute<cf64>(f, dst, cap, [&](cf64* b) { copy_padded(x, nx, b, f->total()); },
                       [&](cf64* b) { f->run64(b); });
}

template <class E>
std::int64_t oop32(E* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap) {
  // A full-length input goes straight to the transform (no copy when aligned).
  if (nx >= f->total()) return execute<cf32>(f, dst, cap, [](cf32*) {}, [&](cf32* b) { f->run32(x, b); });
  return execute<cf32>(f, dst, cap, [&](cf32* b) { copy_padded(x, nx, b, f->total()); },
                       [&](cf32* b) { f->run32(b, b); });
}

// In place: the available input samples are copied over the start of the
// destination, which is then transformed whole.
template <class T, class E, class Run>
std::int64_t inplace(E* f, const T* x, std::size_t nx, T* dst, std::size_t cap, Run run) {
  auto fill = [&](T* b) {
    if (nx && b != x) std::memmove(b, x, std::min<std::size_t>(nx, f->total()) * sizeof(T));
  };
  return execute<T>(f, dst, cap, fill, run);
}

template <class I>
std::int64_t execute_int(fft* f, const I* iq, std::size_t nv, cf32* dst, std::size_t cap, float unit) {
  const std::size_t pairs = std::min<std::size_t>(nv / 2, f->n);
  auto fill = [&](cf32* buf) {
    for (std::size_t i = 0; i < pairs; ++i)
      buf[i] = cf32(static_cast<float>(iq[2 * i]) * unit, static_cast<float>(iq[2 * i + 1]) * unit);
    std::fill(buf + pairs, buf + f->n, cf32{});
  };
  return execute<cf32>(f, dst, cap, fill, [&](cf32* b) { f->run32(b, b); });
}

}  // namespace

std::int64_t fft_execute_cf64(fft* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap) {
  return oop64(f, x, nx, dst, cap);
}
std::int64_t fft_execute_cf32(fft* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap) {
  return oop32(f, x, nx, dst, cap);
}
std::int64_t fft_execute_inplace_cf64(fft* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap) {
  return inplace(f, x, nx, dst, cap, [&](cf64* b) { f->run64(b); });
}
std::int64_t fft_execute_inplace_cf32(fft* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap) {
  return inplace(f, x, nx, dst, cap, [&](cf32* b) { f->run32(b, b); });
}
std::int64_t fft_execute_ci16(fft* f, const std::int16_t* iq, std::size_t nv, cf32* dst, std::size_t cap) {
  return execute_int(f, iq, nv, dst, cap, 0x1p-15f);
}
std::int64_t fft_execute_ci8(fft* f, const std::int8_t* iq, std::size_t nv, cf32* dst, std::size_t cap) {
  return execute_int(f, iq, nv, dst, cap, 0x1p-7f);
}
std::int64_t fft2d_execute_cf64(fft2d* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap) {
  return oop64(f, x, nx, dst, cap);
}
std::int64_t fft2d_execute_cf32(fft2d* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap) {
  return oop32(f, x, nx, dst, cap);
}
std::int64_t fft2d_execute_inplace_cf64(fft2d* f, const cf64* x, std::size_t nx, cf64* dst, std::size_t cap) {
  return inplace(f, x, nx, dst, cap, [&](cf64* b) { f->run64(b); });
}
std::int64_t fft2d_execute_inplace_cf32(fft2d* f, const cf32* x, std::size_t nx, cf32* dst, std::size_t cap) {
  return inplace(f, x, nx, dst, cap, [&](cf32* b) { f->run32(b, b); });
}

}  // namespace tb
