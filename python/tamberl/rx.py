"""Decoding real captures of CCSDS-style concatenated BPSK downlinks.

The chain, from samples to checked frames:

    real IF (or complex baseband) -> carrier search near a hint -> BPSK
    receiver (carrier, timing and gain tracked) -> soft symbols ->
    soft-decision Viterbi decoding, both symbol-pair alignments ->
    differential (NRZ-M) decoding -> attached-sync-marker search ->
    de-randomising and Reed-Solomon decoding, which is also the truth-free
    check that a frame is right.

`decode_capture` runs it on arrays; `python -m tamberl.rx FILE ...` runs it
on WAV files (mono: a real IF; stereo: I/Q) and raw complex64 files.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
import wave
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from tamberl import sig, track

ASM = "1ACFFC1D"
RS_OPTION_CONVENTIONAL, RS_OPTION_SHORTENED = 1, 2


@dataclass
class Frame:
    """One frame whose Reed-Solomon check passed."""
    seconds: float         # position of its marker in the capture
    data: bytes            # the data octets
    repairs: int           # symbol errors Reed-Solomon repaired
    inverted: bool         # the marker was found inverted (a phase ambiguity)


@dataclass
class Result:
    frames: List[Frame] = field(default_factory=list)  # distinct good frames, in time order
    markers: int = 0        # marker hits examined
    failed: int = 0         # frames that failed Reed-Solomon decoding
    carrier_hz: float = 0.0
    seconds: float = 0.0    # capture length
    elapsed: float = 0.0    # processing time
    # With keep=True: the receiver's symbols and its lock probes over time.
    symbols: Optional[np.ndarray] = None
    probes: Optional[Dict[str, np.ndarray]] = None

    @property
    def repairs(self) -> int:
        return sum(f.repairs for f in self.frames)

    @property
    def realtime_factor(self) -> float:
        return self.seconds / self.elapsed if self.elapsed > 0 else float("inf")


def nrzm_decode(bits: npt.ArrayLike) -> npt.NDArray[np.uint8]:
    """Differential (NRZ-M) decoding: a one is a change of level.  The first
    bit is taken against a 0 before the stream."""
    b: npt.NDArray[np.uint8] = np.asarray(bits, np.uint8) & np.uint8(1)
    prev: npt.NDArray[np.uint8] = np.concatenate([np.zeros(1, np.uint8), b[:-1]])
    return b ^ prev


def find_markers(bits: npt.ArrayLike, marker: str = ASM, max_errors: int = 3) -> List[Tuple[int, bool]]:
    """Positions where the hex marker starts in a bit stream with at most
    max_errors bit errors, as (index, inverted): inverted means the
    complement matched (an unresolved phase ambiguity)."""
    b = np.asarray(bits, np.uint8) & 1
    m = np.unpackbits(np.frombuffer(bytes.fromhex(marker), np.uint8))
    if len(b) < len(m):
        return []
    c = np.correlate(1 - 2 * b.astype(np.int32), 1 - 2 * m.astype(np.int32), "valid")
    need = len(m) - 2 * max_errors
    return [(int(i), bool(c[i] < 0)) for i in np.flatnonzero(np.abs(c) >= need)]


def carrier_search(x: npt.ArrayLike, fs: float, hint_hz: float, span_hz: float = 500.0) -> float:
    """The BPSK carrier within span_hz of the hint, at the start of the
    capture: squaring removes the modulation and leaves a line at twice the
    carrier.  Short blocks, power-averaged, keep a drifting (Doppler) line
    narrow while the average lifts it out of the noise."""
    v = np.asarray(x)
    n, blocks = 8192, 4
    if len(v) < n:
        return hint_hz
    f = np.fft.fftfreq(n, 1 / fs)
    band = np.abs(f - 2 * hint_hz) <= 2 * span_hz
    if not band.any():
        return hint_hz
    power = np.zeros(n)
    win = np.hanning(n)
    for k in range(min(blocks, len(v) // n)):
        s = v[k * n:(k + 1) * n].astype(np.complex128 if np.iscomplexobj(v) else np.float64)
        power += np.abs(np.fft.fft(s * s * win)) ** 2
    return float(f[np.flatnonzero(band)[np.argmax(power[band])]] / 2)


def frame_description(frame_size: int, rs_basis: str = "conventional") -> sig.FrameDesc:
    """[data | RS check octets], Reed-Solomon (shortened when fewer than 223
    data octets) and the CCSDS randomiser over both."""
    if not 1 <= frame_size <= 223:
        raise ValueError(f"frame_size must be 1..223 data octets, got {frame_size}")
    if rs_basis not in ("conventional", "dual"):
        raise ValueError(f"rs_basis must be 'conventional' or 'dual', got {rs_basis!r}")
    d = sig.FrameDesc([], [], [])
    d.add_field(np.zeros(8 * frame_size, np.uint8))
    d.name_field(0, "data")
    d.add_derived("rs", 256)
    options = (RS_OPTION_CONVENTIONAL if rs_basis == "conventional" else 0) | (
        RS_OPTION_SHORTENED if frame_size < 223 else 0)
    d.add_stage_over(1, "data", "rs", depth=1, unit_bits=options)
    d.add_stage(2, first_field=0, n_fields=2, depth=2)
    d.build()
    return d


def _progress(done: float, total: float) -> None:
    width = 30
    k = int(width * done / total) if total else width
    sys.stderr.write(f"\r  [{'#' * k}{'.' * (width - k)}] {100 * done / max(total, 1e-9):5.1f}%")
    sys.stderr.flush()


def decode_capture(x: npt.ArrayLike, fs: float, baud: float, carrier_hz: float, frame_size: int = 114,
                   rs_basis: str = "conventional", differential: bool = True, progress: bool = False,
                   keep: bool = False) -> Result:
    """Decode the frames of a capture: real samples are an IF around
    carrier_hz, complex ones baseband offset by carrier_hz.  carrier_hz is a
    hint: the carrier is searched within 500 Hz of it, and when the searched
    line yields no good frame, a grid of starts across that range is tried
    (the carrier loop pulls in a few hundred hertz from any of them)."""
    t0 = time.perf_counter()
    v = np.asarray(x)
    best = _decode_at(v, fs, baud, carrier_search(v, fs, carrier_hz) if len(v) else carrier_hz, frame_size,
                      rs_basis, differential, progress, keep)
    if not best.frames and len(v):
        for fc in carrier_hz + np.array([-400.0, -200.0, 0.0, 200.0, 400.0]):
            r = _decode_at(v, fs, baud, float(fc), frame_size, rs_basis, differential, False, keep)
            if len(r.frames) > len(best.frames):
                best = r
    best.elapsed = time.perf_counter() - t0
    return best


def _decode_at(x: np.ndarray, fs: float, baud: float, fc: float, frame_size: int, rs_basis: str,
               differential: bool, progress: bool, keep: bool = False) -> Result:
    """The chain with the receiver's carrier started at fc."""
    t0 = time.perf_counter()
    v = x
    res = Result(seconds=len(v) / fs if fs > 0 else 0.0)
    if not (fs > 0 and baud > 0):
        raise ValueError("the sample rate and the baud rate must be positive")
    sps = fs / baud
    real = not np.iscomplexobj(v)
    if sps <= (4.0 if real else 2.0):
        raise ValueError(f"{fs:g} samples/s is too slow for {baud:g} baud ({sps:.2f} samples per symbol; need more "
                         f"than {4 if real else 2})")
    desc = frame_description(frame_size, rs_basis)
    if len(v) == 0:
        res.elapsed = time.perf_counter() - t0
        return res
    res.carrier_hz = fc
    rx: track.MpskReceiver | track.MpskReceiverR
    if real:
        rx = track.MpskReceiverR(m=2, sps=sps, init_norm_freq=fc / fs, bn_carrier=0.01)
        v = v.astype(np.float32)
    else:
        rx = track.MpskReceiver(m=2, sps=sps, init_norm_freq=fc / fs, bn_carrier=0.01)
        v = v.astype(np.complex64)
    tlm = None
    if keep:
        from tamberl import telemetry
        tlm = telemetry.Telemetry(1 << 20)
        rx.set_telemetry(tlm, "rx", decim=16)
    step = int(fs)
    parts = []
    for i in range(0, len(v), step):
        parts.append(rx.steps(v[i:i + step]))
        if progress:
            _progress(min(i + step, len(v)), len(v))
    if progress:
        sys.stderr.write("\n")
    y = np.concatenate(parts) if parts else np.zeros(0, np.complex64)
    if keep and tlm is not None:
        got = tlm.drain()
        res.symbols = y
        res.probes = {k: got[k] for k in ("rx.lock", "rx.sync.lock", "rx.car.freq") if k in got}
    soft = (y.real / (np.mean(np.abs(y.real)) + 1e-12)).astype(np.float32)
    nbits = desc.nbits
    seen = {}
    for off in (0, 1):
        v_dec = sig.Viterbi()
        bits = np.concatenate([v_dec.steps(soft[off:]), v_dec.flush()])
        if differential:
            bits = nrzm_decode(bits)
        for at, inverted in find_markers(bits):
            body = bits[at + 32: at + 32 + nbits]
            if len(body) < nbits:
                continue
            res.markers += 1
            if inverted:
                body = body ^ 1
            out = desc.deframe(body)
            seconds = (2 * at + off) / baud
            if desc.rx_units == 0 or desc.rx_ok != desc.rx_units:
                res.failed += 1
                continue
            data = np.packbits(out[:8 * frame_size]).tobytes()
            key = round(seconds, 1)
            if key not in seen:
                seen[key] = Frame(seconds, data, int(desc.rx_symbols), inverted)
    res.frames = sorted(seen.values(), key=lambda f: f.seconds)
    res.elapsed = time.perf_counter() - t0
    return res


