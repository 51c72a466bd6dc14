"""`make bench-peers`: tamberl beside GNU Radio and liquid-dsp (both from
Debian) doing the same jobs, as ratios, in one run; the table is also written
to bench/RESULTS.md with the machine it ran on."""
import ctypes
import ctypes.util
import json
import os
import pathlib
import platform
import subprocess
import time

import numpy as np

from tamberl import lox, sig, spectral, track

import peers_fec

HERE = pathlib.Path(__file__).resolve().parent
N = 1 << 21
DECIM_TAPS = 77  # a Kaiser lowpass to 60 dB with a 0.05 transition: about what GNU Radio's design gives


def best(fn, n=N, repeat=7):
    fn()
    t = min(_timed(fn) for _ in range(repeat))
    return n / t / 1e6


def _timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def ours():
    rng = np.random.default_rng(0)
    x = ((rng.standard_normal(N) + 1j * rng.standard_normal(N)) / np.sqrt(2)).astype(np.complex64)
    bpsk = (np.repeat(1 - 2 * rng.integers(0, 2, N // 4), 4) + 0.1 * x).astype(np.complex64)
    out = np.empty(N, np.complex64)
    costas = track.Costas(bn=0.05, tsamps=1)
    d4, d03 = lox.LOX(0.1, 0.25), lox.LOX(0.0, 0.3)
    o4, o03 = np.empty(d4.execute_max_out(N), np.complex64), np.empty(d03.execute_max_out(N), np.complex64)
    rs = track.RateSync(sps=4.0)
    f = spectral.FFT(n=1024)
    rows = x.reshape(-1, 1024)
    fo = np.empty(1024, np.complex64)
    noise, tone = sig._SynthEngine(type="noise"), sig._SynthEngine(type="tone", fs=1.0, freq=0.01)

    def ffts():
        for r in rows:
            f.execute_cf32(r, out=fo)
    copy = np.empty(N, np.complex64)
    return {
        "copy": best(lambda: np.copyto(copy, x)),
        "costas": best(lambda: costas.steps(bpsk, out=out)),
        "xlate_decim4": best(lambda: d4.execute(x, out=o4)),
        "resample_0.3": best(lambda: d03.execute(x, out=o03)),
        "symbol_sync_sps4": best(lambda: rs.steps(bpsk, out=out)),
        "fft1024": best(ffts),
        "noise": best(lambda: noise.steps(N)),
        "tone": best(lambda: tone.steps(N)),
    }


def liquid():
    """A few of the same jobs through liquid-dsp's C API (ctypes, block calls)."""
    path = ctypes.util.find_library("liquid")
    if not path:
        return {}
    L = ctypes.CDLL(path)
    vp, f32, u32 = ctypes.c_void_p, ctypes.c_float, ctypes.c_uint
    L.resamp_crcf_create_default.restype = vp
    L.resamp_crcf_create_default.argtypes = [f32]
    L.resamp_crcf_execute_block.argtypes = [vp, vp, u32, vp, ctypes.POINTER(u32)]
    L.symsync_crcf_create_rnyquist.restype = vp
    L.symsync_crcf_create_rnyquist.argtypes = [ctypes.c_int, u32, u32, f32, u32]
    L.symsync_crcf_execute.argtypes = [vp, vp, u32, vp, ctypes.POINTER(u32)]
    L.liquid_getopt_str2firfilt.restype = ctypes.c_int
    L.liquid_getopt_str2firfilt.argtypes = [ctypes.c_char_p]
    L.liquid_firdes_kaiser.argtypes = [u32, f32, f32, f32, vp]
    L.firdecim_crcf_create.restype = vp
    L.firdecim_crcf_create.argtypes = [u32, vp, u32]
    L.firdecim_crcf_execute_block.argtypes = [vp, vp, u32, vp]
    L.nco_crcf_create.restype = vp
    L.nco_crcf_create.argtypes = [ctypes.c_int]
    L.nco_crcf_set_frequency.argtypes = [vp, f32]
    L.nco_crcf_mix_block_down.argtypes = [vp, vp, vp, u32]
    rng = np.random.default_rng(0)
    x = ((rng.standard_normal(N) + 1j * rng.standard_normal(N)) / np.sqrt(2)).astype(np.complex64)
    y = np.empty(2 * N, np.complex64)
    ny = u32(0)
    p = lambda a: a.ctypes.data_as(vp)  # noqa: E731
    res = L.resamp_crcf_create_default(f32(0.3))
    sync = L.symsync_crcf_create_rnyquist(L.liquid_getopt_str2firfilt(b"rrcos"), 4, 8, f32(0.35), 32)
    # Down-conversion and decimation by 4 as liquid-dsp composes it: its NCO
    # mixes the block, then a decimator whose taps are designed to the
    # quality of ours (Kaiser, passband to 0.1, stopband from 0.15, 60 dB).
    h = np.zeros(DECIM_TAPS, np.float32)
    L.liquid_firdes_kaiser(DECIM_TAPS, f32(0.125), f32(60.0), f32(0.0), p(h))
    dec = L.firdecim_crcf_create(4, p(h), DECIM_TAPS)
    nco = L.nco_crcf_create(0)
    L.nco_crcf_set_frequency(nco, f32(2 * np.pi * 0.1))
    mixed = np.empty(N, np.complex64)

    def decim4():
        L.nco_crcf_mix_block_down(nco, p(x), p(mixed), N)
        L.firdecim_crcf_execute_block(dec, p(mixed), N // 4, p(y))
    return {
        "xlate_decim4": best(decim4),
        "resample_0.3": best(lambda: L.resamp_crcf_execute_block(res, p(x), N, p(y), ctypes.byref(ny))),
        "symbol_sync_sps4": best(lambda: L.symsync_crcf_execute(sync, p(x), N, p(y), ctypes.byref(ny))),
    }


def gnuradio():
    try:
        out = subprocess.run(["/usr/bin/python3", str(HERE / "peers_gr.py")], capture_output=True, text=True,
                             timeout=600)
        return json.loads(out.stdout) if out.returncode == 0 else {}
    except (OSError, ValueError, subprocess.TimeoutExpired):
        return {}


def main():
    mine, gr, lq = ours(), gnuradio(), liquid()
    jobs = [("costas", "Costas loop, one update per sample (BPSK)"),
            ("xlate_decim4", "frequency-translating decimation by 4"),
            ("resample_0.3", "arbitrary resampling, ratio 0.3"),
            ("symbol_sync_sps4", "symbol timing, 4 samples/symbol"),
            ("fft1024", "FFT, 1024 points (complex64)"),
            ("noise", "complex Gaussian noise source"),
            ("tone", "complex tone source")]
    lines = ["| job | tamberl Msamples/s | share of a copy | GNU Radio | ratio | liquid-dsp | ratio |",
             "|---|---|---|---|---|---|---|"]
    for key, label in jobs:
        t = mine[key]
        g = gr.get(key)
        q = lq.get(key)
        cells = [label, f"{t:.1f}", f"{t / mine['copy']:.2f}",
                 f"{g:.1f}" if g else "-", f"{t / g:.2f}x" if g else "-",
                 f"{q:.1f}" if q else "-", f"{t / q:.2f}x" if q else "-"]
        lines.append("| " + " | ".join(cells) + " |")
    fec = peers_fec.table(peers_fec.ours(), peers_fec.libfec())
    machine = f"{platform.machine()}, {os.cpu_count()} cores, {platform.processor() or platform.platform()}"
    table = "\n".join(lines)
    print(table)
    print(fec)
    text = ("# Benchmarks beside the peers\n\n"
            f"Written by `make bench-peers` on {time.strftime('%Y-%m-%d')}: {machine}; Python {platform.python_version()}."
            " Each job runs on 2^21 samples, best of seven (the machine is shared: the fastest run is the one least disturbed); GNU Radio blocks sit between a vector source and a null "
            "sink (the flowgraph's own overhead included), liquid-dsp is called by block through ctypes. "
            "Filters are compared at matched quality: for decimation by 4 both peers get a lowpass with its "
            f"passband to 0.1 and its stopband from 0.15 of the input rate, 60 dB down (GNU Radio's "
            f"`firdes.low_pass_2(1, 1, 0.125, 0.05, 60)`, {gr.get('decim4_taps', '-')} taps, in "
            f"`freq_xlating_fir_filter_ccf`; liquid-dsp's `liquid_firdes_kaiser` with {DECIM_TAPS} taps in "
            "`firdecim_crcf`, behind its `nco_crcf` mixing the block), as `lox.LOX(0.1, 0.25)`'s halfband "
            "cascade gives; the resamplers are each library's own 60 dB designs. \"share of a copy\" is the "
            f"job's rate over that of copying the same complex64 block with NumPy ({mine['copy']:.0f} "
            "Msamples/s here): how close the job runs to this machine's memory bandwidth. "
            "Ratios above 1 mean tamberl is faster.\n\n" + table + "\n\n"
            "## Forward error correction beside libfec\n\n"
            "libfec (Debian's libfec-dev) runs as the small C program `bench/fec_peer.c`, built by the bench and "
            "timed in C, so no call overhead counts against it; tamberl is timed from Python.  Viterbi: 2^20 decoded "
            "bits from random soft symbols (libfec's 8-bit, ours float32), one block call.  Reed-Solomon: 4000 "
            "dual-basis (255,223) codewords, clean or with 16 octets hit by random errors, all repaired; rates are "
            "of the 223 data octets.  The instruction-set rows cap tamberl with `tamberl.isa()`; every path gives "
            "the same bits.\n\n" + fec + "\n")
    (HERE / "RESULTS.md").write_text(text)


if __name__ == "__main__":
    main()
