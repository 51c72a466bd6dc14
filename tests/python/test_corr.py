import math
import os
import subprocess
import sys

import numpy as np
import pytest

import signals
from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import spectral as sp

C = np.complex64


def crand(n, seed):
    return signals.crandn(n, seed, C)


def split_pad(s, m, axis=-1):
    """The zero-padding of a cross-spectrum to m bins (split after n/2, even
    sizes halve the Nyquist bin and write it to both ends)."""
    s = np.moveaxis(np.asarray(s, np.complex128), axis, -1)
    n = s.shape[-1]
    h = n // 2
    d = np.zeros(s.shape[:-1] + (m,), np.complex128)
    d[..., :h + 1] = s[..., :h + 1]
    d[..., h + 1 + m - n:] = s[..., h + 1:]
    if n % 2 == 0:
        d[..., h] = s[..., h] / 2
        d[..., m - h] = s[..., h] / 2
    return np.moveaxis(d, -1, axis)


def corr_model(frames, ref, n_out=None):
    """The integrated circular correlation in float64 through np.fft."""
    n = len(ref)
    acc = sum(np.fft.fft(f) * np.conj(np.fft.fft(ref)) for f in frames)
    n_out = n_out or n
    return np.fft.ifft(split_pad(acc, n_out) if n_out != n else acc) * (n_out / n)


def corr2d_model(frames, ref, ny_out=None, nx_out=None):
    ny, nx = ref.shape
    acc = sum(np.fft.fft2(f.reshape(ny, nx)) * np.conj(np.fft.fft2(ref)) for f in frames)
    ny_out, nx_out = ny_out or ny, nx_out or nx
    if nx_out != nx:
        acc = split_pad(acc, nx_out, axis=1)
    if ny_out != ny:
        acc = split_pad(acc, ny_out, axis=0)
    return np.fft.ifft2(acc) * (ny_out * nx_out / (ny * nx))


def close(got, want):
    scale = np.max(np.abs(want)) + 1e-30
    return np.max(np.abs(got - want)) / scale < 2e-5


@pytest.mark.parametrize("n,dwell,n_out", [(64, 1, None), (1000, 3, None), (1023, 2, None), (64, 1, 128),
                                           (37, 2, 100), (256, 4, 1000)])
def test_corr_matches_numpy(n, dwell, n_out):
    ref = crand(n, 1)
    frames = [crand(n, 10 + i) for i in range(dwell)]
    c = sp.Corr(ref, dwell=dwell, n_out=n_out or 0)
    for f in frames[:-1]:
        assert c.execute(f) is None
    got = c.execute(frames[-1])
    assert len(got) == (n_out or n) == c.execute_max_out()
    assert close(got, corr_model(frames, ref, n_out))


@pytest.mark.parametrize("shape,out", [((8, 16), (0, 0)), ((5, 7), (0, 0)), ((8, 16), (16, 32)), ((6, 5), (9, 11))])
def test_corr2d_general_path_matches_numpy(shape, out):
    ref = crand(shape[0] * shape[1], 2).reshape(shape)
    frames = [crand(ref.size, 20 + i) for i in range(2)]
    c = sp.Corr2D(ref, dwell=2, ny_out=out[0], nx_out=out[1])
    assert c.execute(frames[0]) is None
    got = c.execute(frames[1]).reshape(out[0] or shape[0], out[1] or shape[1])
    assert close(got, corr2d_model(frames, ref, *[o or None for o in out]))


@pytest.mark.parametrize("nx_out", [0, 40])
def test_corr2d_fast_path_equals_the_general_map(nx_out):
    ny, nx = 6, 20
    ref = np.zeros((ny, nx), C)
    ref[0] = crand(nx, 3)
    frame = crand(ny * nx, 4)
    fast = sp.Corr2D(ref, nx_out=nx_out).execute(frame)
    want = corr2d_model([frame], ref, None, nx_out or None).ravel()
    assert close(fast, want)


def test_single_lag_column():
    ny, nx = 5, 12
    ref = np.zeros((ny, nx), C)
    ref[0] = crand(nx, 5)
    frames = [crand(ny * nx, 30 + i) for i in range(3)]
    full = sp.Corr2D(ref, dwell=3)
    lag = sp.Corr2D(ref, dwell=3, col_out=3)
    for f in frames:
        m, v = full.execute(f), lag.execute(f)
    assert lag.n_out == ny and len(v) == ny
    assert close(v, m.reshape(ny, nx)[:, 3])
    with pytest.raises(MemoryError, match="^corr2d_create returned NULL$"):
        sp.Corr2D(ref, col_out=nx)
    bad = ref.copy()
    bad[1, 0] = 1e-30
    with pytest.raises(MemoryError, match="^corr2d_create returned NULL$"):
        sp.Corr2D(bad, col_out=0)


