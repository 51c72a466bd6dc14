import ctypes
import ctypes.util
import math

import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import sig

F32 = np.float32
C64 = np.complex64
M64 = (1 << 64) - 1

# glibc's single-precision logf/sinf/cosf are not correctly rounded everywhere,
# so the models call the very same functions rather than NumPy's.
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("logf", "sinf", "cosf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def logf(x):
    return F32(_libm.logf(float(x)))


# ---------------------------------------------------------------------------
# Independent models of the registers


def pn_model(poly, seed, length, n, lfsr="galois"):
    mask = M64 if length == 64 else (1 << length) - 1
    poly &= mask
    reg = seed & mask
    taps = ((poly << 1) | 1) & mask
    out = []
    for _ in range(n):
        chip = reg & 1
        out.append(chip)
        if lfsr == "galois":
            reg = ((reg >> 1) ^ (poly if chip else 0)) & mask
        else:
            fb = bin(reg & taps).count("1") & 1
            reg = (reg >> 1) | (fb << (length - 1))
    return np.array(out, np.uint8)


def gold_model(ta, sa, tb, sb, length, n):
    mask = M64 if length == 64 else (1 << length) - 1
    a, b, ta, tb = sa & mask, sb & mask, ta & mask, tb & mask
    out = []
    for _ in range(n):
        out.append(((a ^ b) >> (length - 1)) & 1)
        fa, fb = bin(a & ta).count("1") & 1, bin(b & tb).count("1") & 1
        a, b = ((a << 1) | fa) & mask, ((b << 1) | fb) & mask
    return np.array(out, np.uint8)


@pytest.mark.parametrize("kw, first", [
    (dict(poly=96, seed=1, length=7), [1, 0, 0, 0, 0, 0, 1, 1]),
    (dict(poly=96, seed=1, length=7, lfsr="fibonacci"), [1, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 0, 1]),
])
def test_pn_worked_sequences(kw, first):
    p = sig.PN(**kw)
    period = p.generate(127)
    assert period[:len(first)].tolist() == first
    assert period.dtype == np.uint8 and int(period.sum()) == 64
    assert np.array_equal(p.generate(127), period)  # period 127
    p.reset()
    assert np.array_equal(p.generate(127), period)


def test_gold_default_family_member():
    g = sig.Gold()
    c = g.generate(1023)
    assert c[:15].tolist() == [0, 1, 0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1]
    assert int(c.sum()) == 512
    assert np.array_equal(g.generate(1023), c)
    assert np.array_equal(c, gold_model(934, 350, 567, 73, 10, 1023))


@pytest.mark.parametrize("seed", range(6))
def test_registers_match_the_model_on_random_parameters(seed):
    rng = np.random.default_rng(seed)
    for _ in range(8):
        length = int(rng.integers(1, 65))
        mask = M64 if length == 64 else (1 << length) - 1
        poly = int(rng.integers(0, 1 << 63)) & mask
        s = (int(rng.integers(1, 1 << 63)) & mask) or 1
        used = poly or (sig.mls_poly(length) if length >= 2 else 0)  # poly 0 means the table's
        for lfsr in ("galois", "fibonacci"):
            assert np.array_equal(sig.PN(poly=poly, seed=s, length=length, lfsr=lfsr).generate(300),
                                  pn_model(used, s, length, 300, lfsr))
        ta, tb = int(rng.integers(0, 1 << 63)), int(rng.integers(0, 1 << 63))
        sa, sb = (int(rng.integers(1, 1 << 63)) & mask) or 1, (int(rng.integers(1, 1 << 63)) & mask) or 1
        assert np.array_equal(sig.Gold(taps_a=ta, seed_a=sa, taps_b=tb, seed_b=sb, length=length).generate(300),
                              gold_model(ta, sa, tb, sb, length, 300))


@pytest.mark.parametrize("n", [2, 3, 5, 7, 10, 13, 16])
def test_mls_table_gives_maximal_length_in_both_realizations(n):
    period = (1 << n) - 1
    for lfsr in ("galois", "fibonacci"):
        c = sig.PN(seed=1, length=n, lfsr=lfsr).generate(2 * period)
        assert np.array_equal(c[:period], c[period:])
        assert int(c[:period].sum()) == 1 << (n - 1)
        # no shorter period: the register visits every non-zero state
        assert all(not np.array_equal(c[:period - d], c[d:period]) for d in (1, period // 3 or 1))


def test_pn_edges():
    assert sig.mls_poly(7) == 0x41 and sig.mls_poly(64) == 0x800000000000000D
    assert [sig.mls_poly(n) for n in (0, 1, 65, -1)] == [0, 0, 0, 0]
    with pytest.raises(MemoryError, match="^pn_create returned NULL$"):
        sig.PN()
    with pytest.raises(ValueError, match="^lfsr must be one of \"galois\", \"fibonacci\", got 'x'$"):
        sig.PN(seed=1, length=7, lfsr="x")
    one = sig.PN(seed=1, length=1)  # no table below length 2: an all-zero mask
    assert one.generate(5).tolist() == [1, 0, 0, 0, 0]
    p64 = sig.PN(seed=1, length=64)
    assert np.array_equal(p64.generate(200), pn_model(0x800000000000000D, 1, 64, 200))
    p = sig.PN(seed=5, length=9)
    before = p.get_state()
    e = p.generate(0)
    assert e.shape == (0,) and e.dtype == np.uint8 and p.get_state() == before
    assert p.generate_max_out() == 0 and sig.Gold().generate_max_out() == 0
    assert p.state_bytes() == 24 and sig.Gold().state_bytes() == 32
    # the default count is one chip
    assert p.generate().shape == (1,)


@pytest.mark.parametrize("make", [lambda: sig.PN(seed=0x80, length=7), lambda: sig.Gold(seed_a=1 << 10),
                                  lambda: sig.Gold(seed_b=0), lambda: sig.PN(seed=1, length=65)])
def test_seeds_without_a_bit_in_the_register_are_refused(make):
    # A seed masked to zero would emit zeros forever: refused like a zero seed.
    with pytest.raises(MemoryError, match="create returned NULL$"):
        make()


def test_generate_into_out_shares_memory_and_checks_size():
    p = sig.PN(seed=3, length=11)
    ref = sig.PN(seed=3, length=11).generate(40)
    buf = np.full(64, 7, np.uint8)
    got = p.generate(40, out=buf)
    assert np.shares_memory(got, buf) and np.array_equal(got, ref) and (buf[40:] == 7).all()
    with pytest.raises(ValueError, match="^out has 10 elements, need >= 11$"):
        p.generate(11, out=np.zeros(10, np.uint8))
    with pytest.raises(TypeError):
        p.generate(4, out=np.zeros(8, np.int16))


@pytest.mark.parametrize("make", [lambda: sig.PN(seed=9, length=17, lfsr="fibonacci"), lambda: sig.Gold()])
def test_generators_stream_checkpoint_and_refuse_bad_blobs(make):
    x = np.zeros(3000)
    run = lambda o, c: o.generate(len(c))  # noqa: E731
    assert_chunk_invariant(make, run, x)
    assert_checkpoint_continues(make, run, x)
    assert_reset_reproduces(make, run, x)
    assert_set_state_refusals(make, lambda o: o.generate(64))
    assert_frame_behaviour(make)


def test_pn_register_outside_its_width_is_refused():
    p = sig.PN(seed=1, length=7)
    blob = bytearray(p.get_state())
    blob[16] = 0x80
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        p.set_state(bytes(blob))
    blob[16] = 0  # a zero register is a state the caller asked for
    p.set_state(bytes(blob))
    assert not p.generate(16).any()


# ---------------------------------------------------------------------------
# AWGN: an integer/float32 model of the generator


def _mix(z):
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9 & M64
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB & M64
    return z ^ (z >> 31)


def _rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


_TABLE = None


def sine_table():
    global _TABLE
    if _TABLE is None:
        c = np.frombuffer(np.uint32(0x38C90FDB).tobytes(), F32)[0]
        args = np.arange(65536, dtype=F32) * c
        _TABLE = np.array([_libm.sinf(float(a)) for a in args], F32)
    return _TABLE


def awgn_model(seed, amp, n):
    g = 0x9E3779B97F4A7C15
    s = [_mix((seed + (i + 1) * g) & M64) for i in range(4)]

    def nxt():
        r = (_rotl((s[0] + s[3]) & M64, 23) + s[0]) & M64
        t = (s[1] << 17) & M64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = _rotl(s[3], 45)
        return r

    tab, amp = sine_table(), F32(amp)
    out = np.empty(n, C64)
    for i in range(n):
        r1, r2 = nxt(), nxt()
        u = F32((r1 >> 40) + 1) * F32(2.0**-24)
        radius = np.sqrt(F32(-2.0) * logf(u)) * amp
        k = r2 >> 48
        out[i] = complex(radius * tab[(k + 16384) % 65536], radius * tab[k])
    return out


def synth_amp(snr_fs):
    return np.sqrt(F32(10.0) ** (F32(snr_fs) * F32(-0.1)) * F32(0.5))


@pytest.mark.parametrize("seed", [0, 1, 0xFFFFFFFF])
def test_noise_is_bit_exact_against_the_model(seed):
    s = sig._SynthEngine(type="noise", seed=seed)
    got = s.steps(3000)
    ref = awgn_model(seed, 0.70710677, 3000)
    assert got.view(np.uint64).tolist() == ref.view(np.uint64).tolist()
    s.reset()
    assert np.array_equal(np.array([s.step() for _ in range(50)], C64), ref[:50])


def test_noise_statistics():
    z = sig._SynthEngine(type="noise", seed=7).steps(1_000_000)
    for part in (z.real, z.imag):
        assert abs(part.std() / 0.70710677 - 1) < 0.01
        assert abs(part.mean()) < 0.01
    assert abs(np.mean(z.real * z.imag)) < 0.01


def chirp_model(f0, f1, span, n, cur, noise, block):
    """The chirp's carrier and output, with the step or the block rounding order."""
    phase, slope = 0.0, (f1 - f0) / span
    c = np.empty(n, C64)
    for i in range(n):
        th = F32(phase * 2 * math.pi)
        c[i] = complex(_libm.cosf(float(th)), _libm.sinf(float(th)))
        phase += f0 + min(i, span) * slope
        phase -= math.floor(phase)
    sr, si = F32(cur.real), F32(cur.imag)
    cr, ci, nr, ni = c.real, c.imag, noise.real, noise.imag
    if block:
        re, im = (sr * cr - si * ci) + nr, (si * cr + sr * ci) + ni
    else:
        re, im = (nr + sr * cr) - si * ci, (cr * si + ci * sr) + ni
    return (re + 1j * im).astype(C64)


def test_chirp_with_noise_follows_both_rounding_orders():
    fs, f0, f1, span, n = 1e6, 1e3, 2.5e5, 700, 3000
    cur = complex(F32(0.6), F32(0.8))

    def make():
        s = sig._SynthEngine(type="chirp", fs=fs, freq=f0, f_end=f1, snr=12.0, seed=5)
        s.set_chirp_span(span)
        s.set_cur_re(cur.real)
        s.set_cur_im(cur.imag)
        return s

    noise = awgn_model(5, synth_amp(12.0), n)
    block = make().steps(n)
    single = np.array([x for s in [make()] for x in (s.step() for _ in range(n))], C64)
    assert np.array_equal(block, chirp_model(f0 / fs, f1 / fs, span, n, cur, noise, True))
    assert np.array_equal(single, chirp_model(f0 / fs, f1 / fs, span, n, cur, noise, False))
    d = np.abs(block - single)
    assert (d <= 2.5e-7 * np.maximum(np.abs(block), 1)).all() and (d > 0).any()


@pytest.mark.parametrize("kw, signal_power", [
    (dict(type="bpsk", sps=8), 1.0),
    (dict(type="qpsk", sps=4), 1.0),
    (dict(type="tone", freq=1.23e5), 1.0),
])
@pytest.mark.parametrize("mode", ["auto", "fs", "esno", "ebno"])
def test_snr_is_what_was_asked(kw, signal_power, mode):
    snr, n = 7.0, 200_000
    nsps = kw.get("sps", 8)
    k = 2 if kw["type"] == "qpsk" else 1
    ref = {"fs": snr, "esno": snr - 10 * math.log10(nsps),
           "ebno": snr + 10 * (math.log10(k) - math.log10(nsps))}
    auto = "esno" if kw["type"] in ("bpsk", "qpsk") else "fs"
    want = ref[auto if mode == "auto" else mode]
    noisy = sig._SynthEngine(snr_mode=mode, snr=snr, seed=3, **kw).steps(n)
    clean = sig._SynthEngine(snr_mode=mode, snr=100.0, seed=3, **kw).steps(n)
    p_sig = np.mean(np.abs(clean.astype(complex)) ** 2)
    p_noise = np.mean(np.abs(noisy.astype(complex) - clean) ** 2)
    assert abs(p_sig - signal_power) < 1e-5
    assert abs(10 * math.log10(p_sig / p_noise) - want) < 0.1


def test_noise_amplitude_for_bpsk_auto():
    snr = 6.0
    amp = np.sqrt(F32(10.0) ** (F32(snr - 10 * math.log10(8)) * F32(-0.1)) * F32(0.5))
    s = sig._SynthEngine(type="bpsk", snr=snr, seed=2)
    clean = sig._SynthEngine(type="bpsk", snr=100.0, seed=2).steps(64)
    # the bpsk signal is real, so the imaginary part is the noise alone
    assert np.array_equal(s.steps(64).imag, (clean.imag + awgn_model(2, amp, 64).imag).astype(F32))


# ---------------------------------------------------------------------------
# Synthesiser: worked cases, sources, shaping


def test_synth_worked_cases():
    s = sig._SynthEngine(type="tone", fs=1.0, freq=0.0, snr=100.0)
    out = s.steps(4)
    assert out.dtype == C64 and out.tolist() == [1 + 0j] * 4
    v = s.step()
    assert type(v) is complex and v == 1 + 0j
    assert type(s).__name__ == "_SynthEngine" and type(s).__module__ == "siggen"
    q = sig._SynthEngine(type="qpsk", sps=4, seed=1)
    a = q.steps(16)
    q.reset()
    assert np.array_equal(q.steps(16), a)
    assert q.steps(0).shape == (0,)
    n = sig._SynthEngine(type="noise", snr=100.0)
    assert n.state_bytes() == 83 + 304
    assert (sig._SynthEngine(type="bpsk", snr=99.9).state_bytes()
            - sig._SynthEngine(type="bpsk", snr=100.0).state_bytes()) == 304


@pytest.mark.parametrize("kw, msg", [
    (dict(type="x"), "type must be one of \"tone\", \"noise\", \"pn\", \"bpsk\", \"qpsk\", \"chirp\", \"bits\", "
                     "\"symbols\", \"dsss\", got 'x'"),
    (dict(snr_mode="db"), "snr_mode must be one of \"auto\", \"fs\", \"ebno\", \"esno\", got 'db'"),
    (dict(lfsr="gal"), "lfsr must be \"galois\" or \"fibonacci\", got 'gal'"),
    (dict(snr=float("nan")), "snr must be a number of dB, got nan"),
])
def test_synth_constructor_refusals(kw, msg):
    with pytest.raises(ValueError) as e:
        sig._SynthEngine(**kw)
    assert str(e.value) == msg


@pytest.mark.parametrize("kw, ok", [
    (dict(type="pn", pn_length=1), False),
    (dict(type="bpsk", pn_length=70), False),
    (dict(type="dsss", pn_length=1), True),
    (dict(type="tone", pn_length=1), True),
])
def test_synth_pn_register_requirements(kw, ok):
    if ok:
        assert sig._SynthEngine(**kw).state_bytes() == 83
    else:
        with pytest.raises(MemoryError, match="^sig_synth_create returned NULL$"):
            sig._SynthEngine(**kw)


@pytest.mark.parametrize("wtype, m", [("pn", 1), ("bpsk", 1), ("qpsk", 2)])
def test_pn_driven_symbols_follow_the_register(wtype, m):
    sps, nsym = 3, 60
    out = sig._SynthEngine(type=wtype, sps=sps, seed=11, pn_length=9, lfsr="fibonacci").steps(sps * nsym)
    chips = pn_model(sig.mls_poly(9), 11, 9, m * nsym, "fibonacci")
    if m == 1:
        ref = (1 - 2 * chips.astype(F32)).astype(C64)
    else:
        a = F32(0.70710677)
        ref = (np.where(chips[0::2], -a, a) + 1j * np.where(chips[1::2], -a, a)).astype(C64)
    assert np.array_equal(out, np.repeat(ref, sps))
    # the default polynomial of a 7-stage bpsk source is 0x41
    b = sig._SynthEngine(type="bpsk", sps=1, seed=1).steps(127).real
    assert np.array_equal(b, 1 - 2 * pn_model(0x41, 1, 7, 127).astype(F32))


def gray_decode(g):
    v, s = g, g >> 1
    while s:
        v ^= s
        s >>= 1
    return v


@pytest.mark.parametrize("mod", [0, 1, 2])
def test_bit_pattern_source(mod):
    pattern = np.array([1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1], np.uint8)  # odd length: pairs straddle the wrap
    s = sig._SynthEngine(type="bits", sps=2)
    s.set_bits(pattern * 5, modulation=mod)  # non-zero bytes are ones
    nsym = 40
    out = s.steps(2 * nsym)
    bits = np.resize(pattern, max(mod, 1) * nsym)
    ref = []
    for i in range(nsym):
        if mod == 0:
            ref.append(complex(bits[i], 0))
            continue
        g = 0
        for b in bits[mod * i: mod * i + mod]:
            g = (g << 1) | int(b)
        phi = 2 * math.pi * gray_decode(g) / (1 << mod) + (math.pi / 4 if mod == 2 else 0)
        ref.append(complex(F32(math.cos(phi)), F32(math.sin(phi))))
    assert np.array_equal(out, np.repeat(np.array(ref, C64), 2))


def test_symbol_stream_and_configuration_calls():
    syms = [1 + 2j, -3j, 0.5]
    s = sig._SynthEngine(type="symbols", sps=2)
    assert not s.steps(4).any()  # nothing attached yet
    s.set_symbols([1, 2])  # ints are cast
    s.set_symbols(np.array(syms, complex))
    assert np.array_equal(s.steps(12), np.repeat(np.array(syms * 2, C64), 2))
    for call, msg in [(lambda: s.set_symbols([]), "set_symbols: empty stream or not a symbols synth"),
                      (lambda: s.set_rrc([]), "set_rrc: empty taps or alloc failed")]:
        with pytest.raises(ValueError, match=f"^{msg}$"):
            call()
    b = sig._SynthEngine(type="bits")
    for pattern, mod in [([1, 0], 3), ([], 1), ([1], -1)]:
        with pytest.raises(ValueError, match="^set_bits: empty pattern, modulation not in 0..2, or not a bits synth$"):
            b.set_bits(pattern, modulation=mod)
    with pytest.raises(ValueError, match="^set_nsps: nsps must be >= 1$"):
        b.set_nsps(0)
    # a configuration call meant for another type does nothing and reports success
    t = sig._SynthEngine(type="tone", freq=1e4)
    blob = t.get_state()
    t.set_bits([1, 0], modulation=1)
    t.set_symbols([1j])
    t.set_rrc([1.0, 0.5])
    t.set_chirp_span(10)
    assert t.get_state() == blob
    # overriding the type does not add sub-objects: a PN-driven type without
    # a register emits zero symbols
    t.set_wtype(3)
    assert t.get_wtype() == 3 and not t.steps(8).any()


@pytest.mark.parametrize("pos", [-4, 0, 2, 3, 9])
def test_any_symbol_position_follows_the_step_rule(pos):
    """The setters store unvalidated; from any position the block path takes
    the steps single steps take (count up to 0, wrap to 0 from >= nsps)."""
    def make():
        s = _bits(2)()
        s.set_sym_pos(pos)
        return s
    single = make()
    ref = np.array([single.step() for _ in range(40)], C64)
    p = pos
    for _ in range(40):
        p = p + 1 if p + 1 < 3 else 0
    assert single.get_sym_pos() == p
    for cuts in ([40], [1, 39], [5, 0, 7, 28]):
        s = make()
        assert np.array_equal(np.concatenate([s.steps(k) for k in cuts]), ref)
        assert s.get_sym_pos() == p and s.get_state() == single.get_state()


def test_chirp_span_and_setters():
    fs, f0, f1 = 1e6, 1e4, 1e5
    plain = sig._SynthEngine(type="chirp", fs=fs, freq=f0, f_end=f1)
    tone = np.exp(2j * np.pi * f0 / fs * np.arange(500))
    assert np.abs(plain.steps(500) - tone).max() < 1e-3  # never pinned: a tone at freq
    s = sig._SynthEngine(type="chirp", fs=fs, freq=f0, f_end=f1)
    s.set_chirp_span(0)  # no-op
    s.set_chirp_span(100)
    s.set_chirp_span(300)  # already pinned: ignored
    z = s.steps(400)
    inst = np.angle(z[1:] * np.conj(z[:-1])) / (2 * np.pi)
    ref = f0 / fs + np.minimum(np.arange(399), 100) * (f1 - f0) / fs / 100
    assert np.abs(inst - ref).max() < 1e-4
    for name, value in [("nsps", 5), ("sym_pos", 3), ("cur_re", 0.25), ("cur_im", -2.0), ("wtype", 7)]:
        getattr(s, "set_" + name)(value)
        assert getattr(s, "get_" + name)() == value


def upsampled(syms, L, n):
    u = np.zeros(len(syms) * L, complex)
    u[::L] = syms
    return u[:n]


@pytest.mark.parametrize("sps", [1, 2, 8, 6, 3])
def test_pulse_shaping_is_the_upsampled_convolution(sps):
    """Powers of two go through the polyphase interpolator (primed, so no
    latency), the others through the FIR; both equal the convolution of the
    impulse train with the taps scaled by sqrt(sps)."""
    rng = np.random.default_rng(sps)
    syms = (rng.choice([-1, 1], 37) + 1j * rng.choice([-1, 1], 37)).astype(C64)
    taps = sig.rrc_taps(0.35, sps, 4)
    s = sig._SynthEngine(type="symbols", sps=sps)
    s.set_symbols(syms)
    s.set_rrc(taps)
    n = 30 * sps
    got = s.steps(n)
    ref = np.convolve(upsampled(np.tile(syms, 2), sps, 80 * sps), taps.astype(float) * np.sqrt(F32(sps)))[:n]
    assert np.abs(got - ref).max() < 2e-6
    s.reset()
    assert np.array_equal(s.steps(n), got)  # priming repeats after reset
    shaper = 40 + 0 if sps & (sps - 1) == 0 else 8
    assert s.state_bytes() > 83 + shaper


def test_steps_returns_exactly_n_with_polyphase_shaping():
    s = sig._SynthEngine(type="qpsk", sps=8, seed=4)
    s.set_rrc(sig.rrc_taps(0.5, 8, 6))
    whole = sig._SynthEngine(type="qpsk", sps=8, seed=4)
    whole.set_rrc(sig.rrc_taps(0.5, 8, 6))
    parts = [s.steps(k) for k in (10, 1, 0, 3, 2100, 7)]
    assert [len(p) for p in parts] == [10, 1, 0, 3, 2100, 7]
    assert np.array_equal(np.concatenate(parts), whole.steps(2121))


def _shaped(kind, sps, **kw):
    def make():
        s = sig._SynthEngine(type=kind, sps=sps, seed=9, **kw)
        s.set_rrc(sig.rrc_taps(0.35, sps, 5))
        return s
    return make


def _bits(mod):
    def make():
        s = sig._SynthEngine(type="bits", sps=3, snr=10.0, seed=2)
        s.set_bits(np.random.default_rng(mod).integers(0, 2, 101), modulation=mod)
        return s
    return make


def _symbols():
    s = sig._SynthEngine(type="symbols", sps=5, freq=3e4)
    s.set_symbols(np.exp(1j * np.arange(13)))
    return s


def _chirp():
    s = sig._SynthEngine(type="chirp", freq=-2e4, f_end=3e5, snr=20.0, seed=1)
    s.set_chirp_span(1500)
    return s


SYNTHS = {
    "tone LO": lambda: sig._SynthEngine(type="tone", freq=1.7e5),
    "tone noisy": lambda: sig._SynthEngine(type="tone", freq=-3e3, snr=3.0, seed=8),
    "noise": lambda: sig._SynthEngine(type="noise", seed=12),
    "pn": lambda: sig._SynthEngine(type="pn", sps=3, pn_length=11, snr=0.0),
    "bpsk": lambda: sig._SynthEngine(type="bpsk", freq=5e4, snr=4.0, snr_mode="ebno"),
    "qpsk rrc sps8": _shaped("qpsk", 8, snr=9.0, freq=2e4),
    "bpsk rrc sps6 fir": _shaped("bpsk", 6, snr=5.0),
    "chirp span": _chirp,
    "bits mod0": _bits(0),
    "bits mod1": _bits(1),
    "bits mod2": _bits(2),
    "symbols": _symbols,
}


@pytest.mark.parametrize("name", SYNTHS)
def test_synth_streams_checkpoints_and_resets(name):
    make = SYNTHS[name]
    x = np.zeros(5000)
    run = lambda o, c: o.steps(len(c))  # noqa: E731
    final = lambda o: o.get_state()  # noqa: E731
    assert_chunk_invariant(make, run, x, trials=3, final=final)
    for cut in (0, 1, 2047, 2049, 3333):
        assert_checkpoint_continues(make, run, x, cut=cut, final=final)
    assert_reset_reproduces(make, run, x, final=final)


@pytest.mark.parametrize("name", ["qpsk rrc sps8", "bpsk rrc sps6 fir", "chirp span", "noise"])
def test_synth_blob_refusals(name):
    make = SYNTHS[name]
    assert_set_state_refusals(make, lambda o: o.steps(300))
    assert_frame_behaviour(make)


def test_synth_blob_must_match_the_record():
    noisy, clean = sig._SynthEngine(type="bpsk", snr=5.0), sig._SynthEngine(type="bpsk")
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        clean.set_state(noisy.get_state())
    s = _bits(1)()
    blob = bytearray(s.get_state())
    blob[28:36] = (1000).to_bytes(8, "little")  # read position past the 101-bit pattern
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        s.set_state(bytes(blob))
    t = SYNTHS["tone LO"]()
    blob = bytearray(t.get_state())
    blob[78 + 2] = 0  # claims no LO while the record has one
    with pytest.raises(ValueError):
        t.set_state(bytes(blob))


# ---------------------------------------------------------------------------
# Helpers


def rrc_ref(t, b):
    t = np.asarray(t, float)
    out = np.empty_like(t)
    for i, ti in enumerate(t):
        if abs(ti) < 1e-9:
            out[i] = 1 + b * (4 / np.pi - 1)
        elif b > 0 and abs(abs(ti) - 1 / (4 * b)) < 1e-9:
            out[i] = b / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * b)) + (1 - 2 / np.pi) * np.cos(np.pi / (4 * b)))
        else:
            out[i] = (np.sin(np.pi * ti * (1 - b)) + 4 * b * ti * np.cos(np.pi * ti * (1 + b))) / (
                np.pi * ti * (1 - (4 * b * ti) ** 2))
    return out


