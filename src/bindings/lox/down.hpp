// lox.LOX, lox.Loxr, lox.MatchedLOX, lox.MatchedLoxr: four types over one
// core record, as rows of one traits template.
#pragma once
#include "bindings/frame.hpp"
#include "core/lox/lox.hpp"

namespace tb::py {

inline constexpr const char* kLoxRefused =
    "LOX: invalid parameter (need rate > 0, 0 <= beta <= 1, span >= 1, pulse_sps > 0, num_phases a power of two "
    ">= 2)";
inline constexpr const char* kLoxrRefused =
    "Loxr: invalid parameter (need 0 < rate < 0.5, 0 <= beta <= 1, span >= 1, pulse_sps > 0, num_phases a power "
    "of two >= 2)";
inline constexpr const char* kNarrowWarning =
    "pulse=\"iandd\" with pulse_sps < 4: the rectangle is one symbol wide, so its matched filter is a 2-3 tap sum "
    "here and barely opens the eye (measured on the timing loop this feeds: lock statistic -0.34 at 2 "
    "samples/symbol against +0.95 at 4). Use pulse_sps >= 4, or pulse=\"rrc\".";

// The four rows: input kind and whether the terminal stage is matched.
template <bool Real, bool Matched>
struct DownRow;
template <>
struct DownRow<false, false> {
  static constexpr const char* name = "lox.LOX";
  static constexpr const char* doc = R"(LOX(norm_freq=0.0, rate=0.25)
--

Complex-input down-converter: the LO mixes x by e^(+j 2 pi norm_freq n) at
the input rate, then the rate-converting cascade (halfbands or a CIC, then a
polyphase resampler where needed) gives rate * the input rate.  A carrier at
f_c cycles/sample goes to DC with norm_freq = -f_c.)";
};
template <>
struct DownRow<true, false> {
  static constexpr const char* name = "lox.Loxr";
  static constexpr const char* doc = R"(Loxr(norm_freq=0.0, rate=0.25)
--

Real-input down-converter: a 2:1 real-to-complex halfband (the band moves by
a quarter of the input rate), the LO at half the input rate, then the
cascade at 2 * rate; 0 < rate < 0.5.  A real tone at f_c cycles/sample goes to
DC with norm_freq = -(2 f_c + 0.5).)";
};
template <>
struct DownRow<false, true> {
  static constexpr const char* name = "lox.MatchedLOX";
  static constexpr const char* doc =
      R"(MatchedLOX(norm_freq=0.0, rate=0.25, pulse="rrc", beta=0.35, span=8, pulse_sps=2.0, num_phases=1024)
--

Complex-input down-converter whose terminal stage is the matched filter of
the pulse ("rrc" root-raised cosine with roll-off beta and span symbols each
side, or "iandd" the one-symbol rectangle) at pulse_sps output samples per
symbol, with num_phases arms and the CIC droop compensation folded in.)";
};
template <>
struct DownRow<true, true> {
  static constexpr const char* name = "lox.MatchedLoxr";
  static constexpr const char* doc =
      R"(MatchedLoxr(norm_freq=0.0, rate=0.25, pulse="rrc", beta=0.35, span=8, pulse_sps=2.0, num_phases=1024)
--

Real-input down-converter (as Loxr) whose terminal stage is the matched
filter of the pulse (as MatchedLOX).)";
};

template <bool Real, bool Matched>
struct DownT : DownRow<Real, Matched> {
  using Rec = tb::lox;
  using Sample = std::conditional_t<Real, float, cf32>;
  static constexpr bool release_gil = true;
  static constexpr bool close_alias = Real;
  static constexpr const char* what = "the down-converter";
  static constexpr auto destroy = &tb::lox_destroy;
  static constexpr auto reset = &tb::lox_reset;
  static constexpr auto state_bytes = &tb::lox_state_bytes;
  static constexpr auto get_state = &tb::lox_get_state;
  static constexpr auto set_state = &tb::lox_set_state;
  static constexpr const char* refused = Real ? kLoxrRefused : kLoxRefused;
  // The LO's frequency is configuration, outside the blob (which carries its phase).
  static constexpr Journaled journaled[] = {{"norm_freq", true}};

