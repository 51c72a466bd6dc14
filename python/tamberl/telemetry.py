"""Telemetry consumer: a probe table and record ring in shared memory that the
`tamberl.track` objects write into, and the reading side of it.

    from tamberl import telemetry, track

    tlm = telemetry.Telemetry(capacity=1 << 16)
    loop = track.Costas(tsamps=16)
    loop.set_telemetry(tlm, "costas")        # probes costas.lock, costas.e, ...
    loop.steps(samples)
    series = tlm.drain()                      # {"costas.lock": array([...]), ...}

The producer side (inside the extension modules) writes records without
locks: one producer per ring, this object the single consumer.  Memory layout
(little-endian, 64-bit):

context:  0 ring pointer | 8 stamp (u64) | 16 probe count (u32) |
          24 + 48*i: name[32], decimation (i32), counter (u32), written (u64)
ring:     0 records pointer | 8 index mask | 16 capacity | 64 producer |
          128 consumer | 192 dropped
record:   stamp (u64), value (f32), probe index (u16), 0 (u16)

Lifetime: the shared memory lives as long as anything uses it.  The
`Telemetry` object, its capsule (`_capsule`) and every object attached to
it hold references; once all are gone the memory is unmapped.  An object
that is still attached therefore never writes into freed memory, and
contexts that come and go release what they took.
"""
from __future__ import annotations

import ctypes
import mmap
import operator
from typing import Any, Dict, List, Tuple

import numpy as np
import numpy.typing as npt

__all__ = ["Telemetry", "CAPSULE_NAME", "MAX_PROBES", "RECORD"]

CAPSULE_NAME = b"tamberl.telemetry.tb_tlm"
MAX_PROBES = 64
_CTX_BYTES = 24 + 48 * MAX_PROBES
_RING_BYTES = 256

_PROBE = np.dtype([("name", "S32"), ("decim", "<i4"), ("counter", "<u4"), ("written", "<u8")])
RECORD = np.dtype([("stamp", "<u8"), ("value", "<f4"), ("probe", "<u2"), ("zero", "<u2")])

_api = ctypes.pythonapi
_new_capsule = _api.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_DESTRUCTOR = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, _DESTRUCTOR]
_set_context = _api.PyCapsule_SetContext
_set_context.restype = ctypes.c_int
_set_context.argtypes = [ctypes.py_object, ctypes.c_void_p]
_get_context = _api.PyCapsule_GetContext
_get_context.restype = ctypes.c_void_p
_get_context.argtypes = [ctypes.c_void_p]
_incref = _api.Py_IncRef
_incref.argtypes = [ctypes.py_object]
_decref = _api.Py_DecRef
_decref.argtypes = [ctypes.c_void_p]


# The capsule's destructor drops the reference its context holds on the
# mapping.  Its callables are bound as defaults, and the callback itself is
# kept for the life of the process, so it works even while the interpreter
# shuts down.
def _release(capsule: int, _ctx=_get_context, _dec=_decref) -> None:  # type: ignore[no-untyped-def]
    ctx = _ctx(capsule)
    if ctx:
        _dec(ctx)


_release_cb = _DESTRUCTOR(_release)
_incref(_release_cb)


def _address(buf: mmap.mmap) -> int:
    return ctypes.addressof(ctypes.c_char.from_buffer(buf))