def read_capture(path: str, rate: Optional[float] = None) -> Tuple[np.ndarray, float]:
    """Samples and sample rate of a WAV file (mono real, stereo I/Q; 8, 16 or
    32-bit PCM) or a raw complex64 file (rate required)."""
    if os.path.getsize(path) == 0:
        return np.zeros(0, np.float32), float(rate or 48000.0)
    if path.lower().endswith((".cf32", ".c64", ".raw", ".iq")):
        if not rate:
            raise ValueError(f"{path}: a raw complex64 file needs --rate")
        return np.fromfile(path, np.complex64), float(rate)
    try:
        with wave.open(path, "rb") as w:
            ch, width, fs, n = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
            raw = w.readframes(n)
    except (wave.Error, EOFError) as e:
        raise ValueError(f"{path}: not a WAV file this reader understands ({e})") from None
    kinds = {1: (np.uint8, 128.0, 128.0), 2: (np.int16, 0.0, 32768.0), 4: (np.int32, 0.0, 2147483648.0)}
    if width not in kinds or ch not in (1, 2):
        raise ValueError(f"{path}: {ch} channels of {8 * width}-bit samples; need mono or stereo 8/16/32-bit PCM")
    dt, zero, scale = kinds[width]
    a = (np.frombuffer(raw, dt).astype(np.float32) - zero) / scale
    if ch == 2:
        a = (a[0::2] + 1j * a[1::2]).astype(np.complex64)
    return a, float(rate or fs)


