// The module functions of tamberl.spectral: window fillers, window
// measures and the spectrum utilities.
#pragma once
#include "bindings/frame.hpp"
#include "core/spectral/window.hpp"

namespace tb::py {

// -------------------------------------------------------------------------
// Module functions

constexpr const char* kWindowMsg = "w must be a writable, C-contiguous ndarray of the output dtype";

inline bool window_arg(PyObject* o, float** w, std::size_t* n) { return out_buffer<float>(o, w, n, kWindowMsg); }

template <void (*Fill)(float*, std::size_t)>
inline PyObject* py_window(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"w", nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  float* w;
  std::size_t n;
  if (!window_arg(o, &w, &n)) return nullptr;
  Fill(w, n);
  return none();
}

inline PyObject* py_kaiser_window(PyObject*, PyObject* args, PyObject* kw) {
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

inline PyObject* py_kaiser_enbw(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"w", nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  In<float> w;
  if (!w.convert(o)) return nullptr;
  return to_py(tb::kaiser_enbw(w.data(), w.size()));
}

inline PyObject* py_kaiser_beta(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"atten_db", nullptr};
  double a;
  if (!parse(args, kw, "d", kwlist, &a)) return nullptr;
  return to_py(tb::kaiser_beta_for_sidelobe(a));
}

template <class S, class F, void (*K)(const S*, std::size_t, F, float, float*), char kFloorFormat>
inline PyObject* py_magnitude_db(PyObject*, PyObject* args, PyObject* kw) {
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

inline PyObject* py_find_peaks(PyObject*, PyObject* args, PyObject* kw) {
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
  if (k < 0) return raise_for(k, "find_peaks_f32");
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

inline PyObject* py_obw(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"pwr", "fs", "frac", nullptr};
  PyObject* o;
  double fs, frac;
  if (!parse(args, kw, "Odd", kwlist, &o, &fs, &frac)) return nullptr;
  In<double> p;
  if (!p.convert(o)) return nullptr;
  return to_py(tb::obw_from_power(p.data(), p.size(), fs, frac));
}

inline PyObject* py_noise_floor(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"db", nullptr};
  PyObject* o;
  if (!parse(args, kw, "O", kwlist, &o)) return nullptr;
  In<float> db;
  if (!db.convert(o)) return nullptr;
  double v;
  if (const int rc = tb::noise_floor_db(db.data(), db.size(), &v); rc != 0) return raise_for(rc, "noise_floor_db");
  return to_py(v);
}

}  // namespace tb::py
