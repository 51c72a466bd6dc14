"""Detect a PN code in noise with a streaming detector, fed in chunks of any
size: a 1023-chip Gold code at -10 dB per chip, integrated over two periods."""
import numpy as np

from tamberl import sig, spectral

code = 1 - 2 * sig.Gold().generate(1023).astype(np.float32)
rng = np.random.default_rng(7)
periods = 12
clean = np.tile(np.roll(code, 321), periods) * np.sqrt(0.1)
noise = (rng.standard_normal(len(clean)) + 1j * rng.standard_normal(len(clean))) / np.sqrt(2)
stream = (clean + noise).astype(np.complex64)

det = spectral.CorrDetector(code.astype(np.complex64), dwell=2, threshold=6.0)
hits = [h for chunk in np.array_split(stream, 17) for h in det.push(chunk)]
print(f"{len(hits)} detections; lags {sorted({lag for lag, *_ in hits})} (the code was delayed by 321)")
