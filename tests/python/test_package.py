import ast
import inspect
import pathlib

import pytest

import tamberl
from tamberl import lox, qmath, sfc, sig, spectral, track


MODULES = [qmath, track, sfc, spectral, lox, sig]


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
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
    (track, ["LoopFilter", "Costas", "CarrierNda", "CarrierMpsk", "Dll", "SymbolSync", "RateSync", "MpskReceiver",
             "MpskReceiverR", "BpskReceiver"]),
    (spectral, ["FFT", "FFT2D", "Corr", "Corr2D", "CorrDetector", "CorrDetector2D", "PSD"]),
    (lox, ["LOX", "Loxr", "MatchedLOX", "MatchedLoxr"]),
    (sig, ["PN", "Gold", "Frame", "FrameDesc", "Viterbi", "HdlcRx", "HdlcTx", "BitLine", "SyncSearch",
          "NrzConditioner", "FrameLayout", "FrameCheck", "FrameChecks"]),
])
def test_types_are_registered_in_order_with_module_names(module, types):
    assert [n for n in vars(module) if n[0].isupper()] == types
    short = module.__name__.split(".")[-1]
    # object types carry the short module name, record (struct-sequence) types the package path
    assert all(getattr(module, t).__module__ in (short, module.__name__) for t in types)


def _stub_params(fn):
    """(name, default source or None) of a stub function, self and markers dropped."""
    a = fn.args
    pos = a.posonlyargs + a.args
    defaults = [None] * (len(pos) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    out = [(p.arg, d) for p, d in zip(pos, defaults)]
    out += [(p.arg, None if d is None else ast.unparse(d)) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.vararg:
        out.append(("*" + a.vararg.arg, None))
    return [p for p in out if p[0] != "self"]


def _runtime_params(obj):
    sig = inspect.signature(obj)
    out = []
    for p in sig.parameters.values():
        if p.name == "self":
            continue
        name = "*" + p.name if p.kind is p.VAR_POSITIONAL else p.name
        out.append((name, None if p.default is p.empty else repr(p.default)))
    return out


def _same_default(stub, runtime):
    if stub is None or runtime is None:
        return stub == runtime
    return ast.literal_eval(stub) == ast.literal_eval(runtime)


def _class_methods(node, classes):
    """The stub's methods of a class, those of its private stub bases included."""
    methods = {}
    for base in node.bases:
        name = base.value.id if isinstance(base, ast.Subscript) else getattr(base, "id", None)
        if name in classes:
            methods.update(_class_methods(classes[name], classes))
    methods.update({m.name: m for m in node.body if isinstance(m, ast.FunctionDef)})
    return methods


def _stub_classes(name):
    tree = ast.parse(pathlib.Path(tamberl.__file__).with_name(name + ".pyi").read_text())
    return tree, {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}


def _signature_cases():
    frame = _stub_classes("_frame")[1]  # the standard methods every module's stubs derive from
    for module in MODULES:
        tree, own = _stub_classes(module.__name__.split(".")[-1])
        classes = {**frame, **own}
        for node in tree.body:
            if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
                yield module.__name__ + "." + node.name, getattr(module, node.name), node
            elif isinstance(node, ast.ClassDef) and hasattr(module, node.name):  # stub-only bases are not module members
                cls = getattr(module, node.name)
                for m in _class_methods(node, classes).values():
                    if m.decorator_list:
                        continue
                    target = cls if m.name == "__init__" else getattr(cls, m.name)
                    yield f"{module.__name__}.{node.name}.{m.name}", target, m


@pytest.mark.parametrize("name,obj,node", list(_signature_cases()), ids=lambda v: v if isinstance(v, str) else "")
def test_docstring_signatures_match_the_stubs(name, obj, node):
    """The text signature in each docstring (what help() and inspect show) names
    the stub's parameters in order, with the same defaults."""
    stub, runtime = _stub_params(node), _runtime_params(obj)
    assert [p[0] for p in stub] == [p[0] for p in runtime], name
    for (pname, s), (_, r) in zip(stub, runtime):
        assert _same_default(s, r), f"{name}: {pname} defaults to {r} at run time, {s} in the stub"


def test_stubs_pass_mypy_strict(tmp_path):
    """A script using every public name type-checks against the stubs."""
    mypy = pytest.importorskip("mypy.api")
    script = pathlib.Path(__file__).with_name("typing_script.py")
    out, err, status = mypy.run(["--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                                 str(script)])
    assert status == 0, out + err
    # the pure-Python parts of the package are held to the same standard
    package = pathlib.Path(__file__).resolve().parents[2] / "python" / "tamberl"
    out, err, status = mypy.run(["--strict", "--no-error-summary", "--ignore-missing-imports",  # matplotlib is optional
                                 "--cache-dir", str(tmp_path / "cache"), str(package / "rx"),
                                 str(package / "_persist.py")])
    assert status == 0, out + err


def test_typing_script_runs():
    import runpy
    runpy.run_path(str(pathlib.Path(__file__).with_name("typing_script.py")))


def test_installed_package_holds_only_its_own_files():
    """No wheels, archives or other strays ride along into site-packages:
    modules, stubs, the extension modules, and the decoder's satellite table."""
    root = pathlib.Path(tamberl.__file__).parent
    extensions = {m.__name__.split(".")[-1] for m in MODULES}
    own = lambda p: (p.is_dir() or p.suffix in (".py", ".pyi") or p.name == "py.typed"  # noqa: E731
                     or (p.suffix == ".so" and p.name.split(".")[0] in extensions)
                     or p.relative_to(root).as_posix() == "rx/satellites.json")
    stray = [p.relative_to(root).as_posix() for p in root.rglob("*") if "__pycache__" not in p.parts and not own(p)]
    assert stray == []
