"""Deframers: soft symbols in, checked frames out.

`CcsdsDeframer` is the CCSDS concatenated chain: the soft-decision Viterbi
decoder on both symbol-pair alignments, differential (NRZ-M) decoding, the
attached-sync-marker search, de-randomising and Reed-Solomon decoding, which
is also the truth-free check that a frame is right.  It streams: symbols may
arrive in blocks of any size and the frames are the same; each frame is
reported as soon as both alignments have passed it, in the order of their
markers.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, List, Optional, Protocol, Tuple

import numpy as np

from tamberl import sig

if TYPE_CHECKING:  # annotations only: numpy.typing adds about 12 ms to every start
    import numpy.typing as npt

ASM = "1ACFFC1D"
RS_OPTION_CONVENTIONAL, RS_OPTION_SHORTENED = 1, 2
_ASM_BITS = np.unpackbits(np.frombuffer(bytes.fromhex(ASM), np.uint8))


@dataclass
class Frame:
    """One frame whose check passed."""
    seconds: float         # position of its marker in the capture
    data: bytes            # the data octets
    repairs: int           # symbol errors Reed-Solomon repaired
    inverted: bool         # the marker was found inverted (a phase ambiguity)
    symbol: int = 0        # capture symbol index of its marker
    branch: int = 0        # the receiver branch that found it


class Deframer(Protocol):
    """What every deframer offers the pipeline."""
    markers: int                    # frame candidates examined
    failed: int                     # candidates that failed their check
    hits: List[Tuple[float, bool]]  # (seconds, passed) of every candidate

    def push(self, symbols: npt.ArrayLike, final: bool = False) -> List[Frame]: ...


def nrzm_decode(bits: npt.ArrayLike) -> npt.NDArray[np.uint8]:
    """Differential (NRZ-M) decoding: a one is a change of level.  The first
    bit is taken against a 0 before the stream."""
    return sig.BitLine(diff="nrzm").steps(np.asarray(bits, np.uint8))


def find_markers(bits: npt.ArrayLike, marker: str = ASM, max_errors: int = 3) -> List[Tuple[int, bool]]:
    """Positions where the hex marker starts in a bit stream with at most
    max_errors bit errors, as (index, inverted): inverted means the
    complement matched (an unresolved phase ambiguity)."""
    return [(i, inv) for i, inv, _ in _marker_hits(bits, marker, max_errors)]


def unpack_hits(packed: npt.ArrayLike) -> List[Tuple[int, bool, int]]:
    """SyncSearch hits as (stream bit index, inverted, bit errors)."""
    v = np.asarray(packed, np.uint64)
    return list(zip((v >> np.uint64(8)).tolist(), ((v >> np.uint64(7)) & np.uint64(1)).astype(bool).tolist(),
                    (v & np.uint64(0x7F)).tolist()))


def _marker_hits(bits: npt.ArrayLike, marker: str, max_errors: int) -> List[Tuple[int, bool, int]]:
    """find_markers, with each hit's count of bit errors."""
    return unpack_hits(sig.SyncSearch(marker, max_errors).steps(np.asarray(bits, np.uint8)))


def frame_description(frame_size: int, rs_basis: str = "conventional", depth: int = 1) -> sig.FrameDesc:
    """[data | RS check octets], Reed-Solomon interleaved to `depth`
    codewords (shortened when each holds fewer than 223 data octets) and the
    CCSDS randomiser over both."""
    if not (1 <= depth <= 8 and 1 <= frame_size <= 223 * depth and frame_size % depth == 0):
        raise ValueError(f"frame_size must be 1..223 data octets per codeword, a whole number of them for "
                         f"interleaving depth {depth}; got {frame_size}")
    if rs_basis not in ("conventional", "dual"):
        raise ValueError(f"rs_basis must be 'conventional' or 'dual', got {rs_basis!r}")
    d = sig.FrameDesc([], [], [])
    d.add_field(np.zeros(8 * frame_size, np.uint8))
    d.name_field(0, "data")
    d.add_derived("rs", 256 * depth)
    options = (RS_OPTION_CONVENTIONAL if rs_basis == "conventional" else 0) | (
        RS_OPTION_SHORTENED if frame_size < 223 * depth else 0)
    d.add_stage_over(1, "data", "rs", depth=depth, unit_bits=options)
    d.add_stage(2, first_field=0, n_fields=2, depth=2)
    d.build()
    return d


# How each variant of the rate-1/2 K=7 code orders and inverts a pair, as
# what the library's decoder (which takes G1, then G2 inverted) must do to
# it: (swap the pair, then negate its second symbol).
CONVOLUTIONAL = {"CCSDS": (False, False),               # G1, not G2
                 "NASA-DSN": (True, False),             # not G2, G1
                 "CCSDS uninverted": (False, True),     # G1, G2
                 "NASA-DSN uninverted": (True, True)}   # G2, G1


