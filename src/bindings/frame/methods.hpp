// Binding frame, method rows: the adapters that run a method under a Call,
// scalar methods generated from the core signature, the two block-call
// shapes (convention S and V), getters and setters.
//
// A type's methods() returns rows built here, for example
//
//   static std::vector<PyMethodDef> methods() {
//     return rows(block_v<CostasT, tb::costas_steps>("steps", "..."),
//                 scalar<CostasT, tb::costas_configure, "bn", "zeta">("configure", "..."));
//   }
#pragma once
#include <array>
#include <tuple>

#include "bindings/frame/arrays.hpp"
#include "bindings/frame/handle.hpp"

namespace tb::py {

// ---------------------------------------------------------------------------
// Adapters: core-facing functions take the live record first.

template <class T>
using KwFn = PyObject* (*)(RecOf<T>*, PyObject*, PyObject*);
template <class T>
using NoArgFn = PyObject* (*)(RecOf<T>*);
template <class T>
using OneArgFn = PyObject* (*)(RecOf<T>*, PyObject*);
template <class T>
using SelfKwFn = PyObject* (*)(PyObject*, RecOf<T>*, PyObject*, PyObject*);

template <class T, KwFn<T> F>
PyObject* kw_adapter(PyObject* self, PyObject* args, PyObject* kw) {
  Call<T> c(self);
  return c ? F(c.rec(), args, kw) : nullptr;
}
template <class T, NoArgFn<T> F>
PyObject* noarg_adapter(PyObject* self, PyObject*) {
  Call<T> c(self);
  return c ? F(c.rec()) : nullptr;
}
template <class T, OneArgFn<T> F>
PyObject* onearg_adapter(PyObject* self, PyObject* arg) {
  Call<T> c(self);
  return c ? F(c.rec(), arg) : nullptr;
}
template <class T, SelfKwFn<T> F>
PyObject* self_kw_adapter(PyObject* self, PyObject* args, PyObject* kw) {
  Call<T> c(self);
  return c ? F(self, c.rec(), args, kw) : nullptr;
}

// Rows.  `doc` starts with the method's text signature without `$self`:
// "steps(x, out=None)\n--\n\n...", which the row turns into the form
// inspect.signature reads.
inline const char* method_doc(const char* doc) {
  if (!doc) return nullptr;
  const char* paren = std::strchr(doc, '(');
  const char* sep = std::strstr(doc, ")\n--\n\n");
  if (!paren || !sep || sep < paren) return doc;
  std::string s(doc, paren + 1);
  s += paren[1] == ')' ? "$self" : "$self, ";
  s += paren + 1;
  return keep_text(std::move(s));
}

template <class T, KwFn<T> F>
inline PyMethodDef method(const char* name, const char* doc = nullptr) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&kw_adapter<T, F>)),
          METH_VARARGS | METH_KEYWORDS, method_doc(doc)};
}
template <class T, NoArgFn<T> F>
inline PyMethodDef method0(const char* name, const char* doc = nullptr) {
  return {name, &noarg_adapter<T, F>, METH_NOARGS, method_doc(doc)};
}
template <class T, OneArgFn<T> F>
inline PyMethodDef method1(const char* name, const char* doc = nullptr) {
  return {name, &onearg_adapter<T, F>, METH_O, method_doc(doc)};
}
template <class T, SelfKwFn<T> F>
inline PyMethodDef method_self(const char* name, const char* doc = nullptr) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&self_kw_adapter<T, F>)),
          METH_VARARGS | METH_KEYWORDS, method_doc(doc)};
}

// A module-level function taking keyword-or-positional arguments.
inline PyMethodDef function(const char* name, PyCFunctionWithKeywords fn, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS, doc};
}
inline constexpr PyMethodDef kSentinel = {nullptr, nullptr, 0, nullptr};

