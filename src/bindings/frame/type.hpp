// Binding frame, type generation: the standard methods every type carries
// (reset, the three state methods, destroy, __enter__, __exit__), creation,
// re-initialisation, deallocation and repr, generated from a traits struct:
//
//   struct FooT {
//     using Rec = tb::foo;                          // the core record
//     static constexpr const char* name = "mod.Foo";
//     static constexpr const char* doc = "Foo(a=1)\n--\n\n...";  // text signature first
//     TB_STANDARD_OPS(foo)                          // destroy/reset/state functions, when named foo_*
//     static Rec* create(PyObject* args, PyObject* kw);   // parse + create
//     // optional: methods(), getset(), release_gil, what, after_create(self),
//     //           repr_attrs (attribute names shown by repr), close_alias
//     //           (a `close` method that is destroy), journaled (the
//     //           configuration calls pickling replays, see persist.hpp)
//   };
#pragma once
#include "bindings/frame/methods.hpp"
#include "bindings/frame/persist.hpp"

// The five standard operations of a record whose core functions follow the
// <object>_<verb> naming.
#define TB_STANDARD_OPS(obj)                              \
  static constexpr auto destroy = &tb::obj##_destroy;     \
  static constexpr auto reset = &tb::obj##_reset;         \
  static constexpr auto state_bytes = &tb::obj##_state_bytes; \
  static constexpr auto get_state = &tb::obj##_get_state; \
  static constexpr auto set_state = &tb::obj##_set_state;

namespace tb::py {

template <class T>
struct Standard {
  using Rec = RecOf<T>;
  using H = Handle<Rec>;

  // Idempotent; never raises.  While a call runs on the handle the release
  // waits for it to return (see handle.hpp).
  static PyObject* destroy(PyObject* self, PyObject*) {
    H* h = handle<T>(self);
    if (h->rec) {
      Rec* r = h->rec;
      h->rec = nullptr;
      drop_journal<T>(h);
      if (h->busy)
        h->doomed = r;
      else
        release_record<T>(h, r);
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
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!b) return nullptr;
    unsigned char* p = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(b));
    const int rc = T::get_state(r, p, n);
    if (rc != 0) {
      Py_DECREF(b);
      return raise_for(rc, "get_state failed");
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
    if (self) {
      H* h = handle<T>(self);
      h->rec = nullptr;
      h->doomed = nullptr;
      h->busy = 0;
      h->keep = nullptr;
      h->journal = nullptr;
    }
    return self;
  }
  // A second __init__ on a live object builds the new record first and only
  // then releases the old one, so a refused re-initialisation loses nothing.
  // Argument parsing may run Python code, so the handle is read afterwards.
  static int tp_init(PyObject* self, PyObject* args, PyObject* kw) {
    Rec* r = T::create(args, kw);
    if (!r) return -1;
    H* h = handle<T>(self);
    if (h->busy) {
      T::destroy(r);
      PyErr_SetString(PyExc_RuntimeError, kBusyMsg);
      return -1;
    }
    Rec* old = h->rec;
    h->rec = r;
    if (old) release_record<T>(h, old);
    start_journal<T>(h, args, kw);
    if constexpr (requires { T::after_create(self); })
      return T::after_create(self);
    return 0;
  }
  static void tp_dealloc(PyObject* self) {
    H* h = handle<T>(self);
    Rec* r = h->rec ? h->rec : h->doomed;
    h->rec = h->doomed = nullptr;
    drop_journal<T>(h);
    release_record<T>(h, r);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
  }

  // "<mod.Type a=1, b=2.5>" from the readable attributes (or the type's
  // repr_attrs); "<mod.Type destroyed>" once released.
  static PyObject* tp_repr(PyObject* self) {
    if (!handle<T>(self)->rec) return PyUnicode_FromFormat("<%s destroyed>", T::name);
    std::string s = std::string("<") + T::name;
    bool first = true;
    auto add = [&](const char* attr) -> bool {
      PyObject* v = PyObject_GetAttrString(self, attr);
      if (!v) return false;
      PyObject* text = PyObject_Repr(v);
      Py_DECREF(v);
      if (!text) return false;
      const char* u = PyUnicode_AsUTF8(text);
      if (!u) {
        Py_DECREF(text);
        return false;
      }
      s += first ? " " : ", ";
      s += attr;
      s += "=";
      s += u;
      Py_DECREF(text);
      first = false;
      return true;
    };
    if constexpr (requires { T::repr_attrs; }) {
      for (const char* a : T::repr_attrs)
        if (!add(a)) return nullptr;
    } else {
      for (const PyGetSetDef& g : getset())
        if (g.name && !add(g.name)) return nullptr;
    }
    s += ">";
    return PyUnicode_FromString(s.c_str());
  }

