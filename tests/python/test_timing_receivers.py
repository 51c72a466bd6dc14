import math

import numpy as np
import pytest
from scipy.special import erfc

from helpers import (assert_checkpoint_continues, assert_chunk_invariant, assert_frame_behaviour,
                     assert_reset_reproduces, assert_set_state_refusals)
from tamberl import sig, telemetry, track

F32 = np.float32
C64 = np.complex64
RX_REFUSED = ("MpskReceiver: invalid parameter (need m in {2,4,8}, sps >= m_out -- sps > 2*m_out on the real-input "
              "MpskReceiverR, whose cascade runs behind a 2:1 halfband, m_out even in [2, 8], 0 <= rrc_beta <= 1, "
              "rrc_span >= 1, num_phases a power of two >= 2, bn >= 0, zeta > 0, 0 < bn_agc_ratio < 1)")
RS_REFUSED = ("RateSync: invalid parameter (need sps >= m, 0 <= beta <= 1, span >= 1, m even in [2, 8], "
              "num_phases a power of two >= 2, bn >= 0, zeta > 0)")


def Q(x):
    return 0.5 * erfc(x / math.sqrt(2))


def shaped(m, nsym, sps, tau=0.0, freq=0.0, esno_db=None, beta=0.35, seed=0, span=8, pulse=sig.rrc_h):
    """Unit-power M-PSK with analytic RRC pulses at any real sps, delayed by
    tau symbols, on a carrier of freq cycles/sample, with AWGN for an Es/N0."""
    rng = np.random.default_rng(seed)
    idx = rng.integers(0, m, nsym)
    a = np.exp(1j * (2 * np.pi * idx / m + (np.pi / 4 if m == 4 else 0)))
    n = int(nsym * sps)
    t = np.arange(n) / sps - tau
    x = np.zeros(n, complex)
    centre = np.floor(t).astype(int)
    for j in range(-span, span + 1):
        k = centre + j
        ok = (k >= 0) & (k < nsym)
        x[ok] += a[k[ok]] * pulse(t[ok] - k[ok], beta)
    x *= np.exp(2j * np.pi * freq * np.arange(n))
    if esno_db is not None:
        sigma2 = sps / 10 ** (esno_db / 10)
        x += (rng.standard_normal(n) + 1j * rng.standard_normal(n)) * np.sqrt(sigma2 / 2)
    return x.astype(C64), a


def aligned_errors(y, truth, m, start):
    """Symbol decisions against the truth after `start`: the delay and the
    phase ambiguity are resolved once per run, then bits compared (Gray)."""
    seg = y[start:start + min(3000, len(truth) - start - 80)]
    best = max(range(0, 80), key=lambda d: abs(np.vdot(truth[start + d:start + d + len(seg)], seg)))
    c = np.vdot(truth[start + best:start + best + len(seg)], seg)
    rot = np.exp(-1j * 2 * np.pi / m * np.round(np.angle(c) / (2 * np.pi / m)))
    r = y[start:] * rot
    t = truth[start + best:start + best + len(r)]
    r = r[:len(t)]
    off = np.pi / 4 if m == 4 else 0.0
    q = lambda z: np.round((np.angle(z) - off) * m / (2 * np.pi)).astype(int) % m  # noqa: E731
    gr, gt = q(r) ^ (q(r) >> 1), q(t) ^ (q(t) >> 1)
    nb = int(math.log2(m))
    errs = sum(int(np.sum(((gr >> b) & 1) != ((gt >> b) & 1))) for b in range(nb))
    return errs, nb * len(r)


# ---------------------------------------------------------------------------
# SymbolSync


def test_symbol_sync_square_wave():
    x = np.repeat(np.tile([1, -1], 64), 4).astype(C64)
    s = track.SymbolSync(sps=4)
    y = s.steps(x)
    assert len(y) == 127 and set(np.sign(y.real)) == {-1.0, 1.0}
    assert s.rate == pytest.approx(4.0, abs=0.01)
    s.reset()
    assert s.rate == 4.0 and s.timing_error == 0.0 and not s.locked
    assert s.steps_max_out() == 0