// Concatenates single rows and groups of rows into one table.
inline void append_rows(std::vector<PyMethodDef>& t, const PyMethodDef& m) { t.push_back(m); }
inline void append_rows(std::vector<PyMethodDef>& t, const std::vector<PyMethodDef>& g) {
  t.insert(t.end(), g.begin(), g.end());
}
template <class... R>
inline std::vector<PyMethodDef> rows(const R&... r) {
  std::vector<PyMethodDef> t;
  (append_rows(t, r), ...);
  return t;
}

// ---------------------------------------------------------------------------
// Scalar methods from the core signature.  The parse code of each parameter
// follows its type (integers are parsed at the core's width: uint64 'K'
// modulo 2^64, int64 'L' and int32 'i' with overflow errors, uint32 'I';
// double 'd', float 'f'); the result is converted by to_py, void gives None.

template <std::size_t N>
struct Str {
  char v[N];
  constexpr Str(const char (&s)[N]) { std::copy_n(s, N, v); }
};

template <class A> struct ArgCode;
template <> struct ArgCode<std::uint64_t> { using P = unsigned long long; static constexpr char code = 'K'; };
template <> struct ArgCode<std::int64_t> { using P = long long; static constexpr char code = 'L'; };
template <> struct ArgCode<std::int32_t> { using P = int; static constexpr char code = 'i'; };
template <> struct ArgCode<std::uint32_t> { using P = unsigned int; static constexpr char code = 'I'; };
template <> struct ArgCode<double> { using P = double; static constexpr char code = 'd'; };
template <> struct ArgCode<float> { using P = float; static constexpr char code = 'f'; };

template <class F> struct FnTraits;
template <class R, class Rec, class... A>
struct FnTraits<R (*)(Rec*, A...)> {
  using Ret = R;
  using Args = std::tuple<A...>;
  static constexpr std::size_t arity = sizeof...(A);
  static constexpr std::array<char, sizeof...(A) + 1> format = {ArgCode<A>::code..., '\0'};

  template <auto Fn>
  static PyObject* call(Rec* r, PyObject* args, PyObject* kw, const char* const* kwlist) {
    std::tuple<typename ArgCode<A>::P...> v{};
    if constexpr (sizeof...(A) > 0) {  // a no-argument row is METH_NOARGS: nothing to parse
      const bool ok = std::apply([&](auto&... p) { return parse(args, kw, format.data(), kwlist, &p...); }, v);
      if (!ok) return nullptr;
    }
    if constexpr (std::is_void_v<R>) {
      std::apply([&](auto... p) { Fn(r, static_cast<A>(p)...); }, v);
      return none();
    } else {
      return to_py(std::apply([&](auto... p) { return Fn(r, static_cast<A>(p)...); }, v));
    }
  }
};

template <class T, auto Fn, Str... Names>
struct Scalar {
  using Tr = FnTraits<decltype(Fn)>;
  static_assert(Tr::arity == sizeof...(Names), "one keyword name per core parameter");
  static constexpr const char* kwlist[] = {Names.v..., nullptr};

  static PyObject* call(RecOf<T>* r, PyObject* args, PyObject* kw) { return Tr::template call<Fn>(r, args, kw, kwlist); }
  static PyObject* call0(RecOf<T>* r) { return Tr::template call<Fn>(r, nullptr, nullptr, kwlist); }
  static std::string params() {
    std::string p;
    for (std::size_t i = 0; i < sizeof...(Names); ++i) p += (i ? ", " : "") + std::string(kwlist[i]);
    return p;
  }
};

template <class T, auto Fn, Str... Names>
inline PyMethodDef scalar(const char* name, const char* text) {
  using S = Scalar<T, Fn, Names...>;
  const char* doc = keep_text(std::string(name) + "(" + S::params() + ")\n--\n\n" + text);
  if constexpr (sizeof...(Names) == 0)
    return method0<T, &S::call0>(name, doc);
  else
    return method<T, &S::call>(name, doc);
}

