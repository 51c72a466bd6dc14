// tamberl.spectral: FFT engines, windows and spectrum utilities, PSD estimator.
#include "bindings/frame.hpp"
#include "core/spectral/fft.hpp"
#include "core/spectral/psd.hpp"
#include "core/spectral/window.hpp"

namespace {
using namespace tb::py;
using cf32 = std::complex<float>;
using cf64 = std::complex<double>;

PyObject* transform_failed() {
  PyErr_SetString(PyExc_MemoryError, "the transform could not allocate its working memory");
  return nullptr;
}

// ---------------------------------------------------------------------------
// FFT engines: one method template for both engines and every sample type.

// execute*(x, out=None), convention V: capacity max(len(x), N), result N.
template <class T, class S, std::int64_t (*K)(RecOf<T>*, const S*, std::size_t, S*, std::size_t), bool kZeroFresh>
PyObject* execute(RecOf<T>* r, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"x", "out", nullptr};
  PyObject *xo, *outo = Py_None;
  if (!parse(args, kw, "O|O", kwlist, &xo, &outo)) return nullptr;
  In<S> x;
  if (!x.convert(xo)) return nullptr;
  OutV<S> out;
  if (!out.prepare(outo, std::max<std::size_t>(x.size(), T::total(r)), kZeroFresh)) return nullptr;
  const std::int64_t k = K(r, x.data(), x.size(), out.data(), out.capacity());
  if (k < 0) return transform_failed();
  return out.finish(static_cast<std::size_t>(k));
}

template <class T>
PyObject* total_max_out(RecOf<T>* r) {
  return to_py(T::total(r));
}

struct FftT {
  using Rec = tb::fft;
  static constexpr const char* name = "spectral.FFT";
  static constexpr const char* doc =
      "FFT(n=1024, sign=-1, nthreads=1)\n\n"
      "A planned length-n transform: sign < 0 is the forward DFT, otherwise the inverse.\n"
      "No scaling in either direction.  nthreads is accepted and ignored.  Inputs shorter\n"
      "than n are zero-padded; longer inputs use their first n samples.";
  static constexpr auto destroy = &tb::fft_destroy;
  static void reset(Rec*) {}  // plans are immutable
  static std::size_t total(const Rec* r) { return static_cast<std::size_t>(tb::fft_n(r)); }

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"n", "sign", "nthreads", nullptr};
    unsigned long long n = 1024;
    int sign = -1, nthreads = 1;
    if (!parse(args, kw, "|Kii", kwlist, &n, &sign, &nthreads)) return nullptr;
    return created(tb::fft_create(n, sign), "fft_create");
  }
  template <class I, std::int64_t (*K)(Rec*, const I*, std::size_t, cf32*, std::size_t)>
  static PyObject* execute_int(Rec* r, PyObject* arg) {
    In<I> iq;
    if (!iq.convert(arg)) return nullptr;
    OutV<cf32> out;
    if (!out.prepare(nullptr, std::max<std::size_t>(iq.size() / 2, total(r)))) return nullptr;
    const std::int64_t k = K(r, iq.data(), iq.size(), out.data(), out.capacity());
    if (k < 0) return transform_failed();
    return out.finish(static_cast<std::size_t>(k));
  }
  static std::int32_t sign(const Rec* r) { return tb::fft_sign(r); }
  static std::uint64_t n(const Rec* r) { return tb::fft_n(r); }

  static std::vector<PyMethodDef> methods() {
    return {
        method<FftT, &execute<FftT, cf64, tb::fft_execute_cf64, false>>("execute_cf64", "execute_cf64(x, out=None)"),
        method0<FftT, &total_max_out<FftT>>("execute_cf64_max_out", "n"),
        method<FftT, &execute<FftT, cf32, tb::fft_execute_cf32, false>>("execute_cf32", "execute_cf32(x, out=None)"),
        method0<FftT, &total_max_out<FftT>>("execute_cf32_max_out", "n"),
        method1<FftT, &execute_int<std::int16_t, tb::fft_execute_ci16>>(
            "execute_ci16", "execute_ci16(iq): interleaved int16 I/Q, full scale 32768."),
        method1<FftT, &execute_int<std::int8_t, tb::fft_execute_ci8>>(
            "execute_ci8", "execute_ci8(iq): interleaved int8 I/Q, full scale 128."),
        method<FftT, &execute<FftT, cf64, tb::fft_execute_inplace_cf64, true>>(
            "execute_inplace_cf64", "execute_inplace_cf64(x, out=None): x is copied into the destination first."),
        method0<FftT, &total_max_out<FftT>>("execute_inplace_cf64_max_out", "n"),
        method<FftT, &execute<FftT, cf32, tb::fft_execute_inplace_cf32, true>>(
            "execute_inplace_cf32", "execute_inplace_cf32(x, out=None): x is copied into the destination first."),
        method0<FftT, &total_max_out<FftT>>("execute_inplace_cf32_max_out", "n"),
    };
  }
  static std::vector<PyGetSetDef> getset() {
    return {computed<FftT, &FftT::n>("n", "Transform length."), computed<FftT, &FftT::sign>("sign", "Direction.")};
  }
};

