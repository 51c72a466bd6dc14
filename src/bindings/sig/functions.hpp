// The module functions of tamberl.sig: pulse shapes, link-budget
// conversions, symbol mapping, the CRC-16 and the polynomial table.
#pragma once
#include "bindings/frame.hpp"
#include "core/sig/synth.hpp"
#include "core/sig/lfsr.hpp"
#include "core/sig/rs.hpp"
#include "core/sig/shaping.hpp"

namespace tb::py {

inline PyObject* py_rrc_taps(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"beta", "sps", "span", nullptr};
  double beta;
  int sps, span;
  if (!parse(args, kw, "dii", kwlist, &beta, &sps, &span)) return nullptr;
  const long long len = 2LL * sps * span + 1;
  if (len < 1) {
    PyErr_Format(PyExc_ValueError, "rrc_taps: 2 * sps * span + 1 = %lld taps is not a length", len);
    return nullptr;
  }
  PyArrayObject* out = fresh<float>(static_cast<std::size_t>(len));
  if (!out) return nullptr;
  tb::rrc_taps(beta, sps, span, static_cast<float*>(PyArray_DATA(out)), static_cast<std::size_t>(len));
  return reinterpret_cast<PyObject*>(out);
}

template <void (*H)(const double*, std::size_t, double, double*)>
inline PyObject* py_pulse(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"t", "beta", nullptr};
  PyObject* to;
  double beta;
  if (!parse(args, kw, "Od", kwlist, &to, &beta)) return nullptr;
  In<double> t;
  if (!t.convert(to)) return nullptr;
  PyArrayObject* out = fresh<double>(t.size());
  if (!out) return nullptr;
  H(t.data(), t.size(), beta, static_cast<double*>(PyArray_DATA(out)));
  return reinterpret_cast<PyObject*>(out);
}

inline PyObject* py_awgn_amplitude(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"snr_db", "signal_power", nullptr};
  float snr, p;
  if (!parse(args, kw, "ff", kwlist, &snr, &p)) return nullptr;
  return to_py(tb::sig_awgn_amplitude(snr, p));
}

inline PyObject* py_ebno_to_snr(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"ebno_db", "bits_per_symbol", "samples_per_symbol", nullptr};
  float ebno, sps;
  int k;
  if (!parse(args, kw, "fif", kwlist, &ebno, &k, &sps)) return nullptr;
  return to_py(tb::sig_ebno_to_snr_db(ebno, k, sps));
}

template <void (*Map)(const std::uint8_t*, std::size_t, cf32*), Str Arg>
inline PyObject* py_map(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {Arg.v, nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  In<std::uint8_t, true> b;  // integer arrays wrap: the bits that count survive
  if (!b.convert(o)) return nullptr;
  PyArrayObject* out = fresh<cf32>(b.size());
  if (!out) return nullptr;
  Map(b.data(), b.size(), static_cast<cf32*>(PyArray_DATA(out)));
  return reinterpret_cast<PyObject*>(out);
}

inline PyObject* py_crc16(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"bits", nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  In<std::uint8_t, true> b;
  if (!b.convert(o)) return nullptr;
  return to_py(static_cast<unsigned>(tb::crc16_bits(b.data(), b.size())));
}

// The 32 check octets of each row of 223 data octets (a 1-D array is one
// row), in the dual or the conventional basis, the interpreter lock released.
inline PyObject* py_rs_encode(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"data", "basis", nullptr};
  PyObject* o;
  const char* basis_name = "dual";
  if (!parse(args, kw, "O|s", kwlist, &o, &basis_name)) return nullptr;
  const int basis = choice("basis", basis_name, {"dual", "conventional"});
  if (basis < 0) return nullptr;
  In<std::uint8_t, true> d;
  if (!d.convert(o)) return nullptr;
  const int nd = PyArray_NDIM(d.array());
  if ((nd != 1 && nd != 2) || PyArray_DIM(d.array(), nd - 1) != static_cast<npy_intp>(tb::kRsK)) {
    PyErr_SetString(PyExc_ValueError, "rs_encode: data must have 223 octets per row (shape (223,) or (rows, 223))");
    return nullptr;
  }
  const std::size_t rows = d.size() / tb::kRsK;
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(tb::kRsParity)};
  PyObject* out = nd == 1 ? PyArray_SimpleNew(1, dims + 1, NPY_UINT8) : PyArray_SimpleNew(2, dims, NPY_UINT8);
  if (!out) return nullptr;
  std::uint8_t* p = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
  {
    NoGil g;
    for (std::size_t i = 0; i < rows; ++i)
      tb::rs_encode(d.data() + i * tb::kRsK, p + i * tb::kRsParity, basis == 0 ? tb::RS_DUAL : tb::RS_CONVENTIONAL);
  }
  return out;
}

