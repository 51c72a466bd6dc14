"""A short tour of what tamberl can do today: run with `python -m tamberl.demo`."""
import numpy as np

from tamberl import qmath, sfc, telemetry, track


def loop_filter_step_response():
    print("Loop filter: response to a unit phase-error step (bn=0.02, zeta=0.707)")
    lf = track.LoopFilter(bn=0.02, zeta=0.707)
    print(f"  gains: kp = {lf.kp:.7f}, ki = {lf.ki:.8f}")
    controls = lf.steps(np.ones(50))
    print("  update   control    integrator")
    integ = np.cumsum(np.full(50, lf.ki))
    for i in (0, 1, 2, 4, 9, 19, 49):
        print(f"  {i + 1:6d}   {controls[i]:.7f}  {integ[i]:.7f}")
    blob = lf.get_state()
    print(f"  checkpoint: {len(blob)}-byte blob, magic {blob[:4].decode()!r}")


def q15_dot_product():
    print("\nQ15 arithmetic against float (one 1000-tap product)")
    rng = np.random.default_rng(2024)
    a = rng.uniform(-0.5, 0.5, 1000)
    b = rng.uniform(-0.5, 0.5, 1000)
    qa = np.round(a * 32768).astype(np.int16)
    qb = np.round(b * 32768).astype(np.int16)
    raw = qmath.dot_q15(qa, qb)  # Q30, exact
    q15 = int(qmath.shr_i64(np.array([raw], np.int64), 15)[0])  # back to Q15, rounded half up
    print(f"  float64 dot        {np.dot(a, b):+.9f}")
    print(f"  dot_q15 (raw Q30)  {raw:+d}  = {raw / 2**30:+.9f}")
    print(f"  rounded to Q15     {q15:+d}  = {q15 / 2**15:+.9f}")
    acc = qmath.AccQ15()
    for i in range(0, 1000, 250):  # the accumulator register gives the same sum block by block
        acc.madd(qa[i:i + 250], qb[i:i + 250])
    print(f"  AccQ15 in 4 blocks {acc.get():+d}  ({'identical' if acc.get() == raw else 'DIFFERENT'})")
    sat = qmath.mul_q15([-32768, 16384, 1, -1], [-32768, 16384, 16384, 16384])
    print(f"  mul_q15 corner cases (-1*-1, .5*.5, rounding +/-): {sat.tolist()}")


def costas_acquisition():
    print("\nCostas loop: BPSK at 16 samples/symbol, 0.003 cycles/sample carrier offset, quantised by a 12-bit ADC")
    rng = np.random.default_rng(7)
    ts, nsym = 16, 3000
    sym = rng.integers(0, 2, nsym) * 2 - 1
    n = np.arange(nsym * ts)
    x = np.repeat(sym, ts) * np.exp(1j * (2 * np.pi * 0.003 * n + 0.7))
    x = 0.25 * (x + 0.3 * (rng.standard_normal(len(x)) + 1j * rng.standard_normal(len(x))))
    adc = sfc.ADC(bits=12, dbfs=0.0, dithering=1)
    iq = np.stack([x.real, x.imag], axis=1).astype(np.float32).ravel()
    codes = adc.steps(iq)
    y = (codes[0::2] + 1j * codes[1::2]).astype(np.complex64) / 2048
    loop = track.Costas(bn=0.05, tsamps=ts)
    tlm = telemetry.Telemetry(1 << 14)
    loop.set_telemetry(tlm, "costas")
    prompts = loop.steps(y)
    s = tlm.drain()
    first = int(np.argmax(s["costas.locked"] > 0))
    print(f"  ADC clipped: {adc.clipped}; {len(prompts)} prompts; lock declared at symbol {first}")
    print("  symbol   freq (cyc/sample)   lock metric   locked")
    for k in (0, 50, 100, first, 500, 1000, nsym - 1):
        print(f"  {k:6d}   {s['costas.freq'][k]:+.6f}           {s['costas.lock'][k]:.3f}         {int(s['costas.locked'][k])}")
    bits = (prompts.real < 0).astype(int)
    ref = (sym < 0).astype(int)
    errs = min(np.sum(bits[first:] != ref[first:]), np.sum(bits[first:] == ref[first:]))  # BPSK sign ambiguity
    print(f"  bit errors after lock: {errs} of {nsym - first}")


def main():
    print("tamberl demo\n============\n")
    loop_filter_step_response()
    q15_dot_product()
    costas_acquisition()


if __name__ == "__main__":
    main()