# The code's generators as taps on the input bit and the six before it
# (G1 = 171 and G2 = 133 octal, the newest bit first), for coding again.
G1_TAPS = np.array([(0x4F >> i) & 1 for i in range(7)], np.uint8)
G2_TAPS = np.array([(0x6D >> i) & 1 for i in range(7)], np.uint8)


class _Alignment:
    """One symbol-pair alignment: a Viterbi decoder, NRZ-M, the marker
    search, and the bits a pending marker still needs."""

    def __init__(self, off: int, differential: bool, coded: bool = True, first: int = 0,
                 max_errors: int = 3, convolutional: str = "CCSDS", keep_channel: bool = False) -> None:
        self.off = off
        self.swap, self.negate = CONVOLUTIONAL[convolutional]
        self.half = np.zeros(0, np.float32)  # a symbol waiting for its pair (a pair order to undo)
        # uncoded: the symbols' hard decisions are the bits.  The decoder's
        # schedule is counted in capture symbol pairs, so a segment's decoder
        # decides as a continuous pass does.
        self.viterbi = sig.Viterbi(start=(first + off) // 2) if coded else None
        self.line = sig.BitLine(diff="nrzm") if differential else None
        self.sync = sig.SyncSearch(ASM, max_errors)
        self.found: List[Tuple[int, bool, int]] = []
        self.skip = off          # symbols still to drop before this alignment starts
        self.bits = np.zeros(0, np.uint8)
        self.base = 0            # stream bit index of bits[0]
        self.searched = 0        # marker starts before this bit index are found
        # With keep_channel (coded only): the decoder's bits before NRZ-M and
        # the hard decisions of the symbol pairs it took, raw[j] the input bit
        # of pair j, chan[2j], chan[2j + 1] that pair, both from bit `base` on.
        self.keep = keep_channel and coded
        self.raw = np.zeros(0, np.uint8)
        self.chan = np.zeros(0, np.uint8)

    def push(self, soft: np.ndarray, final: bool) -> None:
        if self.skip:
            k = min(self.skip, len(soft))
            soft, self.skip = soft[k:], self.skip - k
        if self.viterbi is None:
            b = (soft < 0).astype(np.uint8)  # the library's sense: positive is a 0
        else:
            if self.swap or self.negate:
                soft = np.concatenate([self.half, soft])
                cut = len(soft) - len(soft) % 2
                soft, self.half = soft[:cut].reshape(-1, 2), soft[cut:]
                if self.swap:
                    soft = soft[:, ::-1]
                soft = (soft * np.array([1.0, -1.0 if self.negate else 1.0], np.float32)).ravel()
            b = self.viterbi.steps(soft) if len(soft) else np.zeros(0, np.uint8)
            if final:
                b = np.concatenate([b, self.viterbi.flush()])
            if self.keep:
                self.raw = np.concatenate([self.raw, b])
                self.chan = np.concatenate([self.chan, (soft < 0).astype(np.uint8)])
        b = self.line.steps(b) if self.line is not None else b.astype(np.uint8)
        self.found += unpack_hits(self.sync.steps(b))
        self.bits = np.concatenate([self.bits, b])

    @property
    def end(self) -> int:
        return self.base + len(self.bits)

    def search(self) -> List[Tuple[int, bool, int]]:
        """Markers found since the last call (stream bit indices), with
        whether they matched inverted and their bit errors."""
        hits, self.found = self.found, []
        self.searched = max(self.searched, self.end - len(_ASM_BITS) + 1)
        return hits

    def take(self, at: int, n: int) -> np.ndarray:
        return self.bits[at - self.base: at - self.base + n]

    def trim(self, keep_from: int) -> None:
        k = min(max(0, keep_from - self.base), len(self.bits))
        self.bits, self.base = self.bits[k:], self.base + k
        if self.keep:
            self.raw, self.chan = self.raw[k:], self.chan[2 * k:]

    def disagreement(self, at: int, n: int) -> float:
        """The share of the channel symbols of bits at .. at + n - 1 that
        the decoder's bits, coded again, do not reproduce (the first 6 bits
        only set the encoder's register): near 0 for a block received
        cleanly, near the channel's error rate for one received in noise,
        and about a fifth for a decode of noise (the decoder's best path
        through random symbols still matches most of them).  1.0 without
        the bits."""
        raw = self.raw[at - self.base:at - self.base + n]
        chan = self.chan[2 * (at - self.base):2 * (at - self.base + n)]
        if at < self.base or len(raw) < n or len(chan) < 2 * n or n <= 6:
            return 1.0
        g1 = np.convolve(raw, G1_TAPS)[6:n] & 1
        g2 = (np.convolve(raw, G2_TAPS)[6:n] & 1) ^ np.uint8(1)
        coded = np.stack([g1, g2], axis=1).ravel().astype(np.uint8)
        return float(np.mean(coded != chan[12:]))


class CcsdsDeframer:
    """CCSDS concatenated frames (or, uncoded, CCSDS Reed-Solomon frames) from
    a stream of soft symbols (the real part of the receiver's symbols).  `first` is the capture symbol index of the
    first symbol pushed; only markers at capture symbols in own = [lo, hi)
    are examined (hi None: to the end).  A frame found on both alignments
    (or twice within a frame's length) is reported once, at its earlier
    marker."""

    MAX_ERRORS = 3
    CHECKED = True  # every frame passes a check (Reed-Solomon) before it is reported
    # Unchecked frames only: the most of a block's channel symbols that its
    # decoded bits, coded again, may fail to reproduce (see _Alignment.disagreement).
    MAX_DISAGREEMENT = 1.0

    def __init__(self, baud: float, frame_size: int = 114, rs_basis: str = "conventional",
                 differential: bool = True, first: int = 0, own: Tuple[int, Optional[int]] = (0, None),
                 desc: Optional[sig.FrameDesc] = None, coded: bool = True, depth: int = 1,
                 convolutional: str = "CCSDS") -> None:
        self.baud, self.frame_size = float(baud), int(frame_size)
        self.desc = desc or frame_description(frame_size, rs_basis, depth)
        self.first, self.own = int(first), own
        # rate-1/2 coded: two symbol-pair alignments; uncoded: one symbol a bit
        self.rate = 2 if coded else 1
        self.ali = ([_Alignment(off, differential, first=self.first, max_errors=self.MAX_ERRORS,
                                convolutional=convolutional, keep_channel=not self.CHECKED) for off in (0, 1)]
                    if coded else [_Alignment(0, differential, coded=False, max_errors=self.MAX_ERRORS)])
        # (symbol, alignment, bit index, inverted, marker errors)
        self.pending: List[Tuple[int, int, int, bool, int]] = []
        self.recent: List[Frame] = []
        self.kept_errors: Dict[int, int] = {}  # marker errors of frames reported lately, by symbol
        self.markers = self.failed = 0
        self.hits: List[Tuple[float, bool]] = []
        self.frame_symbols = self.rate * (32 + self.desc.nbits)

    def push(self, symbols: npt.ArrayLike, final: bool = False) -> List[Frame]:
        soft = np.real(np.asarray(symbols)).astype(np.float32)
        lo, hi = self.own
        for a in self.ali:
            a.push(soft, final)
            for at, inverted, errors in a.search():
                symbol = self.first + self.rate * at + a.off
                if symbol < lo or (hi is not None and symbol >= hi):
                    continue
                self.pending.append((symbol, a.off, at, inverted, errors))
        self.pending.sort()
        out = self._resolve(final)
        for a in self.ali:  # keep only what a pending marker or the next search needs
            a.trim(min([p[2] for p in self.pending if p[1] == a.off] + [a.searched]))
        return out

    def flush(self) -> List[Frame]:
        return self.push(np.zeros(0, np.float32), final=True)

    def _resolve(self, final: bool) -> List[Frame]:
        """Decodes pending markers in order, while every alignment has
        searched past them (so no earlier marker can still appear) and their
        frame's bits are all there."""
        nbits = self.desc.nbits
        frontier = min(self.first + self.rate * a.searched + a.off for a in self.ali)
        # An unchecked frame also waits for the markers a frame's length after
        # it: of markers that overlap, only the closest match is a frame.
        wait = 0 if self.CHECKED else self.frame_symbols
        out: List[Frame] = []
        while self.pending:
            symbol, off, at, inverted, errors = self.pending[0]
            a = self.ali[off]
            complete = a.end >= at + 32 + nbits
            if not final and (symbol + wait >= frontier or not complete):
                break
            self.pending.pop(0)
            if not complete:
                continue  # the stream ended inside this frame
            if not self.CHECKED and self._beaten(symbol, errors):
                continue
            # an unchecked block the channel could not carry fails the stand-in check
            carried = self.CHECKED or a.disagreement(at, 32 + nbits) <= self.MAX_DISAGREEMENT
            frame = self._decode(a.take(at + 32, nbits), symbol, inverted, carried)
            if frame is not None and self._distinct(frame):
                self.kept_errors[frame.symbol] = errors
                out.append(frame)
        return out

    def _beaten(self, symbol: int, errors: int) -> bool:
        """A marker that overlaps a closer match, kept or still to come."""
        later = any(p[0] - symbol < self.frame_symbols and p[4] < errors for p in self.pending)
        earlier = any(symbol - s < self.frame_symbols and e < errors for s, e in self.kept_errors.items())
        self.kept_errors = {s: e for s, e in self.kept_errors.items() if symbol - s < self.frame_symbols}
        return later or earlier

    def _decode(self, body: np.ndarray, symbol: int, inverted: bool, carried: bool = True) -> Optional[Frame]:
        self.markers += 1
        if inverted:
            body = body ^ np.uint8(1)
        desc = self.desc
        got = desc.deframe(body)
        seconds = symbol / self.baud
        good = carried and not (desc.rx_units == 0 or desc.rx_ok != desc.rx_units)
        self.hits.append((seconds, good))
        if not good:
            self.failed += 1
            return None
        return Frame(seconds, self.payload(got), int(desc.rx_symbols), inverted, symbol)

    def payload(self, bits: np.ndarray) -> bytes:
        """The frame's data octets from its decoded bits."""
        return np.packbits(bits[:8 * self.frame_size]).tobytes()

    def _distinct(self, frame: Frame) -> bool:
        self.recent = [f for f in self.recent if frame.symbol - f.symbol < REPEAT_SYMBOLS]
        if any(repeats(frame, f) for f in self.recent):
            return False
        self.recent.append(frame)
        return True


REPEAT_SYMBOLS = 256  # copies of one frame (other alignment, other receiver branch) lie this close


def repeats(f: Frame, g: Frame) -> bool:
    """f is g found again: the same data a few symbols away (the other
    alignment's or receiver branch's copy), or, as an unchecked frame may
    differ by the bit errors it carries, any frame at the same marker give
    or take a symbol."""
    d = abs(f.symbol - g.symbol)
    return d < REPEAT_SYMBOLS and (f.data == g.data or d <= 2)


def distinct_frames(frames: List[Frame]) -> List[Frame]:
    """Frames in marker order, each once (see repeats): the first receiver
    branch's copy where it has one, else the earliest, as a Decoder reports
    them."""
    out: List[Frame] = []
    for f in sorted(frames, key=lambda f: (f.branch != 0, f.symbol, f.branch)):
        if not any(repeats(f, g) for g in out):
            out.append(f)
    return sorted(out, key=lambda f: f.symbol)


def _lilacsat_data_index() -> np.ndarray:
    """Positions of the 81 data octets among the 116 after the marker: in
    each 24-octet chunk (the first begins with the 4 marker octets) the
    last 7 are a voice frame."""
    q = np.arange(4, 120)
    return np.flatnonzero(q % 24 < 17)


class LilacSatDeframer(CcsdsDeframer):
    """LilacSat-1 blocks: the CCSDS chain's convolutional code, NRZ-M and
    marker (up to 4 bit errors), then 116 randomised octets of which 81 are
    data, the rest voice frames.  There is no check: a block is reported
    unless its decoded bits, coded again, fail to reproduce more than a
    tenth of the channel symbols it came in, so a block received in heavy
    noise (which carries bit errors) or a decode of noise is not."""

    MAX_ERRORS = 4
    CHECKED = False
    # With no check, a block is judged by its channel instead.  On the
    # corpus's recording every block came through whole below 4% of its
    # symbols disagreeing (noise at up to its RMS); at twice its RMS every
    # block disagreed in 13 to 20% and carried bit errors; decodes of noise
    # (a false marker, a block the recording cuts off) disagree in 17 to 20%.
    MAX_DISAGREEMENT = 0.1
    DATA = _lilacsat_data_index()

    def __init__(self, baud: float, first: int = 0, own: Tuple[int, Optional[int]] = (0, None)) -> None:
        d = sig.FrameDesc([], [], [])
        d.add_field(np.zeros(8 * 116, np.uint8))
        d.name_field(0, "block")
        d.add_stage(2, first_field=0, n_fields=1, depth=2)  # the CCSDS randomiser
        d.build()
        super().__init__(baud, 81, "conventional", True, first, own, desc=d)

    def payload(self, bits: np.ndarray) -> bytes:
        return np.packbits(bits[:8 * 116]).take(self.DATA).tobytes()


class Ax25Deframer:
    """AX.25 frames (HDLC, NRZI, optionally G3RUH-scrambled) from a stream of
    soft symbols, one channel bit each: hard decisions, then the core's
    `sig.HdlcRx`, which checks every frame's CRC.  Polarity does not matter.
    `first` is the capture symbol index of the first symbol pushed; only
    frames ending at capture symbols in own = [lo, hi) are kept."""

    def __init__(self, baud: float, g3ruh: bool, first: int = 0,
                 own: Tuple[int, Optional[int]] = (0, None)) -> None:
        self.baud, self.first, self.own = float(baud), int(first), own
        self.hdlc = sig.HdlcRx(g3ruh=g3ruh)
        self.markers = self.failed = 0
        self.hits: List[Tuple[float, bool]] = []
        self.frame_symbols = 8 * 10002

    def push(self, symbols: npt.ArrayLike, final: bool = False) -> List[Frame]:
        # The library's soft symbols are positive for a 0.
        hard = (np.real(np.asarray(symbols)) < 0).astype(np.uint8)
        raw = self.hdlc.steps(hard).tobytes()
        out: List[Frame] = []
        i = 0
        lo, hi = self.own
        while i < len(raw):
            n = int.from_bytes(raw[i:i + 4], "little")
            end = self.first + int.from_bytes(raw[i + 4:i + 12], "little")
            data = raw[i + 12:i + 12 + n]
            i += 12 + n
            if end < lo or (hi is not None and end >= hi):
                continue
            start = end - 8 * (n + 3)  # the opening flag, stuffing aside
            out.append(Frame(start / self.baud, data, 0, False, start))
            self.hits.append((start / self.baud, True))
        self.markers = int(self.hdlc.good + self.hdlc.bad)
        self.failed = int(self.hdlc.bad)
        return out

    def flush(self) -> List[Frame]:
        return self.push(np.zeros(0, np.float32), final=True)


# AO-40 FEC: a 65-bit sync vector spread over a 5200-symbol block (every 80th
# symbol), the rest the rate-1/2 code of two interleaved, shortened
# Reed-Solomon (160,128) codewords, randomised.
AO40_SYNC = np.concatenate([np.unpackbits(np.frombuffer(bytes.fromhex("FE1DE592044C5D6C"), np.uint8)), [0]])
AO40_ROWS, AO40_COLS = 80, 65
AO40_BLOCK = AO40_ROWS * AO40_COLS
AO40_CODED = 5132  # 2 x (2560 data bits + 6 tail bits)


def ao40_description() -> sig.FrameDesc:
    """256 data octets, two Reed-Solomon codewords (even and odd octets),
    conventional basis, shortened to 160; then the CCSDS randomiser."""
    d = sig.FrameDesc([], [], [])
    d.add_field(np.zeros(8 * 256, np.uint8))
    d.name_field(0, "data")
    d.add_derived("rs", 512)
    d.add_stage_over(1, "data", "rs", depth=2, unit_bits=RS_OPTION_CONVENTIONAL | RS_OPTION_SHORTENED)
    d.add_stage(2, first_field=0, n_fields=2, depth=2)
    d.build()
    return d


class Ao40Deframer:
    """AO-40 FEC frames from the receiver's symbols of a DBPSK link: each
    symbol against the one before it (no phase change is a 1, whatever the
    carrier phase), the sync vector searched over its spread positions by
    soft correlation, the best of overlapping matches taken, the block
    de-interleaved, soft-decision Viterbi
    decoding, de-randomising and Reed-Solomon, the frame's check."""

    MIN_MATCH = 0.6  # of 1

    def __init__(self, baud: float, first: int = 0, own: Tuple[int, Optional[int]] = (0, None)) -> None:
        self.baud, self.first, self.own = float(baud), int(first), own
        self.desc = ao40_description()
        self.prev: Optional[complex] = None
        self.d = np.zeros(0, np.float32)  # differential soft values, FRAMINGS sense (positive: a 1)
        self.base = 1                     # stream symbol index of d[0] (the first symbol has no predecessor)
        self.searched = 1
        self.pending: List[Tuple[int, float]] = []  # (symbol, minus its sync match)
        self.markers = self.failed = 0
        self.hits: List[Tuple[float, bool]] = []
        self.frame_symbols = AO40_BLOCK
        sync_pos = AO40_ROWS * np.arange(AO40_COLS)
        self.sync_pos, self.span = sync_pos, int(sync_pos[-1]) + 1
        # logical symbol i = 65 r + c was sent at 80 c + r
        r, c = np.divmod(np.arange(AO40_BLOCK), AO40_COLS)
        self.order = AO40_ROWS * c + r

    def push(self, symbols: npt.ArrayLike, final: bool = False) -> List[Frame]:
        y = np.asarray(symbols, np.complex64)
        if len(y):
            prev = np.concatenate([[self.prev], y[:-1]]) if self.prev is not None else y[:-1]
            cur = y if self.prev is not None else y[1:]
            self.d = np.concatenate([self.d, np.real(cur * np.conj(prev)).astype(np.float32)])
            self.prev = complex(y[-1])
        self._search()
        out: List[Frame] = []
        end = self.base + len(self.d)
        while self.pending and (self.pending[0][0] + AO40_BLOCK <= end or final):
            at, errors = self.pending.pop(0)
            if at + AO40_BLOCK > end:
                continue  # the stream ended inside this frame
            if any(0 < q - at < AO40_BLOCK and e < errors for q, e in self.pending):
                continue  # a closer match overlaps it
            frame = self._decode(at)
            if frame is not None:
                out.append(frame)
        keep = min([p[0] for p in self.pending] + [self.searched])
        k = max(0, keep - self.base)
        self.d, self.base = self.d[k:], self.base + k
        return out

    def flush(self) -> List[Frame]:
        return self.push(np.zeros(0, np.complex64), final=True)

    def _search(self) -> None:
        """The sync vector's soft match at every new start whose spread
        positions are all here: the correlation with the vector over the
        magnitudes, 1 for a perfect match (a noisy but clear sync still
        stands far above the rest)."""
        lo = self.searched - self.base
        n = len(self.d) - self.span + 1 - lo
        if n <= 0:
            return
        corr = np.zeros(n, np.float64)
        norm = np.zeros(n, np.float64)
        for k, p in enumerate(self.sync_pos):
            seg = self.d[lo + p: lo + p + n].astype(np.float64)
            corr += seg if AO40_SYNC[k] else -seg
            norm += np.abs(seg)
        match = corr / np.maximum(norm, 1e-30)
        lo_own, hi_own = self.own
        for i in np.flatnonzero(match >= self.MIN_MATCH):
            at = self.base + lo + int(i)
            if self.first + at >= lo_own and (hi_own is None or self.first + at < hi_own):
                self.pending.append((at, -float(match[i])))  # ranked like errors: lower is better
        self.searched += n

    def _decode(self, at: int) -> Optional[Frame]:
        self.markers += 1
        block = self.d[at - self.base: at - self.base + AO40_BLOCK][self.order]
        coded = block[AO40_COLS:AO40_COLS + AO40_CODED]
        scale = float(np.mean(np.abs(coded))) or 1.0
        v = sig.Viterbi()
        bits = np.concatenate([v.steps(-coded / scale), v.flush()])[:self.desc.nbits]  # the library's sense
        desc = self.desc
        got = desc.deframe(bits)
        symbol = self.first + at
        good = not (desc.rx_units == 0 or desc.rx_ok != desc.rx_units)
        self.hits.append((symbol / self.baud, good))
        if not good:
            self.failed += 1
            return None
        return Frame(symbol / self.baud, np.packbits(got[:8 * 256]).tobytes(), int(desc.rx_symbols), False, symbol)


def golay_encode(data: int) -> int:
    """The 24-bit Golay codeword of 12 data bits: parity above, data below."""
    return int(sig.golay24_encode(data & 0xFFF)[0])


def golay_decode(word: int) -> Optional[int]:
    """The 12 data bits of a received codeword with up to 3 bit errors, or
    None when more are certain."""
    d = int(sig.golay24_decode(word & 0xFFFFFF)[0])
    return None if d < 0 else d


AX100_SYNC = "930B51DE"


class Ax100Deframer:
    """AX100 "ASM+Golay" frames from one stream of soft symbols, one bit each:
    the sync word (up to 4 bit errors, either polarity: the polarity of an
    FM receiver's audio is not known), a Golay-protected length n, then n
    randomised octets, a shortened Reed-Solomon codeword (conventional
    basis) whose check every frame passes; out come its n - 32 data octets."""

    MAX_ERRORS = 4
    SYNC = AX100_SYNC
    CAPTURE = 8 * (3 + 255)  # bits after the sync that a frame may need

    def __init__(self, baud: float, first: int = 0, own: Tuple[int, Optional[int]] = (0, None)) -> None:
        self.baud, self.first, self.own = float(baud), int(first), own
        self.bits = np.zeros(0, np.uint8)
        self.soft = np.zeros(0, np.float32)  # the symbols the bits were decided from
        self.base = 0
        self.searched = 0
        self.pending: List[Tuple[int, bool]] = []  # (bit index after the sync, inverted)
        self.descs: Dict[int, sig.FrameDesc] = {}
        self.markers = self.failed = 0
        self.hits: List[Tuple[float, bool]] = []
        self.frame_symbols = 32 + self.CAPTURE
        self.sync = sig.SyncSearch(self.SYNC, self.MAX_ERRORS)

    def _desc(self, m: int, scrambled: bool = True, rs: bool = True) -> sig.FrameDesc:
        """m octets: a shortened Reed-Solomon codeword (conventional basis)
        when rs, randomised when scrambled."""
        key = m * 4 + 2 * scrambled + rs
        if key not in self.descs:
            d = sig.FrameDesc([], [], [])
            d.add_field(np.zeros(8 * (m - 32 if rs else m), np.uint8))
            d.name_field(0, "data")
            if rs:
                d.add_derived("rs", 256)
                d.add_stage_over(1, "data", "rs", depth=1, unit_bits=RS_OPTION_CONVENTIONAL | (
                    RS_OPTION_SHORTENED if m < 255 else 0))
            if scrambled:
                d.add_stage(2, first_field=0, n_fields=2 if rs else 1, depth=2)
            d.build()
            self.descs[key] = d
        return self.descs[key]

    def _finish(self, bits: np.ndarray, start: int, inv: bool, m: int, scrambled: bool = True,
                rs: bool = True, at: Optional[int] = None) -> Optional[Frame]:
        """Undoes the stages over m octets of bits and reports the frame (the
        data octets) if its check passed; a frame without Reed-Solomon has none.
        `at`, the index of bits[0] in the stream, lets a codeword that fails
        be tried again with its least reliable octets erased."""
        self.markers += 1
        desc = self._desc(m, scrambled, rs)
        got = desc.deframe(bits[:8 * m])
        symbol = self.first + start - 32
        good = not rs or not (desc.rx_units == 0 or desc.rx_ok != desc.rx_units)
        repairs = int(desc.rx_symbols)
        if not good and rs and at is not None:
            word, repairs = self._with_erasures(bits[:8 * m], at, m, scrambled)
            good = word is not None
            if word is not None:
                got = np.unpackbits(word)
        self.hits.append((symbol / self.baud, good))
        if not good:
            self.failed += 1
            return None
        size = m - 32 if rs else m
        return Frame(symbol / self.baud, np.packbits(got[:8 * size]).tobytes(), repairs, inv, symbol)

    # Octets erased on a second and a third try.  With f erasures a codeword
    # takes e errors elsewhere while 2e + f <= 32; a wrong codeword then lies
    # within reach of a word of noise with odds of about 1e-5 at f = 16 (the
    # code's distance less the erasures, 17, against the errors still
    # corrected, 8), so no more are erased.
    ERASURES = (8, 16)

    def _with_erasures(self, bits: np.ndarray, at: int, m: int, scrambled: bool) -> Tuple[Optional[np.ndarray], int]:
        """The corrected codeword of a frame whose Reed-Solomon check failed,
        its least reliable octets (the smallest soft magnitude among their
        bits) erased, and the octets changed; (None, 0) if no try decodes."""
        mags = np.abs(self.soft[at - self.base:at - self.base + 8 * m])
        if len(mags) < 8 * m:
            return None, 0
        word = np.packbits(self._desc(m, scrambled, rs=False).deframe(bits) if scrambled else bits)
        order = np.argsort(mags.reshape(m, 8).min(axis=1), kind="stable")
        for f in self.ERASURES:
            fixed, changed = sig.rs_decode(word, "conventional", order[:f])
            if changed >= 0:
                return fixed, changed
        return None, 0

    def push(self, symbols: npt.ArrayLike, final: bool = False) -> List[Frame]:
        soft = np.real(np.asarray(symbols)).astype(np.float32)
        hard = (soft < 0).astype(np.uint8)  # the library's soft sense: positive is a 0
        self.bits = np.concatenate([self.bits, hard])
        self.soft = np.concatenate([self.soft, soft])
        end = self.base + len(self.bits)
        lo_own, hi_own = self.own
        for at, inv, _ in unpack_hits(self.sync.steps(hard)):
            if self.first + at >= lo_own and (hi_own is None or self.first + at < hi_own):
                self.pending.append((at + 32, inv))
        self.searched = max(self.searched, end - 31)
        out: List[Frame] = []
        while self.pending and (final or self.pending[0][0] + self.CAPTURE <= end):
            start, inv = self.pending.pop(0)
            frame = self._decode(start, inv, end)
            if frame is not None:
                out.append(frame)
        keep = min([p[0] - 32 for p in self.pending] + [self.searched])
        k = max(0, keep - self.base)
        self.bits, self.soft, self.base = self.bits[k:], self.soft[k:], self.base + k
        return out

    def flush(self) -> List[Frame]:
        return self.push(np.zeros(0, np.float32), final=True)

    def _after_sync(self, start: int, inv: bool, need: int) -> Optional[np.ndarray]:
        """The bits from `start` on in the sync word's polarity, if `need` of them are here."""
        b = self.bits[start - self.base:]
        if len(b) < need:
            return None
        return b ^ np.uint8(1) if inv else b

    def _golay_header(self, start: int, inv: bool) -> Tuple[Optional[np.ndarray], Optional[int]]:
        """The bits after the sync word and the 12 data bits of the Golay
        header they start with (None when it cannot be repaired)."""
        b = self._after_sync(start, inv, 24)
        if b is None:
            return None, None
        return b, golay_decode(int.from_bytes(np.packbits(b[:24]).tobytes(), "big"))

    def _decode(self, start: int, inv: bool, end: int) -> Optional[Frame]:
        b, header = self._golay_header(start, inv)
        if b is None or header is None or (header & 0xFF) < 33 or start + 24 + 8 * (header & 0xFF) > end:
            return None
        return self._finish(b[24:], start, inv, header & 0xFF, at=start + 24)


class Ax100RsDeframer(Ax100Deframer):
    """AX100 "Reed Solomon" frames: the whole stream G3RUH-descrambled, then
    the sync word (either polarity), a length octet L and a shortened
    Reed-Solomon codeword (conventional basis, no randomiser) of L - 1
    octets; out come its L - 33 data octets."""

    CAPTURE = 8 * 256

    def __init__(self, baud: float, first: int = 0, own: Tuple[int, Optional[int]] = (0, None)) -> None:
        super().__init__(baud, first, own)
        self.line = sig.BitLine(g3ruh=True)
        self.mag_tail = np.zeros(17, np.float32)  # the channel's last soft magnitudes (none yet: unreliable)
        self.frame_symbols = 32 + self.CAPTURE

    def push(self, symbols: npt.ArrayLike, final: bool = False) -> List[Frame]:
        soft = np.real(np.asarray(symbols)).astype(np.float32)
        u = self.line.steps((soft < 0).astype(np.uint8))
        # A descrambled bit is the sum of three channel bits (this one and
        # those 12 and 17 before it): it is as reliable as the least of them.
        mags = np.concatenate([self.mag_tail, np.abs(soft)])
        n = len(soft)
        rel = np.maximum(np.minimum(np.minimum(mags[17:], mags[5:5 + n]), mags[:n]), np.float32(1e-30))
        self.mag_tail = mags[-17:]
        # the descrambled bits go on as soft symbols in the library's sense
        return super().push(np.where(u == 1, -rel, rel).astype(np.float32), final)

    def _decode(self, start: int, inv: bool, end: int) -> Optional[Frame]:
        b = self._after_sync(start, inv, 8)
        if b is None:
            return None
        size = int(np.packbits(b[:8])[0])
        if size < 34 or start + 8 * size > end:
            return None
        return self._finish(b[8:], start, inv, size - 1, scrambled=False, at=start + 8)


class U482cDeframer(Ax100Deframer):
    """U482C frames: the sync word (either polarity), a Golay-protected
    header (L on-air octets, flags), then L octets, de-randomised when its
    flag says so and Reed-Solomon decoded when its flag says so.  A frame
    without the Reed-Solomon flag carries no check at all: in noise, a
    header whose flags came out wrong turned noise into such frames, so
    they are refused (every U482C satellite we know sets the flag).  With
    the convolutional flag the L octets are the rate-1/2 K=7 code of
    L/2 - 1 octets and a zero tail octet, each pair sent G2 first, then G1,
    neither inverted: the library's decoder takes (G1, not G2), so each
    pair is swapped and its G2 symbol negated.  The reference decodes these
    from hard bits; we take the soft symbols."""

    SYNC = "C3AA6655"

    def _decode(self, start: int, inv: bool, end: int) -> Optional[Frame]:
        b, header = self._golay_header(start, inv)
        if b is None or header is None:
            return None
        n, conv, scrambled, rs = header & 0xFF, header >> 8 & 1, bool(header >> 9 & 1), bool(header >> 10 & 1)
        m = n // 2 - 1 if conv else n
        if not rs or m < 33 or start + 24 + 8 * n > end:
            return None
        body = b[24:24 + 8 * n]
        if conv:
            at = start - self.base + 24
            pairs = (self.soft[at:at + 8 * n] * np.float32(-1.0 if inv else 1.0)).reshape(-1, 2)
            soft = np.stack([pairs[:, 1], -pairs[:, 0]], axis=1).ravel()
            v = sig.Viterbi()
            body = np.concatenate([v.steps(soft), v.flush()])[:8 * m]
        # the decoder's bits carry no reliabilities to erase by
        return self._finish(body, start, inv, m, scrambled, rs, at=None if conv else start + 24)
