// Binding frame, handles: the instance layout every type shares and the
// guard that keeps a record alive and exclusive for the length of a call.
//
// A handle is the object header, the record pointer (null: never
// initialised, or destroyed), and two pieces of bookkeeping the frame needs
// to stay memory-safe: a busy count and a record whose release was deferred.
// A call marks its handle busy from its first argument conversion until its
// result is built.  While busy:
//   - destroy() (and leaving a `with` block) releases the record only when
//     the running call returns; the object reads as destroyed at once;
//   - a second __init__, and every other method or setter, raises
//     RuntimeError (an object serves one call at a time).
// Argument conversion may run Python code (`__array__`, `__index__`,
// `__float__`) and a call may release the interpreter lock, so without this
// a conversion or another thread could free the record under the call.  All
// of it happens under the interpreter lock, so it needs no lock of its own.
// The handle can also hold one Python reference on behalf of its record
// (`keep`, such as an attached telemetry context), dropped with the record,
// and the configuration history that pickling replays (`journal`, see
// persist.hpp), dropped on destroy.
#pragma once
#include "bindings/frame/core.hpp"

namespace tb::py {

template <class Rec>
struct Handle {
  PyObject_HEAD
  Rec* rec;
  Rec* doomed;         // destroyed while busy: released when the last call returns
  std::uint32_t busy;  // calls running on this handle (0 or 1 in supported use)
  PyObject* keep;      // a reference the record borrows from, or null
  PyObject* journal;   // list of configuration calls; None when it could not be kept; null when destroyed
};

template <class T>
using RecOf = typename T::Rec;

template <class T>
inline Handle<RecOf<T>>* handle(PyObject* self) {
  return reinterpret_cast<Handle<RecOf<T>>*>(self);
}

// Releases a record and the reference it borrowed.
template <class T>
inline void release_record(Handle<RecOf<T>>* h, RecOf<T>* r) {
  PyObject* keep = h->keep;
  h->keep = nullptr;
  if (r) T::destroy(r);
  Py_XDECREF(keep);
}

// Drops the configuration history (the record is gone or being replaced).
template <class T>
inline void drop_journal(Handle<RecOf<T>>* h) {
  PyObject* j = h->journal;
  h->journal = nullptr;
  Py_XDECREF(j);
}

// The live record, or nullptr with RuntimeError "destroyed".  For reads that
// run no Python code (getters); calls use Call below.
template <class T>
inline RecOf<T>* live(PyObject* self) {
  RecOf<T>* r = handle<T>(self)->rec;
  if (!r) PyErr_SetString(PyExc_RuntimeError, "destroyed");
  return r;
}

// One call on a handle: checks it is live and not busy, marks it busy and
// holds a reference to it; the destructor ends the call and performs a
// release that destroy() deferred meanwhile.
template <class T>
class Call {
 public:
  explicit Call(PyObject* self) : self_(self) {
    Handle<RecOf<T>>* h = handle<T>(self);
    if (!h->rec) {
      PyErr_SetString(PyExc_RuntimeError, "destroyed");
      return;
    }
    if (h->busy) {
      PyErr_SetString(PyExc_RuntimeError, kBusyMsg);
      return;
    }
    rec_ = h->rec;
    h->busy += 1;
    Py_INCREF(self);
  }
  ~Call() {
    if (!rec_) return;
    Handle<RecOf<T>>* h = handle<T>(self_);
    if (--h->busy == 0 && h->doomed) {
      RecOf<T>* d = h->doomed;
      h->doomed = nullptr;
      // Keep a pending exception (the call's own result) across the release.
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      release_record<T>(h, d);
      PyErr_Restore(type, value, tb);
    }
    Py_DECREF(self_);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  explicit operator bool() const { return rec_ != nullptr; }
  RecOf<T>* rec() const { return rec_; }

 private:
  PyObject* self_;
  RecOf<T>* rec_ = nullptr;
};

// Stores `obj` (may be null) as the reference the record borrows from,
// dropping the previous one.
template <class T>
inline void set_keep(PyObject* self, PyObject* obj) {
  Handle<RecOf<T>>* h = handle<T>(self);
  PyObject* old = h->keep;
  Py_XINCREF(obj);
  h->keep = obj;
  Py_XDECREF(old);
}

}  // namespace tb::py