def _plot(path: str, x: np.ndarray, fs: float, baud: float, res: Result) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("plots need matplotlib: pip install matplotlib", file=sys.stderr)
        return
    fig, (a0, a1, a2) = plt.subplots(1, 3, figsize=(15, 4))
    n = min(len(x), 1 << 16)
    if n:
        spec = 20 * np.log10(np.abs(np.fft.rfft(np.real(x[:n]) * np.hanning(n))) + 1e-12)
        a0.plot(np.fft.rfftfreq(n, 1 / fs) / 1e3, spec, lw=0.6)
    a0.axvline(res.carrier_hz / 1e3, color="r", lw=0.8, label=f"carrier start {res.carrier_hz:.0f} Hz")
    a0.set_xlabel("kHz")
    a0.set_ylabel("dB")
    a0.set_title("spectrum")
    a0.legend()
    y = res.symbols if res.symbols is not None else np.zeros(0, np.complex64)
    tail = y[len(y) // 2:]
    a1.plot(tail.real, tail.imag, ".", ms=1)
    a1.set_aspect("equal")
    a1.set_title(f"constellation after lock ({len(tail)} symbols)")
    for name, values in (res.probes or {}).items():
        t = np.arange(len(values)) * 16 / baud
        a2.plot(t, values, lw=0.8, label=name.split(".", 1)[1])
    a2.set_xlabel("s")
    a2.set_title(f"lock metrics; {len(res.frames)} good frames")
    a2.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv: Optional[Sequence[str]] = None) -> int:
    p = argparse.ArgumentParser(prog="python -m tamberl.rx",
                                description="Decode CCSDS-style concatenated BPSK frames from captures.")
    p.add_argument("files", nargs="+", help="WAV (mono real IF, stereo I/Q) or raw complex64 files")
    p.add_argument("--baud", type=float, required=True, help="symbol rate (a hint for the timing loop)")
    p.add_argument("--carrier", type=float, required=True, help="carrier hint in Hz (searched within 500 Hz)")
    p.add_argument("--frame-size", type=int, default=223, help="data octets per frame (fewer than 223: shortened)")
    p.add_argument("--rs-basis", choices=["conventional", "dual"], default="dual")
    p.add_argument("--differential", action="store_true", help="the bit stream is NRZ-M precoded")
    p.add_argument("--rate", type=float, default=None, help="sample rate of raw files (overrides a WAV header)")
    p.add_argument("--plot", default=None, help="write the spectrum, the constellation after lock and the lock "
                   "metrics over time to this PNG file (needs matplotlib)")
    p.add_argument("--quiet", action="store_true", help="print only the summary lines")
    a = p.parse_args(argv)
    status = 0
    for path in a.files:
        try:
            x, fs = read_capture(path, a.rate)
            res = decode_capture(x, fs, a.baud, a.carrier, a.frame_size, a.rs_basis, a.differential,
                                 progress=sys.stderr.isatty(), keep=bool(a.plot))
        except (OSError, ValueError) as e:
            print(f"error: {e}", file=sys.stderr)
            status = 2
            continue
        if not a.quiet:
            for f in res.frames:
                print(f"{f.seconds:8.3f} s  repairs {f.repairs:2d}  {f.data.hex()}")
        print(f"{path}: {res.markers} frames found, {len(res.frames)} good, {res.failed} failed Reed-Solomon, "
              f"{res.repairs} symbols repaired, carrier {res.carrier_hz:.1f} Hz, "
              f"{res.realtime_factor:.0f}x real time")
        if a.plot:
            _plot(a.plot, x, fs, a.baud, res)
    return status


if __name__ == "__main__":
    sys.exit(main())
