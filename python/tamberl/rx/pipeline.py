"""The decoder as a pipeline of streaming stages:

    source (capture reader) -> front end (down-conversion to a few samples
    per symbol) -> demodulator (BPSK) -> deframer (CCSDS concatenated) ->
    frame sinks (text, JSON Lines, KISS)

Each stage is a small object whose push(block) takes what the stage before
it produced and returns its own output, so a capture of any length streams
through in bounded memory, and blocks of any size give the same frames.
`Link` says what to decode (a satellite table row, or options by hand);
`Decoder` strings the stages together for one capture.
"""
from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from tamberl.rx.deframe import (AO40_BLOCK, CONVOLUTIONAL, Ao40Deframer, Ax25Deframer, Ax100Deframer, Ax100RsDeframer, U482cDeframer, CcsdsDeframer, Deframer, Frame,
                                LilacSatDeframer, frame_description, repeats)
from tamberl.rx.demod import TIMING_HZ, TIMING_HZ_UNCHECKED, BpskDemod
from tamberl.rx.frontend import FrontEnd
from tamberl.rx.fsk import AfskFront, FskFront, FskPhase, FskTimed
from tamberl.rx.source import Source, array_source

if TYPE_CHECKING:  # annotations only: numpy.typing adds about 12 ms to every start
    import numpy.typing as npt

MODULATIONS = ("BPSK", "DBPSK", "FSK", "AFSK")
FRAMINGS = ("CCSDS Concatenated", "AX.25", "AX.25 G3RUH", "LilacSat-1", "AO-40 FEC", "AX100 ASM+Golay",
            "AX100 Reed Solomon", "CCSDS Reed-Solomon", "U482C")


