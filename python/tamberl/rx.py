"""Decoding real captures of CCSDS-style concatenated BPSK downlinks.

The chain, from samples to checked frames:

    real IF (or complex baseband) -> carrier track near a hint -> BPSK
    receiver (carrier, timing and gain tracked) -> soft symbols ->
    soft-decision Viterbi decoding, both symbol-pair alignments ->
    differential (NRZ-M) decoding -> attached-sync-marker search ->
    de-randomising and Reed-Solomon decoding, which is also the truth-free
    check that a frame is right.

`decode_capture` runs it on arrays; `decode_many` on many captures at once,
long ones in segments, on local processes or a Dask cluster; `python -m
tamberl.rx FILE|DIR ...` on WAV files (mono: a real IF; stereo: I/Q) and raw
complex64 files.
"""
from __future__ import annotations

import argparse
import os
import pickle
import sys
import time
import wave
from concurrent.futures import Future, ProcessPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

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
    # Every marker examined: (seconds, whether its frame came out good).
    hits: List[Tuple[float, bool]] = field(default_factory=list, repr=False)
    source: str = ""        # the file, or "capture <i>" for an array
    error: Optional[str] = None  # why the capture could not be decoded (decode_many with raise_errors=False)

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


@dataclass
class CarrierTrack:
    """The carrier over a whole capture, as a line through the blocks where
    the squared signal shows a clear line (a pass's Doppler is close to
    linear over minutes).  Before the first and after the last such block it
    holds the end value, so a receiver started anywhere begins near the
    carrier, even inside a fade.  Empty when no block shows the line."""
    times: npt.NDArray[np.float64]     # centres of the blocks with a clear line (s)
    freqs: npt.NDArray[np.float64]     # their carrier estimates (Hz)
    slope: float = 0.0                 # fitted Hz per second
    intercept: float = 0.0             # fitted Hz at t = 0

    BLOCK = 8192
    CLEAR_DB = 15.0      # line peak above the band's median power
    SPAN_HZ = 2000.0     # searched around the hint
    OUTLIER_HZ = 50.0    # farther than this from the first fit: dropped
    STRIDE = 2           # every other block is measured: plenty for a line, half the cost

    def __bool__(self) -> bool:
        return len(self.times) > 0

    def at(self, seconds: float) -> float:
        t = min(max(seconds, float(self.times[0])), float(self.times[-1]))
        return self.intercept + self.slope * t

    @classmethod
    def measure(cls, x: npt.ArrayLike, fs: float, hint_hz: float) -> "CarrierTrack":
        """The track of a whole capture."""
        times, freqs = cls.points(np.asarray(x), fs, hint_hz)
        return cls.fit(times, freqs)

    @classmethod
    def points(cls, x: np.ndarray, fs: float, hint_hz: float, first_block: int = 0) -> Tuple[np.ndarray, np.ndarray]:
        """(times, carrier estimates) of the measured blocks of x with a
        clear line; x starts at block index first_block of the capture, and
        its trailing part block is left out.  Each block is measured on its own, so the
        points of consecutive pieces of a capture, joined, are the points of
        the whole, bit for bit."""
        n = cls.BLOCK
        real = not np.iscomplexobj(x)
        f = np.fft.rfftfreq(n, 1 / fs) if real else np.fft.fftfreq(n, 1 / fs)
        band = np.flatnonzero(np.abs(f - 2 * hint_hz) <= 2 * cls.SPAN_HZ)
        win = np.hanning(n)
        times, freqs = [], []
        for k in range((-first_block) % cls.STRIDE, len(x) // n if len(band) else 0, cls.STRIDE):
            b = x[k * n:(k + 1) * n].astype(np.float64 if real else np.complex128)
            spec = np.fft.rfft(b * b * win) if real else np.fft.fft(b * b * win)
            p = np.abs(spec[band]) ** 2
            i = int(np.argmax(p))
            if p[i] >= 10 ** (cls.CLEAR_DB / 10) * np.median(p):
                times.append((first_block + k + 0.5) * n / fs)
                freqs.append(f[band[i]] / 2)
        return np.array(times), np.array(freqs)

    @classmethod
    def fit(cls, times: np.ndarray, freqs: np.ndarray) -> "CarrierTrack":
        if len(times) == 0:
            return cls(times, freqs)
        if len(times) == 1 or np.ptp(times) == 0:
            return cls(times, freqs, 0.0, float(np.median(freqs)))
        slope, icpt = np.polyfit(times, freqs, 1)
        keep = np.abs(freqs - (icpt + slope * times)) <= cls.OUTLIER_HZ
        if keep.sum() >= 2 and np.ptp(times[keep]) > 0:
            slope, icpt = np.polyfit(times[keep], freqs[keep], 1)
            times, freqs = times[keep], freqs[keep]
        return cls(times, freqs, float(slope), float(icpt))


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
    hint: the receiver starts where the capture's carrier track (within 2 kHz
    of the hint) is at the start; when no block shows the carrier's line,
    it starts at a search within 500 Hz of the hint, and if that yields no
    good frame, a grid of starts across that range is tried (the carrier
    loop pulls in a few hundred hertz from any of them)."""
    t0 = time.perf_counter()
    v = np.asarray(x)
    track = CarrierTrack.measure(v, fs, carrier_hz) if fs > 0 else CarrierTrack.fit(np.zeros(0), np.zeros(0))
    args = (frame_size, rs_basis, differential)
    if track:
        best = _decode_at(v, fs, baud, track.at(0.0), *args, progress, keep)
    else:
        best = _decode_at(v, fs, baud, carrier_search(v, fs, carrier_hz) if len(v) else carrier_hz, *args,
                          progress, keep)
        if not best.frames and len(v):
            for fc in carrier_hz + np.array([-400.0, -200.0, 0.0, 200.0, 400.0]):
                r = _decode_at(v, fs, baud, float(fc), *args, False, keep)
                if len(r.frames) > len(best.frames):
                    best = r
    best.elapsed = time.perf_counter() - t0
    return best


def _check_rates(fs: float, baud: float, real: bool) -> float:
    if not (fs > 0 and baud > 0):
        raise ValueError("the sample rate and the baud rate must be positive")
    sps = fs / baud
    if sps <= (4.0 if real else 2.0):
        raise ValueError(f"{fs:g} samples/s is too slow for {baud:g} baud ({sps:.2f} samples per symbol; need more "
                         f"than {4 if real else 2})")
    return sps


def make_receiver(fs: float, baud: float, fc: float, real: bool) -> "track.MpskReceiver | track.MpskReceiverR":
    """The BPSK receiver of the chain, its carrier started at fc (Hz)."""
    sps = _check_rates(fs, baud, real)
    kind = track.MpskReceiverR if real else track.MpskReceiver
    return kind(m=2, sps=sps, init_norm_freq=fc / fs, bn_carrier=0.01)


def _samples_for(rx: Any, x: np.ndarray) -> np.ndarray:
    return x.astype(np.float32 if isinstance(rx, track.MpskReceiverR) else np.complex64, copy=False)


def frames_from_symbols(y: npt.ArrayLike, baud: float, frame_size: int = 114, rs_basis: str = "conventional",
                        differential: bool = True, first: int = 0, own: Tuple[int, Optional[int]] = (0, None),
                        desc: Optional[sig.FrameDesc] = None) -> Result:
    """The symbol half of the chain: both symbol-pair alignments through the
    Viterbi decoder, NRZ-M, marker search, Reed-Solomon.  y are the
    receiver's symbols, y[0] being symbol `first` of the capture; only
    markers at capture symbols in own = [lo, hi) are examined (hi None: to
    the end).  Times are the capture's."""
    desc = desc or frame_description(frame_size, rs_basis)
    soft = np.real(np.asarray(y)).astype(np.float32)
    lo, hi = own
    res = Result()
    nbits = desc.nbits
    seen = {}
    for off in (0, 1):
        v_dec = sig.Viterbi()
        bits = np.concatenate([v_dec.steps(soft[off:]), v_dec.flush()])
        if differential:
            bits = nrzm_decode(bits)
        for at, inverted in find_markers(bits):
            symbol = first + 2 * at + off
            if symbol < lo or (hi is not None and symbol >= hi):
                continue
            body = bits[at + 32: at + 32 + nbits]
            if len(body) < nbits:
                continue
            res.markers += 1
            if inverted:
                body = body ^ 1
            out = desc.deframe(body)
            seconds = symbol / baud
            good = not (desc.rx_units == 0 or desc.rx_ok != desc.rx_units)
            res.hits.append((seconds, good))
            if not good:
                res.failed += 1
                continue
            data = np.packbits(out[:8 * frame_size]).tobytes()
            key = round(seconds, 1)
            if key not in seen:
                seen[key] = Frame(seconds, data, int(desc.rx_symbols), inverted)
    res.frames = sorted(seen.values(), key=lambda f: f.seconds)
    res.hits.sort()
    return res