// One Reed-Solomon codeword of 33 to 255 octets (fewer than 255: shortened,
// the missing leading octets virtual zeros), corrected with the given
// erasures (indices into the word): (the word, repaired or as received,
// the octets changed or -1 when it cannot be decoded).
inline PyObject* py_rs_decode(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"word", "basis", "erasures", nullptr};
  PyObject *o, *eo = Py_None;
  const char* basis_name = "dual";
  if (!parse(args, kw, "O|sO", kwlist, &o, &basis_name, &eo)) return nullptr;
  const int basis = choice("basis", basis_name, {"dual", "conventional"});
  if (basis < 0) return nullptr;
  In<std::uint8_t, true> w;
  if (!w.convert(o)) return nullptr;
  const std::size_t n = w.size();
  if (PyArray_NDIM(w.array()) != 1 || n <= tb::kRsParity || n > tb::kRsN) {
    PyErr_Format(PyExc_ValueError, "rs_decode: word must be one row of 33 to 255 octets, got %zu", n);
    return nullptr;
  }
  const std::size_t pad = tb::kRsN - n;
  std::uint8_t erased[tb::kRsParity];
  std::size_t f = 0;
  if (eo != Py_None) {
    In<std::int64_t> e;
    if (!e.convert(eo)) return nullptr;
    if (e.size() > tb::kRsParity) {
      PyErr_Format(PyExc_ValueError, "rs_decode: at most 32 erasures, got %zu", e.size());
      return nullptr;
    }
    for (std::size_t q = 0; q < e.size(); ++q) {
      const std::int64_t at = e.data()[q];
      if (at < 0 || static_cast<std::size_t>(at) >= n) {
        PyErr_Format(PyExc_ValueError, "rs_decode: erasure %lld is outside the word of %zu octets",
                     static_cast<long long>(at), n);
        return nullptr;
      }
      for (std::size_t r = 0; r < f; ++r)
        if (erased[r] == pad + static_cast<std::size_t>(at)) {
          PyErr_Format(PyExc_ValueError, "rs_decode: erasure %lld is given twice", static_cast<long long>(at));
          return nullptr;
        }
      erased[f++] = static_cast<std::uint8_t>(pad + static_cast<std::size_t>(at));
    }
  }
  PyArrayObject* out = fresh<std::uint8_t>(n);
  if (!out) return nullptr;
  std::uint8_t* word = static_cast<std::uint8_t*>(PyArray_DATA(out));
  std::uint8_t cw[tb::kRsN] = {};
  std::memcpy(cw + pad, w.data(), n);
  int fixed;
  {
    NoGil g;
    fixed = tb::rs_decode(cw, basis == 0 ? tb::RS_DUAL : tb::RS_CONVENTIONAL, erased, f);
    // A repair that lands in the virtual octets is no repair of what was sent.
    for (std::size_t i = 0; i < pad && fixed >= 0; ++i)
      if (cw[i] != 0) fixed = -1;
    std::memcpy(word, fixed >= 0 ? cw + pad : w.data(), n);
  }
  return Py_BuildValue("(Ni)", reinterpret_cast<PyObject*>(out), fixed);
}

inline PyObject* py_dsss_spread(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"syms", "code", "sf", nullptr};
  PyObject *so, *co;
  long long sf;
  if (!parse(args, kw, "OOL", kwlist, &so, &co, &sf)) return nullptr;
  In<cf32, true> syms;
  In<std::uint8_t, true> code;
  if (!syms.convert(so) || !code.convert(co)) return nullptr;
  if (sf < 0) {
    PyErr_Format(PyExc_ValueError, "dsss_spread: sf must be >= 0, got %lld", sf);
    return nullptr;
  }
  const std::size_t n = syms.size(), f = static_cast<std::size_t>(sf);
  if (f && n > SIZE_MAX / f) return PyErr_NoMemory();
  if (!size_fits(n * f, sizeof(cf32))) return nullptr;
  PyArrayObject* out = fresh<cf32>(n * f);
  if (!out) return nullptr;
  tb::dsss_spread(syms.data(), n, code.data(), code.size(), f, static_cast<cf32*>(PyArray_DATA(out)));
  return reinterpret_cast<PyObject*>(out);
}

inline PyObject* py_mls_poly(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"n", nullptr};
  unsigned int n;
  if (!parse(args, kw, "I", kwlist, &n)) return nullptr;
  return to_py(tb::mls_poly(n));
}

}  // namespace tb::py
