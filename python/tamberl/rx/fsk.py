"""The FSK demodulator for FM-receiver audio: the recording is already the
discriminator's output, a baseband NRZ waveform of either polarity with a
DC offset and a filter shape that vary by receiver.

The library's down-converter brings it to K samples per symbol exactly; a
running mean over 256 symbols takes the DC away, a moving sum over one
symbol is the matched filter, and the level is brought to 1 over the same
window.  Short bursts in noisy recordings leave a timing loop too little to
lock on, so every one of the K sampling phases is a receiver branch of its
own, each with its own deframer, and the frames that pass their check are
merged: the phase that sits in the eye decodes the frame, wherever the
burst falls.  A frame so long that the symbol clock drifts against the
sample clock by half a sample within it needs a timing loop: one more
branch runs the library's timing synchroniser on the same stream.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from tamberl import lox, sig, track

K = 4             # samples per symbol behind the down-converter, at most
DC_SYMBOLS = 256  # the running mean that removes the DC (shorter ones eat into scrambled data)
AFSK_BETA = 0.35  # roll-off of the AFSK channel filter


@dataclass
class FmDemod:
    """The FM receiver an I/Q capture lacks: the carrier (hint_hz from the
    centre) moved to 0 Hz and the channel taken at fs_out by the library's
    down-converter, then a frequency discriminator: out comes the audio an
    FM receiver gives (Hz of deviation), for the FSK and AFSK chains that
    take receiver audio."""
    fs_in: float
    hint_hz: float
    fs_out: float
    down: Optional[Any] = None
    prev: complex = 0j

    def __post_init__(self) -> None:
        self.fs_out = min(self.fs_out, self.fs_in)
        self.down = lox.LOX(-self.hint_hz / self.fs_in, self.fs_out / self.fs_in)

    def push(self, x: np.ndarray) -> np.ndarray:
        assert self.down is not None
        z = self.down.execute(np.asarray(x, np.complex64))
        if not len(z):
            return np.zeros(0, np.float32)
        prev = np.concatenate([[self.prev], z[:-1]])
        self.prev = complex(z[-1])
        audio: np.ndarray = (np.angle(z * np.conj(prev)) * (self.fs_out / (2 * np.pi))).astype(np.float32)
        return audio


def fm_audio_rate(baud: float) -> float:
    """The audio rate an I/Q capture's FM receiver gives: that of the
    recordings (48 kHz), or 5 samples a symbol for faster links."""
    return max(48000.0, 5.0 * baud)


@dataclass
class FskFront:
    """push(block) -> the matched-filtered, DC-free float32 stream at K
    samples per symbol (k of them, fewer when the capture is slower)."""
    fs_in: float
    baud: float
    real_in: bool = True
    k: int = K
    hint_hz: float = 0.0  # an I/Q capture's carrier, from the centre
    fm: Optional[FmDemod] = None
    down: Optional[Any] = None
    cond: Optional[Any] = None  # the sig.NrzConditioner, made at the first block (k is known by then)
    # the front-end attributes the pipeline reads
    hint_out: float = 0.0
    fs_out: float = 0.0
    real_out: bool = True
    floor_out: Optional[float] = None

    def __post_init__(self) -> None:
        if not (self.fs_in > 0 and self.baud > 0 and np.isfinite(self.fs_in) and np.isfinite(self.baud)):
            raise ValueError("the sample rate and the baud rate must be positive")
        self.receive_fm()
        self.k = int(min(K, np.floor(self.fs_in / self.baud)))
        if self.k < 2:
            raise ValueError(f"{self.fs_in:g} samples/s is too slow for {self.baud:g} baud FSK (more than "
                             f"{2 * self.baud:g} needed)")
        rate = self.k * self.baud / self.fs_in
        if rate < 1.0:
            self.down = lox.LOX(0.0, rate)
        self.fs_out = self.k * self.baud

    def receive_fm(self) -> None:
        """An I/Q capture goes through an FM receiver first; the rest of the
        chain then takes its audio."""
        if not self.real_in:
            self.fm = FmDemod(self.fs_in, self.hint_hz, fm_audio_rate(self.baud))
            self.fs_in = self.fm.fs_out

    def push(self, x: np.ndarray) -> np.ndarray:
        x = self.fm.push(x) if self.fm is not None else np.asarray(x, np.float32)
        return self.condition(self.baseband(x))

    def baseband(self, v: np.ndarray) -> np.ndarray:
        """The NRZ waveform at k samples per symbol."""
        z: np.ndarray = (np.real(self.down.execute(v.astype(np.complex64))) if self.down is not None
                         else v).astype(np.float64)
        return z

    def condition(self, z: np.ndarray) -> np.ndarray:
        """DC away (the mean of the last DC_SYMBOLS symbols), the matched
        filter (the sum of the last k samples), the level brought to 1 (a
        timing loop's gain depends on it), by sig.NrzConditioner."""
        if self.cond is None:
            self.cond = sig.NrzConditioner(self.k, self.k * DC_SYMBOLS)
        result: np.ndarray = self.cond.steps(z)
        return result


@dataclass
class AfskFront(FskFront):
    """AFSK on an FM voice channel: the tones (af_hz +- |deviation_hz|) are
    moved to 0 Hz by the real-input down-converter at k samples per symbol,
    whose terminal stage is a root-raised-cosine filter as wide as the
    signal (|deviation_hz| + baud / 2 each side).  Two streams come out, a
    row each, both positive for the tone of a 1 (the high one for a positive
    deviation):
      0. a frequency discriminator, the NRZ waveform FskFront conditions;
      1. the two tones' energies over a symbol (each tone brought to 0 Hz and
         through a one-symbol rectangle, the matched filter of a tone burst),
         as (E1 - E0) / (E1 + E0): level-free, so it needs no DC removal.
    Without the channel filter the whole band's noise reached the
    discriminator: at noise of half the recording's RMS the 4800-baud U482C
    recordings gave 1 of 22 frames, with it all 22.  Bell 202 tones at
    1240 baud (AO-27, modulation index 0.8) leave single-symbol tones the
    discriminator misreads: every AO-27 frame failed its CRC, and the tone
    energies decode them all; at index 0.5 (U482C) the discriminator is the
    better in noise.  Each stream feeds its own receiver branches."""
    af_hz: float = 1700.0
    deviation_hz: float = 500.0
    prev: complex = 0j
    tones: Optional[Any] = None  # the tone filters of the 1 and of the 0

    def __post_init__(self) -> None:
        if not (self.fs_in > 0 and self.baud > 0 and np.isfinite(self.fs_in) and np.isfinite(self.baud)):
            raise ValueError("the sample rate and the baud rate must be positive")
        self.receive_fm()
        self.k = K
        self.fs_out = self.k * self.baud
        if not (self.deviation_hz != 0 and self.fs_out < 0.48 * self.fs_in
                and abs(self.deviation_hz) + self.baud < self.fs_out / 2):
            raise ValueError(f"{self.fs_in:g} samples/s is too slow for {self.baud:g} baud AFSK at "
                             f"{self.af_hz:g} +- {abs(self.deviation_hz):g} Hz")
        width = abs(self.deviation_hz) + self.baud / 2  # Hz each side of the centre
        self.down = lox.MatchedLoxr(-(2 * self.af_hz / self.fs_in + 0.5), self.fs_out / self.fs_in, pulse="rrc",
                                    beta=AFSK_BETA, span=4,
                                    pulse_sps=(1 + AFSK_BETA) * self.fs_out / (2 * width))
        one = self.deviation_hz / self.fs_out  # the tone of a 1, in cycles per output sample
        self.tones = [lox.MatchedLOX(-f, 1.0, pulse="iandd", pulse_sps=float(self.k)) for f in (one, -one)]

    def push(self, x: np.ndarray) -> np.ndarray:
        assert self.down is not None and self.tones is not None
        x = self.fm.push(x) if self.fm is not None else np.asarray(x, np.float32)
        z = self.down.execute(x)
        e1, e0 = (np.abs(t.execute(z)).astype(np.float64) ** 2 for t in self.tones)
        energies = (e1 - e0) / np.maximum(e1 + e0, 1e-30)
        return np.stack([self.condition(self.discriminate(z)), energies.astype(np.float32)])

    def discriminate(self, z: np.ndarray) -> np.ndarray:
        """Frequency from the centre over the deviation, per sample."""
        if not len(z):
            return np.zeros(0, np.float64)
        prev = np.concatenate([[self.prev], z[:-1]])
        self.prev = complex(z[-1])
        f = np.angle(z * np.conj(prev)) * (self.fs_out / (2 * np.pi))  # Hz from the centre
        out: np.ndarray = (f / self.deviation_hz).astype(np.float64)
        return out


@dataclass
class FskPhase:
    """One sampling phase of the FSK stream: soft symbols in the library's
    sense (positive for a 0; the audio is positive for a 1)."""
    phase: int
    k: int
    channel: int = 0   # the row of a front that gives several streams
    pos: int = 0
    # what the pipeline reads of a demodulator
    carrier_hz: float = 0.0
    line: bool = True
    acquisitions: int = 1
    telemetry: Optional[Any] = None

    def push(self, z: np.ndarray) -> np.ndarray:
        z = z[self.channel] if z.ndim == 2 else z
        first = (self.phase - self.pos) % self.k
        self.pos += len(z)
        return (-z[first::self.k]).astype(np.float32)

    def flush(self) -> np.ndarray:
        return np.zeros(0, np.float32)


@dataclass
class FskTimed:
    """The branch for frames longer than a fixed phase stays in the eye:
    the library's timing synchroniser on the same stream."""
    k: int
    bn: float = 0.01
    sync: Optional[Any] = None
    carrier_hz: float = 0.0
    line: bool = True
    acquisitions: int = 1
    telemetry: Optional[Any] = None

    def __post_init__(self) -> None:
        self.sync = track.RateSync(sps=float(self.k), pulse="rrc", bn=self.bn)

    def push(self, z: np.ndarray) -> np.ndarray:
        assert self.sync is not None
        z = z[0] if z.ndim == 2 else z
        y: np.ndarray = (-np.real(self.sync.steps(z.astype(np.complex64)))).astype(np.float32)
        return y

    def flush(self) -> np.ndarray:
        return np.zeros(0, np.float32)