def _decode_at(x: np.ndarray, fs: float, baud: float, fc: float, frame_size: int, rs_basis: str,
               differential: bool, progress: bool, keep: bool = False) -> Result:
    """The chain with the receiver's carrier started at fc."""
    t0 = time.perf_counter()
    real = not np.iscomplexobj(x)
    _check_rates(fs, baud, real)
    desc = frame_description(frame_size, rs_basis)
    if len(x) == 0:
        return Result(elapsed=time.perf_counter() - t0)
    rx = make_receiver(fs, baud, fc, real)
    v = _samples_for(rx, x)
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
    res = frames_from_symbols(y, baud, frame_size, rs_basis, differential, desc=desc)
    res.seconds, res.carrier_hz = len(v) / fs, fc
    if keep and tlm is not None:
        got = tlm.drain()
        res.symbols = y
        res.probes = {k: got[k] for k in ("rx.lock", "rx.sync.lock", "rx.car.freq") if k in got}
    res.elapsed = time.perf_counter() - t0
    return res


RAW_SUFFIXES = (".cf32", ".c64", ".raw", ".iq")
WAV_SUFFIXES = (".wav",)


def capture_info(path: str, rate: Optional[float] = None) -> Tuple[int, float]:
    """(samples, sample rate) of a capture file, from its header alone."""
    if os.path.getsize(path) == 0:
        return 0, float(rate or 48000.0)
    if path.lower().endswith(RAW_SUFFIXES):
        if not rate:
            raise ValueError(f"{path}: a raw complex64 file needs --rate")
        return os.path.getsize(path) // 8, float(rate)
    try:
        with wave.open(path, "rb") as w:
            return w.getnframes(), float(rate or w.getframerate())
    except (wave.Error, EOFError) as e:
        raise ValueError(f"{path}: not a WAV file this reader understands ({e})") from None


