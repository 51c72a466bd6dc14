"""The capture decoder of tamberl.rx on the satellite recording in tests/data: real-time factor."""
import pathlib
import time

from tamberl import rx

CAPTURE = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "by701.wav"


def main():
    x, fs = rx.read_capture(str(CAPTURE))
    best, res = float("inf"), None
    for _ in range(5):
        t0 = time.perf_counter()
        res = rx.decode_capture(x, fs, 9600, 12000, 114, "conventional", True)
        best = min(best, time.perf_counter() - t0)
    print("\nrx")
    print(f"  decode_capture by701.wav ({res.seconds:.1f} s): {len(res.frames)} good frames, "
          f"{res.seconds / best:.0f}x real time ({best * 1e3:.0f} ms, interpreter start excluded)")


if __name__ == "__main__":
    main()
