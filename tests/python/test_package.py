import ast
import pathlib

import pytest

import tamberl
from tamberl import qmath, sfc, spectral, track


@pytest.mark.parametrize("module", [qmath, track, sfc, spectral], ids=lambda m: m.__name__)
def test_stubs_name_exactly_the_public_members(module):
    stub = pathlib.Path(tamberl.__file__).with_name(module.__name__.split(".")[-1] + ".pyi")
    tree = ast.parse(stub.read_text())
    declared = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef)) and n.name[0] != "_"}
    public = {n for n in dir(module) if not n.startswith("_")}
    assert declared == public
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name[0] != "_":
            cls = getattr(module, node.name)
            names = {m.name for m in ast.walk(node) if isinstance(m, ast.FunctionDef) and not m.name.startswith("__")}
            missing = {n for n in names if not hasattr(cls, n)}
            assert not missing, f"{node.name}: {missing}"


@pytest.mark.parametrize("module,types", [
    (qmath, ["AccQ15", "AccQ8"]),
    (track, ["LoopFilter", "Costas"]),
    (spectral, ["FFT", "FFT2D", "PSD"]),
])
def test_types_are_registered_in_order_with_module_names(module, types):
    assert [n for n in vars(module) if n[0].isupper()] == types
    short = module.__name__.split(".")[-1]
    assert all(getattr(module, t).__module__ == short for t in types)