struct Fft2dT {
  using Rec = tb::fft2d;
  static constexpr const char* name = "spectral.FFT2D";
  static constexpr const char* doc =
      "FFT2D(ny=64, nx=64, sign=-1, nthreads=1)\n\n"
      "A planned 2-D transform of a row-major ny x nx grid (rows, then columns), flat\n"
      "input and output.  No scaling; nthreads is accepted and ignored.";
  static constexpr auto destroy = &tb::fft2d_destroy;
  static void reset(Rec*) {}
  static std::size_t total(const Rec* r) { return static_cast<std::size_t>(tb::fft2d_ny(r) * tb::fft2d_nx(r)); }

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"ny", "nx", "sign", "nthreads", nullptr};
    unsigned long long ny = 64, nx = 64;
    int sign = -1, nthreads = 1;
    if (!parse(args, kw, "|KKii", kwlist, &ny, &nx, &sign, &nthreads)) return nullptr;
    return created(tb::fft2d_create(ny, nx, sign), "fft2d_create");
  }
  static std::vector<PyMethodDef> methods() {
    return {
        method<Fft2dT, &execute<Fft2dT, cf64, tb::fft2d_execute_cf64, false>>("execute_cf64", "execute_cf64(x, out=None)"),
        method0<Fft2dT, &total_max_out<Fft2dT>>("execute_cf64_max_out", "ny*nx"),
        method<Fft2dT, &execute<Fft2dT, cf32, tb::fft2d_execute_cf32, false>>("execute_cf32", "execute_cf32(x, out=None)"),
        method0<Fft2dT, &total_max_out<Fft2dT>>("execute_cf32_max_out", "ny*nx"),
        method<Fft2dT, &execute<Fft2dT, cf64, tb::fft2d_execute_inplace_cf64, true>>(
            "execute_inplace_cf64", "execute_inplace_cf64(x, out=None)"),
        method0<Fft2dT, &total_max_out<Fft2dT>>("execute_inplace_cf64_max_out", "ny*nx"),
        method<Fft2dT, &execute<Fft2dT, cf32, tb::fft2d_execute_inplace_cf32, true>>(
            "execute_inplace_cf32", "execute_inplace_cf32(x, out=None)"),
        method0<Fft2dT, &total_max_out<Fft2dT>>("execute_inplace_cf32_max_out", "ny*nx"),
    };
  }
  static std::uint64_t ny(const Rec* r) { return tb::fft2d_ny(r); }
  static std::uint64_t nx(const Rec* r) { return tb::fft2d_nx(r); }
  static std::int32_t sign(const Rec* r) { return tb::fft2d_sign(r); }
  static std::vector<PyGetSetDef> getset() {
    return {computed<Fft2dT, &Fft2dT::ny>("ny", "Rows."), computed<Fft2dT, &Fft2dT::nx>("nx", "Columns."),
            computed<Fft2dT, &Fft2dT::sign>("sign", "Direction.")};
  }
};

// ---------------------------------------------------------------------------
// PSD

