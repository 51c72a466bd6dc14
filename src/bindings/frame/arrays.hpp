// Binding frame, arrays: input conversion, the two output conventions (V and
// S) with their `out=` rules, caller arrays written in place, and buffers a
// record lends out as views.
#pragma once
#include <memory>
#include <new>

#include "bindings/frame/core.hpp"

namespace tb::py {

// ---------------------------------------------------------------------------
// Array inputs: converted to element type E, C-contiguous and aligned, with
// NumPy's safe-casting rule, or any cast with Force (for inputs whose
// element type the object states, such as float32 taps given as float64).
// A contiguous input of the right dtype is used in place.  The conversion is
// released with the object.

template <class E, bool Force = false>
class In {
 public:
  In() = default;
  In(const In&) = delete;
  In& operator=(const In&) = delete;
  ~In() { Py_XDECREF(arr_); }

  bool convert(PyObject* obj) {
    Py_XDECREF(arr_);
    arr_ = reinterpret_cast<PyArrayObject*>(PyArray_FROM_OTF(obj, npy_type_v<E>, NPY_ARRAY_IN_ARRAY | (Force ? NPY_ARRAY_FORCECAST : 0)));
    return arr_ != nullptr;
  }
  const E* data() const { return static_cast<const E*>(PyArray_DATA(arr_)); }
  std::size_t size() const { return static_cast<std::size_t>(PyArray_SIZE(arr_)); }
  PyArrayObject* array() const { return arr_; }

 private:
  PyArrayObject* arr_ = nullptr;
};

// ---------------------------------------------------------------------------
// Outputs

// True when `out` is an ndarray of exactly element type E in native byte
// order, writable, C-contiguous and aligned; TypeError with `message`
// otherwise.
template <class E>
inline bool out_ok(PyObject* out, const char* message = kOutTypeMsg) {
  if (PyArray_Check(out)) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(out);
    if (PyArray_TYPE(a) == npy_type_v<E> && PyArray_ISNOTSWAPPED(a) && PyArray_ISWRITEABLE(a) &&
        PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a))
      return true;
  }
  PyErr_SetString(PyExc_TypeError, message);
  return false;
}

// A caller's array written in place (not a convention-V/S result): validated
// like `out`, then its data pointer and element count.
template <class E>
inline bool out_buffer(PyObject* o, E** data, std::size_t* len, const char* message = kOutTypeMsg) {
  if (!out_ok<E>(o, message)) return false;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
  *data = static_cast<E*>(PyArray_DATA(a));
  *len = static_cast<std::size_t>(PyArray_SIZE(a));
  return true;
}

// A fresh 1-D array of n elements of type E (zero-filled on request).  A
// size no machine memory could hold is refused at once with MemoryError.
template <class E>
inline PyArrayObject* fresh(std::size_t n, bool zeroed = false) {
  if (!size_fits(n, sizeof(E))) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* a = zeroed ? PyArray_ZEROS(1, dims, npy_type_v<E>, 0) : PyArray_SimpleNew(1, dims, npy_type_v<E>);
  return reinterpret_cast<PyArrayObject*>(a);
}

// Convention S: the output has exactly n elements.  Without `out` a fresh
// array is made; with `out` it is validated and used (and returned) itself.
template <class E>
class OutS {
 public:
  OutS() = default;
  OutS(const OutS&) = delete;
  OutS& operator=(const OutS&) = delete;
  ~OutS() { Py_XDECREF(arr_); }

  bool prepare(PyObject* out, std::size_t n) {
    if (out == nullptr || out == Py_None) {
      arr_ = fresh<E>(n);
      return arr_ != nullptr;
    }
    if (!out_ok<E>(out)) return false;
    const npy_intp have = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(out));
    if (static_cast<std::size_t>(have) != n) {
      PyErr_Format(PyExc_ValueError, "out length %zd != input length %zd", static_cast<Py_ssize_t>(have),
                   static_cast<Py_ssize_t>(n));
      return false;
    }
    Py_INCREF(out);
    arr_ = reinterpret_cast<PyArrayObject*>(out);
    return true;
  }
  E* data() const { return static_cast<E*>(PyArray_DATA(arr_)); }
  // Hands the result (new reference) to the caller.
  PyObject* release() {
    PyObject* r = reinterpret_cast<PyObject*>(arr_);
    arr_ = nullptr;
    return r;
  }

 private:
  PyArrayObject* arr_ = nullptr;
};

