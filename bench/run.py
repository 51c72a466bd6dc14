"""Runs every benchmark in this folder: `make bench`."""
import importlib
import pathlib
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
for path in sorted(here.glob("bench_*.py")):
    importlib.import_module(path.stem).main()
