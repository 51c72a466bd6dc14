import threading

import numpy as np
import pytest

from helpers import assert_frame_behaviour
from tamberl import sig

B13 = [1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1, 0, 1]
PAYLOAD = np.array([1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 0, 1, 1], np.uint8)


def barker(**kw):
    return sig.Frame([], B13, PAYLOAD, **kw)


def test_four_field_layout_and_check():
    f = barker(crc="crc16")
    assert f.nbits == 45 and f.n_fields() == 4 and f.n_stages() == 1
    assert tuple(f.layout()) == (0, 0, 0, 13, 13, 16, 29, 16, 45)
    assert f.layout().crc_off == 29
    assert [f.field_bits(i=i) for i in range(4)] == [0, 13, 16, 16] and f.field_off(i=0) == 0
    assert (f.stage_first(i=0), f.stage_bits(i=0)) == (13, 32)
    assert f.field_bits(i=99) == 0 and f.stage_bits(i=99) == 0 and f.field_index("nope") == -1
    b = f.bits()
    assert np.array_equal(b[:13], B13) and np.array_equal(b[13:29], PAYLOAD)
    assert sig.crc16(b[13:29]) == int("".join(map(str, b[29:])), 2)
    assert tuple(f.check(b)) == (1, 1, 1, 1, 1, 0, 0) and f.crc_ok(b) == 1
    bad = b.copy()
    bad[f.field_off(i=2)] ^= 1
    assert f.check(bad).passed == 0 and f.crc_ok(bad) == 0
    assert f.check(b[:44]) == (0,) * 7 and f.crc_ok(b[:44]) == -1
    out = f.deframe(b)
    assert np.array_equal(out, b) and (f.rx_ok, f.rx_units, f.rx_checked) == (1, 1, 1)
    f.deframe(bad)
    assert (f.rx_ok, f.rx_units) == (0, 1)
    assert len(f.deframe(b[:10])) == 0 and (f.rx_ok, f.rx_units, f.rx_checked) == (0, 0, 0)
    assert len(f.bits(2)) == 90 and f.bits_max_out(3) == 135 and f.deframe_max_out(0) == 45
    buf = np.zeros(100, np.uint8)
    v = f.bits(2, out=buf)
    assert np.shares_memory(v, buf) and len(v) == 90
    with pytest.raises(ValueError, match="^out has 50 elements, need >= 90$"):
        f.bits(2, out=np.zeros(50, np.uint8))


@pytest.mark.parametrize("kw, layout", [
    (dict(crc="none"), (0, 0, 0, 13, 13, 16, 29, 0, 29)),
    (dict(preamble_reps=0), (0, 0, 0, 13, 13, 16, 29, 0, 29)),
    (dict(preamble_kind="dotted", preamble_nbits=8, preamble_reps=2, crc="crc16"), (0, 16, 16, 13, 29, 16, 45, 16, 61)),
])
def test_four_field_variants(kw, layout):
    f = barker(**kw)
    assert tuple(f.layout()) == layout
    if kw.get("crc") != "crc16":
        assert f.check(f.bits()) == (0,) * 7 and f.crc_ok(f.bits()) == -1
    if "preamble_kind" in kw:
        assert f.bits()[:16].tolist() == [1, 0] * 8


def test_generated_fields():
    f = sig.Frame([], B13, [], payload_kind="pn", payload_nbits=1024, payload_reg_bits=10, crc="crc16")
    assert f.nbits == 1053
    ref = sig.PN(poly=0x204, seed=1, length=10).generate(1024)
    assert np.array_equal(f.bits()[13:1037], ref)
    assert sig.Frame([], B13, [], crc="crc16").layout().crc_bits == 0  # nothing to protect
    g = sig.Frame([], [], [], payload_kind="gold", payload_nbits=100, payload_reg_bits=10, payload_taps_a=934,
                  payload_seed_a=350, payload_taps_b=567, payload_seed_b=73)
    assert np.array_equal(g.bits(), sig.Gold().generate(100))
    with pytest.raises(ValueError, match="^frame geometry is empty or a field is unbuildable"):
        sig.Frame([], [], [], payload_kind="pn", payload_nbits=64)  # no register width
    with pytest.raises(ValueError, match="^frame geometry is empty"):
        sig.Frame([], [], [])


