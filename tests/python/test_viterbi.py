import math

import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import sig


def encode(bits):
    """The frame stage's convolutional encoder, through a description."""
    d = sig.FrameDesc([], [], [])
    d.add_field(bits)
    d.add_stage(3, first_field=0, n_fields=1, emit_num=2, emit_den=1)
    d.build()
    return d.bits()


def noisy(code, ebno_db, rng):
    sigma = math.sqrt(1 / (10 ** (ebno_db / 10)))  # rate 1/2: Es/N0 = Eb/N0 - 3 dB
    return ((1 - 2 * code.astype(np.float32)) + rng.standard_normal(len(code)) * sigma).astype(np.float32)


def decode(v, soft):
    return np.concatenate([v.steps(soft), v.flush()])


@pytest.mark.parametrize("delay", [1, 35, 96])
def test_clean_round_trip(delay):
    bits = np.random.default_rng(delay).integers(0, 2, 3000).astype(np.uint8)
    soft = 1 - 2 * encode(bits).astype(np.float32)
    v = sig.Viterbi(delay=delay)
    assert v.steps_max_out(len(soft)) == 3000
    out = v.steps(soft)
    assert len(out) == 3000 - delay and np.array_equal(out, bits[:len(out)])
    assert np.array_equal(v.flush(), bits[len(out):])
    assert len(v.flush()) == 0  # flushed: a fresh decoder


def test_soft_decision_ber_follows_the_published_curve():
    """About 5e-5 at 4 dB and 1e-5 at 4.5 dB for this code; 2.5e-5 measured
    at 4 dB over 2e5 bits."""
    rng = np.random.default_rng(0)
    bits = rng.integers(0, 2, 200_000).astype(np.uint8)
    code = encode(bits)
    ber = {eb: np.mean(decode(sig.Viterbi(), noisy(code, eb, rng)) != bits) for eb in (3.0, 4.0)}
    assert 1e-4 < ber[3.0] < 2e-3
    assert ber[4.0] < 2e-4
    hard = np.mean((noisy(code, 4.0, rng) < 0) != code)  # the channel itself is far worse
    assert hard > 0.05


def test_erasures_and_non_finite_symbols():
    bits = np.random.default_rng(2).integers(0, 2, 2000).astype(np.uint8)
    soft = 1 - 2 * encode(bits).astype(np.float32)
    soft[::8] = 0.0  # every fourth pair half erased: still decodable
    soft[5] = np.nan
    soft[9] = np.inf
    assert np.array_equal(decode(sig.Viterbi(), soft), bits)


def make():
    return sig.Viterbi(delay=40)


def test_streaming_properties_and_blob():
    rng = np.random.default_rng(3)
    soft = noisy(encode(rng.integers(0, 2, 4001).astype(np.uint8)), 3.0, rng)[:-1]  # an odd count
    run = lambda o, c: o.steps(c)  # noqa: E731
    final = lambda o: o.flush()  # noqa: E731
    assert_chunk_invariant(make, run, soft, final=final)
    for cut in (1, 2, 3001):
        assert_checkpoint_continues(make, run, soft, cut=cut)
    assert_reset_reproduces(make, run, soft)
    assert_set_state_refusals(make, lambda o: o.steps(soft[:200]))
    assert_frame_behaviour(make)
    with pytest.raises(ValueError, match="^Viterbi: delay must be between 1 and 1048576$"):
        sig.Viterbi(delay=0)
