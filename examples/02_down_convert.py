"""Down-convert and resample a capture: a tone at 0.2 cycles/sample moved to
DC and decimated by 4, then resampled by an arbitrary ratio."""
import numpy as np

from tamberl import lox

n = 1 << 16
x = np.exp(2j * np.pi * (0.2 + 1e-3) * np.arange(n)).astype(np.complex64)
ddc = lox.LOX(norm_freq=-0.2, rate=0.25)       # LO mix, then two halfbands
y = ddc.execute(x)
f = np.angle(np.sum(y[1:] * np.conj(y[:-1]))) / (2 * np.pi)
print(f"{len(x)} samples in, {len(y)} out; the tone now sits at {f:.4f} cycles/sample (expected 0.0040)")

odd = lox.LOX(norm_freq=-0.2, rate=0.3)        # any real ratio: a polyphase resampler finishes the job
z = np.concatenate([odd.execute(c) for c in np.array_split(x, 7)])  # chunking never changes the result
print(f"rate 0.3: {len(z)} samples, magnitude {np.abs(z[len(z) // 2]):.3f}")
