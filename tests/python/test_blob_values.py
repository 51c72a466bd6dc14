"""A state blob may not carry a value the object's own checks would refuse:
configuration fields are vetted on restore, the object is left unchanged,
and a refused blob never stops it from taking its own valid blobs again."""
import numpy as np
import pytest

from tamberl import track

CODE = np.array([0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 0], np.uint8)


def dll_in_period_mode():
    d = track.Dll(code=CODE, segments=3)
    d.set_symbol_period(7.5)
    return d


def offsets_of(blob_a, blob_b, value):
    """Byte offsets where blob_a holds the double `value` inside the region
    where it differs from blob_b: the field a keyword set."""
    diff = [i for i in range(16, len(blob_a)) if blob_a[i] != blob_b[i]]
    lo, hi = max(16, diff[0] - 7), min(len(blob_a) - 8, diff[-1])
    raw = np.array([value], np.float64).tobytes()
    return [i for i in range(lo, hi + 1) if blob_a[i:i + 8] == raw]


# (make with the field at `a`, make with it at `b`, a): two objects that differ
# only in one vetted configuration value.
FIELDS = {
    "LoopFilter.bn": (lambda v: track.LoopFilter(bn=v), 0.02, 0.03),
    "LoopFilter.zeta": (lambda v: track.LoopFilter(zeta=v), 0.707, 0.8),
    "SymbolSync.bn": (lambda v: track.SymbolSync(bn=v), 0.01, 0.02),
    "SymbolSync.zeta": (lambda v: track.SymbolSync(zeta=v), 0.707, 0.9),
    "RateSync.zeta": (lambda v: track.RateSync(zeta=v), 0.707, 0.9),
    "MpskReceiver.zeta": (lambda v: track.MpskReceiver(zeta=v), 0.707, 0.9),
    "Dll.period": (lambda v: (lambda d: (d.set_symbol_period(v), d)[1])(track.Dll(code=CODE, segments=3)), 7.5, 9.25),
}
POISON = [np.nan, np.inf, -np.inf, -1.0]


@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize("bad", POISON, ids=str)
def test_blob_with_a_refused_configuration_value_is_refused(field, bad):
    make, a, b = FIELDS[field]
    obj = make(a)
    good = obj.get_state()
    at = offsets_of(good, make(b).get_state(), a)
    assert at, f"{field} not found in the blob"
    for i in at:
        blob = bytearray(good)
        blob[i:i + 8] = np.array([bad], np.float64).tobytes()
        with pytest.raises(ValueError):
            obj.set_state(bytes(blob))
        assert obj.get_state() == good
    obj.set_state(good)


@pytest.mark.parametrize("make", [lambda: track.Dll(code=CODE, segments=3), dll_in_period_mode],
                         ids=["off", "period"])
def test_no_blob_the_dll_accepts_stops_it_taking_its_own(make):
    """The fault this guards: a NaN period was accepted, and from then on no
    blob compared equal to the object's geometry again."""
    d = make()
    d.steps(np.ones(400, np.complex64))
    good = d.get_state()
    for i in range(16, len(good) - 7):
        blob = bytearray(good)
        blob[i:i + 8] = np.array([np.nan], np.float64).tobytes()
        try:
            d.set_state(bytes(blob))
        except ValueError:
            continue
        d.set_state(d.get_state())
        d.set_state(good)
    assert d.get_state() == good


TELEMETRY_TYPES = {
    "Costas": track.Costas, "CarrierNda": track.CarrierNda, "Dll": lambda: track.Dll(code=CODE), "SymbolSync": track.SymbolSync, "RateSync": track.RateSync,
    "MpskReceiver": track.MpskReceiver, "MpskReceiverR": track.MpskReceiverR,
    "BpskReceiver": lambda: track.BpskReceiver(8e6, 1e6),
}


@pytest.mark.parametrize("name", list(TELEMETRY_TYPES))
@pytest.mark.parametrize("bad", [[1, 2], "tlm", 3, np.zeros(4), object()], ids=lambda v: type(v).__name__)
def test_set_telemetry_with_something_else_is_a_type_error(name, bad):
    obj = TELEMETRY_TYPES[name]()
    assert hasattr(obj, "set_telemetry")
    with pytest.raises(TypeError, match=r"tamberl\.telemetry\.Telemetry or None"):
        obj.set_telemetry(bad, "p")
    obj.set_telemetry(None, "p")  # still usable


def test_every_track_type_that_publishes_is_covered():
    publishing = {n for n in dir(track) if hasattr(getattr(track, n), "set_telemetry")}
    assert publishing == set(TELEMETRY_TYPES)