@pytest.mark.parametrize("kw, msg", [
    (dict(order="quintic"), "order must be one of \"linear\", \"parabolic\", \"cubic\", got 'quintic'"),
    (dict(ted="mm"), "ted must be one of \"gardner\", \"dttl\", got 'mm'"),
    (dict(sps=1), "SymbolSync: sps must be >= 2 (a symbol needs a mid-symbol sample), got 1"),
    (dict(zeta=0.0), "SymbolSync: need finite bn >= 0 and zeta > 0"),
    (dict(bn=float("nan")), "SymbolSync: need finite bn >= 0 and zeta > 0"),
])
def test_symbol_sync_refusals(kw, msg):
    with pytest.raises(ValueError) as e:
        track.SymbolSync(**kw)
    assert str(e.value) == msg


def symsync_model(x, sps, bn, zeta, order, ted):
    """A scalar float32/float64 model of the symbol synchroniser."""
    a = 8.0 * zeta * bn / (4.0 * zeta * zeta + 1.0)
    d = 4.0 + 4.0 * zeta * a + a * a
    kp, ki = 8.0 * zeta * a / d, 4.0 * a * a / d
    base = int(4294967296.0 / sps)
    inc, ph, integ, power = base, 0, 0.0, 1.0
    h = [C64(0)] * 4
    prev, mid, valid = C64(0), C64(0), False
    six, half = F32(0.16666667), F32(0.5)

    def interp(mu):
        xm3, xm2, xm1, x0 = h
        mu = F32(mu)
        if order == "linear":
            return xm2 + mu * (xm1 - xm2)
        if order == "parabolic":
            v = half * (((xm3 - xm2) - xm1) + x0)
            return xm2 + mu * (((xm1 - xm2) - v) + mu * v)
        c1 = (((F32(6) * xm1 - F32(2) * xm3) - F32(3) * xm2) - x0) * six
        c2 = half * ((xm3 - F32(2) * xm2) + xm1)
        c3 = ((F32(3) * xm2 - xm3) + x0) - F32(3) * xm1
        return xm2 + mu * (c1 + mu * (c2 + mu * c3 * six))

    sgn = lambda v: F32(1) if v >= 0 else F32(-1)  # noqa: E731
    out = []
    for v in x:
        h = h[1:] + [C64(v)]
        e = (ph + inc) % 2**32
        old, ph = ph, e
        if old < 2**31 <= e:
            mid = C64(interp(F32(1.0 - (e % 2**31) / inc)))
        if e >= old:
            continue
        y = C64(interp(F32(1.0 - e / inc)))
        if not valid:
            prev, valid = y, True
            continue
        power = power + 0.01 * (float(F32(y.real * y.real + y.imag * y.imag)) - power)
        if ted == "dttl":
            num = F32(mid.real * (sgn(y.real) - sgn(prev.real))) + F32(mid.imag * (sgn(y.imag) - sgn(prev.imag)))
        else:
            num = F32((y.real - prev.real) * mid.real) + F32((y.imag - prev.imag) * mid.imag)
        err = float(num) / (power + 1e-6)
        integ = integ + ki * err
        g = 1.0 + kp * err + integ
        p = base * g
        inc = (int(math.floor(abs(p) + 0.5)) * (1 if p >= 0 else -1)) % 2**32
        prev = y
        out.append(y)
    return np.array(out, C64)


@pytest.mark.parametrize("order", ["linear", "parabolic", "cubic"])
@pytest.mark.parametrize("ted", ["gardner", "dttl"])
def test_symbol_sync_matches_the_model(order, ted):
    x, _ = shaped(2, 300, 4, tau=0.3, esno_db=15.0, seed=5)
    got = track.SymbolSync(sps=4, bn=0.02, order=order, ted=ted).steps(x)
    ref = symsync_model(x, 4, 0.02, 0.707, order, ted)
    assert got.tobytes() == ref.tobytes()


@pytest.mark.parametrize("ted", ["gardner", "dttl"])
def test_symbol_sync_pulls_in_a_timing_offset(ted):
    # raised-cosine pulses: what a matched filter would deliver
    x, _ = shaped(2, 3000, 8, tau=0.45, esno_db=30.0, seed=2, pulse=sig.rc_h)
    s = track.SymbolSync(sps=8, bn=0.01, ted=ted)
    y = s.steps(x)
    assert np.abs(np.abs(y[-500:].real) - 1).mean() < 0.15
    assert s.locked and s.rate == pytest.approx(8.0, abs=0.05)