@dataclass(frozen=True)
class Link:
    """What a transmitter sends and where to look for it: the carrier hint
    is the IF of a real capture, or the offset from the centre of an I/Q one."""
    baud: float
    carrier_hz: Optional[float]  # None: chosen per capture by for_capture
    frame_size: int = 223
    rs_basis: str = "dual"
    differential: bool = False
    modulation: str = "BPSK"
    framing: str = "CCSDS Concatenated"
    satellite: str = ""
    transmitter: str = ""
    rs_depth: int = 1                     # Reed-Solomon interleaving depth (CCSDS framings)
    deviation_hz: float = 500.0           # AFSK: the tones' offset from audio_hz; negative: the low tone is a 1
    audio_hz: Optional[float] = None      # nominal carrier in receiver audio (a real capture)
    frequency_hz: Optional[float] = None  # nominal radio frequency
    convolutional: str = "CCSDS"          # the code's pair order and inversion (CCSDS Concatenated)

    def for_capture(self, real: bool, centre_hz: Optional[float] = None) -> "Link":
        """This link with the carrier hint a capture needs: the one given, or
        for a real capture the nominal audio carrier, for I/Q the nominal
        frequency's offset from the recorded centre (0 when either is unknown)."""
        if self.carrier_hz is not None:
            return self
        if real:
            hint = self.audio_hz if self.audio_hz is not None else 0.0
        elif centre_hz is not None and self.frequency_hz is not None:
            hint = self.frequency_hz - centre_hz
        else:
            hint = 0.0
        return replace(self, carrier_hz=float(hint))

    def __post_init__(self) -> None:
        if self.modulation not in MODULATIONS:
            raise ValueError(f"modulation {self.modulation!r} is not decoded yet (one of: {', '.join(MODULATIONS)})")
        if self.framing not in FRAMINGS:
            raise ValueError(f"framing {self.framing!r} is not decoded yet (one of: {', '.join(FRAMINGS)})")
        if not (self.baud > 0 and np.isfinite(self.baud)):
            raise ValueError("the baud rate must be positive")
        if self.carrier_hz is not None and not np.isfinite(self.carrier_hz):
            raise ValueError("the carrier hint must be finite")
        if self.framing.startswith("CCSDS"):
            frame_description(self.frame_size, self.rs_basis, self.rs_depth)  # refuses what it cannot build
        if self.convolutional not in CONVOLUTIONAL:
            raise ValueError(f"convolutional {self.convolutional!r} is not decoded (one of: {', '.join(CONVOLUTIONAL)})")

    def frame_symbols(self) -> int:
        """Symbols from a frame's start to its end, at most."""
        if self.framing.startswith("AX.25"):
            return 8 * 10002 * 6 // 5 + 16  # the longest frame kept, stuffed, with its flags
        if self.framing == "LilacSat-1":
            return 2 * (32 + 8 * 116)
        if self.framing == "AO-40 FEC":
            return AO40_BLOCK
        if self.framing == "AX100 ASM+Golay":
            return Ax100Deframer.CAPTURE + 32
        if self.framing == "AX100 Reed Solomon":
            return Ax100RsDeframer.CAPTURE + 32
        if self.framing == "U482C":
            return U482cDeframer.CAPTURE + 32
        rate = 1 if self.framing == "CCSDS Reed-Solomon" else 2  # uncoded, or rate 1/2 coded
        return rate * (32 + 8 * (self.frame_size + 32 * self.rs_depth))  # marker and codeblock

    def span_symbols(self, f: Frame) -> int:
        """Symbols from a frame's position until every branch's deframer has
        surely reported its copy: the frame, and the decoders' delays."""
        if self.framing.startswith("AX.25"):
            return 8 * (len(f.data) + 4) * 6 // 5 + 1024
        return self.frame_symbols() + 1024

    def checked(self) -> bool:
        """Every frame of this framing passes a check before it is reported."""
        return self.framing != "LilacSat-1"

    def timings(self) -> Tuple[float, ...]:
        """The timing bandwidths (Hz) of the receiver branches (see demod)."""
        return TIMING_HZ if self.checked() else (TIMING_HZ_UNCHECKED,)

    def lead_symbols(self) -> int:
        """Symbols a deframer must have seen before the first frame position it
        may own: the Viterbi decoder's paths merged (frames are owned by their
        marker), or a whole AX.25 frame (owned by its end)."""
        if self.framing.startswith("AX.25"):
            return self.frame_symbols() + 64
        if self.framing in ("AO-40 FEC", "AX100 ASM+Golay",
            "AX100 Reed Solomon", "CCSDS Reed-Solomon", "U482C"):
            return 0  # each block is decoded whole from its own symbols
        return 4096

    def deframer(self, first: int = 0, own: Tuple[int, Optional[int]] = (0, None)) -> Deframer:
        """A new deframer for this link's framing (push(symbols, final) -> frames)."""
        if self.framing.startswith("AX.25"):
            return Ax25Deframer(self.baud, self.framing == "AX.25 G3RUH", first, own)
        if self.framing == "LilacSat-1":
            return LilacSatDeframer(self.baud, first, own)
        if self.framing == "AO-40 FEC":
            return Ao40Deframer(self.baud, first, own)
        if self.framing == "AX100 ASM+Golay":
            return Ax100Deframer(self.baud, first, own)
        if self.framing == "AX100 Reed Solomon":
            return Ax100RsDeframer(self.baud, first, own)
        if self.framing == "U482C":
            return U482cDeframer(self.baud, first, own)
        return CcsdsDeframer(self.baud, self.frame_size, self.rs_basis, self.differential, first, own,
                             coded=self.framing == "CCSDS Concatenated", depth=self.rs_depth,
                             convolutional=self.convolutional)


@dataclass
class Result:
    frames: List[Frame] = field(default_factory=list)  # distinct good frames, in time order
    markers: int = 0        # marker hits examined
    failed: int = 0         # frames that failed Reed-Solomon decoding
    carrier_hz: float = 0.0  # the receiver's starting carrier, in the capture's own terms
    seconds: float = 0.0    # capture length
    elapsed: float = 0.0    # processing time
    # With keep=True: the receiver's symbols and its lock probes over time.
    symbols: Optional[np.ndarray] = None
    probes: Optional[Dict[str, np.ndarray]] = None
    # Every marker examined: (seconds, whether its frame came out good).
    hits: List[Tuple[float, bool]] = field(default_factory=list, repr=False)
    source: str = ""        # the file, or "capture <i>" for an array
    error: Optional[str] = None  # why the capture could not be decoded (decode_many with raise_errors=False)
    line: bool = False      # the receiver started on a clear carrier line
    link: Optional[Link] = None
    stray_bytes: int = 0    # a raw capture ended inside a sample: these bytes were not decoded

    @property
    def repairs(self) -> int:
        return sum(f.repairs for f in self.frames)

    @property
    def realtime_factor(self) -> float:
        return self.seconds / self.elapsed if self.elapsed > 0 else float("inf")


