"""Pickle and copy: every type continues bit for bit after pickle, copy and
deepcopy, here and in another process, including configuration set after
construction; histories that cannot be replayed refuse."""
import copy
import importlib
import inspect
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

from helpers import Feed, Reenter, assert_copies_continue
from signals import awgn, bpsk, mpsk
from tamberl import lox, qmath, sfc, sig, spectral, track

C64 = np.complex64
CODE = np.array([0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 0], np.uint8)
SYNC, PAYLOAD = [1, 1, 0, 1], [1, 0, 1, 1, 0, 1, 0, 0]


def lox_retuned(cls, **kw):
    def make():
        d = cls(**kw)
        d.norm_freq = 0.01  # configuration the blob does not carry
        return d
    return make


def synth(kind, **kw):
    def make():
        s = sig._SynthEngine(type=kind, snr=20.0, seed=3, **kw)
        if kind == "bits":
            s.set_bits(np.array([1, 0, 0, 1, 1, 1, 0], np.uint8), 2)
            s.set_rrc(sig.rrc_taps(0.35, 8, 4) if hasattr(sig, "rrc_taps") else np.ones(9, np.float32))
        elif kind == "symbols":
            s.set_symbols(np.exp(2j * np.pi * np.arange(11) / 11).astype(C64))
            s.set_nsps(3)
        elif kind == "chirp":
            s.set_chirp_span(500)
        elif kind == "dsss":
            s.set_dsss(acq_code=[1, 1, 0, 1], acq_reps=2, data_code=CODE, payload=PAYLOAD, crc=1)
            s.set_dsss_window(2, 10)
        return s
    return make


def frame_desc():
    d = sig.FrameDesc([], [], [])
    d.add_field(np.zeros(64, np.uint8))
    d.name_field(0, "data")
    d.add_derived("rs", 256)
    d.add_stage_over(1, "data", "rs", depth=1, unit_bits=3)
    d.add_stage(2, first_field=0, n_fields=2, depth=2)
    d.build()
    return d


def received(desc, frames=3, seed=5):
    """Frames of desc with a few bit errors each, back to back."""
    bits = desc.bits(frames)
    flip = np.random.default_rng(seed).integers(0, len(bits), 4 * frames)
    bits[flip] ^= 1
    return bits


def dll_symbol_period():
    d = track.Dll(CODE, sps=2, segments=4)
    d.set_symbol_period(6.5)
    return d


