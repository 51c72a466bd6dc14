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

A context must outlive every object attached to it.  To make that safe by
construction, the shared memory of a context is never unmapped while the
process runs, even after the `Telemetry` object is gone.
"""
import ctypes
import mmap

import numpy as np

__all__ = ["Telemetry", "CAPSULE_NAME", "MAX_PROBES"]

CAPSULE_NAME = b"tamberl.telemetry.tb_tlm"
MAX_PROBES = 64
_CTX_BYTES = 24 + 48 * MAX_PROBES
_RING_BYTES = 256

_PROBE = np.dtype([("name", "S32"), ("decim", "<i4"), ("counter", "<u4"), ("written", "<u8")])
RECORD = np.dtype([("stamp", "<u8"), ("value", "<f4"), ("probe", "<u2"), ("zero", "<u2")])

_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

# Mappings stay alive for the life of the process: an object still attached
# after its Telemetry was dropped writes into valid memory, not freed pages.
_mappings = []


def _address(buf):
    return ctypes.addressof(ctypes.c_char.from_buffer(buf))


class Telemetry:
    """A telemetry context with a record ring of `capacity` records.

    `capacity` must be 0 (every record is dropped and counted) or a power of two.
    """

    def __init__(self, capacity=65536):
        capacity = int(capacity)
        if capacity < 0 or (capacity & (capacity - 1)):
            raise ValueError("capacity must be 0 or a power of two")
        size = _CTX_BYTES + _RING_BYTES + max(capacity, 1) * RECORD.itemsize
        size = (size + mmap.PAGESIZE - 1) // mmap.PAGESIZE * mmap.PAGESIZE
        self._mm = mmap.mmap(-1, size, flags=mmap.MAP_SHARED)
        _mappings.append(self._mm)
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
        self._capsule = _new_capsule(base, CAPSULE_NAME, None)

    @property
    def capacity(self):
        return self._capacity

    @property
    def stamp(self):
        """The 8-byte stamp copied into every record written (an int you maintain)."""
        return int(self._words[1])

    @stamp.setter
    def stamp(self, value):
        self._words[1] = int(value) & 0xFFFFFFFFFFFFFFFF

    @property
    def dropped(self):
        """Records dropped because the ring was full (or had no capacity)."""
        return int(self._ring[24])

    def _count(self):
        return min(int(self._ctx[16:20].view("<u4")[0]), MAX_PROBES)

    def probes(self):
        """Registered probe names, in index order."""
        return [bytes(p).decode() for p in self._probes["name"][: self._count()]]

    def written(self, name):
        """Records written for probe `name` since it was first registered."""
        return int(self._probes["written"][self.probes().index(name)])

    def pending(self):
        return int(self._ring[8]) - int(self._ring[16])

    def drain_records(self):
        """All records not yet read, oldest first, as a structured array; marks them read."""
        prod, cons = int(self._ring[8]), int(self._ring[16])
        n = prod - cons
        if n <= 0 or self._capacity == 0:
            return np.empty(0, RECORD)
        idx = (np.arange(cons, prod, dtype=np.uint64) & np.uint64(self._capacity - 1)).astype(np.intp)
        out = self._records[idx].copy()
        self._ring[16] = prod
        return out

    def drain(self):
        """Unread values grouped by probe name: {name: float32 array}, oldest first."""
        rec = self.drain_records()
        names = self.probes()
        return {names[k]: rec["value"][rec["probe"] == k] for k in np.unique(rec["probe"]) if k < len(names)}
