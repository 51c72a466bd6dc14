import math
import warnings

import numpy as np
import pytest

import signals
from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import lox

F32 = np.float32
BITS = [0x3ACEF83C, 0xBB99373B, 0x3C2B19DE, 0xBCA54541, 0x3D12A1E5, 0xBD794F04, 0x3DD53969, 0xBE4A475A, 0x3F21B099]
TABLE = np.frombuffer(np.array(BITS + BITS[::-1] + [0], np.uint32).tobytes(), F32)


def cplx(n, seed, scale=0.5):
    return signals.awgn(n, 2 * scale**2, seed)


# ---------------------------------------------------------------------------
# Independent float32 / integer models of the stages


def fold9(p):
    return (((p[5] + p[1]) + (p[7] + p[3])) + ((p[4] + p[0]) + (p[6] + p[2]))) + p[8]


def halfband_model(x):
    """The complex halfband: one output per input pair, float32 throughout."""
    x = np.asarray(x, np.complex64)
    e, o = x[0::2], x[1::2]
    n = len(o)
    taps = F32(0.5) * TABLE
    pad = 18

    def delayed(v, k):  # v[j - k], zero before the start
        z = np.concatenate([np.zeros(pad, v.dtype), v])
        return z[pad - k: pad - k + n]

    out = []
    for part in (np.real, np.imag):
        ep, op = part(e[:n]).astype(F32), part(o).astype(F32)
        p = [taps[t] * (delayed(op, 18 - t) + delayed(op, t + 1)) for t in range(9)]
        out.append(F32(0.5) * delayed(ep, 9) + fold9(p))
    return (out[0] + 1j * out[1]).astype(np.complex64)


def halfband_r2c_model(x):
    x = np.asarray(x, F32)
    e, o = x[0::2], x[1::2]
    n = len(o)
    taps = TABLE * np.where(np.arange(19) % 2 == 0, F32(0.5), F32(-0.5)).astype(F32)
    pad = 18

    def delayed(v, k):
        z = np.concatenate([np.zeros(pad, F32), v])
        return z[pad - k: pad - k + n]

    q = [taps[t] * (delayed(o, t + 1) - delayed(o, 18 - t)) for t in range(9)]
    im = fold9(q)
    re = (F32(-1.0) * F32(0.5)) * delayed(e[:n], 9)
    sign = np.where(np.arange(n) % 2 == 1, F32(-1), F32(1)).astype(F32)
    re, im = re * sign, im * sign
    return ((re + re) + 1j * (im + im)).astype(np.complex64)


def cic_model(x, r):
    """Fourth-order CIC by r on Q14 offset-binary integers, uint64 wrap-around."""
    x = np.asarray(x, np.complex64)
    shift = 4 * int(math.log2(r))
    out = []
    for part in (np.real, np.imag):
        q = part(x).astype(F32) * F32(16384)
        q = np.where(np.isnan(q), F32(0), q)
        i = np.trunc(np.clip(q, -32768, 32767)).astype(np.int64)
        s = (i + 32768).astype(np.uint64)
        for _ in range(4):
            s = np.cumsum(s, dtype=np.uint64)
        c = s[r - 1::r]
        for _ in range(4):
            c = c - np.concatenate([np.zeros(1, np.uint64), c[:-1]])
        code = (c >> np.uint64(shift)).astype(np.uint16)
        out.append(code.astype(F32) * F32(2.0**-14) - F32(2.0))
    return (out[0] + 1j * out[1]).astype(np.complex64)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_halfband_matches_model(seed):
    x = cplx(2 * 777 + 1, seed)
    got = lox.LOX(norm_freq=0.0, rate=0.5).execute(x)  # the plan is one halfband
    assert got.tobytes() == halfband_model(x).tobytes()


@pytest.mark.parametrize("seed", [0, 1])
def test_cascade_of_two_halfbands_matches_model(seed):
    x = cplx(4 * 500, seed)
    got = lox.LOX(norm_freq=0.0, rate=0.25).execute(x)
    assert got.tobytes() == halfband_model(halfband_model(x)).tobytes()