cx = awgn(3000, seed=1)
rx_in = mpsk(600, 8, 2, freq=0.001, noise=0.05, seed=2)[0]
CASES = {
    "qmath.AccQ15": (qmath.AccQ15, Feed("steps", final="get_acc"), np.arange(-500, 500, 3, dtype=np.int16)),
    "qmath.AccQ8": (qmath.AccQ8, Feed("steps", final="get_acc"), np.arange(-120, 120, dtype=np.int8)),
    "track.LoopFilter": (lambda: track.LoopFilter(0.05, 0.7, 1.0), Feed("steps"), np.sin(np.arange(400) / 7.0)),
    "track.Costas": (lambda: track.Costas(bn=0.05, tsamps=16), Feed("steps"), bpsk(300, 16, 0.003)),
    "track.CarrierNda": (lambda: track.CarrierNda(sps=8, m=2), Feed("steps"), bpsk(300, 8, 0.001)),
    "track.CarrierMpsk": (lambda: track.CarrierMpsk(tsamps=8, m=2), Feed("steps"), bpsk(300, 8, 0.002)),
    "track.Dll": (dll_symbol_period, Feed("steps"), np.repeat(1 - 2.0 * np.tile(CODE, 40), 2).astype(C64)),
    "track.SymbolSync": (lambda: track.SymbolSync(sps=8), Feed("steps"), rx_in),
    "track.RateSync": (lambda: track.RateSync(sps=8.0, bn=0.02), Feed("steps"), rx_in),
    "track.MpskReceiver": (lambda: track.MpskReceiver(m=2, sps=8.0), Feed("steps"), rx_in),
    "track.MpskReceiverR": (lambda: track.MpskReceiverR(m=2, sps=8.0), Feed("steps"),
                            np.real(rx_in * np.exp(0.5j * np.pi * np.arange(len(rx_in)))).astype(np.float32)),
    "track.BpskReceiver": (lambda: track.BpskReceiver(8e6, 1e6), Feed("steps"), rx_in),
    "spectral.FFT": (lambda: spectral.FFT(n=64), Feed("execute_cf32", "frames", unit=64), cx[:640]),
    "spectral.FFT2D": (lambda: spectral.FFT2D(ny=4, nx=8), Feed("execute_cf32", "frames", unit=32), cx[:320]),
    "spectral.Corr": (lambda: spectral.Corr(ref=cx[:16], dwell=2), Feed("execute", "frames", unit=16), cx[:800]),
    "spectral.Corr2D": (lambda: spectral.Corr2D(ref=cx[:32].reshape(4, 8), dwell=2),
                        Feed("execute", "frames", unit=32), cx[:960]),
    "spectral.CorrDetector": (lambda: spectral.CorrDetector(ref=cx[:16], dwell=2), Feed("push"),
                              np.tile(cx[:16], 100) + 0.1 * cx[:1600]),
    "spectral.CorrDetector2D": (lambda: spectral.CorrDetector2D(ref=cx[:16].reshape(4, 4)), Feed("push"),
                                np.tile(cx[:16], 100) + 0.1 * cx[:1600]),
    "spectral.PSD": (lambda: spectral.PSD(n=32), Feed("accumulate", "frames", unit=32, final="psd_db"), cx[:960]),
    "sig.PN": (lambda: sig.PN(seed=1, length=7), Feed("generate", "count"), np.zeros(500)),
    "sig.Gold": (sig.Gold, Feed("generate", "count"), np.zeros(500)),
    "sig._SynthEngine": (synth("bits", sps=4, freq=1e4), Feed("steps", "count"), np.zeros(700)),
    "sig.Frame": (lambda: sig.Frame([1, 0, 1, 0], SYNC, PAYLOAD, crc="crc16"), Feed("bits", "count"), np.zeros(5)),
    "sig.FrameDesc": (frame_desc, Feed("deframe", "frames", unit=frame_desc().nbits),
                      received(frame_desc(), 4)),
    "sig.Viterbi": (sig.Viterbi, Feed("steps", final="flush"),
                    (1 - 2.0 * np.random.default_rng(4).integers(0, 2, 600)).astype(np.float32)),
    "sig.HdlcRx": (lambda: sig.HdlcRx(g3ruh=True), Feed("steps"),
                   np.concatenate([sig.HdlcTx(g3ruh=True).frame(bytes(range(k, k + 40))) for k in range(8)])),
    "sig.HdlcTx": (lambda: sig.HdlcTx(g3ruh=True), Feed("frame", "frames", unit=20), (np.arange(400) % 256).astype(np.uint8)),
    "sig.BitLine": (lambda: sig.BitLine(g3ruh=True, diff="nrzi"), Feed("steps"),
                    np.random.default_rng(6).integers(0, 2, 500).astype(np.uint8)),
    "sig.SyncSearch": (lambda: sig.SyncSearch("A5", max_errors=2), Feed("steps"),
                       np.random.default_rng(7).integers(0, 2, 500).astype(np.uint8)),
    "sig.NrzConditioner": (lambda: sig.NrzConditioner(3, 40), Feed("steps"),
                           np.random.default_rng(8).standard_normal(500) + 0.5),
    "lox.LOX": (lox_retuned(lox.LOX, rate=0.25), Feed("execute"), cx),
    "lox.Loxr": (lox_retuned(lox.Loxr, rate=0.25), Feed("execute"), cx.real.copy()),
    "lox.MatchedLOX": (lox_retuned(lox.MatchedLOX, rate=0.25, pulse="rrc"), Feed("execute"), cx),
    "lox.MatchedLoxr": (lox_retuned(lox.MatchedLoxr, rate=0.25, pulse="rrc"), Feed("execute"), cx.real.copy()),
    "sfc.ADC": (lambda: sfc.ADC(bits=10), Feed("steps"), 2 * cx.real),
}
for _name in ("F32ToI8", "F32ToI16", "F32ToI32", "F32ToI16U32", "F32ToI16U64", "F32ToUQ15"):
    CASES["sfc." + _name] = (getattr(sfc, _name), Feed("steps"), 3 * cx.real)
for _name, _dt in (("I8ToF32", np.int8), ("I16ToF32", np.int16), ("I32ToF32", np.int32),
                   ("I16U32ToF32", np.uint32), ("I16U64ToF32", np.uint64), ("UQ15ToF32", np.uint16)):
    CASES["sfc." + _name] = (getattr(sfc, _name), Feed("steps"), np.arange(900).astype(_dt))

