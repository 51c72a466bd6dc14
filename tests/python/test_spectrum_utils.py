import math

import numpy as np
import pytest
import scipy.signal.windows as win

from tamberl import spectral as sp

W_MSG = "^w must be a writable, C-contiguous ndarray of the output dtype$"


def filled(fn, n, *args):
    w = np.full(n, np.nan, np.float32)
    assert fn(w, *args) is None
    return w


@pytest.mark.parametrize("n", [2, 5, 64, 1000, 1023])
def test_windows_match_scipy(n):
    np.testing.assert_allclose(filled(sp.hann_window, n), win.hann(n, sym=True), atol=2e-7)
    np.testing.assert_allclose(filled(sp.blackman_harris_window, n), win.blackmanharris(n, sym=True), atol=2e-7)
    for beta in (0.0, 2.5, 8.6, 14.0):
        np.testing.assert_allclose(filled(sp.kaiser_window, n, beta), win.kaiser(n, beta, sym=True),
                                   rtol=2e-6, atol=1e-7)


def test_window_worked_values():
    np.testing.assert_array_equal(filled(sp.hann_window, 5), [0, 0.5, 1, 0.5, 0])
    bh = filled(sp.blackman_harris_window, 9)
    assert bh[0] == bh[-1] == np.float32(0.35875 - 0.48829 + 0.14128 - 0.01168)
    np.testing.assert_array_equal(filled(sp.kaiser_window, 7, 0.0), np.ones(7))
    for fn, args in [(sp.hann_window, ()), (sp.blackman_harris_window, ()), (sp.kaiser_window, (5.0,))]:
        assert filled(fn, 1, *args).tolist() == [1.0]
        assert filled(fn, 0, *args).shape == (0,)


@pytest.mark.parametrize("w", [np.zeros(4), np.zeros(8, np.float32)[::2], [0.0] * 4, np.zeros(4, ">f4")],
                         ids=["float64", "strided", "list", "byteswapped"])
def test_window_fillers_need_a_float32_array(w):
    for call in (lambda: sp.hann_window(w), lambda: sp.blackman_harris_window(w), lambda: sp.kaiser_window(w, 1.0)):
        with pytest.raises(TypeError, match=W_MSG):
            call()


def test_read_only_window_is_refused_and_untouched():
    w = np.full(4, 3.0, np.float32)
    w.flags.writeable = False
    with pytest.raises(TypeError, match=W_MSG):
        sp.hann_window(w)
    assert (w == 3.0).all()


def test_enbw_and_kaiser_design():
    assert sp.kaiser_enbw(np.ones(16, np.float32)) == 1.0
    assert sp.kaiser_enbw(filled(sp.hann_window, 100000)) == pytest.approx(1.5, abs=1e-4)
    w = filled(sp.blackman_harris_window, 777).astype(np.float64)
    assert sp.kaiser_enbw(w.astype(np.float32)) == np.float32(777 * np.sum(w**2) / np.sum(w) ** 2)
    assert math.isnan(sp.kaiser_enbw(np.zeros(3, np.float32))) and math.isnan(sp.kaiser_enbw([]))
    assert sp.kaiser_beta_for_sidelobe(13.0) == 0.0
    assert sp.kaiser_beta_for_sidelobe(100.0) == pytest.approx(13.221594, abs=1e-9)
    assert sp.kaiser_beta_for_sidelobe(40.0) == pytest.approx(0.76609 * 26.74**0.4 + 0.09834 * 26.74)


def test_magnitude_db():
    np.testing.assert_array_equal(sp.magnitude_db_cf32(np.array([1, 0.1, 0], np.complex64), 1e-12, 0.0),
                                  np.float32([0.0, -20.0, -240.0]))
    np.testing.assert_array_equal(sp.magnitude_db_cf64([1, 10], 1e-12, 0.0), [0.0, 20.0])
    x = np.random.default_rng(0).standard_normal(1000) * np.exp(1j * np.arange(1000))
    ref = 20 * np.log10(np.maximum(1e-3, np.abs(x))) + np.float32(3.5)
    got = sp.magnitude_db_cf64(x, 1e-3, 3.5)
    assert got.dtype == np.float32
    np.testing.assert_array_equal(got, (20 * np.log10(np.maximum(1e-3, np.abs(x)))).astype(np.float32) + np.float32(3.5))
    np.testing.assert_allclose(sp.magnitude_db_cf32(x.astype(np.complex64), 1e-3, 3.5), ref, atol=1e-4)