// Convention V: up to `need` elements.  Without `out` a fresh array of `need`
// elements is shrunk in place to the produced count; with `out` (at least
// `need` long) the core writes into it and the result is a view of its start
// that keeps `out` alive.
template <class E>
class OutV {
 public:
  OutV() = default;
  OutV(const OutV&) = delete;
  OutV& operator=(const OutV&) = delete;
  ~OutV() { Py_XDECREF(arr_); }

  // `zeroed` asks for a zero-filled fresh array (for cores that read the
  // destination, such as in-place transforms).
  bool prepare(PyObject* out, std::size_t need, bool zeroed = false) {
    if (out == nullptr || out == Py_None) {
      arr_ = fresh<E>(need, zeroed);
      cap_ = need;
      fresh_ = true;
      return arr_ != nullptr;
    }
    if (!out_ok<E>(out)) return false;
    const std::size_t have = static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(out)));
    if (have < need) {
      PyErr_Format(PyExc_ValueError, "out has %zu elements, need >= %zu", have, need);
      return false;
    }
    Py_INCREF(out);
    arr_ = reinterpret_cast<PyArrayObject*>(out);
    cap_ = have;
    fresh_ = false;
    return true;
  }
  E* data() const { return static_cast<E*>(PyArray_DATA(arr_)); }
  std::size_t capacity() const { return cap_; }

  // The result for k produced elements (new reference), or nullptr.
  PyObject* finish(std::size_t k) {
    if (fresh_) {
      if (k < cap_) {
        npy_intp dims[1] = {static_cast<npy_intp>(k)};
        PyArray_Dims shape = {dims, 1};
        PyObject* r = PyArray_Resize(arr_, &shape, 0, NPY_CORDER);
        if (!r) return nullptr;
        Py_DECREF(r);
      }
      PyObject* r = reinterpret_cast<PyObject*>(arr_);
      arr_ = nullptr;
      return r;
    }
    npy_intp dims[1] = {static_cast<npy_intp>(k)};
    PyObject* view = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(npy_type_v<E>), 1, dims, nullptr,
                                          PyArray_DATA(arr_), NPY_ARRAY_CARRAY, nullptr);
    if (!view) return nullptr;
    // SetBaseObject steals the reference we hold on out.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), reinterpret_cast<PyObject*>(arr_)) < 0) {
      arr_ = nullptr;
      Py_DECREF(view);
      return nullptr;
    }
    arr_ = nullptr;
    return view;
  }
  // Same as finish, but None when nothing was produced.
  PyObject* finish_or_none(std::size_t k) {
    if (k == 0) return none();
    return finish(k);
  }

 private:
  PyArrayObject* arr_ = nullptr;
  std::size_t cap_ = 0;
  bool fresh_ = true;
};

// ---------------------------------------------------------------------------
// Lent buffers.  A record that exposes one of its own buffers keeps it in a
// std::shared_ptr; the array view handed out holds a second reference in a
// capsule (its base), so a view stays valid after the record is destroyed.

namespace detail {
inline constexpr const char* kLentCapsule = "tamberl.lent";
inline void lent_release(PyObject* cap) {
  delete static_cast<std::shared_ptr<void>*>(PyCapsule_GetPointer(cap, kLentCapsule));
}
}  // namespace detail

// A read-only 1-D view of n elements of `buf` (new reference), or nullptr.
template <class E>
PyObject* lend(const std::shared_ptr<E[]>& buf, std::size_t n) {
  auto* owner = new (std::nothrow) std::shared_ptr<void>(buf, static_cast<void*>(buf.get()));
  if (!owner) return PyErr_NoMemory();
  PyObject* cap = PyCapsule_New(owner, detail::kLentCapsule, &detail::lent_release);
  if (!cap) {
    delete owner;
    return nullptr;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* view = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(npy_type_v<E>), 1, dims, nullptr,
                                        static_cast<void*>(buf.get()), NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED,
                                        nullptr);
  if (!view) {
    Py_DECREF(cap);
    return nullptr;
  }
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view), cap) < 0) {  // steals cap
    Py_DECREF(view);
    return nullptr;
  }
  return view;
}

}  // namespace tb::py
