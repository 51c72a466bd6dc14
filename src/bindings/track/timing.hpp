// track.SymbolSync and track.RateSync: symbol timing recovery at an integer
// oversampling (timing NCO and Farrow interpolator) and at any real one
// (the cascade's matched-filter stage steered by the shared timing loop).
#pragma once
#include "bindings/frame.hpp"
#include "core/track/ratesync.hpp"
#include "core/track/symsync.hpp"

namespace tb::py {

inline int ted_choice(const char* given) { return choice("ted", given, {"gardner", "dttl"}); }

struct SymbolSyncT {
  using Rec = tb::symsync;
  static constexpr const char* name = "track.SymbolSync";
  static constexpr const char* doc = R"(SymbolSync(sps=4, bn=0.01, zeta=0.707, order="cubic", ted="gardner")
--

Symbol timing recovery at an integer oversampling sps (>= 2): a timing NCO
wraps once per symbol, a Farrow interpolator ("linear", "parabolic",
"cubic") forms the mid-symbol and on-time samples, and a power-normalised
Gardner or DTTL detector steers the NCO through a PI loop (bn normalised to
the symbol rate).  One on-time sample per symbol; the first only primes the
detector.  Carries a block-averaged eye-opening lock decision.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(symsync)
  static constexpr const char* repr_attrs[] = {"bn", "rate", "locked"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"sps", "bn", "zeta", "order", "ted", nullptr};
    unsigned long long sps = 4;
    double bn = 0.01, zeta = 0.707;
    const char* order = "cubic";
    const char* ted = "gardner";
    if (!parse(args, kw, "|Kddss", kwlist, &sps, &bn, &zeta, &order, &ted)) return nullptr;
    const int o = choice("order", order, {"linear", "parabolic", "cubic"});
    if (o < 0) return nullptr;
    const int t = ted_choice(ted);
    if (t < 0) return nullptr;
    if (sps < 2) {
      PyErr_Format(PyExc_ValueError, "SymbolSync: sps must be >= 2 (a symbol needs a mid-symbol sample), got %llu",
                   sps);
      return nullptr;
    }
    if (!tb::loop_filter_params_ok(bn, zeta, 1.0)) {
      PyErr_SetString(PyExc_ValueError, "SymbolSync: need finite bn >= 0 and zeta > 0");
      return nullptr;
    }
    return created(tb::symsync_create(sps, bn, zeta, static_cast<std::uint32_t>(o), static_cast<std::uint32_t>(t)),
                   "symsync_create");
  }
  static PyObject* configure_lock(Rec* r, PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"rolloff", "esno_min_db", "pfa", "pd", nullptr};
    double rolloff, esno, pfa, pd;
    if (!parse(args, kw, "dddd", kwlist, &rolloff, &esno, &pfa, &pd)) return nullptr;
    const int rc = tb::symsync_configure_lock(r, rolloff, esno, pfa, pd);
    if (rc != 0) {
      PyErr_Format(PyExc_ValueError, "configure_lock failed (rc=%d)", rc);
      return nullptr;
    }
    return none();
  }
  static double timing_error(const Rec* r) { return r->timing_error; }
  static double lock_stat(const Rec* r) { return r->lock.lock_stat; }
  static bool locked(const Rec* r) { return r->lock.det.locked != 0; }
  static std::vector<PyMethodDef> methods() {
    using S = SymbolSyncT;
    return rows(block_v<S, tb::symsync_steps>("steps", "One on-time sample per symbol (complex64)."),
                scalar<S, tb::symsync_configure, "bn", "zeta">(
                    "configure", "Re-derive the loop gains; phase, rate and integrator carry over.  Returns None."),
                method<S, &S::configure_lock>(
                    "configure_lock", "configure_lock(rolloff, esno_min_db, pfa, pd)\n--\n\nDerive the lock "
                                      "geometry from detection targets (a live lock survives).  Returns None."),
                scalar<S, tb::symsync_configure_lock_raw, "avgs", "up_thresh", "down_thresh", "n_up", "n_down">(
                    "configure_lock_raw", "Set the lock geometry directly (a live lock survives).  Returns None."),
                telemetry_row<S, tb::symsync_set_telemetry, tb::kSymsyncProbes>(".e .freq .rate .lock .locked"));
  }
  static std::vector<PyGetSetDef> getset() {
    using S = SymbolSyncT;
    return {
        settable<S, &Rec::bn, tb::symsync_set_bn>("bn", "Loop noise bandwidth (symbol rate)."),
        computed<S, &S::timing_error>("timing_error", "Last normalised timing error."),
        field<S, &Rec::rate>("rate", "Smoothed samples per symbol."),
        computed<S, &S::lock_stat>("lock_stat", "Last block mean of the eye-opening signal."),
        computed<S, &S::locked>("locked", "The timing lock decision."),
    };
  }
};

