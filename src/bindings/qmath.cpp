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
    function("add_q15", (binary<i16, tb::add_q15>), "add_q15(a, b)\n--\n\nSaturating Q15 sum."),
    function("sub_q15", (binary<i16, tb::sub_q15>), "sub_q15(a, b)\n--\n\nSaturating Q15 difference."),
    function("mul_q15", (binary<i16, tb::mul_q15>), "mul_q15(a, b)\n--\n\nQ15 product, rounded half up, saturated."),
    function("dot_q15", (inner<i16, i64, tb::dot_q15>), "dot_q15(a, b)\n--\n\nRaw Q30 inner product (64-bit)."),
    function("shl_q15", (shift<i16, tb::shl_q15>), "shl_q15(a, n)\n--\n\nSaturating left shift."),
    function("shr_q15", (shift<i16, tb::shr_q15>), "shr_q15(a, n)\n--\n\nRounding right shift."),
    function("add_q8", (binary<i8, tb::add_q8>), "add_q8(a, b)\n--\n\nSaturating Q8 sum."),
    function("sub_q8", (binary<i8, tb::sub_q8>), "sub_q8(a, b)\n--\n\nSaturating Q8 difference."),
    function("mul_q8", (binary<i8, tb::mul_q8>), "mul_q8(a, b)\n--\n\nQ8 product, rounded half up, saturated."),
    function("dot_q8", (inner<i8, std::int32_t, tb::dot_q8>), "dot_q8(a, b)\n--\n\nRaw Q14 inner product (32-bit, wrapping)."),
    function("shl_q8", (shift<i8, tb::shl_q8>), "shl_q8(a, n)\n--\n\nSaturating left shift."),
    function("shr_q8", (shift<i8, tb::shr_q8>), "shr_q8(a, n)\n--\n\nRounding right shift."),
    function("shl_i64", (shift<i64, tb::shl_i64>), "shl_i64(a, n)\n--\n\nLeft shift, bits shifted out are lost."),
    function("shr_i64", (shift<i64, tb::shr_i64>), "shr_i64(a, n)\n--\n\nRounding right shift."),
    kSentinel,
};

// ---------------------------------------------------------------------------
// Accumulators: one binding template, two parameter sets.

// One row per register: the record's core functions follow <obj>_<verb>;
// Reg is the register as parsed ("L" int64, "i" int32: the core's width).
#define TB_ACC_ROW(Type, obj, SampleT, RegT, fmt, text)                       \
  struct Type##D {                                                           \
    using Rec = tb::obj;                                                     \
    using Sample = SampleT;                                                  \
    using Reg = RegT;                                                        \
    static constexpr const char* name = "qmath." #Type;                      \
    static constexpr const char* doc = #Type "(acc=0)\n--\n\n" text;         \
    static constexpr const char* create_name = #obj "_create";               \
    static constexpr const char* reg_format = fmt;                           \
    static constexpr auto create_fn = &tb::obj##_create;                     \
    TB_STANDARD_OPS(obj)                                                     \
    static constexpr auto step_fn = &tb::obj##_step;                         \
    static constexpr auto steps_fn = &tb::obj##_steps;                       \
    static constexpr auto madd_fn = &tb::obj##_madd;                         \
    static constexpr auto dump_fn = &tb::obj##_dump;                         \
  };

TB_ACC_ROW(AccQ15, acc_q15, std::int16_t, std::int64_t, "L",
           "A 64-bit accumulator register for Q15 (int16) samples and products; wraps modulo 2^64, never saturates.")
TB_ACC_ROW(AccQ8, acc_q8, std::int8_t, int, "i",
           "A 32-bit accumulator register for Q8 (int8) samples and products; wraps modulo 2^32, never saturates.")
#undef TB_ACC_ROW

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
        scalar<Acc, C::step_fn, "x">("step", "Add the low sample-width bits of x, sign-extended; returns None."),
        method1<Acc, &Acc::steps>("steps", "steps(x, /)\n--\n\nAdd every element of x in order; returns None."),
        method0<Acc, &Acc::get_acc>("get_acc", "get_acc()\n--\n\nThe register value (int)."),
        method<Acc, &Acc::set_acc>("set_acc", "set_acc(value)\n--\n\nOverwrite the register; returns None."),
        method0<Acc, &Acc::get_acc>("get", "get()\n--\n\nThe register value (same as get_acc())."),
        scalar<Acc, C::dump_fn>("dump", "Return the register (int) and clear it."),
        method<Acc, &Acc::madd>("madd", "madd(a, b)\n--\n\nAdd the sum of a[i]*b[i] over the common length; returns None."),
    };
  }
};

using AccQ15 = Acc<AccQ15D>;
using AccQ8 = Acc<AccQ8D>;

}  // namespace

TB_MODULE(qmath, "Bit-true fixed-point maths: Q15/Q8 array kernels and accumulator registers.",
          kFunctions, {}, AccQ15, AccQ8)