MORE = {  # configuration paths the table above does not take
    "synth symbols": (synth("symbols", sps=2), Feed("steps", "count"), np.zeros(500)),
    "synth chirp": (synth("chirp", fs=1000.0, freq=10.0, f_end=100.0), Feed("steps", "count"), np.zeros(900)),
    "synth dsss": (synth("dsss", sps=2), Feed("steps", "count"), np.zeros(900)),
    "ratesync retuned bn": (lambda: _set(track.RateSync(sps=8.0), bn=0.03), Feed("steps"), rx_in),
    "receiver retuned": (lambda: _set(track.MpskReceiver(m=2, sps=8.0), norm_freq=0.002), Feed("steps"), rx_in),
    "dll segments": (lambda: track.Dll(CODE, sps=2, segments=3), Feed("steps"),
                     np.repeat(1 - 2.0 * np.tile(CODE, 40), 2).astype(C64)),
    # configuration the blob carries, changed after construction
    "costas reconfigured": (lambda: _call(track.Costas(tsamps=16), ("configure", 0.02, 1.0),
                                          ("configure_lock", 0.5, 0.3, 3, 2), norm_freq=0.002, bn_fll=0.01),
                            Feed("steps"), bpsk(300, 16, 0.003)),
    "carrier nda reconfigured": (lambda: _call(track.CarrierNda(sps=8, m=2), ("configure_lock", 0.4, 0.2, 2, 2),
                                               bn=0.02, norm_freq=0.0005), Feed("steps"), bpsk(300, 8, 0.001)),
    "carrier mpsk reconfigured": (lambda: _call(track.CarrierMpsk(tsamps=8, m=2), ("configure", 0.03, 0.8),
                                                bn_fll=0.01), Feed("steps"), bpsk(300, 8, 0.002)),
    "dll reconfigured": (lambda: _call(track.Dll(CODE, sps=2), ("configure", 0.02, 0.8), ("set_rate_aid", 1e-4),
                                       ("set_code_phase", 3.5), ("set_lock_verify", 3, 2),
                                       ("configure_lock_raw", 2.0, 1.5, 4, 0.1, 2, 2)),
                         Feed("steps"), np.repeat(1 - 2.0 * np.tile(CODE, 40), 2).astype(C64)),
    "symbol sync reconfigured": (lambda: _call(track.SymbolSync(sps=8), ("configure", 0.02, 0.8),
                                               ("configure_lock_raw", 8, 0.5, 0.3, 3, 2)), Feed("steps"), rx_in),
    "ratesync reconfigured": (lambda: _call(track.RateSync(sps=8.0), ("configure", 0.02, 0.8),
                                            ("configure_lock_raw", 8, 0.5, 0.3, 3, 2)), Feed("steps"), rx_in),
    "loop filter reconfigured": (lambda: _call(track.LoopFilter(0.05, 0.7, 1.0), ("configure", 0.1, 1.0, 2.0),
                                               integ=0.5), Feed("steps"), np.sin(np.arange(400) / 7.0)),
    "accumulator overwritten": (lambda: _call(qmath.AccQ15(), ("set_acc", 1234)), Feed("steps", final="get_acc"),
                                np.arange(-500, 500, 3, dtype=np.int16)),
    "synth held symbol moved": (lambda: _call(synth("bits", sps=4)(), ("set_sym_pos", 2), ("set_cur_re", 0.5),
                                              ("set_nsps", 5)), Feed("steps", "count"), np.zeros(700)),
}


def _call(obj, *calls, **attrs):
    """obj after the method calls (name, *args) and attribute writes."""
    for name, *args in calls:
        getattr(obj, name)(*args)
    return _set(obj, **attrs)


def _set(obj, **attrs):
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


@pytest.fixture(scope="module")
def pool():
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as ex:
        yield ex


@pytest.mark.parametrize("name", sorted(CASES) + sorted(MORE))
def test_copies_continue(name, pool):
    make, feed, x = CASES.get(name) or MORE[name]
    assert_copies_continue(make, feed, x, pool=pool)


def test_every_type_is_covered():
    names = set()
    for mod in ("qmath", "track", "spectral", "sig", "lox", "sfc"):
        m = importlib.import_module("tamberl." + mod)
        names |= {f"{mod}.{n}" for n, c in vars(m).items() if inspect.isclass(c) and hasattr(c, "destroy")}
    assert names == set(CASES)


