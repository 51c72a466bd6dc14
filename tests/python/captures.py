"""Complex captures built from the audio recording, as SDR users have them:
the analytic signal moved to baseband, resampled to the capture rate, offset
from the centre, a little noise added, quantised to the file's format."""
import json
import pathlib
from fractions import Fraction

import numpy as np
from scipy import signal as ss

from tamberl import rx

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
AUDIO = DATA / "by701.wav"
REFERENCE = json.loads((DATA / "recordings.reference.json").read_text())["by701"]
AUDIO_IF = 12000.0  # the recording's nominal carrier


def quantise(y, fmt):
    """Complex samples (peak about 0.8 of full scale) to the raw bytes of fmt."""
    iq = np.stack([y.real, y.imag], -1)
    if fmt == "cf32":
        return iq.astype("<f4").tobytes()
    if fmt == "ci16":
        return np.clip(np.round(iq * 32768), -32768, 32767).astype("<i2").tobytes()
    if fmt == "cu8":
        return np.clip(np.round(iq * 127.5 + 127.5), 0, 255).astype(np.uint8).tobytes()
    if fmt == "ci8":
        return np.clip(np.round(iq * 128), -128, 127).astype(np.int8).tobytes()
    raise ValueError(fmt)


def write_capture(path, fs, offset_hz, fmt, snr_db=30.0, seed=1, chunk=48000):
    """Writes the capture to path in blocks (a 2.4 MHz one never needs the
    whole thing in memory); returns its sample count."""
    x, fs_audio = rx.read_capture(str(AUDIO))
    a = ss.hilbert(x.astype(np.float64)) * np.exp(-2j * np.pi * AUDIO_IF / fs_audio * np.arange(len(x)))
    scale = 0.8 / np.max(np.abs(a))
    ratio = Fraction(int(fs), int(fs_audio))
    up, down = ratio.numerator, ratio.denominator
    pad, step = 64 * down, max(1, chunk // down) * down
    rng = np.random.default_rng(seed)
    sigma = scale * np.sqrt(np.mean(np.abs(a) ** 2) / 10 ** (snr_db / 10) / 2)
    n_out = 0
    with open(path, "wb") as f:
        for s in range(0, len(a), step):
            lo, hi = max(0, s - pad), min(len(a), s + step + pad)
            y = ss.resample_poly(a[lo:hi], up, down)
            k = (s - lo) * up // down
            y = y[k:k + (min(len(a), s + step) - s) * up // down]
            n = n_out + np.arange(len(y))
            y = scale * y * np.exp(2j * np.pi * offset_hz / fs * n)
            y += sigma * (rng.standard_normal(len(y)) + 1j * rng.standard_normal(len(y)))
            f.write(quantise(y, fmt))
            n_out += len(y)
    return n_out


def write_sigmf(base, fs, offset_hz, fmt, centre_hz=436.2e6):
    """A SigMF recording: base.sigmf-data and its base.sigmf-meta."""
    write_capture(f"{base}.sigmf-data", fs, offset_hz, fmt)
    meta = {"global": {"core:datatype": {"ci16": "ci16_le", "cf32": "cf32_le"}.get(fmt, fmt),
                       "core:sample_rate": fs, "core:version": "1.0.0"},
            "captures": [{"core:sample_start": 0, "core:frequency": centre_hz}], "annotations": []}
    pathlib.Path(f"{base}.sigmf-meta").write_text(json.dumps(meta))
    return f"{base}.sigmf-meta"
