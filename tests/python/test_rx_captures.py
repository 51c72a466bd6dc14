"""Captures as SDR users have them: any rate, any sample format, SigMF, a
pipe; the satellite table and the JSON Lines output."""
import json
import subprocess
import sys

import numpy as np
import pytest

from captures import AUDIO, REFERENCE, write_capture, write_sigmf
from tamberl import rx

# (name, rate, carrier offset from the centre, format)
CAPTURES = [
    ("c96k.cf32", 96e3, 5e3, "cf32"),
    ("c960k.cf32", 960e3, 100e3, "cf32"),
    ("c250k", 250e3, -30e3, "ci16"),  # SigMF
    ("c2m4.cu8", 2.4e6, -250e3, "cu8"),
]


def run(*args, stdin=None, timeout=300):
    return subprocess.run([sys.executable, "-m", "tamberl.rx", *map(str, args)], capture_output=True,
                          timeout=timeout, input=stdin, text=stdin is None)


def frames_of(stdout):
    return [json.loads(line) for line in (stdout if isinstance(stdout, str) else stdout.decode()).splitlines()]


@pytest.fixture(scope="module")
def audio_frames():
    out = run(AUDIO, "--satellite", "BY70-1", "--json")
    assert out.returncode == 0, out.stderr
    return frames_of(out.stdout)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("captures")
    made = {}
    for name, fs, off, fmt in CAPTURES:
        if fmt == "ci16":  # the metadata's centre puts the table's frequency at the offset
            made[name] = write_sigmf(d / name, fs, off, fmt, centre_hz=436.2e6 - off)
        else:
            write_capture(d / name, fs, off, fmt)
            made[name] = d / name
    return made


def test_audio_recording_by_satellite_name(audio_frames):
    """The satellite table alone configures the decoder; every frame is
    printed byte for byte as the reference decoder prints it."""
    assert len(audio_frames) >= 26
    ref = set(REFERENCE["frames"])
    assert len({f["hex"] for f in audio_frames} & ref) >= REFERENCE["best_run"]
    f = audio_frames[0]
    assert (f["satellite"], f["transmitter"], f["framing"]) == ("BY70-1", "9k6 BPSK downlink", "CCSDS Concatenated")
    assert set(f) >= {"file", "seconds", "satellite", "transmitter", "framing", "hex", "repairs"}
    assert f["file"] == str(AUDIO) and len(f["hex"]) == 2 * 114


@pytest.mark.parametrize("name,fs,off,fmt", CAPTURES, ids=[c[0] for c in CAPTURES])
def test_complex_captures_decode_like_the_audio(files, audio_frames, name, fs, off, fmt):
    args = [files[name], "--satellite", "by70 1", "--json"]
    if fmt != "ci16":  # SigMF carries its rate, format and centre
        args += ["--rate", fs, "--format", fmt, "--carrier", off]
    out = run(*args)
    assert out.returncode == 0, out.stderr
    got = frames_of(out.stdout)
    want = {f["hex"] for f in audio_frames} | set(REFERENCE["frames"])
    assert len(got) >= max(17, int(np.ceil(0.9 * len(audio_frames))))
    assert all(f["hex"] in want for f in got)  # nothing the satellite did not send
    assert "good" in out.stderr and "real time" in out.stderr  # summaries on stderr with --json


def test_a_pipe_gives_the_file_frames(files):
    path = files["c2m4.cu8"]
    args = ["--satellite", "41909", "--json", "--rate", "2.4e6", "--format", "cu8", "--carrier=-250e3"]
    whole = run(path, *args)
    piped = run("-", *args, stdin=path.read_bytes())
    assert piped.returncode == 0, piped.stderr
    strip = lambda fr: [(f["hex"], f["seconds"]) for f in fr]  # noqa: E731
    assert strip(frames_of(piped.stdout)) == strip(frames_of(whole.stdout)) and whole.stdout


@pytest.fixture(scope="module")
def two_passes():
    """Two copies of the recording back to back: the second pass rises out
    of the noise 600 Hz from where the first one ended."""
    x, fs = rx.read_capture(str(AUDIO))
    link = rx.Link(9600, 12000, 114, "conventional", True)
    x2 = np.concatenate([x, x])
    return x2, fs, link, rx.decode_capture(x2, fs, 0, 0, link=link)


