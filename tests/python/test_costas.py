import math
import struct
import threading

import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from signals import bpsk, crandn
from tamberl import telemetry, track


def sine_table():
    """The oscillator's table, read back through a frozen loop fed with ones:
    at 2^-16 cycles/sample the NCO index steps by one per sample and each prompt is (cos, -sin)."""
    c = track.Costas(bn=0.0, init_norm_freq=2.0**-16, tsamps=1)
    p = c.steps(np.ones(65536, np.complex64))
    return -p.imag.astype(np.float32)


def test_sine_table_is_float32_sine_of_float32_argument():
    t = sine_table()
    k = np.frombuffer(np.uint32(0x38C90FDB).tobytes(), np.float32)[0]
    arg = np.arange(65536, dtype=np.float32) * k
    exact = np.sin(arg.astype(np.float64))
    ulp = np.spacing(np.abs(t))
    assert np.all(np.abs(t - exact) <= ulp)
    assert t[32768] != 0.0


def test_derotation_and_dump_match_float32_model():
    """A frozen loop (bn=0) is pure NCO de-rotation plus integrate-and-dump:
    check the table look-up, the product order and the summation order bit for bit."""
    table = sine_table()
    ts, nsym = 16, 300
    x = crandn(ts * nsym, seed=4, dtype=np.complex64)
    f0 = 2.0**-10
    phase = (np.arange(ts * nsym, dtype=np.uint64) * np.uint64(int(f0 * 2**32))) & np.uint64(0xFFFFFFFF)
    idx = (phase >> np.uint64(16)).astype(np.intp)
    s, c = table[idx], table[(idx + 16384) % 65536]
    re, im = x.real, x.imag
    i_part = (re * c) + (im * s)  # each product rounded to float32, then one add
    q_part = (im * c) - (re * s)
    acc_i = np.cumsum(i_part.reshape(nsym, ts), axis=1, dtype=np.float32)[:, -1]
    acc_q = np.cumsum(q_part.reshape(nsym, ts), axis=1, dtype=np.float32)[:, -1]
    inv = np.float32(1) / np.float32(ts)
    expect = (acc_i * inv) + 1j * (acc_q * inv)
    got = track.Costas(bn=0.0, init_norm_freq=f0, tsamps=ts).steps(x)
    assert got.tobytes() == expect.astype(np.complex64).tobytes()


def test_acquires_residual_carrier():
    c = track.Costas(bn=0.05, zeta=0.707, tsamps=16)
    tlm = telemetry.Telemetry(1 << 14)
    c.set_telemetry(tlm, "c")
    out = c.steps(bpsk(4000, 16, 0.003))
    assert len(out) == 4000
    assert c.norm_freq == pytest.approx(0.003, abs=5e-5)
    assert c.lock_metric > 0.9 and c.locked
    series = tlm.drain()
    assert set(series) == {"c.lock", "c.e", "c.freq", "c.locked"}
    assert all(len(v) == 4000 for v in series.values())
    first = int(np.argmax(series["c.locked"] > 0))
    assert 0 < first < 4000 and (series["c.locked"][first:] == 1).mean() > 0.99
    # Prompts are the recovered symbols (up to the BPSK sign ambiguity) once locked.
    assert np.abs(out[-500:].real).min() > 0.5


@pytest.fixture
def signal():
    return bpsk(600, 16, 0.002, seed=7)


def test_streaming_properties(signal):
    make = lambda: track.Costas(bn=0.05, tsamps=16, bn_fll=0.01)  # noqa: E731
    run = lambda c, chunk: c.steps(chunk)  # noqa: E731
    final = lambda c: (c.norm_freq, c.lock_metric, c.last_error, c.locked)  # noqa: E731
    assert_chunk_invariant(make, run, signal, final=final, trials=8)
    assert_checkpoint_continues(make, run, signal, cut=16 * 250 + 5, final=final,
                                other=lambda: track.Costas(bn=0.3, tsamps=3, init_norm_freq=0.2))
    assert_reset_reproduces(make, run, signal, final=final)
    assert_frame_behaviour(make)
    assert_set_state_refusals(make, lambda c: c.steps(signal[:160]))


def test_tsamps_zero_is_one_and_partial_symbols_carry():
    x = bpsk(50, 1, 0.0)
    assert track.Costas(tsamps=0).steps(x).tobytes() == track.Costas(tsamps=1).steps(x).tobytes()
    c = track.Costas(tsamps=16)
    assert c.steps(x[:10]).shape == (0,)
    assert c.steps(x[10:40]).shape == (2,)


