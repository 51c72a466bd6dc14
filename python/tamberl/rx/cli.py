"""The command line: python -m tamberl.rx FILE|DIR|- ..."""
from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from typing import Any, Callable, List, Optional, Sequence, TextIO, Tuple

import numpy as np

from tamberl.rx import satellites
from tamberl.rx.deframe import Frame
from tamberl.rx.parallel import decode_many, default_jobs
from tamberl.rx.pipeline import FRAMINGS, Link, Result, decode_source
from tamberl.rx.sinks import JsonSink, KissSink, TextSink
from tamberl.rx.source import FORMATS, find_captures, open_capture


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



def _links(a: argparse.Namespace, p: argparse.ArgumentParser, satellite: Optional[str]) -> List[Link]:
    """The transmitters to try: the satellite's, or the one the options describe."""
    if satellite:
        sat = satellites.find(satellite)
        links = sat.links()
        if not links:
            raise ValueError(f"none of {sat.name}'s transmitters is decoded yet")
        over = {k: v for k, v in (("carrier_hz", a.carrier), ("baud", a.baud)) if v is not None}
        from dataclasses import replace
        return [replace(k, **over) for k in links]
    missing = [o for o, v in (("--baud", a.baud), ("--carrier", a.carrier)) if v is None]
    if missing:
        p.error(f"without --satellite, {' and '.join(missing)} {'is' if len(missing) == 1 else 'are'} needed")
    return [Link(a.baud, a.carrier, a.frame_size, a.rs_basis, a.differential, a.modulation, a.framing)]


def read_manifest(path: str) -> List[Tuple[str, str]]:
    """(capture, satellite) pairs from a CSV file of rows `capture,satellite`:
    blank lines and lines starting with # are skipped, as is a first row
    `file,satellite`; a relative capture path is taken from the manifest's
    directory, and a directory stands for the captures it holds."""
    base = os.path.dirname(os.path.abspath(path))
    out: List[Tuple[str, str]] = []
    first = True
    with open(path, newline="") as f:
        for n, row in enumerate(csv.reader(f), 1):
            if not row or not "".join(row).strip() or row[0].lstrip().startswith("#"):
                continue
            cells = [c.strip() for c in row]
            header, first = first and [c.lower() for c in cells] == ["file", "satellite"], False
            if header:
                continue
            if len(cells) != 2 or not all(cells):
                raise ValueError(f"{path}, line {n}: expected a row 'capture,satellite', got {','.join(row)!r}")
            for c in find_captures([os.path.join(base, cells[0])]):
                out.append((c, cells[1]))
    if not out:
        raise ValueError(f"{path} names no capture")
    return out


