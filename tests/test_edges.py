"""The manifest of the Python names the native faces use (native/modules/EDGES.md) is
current, and every name a face reads is bound in its live module or is a builtin."""
import builtins
import importlib
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts"))

import gen_edges  # noqa: E402
from native_modules import faces  # noqa: E402

FACES = faces()


def test_manifest_is_current():
    assert gen_edges.MANIFEST.read_text(encoding="utf-8") == gen_edges.render(), (
        "native/modules/EDGES.md is stale: run scripts/gen_edges.py"
    )


PUBLIC = [face for face in FACES if face.public]  # the self-test module reads a name its tests set


@pytest.mark.parametrize("face", PUBLIC, ids=[face.name for face in PUBLIC])
def test_every_name_a_face_reads_exists(face, monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-edge-check")  # some modules build a chat model at import
    module = importlib.import_module(face.name)
    bound = {name for binding in face.bindings for name in binding.bound()}
    assert bound <= set(vars(module)), "an import the scan found binds nothing in the module"
    missing = [
        name for name in face.globals_read + face.read_at_import
        if name not in vars(module) and not hasattr(builtins, name)
    ]
    assert not missing, f"{face.name} reads names its module does not have: {missing}"
    for name in face.direct_imports:
        importlib.import_module(name)


def test_the_scan_reads_every_kind_of_use():
    [face] = [face for face in FACES if face.name == "tavrin._pyface_selftest"]
    assert [b.statement() for b in face.bindings] == [
        "import abc as abc",
        "from typing import NamedTuple as NamedTuple, Optional as Optional",
    ]
    assert face.globals_read == ["helper"]
    assert face.read_at_import == ["NamedTuple", "Shape", "abc"]
