// spectral.Corr, spectral.Corr2D, spectral.CorrDetector, spectral.CorrDetector2D:
// correlators with coherent integration, and the streaming detectors built
// on them.
#pragma once
#include "bindings/frame.hpp"
#include "core/spectral/corr.hpp"
#include "core/spectral/detector.hpp"

namespace tb::py {

// The reference of a 2-D object: exactly two dimensions, else ValueError.
inline bool ref_2d(In<cf32>& ref, PyObject* o, const char* message, std::size_t* ny, std::size_t* nx) {
  if (!ref.convert(o)) return false;
  if (PyArray_NDIM(ref.array()) != 2) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
  }
  *ny = static_cast<std::size_t>(PyArray_DIM(ref.array(), 0));
  *nx = static_cast<std::size_t>(PyArray_DIM(ref.array(), 1));
  return true;
}

struct CorrT {
  using Rec = tb::corr;
  static constexpr const char* name = "spectral.Corr";
  static constexpr const char* doc = R"(Corr(ref, dwell=1, nthreads=1, n_out=0)
--

Circular cross-correlation of each frame with ref (complex64, flattened):
c[k] = sum_j x[(j + k) mod n] conj(ref[j]), summed over dwell frames.
execute(x) returns None until the dwell-th frame, then the n_out
correlation values (n_out > n interpolates the lag grid by zero-padding
the cross-spectrum; n_out = 0 means n).  nthreads is ignored.)";
  static constexpr const char* what = "the correlator";
  TB_STANDARD_OPS(corr)
  static constexpr const char* repr_attrs[] = {"n", "n_out", "dwell", "count"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"ref", "dwell", "nthreads", "n_out", nullptr};
    PyObject* ro;
    unsigned long long dwell = 1, n_out = 0;
    int nthreads = 1;
    if (!parse(args, kw, "O|KiK", kwlist, &ro, &dwell, &nthreads, &n_out)) return nullptr;
    In<cf32> ref;
    if (!ref.convert(ro)) return nullptr;
    return created(tb::corr_create(ref.data(), ref.size(), dwell, n_out), "corr_create");
  }
  static std::vector<PyMethodDef> methods() {
    return block_v<CorrT, tb::corr_execute, tb::corr_max_out, VOpts{.none_when_empty = true}>(
        "execute", "Correlate one frame (complex64); None until the integration completes.", "n_out");
  }
  static std::vector<PyGetSetDef> getset() {
    return {field<CorrT, &Rec::n>("n", "Reference (frame) length."),
            field<CorrT, &Rec::n_out>("n_out", "Output length."),
            field<CorrT, &Rec::dwell>("dwell", "Frames integrated per dump."),
            field<CorrT, &Rec::count>("count", "Frames integrated since the last dump.")};
  }
};

