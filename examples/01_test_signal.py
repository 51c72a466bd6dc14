"""Generate a test signal and measure it: QPSK at 8 samples per symbol with
RRC pulses at Es/N0 10 dB, then its spectrum, occupied bandwidth and SNR."""
import numpy as np

from tamberl import sig, spectral

tx = sig._SynthEngine(type="qpsk", sps=8, fs=1.0, freq=0.05, snr=30.0, snr_mode="esno", seed=1)
tx.set_rrc(sig.rrc_taps(beta=0.35, sps=8, span=8))
x = tx.steps(1 << 18)

psd = spectral.PSD(n=2048, fs=1.0)
psd.accumulate(x)
print(f"mean power {np.mean(np.abs(x) ** 2):.3f}")
print(f"99% occupied bandwidth {psd.occupied_bw(0.99):.4f} of the sample rate (RRC 0.35 at 8 sps spans 0.169)")
print(f"SNR in the band 0.05 +- 0.08: {psd.snr(-0.03, 0.13):.1f} dB (Es/N0 30 dB spread over 8 samples per symbol)")
