// The binding frame shared by every tamberl extension module.
//
// A module file describes each exposed type as a small traits struct and
// each module function as a plain C function; this header turns those into
// Python type objects, method tables, argument checks and array conversions,
// the same way in all six modules:
//
//   struct FooT {
//     using Rec = tb::foo;                          // the core record
//     static constexpr const char* name = "mod.Foo";
//     static constexpr const char* doc = "...";
//     static constexpr auto destroy = &tb::foo_destroy;
//     static Rec* create(PyObject* args, PyObject* kw);   // parse + create
//     // optional: reset, state_bytes, get_state, set_state, methods(), getset()
//   };
//
// Every instance is `PyObject_HEAD` plus one record pointer; a null pointer
// means "never initialised or destroyed".  Core records never see Python.
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
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

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
// Small conversions and error helpers

inline PyObject* to_py(bool v) { return PyBool_FromLong(v ? 1 : 0); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
template <class I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
inline PyObject* to_py(I v) {
  if constexpr (std::is_signed_v<I>)
    return PyLong_FromLongLong(static_cast<long long>(v));
  else
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v));
}

inline PyObject* none() { Py_RETURN_NONE; }

// ValueError "<what> (rc=<status>)" for a refused core operation.
inline PyObject* raise_status(const char* what, long long rc) {
  PyErr_Format(PyExc_ValueError, "%s (rc=%lld)", what, rc);
  return nullptr;
}

inline constexpr const char* kOutTypeMsg =
    "out must be a writable, C-contiguous ndarray of the output dtype";

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

// ---------------------------------------------------------------------------
// Array inputs: converted to element type E, C-contiguous and aligned, with
// NumPy's safe-casting rule.  A contiguous input of the right dtype is used
// in place.  The conversion is released with the object.

template <class E>
class In {
 public:
  In() = default;
  In(const In&) = delete;
  In& operator=(const In&) = delete;
  ~In() { Py_XDECREF(arr_); }

  bool convert(PyObject* obj) {
    Py_XDECREF(arr_);
    arr_ = reinterpret_cast<PyArrayObject*>(PyArray_FROM_OTF(obj, npy_type_v<E>, NPY_ARRAY_IN_ARRAY));
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
  if (!PyArray_Check(out)) goto bad;
  {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(out);
    if (PyArray_TYPE(a) != npy_type_v<E> || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISWRITEABLE(a) ||
        !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a))
      goto bad;
    return true;
  }
bad:
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

// A fresh 1-D array of n elements of type E (zero-filled on request).
template <class E>
inline PyArrayObject* fresh(std::size_t n, bool zeroed = false) {
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
// Handles and type generation

template <class Rec>
struct Handle {
  PyObject_HEAD
  Rec* rec;
};

template <class T>
using RecOf = typename T::Rec;

template <class T>
inline Handle<RecOf<T>>* handle(PyObject* self) {
  return reinterpret_cast<Handle<RecOf<T>>*>(self);
}

// The live record, or nullptr with RuntimeError "destroyed".
template <class T>
inline RecOf<T>* live(PyObject* self) {
  RecOf<T>* r = handle<T>(self)->rec;
  if (!r) PyErr_SetString(PyExc_RuntimeError, "destroyed");
  return r;
}

// Method adapters: core-facing functions take the live record first.
template <class T>
using KwFn = PyObject* (*)(RecOf<T>*, PyObject*, PyObject*);
template <class T>
using NoArgFn = PyObject* (*)(RecOf<T>*);
template <class T>
using OneArgFn = PyObject* (*)(RecOf<T>*, PyObject*);

template <class T, KwFn<T> F>
PyObject* kw_adapter(PyObject* self, PyObject* args, PyObject* kw) {
  RecOf<T>* r = live<T>(self);
  return r ? F(r, args, kw) : nullptr;
}
template <class T, NoArgFn<T> F>
PyObject* noarg_adapter(PyObject* self, PyObject*) {
  RecOf<T>* r = live<T>(self);
  return r ? F(r) : nullptr;
}
template <class T, OneArgFn<T> F>
PyObject* onearg_adapter(PyObject* self, PyObject* arg) {
  RecOf<T>* r = live<T>(self);
  return r ? F(r, arg) : nullptr;
}

template <class T, KwFn<T> F>
inline PyMethodDef method(const char* name, const char* doc = nullptr) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&kw_adapter<T, F>)),
          METH_VARARGS | METH_KEYWORDS, doc};
}
template <class T, NoArgFn<T> F>
inline PyMethodDef method0(const char* name, const char* doc = nullptr) {
  return {name, &noarg_adapter<T, F>, METH_NOARGS, doc};
}
template <class T, OneArgFn<T> F>
inline PyMethodDef method1(const char* name, const char* doc = nullptr) {
  return {name, &onearg_adapter<T, F>, METH_O, doc};
}

