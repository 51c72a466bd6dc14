"""tamberl.rx on the satellite-recording corpus beside the reference decoder.

For every recording in tests/data (with the frames the reference printed
for it in recordings.reference.json) and white Gaussian noise at 0, 0.5, 1
and 2 times the recording's RMS: the frames each decoder prints that are
frames of the clean recording (the reference's over its runs, or ours on the
clean file), any frame that is not, and the time each takes.  The
reference runs through ../shared/tools/peer-frames.py (installed by
peer-setup.sh); without it only our side is measured.

    python bench/bench_corpus.py [--runs N] [--out FILE.md]
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
PEER = ROOT.parent / "shared" / "tools" / "peer-frames.py"
LEVELS = (0.0, 0.5, 1.0, 2.0)


def read_wav(path):
    with wave.open(str(path), "rb") as w:
        return np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float64) / 32768.0, w.getframerate()


def write_wav(path, x, fs):
    x = x / max(1.0, np.max(np.abs(x)) / 0.99)  # scaled to fit, never clipped: the SNR is what matters
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(fs)
        w.writeframes(np.round(x * 32767).astype("<i2").tobytes())


def ours(path, satellite):
    t0 = time.perf_counter()
    out = subprocess.run([sys.executable, "-m", "tamberl.rx", str(path), "--satellite", satellite, "--json",
                          "--jobs", "1"], capture_output=True, text=True, check=True)
    return [json.loads(line)["hex"] for line in out.stdout.splitlines()], time.perf_counter() - t0


def one_command(names, refs, tmp, repeat=3):
    """Wall seconds (best of `repeat`) of one command decoding the named
    recordings from a manifest, the interpreter's start included."""
    manifest = tmp / f"manifest_{len(names)}.csv"
    manifest.write_text("file,satellite\n" + "".join(f"{DATA / (n + '.wav')},{refs[n]['satellite']}\n"
                                                     for n in names))
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        subprocess.run([sys.executable, "-m", "tamberl.rx", "--manifest", str(manifest), "--json"],
                       capture_output=True, check=True)
        best = min(best, time.perf_counter() - t0)
    return best


def reference(path, satellite):
    t0 = time.perf_counter()
    out = subprocess.run(["/usr/bin/python3", str(PEER), str(path), "--satellite", satellite],
                         capture_output=True, text=True)
    return [json.loads(line)["hex"] for line in out.stdout.splitlines() if line.startswith("{")], \
        time.perf_counter() - t0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--runs", type=int, default=3, help="reference runs per file (its loops start from noise)")
    p.add_argument("--out", default=None, help="also write the table as Markdown to this file")
    a = p.parse_args([] if __name__ != "__main__" else None)
    refs = json.loads((DATA / "recordings.reference.json").read_text())
    have_peer = PEER.exists() and subprocess.run(["/usr/bin/python3", "-c", "import satellites.core"],
                                                 capture_output=True).returncode == 0
    rows, t_ours, t_ref, ref_time = [], 0.0, 0.0, {}
    tmp = pathlib.Path(tempfile.mkdtemp())
    for name in sorted(refs):
        sat = refs[name]["satellite"]
        x, fs = read_wav(DATA / f"{name}.wav")
        rms = float(np.sqrt(np.mean(x ** 2)))
        clean = set(refs[name]["frames"]) | set(ours(DATA / f"{name}.wav", sat)[0])
        for level in LEVELS:
            noisy = x + np.random.default_rng(1).standard_normal(len(x)) * level * rms
            path = tmp / f"{name}_{level:g}.wav"
            write_wav(path, noisy, fs)
            got, dt = ours(path, sat)
            t_ours += dt if level == 0 else 0.0
            mine = set(got)
            row = [name, f"{level:g}", len(mine & clean), len(mine - clean)]
            if have_peer:
                theirs = set()
                for _ in range(a.runs if level > 0 else 1):
                    got, dt = reference(path, sat)
                    theirs |= set(got)
                    t_ref += dt if level == 0 else 0.0
                    ref_time[name] = dt if level == 0 else ref_time[name]
                row += [len(theirs & clean), len(theirs - clean)]
            rows.append(row)
            print(" ".join(str(c) for c in row), flush=True)
    head = "| recording | noise x RMS | ours: clean frames | ours: others |" + (
        " reference (union of runs): clean frames | reference: others |" if have_peer else "")
    lines = [head, "|" + "---|" * (len(rows[0]))]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    from tamberl import rx  # the decoding alone, in one process, on one core
    pairs = [(str(DATA / f"{n}.wav"), k) for n in sorted(refs)
             for k in rx.satellites.find(refs[n]["satellite"]).links()]
    t0 = time.perf_counter()
    rx.decode_many([q for q, _ in pairs], 0, 0, link=[k for _, k in pairs], jobs=1)
    t_in = time.perf_counter() - t0
    bpsk = [n for n in sorted(refs) if rx.satellites.find(refs[n]["satellite"]).links()[0].modulation
            in ("BPSK", "DBPSK")]
    together = []
    for label, names in (("all 28 recordings", sorted(refs)), (f"the {len(bpsk)} BPSK and DBPSK ones", bpsk)):
        t = one_command(names, refs, tmp)
        theirs = sum(ref_time.get(n, 0.0) for n in names)
        together.append(f"\nOne command for {label} (`--manifest`, every transmitter of each satellite, the "
                        f"interpreter's start included; best of 3): {t:.2f} s"
                        + (f", against the reference's {theirs:.2f} s for them one command each ({t / theirs:.3f} "
                           "of its time)." if have_peer else "."))
    summary = (f"\nClean files, one command each, wall time with interpreter start: ours {t_ours:.2f} s"
               + (f", the reference {t_ref:.2f} s (ours takes {t_ours / t_ref:.2f} of its time)" if have_peer else "")
               + f".\nThe same files decoded in one process on one core, every transmitter of each satellite: "
                 f"{t_in:.2f} s"
               + (f" ({t_in / t_ref:.3f} of the reference's time)." if have_peer else ".")
               + "".join(together))
    import platform
    head_text = ("# The corpus beside the reference decoder\n\nWritten by `make bench-corpus` on "
                 f"{time.strftime('%Y-%m-%d')}: {platform.machine()}, {os.cpu_count()} cores. Frames that are frames "
                 "of the clean recording (the reference's over its runs, or ours on the clean file), and frames "
                 f"that are not, for white Gaussian noise at 0 to 2 times the recording's RMS; the reference's "
                 f"column is the union of {a.runs} runs on each noisy file.\n\n")
    text = head_text + "\n".join(lines) + summary + "\n"
    print(text)
    if a.out:
        pathlib.Path(a.out).write_text(text)


if __name__ == "__main__":
    main()
