// Binding frame, basics: the Python and NumPy headers, element types, value
// conversions, argument parsing, choice keywords, errors and the scoped
// release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

#include "core/common/status.hpp"
#include "core/common/types.hpp"
#include "platform/memory.hpp"

namespace tb::py {

// ---------------------------------------------------------------------------
// Element types

template <class E> struct NpyType;
template <> struct NpyType<std::int8_t> { static constexpr int value = NPY_INT8; };
template <> struct NpyType<std::uint8_t> { static constexpr int value = NPY_UINT8; };
template <> struct NpyType<std::int16_t> { static constexpr int value = NPY_INT16; };
template <> struct NpyType<std::uint16_t> { static constexpr int value = NPY_UINT16; };
template <> struct NpyType<std::int32_t> { static constexpr int value = NPY_INT32; };
template <> struct NpyType<std::uint32_t> { static constexpr int value = NPY_UINT32; };
template <> struct NpyType<std::int64_t> { static constexpr int value = NPY_INT64; };
template <> struct NpyType<std::uint64_t> { static constexpr int value = NPY_UINT64; };
template <> struct NpyType<float> { static constexpr int value = NPY_FLOAT32; };
template <> struct NpyType<double> { static constexpr int value = NPY_FLOAT64; };
template <> struct NpyType<std::complex<float>> { static constexpr int value = NPY_COMPLEX64; };
template <> struct NpyType<std::complex<double>> { static constexpr int value = NPY_COMPLEX128; };
template <class E> inline constexpr int npy_type_v = NpyType<E>::value;

// ---------------------------------------------------------------------------
// An owned (strong) reference, released when it goes out of scope.

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref& operator=(Ref&& other) noexcept {
    std::swap(o_, other.o_);
    return *this;
  }
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// ---------------------------------------------------------------------------
// Values

inline PyObject* to_py(bool v) { return PyBool_FromLong(v ? 1 : 0); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(const char* v) { return PyUnicode_FromString(v); }
inline PyObject* to_py(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
inline PyObject* to_py(I v) {
  if constexpr (std::is_signed_v<I>)
    return PyLong_FromLongLong(static_cast<long long>(v));
  else
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
}
inline PyObject* to_py(std::complex<float> v) {
  return PyComplex_FromDoubles(static_cast<double>(v.real()), static_cast<double>(v.imag()));
}
inline PyObject* to_py(std::complex<double> v) { return PyComplex_FromDoubles(v.real(), v.imag()); }

inline PyObject* none() { Py_RETURN_NONE; }

// Long-lived text (generated docstrings): stored once, never freed, so a
// method table can point into it.
inline const char* keep_text(std::string s) {
  static std::deque<std::string> arena;
  arena.push_back(std::move(s));
  return arena.back().c_str();
}

// A docstring with a text signature, the convention inspect.signature and
// help() read: "name(params)\n--\n\ntext".
inline const char* signed_doc(const char* name, const char* params, const char* text) {
  return keep_text(std::string(name) + "(" + params + ")\n--\n\n" + (text ? text : ""));
}

// ---------------------------------------------------------------------------
// Errors

// The one mapping from a core status to an exception:
//   kStatusNoMemory  MemoryError "<what> could not allocate its working memory"
//   kStatusTooLarge  MemoryError "<what>: the requested size does not fit in memory"
//   anything else    ValueError  "<what> (rc=<status>)"
inline PyObject* raise_for(long long rc, const char* what) {
  if (rc == kStatusNoMemory)
    PyErr_Format(PyExc_MemoryError, "%s could not allocate its working memory", what);
  else if (rc == kStatusTooLarge)
    PyErr_Format(PyExc_MemoryError, "%s: the requested size does not fit in memory", what);
  else
    PyErr_Format(PyExc_ValueError, "%s (rc=%lld)", what, rc);
  return nullptr;
}

// MemoryError for a buffer of count elements of elem bytes that could not fit
// in this machine's memory; true (no error) when it could.
inline bool size_fits(std::size_t count, std::size_t elem) {
  if (tb::platform::fits_in_memory(count, elem)) return true;
  PyErr_Format(PyExc_MemoryError, "%zu elements of %zu bytes do not fit in this machine's memory", count, elem);
  return false;
}

inline constexpr const char* kOutTypeMsg =
    "out must be a writable, C-contiguous ndarray of the output dtype";
inline constexpr const char* kBusyMsg =
    "busy: another call on this object has not returned yet (an object serves one call at a time)";

// Matches `given` against the allowed words of a choice keyword.  Returns the
// word's index, or -1 with ValueError
//   <keyword> must be one of "a", "b", got '<given>'
inline int choice(const char* keyword, const char* given, std::initializer_list<const char*> words) {
  int i = 0;
  for (const char* w : words) {
    if (std::strcmp(w, given) == 0) return i;
    ++i;
  }
  std::string msg = std::string(keyword) + " must be one of ";
  bool first = true;
  for (const char* w : words) {
    if (!first) msg += ", ";
    msg += '"';
    msg += w;
    msg += '"';
    first = false;
  }
  msg += ", got '";
  msg += given;
  msg += "'";
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return -1;
}

// PyArg_ParseTupleAndKeywords with a const keyword list.
template <class... A>
inline bool parse(PyObject* args, PyObject* kw, const char* fmt, const char* const* kwlist, A... out) {
  return PyArg_ParseTupleAndKeywords(args, kw, fmt, const_cast<char**>(kwlist), out...) != 0;
}

// ValueError `message` unless every value is finite: for settings whose
// range the object checks anyway, so NaN and inf are refused the same way.
template <class... D>
inline bool finite_or(const char* message, D... v) {
  if (((v - v == v - v) && ...)) return true;
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

// Creation results: MemoryError "<create> returned NULL", or a ValueError
// with the object's own refusal message.
template <class R>
inline R* created(R* r, const char* create_name) {
  if (!r) PyErr_Format(PyExc_MemoryError, "%s returned NULL", create_name);
  return r;
}
template <class R>
inline R* created_or_refused(R* r, const char* message) {
  if (!r) PyErr_SetString(PyExc_ValueError, message);
  return r;
}

// Releases the interpreter lock for the lifetime of the guard.  Construct it
// after every argument check and conversion, around the core call only.
class NoGil {
 public:
  NoGil() : state_(PyEval_SaveThread()) {}
  ~NoGil() { PyEval_RestoreThread(state_); }
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;

 private:
  PyThreadState* state_;
};

// Runs f with the interpreter lock released when `release` is true.
template <class F>
inline auto maybe_nogil(bool release, F&& f) {
  if (release) {
    NoGil g;
    return f();
  }
  return f();
}

// A type's block calls release the interpreter lock when its traits say
// `static constexpr bool release_gil = true;`.
template <class T>
inline constexpr bool releases_gil() {
  if constexpr (requires { T::release_gil; })
    return T::release_gil;
  else
    return false;
}

}  // namespace tb::py
