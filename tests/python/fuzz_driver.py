"""Hostile use of every type of one extension module; run in a child process
by test_fuzz.py, so a crash fails the test instead of the whole suite.

    python fuzz_driver.py tamberl.spectral [seed]

For each type the module holds it builds an object (MAKERS gives arguments
where the defaults are not enough) and then:
  - feeds set_state random and bit-flipped blobs: a refused blob must leave
    get_state() byte-identical;
  - writes non-finite and out-of-range values over every float and double a
    blob could hold: an accepted blob must leave an object that still runs,
    accepts its own state and takes its earlier valid blob back;
  - calls every method and setter with hostile values (empty, NaN, inf,
    wrong dtype, 2-D, huge or negative counts, read-only, misaligned and
    non-contiguous `out`), ignoring the Python exceptions they raise;
  - re-enters every method through argument conversion (`__array__`,
    `__index__`, `__float__` calling destroy(), __init__() or reset());
  - pickles what the hostile calls left: the copy must carry the same state
    blob, or pickling must refuse with TypeError.
Exit status 0 means nothing crashed and every invariant held.
"""
import importlib
import inspect
import pickle
import sys

import warnings

import numpy as np

from helpers import Reenter

# Types whose defaults do not build an object, or build one too large to
# fuzz quickly: the arguments to use instead.
MAKERS = {
    "track.Dll": dict(code=np.array([0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 0], np.uint8), segments=3),
    "spectral.Corr": dict(ref=np.ones(16, np.complex64), dwell=2),
    "sig.SyncSearch": dict(marker="1ACFFC1D", max_errors=3),
    "sig.NrzConditioner": dict(k=4, window=64),
    "sig.BitLine": dict(g3ruh=True, diff="nrzm"),
    "spectral.Corr2D": dict(ref=np.ones((4, 8), np.complex64)),
    "spectral.CorrDetector": dict(ref=np.ones(16, np.complex64), dwell=2),
    "spectral.CorrDetector2D": dict(ref=np.ones((4, 4), np.complex64)),
    "spectral.FFT": dict(n=64),
    "spectral.FFT2D": dict(ny=8, nx=8),
    "spectral.PSD": dict(n=32),
    "sig.PN": dict(seed=1, length=7),
    "sig._SynthEngine": dict(type="bits", freq=1e5, snr=10.0, sps=4),
    "track.BpskReceiver": dict(sample_rate_hz=8e6, symbol_rate_hz=1e6),
    "sig.Frame": dict(preamble=[], sync=[1, 1, 0, 1], payload=[1, 0, 1, 1, 0, 1, 0, 0], crc="crc16"),
    "sig.FrameDesc": dict(preamble=[], sync=[1, 1, 0, 1], payload=[1, 0, 1, 1, 0, 1, 0, 0], crc="crc16"),
}

C64 = np.complex64


def hostile_values():
    ro = np.ones(16, C64)
    ro.setflags(write=False)
    return [
        np.empty(0, C64), np.full(7, np.nan, C64), np.full(9, np.inf, np.float32),
        np.arange(12, dtype=np.int8).reshape(3, 4), np.ones((2, 3), np.complex128), np.ones(5, np.uint64),
        "text", None, b"\x01" * 17, [1.5, 2.5], ro, 0, 1, -1, 2**64 - 1, 2**63, 2**70, 1e308, float("nan"),
        float("-inf"), object(),
    ]


def hostile_outs(n=64):
    misaligned = np.frombuffer(bytearray(8 * n + 1), np.uint8)[1:].view(C64)
    ro = np.zeros(n, C64)
    ro.setflags(write=False)
    return [misaligned, ro, np.zeros(n, np.complex128)[::1].astype(np.float32), np.zeros(2 * n, C64)[::2],
            np.zeros((n, 2), C64), np.zeros(1, C64), np.zeros(n, np.float32)[::2], np.zeros(n, np.uint8),
            np.zeros(n, np.int64), np.zeros(n, np.float64), "out", 3]


def inputs(n=64):
    return [np.ones(n, C64), np.ones(n, np.float32), np.ones(n, np.float64), np.ones(2 * n, np.int16),
            np.ones(n, np.uint8), np.ones(n, np.int8), 4, 0.5]


def call(fn, *args, **kw):
    try:
        fn(*args, **kw)
    except Exception:  # refusals are expected; only crashes matter
        pass