@pytest.mark.parametrize("r,scale", [(8, 0.5), (32, 0.3), (2048, 0.4), (8, 1.5)])
def test_cic_matches_model(r, scale):
    x = cplx(r * 60, 3, scale)
    d = lox.LOX(norm_freq=0.0, rate=1.0 / r)  # the plan is the CIC alone
    assert d.execute(x).tobytes() == cic_model(x, r).tobytes()
    assert d.clipped == bool(np.any(np.abs(np.concatenate([x.real, x.imag])) * 16384 > 32767))


def test_real_to_complex_halfband_matches_model():
    x = signals.awgn(4 * 300 + 2, 0.3, 4, np.float32)
    got = lox.Loxr(norm_freq=0.0, rate=0.25).execute(x)  # halfband R2C, then one complex halfband
    assert got.tobytes() == halfband_model(halfband_r2c_model(x)).tobytes()


# ---------------------------------------------------------------------------
# The down-converters' cases


def test_tone_tuned_to_dc():
    x = signals.tone(4096, 0.1)
    y = lox.LOX(norm_freq=-0.1, rate=0.25).execute(x)
    assert len(y) == 1024 and np.allclose(np.abs(y[20:]), 1.0, atol=2e-3)
    assert np.std(np.angle(y[20:])) < 1e-3  # at DC: a constant phase
    z = lox.LOX(norm_freq=0.0, rate=0.25).execute_ctrl(x, 0.0, -0.1)
    assert z.tobytes() == y.tobytes()
    c = signals.tone(4096, 0.1, dtype=np.float32)
    r = lox.Loxr(norm_freq=-0.7, rate=0.25).execute(c)
    assert len(r) == 1024 and np.allclose(np.abs(r[40:]), 1.0, atol=2e-3)
    assert lox.LOX(norm_freq=0.1).execute(np.ones(16, np.complex64)).size == 4


@pytest.mark.parametrize("make,n,first,total", [
    (lambda: lox.LOX(norm_freq=-0.1, rate=0.25), 64, [0, 0, 0, 1], 16),
    (lambda: lox.Loxr(norm_freq=-0.7, rate=0.25), 128, [0, 0, 0, 1], 32),
])
def test_push_counts(make, n, first, total):
    d = make()
    x = signals.tone(n, 0.1) if isinstance(d, lox.LOX) else signals.tone(n, 0.1, dtype=np.float32)
    counts = [len(d.execute_ctrl_push(complex(v) if isinstance(d, lox.LOX) else float(v), 0.0, 0.0)) for v in x]
    assert counts[:4] == first and sum(counts) == total


PUSHABLE = [
    lambda: lox.LOX(norm_freq=-0.1, rate=0.1),
    lambda: lox.LOX(norm_freq=0.02, rate=0.3),
    lambda: lox.LOX(norm_freq=0.02, rate=1.7),
    lambda: lox.MatchedLOX(norm_freq=-0.1, rate=2 / 16, pulse="rrc"),
    lambda: lox.Loxr(norm_freq=-0.7, rate=0.15),
    lambda: lox.MatchedLoxr(norm_freq=-0.6875, rate=2 / 16),
]


@pytest.mark.parametrize("make", PUSHABLE, ids=range(len(PUSHABLE)))
def test_push_reproduces_execute_ctrl(make):
    d = make()
    real = isinstance(d, (lox.Loxr, lox.MatchedLoxr))
    x = signals.awgn(1500, 0.5, 6, np.float32 if real else np.complex64)
    ref = d.execute_ctrl(x, 0.003, -0.0007)
    p = make()
    pushed = [p.execute_ctrl_push(float(v) if real else complex(v), 0.003, -0.0007) for v in x]
    assert np.concatenate(pushed).tobytes() == ref.tobytes()


