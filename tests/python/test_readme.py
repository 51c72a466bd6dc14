"""The README's Python snippets run as written, each on its own."""
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
SNIPPETS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


def test_there_are_snippets():
    assert len(SNIPPETS) >= 3


@pytest.mark.parametrize("code", SNIPPETS, ids=[f"snippet{i}" for i in range(len(SNIPPETS))])
def test_snippet_runs(code, capsys, monkeypatch):
    monkeypatch.chdir(README.parent)  # snippets name files relative to the project
    exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})


def test_module_table_lists_modules_that_exist():
    import importlib

    text = README.read_text()
    table = text[text.index("## Modules"):text.index("## Examples")]
    for name in re.findall(r"^\| `(tamberl\.\w+)`", table, re.M):
        importlib.import_module(name)
    import tamberl
    for name in re.findall(r"``(tamberl\.\w+)``", tamberl.__doc__):
        importlib.import_module(name)
