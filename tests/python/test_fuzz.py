"""Every type of every extension module survives hostile use (fuzz_driver.py),
each module in a child process so that a crash is a failure, not an abort."""
import os
import pathlib
import subprocess
import sys

import pytest

import tamberl

MODULES = ["tamberl." + m for m in ("qmath", "track", "spectral", "sfc", "sig", "lox")]
HERE = pathlib.Path(__file__).resolve().parent


def available(name):
    try:
        __import__(name)
        return True
    except ImportError:
        return False


@pytest.mark.parametrize("module", [m for m in MODULES if available(m)])
def test_hostile_use_never_crashes(module):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    r = subprocess.run([sys.executable, str(HERE / "fuzz_driver.py"), module, "1"], capture_output=True, text=True,
                       timeout=300, env=env)
    assert r.returncode == 0, f"exit {r.returncode}\n{r.stdout[-2000:]}\n{r.stderr[-4000:]}"
    assert r.stdout.split(), "no type was fuzzed"