def test_a_copy_owns_its_arguments():
    """Arrays given to the constructor or a configuration call and changed
    afterwards do not change what a copy rebuilds."""
    ref, pattern = cx[:16].copy(), np.array([1, 0, 1, 1], np.uint8)
    det = spectral.CorrDetector(ref=ref, dwell=2)
    s = sig._SynthEngine(type="bits", sps=2)
    s.set_bits(pattern)
    ref[:] = 0
    pattern[:] = 0
    x = np.tile(cx[:16], 20)
    assert np.array_equal(np.asarray(det.push(x)), np.asarray(copy.deepcopy(det).push(x)))
    assert np.array_equal(copy.copy(s).steps(64), s.steps(64))


def test_repeated_retuning_keeps_one_record():
    d = lox.LOX(rate=0.25)
    for k in range(1000):
        d.norm_freq = k * 1e-5
        d.execute(cx[:8])
    history = d.__reduce__()[1][2]
    assert len(history) == 2 and history[-1][2] == (999e-5,)


def test_appends_are_all_kept_in_order():
    names = [e[1] for e in frame_desc().__reduce__()[1][2]]
    assert names == ["__init__", "add_field", "name_field", "add_derived", "add_stage_over", "add_stage", "build"]


def test_failed_configuration_is_not_recorded():
    s = sig._SynthEngine(type="bits")
    with pytest.raises(ValueError):
        s.set_bits(np.zeros(0, np.uint8))
    assert [e[1] for e in s.__reduce__()[1][2]] == ["__init__"]


class Freq:
    def __float__(self):
        return 0.01


def _bits_synth(pattern):
    s = sig._SynthEngine(type="bits")
    s.set_bits(pattern)
    return s


@pytest.mark.parametrize("configure, what", [
    (lambda: _set(lox.LOX(), norm_freq=Freq()), r"LOX: norm_freq\(\) was given a test_persist.Freq"),
    (lambda: track.RateSync(bn=Freq()), r"RateSync: __init__\(\) was given a test_persist.Freq"),
    (lambda: _bits_synth(Reenter(lambda: None, [1, 0, 1])), r"_SynthEngine: set_bits\(\) was given a helpers"),
], ids=["attribute", "constructor", "method"])
def test_unrecordable_arguments_refuse(configure, what):
    """Arguments whose conversion runs foreign code cannot be replayed
    faithfully: the object works, pickling it refuses."""
    obj = configure()
    with pytest.raises(TypeError, match=f"^cannot pickle this {what}.*cannot be recorded"):
        pickle.dumps(obj)


def test_pickling_during_a_call_is_refused():
    d = lox.LOX()
    seen = []

    def grab():
        with pytest.raises(RuntimeError):
            pickle.dumps(d)
        seen.append(1)

    d.execute(Reenter(grab, cx[:8]))
    assert seen == [1]
    assert pickle.loads(pickle.dumps(d)).norm_freq == d.norm_freq


def test_copies_are_independent_and_start_detached():
    from tamberl import telemetry
    tlm = telemetry.Telemetry(1024)
    c = track.Costas(tsamps=16)
    c.set_telemetry(tlm, "c")
    d = copy.deepcopy(c)
    d.steps(bpsk(50, 16, 0.003))
    assert all(len(v) == 0 for v in tlm.drain().values())  # nothing published by the copy
    assert c.get_state() != d.get_state()
    with pytest.raises(TypeError, match="^a Telemetry context does not pickle"):
        copy.deepcopy(tlm)


def test_records_pickle():
    d = sig.Frame([1, 0], SYNC, PAYLOAD, crc="crc16")
    for rec in (d.layout(), d.check(d.bits())):
        assert pickle.loads(pickle.dumps(rec)) == rec


def test_reinitialised_object_pickles_as_built_last():
    d = lox.LOX(rate=0.25)
    d.norm_freq = 0.02
    d.__init__(0.003, 0.125)  # a new record: the earlier retuning is gone with the old one
    d.execute(cx[:100])
    e = pickle.loads(pickle.dumps(d))
    assert (e.norm_freq, e.rate) == (0.003, 0.125)
    assert np.array_equal(e.execute(cx[100:300]), d.execute(cx[100:300]))
