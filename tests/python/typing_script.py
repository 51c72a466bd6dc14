"""Uses every public name of the package with the types the stubs promise;
`mypy --strict` must accept it (test_package runs it).  It also runs."""
from __future__ import annotations

from typing import Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

import tamberl
from tamberl import lox, qmath, sfc, sig, spectral, telemetry, track

version: str = tamberl.__version__

a16: npt.NDArray[np.int16] = qmath.add_q15([1, 2], [3, 4])
for fn16 in (qmath.sub_q15, qmath.mul_q15):
    a16 = fn16([1], [2])
a16 = qmath.shl_q15(a16, 1)
a16 = qmath.shr_q15(a16, 1)
a8: npt.NDArray[np.int8] = qmath.add_q8([1], [2])
a8 = qmath.sub_q8(qmath.mul_q8(a8, a8), a8)
a8 = qmath.shr_q8(qmath.shl_q8(a8, 1), 1)
a64: npt.NDArray[np.int64] = qmath.shr_i64(qmath.shl_i64([1], 2), 1)
dots: Tuple[int, int] = (qmath.dot_q15([1], [2]), qmath.dot_q8([1], [2]))
for acc_type in (qmath.AccQ15, qmath.AccQ8):
    with acc_type(3) as acc:
        acc.step(1)
        acc.steps([1, 2])
        acc.madd([1], [2])
        acc.set_acc(acc.get_acc() + acc.get())
        register: int = acc.dump()
        acc.set_state(acc.get_state())
        size: int = acc.state_bytes()
        acc.reset()
    acc.destroy()

with track.LoopFilter(0.02, 0.707, 1.0) as lf:
    u: float = lf.step(0.1)
    us: npt.NDArray[np.float64] = lf.steps(np.zeros(4))
    lf.configure(0.01, 0.707, 1.0)
    lf.integ = 0.5
    gains: Tuple[float, float, float, float, float, float] = (lf.kp, lf.ki, lf.integ, lf.bn, lf.zeta, lf.t)
    lf.set_state(lf.get_state())
    lf.reset()
    nbytes: int = lf.state_bytes()

tlm = telemetry.Telemetry(capacity=1 << 10)
with track.Costas(bn=0.05, tsamps=4) as c:
    c.set_telemetry(tlm, "c", 1)
    prompts: npt.NDArray[np.complex64] = c.steps(np.ones(16, np.complex64))
    bound: int = c.steps_max_out()
    c.configure(0.05, 0.707)
    c.configure_lock(0.85, 0.78, 8, 32)
    c.bn, c.norm_freq, c.bn_fll = 0.05, 0.0, 0.0
    state: Tuple[float, float, bool] = (c.lock_metric, c.last_error, c.locked)
    c.set_state(c.get_state())
    c.reset()
    nbytes = c.state_bytes()
series: Dict[str, npt.NDArray[np.float32]] = tlm.drain()
names: List[str] = tlm.probes()
counts: Tuple[int, int, int, int] = (tlm.written("c.e"), tlm.pending(), tlm.dropped, tlm.capacity)
tlm.stamp = tlm.stamp + 1
records = tlm.drain_records()
consts: Tuple[bytes, int] = (telemetry.CAPSULE_NAME, telemetry.MAX_PROBES)
record_dtype: np.dtype[np.void] = telemetry.RECORD

for engine in (spectral.FFT(n=16), spectral.FFT2D(ny=4, nx=4)):
    with engine as e:
        y64: npt.NDArray[np.complex128] = e.execute_cf64(np.zeros(16))
        y32: npt.NDArray[np.complex64] = e.execute_cf32(np.zeros(16, np.complex64))
        y64 = e.execute_inplace_cf64(np.zeros(16))
        y32 = e.execute_inplace_cf32(np.zeros(16, np.complex64))
        bounds: Tuple[int, int, int, int, int] = (e.execute_cf64_max_out(), e.execute_cf32_max_out(),
                                                  e.execute_inplace_cf64_max_out(),
                                                  e.execute_inplace_cf32_max_out(), e.sign)
        e.reset()
f = spectral.FFT(n=16)
y32 = f.execute_ci16(np.zeros(32, np.int16))
y32 = f.execute_ci8(np.zeros(32, np.int8))
sizes: Tuple[int, int, int] = (f.n, spectral.FFT2D().ny, spectral.FFT2D().nx)

p = spectral.PSD(n=64, fs=1000.0)
p.accumulate(np.ones(128, np.complex64))
p.accumulate_real(np.ones(128, np.float32))
spectra: List[Optional[npt.NDArray[np.float32]]] = [p.psd_db(), p.psd_dbhz(1), p.power_twosided(), p.power_onesided()]
bounds4: List[int] = [p.psd_db_max_out(), p.psd_dbhz_max_out(), p.power_twosided_max_out(),
                      p.power_onesided_max_out(), p.band_power_max_out()]
