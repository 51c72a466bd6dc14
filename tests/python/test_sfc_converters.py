import math

import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import sfc

OUT_MSG = "^out must be a writable, C-contiguous ndarray of the output dtype$"


def round_away(s):
    """Round half away from zero, exactly (s - trunc(s) is exact in binary floating point)."""
    t = np.trunc(s)
    frac = s - t
    return t + (frac >= 0.5) - (frac <= -0.5)


def f32_model(x, scale, lo, hi):
    s = np.float32(scale) * x.astype(np.float32)  # float32 product
    clip = bool(np.any((s < lo) | (s > hi)))
    s = np.where(s > lo, s, np.float32(lo))  # NaN -> lo
    s = np.minimum(s, np.float32(hi))
    return round_away(s.astype(np.float64)).astype(np.int64), clip


def i32_model(x, scale):
    s = x.astype(np.float64) * np.float64(np.float32(scale))
    clip = bool(np.any((s < -2.0**31) | (s > 2147483647.0)))
    s = np.where(s > -2.0**31, s, -2.0**31)  # NaN -> the lower bound, like the other formats
    s = np.minimum(s, 2147483647.0)
    return round_away(s).astype(np.int64), clip


# (type, inverse type, default scale, code dtype, model(x, scale) -> (codes, clipped), code -> word, word -> code, magic)
def _q15(x, scale):
    return f32_model(x, scale, -32768, 32767)


FAMILY = [
    (sfc.F32ToI8, sfc.I8ToF32, 128.0, np.int8, lambda x, s: f32_model(x, s, -128, 127),
     lambda c: c.astype(np.int8), lambda w: w.astype(np.int64), b"F2_8"),
    (sfc.F32ToI16, sfc.I16ToF32, 32768.0, np.int16, _q15,
     lambda c: c.astype(np.int16), lambda w: w.astype(np.int64), b"F216"),
    (sfc.F32ToI32, sfc.I32ToF32, 2147483648.0, np.int32, i32_model,
     lambda c: c.astype(np.int32), lambda w: w.astype(np.int64), b"F232"),
    (sfc.F32ToI16U32, sfc.I16U32ToF32, 32768.0, np.uint32, _q15,
     lambda c: (c & 0xFFFF).astype(np.uint32), lambda w: (w & 0xFFFF).astype(np.uint16).view(np.int16), b"FU32"),
    (sfc.F32ToI16U64, sfc.I16U64ToF32, 32768.0, np.uint64, _q15,
     lambda c: (c & 0xFFFF).astype(np.uint64), lambda w: (w & 0xFFFF).astype(np.uint16).view(np.int16), b"FU64"),
    (sfc.F32ToUQ15, sfc.UQ15ToF32, 32768.0, np.uint16, _q15,
     lambda c: (c + 32768).astype(np.uint16), lambda w: w.astype(np.int64) - 32768, b"FU15"),
]
IDS = [row[0].__name__ for row in FAMILY]


def nasty_inputs(scale, n=5000, seed=0):
    rng = np.random.default_rng(seed)
    fs = 1.0 / scale
    special = np.array([0.0, -0.0, 1.0, -1.0, 1.0 - fs, -1.0 + fs, 1.0 + fs, -1.0 - fs, 1.5, -2.0, 1e30, -1e30,
                        np.inf, -np.inf, np.nan, 0.5, -0.5, 1e-45, -1e-45], np.float32)
    halves = ((rng.integers(-int(scale), int(scale), 500) + 0.5) / scale).astype(np.float32)
    uniform = rng.uniform(-1.2, 1.2, n).astype(np.float32)
    return np.concatenate([special, halves, uniform, np.float32(0.999999) * special[:8]])