def test_pulses():
    t = np.array([0, 0.5, -0.5, 1, 1.25, -2.0, 0.3, 1 / (4 * 0.35)])
    for beta in (0.0, 0.35, 0.5, 1.0):
        assert np.allclose(sig.rrc_h(t, beta), rrc_ref(t, beta), rtol=1e-12, atol=1e-15)
    assert sig.rrc_h([0.0], 0.5)[0] == pytest.approx(1 - 0.5 + 2 / np.pi, abs=1e-15)
    assert not sig.rrc_h(t, 1.5).any() and not sig.rc_h(t, -0.1).any()
    rc = sig.rc_h(np.array([0.0, 1, -2, 3, 1 / (2 * 0.25)]), 0.25)
    assert rc[0] == 1 and np.abs(rc[1:4]).max() < 1e-15
    assert rc[4] == pytest.approx(0.25 / 2 * np.sin(np.pi / 0.5))
    # a matched RRC pair gives the RC response
    taps = sig.rrc_taps(0.3, 8, 10).astype(float)
    full = np.convolve(taps, taps)
    mid = len(full) // 2
    assert np.allclose(full[mid::8][:6], sig.rc_h(np.arange(6.0), 0.3), atol=2e-3)


@pytest.mark.parametrize("beta, sps, span", [(0.35, 4, 6), (0.25, 8, 3), (1.0, 2, 4), (0.0, 5, 2)])
def test_rrc_taps(beta, sps, span):
    h = sig.rrc_taps(beta, sps, span)
    assert h.dtype == F32 and len(h) == 2 * sps * span + 1
    exact = rrc_ref((np.arange(len(h)) - sps * span) * (1 / sps), beta)
    scale = 1 / np.sqrt(np.sum(exact**2))  # from the double values
    assert np.array_equal(h, (exact.astype(F32).astype(float) * scale).astype(F32))
    assert abs(np.sum(h.astype(float) ** 2) - 1) < 1e-6 and np.argmax(h) == sps * span


