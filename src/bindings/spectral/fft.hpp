// spectral.FFT and spectral.FFT2D: planned transform engines.  One row
// template serves both engines and every sample type.
#pragma once
#include "bindings/frame.hpp"
#include "core/spectral/fft.hpp"

namespace tb::py {

// The engine-independent rows: execute_* under convention V with capacity
// max(len(x), total), and the in-place twins that read their destination.
template <class T>
struct FftRows {
  using Rec = RecOf<T>;
  static std::size_t total(const Rec* r) { return T::total(r); }

  static std::vector<PyMethodDef> rows_for(const char* total_text) {
    constexpr VOpts inplace{.zero_fresh = true};
    return rows(
        block_v<T, T::exec64, &FftRows::total>("execute_cf64", "Transform of x (complex128).", total_text),
        block_v<T, T::exec32, &FftRows::total>("execute_cf32", "Transform of x (complex64).", total_text),
        block_v<T, T::inplace64, &FftRows::total, inplace>(
            "execute_inplace_cf64", "x is copied into the destination, which is transformed in place.", total_text),
        block_v<T, T::inplace32, &FftRows::total, inplace>(
            "execute_inplace_cf32", "x is copied into the destination, which is transformed in place.", total_text));
  }
};

struct FftT {
  using Rec = tb::fft;
  static constexpr const char* name = "spectral.FFT";
  static constexpr const char* doc = R"(FFT(n=1024, sign=-1, nthreads=1)
--

A planned length-n transform: sign < 0 is the forward DFT, otherwise the inverse.
No scaling in either direction.  nthreads is accepted and ignored.  Inputs shorter
than n are zero-padded; longer inputs use their first n samples.)";
  static constexpr const char* what = "the transform";
  static constexpr auto destroy = &tb::fft_destroy;
  static void reset(Rec*) {}  // plans are immutable
  static constexpr auto exec64 = &tb::fft_execute_cf64;
  static constexpr auto exec32 = &tb::fft_execute_cf32;
  static constexpr auto inplace64 = &tb::fft_execute_inplace_cf64;
  static constexpr auto inplace32 = &tb::fft_execute_inplace_cf32;
  static std::size_t total(const Rec* r) { return static_cast<std::size_t>(tb::fft_n(r)); }

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"n", "sign", "nthreads", nullptr};
    unsigned long long n = 1024;
    int sign = -1, nthreads = 1;
    if (!parse(args, kw, "|Kii", kwlist, &n, &sign, &nthreads)) return nullptr;
    return created(tb::fft_create(n, sign), "fft_create");
  }
  // Interleaved integer I/Q: fresh output only, capacity max(len/2, n).
  template <class I, std::int64_t (*K)(Rec*, const I*, std::size_t, cf32*, std::size_t)>
  static PyObject* execute_int(Rec* r, PyObject* arg) {
    In<I> iq;
    if (!iq.convert(arg)) return nullptr;
    OutV<cf32> out;
    if (!out.prepare(nullptr, std::max<std::size_t>(iq.size() / 2, total(r)))) return nullptr;
    std::size_t k;
    if (!produced(K(r, iq.data(), iq.size(), out.data(), out.capacity()), &k, what)) return nullptr;
    return out.finish(k);
  }
  static std::int32_t sign(const Rec* r) { return tb::fft_sign(r); }
  static std::uint64_t n(const Rec* r) { return tb::fft_n(r); }

  static std::vector<PyMethodDef> methods() {
    return rows(FftRows<FftT>::rows_for("The output length: n."),
                method1<FftT, &execute_int<std::int16_t, tb::fft_execute_ci16>>(
                    "execute_ci16", "execute_ci16(iq, /)\n--\n\nTransform of interleaved int16 I/Q (full scale 32768)."),
                method1<FftT, &execute_int<std::int8_t, tb::fft_execute_ci8>>(
                    "execute_ci8", "execute_ci8(iq, /)\n--\n\nTransform of interleaved int8 I/Q (full scale 128)."));
  }
  static std::vector<PyGetSetDef> getset() {
    return {computed<FftT, &FftT::n>("n", "Transform length."), computed<FftT, &FftT::sign>("sign", "Direction.")};
  }
};

struct Fft2dT {
  using Rec = tb::fft2d;
  static constexpr const char* name = "spectral.FFT2D";
  static constexpr const char* doc = R"(FFT2D(ny=64, nx=64, sign=-1, nthreads=1)
--

A planned 2-D transform of a row-major ny x nx grid (rows, then columns), flat
input and output.  No scaling; nthreads is accepted and ignored.)";
  static constexpr const char* what = "the transform";
  static constexpr auto destroy = &tb::fft2d_destroy;
  static void reset(Rec*) {}
  static constexpr auto exec64 = &tb::fft2d_execute_cf64;
  static constexpr auto exec32 = &tb::fft2d_execute_cf32;
  static constexpr auto inplace64 = &tb::fft2d_execute_inplace_cf64;
  static constexpr auto inplace32 = &tb::fft2d_execute_inplace_cf32;
  static std::size_t total(const Rec* r) { return static_cast<std::size_t>(tb::fft2d_ny(r) * tb::fft2d_nx(r)); }

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"ny", "nx", "sign", "nthreads", nullptr};
    unsigned long long ny = 64, nx = 64;
    int sign = -1, nthreads = 1;
    if (!parse(args, kw, "|KKii", kwlist, &ny, &nx, &sign, &nthreads)) return nullptr;
    return created(tb::fft2d_create(ny, nx, sign), "fft2d_create");
  }
  static std::vector<PyMethodDef> methods() { return FftRows<Fft2dT>::rows_for("The output length: ny*nx."); }
  static std::uint64_t ny(const Rec* r) { return tb::fft2d_ny(r); }
  static std::uint64_t nx(const Rec* r) { return tb::fft2d_nx(r); }
  static std::int32_t sign(const Rec* r) { return tb::fft2d_sign(r); }
  static std::vector<PyGetSetDef> getset() {
    return {computed<Fft2dT, &Fft2dT::ny>("ny", "Rows."), computed<Fft2dT, &Fft2dT::nx>("nx", "Columns."),
            computed<Fft2dT, &Fft2dT::sign>("sign", "Direction.")};
  }
};

}  // namespace tb::py