def test_symbol_sync_lock_configuration_and_telemetry():
    s = track.SymbolSync(sps=4)
    with pytest.raises(ValueError, match=r"^configure_lock failed \(rc=-4\)$"):
        s.configure_lock(0.35, 10.0, 0.9, 0.5)
    s.configure_lock(0.35, 6.0, 1e-3, 0.9)
    s.configure_lock_raw(0, 0.2, 0.1, 1, 1)  # avgs 0 becomes 1: a decision per symbol
    tlm = telemetry.Telemetry(1 << 12)
    s.set_telemetry(tlm, "ss")
    assert tlm.probes() == ["ss.e", "ss.freq", "ss.rate", "ss.lock", "ss.locked"]
    x, _ = shaped(2, 200, 4, esno_db=30.0, pulse=sig.rc_h)
    y = s.steps(x)
    got = tlm.drain()
    assert all(len(v) == len(y) for v in got.values())
    assert s.locked and got["ss.locked"][-1] == 1.0
    s.bn = 0.05
    assert s.bn == 0.05


# ---------------------------------------------------------------------------
# RateSync


@pytest.mark.parametrize("kw", [dict(sps=3.0, m=4), dict(m=3), dict(num_phases=1000), dict(beta=1.5),
                                dict(span=0), dict(bn=-0.1), dict(zeta=0.0), dict(sps=float("nan"))])
def test_rate_sync_refusals(kw):
    with pytest.raises(ValueError) as e:
        track.RateSync(**kw)
    assert str(e.value) == RS_REFUSED


def test_rate_sync_choice_messages():
    with pytest.raises(ValueError, match="^pulse must be one of \"iandd\", \"rrc\", got 'sinc'$"):
        track.RateSync(pulse="sinc")
    with pytest.raises(ValueError, match="^ted must be one of \"gardner\", \"dttl\", got 'x'$"):
        track.RateSync(ted="x")


@pytest.mark.parametrize("sps, m, ted", [(4.0, 2, "gardner"), (4.0, 4, "dttl"), (17.33389, 4, "gardner"),
                                         (8.0, 8, "gardner")])
def test_rate_sync_tracks(sps, m, ted):
    x, _ = shaped(4, 4000, sps, tau=0.37, esno_db=20.0, seed=3)
    s = track.RateSync(sps=sps, m=m, ted=ted, bn=0.01)
    y = s.steps(x)
    # the matched filter's delay and the priming cost some symbols at the start
    assert 0 < len(x) / sps - len(y) < 80
    assert s.locked and s.rate == pytest.approx(sps, rel=2e-3)
    # no carrier loop here: the points keep the transmitted phases
    z = y[-1000:] / np.mean(np.abs(y[-1000:]))
    ideal = np.exp(1j * (np.pi / 4 + np.pi / 2 * np.round((np.angle(z) - np.pi / 4) / (np.pi / 2))))
    assert np.sqrt(np.mean(np.abs(z - ideal) ** 2)) < 0.15


@pytest.mark.parametrize("sps, m, pulse", [(4.0, 2, "rrc"), (4.0, 2, "iandd"), (2.3, 2, "rrc"), (8.0, 4, "rrc"),
                                           (16.0, 2, "iandd"), (33.0, 2, "rrc")])
def test_rate_sync_block_front_gives_the_per_sample_bits(sps, m, pulse):
    """Large blocks run the stages before the steered resampler on their
    block kernels; fed one sample a call, each sample that completes an
    output of theirs goes through the per-sample push.  Outputs and
    checkpoints agree to the bit."""
    x, _ = shaped(4, 3000, sps, tau=0.21, esno_db=12.0, seed=9)
    whole = track.RateSync(sps=sps, m=m, pulse=pulse, bn=0.02)
    y = np.concatenate([whole.steps(x[:5000]), whole.steps(x[5000:])])
    single = track.RateSync(sps=sps, m=m, pulse=pulse, bn=0.02)
    z = np.concatenate([single.steps(x[i:i + 1]) for i in range(len(x))])
    assert np.array_equal(y.view(np.uint32), z.view(np.uint32)) and whole.get_state() == single.get_state()