@pytest.mark.parametrize("kw, msg", [
    (dict(preamble_kind="x"), "preamble_kind must be one of \"literal\", \"pn\", \"gold\", \"dotted\", got 'x'"),
    (dict(sync_lfsr="y"), "sync_lfsr must be one of \"galois\", \"fibonacci\", got 'y'"),
    (dict(crc="crc32"), "crc must be one of \"none\", \"crc16\", got 'crc32'"),
])
def test_constructor_messages(kw, msg):
    with pytest.raises(ValueError) as e:
        barker(**kw)
    assert str(e.value) == msg


def test_open_description():
    d = sig.FrameDesc([], [], [])
    assert d.n_fields() == 0 and d.nbits == 0 and len(d.bits()) == 0 and tuple(d.layout()) == (0,) * 9
    with pytest.raises(ValueError, match=r"^cannot build: .* \(rc=-1\)$"):
        d.build()
    assert d.add_value("marker", 0x1A, 8) == 0
    d.build()
    assert d.bits().tolist() == [0, 0, 0, 1, 1, 0, 1, 0] and tuple(d.layout()) == (0,) * 9
    with pytest.raises(ValueError, match="^cannot append a value field"):
        d.add_value("x", 1, 1)
    with pytest.raises(ValueError, match="^cannot build"):
        d.build()
    e = sig.FrameDesc([], [], [])
    assert e.add_hex("asm", "1ACFFC1D") == 0 and e.add_hex("odd", "abc") == 1
    for bad in [lambda: e.add_hex("x", "1G"), lambda: e.add_hex("y", ""), lambda: e.add_hex("asm", "12"),
                lambda: e.add_value("v", 256, 8), lambda: e.add_value("w", 1, 65), lambda: e.add_derived("z", 0)]:
        with pytest.raises(ValueError, match=r"\(rc=-1\)$"):
            bad()
    assert e.n_fields() == 2
    e.build()
    assert e.nbits == 44 and e.field_bits(i=1) == 12
    assert np.array_equal(e.bits()[:32], np.unpackbits(np.frombuffer(bytes.fromhex("1ACFFC1D"), np.uint8)))
    n = sig.FrameDesc([], [], [])
    n.add_value("a", 1, 2)
    n.add_value("", 1, 2)
    n.name_field(0, "x")
    assert n.field_index("x") == 0 and n.field_index("") == -1
    with pytest.raises(ValueError, match="^cannot name a field"):
        n.name_field(1, "x")
    with pytest.raises(ValueError, match="^cannot name a field"):
        n.name_field(5, "q")
    n.name_field(0, "a_name_longer_than_fifteen")
    assert n.field_index("a_name_longer_t") == 0
    for _ in range(14):
        n.add_value("", 0, 1)
    with pytest.raises(ValueError, match="^cannot append a value field"):
        n.add_value("", 0, 1)  # the 17th field
    for _ in range(8):
        n.add_stage(4)
    with pytest.raises(ValueError, match="^cannot append a stage"):
        n.add_stage(4)  # the 9th stage


def test_pn_field_width_and_default_poly():
    d = sig.FrameDesc([], [], [])
    d.add_field([], kind="pn", gen_len=30, reg_bits=0)
    with pytest.raises(ValueError, match="^cannot build"):
        d.build()
    d = sig.FrameDesc([], [], [])
    d.add_field([], kind="pn", gen_len=30, reg_bits=10, reps=2)
    d.build()
    ref = sig.PN(poly=0x204, seed=1, length=10).generate(30)
    assert np.array_equal(d.bits(), np.tile(ref, 2))
    with pytest.raises(ValueError, match=r"^invalid kind 'x' \(choices: literal, pn, gold, dotted\)$"):
        d.add_field([], kind="x")
    with pytest.raises(ValueError, match=r"^invalid lfsr 'q' \(choices: galois, fibonacci\)$"):
        d.add_field([], lfsr="q")


def rs_frame(depth=1, randomise=True, seed=0):
    d = sig.FrameDesc([], [], [])
    d.add_hex("asm", "1ACFFC1D")
    d.add_field(np.random.default_rng(seed).integers(0, 2, depth * 223 * 8).astype(np.uint8))
    d.name_field(1, "data")
    d.add_derived("rs", depth * 256)
    assert d.add_stage_over(1, "data", "rs", depth=depth) == 0
    if randomise:
        d.add_stage(2, first_field=1, n_fields=2)
    d.build()
    return d


