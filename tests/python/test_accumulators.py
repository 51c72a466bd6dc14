import numpy as np
import pytest

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import qmath

ACCS = [(qmath.AccQ15, np.int16, 64, 24, b"AC15"), (qmath.AccQ8, np.int8, 32, 20, b"ACC8")]
ids = ["AccQ15", "AccQ8"]


def wrap(v, bits):
    return (v + 2**(bits - 1)) % 2**bits - 2**(bits - 1)


@pytest.mark.parametrize("cls,dtype,bits,size,magic", ACCS, ids=ids)
def test_register_operations(cls, dtype, bits, size, magic):
    a = cls(100)
    assert a.get_acc() == 100
    a.reset()
    assert a.get() == 0
    a.step(100)
    a.step(20)
    assert a.get() == 120 and a.dump() == 120 and a.get() == 0
    a.set_acc(-5)
    a.madd([1, 2, 3], [4, 5])  # common length 2
    assert a.get_acc() == -5 + 4 + 10
    blob = a.get_state()
    assert len(blob) == size == a.state_bytes() and blob[:4] == magic
    assert int.from_bytes(blob[16:], "little", signed=True) == 9


@pytest.mark.parametrize("cls,init,method,args,expected", [
    (qmath.AccQ15, 0, "madd", ([100, 200, 300], [10, 20, 30]), 14000),
    (qmath.AccQ8, 0, "madd", ([10, 20, 30], [1, 2, 3]), 140),
    (qmath.AccQ8, 0, "steps", ([1, 2, 3, 4, 5],), 15),
    (qmath.AccQ8, 2147483647, "step", (1,), -2147483648),
    (qmath.AccQ15, 2**63 - 1, "step", (1,), -2**63),
    (qmath.AccQ15, 0, "step", (65537,), 1),
    (qmath.AccQ8, 0, "step", (255,), -1),
    (qmath.AccQ15, 0, "madd", ([-32768] * 3, [-32768] * 3), 3 * 2**30),
])
def test_worked_values(cls, init, method, args, expected):
    acc = cls(init)
    assert getattr(acc, method)(*args) is None
    assert acc.get() == expected


@pytest.mark.parametrize("cls,dtype,bits,size,magic", ACCS, ids=ids)
def test_steps_and_madd_match_wrapping_model(cls, dtype, bits, size, magic):
    rng = np.random.default_rng(bits)
    info = np.iinfo(dtype)
    x = rng.integers(info.min, info.max, 100000, endpoint=True).astype(dtype)
    y = rng.integers(info.min, info.max, 100000, endpoint=True).astype(dtype)
    start = 2**(bits - 1) - 1000
    a = cls(start)
    a.steps(x)
    assert a.get() == wrap(start + int(x.astype(np.int64).sum()), bits)
    a.madd(x, y)
    assert a.get() == wrap(start + int(x.astype(np.int64).sum()) + int(np.dot(x.astype(np.int64), y)), bits)


@pytest.mark.parametrize("cls,dtype,bits,size,magic", ACCS, ids=ids)
def test_streaming_properties(cls, dtype, bits, size, magic):
    x = np.random.default_rng(1).integers(-128, 128, 3000).astype(dtype)

    run = lambda acc, chunk: acc.steps(chunk)  # noqa: E731
    final = lambda acc: acc.get()  # noqa: E731
    make = lambda: cls(12345)  # noqa: E731
    assert_chunk_invariant(make, run, x, final=final)
    assert_checkpoint_continues(make, run, x, other=lambda: cls(-7), final=final)
    assert_reset_reproduces(lambda: cls(0), run, x, final=final)
    assert_frame_behaviour(make)
    assert_set_state_refusals(make, lambda a: a.get())


def test_blob_of_one_type_is_refused_by_the_other():
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        qmath.AccQ8().set_state(qmath.AccQ15().get_state())


@pytest.mark.parametrize("call", [
    lambda: qmath.AccQ8(2**31),
    lambda: qmath.AccQ15(2**63),
    lambda: qmath.AccQ8().set_acc(-2**31 - 1),
    lambda: qmath.AccQ15().step(2**31),
])
def test_out_of_width_integers_overflow(call):
    with pytest.raises(OverflowError):
        call()


def test_types_are_final_and_named():
    assert qmath.AccQ15.__name__ == "AccQ15" and qmath.AccQ8.__module__ == "qmath"
    with pytest.raises(TypeError):
        type("Sub", (qmath.AccQ15,), {})


def test_reinitialising_replaces_the_record():
    a = qmath.AccQ15(5)
    a.__init__(9)
    assert a.get() == 9
    with pytest.raises(OverflowError):
        a.__init__(2**64)
    assert a.get() == 9  # a refused re-initialisation keeps the live record