struct PsdT {
  using Rec = tb::psd;
  static constexpr const char* name = "spectral.PSD";
  static constexpr const char* doc =
      "PSD(n=1024, fs=1.0, window=\"hann\", beta=0.0, pad=1, full_scale=1.0, bits=0, mode=\"mean\", alpha=0.1)\n\n"
      "Averaged power spectrum of n-sample frames (windowed, zero-padded to a power of two\n"
      "of at least pad*n), in centred bin order, calibrated so that a complex tone of\n"
      "amplitude full_scale (2^(bits-1) when bits is set) reads 0 dBFS.  Modes: running\n"
      "mean, exponential average (alpha), max-hold, min-hold.";
  static constexpr auto destroy = &tb::psd_destroy;
  static constexpr auto reset = &tb::psd_reset;
  static constexpr auto state_bytes = &tb::psd_state_bytes;
  static constexpr auto get_state = &tb::psd_get_state;
  static constexpr auto set_state = &tb::psd_set_state;

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"n", "fs", "window", "beta", "pad", "full_scale", "bits", "mode", "alpha",
                                         nullptr};
    unsigned long long n = 1024, pad = 1, bits = 0;
    double fs = 1.0, full_scale = 1.0, alpha = 0.1;
    const char *window = "hann", *mode = "mean";
    float beta = 0.0f;
    if (!parse(args, kw, "|KdsfKdKsd", kwlist, &n, &fs, &window, &beta, &pad, &full_scale, &bits, &mode, &alpha))
      return nullptr;
    const int w = choice("window", window, {"hann", "kaiser", "blackman-harris"});
    if (w < 0) return nullptr;
    const int m = choice("mode", mode, {"mean", "exp", "maxhold", "minhold"});
    if (m < 0) return nullptr;
    return created(tb::psd_create(n, fs, w, beta, pad, full_scale, bits, m, alpha), "psd_create");
  }

  template <class S, std::int64_t (*K)(Rec*, const S*, std::size_t)>
  static PyObject* accumulate(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"x", nullptr};
    PyObject* xo;
    if (!parse(args, kw, "O", kwlist, &xo)) return nullptr;
    In<S> x;
    if (!x.convert(xo)) return nullptr;
    if (K(r, x.data(), x.size()) < 0) return transform_failed();
    return none();
  }

  static std::size_t nfft(const Rec* r) { return static_cast<std::size_t>(r->nfft); }
  static std::size_t onesided(const Rec* r) { return static_cast<std::size_t>(r->nfft / 2 + 1); }

  // Spectrum getters: (count=1, out=None), capacity max(count, max_out); None
  // while no frame has been folded.
  template <std::size_t (*K)(const Rec*, float*, std::size_t), std::size_t (*MaxOut)(const Rec*)>
  static PyObject* spectrum(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"count", "out", nullptr};
    Py_ssize_t count = 1;
    PyObject* outo = Py_None;
    if (!parse(args, kw, "|nO", kwlist, &count, &outo)) return nullptr;
    const std::size_t bound = MaxOut(r);
    const std::size_t need = count > 0 ? std::max(static_cast<std::size_t>(count), bound) : bound;
    OutV<float> out;
    if (!out.prepare(outo, need)) return nullptr;
    return out.finish_or_none(K(r, out.data(), std::min(out.capacity(), bound)));
  }
  template <std::size_t (*MaxOut)(const Rec*)>
  static PyObject* max_out(Rec* r) {
    return to_py(MaxOut(r));
  }

  static PyObject* band_power(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bands", "out", nullptr};
    PyObject *bo, *outo = Py_None;
    if (!parse(args, kw, "O|O", kwlist, &bo, &outo)) return nullptr;
    In<double> bands;
    if (!bands.convert(bo)) return nullptr;
    OutV<float> out;
    if (!out.prepare(outo, bands.size())) return nullptr;
    return out.finish(tb::psd_band_power(r, bands.data(), bands.size(), out.data(), out.capacity()));
  }
  static PyObject* band_power_max_out(Rec*) { return to_py(0); }
  static PyObject* total_band_power(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bands", nullptr};
    PyObject* bo;
    if (!parse(args, kw, "O", kwlist, &bo)) return nullptr;
    In<double> bands;
    if (!bands.convert(bo)) return nullptr;
    return to_py(tb::psd_total_band_power(r, bands.data(), bands.size()));
  }
  static PyObject* occupied_bw(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"fraction", nullptr};
    double f;
    if (!parse(args, kw, "d", kwlist, &f)) return nullptr;
    return to_py(tb::psd_occupied_bw(r, f));
  }
  static PyObject* noise_floor(Rec* r) { return to_py(tb::psd_noise_floor(r)); }
  static PyObject* snr(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"lo_hz", "hi_hz", nullptr};
    double lo, hi;
    if (!parse(args, kw, "dd", kwlist, &lo, &hi)) return nullptr;
    return to_py(tb::psd_snr(r, lo, hi));
  }
  static PyObject* sfdr(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"min_db", nullptr};
    float min_db;
    if (!parse(args, kw, "f", kwlist, &min_db)) return nullptr;
    return to_py(tb::psd_sfdr(r, min_db));
  }

  static std::vector<PyMethodDef> methods() {
    using P = PsdT;
    return {
        method<P, &P::accumulate<cf32, tb::psd_accumulate>>("accumulate", "accumulate(x): fold every whole frame of x."),
        method<P, &P::accumulate<float, tb::psd_accumulate_real>>(
            "accumulate_real", "accumulate_real(x): fold every whole frame of a real input."),
        method<P, &P::spectrum<tb::psd_db_values, P::nfft>>("psd_db", "psd_db(count=1, out=None): dBFS per bin."),
        method0<P, &P::max_out<P::nfft>>("psd_db_max_out", "nfft"),
        method<P, &P::spectrum<tb::psd_dbhz_values, P::nfft>>("psd_dbhz", "psd_dbhz(count=1, out=None): dBFS per Hz."),
        method0<P, &P::max_out<P::nfft>>("psd_dbhz_max_out", "nfft"),
        method<P, &P::spectrum<tb::psd_power_twosided, P::nfft>>(
            "power_twosided", "power_twosided(count=1, out=None): linear power per bin."),
        method0<P, &P::max_out<P::nfft>>("power_twosided_max_out", "nfft"),
        method<P, &P::spectrum<tb::psd_power_onesided, P::onesided>>(
            "power_onesided", "power_onesided(count=1, out=None): DC to fs/2, nfft/2 + 1 values."),
        method0<P, &P::max_out<P::onesided>>("power_onesided_max_out", "nfft/2 + 1"),
        method<P, &P::band_power>("band_power", "band_power(bands, out=None): dB per (lo_hz, hi_hz) pair."),
        method0<P, &P::band_power_max_out>("band_power_max_out", "0"),
        method<P, &P::total_band_power>("total_band_power", "total_band_power(bands): dB over all pairs."),
        method<P, &P::occupied_bw>("occupied_bw", "occupied_bw(fraction): Hz."),
        method0<P, &P::noise_floor>("noise_floor", "Median of psd_db (dBFS)."),
        method<P, &P::snr>("snr", "snr(lo_hz, hi_hz): peak in the band above the noise floor (dB)."),
        method<P, &P::sfdr>("sfdr", "sfdr(min_db): highest peak above the second highest (dB)."),
    };
  }
  static double rbw(const Rec* r) { return r->fs * r->enbw / static_cast<double>(r->n); }
  static std::int64_t mode(const Rec* r) { return r->mode; }
  static std::vector<PyGetSetDef> getset() {
    return {
        field<PsdT, &Rec::n>("n", "Frame length."),
        field<PsdT, &Rec::nfft>("nfft", "Transform length."),
        field<PsdT, &Rec::fs>("fs", "Sample rate (Hz)."),
        field<PsdT, &Rec::full_scale>("full_scale", "Amplitude that reads 0 dBFS."),
        field<PsdT, &Rec::bits>("bits", "ADC depth that set full_scale, else 0."),
        field<PsdT, &Rec::enbw>("enbw", "Equivalent noise bandwidth of the window (bins)."),
        computed<PsdT, &PsdT::rbw>("rbw", "Resolution bandwidth (Hz): fs * enbw / n."),
        field<PsdT, &Rec::count>("count", "Frames folded."),
        computed<PsdT, &PsdT::mode>("mode", "Averaging mode: 0 mean, 1 exp, 2 maxhold, 3 minhold."),
    };
  }
};