def read_capture(path: str, rate: Optional[float] = None, start: int = 0,
                 count: Optional[int] = None) -> Tuple[np.ndarray, float]:
    """Samples and sample rate of a WAV file (mono real, stereo I/Q; 8, 16 or
    32-bit PCM) or a raw complex64 file (rate required); with start and
    count, only those samples (a segment of a long recording)."""
    if start < 0 or (count is not None and count < 0):
        raise ValueError("start and count must be >= 0")
    if os.path.getsize(path) == 0:
        return np.zeros(0, np.float32), float(rate or 48000.0)
    if path.lower().endswith(RAW_SUFFIXES):
        if not rate:
            raise ValueError(f"{path}: a raw complex64 file needs --rate")
        return np.fromfile(path, np.complex64, count=-1 if count is None else count, offset=8 * start), float(rate)
    try:
        with wave.open(path, "rb") as w:
            ch, width, fs, n = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
            if start:
                w.setpos(min(start, n))
            raw = w.readframes(max(0, min(n - start, n if count is None else count)))
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


def find_captures(paths: Sequence[str]) -> List[str]:
    """Files and directories to capture files: a directory gives its WAV and
    raw files, searched recursively, in sorted order."""
    out: List[str] = []
    for p in paths:
        if os.path.isdir(p):
            found = [os.path.join(d, f) for d, _, fs in os.walk(p) for f in fs
                     if f.lower().endswith(WAV_SUFFIXES + RAW_SUFFIXES)]
            out.extend(sorted(found))
        else:
            out.append(p)
    return out


