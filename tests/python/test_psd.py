import math

import numpy as np
import pytest
import scipy.signal

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
import signals
from tamberl import spectral as sp


def tone(n, freq, amp=1.0, phase=0.3):
    return signals.tone(n, freq, amp, phase)


def noise(n, seed=0, scale=1.0):
    return signals.awgn(n, scale**2, seed)


@pytest.mark.parametrize("kwargs,nfft", [(dict(n=1000), 1024), (dict(n=1000, pad=2), 2048), (dict(n=1024), 1024),
                                         (dict(n=2, pad=0), 2), (dict(n=3), 4)])
def test_transform_length(kwargs, nfft):
    assert sp.PSD(**kwargs).nfft == nfft


def test_configuration_attributes():
    p = sp.PSD(n=512, fs=48000.0, window="blackman-harris", bits=12, mode="maxhold")
    w = np.zeros(512, np.float32)
    sp.blackman_harris_window(w)
    assert p.full_scale == 2048.0 and p.bits == 12 and p.mode == 2 and p.fs == 48000.0 and p.n == 512
    assert p.enbw == pytest.approx(float(sp.kaiser_enbw(w)), rel=1e-6)
    assert p.rbw == pytest.approx(48000.0 * p.enbw / 512)
    assert sp.PSD(window="kaiser", beta=0.0).enbw == pytest.approx(1.0)


@pytest.mark.parametrize("kwargs", [dict(n=1), dict(n=0), dict(fs=0.0), dict(fs=-1.0), dict(fs=math.nan),
                                    dict(fs=math.inf), dict(full_scale=0.0), dict(full_scale=-2.0),
                                    dict(full_scale=math.inf), dict(alpha=math.nan), dict(alpha=-0.1),
                                    dict(alpha=math.inf), dict(window="kaiser", beta=math.nan)])
def test_refused_configuration(kwargs):
    with pytest.raises(MemoryError, match="^psd_create returned NULL$"):
        sp.PSD(**kwargs)


@pytest.mark.parametrize("kw,value,words", [
    ("window", "Hann", '"hann", "kaiser", "blackman-harris"'),
    ("window", "flattop", '"hann", "kaiser", "blackman-harris"'),
    ("mode", "avg", '"mean", "exp", "maxhold", "minhold"'),
])
def test_choice_keywords(kw, value, words):
    with pytest.raises(ValueError) as e:
        sp.PSD(**{kw: value})
    assert str(e.value) == f"{kw} must be one of {words}, got '{value}'"


def test_empty_trace_gives_neutral_values():
    p = sp.PSD(n=64)
    for m in (p.psd_db, p.psd_dbhz, p.power_twosided, p.power_onesided):
        assert m() is None
    assert p.band_power([0.0, 0.1]).shape == (0,)
    assert p.total_band_power([0.0, 0.1]) == -200.0
    assert p.noise_floor() == 0.0 and p.occupied_bw(0.99) == 0.0 and p.snr(-0.1, 0.1) == 0.0 and p.sfdr(-200) == 0.0
    p.accumulate(np.ones(63, np.complex64))  # less than one frame
    assert p.count == 0 and p.psd_db() is None


def test_only_whole_frames_are_folded():
    p = sp.PSD(n=100)
    x = noise(250)
    p.accumulate(x)
    assert p.count == 2
    q = sp.PSD(n=100)
    q.accumulate(x[:200])
    assert p.psd_db().tobytes() == q.psd_db().tobytes()
    p.accumulate(x[250:])  # the dropped half frame is not kept for later
    assert p.count == 2


@pytest.mark.parametrize("window", ["hann", "kaiser", "blackman-harris"])
def test_full_scale_tone_reads_zero_dbfs(window):
    n, fs, fsc = 1024, 1000.0, 5.0
    p = sp.PSD(n=n, fs=fs, window=window, beta=8.0, full_scale=fsc)
    p.accumulate(tone(4 * n, 37 / n, amp=fsc))
    db = p.psd_db()
    assert db.shape == (n,) and int(np.argmax(db)) == n // 2 + 37
    assert db.max() == pytest.approx(0.0, abs=1e-4)
    assert p.band_power([-fs / 2, fs / 2])[0] == pytest.approx(0.0, abs=1e-3)
    assert p.total_band_power([-fs / 2, 0.0, 0.0, fs / 2]) == pytest.approx(0.0, abs=0.01)
    main_lobe = [37 / n * fs - 2 * fs / n, 37 / n * fs + 2 * fs / n]
    assert -0.5 < p.band_power(main_lobe)[0] < 0.0


def test_psd_dbhz_agrees_with_welch():
    n, fs = 512, 2.0e6
    x = noise(n * 400, seed=3, scale=0.05)
    p = sp.PSD(n=n, fs=fs)
    p.accumulate(x)
    f, ref = scipy.signal.welch(x, fs=fs, window="hann", nperseg=n, noverlap=0, detrend=False,
                                return_onesided=False, scaling="density")
    ours = p.psd_dbhz()
    ref_db = 10 * np.log10(np.fft.fftshift(ref))
    # welch uses the periodic Hann window; the levels agree to well within 0.1 dB on average
    assert abs(float(np.mean(ours - ref_db))) < 0.1


