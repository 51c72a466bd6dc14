// tamberl.qmath: bit-true Q15 / Q8 kernels and the fixed-width accumulators.
#include "bindings/frame.hpp"
#include "core/qmath/qmath.hpp"

namespace {
using namespace tb::py;

// ---------------------------------------------------------------------------
// Module-level kernels: fresh result arrays only.

template <class E, void (*K)(E*, const E*, std::size_t, const E*, std::size_t)>
PyObject* binary(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"a", "b", nullptr};
  PyObject *ao, *bo;
  if (!parse(args, kw, "OO", kwlist, &ao, &bo)) return nullptr;
  In<E> a, b;
  if (!a.convert(ao) || !b.convert(bo)) return nullptr;
  PyArrayObject* out = fresh<E>(a.size());
  if (!out) return nullptr;
  K(static_cast<E*>(PyArray_DATA(out)), a.data(), a.size(), b.data(), b.size());
  return reinterpret_cast<PyObject*>(out);
}

template <class E, class R, R (*K)(const E*, const E*, std::size_t)>
PyObject* inner(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"a", "b", nullptr};
  PyObject *ao, *bo;
  if (!parse(args, kw, "OO", kwlist, &ao, &bo)) return nullptr;
  In<E> a, b;
  if (!a.convert(ao) || !b.convert(bo)) return nullptr;
  return to_py(K(a.data(), b.data(), std::min(a.size(), b.size())));
}

template <class E, void (*K)(E*, const E*, std::size_t, std::int32_t)>
PyObject* shift(PyObject*, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"a", "n", nullptr};
  PyObject* ao;
  int n;
  if (!parse(args, kw, "Oi", kwlist, &ao, &n)) return nullptr;
  In<E> a;
  if (!a.convert(ao)) return nullptr;
  PyArrayObject* out = fresh<E>(a.size());
  if (!out) return nullptr;
  K(static_cast<E*>(PyArray_DATA(out)), a.data(), a.size(), n);
  return reinterpret_cast<PyObject*>(out);
}

using i16 = std::int16_t;
using i8 = std::int8_t;
using i64 = std::int64_t;

PyMethodDef kFunctions[] = {
    function("add_q15", (binary<i16, tb::add_q15>), "add_q15(a, b): saturating Q15 sum."),
    function("sub_q15", (binary<i16, tb::sub_q15>), "sub_q15(a, b): saturating Q15 difference."),
    function("mul_q15", (binary<i16, tb::mul_q15>), "mul_q15(a, b): Q15 product, rounded half up, saturated."),
    function("dot_q15", (inner<i16, i64, tb::dot_q15>), "dot_q15(a, b): raw Q30 inner product (64-bit)."),
    function("shl_q15", (shift<i16, tb::shl_q15>), "shl_q15(a, n): saturating left shift."),
    function("shr_q15", (shift<i16, tb::shr_q15>), "shr_q15(a, n): rounding right shift."),
    function("add_q8", (binary<i8, tb::add_q8>), "add_q8(a, b): saturating Q8 sum."),
    function("sub_q8", (binary<i8, tb::sub_q8>), "sub_q8(a, b): saturating Q8 difference."),
    function("mul_q8", (binary<i8, tb::mul_q8>), "mul_q8(a, b): Q8 product, rounded half up, saturated."),
    function("dot_q8", (inner<i8, std::int32_t, tb::dot_q8>), "dot_q8(a, b): raw Q14 inner product (32-bit, wrapping)."),
    function("shl_q8", (shift<i8, tb::shl_q8>), "shl_q8(a, n): saturating left shift."),
    function("shr_q8", (shift<i8, tb::shr_q8>), "shr_q8(a, n): rounding right shift."),
    function("shl_i64", (shift<i64, tb::shl_i64>), "shl_i64(a, n): left shift, bits shifted out are lost."),
    function("shr_i64", (shift<i64, tb::shr_i64>), "shr_i64(a, n): rounding right shift."),
    kSentinel,
};

// ---------------------------------------------------------------------------
// Accumulators: one binding template, two parameter sets.

struct Q15Core {
  using Rec = tb::acc_q15;
  using Sample = std::int16_t;
  using Reg = std::int64_t;
  static constexpr const char* name = "qmath.AccQ15";
  static constexpr const char* doc =
      "AccQ15(acc=0)\n\nA 64-bit accumulator register for Q15 (int16) samples and products; "
      "wraps modulo 2^64, never saturates.";
  static constexpr const char* create_name = "acc_q15_create";
  static constexpr const char* reg_format = "L";
  static constexpr auto create_fn = &tb::acc_q15_create;
  static constexpr auto destroy = &tb::acc_q15_destroy;
  static constexpr auto reset = &tb::acc_q15_reset;
  static constexpr auto step_fn = &tb::acc_q15_step;
  static constexpr auto steps_fn = &tb::acc_q15_steps;
  static constexpr auto madd_fn = &tb::acc_q15_madd;
  static constexpr auto dump_fn = &tb::acc_q15_dump;
  static constexpr auto state_bytes = &tb::acc_q15_state_bytes;
  static constexpr auto get_state = &tb::acc_q15_get_state;
  static constexpr auto set_state = &tb::acc_q15_set_state;
};

