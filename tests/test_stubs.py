"""The type stubs of the extension modules are generated (scripts/gen_stubs.py) from
the modules' FuncDef tables; the committed copies are golden files. Each is
regenerated from the built module here and must be identical, and no stub may
outlive its module."""
import ast
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts"))

import gen_stubs  # noqa: E402
from native_modules import faces  # noqa: E402

PUBLIC = [face for face in faces() if face.public]


@pytest.fixture(autouse=True)
def model_key(monkeypatch):
    # some modules build a chat model at import, which wants a key (no request is made)
    monkeypatch.setenv("OPENAI_API_KEY", "sk-stub-check")


@pytest.mark.parametrize("face", PUBLIC, ids=[face.name for face in PUBLIC])
def test_stub_is_the_generated_one(face):
    # every public module is built: an import error fails here, it is not skipped
    generated = gen_stubs.generate(face)
    ast.parse(generated, filename=str(face.stub_path))
    assert face.stub_path.exists(), f"{face.name} has no stub: run scripts/gen_stubs.py"
    committed = face.stub_path.read_text(encoding="utf-8")
    assert committed == generated, (
        f"{face.stub_path.relative_to(ROOT)} is stale: run "
        f"PYTHONPATH=build/dev/stage .venv/bin/python scripts/gen_stubs.py {face.name}"
    )


def test_every_stub_belongs_to_a_module():
    stubs = {path for path in (ROOT / "python" / "tavrin").rglob("*.pyi")}
    assert stubs == {face.stub_path for face in PUBLIC}


def test_stub_lists_what_the_module_defines_and_binds():
    # the generator itself, on a module whose every kind of member is known
    from tavrin import _pyface_selftest as st
    face = next(face for face in faces() if face.name == "tavrin._pyface_selftest")
    text = gen_stubs.StubWriter(face, st).write()
    for line in [
        "import abc as abc",
        "from typing import NamedTuple as NamedTuple, Optional as Optional",
        "def signature_demo(self, json_path: str, markdown_path: Optional[str] = None, verbose: bool = False):",
        '    """Return the bound arguments."""',
        "def typed(s: str, i: int, l: list, d: dict, f: float, o: Optional[list] = None, *, k: str = 'x') -> str: ...",
        "def collect(a, *args, **kwargs): ...",
        "class Shape(abc.ABC):",
        "    @abc.abstractmethod\n    def area(self): ...",
        "class Square(Shape):",
        "    def __init__(self, side: float) -> None: ...",
        "    @classmethod\n    def unit(cls): ...",
        "    @property\n    def label(self): ...",
        "    sides: int",
        "class Point(NamedTuple):\n    x: int\n    y: int = 0",
    ]:
        assert line in text, f"{line!r} not in\n{text}"
