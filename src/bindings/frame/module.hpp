// Binding frame, module initialisation: import NumPy's array interface (its
// own import sequence and checks), make each type ready, create the module
// and add the types under their short names, in order; then any
// struct-sequence record types.
#pragma once
#include "bindings/frame/type.hpp"
#include "platform/isa.hpp"

namespace tb::py {

// _isa(name=None): the instruction set this module's kernels use; with a
// name ("scalar", "sse2" or "avx2") it first caps them there.  Each
// extension module keeps its own cap; tamberl.isa() sets all six.
inline PyObject* py_isa(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"name", nullptr};
  const char* name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kw, "|z", const_cast<char**>(kwlist), &name)) return nullptr;
  if (name) {
    const int level = platform::isa_parse(name);
    if (level < 0) {
      PyErr_Format(PyExc_ValueError, "isa: name must be 'scalar', 'sse2' or 'avx2', not '%s'", name);
      return nullptr;
    }
    platform::isa_set_cap(level);
  }
  return PyUnicode_FromString(platform::isa_name(platform::isa_active()));
}

inline PyMethodDef kIsaMethods[] = {
    {"_isa", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_isa)), METH_VARARGS | METH_KEYWORDS,
     "_isa(name=None)\n--\n\nThe instruction set of this module's kernels, capped first at `name` when given."},
    {nullptr, nullptr, 0, nullptr}};

// A struct-sequence record type (a named tuple made in C) of a module.  The
// module fills `type` at initialisation; a binding builds instances with
// PyStructSequence_New(*type).
struct StructSeq {
  PyStructSequence_Desc* desc;
  PyTypeObject** type;
};

// Adds each struct-sequence type to the module under the short part of its
// name; -1 on failure (the module is then dropped by the caller).
inline int add_struct_seqs(PyObject* m, std::initializer_list<StructSeq> seqs) {
  for (const StructSeq& s : seqs) {
    PyTypeObject* t = PyStructSequence_NewType(s.desc);
    if (!t) return -1;
    const char* dot = std::strrchr(s.desc->name, '.');
    if (PyModule_AddObject(m, dot ? dot + 1 : s.desc->name, reinterpret_cast<PyObject*>(t)) < 0) {
      Py_DECREF(t);
      return -1;
    }
    *s.type = t;  // the module holds the reference
  }
  return 0;
}

template <class... Types>
PyObject* module_init(PyModuleDef* def, std::initializer_list<StructSeq> seqs = {}) {
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
  // Where pickling finds the types again (kept for the life of the process).
  PyObject* home = PyUnicode_FromFormat("tamberl.%s", def->m_name);
  if (!home) {
    drop_types();
    Py_DECREF(m);
    return nullptr;
  }
  ((home_of<Types> = home), ...);
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
  if (add_struct_seqs(m, seqs) < 0 || PyModule_AddFunctions(m, kIsaMethods) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}

}  // namespace tb::py

// The module definition and its exported init function, in one line of the
// module's registration file:
//   TB_MODULE(track, "doc", kFunctions_or_nullptr, {struct seqs}, TypeT, ...)
#define TB_MODULE(mod, doc, functions, seqs, ...)                                              \
  namespace {                                                                                  \
  PyModuleDef k_##mod##_module = {PyModuleDef_HEAD_INIT, #mod, doc, -1, functions,             \
                                  nullptr, nullptr, nullptr, nullptr};                          \
  }                                                                                            \
  PyMODINIT_FUNC PyInit_##mod(void) { return tb::py::module_init<__VA_ARGS__>(&k_##mod##_module, seqs); }
