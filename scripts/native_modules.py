"""The extension modules of the build and the Python names their faces use.

Shared by gen_stubs.py and gen_edges.py. Reads CMakeLists.txt for the modules
and their sources, and scans those sources for the names a face binds at
import (``m.import``, ``m.from``, ``m.from_as``), the module globals it reads
when it runs (``c.global("...")``, ``lookup_global(..., "...")``,
``m.get("...")``) and the modules it imports directly
(``nb::module_::import_("...")``).
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MODULES_DIR = ROOT / "native" / "modules"

_ADD_MODULE = re.compile(r"^\s*tavrin_add_module\(([^)]*)\)", re.M)
_STRING = r'"((?:[^"\\]|\\.)*)"'
_IMPORT = re.compile(r"\bm\.import\(\s*" + _STRING + r"(?:\s*,\s*" + _STRING + r")?\s*\)")
_FROM = re.compile(r"\bm\.from\(\s*" + _STRING + r"\s*,\s*\{([^}]*)\}\s*\)")
_FROM_AS = re.compile(r"\bm\.from_as\(\s*" + _STRING + r"\s*,\s*" + _STRING + r"\s*,\s*" + _STRING + r"\s*\)")
_GLOBAL = re.compile(r"\b(?:c\.global\(|lookup_global\((?:[^,()]|\([^()]*\))*,)\s*" + _STRING)
_AT_IMPORT = re.compile(r"\b(?:m\.get\(|dflt_global\()\s*" + _STRING)
_DIRECT = re.compile(r"\bnb::module_::import_\(\s*" + _STRING + r"\s*\)")


@dataclass
class Binding:
    """One import statement a face runs when its module is loaded."""

    module: str
    names: list[tuple[str, str]] = field(default_factory=list)  # (name, bound as); empty: `import module`
    alias: str | None = None  # `import module as alias`

    def bound(self) -> list[str]:
        if not self.names:
            return [self.alias or self.module.partition(".")[0]]
        return [alias for _, alias in self.names]

    def statement(self) -> str:
        if not self.names:
            if self.alias:
                return f"import {self.module} as {self.alias}"
            return f"import {self.module} as {self.module}" if "." not in self.module else f"import {self.module}"
        return f"from {self.module} import " + ", ".join(f"{n} as {a}" for n, a in self.names)


@dataclass
class Face:
    """An extension module: its dotted name, sources and the names it uses."""

    name: str
    sources: list[Path]
    bindings: list[Binding] = field(default_factory=list)
    globals_read: list[str] = field(default_factory=list)  # when a function runs
    read_at_import: list[str] = field(default_factory=list)  # while the module body runs
    direct_imports: list[str] = field(default_factory=list)

    @property
    def public(self) -> bool:
        return not self.name.rpartition(".")[2].startswith("_")

    @property
    def stub_path(self) -> Path:
        return ROOT / "python" / Path(*self.name.split(".")).with_suffix(".pyi")


def _strip_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"(?m)//.*$", "", text)


def scan(face: Face) -> Face:
    for source in face.sources:
        text = _strip_comments(source.read_text(encoding="utf-8"))
        found = []
        for m in _IMPORT.finditer(text):
            found.append((m.start(), Binding(m.group(1), alias=m.group(2))))
        for m in _FROM.finditer(text):
            names = re.findall(_STRING, m.group(2))
            found.append((m.start(), Binding(m.group(1), [(n, n) for n in names])))
        for m in _FROM_AS.finditer(text):
            found.append((m.start(), Binding(m.group(1), [(m.group(2), m.group(3))])))
        face.bindings += [b for _, b in sorted(found, key=lambda pair: pair[0])]
        face.globals_read += [m.group(1) for m in _GLOBAL.finditer(text)]
        face.read_at_import += [m.group(1) for m in _AT_IMPORT.finditer(text)]
        face.direct_imports += [m.group(1) for m in _DIRECT.finditer(text)]
    face.globals_read = sorted(set(face.globals_read))
    face.read_at_import = sorted(set(face.read_at_import))
    face.direct_imports = sorted(set(face.direct_imports))
    return face


def faces() -> list[Face]:
    """Every extension module listed in CMakeLists.txt, scanned."""
    out = []
    for m in _ADD_MODULE.finditer((ROOT / "CMakeLists.txt").read_text(encoding="utf-8")):
        dotted, *sources = m.group(1).split()
        if not sources:
            sources = [dotted.replace(".", "/") + ".cpp"]
        out.append(scan(Face("tavrin." + dotted, [MODULES_DIR / s for s in sources])))
    return out
