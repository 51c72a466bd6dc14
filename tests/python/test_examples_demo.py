import math
import pathlib
import subprocess
import sys

import pytest

from tamberl import demo

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parents[2] / "examples").glob("*.py"))


def test_there_are_six_examples():
    assert len(EXAMPLES) == 6


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_example_runs(path):
    out = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip()


def test_demo_ber_curve_within_half_a_db_of_theory():
    for eb, ber, nbits in demo.ber_curve(4, 8, [2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0], progress=False):
        lo, hi = demo.theory_ber(4, eb + 0.5), demo.theory_ber(4, eb - 0.5)
        slack = 3 / nbits  # at 9 dB only a handful of errors are expected
        assert lo - slack < ber < hi + slack, (eb, ber, lo, hi)


def test_demo_link_report_and_frames(capsys):
    link = demo.run_link(6.0, 4, 8, frames=12)
    assert 0 <= link.lock_time < 2000 and link.frames_passed >= 10
    assert abs(link.esno_measured_db - (6.0 + 10 * math.log10(2))) < 1.0
    assert demo.main(["--no-plots"]) == 0
    text = capsys.readouterr().out
    assert "BER" in text and "frames" in text and "throughput" in text


def test_demo_figures(tmp_path):
    pytest.importorskip("matplotlib")
    assert demo.main(["--out", str(tmp_path), "--m", "2"]) == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ber.png", "constellation.png", "lock.png", "spectrum.png"]