bp: npt.NDArray[np.float32] = p.band_power([-100.0, 100.0])
measures: List[float] = [p.total_band_power([-1.0, 1.0]), p.occupied_bw(0.99), p.noise_floor(), p.snr(-1.0, 1.0),
                         p.sfdr(-100.0)]
attrs: List[float] = [p.n, p.nfft, p.fs, p.full_scale, p.bits, p.enbw, p.rbw, p.count, p.mode]
p.set_state(p.get_state())
p.reset()
nbytes = p.state_bytes()
p.destroy()

w = np.zeros(16, np.float32)
spectral.hann_window(w)
spectral.kaiser_window(w, 5.0)
spectral.blackman_harris_window(w)
values: List[float] = [spectral.kaiser_enbw(w), spectral.kaiser_beta_for_sidelobe(60.0),
                       spectral.obw_from_power(np.ones(8), 1.0, 0.5), spectral.noise_floor_db(w)]
db: npt.NDArray[np.float32] = spectral.magnitude_db_cf32(np.ones(4, np.complex64), 1e-12, 0.0)
db = spectral.magnitude_db_cf64(np.ones(4), 1e-12, 0.0)
peaks: List[Tuple[float, float]] = spectral.find_peaks_f32(db, 4, -100.0)

codes8: npt.NDArray[np.int8] = sfc.F32ToI8().steps(np.zeros(2, np.float32))
codes16: npt.NDArray[np.int16] = sfc.F32ToI16(32768.0).steps(np.zeros(2, np.float32))
codes32: npt.NDArray[np.int32] = sfc.F32ToI32().steps(np.zeros(2, np.float32))
codesu32: npt.NDArray[np.uint32] = sfc.F32ToI16U32().steps(np.zeros(2, np.float32))
codesu64: npt.NDArray[np.uint64] = sfc.F32ToI16U64().steps(np.zeros(2, np.float32))
codesuq: npt.NDArray[np.uint16] = sfc.F32ToUQ15().steps(np.zeros(2, np.float32))
with sfc.F32ToI16() as conv:
    code: int = conv.step(0.5)
    clipped: bool = conv.clipped
    conv.set_state(conv.get_state())
    nbytes = conv.state_bytes()
    conv.reset()
for i2f in (sfc.I8ToF32(), sfc.I16ToF32(), sfc.I32ToF32(), sfc.I16U32ToF32(), sfc.I16U64ToF32(), sfc.UQ15ToF32()):
    with i2f as back:
        samples: npt.NDArray[np.float32] = back.steps([0, 1])
        sample: float = back.step(3)
        back.reset()
with sfc.ADC(bits=12, dbfs=0.0, dithering=1) as adc:
    adc_codes: npt.NDArray[np.int64] = adc.steps(np.zeros(2, np.float32))
    adc_code: int = adc.step(0.1)
    adc_attrs: Tuple[bool, float, int] = (adc.clipped, adc.scale, adc.bits)
    adc.set_state(adc.get_state())
    nbytes = adc.state_bytes()
    adc.reset()
bits = np.zeros(64, np.uint8)
written: List[int] = [sfc.int_to_bin(5, 8, bits, 0), sfc.hex_to_bin("1A", bits, 0),
                      sfc.bin_to_nrz(bits[:8], np.zeros(8, np.float32)), sfc.nrz_to_bin(np.ones(4, np.float32), bits),
                      sfc.bin_to_hex(bits[:8], np.zeros(4, np.uint8), 0), sfc.bin_to_int(bits[:8], 0)]

for down in (lox.LOX(0.1, 0.25), lox.MatchedLOX(-0.1, 0.125, "rrc", 0.35, 8, 4.0, 64)):
    with down as dc:
        base: npt.NDArray[np.complex64] = dc.execute(np.ones(64, np.complex64))
        base = dc.execute_ctrl(np.ones(64, np.complex64), 0.0, 0.0)
        base = dc.execute_ctrl_push(1j, 0.0, 0.0)
        sizes3: Tuple[int, int] = (dc.execute_max_out(64), dc.execute_ctrl_push_max_out())
        dc.norm_freq = -0.05
        flags: Tuple[float, float, bool, bool] = (dc.norm_freq, dc.rate, dc.clipped, dc.narrow_pulse)
        dc.set_state(dc.get_state())
        nbytes = dc.state_bytes()
        dc.reset()
for rdown in (lox.Loxr(-0.7, 0.25), lox.MatchedLoxr(-0.6875, 0.125, "rrc", 0.35, 8, 4.0, 64)):
    base = rdown.execute(np.ones(64, np.float32))
    base = rdown.execute_ctrl_push(0.5, 0.0, 0.0)
    nbytes = rdown.execute_max_out()
    rdown.close()

