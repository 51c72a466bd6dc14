import numpy as np
import pytest

from helpers import assert_frame_behaviour
from signals import crandn
from tamberl import spectral as sp

SIZES = [1, 2, 3, 16, 1000, 1021, 1024, 4096, 65536]


def reference(x, sign, axes=None):
    if axes is None:
        return np.fft.fft(x) if sign < 0 else np.fft.ifft(x) * len(x)
    return np.fft.fft2(x) if sign < 0 else np.fft.ifft2(x) * x.size


def rel_err(got, ref):
    return np.max(np.abs(got - ref)) / max(np.sqrt(np.mean(np.abs(ref) ** 2)), 1e-30)


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("sign", [-1, 1])
def test_matches_numpy_in_both_precisions(n, sign):
    x = crandn(n, seed=n)
    f = sp.FFT(n=n, sign=sign)
    ref = reference(x, sign)
    assert rel_err(f.execute_cf64(x), ref) < 1e-12
    assert rel_err(f.execute_inplace_cf64(x), ref) < 1e-12
    x32 = x.astype(np.complex64)
    ref32 = reference(x32.astype(np.complex128), sign)
    for got in (f.execute_cf32(x32), f.execute_inplace_cf32(x32)):
        assert got.dtype == np.complex64 and got.shape == (n,)
        assert rel_err(got, ref32) < 1e-5 * max(1.0, np.log2(n))


@pytest.mark.parametrize("ny,nx", [(1, 1), (4, 4), (3, 32), (32, 3), (16, 16), (16, 64), (64, 32), (5, 7), (128, 8)])
@pytest.mark.parametrize("sign", [-1, 1])
def test_2d_matches_row_then_column_reference(ny, nx, sign):
    grid = crandn(ny * nx, seed=ny * 100 + nx).reshape(ny, nx)
    ref = reference(grid, sign, axes=(0, 1)).ravel()
    f = sp.FFT2D(ny=ny, nx=nx, sign=sign)
    assert f.ny == ny and f.nx == nx and f.sign == sign
    assert rel_err(f.execute_cf64(grid), ref) < 1e-12
    assert rel_err(f.execute_inplace_cf64(grid.ravel()), ref) < 1e-12
    g32 = grid.astype(np.complex64)
    ref32 = reference(g32.astype(np.complex128), sign, axes=(0, 1)).ravel()
    assert rel_err(f.execute_cf32(g32), ref32) < 1e-5 * max(1.0, np.log2(ny * nx))
    assert rel_err(f.execute_inplace_cf32(g32), ref32) < 1e-5 * max(1.0, np.log2(ny * nx))


