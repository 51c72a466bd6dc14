import numpy as np
import pytest

from tamberl import qmath

I16 = (-32768, 32767)
I8 = (-128, 127)


def rand_with_extremes(rng, n, dtype):
    info = np.iinfo(dtype)
    x = rng.integers(info.min, info.max, size=n, endpoint=True, dtype=np.int64)
    pick = rng.integers(0, 6, size=n)
    x[pick == 0] = info.min
    x[pick == 1] = info.max
    x[pick == 2] = rng.integers(-2, 3, size=int((pick == 2).sum()))
    return x.astype(dtype)


# ---------------------------------------------------------------------------
# Independent integer models (NumPy int64 arithmetic, floor shifts)

def m_add(a, b, lo, hi):
    return np.clip(a.astype(np.int64) + b, lo, hi)


def m_sub(a, b, lo, hi):
    return np.clip(a.astype(np.int64) - b, lo, hi)


def m_mul(a, b, frac, hi):
    return np.minimum((a.astype(np.int64) * b + (1 << (frac - 1))) >> frac, hi)


def m_shl(a, n, limit, lo, hi):
    a = a.astype(np.int64)
    if n <= 0:
        return a
    if n > limit:
        return np.where(a > 0, hi, np.where(a < 0, lo, 0))
    return np.clip(a << n, lo, hi)


def m_shr(a, n, limit, width):
    a = a.astype(np.int64)
    if n <= 0:
        return a
    if n > limit:
        return a >> min(n, width - 1)
    return (a + (1 << (n - 1))) >> n


def m_shl_i64(a, n):
    if n <= 0:
        return a.copy()
    if n > 62:
        return np.zeros_like(a)
    return np.array([((int(v) << n) + 2**63) % 2**64 - 2**63 for v in a], dtype=np.int64)


def m_shr_i64(a, n):
    if n <= 0:
        return a.copy()
    if n > 62:
        return a >> 63
    wrapped = [((int(v) + (1 << (n - 1)) + 2**63) % 2**64) - 2**63 for v in a]
    return np.array([w >> n for w in wrapped], dtype=np.int64)


BINARY = [
    (qmath.add_q15, np.int16, lambda a, b: m_add(a, b, *I16)),
    (qmath.sub_q15, np.int16, lambda a, b: m_sub(a, b, *I16)),
    (qmath.mul_q15, np.int16, lambda a, b: m_mul(a, b, 15, 32767)),
    (qmath.add_q8, np.int8, lambda a, b: m_add(a, b, *I8)),
    (qmath.sub_q8, np.int8, lambda a, b: m_sub(a, b, *I8)),
    (qmath.mul_q8, np.int8, lambda a, b: m_mul(a, b, 7, 127)),
]


@pytest.mark.parametrize("fn,dtype,model", BINARY, ids=lambda v: getattr(v, "__name__", ""))
@pytest.mark.parametrize("n", [0, 1, 7, 15, 16, 17, 31, 33, 64, 1000, 4099])
def test_binary_kernels_match_integer_model(fn, dtype, model, n):
    rng = np.random.default_rng(n)
    a = rand_with_extremes(rng, n, dtype)
    b = rand_with_extremes(rng, n, dtype)
    got = fn(a, b)
    assert got.dtype == dtype and got.shape == (n,)
    np.testing.assert_array_equal(got, model(a, b))


def test_binary_kernels_cover_all_extreme_pairs():
    for fn, dtype, model in BINARY:
        lo, hi = np.iinfo(dtype).min, np.iinfo(dtype).max
        vals = np.array([lo, lo + 1, -1, 0, 1, hi - 1, hi], dtype=dtype)
        a, b = np.meshgrid(vals, vals)
        a, b = a.ravel(), b.ravel()
        np.testing.assert_array_equal(fn(a, b), model(a, b), err_msg=fn.__name__)


SHIFTS = [
    (qmath.shl_q15, np.int16, lambda a, n: m_shl(a, n, 15, *I16)),
    (qmath.shr_q15, np.int16, lambda a, n: m_shr(a, n, 15, 32)),
    (qmath.shl_q8, np.int8, lambda a, n: m_shl(a, n, 7, *I8)),
    (qmath.shr_q8, np.int8, lambda a, n: m_shr(a, n, 7, 16)),
]


@pytest.mark.parametrize("fn,dtype,model", SHIFTS, ids=lambda v: getattr(v, "__name__", ""))
def test_shift_kernels_match_model_for_every_count(fn, dtype, model):
    rng = np.random.default_rng(7)
    a = rand_with_extremes(rng, 257, dtype)
    for n in [-2**31, -5, -1, 0, *range(1, 20), 31, 32, 33, 2**31 - 1]:
        np.testing.assert_array_equal(fn(a, n), model(a, n), err_msg=f"n={n}")


