"""Pickle a configured transmitter and a receiver mid-stream, carry on in
a worker process, and compare: the worker continues bit for bit where the
originals stood, configuration (pulse shaping) included."""
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np

from tamberl import sig, track


def carry_on(blob, n):
    tx, rx = pickle.loads(blob)
    return rx.steps(tx.steps(n))


if __name__ == "__main__":
    tx = sig._SynthEngine(type="qpsk", sps=8, fs=1.0, freq=2e-4, snr=12.0, snr_mode="ebno", seed=7)
    tx.set_rrc(sig.rrc_taps(0.35, 8, 8))         # configuration after construction travels too
    rx = track.MpskReceiver(m=4, sps=8.0, pulse="rrc")
    rx.steps(tx.steps(40_000))                    # lock up here
    blob = pickle.dumps((tx, rx))
    with ProcessPoolExecutor(1) as pool:
        there = pool.submit(carry_on, blob, 40_000).result()
    here = rx.steps(tx.steps(40_000))
    print(f"{len(here)} symbols after the pickle ({len(blob)} bytes); identical in the worker: "
          f"{np.array_equal(here, there)}")
