"""The per-bit objects between hard bits and deframers (sig.BitLine,
sig.SyncSearch, the Golay (24,12) functions) against plain models, and their
streaming properties."""
import itertools

import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import sig


def model_line(bits, g3ruh, diff):
    b = np.asarray(bits, np.uint8) & 1
    if g3ruh:  # u[n] = r[n] ^ r[n-12] ^ r[n-17]
        pad = np.concatenate([np.zeros(17, np.uint8), b])
        b = b ^ pad[5:-12] ^ pad[:-17]
    change = b ^ np.concatenate([[0], b[:-1]]).astype(np.uint8)
    return {"none": b, "nrzm": change, "nrzi": change ^ 1}[diff]


def model_hits(bits, marker, max_errors, inverted):
    """Every start whose window differs from the marker (or, when inverted,
    its complement) in at most max_errors bits."""
    m = np.array([int(c) for c in bin(int(marker, 16))[2:].zfill(4 * len(marker))], np.int32)
    b = np.asarray(bits, np.int32) & 1
    out = []
    for i in range(len(b) - len(m) + 1):
        d = int(np.sum(b[i:i + len(m)] != m))
        if d <= max_errors:
            out.append((i, False, d))
        elif inverted and len(m) - d <= max_errors:
            out.append((i, True, len(m) - d))
    return out


def unpack(v):
    return [(int(x >> 8), bool(x >> 7 & 1), int(x & 0x7F)) for x in v]


def planted(marker, n, rng, flips=2):
    """Random bits with the marker, and its complement, planted with bit errors."""
    m = np.array([int(c) for c in bin(int(marker, 16))[2:].zfill(4 * len(marker))], np.uint8)
    b = rng.integers(0, 2, n).astype(np.uint8)
    for at, inv in ((40, False), (300, True), (301 + len(m), False)):
        w = m ^ np.uint8(inv)
        w[rng.choice(len(m), min(flips, len(m) - 1), replace=False)] ^= 1
        b[at:at + len(m)] = w
    return b


@pytest.mark.parametrize("g3ruh, diff", list(itertools.product([False, True], ["none", "nrzm", "nrzi"])))
def test_line_decoding_matches_the_model(g3ruh, diff):
    bits = np.random.default_rng(3).integers(0, 2, 3000).astype(np.uint8)
    bits[::7] |= 2  # only bit 0 counts
    line = sig.BitLine(g3ruh=g3ruh, diff=diff)
    assert np.array_equal(line.steps(bits), model_line(bits, g3ruh, diff))
    assert (line.g3ruh, line.diff) == (g3ruh, diff)


def test_line_undoes_the_hdlc_transmitter():
    """HdlcTx sends NRZI (a zero toggles) under G3RUH; BitLine(g3ruh, nrzi)
    gives its stuffed bits back: flags read 0x7E."""
    bits = sig.BitLine(g3ruh=True, diff="nrzi").steps(sig.HdlcTx(g3ruh=True).idle(4))
    assert np.array_equal(bits[24:32], [0, 1, 1, 1, 1, 1, 1, 0])


@pytest.mark.parametrize("marker, max_errors, inverted", [
    ("1ACFFC1D", 3, True), ("1ACFFC1D", 0, False), ("930B51DE", 4, True), ("A", 1, True),
    ("0123456789ABCDEF", 6, True), ("C3AA6655", 2, False),
])
def test_sync_hits_match_the_model(marker, max_errors, inverted):
    rng = np.random.default_rng(len(marker) + max_errors)
    bits = planted(marker, 700, rng)
    s = sig.SyncSearch(marker, max_errors=max_errors, inverted=inverted)
    want = model_hits(bits, marker, max_errors, inverted)
    assert unpack(s.steps(bits)) == want
    assert (s.nbits, s.max_errors, s.inverted, s.bits) == (4 * len(marker), max_errors, inverted, 700)
    if max_errors >= 2 and len(marker) > 1:  # the planted copies, two bit errors each
        assert {(40, False, 2), (301 + 4 * len(marker), False, 2)} <= set(want)
        assert ((300, True, 2) in want) == inverted


def make_line():
    return sig.BitLine(g3ruh=True, diff="nrzm")


def make_sync():
    return sig.SyncSearch("1ACFFC1D", max_errors=3)


@pytest.mark.parametrize("make", [make_line, make_sync], ids=["BitLine", "SyncSearch"])
def test_streaming_properties(make):
    bits = planted("1ACFFC1D", 2001, np.random.default_rng(5), flips=1)
    run = lambda o, c: o.steps(c)  # noqa: E731
    assert_chunk_invariant(make, run, bits)
    for cut in (1, 31, 1500):
        assert_checkpoint_continues(make, run, bits, cut=cut)
    assert_reset_reproduces(make, run, bits)
    assert_set_state_refusals(make, lambda o: o.steps(bits[:100]))
    assert_frame_behaviour(make)


def test_blobs_of_another_configuration_are_refused():
    for a, b in ((sig.BitLine(diff="nrzm"), sig.BitLine(diff="nrzi")), (sig.BitLine(), sig.BitLine(g3ruh=True)),
                 (sig.SyncSearch("1ACF"), sig.SyncSearch("1ACE")), (sig.SyncSearch("1ACF"), sig.SyncSearch("1ACF", 1)),
                 (sig.SyncSearch("1ACF"), sig.SyncSearch("1ACF", inverted=False))):
        with pytest.raises(ValueError):
            a.set_state(b.get_state())


@pytest.mark.parametrize("kw, msg", [
    (dict(marker=""), "^SyncSearch: marker must be 1 to 16 hex digits, got ''$"),
    (dict(marker="1ACG"), "^SyncSearch: marker must be 1 to 16 hex digits, got '1ACG'$"),
    (dict(marker="0" * 17), "^SyncSearch: marker must be 1 to 16 hex digits"),
    (dict(marker="1A", max_errors=8), "^SyncSearch: max_errors must be below the marker's 8 bits$"),
])
def test_sync_search_refuses_bad_markers(kw, msg):
    with pytest.raises(ValueError, match=msg):
        sig.SyncSearch(**kw)
    with pytest.raises(ValueError, match="diff"):
        sig.BitLine(diff="manchester")


def test_golay_repairs_every_pattern_of_three_and_detects_four():
    data = np.random.default_rng(8).integers(0, 4096, 6).astype(np.uint32)
    words = sig.golay24_encode(data)
    assert np.array_equal(words & 0xFFF, data) and np.array_equal(sig.golay24_decode(words), data)
    for w in (1, 2, 3, 4):
        pats = np.array([sum(1 << b for b in c) for c in itertools.combinations(range(24), w)], np.uint32)
        got = sig.golay24_decode((words[:, None] ^ pats[None, :]).ravel()).reshape(len(data), -1)
        if w < 4:
            assert np.array_equal(got, np.repeat(data[:, None], len(pats), axis=1).astype(np.int32))
        else:  # distance 8: four errors are always seen, never mistaken
            assert np.all(got == -1)