def test_rate_sync_reset_configure_and_iandd():
    x, _ = shaped(4, 1500, 4.0, tau=0.2, esno_db=25.0)
    s = track.RateSync(sps=4.0)
    first = s.steps(x)
    before = s.get_state()
    s.configure(bn=-1, zeta=0.7)
    s.bn = -0.5
    assert s.get_state() == before and s.bn == 0.01
    s.reset()
    assert s.ctrl == 0.0 and not s.locked and s.rate == 4.0
    assert s.steps(x).tobytes() == first.tobytes()
    # an integrate-and-dump filter of two taps barely opens the eye signal
    narrow, wide = track.RateSync(sps=4.0, pulse="iandd", m=2), track.RateSync(sps=4.0, pulse="iandd", m=4)
    narrow.configure_lock_raw(50, 0.311, 0.311, 1, 8)
    wide.configure_lock_raw(50, 0.311, 0.311, 1, 8)
    narrow.steps(x)
    wide.steps(x)
    assert wide.lock_stat > narrow.lock_stat
    tlm = telemetry.Telemetry(1 << 14)
    s.set_telemetry(tlm, "rs")
    assert tlm.probes() == ["rs.e", "rs.ctrl", "rs.rate", "rs.lock", "rs.locked", "rs.mu"]
    y = s.steps(x)
    mu = tlm.drain()["rs.mu"]
    assert len(mu) == len(y) and ((mu >= 0) & (mu < 1)).all()
    assert not s.clipped


# ---------------------------------------------------------------------------
# Receivers


def test_receiver_derived_defaults():
    r = track.MpskReceiver()
    assert (r.m, r.sps, r.m_out, r.num_phases, r.lock_time) == (4, 8.0, 8, 64, -1)
    assert r.zeta == 1 / math.sqrt(2) and r.lock_thresh == 0.4999
    assert r.lock_drop_thresh == pytest.approx(0.8 * 0.4999) and r.bn_agc_ratio == 0.05
    assert r.sync_lock_thresh == 0.311 and r.sync_lock_drop_thresh == 0.311
    assert r.steps_max_out() == 0 and r.bits_max_out(100) == 200
    assert track.MpskReceiver(m=8, sps=2.0).bits_max_out(10) == 30
    assert track.MpskReceiverR(sps=8.0).m_out == 2 and track.MpskReceiverR(sps=20.0).m_out == 8
    assert track.MpskReceiver(sps=5.0).m_out == 4 and track.MpskReceiver(sps=2.5).m_out == 2
    b = track.BpskReceiver(sample_rate_hz=8e6, symbol_rate_hz=1e6)
    assert (b.m, b.sps) == (2, 8.0)
    assert track.BpskReceiver(8e6, 1e6, carrier_freq_hz=1e6).norm_freq == 0.125
    assert track.MpskReceiver(agc=0).agc_gain_db == 0.0


@pytest.mark.parametrize("make", [
    lambda: track.MpskReceiver(m=3), lambda: track.MpskReceiver(m_out=3), lambda: track.MpskReceiver(num_phases=48),
    lambda: track.MpskReceiver(num_phases=1), lambda: track.MpskReceiver(bn_agc_ratio=1.0),
    lambda: track.MpskReceiverR(sps=8.0, m_out=4), lambda: track.MpskReceiver(sps=1.5),
    lambda: track.MpskReceiver(rrc_beta=1.5), lambda: track.MpskReceiver(rrc_span=0),
    lambda: track.MpskReceiver(bn_timing=-0.1), lambda: track.MpskReceiver(zeta=-1.0),
    lambda: track.MpskReceiver(sps=float("inf")),
    lambda: track.BpskReceiver(8e6, 1e6, carrier_freq_hz=4e6), lambda: track.BpskReceiver(8e6, 0.0),
    lambda: track.BpskReceiver(-1.0, 1e3),
])
def test_receiver_refusals(make):
    with pytest.raises(ValueError) as e:
        make()
    assert str(e.value) == RX_REFUSED


def test_receiver_pulse_message_and_valid_edges():
    with pytest.raises(ValueError, match="^pulse must be one of \"iandd\", \"rrc\", got 'x'$"):
        track.MpskReceiver(pulse="x")
    track.MpskReceiver(sps=8.0, m_out=4)  # the complex receiver takes what the real one refuses
    track.MpskReceiverR(sps=8.1, m_out=4)


