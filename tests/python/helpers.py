"""Shared checks for the properties every stateful tamberl object must have.

`make` builds a fresh object; `run(obj, chunk)` feeds one block and returns
what the object produced for it (an array, a scalar, or None for objects whose
output is read separately).  The checks compare outputs bit for bit.
"""
import copy
import pickle

import numpy as np
import pytest


def _as_bits(v):
    """A comparable, bit-exact image of one call's output."""
    if v is None:
        return None
    a = np.asarray(v)
    return (a.dtype.str, a.shape, a.tobytes())


def _concat(outputs):
    parts = [np.atleast_1d(np.asarray(o)) for o in outputs if o is not None]
    if not parts:
        return None
    return np.concatenate(parts)


def _same(a, b):
    assert _as_bits(a) == _as_bits(b), "outputs differ"


def split_points(n, rng, max_cuts=6):
    """Random, sorted cut positions in [0, n], empty chunks included."""
    k = int(rng.integers(1, max_cuts + 1))
    return sorted(int(c) for c in rng.integers(0, n + 1, size=k))


def chunks(x, cuts):
    edges = [0, *cuts, len(x)]
    return [x[a:b] for a, b in zip(edges[:-1], edges[1:])]


def assert_chunk_invariant(make, run, x, seed=0, trials=5, final=None):
    """Any chunking of x gives the output of one whole-block call.

    `final(obj)` (optional) reads state that must also agree afterwards.
    """
    rng = np.random.default_rng(seed)
    whole = make()
    ref = _concat([run(whole, x)])
    ref_final = final(whole) if final else None
    for _ in range(trials):
        obj = make()
        got = _concat([run(obj, c) for c in chunks(x, split_points(len(x), rng))])
        _same(ref, got)
        if final:
            _same(ref_final, final(obj))


def assert_checkpoint_continues(make, run, x, cut=None, other=None, final=None):
    """get_state mid-stream, then set_state into a fresh object (built by
    `other` if given, else `make`) continues bit-identically."""
    final = final or (lambda obj: None)
    cut = len(x) // 3 if cut is None else cut
    a = make()
    run(a, x[:cut])
    blob = a.get_state()
    assert isinstance(blob, bytes) and len(blob) == a.state_bytes()
    tail_a = _concat([run(a, x[cut:])])
    b = (other or make)()
    b.set_state(blob)
    _same(tail_a, _concat([run(b, x[cut:])]))
    _same(final(a), final(b))
    # Restoring a blob into the object it came from is a no-op too.
    c = make()
    run(c, x[:cut])
    c.set_state(c.get_state())
    _same(tail_a, _concat([run(c, x[cut:])]))
    _same(final(a), final(c))


class Feed:
    """How one block goes through an object, as a picklable value so that a
    worker process can run it too: `method(chunk)` (kind "array"),
    `method(len(chunk))` (kind "count"), or `method(frame)` for each
    `unit`-element frame of the chunk (kind "frames").  `final` names a
    method whose result is read at the end (an accumulator, a flush)."""

    def __init__(self, method, kind="array", unit=1, final=None, **kw):
        self.method, self.kind, self.unit, self.final, self.kw = method, kind, unit, final, kw

    def __call__(self, obj, chunk):
        fn = getattr(obj, self.method)
        if self.kind == "count":
            outs = [fn(len(chunk), **self.kw)]
        elif self.kind == "frames":
            outs = [fn(chunk[i:i + self.unit], **self.kw) for i in range(0, len(chunk), self.unit)]
        else:
            outs = [fn(chunk, **self.kw)]
        parts = [np.asarray(o).reshape(-1) for o in outs if o is not None]
        return np.concatenate(parts) if parts else None

    def finish(self, obj):
        return getattr(obj, self.final)() if self.final else None


def continue_from_pickle(blob, feed, chunks):
    """Loads a pickled object and feeds it the chunks (run in a worker)."""
    obj = pickle.loads(blob)
    return _as_bits(_concat([feed(obj, c) for c in chunks])), _as_bits(feed.finish(obj))