def test_rs_description_layout_and_repairs():
    d = rs_frame()
    assert (d.stage_first(i=0), d.stage_bits(i=0), d.stage_first(i=1)) == (32, 2040, 32)
    bits = d.bits()
    assert tuple(d.check(bits)) == (1, 2, 2, 2, 2, 0, 0)
    rng = np.random.default_rng(4)
    rx = bits.copy()
    octets = rng.choice(np.arange(4, 259), 16, replace=False)
    for o in octets:
        rx[8 * o + rng.integers(0, 8)] ^= 1
    c = d.check(rx)
    assert (c.passed, c.corrected, c.symbols) == (1, 1, 16)
    out = d.deframe(rx)  # every stage undone: the payload comes back in the clear
    data = np.random.default_rng(0).integers(0, 2, 223 * 8).astype(np.uint8)
    assert np.array_equal(out[32:32 + 223 * 8], data) and (d.rx_ok, d.rx_units, d.rx_symbols) == (2, 2, 16)
    for o in rng.choice(np.arange(4, 259), 30, replace=False):
        rx[8 * o] ^= 1
    assert d.check(rx).passed == 0


@pytest.mark.parametrize("build", [
    lambda d: d.add_stage_over(1, "data", "rs", depth=6),
    lambda d: d.add_stage_over(1, "data", "data", depth=1),
    lambda d: d.add_stage(0x1000, first_field=0, n_fields=1),
    lambda d: d.add_stage(4, first_field=0, n_fields=1, depth=3, unit_bits=5),
])
def test_descriptions_that_cannot_build(build):
    d = sig.FrameDesc([], [], [])
    d.add_hex("asm", "1ACFFC1D")
    d.add_field(np.zeros(223 * 8, np.uint8))
    d.name_field(1, "data")
    d.add_derived("rs", 256)
    build(d)
    with pytest.raises(ValueError, match="^cannot build"):
        d.build()
    assert d.nbits == 0


def test_a_frame_has_only_the_built_in_kernels():
    with pytest.raises(ValueError, match="^cannot append a stage"):
        barker(crc="crc16").add_stage(1)  # built already


def test_interleaver_and_convolutional_stages():
    d = sig.FrameDesc([], [], [])
    d.add_value("a", 0xABCD, 16)
    d.add_value("b", 0x1234, 16)
    d.add_stage(4, first_field=0, n_fields=2, depth=2, unit_bits=8)
    d.build()
    o = np.packbits(d.bits()).tolist()
    assert o == [0xAB, 0x12, 0xCD, 0x34]  # units row-major in, column-major out
    assert tuple(d.check(d.bits())) == (1, 1, 1, 1, 1, 0, 0)
    c = sig.FrameDesc([], [], [])
    c.add_value("a", 1, 8)
    c.add_stage(3, first_field=0, n_fields=1, emit_num=2, emit_den=1)
    c.build()
    assert c.nbits == 16 and c.check(c.bits()).checked == 0  # no undo: not checked


def reedsolo_model():
    reedsolo = pytest.importorskip("reedsolo")
    # gamma = alpha^11 in the field of x^8+x^7+x^2+x+1
    a, g = 1, None
    for _ in range(11):
        a <<= 1
        if a & 0x100:
            a ^= 0x187
    g = a
    return reedsolo.RSCodec(nsym=32, nsize=255, fcr=112, prim=0x187, generator=g, c_exp=8)


def dual_tables():
    exp = [0] * 255
    v = 1
    for i in range(255):
        exp[i] = v
        v <<= 1
        if v & 0x100:
            v ^= 0x187
    log = {e: i for i, e in enumerate(exp)}
    mul = lambda x, y: 0 if not x or not y else exp[(log[x] + log[y]) % 255]  # noqa: E731
    beta = exp[117]
    bp = [1]
    for _ in range(7):
        bp.append(mul(bp[-1], beta))

    def tr(z):
        s, t = z, z
        for _ in range(7):
            t = mul(t, t)
            s ^= t
        return s & 1
    to_dual = [0] * 256
    for z in range(256):
        d = 0
        for k in range(8):
            d = (d << 1) | tr(mul(z, bp[k]))
        to_dual[z] = d
    return to_dual, {d: z for z, d in enumerate(to_dual)}


def test_reed_solomon_against_an_independent_codec():
    codec = reedsolo_model()
    to_dual, from_dual = dual_tables()
    assert [to_dual[1 << (7 - b)] for b in range(8)] == [0x8D, 0xEF, 0xEC, 0x86, 0xFA, 0x99, 0xAF, 0x7B]
    for seed in range(5):
        d = rs_frame(depth=1, randomise=False, seed=seed)
        octets = np.packbits(d.bits()[32:]).tolist()
        data_conv = bytes(from_dual[o] for o in octets[:223])
        ref = codec.encode(data_conv)
        assert [to_dual[o] for o in ref[223:]] == octets[223:]


