import math
from decimal import ROUND_HALF_UP, Decimal

import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import sfc

M32 = 0xFFFFFFFF


def s32(v):
    return v - (1 << 32) if v & 0x80000000 else v


def adc_model(x, bits, dbfs, dither):
    """Independent model: Python ints for the generator, Decimal for the rounding."""
    scale = 10.0 ** (float(np.float32(dbfs)) * -0.05) * 2.0 ** (bits - 1)
    cmax, cmin = 2**(bits - 1) - 1, -2**(bits - 1)
    prng, clipped, codes = 0x12345678, False, []
    for v in x.astype(np.float32):
        s = float(v) * scale
        if dither:
            prng ^= (prng << 13) & M32
            prng ^= prng >> 17
            prng ^= (prng << 5) & M32
            t = (prng * 0x9E3779B1) & M32
            s += (float(s32(t)) + float(s32(prng))) * 2.0**-32
        clipped |= s < cmin or s > cmax
        if s != s:
            code = cmin  # NaN: the lower bound, flag untouched
        elif abs(s) == float("inf"):
            code = cmax if s > 0 else cmin
        else:
            code = int(Decimal(s).to_integral_value(rounding=ROUND_HALF_UP))  # halves away from zero
        codes.append(min(max(code, cmin), cmax))
    return np.array(codes, np.int64), clipped


def adc_inputs(n=3000, seed=0):
    rng = np.random.default_rng(seed)
    special = np.array([0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.0, -2.0, 1e30, -1e30, np.inf, -np.inf, np.nan], np.float32)
    return np.concatenate([special, rng.uniform(-0.4, 0.4, n), rng.standard_normal(n // 3)]).astype(np.float32)


@pytest.mark.parametrize("bits", [1, 8, 12, 16, 32, 64])
@pytest.mark.parametrize("dither", [0, 1])
@pytest.mark.parametrize("dbfs", [0.0, -10.0, 3.5])
def test_codes_match_model(bits, dither, dbfs):
    x = adc_inputs(seed=bits)
    if bits < 64:
        x = np.concatenate([x, ((np.arange(-40, 40) + 0.5) / 2**(bits - 1)).astype(np.float32)])  # exact halves
    adc = sfc.ADC(bits=bits, dbfs=dbfs, dithering=dither)
    codes, clipped = adc_model(x, bits, dbfs, dither)
    got = adc.steps(x)
    assert got.dtype == np.int64
    np.testing.assert_array_equal(got, codes)
    assert adc.clipped is clipped
    adc.reset()
    assert adc.clipped is False
    np.testing.assert_array_equal(adc.steps(x), codes)  # reset restarts the generator
    adc.reset()
    assert [adc.step(float(v)) for v in x[:100]] == codes[:100].tolist()


@pytest.mark.parametrize("kwargs,x,expected,clipped", [
    (dict(bits=8, dbfs=0.0), [0.5, 2.0, 9.0], [64, 127, 127], True),
    (dict(bits=8, dbfs=0.0), [2.5 / 128, -2.5 / 128], [3, -3], False),
    (dict(bits=1), [0.9, -0.9, 0.0, 0.1], [0, -1, 0, 0], True),
    (dict(bits=64, dbfs=0.0), [2.0, -2.0], [2**63 - 1, -2**63], True),
])
def test_worked_values(kwargs, x, expected, clipped):
    adc = sfc.ADC(**kwargs)
    assert adc.steps(np.array(x, np.float32)).tolist() == expected
    assert adc.clipped is clipped


def test_default_configuration():
    adc = sfc.ADC()
    assert adc.bits == 16 and adc.scale == pytest.approx(10**0.5 * 32768) and adc.scale == 10**0.5 * 32768
    assert adc.steps(np.array([1.0, -1.0], np.float32)).tolist() == [32767, -32768]


@pytest.mark.parametrize("kwargs", [dict(bits=0), dict(bits=65), dict(bits=-1), dict(dithering=-1),
                                    dict(bits=2**64 - 1), dict(dbfs=math.nan), dict(dbfs=math.inf),
                                    dict(dbfs=-math.inf)])
def test_refused_configuration(kwargs):
    with pytest.raises(MemoryError, match="^adc_create returned NULL$"):
        sfc.ADC(**kwargs)


def test_any_positive_dithering_is_on():
    x = np.zeros(100, np.float32)
    np.testing.assert_array_equal(sfc.ADC(dithering=2).steps(x), sfc.ADC(dithering=1).steps(x))
    assert sfc.ADC(dithering=1, bits=4).steps(np.full(1000, 0.5 / 8 / 10**0.5, np.float32)).std() > 0


def test_blob_layout_and_configuration_travel():
    src = sfc.ADC(bits=12, dbfs=-3.0, dithering=1)
    src.steps(np.ones(10, np.float32))
    blob = src.get_state()
    assert len(blob) == 64 == src.state_bytes() and blob[:8] == b"ADC \x01\x00\x01\x00"
    scale, cmax, cmin = np.frombuffer(blob[16:40], "<f8")[0], *np.frombuffer(blob[24:40], "<i8")
    assert (scale, cmax, cmin) == (src.scale, 2047, -2048)
    assert np.frombuffer(blob[40:44], "<u4")[0] == 12 and np.frombuffer(blob[44:48], "<f4")[0] == -3.0
    assert blob[60:64] == b"\0\0\0\0"
    dst = sfc.ADC()
    dst.set_state(blob)
    assert dst.bits == 12 and dst.clipped
    x = np.random.default_rng(0).uniform(-1, 1, 50).astype(np.float32)
    np.testing.assert_array_equal(dst.steps(x), src.steps(x))


@pytest.mark.parametrize("dither", [0, 1])
def test_streaming_properties(dither):
    x = adc_inputs(1000, seed=9)
    make = lambda: sfc.ADC(bits=10, dbfs=-6.0, dithering=dither)  # noqa: E731
    run = lambda a, chunk: a.steps(chunk)  # noqa: E731
    final = lambda a: a.clipped  # noqa: E731
    assert_chunk_invariant(make, run, x, final=final)
    assert_checkpoint_continues(make, run, x, final=final, other=lambda: sfc.ADC(bits=3))
    assert_reset_reproduces(make, run, x, final=final)
    assert_frame_behaviour(make)
    assert_set_state_refusals(make, lambda a: a.steps(x[:64]))