def test_reset_and_reseeding():
    c = track.Costas(bn=0.05, tsamps=16, init_norm_freq=0.001)
    c.steps(bpsk(500, 16, 0.003))
    assert c.norm_freq != 0.001 and c.lock_metric > 0
    c.reset()
    assert c.norm_freq == 0.001 and c.lock_metric == 0.0 and c.last_error == 0.0 and not c.locked
    c.steps(bpsk(800, 16, 0.003))
    assert c.locked
    c.norm_freq = 0.01  # writing re-seeds there and drops lock
    assert c.norm_freq == 0.01 and not c.locked and c.lock_metric == 0.0
    c.reset()
    assert c.norm_freq == 0.01


def test_configure_and_attributes():
    c = track.Costas(init_norm_freq=0.01)
    c.configure(0.02, 1.0)
    assert c.norm_freq == 0.01 and c.bn == 0.02
    ref = track.Costas(init_norm_freq=0.01)
    ref.configure(0.03, 1.0)
    c.bn = 0.03  # re-derives with the stored zeta
    x = bpsk(200, 64, 0.01)
    assert c.steps(x).tobytes() == ref.steps(x).tobytes()
    assert c.steps_max_out() == 0


def test_fll_off_is_exactly_a_pll(signal):
    pll = track.Costas(tsamps=16)
    toggled = track.Costas(tsamps=16, bn_fll=0.5)
    toggled.bn_fll = 0.0
    assert toggled.bn_fll == 0.0
    assert pll.steps(signal).tobytes() == toggled.steps(signal).tobytes()
    assisted = track.Costas(tsamps=16, bn_fll=0.05)
    assert assisted.steps(signal).tobytes() != track.Costas(tsamps=16).steps(signal).tobytes()


def test_configure_lock_retunes_and_keeps_lock():
    c = track.Costas(tsamps=16)
    c.steps(bpsk(1000, 16, 0.0))
    assert c.locked
    c.configure_lock(0.99, 0.2, 0, 0)  # counts of 0 become 1; lock survives a re-tune
    assert c.locked
    c.configure_lock(1.5, 1.2, 1, 1)  # unreachable drop threshold above: drops on the next dump
    c.steps(bpsk(1, 16, 0.0))
    assert not c.locked


def test_blob_layout_and_telemetry_stay_with_the_object(signal):
    a = track.Costas(tsamps=16)
    tlm = telemetry.Telemetry(1 << 12)
    a.set_telemetry(tlm, "a")
    a.steps(signal[:1600])
    blob = a.get_state()
    assert len(blob) == 232 and blob[:4] == b"CSTS" and blob[4:8] == b"\x03\x00\x01\x00"
    assert blob[8:12] == (232).to_bytes(4, "little") and blob[-24:] == bytes(24)
    assert np.frombuffer(blob[16 + 64:16 + 72], "<u8")[0] == 16
    b = track.Costas(tsamps=16)
    b.set_state(blob)  # b keeps its own (absent) attachment
    tlm.drain()
    assert b.steps(signal[1600:]).tobytes() == a.steps(signal[1600:]).tobytes()
    assert len(tlm.drain()["a.e"]) == (len(signal) - 1600) // 16  # only a emitted
    a.set_state(track.Costas(tsamps=16).get_state())  # a keeps its attachment
    a.steps(signal[:160])
    assert len(tlm.drain()["a.e"]) == 10


