"""Pickle and copy for every tamberl type: the Python half of the frame's
persistence.

An object is rebuilt from its history: the constructor call, then the
configuration calls its type journals (those whose effect the state blob
does not carry), replayed in order, then its state blob.  The extension
modules call `start` when an object is initialised, `note` after each
journaled call succeeded, and `reduce` from ``__reduce__``; `rebuild` runs
when a pickle is loaded or an object is copied.

Arguments are recorded as private copies (arrays copied, sequences copied
element by element), never by reference, so an array its caller changes
later does not change the copy.  Only values whose conversion cannot run
foreign code are recorded: plain numbers, strings, bytes, NumPy arrays and
scalars, lists and tuples of these, and tamberl objects (recorded as copies
of themselves).  Anything else (an object with its own ``__array__`` or
``__float__``, say) makes the history unrecordable, and pickling the object
then refuses instead of building a copy that might differ.
"""
from __future__ import annotations

import copy
import importlib
import warnings
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

_PLAIN = (bool, int, float, complex, str, bytes, type(None))
# One recorded call: kind ("m" method, "a" attribute), name, positional
# arguments (or Unrecorded), keyword arguments.
Entry = Tuple[str, str, Any, Dict[str, Any]]
_MODULES = ("qmath", "track", "spectral", "sig", "siggen", "lox", "sfc")


class Unrecorded:
    """Stands in a history for an argument that could not be recorded."""

    def __init__(self, what: str) -> None:
        self.what = what


class _Refuse(Exception):
    pass


def _copy(v: Any) -> Any:
    t = type(v)
    if t in _PLAIN or isinstance(v, np.generic) and not isinstance(v, np.object_):
        return v
    if isinstance(v, np.ndarray):
        if v.dtype.hasobject:
            raise _Refuse("an object array")
        return np.array(v, copy=True, subok=False)
    if t is list or t is tuple:
        return t(_copy(e) for e in v)
    if t is bytearray:
        return bytearray(v)
    if t is memoryview:
        return np.array(v, copy=True)
    if t.__module__ in _MODULES and hasattr(t, "destroy"):
        try:
            return copy.deepcopy(v)
        except Exception as e:  # a busy or unpicklable argument
            raise _Refuse(f"a {t.__name__} that could not be copied ({e})") from None
    raise _Refuse(f"a {t.__module__}.{t.__qualname__}")


def _entry(kind: str, name: str, args: Any, kw: Any) -> Entry:
    try:
        return (kind, name, tuple(_copy(a) for a in (args or ())),
                {k: _copy(v) for k, v in (kw or {}).items()})
    except _Refuse as e:
        return (kind, name, Unrecorded(f"{name}() was given {e}"), {})


def start(args: Any, kw: Any) -> List[Entry]:
    """A new history: the constructor call."""
    return [_entry("m", "__init__", args, kw)]


def note(journal: List[Entry], kind: str, name: str, args: Any, kw: Any, fold: bool) -> None:
    """Appends a successful call; a folding call repeated back to back
    replaces its previous record."""
    e = _entry(kind, name, args, kw)
    if fold and len(journal) > 1 and journal[-1][:2] == (kind, name):
        journal[-1] = e
    else:
        journal.append(e)


def reduce(home: Optional[str], name: str, journal: Optional[List[Entry]], blob: Optional[bytes],
           live: bool) -> Tuple[Any, Tuple[Any, ...]]:
    if home is None:
        raise TypeError(f"cannot pickle {name}: its module is not known")
    if not live:
        return rebuild, (home, name, None, None)
    if journal is None:
        raise TypeError(f"cannot pickle this {name}: its configuration history could not be kept")
    for _, _, args, _ in journal:
        if isinstance(args, Unrecorded):
            raise TypeError(f"cannot pickle this {name}: {args.what}, which cannot be recorded; "
                            f"pass numbers, strings or arrays")
    return rebuild, (home, name, tuple(journal), blob)


def rebuild(home: str, name: str, journal: Optional[Tuple[Entry, ...]], blob: Optional[bytes]) -> Any:
    """The object a history describes: constructed, configured, restored.
    With no history, an object that reads as destroyed."""
    cls = getattr(importlib.import_module(home), name)
    obj = cls.__new__(cls)
    if journal is None:
        return obj
    with warnings.catch_warnings():  # the original already warned
        warnings.simplefilter("ignore")
        for kind, attr, args, kw in journal:
            if kind == "a":
                setattr(obj, attr, args[0])
            else:
                getattr(obj, attr)(*args, **kw)
    if blob is not None:
        obj.set_state(blob)
    return obj