  static Rec* create(PyObject* args, PyObject* kw) {
    double f = 0.0, rate = 0.25;
    if constexpr (!Matched) {
      static const char* const kwlist[] = {"norm_freq", "rate", nullptr};
      if (!parse(args, kw, "|dd", kwlist, &f, &rate)) return nullptr;
      return created_or_refused(Real ? tb::loxr_create(f, rate) : tb::lox_create(f, rate), refused);
    } else {
      static const char* const kwlist[] = {"norm_freq", "rate", "pulse", "beta", "span", "pulse_sps", "num_phases",
                                           nullptr};
      const char* pulse = "rrc";
      double beta = 0.35, pulse_sps = 2.0;
      unsigned long long span = 8, phases = 1024;
      if (!parse(args, kw, "|ddsdKdK", kwlist, &f, &rate, &pulse, &beta, &span, &pulse_sps, &phases)) return nullptr;
      const int p = choice("pulse", pulse, {"iandd", "rrc"});
      if (p < 0) return nullptr;
      Rec* r = Real ? tb::loxr_create_matched(f, rate, p, beta, span, pulse_sps, phases)
                    : tb::lox_create_matched(f, rate, p, beta, span, pulse_sps, phases);
      return created_or_refused(r, refused);
    }
  }
  static int after_create(PyObject* self) {
    if (Matched && handle<DownT>(self)->rec->narrow) return warn_user(kNarrowWarning);
    return 0;
  }

  static std::int64_t execute(Rec* r, const Sample* x, std::size_t n, cf32* out, std::size_t cap) {
    if constexpr (Real)
      return tb::loxr_execute(r, x, n, out, cap);
    else
      return tb::lox_execute(r, x, n, out, cap);
  }
  static std::size_t execute_bound(const Rec* r, std::size_t n) { return std::max(n, tb::lox_max_out(r, n)); }