class TestSetTelemetry:
    def test_decimation_and_detach(self, signal):
        tlm = telemetry.Telemetry(1 << 12)
        c = track.Costas(tsamps=16)
        c.set_telemetry(tlm._capsule, "c", decim=8)  # a bare capsule works too
        c.steps(signal[:16 * 80])
        assert tlm.written("c.freq") == 10 and tlm.probes() == ["c.lock", "c.e", "c.freq", "c.locked"]
        c.set_telemetry(None, "ignored")
        c.steps(signal)
        assert tlm.written("c.freq") == 10

    @pytest.mark.parametrize("bad,exc,msg", [
        (object(), TypeError, "Telemetry or None, not object"),
        (__import__("types").SimpleNamespace(_capsule=3), TypeError, "Telemetry or None, not types.SimpleNamespace"),
    ])
    def test_bad_context_keeps_previous_attachment(self, signal, bad, exc, msg):
        tlm = telemetry.Telemetry(1 << 12)
        c = track.Costas(tsamps=16)
        c.set_telemetry(tlm, "c")
        with pytest.raises(exc, match=msg):
            c.set_telemetry(bad, "d")
        c.steps(signal[:32])
        assert tlm.written("c.e") == 2

    def test_capsule_of_another_name(self):
        import ctypes
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        other = new(1, b"something.else", None)
        with pytest.raises(TypeError, match="Telemetry or None"):
            track.Costas().set_telemetry(other, "c")

    @pytest.mark.parametrize("prefix,decim,message", [
        ("c", 0, "decim must be between 1 and 2147483647"),
        ("ok", 2**31, "decim must be between 1 and 2147483647"),
        ("p" * 25, 1, "the prefix is 1 characters too long (25 given, at most 24"),
        ("p" * 26, 1, "the prefix is 2 characters too long (26 given, at most 24"),
    ])
    def test_refusals(self, signal, prefix, decim, message):
        tlm, other = telemetry.Telemetry(1 << 12), telemetry.Telemetry(1 << 12)
        c = track.Costas(tsamps=16)
        c.set_telemetry(tlm, "c")
        with pytest.raises(ValueError) as e:
            c.set_telemetry(other, prefix, decim)
        assert message in str(e.value)
        assert other.probes() == []  # all or nothing: no orphan probes
        c.steps(signal[:32])
        assert tlm.written("c.e") == 2 and other.pending() == 0
        c.set_telemetry(other, "p" * 24)  # the longest prefix that fits
        assert other.probes()[-1] == "p" * 24 + ".locked"

    def test_full_probe_table(self, signal):
        tlm = telemetry.Telemetry(1 << 12)
        for i in range(16):
            track.Costas().set_telemetry(tlm, f"o{i}")  # 64 probes: full
        c = track.Costas(tsamps=16)
        with pytest.raises(ValueError, match="set_telemetry failed"):
            c.set_telemetry(tlm, "last")
        assert len(tlm.probes()) == 64  # nothing of the refused attachment is registered
        c.set_telemetry(tlm, "o3")  # re-registering existing names works
        c.steps(signal[:16])
        assert tlm.written("o3.e") == 1

    def test_full_ring_counts_drops(self, signal):
        tlm = telemetry.Telemetry(8)
        c = track.Costas(tsamps=16)
        c.set_telemetry(tlm, "c")
        c.steps(signal[:16 * 10])  # 40 records into a ring of 8
        assert tlm.pending() == 8 and tlm.dropped == 32
        assert len(tlm.drain_records()) == 8 and tlm.pending() == 0
        zero = telemetry.Telemetry(0)
        c.set_telemetry(zero, "z")
        c.steps(signal[:32])
        assert zero.dropped == 8 and all(len(v) == 0 for v in zero.drain().values())


def test_two_threads_match_sequential_runs():
    xs = [bpsk(3000, 16, f, seed=s) for f, s in [(0.002, 1), (-0.001, 2)]]
    make = [lambda: track.Costas(tsamps=16), lambda: track.Costas(tsamps=16, bn=0.02, bn_fll=0.01)]
    sequential = [make[i]().steps(xs[i]) for i in range(2)]
    results = [None, None]

    def work(i):
        c = make[i]()
        results[i] = np.concatenate([c.steps(xs[i][j:j + 4096]) for j in range(0, len(xs[i]), 4096)])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(2):
        assert results[i].tobytes() == sequential[i].tobytes()