class Telemetry:
    """A telemetry context with a record ring of `capacity` records.

    `capacity` is an int: 0 (every record is dropped and counted) or a power
    of two.
    """

    def __reduce__(self) -> Tuple[Any, ...]:
        # The context is shared memory that objects of this process write
        # into; a copy elsewhere would be a different ring nobody writes.
        raise TypeError("a Telemetry context does not pickle or copy: it is this process's shared memory; "
                        "send what drain() returns instead")

    def __init__(self, capacity: int = 65536) -> None:
        capacity = operator.index(capacity)  # TypeError for 1.5 or "8"
        if capacity < 0 or (capacity & (capacity - 1)):
            raise ValueError("capacity must be 0 or a power of two")
        size = _CTX_BYTES + _RING_BYTES + max(capacity, 1) * RECORD.itemsize
        size = (size + mmap.PAGESIZE - 1) // mmap.PAGESIZE * mmap.PAGESIZE
        self._mm = mmap.mmap(-1, size, flags=mmap.MAP_SHARED)
        base = _address(self._mm)
        self._ctx = np.frombuffer(self._mm, np.uint8, _CTX_BYTES, 0)
        self._ring = np.frombuffer(self._mm, "<u8", _RING_BYTES // 8, _CTX_BYTES)
        self._records = np.frombuffer(self._mm, RECORD, max(capacity, 1), _CTX_BYTES + _RING_BYTES)
        self._probes = np.frombuffer(self._mm, _PROBE, MAX_PROBES, 24)
        self._words = np.frombuffer(self._mm, "<u8", 3, 0)  # ring pointer, stamp, count word
        self._words[0] = base + _CTX_BYTES
        self._ring[0] = base + _CTX_BYTES + _RING_BYTES
        self._ring[1] = max(capacity - 1, 0)
        self._ring[2] = capacity
        self._capacity = capacity
        # The capsule keeps the mapping alive on its own: whoever holds it
        # (an attached object, say) holds the memory.
        cap = _new_capsule(base, CAPSULE_NAME, _release_cb)
        _incref(self._mm)
        if _set_context(cap, id(self._mm)) != 0:  # pragma: no cover - only on a broken capsule
            _decref(id(self._mm))
            raise RuntimeError("could not set the telemetry capsule's context")
        self._capsule = cap

    def __repr__(self) -> str:
        return f"<tamberl.telemetry.Telemetry capacity={self._capacity} probes={len(self.probes())}>"

    @property
    def capacity(self) -> int:
        return self._capacity

    @property
    def stamp(self) -> int:
        """The 8-byte stamp copied into every record written (an int you maintain)."""
        return int(self._words[1])

    @stamp.setter
    def stamp(self, value: int) -> None:
        self._words[1] = operator.index(value) & 0xFFFFFFFFFFFFFFFF

    @property
    def dropped(self) -> int:
        """Records dropped because the ring was full (or had no capacity)."""
        return int(self._ring[24])

    def _count(self) -> int:
        return min(int(self._ctx[16:20].view("<u4")[0]), MAX_PROBES)

    def probes(self) -> List[str]:
        """Registered probe names, in index order."""
        return [bytes(p).decode() for p in self._probes["name"][: self._count()]]

    def written(self, name: str) -> int:
        """Records written for probe `name` since it was first registered;
        KeyError for a name that is not registered."""
        names = self.probes()
        if name not in names:
            raise KeyError(f"no probe named {name!r} is registered")
        return int(self._probes["written"][names.index(name)])

    def pending(self) -> int:
        """Records written and not yet drained."""
        return int(self._ring[8]) - int(self._ring[16])

    def drain_records(self) -> npt.NDArray[np.void]:
        """All records not yet read, oldest first, as a structured array; marks them read."""
        prod, cons = int(self._ring[8]), int(self._ring[16])
        n = prod - cons
        if n <= 0 or self._capacity == 0:
            return np.empty(0, RECORD)
        idx = (np.arange(cons, prod, dtype=np.uint64) & np.uint64(self._capacity - 1)).astype(np.intp)
        out = self._records[idx].copy()
        self._ring[16] = prod
        return out

    def drain(self) -> Dict[str, npt.NDArray[np.float32]]:
        """Unread values grouped by probe name: {name: float32 array}, oldest
        first; every registered probe is present (an empty array where it
        wrote nothing)."""
        rec = self.drain_records()
        return {name: rec["value"][rec["probe"] == k] for k, name in enumerate(self.probes())}