// ---------------------------------------------------------------------------
// Module functions

constexpr const char* kWindowMsg = "w must be a writable, C-contiguous ndarray of the output dtype";

bool window_arg(PyObject* o, float** w, std::size_t* n) { return out_buffer<float>(o, w, n, kWindowMsg); }

template <void (*Fill)(float*, std::size_t)>
PyObject* py_window(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"w", nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  float* w;
  std::size_t n;
  if (!window_arg(o, &w, &n)) return nullptr;
  Fill(w, n);
  return none();
}

PyObject* py_kaiser_window(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"w", "beta", nullptr};
  PyObject* o;
  float beta;
  if (!parse(args, kw, "Of", kwlist, &o, &beta)) return nullptr;
  float* w;
  std::size_t n;
  if (!window_arg(o, &w, &n)) return nullptr;
  tb::kaiser_window(w, n, beta);
  return none();
}

PyObject* py_kaiser_enbw(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"w", nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  In<float> w;
  if (!w.convert(o)) return nullptr;
  return to_py(tb::kaiser_enbw(w.data(), w.size()));
}

PyObject* py_kaiser_beta(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"atten_db", nullptr};
  double a;
  if (!parse(args, kw, "d", kwlist, &a)) return nullptr;
  return to_py(tb::kaiser_beta_for_sidelobe(a));
}