def test_matched_execute_is_execute_ctrl_with_zero_controls_and_plain_is_not():
    x = cplx(3000, 7)
    m = lox.MatchedLOX(norm_freq=-0.1, rate=2 / 16)
    assert m.execute(x).tobytes() == lox.MatchedLOX(norm_freq=-0.1, rate=2 / 16).execute_ctrl(x, 0.0, 0.0).tobytes()
    a = lox.LOX(norm_freq=-0.1, rate=0.1).execute(x)
    b = lox.LOX(norm_freq=-0.1, rate=0.1).execute_ctrl(x, 0.0, 0.0)
    assert a.tobytes() != b.tobytes()  # block decimator against the push engine: both valid


def test_retuning_is_phase_continuous():
    x = np.ones(4096, np.complex64)
    d = lox.LOX(norm_freq=0.01, rate=0.5)
    y1 = d.execute(x[:2048])
    d.norm_freq = 0.02
    assert d.norm_freq == 0.02
    y2 = d.execute(x[2048:])
    y = np.concatenate([y1, y2])
    step = np.abs(np.angle(y[1:] * np.conj(y[:-1])))
    assert step[100:].max() < 2 * np.pi * 0.04 * 2 + 1e-3  # no jump beyond the new frequency's step


# ---------------------------------------------------------------------------
# Refusals and messages

LOX_MSG = ("LOX: invalid parameter (need rate > 0, 0 <= beta <= 1, span >= 1, pulse_sps > 0, num_phases a power of "
           "two >= 2)")
LOXR_MSG = ("Loxr: invalid parameter (need 0 < rate < 0.5, 0 <= beta <= 1, span >= 1, pulse_sps > 0, num_phases a "
            "power of two >= 2)")


@pytest.mark.parametrize("cls,kw,msg", [
    (lox.LOX, dict(rate=0), LOX_MSG), (lox.LOX, dict(rate=-1), LOX_MSG), (lox.LOX, dict(rate=math.nan), LOX_MSG),
    (lox.LOX, dict(rate=math.inf), LOX_MSG), (lox.LOX, dict(rate=1e-300), LOX_MSG), (lox.LOX, dict(rate=1e12), LOX_MSG),
    (lox.Loxr, dict(rate=0.5), LOXR_MSG), (lox.Loxr, dict(rate=0), LOXR_MSG), (lox.Loxr, dict(rate=math.nan), LOXR_MSG),
    (lox.MatchedLOX, dict(num_phases=1000), LOX_MSG), (lox.MatchedLOX, dict(span=0), LOX_MSG),
    (lox.MatchedLOX, dict(beta=1.5), LOX_MSG), (lox.MatchedLOX, dict(pulse_sps=0), LOX_MSG),
    (lox.MatchedLOX, dict(beta=math.nan), LOX_MSG), (lox.MatchedLOX, dict(num_phases=2**62), LOX_MSG),
    (lox.MatchedLOX, dict(span=2**64 - 1), LOX_MSG), (lox.MatchedLOX, dict(pulse_sps=1e15), LOX_MSG),
    (lox.MatchedLoxr, dict(rate=0.6), LOXR_MSG), (lox.MatchedLoxr, dict(num_phases=3), LOXR_MSG),
])
def test_refused_parameters(cls, kw, msg):
    with pytest.raises(ValueError) as e:
        cls(**kw)
    assert str(e.value) == msg


def test_pulse_choice_and_narrow_warning():
    with pytest.raises(ValueError, match="^pulse must be one of \"iandd\", \"rrc\", got 'RRC'$"):
        lox.MatchedLOX(pulse="RRC")
    with pytest.warns(UserWarning, match="barely opens the eye"):
        m = lox.MatchedLOX(pulse="iandd")
    assert m.narrow_pulse
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert not lox.MatchedLOX(pulse="iandd", pulse_sps=4.0).narrow_pulse
        assert not lox.LOX().narrow_pulse
        with pytest.raises(UserWarning):
            lox.MatchedLoxr(pulse="iandd")


