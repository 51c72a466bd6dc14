// sig.PN and sig.Gold: the code generators, one register record each.
#pragma once
#include "bindings/frame.hpp"
#include "core/sig/lfsr.hpp"

namespace tb::py {

// generate(count=1, out=None): count chips, one per byte, into a fresh
// uint8 array or the start of `out` (the result then shares its memory).
template <class T, std::size_t (*Gen)(RecOf<T>*, std::size_t, std::uint8_t*, std::size_t)>
PyObject* generate_chips(RecOf<T>* r, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"count", "out", nullptr};
  Py_ssize_t count = 1;
  PyObject* outo = Py_None;
  if (!parse(args, kw, "|nO", kwlist, &count, &outo)) return nullptr;
  if (count < 0) {
    PyErr_Format(PyExc_ValueError, "count must be >= 0, got %zd", count);
    return nullptr;
  }
  const std::size_t n = static_cast<std::size_t>(count);
  OutV<std::uint8_t> out;
  if (!out.prepare(outo, n)) return nullptr;
  std::uint8_t* p = out.data();
  {
    NoGil g;
    Gen(r, n, p, n);
  }
  return out.finish(n);
}

template <class T>
PyObject* no_bound(RecOf<T>*) {
  return to_py(std::size_t{0});
}

template <class T>
inline std::vector<PyMethodDef> generator_rows(const char* generate_doc) {
  return rows(method<T, &generate_chips<T, T::generate>>("generate", generate_doc),
              method0<T, &no_bound<T>>("generate_max_out",
                                       "generate_max_out()\n--\n\n0: a generator has no per-call bound of its own."));
}

struct PnT {
  using Rec = tb::pn;
  static constexpr const char* name = "sig.PN";
  static constexpr const char* doc = R"(PN(poly=0, seed=0, length=0, lfsr="galois")
--

Linear-feedback shift register of `length` stages (1..64), Galois (right
shift, poly the feedback mask) or Fibonacci (taps derived from poly); one
chip, the register's least significant bit, per step.  poly 0 takes the
maximal-length polynomial of the length (mls_poly).  The seed must have a
bit inside the register width.)";
  TB_STANDARD_OPS(pn)
  static constexpr auto generate = &tb::pn_generate;

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"poly", "seed", "length", "lfsr", nullptr};
    unsigned long long poly = 0, seed = 0;
    unsigned int length = 0;
    const char* lfsr = "galois";
    if (!parse(args, kw, "|KKIs", kwlist, &poly, &seed, &length, &lfsr)) return nullptr;
    const int kind = choice("lfsr", lfsr, {"galois", "fibonacci"});
    if (kind < 0) return nullptr;
    if (poly == 0 && length >= 2) poly = tb::mls_poly(length);
    return created(tb::pn_create(poly, seed, length, kind), "pn_create");
  }
  static std::vector<PyMethodDef> methods() {
    return generator_rows<PnT>(
        "generate(count=1, out=None)\n--\n\nThe next count chips (uint8, 0 or 1); with out, written at its start "
        "and returned as a view of it.");
  }
};

struct GoldT {
  using Rec = tb::gold;
  static constexpr const char* name = "sig.Gold";
  static constexpr const char* doc = R"(Gold(taps_a=934, seed_a=350, taps_b=567, seed_b=73, length=10)
--

Gold code generator: two Fibonacci registers of equal length in lock-step
(tap bit k is stage k + 1), emitting the XOR of their top stages.  The
defaults give the 10-stage family of period 1023; seed_a selects the member.)";
  TB_STANDARD_OPS(gold)
  static constexpr auto generate = &tb::gold_generate;

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"taps_a", "seed_a", "taps_b", "seed_b", "length", nullptr};
    unsigned long long ta = 934, sa = 350, tb_ = 567, sb = 73;
    unsigned int length = 10;
    if (!parse(args, kw, "|KKKKI", kwlist, &ta, &sa, &tb_, &sb, &length)) return nullptr;
    return created(tb::gold_create(ta, sa, tb_, sb, length), "gold_create");
  }
  static std::vector<PyMethodDef> methods() {
    return generator_rows<GoldT>(
        "generate(count=1, out=None)\n--\n\nThe next count chips (uint8, 0 or 1); with out, written at its start "
        "and returned as a view of it.");
  }
};

}  // namespace tb::py
