"""Every type stub shipped in the package agrees with the live module it describes:
same functions, methods and classes, same parameters (names, kinds, defaults),
same annotation strings, same docstrings where the stub gives one."""
import ast
import importlib
import importlib.util
import inspect
import os
import re
import types
from pathlib import Path

import click
import pytest

import tavrin

PACKAGE_DIR = Path(tavrin.__file__).parent
SOURCE_DIR = Path(__file__).resolve().parents[1] / "python" / "tavrin"

# Present in every build: their stubs are never skipped.
REQUIRED = {
    "tavrin.evaluation.qa.evaluation",
    "tavrin.evaluation.qa.evaluable.pivra",
    "tavrin.evaluation.qa.commands.resume",
    "tavrin.evaluation.qa.commands.markdown",
}

DECORATOR_KINDS = {"classmethod": classmethod, "staticmethod": staticmethod, "property": property}


def find_stubs():
    """(module name, stub path) for every public module stub; the installed
    package's copy wins over the source tree's."""
    found = {}
    for root in (PACKAGE_DIR, SOURCE_DIR):
        if not root.is_dir():
            continue
        for path in root.rglob("*.pyi"):
            parts = path.relative_to(root).with_suffix("").parts
            if parts[-1].startswith("_"):
                continue
            found.setdefault(".".join(("tavrin",) + parts), path)
    return sorted(found.items())


# ---------------------------------------------------------------- comparison

def norm(text):
    return re.sub(r"\s+", "", text)


def stub_annotation(node):
    if node is None:
        return None
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return norm(node.value)
    return norm(ast.unparse(node))


def live_annotation(value):
    if value is inspect.Parameter.empty:
        return None
    return norm(value if isinstance(value, str) else inspect.formatannotation(value))


