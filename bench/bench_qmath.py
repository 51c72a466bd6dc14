"""qmath kernels and LoopFilter.steps against the NumPy expressions giving the same bits."""
import numpy as np

from common import check_same, report
from tamberl import qmath, track

N = 1_000_000


def main():
    rng = np.random.default_rng(0)
    a = rng.integers(-32768, 32768, N).astype(np.int16)
    b = rng.integers(-32768, 32768, N).astype(np.int16)

    np_add = lambda: np.clip(a.astype(np.int32) + b, -32768, 32767).astype(np.int16)  # noqa: E731
    np_mul = lambda: np.minimum((a.astype(np.int32) * b + 16384) >> 15, 32767).astype(np.int16)  # noqa: E731
    np_dot = lambda: int(np.dot(a.astype(np.int64), b.astype(np.int64)))  # noqa: E731
    check_same(qmath.add_q15(a, b), np_add(), "add_q15")
    check_same(qmath.mul_q15(a, b), np_mul(), "mul_q15")
    assert qmath.dot_q15(a, b) == np_dot()

    x = rng.standard_normal(N)
    lf = track.LoopFilter(0.02)
    out = np.empty(N)

    def np_loop():  # the same recurrence in plain Python is far too slow; lfilter is the vector peer
        import scipy.signal as ss
        ki, kp = lf.ki, lf.kp
        integ = ss.lfilter([ki], [1.0, -1.0], x)
        return integ + kp * x

    report([
        ("add_q15 (1M)", N, lambda: qmath.add_q15(a, b), "np.clip(a32 + b, ...).astype(int16)", np_add),
        ("mul_q15 (1M)", N, lambda: qmath.mul_q15(a, b), "np.minimum((a32*b + 16384) >> 15, ...)", np_mul),
        ("dot_q15 (1M)", N, lambda: qmath.dot_q15(a, b), "np.dot(a.astype(int64), b.astype(int64))", np_dot),
        ("LoopFilter.steps (1M)", N, lambda: lf.steps(x, out=out), "scipy lfilter + kp*x (not bit-equal)", np_loop),
    ], "qmath / LoopFilter")


if __name__ == "__main__":
    main()