@dataclass
class Receive:
    """The sample half of the pipeline: the front end, then one demodulator
    per receiver branch (the link's timing bandwidths), samples in, each
    branch's soft symbols out.  Picklable between blocks, so a long
    capture's receivers can be handed from one job to the next."""
    front: Any         # FrontEnd, or FskFront
    demods: List[Any]  # BpskDemod, or FskPhase
    samples: int = 0   # input samples taken

    @classmethod
    def start(cls, link: Link, fs: float, real: bool, grid_offset: Optional[float] = None) -> "Receive":
        assert link.carrier_hz is not None, "for_capture gives the link its carrier hint"
        if link.modulation in ("FSK", "AFSK"):
            hint = 0.0 if real else float(link.carrier_hz)
            fsk = (FskFront(float(fs), link.baud, real, hint_hz=hint) if link.modulation == "FSK" else
                   AfskFront(float(fs), link.baud, real, hint_hz=hint, af_hz=link.audio_hz or 1700.0,
                             deviation_hz=link.deviation_hz))
            demods: List[Any] = [FskPhase(p, fsk.k) for p in range(fsk.k)] + [FskTimed(fsk.k)]
            if link.modulation == "AFSK":  # the tone energies' stream, a branch for each phase too
                demods += [FskPhase(p, fsk.k, channel=1) for p in range(fsk.k)]
            return cls(fsk, demods)
        front = FrontEnd(float(fs), real, link.baud, link.carrier_hz)
        demods = []
        for hz in link.timings():
            d = BpskDemod(front.fs_out, link.baud, front.hint_out, front.real_out, floor_hz=front.floor_out,
                          timing_hz=hz)
            if grid_offset is not None:
                d.grid_offset, d.fixed_start = grid_offset, True
            demods.append(d)
        return cls(front, demods)

    @property
    def demod(self) -> Any:
        """The first branch's demodulator (its carrier start is the one reported)."""
        return self.demods[0]

    def push(self, x: np.ndarray) -> List[np.ndarray]:
        self.samples += len(x)
        z = self.front.push(x)
        return [d.push(z) for d in self.demods]

    def flush(self) -> List[np.ndarray]:
        return [d.flush() for d in self.demods]

    def carrier_hz(self) -> float:
        """The receiver's starting carrier in the capture's terms (IF or offset)."""
        return float(self.demod.carrier_hz - self.front.hint_out + self.front.hint_hz)


class Decoder:
    """One capture through every stage: push(samples) returns the frames
    completed so far, flush() the rest once the capture has ended.  Each
    receiver branch has its own deframer; the first branch's frames are
    reported as they come, another's once the first branch has passed it
    without finding the same frame (see merge_branches)."""

    def __init__(self, link: Link, fs: float, real: bool, keep: bool = False,
                 grid_offset: Optional[float] = None) -> None:
        self.link, self.fs = link, float(fs)
        self.receive = Receive.start(link, fs, real, grid_offset)
        self.deframers = [link.deframer() for _ in self.receive.demods]
        self.fed = [0] * len(self.deframers)  # symbols each branch's deframer has taken
        self.frames: List[Frame] = []
        self.held: List[Frame] = []           # later branches' frames the first has not passed yet
        self.kept: Optional[List[np.ndarray]] = [] if keep else None
        self.tlm: Any = None
        if keep:  # the first receiver's lock probes, from its start
            from tamberl import telemetry
            self.tlm = self.receive.demod.telemetry = telemetry.Telemetry(1 << 20)

    def _symbols(self, ys: List[np.ndarray], final: bool) -> List[Frame]:
        if self.kept is not None:
            self.kept.append(ys[0])
        out: List[Frame] = []
        for b, (d, y) in enumerate(zip(self.deframers, ys)):
            self.fed[b] += len(y)
            for f in d.push(y, final):
                f.branch = b
                if b == 0:
                    out.append(f)
                    self.frames.append(f)
                else:
                    self.held.append(f)
        ready = [f for f in self.held if final or self.fed[0] >= f.symbol + self.link.span_symbols(f)]
        self.held = [f for f in self.held if f not in ready]
        for f in sorted(ready, key=lambda f: (f.symbol, f.branch)):
            if not any(repeats(f, g) for g in self.frames[-256:]):
                out.append(f)
                self.frames.append(f)
        return out

    def push(self, x: np.ndarray) -> List[Frame]:
        return self._symbols(self.receive.push(x), False)

    def flush(self) -> List[Frame]:
        return self._symbols(self.receive.flush(), True)

    def result(self) -> Result:
        r = Result(frames=sorted(self.frames, key=lambda f: f.symbol), carrier_hz=self.receive.carrier_hz(),
                   seconds=self.receive.samples / self.fs, line=self.receive.demod.line, link=self.link)
        for d in self.deframers:
            r.markers += d.markers
            r.failed += d.failed
            r.hits += d.hits
        r.hits.sort()
        if self.kept is not None:
            r.symbols = np.concatenate(self.kept) if self.kept else np.zeros(0, np.complex64)
        if self.tlm is not None:
            got = self.tlm.drain()
            r.probes = {k: got[k] for k in ("rx.lock", "rx.sync.lock", "rx.car.freq") if k in got}
        return r


