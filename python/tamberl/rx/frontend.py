"""The front end: any capture rate down to a few samples per symbol.

A real input is an IF around the carrier hint; a complex one is baseband
with the hint as the carrier's offset from the centre.  The library's
down-converter (`lox.Loxr` for a real IF, `lox.LOX` for I/Q) mixes the hint
to 0 Hz and resamples to SPS samples per symbol (or more, where the carrier
search around the hint needs the bandwidth; a real IF as near that as its
real-to-complex stage allows).  A slow complex input (already within a few
samples per symbol) goes to the receiver as it is, the carrier still at
the hint.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from tamberl import lox

SPS = 4.0           # receiver samples per symbol behind the down-converter
SEARCH_HZ = 2000.0  # the carrier is looked for this far either side of the hint
MAX_REAL_RATE = 0.48  # output/input rate at most for a real IF (the real-to-complex halfband's limit is 0.5)
DC_GUARD_HZ = 250.0   # a real IF's carrier is never looked for below this (the audio's DC and hum)


@dataclass
class FrontEnd:
    """push(block) -> complex64 block at fs_out.  fs_out, real_out and
    hint_out describe the output: its rate, whether it is still a real IF
    (never, today), and where the carrier hint lies in it (Hz)."""
    fs_in: float
    real_in: bool
    baud: float
    hint_hz: float
    fs_out: float = 0.0
    real_out: bool = False
    hint_out: float = 0.0
    floor_out: Optional[float] = None  # the lowest carrier the output can hold (a real IF's DC end)
    down: Optional[Any] = None

    def __post_init__(self) -> None:
        if not (self.fs_in > 0 and self.baud > 0 and np.isfinite(self.fs_in) and np.isfinite(self.baud)):
            raise ValueError("the sample rate and the baud rate must be positive")
        # Enough samples per symbol, the signal anywhere in the search, and
        # its square's line (at twice the offset) clear of the Nyquist edge.
        want = max(SPS * self.baud, 1.35 * self.baud + 2 * SEARCH_HZ, 4.4 * SEARCH_HZ)
        f = self.hint_hz / self.fs_in
        if self.real_in:
            # A real IF always goes through the real-to-complex down-converter,
            # at the rate wanted or as near it as the halfband allows.
            fs_out = min(want, MAX_REAL_RATE * self.fs_in)
            self._check(fs_out)
            self.down = lox.Loxr(-(2 * f + 0.5), fs_out / self.fs_in)
            self.fs_out, self.real_out, self.hint_out = fs_out, False, 0.0
            self.floor_out = DC_GUARD_HZ - self.hint_hz
        elif want * 1.25 < self.fs_in:
            self.down = lox.LOX(-f, want / self.fs_in)
            self.fs_out, self.real_out, self.hint_out = want, False, 0.0
        else:
            self._check(self.fs_in)
            self.fs_out, self.real_out, self.hint_out = self.fs_in, False, self.hint_hz

    def _check(self, fs_out: float) -> None:
        sps = fs_out / self.baud
        if sps <= 2.0:
            need = 2 * self.baud * (1 / MAX_REAL_RATE if self.real_in else 1)
            raise ValueError(f"{self.fs_in:g} samples/s is too slow for {self.baud:g} baud (more than {need:g} "
                             f"needed for a {'real IF' if self.real_in else 'complex capture'})")

    def push(self, x: np.ndarray) -> np.ndarray:
        if self.down is None:
            return np.asarray(x, np.float32 if self.real_out else np.complex64)
        y: np.ndarray = self.down.execute(np.asarray(x, np.float32 if self.real_in else np.complex64))
        return y
