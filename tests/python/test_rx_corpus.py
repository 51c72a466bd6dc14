"""The satellite recordings in tests/data, each decoded by satellite name
alone, against the frames the reference decoder printed for it; and each
framing's transmit side through the whole pipeline."""
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import rx, sig

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
REFERENCE = json.loads((DATA / "recordings.reference.json").read_text())
FRAMING = {"by701": "CCSDS Concatenated", "itasat1": "AX.25", "ao27": "AX.25", "upmsat_2": "AX.25", "lilacsat1": "LilacSat-1", "ao73": "AO-40 FEC",
           **{n: "AX100 ASM+Golay" for n in ("1kuns_pf", "aistechsat3", "facsat_1", "innosat_2", "delphini1")},
           **{n: "AX100 Reed Solomon" for n in ("gomx_3", "ca03_9k6", "tw_1c")},
           "ks_1q": "CCSDS Concatenated", "astrocast_9k6": "CCSDS Reed-Solomon",
           **{n: "U482C" for n in ("aisat", "galassia", "athenoxat_1", "dsat")}}
# LilacSat-1 frames carry no check.  The pass in lilacsat1 holds 29 distinct
# blocks, all of which we decode (and nothing else); the reference's best run
# adds decodes of the block the end of the pass cuts off (three different
# ones over its three runs) and one fill block with two bit errors.
REAL_FRAMES = {"lilacsat1": 29}


