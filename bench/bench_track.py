"""Tracking loop, synchroniser and receiver throughput, and the Costas false-lock rate on pure noise."""
import time

import numpy as np

from common import report
import signals
from tamberl import sig, telemetry, track

N = 1_000_000


def false_lock_fraction(nsym=1_000_000, tsamps=16, seed=0):
    """Fraction of symbols declared locked when the input is complex white noise
    (default thresholds), read per symbol from the loop's telemetry."""
    rng = np.random.default_rng(seed)
    c = track.Costas(tsamps=tsamps)
    tlm = telemetry.Telemetry(1 << 18)
    c.set_telemetry(tlm, "c")
    locked, seen, block = 0, 0, 1 << 16
    while seen < nsym:
        n = min(block, nsym - seen) * tsamps
        c.steps(signals.awgn(n, 2.0, seed=int(rng.integers(1 << 31))))
        flags = tlm.drain()["c.locked"]
        locked += int(flags.sum())
        seen += len(flags)
    assert tlm.dropped == 0
    return locked / seen, float(np.max(flags)), seen


def main():
    rng = np.random.default_rng(0)
    x = signals.crandn(N, dtype=np.complex64)
    out = np.empty(N, np.complex64)
    c = track.Costas(tsamps=16)
    lf = track.LoopFilter(0.02)
    xd = rng.standard_normal(N)
    outd = np.empty(N)
    c1 = track.Costas(tsamps=1)
    nda, mp = track.CarrierNda(), track.CarrierMpsk(tsamps=16)
    code = np.random.default_rng(3).integers(0, 2, 1023).astype(np.uint8)
    dll = track.Dll(code, sps=2)
    dll4 = track.Dll(code, sps=2, segments=4)
    report([
        ("Costas.steps tsamps=16 (1M)", N, lambda: c.steps(x, out=out), None, None),
        ("Costas.steps tsamps=1 (1M)", N, lambda: c1.steps(x, out=out), None, None),
        ("CarrierNda.steps defaults (1M)", N, lambda: nda.steps(x, out=out), None, None),
        ("CarrierMpsk.steps tsamps=16 (1M)", N, lambda: mp.steps(x, out=out), None, None),
        ("Dll.steps 1023 chips, sps 2 (1M)", N, lambda: dll.steps(x, out=out), None, None),
        ("Dll.steps segments=4 (1M)", N, lambda: dll4.steps(x, out=out), None, None),
        ("LoopFilter.steps (1M)", N, lambda: lf.steps(xd, out=outd), None, None),
    ], "track")
    # Timing recovery and receivers on a shaped QPSK stream.  The peer is the
    # fixed part of the same job in NumPy (matched filter and decimation, no
    # tracking at all), so the ratio understates what the loops add.
    tx = sig._SynthEngine(type="qpsk", sps=8, snr=10.0, seed=1)
    taps = sig.rrc_taps(0.35, 8, 8)
    tx.set_rrc(taps)
    q8 = tx.steps(N)
    tx4 = sig._SynthEngine(type="qpsk", sps=4, snr=10.0, seed=1)
    tx4.set_rrc(sig.rrc_taps(0.35, 4, 8))
    q4 = tx4.steps(N)
    rs, ss = track.RateSync(sps=4.0), track.SymbolSync(sps=4)
    rx_rrc, rx = track.MpskReceiver(pulse="rrc"), track.MpskReceiver()
    rx_plain = track.MpskReceiver(agc=0)
    taps4 = sig.rrc_taps(0.35, 4, 8).astype(np.float32)
    report([
        ("SymbolSync.steps sps 4 (1M)", N, lambda: ss.steps(q4, out=out), None, None),
        ("RateSync.steps sps 4, rrc (1M)", N, lambda: rs.steps(q4, out=out),
         "np.convolve matched filter, [::4]", lambda: np.convolve(q4, taps4)[::4]),
        ("MpskReceiver.steps QPSK sps 8 (1M)", N, lambda: rx.steps(q8, out=out), None, None),
        ("MpskReceiver.steps agc=0 (1M)", N, lambda: rx_plain.steps(q8, out=out), None, None),
        ("MpskReceiver.steps rrc (1M)", N, lambda: rx_rrc.steps(q8, out=out),
         "np.convolve matched filter, [::8]", lambda: np.convolve(q8, taps)[::8]),
    ], "synchronisers and receivers")
    t0 = time.perf_counter()
    frac, _, seen = false_lock_fraction()
    print(f"  Costas symbols declared locked on pure noise: {frac:.2e} of {seen} (tsamps 16, default thresholds)"
          f"  ({time.perf_counter() - t0:.1f} s)")


if __name__ == "__main__":
    main()