def test_rates_read_back():
    assert lox.MatchedLOX(norm_freq=-0.1, rate=2 / 16, pulse="rrc").rate == 0.125
    assert lox.MatchedLoxr(norm_freq=-0.6875, rate=2 / 16).rate == 0.125
    assert lox.LOX().execute_ctrl_push_max_out() == 3
    assert lox.LOX(rate=2.5).execute_ctrl_push_max_out() == 4
    assert lox.Loxr().execute_ctrl_push_max_out() == 3
    assert lox.LOX().execute_max_out(100) == 100 and lox.Loxr().execute_max_out() == 0
    assert lox.LOX(rate=2.5).execute_max_out(100) >= 250


def test_out_rules():
    with pytest.raises(ValueError, match=r"^out has 2 elements, need >= 3$"):
        lox.LOX().execute_ctrl_push(1j, 0.0, 0.0, out=np.zeros(2, np.complex64))
    # A short out would drop input: refused before anything changes (the input
    # length is the bound for the real-input types).
    d = lox.Loxr()
    with pytest.raises(ValueError, match=r"^out has 10 elements, need >= 64$"):
        d.execute(np.ones(64, np.float32), out=np.zeros(10, np.complex64))
    assert d.get_state() == lox.Loxr().get_state()
    out = np.zeros(64, np.complex64)
    y = d.execute(np.ones(64, np.float32), out=out)
    assert len(y) == 16 and np.shares_memory(y, out)


def test_blob_from_another_rate_or_plan():
    a = lox.LOX(rate=0.3)
    a.execute(cplx(100, 1))
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        lox.LOX(rate=0.35).set_state(a.get_state())
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        lox.LOX(rate=0.125).set_state(lox.LOX(rate=0.25).get_state())


def test_damaged_nested_blob_leaves_the_object_whole():
    d = lox.LOX(norm_freq=0.05, rate=0.1)
    d.execute(cplx(999, 2))
    before = d.get_state()
    other = lox.LOX(norm_freq=0.05, rate=0.1)
    other.execute(cplx(555, 3))
    blob = bytearray(other.get_state())
    # LO ("LO__" at 24) is fine; damage the resampler's magic deep in the cascade.
    at = bytes(blob).index(b"RSMP")
    blob[at] ^= 1
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        d.set_state(bytes(blob))
    assert d.get_state() == before


def test_non_finite_samples_never_crash_and_reset_recovers():
    for make in (lambda: lox.LOX(rate=0.1), lambda: lox.MatchedLOX(rate=0.125), lambda: lox.Loxr(rate=0.2)):
        d = make()
        real = isinstance(d, lox.Loxr)
        bad = np.array([np.nan, np.inf, -np.inf, 1e30] * 50, np.float32 if real else np.complex64)
        d.execute(bad)
        d.execute_ctrl(bad, math.nan, math.inf)
        d.execute_ctrl_push(float("nan") if real else complex("nan+nanj"), 1e300, -1e300)
        d.reset()
        x = signals.awgn(400, 0.5, 1, np.float32 if real else np.complex64)
        assert d.execute(x).tobytes() == make().execute(x).tobytes()


# ---------------------------------------------------------------------------
# No input is ever lost


@pytest.mark.parametrize("seed", range(6))
def test_many_calls_equal_one_call_at_random_rates(seed):
    rng = np.random.default_rng(seed)
    rate = float(rng.uniform(0.01, 8.0)) if seed % 2 else float(rng.uniform(1.0, 8.0))
    ctrl = float(rng.uniform(-0.4, 0.4) * min(rate, 1.0))
    x = cplx(3000, seed)
    for method in ("execute", "execute_ctrl"):
        call = (lambda d, c: d.execute(c)) if method == "execute" else (lambda d, c: d.execute_ctrl(c, ctrl, 0.001))
        whole = call(lox.LOX(norm_freq=0.01, rate=rate), x)
        assert abs(len(whole) - len(x) * (rate + (ctrl if method == "execute_ctrl" else 0))) < 30 * max(rate, 1)
        d = lox.LOX(norm_freq=0.01, rate=rate)
        cuts = np.sort(rng.integers(0, len(x), 12))
        parts = [call(d, c) for c in np.split(x, cuts)]
        assert np.concatenate(parts).tobytes() == whole.tobytes(), (rate, method)