def assert_copies_continue(make, feed, x, cut=None, pool=None, seed=0):
    """pickle.dumps/loads, copy.copy and copy.deepcopy of an object taken
    mid-stream each give an independent object that continues bit for bit
    where the original stands, under any chunking of the rest, and so does
    the pickle loaded in another process when `pool` (an executor) is given.
    A destroyed object pickles as destroyed."""
    rng = np.random.default_rng(seed)
    unit = feed.unit
    cut = (len(x) // 3) // unit * unit if cut is None else cut
    a = make()
    feed(a, x[:cut])
    blob = pickle.dumps(a)
    copies = [pickle.loads(blob), copy.copy(a), copy.deepcopy(a)]
    tail = x[cut:]
    ref = _as_bits(_concat([feed(a, tail)])), _as_bits(feed.finish(a))

    def chunked():
        cuts = sorted({c // unit * unit for c in split_points(len(tail), rng)})
        return chunks(tail, cuts)

    for b in copies:
        assert type(b) is type(a)
        got = _as_bits(_concat([feed(b, c) for c in chunked()])), _as_bits(feed.finish(b))
        assert got == ref, "a copy diverged from the original"
    if pool is not None:
        assert pool.submit(continue_from_pickle, blob, feed, chunked()).result() == ref, \
            "the copy in another process diverged"
    a.destroy()
    gone = pickle.loads(pickle.dumps(a))
    assert type(gone) is type(a) and repr(gone).endswith("destroyed>")


def assert_reset_reproduces(make, run, x, final=None):
    final = final or (lambda obj: None)
    obj = make()
    first = _concat([run(obj, x)])
    first_final = final(obj)
    obj.reset()
    _same(first, _concat([run(obj, x)]))
    _same(first_final, final(obj))


def public_methods(obj):
    return [n for n in dir(obj) if not n.startswith("_") and callable(getattr(type(obj), n, None))]


def public_attributes(obj):
    return [n for n in dir(type(obj)) if not n.startswith("_") and not callable(getattr(type(obj), n))]


def assert_frame_behaviour(make):
    """destroy/with semantics and the "destroyed" error on every other member."""
    obj = make()
    obj.destroy()
    obj.destroy()
    assert obj.__exit__(None, None, None) is None
    assert obj.__enter__() is obj
    for name in public_methods(obj):
        if name in ("destroy", "close"):  # close, where present, is destroy
            continue
        try:
            getattr(obj, name)()
        except TypeError:  # a one-argument method: the count is checked before the record
            with pytest.raises(RuntimeError, match="^destroyed$"):
                getattr(obj, name)(b"")
        except RuntimeError as e:
            assert str(e) == "destroyed"
        else:
            raise AssertionError(f"{name}() ran on a destroyed object")
    for name in public_attributes(obj):
        with pytest.raises(RuntimeError, match="^destroyed$"):
            getattr(obj, name)

    probe = next(n for n in ("state_bytes", "reset", "n_fields") if hasattr(obj, n))
    with make() as o:
        getattr(o, probe)()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        getattr(o, probe)()

    class Boom(Exception):
        pass

    with pytest.raises(Boom):
        with make() as o:
            raise Boom()


def assert_set_state_refusals(make, probe):
    """Every set_state refusal leaves the state as it was.

    `probe(obj)` returns something that reflects the whole mutable state
    (typically a get_state() blob or the next outputs of a fixed input)."""
    obj = make()
    blob = obj.get_state()
    before = obj.get_state()
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        obj.set_state(bytearray(blob))
    with pytest.raises(TypeError, match="^set_state expects bytes$"):
        obj.set_state(memoryview(blob))
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        obj.set_state(blob[:-1])
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        obj.set_state(blob + b"\0")
    for offset, value in [(0, 0x58), (3, 0x00), (4, blob[4] ^ 1), (5, blob[5] ^ 0x80), (6, 0), (6, 2),
                          (8, blob[8] ^ 1), (9, blob[9] ^ 1), (11, blob[11] ^ 1)]:
        bad = bytearray(blob)
        bad[offset] = value
        with pytest.raises(ValueError, match="^set_state rejected the blob$"):
            obj.set_state(bytes(bad))
    assert obj.get_state() == before

    class Sub(bytes):
        pass

    obj.set_state(Sub(blob))  # a bytes subclass is accepted
    ref = probe(make())
    _same(ref, probe(obj))


class Reenter:
    """A hostile argument: its conversion (array, index or float) runs `action`
    (destroy, __init__, ...) on the object being called, then converts as `value`."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __array__(self, dtype=None, copy=None):
        self.action()
        return np.asarray(self.value, dtype=dtype)

    def __index__(self):
        self.action()
        return int(self.value)

    def __float__(self):
        self.action()
        return float(self.value)

