"""The GNU Radio side of `make bench-peers`, run by the system Python that
Debian's gnuradio package belongs to.  Prints one JSON object: job -> Msamples/s
(each block between a vector source and a null sink, best of seven runs)."""
import json
import time

import numpy as np
from gnuradio import analog, blocks, digital, fft, filter, gr

N = 1 << 21


def rate(make_block, data, vlen=1, n=N):
    best = float("inf")
    for _ in range(7):
        tb = gr.top_block()
        src = blocks.vector_source_c(data, False, vlen)
        blk = make_block()
        snk = blocks.null_sink(gr.sizeof_gr_complex * (vlen if vlen > 1 else 1))
        tb.connect(src, blk, snk)
        t0 = time.perf_counter()
        tb.run()
        best = min(best, time.perf_counter() - t0)
    return n / best / 1e6


def source_rate(make_source):
    best = float("inf")
    for _ in range(7):
        tb = gr.top_block()
        head = blocks.head(gr.sizeof_gr_complex, N)
        tb.connect(make_source(), head, blocks.null_sink(gr.sizeof_gr_complex))
        t0 = time.perf_counter()
        tb.run()
        best = min(best, time.perf_counter() - t0)
    return N / best / 1e6


def main():
    rng = np.random.default_rng(0)
    x = ((rng.standard_normal(N) + 1j * rng.standard_normal(N)) / np.sqrt(2)).astype(np.complex64)
    bpsk = (np.repeat(1 - 2 * rng.integers(0, 2, N // 4), 4) + 0.1 * x).astype(np.complex64)
    # The decimator's taps at the quality of lox.LOX(0.1, 0.25)'s cascade:
    # passband to 0.1, stopband from 0.15 of the input rate, 60 dB down.
    taps = filter.firdes.low_pass_2(1.0, 1.0, 0.125, 0.05, 60)
    out = {
        "costas": rate(lambda: digital.costas_loop_cc(0.05, 2), bpsk),
        "xlate_decim4": rate(lambda: filter.freq_xlating_fir_filter_ccf(4, taps, 0.1, 1.0), x),
        "resample_0.3": rate(lambda: filter.pfb_arb_resampler_ccf(0.3, filter.firdes.low_pass_2(32, 32, 0.4, 0.2, 60), 32),
                             x),
        "symbol_sync_sps4": rate(lambda: digital.symbol_sync_cc(digital.TED_GARDNER, 4.0, 0.01, 0.707, 1.0, 1.5, 1,
                                                                digital.constellation_bpsk().base(),
                                                                digital.IR_MMSE_8TAP, 128, []), bpsk),
        "fft1024": rate(lambda: fft.fft_vcc(1024, True, [], False, 1), x, vlen=1024),
        "noise": source_rate(lambda: analog.noise_source_c(analog.GR_GAUSSIAN, 1.0, 0)),
        "tone": source_rate(lambda: analog.sig_source_c(1.0, analog.GR_COS_WAVE, 0.01, 1.0, 0)),
        "decim4_taps": len(taps),
    }
    print(json.dumps(out))


if __name__ == "__main__":
    main()