def test_upsampling_block_consumes_every_input():
    x = cplx(1000, 4)
    y = lox.LOX(rate=2.5).execute(x)
    assert abs(len(y) - 2500) <= 3
    out = np.zeros(lox.LOX(rate=2.5).execute_max_out(1000), np.complex64)
    assert lox.LOX(rate=2.5).execute(x, out=out).tobytes() == y.tobytes()


# ---------------------------------------------------------------------------
# Streaming properties of all four types

TYPES = [
    (lambda: lox.LOX(norm_freq=0.03, rate=0.1), False),
    (lambda: lox.LOX(norm_freq=0.03, rate=0.25), False),
    (lambda: lox.Loxr(norm_freq=-0.7, rate=0.15), True),
    (lambda: lox.MatchedLOX(norm_freq=-0.02, rate=0.125, pulse="rrc", span=4, num_phases=64), False),
    (lambda: lox.MatchedLoxr(norm_freq=-0.6, rate=0.125, pulse="rrc", span=4, num_phases=64), True),
]


@pytest.mark.parametrize("make,real", TYPES, ids=range(len(TYPES)))
def test_streaming_properties(make, real):
    x = signals.awgn(2400, 0.5, 9, np.float32 if real else np.complex64)
    for run in (lambda d, c: d.execute(c), lambda d, c: d.execute_ctrl(c, 0.002, 0.0005)):
        assert_chunk_invariant(make, run, x, trials=4)
        assert_checkpoint_continues(make, run, x, cut=1001)
        assert_reset_reproduces(make, run, x)
    assert_frame_behaviour(make)
    assert_set_state_refusals(make, lambda d: d.execute(x[:500]))


def test_close_is_destroy_on_real_input_types():
    d = lox.Loxr()
    d.close()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        d.reset()
    assert not hasattr(lox.LOX(), "close")


def test_blob_layout():
    d = lox.LOX(norm_freq=0.1, rate=0.25)
    b = d.get_state()
    assert b[:4] == b"LOX_" and np.frombuffer(b[16:24], "<f8")[0] == 0.25
    assert b[24:28] == b"LO__" and b[44:48] == b"RSFC" and b[60:64] == b"HBDC"
    assert len(b) == 16 + 8 + 20 + 16 + 2 * 1068
    r = lox.Loxr(rate=0.2).get_state()
    assert r[:4] == b"LOXR" and r[24:28] == b"HBR2" and r[580:584] == b"LO__"


# ---------------------------------------------------------------------------
# Alias rejection


def response_db(make, f, n=1 << 14):
    y = make().execute(signals.tone(n, f))[300:]
    return 10 * np.log10(np.mean(np.abs(y) ** 2) + 1e-30)


@pytest.mark.parametrize("rate,edge", [(0.25, 0.155), (0.3, 0.18)])
def test_alias_rejection(rate, edge):
    """Tones outside the output band (beyond the transition band) come out at
    least 60 dB down; in the passband the gain is flat."""
    make = lambda: lox.LOX(rate=rate)  # noqa: E731
    worst = max(response_db(make, f) for f in np.linspace(edge, 0.5, 40))
    assert worst < -60.0
    assert abs(response_db(make, 0.3 * rate)) < 0.05


@pytest.mark.parametrize("make", [
    lambda: lox.LOX(0.1, 0.25), lambda: lox.LOX(0.0, 0.3), lambda: lox.LOX(0.3, 0.01), lambda: lox.LOX(-0.2, 0.7),
    lambda: lox.Loxr(0.1, 0.3), lambda: lox.MatchedLOX(0.05, 0.3, span=2, pulse_sps=2.0),
    lambda: lox.MatchedLOX(0.0, 0.45, span=3, pulse_sps=4.0), lambda: lox.MatchedLOX(0.0, 0.2, span=8, pulse_sps=4.0),
    lambda: lox.MatchedLoxr(0.1, 0.3, span=4, pulse_sps=2.0), lambda: lox.MatchedLOX(0.0, 0.7, span=1, pulse_sps=2.0),
], ids=["decimate-4", "resample-0.3 (19 taps an arm)", "resample-0.01 (up)", "resample-0.7", "real",
        "matched (29 taps)", "matched (56 taps)", "matched (322 taps)", "matched-real", "matched (8 taps)"])
