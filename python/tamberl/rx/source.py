"""Capture readers: files and pipes of any rate and sample format, read in
blocks so that a capture of any length is decoded in bounded memory.

Formats: WAV (mono: a real IF; stereo: I/Q; 8/16/32-bit PCM), other audio
containers through `soundfile` (FLAC, WAV with headers the standard module
does not take), raw interleaved I/Q `cf32`, `ci16`, `ci8` and `cu8` (unsigned,
offset 127.5, as RTL-SDR tools write it), and SigMF recordings (datatype,
sample rate and centre frequency from the `.sigmf-meta` beside the
`.sigmf-data`, through the `sigmf` package).  `-` is standard input, read as
it arrives.
"""
from __future__ import annotations

import os
import sys
import wave
from dataclasses import dataclass
from typing import Any, BinaryIO, Dict, Iterator, List, Optional, Sequence, Tuple

import numpy as np

# Raw formats: numpy dtype of one component, components per sample, offset
# and scale to [-1, 1).  A lookup table converts the 8-bit ones at memory speed.
RAW_FORMATS: Dict[str, Tuple["np.dtype[Any]", int, float, float]] = {
    "cf32": (np.dtype("<f4"), 2, 0.0, 1.0),
    "ci16": (np.dtype("<i2"), 2, 0.0, 32768.0),
    "ci8": (np.dtype("i1"), 2, 0.0, 128.0),
    "cu8": (np.dtype("u1"), 2, 127.5, 127.5),
    "rf32": (np.dtype("<f4"), 1, 0.0, 1.0),
    "ri16": (np.dtype("<i2"), 1, 0.0, 32768.0),
}
SIGMF_TYPES = {"cf32_le": "cf32", "ci16_le": "ci16", "ci8": "ci8", "cu8": "cu8", "rf32_le": "rf32",
               "ri16_le": "ri16"}
RAW_SUFFIXES = {".cf32": "cf32", ".c64": "cf32", ".raw": "cf32", ".iq": "cf32", ".fc32": "cf32", ".cs16": "ci16",
                ".ci16": "ci16", ".cs8": "ci8", ".ci8": "ci8", ".cu8": "cu8"}
AUDIO_SUFFIXES = (".wav", ".flac", ".ogg", ".aiff", ".aif")
SIGMF_SUFFIXES = (".sigmf-meta", ".sigmf-data", ".sigmf")
CAPTURE_SUFFIXES = tuple(RAW_SUFFIXES) + AUDIO_SUFFIXES + (".sigmf-meta",)
FORMATS = ("wav",) + tuple(RAW_FORMATS) + ("sigmf",)

BLOCK = 1 << 18  # samples per block read


def _need(module: str, what: str):  # type: ignore[no-untyped-def]
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ValueError(f"{what} needs the {module} package: pip install 'tamberl[capture]'") from None


@dataclass
class Source:
    """A capture as blocks of samples: float32 for a real IF, complex64 for
    I/Q, scaled to about [-1, 1).  `count` is the number of samples when
    known (None for a pipe); `centre_hz` the radio frequency of 0 Hz when the
    recording says it."""
    name: str
    fs: float
    real: bool
    count: Optional[int]
    centre_hz: Optional[float] = None
    # How to read: a raw file or stream, or an audio file.
    _path: Optional[str] = None
    _stream: Optional[BinaryIO] = None
    _format: str = "cf32"
    _offset: int = 0           # bytes before the first sample (raw files)
    _audio: str = ""           # "wave" or "soundfile" for audio files
    stray_bytes: int = 0       # set when a raw input ended inside a sample

    @property
    def rewindable(self) -> bool:
        return self._stream is None

    def blocks(self, start: int = 0, count: Optional[int] = None, size: int = BLOCK) -> Iterator[np.ndarray]:
        """Samples [start, start + count) in blocks of at most `size`."""
        if start < 0 or (count is not None and count < 0):
            raise ValueError("start and count must be >= 0")
        if self._audio:
            yield from self._audio_blocks(start, count, size)
        else:
            yield from self._raw_blocks(start, count, size)

    def read(self, start: int = 0, count: Optional[int] = None) -> np.ndarray:
        parts = list(self.blocks(start, count))
        if parts:
            return np.concatenate(parts)
        return np.zeros(0, np.float32 if self.real else np.complex64)

    # -- raw ---------------------------------------------------------------
    def _raw_blocks(self, start: int, count: Optional[int], size: int) -> Iterator[np.ndarray]:
        dtype, comps, _, _ = RAW_FORMATS[self._format]
        width = dtype.itemsize * comps
        if self._stream is not None:
            f, close = self._stream, False
            if start:
                _skip(f, start * width)
        else:
            assert self._path is not None
            f, close = open(self._path, "rb"), True
            f.seek(self._offset + start * width)
        try:
            left = count
            carry = b""
            while left is None or left > 0:
                want = size if left is None else min(size, left)
                raw = carry + _read_fully(f, want * width - len(carry))
                whole = len(raw) // width * width
                if whole == 0:
                    self.stray_bytes = len(raw)
                    return
                carry = raw[whole:]
                x = convert(np.frombuffer(raw[:whole], dtype), self._format)
                if left is not None:
                    left -= len(x)
                yield x
                if len(raw) < want * width:  # the end
                    self.stray_bytes = len(carry)
                    return
        finally:
            if close:
                f.close()

    # -- audio -------------------------------------------------------------
    def _audio_blocks(self, start: int, count: Optional[int], size: int) -> Iterator[np.ndarray]:
        assert self._path is not None
        total = self.count if self.count is not None else 0
        stop = total if count is None else min(total, start + count)
        if start >= stop:
            return
        if self._audio == "soundfile":
            sf = _need("soundfile", "this audio format")
            with sf.SoundFile(self._path) as f:
                f.seek(start)
                for pos in range(start, stop, size):
                    a = f.read(min(size, stop - pos), dtype="float32", always_2d=True)
                    yield _channels(a)
            return
        with wave.open(self._path, "rb") as w:
            ch, width = w.getnchannels(), w.getsampwidth()
            w.setpos(start)
            for pos in range(start, stop, size):
                raw = w.readframes(min(size, stop - pos))
                yield _channels(_pcm(raw, width).reshape(-1, ch))