def test_a_stream_of_several_passes_decodes_each(two_passes, audio_frames):
    """A receiver that loses its carrier for good is dropped and the carrier
    acquired afresh, so a long capture or pipe decodes every pass."""
    *_, whole = two_passes
    first = [f for f in whole.frames if f.seconds < 12.7]
    assert len(first) >= 26 and len(whole.frames) - len(first) >= 20  # 22 measured


@pytest.mark.parametrize("cut", [1 << 12, 77777, 1 << 20])
def test_blocks_of_any_size_give_the_same_frames(two_passes, cut):
    """The pipeline streams: the frames do not depend on how the capture is
    cut, the re-acquisition between the passes included."""
    x, fs, link, whole = two_passes
    dec = rx.Decoder(link, fs, True)
    frames = []
    for i in range(0, len(x), cut):
        frames += dec.push(x[i:i + cut])
    frames += dec.flush()
    assert [(f.symbol, f.data) for f in frames] == [(f.symbol, f.data) for f in whole.frames]
    assert dec.receive.demod.acquisitions == 2


def test_kiss_output(tmp_path, audio_frames):
    k = tmp_path / "out.kiss"
    out = run(AUDIO, "--satellite", "BY70-1", "--quiet", "--kiss", k)
    assert out.returncode == 0
    raw = k.read_bytes()
    assert raw.count(b"\xc0\x00") == len(audio_frames)
    first = bytes.fromhex(audio_frames[0]["hex"])
    assert rx.kiss_encode(first) in raw and b"\xc0" not in rx.kiss_encode(first)[1:-1]


def test_list_and_unknown_satellites():
    out = run("--list-satellites")
    assert out.returncode == 0 and "BY70-1" in out.stdout and "41909" in out.stdout
    bad = run(AUDIO, "--satellite", "BY70")
    assert bad.returncode == 2 and "did you mean BY70-1" in bad.stderr and "Traceback" not in bad.stderr


def write_bytes(p, b):
    p.write_bytes(b)
    return p


@pytest.mark.parametrize("make,args,expect,status", [
    (lambda d: write_bytes(d / "x.cu8", b"\x80" * 100), ["--format", "cu9"], "invalid choice", 2),
    (lambda d: write_bytes(d / "x.bin", b"\x80" * 100), [], "unknown capture format", 2),
    (lambda d: write_bytes(d / "x.cu8", b"\x80" * 100), [], "needs --rate", 2),
    (lambda d: write_bytes(d / "x.cu8", b"\x80" * 100), ["--rate", "1e4"], "too slow for 9600 baud", 2),
    (lambda d: write_bytes(d / "x.cu8", bytes(2_000_000)), ["--rate", "2e6"], "0 good", 0),
    (lambda d: write_bytes(d / "x.ci16", bytes(4 * 50_000 + 3)), ["--rate", "2e5"], "ends inside a sample", 2),
    (lambda d: write_bytes(d / "x.sigmf-meta", b'{"global": {"core:datatype": "cf64_le", "core:sample_rate": 1e6, '
                           b'"core:version": "1.0.0"}, "captures": [], "annotations": []}'),
     [], "without its", 2),
    (lambda d: (write_bytes(d / "x.sigmf-data", bytes(800)), write_bytes(
        d / "x.sigmf-meta", b'{"global": {"core:datatype": "cf64_le", "core:sample_rate": 1e6, '
        b'"core:version": "1.0.0"}, "captures": [], "annotations": []}'))[1],
     [], "datatype 'cf64_le' is not supported", 2),
    (lambda d: write_bytes(d / "x.sigmf-meta", b"{not json"), [], "without its", 2),
])
def test_bad_input_is_one_line_and_a_status(tmp_path, make, args, expect, status):
    p = make(tmp_path)
    out = run(p, "--satellite", "BY70-1", *args)
    text = out.stdout + out.stderr
    assert expect in text and "Traceback" not in text, text
    assert out.returncode == status


def test_a_pipe_that_ends_mid_sample():
    x = (np.exp(2j * np.pi * 0.01 * np.arange(50_000)) * 100 + 127.5).astype(np.complex64)
    raw = np.stack([x.real, x.imag], -1).astype(np.uint8).tobytes() + b"\x01"
    out = run("-", "--satellite", "BY70-1", "--format", "cu8", "--rate", "2e5", stdin=raw)
    err = out.stderr.decode()
    assert out.returncode == 2 and "ends inside a sample (1 stray bytes" in err and "Traceback" not in err


def test_standard_input_needs_format_and_rate():
    out = run("-", "--satellite", "BY70-1", stdin=b"")
    assert out.returncode == 2 and b"standard input needs --format" in out.stderr
