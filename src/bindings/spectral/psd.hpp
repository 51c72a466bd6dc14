// spectral.PSD: averaged, calibrated power spectra and their measurements.
#pragma once
#include "bindings/frame.hpp"
#include "core/spectral/psd.hpp"

namespace tb::py {

struct PsdT {
  using Rec = tb::psd;
  static constexpr const char* name = "spectral.PSD";
  static constexpr const char* doc = R"(PSD(n=1024, fs=1.0, window="hann", beta=0.0, pad=1, full_scale=1.0, bits=0, mode="mean", alpha=0.1)
--

Averaged power spectrum of n-sample frames (windowed, zero-padded to a power of two
of at least pad*n), in centred bin order, calibrated so that a complex tone of
amplitude full_scale (2^(bits-1) when bits is set) reads 0 dBFS.  Modes: running
mean, exponential average (alpha), max-hold, min-hold.)";
  static constexpr const char* what = "the transform";
  TB_STANDARD_OPS(psd)
  static constexpr const char* repr_attrs[] = {"n", "nfft", "fs", "full_scale", "mode", "count"};

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
    std::size_t frames;
    if (!produced(K(r, x.data(), x.size()), &frames, what)) return nullptr;
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
  template <std::size_t (*K)(const Rec*, float*, std::size_t), std::size_t (*MaxOut)(const Rec*)>
  static std::vector<PyMethodDef> spectrum_rows(const char* name, const char* text, const char* bound_text) {
    const std::string mo = std::string(name) + "_max_out";
    return {method<PsdT, &spectrum<K, MaxOut>>(name, signed_doc(name, "count=1, out=None", text)),
            method0<PsdT, &max_out<MaxOut>>(keep_text(mo), signed_doc(mo.c_str(), "", bound_text))};
  }

  static PyObject* total_band_power(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bands", nullptr};
    PyObject* bo;
    if (!parse(args, kw, "O", kwlist, &bo)) return nullptr;
    In<double> bands;
    if (!bands.convert(bo)) return nullptr;
    return to_py(tb::psd_total_band_power(r, bands.data(), bands.size()));
  }

  static std::vector<PyMethodDef> methods() {
    using P = PsdT;
    return rows(
        method<P, &P::accumulate<cf32, tb::psd_accumulate>>(
            "accumulate", "accumulate(x)\n--\n\nFold every whole frame of x (complex64); returns None."),
        method<P, &P::accumulate<float, tb::psd_accumulate_real>>(
            "accumulate_real", "accumulate_real(x)\n--\n\nFold every whole frame of a real (float32) input; returns None."),
        spectrum_rows<tb::psd_db_values, P::nfft>("psd_db", "dBFS per bin (float32), or None before any frame.", "nfft"),
        spectrum_rows<tb::psd_dbhz_values, P::nfft>("psd_dbhz", "dBFS per Hz (float32), or None before any frame.",
                                                    "nfft"),
        spectrum_rows<tb::psd_power_twosided, P::nfft>(
            "power_twosided", "Linear power per bin (float32), or None before any frame.", "nfft"),
        spectrum_rows<tb::psd_power_onesided, P::onesided>(
            "power_onesided", "DC to fs/2, nfft/2 + 1 values (float32), or None before any frame.", "nfft/2 + 1"),
        block_v<P, tb::psd_band_power, nullptr, VOpts{}, "bands">("band_power", "dB per (lo_hz, hi_hz) pair of bands (float64 in, float32 out)."),
        method<P, &P::total_band_power>("total_band_power",
                                        "total_band_power(bands)\n--\n\ndB over all (lo_hz, hi_hz) pairs (float)."),
        scalar<P, tb::psd_occupied_bw, "fraction">("occupied_bw", "Occupied bandwidth in Hz (float)."),
        scalar<P, tb::psd_noise_floor>("noise_floor", "Median of psd_db in dBFS (float)."),
        scalar<P, tb::psd_snr, "lo_hz", "hi_hz">("snr", "Peak in the band above the noise floor, in dB (float)."),
        scalar<P, tb::psd_sfdr, "min_db">("sfdr", "Highest peak above the second highest, in dB (float)."));
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

}  // namespace tb::py
