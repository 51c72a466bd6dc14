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


def model_decode(soft, delay, start=0):
    """A plain model of the decoder: per state, the branch metric
    s1 * a + s2 * b against the encoder's expected +-1 symbols, the larger
    of the two candidates (the second only when strictly larger), the best
    metric subtracted every 8 pairs, and tracebacks from the best state
    deciding a third of the delay (at most 64) bits at a time."""
    s = np.nan_to_num(np.asarray(soft, np.float32), nan=0.0, posinf=0.0, neginf=0.0)
    s = np.clip(s, np.float32(-1e30), np.float32(1e30)).astype(np.float32)
    states = np.arange(64)
    p0 = (states << 1) & 63
    p1 = p0 | 1
    par = lambda x: np.array([bin(v).count("1") & 1 for v in x])  # noqa: E731
    r0, r1 = (states >> 5) << 6 | p0, (states >> 5) << 6 | p1
    lvl = lambda o: np.where(o == 1, -1, 1).astype(np.float32)  # noqa: E731
    a0, b0 = lvl(par(r0 & 0x79)), lvl(par(r0 & 0x5B) ^ 1)
    a1, b1 = lvl(par(r1 & 0x79)), lvl(par(r1 & 0x5B) ^ 1)
    m = np.full(64, np.float32(-1e30), np.float32)
    m[0] = 0
    batch = 1 if delay < 3 else min(64, delay // 3)
    words, out, buffered = [], [], []

    def trace(frm, t, count):
        st, got = frm, {}
        for k in range(len(words) - 1, t - 1, -1):
            if k < t + count:
                got[k] = st >> 5
            if k > t:
                st = ((st << 1) & 63) | int((words[k] >> st) & 1)
        return [got[k] for k in range(t, t + count)]

    for n in range(len(s) // 2):
        s1, s2 = s[2 * n], s[2 * n + 1]
        c0 = m[p0] + (s1 * a0 + s2 * b0)
        c1 = m[p1] + (s1 * a1 + s2 * b1)
        take = c1 > c0
        nxt = np.where(take, c1, c0).astype(np.float32)
        words.append(int(np.sum(take.astype(np.uint64) << states.astype(np.uint64))))
        m = (nxt - nxt.max()) + np.float32(0) if (start + n + 1) % 8 == 0 else nxt
        if n + 1 > delay:
            if not buffered:
                buffered = trace(int(np.argmax(m)), n - delay, batch - (start + n - delay) % batch)
            out.append(buffered.pop(0))
    left = min(len(words), delay)
    out += trace(int(np.argmax(m)), len(words) - left, left)
    return np.array(out, np.uint8)


@pytest.mark.parametrize("delay, start", [(2, 0), (40, 13), (96, 0), (96, 1001)])
def test_every_instruction_set_gives_the_model_bits(delay, start):
    import tamberl
    rng = np.random.default_rng(delay)
    soft = noisy(encode(rng.integers(0, 2, 1500).astype(np.uint8)), 1.5, rng) * np.float32(7.5)
    soft[::97] = 0.0
    soft[5], soft[300], soft[301] = np.nan, 3e38, -np.inf
    want = model_decode(soft, delay, start)
    cuts = np.sort(rng.choice(len(soft), 12, replace=False))
    before = tamberl.isa()
    blobs = set()
    try:
        for name in ("scalar", "sse2", "avx2"):
            tamberl.isa(name)
            v = sig.Viterbi(delay=delay, start=start)
            got = [v.steps(c) for c in np.split(soft, cuts)]
            blobs.add(v.get_state())  # the metrics themselves agree, bit for bit
            got = np.concatenate(got + [v.flush()])
            assert np.array_equal(got, want), name
    finally:
        tamberl.isa(before)
    assert len(blobs) == 1
    with pytest.raises(ValueError, match="^isa: name must be 'scalar', 'sse2' or 'avx2', not 'neon'$"):
        tamberl.isa("neon")


def test_a_decoder_started_later_decides_as_a_continuous_one():
    """Tracebacks and renormalisation fall on pairs fixed in the stream, so a
    decoder that joins a noisy stream part-way (told where) gives the same
    bits as one that ran from the start, once the paths have merged."""
    rng = np.random.default_rng(9)
    soft = noisy(encode(rng.integers(0, 2, 20000).astype(np.uint8)), 1.0, rng)  # noisy enough that
    whole = decode(sig.Viterbi(), soft)  # batches placed otherwise would decide otherwise
    for pair in (1, 777, 5001):
        late = decode(sig.Viterbi(start=pair), soft[2 * pair:])
        assert np.array_equal(late[300:-200], whole[pair + 300:-200]), pair
