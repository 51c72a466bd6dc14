// track.Costas: the BPSK carrier loop with FLL assist and a lock decision.
#pragma once
#include "bindings/frame.hpp"
#include "core/track/costas.hpp"

namespace tb::py {

struct CostasT {
  using Rec = tb::costas;
  static constexpr const char* name = "track.Costas";
  static constexpr const char* doc = R"(Costas(bn=0.05, zeta=0.707, init_norm_freq=0.0, tsamps=64, bn_fll=0.0)
--

Costas carrier loop for BPSK with known symbol timing: de-rotates by an
integer-phase NCO, integrates and dumps every tsamps samples and returns one
mean-scaled prompt per symbol.  bn is normalised to the symbol rate; bn_fll > 0
adds a frequency-locked-loop assist.  Carries an always-on lock decision.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(costas)
  static constexpr const char* repr_attrs[] = {"bn", "bn_fll", "norm_freq", "locked"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bn", "zeta", "init_norm_freq", "tsamps", "bn_fll", nullptr};
    double bn = 0.05, zeta = 0.707, f0 = 0.0, bn_fll = 0.0;
    unsigned long long tsamps = 64;
    if (!parse(args, kw, "|dddKd", kwlist, &bn, &zeta, &f0, &tsamps, &bn_fll)) return nullptr;
    return created(tb::costas_create(bn, zeta, f0, tsamps, bn_fll), "costas_create");
  }
  static double get_bn(const Rec* r) { return r->bn; }
  static double get_norm_freq(const Rec* r) { return r->nco.norm_freq; }
  static double get_bn_fll(const Rec* r) { return r->bn_fll; }
  static bool get_locked(const Rec* r) { return r->lock.locked != 0; }
  static constexpr const char* kProbes = ".lock .e .freq .locked";

  static std::vector<PyMethodDef> methods() {
    using C = CostasT;
    return rows(block_v<C, tb::costas_steps>("steps", "One prompt per completed symbol (complex64)."),
                scalar<C, tb::costas_configure, "bn", "zeta">("configure", "Re-derive the loop gains.  Returns None."),
                scalar<C, tb::costas_configure_lock, "up_thresh", "down_thresh", "n_up", "n_down">(
                    "configure_lock", "Re-tune the lock decision.  Returns None."),
                telemetry_row<C, tb::costas_set_telemetry, tb::kCostasProbes>(kProbes));
  }
  static std::vector<PyGetSetDef> getset() {
    using C = CostasT;
    return {
        computed_settable<C, &C::get_bn, tb::costas_set_bn>("bn", "Loop noise bandwidth (symbol rate)."),
        computed_settable<C, &C::get_norm_freq, tb::costas_set_norm_freq>(
            "norm_freq", "NCO frequency (cycles/sample); writing re-seeds the loop there."),
        field<C, &Rec::lock_metric>("lock_metric", "EMA of |Re P|/|P|."),
        field<C, &Rec::last_error>("last_error", "Last discriminator output."),
        computed<C, &C::get_locked>("locked", "The lock decision."),
        computed_settable<C, &C::get_bn_fll, tb::costas_set_bn_fll>("bn_fll", "FLL assist bandwidth."),
    };
  }
};

}  // namespace tb::py
