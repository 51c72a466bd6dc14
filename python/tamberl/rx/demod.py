"""The BPSK demodulator: a carrier acquired from the signal, then the
library's M-PSK receiver (carrier, timing and gain tracked) giving one soft
symbol per symbol.

Acquisition looks at most LOOKAHEAD seconds ahead: the samples are held
while the squared signal's line (squaring removes the modulation) is looked
for block by block; the receiver starts, at the beginning of what was held,
on a line fitted through the first clear blocks, or, when none shows within
the look-ahead, on the strongest line near the hint.  So memory stays
bounded however long the capture, and a pass that rises out of the noise a
few seconds in still starts the receiver near its carrier.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

import numpy as np

from tamberl import track

if TYPE_CHECKING:  # annotations only: numpy.typing adds about 12 ms to every start
    import numpy.typing as npt

LOOKAHEAD = 8.0    # seconds held at most before the receiver starts
FIT_POINTS = 3     # clear blocks the starting carrier is fitted through
# The timing loop's noise bandwidth behind the front end, in Hz.  No one
# value suits every recording (a short burst wants a narrow loop, a drifting
# clock a wide one), so links whose frames carry a check run one receiver of
# each width and keep the frames either finds; unchecked links run one.
TIMING_HZ = (40.0, 80.0)
TIMING_HZ_UNCHECKED = 50.0
REACQUIRE = 2.0    # seconds of lost carrier lock after which the carrier is acquired afresh


def carrier_search(x: npt.ArrayLike, fs: float, hint_hz: float, span_hz: float = 500.0,
                   floor_hz: Optional[float] = None) -> float:
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
    if floor_hz is not None:
        band &= f >= 2 * floor_hz
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
    def points(cls, x: np.ndarray, fs: float, hint_hz: float, first_block: int = 0,
               floor_hz: Optional[float] = None) -> Tuple[np.ndarray, np.ndarray]:
        """(times, carrier estimates) of the measured blocks of x with a
        clear line; x starts at block index first_block of the capture, and
        its trailing part block is left out; no carrier below floor_hz is
        taken (a real IF's DC).  Each block is measured on its own, so the
        points of consecutive pieces of a capture, joined, are the points of
        the whole, bit for bit."""
        n = cls.BLOCK
        real = not np.iscomplexobj(x)
        f = np.fft.rfftfreq(n, 1 / fs) if real else np.fft.fftfreq(n, 1 / fs)
        band = np.flatnonzero((np.abs(f - 2 * hint_hz) <= 2 * cls.SPAN_HZ) &
                              (f >= (2 * floor_hz if floor_hz is not None else -np.inf)))
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
        slope, icpt = line_fit(times, freqs)
        keep = np.abs(freqs - (icpt + slope * times)) <= cls.OUTLIER_HZ
        if keep.sum() >= 2 and np.ptp(times[keep]) > 0:
            slope, icpt = line_fit(times[keep], freqs[keep])
            times, freqs = times[keep], freqs[keep]
        return cls(times, freqs, float(slope), float(icpt))



def line_fit(t: np.ndarray, y: np.ndarray) -> Tuple[float, float]:
    """The least-squares line through (t, y) points, as (slope, intercept),
    written out: np.polyfit would wake the BLAS threads, which then spin on
    the other core for the rest of the run."""
    tm, ym = float(np.mean(t)), float(np.mean(y))
    dt = t - tm
    slope = float(np.sum(dt * (y - ym)) / np.sum(dt * dt))
    return slope, ym - slope * tm


def make_receiver(fs: float, baud: float, fc: float, real: bool,
                  timing_hz: float = TIMING_HZ_UNCHECKED) -> "track.MpskReceiver | track.MpskReceiverR":
    """The BPSK receiver, its carrier started at fc (Hz): the real-IF
    receiver at the input rate, or the complex one (a root-raised-cosine
    matched filter) behind the front end, its timing loop timing_hz wide.
    The loop bandwidths are those that decode the recordings best."""
    sps = fs / baud
    if real:
        if sps <= 4.0:
            raise ValueError(f"{fs:g} samples/s is too slow for {baud:g} baud ({sps:.2f} samples per symbol; "
                             "need more than 4)")
        return track.MpskReceiverR(m=2, sps=sps, init_norm_freq=fc / fs, bn_carrier=0.01)
    if sps <= 2.0:
        raise ValueError(f"{fs:g} samples/s is too slow for {baud:g} baud ({sps:.2f} samples per symbol; "
                         "need more than 2)")
    return track.MpskReceiver(m=2, sps=sps, init_norm_freq=fc / fs, pulse="rrc", bn_carrier=0.01,
                              bn_timing=timing_hz / fs)


@dataclass
class BpskDemod:
    """push(block) -> soft symbols (complex64; the real part carries the
    bit).  fs, real: the front end's output; hint_hz: where the carrier is
    looked for in it.  `carrier_hz` is the receiver's latest starting
    carrier, `line` whether a clear line gave it.

    A receiver whose carrier, once locked, stays unlocked for `reacquire`
    seconds (the pass has ended, or jumped), or which has not locked within
    the look-ahead's time, is dropped and the carrier acquired afresh,
    so a long capture or a pipe that spans several passes decodes each.
    Lock is looked at only at block boundaries fixed in the stream, so the
    symbols never depend on how the input was cut."""
    fs: float
    baud: float
    hint_hz: float
    real: bool
    lookahead: float = LOOKAHEAD
    reacquire: Optional[float] = REACQUIRE
    timing_hz: float = TIMING_HZ_UNCHECKED
    rx: Optional[Any] = None
    carrier_hz: float = 0.0
    line: bool = False
    acquisitions: int = 0  # receivers started
    pos: int = 0           # samples taken
    held: List[np.ndarray] = field(default_factory=list)
    held_n: int = 0
    held_at: int = 0       # stream index of the first held sample (a block boundary)
    times: List[float] = field(default_factory=list)
    freqs: List[float] = field(default_factory=list)
    measured: int = 0      # held samples already measured (whole blocks)
    unlocked: int = 0      # blocks in a row the running receiver ended unlocked
    has_locked: bool = False  # the running receiver has locked at least once
    grid_offset: float = 0.0  # a fixed start offset from the hint (the fallback grid)
    fixed_start: bool = False
    telemetry: Optional[Any] = None  # a telemetry context the receiver publishes into once it runs
    floor_hz: Optional[float] = None  # no carrier is looked for below this

    def push(self, x: np.ndarray) -> np.ndarray:
        out: List[np.ndarray] = []
        while True:
            if self.rx is not None:
                x = self._run(x, out)  # when lock is lost for good, what is left is acquired afresh
                if not len(x):
                    break
            else:
                out.append(self._acquire(x))
                if self.rx is None or not len(x):
                    break
                x = x[:0]
        return np.concatenate(out) if len(out) > 1 else out[0] if out else np.zeros(0, np.complex64)

    def flush(self) -> np.ndarray:
        """What is held, once the stream has ended."""
        if self.rx is not None or not self.held_n:
            return np.zeros(0, np.complex64)
        if self.times:
            return self._start(self._fitted(), True)
        return self._start(self._searched(), False)

    def limit(self) -> int:
        """Samples held at most: the look-ahead in whole blocks.  Only these
        are measured, so the start does not depend on how the stream was cut."""
        n = CarrierTrack.BLOCK
        return max(1, int(np.ceil(self.lookahead * self.fs / n))) * n

    def _acquire(self, x: np.ndarray) -> np.ndarray:
        if len(x):
            self.held.append(x)
            self.held_n += len(x)
            self.pos += len(x)
        if self.fixed_start:
            return self._start(self.hint_hz + self.grid_offset, False)
        n = CarrierTrack.BLOCK
        limit = self.limit()
        whole = min(self.held_n, limit) // n * n
        if whole > self.measured:
            h = np.concatenate(self.held) if len(self.held) > 1 else self.held[0]
            self.held = [h]
            t, f = CarrierTrack.points(h[self.measured:whole], self.fs, self.hint_hz,
                                       (self.held_at + self.measured) // n, self.floor_hz)
            self.times.extend(t.tolist())
            self.freqs.extend(f.tolist())
            self.measured = whole
        if len(self.times) >= FIT_POINTS:
            return self._start(self._fitted(), True)
        if self.held_n >= limit:
            return self._start(self._searched(), False)
        return np.zeros(0, np.complex64)

    def _fitted(self) -> float:
        t, f = np.array(self.times[:FIT_POINTS]), np.array(self.freqs[:FIT_POINTS])
        return CarrierTrack.fit(t, f).at(float(t[0]))

    def _searched(self) -> float:
        h = np.concatenate(self.held) if self.held else np.zeros(0, np.float32)
        return carrier_search(h, self.fs, self.hint_hz, floor_hz=self.floor_hz) if len(h) else self.hint_hz

    def _start(self, fc: float, line: bool) -> np.ndarray:
        self.rx = make_receiver(self.fs, self.baud, fc, self.real, self.timing_hz)
        if self.telemetry is not None:
            self.rx.set_telemetry(self.telemetry, "rx", decim=16)
        self.carrier_hz, self.line = fc, line
        self.acquisitions += 1
        held, self.held, self.held_n = self.held, [], 0
        self.times, self.freqs, self.measured, self.unlocked, self.has_locked = [], [], 0, 0, False
        self.pos -= sum(len(h) for h in held)  # _run counts them again
        out: List[np.ndarray] = []
        rest = self._run(np.concatenate(held) if held else np.zeros(0, np.complex64), out)
        if len(rest):  # lost again within what was held: acquire afresh from there
            out.append(self.push(rest))
        return np.concatenate(out) if out else np.zeros(0, np.complex64)

    def _run(self, x: np.ndarray, out: List[np.ndarray]) -> np.ndarray:
        """Runs the receiver on x block by block (blocks fixed in the stream)
        until its lock has been lost for `reacquire` seconds, when it is
        dropped; returns what is left of x then (empty otherwise)."""
        assert self.rx is not None
        x = np.asarray(x, np.float32 if self.real else np.complex64)
        if self.reacquire is None:
            self.pos += len(x)
            out.append(self.rx.steps(x))
            return x[:0]
        n = CarrierTrack.BLOCK
        # A receiver that has not locked yet may be sitting in the noise before
        # its pass: it gets the look-ahead's time before it is given up.
        patience = max(self.reacquire, self.lookahead) if not self.has_locked else self.reacquire
        i = 0
        while i < len(x):
            k = min(len(x) - i, n - self.pos % n)
            out.append(self.rx.steps(x[i:i + k]))
            i += k
            self.pos += k
            if self.pos % n == 0:
                locked = bool(self.rx.locked)
                self.has_locked |= locked
                self.unlocked = 0 if locked else self.unlocked + 1
                if locked:
                    patience = self.reacquire
                if self.unlocked >= max(1, int(np.ceil(patience * self.fs / n))):
                    self.rx, self.held_at = None, self.pos
                    return x[i:]
        return x[:0]