def test_bpsk_bits_count_and_clean_qpsk():
    tx = sig._SynthEngine(type="bpsk", sps=8, seed=3)
    assert len(track.MpskReceiver(m=2).bits(tx.steps(3000 * 8))) == 2998
    x, a = shaped(4, 2000, 8.0)
    r = track.MpskReceiver(pulse="rrc")
    y = r.steps(x)
    errs, nb = aligned_errors(y, a, 4, 300)
    assert errs == 0 and nb > 3000
    r.reset()
    assert r.steps(x).tobytes() == y.tobytes() and r.lock_time >= 0


@pytest.mark.parametrize("m, freq", [(2, 1e-3), (4, 1e-4)])
@pytest.mark.parametrize("ebno", [4.0, 6.0, 8.0])
def test_ber_within_half_a_db_of_theory(m, freq, ebno):
    """The synthesiser as transmitter: RRC, random data, a fractional timing
    offset (3 of 8 samples) and a carrier offset."""
    typ = "bpsk" if m == 2 else "qpsk"
    nsym, sps = 50000, 8
    tx = sig._SynthEngine(type=typ, sps=sps, seed=7, snr=ebno, snr_mode="ebno", fs=1.0, freq=freq)
    tx.set_rrc(sig.rrc_taps(0.35, sps, 8))
    x = tx.steps(nsym * sps + 3)[3:]
    truth = sig._SynthEngine(type=typ, sps=1, seed=7).steps(nsym)
    rx = track.MpskReceiver(m=m, sps=8.0, pulse="rrc")
    y = rx.steps(x)
    assert 0 <= rx.lock_time < 2000
    errs, nb = aligned_errors(y, truth, m, rx.lock_time + 500)
    ber = errs / nb
    assert Q(math.sqrt(2 * 10 ** ((ebno + 0.5) / 10))) < ber < Q(math.sqrt(2 * 10 ** ((ebno - 0.5) / 10)))


@pytest.mark.parametrize("ebno", [6.0, 8.0])
def test_differential_receiver_ber(ebno):
    """Differential decoding doubles isolated errors: Pb = 2p(1-p) with p the
    coherent bit error rate; the ambiguity never matters."""
    nsym = 40000
    tx = sig._SynthEngine(type="bpsk", sps=8, seed=4, snr=ebno, snr_mode="ebno", fs=1.0, freq=5e-4)
    tx.set_rrc(sig.rrc_taps(0.35, 8, 8))
    x = tx.steps(nsym * 8)
    chips = 1 - (sig._SynthEngine(type="bpsk", sps=1, seed=4).steps(nsym).real < 0)  # 1 for +1
    rx = track.MpskReceiver(m=2, pulse="rrc", differential=1)
    bits = rx.bits(x).astype(int)
    start = rx.lock_time + 500
    sent = np.abs(np.diff(chips.astype(int)))  # a change of phase is a one (XOR of neighbours)
    seg = bits[start:start + 3000]
    d = max(range(0, 60), key=lambda k: np.sum(sent[start + k - 1:start + k - 1 + len(seg)] == seg))
    got = bits[start:]
    ref = sent[start + d - 1:start + d - 1 + len(got)]
    ber = np.mean(got[:len(ref)] != ref)
    p = lambda e: Q(math.sqrt(2 * 10 ** (e / 10)))  # noqa: E731
    theory = lambda e: 2 * p(e) * (1 - p(e))  # noqa: E731
    assert theory(ebno + 0.5) < ber < theory(ebno - 0.5)


def test_fractional_sps_real_if_and_hz_receivers():
    x, a = shaped(4, 6000, 17.33389, tau=0.4, freq=2e-4, esno_db=14.0, seed=9)
    r = track.MpskReceiver(sps=17.33389, pulse="rrc")
    y = r.steps(x)
    errs, nb = aligned_errors(y, a, 4, r.lock_time + 300)
    assert r.locked and errs / nb < 1e-3 and r.timing_rate == pytest.approx(17.33389, rel=1e-3)
    assert r.norm_freq == pytest.approx(2e-4, abs=2e-5)
    # a real IF at 0.2 cycles/sample
    xb, a = shaped(4, 6000, 8.0, tau=0.25, esno_db=14.0, seed=1)
    real_if = (xb * np.exp(2j * np.pi * 0.2 * np.arange(len(xb)))).real.astype(F32) * F32(math.sqrt(2))
    rr = track.MpskReceiverR(sps=8.0, pulse="rrc", init_norm_freq=0.2 + 1e-4)
    y = rr.steps(real_if)
    errs, nb = aligned_errors(y, a, 4, rr.lock_time + 300)
    assert rr.locked and errs / nb < 1e-3 and rr.norm_freq == pytest.approx(0.2, abs=2e-5)
    # BPSK configured in Hz: 1 Msym/s at 8 Msamples/s, carrier 250 kHz
    xb, a = shaped(2, 6000, 8.0, tau=0.1, freq=0.25 / 8 + 1e-4, esno_db=12.0, seed=6)
    b = track.BpskReceiver(sample_rate_hz=8e6, symbol_rate_hz=1e6, carrier_freq_hz=250e3, pulse="rrc")
    errs, nb = aligned_errors(b.steps(xb), a, 2, b.lock_time + 300)
    assert b.locked and errs / nb < 1e-3


