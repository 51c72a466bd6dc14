"""The forward-error-correction jobs of `make bench-peers`: tamberl's
Viterbi and Reed-Solomon beside libfec (Debian's libfec-dev), whose side is
the small C program fec_peer.c, built here and timed in C."""
import json
import pathlib
import shutil
import subprocess
import tempfile
import time

import numpy as np

import tamberl
from tamberl import sig

HERE = pathlib.Path(__file__).resolve().parent
VITERBI_BITS = 1 << 20
CODEWORDS = 4000


def _best(fn, repeat=3):
    fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def _codewords(rng):
    """Rows of bits of dual-basis RS(255,223) codewords: clean, and with 16
    octets each hit by a random non-zero error."""
    d = sig.FrameDesc([], [], [])
    d.add_field(np.zeros(8 * 223, np.uint8))
    d.name_field(0, "data")
    d.add_derived("rs", 256)
    d.add_stage_over(1, "data", "rs", depth=1, unit_bits=0)
    d.build()
    data = rng.integers(0, 256, (CODEWORDS, 223), dtype=np.uint8)
    words = np.concatenate([data, sig.rs_encode(data)], axis=1)
    hit = words.copy()
    for row in hit:
        pos = rng.choice(255, 16, replace=False)
        row[pos] ^= rng.integers(1, 256, 16, dtype=np.uint8)
    return d, np.unpackbits(words, axis=1), np.unpackbits(hit, axis=1), data


def ours():
    rng = np.random.default_rng(0)
    soft = rng.standard_normal(2 * VITERBI_BITS).astype(np.float32)
    out = {}
    before = tamberl.isa()
    try:
        for isa in ("scalar", "sse2", "avx2"):
            got = tamberl.isa(isa)
            if got != isa:
                continue
            v = sig.Viterbi()
            out[f"viterbi27_{isa}"] = VITERBI_BITS / _best(lambda: (v.reset(), v.steps(soft))) / 1e6
    finally:
        tamberl.isa(before)
    v = sig.Viterbi()
    out["viterbi27"] = VITERBI_BITS / _best(lambda: (v.reset(), v.steps(soft))) / 1e6
    d, clean, hit, data = _codewords(rng)
    assert d.check_many(hit).symbols.sum() == 16 * CODEWORDS
    mbits = CODEWORDS * 223 * 8 / 1e6
    out["rs_clean"] = mbits / _best(lambda: d.check_many(clean))
    out["rs_16"] = mbits / _best(lambda: d.check_many(hit))
    few = hit[:400]
    out["rs_16_per_call"] = 400 * 223 * 8 / 1e6 / _best(lambda: [d.check(r) for r in few])
    out["rs_encode"] = mbits / _best(lambda: sig.rs_encode(data))
    return out


def libfec():
    """libfec's rates, or {} when it or a C compiler is missing."""
    cc = shutil.which("gcc") or shutil.which("cc")
    if not cc or not pathlib.Path("/usr/include/fec.h").exists():
        return {}
    with tempfile.TemporaryDirectory() as tmp:
        exe = pathlib.Path(tmp) / "fec_peer"
        build = subprocess.run([cc, "-O2", "-o", str(exe), str(HERE / "fec_peer.c"), "-lfec"], capture_output=True)
        if build.returncode != 0:
            return {}
        run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=600)
        return json.loads(run.stdout) if run.returncode == 0 else {}


JOBS = [("viterbi27", "soft Viterbi, K=7 r=1/2, Mbit/s (`sig.Viterbi.steps`; libfec `viterbi27`)"),
        ("viterbi27_avx2", "the same, AVX2 path"),
        ("viterbi27_sse2", "the same, SSE2 path"),
        ("viterbi27_scalar", "the same, scalar path"),
        ("rs_clean", "RS(255,223) check, clean codewords, Mbit/s of data (`FrameDesc.check_many`; `decode_rs_ccsds`)"),
        ("rs_16", "RS(255,223) check, 16 octet errors per codeword"),
        ("rs_16_per_call", "the same, one `FrameDesc.check` call per codeword"),
        ("rs_encode", "RS(255,223) encoding, Mbit/s of data (`sig.rs_encode`; `encode_rs_ccsds`)")]


def table(mine, peer):
    lines = ["| job | tamberl | libfec | ratio |", "|---|---|---|---|"]
    for key, label in JOBS:
        if key not in mine:
            continue
        base = key.split("_per_call")[0]
        base = base if base in peer else base.rsplit("_", 1)[0]
        p = peer.get(base)
        lines.append(f"| {label} | {mine[key]:.1f} | {f'{p:.1f}' if p else '-'} | "
                     f"{f'{mine[key] / p:.2f}x' if p else '-'} |")
    return "\n".join(lines)


if __name__ == "__main__":
    print(table(ours(), libfec()))
