"""Down-converters against NumPy mixing plus scipy.signal.resample_poly doing the same decimation."""
import time

import numpy as np
import scipy.signal

from common import report
import signals
from tamberl import lox

N = 1 << 20


def mixed_resample_poly(x, f, up, down):
    k = np.arange(len(x))
    return scipy.signal.resample_poly(x * np.exp(2j * np.pi * f * k).astype(np.complex64), up, down)


def main():
    x = signals.crandn(N, dtype=np.complex64)
    xr = signals.awgn(N, 1.0, 1, np.float32)
    d25, d10, d30 = lox.LOX(-0.1, 0.25), lox.LOX(-0.1, 0.1), lox.LOX(-0.1, 0.3)
    m = lox.MatchedLOX(-0.1, 0.125, "rrc", 0.35, 8, 2.0, 1024)
    r = lox.Loxr(-0.7, 0.125)
    o25, o10, o30 = (np.empty(d.execute_max_out(N), np.complex64) for d in (d25, d10, d30))
    om = np.empty(m.execute_max_out(N), np.complex64)
    report([
        ("LOX(rate=0.25).execute (1M)", N, lambda: d25.execute(x, out=o25),
         "mix + resample_poly(1, 4)", lambda: mixed_resample_poly(x, -0.1, 1, 4)),
        ("LOX(rate=0.1).execute (1M)", N, lambda: d10.execute(x, out=o10),
         "mix + resample_poly(1, 10)", lambda: mixed_resample_poly(x, -0.1, 1, 10)),
        ("LOX(rate=0.3).execute (1M)", N, lambda: d30.execute(x, out=o30),
         "mix + resample_poly(3, 10)", lambda: mixed_resample_poly(x, -0.1, 3, 10)),
        ("MatchedLOX(rate=0.125).execute (1M)", N, lambda: m.execute(x, out=om),
         "mix + resample_poly(1, 8)", lambda: mixed_resample_poly(x, -0.1, 1, 8)),
        ("Loxr(rate=0.125).execute (1M)", N, lambda: r.execute(xr), None, None),
    ], "lox")
    p = lox.LOX(-0.1, 0.25)
    vals = [complex(v) for v in x[:200_000]]
    t0 = time.perf_counter()
    for v in vals:
        p.execute_ctrl_push(v, 0.0, 0.0)
    dt = time.perf_counter() - t0
    print(f"  LOX(rate=0.25).execute_ctrl_push, one call per sample: {len(vals) / dt / 1e6:.2f} Msamples/s "
          "(interpreter-bound; a loop closes through it one sample at a time)")


if __name__ == "__main__":
    main()