def test_depth_interleaving_spreads_codewords():
    d = rs_frame(depth=5, randomise=False)
    bits = d.bits()
    rx = bits.copy()
    rx[32 + 8 * 40: 32 + 8 * (40 + 80)] ^= 1  # a burst of 80 octets: 16 in each of five codewords
    c = d.check(rx)
    assert (c.passed, c.units, c.corrected, c.symbols) == (1, 5, 5, 80)
    assert np.array_equal(d.deframe(rx), bits)


def test_two_threads_check_like_one():
    frames = [rs_frame(depth=2, seed=s) for s in range(2)]
    rx = []
    for k, f in enumerate(frames):
        b = f.bits().copy()
        b[100:100 + 8 * 10 * (k + 1)] ^= 1
        rx.append(b)
    serial = [tuple(f.check(r)) for f, r in zip(frames, rx)]
    got = [None, None]

    def run(i):
        got[i] = [tuple(frames[i].check(rx[i])) for _ in range(20)]

    ts = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    assert all(g == [serial[i]] * 20 for i, g in enumerate(got))


def test_corrupt_and_short_inputs_never_crash():
    d = rs_frame(depth=3)
    rng = np.random.default_rng(0)
    for n in (0, 10, d.nbits - 1, d.nbits, d.nbits + 7):
        rx = rng.integers(0, 256, n).astype(np.uint8)
        c = d.check(rx)
        assert c.passed == 0
        d.deframe(rx)
        d.crc_ok(rx)
    with pytest.raises(MemoryError):
        d.bits(2**62)


@pytest.mark.parametrize("make", [lambda: barker(crc="crc16"), lambda: sig.FrameDesc([], B13, PAYLOAD)])
def test_frame_object_behaviour(make):
    assert_frame_behaviour(make)


# ---------------------------------------------------------------------------
# DSSS sources of the synthesiser


def chips_of(s, n):
    return (s.steps(n).real < 0).astype(np.uint8)  # chip 1 plays as -1


def test_dsss_burst_geometry():
    s = sig._SynthEngine(type="dsss", sps=1)
    s.set_dsss(acq_code=[1, 0, 0, 1], acq_reps=3)
    assert np.array_equal(chips_of(s, 24), np.tile([1, 0, 0, 1], 6))  # a 12-chip burst, cycled
    code = np.array([1, 1, 1, 0, 0, 1, 0], np.uint8)
    s = sig._SynthEngine(type="dsss", sps=1)
    s.set_dsss(acq_code=[1, 1], acq_reps=2, data_code=code, payload=PAYLOAD, crc=1)
    frame = sig.Frame([], [], PAYLOAD, crc="crc16").bits()
    assert len(frame) == 32
    got = chips_of(s, 4 + 224)
    assert np.array_equal(got[:4], [1, 1, 1, 1])
    assert np.array_equal(got[4:], np.concatenate([code ^ f for f in frame]))
    for bad in [dict(sync=[1, 0, 1]), dict()]:
        with pytest.raises(ValueError, match=r"^set_dsss: invalid burst geometry"):
            sig._SynthEngine(type="dsss").set_dsss(**bad)
    t = sig._SynthEngine(type="tone")
    t.set_dsss()  # another type: nothing happens
    t.set_dsss_cont([1], 1.0)
    t.set_dsss_window(1, 0)


