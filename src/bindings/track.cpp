// tamberl.track: tracking loops and receivers.
#include "bindings/frame.hpp"
#include "core/track/loop_filter.hpp"

namespace {
using namespace tb::py;

// ---------------------------------------------------------------------------
// LoopFilter

struct LoopFilterT {
  using Rec = tb::loop_filter;
  static constexpr const char* name = "track.LoopFilter";
  static constexpr const char* doc =
      "LoopFilter(bn=0.01, zeta=0.707, t=1.0)\n\n"
      "Second-order proportional-plus-integral loop filter: one control value per\n"
      "discriminator sample.  bn is the noise bandwidth in cycles per sample, zeta\n"
      "the damping and t the update period in samples.";
  static constexpr auto destroy = &tb::loop_filter_destroy;
  static constexpr auto reset = &tb::loop_filter_reset;
  static constexpr auto state_bytes = &tb::loop_filter_state_bytes;
  static constexpr auto get_state = &tb::loop_filter_get_state;
  static constexpr auto set_state = &tb::loop_filter_set_state;
  static constexpr const char* kRefused = "bn must be >= 0, zeta > 0 and t > 0, and all three finite";

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bn", "zeta", "t", nullptr};
    double bn = 0.01, zeta = 0.707, t = 1.0;
    if (!parse(args, kw, "|ddd", kwlist, &bn, &zeta, &t)) return nullptr;
    return created_or_refused(tb::loop_filter_create(bn, zeta, t), kRefused);
  }
  static PyObject* step(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"x", nullptr};
    double x;
    if (!parse(args, kw, "d", kwlist, &x)) return nullptr;
    return to_py(tb::loop_filter_step(r, x));
  }
  static PyObject* configure(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bn", "zeta", "t", nullptr};
    double bn, zeta, t;
    if (!parse(args, kw, "ddd", kwlist, &bn, &zeta, &t)) return nullptr;
    tb::loop_filter_configure(r, bn, zeta, t);
    return none();
  }
  static void set_integ(Rec* r, double v) { r->integ = v; }

  static std::vector<PyMethodDef> methods() {
    return {
        method<LoopFilterT, &LoopFilterT::step>("step", "step(x): one update; returns the control value."),
        method<LoopFilterT, &steps_s<LoopFilterT, double, double, tb::loop_filter_steps, true>>(
            "steps", "steps(x, out=None): one control per element of x (float64)."),
        method<LoopFilterT, &LoopFilterT::configure>(
            "configure", "configure(bn, zeta, t): re-derive the gains; the integrator is kept."),
    };
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

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "track",
    "Tracking loops and receivers: loop filter, carrier, code and timing loops.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_track(void) { return module_init<LoopFilterT>(&kModule); }