@pytest.mark.parametrize("call,msg", [
    (lambda: sp.Corr2D(np.ones(4, C)), "ref must be a 2-D \\(ny, nx\\) array"),
    (lambda: sp.CorrDetector2D(np.ones(4, C)), "ref must be a 2-D array"),
    (lambda: sp.CorrDetector(np.ones(4, C), noise_mode="Mean"),
     "noise_mode must be one of \"mean\", \"median\", \"min\", \"max\", got 'Mean'"),
])
def test_value_errors(call, msg):
    with pytest.raises(ValueError, match=f"^{msg}$"):
        call()


@pytest.mark.parametrize("call,name", [
    (lambda: sp.Corr(np.ones(4, C), n_out=3), "corr_create"),
    (lambda: sp.Corr(np.ones(4, C), dwell=0), "corr_create"),  # it could never dump
    (lambda: sp.Corr(np.ones(0, C)), "corr_create"),
    (lambda: sp.Corr2D(np.ones((4, 4), C), dwell=0), "corr2d_create"),
    (lambda: sp.Corr2D(np.ones((4, 4), C), ny_out=3), "corr2d_create"),
    (lambda: sp.CorrDetector(np.ones(4, C), dwell=0), "detector_create"),
    (lambda: sp.Corr(np.ones(4, C), n_out=2**62), "corr_create"),
])
def test_refusals(call, name):
    with pytest.raises(MemoryError, match=f"^{name} returned NULL$"):
        call()


def test_corr_edge_cases():
    x = crand(4, 6)
    assert np.allclose(sp.Corr(np.array([1, 0, 0, 0], C)).execute(x), x, rtol=0, atol=1e-6)  # c[k] = x[k]
    native = sp.Corr(crand(64, 7)).execute(crand(64, 8))
    fine = sp.Corr(crand(64, 7), n_out=128).execute(crand(64, 8))
    assert np.allclose(fine[0::2], native, atol=1e-4 * np.abs(native).max())
    short = sp.Corr(crand(64, 7)).execute(crand(64, 8)[:40])
    padded = sp.Corr(crand(64, 7)).execute(np.concatenate([crand(64, 8)[:40], np.zeros(24, C)]))
    assert short.tobytes() == padded.tobytes()  # a short frame reads as zero-padded, never past its end


def test_corr_streaming_properties():
    ref = crand(32, 9)
    frames = crand(32 * 12, 10).reshape(12, 32)
    for make in (lambda: sp.Corr(ref, dwell=3), lambda: sp.Corr2D(ref.reshape(4, 8), dwell=3)):
        run = lambda c, chunk: [c.execute(f) for f in chunk]  # noqa: E731
        a = make()
        outs = [o for o in run(a, frames) if o is not None]
        b = make()
        first = run(b, frames[:4])
        b2 = make()
        b2.set_state(b.get_state())  # mid-integration (count 1)
        assert b2.count == 1
        rest = [o for o in first + run(b2, frames[4:]) if o is not None]
        assert np.concatenate(outs).tobytes() == np.concatenate(rest).tobytes()
        assert_reset_reproduces(make, lambda c, ch: np.concatenate([o for o in run(c, ch) if o is not None]), frames)
        assert_frame_behaviour(make)
        assert_set_state_refusals(make, lambda c: [c.execute(f) for f in frames[:3]][-1])


# ---------------------------------------------------------------------------
# Detectors


def test_detector_worked_examples():
    d = sp.CorrDetector(np.eye(8, dtype=C)[0], noise_lo=1, noise_hi=7)
    assert d.last_corr is None
    assert d.push(np.ones(8, C)) == [(0, 1.0, 1.0, 1.0)]
    ref = np.zeros((4, 4), C)
    ref[0, 0] = 1
    d2 = sp.CorrDetector2D(ref, noise_lo=1, noise_hi=15)
    assert d2.push(np.ones(16, C)) == [(0, 0, 1.0, 1.0, 1.0)]
    assert (d2.ny, d2.nx, d2.n) == (4, 4, 16)