def peaks_model(db, n_peaks, min_db):
    n = len(db)
    if n <= 2 or n_peaks == 0:
        return []
    db = db.astype(np.float32)
    out = []
    for i in range(1, n - 1):
        l, c0, r = db[i - 1], db[i], db[i + 1]
        if c0 > min_db and c0 > l and c0 >= r:
            c = l - np.float32(2) * c0 + r
            d = np.float32(0.5) * (l - r) / c if c != 0 else np.float32(0)
            d = np.float32(min(0.5, max(-0.5, d)))
            out.append(((d + np.float32(i) - np.float32(n // 2)) / np.float32(n), c0 - np.float32(0.25) * (l - r) * d))
    out.sort(key=lambda p: -p[1])
    return [(float(f), float(v)) for f, v in out[:n_peaks]]


@pytest.mark.parametrize("seed", range(5))
def test_find_peaks_matches_model(seed):
    db = np.random.default_rng(seed).uniform(-100, 0, 501).astype(np.float32)
    for n_peaks, min_db in [(1, -50.0), (10, -80.0), (1000, -200.0)]:
        assert sp.find_peaks_f32(db, n_peaks, min_db) == peaks_model(db, n_peaks, min_db)


def test_find_peaks_edges():
    assert sp.find_peaks_f32([0, 10, 0], 5, 5.0) == [(0.0, 10.0)]
    assert sp.find_peaks_f32([0, 10, 0], 0, 5.0) == []
    assert sp.find_peaks_f32([0, 10], 5, -1.0) == []
    assert sp.find_peaks_f32([0, 5, 5, 0], 5, -1.0)[0][1] >= 5.0  # the first bin of a flat top counts
    assert len(sp.find_peaks_f32([0, 5, 0, 5, 0], 2**64 - 1, -1.0)) == 2
    # A peak next to a non-finite bin (the -inf of a zero magnitude) is not interpolated:
    # its offset is 0 and its level the bin's own.
    peaks = sp.find_peaks_f32([np.nan, 1, np.nan, -np.inf, 3, -np.inf, 0, 2, 0], 4, -10.0)
    assert peaks == [((4 - 4) / 9, 3.0), (pytest.approx((7 - 4 + 0.0) / 9, abs=0.06), 2.0)]
    db = sp.magnitude_db_cf32(np.array([0, 0, 1, 0, 0, 0.1, 0.2, 0.1, 0], np.complex64), 0.0, 0.0)
    got = sp.find_peaks_f32(db, 4, -100.0)
    assert got[0] == (pytest.approx(-2 / 9), 0.0) and all(map(math.isfinite, np.ravel(got)))


def obw_model(p, fs, frac):
    total = float(np.sum(p))
    if len(p) == 0 or total <= 0:
        return 0.0
    lo, hi = (0.5 - frac / 2) * total, (0.5 + frac / 2) * total
    run, e = 0.0, None
    for j, v in enumerate(p):
        run += v
        if e is None and run >= lo:
            e = j
        if e is not None and run >= hi:
            break
    return (j - e + 1) * fs / len(p)


def test_occupied_bandwidth():
    single = np.zeros(8)
    single[3] = 2.0
    for frac in (0.01, 0.5, 0.99):
        assert sp.obw_from_power(single, 8.0, frac) == 1.0
    assert sp.obw_from_power([], 1.0, 0.9) == 0.0 and sp.obw_from_power([0, 0], 1.0, 0.9) == 0.0
    rng = np.random.default_rng(1)
    for _ in range(20):
        p = rng.exponential(size=int(rng.integers(1, 300)))
        frac = float(rng.uniform(0.05, 0.999))
        assert sp.obw_from_power(p, 48000.0, frac) == obw_model(p, 48000.0, frac)


def test_noise_floor():
    assert sp.noise_floor_db([3, 1, 2, 4]) == 2.5
    assert sp.noise_floor_db([]) == 0.0
    x = np.random.default_rng(2).standard_normal(1001).astype(np.float32)
    assert sp.noise_floor_db(x) == float(np.median(x))
    assert sp.noise_floor_db(x[:1000]) == float(np.median(x[:1000].astype(np.float64)))
    assert sp.noise_floor_db([np.nan, 1, 2]) == 2.0  # NaN sorts above every number
