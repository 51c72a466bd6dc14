import math

import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import track

REFUSED = "bn must be >= 0, zeta > 0 and t > 0, and all three finite"


def model_gains(bn, zeta, t):
    a = 8.0 * zeta * bn * t / (4.0 * zeta * zeta + 1.0)
    d = 4.0 + 4.0 * zeta * a + a * a
    return 8.0 * zeta * a / d, 4.0 * a * a / d


def test_worked_values():
    lf = track.LoopFilter(bn=0.02, zeta=0.707, t=1.0)
    assert lf.kp == pytest.approx(0.0519250, abs=5e-8)
    assert lf.ki == pytest.approx(0.00138494, abs=5e-9)
    assert lf.step(1.0) == pytest.approx(0.0533099, abs=5e-8)
    assert lf.integ == pytest.approx(0.00138494, abs=5e-9)
    for _ in range(9):
        lf.step(1.0)
    assert lf.integ == pytest.approx(0.0138494, abs=5e-8)

    lf = track.LoopFilter(bn=0.05)
    assert lf.kp == pytest.approx(0.124728, abs=5e-7)
    out = lf.steps(np.full(50, 0.1))
    assert out[0] == pytest.approx(0.0133045, abs=5e-8)
    assert out[49] == pytest.approx(0.0540573, abs=5e-8)


@pytest.mark.parametrize("bn,zeta,t", [(0.02, 0.707, 1.0), (0.001, 2.5, 4.0), (0.3, 0.3, 0.25), (0.0, 1.0, 1.0)])
def test_gains_and_recurrence_match_float64_model(bn, zeta, t):
    kp, ki = model_gains(bn, zeta, t)
    lf = track.LoopFilter(bn, zeta, t)
    assert (lf.kp, lf.ki, lf.bn, lf.zeta, lf.t) == (kp, ki, bn, zeta, t)
    x = np.random.default_rng(1).standard_normal(500)
    integ, expect = 0.0, []
    for e in x:
        integ = integ + ki * e
        expect.append(integ + kp * e)
    got = lf.steps(x)
    assert got.tobytes() == np.array(expect).tobytes()
    assert lf.integ == integ


def test_steps_equals_repeated_step():
    x = np.random.default_rng(2).standard_normal(1000) * 3
    a, b = track.LoopFilter(0.03), track.LoopFilter(0.03)
    assert np.array([a.step(v) for v in x]).tobytes() == b.steps(x).tobytes()


@pytest.mark.parametrize("kwargs", [dict(zeta=0), dict(t=0), dict(bn=-0.1), dict(bn=math.inf),
                                    dict(zeta=math.nan), dict(t=-math.inf)])
def test_constructor_refusals(kwargs):
    with pytest.raises(ValueError, match=f"^{REFUSED}$"):
        track.LoopFilter(**kwargs)


def test_frozen_loop_and_empty_block():
    lf = track.LoopFilter(bn=0)
    assert lf.step(123.0) == 0.0
    lf.integ = 0.5
    out = lf.steps(np.array([], np.float64))
    assert out.shape == (0,) and out.dtype == np.float64 and lf.integ == 0.5


def test_configure_keeps_integrator_and_reset_keeps_gains():
    lf = track.LoopFilter(bn=0.02)
    lf.step(1.0)
    integ = lf.integ
    lf.configure(0.05, 0.707, 1.0)
    assert lf.integ == integ and lf.kp == pytest.approx(0.124728, abs=5e-7) and lf.bn == 0.05
    lf.configure(bn=0.01, zeta=1.0, t=2.0)
    assert (lf.bn, lf.zeta, lf.t) == (0.01, 1.0, 2.0)
    kp = lf.kp
    lf.reset()
    assert lf.integ == 0.0 and lf.kp == kp


def test_blob_carries_gains_and_configuration():
    src = track.LoopFilter(bn=0.07, zeta=0.5, t=2.0)
    src.step(0.3)
    blob = src.get_state()
    assert len(blob) == 64 and blob[:4] == b"LPFL" and blob[4:8] == b"\x01\x00\x01\x00"
    assert np.frombuffer(blob[16:], "<f8").tolist() == [src.kp, src.ki, src.integ, 0.07, 0.5, 2.0]
    dst = track.LoopFilter()
    dst.set_state(blob)
    x = np.linspace(-1, 1, 17)
    assert dst.steps(x).tobytes() == src.steps(x).tobytes()


def test_streaming_properties():
    x = np.random.default_rng(5).standard_normal(2000)
    make = lambda: track.LoopFilter(0.02, 0.8, 1.0)  # noqa: E731
    run = lambda lf, chunk: lf.steps(chunk)  # noqa: E731
    assert_chunk_invariant(make, run, x, final=lambda lf: lf.integ)
    assert_checkpoint_continues(make, run, x, other=lambda: track.LoopFilter(0.2, 3.0, 5.0))
    assert_reset_reproduces(make, run, x)
    assert_frame_behaviour(make)
    assert_set_state_refusals(make, lambda lf: lf.steps(np.ones(4)))


class TestOutConventionS:
    def test_out_is_filled_and_returned(self):
        out = np.full(5, np.nan)
        r = track.LoopFilter().steps(np.ones(5), out=out)
        assert r is out and not np.isnan(out).any()

    def test_two_dimensional_input_is_flat(self):
        x = np.arange(6.0).reshape(2, 3)
        assert track.LoopFilter().steps(x).tobytes() == track.LoopFilter().steps(x.ravel()).tobytes()

    @pytest.mark.parametrize("out", [
        np.zeros(5, np.float32), np.zeros(5, np.complex128), np.zeros(10)[::2], [0.0] * 5,
        np.zeros(5, ">f8"),
    ], ids=["float32", "complex", "strided", "list", "byteswapped"])
    def test_bad_out_type(self, out):
        with pytest.raises(TypeError, match="^out must be a writable, C-contiguous ndarray of the output dtype$"):
            track.LoopFilter().steps(np.ones(5), out=out)

    def test_read_only_out(self):
        out = np.zeros(5)
        out.flags.writeable = False
        with pytest.raises(TypeError, match="writable"):
            track.LoopFilter().steps(np.ones(5), out=out)

    @pytest.mark.parametrize("n", [4, 6])
    def test_wrong_length_leaves_state_unchanged(self, n):
        lf = track.LoopFilter()
        lf.step(1.0)
        before = lf.get_state()
        with pytest.raises(ValueError, match=f"^out length {n} != input length 5$"):
            lf.steps(np.ones(5), out=np.zeros(n))
        assert lf.get_state() == before
