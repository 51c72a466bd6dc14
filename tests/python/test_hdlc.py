"""HDLC framing of AX.25 links (sig.HdlcRx, sig.HdlcTx): round trips, an
independent bit-level model, and the streaming properties."""
import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_reset_reproduces,
                     assert_set_state_refusals)
from tamberl import sig


def crc_x25(data):
    c = 0xFFFF
    for byte in data:
        c ^= byte
        for _ in range(8):
            c = (c >> 1) ^ 0x8408 if c & 1 else c >> 1
    return c ^ 0xFFFF


def model_rx(bits, g3ruh, max_bytes=10002):
    """The receiver written out plainly: descramble, NRZI, destuff, frames at
    flags, FCS checked; [(end bit index, frame)]."""
    b = np.asarray(bits, np.uint8) & 1
    if g3ruh:
        pad = np.concatenate([np.zeros(17, np.uint8), b])
        b = b ^ pad[5:-12] ^ pad[:-17]
    nrzi = (b == np.concatenate([[0], b[:-1]])).astype(np.uint8)
    out, ones, buf, over = [], 0, [], False
    for i, bit in enumerate(nrzi):
        if bit:
            ones += 1
        else:
            n1, ones = ones, 0
            if n1 == 5:
                continue
            if n1 >= 6:
                body = buf[:-7]
                if not over and len(body) >= 24 and len(body) % 8 == 0:
                    data = np.packbits(np.array(body, np.uint8).reshape(-1, 8)[:, ::-1]).tobytes()
                    if crc_x25(data[:-2]) == data[-2] | data[-1] << 8:
                        out.append((i + 1, data[:-2]))
                buf, over = [], False
                continue
        if len(buf) < 8 * max_bytes + 7:
            buf.append(int(bit))
        else:
            over = True
    return out


def records(raw):
    raw, out, i = bytes(raw), [], 0
    while i < len(raw):
        n = int.from_bytes(raw[i:i + 4], "little")
        out.append((int.from_bytes(raw[i + 4:i + 12], "little"), raw[i + 12:i + 12 + n]))
        i += 12 + n
    return out


def line(frames, g3ruh, idle=3, seed=0):
    tx = sig.HdlcTx(g3ruh=g3ruh)
    rng = np.random.default_rng(seed)
    parts = [rng.integers(0, 2, 40).astype(np.uint8), tx.idle(idle)]
    for f in frames:
        parts += [tx.frame(f, flags=2), tx.idle(int(rng.integers(0, 3)))]
    return np.concatenate(parts + [rng.integers(0, 2, 40).astype(np.uint8)])


FRAMES = [b"\x01", b"\x7e\x7e\xff\xff\xff", bytes(range(256)), b"\xff" * 40, b"A" * 1000, b"\x00\x3f\x7e"]


def test_crc_check_value():
    assert crc_x25(b"123456789") == 0x906E  # the model's own known answer


@pytest.mark.parametrize("g3ruh", [False, True])
@pytest.mark.parametrize("invert", [False, True])
def test_round_trip_any_polarity(g3ruh, invert):
    bits = line(FRAMES, g3ruh)
    rx = sig.HdlcRx(g3ruh=g3ruh)
    got = records(rx.steps(bits ^ np.uint8(invert)))
    assert [f for _, f in got] == FRAMES and rx.good == len(FRAMES)
    assert [e for e, _ in got] == [e for e, _ in model_rx(bits ^ np.uint8(invert), g3ruh)]


@pytest.mark.parametrize("g3ruh", [False, True])
@pytest.mark.parametrize("seed", range(4))
def test_matches_the_model_on_noisy_lines(g3ruh, seed):
    """Random frames, random bit errors, random junk between: the core and
    the plain model agree record for record (a bit error drops its frame)."""
    rng = np.random.default_rng(seed)
    frames = [rng.integers(0, 256, int(rng.integers(1, 120)), dtype=np.uint8).tobytes() for _ in range(30)]
    bits = line(frames, g3ruh, seed=seed)
    bits[rng.choice(len(bits), 12, replace=False)] ^= 1
    rx = sig.HdlcRx(g3ruh=g3ruh)
    got = records(rx.steps(bits))
    assert got == model_rx(bits, g3ruh)
    assert 0 < len(got) < len(frames) and rx.bad > 0


def test_frames_longer_than_kept_are_dropped():
    frames = [b"x" * 30, b"y" * 31, b"z" * 10]
    got = records(sig.HdlcRx(max_bytes=32).steps(line(frames, False)))  # 30 + FCS fits, 31 + FCS does not
    assert [f for _, f in got] == [frames[0], frames[2]]
    with pytest.raises(ValueError, match="max_bytes"):
        sig.HdlcRx(max_bytes=2)


@pytest.mark.parametrize("g3ruh", [False, True])
def test_streaming_properties(g3ruh):
    bits = line(FRAMES * 2, g3ruh)
    make = lambda: sig.HdlcRx(g3ruh=g3ruh)  # noqa: E731
    run = lambda o, x: o.steps(x)  # noqa: E731
    assert_chunk_invariant(make, run, bits)
    for cut in (37, len(bits) // 2, len(bits) - 100):
        assert_checkpoint_continues(make, run, bits, cut=cut)
    assert_reset_reproduces(make, run, bits)
    tx = lambda: sig.HdlcTx(g3ruh=g3ruh)  # noqa: E731
    assert_checkpoint_continues(tx, lambda o, x: o.frame(x), np.frombuffer(b"".join(FRAMES), np.uint8), cut=300)


def test_state_refusals():
    assert_set_state_refusals(lambda: sig.HdlcRx(g3ruh=True), lambda o: o.steps(line(FRAMES, True)))
    assert_set_state_refusals(sig.HdlcTx, lambda o: o.frame(b"abc"))
    rx = sig.HdlcRx()
    with pytest.raises(ValueError):
        rx.set_state(sig.HdlcRx(g3ruh=True).get_state())  # another configuration