struct Corr2dT {
  using Rec = tb::corr2d;
  static constexpr const char* name = "spectral.Corr2D";
  static constexpr const char* doc = R"(Corr2D(ref, dwell=1, nthreads=1, ny_out=0, nx_out=0, col_out=-1)
--

Circular 2-D cross-correlation of each row-major ny x nx frame with ref (a
2-D complex64 array), summed over dwell frames; the output map is ny_out x
nx_out (zero-padded cross-spectrum; 0 means native).  A reference whose
only non-zero row is row 0 takes a row-by-row fast path; there col_out >= 0
emits the single lag column col_out (ny values) straight from the time
domain.  nthreads is ignored.)";
  static constexpr const char* what = "the correlator";
  TB_STANDARD_OPS(corr2d)
  static constexpr const char* repr_attrs[] = {"ny", "nx", "ny_out", "nx_out", "dwell", "col_out"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"ref", "dwell", "nthreads", "ny_out", "nx_out", "col_out", nullptr};
    PyObject* ro;
    unsigned long long dwell = 1, ny_out = 0, nx_out = 0;
    int nthreads = 1, col_out = -1;
    if (!parse(args, kw, "O|KiKKi", kwlist, &ro, &dwell, &nthreads, &ny_out, &nx_out, &col_out)) return nullptr;
    In<cf32> ref;
    std::size_t ny, nx;
    if (!ref_2d(ref, ro, "ref must be a 2-D (ny, nx) array", &ny, &nx)) return nullptr;
    return created(tb::corr2d_create(ref.data(), ny, nx, dwell, ny_out, nx_out, col_out), "corr2d_create");
  }
  static std::size_t n_out(const Rec* r) { return tb::corr2d_max_out(r); }
  static std::vector<PyMethodDef> methods() {
    return block_v<Corr2dT, tb::corr2d_execute, tb::corr2d_max_out, VOpts{.none_when_empty = true}>(
        "execute", "Correlate one frame (complex64, row-major); None until the integration completes.",
        "ny_out*nx_out, or ny for a single lag");
  }
  static std::vector<PyGetSetDef> getset() {
    return {field<Corr2dT, &Rec::ny>("ny", "Reference rows."), field<Corr2dT, &Rec::nx>("nx", "Reference columns."),
            field<Corr2dT, &Rec::ny_out>("ny_out", "Output rows."),
            field<Corr2dT, &Rec::nx_out>("nx_out", "Output columns."),
            computed<Corr2dT, &Corr2dT::n_out>("n_out", "Output size."),
            field<Corr2dT, &Rec::dwell>("dwell", "Frames integrated per dump."),
            field<Corr2dT, &Rec::count>("count", "Frames integrated since the last dump."),
            field<Corr2dT, &Rec::col_out>("col_out", "The single lag column, or -1 for the whole map.")};
  }
};

// The detectors: one template, a 1-D and a 2-D row.
template <bool TwoD>
struct DetectorT {
  using Rec = tb::detector;
  static constexpr const char* name = TwoD ? "spectral.CorrDetector2D" : "spectral.CorrDetector";
  static constexpr const char* doc =
      TwoD ? R"(CorrDetector2D(ref, dwell=1, noise_lo=0, noise_hi=-1, noise_mode="mean", threshold=0.0, nthreads=1)
--

Streaming 2-D correlation detector: push(x) takes chunks of any length,
correlates every whole ny x nx frame with ref (integrated over dwell
frames) and returns, per dump that passes the threshold, (row, col, peak,
noise, test_stat): the peak magnitude, the noise level over the flattened
lags noise_lo..noise_hi ("mean", "median", "min" or "max") and their
ratio.  threshold 0 reports every dump.  nthreads is ignored.)"
           : R"(CorrDetector(ref, dwell=1, noise_lo=0, noise_hi=-1, noise_mode="mean", threshold=0.0, nthreads=1)
--