def decode_json(name):
    out = subprocess.run([sys.executable, "-m", "tamberl.rx", str(DATA / f"{name}.wav"), "--satellite",
                          REFERENCE[name]["satellite"], "--json"], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return [json.loads(line) for line in out.stdout.splitlines()]


@pytest.mark.parametrize("name", sorted(REFERENCE))
def test_recording_by_satellite_name(name):
    ref = REFERENCE[name]
    got = decode_json(name)
    known = set(ref["frames"])
    assert len({f["hex"] for f in got} & known) >= REAL_FRAMES.get(name, ref["best_run"])
    assert {f["framing"] for f in got} == {FRAMING.get(name, "AX.25 G3RUH")}
    assert {f["transmitter"] for f in got} <= set(ref["transmitters"]) | {"9k6 FSK AX.25 downlink"}
    if name in REAL_FRAMES or FRAMING.get(name) in ("AO-40 FEC", "AX100 ASM+Golay", "AX100 Reed Solomon", "CCSDS Concatenated",
                                                         "CCSDS Reed-Solomon", "U482C") and name != "by701":
        return  # no fixed header to compare
    # Frames beyond the reference's pass their check and come from the same
    # station: an AX.25 frame's source address, a CCSDS frame's header.
    head = (lambda h: h[:4]) if name == "by701" else (lambda h: h[14:28])  # noqa: E731
    assert {head(f["hex"]) for f in got} <= {head(h) for h in known}


@pytest.mark.xfail(strict=True, reason="the reference's best run counts noise decodes of a cut-off block")
def test_lilacsat_reaches_the_reference_best_run():
    got = decode_json("lilacsat1")
    assert len({f["hex"] for f in got} & set(REFERENCE["lilacsat1"]["frames"])) >= REFERENCE["lilacsat1"]["best_run"]


def test_manifest_decodes_each_capture_with_its_own_satellite(tmp_path):
    """One command over captures of different satellites gives each capture
    the frames its own --satellite command gives."""
    names = ["by701", "ao27", "ao73"]
    (tmp_path / "sub").mkdir()
    for n in names[1:]:
        (tmp_path / "sub" / f"{n}.wav").write_bytes((DATA / f"{n}.wav").read_bytes())
    (tmp_path / "passes.csv").write_text(
        "# a pass of each\n\nfile,satellite\n"  # comment, blank line, header
        f"{DATA / 'by701.wav'},{REFERENCE['by701']['satellite']}\n"  # absolute
        + "".join(f"sub/{n}.wav, {REFERENCE[n]['satellite']} \n" for n in names[1:]))  # relative, padded
    out = subprocess.run([sys.executable, "-m", "tamberl.rx", "--manifest", str(tmp_path / "passes.csv"), "--json"],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    got = [json.loads(line) for line in out.stdout.splitlines()]
    for n in names:
        mine = sorted(f["hex"] for f in got if f["file"].endswith(f"{n}.wav"))
        assert mine and mine == sorted(f["hex"] for f in decode_json(n))


@pytest.mark.parametrize("text, args, expect", [
    ("file,satellite\n", [], "names no capture"),
    ("a.wav\n", [], "line 1: expected a row 'capture,satellite'"),
    ("a.wav,BY70-1,extra\n", [], "line 1: expected"),
    ("a.wav,\n", [], "line 1: expected"),
    ("a.wav,No Such Sat\n", [], "no satellite 'No Such Sat' in the table"),
    ("a.wav,BY70-1\n", ["--satellite", "BY70-1"], "give neither files nor --satellite"),
    ("a.wav,BY70-1\n", ["b.wav"], "give neither files nor --satellite"),
])
def test_bad_manifest_is_one_clear_line(tmp_path, text, args, expect):
    (tmp_path / "m.csv").write_text(text)
    out = subprocess.run([sys.executable, "-m", "tamberl.rx", "--manifest", str(tmp_path / "m.csv"), *args],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 2 and expect in out.stderr and "Traceback" not in out.stderr


@pytest.mark.parametrize("name", ["ca03_9k6", "aisat", "1kuns_pf"])
def test_fsk_and_afsk_decode_the_same_in_segments(name):
    """The FSK front's running windows (DC, matched filter, level) give the
    same bits however the capture is cut, so segments of 1 s on two threads
    report exactly the frames, times and repairs of one pass."""
    link = rx.satellites.find(REFERENCE[name]["satellite"]).links()[0]
    path = str(DATA / f"{name}.wav")
    one = rx.decode_many([path], 0, 0, link=link, jobs=1)[0]
    cut = rx.decode_many([path], 0, 0, link=link, jobs=2, segment_seconds=1.0)[0]
    key = [(f.seconds, f.data, f.repairs) for f in one.frames]
    assert key and key == [(f.seconds, f.data, f.repairs) for f in cut.frames]


def window_sums(hist, seen, x, n):
    """The model of a window sum: the sums of the last n values of a stream
    (fewer at its start, with their counts) at each value of its next block
    x, from the stream's running sum continued from the last one in hist
    (the running sums of up to n values before x).  Returns the sums, the
    counts and the new history."""
    run = np.cumsum(np.concatenate([hist[-1:] if len(hist) else np.zeros(1), x]))[1:]
    full = np.concatenate([hist, run])
    i = np.arange(len(x))
    t = seen + i
    before = np.where(t >= n, full[np.maximum(i - n + len(hist), 0)], 0.0)
    return run - before, np.minimum(t + 1, n).astype(np.float64), full[-n:]


def condition_model(z, k, n):
    """The FSK front's conditioning in NumPy, block by block as the front did
    it before it moved into sig.NrzConditioner."""
    total, count, _ = window_sums(np.zeros(0), 0, z, n)
    out, _, _ = window_sums(np.zeros(0), 0, z - total / count, k)
    power, count, _ = window_sums(np.zeros(0), 0, out * out, n)
    return (out / np.maximum(np.sqrt(power / count), 1e-12)).astype(np.float32)


def test_window_sums_do_not_depend_on_the_cuts():
    rng = np.random.default_rng(3)
    x = rng.standard_normal(5000) * 3 + 0.7
    whole = window_sums(np.zeros(0), 0, x, 37)
    for cuts in ([1, 2, 36, 37, 38, 500, 4000], list(range(0, 5000, 37)), [4999]):
        hist, seen, parts, counts = np.zeros(0), 0, [], []
        for a, b in zip([0] + cuts, cuts + [len(x)]):
            got, count, hist = window_sums(hist, seen, x[a:b], 37)
            parts.append(got), counts.append(count)
            seen += b - a
        assert np.array_equal(np.concatenate(parts), whole[0]) and np.array_equal(np.concatenate(counts), whole[1])
    ref = np.array([x[max(0, i - 36):i + 1].sum() for i in range(len(x))])
    assert np.allclose(whole[0], ref, rtol=0, atol=1e-9) and whole[1][:3].tolist() == [1, 2, 3]


@pytest.mark.parametrize("k,n", [(4, 1024), (1, 1), (3, 7), (8, 8)])
def test_nrz_conditioner_matches_the_model(k, n):
    """Bit for bit against the NumPy model, a DC offset, the stream's start
    (windows not yet whole), a silent stretch (the level's floor) and
    non-finite values; and its streaming properties."""
    rng = np.random.default_rng(k * 100 + n)
    z = rng.standard_normal(6000) * 2.5 + 0.3
    z[3000:3000 + 3 * n] = 0.0
    got = sig.NrzConditioner(k, n).steps(z)
    assert got.tobytes() == condition_model(z, k, n).tobytes()
    bad = z.copy()
    bad[5000] = np.nan
    assert sig.NrzConditioner(k, n).steps(bad).tobytes() == condition_model(bad, k, n).tobytes()
    make = lambda: sig.NrzConditioner(k, n)  # noqa: E731
    run = lambda o, c: o.steps(c)  # noqa: E731
    assert_chunk_invariant(make, run, z)
    for cut in (1, n, 2500):
        assert_checkpoint_continues(make, run, z, cut=cut)
    assert_reset_reproduces(make, run, z)
    assert_set_state_refusals(make, lambda o: o.steps(z[:100]))
    assert_frame_behaviour(make)


def test_nrz_conditioner_refusals():
    for k, n in ((0, 4), (5, 4), (1, (1 << 24) + 1)):
        with pytest.raises(ValueError, match="^NrzConditioner: need 1 <= k <= window <= 2\\^24"):
            sig.NrzConditioner(k, n)
    with pytest.raises(ValueError):
        sig.NrzConditioner(4, 64).set_state(sig.NrzConditioner(4, 128).get_state())
    c = sig.NrzConditioner(2, 8)
    c.steps(np.arange(5.0))
    assert (c.k, c.window, c.seen) == (2, 8, 5)
    assert c.steps(np.arange(3, dtype=np.float32)).dtype == np.float32  # float32 in is taken exactly


def bpsk_audio(bits, baud, carrier_hz, fs=48000, snr_db=20.0, seed=0, invert=False):
    """Bits as RRC-shaped BPSK on a real IF, with white noise."""
    sps = int(fs // baud)
    sym = 1.0 - 2.0 * (np.asarray(bits, np.uint8) ^ np.uint8(invert))
    up = np.zeros(len(sym) * sps)
    up[::sps] = sym
    shaped = np.convolve(up, sig.rrc_taps(0.35, sps, 8).astype(np.float64), "same")
    n = np.arange(len(shaped))
    x = shaped * np.cos(2 * np.pi * carrier_hz / fs * n + 0.3)
    rng = np.random.default_rng(seed)
    x += rng.standard_normal(len(x)) * np.sqrt(np.mean(x ** 2) / 10 ** (snr_db / 10))
    return (0.3 * x / np.max(np.abs(x))).astype(np.float32), float(fs)


@pytest.mark.parametrize("framing,baud,carrier,invert", [
    ("AX.25 G3RUH", 9600, 11800.0, False), ("AX.25 G3RUH", 9600, 12150.0, True), ("AX.25", 1200, 1620.0, True),
])
def test_ax25_transmit_side_through_the_pipeline(framing, baud, carrier, invert):
    """Frames sent with the library's HDLC transmitter, BPSK on an audio IF
    off the nominal carrier, of either polarity, come back whole; noise
    adds no frame."""
    rng = np.random.default_rng(baud)
    frames = [rng.integers(0, 256, int(rng.integers(20, 200)), dtype=np.uint8).tobytes() for _ in range(12)]
    tx = sig.HdlcTx(g3ruh=framing.endswith("G3RUH"))
    bits = np.concatenate([tx.idle(int(0.5 * baud / 8))] + [np.concatenate([tx.frame(f, flags=8), tx.idle(4)])
                                                             for f in frames])
    x, fs = bpsk_audio(bits, baud, carrier, invert=invert)
    link = rx.Link(baud, None, framing=framing, audio_hz=12000.0 if baud > 2400 else 1500.0)
    got = rx.decode_source(rx.source.array_source(x, fs), link)
    assert [f.data for f in got.frames] == frames
    noisy, _ = bpsk_audio(bits, baud, carrier, snr_db=0.0, seed=1, invert=invert)
    worse = rx.decode_source(rx.source.array_source(noisy, fs), link)
    assert all(f.data in frames for f in worse.frames)


ASM_BITS = np.unpackbits(np.frombuffer(bytes.fromhex("1ACFFC1D"), np.uint8))


def conv_encode(bits):
    """The rate-1/2, K=7 code the decoder expects, written out: register of
    the new bit and the six before it; outputs parity(r & 0x79) and the
    inverse of parity(r & 0x5B)."""
    out, p = np.empty(2 * len(bits), np.uint8), 0
    for i, e in enumerate(np.asarray(bits, np.uint8)):
        r = (int(e) << 6) | p
        out[2 * i] = bin(r & 0x79).count("1") & 1
        out[2 * i + 1] = (bin(r & 0x5B).count("1") & 1) ^ 1
        p = r >> 1
    return out


def codeblock(data, stages):
    """Data octets through FrameDesc stages (Reed-Solomon, randomiser): the bits after the marker."""
    d = sig.FrameDesc([], [], [])
    d.add_field(np.unpackbits(np.frombuffer(data, np.uint8)))
    d.name_field(0, "data")
    stages(d)
    d.build()
    return d.bits().copy()


def ccsds_stages(d):
    d.add_derived("rs", 256)
    d.add_stage_over(1, "data", "rs", depth=1, unit_bits=1 | 2)  # conventional basis, shortened
    d.add_stage(2, first_field=0, n_fields=2, depth=2)


def lilacsat_block(data81, voice):
    """81 data octets and 35 voice octets interleaved as the satellite sends them."""
    block, q = bytearray(116), np.arange(4, 120)
    block_data = np.flatnonzero(q % 24 < 17)
    arr = np.zeros(116, np.uint8)
    arr[block_data] = np.frombuffer(data81, np.uint8)
    arr[np.setdiff1d(np.arange(116), block_data)] = np.frombuffer(voice, np.uint8)
    block[:] = arr.tobytes()
    return bytes(block)


@pytest.mark.parametrize("framing, conv", [("CCSDS Concatenated", "CCSDS"), ("LilacSat-1", "CCSDS"),
                                           ("CCSDS Concatenated", "NASA-DSN"),
                                           ("CCSDS Concatenated", "CCSDS uninverted"),
                                           ("CCSDS Concatenated", "NASA-DSN uninverted")])
def test_concatenated_transmit_side_through_the_pipeline(framing, conv):
    """Blocks built with the library's frame stages, NRZ-M precoded and
    convolutionally encoded (a plain encoder; the pairs ordered and inverted
    as the code variant sends them), BPSK on the audio IF: the deframer
    gives back every frame's data."""
    rng = np.random.default_rng(7)
    sent, stream = [], [rng.integers(0, 2, 4000).astype(np.uint8)]
    for _ in range(10):
        if framing == "LilacSat-1":
            data = rng.integers(0, 256, 81, dtype=np.uint8).tobytes()
            body = codeblock(lilacsat_block(data, bytes(35)), lambda d: d.add_stage(2, first_field=0, n_fields=1,
                                                                                    depth=2))
        else:
            data = rng.integers(0, 256, 114, dtype=np.uint8).tobytes()
            body = codeblock(data, ccsds_stages)
        sent.append(data)
        stream += [ASM_BITS, body]
    stream.append(rng.integers(0, 2, 2000).astype(np.uint8))
    pairs = conv_encode(np.bitwise_xor.accumulate(np.concatenate(stream))).reshape(-1, 2)  # NRZ-M, the code
    g1, g2 = pairs[:, 0], pairs[:, 1] ^ 1  # (G1, not G2) as sent in the CCSDS order
    order = {"CCSDS": (g1, g2 ^ 1), "NASA-DSN": (g2 ^ 1, g1), "CCSDS uninverted": (g1, g2),
             "NASA-DSN uninverted": (g2, g1)}[conv]
    channel = np.stack(order, axis=1).ravel()
    x, fs = bpsk_audio(channel, 9600, 11700.0, snr_db=15.0)
    link = rx.Link(9600, None, 114, "conventional", True, framing=framing, audio_hz=12000.0, convolutional=conv)
    got = rx.decode_source(rx.source.array_source(x, fs), link)
    assert [f.data for f in got.frames] == sent


@pytest.mark.parametrize("flip, reported", [(0.0, True), (0.03, True), (0.15, False), (0.5, False)])
def test_lilacsat_blocks_are_judged_by_their_channel(flip, reported):
    """LilacSat-1 blocks carry no check: a block whose channel symbols come
    in with a few percent of them wrong is reported whole; at 15% (where
    the decoded bits no longer reproduce a tenth of the symbols) or from a
    coin-toss channel it is not, though its marker is found."""
    from tamberl.rx.deframe import LilacSatDeframer
    rng = np.random.default_rng(27)
    data = rng.integers(0, 256, 81, dtype=np.uint8).tobytes()
    body = codeblock(lilacsat_block(data, bytes(35)), lambda d: d.add_stage(2, first_field=0, n_fields=1, depth=2))
    stream = np.concatenate([rng.integers(0, 2, 600).astype(np.uint8), ASM_BITS, body,
                             rng.integers(0, 2, 600).astype(np.uint8)])
    channel = conv_encode(np.bitwise_xor.accumulate(stream))  # NRZ-M, then the code as sent
    # the marker and what the decoder needs to settle stay clean, so the marker is always found
    hit = np.flatnonzero(rng.random(len(channel)) < flip)
    hit = hit[(hit >= 2 * (600 + 32 + 40)) & (hit < 2 * (600 + 32 + len(body)))]
    channel[hit] ^= 1
    d = LilacSatDeframer(9600.0)
    got = d.push(1.0 - 2.0 * channel.astype(np.float32)) + d.flush()
    assert d.markers == 1
    assert ([f.data for f in got] == [data]) if reported else (got == [] and d.failed == 1)


def test_ao40_transmit_side_through_the_pipeline():
    """256 octets through the library's Reed-Solomon and randomiser stages,
    the convolutional code with its tail, the 80 x 65 interleaver with the
    sync vector in its first row, differentially encoded BPSK (no phase
    change is a 1) at 1200 baud: the deframer gives the octets back."""
    from tamberl.rx.deframe import AO40_SYNC
    rng = np.random.default_rng(40)
    sent, chan = [], [rng.integers(0, 2, 3000).astype(np.uint8)]
    for _ in range(3):
        data = rng.integers(0, 256, 256, dtype=np.uint8).tobytes()
        sent.append(data)
        coded = conv_encode(np.concatenate([codeblock(data, lambda d: (
            d.add_derived("rs", 512), d.add_stage_over(1, "data", "rs", depth=2, unit_bits=1 | 2),
            d.add_stage(2, first_field=0, n_fields=2, depth=2))), np.zeros(6, np.uint8)]))
        logical = np.concatenate([AO40_SYNC, coded, np.zeros(3, np.uint8)]).astype(np.uint8)
        r, c = np.divmod(np.arange(5200), 65)
        block = np.empty(5200, np.uint8)
        block[80 * c + r] = logical
        chan.append(block)
    chan.append(rng.integers(0, 2, 1000).astype(np.uint8))
    bits = np.concatenate(chan)
    phase = np.bitwise_xor.accumulate(1 - bits)  # a 0 reverses the phase
    x, fs = bpsk_audio(phase, 1200, 1550.0, snr_db=12.0)
    link = rx.Link(1200, None, modulation="DBPSK", framing="AO-40 FEC", audio_hz=1500.0)
    got = rx.decode_source(rx.source.array_source(x, fs), link)
    assert [f.data for f in got.frames] == sent


@pytest.mark.parametrize("baud,invert,dc", [(9600, False, 0.0), (9600, True, 0.2), (4800, True, -0.3)])
def test_fsk_audio_through_the_pipeline(baud, invert, dc):
    """AX.25 G3RUH frames as an FM receiver's audio: NRZ of either polarity,
    band-limited, on a DC offset, in noise: every frame comes back."""
    rng = np.random.default_rng(baud)
    frames = [rng.integers(0, 256, int(rng.integers(20, 200)), dtype=np.uint8).tobytes() for _ in range(8)]
    tx = sig.HdlcTx(g3ruh=True)
    bits = np.concatenate([tx.idle(30)] + [np.concatenate([tx.frame(f, flags=4), tx.idle(2)]) for f in frames])
    fs = 48000.0
    nrz = np.repeat(2.0 * (bits ^ np.uint8(invert)) - 1.0, int(fs // baud))
    audio = np.convolve(nrz, np.hanning(int(fs // baud) + 1) / (fs // baud / 2 + 0.5), "same")  # the receiver's filter
    audio = 0.3 * audio + dc + 0.1 * rng.standard_normal(len(audio))
    link = rx.satellites.find("US01").links()[0]
    link = rx.Link(baud, None, modulation="FSK", framing="AX.25 G3RUH") if baud != 9600 else link
    got = rx.decode_source(rx.source.array_source(audio.astype(np.float32), fs), link)
    assert [f.data for f in got.frames] == frames


@pytest.mark.parametrize("data,word", [(0x046, 0x3EF046), (0x080, 0xED1080), (0x6CC, 0x63A6CC)])
def test_golay_known_answers_and_repairs(data, word):
    from tamberl.rx.deframe import golay_decode, golay_encode
    assert golay_encode(data) == word
    rng = np.random.default_rng(data)
    for w in range(4):  # up to 3 wrong bits are repaired
        e = sum(1 << int(b) for b in rng.choice(24, w, replace=False))
        assert golay_decode(word ^ e) == data
    assert golay_decode(word ^ 0xF) in (None, data) and golay_decode(word ^ 0xF) is None


@pytest.mark.parametrize("invert", [False, True])
def test_ax100_transmit_side_through_the_pipeline(invert):
    """Frames laid out as an AX100 sends them (the sync word, the Golay
    header with the length, a randomised shortened Reed-Solomon codeword),
    as FM audio of either polarity: the deframer gives the data back."""
    from tamberl.rx.deframe import golay_encode
    rng = np.random.default_rng(100)
    sent, bits = [], [np.tile(np.array([1, 0], np.uint8), 400)]
    for _ in range(6):
        data = rng.integers(0, 256, int(rng.integers(10, 200)), dtype=np.uint8).tobytes()
        sent.append(data)
        payload = codeblock(data, lambda d: (d.add_derived("rs", 256), d.add_stage_over(1, "data", "rs", depth=1,
                                                                                          unit_bits=1 | 2),
                                             d.add_stage(2, first_field=0, n_fields=2, depth=2)))
        header = np.unpackbits(np.frombuffer(golay_encode(len(data) + 32).to_bytes(3, "big"), np.uint8))
        sync = np.unpackbits(np.frombuffer(bytes.fromhex("930B51DE"), np.uint8))
        bits += [np.tile(np.array([1, 0], np.uint8), 40), sync, header, payload]
    bits.append(np.tile(np.array([1, 0], np.uint8), 400))
    b = np.concatenate(bits) ^ np.uint8(invert)
    fs = 48000.0
    audio = np.convolve(np.repeat(2.0 * b - 1.0, 5), np.hanning(6) / 3.5, "same") * 0.3
    audio += 0.05 * rng.standard_normal(len(audio))
    link = rx.satellites.find("FACSAT-1").links()[0]
    got = rx.decode_source(rx.source.array_source(audio.astype(np.float32), fs), link)
    assert [f.data for f in got.frames] == sent and all(f.inverted == invert for f in got.frames)


def test_ax100_reed_solomon_transmit_side_through_the_pipeline():
    """Length octet and shortened Reed-Solomon codeword behind the sync word,
    the whole stream G3RUH-scrambled, as FM audio: the data come back."""
    rng = np.random.default_rng(101)
    sent, bits = [], [np.tile(np.array([1, 0], np.uint8), 400)]
    sync = np.unpackbits(np.frombuffer(bytes.fromhex("930B51DE"), np.uint8))
    for _ in range(5):
        data = rng.integers(0, 256, int(rng.integers(10, 200)), dtype=np.uint8).tobytes()
        sent.append(data)
        word = codeblock(data, lambda d: (d.add_derived("rs", 256),
                                          d.add_stage_over(1, "data", "rs", depth=1, unit_bits=1 | 2)))
        size = np.unpackbits(np.array([len(data) + 33], np.uint8))
        bits += [np.tile(np.array([1, 0], np.uint8), 40), sync, size, word]
    bits.append(np.tile(np.array([1, 0], np.uint8), 400))
    u = np.concatenate(bits)
    t = np.zeros(len(u) + 17, np.uint8)
    for n in range(len(u)):  # the scrambler: t[n] = u[n] ^ t[n-12] ^ t[n-17]
        t[n + 17] = u[n] ^ t[n + 5] ^ t[n]
    audio = np.convolve(np.repeat(2.0 * t[17:] - 1.0, 5), np.hanning(6) / 3.5, "same") * 0.3
    audio += 0.05 * rng.standard_normal(len(audio))
    link = rx.satellites.find("CA03").links()[0]
    got = rx.decode_source(rx.source.array_source(audio.astype(np.float32), 48000.0), link)
    assert [f.data for f in got.frames] == sent


def g3ruh_scramble(u):
    t = np.zeros(len(u) + 17, np.uint8)
    for n in range(len(u)):  # t[n] = u[n] ^ t[n-12] ^ t[n-17]
        t[n + 17] = u[n] ^ t[n + 5] ^ t[n]
    return t[17:]


@pytest.mark.parametrize("framing", ["AX100 ASM+Golay", "AX100 Reed Solomon"])
@pytest.mark.parametrize("marked", [True, False])
def test_ax100_codewords_past_sixteen_errors_come_back_by_erasing_the_weak_octets(framing, marked):
    """A frame with 21 to 24 wrong octets (beyond the 16 errors the code
    repairs alone) decodes when the soft symbols mark those octets as
    unreliable, the weakest erased; at full confidence it fails its check
    and nothing comes out."""
    from tamberl.rx.deframe import Ax100Deframer, Ax100RsDeframer, golay_encode
    rng = np.random.default_rng(102)
    data = rng.integers(0, 256, 150, dtype=np.uint8).tobytes()
    sync = np.unpackbits(np.frombuffer(bytes.fromhex("930B51DE"), np.uint8))
    idle = np.tile(np.array([1, 0], np.uint8), 300)
    if framing == "AX100 ASM+Golay":
        word = codeblock(data, ccsds_stages)
        header = np.unpackbits(np.frombuffer(golay_encode(len(data) + 32).to_bytes(3, "big"), np.uint8))
        line = np.concatenate([idle, sync, header, word, idle])
        at = len(idle) + 32 + 24
        bad = rng.choice(len(data) + 32, 24, replace=False)  # octets of the codeword flipped whole
        wrong = (at + 8 * bad[:, None] + np.arange(8)).ravel()
        deframer = Ax100Deframer(9600.0)
    else:
        word = codeblock(data, lambda d: (d.add_derived("rs", 256),
                                          d.add_stage_over(1, "data", "rs", depth=1, unit_bits=1 | 2)))
        size = np.unpackbits(np.array([len(data) + 33], np.uint8))
        line = g3ruh_scramble(np.concatenate([idle, sync, size, word, idle]))
        at = len(idle) + 32 + 8
        # 7 channel bits, far apart: each makes three descrambled errors, in about 21 octets
        wrong = at + 8 * 10 + 160 * np.arange(7)
        deframer = Ax100RsDeframer(9600.0)
    soft = 1.0 - 2.0 * line.astype(np.float32)
    soft[wrong] *= -0.2 if marked else -1.0
    got = deframer.push(soft) + deframer.flush()
    if marked:
        assert [f.data for f in got] == [data] and got[0].repairs >= 17
    else:
        assert got == [] and deframer.failed >= 1


def conv_u482c(bits):
    """The U482C convolutional code: the frame stages' encoder gives each
    pair as (G1, not G2); U482C sends (G2, G1)."""
    d = sig.FrameDesc([], [], [])
    d.add_field(bits)
    d.add_stage(3, first_field=0, n_fields=1, emit_num=2, emit_den=1)
    d.build()
    pairs = d.bits().reshape(-1, 2)
    return np.stack([pairs[:, 1] ^ 1, pairs[:, 0]], axis=1).ravel()


@pytest.mark.parametrize("flags", [0x6, 0x7])
def test_u482c_transmit_side_through_the_afsk_pipeline(flags):
    """U482C frames (sync word, Golay header with L and the flags, the
    randomised Reed-Solomon codeword, convolutionally coded with a zero tail
    octet when flag bit 0 is set) as 4800-baud AFSK (2400 Hz a 1, 4800 Hz a
    0, continuous phase) in noise: the data come back; a frame whose header
    lacks the Reed-Solomon flag has no check and is not reported."""
    from tamberl.rx.deframe import golay_encode
    rng = np.random.default_rng(flags)
    sync = np.unpackbits(np.frombuffer(bytes.fromhex("C3AA6655"), np.uint8))
    sent, bits = [], [np.tile(np.array([1, 0], np.uint8), 200)]
    for i in range(5):
        data = rng.integers(0, 256, int(rng.integers(20, 60)), dtype=np.uint8).tobytes()
        body = codeblock(data, ccsds_stages)
        if flags & 1:
            body = conv_u482c(np.concatenate([body, np.zeros(8, np.uint8)]))
        f = flags if i != 2 else flags & ~0x4  # the third says it has no Reed-Solomon
        if i != 2:
            sent.append(data)
        header = np.unpackbits(np.frombuffer(golay_encode(len(body) // 8 | (f & 7) << 8).to_bytes(3, "big"),
                                             np.uint8))
        bits += [np.tile(np.array([1, 0], np.uint8), 40), sync, header, body]
    bits.append(np.tile(np.array([1, 0], np.uint8), 200))
    b = np.concatenate(bits)
    fs, baud = 48000.0, 4800.0
    freq = np.repeat(np.where(b == 1, 2400.0, 4800.0), int(fs // baud))
    audio = 0.4 * np.cos(2 * np.pi * np.cumsum(freq) / fs) + 0.1 * rng.standard_normal(len(freq))
    link = rx.satellites.find("AISAT").links()[0]
    got = rx.decode_source(rx.source.array_source(audio.astype(np.float32), fs), link)
    assert [f.data for f in got.frames] == sent


def fm_capture(name, fs, offset_hz, deviation_hz, snr_db=25.0):
    """The recording (an FM receiver's audio) put back on an FM carrier: the
    I/Q capture an SDR would have made, offset from the centre, in noise."""
    from fractions import Fraction

    from scipy import signal as ss
    x, fs_audio = rx.read_capture(str(DATA / f"{name}.wav"))
    x = x.astype(np.float64) / np.max(np.abs(x))
    r = Fraction(int(fs), int(fs_audio))
    y = ss.resample_poly(x, r.numerator, r.denominator)
    z = 0.7 * np.exp(2j * np.pi * np.cumsum(deviation_hz * y + offset_hz) / fs)
    rng = np.random.default_rng(0)
    z += 0.7 * 10 ** (-snr_db / 20) / np.sqrt(2) * (rng.standard_normal(len(z)) + 1j * rng.standard_normal(len(z)))
    return z.astype(np.complex64)


@pytest.mark.parametrize("name, fs, offset_hz, deviation_hz", [
    ("aisat", 96000, 3000.0, 4000.0), ("ao27", 96000, -2000.0, 3000.0), ("us01", 250000, -7000.0, 3500.0),
    ("facsat_1", 192000, 1500.0, 3000.0),
], ids=["U482C AFSK", "AX.25 AFSK", "AX.25 G3RUH FSK", "AX100 FSK"])
def test_fsk_and_afsk_from_iq_captures(name, fs, offset_hz, deviation_hz):
    """An I/Q capture of an FM downlink goes through an FM receiver (the
    library's down-converter around the carrier hint, a discriminator) into
    the same chains as receiver audio: every frame the audio gives, with the
    carrier hint left at 0 Hz."""
    sat = rx.satellites.find(REFERENCE[name]["satellite"])
    got = rx.decode_source(rx.source.array_source(fm_capture(name, fs, offset_hz, deviation_hz), fs),
                           sat.links()[0].for_capture(real=False))
    audio = {f["hex"] for f in decode_json(name)}
    assert {f.data.hex() for f in got.frames} >= audio and len(audio) >= REFERENCE[name]["best_run"]


@pytest.mark.parametrize("satellite", ["Swiatowid", "AO-27"])
def test_bell202_afsk_ax25_transmit_side(satellite):
    """AX.25 frames as Bell 202 AFSK (1200 Hz a 1, 2200 Hz a 0, continuous
    phase) at the satellite's baud rate, in noise: every frame comes back."""
    link = rx.satellites.find(satellite).links()[0]
    rng = np.random.default_rng(int(link.baud))
    frames = [rng.integers(0, 256, int(rng.integers(20, 120)), dtype=np.uint8).tobytes() for _ in range(4)]
    tx = sig.HdlcTx()
    bits = np.concatenate([tx.idle(20)] + [np.concatenate([tx.frame(f, flags=6), tx.idle(3)]) for f in frames])
    fs = 48000.0
    t = np.arange(int(len(bits) * fs / link.baud))
    freq = np.where(bits[(t * link.baud / fs).astype(int)] == 1, 1200.0, 2200.0)
    audio = 0.4 * np.cos(2 * np.pi * np.cumsum(freq) / fs) + 0.15 * rng.standard_normal(len(t))
    got = rx.decode_source(rx.source.array_source(audio.astype(np.float32), fs), link)
    assert [f.data for f in got.frames] == frames
