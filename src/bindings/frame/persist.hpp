// Binding frame, persistence: pickle and copy for every type.
//
// An object is rebuilt from what made it: its constructor call, then the
// configuration calls its type declares `journaled` (appends to a frame
// description, a synthesiser's shaping and sources, an LO frequency the
// state blob does not carry), replayed in their original order, and last
// its state blob, which carries everything else.  A call is recorded only
// once it has succeeded, with private copies of its array arguments, so an
// array the caller changes afterwards changes nothing.  A journaled call
// marked `fold` that repeats back to back replaces its own record: a
// frequency written once per block keeps one entry, not one per block.
// A destroyed object pickles as destroyed.  The telemetry attachment is the
// object's own and is not carried: a copy starts detached.
//
// The recording, folding and rebuilding are Python (tamberl._persist); this
// header wires them to the handle.
#pragma once
#include <array>
#include <deque>
#include <utility>

#include "bindings/frame/handle.hpp"

namespace tb::py {

// One entry of a type's `journaled` table: a method or settable attribute
// whose effect the state blob does not carry.
struct Journaled {
  const char* name;
  bool fold;  // back-to-back repeats keep only the last
};

// "tamberl.<module>": where rebuilding finds a type; set at module init.
template <class T>
inline PyObject* home_of = nullptr;

// A function of tamberl._persist (new reference), or null with the error.
inline PyObject* persist_fn(const char* name) {
  static PyObject* mod = nullptr;  // kept for the life of the process
  if (!mod && !(mod = PyImport_ImportModule("tamberl._persist"))) return nullptr;
  return PyObject_GetAttrString(mod, name);
}

template <class T>
inline void lose_journal(Handle<RecOf<T>>* h) {
  PyErr_Clear();
  drop_journal<T>(h);
  Py_INCREF(Py_None);
  h->journal = Py_None;
}

// Starts the history of a freshly initialised handle with its constructor
// call.  A history that cannot be kept becomes None: the object works, and
// pickling it refuses with a clear message instead of building a wrong copy.
template <class T>
inline void start_journal(Handle<RecOf<T>>* h, PyObject* args, PyObject* kw) {
  drop_journal<T>(h);
  Ref fn(persist_fn("start"));
  PyObject* j = fn ? PyObject_CallFunctionObjArgs(fn.get(), args ? args : Py_None, kw ? kw : Py_None, nullptr)
                   : nullptr;
  if (!j) return lose_journal<T>(h);
  h->journal = j;
}

// Records a successful configuration call ("m" method, "a" attribute write).
// args null: the arguments could not be packed, so the history is lost.
template <class T>
inline void note_call(PyObject* self, const char* kind, const char* name, PyObject* args, PyObject* kw, bool fold) {
  Handle<RecOf<T>>* h = handle<T>(self);
  if (!h->rec || !h->journal || h->journal == Py_None) return;
  if (!args) return lose_journal<T>(h);
  Ref journal(h->journal);
  Py_INCREF(h->journal);
  Ref fn(persist_fn("note"));
  Ref r(fn ? PyObject_CallFunction(fn.get(), "OssOOO", journal.get(), kind, name, args, kw ? kw : Py_None,
                                   fold ? Py_True : Py_False)
           : nullptr);
  if (!r && h->journal == journal.get()) lose_journal<T>(h);
  PyErr_Clear();
}

// Replaces the rows and attributes a type journals with recording wrappers
// around the originals.
template <class T>
struct JournalRows {
  static constexpr std::size_t kMax = 16;
  static inline std::array<PyMethodDef, kMax> orig{};
  static inline std::array<bool, kMax> fold{};
  struct Attr {
    PyGetSetDef def;
    bool fold;
  };
  static inline std::deque<Attr> attrs;  // stable addresses: each is its wrapper's closure

  template <std::size_t I>
  static PyObject* call(PyObject* self, PyObject* args, PyObject* kw) {
    const PyMethodDef& o = orig[I];
    const int shape = o.ml_flags & (METH_VARARGS | METH_NOARGS | METH_O);
    PyObject* r;
    if (shape == METH_VARARGS) {
      r = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(o.ml_meth))(self, args, kw);
    } else {
      const Py_ssize_t n = PyTuple_GET_SIZE(args), want = shape == METH_O ? 1 : 0;
      if (n != want || (kw && PyDict_GET_SIZE(kw))) {
        PyErr_Format(PyExc_TypeError, "%s() takes %s (%zd given)", o.ml_name,
                     want ? "exactly one argument" : "no arguments", n);
        return nullptr;
      }
      r = o.ml_meth(self, want ? PyTuple_GET_ITEM(args, 0) : nullptr);
    }
    if (r) note_call<T>(self, "m", o.ml_name, args, kw, fold[I]);
    return r;
  }
  static int set(PyObject* self, PyObject* value, void* closure) {
    const Attr* a = static_cast<const Attr*>(closure);
    if (a->def.set(self, value, a->def.closure) < 0) return -1;
    Ref args(PyTuple_Pack(1, value));
    note_call<T>(self, "a", a->def.name, args.get(), nullptr, a->fold);
    return 0;
  }

  template <std::size_t... I>
  static constexpr std::array<PyCFunctionWithKeywords, kMax> adapters(std::index_sequence<I...>) {
    return {&call<I>...};
  }

  static const Journaled* find(const char* name) {
    for (const Journaled& j : T::journaled)
      if (std::strcmp(j.name, name) == 0) return &j;
    return nullptr;
  }
  static void wrap_methods(std::vector<PyMethodDef>& t) {
    static_assert(std::size(T::journaled) <= kMax, "more journaled names than adapters");
    static constexpr auto table = adapters(std::make_index_sequence<kMax>{});
    std::size_t used = 0;
    for (PyMethodDef& m : t) {
      const Journaled* j = m.ml_name ? find(m.ml_name) : nullptr;
      if (!j) continue;
      orig[used] = m;
      fold[used] = j->fold;
      m.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table[used]));
      m.ml_flags = METH_VARARGS | METH_KEYWORDS;
      ++used;
    }
  }
  static void wrap_getset(std::vector<PyGetSetDef>& t) {
    for (PyGetSetDef& g : t) {
      const Journaled* j = g.name && g.set ? find(g.name) : nullptr;
      if (!j) continue;
      attrs.push_back({g, j->fold});
      g.set = &set;
      g.closure = &attrs.back();
    }
  }
};

}  // namespace tb::py