class TestOutConventionV:
    def test_out_view(self, signal):
        out = np.zeros(len(signal), np.complex64)
        got = track.Costas(tsamps=16).steps(signal, out=out)
        assert got.shape == (len(signal) // 16,) and np.shares_memory(got, out) and got.base is out
        assert got.tobytes() == track.Costas(tsamps=16).steps(signal).tobytes()
        assert out.shape == (len(signal),)

    def test_out_too_small(self, signal):
        with pytest.raises(ValueError, match=f"^out has 10 elements, need >= {len(signal)}$"):
            track.Costas(tsamps=16).steps(signal, out=np.zeros(10, np.complex64))

    @pytest.mark.parametrize("out", [np.zeros(100, np.complex128), np.zeros(200, np.complex64)[::2], np.zeros(100)])
    def test_out_wrong_type(self, out):
        with pytest.raises(TypeError, match="^out must be a writable"):
            track.Costas().steps(np.zeros(100, np.complex64), out=out)

    def test_fresh_result_is_shrunk_and_independent(self, signal):
        c = track.Costas(tsamps=16)
        a = c.steps(signal[:160])
        b = c.steps(signal[160:320])
        assert a.shape == (10,) and not np.shares_memory(a, b)


def _freq_to_inc(f):
    u = (f - math.floor(f)) * 4294967296.0 if math.isfinite(f) else math.nan
    if not u > 0.0:
        return 0
    return 0xFFFFFFFF if u >= 4294967296.0 else int(u)


def costas_model(x, tsamps, kp, ki, integ, fll_gain, acc=(0.0, 0.0), table=None):
    """The loop written out sample by sample in float32/float64 scalars, its
    phase nudge by the exact expression: prompts, then (norm_freq,
    lock_metric, last_error)."""
    f32 = np.float32
    two_pi = 2.0 * math.pi
    phase, inc = 0, _freq_to_inc(integ / (two_pi * tsamps))
    norm_freq = integ / (two_pi * tsamps)
    ai, aq = f32(acc[0]), f32(acc[1])
    count, prev, lock, err, out = 0, None, 0.0, 0.0, []
    inv = f32(1) / f32(tsamps)
    for v in x:
        k = phase >> 16
        s, c = table[k], table[(k + 16384) % 65536]
        phase = (phase + inc) & 0xFFFFFFFF
        re, im = f32(v.real), f32(v.imag)
        ai = f32(ai + f32(f32(re * c) + f32(im * s)))
        aq = f32(aq + f32(f32(im * c) - f32(re * s)))
        count += 1
        if count < tsamps:
            continue
        pi, pq = ai, aq
        m = f32(f32(math.sqrt(float(pi) ** 2 + float(pq) ** 2)) + f32(1e-12))
        e = f32((pq if pi >= 0 else -pq) / m)
        err = float(e)
        if fll_gain > 0.0 and prev is not None:
            sg = f32(1.0) if pi >= 0 else f32(-1.0)
            sg2 = sg if prev[0] >= 0 else -sg
            cross = f32(sg2 * f32(f32(pq * prev[0]) - f32(pi * prev[1])))
            mr = f32(f32(math.sqrt(float(prev[0]) ** 2 + float(prev[1]) ** 2)) + f32(1e-12))
            integ = integ + float(cross) * fll_gain / (float(mr) * float(m))
        prev = (pi, pq)
        integ = integ + ki * float(e)
        norm_freq = integ / (two_pi * tsamps)
        inc = _freq_to_inc(norm_freq)
        phase = (phase + _freq_to_inc(float(e) * kp / two_pi)) & 0xFFFFFFFF
        lock = lock + 0.1 * (float(f32(abs(pi) / m)) - lock)
        out.append(complex(f32(pi * inv), f32(pq * inv)))
        ai = aq = f32(0.0)
        count = 0
    return np.array(out, np.complex64), (norm_freq, lock, err)


def _gains(c):
    kp, ki, integ = struct.unpack_from("<ddd", c.get_state(), 16 + 16)
    return kp, ki, integ


@pytest.mark.parametrize("kw,acc", [
    (dict(tsamps=1, bn=0.05), None),
    (dict(tsamps=1, bn=0.3, bn_fll=0.05, init_norm_freq=-0.01), None),
    (dict(tsamps=1, bn=0.05), (0.5, -0.25)),  # a restored accumulator: the first dump adds it
    (dict(tsamps=3, bn=0.1, bn_fll=0.02), None),
])
def test_loop_matches_scalar_model(kw, acc):
    """Random samples with exact zeros, negative zeros, prompts too small for
    the 1e-12 to vanish in, and large ones: every prompt and the final state
    bit for bit against the model, whose nudge is the exact expression."""
    g = np.random.default_rng(11)
    n = 3000
    x = (g.standard_normal(n) + 1j * g.standard_normal(n)) * g.choice([1.0, 1e-7, 1e-20, 300.0], n, p=[.7, .1, .1, .1])
    x[g.integers(0, n, 100)] = 0.0
    x[g.integers(0, n, 100)] = complex(-0.0, -0.0)
    x = x.astype(np.complex64)
    c = track.Costas(**kw)
    if acc is not None:
        blob = bytearray(c.get_state())
        struct.pack_into("<ff", blob, 16 + 112, *acc)
        c.set_state(bytes(blob))
    kp, ki, integ = _gains(c)
    fll = 4.0 * kw.get("bn_fll", 0.0)
    want, (freq, lock, err) = costas_model(x, kw["tsamps"], kp, ki, integ, fll, acc or (0.0, 0.0), sine_table())
    got = c.steps(x)
    assert got.tobytes() == want.tobytes()
    assert np.array([c.norm_freq, c.lock_metric, c.last_error]).tobytes() == np.array([freq, lock, err]).tobytes()
