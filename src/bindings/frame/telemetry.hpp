// Binding frame, telemetry: the set_telemetry(tlm, prefix, decim=1) method
// every object that publishes probes shares.  `tlm` is None (detach), a
// capsule "tamberl.telemetry.tb_tlm", or an object whose `_capsule`
// attribute is one.  While attached, the handle keeps a reference to `tlm`,
// so the context's shared memory outlives every object writing into it.
#pragma once
#include "bindings/frame/type.hpp"
#include "core/common/tlm.hpp"

namespace tb::py {

inline constexpr const char* kTlmCapsule = "tamberl.telemetry.tb_tlm";

// The context behind `tlm` (borrowed), or nullptr with an exception: a
// TypeError naming what is expected for anything that is neither such a
// capsule nor an object carrying one as `_capsule`.
inline tb::tb_tlm* telemetry_context(PyObject* tlm) {
  PyObject* cap = nullptr;
  if (PyCapsule_CheckExact(tlm)) {
    Py_INCREF(tlm);
    cap = tlm;
  } else if (!(cap = PyObject_GetAttrString(tlm, "_capsule"))) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;  // the lookup's own error stands
    PyErr_Clear();
  }
  tb::tb_tlm* ctx = nullptr;
  if (cap && PyCapsule_IsValid(cap, kTlmCapsule)) ctx = static_cast<tb::tb_tlm*>(PyCapsule_GetPointer(cap, kTlmCapsule));
  Py_XDECREF(cap);
  if (!ctx)
    PyErr_Format(PyExc_TypeError, "set_telemetry: tlm must be a tamberl.telemetry.Telemetry or None, not %.200s",
                 Py_TYPE(tlm)->tp_name);
  return ctx;
}

// Attach(rec, ctx, prefix, decim) registers the probes named by Suffixes
// (the object's probe table, used for the prefix-length message).
template <class T, int (*Attach)(RecOf<T>*, tb::tb_tlm*, const char*, std::uint64_t), const auto& Suffixes>
PyObject* set_telemetry(PyObject* self, RecOf<T>* r, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"tlm", "prefix", "decim", nullptr};
  PyObject* tlm;
  const char* prefix;
  unsigned long long decim = 1;
  if (!parse(args, kw, "Os|K", kwlist, &tlm, &prefix, &decim)) return nullptr;
  tb::tb_tlm* ctx = nullptr;
  if (tlm != Py_None) {
    ctx = telemetry_context(tlm);
    if (!ctx) return nullptr;
    const std::size_t room = tb::tlm_prefix_room(Suffixes), len = std::strlen(prefix);
    if (len > room) {
      PyErr_Format(PyExc_ValueError,
                   "set_telemetry: the prefix is %zu characters too long (%zu given, at most %zu so that every "
                   "probe name fits in 31 characters)",
                   len - room, len, room);
      return nullptr;
    }
    if (decim == 0 || decim > 2147483647ull) {
      PyErr_SetString(PyExc_ValueError, "set_telemetry: decim must be between 1 and 2147483647");
      return nullptr;
    }
  }
  const int rc = Attach(r, ctx, prefix, decim);
  if (rc != 0) return raise_for(rc, "set_telemetry failed: the context's probe table is full");
  set_keep<T>(self, ctx ? tlm : nullptr);
  return none();
}

template <class T, int (*Attach)(RecOf<T>*, tb::tb_tlm*, const char*, std::uint64_t), const auto& Suffixes>
inline PyMethodDef telemetry_row(const char* probes_text) {
  return method_self<T, &set_telemetry<T, Attach, Suffixes>>(
      "set_telemetry", keep_text(std::string("set_telemetry(tlm, prefix, decim=1)\n--\n\nAttach probes ") + probes_text +
                                 " to a telemetry context, each emitting every decim-th value; None detaches. "
                                 "Returns None."));
}

}  // namespace tb::py
