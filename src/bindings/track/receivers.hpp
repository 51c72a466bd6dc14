// track.MpskReceiver, track.MpskReceiverR and track.BpskReceiver: one core
// receiver record behind three constructors (complex input, real IF input,
// BPSK configured in Hz) with the same methods and attributes.
#pragma once
#include "bindings/frame.hpp"
#include "core/track/mpsk_rx.hpp"

namespace tb::py {

inline constexpr const char* kRxRefused =
    "MpskReceiver: invalid parameter (need m in {2,4,8}, sps >= m_out -- sps > 2*m_out on the real-input "
    "MpskReceiverR, whose cascade runs behind a 2:1 halfband, m_out even in [2, 8], 0 <= rrc_beta <= 1, "
    "rrc_span >= 1, num_phases a power of two >= 2, bn >= 0, zeta > 0, 0 < bn_agc_ratio < 1)";

inline int pulse_choice(const char* given) { return choice("pulse", given, {"iandd", "rrc"}); }

// The rows every receiver type shares; In is the input element type.
template <class T, class In>
struct Receiver {
  using Rec = tb::mpsk_rx;
  static constexpr bool release_gil = true;
  TB_STANDARD_OPS(mpsk_rx)
  static constexpr const char* repr_attrs[] = {"m", "sps", "m_out", "norm_freq", "locked"};

  static Rec* make(tb::mpsk_rx_config c, const char* pulse) {
    const int p = pulse_choice(pulse);
    if (p < 0) return nullptr;
    c.pulse = p;
    return created_or_refused(tb::mpsk_rx_create(c), kRxRefused);
  }
  static std::size_t steps(Rec* r, const In* x, std::size_t n, cf32* out, std::size_t cap) {
    if constexpr (std::is_same_v<In, float>)
      return tb::mpsk_rx_steps_r(r, x, n, out, cap);
    else
      return tb::mpsk_rx_steps(r, x, n, out, cap);
  }
  static std::size_t bits(Rec* r, const In* x, std::size_t n, std::uint8_t* out, std::size_t cap) {
    if constexpr (std::is_same_v<In, float>)
      return tb::mpsk_rx_bits_r(r, x, n, out, cap);
    else
      return tb::mpsk_rx_bits(r, x, n, out, cap);
  }
  static int set_telemetry(Rec* r, tb::tb_tlm* ctx, const char* prefix, std::uint64_t decim) {
    return tb::mpsk_rx_set_telemetry(r, ctx, prefix, decim);
  }

  static double lock(const Rec* r) { return r->lock; }
  static double zeta(const Rec* r) { return r->cfg.zeta; }
  static std::uint64_t num_phases(const Rec* r) { return r->cfg.num_phases; }
  static double lock_thresh(const Rec* r) { return r->cfg.lock_thresh; }
  static double lock_drop_thresh(const Rec* r) { return r->lock_drop; }
  static double sync_lock_thresh(const Rec* r) { return r->timing.lock.det.up_thresh; }
  static double sync_lock_drop_thresh(const Rec* r) { return r->timing.lock.det.down_thresh; }
  static double bn_agc_ratio(const Rec* r) { return r->cfg.bn_agc_ratio; }
  static std::int64_t lock_time(const Rec* r) { return r->lock_time; }
  static double timing_rate(const Rec* r) { return r->timing.rate; }
  static std::int64_t m(const Rec* r) { return r->cfg.m; }
  static double sps(const Rec* r) { return r->cfg.sps; }
  static std::uint64_t m_out(const Rec* r) { return r->cfg.m_out; }
  static bool clipped(const Rec* r) { return tb::rc_clipped(r->cascade); }
  static bool locked(const Rec* r) { return r->det.locked != 0; }