@pytest.mark.parametrize("f2i,i2f,scale,dtype,model,to_word,from_word,magic", FAMILY, ids=IDS)
@pytest.mark.parametrize("user_scale", [None, 1000.0, 3.3])
def test_float_to_code_matches_model(f2i, i2f, scale, dtype, model, to_word, from_word, magic, user_scale):
    sc = scale if user_scale is None else user_scale
    x = nasty_inputs(sc)
    conv = f2i() if user_scale is None else f2i(scale=user_scale)
    got = conv.steps(x)
    codes, clip = model(x, sc)
    assert got.dtype == dtype
    np.testing.assert_array_equal(got, to_word(codes))
    assert conv.clipped == clip
    # step() is the same computation, one sample at a time, sharing the flag.
    one = f2i() if user_scale is None else f2i(scale=user_scale)
    assert [one.step(float(v)) for v in x[:200]] == got[:200].tolist()


@pytest.mark.parametrize("f2i,i2f,scale,dtype,model,to_word,from_word,magic", FAMILY, ids=IDS)
def test_code_to_float_matches_model(f2i, i2f, scale, dtype, model, to_word, from_word, magic):
    rng = np.random.default_rng(1)
    info = np.iinfo(dtype)
    words = rng.integers(info.min, info.max, 3000, endpoint=True, dtype=dtype)
    words[:2] = [info.min, info.max]
    inv = np.float32(1.0) / np.float32(scale)
    expect = from_word(words).astype(np.float32) * inv
    got = i2f().steps(words)
    assert got.dtype == np.float32
    assert got.tobytes() == expect.tobytes()
    assert [i2f().step(int(w)) for w in words[:50]] == expect[:50].tolist()


@pytest.mark.parametrize("f2i,i2f,scale,dtype,model,to_word,from_word,magic", FAMILY, ids=IDS)
def test_round_trip_returns_the_grid(f2i, i2f, scale, dtype, model, to_word, from_word, magic):
    x = (np.arange(-64, 64) / 128.0).astype(np.float32)
    np.testing.assert_array_equal(i2f().steps(f2i().steps(x)), x)


@pytest.mark.parametrize("call,expected,clipped", [
    (lambda c: c.steps([0.5, -0.25]).tolist(), [16384, -8192], False),
    (lambda c: c.step(1.0), 32767, True),
    (lambda c: c.step(-1.0), -32768, False),
    (lambda c: c.step(32767.3 / 32768), 32767, True),  # clip test on the scaled value
    (lambda c: c.step(math.nan), -32768, False),
])
def test_f32_to_i16_worked_values(call, expected, clipped):
    c = sfc.F32ToI16()
    assert call(c) == expected and c.clipped is clipped
    c.reset()
    assert c.clipped is False


@pytest.mark.parametrize("make,x,expected,clipped", [
    (lambda: sfc.F32ToI8(scale=1.0), [2.5, -2.5], [3, -3], False),
    (lambda: sfc.F32ToI32(), [0.5], [1073741824], False),
    (lambda: sfc.F32ToI32(), [2.0], [2147483647], True),
    (lambda: sfc.F32ToI32(), [-1.0], [-2147483648], False),
    (lambda: sfc.F32ToI32(), [math.nan], [-2147483648], False),
    (lambda: sfc.F32ToUQ15(), [0.0, -1.0, 1.0], [32768, 0, 65535], True),
    (lambda: sfc.F32ToI16U32(), [-1 / 32768], [65535], False),
    (lambda: sfc.I16U32ToF32(), np.array([65535], np.uint32), [-1 / 32768], None),
    (lambda: sfc.I16U64ToF32(), np.array([0x1234_0000_0000_7FFF], np.uint64), [32767 / 32768], None),
])
def test_family_worked_values(make, x, expected, clipped):
    c = make()
    np.testing.assert_array_equal(c.steps(np.asarray(x, dtype=None if isinstance(x, np.ndarray) else np.float32)),
                                  np.asarray(expected))
    if clipped is not None:
        assert c.clipped is clipped


