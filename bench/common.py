"""Timing helpers for the benchmarks: best-of-N wall time, samples per second."""
import pathlib
import sys
import time

import numpy as np

# The test signals are shared with the test suite.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))


def best_time(fn, repeat=7, min_time=0.05):
    """Best per-call time of fn() over `repeat` rounds of at least min_time each."""
    fn()
    best = float("inf")
    for _ in range(repeat):
        n, t0 = 0, time.perf_counter()
        while True:
            fn()
            n += 1
            dt = time.perf_counter() - t0
            if dt >= min_time:
                break
        best = min(best, dt / n)
    return best


def report(rows, title):
    """rows: (name, n_samples, ours_fn, peer_name or None, peer_fn or None)."""
    print(f"\n{title}")
    print(f"  {'operation':34s} {'Msamples/s':>11s}   {'peer':40s} {'Msamples/s':>11s} {'ratio':>7s}")
    for name, n, ours, peer_name, peer in rows:
        t = best_time(ours)
        line = f"  {name:34s} {n / t / 1e6:11.1f}"
        if peer is not None:
            tp = best_time(peer)
            line += f"   {peer_name:40s} {n / tp / 1e6:11.1f} {tp / t:6.2f}x"
        print(line)


def check_same(a, b, what):
    if np.asarray(a).tobytes() != np.asarray(b).tobytes():
        raise SystemExit(f"benchmark peer for {what} does not give the same bits")
