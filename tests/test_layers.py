"""The host's layers point one way: a module imports only from its own layer and those below."""

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[1] / "python" / "tavrin"

# Top to bottom; the first prefix that matches a module places it, and what no prefix
# matches is the domain layer (the question sets, reports, store, chains, metrics and the
# native faces).
LAYERS = [
    ("command line", ("tavrin.cli", "tavrin.__main__")),
    ("commands", ("tavrin.commands", "tavrin.ask_codebase.commands",
                  "tavrin.evaluation.retrieval.commands", "tavrin.evaluation.retrieval.ground_truth_commands")),
    ("run", ("tavrin.evaluation.qa.run", "tavrin.evaluation.qa.concurrent")),
    ("domain", ()),
    ("foundation", ("tavrin._", "tavrin.errors")),
]
DOMAIN = 3


def _layer(module: str) -> int:
    for rank, (_, prefixes) in enumerate(LAYERS):
        if any(module == p or module.startswith(p if p.endswith("_") else p + ".") for p in prefixes):
            return rank
    return DOMAIN


def _imports(path: Path):
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            yield node.module
            if node.module == "tavrin":  # from tavrin import _llm
                yield from (f"tavrin.{alias.name}" for alias in node.names)


def test_imports_point_down_the_layers():
    names = [name for name, _ in LAYERS]
    upward = []
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        module = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        for target in _imports(path):
            if target.startswith("tavrin.") and _layer(target) < _layer(module):
                upward.append(f"{module} ({names[_layer(module)]}) imports {target} ({names[_layer(target)]})")
    assert not upward, "\n".join(upward)


def test_native_faces_import_only_down_the_layers():
    """A native module's imports (at load, or when its functions run) obey the same layers."""
    import sys

    sys.path.insert(0, str(PACKAGE.parents[1] / "scripts"))
    from native_modules import faces

    names = [name for name, _ in LAYERS]
    upward = []
    for face in faces():
        targets = [binding.module for binding in face.bindings] + list(face.direct_imports)
        for target in targets:
            if target.startswith("tavrin.") and _layer(target) < _layer(face.name):
                upward.append(f"{face.name} ({names[_layer(face.name)]}) imports {target} ({names[_layer(target)]})")
    assert not upward, "\n".join(upward)


def test_no_host_function_is_over_a_hundred_lines_nor_module_over_six_hundred():
    """Counted from its ``def`` line to its last (a command's click decorators not counted)."""
    long = []
    for path in sorted(PACKAGE.rglob("*.py")):
        if len(path.read_text(encoding="utf-8").splitlines()) > 600:
            long.append(f"{path.relative_to(PACKAGE)}: module over 600 lines")
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and node.end_lineno - node.lineno >= 100:
                long.append(f"{path.relative_to(PACKAGE)}: {node.name} ({node.end_lineno - node.lineno + 1} lines)")
    assert not long, "\n".join(long)