  // pickle and copy: (tamberl._persist.rebuild, (home, type, history, blob)).
  static PyObject* reduce(PyObject* self, PyObject*) {
    H* h = handle<T>(self);
    Ref fn(persist_fn("reduce"));
    if (!fn) return nullptr;
    const char* dot = std::strrchr(T::name, '.');
    const char* shortname = dot ? dot + 1 : T::name;
    PyObject* home = home_of<T> ? home_of<T> : Py_None;
    if (!h->rec) return PyObject_CallFunction(fn.get(), "OsOOO", home, shortname, Py_None, Py_None, Py_False);
    Call<T> c(self);
    if (!c) return nullptr;
    Ref blob;
    if constexpr (requires { T::state_bytes; }) {
      blob = Ref(get_state(c.rec()));
      if (!blob) return nullptr;
    }
    return PyObject_CallFunction(fn.get(), "OsOOO", home, shortname, h->journal ? h->journal : Py_None,
                                 blob ? blob.get() : Py_None, Py_True);
  }

  static std::vector<PyMethodDef>& methods() {
    static std::vector<PyMethodDef> table = [] {
      std::vector<PyMethodDef> t;
      if constexpr (requires { T::reset; })
        t.push_back(method0<T, &Standard::reset>("reset", "reset()\n--\n\nReset the mutable state."));
      if constexpr (requires { T::methods(); })
        for (const PyMethodDef& m : T::methods()) t.push_back(m);
      if constexpr (requires { T::state_bytes; }) {
        t.push_back(method0<T, &Standard::state_bytes>("state_bytes",
                                                       "state_bytes()\n--\n\nLength in bytes of the state blob."));
        t.push_back(method0<T, &Standard::get_state>("get_state",
                                                     "get_state()\n--\n\nCapture the mutable state as bytes."));
        t.push_back(method1<T, &Standard::set_state>(
            "set_state", "set_state(blob, /)\n--\n\nRestore state captured by get_state(); returns None."));
      }
      t.push_back({"destroy", &Standard::destroy, METH_NOARGS,
                   "destroy($self)\n--\n\nRelease the core record (idempotent); returns None."});
      if constexpr (requires { T::close_alias; })
        if (T::close_alias)
          t.push_back({"close", &Standard::destroy, METH_NOARGS,
                       "close($self)\n--\n\nThe same as destroy(): release the core record; returns None."});
      t.push_back({"__enter__", &Standard::enter, METH_NOARGS, "__enter__($self)\n--\n\nReturn the object itself."});
      t.push_back({"__exit__", &Standard::exit, METH_VARARGS,
                   "__exit__($self, /, *args)\n--\n\nRelease the core record, as destroy()."});
      t.push_back({"__reduce__", &Standard::reduce, METH_NOARGS,
                   "__reduce__($self, /)\n--\n\nPickle and copy support: the configuration and the state."});
      if constexpr (requires { T::journaled; }) JournalRows<T>::wrap_methods(t);
      t.push_back(kSentinel);
      return t;
    }();
    return table;
  }
  static std::vector<PyGetSetDef>& getset() {
    static std::vector<PyGetSetDef> table = [] {
      std::vector<PyGetSetDef> t;
      if constexpr (requires { T::getset(); })
        for (const PyGetSetDef& g : T::getset()) t.push_back(g);
      if constexpr (requires { T::journaled; }) JournalRows<T>::wrap_getset(t);
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
        {Py_tp_repr, reinterpret_cast<void*>(&tp_repr)},
        {Py_tp_doc, const_cast<char*>(T::doc)},
        {Py_tp_methods, methods().data()},
        {Py_tp_getset, getset().data()},
        {0, nullptr},
    };
    static PyType_Spec spec = {T::name, static_cast<int>(sizeof(H)), 0, Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
  }
};

// Emits a UserWarning after a successful create (the after_create hook's
// helper); -1 when warnings are errors and the warning was raised.
inline int warn_user(const char* message) { return PyErr_WarnEx(PyExc_UserWarning, message, 1); }

}  // namespace tb::py
