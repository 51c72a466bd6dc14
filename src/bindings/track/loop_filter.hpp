// track.LoopFilter: the PI loop filter every tracking loop embeds, alone.
#pragma once
#include "bindings/frame.hpp"
#include "core/track/loop_filter.hpp"

namespace tb::py {

struct LoopFilterT {
  using Rec = tb::loop_filter;
  static constexpr const char* name = "track.LoopFilter";
  static constexpr const char* doc = R"(LoopFilter(bn=0.01, zeta=0.707, t=1.0)
--

Second-order proportional-plus-integral loop filter: one control value per
discriminator sample.  bn is the noise bandwidth in cycles per sample, zeta
the damping and t the update period in samples.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(loop_filter)
  static constexpr const char* kRefused = "bn must be >= 0, zeta > 0 and t > 0, and all three finite";
  static constexpr const char* repr_attrs[] = {"bn", "zeta", "t", "integ"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bn", "zeta", "t", nullptr};
    double bn = 0.01, zeta = 0.707, t = 1.0;
    if (!parse(args, kw, "|ddd", kwlist, &bn, &zeta, &t)) return nullptr;
    return created_or_refused(tb::loop_filter_create(bn, zeta, t), kRefused);
  }
  static void set_integ(Rec* r, double v) { r->integ = v; }

  static std::vector<PyMethodDef> methods() {
    return rows(scalar<LoopFilterT, tb::loop_filter_step, "x">("step", "One update; returns the control value (float)."),
                method<LoopFilterT, &steps_s<LoopFilterT, double, double, tb::loop_filter_steps>>(
                    "steps", "steps(x, out=None)\n--\n\nOne control per element of x (float64 in and out)."),
                scalar<LoopFilterT, tb::loop_filter_configure, "bn", "zeta", "t">(
                    "configure", "Re-derive the gains; the integrator is kept.  Returns None."));
  }
  static std::vector<PyGetSetDef> getset() {
    return {
        field<LoopFilterT, &Rec::kp>("kp", "Proportional gain."),
        field<LoopFilterT, &Rec::ki>("ki", "Integral gain."),
        settable<LoopFilterT, &Rec::integ, &LoopFilterT::set_integ>("integ", "Integrator memory."),
        field<LoopFilterT, &Rec::bn>("bn", "Noise bandwidth (cycles per sample)."),
        field<LoopFilterT, &Rec::zeta>("zeta", "Damping factor."),
        field<LoopFilterT, &Rec::t>("t", "Update period in samples."),
    };
  }
};

}  // namespace tb::py