template <class S, class F, void (*K)(const S*, std::size_t, F, float, float*), char kFloorFormat>
PyObject* py_magnitude_db(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"x", "lin_floor", "offset_db", nullptr};
  static const char fmt[] = {'O', kFloorFormat, 'f', '\0'};
  PyObject* xo;
  F lin_floor;
  float offset;
  if (!parse(args, kw, fmt, kwlist, &xo, &lin_floor, &offset)) return nullptr;
  In<S> x;
  if (!x.convert(xo)) return nullptr;
  PyArrayObject* out = fresh<float>(x.size());
  if (!out) return nullptr;
  K(x.data(), x.size(), lin_floor, offset, static_cast<float*>(PyArray_DATA(out)));
  return reinterpret_cast<PyObject*>(out);
}

PyObject* py_find_peaks(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"db", "n_peaks", "min_db", nullptr};
  PyObject* o;
  unsigned long long n_peaks;
  float min_db;
  if (!parse(args, kw, "OKf", kwlist, &o, &n_peaks, &min_db)) return nullptr;
  In<float> db;
  if (!db.convert(o)) return nullptr;
  const std::size_t room = std::min<std::size_t>(n_peaks, db.size());
  std::vector<tb::spectral_peak> peaks;
  std::int64_t k;
  try {
    peaks.resize(room);
    k = tb::find_peaks_f32(db.data(), db.size(), room, min_db, peaks.data());
  } catch (const std::bad_alloc&) {
    k = -1;
  }
  if (k < 0) return PyErr_NoMemory();
  PyObject* list = PyList_New(k);
  if (!list) return nullptr;
  for (std::int64_t i = 0; i < k; ++i) {
    PyObject* t = Py_BuildValue("(dd)", static_cast<double>(peaks[i].freq), static_cast<double>(peaks[i].level));
    if (!t) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i, t);
  }
  return list;
}

PyObject* py_obw(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"pwr", "fs", "frac", nullptr};
  PyObject* o;
  double fs, frac;
  if (!parse(args, kw, "Odd", kwlist, &o, &fs, &frac)) return nullptr;
  In<double> p;
  if (!p.convert(o)) return nullptr;
  return to_py(tb::obw_from_power(p.data(), p.size(), fs, frac));
}

PyObject* py_noise_floor(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"db", nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  In<float> db;
  if (!db.convert(o)) return nullptr;
  double v;
  if (tb::noise_floor_db(db.data(), db.size(), &v) != 0) return PyErr_NoMemory();
  return to_py(v);
}

PyMethodDef kFunctions[] = {
    function("hann_window", py_window<tb::hann_window>, "hann_window(w): fill w (float32) with a symmetric Hann window."),
    function("kaiser_window", py_kaiser_window, "kaiser_window(w, beta): fill w with a symmetric Kaiser window."),
    function("blackman_harris_window", py_window<tb::blackman_harris_window>,
             "blackman_harris_window(w): fill w with a 4-term Blackman-Harris window."),
    function("kaiser_enbw", py_kaiser_enbw, "kaiser_enbw(w): equivalent noise bandwidth of any window, in bins."),
    function("kaiser_beta_for_sidelobe", py_kaiser_beta, "kaiser_beta_for_sidelobe(atten_db): Kaiser beta."),
    function("magnitude_db_cf32", py_magnitude_db<cf32, float, tb::magnitude_db_cf32, 'f'>,
             "magnitude_db_cf32(x, lin_floor, offset_db): 20 log10(max(lin_floor, |x|)) + offset_db."),
    function("magnitude_db_cf64", py_magnitude_db<cf64, double, tb::magnitude_db_cf64, 'd'>,
             "magnitude_db_cf64(x, lin_floor, offset_db): as magnitude_db_cf32, computed in double."),
    function("find_peaks_f32", py_find_peaks,
             "find_peaks_f32(db, n_peaks, min_db): [(freq, level), ...] of an fft-shifted dB spectrum."),
    function("obw_from_power", py_obw, "obw_from_power(pwr, fs, frac): occupied bandwidth in the unit of fs."),
    function("noise_floor_db", py_noise_floor, "noise_floor_db(db): the median of db."),
    kSentinel,
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "spectral",
    "Spectral analysis: FFT engines, windows and spectrum utilities, the PSD estimator.",
    -1, kFunctions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_spectral(void) { return module_init<FftT, Fft2dT, PsdT>(&kModule); }
