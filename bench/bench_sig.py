"""The synthesiser and code generators against the NumPy way of making the same kind of signal."""
import numpy as np
import scipy.signal

from common import best_time, report
from tamberl import sig

N = 1 << 20


def numpy_noise(rng, amp):
    return ((rng.standard_normal(N) + 1j * rng.standard_normal(N)) * amp).astype(np.complex64)


def numpy_tone(f):
    return np.exp(2j * np.pi * f * np.arange(N)).astype(np.complex64)


def numpy_qpsk_rrc(rng, taps, f, amp):
    """Random QPSK symbols, polyphase-interpolated by 8 with the RRC, a carrier, noise."""
    nsym = N // 8
    s = ((1 - 2 * rng.integers(0, 2, nsym)) + 1j * (1 - 2 * rng.integers(0, 2, nsym))) * np.sqrt(0.5)
    shaped = scipy.signal.upfirdn(taps * np.sqrt(8), s, up=8)[:N]
    return (shaped * numpy_tone(f) + numpy_noise(rng, amp)).astype(np.complex64)


def main():
    rng = np.random.default_rng(0)
    taps = sig.rrc_taps(0.35, 8, 6)
    noise = sig._SynthEngine(type="noise", seed=1)
    tone = sig._SynthEngine(type="tone", freq=1.234e4)
    bpsk = sig._SynthEngine(type="bpsk", sps=8)
    qpsk = sig._SynthEngine(type="qpsk", sps=8, freq=2e4, snr=6.0, snr_mode="ebno", seed=1)
    qpsk.set_rrc(taps)
    pn = sig.PN(seed=1, length=23)
    chips = np.empty(N, np.uint8)
    report([
        ("noise.steps (1M)", N, lambda: noise.steps(N), "rng.standard_normal x2", lambda: numpy_noise(rng, 0.7071)),
        ("tone.steps (1M)", N, lambda: tone.steps(N), "np.exp(2j pi f k)", lambda: numpy_tone(0.01234)),
        ("bpsk sps8 unshaped.steps (1M)", N, lambda: bpsk.steps(N), None, None),
        ("qpsk sps8 RRC + LO + AWGN.steps (1M)", N, lambda: qpsk.steps(N),
         "upfirdn + carrier + standard_normal", lambda: numpy_qpsk_rrc(rng, taps, 0.02, 0.5)),
        ("PN(length=23).generate (1M chips)", N, lambda: pn.generate(N, out=chips), None, None),
    ], "sig")
    frames()


def frames():
    """check and deframe of an RS(255,223) depth-5 frame with random octet errors."""
    rng = np.random.default_rng(1)
    d = sig.FrameDesc([], [], [])
    d.add_hex("asm", "1ACFFC1D")
    d.add_field(rng.integers(0, 2, 5 * 223 * 8).astype(np.uint8))
    d.name_field(1, "data")
    d.add_derived("rs", 5 * 256)
    d.add_stage_over(1, "data", "rs", depth=5)
    d.add_stage(2, first_field=1, n_fields=2)
    d.build()
    rx = d.bits().copy()
    for o in rng.choice(np.arange(4, 4 + 5 * 255), 60, replace=False):
        rx[8 * o] ^= 1
    out = np.empty(d.nbits, np.uint8)
    payload_bits = 5 * 223 * 8
    for name, fn in [("FrameDesc.check", lambda: d.check(rx)), ("FrameDesc.deframe", lambda: d.deframe(rx, out=out))]:
        t = best_time(fn)
        print(f"  {name} RS depth 5, 60 octet errors: {1 / t:9.0f} frames/s, {payload_bits / t / 1e6:6.1f} payload Mbit/s")


if __name__ == "__main__":
    main()
