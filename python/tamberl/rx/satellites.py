"""The satellite table: satellites by name and NORAD ID, each with its
transmitters.  The table is data (satellites.json beside this file); a
transmitter row becomes a `Link` the decoder runs."""
from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass
from functools import lru_cache
from typing import Any, Dict, List, Tuple

from tamberl.rx.deframe import CONVOLUTIONAL
from tamberl.rx.pipeline import FRAMINGS, MODULATIONS, Link


@dataclass(frozen=True)
class Satellite:
    name: str
    norad: int
    alternative_names: Tuple[str, ...]
    transmitters: Tuple[Dict[str, Any], ...]

    def links(self) -> List[Link]:
        """A Link for every transmitter this decoder can take."""
        return [link_of(self, t) for t in self.transmitters if supported(t)]


def supported(t: Dict[str, Any]) -> bool:
    return (t.get("modulation") in MODULATIONS and t.get("framing") in FRAMINGS
            and t.get("convolutional", "CCSDS") in CONVOLUTIONAL)


def link_of(sat: Satellite, t: Dict[str, Any]) -> Link:
    return Link(baud=float(t["baud"]), carrier_hz=None, frame_size=int(t.get("frame_size", 223)),
                rs_basis=t.get("rs_basis", "dual"), differential=t.get("precoding") == "differential",
                rs_depth=int(t.get("rs_interleaving", 1)),
                modulation=t["modulation"], framing=t["framing"], satellite=sat.name, transmitter=t["name"],
                audio_hz=t.get("audio_hz", t.get("af_carrier")), frequency_hz=t.get("frequency"),
                deviation_hz=float(t.get("deviation", 500.0)), convolutional=t.get("convolutional", "CCSDS"))


def _key(name: str) -> str:
    """Names compare without case and punctuation: 'by70-1', 'BY70 1', 'By701'."""
    return re.sub(r"[^0-9a-z]", "", name.lower())


@lru_cache(maxsize=1)
def table() -> Tuple[Satellite, ...]:
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "satellites.json"), encoding="utf-8") as f:
        text = f.read()
    return tuple(Satellite(s["name"], int(s["norad"]), tuple(s.get("alternative_names", [])),
                           tuple(s["transmitters"])) for s in json.loads(text)["satellites"])


def find(name_or_norad: str) -> Satellite:
    """The satellite a name or NORAD ID names; ValueError listing near names otherwise."""
    q = str(name_or_norad).strip()
    for s in table():
        if (q.isdigit() and int(q) == s.norad) or _key(q) in {_key(n) for n in (s.name, *s.alternative_names)}:
            return s
    near = [s.name for s in table() if _key(q) and (_key(q) in _key(s.name) or _key(s.name) in _key(q))]
    hint = f" (did you mean {', '.join(near)}?)" if near else " (--list-satellites lists them)"
    raise ValueError(f"no satellite {q!r} in the table{hint}")


def listing() -> str:
    """The table as text, one transmitter a line."""
    lines = [f"{'satellite':<16} {'NORAD':>6}  {'transmitter':<22} {'modulation':<10} {'baud':>6}  framing"]
    for s in table():
        for t in s.transmitters:
            mark = "" if supported(t) else "  (not decoded yet)"
            lines.append(f"{s.name:<16} {s.norad:>6}  {t['name']:<22} {t['modulation']:<10} {t['baud']:>6g}  "
                         f"{t['framing']}{mark}")
    return "\n".join(lines)