def dsss_model(code, cps, payload, n, a=0, f=0):
    out, last, d = [], None, 0
    for k in range(n):
        s = int(k / cps)
        if k == 0 or s != last:
            last = s
            if f and s % f < a:
                d = 0
            else:
                idx = (s % f) - a + (f - a) * (s // f) if f else s
                d = payload[idx % len(payload)]
        out.append(code[k % len(code)] ^ d)
    return np.array(out, np.uint8)


@pytest.mark.parametrize("cps, window", [(2.5, None), (3.0, None), (4.25, (2, 10)), (1.0, (0, 0))])
def test_dsss_continuous_matches_the_model(cps, window):
    code = [1, 0, 1, 1, 0]
    payload = [1, 0, 0, 1, 1, 1, 0]
    s = sig._SynthEngine(type="dsss", sps=2)
    s.set_dsss_cont(code, cps, payload=payload)
    if window:
        s.set_dsss_window(*window)
    got = (s.steps(2 * 400).real[::2] < 0).astype(np.uint8)
    ref = dsss_model(code, cps, payload, 400, *(window or (0, 0)))
    assert np.array_equal(got, ref)
    s.reset()
    assert np.array_equal((s.steps(800).real[::2] < 0).astype(np.uint8), ref)


def test_dsss_continuous_boundaries_prbs_and_refusals():
    # data changes where int(n / 2.5) does: after chips 3, 5, 8, 10
    s = sig._SynthEngine(type="dsss", sps=1)
    s.set_dsss_cont([0], 2.5, payload=[0, 1])
    assert chips_of(s, 13).tolist() == [0, 0, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0]
    p = sig._SynthEngine(type="dsss", sps=1, pn_length=7, seed=3)
    p.set_dsss_cont([0, 0], 2.0, data="prbs")
    ref = np.repeat(sig.PN(seed=3, length=7).generate(50), 2)
    assert np.array_equal(chips_of(p, 100), ref)
    cases = [
        (lambda: sig._SynthEngine(type="dsss", pn_length=1).set_dsss_cont([1], 2.0, data="prbs"), "invalid geometry"),
        (lambda: sig._SynthEngine(type="dsss").set_dsss_cont([], 2.0), "invalid geometry"),
        (lambda: sig._SynthEngine(type="dsss").set_dsss_cont([1], 0.5), "invalid geometry"),
        (lambda: sig._SynthEngine(type="dsss").set_dsss_cont([1], 2.0, data="bits"), "invalid geometry"),
        (lambda: sig._SynthEngine(type="dsss").set_dsss_cont([1], 2.0, data="x"), "data must be"),
        (lambda: sig._SynthEngine(type="dsss").set_dsss_window(-1, 3), "symbol counts must be >= 0"),
        (lambda: sig._SynthEngine(type="dsss").set_dsss_window(4, 3), "must not exceed"),
    ]
    for call, msg in cases:
        with pytest.raises(ValueError, match=msg):
            call()


def test_dsss_streams_and_checkpoints():
    from helpers import assert_checkpoint_continues, assert_chunk_invariant

    def make():
        s = sig._SynthEngine(type="dsss", sps=4, snr=10.0, seed=2)
        s.set_rrc(sig.rrc_taps(0.5, 4, 4))
        s.set_dsss_cont([1, 0, 1, 1, 0, 0, 1], 3.7, data="prbs")
        s.set_dsss_window(3, 12)
        return s
    run = lambda o, c: o.steps(len(c))  # noqa: E731
    x = np.zeros(6000)
    assert_chunk_invariant(make, run, x, trials=3, final=lambda o: o.get_state())
    assert_checkpoint_continues(make, run, x, cut=2221, final=lambda o: o.get_state())


def test_dsss_spread():
    out = sig.dsss_spread([1 + 1j], [0, 1, 1], 3)
    assert out.dtype == np.complex64 and out.tolist() == [1 + 1j, -1 - 1j, -1 - 1j]
    assert sig.dsss_spread([1, 2], [0, 1, 0, 1], 2).tolist() == [1, -1, 2, -2]  # first sf chips only
    assert not sig.dsss_spread([1], [0], 3).any() and len(sig.dsss_spread([1, 2], [0], 0)) == 0
    with pytest.raises(ValueError):
        sig.dsss_spread([1], [0], -1)


@pytest.mark.parametrize("basis", ["dual", "conventional"])
def test_rs_encode_rows_match_the_independent_codec(basis):
    codec = reedsolo_model()
    to_dual, from_dual = dual_tables()
    data = np.random.default_rng(11).integers(0, 256, (6, 223), dtype=np.uint8)
    parity = sig.rs_encode(data, basis=basis)
    assert parity.shape == (6, 32) and np.array_equal(sig.rs_encode(data[2], basis=basis), parity[2])
    for row, par in zip(data, parity):
        conv = bytes(from_dual[o] for o in row) if basis == "dual" else bytes(row)
        ref = list(codec.encode(conv)[223:])
        assert list(par) == ([to_dual[o] for o in ref] if basis == "dual" else ref)
    for bad in (np.zeros(222, np.uint8), np.zeros((2, 224), np.uint8), np.zeros((2, 2, 223), np.uint8)):
        with pytest.raises(ValueError, match=r"^rs_encode: data must have 223 octets per row"):
            sig.rs_encode(bad)
    with pytest.raises(ValueError, match="basis"):
        sig.rs_encode(data, basis="normal")


@pytest.mark.parametrize("basis", ["dual", "conventional"])
def test_rs_decode_repairs_errors_and_erasures_within_reach(basis):
    """Random codewords (shortened to 33..255 octets) with e errors and f
    erasures: 2e + f <= 32 gives the sent word back, the erased octets that
    were right not counted as changed; beyond that the answer is -1 with
    the word untouched, or some other codeword, never a non-codeword."""
    rng = np.random.default_rng(12)
    for trial in range(400):
        n = int(rng.integers(33, 256))
        data = np.zeros(223, np.uint8)
        data[255 - n:] = rng.integers(0, 256, n - 32)
        sent = np.concatenate([data[255 - n:], sig.rs_encode(data, basis=basis)])
        f = int(rng.integers(0, 33))
        e = int(rng.integers(0, 20 - f // 2 if trial % 2 else (32 - f) // 2 + 1))
        at = rng.permutation(n)[:f + e]
        wrong = np.concatenate([rng.choice(at[:f], int(rng.integers(0, f + 1)), replace=False), at[f:]]).astype(int)
        word = sent.copy()
        word[wrong] ^= rng.integers(1, 256, len(wrong), dtype=np.uint8)
        got, changed = sig.rs_decode(word, basis, at[:f])
        if 2 * e + f <= 32:
            assert changed == len(wrong) and np.array_equal(got, sent), (n, e, f)
        elif changed < 0:
            assert np.array_equal(got, word)
        else:
            again, zero = sig.rs_decode(got, basis)
            assert zero == 0 and np.array_equal(again, got)
    for word, kw, msg in [
        (np.zeros(32, np.uint8), {}, "33 to 255 octets, got 32"), (np.zeros(256, np.uint8), {}, "got 256"),
        (np.zeros((2, 40), np.uint8), {}, "one row"), (np.zeros(40, np.uint8), {"erasures": [40]}, "erasure 40"),
        (np.zeros(40, np.uint8), {"erasures": [-1]}, "erasure -1"),
        (np.zeros(40, np.uint8), {"erasures": [3, 3]}, "given twice"),
        (np.zeros(40, np.uint8), {"erasures": list(range(33))}, "at most 32 erasures"),
        (np.zeros(40, np.uint8), {"basis": "normal"}, "basis"),
    ]:
        with pytest.raises(ValueError, match=msg):
            sig.rs_decode(word, **kw)


@pytest.mark.parametrize("depth, options", [(1, 0), (1, 3), (2, 1), (5, 0), (8, 2)])
def test_check_many_reports_each_row_as_check_does(depth, options):
    """Rows clean, repairable, beyond repair, random and too short: per-row
    results and undone frames equal one check()/deframe() call per row."""
    k = 223 if not options & 2 else 101
    d = sig.FrameDesc([], [], [])
    d.add_field(np.random.default_rng(depth).integers(0, 2, 8 * k * depth).astype(np.uint8))
    d.name_field(0, "data")
    d.add_derived("rs", 256 * depth)
    d.add_stage_over(1, "data", "rs", depth=depth, unit_bits=options)
    d.build()
    rng = np.random.default_rng(options)
    bits = d.bits()
    rows = np.tile(bits, (40, 1))
    for i, row in enumerate(rows):
        hits = rng.choice(len(bits) // 8, (i % 24) * depth, replace=False)
        for o in hits:
            row[8 * o: 8 * o + 8] ^= np.unpackbits(np.uint8(rng.integers(1, 256)))
    rows[5] = rng.integers(0, 2, len(bits))
    c = d.check_many(rows)
    out = np.empty_like(rows)
    assert tuple(map(list, d.check_many(rows, out=out))) == tuple(map(list, c))
    for i, row in enumerate(rows):
        assert tuple(int(f[i]) for f in c) == tuple(d.check(row)), i
        assert np.array_equal(out[i], d.deframe(row)), i
    assert c.passed.dtype == np.uint8 and c.symbols.dtype == np.uint32
    assert 0 < c.passed.sum() < 40 and c.corrected.sum() > 0
    short = d.check_many(rows[:3, :-1])  # shorter than the frame: nothing reversed, as check() says
    assert not any(f.any() for f in short)
    assert len(d.check_many(np.zeros((0, len(bits)), np.uint8)).passed) == 0
    with pytest.raises(ValueError, match="^FrameDesc.check_many: frames must be a 2-D array, one frame per row$"):
        d.check_many(bits)
    with pytest.raises(ValueError, match=r"^FrameDesc.check_many: out must have shape \(40, "):
        d.check_many(rows, out=np.empty((40, 8), np.uint8))