struct RateSyncT {
  using Rec = tb::ratesync;
  // The blob carries the loop's gains but not the bandwidth they came from.
  static constexpr Journaled journaled[] = {{"bn", true}};
  static constexpr const char* name = "track.RateSync";
  static constexpr const char* doc =
      R"(RateSync(sps=4.0, pulse="rrc", beta=0.35, span=8, m=2, num_phases=1024, bn=0.01, zeta=0.707, ted="gardner")
--

Symbol timing recovery at any real oversampling sps: the rate-converting
cascade brings the stream to m samples per symbol through a matched filter
("rrc" or "iandd") of num_phases arms, and a Gardner or DTTL timing loop
steers that stage's rate deviation.  One on-time output per symbol.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(ratesync)
  static constexpr const char* repr_attrs[] = {"bn", "rate", "locked"};
  static constexpr const char* kRefused =
      "RateSync: invalid parameter (need sps >= m, 0 <= beta <= 1, span >= 1, m even in [2, 8], num_phases a power "
      "of two >= 2, bn >= 0, zeta > 0)";

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"sps", "pulse", "beta", "span", "m", "num_phases", "bn", "zeta", "ted",
                                         nullptr};
    double sps = 4.0, beta = 0.35, bn = 0.01, zeta = 0.707;
    const char* pulse = "rrc";
    const char* ted = "gardner";
    unsigned long long span = 8, phases = 1024;
    unsigned int m = 2;
    if (!parse(args, kw, "|dsdKIKdds", kwlist, &sps, &pulse, &beta, &span, &m, &phases, &bn, &zeta, &ted))
      return nullptr;
    const int p = choice("pulse", pulse, {"iandd", "rrc"});
    if (p < 0) return nullptr;
    const int t = ted_choice(ted);
    if (t < 0) return nullptr;
    return created_or_refused(tb::ratesync_create(sps, p, beta, span, m, phases, bn, zeta, static_cast<std::uint32_t>(t)),
                              kRefused);
  }
  static double timing_error(const Rec* r) { return r->loop.timing_error; }
  static double rate(const Rec* r) { return r->loop.rate; }
  static double ctrl(const Rec* r) { return r->loop.ctrl; }
  static double lock_stat(const Rec* r) { return r->loop.lock.lock_stat; }
  static bool locked(const Rec* r) { return r->loop.lock.det.locked != 0; }
  static bool clipped(const Rec* r) { return tb::rc_clipped(r->cascade); }
  static std::vector<PyMethodDef> methods() {
    using S = RateSyncT;
    return rows(block_v<S, tb::ratesync_steps>("steps", "One on-time output per symbol (complex64)."),
                scalar<S, tb::ratesync_configure, "bn", "zeta">(
                    "configure", "Re-derive the loop gains (ignored unless bn >= 0 and zeta > 0).  Returns None."),
                scalar<S, tb::ratesync_configure_lock_raw, "avgs", "up_thresh", "down_thresh", "n_up", "n_down">(
                    "configure_lock_raw", "Set the lock geometry directly (drops a live lock).  Returns None."),
                telemetry_row<S, tb::ratesync_set_telemetry, tb::kTimingProbes>(".e .ctrl .rate .lock .locked .mu"));
  }
  static std::vector<PyGetSetDef> getset() {
    using S = RateSyncT;
    return {
        settable<S, &Rec::bn, tb::ratesync_set_bn>("bn", "Loop noise bandwidth (symbol rate); negative is ignored."),
        computed<S, &S::timing_error>("timing_error", "Last scaled timing error."),
        computed<S, &S::rate>("rate", "Tracked samples per symbol."),
        computed<S, &S::ctrl>("ctrl", "The matched-filter stage's rate deviation."),
        computed<S, &S::lock_stat>("lock_stat", "Last block mean of the eye-opening signal."),
        computed<S, &S::locked>("locked", "The timing lock decision."),
        computed<S, &S::clipped>("clipped", "The cascade's CIC stage clipped its input since the last reset."),
    };
  }
};

}  // namespace tb::py