# ---------------------------------------------------------------------------
# Many captures, and long ones in segments, on local processes or Dask.
#
# Whole captures are independent jobs, each decoded exactly as
# decode_capture decodes it.  A capture longer than segment_seconds is cut
# into cores of about that length (whole carrier-track blocks), and:
#   1. the carrier track's points are measured core by core, in parallel;
#      joined, they are the points of the whole capture, bit for bit, so the
#      track and the receiver's starting carrier are decode_capture's;
#   2. the receiver runs through the cores in order, each job continuing the
#      receiver the previous one pickled, so its symbols are exactly those of
#      one pass over the whole capture (the carrier, timing and gain loops
#      carry state that no lead-in reproduces exactly);
#   3. the symbol half (Viterbi, NRZ-M, markers, Reed-Solomon) of each core
#      runs as soon as that core's receiver job is done, in parallel with
#      the receiver of the next.
# The overlap rule of step 3: a frame belongs to the core in which it ends,
# each cut being moved back by the decoder's decision delay and a margin
# (settle_symbols), so every bit of a frame a core owns is decided from
# symbols up to that core's end, as a continuous pass decides it.  A core's
# window starts VITERBI_LEAD symbols before the first frame it may own: the
# decoder's paths merge long before that, so its decisions match a
# continuous pass.  A frame that straddles a cut ends in exactly one core
# and lies whole in that core's window, so it is found once.  A capture in
# which no block shows the carrier's line is decoded whole, with the search
# and the grid of starts decode_capture falls back to.

VITERBI_LEAD = 4096  # symbols decoded before a core's first frame, and discarded

Capture = Union[str, "os.PathLike[str]", np.ndarray, Tuple[np.ndarray, float]]


@dataclass(frozen=True)
class _Link:
    baud: float
    carrier_hz: float
    frame_size: int
    rs_basis: str
    differential: bool

    def frame_symbols(self) -> int:
        """Symbols from a frame's marker to its end (rate 1/2 coded)."""
        return 2 * (32 + 8 * (self.frame_size + 32))

    def settle_symbols(self) -> int:
        """Symbols after a bit that the decoder sees before deciding it, and a margin."""
        return 2 * sig.Viterbi().delay + 256


@dataclass
class _Piece:
    """Samples [start, stop) of capture `index`: a path its worker reads, or
    the samples themselves."""
    index: int
    source: Union[str, np.ndarray]
    rate: Optional[float]
    fs: float
    start: int
    stop: int
    link: _Link
    whole: bool = False

    def samples(self) -> np.ndarray:
        if isinstance(self.source, np.ndarray):
            return self.source
        return read_capture(self.source, self.rate, self.start, self.stop - self.start)[0]