def test_every_instruction_set_gives_the_same_bits(make):
    """The SIMD paths (mixing, halfbands, the resampler's spread and its
    register-held partial sums) against the scalar path: the same outputs
    under random chunkings, and the same blobs mid-stream."""
    import tamberl
    rng = np.random.default_rng(4)
    x = (rng.standard_normal(20011) + 1j * rng.standard_normal(20011)).astype(np.complex64)
    x[100:140] = 0  # runs of exact zeros, and a -0
    x[141] = complex(-0.0, -0.0)
    if "Loxr" in type(make()).__name__:
        x = x.real.copy()
    cuts = np.sort(rng.choice(len(x), 9, replace=False))
    before = tamberl.isa()
    got, blobs = [], set()
    try:
        for name in ("scalar", "sse2", "avx2"):
            tamberl.isa(name)
            d = make()
            parts = [d.execute(c) for c in np.split(x, cuts)]
            blobs.add(d.get_state())
            got.append(np.concatenate(parts).tobytes())
    finally:
        tamberl.isa(before)
    assert got[0] == got[1] == got[2] and len(blobs) == 1


def resampler_dot_model(taps, x):
    """y_j = sum_k taps[k] x[j-1-k] (one input of delay, zeros before the
    start) in the resampler's order: eight running sums over the first
    8 floor(K/8) products, combined ((s5 + s1) + (s7 + s3)) + ((s4 + s0) + (s6 + s2)),
    then each remaining product added in turn; real and imaginary parts alike."""
    k = len(taps)
    h = np.concatenate([np.zeros(k + 1, np.complex64), x])

    def part(v):
        p = [F32(taps[i]) * v[k - i: k - i + len(x)] for i in range(k)]  # products with x[j-1-i]
        if k < 8:
            acc = np.zeros(len(x), F32)
        else:
            s = [np.zeros(len(x), F32) for _ in range(8)]
            for b in range(k // 8):
                for lane in range(8):
                    s[lane] = s[lane] + p[8 * b + lane]
            acc = ((s[5] + s[1]) + (s[7] + s[3])) + ((s[4] + s[0]) + (s[6] + s[2]))
        for i in range(8 * (k // 8), k):
            acc = acc + p[i]
        return acc

    return (part(h.real.astype(F32)) + 1j * part(h.imag.astype(F32))).astype(np.complex64)


@pytest.mark.parametrize("isa", ["scalar", "sse2", "avx2"])
@pytest.mark.parametrize("make,k", [
    (lambda: lox.LOX(0.0, 1.0), 19),  # two blocks of eight and three more
    (lambda: lox.MatchedLOX(0.0, 1.0, pulse="rrc", pulse_sps=4.0, span=8), 66),  # wide enough for the AVX2 form
    (lambda: lox.MatchedLOX(0.0, 1.0, pulse="rrc", pulse_sps=8.0, span=8), 130),
], ids=["19 taps", "66 taps", "130 taps"])
def test_resampler_dot_product_matches_model(isa, make, k):
    """At rate 1 the resampler is one arm of direct-form dot products, and
    its taps are the impulse response.  Every output bit for bit against
    the model, on each path."""
    import tamberl
    before = tamberl.isa()
    try:
        tamberl.isa(isa)
        imp = np.zeros(400, np.complex64)
        imp[0] = 1
        h = make().execute(imp).real
        taps = h[1:1 + k]
        x = cplx(3000, 9, scale=3.0)
        got = make().execute(x)
    finally:
        tamberl.isa(before)
    assert np.count_nonzero(h) == k and np.all(taps != 0)
    assert got.tobytes() == resampler_dot_model(taps, x).tobytes()
