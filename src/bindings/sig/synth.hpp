// sig._SynthEngine (registered as siggen._SynthEngine): the synthesiser.
#pragma once
#include <cmath>

#include "bindings/frame.hpp"
#include "core/sig/synth.hpp"

namespace tb::py {

struct SynthT {
  using Rec = tb::sig_synth;
  // Shaping, sources, waveform type and the chirp span are configuration,
  // outside the blob.  Only the first chirp span pins, so its calls are all kept.
  static constexpr Journaled journaled[] = {
      {"set_rrc", true},      {"set_symbols", true},     {"set_bits", true}, {"set_dsss", true},
      {"set_dsss_cont", true}, {"set_dsss_window", true}, {"set_wtype", true}, {"set_nsps", true},
      {"set_chirp_span", false}};
  static constexpr const char* name = "siggen._SynthEngine";
  static constexpr const char* doc =
      R"(_SynthEngine(type="tone", snr_mode="auto", fs=1000000.0, freq=0.0, snr=100.0, seed=0, sps=8, pn_length=7, pn_poly=0, lfsr="galois", f_end=0.0)
--

Streaming source of complex baseband test signals: a symbol source (type
"pn", "bpsk", "qpsk" from the PN register, "bits", "symbols", "dsss"),
held for sps samples or pulse shaped (set_rrc), times a carrier (the table
oscillator at freq, or for "chirp" a linear sweep from freq to f_end once
set_chirp_span pins it), plus Gaussian noise at snr dB ("auto": Es/N0 for
bpsk and qpsk, else over the full rate fs; "ebno", "esno", "fs").  Clean
(noise-free) at snr >= 100; "noise" is unit-power noise.  Deterministic
from seed.)";
  static constexpr bool release_gil = true;
  static constexpr const char* what = "the synthesiser";
  TB_STANDARD_OPS(sig_synth)

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"type", "snr_mode", "fs",        "freq", "snr",   "seed",
                                         "sps",  "pn_length", "pn_poly", "lfsr", "f_end", nullptr};
    const char *type = "tone", *mode = "auto", *lfsr = "galois";
    double fs = 1000000.0, freq = 0.0, snr = 100.0, f_end = 0.0;
    unsigned int seed = 0;
    int sps = 8, pn_length = 7;
    unsigned long long pn_poly = 0;
    if (!parse(args, kw, "|ssdddIiiKsd", kwlist, &type, &mode, &fs, &freq, &snr, &seed, &sps, &pn_length, &pn_poly,
               &lfsr, &f_end))
      return nullptr;
    const int t = choice("type", type, {"tone", "noise", "pn", "bpsk", "qpsk", "chirp", "bits", "symbols", "dsss"});
    if (t < 0) return nullptr;
    const int m = choice("snr_mode", mode, {"auto", "fs", "ebno", "esno"});
    if (m < 0) return nullptr;
    int l;
    if (std::strcmp(lfsr, "galois") == 0) {
      l = tb::PN_GALOIS;
    } else if (std::strcmp(lfsr, "fibonacci") == 0) {
      l = tb::PN_FIBONACCI;
    } else {
      PyErr_Format(PyExc_ValueError, "lfsr must be \"galois\" or \"fibonacci\", got '%s'", lfsr);
      return nullptr;
    }
    if (std::isnan(snr)) {
      PyErr_SetString(PyExc_ValueError, "snr must be a number of dB, got nan");
      return nullptr;
    }
    return created(tb::sig_synth_create(static_cast<std::uint32_t>(t), fs, freq, snr, static_cast<std::uint32_t>(m),
                                        seed, sps, pn_length, pn_poly, l, f_end),
                   "sig_synth_create");
  }

  static PyObject* step(Rec* r) { return to_py(tb::sig_synth_step(r)); }

  static PyObject* steps(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"n", nullptr};
    Py_ssize_t n = 1;
    if (!parse(args, kw, "|n", kwlist, &n)) return nullptr;
    if (n < 0) {
      PyErr_Format(PyExc_ValueError, "n must be >= 0, got %zd", n);
      return nullptr;
    }
    PyArrayObject* out = fresh<cf32>(static_cast<std::size_t>(n));
    if (!out) return nullptr;
    cf32* p = static_cast<cf32*>(PyArray_DATA(out));
    {
      NoGil g;
      tb::sig_synth_steps(r, p, static_cast<std::size_t>(n));
    }
    return reinterpret_cast<PyObject*>(out);
  }

  static PyObject* set_rrc(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"taps", nullptr};
    PyObject* o;
    if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
    In<float, true> taps;
    if (!taps.convert(o)) return nullptr;
    return configured(tb::sig_synth_set_rrc(r, taps.data(), taps.size()), "set_rrc: empty taps or alloc failed");
  }
  static PyObject* set_symbols(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"symbols", nullptr};
    PyObject* o;
    if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
    In<cf32, true> sy;
    if (!sy.convert(o)) return nullptr;
    return configured(tb::sig_synth_set_symbols(r, sy.data(), sy.size()),
                      "set_symbols: empty stream or not a symbols synth");
  }
  static PyObject* set_bits(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"pattern", "modulation", nullptr};
    PyObject* o;
    int modulation = 1;
    if (!parse(args, kw, "O|i", kwlist, &o, &modulation)) return nullptr;
    // Any non-zero element is a one, whatever the array's type: compare
    // before narrowing, so that 256 or 0.5 is not cast to zero.
    Ref nonzero;
    if (PyArray_Check(o) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) != NPY_UINT8) {
      Ref zero(PyLong_FromLong(0));
      if (!zero || !(nonzero = Ref(PyObject_RichCompare(o, zero.get(), Py_NE)))) return nullptr;
      o = nonzero.get();
    }
    In<std::uint8_t, true> bits;
    if (!bits.convert(o)) return nullptr;
    const int rc = modulation < 0 ? -1
                                  : tb::sig_synth_set_bits(r, bits.data(), bits.size(),
                                                           static_cast<std::uint32_t>(modulation));
    // The type test comes first: on another type the call does nothing.
    return configured(r->type != tb::SIG_SYNTH_BITS ? 0 : rc,
                      "set_bits: empty pattern, modulation not in 0..2, or not a bits synth");
  }
  // An optional 0/1 array (None is empty).
  struct Bits {
    In<std::uint8_t, true> a;
    bool given = false;
    bool convert(PyObject* o) {
      if (o == nullptr || o == Py_None) return true;
      given = true;
      return a.convert(o);
    }
    const std::uint8_t* data() const { return given ? a.data() : nullptr; }
    std::size_t size() const { return given ? a.size() : 0; }
  };
  static PyObject* set_dsss(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"acq_code", "acq_reps", "data_code", "payload", "sync", "crc", nullptr};
    PyObject *acq = nullptr, *data = nullptr, *pay = nullptr, *sync = nullptr;
    long long reps = 1;
    int crc = 1;
    if (!parse(args, kw, "|OLOOOi", kwlist, &acq, &reps, &data, &pay, &sync, &crc)) return nullptr;
    Bits a, d, p, y;
    if (!a.convert(acq) || !d.convert(data) || !p.convert(pay) || !y.convert(sync)) return nullptr;
    const int rc = tb::sig_synth_set_dsss(r, a.data(), a.size(), reps < 1 ? 0 : static_cast<std::uint64_t>(reps),
                                          d.data(), d.size(), p.data(), p.size(), y.data(), y.size(), crc);
    return configured(rc, "set_dsss: invalid burst geometry (frame bits need a data code; burst must be non-empty), "
                          "or not a dsss synth");
  }
  static PyObject* set_dsss_cont(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"code", "chips_per_symbol", "data", "payload", nullptr};
    PyObject *code, *pay = nullptr;
    double cps;
    const char* data = "prbs";
    if (!parse(args, kw, "Od|sO", kwlist, &code, &cps, &data, &pay)) return nullptr;
    Bits c, p;
    if (!c.convert(code) || !p.convert(pay)) return nullptr;
    std::uint32_t mode = 1;
    if (!p.given) {
      if (std::strcmp(data, "none") == 0) mode = 0;
      else if (std::strcmp(data, "bits") == 0) mode = 1;
      else if (std::strcmp(data, "prbs") == 0) mode = 2;
      else {
        PyErr_SetString(PyExc_ValueError, "set_dsss_cont: data must be 'none', 'prbs', or 'bits'");
        return nullptr;
      }
    }
    return configured(tb::sig_synth_set_dsss_cont(r, c.data(), c.size(), cps, mode, p.data(), p.size()),
                      "set_dsss_cont: invalid geometry (need a code, chips_per_symbol >= 1, a payload for "
                      "data='bits', a valid pn_length for data='prbs'), or not a dsss synth");
  }
  static PyObject* set_dsss_window(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"code_only_symbols", "frame_symbols", nullptr};
    long long a, f;
    if (!parse(args, kw, "LL", kwlist, &a, &f)) return nullptr;
    if (a < 0 || f < 0) {
      PyErr_SetString(PyExc_ValueError, "set_dsss_window: symbol counts must be >= 0");
      return nullptr;
    }
    if (f != 0 && a > f) {
      PyErr_SetString(PyExc_ValueError, "set_dsss_window: code_only_symbols must not exceed a non-zero frame_symbols");
      return nullptr;
    }
    tb::sig_synth_set_dsss_window(r, static_cast<std::uint64_t>(a), static_cast<std::uint64_t>(f));
    return none();
  }
  static PyObject* configured(int rc, const char* message) {
    if (rc == 0) return none();
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
  }

  static const char* nsps_check(std::int32_t v) { return v >= 1 ? nullptr : "set_nsps: nsps must be >= 1"; }

  static std::vector<PyMethodDef> methods() {
    using S = SynthT;
    return rows(
        method0<S, &S::step>("step", "step()\n--\n\nOne sample, as a Python complex."),
        method<S, &S::steps>("steps", "steps(n=1)\n--\n\nThe next n samples (complex64); any chunking gives the "
                                      "same stream."),
        method<S, &S::set_rrc>("set_rrc", "set_rrc(taps)\n--\n\nPulse shaping with these taps (scaled by "
                                          "sqrt(sps)): a polyphase interpolator when sps is a power of two, else an "
                                          "FIR fed one impulse per symbol.  Returns None."),
        method<S, &S::set_symbols>("set_symbols", "set_symbols(symbols)\n--\n\nThe stream a \"symbols\" synth "
                                                  "repeats (complex64).  Returns None."),
        method<S, &S::set_bits>("set_bits", "set_bits(pattern, modulation=1)\n--\n\nThe pattern a \"bits\" synth "
                                            "repeats: modulation 0 on-off, 1 BPSK, 2 Gray QPSK.  Returns None."),
        method<S, &S::set_dsss>("set_dsss", "set_dsss(acq_code=None, acq_reps=1, data_code=None, payload=None, "
                                            "sync=None, crc=1)\n--\n\nA DSSS burst: the acquisition code repeated, "
                                            "then the frame [sync | payload | CRC] spread by the data code, played "
                                            "as BPSK chips.  Returns None."),
        method<S, &S::set_dsss_cont>("set_dsss_cont", "set_dsss_cont(code, chips_per_symbol, data=\"prbs\", "
                                                      "payload=None)\n--\n\nContinuous DSSS: the code repeats and "
                                                      "data rides on it at any real chips per symbol.  Returns None."),
        method<S, &S::set_dsss_window>("set_dsss_window", "set_dsss_window(code_only_symbols, frame_symbols)\n--\n\n"
                                                          "The first code_only_symbols of every frame carry the bare "
                                                          "code (frame_symbols 0: no window).  Returns None."),
        scalar<S, tb::sig_synth_set_chirp_span, "span">(
            "set_chirp_span", "Pin the sweep of a chirp: freq to f_end over span samples, then held.  Only the first "
                              "non-zero span counts.  Returns None."),
        accessor_rows<S, &Rec::type>("get_wtype", "set_wtype", "the waveform type discriminant (0 tone .. 8 dsss)"),
        accessor_rows<S, &Rec::nsps, &S::nsps_check>("get_nsps", "set_nsps", "the samples per symbol (>= 1)"),
        accessor_rows<S, &Rec::sym_pos>("get_sym_pos", "set_sym_pos", "the position inside the held symbol"),
        accessor_rows<S, &Rec::cur_re>("get_cur_re", "set_cur_re", "the held symbol's real part"),
        accessor_rows<S, &Rec::cur_im>("get_cur_im", "set_cur_im", "the held symbol's imaginary part"));
  }
};

}  // namespace tb::py
