"""Frame sinks: where decoded frames go, each as soon as it is decoded."""
from __future__ import annotations

import json
import sys
from typing import BinaryIO, Optional, TextIO

from tamberl.rx.deframe import Frame
from tamberl.rx.pipeline import Link

FEND, FESC, TFEND, TFESC = 0xC0, 0xDB, 0xDC, 0xDD


class TextSink:
    """One line a frame: time, repairs, the frame in hex."""

    def __init__(self, out: Optional[TextIO] = None) -> None:
        self.out = out or sys.stdout

    def push(self, name: str, link: Link, f: Frame) -> None:
        self.out.write(f"{f.seconds:8.3f} s  repairs {f.repairs:2d}  {f.data.hex()}\n")
        self.out.flush()


class JsonSink:
    """JSON Lines: one object a frame, with the capture, the satellite, the
    transmitter, the framing, the frame's bytes in hex and the repairs."""

    def __init__(self, out: Optional[TextIO] = None) -> None:
        self.out = out or sys.stdout

    def push(self, name: str, link: Link, f: Frame) -> None:
        obj = {"file": name, "seconds": round(f.seconds, 6), "satellite": link.satellite,
               "transmitter": link.transmitter, "framing": link.framing, "hex": f.data.hex(),
               "repairs": f.repairs, "inverted": f.inverted}
        self.out.write(json.dumps(obj) + "\n")
        self.out.flush()


def kiss_encode(data: bytes) -> bytes:
    """One KISS frame (data on port 0), with FEND and FESC escaped."""
    body = data.replace(bytes([FESC]), bytes([FESC, TFESC])).replace(bytes([FEND]), bytes([FESC, TFEND]))
    return bytes([FEND, 0x00]) + body + bytes([FEND])


class KissSink:
    """The frames as a KISS stream (a file, or a pipe to a terminal node)."""

    def __init__(self, out: BinaryIO) -> None:
        self.out = out

    def push(self, name: str, link: Link, f: Frame) -> None:
        self.out.write(kiss_encode(f.data))
        self.out.flush()