def test_int64_shifts_match_model_for_every_count():
    rng = np.random.default_rng(3)
    a = rng.integers(-2**63, 2**63 - 1, size=64, dtype=np.int64, endpoint=True)
    a[:4] = [-2**63, 2**63 - 1, -1, 0]
    for n in [-7, 0, 1, 2, 15, 31, 32, 61, 62, 63, 64, 200]:
        np.testing.assert_array_equal(qmath.shl_i64(a, n), m_shl_i64(a, n), err_msg=f"shl n={n}")
        np.testing.assert_array_equal(qmath.shr_i64(a, n), m_shr_i64(a, n), err_msg=f"shr n={n}")


@pytest.mark.parametrize("n", [0, 1, 5, 64, 1001])
def test_inner_products_match_model(n):
    rng = np.random.default_rng(n + 100)
    a16, b16 = rand_with_extremes(rng, n, np.int16), rand_with_extremes(rng, n, np.int16)
    assert qmath.dot_q15(a16, b16) == int(np.dot(a16.astype(np.int64), b16.astype(np.int64)))
    a8, b8 = rand_with_extremes(rng, n, np.int8), rand_with_extremes(rng, n, np.int8)
    s = int(np.dot(a8.astype(np.int64), b8.astype(np.int64)))
    assert qmath.dot_q8(a8, b8) == (s + 2**31) % 2**32 - 2**31


@pytest.mark.parametrize("call,expected", [
    (lambda: qmath.add_q15([32767, -32768], [1, -1]), [32767, -32768]),
    (lambda: qmath.sub_q15([-32768], [1]), [-32768]),
    (lambda: qmath.mul_q15([-32768, 16384, 1, -1], [-32768, 16384, 16384, 16384]), [32767, 8192, 1, 0]),
    (lambda: qmath.mul_q8([-128, 1, -1], [-128, 64, 64]), [127, 1, 0]),
    (lambda: qmath.shl_q15([8192, 16384, 20000], 1), [16384, 32767, 32767]),
    (lambda: qmath.shl_q15([8192, 16384, 20000], 16), [32767, 32767, 32767]),
    (lambda: qmath.shl_q15([8192, 16384, 20000], -3), [8192, 16384, 20000]),
    (lambda: qmath.shr_q15([3, -3, 1, -1], 1), [2, -1, 1, 0]),
    (lambda: qmath.shr_q15([32767, -32768, 5], 16), [0, -1, 0]),
    (lambda: qmath.shl_i64([100, 200, -200], 3), [800, 1600, -1600]),
    (lambda: qmath.shl_i64([100, 200, -200], 63), [0, 0, 0]),
    (lambda: qmath.shr_i64([536870912], 15), [16384]),
    (lambda: qmath.dot_q15([100, 200, 300], [1, 2, 3]), 1400),
    (lambda: qmath.dot_q8(np.full(131073, -128, np.int8), np.full(131073, -128, np.int8)), -2147467264),
    (lambda: qmath.dot_q15([], []), 0),
    (lambda: qmath.add_q8([], []), []),
])
def test_worked_values(call, expected):
    got = call()
    if isinstance(expected, int):
        assert type(got) is int and got == expected
    else:
        np.testing.assert_array_equal(got, expected)


def test_unequal_lengths_use_zero_for_missing_b_and_ignore_extra_b():
    a = np.array([100, 200, 300, 400], np.int16)
    np.testing.assert_array_equal(qmath.add_q15(a, [1, 2]), [101, 202, 300, 400])
    np.testing.assert_array_equal(qmath.sub_q15(a, [1]), [99, 200, 300, 400])
    np.testing.assert_array_equal(qmath.mul_q15(a, [32767]), [100, 0, 0, 0])
    np.testing.assert_array_equal(qmath.add_q8([1, 2], [1, 1, 1, 1]), [2, 3])
    assert qmath.dot_q15(a, [1, 1]) == 300
    assert qmath.dot_q8([1, 2, 3], [1]) == 1


def test_kernel_results_are_fresh_and_inputs_untouched():
    a = np.array([1, 2, 3], np.int16)
    r = qmath.shl_q15(a, 0)
    assert not np.shares_memory(r, a)
    r[:] = 9
    np.testing.assert_array_equal(a, [1, 2, 3])


@pytest.mark.parametrize("call,exc", [
    (lambda: qmath.add_q15(np.zeros(3, np.float64), np.zeros(3, np.int16)), TypeError),  # unsafe cast
    (lambda: qmath.add_q15(np.zeros(3, np.int32), np.zeros(3, np.int16)), TypeError),
    (lambda: qmath.shl_q15([1], 2**31), OverflowError),
    (lambda: qmath.shl_q15([1], 1.5), TypeError),
    (lambda: qmath.add_q15([1]), TypeError),
])
def test_bad_arguments(call, exc):
    with pytest.raises(exc):
        call()


def test_two_dimensional_input_is_flattened():
    a = np.arange(6, dtype=np.int16).reshape(2, 3)
    np.testing.assert_array_equal(qmath.add_q15(a, a), np.arange(0, 12, 2))
    np.testing.assert_array_equal(qmath.add_q15(a[:, ::2], a[:, ::2]), [0, 4, 6, 10])  # strided copy