def _skip(f: BinaryIO, n: int) -> None:
    while n > 0:
        got = f.read(min(n, 1 << 20))
        if not got:
            return
        n -= len(got)


def _read_fully(f: BinaryIO, n: int) -> bytes:
    """n bytes, fewer only at the end (a pipe may return short reads)."""
    parts: List[bytes] = []
    while n > 0:
        b = f.read(n)
        if not b:
            break
        parts.append(b)
        n -= len(b)
    return b"".join(parts)


_U8 = ((np.arange(256, dtype=np.float32) - np.float32(127.5)) / np.float32(127.5)).astype(np.float32)
_I8 = (np.arange(-128, 128, dtype=np.float32) / np.float32(128.0)).astype(np.float32)


def convert(a: np.ndarray, fmt: str) -> np.ndarray:
    """Raw components of format fmt to float32 (real) or complex64 samples."""
    dtype, comps, zero, scale = RAW_FORMATS[fmt]
    f: np.ndarray
    if fmt == "cu8":
        f = _U8[a]
    elif fmt == "ci8":
        f = _I8[a.view(np.uint8) ^ np.uint8(0x80)]
    elif dtype.kind == "f":
        f = a.astype(np.float32)
    else:
        f = a.astype(np.float32)
        f *= np.float32(1.0 / scale)
    out: np.ndarray = f.view(np.complex64) if comps == 2 else f
    return out


def _pcm(raw: bytes, width: int) -> np.ndarray:
    kinds = {1: (np.uint8, 128.0, 128.0), 2: (np.int16, 0.0, 32768.0), 4: (np.int32, 0.0, 2147483648.0)}
    dt, zero, scale = kinds[width]
    return ((np.frombuffer(raw, dt).astype(np.float32) - np.float32(zero)) / np.float32(scale)).astype(np.float32)


def _channels(a: np.ndarray) -> np.ndarray:
    """Frames x channels to mono real, or stereo as I/Q."""
    if a.shape[1] == 1:
        return np.ascontiguousarray(a[:, 0], np.float32)
    return (a[:, 0] + 1j * a[:, 1]).astype(np.complex64)


def open_capture(path: str, fmt: Optional[str] = None, rate: Optional[float] = None,
                 stdin: Optional[BinaryIO] = None) -> Source:
    """The capture at path ('-': standard input).  fmt is one of FORMATS
    (default: from the suffix; raw files and pipes need it, or a suffix that
    names it); rate overrides a header's sample rate and is needed where
    there is none."""
    if fmt is not None and fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r} (one of: {', '.join(FORMATS)})")
    if rate is not None and not (rate > 0 and np.isfinite(rate)):
        raise ValueError("the sample rate must be positive")
    if path == "-":
        if fmt is None or fmt not in RAW_FORMATS:
            raise ValueError(f"standard input needs --format (one of: {', '.join(RAW_FORMATS)})")
        if not rate:
            raise ValueError("standard input needs --rate")
        stream = stdin if stdin is not None else sys.stdin.buffer
        return Source("-", float(rate), RAW_FORMATS[fmt][1] == 1, None, _stream=stream, _format=fmt)
    low = path.lower()
    if fmt == "sigmf" or (fmt is None and low.endswith(SIGMF_SUFFIXES)):
        return _open_sigmf(path, rate)
    suffix = os.path.splitext(low)[1]
    if fmt is None:
        fmt = RAW_SUFFIXES.get(suffix, "wav" if suffix in AUDIO_SUFFIXES else None)
        if fmt is None:
            raise ValueError(f"{path}: unknown capture format; give --format (one of: {', '.join(FORMATS)})")
    size = os.path.getsize(path)
    if fmt in RAW_FORMATS:
        if not rate:
            raise ValueError(f"{path}: a raw {fmt} file needs --rate")
        dtype, comps, _, _ = RAW_FORMATS[fmt]
        n, stray = divmod(size, dtype.itemsize * comps)
        return Source(path, float(rate), comps == 1, n, _path=path, _format=fmt, stray_bytes=stray)
    if size == 0:
        return Source(path, float(rate or 48000.0), True, 0, _path=path, _audio="wave")
    return _open_audio(path, rate)