def stub_parameters(fn):
    """[(name, kind, default source or None or ..., annotation)] of a stub def."""
    a = fn.args
    P = inspect.Parameter
    positional = [(arg, P.POSITIONAL_ONLY) for arg in a.posonlyargs] + \
                 [(arg, P.POSITIONAL_OR_KEYWORD) for arg in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    entries = [(arg, kind, d) for (arg, kind), d in zip(positional, defaults)]
    if a.vararg:
        entries.append((a.vararg, P.VAR_POSITIONAL, None))
    entries += [(arg, P.KEYWORD_ONLY, d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        entries.append((a.kwarg, P.VAR_KEYWORD, None))
    out = []
    for arg, kind, d in entries:
        if d is None:
            default = None
        elif isinstance(d, ast.Constant) and d.value is Ellipsis:
            default = ...  # "has a default", value not stated
        else:
            default = ast.unparse(d)
        out.append((arg.arg, kind, default, stub_annotation(arg.annotation)))
    return out


def compare_docstring(node, live, where, problems):
    doc = ast.get_docstring(node, clean=True)
    if doc is not None and inspect.cleandoc(getattr(live, "__doc__", None) or "") != doc:
        problems.append(f"{where}: docstring differs: stub {doc!r}, live {live.__doc__!r}")


def compare_function(node, func, where, problems):
    try:
        sig = inspect.signature(func)
    except (TypeError, ValueError) as e:
        problems.append(f"{where}: no signature ({e})")
        return
    live = list(sig.parameters.values())
    stub = stub_parameters(node)
    if [(n, k) for n, k, _, _ in stub] != [(p.name, p.kind) for p in live]:
        problems.append(f"{where}: parameters differ: stub "
                        f"{[(n, k.name) for n, k, _, _ in stub]}, live {sig}")
        return
    for (name, _, sdef, sann), p in zip(stub, live):
        has_live_default = p.default is not p.empty
        if sdef is None:
            same = not has_live_default
        elif sdef is ...:
            same = has_live_default
        else:
            same = has_live_default and sdef == repr(p.default)
        if not same:
            problems.append(f"{where}: default of {name!r}: stub {sdef!r}, live "
                            f"{repr(p.default) if has_live_default else 'none'}")
        lann = live_annotation(p.annotation)
        if sann != lann:
            problems.append(f"{where}: annotation of {name!r}: stub {sann!r}, live {lann!r}")
    sret, lret = stub_annotation(node.returns), live_annotation(sig.return_annotation)
    if sret != lret:
        problems.append(f"{where}: return annotation: stub {sret!r}, live {lret!r}")
    compare_docstring(node, func, where, problems)


def compare_method(node, cls, where, problems):
    try:
        raw = inspect.getattr_static(cls, node.name)
    except AttributeError:
        problems.append(f"{where}: missing in the live class")
        return
    decorators = {ast.unparse(d).rpartition(".")[2] for d in node.decorator_list}
    func = raw
    for name, kind in DECORATOR_KINDS.items():
        if (name in decorators) != isinstance(raw, kind):
            problems.append(f"{where}: stub {'is' if name in decorators else 'is not'} "
                            f"a {name}, live is {type(raw).__name__}")
            return
        if isinstance(raw, kind):
            func = raw.fget if kind is property else raw.__func__
    if ("abstractmethod" in decorators) != bool(getattr(func, "__isabstractmethod__", False)):
        problems.append(f"{where}: abstract in one of stub and live only")
    compare_function(node, func, where, problems)


def resolve(expr, module):
    return eval(ast.unparse(expr), vars(module))  # names the live module binds


def compare_class(node, cls, where, problems, module):
    if not isinstance(cls, type):
        problems.append(f"{where}: live object is not a class: {cls!r}")
        return
    live_bases = cls.__dict__.get("__orig_bases__", cls.__bases__)
    try:
        stub_bases = tuple(resolve(b, module) for b in node.bases) or (object,)
    except Exception:
        stub_bases = tuple(ast.unparse(b) for b in node.bases) or ("object",)
        live_bases = tuple(b.__name__ for b in live_bases)
    if stub_bases != live_bases:
        problems.append(f"{where}: bases differ: stub {stub_bases}, live {live_bases}")
    compare_docstring(node, cls, where, problems)
    declared = set()
    for item in node.body:
        if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
            declared.add(item.name)
            if any(ast.unparse(d).rpartition(".")[2] in ("setter", "deleter", "overload")
                   for d in item.decorator_list):
                continue
            compare_method(item, cls, f"{where}.{item.name}", problems)
        elif isinstance(item, ast.ClassDef):
            declared.add(item.name)
            compare_class(item, getattr(cls, item.name, None), f"{where}.{item.name}",
                          problems, module)
        elif isinstance(item, (ast.AnnAssign, ast.Assign)):
            targets = [item.target] if isinstance(item, ast.AnnAssign) else item.targets
            declared.update(t.id for t in targets if isinstance(t, ast.Name))
    fields = cls.__dict__.get("_fields")
    if isinstance(fields, tuple) and issubclass(cls, tuple):  # a named tuple record
        stub_fields = [i for i in node.body
                       if isinstance(i, ast.AnnAssign) and isinstance(i.target, ast.Name)]
        if tuple(i.target.id for i in stub_fields) != fields:
            problems.append(f"{where}: fields: stub {[i.target.id for i in stub_fields]}, "
                            f"live {fields}")
        stub_defaults = {i.target.id: ast.unparse(i.value) for i in stub_fields if i.value}
        live_defaults = {k: repr(v) for k, v in cls._field_defaults.items()}
        if stub_defaults != live_defaults:
            problems.append(f"{where}: field defaults: stub {stub_defaults}, live {live_defaults}")
    for name, value in vars(cls).items():
        if not name.startswith("_") and name not in declared and \
                (inspect.isroutine(value) or isinstance(value, (classmethod, staticmethod, property))):
            problems.append(f"{where}.{name}: defined in the live class, missing from the stub")


def defined_in(obj, modname):
    if isinstance(obj, click.Command):
        obj = obj.callback
    return (inspect.isclass(obj) or inspect.isroutine(obj)) and \
        getattr(obj, "__module__", None) == modname


def compare_reexport(node, module, problems):
    for alias in node.names:
        if alias.asname != alias.name:
            continue  # only `X as X` re-exports are part of the module's names
        name = alias.asname
        if isinstance(node, ast.Import):
            expected = importlib.import_module(alias.name)
        else:
            source = importlib.import_module("." * node.level + (node.module or ""),
                                             package=module.__name__.rpartition(".")[0])
            expected = getattr(source, alias.name)
        if not hasattr(module, name):
            problems.append(f"{name}: imported in the stub, not bound in the live module")
        elif getattr(module, name) is not expected:
            problems.append(f"{name}: live module binds a different object than the stub says")


def stub_mismatches(stub_text, module):
    """Every disagreement between a stub's text and the live module."""
    tree = ast.parse(stub_text)
    problems, declared = [], set()
    modname = module.__name__
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            compare_reexport(node, module, problems)
            continue
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names = [node.name]
        elif isinstance(node, ast.AnnAssign):
            names = [node.target.id] if isinstance(node.target, ast.Name) else []
        elif isinstance(node, ast.Assign):
            names = [t.id for t in node.targets if isinstance(t, ast.Name)]
        else:
            continue
        declared.update(names)
        for name in names:
            if not hasattr(module, name):
                problems.append(f"{name}: declared in the stub, missing from the live module")
        if not names or not hasattr(module, names[0]):
            continue
        live = getattr(module, names[0])
        if isinstance(node, ast.ClassDef):
            compare_class(node, live, node.name, problems, module)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            # a click command is declared as its callback
            func = live.callback if isinstance(live, click.Command) else live
            compare_function(node, func, node.name, problems)
        elif isinstance(node, ast.AnnAssign):
            try:
                kind = resolve(node.annotation, module)
            except Exception:
                continue
            if isinstance(kind, type) and not isinstance(live, kind):
                problems.append(f"{node.target.id}: live {type(live).__name__}, stub says "
                                f"{ast.unparse(node.annotation)}")
    for name, value in vars(module).items():
        if not name.startswith("_") and name not in declared and defined_in(value, modname):
            problems.append(f"{name}: defined in the live module, missing from the stub")
    return problems


# ---------------------------------------------------------------- the stubs

@pytest.fixture(autouse=True)
def model_key(monkeypatch):
    # some modules build a chat model at import, which wants a key (no request is made)
    if not os.environ.get("OPENAI_API_KEY"):
        monkeypatch.setenv("OPENAI_API_KEY", "sk-stub-check")


def test_foundation_stubs_are_found():
    assert REQUIRED <= {name for name, _ in find_stubs()}


@pytest.mark.parametrize("modname, stub", find_stubs(), ids=[n for n, _ in find_stubs()])
def test_stub_matches_module(modname, stub):
    try:
        found = importlib.util.find_spec(modname)
    except ModuleNotFoundError:
        found = None
    if found is None:
        if modname in REQUIRED:
            pytest.fail(f"{modname} is not built")
        pytest.skip(f"{modname} is not built")
    module = importlib.import_module(modname)
    problems = stub_mismatches(stub.read_text(encoding="utf-8"), module)
    assert not problems, f"{stub}:\n  " + "\n  ".join(problems)


# ---------------------------------------------------------------- the checker itself

SELFTEST_STUB = '''
import abc as abc
from typing import NamedTuple as NamedTuple, Optional as Optional

def signature_demo(self, json_path: str, markdown_path: Optional[str] = None,
                   verbose: bool = False):
    """Return the bound arguments."""
def typed(s: str, i: int, l: list, d: dict, f: float, o: Optional[list] = None,
          *, k: str = 'x') -> str: ...
def collect(a, *args, **kwargs): ...
def mismatched(x): ...
def make_adder(n): ...
def use_global(): ...
def pair(obj): ...
def fail(kind): ...
def concat(a, b): ...
def expect_unicode(v): ...
def count(n: int, mode=None): ...
def trace(log): ...

class Shape(abc.ABC):
    """A shape."""
    @abc.abstractmethod
    def area(self): ...

class Square(Shape):
    sides: int
    def __init__(self, side: float) -> None: ...
    def area(self): ...
    @classmethod
    def unit(cls): ...
    @property
    def label(self): ...

class Point(NamedTuple):
    x: int
    y: int = 0
'''


def test_checker_accepts_a_faithful_stub():
    from tavrin import _pyface_selftest
    assert stub_mismatches(SELFTEST_STUB, _pyface_selftest) == []


@pytest.mark.parametrize("old, new, problem", [
    ("verbose: bool = False", "verbose: bool = True", "default of 'verbose'"),
    ("o: Optional[list]", "o: Optional[dict]", "annotation of 'o'"),
    ("*, k: str", "k: str", "parameters differ"),
    (") -> str: ...", "): ...", "return annotation"),
    ("bound arguments.", "bound values.", "docstring differs"),
    ("    @classmethod\n", "", "stub is not a classmethod"),
    ("    @abc.abstractmethod\n", "", "abstract in one of"),
    ("y: int = 0", "y: int = 1", "field defaults"),
    ("def trace(log): ...", "", "trace: defined in the live module, missing from the stub"),
    ("    @property\n    def label(self): ...\n", "", "Square.label: defined in the live class"),
    ("def use_global(): ...", "def use_global(): ...\ndef gone(): ...", "gone: declared in"),
    ("class Square(Shape):", "class Square(Point):", "bases differ"),
    ("import abc as abc", "import abc as abc\nimport os as os", "os: imported in the stub"),
])
def test_checker_reports_drift(old, new, problem):
    from tavrin import _pyface_selftest
    assert SELFTEST_STUB.count(old) == 1
    problems = stub_mismatches(SELFTEST_STUB.replace(old, new), _pyface_selftest)
    assert len(problems) == 1 and problem in problems[0], problems


def test_checker_reads_a_click_command_as_its_callback():
    mod = types.ModuleType("commands")
    exec("import click\n@click.command()\n@click.argument('path')\n"
         "def go(path: 'str'): pass\n", vars(mod))
    as_def = "import click as click\n@click.command()\ndef go(path: str): ...\n"
    assert stub_mismatches(as_def, mod) == []
    assert stub_mismatches("import click as click\ngo: click.Command\n", mod) == []
    wrong = stub_mismatches(as_def.replace("path: str", "path: int"), mod)
    assert len(wrong) == 1 and "annotation of 'path'" in wrong[0]
    missing = stub_mismatches("import click as click\n", mod)
    assert len(missing) == 1 and "go: defined in the live module" in missing[0]