@pytest.mark.parametrize("cls", [row[0] for row in FAMILY] + [row[1] for row in FAMILY], ids=lambda c: c.__name__)
@pytest.mark.parametrize("scale", [0.0, -1.0, math.nan, math.inf, -math.inf])
def test_non_positive_or_non_finite_scale_is_refused(cls, scale):
    core = {"F32ToI8": "f32_to_i8", "F32ToI16": "f32_to_i16", "F32ToI32": "f32_to_i32",
            "F32ToI16U32": "f32_to_i16u32", "F32ToI16U64": "f32_to_i16u64", "F32ToUQ15": "f32_to_uq15",
            "I8ToF32": "i8_to_f32", "I16ToF32": "i16_to_f32", "I32ToF32": "i32_to_f32",
            "I16U32ToF32": "i16u32_to_f32", "I16U64ToF32": "i16u64_to_f32", "UQ15ToF32": "uq15_to_f32"}
    with pytest.raises(MemoryError, match=f"^{core[cls.__name__]}_create returned NULL$"):
        cls(scale=scale)


@pytest.mark.parametrize("f2i,i2f,scale,dtype,model,to_word,from_word,magic", FAMILY, ids=IDS)
def test_blob_carries_scale_and_flag(f2i, i2f, scale, dtype, model, to_word, from_word, magic):
    src = f2i(scale=100.0)
    src.step(1e30)  # clips
    blob = src.get_state()
    assert len(blob) == 24 == src.state_bytes() and blob[:4] == magic
    assert np.frombuffer(blob[16:20], "<f4")[0] == 100.0 and blob[20:24] == b"\x01\0\0\0"
    dst = f2i()
    dst.set_state(blob)
    assert dst.clipped and dst.step(0.01) == src.step(0.01) == to_word(np.array([1]))[0]


@pytest.mark.parametrize("f2i,i2f,scale,dtype,model,to_word,from_word,magic", FAMILY, ids=IDS)
def test_streaming_properties(f2i, i2f, scale, dtype, model, to_word, from_word, magic):
    x = nasty_inputs(scale, n=1500, seed=4)
    x = x[np.argsort(np.random.default_rng(0).random(len(x)))]
    make = lambda: f2i()  # noqa: E731
    run = lambda c, chunk: c.steps(chunk)  # noqa: E731
    final = lambda c: c.clipped  # noqa: E731
    assert_chunk_invariant(make, run, x, final=final)
    assert_checkpoint_continues(make, run, x, cut=len(x) // 2, other=lambda: f2i(scale=7.0), final=final)
    assert_reset_reproduces(make, run, x, final=final)
    assert_frame_behaviour(make)
    assert_set_state_refusals(make, lambda c: c.steps(x[:50]))
    assert_frame_behaviour(lambda: i2f())
    assert not hasattr(i2f(), "get_state") and not hasattr(i2f(), "clipped")


def test_blob_of_another_converter_is_rejected():
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        sfc.F32ToI16().set_state(sfc.F32ToI8().get_state())


class TestOut:
    def test_out_is_written_and_returned(self):
        out = np.zeros(3, np.int16)
        assert sfc.F32ToI16().steps([0.5, -0.5, 0.25], out=out) is out
        np.testing.assert_array_equal(out, [16384, -16384, 8192])

    @pytest.mark.parametrize("out", [np.zeros(3, np.int32), np.zeros(6, np.int16)[::2], np.zeros(3, ">i2")],
                             ids=["dtype", "strided", "byteswapped"])
    def test_wrong_out(self, out):
        with pytest.raises(TypeError, match=OUT_MSG):
            sfc.F32ToI16().steps([0.1, 0.2, 0.3], out=out)

    def test_wrong_length(self):
        c = sfc.F32ToI16()
        with pytest.raises(ValueError, match=r"^out length 2 != input length 3$"):
            c.steps([1.0, 1.0, 1.0], out=np.zeros(2, np.int16))
        assert not c.clipped  # nothing ran


def test_module_registers_the_family_in_order():
    names = ["F32ToI8", "F32ToI16", "F32ToI32", "F32ToI16U32", "F32ToI16U64", "F32ToUQ15", "I8ToF32", "I16ToF32",
             "I32ToF32", "I16U32ToF32", "I16U64ToF32", "UQ15ToF32", "ADC"]
    assert [n for n in vars(sfc) if n[0].isupper()] == names
    assert all(getattr(sfc, n).__module__ == "sfc" for n in names)
