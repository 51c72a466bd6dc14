"""FFT engines against scipy.fft on the same dtype, and PSD.accumulate against scipy.signal.welch."""
import numpy as np
import scipy.fft
import scipy.signal

from common import report
import signals
from tamberl import spectral as sp


def main():
    rows = []
    for n in (1024, 4096, 1000, 1021):
        x64 = signals.crandn(n, seed=n)
        x32 = x64.astype(np.complex64)
        f = sp.FFT(n=n)
        o32, o64 = np.empty(n, np.complex64), np.empty(n, np.complex128)
        rows.append((f"FFT.execute_cf32 n={n}", n, lambda f=f, x=x32, o=o32: f.execute_cf32(x, out=o),
                     "scipy.fft.fft (complex64)", lambda x=x32: scipy.fft.fft(x)))
        rows.append((f"FFT.execute_cf64 n={n}", n, lambda f=f, x=x64, o=o64: f.execute_cf64(x, out=o),
                     "scipy.fft.fft (complex128)", lambda x=x64: scipy.fft.fft(x)))
    n, frames = 1024, 256
    x = signals.crandn(n * frames, dtype=np.complex64)
    p = sp.PSD(n=n)
    rows.append((f"PSD.accumulate {frames} x {n}", n * frames, lambda: p.accumulate(x),
                 "scipy.signal.welch (same frames)",
                 lambda: scipy.signal.welch(x, window="hann", nperseg=n, noverlap=0, detrend=False,
                                            return_onesided=False)))
    report(rows, "spectral")
    detector_main()


if __name__ == "__main__":
    main()


def numpy_detector(x, ref):
    """The same job in NumPy: FFT correlation of each whole frame, peak and mean noise."""
    n = len(ref)
    r = np.conj(np.fft.fft(ref))
    out = []
    for f in range(len(x) // n):
        mag = np.abs(np.fft.ifft(np.fft.fft(x[f * n:(f + 1) * n]) * r))
        k = int(np.argmax(mag))
        noise = mag.mean()
        out.append((k, mag[k], noise, mag[k] / noise))
    return out


def detector_main():
    n, total = 1023, 1 << 20
    ref = signals.spread(n, seed=1).astype(np.complex64)
    x = signals.crandn(total, seed=2, dtype=np.complex64)
    rows = []
    for length, label in ((1023, "1023-chip"), (1024, "1024-chip")):
        r = signals.spread(length, seed=1).astype(np.complex64)
        rows.append((f"CorrDetector.push 1M, {label} ref", total, lambda r=r: sp.CorrDetector(r).push(x),
                     "NumPy loop of FFT correlations", lambda r=r: numpy_detector(x, r)))
    report(rows, "spectral: streaming correlation detector")
