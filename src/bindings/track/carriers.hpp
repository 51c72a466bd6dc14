// track.CarrierNda and track.CarrierMpsk: the non-data-aided and the
// decision-directed M-PSK carrier loops.
#pragma once
#include "bindings/frame.hpp"
#include "core/track/carrier_mpsk.hpp"
#include "core/track/carrier_nda.hpp"

namespace tb::py {

struct CarrierNdaT {
  using Rec = tb::carrier_nda;
  static constexpr const char* name = "track.CarrierNda";
  static constexpr const char* doc = R"(CarrierNda(bn=0.01, zeta=0.707, init_norm_freq=0.0, sps=8, n=4, m=4)
--

Non-data-aided carrier loop for M-PSK (m = 2, 4, 8): every sample is
de-rotated by the NCO, averaged over an arm of sps/n samples, and the m-th
power discriminator steers the loop once per sample (bn normalised to the
sample rate).  steps() returns the de-rotated samples, one per input.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(carrier_nda)
  static constexpr const char* repr_attrs[] = {"m", "sps", "n", "bn", "norm_freq", "locked"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bn", "zeta", "init_norm_freq", "sps", "n", "m", nullptr};
    double bn = 0.01, zeta = 0.707, f0 = 0.0;
    unsigned long long sps = 8;
    int n = 4, m = 4;
    if (!parse(args, kw, "|dddKii", kwlist, &bn, &zeta, &f0, &sps, &n, &m)) return nullptr;
    return created(tb::carrier_nda_create(bn, zeta, f0, sps, n, m), "carrier_nda_create");
  }
  static std::size_t steps(Rec* r, const cf32* x, std::size_t n, cf32* out, std::size_t cap) {
    const std::size_t k = std::min(n, cap);
    tb::carrier_nda_steps(r, x, out, k);
    return k;
  }
  static double bn(const Rec* r) { return r->bn; }
  static bool locked(const Rec* r) { return r->det.locked != 0; }
  static std::int64_t m(const Rec* r) { return r->m; }
  static std::int64_t n(const Rec* r) { return r->n; }
  static std::vector<PyMethodDef> methods() {
    using C = CarrierNdaT;
    return rows(block_v<C, &C::steps>("steps", "The de-rotated samples (complex64), one per input."),
                scalar<C, tb::carrier_nda_configure_lock, "up_thresh", "down_thresh", "n_up", "n_down">(
                    "configure_lock", "Re-tune the lock decision (a live lock survives).  Returns None."),
                telemetry_row<C, tb::carrier_nda_set_telemetry, tb::kNdaProbes>(".lock .e .freq .locked"));
  }
  static std::vector<PyGetSetDef> getset() {
    using C = CarrierNdaT;
    return {
        computed_settable<C, tb::carrier_nda_norm_freq, tb::carrier_nda_set_norm_freq>(
            "norm_freq", "Tracked frequency (cycles/sample); writing re-seeds the loop there."),
        field<C, &Rec::lock>("lock", "EMA of the m-th power lock input."),
        computed<C, &C::locked>("locked", "The lock decision."),
        field<C, &Rec::last_error>("last_error", "Last discriminator output."),
        computed_settable<C, &C::bn, tb::carrier_nda_set_bn>("bn", "Loop noise bandwidth (sample rate)."),
        computed<C, &C::m>("m", "Modulation order."),
        computed<C, &C::n>("n", "Window divisor."),
        field<C, &Rec::sps>("sps", "Samples per symbol."),
    };
  }
};

struct CarrierMpskT {
  using Rec = tb::carrier_mpsk;
  static constexpr const char* name = "track.CarrierMpsk";
  static constexpr const char* doc = R"(CarrierMpsk(bn=0.05, zeta=0.707, init_norm_freq=0.0, tsamps=64, bn_fll=0.0, m=4)
--

Decision-directed carrier loop for M-PSK (m = 2, 4, 8) with known symbol
timing: integrate-and-dump over tsamps samples, slice each prompt to the
nearest constellation point and steer on the angle to it; bn_fll > 0 adds a
frequency-locked-loop assist.  One prompt per symbol.)";
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(carrier_mpsk)
  static constexpr const char* repr_attrs[] = {"m", "bn", "bn_fll", "norm_freq"};

  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"bn", "zeta", "init_norm_freq", "tsamps", "bn_fll", "m", nullptr};
    double bn = 0.05, zeta = 0.707, f0 = 0.0, fll = 0.0;
    unsigned long long tsamps = 64;
    int m = 4;
    if (!parse(args, kw, "|dddKdi", kwlist, &bn, &zeta, &f0, &tsamps, &fll, &m)) return nullptr;
    return created(tb::carrier_mpsk_create(bn, zeta, f0, tsamps, fll, m), "carrier_mpsk_create");
  }
  static double bn(const Rec* r) { return r->bn; }
  static double norm_freq(const Rec* r) { return r->nco.norm_freq; }
  static double bn_fll(const Rec* r) { return r->bn_fll; }
  static std::int64_t m(const Rec* r) { return r->m; }
  static std::vector<PyMethodDef> methods() {
    using C = CarrierMpskT;
    return rows(block_v<C, tb::carrier_mpsk_steps>("steps", "One prompt per completed symbol (complex64)."),
                scalar<C, tb::carrier_mpsk_configure, "bn", "zeta">("configure", "Re-derive the loop gains.  Returns None."));
  }
  static std::vector<PyGetSetDef> getset() {
    using C = CarrierMpskT;
    return {
        computed_settable<C, &C::bn, tb::carrier_mpsk_set_bn>("bn", "Loop noise bandwidth (symbol rate)."),
        computed_settable<C, &C::norm_freq, tb::carrier_mpsk_set_norm_freq>(
            "norm_freq", "NCO frequency (cycles/sample); writing re-seeds the loop there."),
        field<C, &Rec::lock_metric>("lock_metric", "EMA of Re(P conj a)/|P|."),
        field<C, &Rec::last_error>("last_error", "Last discriminator output."),
        computed_settable<C, &C::bn_fll, tb::carrier_mpsk_set_bn_fll>("bn_fll", "FLL assist bandwidth."),
        computed<C, &C::m>("m", "Modulation order."),
    };
  }
};

}  // namespace tb::py