def _open_audio(path: str, rate: Optional[float]) -> Source:
    try:
        with wave.open(path, "rb") as w:
            ch, width, fs, n = w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()
        if width in (1, 2, 4) and ch in (1, 2):
            return Source(path, float(rate or fs), ch == 1, n, _path=path, _audio="wave")
        problem = f"{ch} channels of {8 * width}-bit samples; need mono or stereo 8/16/32-bit PCM"
    except (wave.Error, EOFError) as e:
        problem = f"not a WAV file this reader understands ({e})"
    try:
        import soundfile as sf
    except ImportError:
        raise ValueError(f"{path}: {problem} (other audio formats need soundfile: pip install "
                         "'tamberl[capture]')") from None
    try:
        info = sf.info(path)
    except (RuntimeError, sf.LibsndfileError if hasattr(sf, "LibsndfileError") else RuntimeError) as e:
        raise ValueError(f"{path}: {problem}; soundfile cannot read it either ({e})") from None
    if info.channels not in (1, 2):
        raise ValueError(f"{path}: {info.channels} channels; need mono (real IF) or stereo (I/Q)")
    return Source(path, float(rate or info.samplerate), info.channels == 1, int(info.frames), _path=path,
                  _audio="soundfile")


def _open_sigmf(path: str, rate: Optional[float]) -> Source:
    base = path
    for s in SIGMF_SUFFIXES:
        if base.lower().endswith(s):
            base = base[: -len(s)]
    meta, data = base + ".sigmf-meta", base + ".sigmf-data"
    for p in (meta, data):
        if not os.path.exists(p):
            raise ValueError(f"{path}: SigMF recording without its {p}")
    sigmffile = _need("sigmf.sigmffile", "SigMF")
    try:
        rec = sigmffile.fromfile(meta, skip_checksum=True)
        datatype = rec.get_global_field("core:datatype")
        fs = rec.get_global_field("core:sample_rate")
        captures = rec.get_captures()
    except Exception as e:  # the package's own errors: malformed metadata
        raise ValueError(f"{path}: unreadable SigMF metadata ({e})") from None
    fmt = SIGMF_TYPES.get(str(datatype))
    if fmt is None:
        raise ValueError(f"{path}: SigMF datatype {datatype!r} is not supported (one of: {', '.join(SIGMF_TYPES)})")
    if not rate and not fs:
        raise ValueError(f"{path}: the SigMF metadata gives no sample rate; give --rate")
    centre = captures[0].get("core:frequency") if captures else None
    skip = int(captures[0].get("core:sample_start", 0)) if captures else 0
    dtype, comps, _, _ = RAW_FORMATS[fmt]
    width = dtype.itemsize * comps
    n, stray = divmod(os.path.getsize(data) - skip * width, width)
    if n < 0:
        raise ValueError(f"{path}: the data file is shorter than its first capture's start")
    src = Source(path, float(rate or fs), comps == 1, n, None if centre is None else float(centre), _path=data,
                 _format=fmt, _offset=skip * width, stray_bytes=stray)
    return src


def capture_info(path: str, rate: Optional[float] = None) -> Tuple[int, float]:
    """(samples, sample rate) of a capture file, from its header alone."""
    s = open_capture(path, None, rate)
    return s.count or 0, s.fs


def read_capture(path: str, rate: Optional[float] = None, start: int = 0,
                 count: Optional[int] = None, fmt: Optional[str] = None) -> Tuple[np.ndarray, float]:
    """Samples and sample rate of a capture file (any format above); with
    start and count, only those samples (a segment of a long recording)."""
    s = open_capture(path, fmt, rate)
    return s.read(start, count), s.fs


def find_captures(paths: Sequence[str]) -> List[str]:
    """Files and directories to capture files: a directory gives the captures
    it holds, searched recursively, in sorted order ('-' passes through)."""
    out: List[str] = []
    for p in paths:
        if p != "-" and os.path.isdir(p):
            found = [os.path.join(d, f) for d, _, fs in os.walk(p) for f in fs if f.lower().endswith(CAPTURE_SUFFIXES)]
            out.extend(sorted(found))
        else:
            out.append(p)
    return out


def array_source(x: np.ndarray, fs: float, name: str = "capture") -> "ArraySource":
    return ArraySource(name, float(fs), not np.iscomplexobj(x), len(x), x=x)


@dataclass
class ArraySource(Source):
    """Samples already in memory."""
    x: Optional[np.ndarray] = None

    def blocks(self, start: int = 0, count: Optional[int] = None, size: int = BLOCK) -> Iterator[np.ndarray]:
        assert self.x is not None
        stop = len(self.x) if count is None else min(len(self.x), start + count)
        for pos in range(start, stop, size):
            yield self.x[pos:min(pos + size, stop)]


__all__ = ["Source", "ArraySource", "open_capture", "read_capture", "capture_info", "find_captures", "convert",
           "FORMATS", "RAW_FORMATS", "array_source"]