// A module-level function taking keyword-or-positional arguments.
inline PyMethodDef function(const char* name, PyCFunctionWithKeywords fn, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS, doc};
}
inline constexpr PyMethodDef kSentinel = {nullptr, nullptr, 0, nullptr};

// Getters: a record field (by member pointer) or a function of the record.
template <class T, auto Member>
PyObject* field_getter(PyObject* self, void*) {
  RecOf<T>* r = live<T>(self);
  return r ? to_py(r->*Member) : nullptr;
}
template <class T, auto Fn>
PyObject* fn_getter(PyObject* self, void*) {  // Fn(const Rec*) -> value
  RecOf<T>* r = live<T>(self);
  return r ? to_py(Fn(r)) : nullptr;
}
// Settable attribute: the value is parsed as a double and passed to Fn.
template <class T, void (*Fn)(RecOf<T>*, double)>
int double_setter(PyObject* self, PyObject* value, void*) {
  RecOf<T>* r = live<T>(self);
  if (!r) return -1;
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "cannot delete attribute");
    return -1;
  }
  double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) return -1;
  Fn(r, v);
  return 0;
}

template <class T, auto Member>
inline PyGetSetDef field(const char* name, const char* doc = nullptr) {
  return {name, &field_getter<T, Member>, nullptr, doc, nullptr};
}
template <class T, auto Fn>
inline PyGetSetDef computed(const char* name, const char* doc = nullptr) {
  return {name, &fn_getter<T, Fn>, nullptr, doc, nullptr};
}
template <class T, auto Member, void (*Set)(RecOf<T>*, double)>
inline PyGetSetDef settable(const char* name, const char* doc = nullptr) {
  return {name, &field_getter<T, Member>, &double_setter<T, Set>, doc, nullptr};
}
template <class T, auto Get, void (*Set)(RecOf<T>*, double)>
inline PyGetSetDef computed_settable(const char* name, const char* doc = nullptr) {
  return {name, &fn_getter<T, Get>, &double_setter<T, Set>, doc, nullptr};
}

// Standard methods generated for every type.
template <class T>
struct Standard {
  using Rec = RecOf<T>;

  static PyObject* destroy(PyObject* self, PyObject*) {
    Handle<Rec>* h = handle<T>(self);
    if (h->rec) {
      Rec* r = h->rec;
      h->rec = nullptr;
      T::destroy(r);
    }
    return none();
  }
  static PyObject* enter(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
  }
  static PyObject* exit(PyObject* self, PyObject*) { return destroy(self, nullptr); }