Streaming correlation detector: push(x) takes chunks of any length,
correlates every whole frame of len(ref) samples with ref (integrated over
dwell frames) and returns, per dump that passes the threshold,
(peak_index, peak, noise, test_stat): the peak magnitude, the noise level
over the lags noise_lo..noise_hi ("mean", "median", "min" or "max") and
their ratio.  threshold 0 reports every dump.  nthreads is ignored.)";
  static constexpr const char* what = "the detector";
  TB_STANDARD_OPS(detector)
  static constexpr const char* repr_attrs[] = {"n", "dwell", "noise_lo", "noise_hi", "threshold"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"ref", "dwell", "noise_lo", "noise_hi", "noise_mode", "threshold",
                                         "nthreads", nullptr};
    PyObject* ro;
    unsigned long long dwell = 1, lo = 0, hi = ~0ull;
    const char* mode = "mean";
    float threshold = 0.0f;
    int nthreads = 1;
    if (!parse(args, kw, "O|KKKsfi", kwlist, &ro, &dwell, &lo, &hi, &mode, &threshold, &nthreads)) return nullptr;
    const int m = choice("noise_mode", mode, {"mean", "median", "min", "max"});
    if (m < 0) return nullptr;
    In<cf32> ref;
    if constexpr (TwoD) {
      std::size_t ny, nx;
      if (!ref_2d(ref, ro, "ref must be a 2-D array", &ny, &nx)) return nullptr;
      return created(tb::detector2d_create(ref.data(), ny, nx, dwell, lo, hi, m, threshold), "detector2d_create");
    } else {
      if (!ref.convert(ro)) return nullptr;
      return created(tb::detector_create(ref.data(), ref.size(), dwell, lo, hi, m, threshold), "detector_create");
    }
  }

  static PyObject* report(const Rec* r, const tb::detection& d) {
    if constexpr (TwoD)
      return Py_BuildValue("(KKddd)", static_cast<unsigned long long>(d.index / r->nx),
                           static_cast<unsigned long long>(d.index % r->nx), static_cast<double>(d.peak),
                           static_cast<double>(d.noise), static_cast<double>(d.stat));
    else
      return Py_BuildValue("(Kddd)", static_cast<unsigned long long>(d.index), static_cast<double>(d.peak),
                           static_cast<double>(d.noise), static_cast<double>(d.stat));
  }
  // push(x): every sample of x is consumed; detections are collected in
  // batches until a batch comes back short.
  static PyObject* push(Rec* r, PyObject* arg) {
    In<cf32> x;
    if (!x.convert(arg)) return nullptr;
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    constexpr std::size_t kBatch = 64;
    tb::detection batch[kBatch];
    const cf32* p = x.data();
    std::size_t left = x.size();
    for (;;) {
      std::size_t used = 0;
      const std::int64_t k = tb::detector_push(r, p, left, batch, kBatch, &used);
      p += used;
      left -= used;
      if (k < 0) {
        Py_DECREF(list);
        return raise_for(k, what);
      }
      for (std::int64_t i = 0; i < k; ++i) {
        PyObject* t = report(r, batch[i]);
        if (!t || PyList_Append(list, t) < 0) {
          Py_XDECREF(t);
          Py_DECREF(list);
          return nullptr;
        }
        Py_DECREF(t);
      }
      if (static_cast<std::size_t>(k) < kBatch && left == 0) return list;
    }
  }
  static PyObject* last_corr(PyObject* self, void*) {
    Rec* r = live<DetectorT>(self);
    if (!r) return nullptr;
    if (!r->valid) return none();
    return lend(r->out, static_cast<std::size_t>(r->n));
  }
  static std::uint64_t count(const Rec* r) { return tb::detector_count(r); }
  static std::uint64_t dwell(const Rec* r) { return tb::detector_dwell(r); }
  static std::uint64_t ring_cap(const Rec* r) { return r->ring->cap; }
  static double threshold(const Rec* r) { return r->threshold; }

  static std::vector<PyMethodDef> methods() {
    return {method1<DetectorT, &DetectorT::push>(
        "push", TwoD ? "push(x, /)\n--\n\nPush a chunk (complex64, any length); returns [(row, col, peak, noise, "
                       "test_stat), ...] for the dumps it completed, in order."
                     : "push(x, /)\n--\n\nPush a chunk (complex64, any length); returns [(peak_index, peak, noise, "
                       "test_stat), ...] for the dumps it completed, in order.")};
  }
  static std::vector<PyGetSetDef> getset() {
    using D = DetectorT;
    std::vector<PyGetSetDef> g = {
        field<D, &Rec::n>("n", "Frame length (samples)."),
        computed<D, &D::dwell>("dwell", "Frames integrated per dump."),
        computed<D, &D::count>("count", "Frames integrated toward the next dump."),
        computed<D, &D::ring_cap>("ring_cap", "Ring capacity in samples."),
        field<D, &Rec::noise_lo>("noise_lo", "First lag of the noise estimate."),
        field<D, &Rec::noise_hi>("noise_hi", "Last lag of the noise estimate."),
        computed<D, &D::threshold>("threshold", "Detection threshold on peak/noise (0 reports every dump)."),
        {"last_corr", &D::last_corr, nullptr,
         "The latest dump's correlation (read-only complex64 view; stays valid after destroy()), or None.", nullptr},
    };
    if constexpr (TwoD) {
      g.push_back(field<D, &Rec::ny>("ny", "Reference rows."));
      g.push_back(field<D, &Rec::nx>("nx", "Reference columns."));
    }
    return g;
  }
};

using CorrDetectorT = DetectorT<false>;
using CorrDetector2dT = DetectorT<true>;

}  // namespace tb::py