def test_qpsk_pull_in_of_the_default_configuration():
    """The default bandwidths pull in residual offsets up to 5e-4 of the
    sample rate at sps 8 (4e-3 of the symbol rate)."""
    for f in (1e-4, -2e-4, 5e-4):
        x, a = shaped(4, 8000, 8.0, tau=0.3, freq=f, esno_db=15.0, seed=11)
        r = track.MpskReceiver(pulse="rrc")
        y = r.steps(x)
        assert r.locked and r.lock_time < 4000
        errs, nb = aligned_errors(y, a, 4, r.lock_time + 500)
        assert errs / nb < 1e-3, f


def test_demapper_gray_and_differential():
    """bits() is steps() demapped: Gray labels LSB first; differential labels
    the phase change."""
    x, _ = shaped(8, 800, 4.0, esno_db=30.0, seed=2)
    for diff in (0, 1):
        a, b = track.MpskReceiver(m=8, sps=4.0, differential=diff), track.MpskReceiver(m=8, sps=4.0, differential=diff)
        s = a.steps(x)
        bits = b.bits(x)
        k = np.round(np.angle(s) * 8 / (2 * np.pi)).astype(int) % 8
        if diff:
            k = (k - np.concatenate([[0], k[:-1]])) % 8
        g = k ^ (k >> 1)
        ref = np.stack([(g >> j) & 1 for j in range(3)], axis=1).ravel()
        assert np.array_equal(bits, ref.astype(np.uint8))
    # eight-PSK at two samples per symbol: three bits per symbol, none lost
    y = track.MpskReceiver(m=8, sps=2.0).bits(np.ones(4000, C64))
    assert len(y) == 3 * len(track.MpskReceiver(m=8, sps=2.0).steps(np.ones(4000, C64)))


@pytest.mark.parametrize("agc, count", [(1, 15), (0, 13)])
def test_receiver_telemetry(agc, count):
    r = track.MpskReceiver(pulse="rrc", agc=agc)
    tlm = telemetry.Telemetry(1 << 16)
    r.set_telemetry(tlm, "rx")
    names = tlm.probes()
    assert len(names) == count and names[:7] == ["rx.lock", "rx.car.e", "rx.car.freq", "rx.car.nco",
                                                 "rx.car.locked", "rx.sym.i", "rx.sym.q"]
    assert names[7:13] == ["rx.sync.e", "rx.sync.ctrl", "rx.sync.rate", "rx.sync.lock", "rx.sync.locked",
                           "rx.sync.mu"]
    x, _ = shaped(4, 1000, 8.0, esno_db=20.0)
    y = r.steps(x)
    got = tlm.drain()
    assert np.array_equal(got["rx.sym.i"] + 1j * got["rx.sym.q"], y)
    if agc:
        assert names[13:] == ["rx.agc.gain_db", "rx.agc.level_db"]
        assert len(got["rx.agc.gain_db"]) == len(x) // 8  # one per eight samples into the matched filter
        assert got["rx.agc.gain_db"][-1] == pytest.approx(r.agc_gain_db, abs=1e-4)
    r.set_telemetry(None, "rx")
    r.steps(x[:800])
    assert tlm.pending() == 0


def test_norm_freq_setter_recentres():
    r = track.MpskReceiver()
    r.steps(shaped(4, 500, 8.0, freq=1e-3, esno_db=20.0)[0])
    r.norm_freq = 0.01
    assert r.norm_freq == 0.01
    rr = track.MpskReceiverR()
    rr.norm_freq = 0.2
    assert rr.norm_freq == 0.2


