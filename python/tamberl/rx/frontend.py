"""The front end: any capture rate down to a few samples per symbol.

A real input is an IF around the carrier hint; a complex one is baseband
with the hint as the carrier's offset from the centre.  Where the input is
faster than the receiver needs, the library's down-converter (`lox.Loxr`
for a real IF, `lox.LOX` for I/Q) mixes the hint to 0 Hz and resamples to
SPS samples per symbol (or more, where the carrier search around the hint
needs the bandwidth).  A slow input (already within a few samples per
symbol) goes to the receiver as it is, the carrier still at the hint.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from tamberl import lox

SPS = 4.0           # receiver samples per symbol behind the down-converter
SEARCH_HZ = 2000.0  # the carrier is looked for this far either side of the hint


@dataclass
class FrontEnd:
    """push(block) -> block: real float32 at the input rate (pass-through of
    a slow real IF), or complex64 at fs_out.  fs_out, real_out and hint_out
    describe the output: its rate, whether it is still a real IF, and where
    the carrier hint lies in it (Hz)."""
    fs_in: float
    real_in: bool
    baud: float
    hint_hz: float
    fs_out: float = 0.0
    real_out: bool = False
    hint_out: float = 0.0
    down: Optional[Any] = None

    def __post_init__(self) -> None:
        if not (self.fs_in > 0 and self.baud > 0 and np.isfinite(self.fs_in) and np.isfinite(self.baud)):
            raise ValueError("the sample rate and the baud rate must be positive")
        want = max(SPS * self.baud, 1.35 * self.baud + 2 * SEARCH_HZ)
        # A real IF loses half its rate to the real-to-complex stage.
        room = self.fs_in / 2 if self.real_in else self.fs_in
        if want * 1.25 < room:
            rate = want / self.fs_in
            f = self.hint_hz / self.fs_in
            self.down = lox.Loxr(-(2 * f + 0.5), rate) if self.real_in else lox.LOX(-f, rate)
            self.fs_out, self.real_out, self.hint_out = want, False, 0.0
        else:
            sps = self.fs_in / self.baud
            need = 4.0 if self.real_in else 2.0
            if sps <= need:
                raise ValueError(f"{self.fs_in:g} samples/s is too slow for {self.baud:g} baud ({sps:.2f} samples "
                                 f"per symbol; need more than {need:g})")
            self.fs_out, self.real_out, self.hint_out = self.fs_in, self.real_in, self.hint_hz

    def push(self, x: np.ndarray) -> np.ndarray:
        if self.down is None:
            return np.asarray(x, np.float32 if self.real_out else np.complex64)
        y: np.ndarray = self.down.execute(np.asarray(x, np.float32 if self.real_in else np.complex64))
        return y