// A scalar row whose core returns a status: a negative one raises through
// raise_for with `What` ("%s (rc=%lld)" for a refusal), success gives None.
template <class T, auto Fn, Str What, Str... Names>
struct StatusRow {
  using S = Scalar<T, Fn, Names...>;
  static PyObject* call(RecOf<T>* r, PyObject* args, PyObject* kw) {
    PyObject* rc = S::call(r, args, kw);
    if (!rc) return nullptr;
    const long long v = PyLong_AsLongLong(rc);
    Py_DECREF(rc);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (v < 0) return raise_for(v, What.v);
    return none();
  }
};
template <class T, auto Fn, Str What, Str... Names>
inline PyMethodDef status_row(const char* name, const char* text) {
  using S = Scalar<T, Fn, Names...>;
  return method<T, &StatusRow<T, Fn, What, Names...>::call>(
      name, keep_text(std::string(name) + "(" + S::params() + ")\n--\n\n" + text));
}

// get_<x>() / set_<x>(value) method pairs over a record field, for values a
// caller may overwrite at any time.  The value is parsed at the field's
// width (ArgCode); Check, when given, refuses a value with a ValueError
// (it returns the message, or nullptr to accept).
template <class T, auto Member, auto Check = nullptr>
struct Accessor {
  using V = std::remove_cvref_t<decltype(std::declval<RecOf<T>&>().*Member)>;
  static PyObject* get(RecOf<T>* r) { return to_py(r->*Member); }
  static PyObject* set(RecOf<T>* r, PyObject* arg) {
    typename ArgCode<V>::P v{};
    const char fmt[] = {ArgCode<V>::code, '\0'};
    if (!PyArg_Parse(arg, fmt, &v)) return nullptr;
    if constexpr (!std::is_null_pointer_v<decltype(Check)>) {
      if (const char* msg = Check(static_cast<V>(v))) {
        PyErr_SetString(PyExc_ValueError, msg);
        return nullptr;
      }
    }
    r->*Member = static_cast<V>(v);
    return none();
  }
};
template <class T, auto Member, auto Check = nullptr>
inline std::vector<PyMethodDef> accessor_rows(const char* getter, const char* setter, const char* what) {
  using A = Accessor<T, Member, Check>;
  return rows(method0<T, &A::get>(getter, keep_text(std::string(getter) + "()\n--\n\n" + what + ".")),
              method1<T, &A::set>(setter, keep_text(std::string(setter) + "(value, /)\n--\n\nOverwrite " + what +
                                                    "; returns None.")));
}

// ---------------------------------------------------------------------------
// Block calls.  A core returns a count (size_t) or a count-or-status (a
// signed integer; negative is a status for raise_for, worded by the type's
// `what`, "the operation" by default).

template <class T>
inline const char* what_of() {
  if constexpr (requires { T::what; })
    return T::what;
  else
    return "the operation";
}

template <class R>
inline bool produced(R k, std::size_t* n, const char* what) {
  if constexpr (std::is_signed_v<R>) {
    if (k < 0) {
      raise_for(static_cast<long long>(k), what);
      return false;
    }
  }
  *n = static_cast<std::size_t>(k);
  return true;
}

// Convention S, steps(x, out=None): one output per input element.
// Core: void f(Rec*, const I*, O*, size_t).
template <class T, class I, class O, void (*Core)(RecOf<T>*, const I*, O*, std::size_t)>
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
  maybe_nogil(releases_gil<T>(), [&] { Core(r, xp, op, n); });
  return out.release();
}

// Convention V, name(x, out=None) with its companion name_max_out.
// Core: R f(Rec*, const I*, size_t n, E* out, size_t cap).  MaxOut is the
// object's bound beyond len(x): nullptr (0), size_t f(const Rec*) or, for a
// bound that depends on the input, size_t f(const Rec*, size_t x_len) (the
// companion then takes that length as its one argument).
struct VOpts {
  bool zero_fresh = false;       // the core reads its destination (in-place transforms)
  bool none_when_empty = false;  // None instead of an empty array
};