@pytest.mark.parametrize("data", [np.full(4000, np.nan), np.full(4000, np.inf), np.r_[np.zeros(2000), np.full(2000, -np.inf)]])
def test_non_finite_input_never_crashes_and_reset_recovers(data):
    x, _ = shaped(4, 500, 8.0, esno_db=25.0)
    for make, cast in [(lambda: track.MpskReceiver(pulse="rrc"), C64), (lambda: track.MpskReceiverR(), F32),
                       (lambda: track.RateSync(), C64), (lambda: track.SymbolSync(sps=8), C64)]:
        obj = make()
        obj.steps(data.astype(cast))
        if cast is C64:
            obj.reset()
            assert obj.steps(x).tobytes() == make().steps(x).tobytes()


def _rx_signal(n):
    tx = sig._SynthEngine(type="qpsk", sps=8, seed=5, snr=12.0, snr_mode="ebno", fs=1.0, freq=3e-4)
    tx.set_rrc(sig.rrc_taps(0.35, 8, 6))
    return tx.steps(n)


STREAMERS = {
    "SymbolSync": (lambda: track.SymbolSync(sps=8, order="parabolic"), C64, "steps"),
    "RateSync": (lambda: track.RateSync(sps=8.0, m=4), C64, "steps"),
    "RateSync 17.33": (lambda: track.RateSync(sps=17.33389, m=8, ted="dttl"), C64, "steps"),
    "MpskReceiver": (lambda: track.MpskReceiver(pulse="rrc"), C64, "steps"),
    "MpskReceiver bits diff": (lambda: track.MpskReceiver(m=2, differential=1), C64, "bits"),
    "MpskReceiverR": (lambda: track.MpskReceiverR(sps=8.0, init_norm_freq=0.2, pulse="rrc"), F32, "steps"),
    "MpskReceiverR bits": (lambda: track.MpskReceiverR(sps=8.0, init_norm_freq=0.2), F32, "bits"),
    "BpskReceiver": (lambda: track.BpskReceiver(8e6, 1e6, carrier_freq_hz=1e5), C64, "steps"),
}


@pytest.mark.parametrize("name", STREAMERS)
def test_streaming_checkpoint_reset(name):
    make, dtype, method = STREAMERS[name]
    base = _rx_signal(12000)
    x = (base * np.exp(2j * np.pi * 0.2 * np.arange(len(base)))).real.astype(F32) if dtype is F32 else base
    run = lambda o, c: getattr(o, method)(c)  # noqa: E731
    final = lambda o: o.get_state()  # noqa: E731
    assert_chunk_invariant(make, run, x, trials=3, final=final)
    for cut in (1, 2, 4001, 4002, 7777):  # odd and even cuts: the real halfband pairs samples
        assert_checkpoint_continues(make, run, x, cut=cut, final=final)
    assert_reset_reproduces(make, run, x, final=final)


@pytest.mark.parametrize("name", ["SymbolSync", "RateSync", "MpskReceiver", "MpskReceiverR"])
def test_blobs_refuse_and_frame(name):
    make, dtype, method = STREAMERS[name]
    x = np.ones(800, dtype)
    assert_set_state_refusals(make, lambda o: getattr(o, method)(x))
    assert_frame_behaviour(make)


def test_blob_layouts():
    s = track.SymbolSync()
    assert s.state_bytes() == 304 and s.get_state()[:4] == b"SYNC"
    r = track.RateSync()
    blob = r.get_state()
    assert blob[:4] == b"RATS" and blob[-216:-200] [:4] == b"RSLP" and blob[-64:-60] == b"LPFL"
    rx, rr = track.MpskReceiver(), track.MpskReceiverR()
    for obj, magic, extra in [(rx, b"MPSK", 0), (rr, b"MPSR", 556)]:
        b = obj.get_state()
        assert b[:4] == magic and len(b) == obj.state_bytes()
        tail = b[len(b) - extra - 376:]
        assert tail[:4] == b"MRXL" and tail[96:100] == b"RSLP" and tail[312:316] == b"LPFL"
        if extra:
            assert b[-extra:][:4] == b"HBR2"
    # a garbage symbol-sync configuration is refused, not restored
    bad = bytearray(s.get_state())
    bad[16 + 56] = 7  # order
    with pytest.raises(ValueError, match="^set_state rejected the blob$"):
        s.set_state(bytes(bad))