def test_rrc_taps_degenerate_lengths():
    assert sig.rrc_taps(0.35, 4, 0).tolist() == [0.0]
    assert sig.rrc_taps(0.35, 0, 7).tolist() == [0.0]
    with pytest.raises(ValueError):
        sig.rrc_taps(0.35, -1, 3)


def crc16_model(bits):
    reg = 0xFFFF
    for b in bits:
        fb = (int(b) & 1) ^ (reg >> 15)
        reg = ((reg << 1) ^ (0x1021 if fb else 0)) & 0xFFFF
    return reg


def test_link_helpers():
    assert sig.sig_awgn_amplitude(10.0, 1.0) == pytest.approx(0.223607, abs=5e-7)
    assert sig.sig_awgn_amplitude(0.0, 1.0) == pytest.approx(0.707107, abs=5e-7)
    assert sig.sig_awgn_amplitude(snr_db=3.0, signal_power=2.0) == float(np.sqrt(F32(2.0) / (F32(2) * F32(10.0) ** F32(0.3))))
    assert sig.sig_ebno_to_snr_db(10.0, 2, 8.0) == pytest.approx(3.9794, abs=5e-5)
    assert sig.sig_ebno_to_snr_db(10.0, 1, 8.0) == pytest.approx(0.9691, abs=5e-5)
    assert sig.bpsk_map([0, 1, 0, 1]).tolist() == [1, -1, 1, -1]
    q = sig.qpsk_map([0, 1, 2, 3, 4 + 3])
    a = float(F32(0.70710677))
    assert q.dtype == C64 and q.tolist() == [complex(a, a), complex(-a, a), complex(a, -a), complex(-a, -a),
                                             complex(-a, -a)]
    text = np.unpackbits(np.frombuffer(b"123456789", np.uint8))
    assert sig.crc16(text) == 0x29B1 and sig.crc16([]) == 0xFFFF
    rng = np.random.default_rng(1)
    for n in (1, 15, 16, 17, 200):
        bits = rng.integers(0, 256, n).astype(np.uint8)  # only bit 0 counts
        assert sig.crc16(bits) == crc16_model(bits)
