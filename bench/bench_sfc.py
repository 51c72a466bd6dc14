"""Sample-format converters, ADC and NRZ mapping against the NumPy expressions giving the same bits."""
import numpy as np

from common import check_same, report
from tamberl import sfc

N = 1_000_000


def np_round_away(s):
    t = np.trunc(s)
    f = s - t
    return t + (f >= 0.5) - (f <= -0.5)


def main():
    rng = np.random.default_rng(0)
    x = rng.uniform(-1.1, 1.1, N).astype(np.float32)
    codes = rng.integers(-32768, 32768, N).astype(np.int16)
    bits = rng.integers(0, 2, N).astype(np.uint8)

    f2i = sfc.F32ToI16()
    i2f = sfc.I16ToF32()
    adc = sfc.ADC(bits=12, dbfs=0.0)
    out16 = np.empty(N, np.int16)
    outf = np.empty(N, np.float32)
    out64 = np.empty(N, np.int64)
    sc32, inv = np.float32(32768.0), np.float32(1.0) / np.float32(32768.0)

    def np_f2i():
        s = x * sc32
        s = np.where(s > -32768, s, np.float32(-32768))
        s = np.minimum(s, np.float32(32767))
        return np_round_away(s).astype(np.int16)

    def np_i2f():
        return codes.astype(np.float32) * inv

    def np_adc():
        s = x.astype(np.float64) * adc.scale
        return np.clip(np_round_away(s), -2048, 2047).astype(np.int64)

    def np_nrz():
        return np.where(bits != 0, np.float32(-1.0), np.float32(1.0))

    check_same(f2i.steps(x), np_f2i(), "F32ToI16")
    check_same(i2f.steps(codes), np_i2f(), "I16ToF32")
    check_same(adc.steps(x), np_adc(), "ADC")
    sfc.bin_to_nrz(bits, outf)
    check_same(outf, np_nrz(), "bin_to_nrz")

    report([
        ("F32ToI16.steps (1M, out=)", N, lambda: f2i.steps(x, out=out16), "scale/where/minimum/round-away/astype", np_f2i),
        ("I16ToF32.steps (1M, out=)", N, lambda: i2f.steps(codes, out=outf), "codes.astype(float32) * inv", np_i2f),
        ("ADC.steps 12-bit, no dither (1M)", N, lambda: adc.steps(x, out=out64), "float64 scale/round-away/clip", np_adc),
        ("bin_to_nrz (1M)", N, lambda: sfc.bin_to_nrz(bits, outf), "np.where(bits != 0, -1, 1)", np_nrz),
    ], "sfc")


if __name__ == "__main__":
    main()