def _points_job(p: _Piece) -> Tuple[np.ndarray, np.ndarray, float]:
    t0 = time.perf_counter()
    t, f = CarrierTrack.points(p.samples(), p.fs, p.link.carrier_hz, p.start // CarrierTrack.BLOCK)
    return t, f, time.perf_counter() - t0


def _whole_job(p: _Piece) -> Result:
    k = p.link
    return decode_capture(p.samples(), p.fs, k.baud, k.carrier_hz, k.frame_size, k.rs_basis, k.differential)


# One receiver job's output: the receiver pickled where it stands, its
# symbols, the capture symbol index of the first, and the time it took.
_Received = Tuple[bytes, np.ndarray, int, float]
# What the next receiver job needs of one: the receiver, and the capture
# symbol index its next symbol will have.
_Carry = Tuple[bytes, int]


def _carry_of(out: _Received) -> _Carry:
    return out[0], out[2] + len(out[1])


def _receive_job(p: _Piece, carry: Optional[_Carry], fc: float) -> _Received:
    t0 = time.perf_counter()
    x = p.samples()
    if carry is None:
        rx, first = make_receiver(p.fs, p.link.baud, fc, not np.iscomplexobj(x)), 0
    else:
        rx, first = pickle.loads(carry[0]), carry[1]
    y = rx.steps(_samples_for(rx, x))
    return pickle.dumps(rx), y, first, time.perf_counter() - t0


def _symbols_job(link: _Link, last: bool, *outs: _Received) -> Result:
    """The symbol half for the core of the last of outs, the earlier ones
    being the cores its window reaches back into."""
    t0 = time.perf_counter()
    cur = outs[-1]
    shift = link.settle_symbols() + link.frame_symbols()
    own_lo = cur[2] - shift if len(outs) > 1 else 0
    own_hi = None if last else cur[2] + len(cur[1]) - shift
    y = np.concatenate([o[1] for o in outs])
    first = outs[0][2]
    a = max(0, own_lo - VITERBI_LEAD - first)
    r = frames_from_symbols(y[a:], link.baud, link.frame_size, link.rs_basis, link.differential,
                            first=first + a, own=(own_lo, own_hi))
    r.elapsed = time.perf_counter() - t0 + cur[3]  # this core's receiver time too
    return r


class _Inline:
    """Runs each job at once, here."""

    class Done:
        def __init__(self, fn: Callable[..., Any], args: Tuple[Any, ...]) -> None:
            try:
                self.value, self.error = fn(*args), None
            except Exception as e:  # re-raised by result(), as a pool's future would
                self.value, self.error = None, e

        def result(self) -> Any:
            if self.error is not None:
                raise self.error
            return self.value

    def submit(self, fn: Callable[..., Any], *args: Any, urgent: bool = False) -> Any:
        return self.Done(fn, tuple(a.result() if isinstance(a, self.Done) else a for a in args))

    def carry(self, out: Any) -> Any:
        return self.submit(_carry_of, out)

    def shutdown(self, cancel: bool = False) -> None:
        pass


class _Pool:
    """Local processes; a job's arguments that are earlier jobs' futures are
    waited for here, then sent.  Urgent jobs (a receiver chain, which the
    other jobs wait on) have a process of their own, so they never queue
    behind the parallel work; it idles between them."""

    def __init__(self, n: int) -> None:
        self.pool = ProcessPoolExecutor(n)
        self.chain: Optional[ProcessPoolExecutor] = None

    def submit(self, fn: Callable[..., Any], *args: Any, urgent: bool = False) -> Any:
        if urgent and self.chain is None:
            self.chain = ProcessPoolExecutor(1)
        pool = self.chain if urgent and self.chain is not None else self.pool
        return pool.submit(fn, *(a.result() if isinstance(a, Future) else a for a in args))

    def carry(self, out: "Future[_Received]") -> "Future[_Carry]":
        """The carry of a receiver job, taken here: its symbols are not sent
        back out to the next receiver job."""
        c: "Future[_Carry]" = Future()
        out.add_done_callback(lambda f: c.set_exception(e) if (e := f.exception()) else c.set_result(
            _carry_of(f.result())))
        return c

    def shutdown(self, cancel: bool = False) -> None:
        for pool in (self.pool, self.chain):
            if pool is not None:
                pool.shutdown(cancel_futures=cancel)


class _Dask:
    """A dask.distributed client: futures passed as arguments are resolved on
    the cluster, so a capture's receiver chain is handed over at once, and
    its jobs go first."""

    def __init__(self, client: Any) -> None:
        self.client = client

    def submit(self, fn: Callable[..., Any], *args: Any, urgent: bool = False) -> Any:
        return self.client.submit(fn, *args, pure=False, priority=10 if urgent else 0)

    def carry(self, out: Any) -> Any:
        return self.submit(_carry_of, out, urgent=True)  # runs where the symbols are

    def shutdown(self, cancel: bool = False) -> None:
        pass


def default_jobs() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def decode_many(captures: Sequence[Capture], baud: float, carrier_hz: float, frame_size: int = 114,
                rs_basis: str = "conventional", differential: bool = True, *, fs: Optional[float] = None,
                rate: Optional[float] = None, segment_seconds: Optional[float] = None, jobs: Optional[int] = None,
                client: Any = None, raise_errors: bool = True,
                on_result: Optional[Callable[[int, Result], None]] = None) -> List[Result]:
    """Decode several captures in parallel: one Result per capture, in order.

    A capture is a file path (WAV, or raw complex64 with `rate`), an array
    with `fs`, or an (array, sample rate) pair.  The work runs on `client`
    (a dask.distributed.Client; its workers need tamberl, and files must be
    readable there at the same paths) when one is given, else on `jobs`
    local processes (default: the core count; 1 runs everything here).
    With `segment_seconds`, a capture longer than that is decoded in
    overlapping segments (the rule is above).  The frames are the same
    however the work is spread, segmented or not: each capture's are
    decode_capture's.  `elapsed` is the time its jobs took, summed.  With
    raise_errors=False a capture that cannot be decoded gives a Result
    whose `error` says why, instead of raising.  `on_result(i, result)`, if
    given, is called for each capture in order as soon as it and those
    before it are done (a long batch reports as it goes)."""
    if segment_seconds is not None and not segment_seconds > 0:
        raise ValueError("segment_seconds must be positive")
    link = _Link(float(baud), float(carrier_hz), int(frame_size), rs_basis, bool(differential))
    n = default_jobs() if jobs is None else int(jobs)
    if n < 1:
        raise ValueError("jobs must be >= 1")
    results = [Result() for _ in captures]
    plans: List[List[_Piece]] = [[] for _ in captures]
    for i, c in enumerate(captures):
        try:
            results[i].source, plans[i] = _plan(i, c, link, fs, rate, segment_seconds)
        except (OSError, ValueError) as e:
            if raise_errors:
                raise
            results[i].source, results[i].error = _name(i, c), str(e)
    work = sum(len(p) for p in plans)
    done = False
    ex: Any = _Dask(client) if client is not None else _Pool(min(n, work)) if n > 1 and work > 1 else _Inline()
    try:
        points = {i: [ex.submit(_points_job, p) for p in plan] for i, plan in enumerate(plans)
                  if plan and not plan[0].whole}
        pending: Dict[int, List[Any]] = {}  # a whole job's future, or a chain's symbol jobs
        extra: Dict[int, float] = {}
        carrier: Dict[int, float] = {}
        for i, plan in enumerate(plans):
            if not plan:
                continue
            if plan[0].whole:
                pending[i] = [ex.submit(_whole_job, plan[0])]
                continue
            try:
                got = [f.result() for f in points[i]]
            except (OSError, ValueError) as e:
                results[i].error = str(e)
                continue
            extra[i] = sum(g[2] for g in got)
            track = CarrierTrack.fit(np.concatenate([g[0] for g in got]), np.concatenate([g[1] for g in got]))
            if not track:
                whole = _Piece(i, plan[0].source if len(plan) == 1 else _join(plan), rate, plan[0].fs, 0,
                               plan[-1].stop, link, whole=True)
                pending[i] = [ex.submit(_whole_job, whole)]
                continue
            carrier[i] = track.at(0.0)
            pending[i] = _chain(ex, plan, link, carrier[i])
        for i in range(len(results)):
            try:
                got = [f.result() for f in pending.get(i, [])]
            except (OSError, ValueError) as e:
                if raise_errors:
                    raise
                results[i].error = str(e)
                got = []
            if got:
                source = results[i].source
                results[i] = _merge(got, plans[i], carrier[i]) if i in carrier else got[0]
                results[i].source = source
                results[i].elapsed += extra.get(i, 0.0)
            if on_result is not None:
                on_result(i, results[i])
        done = True
    finally:
        ex.shutdown(cancel=not done)  # an error or an interrupt: queued jobs are dropped
    for r in results:
        if r.error is not None and raise_errors:
            raise ValueError(r.error)
    return results


def _join(plan: List[_Piece]) -> Union[str, np.ndarray]:
    """The whole capture a split plan covers."""
    src = plan[0].source
    return src if isinstance(src, str) else np.concatenate([p.source for p in plan])


def _chain(ex: Any, plan: List[_Piece], link: _Link, fc: float) -> List[Any]:
    """Submits the receiver chain and the symbol jobs of a split capture:
    each core's symbol job as soon as its receiver job is submitted, with
    the earlier receiver outputs its window reaches back into.  An output
    is let go once no later window needs it, so a long capture's symbols
    are never all held at once."""
    per_core = max(1, int(link.baud * (plan[0].stop - plan[0].start) / plan[0].fs))
    back = 1 + (VITERBI_LEAD + link.settle_symbols() + link.frame_symbols()) // per_core
    received: List[Any] = []
    symbols: List[Any] = []
    for k, p in enumerate(plan):
        carry = ex.carry(received[-1]) if received else None
        received.append(ex.submit(_receive_job, p, carry, fc, urgent=True))
        symbols.append(ex.submit(_symbols_job, link, k == len(plan) - 1, *received[max(0, k - back):k + 1]))
        if k - back >= 0:
            received[k - back] = None  # the next window starts at k + 1 - back
    return symbols


def _name(i: int, c: Capture) -> str:
    return f"capture {i}" if isinstance(c, (tuple, np.ndarray)) else os.fspath(c)


def _plan(i: int, c: Capture, link: _Link, fs: Optional[float], rate: Optional[float],
          segment_seconds: Optional[float]) -> Tuple[str, List[_Piece]]:
    name = _name(i, c)
    if isinstance(c, tuple):
        x, f = np.asarray(c[0]), float(c[1])
        source: Union[str, np.ndarray] = x
        n = len(x)
    elif isinstance(c, np.ndarray):
        if fs is None:
            raise ValueError("an array capture needs fs (or pass (array, sample_rate))")
        source, n, f = c, len(c), float(fs)
    else:
        n, f = capture_info(name, rate)
        source = name
    if f <= 0:
        raise ValueError(f"{name}: the sample rate must be positive")
    block = CarrierTrack.BLOCK
    core = None if segment_seconds is None else max(block, int(round(segment_seconds * f / block)) * block)
    if core is None or n < 2 * core:
        return name, [_Piece(i, source, rate, f, 0, n, link, whole=True)]
    pieces = []
    for lo in range(0, n - core // 2, core):
        hi = n if n - (lo + core) < core // 2 else lo + core  # a short last piece joins the one before
        src = source[lo:hi] if isinstance(source, np.ndarray) else source
        pieces.append(_Piece(i, src, rate, f, lo, hi, link))
        if hi == n:
            break
    return name, pieces


def _merge(parts: List[Result], plan: List[_Piece], fc: float) -> Result:
    """The Results of a capture's symbol jobs as one."""
    out = Result(seconds=plan[-1].stop / plan[0].fs, carrier_hz=fc)
    for r in parts:
        out.frames.extend(r.frames)
        out.hits.extend(r.hits)
        out.markers += r.markers
        out.failed += r.failed
        out.elapsed += r.elapsed
    out.frames.sort(key=lambda f: f.seconds)
    out.hits.sort()
    return out


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


def _connect(address: str) -> Any:
    try:
        import importlib
        distributed: Any = importlib.import_module("dask.distributed")
    except ImportError:
        raise ValueError("--dask needs dask.distributed: pip install 'tamberl[dask]'") from None
    try:
        return distributed.Client(address, timeout=30)
    except (OSError, TimeoutError) as e:
        raise ValueError(f"cannot reach the Dask scheduler at {address}: {e}") from None


def summary_table(results: Sequence[Result], wall: float, where: str) -> str:
    """The table of a run: per capture the frames found, good and failed,
    the symbols repaired, the starting carrier and the real-time factor
    (capture seconds per second of work), then the totals against the wall
    clock."""
    names = [r.source for r in results]
    w = max([4] + [len(n) for n in names])
    lines = [f"{'file':<{w}}  {'seconds':>8}  {'frames':>6}  {'good':>5}  {'failed':>6}  {'repaired':>8}  "
             f"{'carrier Hz':>10}  {'x real time':>11}"]
    for n, r in zip(names, results):
        if r.error is not None:
            lines.append(f"{n:<{w}}  error: {r.error}")
            continue
        lines.append(f"{n:<{w}}  {r.seconds:8.1f}  {r.markers:6d}  {len(r.frames):5d}  {r.failed:6d}  "
                     f"{r.repairs:8d}  {r.carrier_hz:10.1f}  {r.realtime_factor:11.0f}")
    ok = [r for r in results if r.error is None]
    total = sum(r.seconds for r in ok)
    lines.append(f"{len(results)} capture{'s' * (len(results) != 1)}: {sum(len(r.frames) for r in ok)} good frames, "
                 f"{sum(r.repairs for r in ok)} symbols repaired; {total:.1f} s of capture in {wall:.2f} s {where}: "
                 f"{total / wall if wall > 0 else float('inf'):.0f}x real time")
    return "\n".join(lines)


def main(argv: Optional[Sequence[str]] = None) -> int:
    p = argparse.ArgumentParser(prog="python -m tamberl.rx",
                                description="Decode CCSDS-style concatenated BPSK frames from captures.")
    p.add_argument("files", nargs="+", help="WAV (mono real IF, stereo I/Q) or raw complex64 files, or directories "
                   "of them (searched recursively)")
    p.add_argument("--baud", type=float, required=True, help="symbol rate (a hint for the timing loop)")
    p.add_argument("--carrier", type=float, required=True, help="carrier hint in Hz (tracked within 2 kHz)")
    p.add_argument("--frame-size", type=int, default=223, help="data octets per frame (fewer than 223: shortened)")
    p.add_argument("--rs-basis", choices=["conventional", "dual"], default="dual")
    p.add_argument("--differential", action="store_true", help="the bit stream is NRZ-M precoded")
    p.add_argument("--rate", type=float, default=None, help="sample rate of raw files (overrides a WAV header)")
    p.add_argument("--jobs", type=int, default=None, help="local worker processes (default: the core count)")
    p.add_argument("--dask", default=None, metavar="ADDRESS",
                   help="run on the Dask cluster whose scheduler is at ADDRESS (tcp://host:8786) instead")
    p.add_argument("--segment", type=float, default=None, metavar="SECONDS",
                   help="decode captures longer than this in overlapping segments of about this length, in parallel")
    p.add_argument("--plot", default=None, help="write the spectrum, the constellation after lock and the lock "
                   "metrics over time to this PNG file (needs matplotlib; one capture)")
    p.add_argument("--quiet", action="store_true", help="print only the summary lines")
    a = p.parse_args(argv)
    if a.jobs is not None and a.jobs < 1:
        p.error("--jobs must be >= 1")
    if a.segment is not None and not a.segment > 0:
        p.error("--segment must be positive")
    paths = find_captures(a.files)
    if a.plot and len(paths) != 1:
        p.error("--plot draws one capture")
    t0 = time.perf_counter()
    failed = []

    def report(i: int, res: Result) -> None:  # each capture as soon as it is done
        if res.error is not None:
            print(f"error: {res.error}", file=sys.stderr, flush=True)
            failed.append(i)
            return
        if not a.quiet:
            for f in res.frames:
                print(f"{f.seconds:8.3f} s  repairs {f.repairs:2d}  {f.data.hex()}")
        print(f"{paths[i]}: {res.markers} frames found, {len(res.frames)} good, {res.failed} failed Reed-Solomon, "
              f"{res.repairs} symbols repaired, carrier {res.carrier_hz:.1f} Hz, "
              f"{res.realtime_factor:.0f}x real time", flush=True)

    results: List[Result]
    if a.plot:  # kept symbols and probes: decoded here
        x, fs = np.zeros(0, np.float32), 1.0
        try:
            x, fs = read_capture(paths[0], a.rate)
            res = decode_capture(x, fs, a.baud, a.carrier, a.frame_size, a.rs_basis, a.differential,
                                 progress=sys.stderr.isatty(), keep=True)
        except (OSError, ValueError) as e:
            res = Result(error=str(e))
        res.source = paths[0]
        results, where = [res], "here"
        report(0, res)
        if res.error is None:
            _plot(a.plot, x, fs, a.baud, res)
    else:
        client = None
        try:
            client = _connect(a.dask) if a.dask else None
        except ValueError as e:
            print(f"error: {e}", file=sys.stderr)
            return 2
        jobs = default_jobs() if a.jobs is None else a.jobs
        where = f"on the Dask cluster at {a.dask}" if client else f"on {jobs} process{'es' * (jobs != 1)}"
        try:
            results = decode_many(paths, a.baud, a.carrier, a.frame_size, a.rs_basis, a.differential, rate=a.rate,
                                  segment_seconds=a.segment, jobs=jobs, client=client, raise_errors=False,
                                  on_result=report)
        finally:
            if client is not None:
                client.close()
    print(summary_table(results, time.perf_counter() - t0, where))
    return 2 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