template <class T, auto Core, auto MaxOut = nullptr, VOpts O = VOpts{}, Str Arg = "x">
struct BlockV {
  using Rec = RecOf<T>;
  using Args = typename FnTraits<decltype(Core)>::Args;
  using I = std::remove_cv_t<std::remove_pointer_t<std::tuple_element_t<0, Args>>>;
  using E = std::remove_pointer_t<std::tuple_element_t<2, Args>>;
  static constexpr bool kTakesLength = [] {
    if constexpr (std::is_null_pointer_v<decltype(MaxOut)>)
      return false;
    else
      return FnTraits<decltype(MaxOut)>::arity == 1;
  }();

  static std::size_t bound(const Rec* r, std::size_t n) {
    if constexpr (std::is_null_pointer_v<decltype(MaxOut)>)
      return 0;
    else if constexpr (kTakesLength)
      return MaxOut(r, n);
    else
      return MaxOut(r);
  }
  static PyObject* call(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {Arg.v, "out", nullptr};
    PyObject *xo, *outo = Py_None;
    if (!parse(args, kw, "O|O", kwlist, &xo, &outo)) return nullptr;
    In<I> x;
    if (!x.convert(xo)) return nullptr;
    OutV<E> out;
    if (!out.prepare(outo, std::max(x.size(), bound(r, x.size())), O.zero_fresh)) return nullptr;
    const I* xp = x.data();
    const std::size_t n = x.size(), cap = out.capacity();
    E* op = out.data();
    const auto k = maybe_nogil(releases_gil<T>(), [&] { return Core(r, xp, n, op, cap); });
    std::size_t got;
    if (!produced(k, &got, what_of<T>())) return nullptr;
    return O.none_when_empty ? out.finish_or_none(got) : out.finish(got);
  }
  static PyObject* max_out(Rec* r) { return to_py(bound(r, 0)); }
  static PyObject* max_out_len(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"x_len", nullptr};
    unsigned long long n;
    if (!parse(args, kw, "K", kwlist, &n)) return nullptr;
    return to_py(bound(r, static_cast<std::size_t>(n)));
  }
};

// The two rows of a convention-V method: `name` and `name_max_out`.  Arg
// names the input keyword.
template <class T, auto Core, auto MaxOut = nullptr, VOpts O = VOpts{}, Str Arg = "x">
inline std::vector<PyMethodDef> block_v(const char* name, const char* text,
                                        const char* bound_text = "The bound beyond len(x): 0.") {
  using B = BlockV<T, Core, MaxOut, O, Arg>;
  const std::string mo = std::string(name) + "_max_out";
  const char* mo_name = keep_text(mo);
  const char* doc = keep_text(std::string(name) + "(" + Arg.v + ", out=None)\n--\n\n" + text);
  PyMethodDef bound;
  if constexpr (B::kTakesLength)
    bound = method<T, &B::max_out_len>(mo_name, keep_text(mo + "(x_len)\n--\n\n" + bound_text));
  else
    bound = method0<T, &B::max_out>(mo_name, keep_text(mo + "()\n--\n\n" + bound_text));
  return {method<T, &B::call>(name, doc), bound};
}

// ---------------------------------------------------------------------------
// Getters: a record field (by member pointer) or a function of the record.
// Reads run no Python code, so they need only a live record.

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
// Settable attribute: the value is parsed as a double and passed to Fn.  The
// conversion can run Python code, so the setter runs as a Call.
template <class T, void (*Fn)(RecOf<T>*, double)>
int double_setter(PyObject* self, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "cannot delete attribute");
    return -1;
  }
  Call<T> c(self);
  if (!c) return -1;
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) return -1;
  Fn(c.rec(), v);
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

}  // namespace tb::py
