"""tamberl.rx on SDR captures: time and peak memory against capture length.

Builds the 2.4 MHz cu8 capture of the test recording (as the test suite
does), then decodes 1, 2 and 5 copies back to back, each in a fresh
interpreter on one core, from a file and through a pipe.  Peak memory is
the child's maximum resident set; it should not grow with the length.
"""
import os
import pathlib
import subprocess
import sys
import tempfile
import time

from common import best_time  # noqa: F401  (puts tests/python on the path)
from captures import write_capture

ARGS = ["--satellite", "BY70-1", "--rate", "2.4e6", "--format", "cu8", "--carrier=-250e3", "--quiet", "--jobs", "1"]


# The decoder's command line, reporting its own peak resident set (the
# kernel's high-water mark of this process image) on the way out.
WRAPPER = """import atexit, re, sys
atexit.register(lambda: sys.stderr.write(re.search(r"VmHWM:\\s+(\\d+)", open("/proc/self/status").read())[0]))
from tamberl.rx.cli import main
sys.exit(main(sys.argv[1:]))"""


def run(args, stdin=None):
    """(wall seconds, peak resident MB, last output line) of one decoder run."""
    t0 = time.perf_counter()
    with open(stdin, "rb") if stdin else open(os.devnull, "rb") as f:
        out = subprocess.run([sys.executable, "-c", WRAPPER, *args], stdin=f, capture_output=True, text=True,
                             check=True, env=dict(os.environ, OMP_NUM_THREADS="1"))
    wall = time.perf_counter() - t0
    peak = int(out.stderr.split("VmHWM:")[1].split()[0]) / 1024
    return wall, peak, out.stdout.strip().splitlines()[-1]


def main():
    d = pathlib.Path(tempfile.mkdtemp())
    one = d / "c2m4.cu8"
    seconds = write_capture(one, 2.4e6, -250e3, "cu8") / 2.4e6
    print("\nrx: 2.4 MHz cu8 captures of by701 (one core, interpreter start included)")
    print(f"  {'capture':28s} {'seconds':>8s} {'wall s':>7s} {'x real time':>12s} {'peak MB':>8s}  frames")
    for copies in (1, 2, 5):
        path = d / f"x{copies}.cu8"
        with open(path, "wb") as f:
            for _ in range(copies):
                f.write(one.read_bytes())
        for how in ("file", "pipe"):
            args = [str(path), *ARGS] if how == "file" else ["-", *ARGS]
            wall, peak, last = run(args, stdin=path if how == "pipe" else None)
            good = last.split(":")[1].split("good")[0].strip()
            print(f"  {f'{copies} x 12.7 s, {how}':28s} {copies * seconds:8.1f} {wall:7.2f} "
                  f"{copies * seconds / wall:12.1f} {peak:8.0f}  {good}")
        path.unlink()
    one.unlink()


if __name__ == "__main__":
    main()