struct Q8Core {
  using Rec = tb::acc_q8;
  using Sample = std::int8_t;
  using Reg = int;  // parsed with "i", the register's own width
  static constexpr const char* name = "qmath.AccQ8";
  static constexpr const char* doc =
      "AccQ8(acc=0)\n\nA 32-bit accumulator register for Q8 (int8) samples and products; "
      "wraps modulo 2^32, never saturates.";
  static constexpr const char* create_name = "acc_q8_create";
  static constexpr const char* reg_format = "i";
  static constexpr auto create_fn = &tb::acc_q8_create;
  static constexpr auto destroy = &tb::acc_q8_destroy;
  static constexpr auto reset = &tb::acc_q8_reset;
  static constexpr auto step_fn = &tb::acc_q8_step;
  static constexpr auto steps_fn = &tb::acc_q8_steps;
  static constexpr auto madd_fn = &tb::acc_q8_madd;
  static constexpr auto dump_fn = &tb::acc_q8_dump;
  static constexpr auto state_bytes = &tb::acc_q8_state_bytes;
  static constexpr auto get_state = &tb::acc_q8_get_state;
  static constexpr auto set_state = &tb::acc_q8_set_state;
};

template <class C>
struct Acc : C {
  using Rec = typename C::Rec;
  using S = typename C::Sample;
  using Reg = typename C::Reg;

  static bool parse_reg(PyObject* args, PyObject* kw, const char* const* kwlist, bool optional, Reg* v) {
    char fmt[4] = {0};
    int i = 0;
    if (optional) fmt[i++] = '|';
    fmt[i++] = C::reg_format[0];
    return parse(args, kw, fmt, kwlist, v);
  }
  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"acc", nullptr};
    Reg v = 0;
    if (!parse_reg(args, kw, kwlist, true, &v)) return nullptr;
    return created(C::create_fn(v), C::create_name);
  }
  static PyObject* step(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"x", nullptr};
    int x;
    if (!parse(args, kw, "i", kwlist, &x)) return nullptr;
    C::step_fn(r, x);
    return none();
  }
  static PyObject* steps(Rec* r, PyObject* arg) {
    In<S> x;
    if (!x.convert(arg)) return nullptr;
    C::steps_fn(r, x.data(), x.size());
    return none();
  }
  static PyObject* get_acc(Rec* r) { return to_py(r->acc); }
  static PyObject* set_acc(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"value", nullptr};
    Reg v;
    if (!parse_reg(args, kw, kwlist, false, &v)) return nullptr;
    r->acc = v;
    return none();
  }
  static PyObject* dump(Rec* r) { return to_py(C::dump_fn(r)); }
  static PyObject* madd(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"a", "b", nullptr};
    PyObject *ao, *bo;
    if (!parse(args, kw, "OO", kwlist, &ao, &bo)) return nullptr;
    In<S> a, b;
    if (!a.convert(ao) || !b.convert(bo)) return nullptr;
    C::madd_fn(r, a.data(), b.data(), std::min(a.size(), b.size()));
    return none();
  }
  static std::vector<PyMethodDef> methods() {
    return {
        method<Acc, &Acc::step>("step", "step(x): add the low sample-width bits of x, sign-extended."),
        method1<Acc, &Acc::steps>("steps", "steps(x): add every element of x in order."),
        method0<Acc, &Acc::get_acc>("get_acc", "The register value."),
        method<Acc, &Acc::set_acc>("set_acc", "set_acc(value): overwrite the register."),
        method0<Acc, &Acc::get_acc>("get", "The register value (same as get_acc())."),
        method0<Acc, &Acc::dump>("dump", "Return the register and clear it."),
        method<Acc, &Acc::madd>("madd", "madd(a, b): add the sum of a[i]*b[i] over the common length."),
    };
  }
};

using AccQ15 = Acc<Q15Core>;
using AccQ8 = Acc<Q8Core>;

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "qmath",
    "Bit-true fixed-point maths: Q15/Q8 array kernels and accumulator registers.",
    -1, kFunctions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_qmath(void) { return module_init<AccQ15, AccQ8>(&kModule); }
