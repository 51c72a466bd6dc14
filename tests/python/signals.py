"""Test signals shared by the tests and the benchmarks: tones, white noise,
M-PSK symbol streams with optional pulse shaping, carrier and timing
offsets, and spread codes.  Everything is seeded and float64 internally;
callers pick the dtype.
"""
import numpy as np


def rng(seed):
    return np.random.default_rng(seed)


def awgn(n, power=1.0, seed=0, dtype=np.complex64):
    """Complex white Gaussian noise of total power `power` (E|x|^2), or real
    noise of variance `power` for a real dtype."""
    g = rng(seed)
    if np.issubdtype(np.dtype(dtype), np.complexfloating):
        x = (g.standard_normal(n) + 1j * g.standard_normal(n)) * np.sqrt(power / 2)
    else:
        x = g.standard_normal(n) * np.sqrt(power)
    return x.astype(dtype)


def crandn(n, seed=0, dtype=np.complex128):
    """Complex noise with unit-variance real and imaginary parts (power 2)."""
    return awgn(n, power=2.0, seed=seed, dtype=dtype)


def tone(n, freq, amplitude=1.0, phase=0.0, dtype=np.complex64):
    """amplitude * exp(j(2 pi freq k + phase)), freq in cycles per sample; a
    real dtype gives the cosine."""
    k = np.arange(n)
    z = amplitude * np.exp(1j * (2 * np.pi * freq * k + phase))
    return (z.real if not np.issubdtype(np.dtype(dtype), np.complexfloating) else z).astype(dtype)


def symbols(nsym, m=2, seed=0, gray=True):
    """Random M-PSK symbol indices and their unit-energy constellation points
    (phase 2 pi i / M, plus pi/4 for QPSK as usual)."""
    g = rng(seed)
    idx = g.integers(0, m, nsym)
    offset = np.pi / 4 if m == 4 else 0.0
    return idx, np.exp(1j * (2 * np.pi * idx / m + offset))


def rrc(span, sps, beta):
    """Root-raised-cosine taps (unit energy), span symbols each side."""
    t = np.arange(-span * sps, span * sps + 1) / sps
    h = np.empty_like(t)
    for i, ti in enumerate(t):
        if abs(ti) < 1e-12:
            h[i] = 1 - beta + 4 * beta / np.pi
        elif beta > 0 and abs(abs(ti) - 1 / (4 * beta)) < 1e-9:
            h[i] = beta / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * beta)) +
                                       (1 - 2 / np.pi) * np.cos(np.pi / (4 * beta)))
        else:
            h[i] = (np.sin(np.pi * ti * (1 - beta)) + 4 * beta * ti * np.cos(np.pi * ti * (1 + beta))) / (
                np.pi * ti * (1 - (4 * beta * ti) ** 2))
    return h / np.sqrt(np.sum(h * h))


def mpsk(nsym, sps, m=2, freq=0.0, phase=0.0, noise=0.0, seed=0, shape=None, beta=0.35, span=8,
         dtype=np.complex64):
    """An M-PSK stream at `sps` samples per symbol: rectangular pulses, or
    RRC pulses with shape="rrc"; a carrier offset `freq` (cycles/sample) and
    phase; complex noise of total power `noise`.  Returns (signal, indices)."""
    idx, pts = symbols(nsym, m, seed)
    if shape == "rrc":
        up = np.zeros(nsym * sps, complex)
        up[::sps] = pts
        h = rrc(span, sps, beta)
        x = np.convolve(up, h)[span * sps: span * sps + nsym * sps] * np.sqrt(sps)
    else:
        x = np.repeat(pts, sps)
    k = np.arange(len(x))
    x = x * np.exp(1j * (2 * np.pi * freq * k + phase))
    if noise:
        x = x + awgn(len(x), noise, seed + 1, np.complex128)
    return x.astype(dtype), idx


def bpsk(nsym, tsamps, freq, snr_noise=0.3, phase=0.7, seed=1):
    """Rectangular BPSK with a carrier offset and per-component noise of
    standard deviation snr_noise (the carrier loops' test signal)."""
    x, _ = mpsk(nsym, tsamps, 2, freq=freq, phase=phase, noise=2 * snr_noise**2, seed=seed)
    return x


def spread(chips, sps=1, seed=0):
    """A +-1 spreading sequence at sps samples per chip: `chips` is a length
    (random chips) or an array of 0/1 chips."""
    c = rng(seed).integers(0, 2, chips) if np.isscalar(chips) else np.asarray(chips)
    return np.repeat(1.0 - 2.0 * c, sps)