def main(argv: Optional[Sequence[str]] = None) -> int:
    p = argparse.ArgumentParser(prog="python -m tamberl.rx",
                                description="Decode satellite downlinks from captures of any rate and format.")
    p.add_argument("files", nargs="*", help="capture files (WAV and other audio: mono real IF, stereo I/Q; raw "
                   "I/Q; SigMF), directories of them (searched recursively), or - for standard input")
    p.add_argument("--satellite", default=None, metavar="NAME|NORAD",
                   help="decode every transmitter of this satellite from the table")
    p.add_argument("--manifest", default=None, metavar="CSV",
                   help="decode the captures a CSV file lists as rows 'capture,satellite', each with its satellite's "
                   "transmitters, in one run")
    p.add_argument("--list-satellites", action="store_true", help="print the satellite table and exit")
    p.add_argument("--modulation", default="BPSK", choices=["BPSK"], help="without --satellite")
    p.add_argument("--framing", default="CCSDS Concatenated", choices=list(FRAMINGS),
                   help="without --satellite")
    p.add_argument("--baud", type=float, default=None, help="symbol rate (a hint for the timing loop)")
    p.add_argument("--carrier", type=float, default=None, help="carrier hint in Hz: the IF of a real capture, the "
                   "offset from the centre of an I/Q one (tracked within 2 kHz)")
    p.add_argument("--frame-size", type=int, default=223, help="data octets per frame (fewer than 223: shortened)")
    p.add_argument("--rs-basis", choices=["conventional", "dual"], default="dual")
    p.add_argument("--differential", action="store_true", help="the bit stream is NRZ-M precoded")
    p.add_argument("--format", default=None, choices=FORMATS,
                   help="capture format (default: from the file name); raw files and - need it")
    p.add_argument("--rate", type=float, default=None, help="sample rate of raw files (overrides a header)")
    p.add_argument("--json", action="store_true", help="JSON Lines on standard output, one object a frame; "
                   "summaries go to standard error")
    p.add_argument("--kiss", default=None, metavar="FILE", help="also write the frames as a KISS stream to FILE")
    p.add_argument("--jobs", type=int, default=None, help="local worker threads (default: the core count)")
    p.add_argument("--dask", default=None, metavar="ADDRESS",
                   help="run on the Dask cluster whose scheduler is at ADDRESS (tcp://host:8786) instead")
    p.add_argument("--segment", type=float, default=None, metavar="SECONDS",
                   help="decode captures longer than this in overlapping segments of about this length, in parallel")
    p.add_argument("--plot", default=None, help="write the spectrum, the constellation after lock and the lock "
                   "metrics over time to this PNG file (needs matplotlib; one capture)")
    p.add_argument("--quiet", action="store_true", help="print only the summary lines")
    a = p.parse_args(argv)
    if a.list_satellites:
        print(satellites.listing())
        return 0
    if a.manifest and (a.files or a.satellite):
        p.error("--manifest names the captures and their satellites: give neither files nor --satellite with it")
    if not a.files and not a.manifest:
        p.error("give capture files, directories or - (or --manifest, or --list-satellites)")
    if a.jobs is not None and a.jobs < 1:
        p.error("--jobs must be >= 1")
    if a.segment is not None and not a.segment > 0:
        p.error("--segment must be positive")
    if a.rate is not None and not a.rate > 0:
        p.error("--rate must be positive")
    try:
        if a.manifest:
            rows = read_manifest(a.manifest)
            sats = {name: _links(a, p, name) for name in dict.fromkeys(sat for _, sat in rows)}
            pairs = [(path, link) for path, sat in rows for link in sats[sat]]
        else:
            links = _links(a, p, a.satellite)
            paths = find_captures(a.files)
            pairs = [(path, link) for link in links for path in paths]
    except (OSError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    if a.plot and len({path for path, _ in pairs}) != 1:
        p.error("--plot draws one capture")
    info: TextIO = sys.stderr if a.json else sys.stdout  # summaries
    sinks: List[Any] = [] if a.quiet and not a.json else [JsonSink() if a.json else TextSink()]
    kiss = open(a.kiss, "wb") if a.kiss else None
    if kiss is not None:
        sinks.append(KissSink(kiss))
    t0 = time.perf_counter()
    failed: List[int] = []
    results: List[Result] = []

    def emit(name: str, link: Link) -> Callable[[Frame], None]:
        def push(f: Frame) -> None:
            for s in sinks:
                s.push(name, link, f)
        return push

    def report(name: str, res: Result, frames_done: bool) -> None:
        if res.error is not None:
            print(f"error: {res.error}", file=sys.stderr, flush=True)
            failed.append(1)
            return
        link = res.link
        if not frames_done and link is not None:
            for f in res.frames:
                emit(name, link)(f)
        which = f" [{link.satellite} {link.transmitter}]" if link is not None and link.satellite else ""
        print(f"{name}{which}: {res.markers} frames found, {len(res.frames)} good, {res.failed} failed "
              f"their check, {res.repairs} symbols repaired, carrier {res.carrier_hz:.1f} Hz, "
              f"{res.realtime_factor:.0f}x real time", file=info, flush=True)
        if res.stray_bytes:
            print(f"error: {name}: ends inside a sample ({res.stray_bytes} stray bytes not decoded)",
                  file=sys.stderr, flush=True)
            failed.append(1)

    try:
        where = _run(a, pairs, results, report, emit)
    except ValueError as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    finally:
        if kiss is not None:
            kiss.close()
    print(summary_table(results, time.perf_counter() - t0, where), file=info)
    return 2 if failed else 0


def _run(a: argparse.Namespace, pairs: List[Tuple[str, Link]], results: List[Result],
         report: Callable[[str, Result, bool], None], emit: Callable[[str, Link], Callable[[Frame], None]]) -> str:
    """Decodes every (capture, link) pair, reporting as it goes; returns
    where the work ran."""
    if a.plot or any(q == "-" for q, _ in pairs):  # here, frames printed as they are decoded
        for name, link in pairs:
            try:
                src = open_capture(name, a.format, a.rate)
                res = decode_source(src, link, keep=bool(a.plot), progress=sys.stderr.isatty() and not a.json,
                                    on_frame=emit(name, link.for_capture(src.real, src.centre_hz)))
            except (OSError, ValueError) as e:
                res = Result(error=f"{name}: {e}" if name not in str(e) else str(e))
            res.source = name
            results.append(res)
            report(name, res, True)
            if a.plot and res.error is None:
                x = open_capture(name, a.format, a.rate).read(0, 1 << 16)
                _plot(a.plot, x, src.fs, link.baud, res)
        return "here"
    client = _connect(a.dask) if a.dask else None
    jobs = default_jobs() if a.jobs is None else a.jobs
    where = f"on the Dask cluster at {a.dask}" if client else f"on {jobs} thread{'s' * (jobs != 1)}"
    paths = [q for q, _ in pairs]
    try:
        results.extend(decode_many(paths, 0.0, 0.0, fmt=a.format, rate=a.rate, link=[k for _, k in pairs],
                                   segment_seconds=a.segment, jobs=jobs, client=client, raise_errors=False,
                                   on_result=lambda i, r: report(paths[i], r, False)))
    finally:
        if client is not None:
            client.close()
    return where


if __name__ == "__main__":
    sys.exit(main())
