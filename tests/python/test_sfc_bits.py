import numpy as np
import pytest

from tamberl import sfc

OUT_MSG = "^out must be a writable, C-contiguous ndarray of the output dtype$"
BIG, LITTLE = 0, 1


def model_bits(v, n, order):
    """Unpacked bits of the low n bits of v: 8-bit groups from the top; little order reverses each group."""
    msb_first = [(v >> (n - 1 - k)) & 1 for k in range(n)]
    if order == BIG:
        return msb_first
    return [b for g in range(0, n, 8) for b in reversed(msb_first[g:g + 8])]


@pytest.mark.parametrize("order", [BIG, LITTLE])
def test_int_round_trip_every_width(order):
    rng = np.random.default_rng(order)
    for n in range(1, 65):
        for v in [0, 2**n - 1, int(rng.integers(0, 2**63)) % 2**n, 1 << (n - 1)]:
            out = np.full(70, 9, np.uint8)
            assert sfc.int_to_bin(v + 2**n * 5, n, out, order) == n  # bits above n are ignored
            assert out[:n].tolist() == model_bits(v, n, order)
            assert (out[n:] == 9).all()
            assert sfc.bin_to_int(out[:n], order) == v


@pytest.mark.parametrize("order", [BIG, LITTLE])
def test_hex_round_trip_and_agreement_with_int(order):
    rng = np.random.default_rng(10 + order)
    for ndig in range(1, 40):
        text = "".join("0123456789abcdef"[d] for d in rng.integers(0, 16, ndig))
        bits = np.zeros(4 * ndig, np.uint8)
        assert sfc.hex_to_bin(text.upper(), bits, order) == 4 * ndig
        out = np.full(ndig + 3, 0xEE, np.uint8)
        assert sfc.bin_to_hex(bits, out, order) == ndig
        assert out[:ndig].tobytes().decode() == text and out[ndig] == 0 and (out[ndig + 1:] == 0xEE).all()
        if 4 * ndig <= 64:
            ref = np.zeros(4 * ndig, np.uint8)
            sfc.int_to_bin(int(text, 16), 4 * ndig, ref, order)
            np.testing.assert_array_equal(bits, ref)


def test_nrz_round_trip():
    bits = np.random.default_rng(3).integers(0, 2, 1001).astype(np.uint8)
    sym = np.empty(1001, np.float32)
    assert sfc.bin_to_nrz(bits, sym) == 1001
    np.testing.assert_array_equal(sym, 1 - 2 * bits.astype(np.float32))
    back = np.empty(1001, np.uint8)
    assert sfc.nrz_to_bin(sym, back) == 1001
    np.testing.assert_array_equal(back, bits)


def test_worked_values():
    out = np.zeros(32, np.uint8)
    assert sfc.int_to_bin(0x1A, 8, out, BIG) == 8 and out[:8].tolist() == [0, 0, 0, 1, 1, 0, 1, 0]
    assert sfc.int_to_bin(0x1A, 8, out, LITTLE) == 8 and out[:8].tolist() == [0, 1, 0, 1, 1, 0, 0, 0]
    sfc.int_to_bin(0x1ACF, 16, out, LITTLE)
    assert out[:16].tolist() == [0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 1, 1, 0, 0, 1, 1]
    h = np.zeros(16, np.uint8)
    sfc.hex_to_bin("1ACF", h, LITTLE)
    np.testing.assert_array_equal(h, out[:16])
    sfc.int_to_bin(0xABC, 12, out, LITTLE)
    h12 = np.zeros(12, np.uint8)
    sfc.hex_to_bin("abc", h12, LITTLE)
    np.testing.assert_array_equal(h12, out[:12])
    assert sfc.bin_to_int([0, 0, 0, 1, 1, 0, 1, 0], BIG) == 0x1A
    assert sfc.bin_to_int(np.array([0, 0, 0, 7, 255, 0, 1, 0], np.uint8), BIG) == 0x1A  # non-zero reads as 1
    f = np.zeros(4, np.uint8)
    assert sfc.hex_to_bin("F", f, BIG) == 4 and f.tolist() == [1, 1, 1, 1]
    b32 = np.zeros(32, np.uint8)
    assert sfc.hex_to_bin("1ACFFC1D", b32, BIG) == 32 and b32[:8].tolist() == [0, 0, 0, 1, 1, 0, 1, 0]
    txt = np.zeros(16, np.uint8)
    assert sfc.bin_to_hex(b32, txt, BIG) == 8 and txt[:9].tobytes() == b"1acffc1d\0"
    nrz = np.zeros(4, np.float32)
    assert sfc.bin_to_nrz(np.array([0, 1, 7, 0], np.uint8), nrz) == 4 and nrz.tolist() == [1, -1, -1, 1]
    z = np.full(3, 5, np.uint8)
    assert sfc.nrz_to_bin(np.array([0.0, -0.0, np.nan], np.float32), z) == 3 and z.tolist() == [0, 0, 0]
    assert sfc.int_to_bin(v=-1, n_bits=64, out=np.zeros(64, np.uint8), bitorder=BIG) == 64  # v modulo 2^64