  static PyObject* reset(Rec* r) {
    T::reset(r);
    return none();
  }
  static PyObject* state_bytes(Rec* r) { return to_py(static_cast<std::size_t>(T::state_bytes(r))); }
  static PyObject* get_state(Rec* r) {
    const std::size_t n = T::state_bytes(r);
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!b) return nullptr;
    unsigned char* p = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(b));
    const int rc = T::get_state(r, p, n);
    if (rc != 0) {
      Py_DECREF(b);
      return raise_status("get_state failed", rc);
    }
    return b;
  }
  static PyObject* set_state(Rec* r, PyObject* blob) {
    if (!PyBytes_Check(blob)) {
      PyErr_SetString(PyExc_TypeError, "set_state expects bytes");
      return nullptr;
    }
    const std::size_t n = static_cast<std::size_t>(PyBytes_GET_SIZE(blob));
    if (n != T::state_bytes(r)) {
      PyErr_SetString(PyExc_ValueError, "state blob size mismatch");
      return nullptr;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(blob));
    if (T::set_state(r, p, n) != 0) {
      PyErr_SetString(PyExc_ValueError, "set_state rejected the blob");
      return nullptr;
    }
    return none();
  }

  static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) handle<T>(self)->rec = nullptr;
    return self;
  }
  // A second __init__ on a live object builds the new record first and only
  // then releases the old one, so a refused re-initialisation loses nothing.
  static int tp_init(PyObject* self, PyObject* args, PyObject* kw) {
    Rec* r = T::create(args, kw);
    if (!r) return -1;
    Handle<Rec>* h = handle<T>(self);
    Rec* old = h->rec;
    h->rec = r;
    if (old) T::destroy(old);
    return 0;
  }
  static void tp_dealloc(PyObject* self) {
    Handle<Rec>* h = handle<T>(self);
    if (h->rec) {
      T::destroy(h->rec);
      h->rec = nullptr;
    }
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
  }

  static std::vector<PyMethodDef>& methods() {
    static std::vector<PyMethodDef> table = [] {
      std::vector<PyMethodDef> t;
      if constexpr (requires { T::reset; })
        t.push_back(method0<T, &Standard::reset>("reset", "Reset the mutable state."));
      if constexpr (requires { T::methods(); })
        for (const PyMethodDef& m : T::methods()) t.push_back(m);
      if constexpr (requires { T::state_bytes; }) {
        t.push_back(method0<T, &Standard::state_bytes>("state_bytes", "Length in bytes of the state blob."));
        t.push_back(method0<T, &Standard::get_state>("get_state", "Capture the mutable state as bytes."));
        t.push_back(method1<T, &Standard::set_state>("set_state", "Restore state captured by get_state()."));
      }
      t.push_back({"destroy", &Standard::destroy, METH_NOARGS, "Release the core record (idempotent)."});
      t.push_back({"__enter__", &Standard::enter, METH_NOARGS, nullptr});
      t.push_back({"__exit__", &Standard::exit, METH_VARARGS, nullptr});
      t.push_back({nullptr, nullptr, 0, nullptr});
      return t;
    }();
    return table;
  }
  static std::vector<PyGetSetDef>& getset() {
    static std::vector<PyGetSetDef> table = [] {
      std::vector<PyGetSetDef> t;
      if constexpr (requires { T::getset(); })
        for (const PyGetSetDef& g : T::getset()) t.push_back(g);
      t.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
      return t;
    }();
    return table;
  }

  static PyObject* make_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
        {Py_tp_init, reinterpret_cast<void*>(&tp_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
        {Py_tp_doc, const_cast<char*>(T::doc)},
        {Py_tp_methods, methods().data()},
        {Py_tp_getset, getset().data()},
        {0, nullptr},
    };
    static PyType_Spec spec = {T::name, static_cast<int>(sizeof(Handle<Rec>)), 0, Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
  }
};

// ---------------------------------------------------------------------------
// Module initialisation: import NumPy's array interface (its own import
// sequence and checks), make each type ready, create the module and add the
// types under their short names, in order.

template <class... Types>
PyObject* module_init(PyModuleDef* def) {
  import_array1(nullptr);
  PyObject* types[sizeof...(Types) + 1] = {Standard<Types>::make_type()..., nullptr};
  const char* names[sizeof...(Types) + 1] = {Types::name..., nullptr};
  auto drop_types = [&] {
    for (std::size_t i = 0; i < sizeof...(Types); ++i) Py_XDECREF(types[i]);
  };
  for (std::size_t i = 0; i < sizeof...(Types); ++i) {
    if (!types[i]) {
      drop_types();
      return nullptr;
    }
  }
  PyObject* m = PyModule_Create2(def, 1013);
  if (!m) {
    drop_types();
    return nullptr;
  }
  for (std::size_t i = 0; i < sizeof...(Types); ++i) {
    const char* dot = std::strrchr(names[i], '.');
    const char* shortname = dot ? dot + 1 : names[i];
    // PyModule_AddObject steals the reference only on success.
    if (PyModule_AddObject(m, shortname, types[i]) < 0) {
      for (std::size_t j = i; j < sizeof...(Types); ++j) Py_XDECREF(types[j]);
      Py_DECREF(m);
      return nullptr;
    }
    types[i] = nullptr;
  }
  return m;
}

// ---------------------------------------------------------------------------
// Block-method helpers shared by many types.

// steps(x, out=None) under convention S: one output per input element.
// Core: void f(Rec*, const I*, O*, size_t).  With kReleaseGil the core call
// runs without the interpreter lock.
template <class T, class I, class O, void (*Core)(RecOf<T>*, const I*, O*, std::size_t), bool kReleaseGil>
PyObject* steps_s(RecOf<T>* r, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"x", "out", nullptr};
  PyObject *xo = nullptr, *outo = Py_None;
  if (!parse(args, kw, "O|O", kwlist, &xo, &outo)) return nullptr;
  In<I> x;
  if (!x.convert(xo)) return nullptr;
  OutS<O> out;
  if (!out.prepare(outo, x.size())) return nullptr;
  const I* xp = x.data();
  O* op = out.data();
  const std::size_t n = x.size();
  maybe_nogil(kReleaseGil, [&] { Core(r, xp, op, n); });
  return out.release();
}

}  // namespace tb::py