@pytest.mark.parametrize("n", [8, 1000, 1024])
def test_forward_then_inverse_scales_by_n(n):
    x = crandn(n, seed=3)
    back = sp.FFT(n=n, sign=1).execute_cf64(sp.FFT(n=n, sign=-1).execute_cf64(x))
    np.testing.assert_allclose(back, n * x, rtol=0, atol=1e-10 * n)
    x32 = x.astype(np.complex64)
    back32 = sp.FFT(n=n, sign=1).execute_cf32(sp.FFT(n=n, sign=-1).execute_cf32(x32))
    np.testing.assert_allclose(back32, n * x32, rtol=0, atol=1e-4 * n)
    f2 = sp.FFT2D(ny=16, nx=n // 8 if n % 8 == 0 else 3)
    i2 = sp.FFT2D(ny=f2.ny, nx=f2.nx, sign=1)
    g = crandn(f2.ny * f2.nx, seed=5)
    np.testing.assert_allclose(i2.execute_cf64(f2.execute_cf64(g)), g.size * g, atol=1e-9 * g.size)


def test_worked_values():
    np.testing.assert_array_equal(sp.FFT(n=4, sign=-1).execute_cf64([1, 0, 0, 0]), [1, 1, 1, 1])
    np.testing.assert_array_equal(sp.FFT(n=4).execute_cf32(np.ones(4, np.complex64)), [4, 0, 0, 0])
    for n in (1024, 1000, 1021):
        assert sp.FFT(n=n).execute_cf32(np.ones(n, np.complex64))[0] == pytest.approx(n, rel=1e-6)
    g = np.zeros(16, np.complex128)
    g[0] = 1
    np.testing.assert_array_equal(sp.FFT2D(ny=4, nx=4).execute_cf64(g), np.ones(16))


@pytest.mark.parametrize("n", [16, 1000, 1024])
def test_integer_inputs_are_scaled_to_full_scale(n):
    rng = np.random.default_rng(n)
    f = sp.FFT(n=n)
    iq16 = rng.integers(-32768, 32768, 2 * n).astype(np.int16)
    iq16[:2] = [32767, 0]
    x16 = (iq16[0::2].astype(np.float32) / np.float32(32768) + 1j * (iq16[1::2] / np.float32(32768))).astype(np.complex64)
    assert f.execute_ci16(iq16).tobytes() == f.execute_cf32(x16).tobytes()
    iq8 = rng.integers(-128, 128, 2 * n).astype(np.int8)
    x8 = (iq8[0::2] / np.float32(128) + 1j * (iq8[1::2] / np.float32(128))).astype(np.complex64)
    assert f.execute_ci8(iq8).tobytes() == f.execute_cf32(x8).tobytes()
    # Longer inputs use the first n pairs; shorter ones are zero-padded.
    assert f.execute_ci16(np.concatenate([iq16, iq16])).tobytes() == f.execute_ci16(iq16).tobytes()
    short = iq16[: n // 2 * 2 + 1]  # an odd count: the unpaired I value is ignored
    padded = np.zeros(2 * n, np.int16)
    padded[: n // 2 * 2] = iq16[: n // 2 * 2]
    assert f.execute_ci16(short).tobytes() == f.execute_ci16(padded).tobytes()


@pytest.mark.parametrize("n", [16, 1000, 1024])
@pytest.mark.parametrize("dtype,method", [(np.complex128, "execute_cf64"), (np.complex64, "execute_cf32")])
def test_input_length_rules(n, dtype, method):
    f = sp.FFT(n=n)
    run = getattr(f, method)
    x = crandn(2 * n, seed=1, dtype=dtype)
    full = run(x[:n])
    assert run(x).tobytes() == full.tobytes()  # only the first n samples are used
    padded = np.zeros(n, dtype)
    padded[: n // 3] = x[: n // 3]
    assert run(x[: n // 3]).tobytes() == run(padded).tobytes()  # short input: zero padding
    out = np.full(3 * n, 7, dtype)
    view = run(x, out=out)
    assert view.shape == (n,) and view.base is out and view.tobytes() == full.tobytes()
    assert (out[n:] == 7).all()
    with pytest.raises(ValueError, match=f"^out has {n - 1} elements, need >= {2 * n}$"):
        run(x, out=np.zeros(n - 1, dtype))


@pytest.mark.parametrize("n", [16, 1024])
def test_inplace_variants_transform_the_destination(n):
    f = sp.FFT(n=n)
    x = crandn(n // 2, seed=2, dtype=np.complex64)
    fresh = f.execute_inplace_cf32(x)  # fresh destination: zero-filled beyond the input
    padded = np.zeros(n, np.complex64)
    padded[: n // 2] = x
    assert fresh.tobytes() == f.execute_cf32(padded).tobytes()
    out = crandn(n, seed=9, dtype=np.complex64)
    mixed = out.copy()
    mixed[: n // 2] = x
    got = f.execute_inplace_cf32(x, out=out)  # with out: its tail takes part
    assert got.tobytes() == f.execute_cf32(mixed).tobytes() and np.shares_memory(got, out)
    x_before = x.copy()
    f.execute_inplace_cf32(x, out=out)
    assert x.tobytes() == x_before.tobytes()  # the input is never modified


@pytest.mark.parametrize("n", [16, 4096])
def test_aligned_and_unaligned_destinations_give_the_same_bits(n):
    f = sp.FFT(n=n)
    x = crandn(n, seed=4, dtype=np.complex64)
    aligned = f.execute_cf32(x)
    buf = np.zeros(n + 1, np.complex64)
    unaligned = f.execute_cf32(x, out=buf[1:])
    assert unaligned.tobytes() == aligned.tobytes()
    xs = np.zeros(n + 1, np.complex64)
    xs[1:] = x
    assert f.execute_cf32(xs[1:]).tobytes() == aligned.tobytes()


@pytest.mark.parametrize("make,msg", [
    (lambda: sp.FFT(n=0), "fft_create returned NULL"),
    (lambda: sp.FFT2D(ny=0, nx=4), "fft2d_create returned NULL"),
    (lambda: sp.FFT2D(ny=4, nx=0), "fft2d_create returned NULL"),
    (lambda: sp.FFT(n=-1), "fft_create returned NULL"),
])
def test_refused_sizes(make, msg):
    with pytest.raises(MemoryError, match=f"^{msg}$"):
        make()


def test_engine_surface():
    x = crandn(64, seed=8)
    assert sp.FFT(n=64, nthreads=8).execute_cf64(x).tobytes() == sp.FFT(n=64).execute_cf64(x).tobytes()
    f = sp.FFT(n=64, sign=1)
    assert (f.n, f.sign, f.execute_cf64_max_out(), f.execute_inplace_cf32_max_out()) == (64, 1, 64, 64)
    assert f.reset() is None and not hasattr(f, "get_state")
    assert sp.FFT2D(ny=3, nx=5).execute_cf32_max_out() == 15
    assert not hasattr(sp.FFT2D(), "execute_ci16")
    assert_frame_behaviour(lambda: sp.FFT(n=8))
    assert_frame_behaviour(lambda: sp.FFT2D(ny=2, nx=2))