cref = np.ones(16, np.complex64)
with spectral.Corr(cref, 2, 1, 32) as cor:
    maybe: Optional[npt.NDArray[np.complex64]] = cor.execute(cref)
    cattrs: Tuple[int, int, int, int, int] = (cor.n, cor.n_out, cor.dwell, cor.count, cor.execute_max_out())
    cor.set_state(cor.get_state())
    nbytes = cor.state_bytes()
    cor.reset()
with spectral.Corr2D(cref.reshape(4, 4), 1, 1, 0, 0, -1) as cor2:
    maybe = cor2.execute(cref)
    c2attrs: List[int] = [cor2.ny, cor2.nx, cor2.ny_out, cor2.nx_out, cor2.n_out, cor2.dwell, cor2.count,
                          cor2.col_out, cor2.execute_max_out()]
    cor2.set_state(cor2.get_state())
    nbytes = cor2.state_bytes()
    cor2.reset()
with spectral.CorrDetector(cref, 1, 0, 15, "mean", 0.0, 1) as det:
    dets: List[Tuple[int, float, float, float]] = det.push(cref)
    dattrs: Tuple[int, int, int, int, int, int, float] = (det.n, det.dwell, det.count, det.ring_cap, det.noise_lo,
                                                          det.noise_hi, det.threshold)
    lastc: Optional[npt.NDArray[np.complex64]] = det.last_corr
    det.set_state(det.get_state())
    nbytes = det.state_bytes()
    det.reset()
with spectral.CorrDetector2D(cref.reshape(4, 4)) as det2:
    dets2: List[Tuple[int, int, float, float, float]] = det2.push(cref)
    shape2: Tuple[int, int] = (det2.ny, det2.nx)

with track.CarrierNda(0.01, 0.707, 0.0, 8, 4, 4) as nda:
    nda_out: npt.NDArray[np.complex64] = nda.steps(np.ones(16, np.complex64))
    nda.configure_lock(0.5, 0.4, 64, 32)
    nda.norm_freq, nda.bn = 0.001, 0.02
    nda_attrs: Tuple[float, bool, float, int, int, int, int] = (nda.lock, nda.locked, nda.last_error, nda.m, nda.n,
                                                                  nda.sps, nda.steps_max_out())
    nda.set_telemetry(None, "nda")
    nda.set_state(nda.get_state())
with track.CarrierMpsk(0.05, 0.707, 0.0, 8, 0.0, 4) as cm:
    cm_out: npt.NDArray[np.complex64] = cm.steps(np.ones(16, np.complex64))
    cm.configure(0.05, 0.707)
    cm.bn, cm.norm_freq, cm.bn_fll = 0.05, 0.0, 0.01
    cm_attrs: Tuple[float, float, int] = (cm.lock_metric, cm.last_error, cm.m)
    cm.set_state(cm.get_state())
with track.Dll(np.array([0, 1, 1, 0, 1, 0, 1], np.uint8), 2, 0.0, 0.01, 0.707, 0.5, 2) as dl:
    dl_out: npt.NDArray[np.complex64] = dl.steps(np.ones(28, np.complex64))
    dl.configure(0.01, 0.707)
    dl.set_rate_aid(0.0)
    dl.set_code_phase(1.5)
    mean: float = dl.take_error_mean()
    dl.configure_lock(1e-3, 20)
    dl.configure_lock_raw(8.5, 8.5, 20, 1 / 1024, 2, 2)
    dl.set_lock_verify(2, 2)
    dl.set_symbol_period(0.0)
    dl.bn = 0.02
    dl_attrs: Tuple[float, float, float, float, float, int, bool, int] = (
        dl.code_phase, dl.code_rate, dl.last_error, dl.lock_stat, dl.noise_est, dl.segments, dl.locked,
        dl.symbol_window)
    dl.set_state(dl.get_state())

for gen in (sig.PN(0, 1, 7, "fibonacci"), sig.Gold()):
    with gen as g:
        chips: npt.NDArray[np.uint8] = g.generate(16)
        chips = g.generate(8, np.zeros(8, np.uint8))
        nbytes = g.state_bytes() + g.generate_max_out()
        g.set_state(g.get_state())
        g.reset()
with sig._SynthEngine("qpsk", "ebno", 1e6, 2e4, 6.0, 1, 8) as tx:
    tx.set_rrc(sig.rrc_taps(0.35, 8, 6))
    wave: npt.NDArray[np.complex64] = tx.steps(64)
    one: complex = tx.step()
    tx.set_nsps(tx.get_nsps())
    tx.set_cur_re(tx.get_cur_re() + tx.get_cur_im())
    tx.set_wtype(tx.get_wtype() + tx.get_sym_pos() * 0)
    tx.set_state(tx.get_state())
    tx.reset()