  static std::vector<PyMethodDef> methods() {
    return rows(block_v<T, &T::steps>("steps", "The recovered symbols (complex64), about one per sps inputs."),
                block_v<T, &T::bits, tb::mpsk_rx_bits_max_out>(
                    "bits", "The hard bits of the recovered symbols (uint8, log2 m per symbol, least significant "
                            "first; Gray, or differential when configured)."),
                telemetry_row<T, &T::set_telemetry, tb::kMpskProbes>(
                    ".lock .car.e .car.freq .car.nco .car.locked .sym.i .sym.q, the timing loop's .sync.e .sync.ctrl "
                    ".sync.rate .sync.lock .sync.locked .sync.mu and, with the AGC, .agc.gain_db .agc.level_db"));
  }
  static std::vector<PyGetSetDef> getset() {
    return {
        computed<T, tb::mpsk_rx_agc_gain_db>("agc_gain_db", "The AGC's gain in dB (0.0 without an AGC)."),
        computed_settable<T, tb::mpsk_rx_norm_freq, tb::mpsk_rx_set_norm_freq>(
            "norm_freq", "Tracked carrier (cycles per input sample); writing re-centres the LO there."),
        computed<T, &T::lock>("lock", "EMA of the carrier lock input."),
        computed<T, &T::zeta>("zeta", "Loop damping in use."),
        computed<T, &T::num_phases>("num_phases", "Matched-filter bank arms."),
        computed<T, &T::lock_thresh>("lock_thresh", "Carrier lock threshold."),
        computed<T, &T::lock_drop_thresh>("lock_drop_thresh", "Carrier drop threshold."),
        computed<T, &T::sync_lock_thresh>("sync_lock_thresh", "Timing lock threshold."),
        computed<T, &T::sync_lock_drop_thresh>("sync_lock_drop_thresh", "Timing drop threshold."),
        computed<T, &T::bn_agc_ratio>("bn_agc_ratio", "AGC bandwidth over the slower loop's."),
        computed<T, &T::lock_time>("lock_time", "Symbol index of the first carrier lock (-1 before)."),
        computed<T, &T::timing_rate>("timing_rate", "Tracked input samples per symbol."),
        computed<T, &T::m>("m", "Modulation order."),
        computed<T, &T::sps>("sps", "Input samples per symbol."),
        computed<T, &T::m_out>("m_out", "Matched-filter outputs per symbol."),
        computed<T, &T::clipped>("clipped", "The cascade's CIC stage clipped its input since the last reset."),
        computed<T, &T::locked>("locked", "The carrier lock decision."),
    };
  }
};

// The constructor keywords the complex and real receivers share.
template <bool Real>
inline tb::mpsk_rx* mpsk_create(PyObject* args, PyObject* kw) {
  static const char* const kwlist[] = {"m", "sps", "m_out", "pulse", "rrc_beta", "rrc_span", "bn_carrier", "zeta",
                                       "bn_timing", "lock_thresh", "init_norm_freq", "differential", "num_phases",
                                       "agc", "bn_agc_ratio", nullptr};
  tb::mpsk_rx_config c;
  c.real = Real;
  const char* pulse = "iandd";
  unsigned int m_out = 0;
  long long span = 8;
  unsigned long long phases = 0;
  if (!parse(args, kw, "|idIsdLdddddiKid", kwlist, &c.m, &c.sps, &m_out, &pulse, &c.rrc_beta, &span,
             &c.bn_carrier, &c.zeta, &c.bn_timing, &c.lock_thresh, &c.init_norm_freq, &c.differential, &phases,
             &c.agc, &c.bn_agc_ratio))
    return nullptr;
  c.m_out = m_out;
  c.rrc_span = span;
  c.num_phases = phases;
  return Receiver<void, cf32>::make(c, pulse);
}

#define TB_RX_DOC_TAIL                                                                                           \
  "An LO the carrier loop corrects, the rate-converting cascade whose terminal stage is the matched filter\n"    \
  "(\"iandd\" or \"rrc\") and timing interpolator, an optional AGC in front of it, a Gardner timing loop, an\n"  \
  "M-th-power carrier loop run once per symbol, lock decisions on both loops and a Gray (or differential)\n"     \
  "demapper.  Zero-valued keywords are derived; the attributes read back the values in use."

struct MpskReceiverT : Receiver<MpskReceiverT, cf32> {
  static constexpr const char* name = "track.MpskReceiver";
  static constexpr const char* doc =
      "MpskReceiver(m=4, sps=8.0, m_out=0, pulse=\"iandd\", rrc_beta=0.35, rrc_span=8, bn_carrier=0.01, zeta=0.0, "
      "bn_timing=0.01, lock_thresh=0.0, init_norm_freq=0.0, differential=0, num_phases=0, agc=1, bn_agc_ratio=0.0)"
      "\n--\n\nM-PSK receiver (m = 2, 4, 8) for complex baseband at sps input samples per symbol.\n" TB_RX_DOC_TAIL;
  static Rec* create(PyObject* args, PyObject* kw) { return mpsk_create<false>(args, kw); }
};

struct MpskReceiverRT : Receiver<MpskReceiverRT, float> {
  static constexpr const char* name = "track.MpskReceiverR";
  static constexpr const char* doc =
      "MpskReceiverR(m=4, sps=8.0, m_out=0, pulse=\"iandd\", rrc_beta=0.35, rrc_span=8, bn_carrier=0.01, zeta=0.0, "
      "bn_timing=0.01, lock_thresh=0.0, init_norm_freq=0.0, differential=0, num_phases=0, agc=1, bn_agc_ratio=0.0)"
      "\n--\n\nM-PSK receiver for a real IF (float32) at sps input samples per symbol, behind a 2:1 real-to-complex\n"
      "halfband; init_norm_freq is the IF in cycles per input sample.\n" TB_RX_DOC_TAIL;
  static Rec* create(PyObject* args, PyObject* kw) { return mpsk_create<true>(args, kw); }
};

struct BpskReceiverT : Receiver<BpskReceiverT, cf32> {
  static constexpr const char* name = "track.BpskReceiver";
  static constexpr const char* doc =
      "BpskReceiver(sample_rate_hz, symbol_rate_hz, carrier_freq_hz=0.0, pulse=\"iandd\", rrc_beta=0.35, "
      "rrc_span=8, bn_carrier=0.01, bn_timing=0.01, differential=0, agc=1)\n--\n\n"
      "The BPSK receiver configured in Hz: sps = sample_rate_hz / symbol_rate_hz and the LO centred at\n"
      "carrier_freq_hz (|carrier_freq_hz| < sample_rate_hz / 2).\n" TB_RX_DOC_TAIL;
  static Rec* create(PyObject* args, PyObject* kw) {
    static const char* const kwlist[] = {"sample_rate_hz", "symbol_rate_hz", "carrier_freq_hz", "pulse", "rrc_beta",
                                         "rrc_span", "bn_carrier", "bn_timing", "differential", "agc", nullptr};
    double fs, rs, fc = 0.0;
    tb::mpsk_rx_config c;
    c.m = 2;
    const char* pulse = "iandd";
    long long span = 8;
    if (!parse(args, kw, "dd|dsdLddii", kwlist, &fs, &rs, &fc, &pulse, &c.rrc_beta, &span, &c.bn_carrier,
               &c.bn_timing, &c.differential, &c.agc))
      return nullptr;
    if (!(fs > 0.0 && rs > 0.0 && std::fabs(fc) < fs / 2.0)) {
      PyErr_SetString(PyExc_ValueError, kRxRefused);
      return nullptr;
    }
    c.sps = fs / rs;
    c.init_norm_freq = fc / fs;
    c.rrc_span = span;
    return make(c, pulse);
  }
};

#undef TB_RX_DOC_TAIL

}  // namespace tb::py