  // execute_ctrl(x, rate_ctrl, freq_ctrl): a fresh array sized so that
  // every input is consumed at this rate deviation.
  static PyObject* execute_ctrl(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"x", "rate_ctrl", "freq_ctrl", nullptr};
    PyObject* xo;
    double rate_ctrl, freq_ctrl;
    if (!parse(args, kw, "Odd", kwlist, &xo, &rate_ctrl, &freq_ctrl)) return nullptr;
    In<Sample> x;
    if (!x.convert(xo)) return nullptr;
    const std::size_t n = x.size();
    OutV<cf32> out;
    if (!out.prepare(nullptr, std::max(n, tb::lox_max_out_ctrl(r, n, rate_ctrl)))) return nullptr;
    const Sample* xp = x.data();
    cf32* op = out.data();
    const std::size_t cap = out.capacity();
    std::int64_t k;
    {
      NoGil g;
      if constexpr (Real)
        k = tb::loxr_execute_ctrl(r, xp, n, rate_ctrl, freq_ctrl, op, cap);
      else
        k = tb::lox_execute_ctrl(r, xp, n, rate_ctrl, freq_ctrl, op, cap);
    }
    std::size_t got;
    if (!produced(k, &got, what)) return nullptr;
    return out.finish(got);
  }

  // execute_ctrl_push(x, rate_ctrl, freq_ctrl, out=None): one sample, the
  // interpreter lock held.
  static PyObject* execute_ctrl_push(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"x", "rate_ctrl", "freq_ctrl", "out", nullptr};
    PyObject* outo = Py_None;
    double rate_ctrl, freq_ctrl;
    Sample x;
    if constexpr (Real) {
      double v;
      if (!parse(args, kw, "ddd|O", kwlist, &v, &rate_ctrl, &freq_ctrl, &outo)) return nullptr;
      x = static_cast<float>(v);
    } else {
      Py_complex v;
      if (!parse(args, kw, "Ddd|O", kwlist, &v, &rate_ctrl, &freq_ctrl, &outo)) return nullptr;
      x = cf32(static_cast<float>(v.real), static_cast<float>(v.imag));
    }
    OutV<cf32> out;
    if (!out.prepare(outo, tb::lox_push_max_out(r))) return nullptr;
    std::size_t k;
    if constexpr (Real)
      k = tb::loxr_execute_ctrl_push(r, x, rate_ctrl, freq_ctrl, out.data(), out.capacity());
    else
      k = tb::lox_execute_ctrl_push(r, x, rate_ctrl, freq_ctrl, out.data(), out.capacity());
    return out.finish(k);
  }
  static std::size_t push_bound(const Rec* r) { return tb::lox_push_max_out(r); }
  static PyObject* push_max_out(Rec* r) { return to_py(push_bound(r)); }

  static std::vector<PyMethodDef> methods() {
    using D = DownT;
    std::vector<PyMethodDef> exec;
    if constexpr (Real)
      exec = block_v<D, &D::execute>("execute", "Down-convert a block of float32 samples; complex64 out.",
                                     "The bound beyond len(x): 0 (the input length is the bound).");
    else
      exec = block_v<D, &D::execute, &D::execute_bound>(
          "execute", "Down-convert a block of complex64 samples (float32 converts with zero imaginary part).",
          "The output bound for an input of x_len samples (x_len for rates up to 1).");
    return rows(exec,
                method<D, &D::execute_ctrl>(
                    "execute_ctrl",
                    "execute_ctrl(x, rate_ctrl, freq_ctrl)\n--\n\nAs execute, with freq_ctrl (cycles per sample of the "
                    "LO's rate) added to the LO and rate_ctrl to the terminal resampler for this block; always a "
                    "fresh complex64 array."),
                method<D, &D::execute_ctrl_push>(
                    "execute_ctrl_push",
                    Real ? "execute_ctrl_push(x, rate_ctrl, freq_ctrl, out=None)\n--\n\nOne float sample through the "
                           "chain with both controls; returns 0, 1 or more complex64 outputs."
                         : "execute_ctrl_push(x, rate_ctrl, freq_ctrl, out=None)\n--\n\nOne complex sample through the "
                           "chain with both controls; returns 0, 1 or more complex64 outputs."),
                method0<D, &D::push_max_out>("execute_ctrl_push_max_out",
                                             "execute_ctrl_push_max_out()\n--\n\nfloor(max(rate, 1)) + 2."));
  }

  static double get_freq(const Rec* r) { return tb::lox_get_freq(r); }
  static double get_rate(const Rec* r) { return tb::lox_rate(r); }
  static bool get_clipped(const Rec* r) { return tb::lox_clipped(r); }
  static bool get_narrow(const Rec* r) { return tb::lox_narrow(r); }
  static constexpr const char* repr_attrs[] = {"norm_freq", "rate", "narrow_pulse"};
  static std::vector<PyGetSetDef> getset() {
    using D = DownT;
    return {
        computed_settable<D, &D::get_freq, tb::lox_set_freq>(
            "norm_freq", "LO frequency in cycles per sample of the rate it runs at; writing retunes without a phase jump."),
        computed<D, &D::get_rate>("rate", "The configured output/input ratio."),
        computed<D, &D::get_clipped>("clipped", "The cascade's CIC clipped its input since the last reset."),
        computed<D, &D::get_narrow>("narrow_pulse", "A matched rectangle at pulse_sps < 4 (a 2-3 tap sum)."),
    };
  }
};

using LoxT = DownT<false, false>;
using LoxrT = DownT<true, false>;
using MatchedLoxT = DownT<false, true>;
using MatchedLoxrT = DownT<true, true>;

}  // namespace tb::py