with sig._SynthEngine(type="bits") as bt:
    bt.set_bits([1, 0, 1], modulation=2)
with sig._SynthEngine(type="symbols") as st:
    st.set_symbols([1j, -1])
with sig._SynthEngine(type="chirp", f_end=1e5) as ch:
    ch.set_chirp_span(span=100)
pulses: List[npt.NDArray[np.float64]] = [sig.rrc_h(np.zeros(3), 0.35), sig.rc_h([0.5], 0.2)]
link: Tuple[float, float, int, int] = (sig.sig_awgn_amplitude(10.0, 1.0), sig.sig_ebno_to_snr_db(6.0, 2, 8.0),
                                       sig.crc16([1, 0]), sig.mls_poly(9))
mapped: npt.NDArray[np.complex64] = sig.bpsk_map([0, 1])
mapped = sig.qpsk_map(np.arange(4, dtype=np.uint8))

with track.SymbolSync(8, 0.01, 0.707, "linear", "dttl") as ss:
    syms: npt.NDArray[np.complex64] = ss.steps(np.ones(64, np.complex64))
    ss.configure(0.02, 0.7)
    ss.configure_lock(0.35, 10.0, 1e-3, 0.9)
    ss.configure_lock_raw(100, 0.3, 0.3, 1, 8)
    ss.bn = 0.01
    sattrs: Tuple[float, float, float, bool] = (ss.timing_error, ss.rate, ss.lock_stat, ss.locked)
    ss.set_state(ss.get_state())
with track.RateSync(17.33389, "rrc", 0.35, 8, 4) as rsync:
    syms = rsync.steps(np.ones(64, np.complex64))
    rsync.configure(0.02, 0.7)
    rattrs: Tuple[float, float, bool, bool] = (rsync.ctrl, rsync.rate, rsync.locked, rsync.clipped)
for rx in (track.MpskReceiver(4, 8.0, pulse="rrc"), track.BpskReceiver(8e6, 1e6, carrier_freq_hz=1e5)):
    with rx as rcv:
        syms = rcv.steps(np.ones(64, np.complex64))
        rbits: npt.NDArray[np.uint8] = rcv.bits(np.ones(64, np.complex64))
        nbytes = rcv.bits_max_out(64) + rcv.steps_max_out()
        rcv.norm_freq = 0.001
        rxattrs: Tuple[int, float, int, int, bool] = (rcv.m, rcv.sps, rcv.m_out, rcv.lock_time, rcv.locked)
with track.MpskReceiverR(4, 20.0, init_norm_freq=0.2) as rr:
    syms = rr.steps(np.zeros(64, np.float32))
    gain: float = rr.agc_gain_db + rr.timing_rate + rr.lock + rr.bn_agc_ratio
with sig.FrameDesc([], [], []) as fd:
    fidx: int = fd.add_hex("asm", "1ACFFC1D") + fd.add_value("v", 3, 4) + fd.add_derived("crc", 16)
    fd.name_field(1, "data")
    fidx = fd.add_stage_over(0, "data", "crc") + fd.add_stage(4, 0, 1) * 0 + fd.field_index("asm")
    fd.build()
    fbits: npt.NDArray[np.uint8] = fd.bits(2)
    fchk: sig.FrameCheck = fd.check(fbits)
    fbits = fd.deframe(fbits)
    flay: sig.FrameLayout = fd.layout()
    fnums: Tuple[int, int, int, int] = (fchk.passed, flay.total_bits, fd.nbits, fd.rx_ok + fd.crc_ok(fbits))
with sig._SynthEngine(type="dsss", sps=2) as ds:
    ds.set_dsss(acq_code=[1, 0], acq_reps=2, data_code=[1, 1, 0], payload=[1, 0], sync=[1], crc=1)
    ds.set_dsss_cont([1, 0, 1], 2.5, data="prbs")
    ds.set_dsss_window(2, 10)
spread: npt.NDArray[np.complex64] = sig.dsss_spread([1j], [0, 1], 2)
with sig.Viterbi(64) as vit:
    dec: npt.NDArray[np.uint8] = vit.steps(np.ones(64, np.float32))
    dec = vit.flush()
    nbytes = vit.steps_max_out(64) + vit.delay + vit.state_bytes()
    vit.set_state(vit.get_state())
    vit.reset()
with sig.HdlcTx(g3ruh=True) as htx, sig.HdlcRx(g3ruh=True) as hrx:
    line: npt.NDArray[np.uint8] = np.concatenate([htx.idle(2), htx.frame(b"\x01\x02\x03", flags=2)])
    hrecords: npt.NDArray[np.uint8] = hrx.steps(line)
    hcounts: Tuple[bool, int, int, int] = (hrx.g3ruh and htx.g3ruh, hrx.good, hrx.bad, hrx.bits)