def test_partial_frames_and_dwell():
    d = sp.CorrDetector(crand(64, 1))
    assert len(d.push(crand(100, 2))) == 1 and len(d.push(crand(28, 3))) == 1
    assert [sp.CorrDetector(crand(n, 1)).ring_cap for n in (100, 1000, 5000)] == [512, 1024, 8192]
    q = sp.CorrDetector(crand(16, 1), dwell=4)
    counts = []
    for i in range(8):
        got = q.push(crand(16, 10 + i))
        counts.append((q.count, len(got)))
    assert counts == [(1, 0), (2, 0), (3, 0), (0, 1)] * 2


def test_noise_range_is_clamped_and_ordered():
    d = sp.CorrDetector(crand(32, 1), noise_lo=2**40, noise_hi=5)
    assert (d.noise_lo, d.noise_hi) == (5, 31)
    e = sp.CorrDetector(crand(32, 1))
    assert (e.noise_lo, e.noise_hi) == (0, 31)


@pytest.mark.parametrize("mode", ["mean", "median", "min", "max"])
def test_noise_modes_and_threshold(mode):
    ref = crand(64, 4)
    x = crand(64 * 10, 5)
    d = sp.CorrDetector(ref, noise_lo=10, noise_hi=50, noise_mode=mode)
    got = d.push(x)
    assert len(got) == 10
    for i, (k, peak, noise, stat) in enumerate(got):
        mag = np.abs(corr_model([x[64 * i:64 * (i + 1)]], ref))
        assert k == int(np.argmax(mag)) and peak == pytest.approx(mag.max(), rel=1e-5)
        w = np.sort(mag[10:51])
        want = {"mean": w.mean(), "median": w[len(w) // 2], "min": w[0], "max": w[-1]}[mode]
        assert noise == pytest.approx(want, rel=1e-5) and stat == pytest.approx(peak / noise, rel=1e-5)
    stats = [g[3] for g in got]
    t = float(np.median(stats))
    kept = sp.CorrDetector(ref, noise_lo=10, noise_hi=50, noise_mode=mode, threshold=t).push(x)
    assert [g[3] for g in kept] == [s for s in stats if s > np.float32(t)]


def test_all_zero_stream():
    d = sp.CorrDetector(crand(16, 1))
    assert d.push(np.zeros(16, C)) == [(0, 0.0, 0.0, 0.0)]
    assert sp.CorrDetector(crand(16, 1), threshold=1.0).push(np.zeros(16, C)) == []


def test_last_corr_is_lent_and_survives_destroy():
    d = sp.CorrDetector(np.eye(8, dtype=C)[0])
    d.push(np.arange(8, dtype=C))
    a = d.last_corr
    assert np.allclose(a, np.arange(8), atol=1e-5) and not a.flags.writeable
    d.push(np.ones(8, C))
    assert np.allclose(a, 1, atol=1e-6)  # the buffer is overwritten by the next dump
    d.reset()
    assert d.last_corr is None
    d.push(np.full(8, 2, C))
    b = d.last_corr
    d.destroy()
    assert np.allclose(b, 2, atol=1e-6)  # still valid memory after destroy()
    with pytest.raises(RuntimeError, match="^destroyed$"):
        d.last_corr


def test_more_than_64_detections_in_one_push_lose_nothing():
    ref = crand(16, 1)
    x = crand(16 * 300 + 7, 2)
    whole = sp.CorrDetector(ref).push(x)
    assert len(whole) == 300
    one = sp.CorrDetector(ref)
    singles = [g for v in x for g in one.push(v[None])]
    assert whole == singles
    d = sp.CorrDetector(ref)
    rng = np.random.default_rng(3)
    cuts = np.sort(rng.integers(0, len(x), 25))
    assert [g for c in np.split(x, cuts) for g in d.push(c)] == whole


@pytest.mark.parametrize("two_d", [False, True])
def test_detector_streaming_properties(two_d):
    ref = crand(64, 8)
    make = (lambda: sp.CorrDetector2D(ref.reshape(8, 8), dwell=2, noise_lo=3)) if two_d else \
        (lambda: sp.CorrDetector(ref, dwell=2, noise_lo=3))  # noqa: E731
    x = crand(64 * 20 + 11, 9)
    run = lambda d, c: np.array(d.push(c), float).reshape(-1)  # noqa: E731
    assert_chunk_invariant(make, run, x, trials=4)
    assert_checkpoint_continues(make, run, x, cut=64 * 5 + 30)  # a partial frame pending
    assert_reset_reproduces(make, run, x)
    assert_frame_behaviour(make)
    assert_set_state_refusals(make, lambda d: d.push(x[:300]))


def test_refused_detector_blob_changes_nothing():
    d = sp.CorrDetector(crand(32, 1), dwell=3)
    d.push(crand(32 * 4 + 5, 2))
    before = d.get_state()
    blob = bytearray(before)
    blob[16] ^= 1  # the embedded correlator's magic
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        d.set_state(bytes(blob))
    blob = bytearray(before)
    pending_at = 16 + (24 + 8 * 32)  # after the header and the "CORR" blob
    blob[pending_at:pending_at + 8] = (d.ring_cap + 1).to_bytes(8, "little")  # more pending samples than fit
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        d.set_state(bytes(blob))
    assert d.get_state() == before


def _fd_count():
    return len(os.listdir("/proc/self/fd"))


def test_no_descriptor_or_mapping_left_behind():
    before = _fd_count()
    for _ in range(300):
        d = sp.CorrDetector(crand(100, 1))
        d.destroy()
    assert _fd_count() == before


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's shadow memory needs more address space than the cap leaves")
def test_unmappable_ring_is_a_memory_error_without_leaks():
    """With the address space capped, creation fails cleanly: MemoryError, and
    no descriptor or mapping is left behind."""
    code = r"""
import os, resource, numpy as np
from tamberl import spectral as sp
def fds(): return len(os.listdir('/proc/self/fd'))
def maps(): return sum(1 for _ in open('/proc/self/maps'))
ref = np.ones(1 << 22, np.complex64)          # a 32 MiB ring, mapped twice
sp.CorrDetector(ref[:64]).destroy()           # warm up the allocators
f0, m0 = fds(), maps()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
used = sum(int(l.split()[0].split('-')[1], 16) - int(l.split()[0].split('-')[0], 16) for l in open('/proc/self/maps'))
resource.setrlimit(resource.RLIMIT_AS, (used + (80 << 20), hard))
try:
    sp.CorrDetector(ref)
    print('created')
except MemoryError as e:
    print('refused', e)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(fds() - f0, maps() - m0)
"""
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    first, second = r.stdout.strip().splitlines()
    assert first == "refused detector_create returned NULL"
    fd_delta, map_delta = map(int, second.split())
    assert fd_delta == 0 and map_delta <= 2


# ---------------------------------------------------------------------------
# Detection statistics against theory


def test_code_in_noise_gives_the_predicted_statistic():
    """A +-1 code of N chips at amplitude A in complex noise of power s2:
    the peak is about |A N| (sqrt(A^2 N^2 + N s2) on average), every other
    lag a complex Gaussian of variance V = N (s2 + A^2) (noise plus the random
    code's own sidelobes), whose magnitudes average sqrt(pi V)/2; the
    statistic with the mean noise estimate is their ratio."""
    n, amp, s2, lag = 1023, 1.0, 10.0, 100  # -10 dB per sample
    code = signals.spread(n, seed=4).astype(C)
    stats, lags = [], []
    for trial in range(30):
        x = amp * np.roll(code, lag) + signals.awgn(n, s2, 100 + trial)
        d = sp.CorrDetector(code, noise_lo=300, noise_hi=1000)
        (k, peak, noise, stat), = d.push(x.astype(C))
        stats.append(stat)
        lags.append(k)
    assert lags == [lag] * 30
    predicted = math.sqrt(amp**2 * n**2 + n * s2) / (math.sqrt(math.pi * n * (s2 + amp**2)) / 2)
    assert np.mean(stats) == pytest.approx(predicted, rel=0.05)


def test_false_detection_rate_on_noise_matches_theory():
    """Noise only: every lag's magnitude is Rayleigh, the mean estimate is
    about sigma sqrt(pi/2), so a frame is a false detection when the largest
    of N magnitudes exceeds T times it: P = 1 - (1 - exp(-pi T^2 / 4))^N."""
    n, frames = 1023, 3000
    pfa = 0.05
    t = math.sqrt(-4 / math.pi * math.log(1 - (1 - pfa) ** (1 / n)))
    d = sp.CorrDetector(signals.spread(n, seed=5).astype(C), threshold=t)
    hits = len(d.push(signals.awgn(n * frames, 1.0, 7)))
    rate = hits / frames
    assert pfa / 2 < rate < pfa * 2, (rate, t)