REFUSALS = [
    ("int_to_bin n=0", lambda o: sfc.int_to_bin(1, 0, o, BIG)),
    ("int_to_bin n=65", lambda o: sfc.int_to_bin(1, 65, o, BIG)),
    ("int_to_bin n=-1", lambda o: sfc.int_to_bin(1, -1, o, BIG)),
    ("int_to_bin order", lambda o: sfc.int_to_bin(1, 8, o, 2)),
    ("int_to_bin short out", lambda o: sfc.int_to_bin(1, 8, o[:7], BIG)),
    ("hex_to_bin short out", lambda o: sfc.hex_to_bin("1ACFFC1D", o[:31], BIG)),
    ("hex_to_bin bad digit", lambda o: sfc.hex_to_bin("1ACFFC1G", o, BIG)),
    ("hex_to_bin prefix", lambda o: sfc.hex_to_bin("0x1A", o, BIG)),
    ("hex_to_bin NUL", lambda o: sfc.hex_to_bin("1\x00", o, BIG)),
    ("hex_to_bin non-ascii", lambda o: sfc.hex_to_bin("1é", o, BIG)),
    ("hex_to_bin empty", lambda o: sfc.hex_to_bin("", o, BIG)),
    ("hex_to_bin order", lambda o: sfc.hex_to_bin("1A", o, -1)),
    ("bin_to_hex no room for NUL", lambda o: sfc.bin_to_hex(np.ones(32, np.uint8), o[:8], BIG)),
    ("bin_to_hex 6 bits", lambda o: sfc.bin_to_hex(np.ones(6, np.uint8), o, BIG)),
    ("bin_to_hex empty", lambda o: sfc.bin_to_hex(np.ones(0, np.uint8), o, BIG)),
    ("bin_to_hex order", lambda o: sfc.bin_to_hex(np.ones(8, np.uint8), o, 3)),
    ("bin_to_nrz empty", lambda o: sfc.bin_to_nrz(np.ones(0, np.uint8), o.view(np.float32))),
    ("bin_to_nrz short", lambda o: sfc.bin_to_nrz(np.ones(9, np.uint8), o[:32].view(np.float32))),
    ("nrz_to_bin short", lambda o: sfc.nrz_to_bin(np.ones(33, np.float32), o)),
    ("nrz_to_bin empty", lambda o: sfc.nrz_to_bin(np.ones(0, np.float32), o)),
]


@pytest.mark.parametrize("name,call", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_return_zero_and_leave_out_untouched(name, call):
    out = np.random.default_rng(0).integers(0, 256, 32).astype(np.uint8)
    before = out.copy()
    assert call(out) == 0
    np.testing.assert_array_equal(out, before)


@pytest.mark.parametrize("bits", [[], [1] * 65])
@pytest.mark.parametrize("order", [BIG, 2])
def test_bin_to_int_refusals(bits, order):
    assert sfc.bin_to_int(np.array(bits, np.uint8), order) == 0
    assert sfc.bin_to_int([1, 0], 2) == 0


@pytest.mark.parametrize("call", [
    lambda: sfc.int_to_bin(1, 8, np.zeros(8, np.int8), BIG),
    lambda: sfc.hex_to_bin("1A", [0] * 8, BIG),
    lambda: sfc.bin_to_hex(np.ones(8, np.uint8), np.zeros(4, np.int8), BIG),
    lambda: sfc.bin_to_nrz(np.ones(8, np.uint8), np.zeros(8, np.float64)),
    lambda: sfc.nrz_to_bin(np.ones(8, np.float32), np.zeros(16, np.uint8)[::2]),
])
def test_wrong_out_raises(call):
    with pytest.raises(TypeError, match=OUT_MSG):
        call()
