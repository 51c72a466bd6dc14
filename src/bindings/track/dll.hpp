// track.Dll: the code delay-locked loop.
#pragma once
#include "bindings/frame.hpp"
#include "core/track/dll.hpp"

namespace tb::py {

struct DllT {
  using Rec = tb::dll;
  static constexpr const char* name = "track.Dll";
  static constexpr const char* doc = R"(Dll(code, sps=2, init_chip=0.0, bn=0.01, zeta=0.707, spacing=0.5, segments=1)
--

Code delay-locked loop: correlates carrier-wiped samples with early, prompt
and late replicas of one code period (code: one chip per byte, bit 0 set is
-1) at sps samples per chip, steers the code NCO once per period from the
normalised early-minus-late power discriminator, and returns the despread
prompt once per period, or `segments` partial prompts per period.  Carries
an always-on CFAR code-lock detector.)";
  static constexpr bool release_gil = true;
  static constexpr const char* what = "set_symbol_period";
  // The symbol-period geometry sizes the blob, so it is rebuilt before it.
  static constexpr Journaled journaled[] = {{"set_symbol_period", true}};
  TB_STANDARD_OPS(dll)
  static constexpr const char* repr_attrs[] = {"segments", "bn", "code_phase", "code_rate", "locked"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"code", "sps", "init_chip", "bn", "zeta", "spacing", "segments", nullptr};
    PyObject* co;
    unsigned long long sps = 2, segments = 1;
    double init_chip = 0.0, bn = 0.01, zeta = 0.707, spacing = 0.5;
    if (!parse(args, kw, "O|KddddK", kwlist, &co, &sps, &init_chip, &bn, &zeta, &spacing, &segments)) return nullptr;
    In<std::uint8_t> code;
    if (!code.convert(co)) return nullptr;
    return created(tb::dll_create(code.data(), code.size(), sps, init_chip, bn, zeta, spacing, segments),
                   "dll_create");
  }
  static PyObject* configure_lock(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"pfa", "n_looks", "ref_snr_db", nullptr};
    double pfa, ref = 0.0;
    unsigned long long n;
    if (!parse(args, kw, "dK|d", kwlist, &pfa, &n, &ref)) return nullptr;
    const int rc = tb::dll_configure_lock(r, pfa, n, ref);
    if (rc != 0) {
      PyErr_Format(PyExc_ValueError, "configure_lock failed (rc=%d)", rc);
      return nullptr;
    }
    return none();
  }
  static PyObject* set_symbol_period(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"partials_per_symbol", nullptr};
    double p;
    if (!parse(args, kw, "d", kwlist, &p)) return nullptr;
    const int rc = tb::dll_set_symbol_period(r, p);
    if (rc != 0) return raise_for(rc, "set_symbol_period failed");
    return none();
  }
  static double bn(const Rec* r) { return r->lf.bn; }
  static double lock_stat(const Rec* r) { return r->cfar.lock_stat; }
  static double noise_est(const Rec* r) { return r->cfar.noise_est; }
  static bool locked(const Rec* r) { return r->cfar.det.locked != 0; }
  static std::uint64_t symbol_window(const Rec* r) { return r->period > 0.0 ? r->win : 0; }

  static std::vector<PyMethodDef> methods() {
    using D = DllT;
    return rows(
        block_v<D, tb::dll_steps>("steps", "The prompts (complex64): one per code period, or `segments` per period."),
        scalar<D, tb::dll_configure, "bn", "zeta">("configure", "Re-derive the loop gains.  Returns None."),
        scalar<D, tb::dll_set_rate_aid, "rate_aid">("set_rate_aid", "A fractional code-rate bias.  Returns None."),
        scalar<D, tb::dll_set_code_phase, "chips">("set_code_phase", "Move the code phase (chips).  Returns None."),
        scalar<D, tb::dll_take_error_mean>("take_error_mean",
                                           "The mean discriminator output since the last call (NaN if none)."),
        method<D, &D::configure_lock>(
            "configure_lock",
            "configure_lock(pfa, n_looks, ref_snr_db=0.0)\n--\n\nDerive the CFAR code-lock detector.  Returns None."),
        scalar<D, tb::dll_configure_lock_raw, "up_thresh", "down_thresh", "n_looks", "alpha", "n_up", "n_down">(
            "configure_lock_raw", "Set the code-lock detector directly (a live lock is dropped).  Returns None."),
        status_row<D, tb::dll_set_lock_verify, "set_lock_verify failed", "n_up", "n_down">(
            "set_lock_verify", "New verify counts (both >= 1).  Returns None."),
        method<D, &D::set_symbol_period>(
            "set_symbol_period",
            "set_symbol_period(partials_per_symbol)\n--\n\nSearch symbol boundaries spanning that many partials "
            "(>= 2; 0 or below switches it off).  Returns None."),
        telemetry_row<D, tb::dll_set_telemetry, tb::kDllProbes>(".e .rate .lock .locked"));
  }
  static std::vector<PyGetSetDef> getset() {
    using D = DllT;
    return {
        computed_settable<D, &D::bn, tb::dll_set_bn>("bn", "Loop noise bandwidth (per period)."),
        field<D, &Rec::code_phase>("code_phase", "Code phase (chips)."),
        field<D, &Rec::code_rate>("code_rate", "Chips advanced per nominal chip."),
        field<D, &Rec::last_error>("last_error", "Last discriminator output (chips)."),
        computed<D, &D::lock_stat>("lock_stat", "Last CFAR statistic."),
        computed<D, &D::noise_est>("noise_est", "Off-peak power reference."),
        field<D, &Rec::segs>("segments", "Partials per period."),
        computed<D, &D::locked>("locked", "The code-lock decision."),
        computed<D, &D::symbol_window>("symbol_window", "Partials per look in symbol-period mode, else 0."),
    };
  }
};

}  // namespace tb::py