class _Bar:
    """A progress bar on standard error: tqdm's where it is installed (the
    capture extra), else a plain one."""

    def __init__(self, total: Optional[int], unit_scale: float) -> None:
        self.total, self.done = total, 0
        try:
            from tqdm import tqdm
            self.bar: Any = tqdm(total=total, unit="s", unit_scale=unit_scale, leave=False, file=sys.stderr)
        except ImportError:
            self.bar = None

    def update(self, n: int) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
        elif self.total:
            k = int(30 * self.done / self.total)
            sys.stderr.write(f"\r  [{'#' * k}{'.' * (30 - k)}] {100 * self.done / self.total:5.1f}%")
            sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.total:
            sys.stderr.write("\n")


GRID_HZ = (-400.0, -200.0, 0.0, 200.0, 400.0)


def decode_source(source: Source, link: Link, keep: bool = False, progress: bool = False,
                  on_frame: Optional[Callable[[Frame], None]] = None) -> Result:
    """Decode one capture as it streams from its source.  When no block showed
    the carrier's line and no frame came out, a rewindable capture is tried
    again from a grid of starts around the hint (the carrier loop pulls in a
    few hundred hertz from any of them), and the best is kept."""
    t0 = time.perf_counter()
    link = link.for_capture(source.real, source.centre_hz)
    best = _decode_once(source, link, keep, progress, on_frame)
    if not best.frames and not best.line and source.rewindable and best.seconds > 0:
        for off in GRID_HZ:
            r = _decode_once(source, link, keep, False, None, off)
            if len(r.frames) > len(best.frames):
                best = r
        if on_frame is not None:
            for f in best.frames:
                on_frame(f)
    best.elapsed = time.perf_counter() - t0
    best.stray_bytes = source.stray_bytes
    return best


def _decode_once(source: Source, link: Link, keep: bool, progress: bool,
                 on_frame: Optional[Callable[[Frame], None]], grid_offset: Optional[float] = None) -> Result:
    dec = Decoder(link, source.fs, source.real, keep, grid_offset)
    bar = _Bar(source.count, 1 / source.fs) if progress else None
    try:
        for x in source.blocks():
            got = dec.push(x)
            if on_frame is not None:
                for f in got:
                    on_frame(f)
            if bar is not None:
                bar.update(len(x))
        got = dec.flush()
    finally:
        if bar is not None:
            bar.close()
    if on_frame is not None:
        for f in got:
            on_frame(f)
    return dec.result()


def decode_capture(x: npt.ArrayLike, fs: float, baud: float, carrier_hz: float, frame_size: int = 114,
                   rs_basis: str = "conventional", differential: bool = True, progress: bool = False,
                   keep: bool = False, link: Optional[Link] = None) -> Result:
    """Decode the frames of a capture in memory: real samples are an IF
    around carrier_hz, complex ones baseband offset by carrier_hz.
    carrier_hz is a hint: the receiver starts on the carrier's line found
    within 2 kHz of it in the first seconds where the signal shows, or on
    the strongest line within 500 Hz of it, then a grid of starts (see
    decode_source)."""
    link = link or Link(float(baud), float(carrier_hz), int(frame_size), rs_basis, bool(differential))
    v = np.asarray(x)
    return decode_source(array_source(v, fs), link, keep, progress)
