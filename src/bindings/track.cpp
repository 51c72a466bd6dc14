// tamberl.track: tracking loops and receivers.
#include "bindings/frame.hpp"
#include "core/track/costas.hpp"
#include "core/track/loop_filter.hpp"
#include "core/track/telemetry.hpp"

namespace {
using namespace tb::py;
using cf32 = std::complex<float>;

// ---------------------------------------------------------------------------
// Telemetry attachment, shared by every tracking object:
// set_telemetry(tlm, prefix, decim=1).  `tlm` is None (detach), a capsule, or
// an object whose `_capsule` attribute is one.

constexpr const char* kTlmCapsule = "tamberl.telemetry.tb_tlm";

template <class T, int (*Attach)(RecOf<T>*, tb::tb_tlm*, const char*, std::uint64_t)>
PyObject* set_telemetry(RecOf<T>* r, PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"tlm", "prefix", "decim", nullptr};
  PyObject* tlm;
  const char* prefix;
  unsigned long long decim = 1;
  if (!parse(args, kw, "Os|K", kwlist, &tlm, &prefix, &decim)) return nullptr;
  tb::tb_tlm* ctx = nullptr;
  if (tlm != Py_None) {
    PyObject* cap = PyCapsule_CheckExact(tlm) ? (Py_INCREF(tlm), tlm) : PyObject_GetAttrString(tlm, "_capsule");
    if (!cap) return nullptr;
    ctx = static_cast<tb::tb_tlm*>(PyCapsule_GetPointer(cap, kTlmCapsule));
    Py_DECREF(cap);
    if (!ctx) return nullptr;
  }
  const int rc = Attach(r, ctx, prefix, decim);
  if (rc != 0) {
    PyErr_Format(PyExc_ValueError, "set_telemetry failed (rc=%d)", rc);
    return nullptr;
  }
  return none();
}

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

// ---------------------------------------------------------------------------
// Costas

struct CostasT {
  using Rec = tb::costas;
  static constexpr const char* name = "track.Costas";
  static constexpr const char* doc =
      "Costas(bn=0.05, zeta=0.707, init_norm_freq=0.0, tsamps=64, bn_fll=0.0)\n\n"
      "Costas carrier loop for BPSK with known symbol timing: de-rotates by an\n"
      "integer-phase NCO, integrates and dumps every tsamps samples and returns one\n"
      "mean-scaled prompt per symbol.  bn is normalised to the symbol rate; bn_fll > 0\n"
      "adds a frequency-locked-loop assist.  Carries an always-on lock decision.";
  static constexpr auto destroy = &tb::costas_destroy;
  static constexpr auto reset = &tb::costas_reset;
  static constexpr auto state_bytes = &tb::costas_state_bytes;
  static constexpr auto get_state = &tb::costas_get_state;
  static constexpr auto set_state = &tb::costas_set_state;

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bn", "zeta", "init_norm_freq", "tsamps", "bn_fll", nullptr};
    double bn = 0.05, zeta = 0.707, f0 = 0.0, bn_fll = 0.0;
    unsigned long long tsamps = 64;
    if (!parse(args, kw, "|dddKd", kwlist, &bn, &zeta, &f0, &tsamps, &bn_fll)) return nullptr;
    return created(tb::costas_create(bn, zeta, f0, tsamps, bn_fll), "costas_create");
  }
  static PyObject* steps(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"x", "out", nullptr};
    PyObject *xo, *outo = Py_None;
    if (!parse(args, kw, "O|O", kwlist, &xo, &outo)) return nullptr;
    In<cf32> x;
    if (!x.convert(xo)) return nullptr;
    OutV<cf32> out;
    if (!out.prepare(outo, x.size())) return nullptr;
    std::size_t k;
    {
      NoGil g;
      k = tb::costas_steps(r, x.data(), x.size(), out.data(), out.capacity());
    }
    return out.finish(k);
  }
  static PyObject* steps_max_out(Rec*) { return to_py(0); }
  static PyObject* configure(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bn", "zeta", nullptr};
    double bn, zeta;
    if (!parse(args, kw, "dd", kwlist, &bn, &zeta)) return nullptr;
    tb::costas_configure(r, bn, zeta);
    return none();
  }
  static PyObject* configure_lock(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"up_thresh", "down_thresh", "n_up", "n_down", nullptr};
    double up, down;
    unsigned int n_up, n_down;
    if (!parse(args, kw, "ddII", kwlist, &up, &down, &n_up, &n_down)) return nullptr;
    tb::costas_configure_lock(r, up, down, n_up, n_down);
    return none();
  }
  static double get_bn(const Rec* r) { return r->bn; }
  static double get_norm_freq(const Rec* r) { return r->nco.norm_freq; }
  static double get_bn_fll(const Rec* r) { return r->bn_fll; }
  static bool get_locked(const Rec* r) { return r->lock.locked != 0; }

  static std::vector<PyMethodDef> methods() {
    return {
        method<CostasT, &CostasT::steps>("steps", "steps(x, out=None): one prompt per completed symbol (complex64)."),
        method0<CostasT, &CostasT::steps_max_out>("steps_max_out", "Bound on one steps() call beyond len(x): 0."),
        method<CostasT, &CostasT::configure>("configure", "configure(bn, zeta): re-derive the loop gains."),
        method<CostasT, &CostasT::configure_lock>(
            "configure_lock", "configure_lock(up_thresh, down_thresh, n_up, n_down): re-tune the lock decision."),
        method<CostasT, &set_telemetry<CostasT, tb::costas_set_telemetry>>(
            "set_telemetry", "set_telemetry(tlm, prefix, decim=1): attach probes .lock .e .freq .locked (None detaches)."),
    };
  }
  static std::vector<PyGetSetDef> getset() {
    return {
        computed_settable<CostasT, &CostasT::get_bn, tb::costas_set_bn>("bn", "Loop noise bandwidth (symbol rate)."),
        computed_settable<CostasT, &CostasT::get_norm_freq, tb::costas_set_norm_freq>(
            "norm_freq", "NCO frequency (cycles/sample); writing re-seeds the loop there."),
        field<CostasT, &Rec::lock_metric>("lock_metric", "EMA of |Re P|/|P|."),
        field<CostasT, &Rec::last_error>("last_error", "Last discriminator output."),
        computed<CostasT, &CostasT::get_locked>("locked", "The lock decision."),
        computed_settable<CostasT, &CostasT::get_bn_fll, tb::costas_set_bn_fll>("bn_fll", "FLL assist bandwidth."),
    };
  }
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "track",
    "Tracking loops and receivers: loop filter, carrier, code and timing loops.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_track(void) { return module_init<LoopFilterT, CostasT>(&kModule); }