def test_averaging_modes():
    n = 64
    a, b = noise(n, 1), noise(n, 2) * 3
    single = lambda x: (lambda p: (p.accumulate(x), p.power_twosided())[1])(sp.PSD(n=n))  # noqa: E731
    pa, pb = single(a), single(b)
    for mode, expect in [("maxhold", np.maximum(pa, pb)), ("minhold", np.minimum(pa, pb)), ("mean", (pa + pb) / 2)]:
        p = sp.PSD(n=n, mode=mode)
        p.accumulate(np.concatenate([a, b]))
        np.testing.assert_allclose(p.power_twosided(), expect, rtol=1e-6)
    p = sp.PSD(n=n, mode="exp", alpha=1.0)
    p.accumulate(np.concatenate([a, b]))
    np.testing.assert_array_equal(p.power_twosided(), pb)
    p = sp.PSD(n=n, mode="exp", alpha=0.25)
    p.accumulate(np.concatenate([a, b]))
    np.testing.assert_allclose(p.power_twosided(), pa + 0.25 * (pb - pa), rtol=1e-6)
    p.reset()
    assert p.count == 0 and p.psd_db() is None and p.mode == 1


def test_one_sided_power_of_a_real_input():
    n = 256
    x = np.random.default_rng(4).standard_normal(n * 8).astype(np.float32)
    p = sp.PSD(n=n)
    p.accumulate_real(x)
    two, one = p.power_twosided(), p.power_onesided()
    h = n // 2
    assert one.shape == (h + 1,) and p.power_onesided_max_out() == h + 1
    np.testing.assert_allclose(one[1:h], 2 * two[h + 1:][: h - 1], rtol=1e-5)
    assert one[0] == two[h] and one[h] == two[0]
    q = sp.PSD(n=n)
    q.accumulate(x.astype(np.complex64))
    assert q.power_twosided().tobytes() == two.tobytes()


def test_measurements_on_two_tones():
    n, fs = 1024, 1024.0
    x = tone(n * 16, 100 / n) + tone(n * 16, -200 / n, amp=0.01) + noise(n * 16, 5, 1e-4)
    p = sp.PSD(n=n, fs=fs, window="blackman-harris")
    p.accumulate(x)
    assert p.sfdr(-150.0) == pytest.approx(40.0, abs=0.2)
    floor = p.noise_floor()
    assert floor == float(np.median(p.psd_db().astype(np.float64)))
    assert p.snr(90.0, 110.0) == pytest.approx(float(p.psd_db().max()) - floor)
    assert p.snr(5000.0, 6000.0) == 0.0  # wholly outside
    assert p.occupied_bw(0.5) == pytest.approx(fs / n * 5, rel=0.5)
    out = np.zeros(4, np.float32)
    got = p.band_power([90.0, 110.0, -210.0, -190.0], out=out)
    assert got.shape == (2,) and np.shares_memory(got, out) and got[0] == pytest.approx(0.0, abs=0.01)
    assert got[1] == pytest.approx(-40.0, abs=0.1)
    assert p.band_power([1.0, 2.0, 3.0]).shape == (1,)


def test_spectrum_out_and_count_rules():
    p = sp.PSD(n=64)
    p.accumulate(noise(128))
    assert p.psd_db(count=10).shape == (64,)  # count never shortens the result
    out = np.zeros(200, np.float32)
    v = p.psd_db(count=200, out=out)
    assert v.shape == (64,) and v.base is out
    with pytest.raises(ValueError, match="^out has 100 elements, need >= 200$"):
        p.psd_db(count=200, out=np.zeros(100, np.float32))
    with pytest.raises(TypeError, match="^out must be"):
        p.psd_dbhz(out=np.zeros(64))


def test_streaming_properties():
    n = 128
    frames = noise(n * 24, seed=6).reshape(24, n)  # chunk on whole frames
    make = lambda: sp.PSD(n=n, mode="mean")  # noqa: E731

    def run(p, chunk):
        p.accumulate(chunk.ravel())

    final = lambda p: p.power_twosided().tobytes() + bytes([p.count])  # noqa: E731
    assert_chunk_invariant(make, run, frames, final=final)
    assert_checkpoint_continues(make, run, frames, cut=7, final=final)
    assert_reset_reproduces(make, run, frames, final=final)
    assert_frame_behaviour(make)
    assert_set_state_refusals(make, lambda p: p.count)


def test_blob_layout():
    p = sp.PSD(n=100)
    p.accumulate(noise(300))
    blob = p.get_state()
    assert len(blob) == p.state_bytes() == 40 + 8 * 128
    assert blob[:4] == b"PSD " and blob[16:20] == b"ATRC" and blob[24:28] == (24 + 8 * 128).to_bytes(4, "little")
    assert int.from_bytes(blob[32:40], "little") == 3
    q = sp.PSD(n=100)
    bad = bytearray(blob)
    bad[16] = ord("X")  # inner magic
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        q.set_state(bytes(bad))
    bad = bytearray(blob)
    bad[24] ^= 1  # inner length
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        q.set_state(bytes(bad))
    assert q.count == 0
    with pytest.raises(ValueError, match="^state blob size mismatch$"):
        sp.PSD(n=1000).set_state(blob)
