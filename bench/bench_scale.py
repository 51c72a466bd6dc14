"""Scaling out: two receivers on two threads, eight captures on local
threads and on a two-worker Dask cluster, one capture in four segments.
Speed-ups are against the same work done one piece after another here; the
frames must come out the same every way, or the benchmark stops."""
import os
import pathlib
import tempfile
import time
import wave
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import common  # noqa: F401  (the shared test signals)
from signals import mpsk
from tamberl import rx, track

CAPTURE = str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "by701.wav")
ARGS = (9600, 12000, 114, "conventional", True)


def best(fn, repeat=3):
    t, out = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        t = min(t, time.perf_counter() - t0)
    return t, out


def frames(results):
    return [[(f.seconds, f.data, f.repairs) for f in r.frames] for r in results]


def threads():
    x = mpsk(250_000, 8, 4, freq=0.001, noise=0.05, seed=3)[0]  # 2M samples each
    make = lambda: [track.MpskReceiver(m=4, sps=8.0) for _ in range(2)]  # noqa: E731
    t1, one = best(lambda: [r.steps(x) for r in make()])
    with ThreadPoolExecutor(2) as pool:
        t2, two = best(lambda: list(pool.map(lambda r: r.steps(x), make())))
    if any(a.tobytes() != b.tobytes() for a, b in zip(one, two)):
        raise SystemExit("receivers on threads gave other symbols")
    n = 2 * len(x)
    print(f"  2 MpskReceiver x {len(x) / 1e6:.0f}M samples, one after another  {n / t1 / 1e6:6.1f} Msamples/s")
    print(f"  the same on 2 threads                          {n / t2 / 1e6:6.1f} Msamples/s  {t1 / t2:.2f}x")


def captures():
    paths = [CAPTURE] * 8
    t1, serial = best(lambda: rx.decode_many(paths, *ARGS, jobs=1))
    seconds = sum(r.seconds for r in serial)
    print(f"  8 captures ({seconds:.0f} s) one after another       {t1:6.2f} s  {seconds / t1:5.0f}x real time")
    t2, local = best(lambda: rx.decode_many(paths, *ARGS, jobs=2))
    print(f"  --jobs 2                                     {t2:6.2f} s  {seconds / t2:5.0f}x real time  {t1 / t2:.2f}x")
    if frames(local) != frames(serial):
        raise SystemExit("--jobs 2 gave other frames")
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("  (Dask: pip install 'tamberl[dask]' to measure a two-worker cluster)")
    else:
        t0 = time.perf_counter()
        with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            up = time.perf_counter() - t0
            rx.decode_many(paths[:2], *ARGS, client=client)  # workers import tamberl once
            t3, dask = best(lambda: rx.decode_many(paths, *ARGS, client=client))
        print(f"  two-worker Dask LocalCluster                 {t3:6.2f} s  {seconds / t3:5.0f}x real time  "
              f"{t1 / t3:.2f}x  (cluster start {up:.1f} s excluded)")
        if frames(dask) != frames(serial):
            raise SystemExit("the Dask cluster gave other frames")
    return serial[0]


def segments(whole):
    x, fs = rx.read_capture(CAPTURE)
    long = np.tile(x, 8)  # a 100 s capture, in a file as a recording would be
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "long.wav")
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(int(fs))
            w.writeframes(np.round(np.clip(long, -1, 32767 / 32768) * 32768).astype("<i2").tobytes())
        t1, one = best(lambda: rx.decode_many([path], *ARGS, jobs=1), repeat=3)
        t4, four = best(lambda: rx.decode_many([path], *ARGS, jobs=2, segment_seconds=len(long) / fs / 4),
                        repeat=3)
    split = rx.decode_many([CAPTURE], *ARGS, jobs=2, segment_seconds=whole.seconds / 4)
    same = frames(split) == frames([whole]) and frames(four) == frames(one)
    if not same:
        raise SystemExit("segments gave other frames than one pass")
    print(f"  by701.wav in 4 segments: {len(split[0].frames)} frames, exactly those of one pass")
    print(f"  {len(long) / fs:.0f} s capture in one pass                    {t1:6.2f} s  "
          f"({len(one[0].frames)} frames)")
    print(f"  in 4 segments on 2 threads                   {t4:6.2f} s  {t1 / t4:.2f}x  (the same frames)")


def main():
    print(f"\nscale-out ({len(os.sched_getaffinity(0))} cores)")
    threads()
    whole = captures()
    segments(whole)


if __name__ == "__main__":
    main()