def params(method):
    try:
        sig = inspect.signature(method)
    except (TypeError, ValueError):
        return [], False
    ps = [p for p in sig.parameters.values() if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    return ps, "out" in sig.parameters


def fuzz_state(obj, rng):
    if not hasattr(obj, "get_state"):
        return
    good = obj.get_state()
    n = len(good)
    for i in range(300):
        if i % 3 == 0:
            bad = bytes(rng.integers(0, 256, n, dtype=np.uint8))
        elif i % 3 == 1:
            b = bytearray(good)
            b[int(rng.integers(0, n))] ^= 1 << int(rng.integers(0, 8))
            bad = bytes(b)
        else:
            bad = good[:16] + bytes(rng.integers(0, 256, n - 16, dtype=np.uint8))
        before = obj.get_state()
        try:
            obj.set_state(bad)
        except ValueError:
            assert obj.get_state() == before, f"{type(obj).__name__}: a refused blob changed the state"
        else:
            exercise(obj)  # an accepted payload must not break the object
            obj.set_state(good)
    for length in (0, 15, 16, n - 1, n + 1):
        call(obj.set_state, good[:length] if length <= n else good + b"\0")
    assert obj.get_state() == good
    fuzz_state_values(obj, good, rng)


# Values no constructor or setter would take for a configuration field, written
# over every float32 and float64 a blob's payload could hold, at every byte.
POISON = [(np.float64, v) for v in (np.nan, np.inf, -np.inf, 1e300, -1e300, -1.0, 0.0)] + \
         [(np.float32, v) for v in (np.nan, np.inf, -np.inf, 3e38, -1.0)]


def fuzz_state_values(obj, good, rng):
    name = type(obj).__name__
    for dtype, value in POISON:
        width = np.dtype(dtype).itemsize
        for at in range(16, len(good) - width + 1):  # fields are packed, not aligned
            b = bytearray(good)
            b[at:at + width] = np.array([value], dtype).tobytes()
            try:
                obj.set_state(bytes(b))
            except ValueError:
                continue
            if rng.integers(0, 16) == 0:
                exercise(obj)
            try:
                obj.set_state(obj.get_state())
                obj.set_state(good)
            except ValueError:
                raise AssertionError(f"{name}: a blob with {value} ({dtype.__name__}) at byte {at} was accepted "
                                     "and the object then refused a valid blob") from None
    assert obj.get_state() == good


def exercise(obj):
    """Runs the object's operations; configuration calls (set_*) are left out,
    as they may change what the state blob holds."""
    for name in public_methods(obj):
        if name in ("destroy", "close", "__exit__") or name.startswith("set_"):
            continue
        ps, has_out = params(getattr(obj, name))
        required = [p for p in ps if p.default is p.empty]
        for x in inputs(16)[:3]:
            call(getattr(obj, name), *([x] * len(required)))


def public_methods(obj):
    return [n for n in dir(obj) if not n.startswith("_") and callable(getattr(type(obj), n, None))]


def settable(obj):
    out = []
    for n in dir(type(obj)):
        d = getattr(type(obj), n, None)
        if not n.startswith("_") and hasattr(d, "__set__") and not callable(d):
            out.append(n)
    return out


def fuzz_type(qualname, cls, rng):
    kwargs = MAKERS.get(qualname, {})

    def make():
        return cls(**kwargs)

    obj = make()
    fuzz_state(obj, rng)
    for name in public_methods(obj):
        if name in ("destroy", "close", "__exit__", "__enter__"):
            continue
        ps, has_out = params(getattr(obj, name))
        required = [p for p in ps if p.default is p.empty]
        nreq = max(1, len(required))
        for v in hostile_values():
            for k in range(nreq):  # each position in turn, the others sane
                args = [inputs(16)[0]] * nreq
                args[k] = v
                call(getattr(obj, name), *args)
        if has_out:
            for x in inputs():
                for out in hostile_outs():
                    call(getattr(obj, name), *([x] * len(required)), out=out)
        for action in ("destroy", "__init__", "reset"):
            if not hasattr(obj, action):
                continue
            for value in (np.ones(64, C64), 4, 0.25):
                target = make() if action != "reset" else obj
                if action == "__init__":
                    act = lambda t=target: t.__init__(**kwargs)  # noqa: E731
                else:
                    act = getattr(target, action)
                args = [Reenter(act, value)] + [value] * (nreq - 1)
                call(getattr(target, name), *args)
                call(getattr(target, name), *args[::-1])
                if action == "destroy":
                    call(getattr(target, name), np.ones(4, C64))  # "destroyed" now
                target.destroy()
        obj.destroy()
        obj = make()
    for attr in settable(obj):
        for v in hostile_values() + [Reenter(obj.destroy, 0.1)]:
            try:
                setattr(obj, attr, v)
            except Exception:
                pass
            if repr(obj).endswith("destroyed>"):
                obj = make()
    check_pickle(obj)
    repr(obj)
    obj.destroy()
    repr(obj)
    check_pickle(obj)


def check_pickle(obj):
    try:
        blob = pickle.dumps(obj)
    except TypeError:
        return  # a history holding an argument that cannot be recorded
    copy = pickle.loads(blob)
    if hasattr(obj, "state_bytes") and not repr(obj).endswith("destroyed>"):
        assert copy.get_state() == obj.get_state(), f"{type(obj).__name__}: the copy's state differs"


def main(modname, seed=0):
    warnings.simplefilter("ignore")
    mod = importlib.import_module(modname)
    rng = np.random.default_rng(seed)
    names = []
    for name, cls in vars(mod).items():
        if isinstance(cls, type) and hasattr(cls, "destroy"):
            fuzz_type(f"{modname.split('.')[-1]}.{name}", cls, rng)
            names.append(name)
    print(" ".join(names))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 0)
