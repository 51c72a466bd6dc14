"""Checkpoint a receiver mid-stream and resume it in another process: the
resumed receiver continues bit for bit where the first one stopped."""
import subprocess
import sys
import tempfile

import numpy as np

from tamberl import sig, track

tx = sig._SynthEngine(type="qpsk", sps=8, fs=1.0, freq=1e-4, snr=9.0, snr_mode="ebno", seed=5)
tx.set_rrc(sig.rrc_taps(0.35, 8, 8))
x = tx.steps(80_000)
cut = 30_001

rx = track.MpskReceiver(m=4, sps=8.0, pulse="rrc")
rx.steps(x[:cut])
with tempfile.TemporaryDirectory() as d:
    np.save(f"{d}/tail.npy", x[cut:])
    with open(f"{d}/rx.state", "wb") as f:
        f.write(rx.get_state())
    child = f"""
import numpy as np
from tamberl import track
rx = track.MpskReceiver(m=4, sps=8.0, pulse="rrc")   # built with the same arguments
rx.set_state(open("{d}/rx.state", "rb").read())
np.save("{d}/resumed.npy", rx.steps(np.load("{d}/tail.npy")))
"""
    subprocess.run([sys.executable, "-c", child], check=True)
    resumed = np.load(f"{d}/resumed.npy")
here = rx.steps(x[cut:])
print(f"{len(here)} symbols after the cut; identical in the other process: {np.array_equal(here, resumed)}")
