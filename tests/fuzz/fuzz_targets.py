"""What the fuzz and memory tests run on: the extension modules that are built,
their entry points, an offline world to run them in (files on disk, fake
models and stores, no network), and real instances to call methods on.

Entry points are found, not listed: every native function object (type
``tavrin.function``) bound in a module, every one found in a class defined in
the module (methods, classmethods, staticmethods, properties, cached
properties), and the callbacks of click commands. The per-module knowledge
below only adds *valid* arguments and instances, so that hostile calls also
reach deep into the bodies; a module without any still gets fuzzed.
"""

import builtins
import contextlib
import functools
import importlib
import importlib.util
import inspect
import json
import os
import re
import shutil
import socket
import sys
import zlib
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import click
import numpy as np
from hypothesis import strategies as st

import adversarial as adv

ROOT = Path(__file__).resolve().parents[2]
HARNESS_DIR = str(Path(__file__).resolve().parent)
DUMMY_KEY = "sk-fuzz-not-a-real-key"

# ---------------------------------------------------------------- modules


def module_names() -> List[str]:
    """The dotted names (below tavrin.) of every extension module CMake builds."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.findall(r"^\s*tavrin_add_module\(\s*([\w.]+)[^)]*\)", text, re.M)


def cmake_target(dotted: str) -> str:
    return "tavrin_" + dotted.replace(".", "_")


def is_native_function(obj: Any) -> bool:
    return repr(type(obj)) == "<class 'tavrin.function'>"


def is_native_generator(obj: Any) -> bool:
    return repr(type(obj)) == "<class 'tavrin.generator'>"


@dataclass
class Loaded:
    dotted: str
    module: Optional[ModuleType]
    skip_reason: str = ""
    error: Optional[BaseException] = None


_loaded: Dict[str, Loaded] = {}


def load(dotted: str) -> Loaded:
    """Imports tavrin.<dotted> if its extension module is built. A module that is
    not built is skipped with the reason; one that is built but fails to import
    keeps its error (a test reports it)."""
    if dotted in _loaded:
        return _loaded[dotted]
    full = "tavrin." + dotted
    try:
        spec = importlib.util.find_spec(full)
    except ImportError as exc:
        spec, why = None, str(exc)
    else:
        why = ""
    if spec is None or not (spec.origin or "").endswith(".so"):
        reason = (f"{full} is not built (no extension module on sys.path; "
                  f"build target {cmake_target(dotted)}){': ' + why if why else ''}")
        result = Loaded(dotted, None, reason)
    else:
        # langchain's ChatOpenAI refuses to be built without a key; the key is
        # never used (nothing is sent)
        with temporary_env(OPENAI_API_KEY=DUMMY_KEY):
            try:
                result = Loaded(dotted, importlib.import_module(full))
            except Exception as exc:  # reported by the import test
                result = Loaded(dotted, None, error=exc)
    _loaded[dotted] = result
    return result


def built_modules() -> List[Tuple[str, ModuleType]]:
    return [(d, l.module) for d in module_names() if (l := load(d)).module is not None]


@contextlib.contextmanager
def temporary_env(**values: Optional[str]) -> Iterator[None]:
    old = {k: os.environ.get(k) for k in values}
    try:
        for k, v in values.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        yield
    finally:
        for k, v in old.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


# ---------------------------------------------------------------- entry points


@dataclass
class EntryPoint:
    module: str  # tavrin.x.y
    qualname: str  # function, Class.method, or the command callback's name
    func: Any  # the native function object
    kind: str  # function | method | classmethod | staticmethod | property | cached_property | command
    owner: Optional[type] = None
    attr: str = ""  # name in the owner's namespace
    command: Any = None

    @property
    def key(self) -> str:
        return f"{self.module}:{self.qualname}"

    @property
    def id(self) -> str:
        return f"{self.module.rsplit('.', 1)[-1]}:{self.qualname}"

    @property
    def takes_self(self) -> bool:
        return self.kind in ("method", "classmethod", "property", "cached_property")

    def parameters(self) -> List[inspect.Parameter]:
        params = list(inspect.signature(self.func).parameters.values())
        return params[1:] if self.takes_self else params


def _unwrap(raw: Any) -> Tuple[Any, str]:
    if isinstance(raw, classmethod):
        return raw.__func__, "classmethod"
    if isinstance(raw, staticmethod):
        return raw.__func__, "staticmethod"
    if isinstance(raw, property):
        return raw.fget, "property"
    if isinstance(raw, functools.cached_property):
        return raw.func, "cached_property"
    return raw, "method"


def discover(module: ModuleType) -> List[EntryPoint]:
    name = module.__name__
    found: List[EntryPoint] = []
    for attr, value in vars(module).items():
        if is_native_function(value) and value.__module__ == name:
            found.append(EntryPoint(name, value.__qualname__, value, "function"))
        elif isinstance(value, click.Command) and is_native_function(value.callback):
            if value.callback.__module__ == name:
                found.append(EntryPoint(name, value.callback.__qualname__, value.callback, "command",
                                        attr=attr, command=value))
        elif isinstance(value, type) and value.__module__ == name:
            for member, raw in vars(value).items():
                func, kind = _unwrap(raw)
                if is_native_function(func):
                    found.append(EntryPoint(name, f"{value.__qualname__}.{member}", func, kind,
                                            owner=value, attr=member))
    return found


# ---------------------------------------------------------------- offline fakes

from langchain.chat_models.fake import FakeListChatModel  # noqa: E402
from langchain.schema import Document  # noqa: E402
from langchain.schema.retriever import BaseRetriever  # noqa: E402

from tavrin.evaluation.qa.evaluable.base import EvaluableQA  # noqa: E402
from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator  # noqa: E402
from tavrin.evaluation.qa.question_set import TestCase  # noqa: E402
from tavrin.evaluation.qa.report import EvalRecord, Report  # noqa: E402


class FakeChat(FakeListChatModel):
    """Canned chat replies; token counting without a tokenizer download."""

    def get_num_tokens(self, text: str) -> int:
        return len(text.split())


class ListRetriever(BaseRetriever):
    """A retriever over a fixed list of documents."""

    docs: List[Document] = []

    def _get_relevant_documents(self, query: str, *, run_manager: Any) -> List[Document]:
        return list(self.docs)


def code_documents() -> List[Document]:
    return [
        Document(page_content="def add(a, b):\n    return a + b\n",
                 metadata={"label": "add.py", "url": "/repo/add.py", "source": "add.py"}),
        Document(page_content="calc: a calculator\n", metadata={"label": None, "url": "/repo/README.md"}),
    ]


class FakeStore:
    """Stands for the vector-store wrapper: `qdrant.as_retriever(...)` gives fixed documents."""

    def __init__(self, docs: Optional[List[Document]] = None) -> None:
        self.qdrant = self
        self.docs = code_documents() if docs is None else docs

    def as_retriever(self, **kwargs: Any) -> ListRetriever:
        return ListRetriever(docs=self.docs)

    @classmethod
    def reuse(cls, source_name: Any = None, embedding_cls: Any = None) -> "FakeStore":
        return cls()


class FakeQa:
    """Stands for the stuff-documents chain: answers from its store's documents."""

    def __init__(self, q: Any) -> None:
        self.q = q

    def run(self, question: Any) -> Tuple[str, List[Document]]:
        return f"answer to {question!s:.20}", list(self.q.docs)


class Script:
    """Values a fake subject or evaluator returns, in turn (set per example)."""

    values: List[Any] = []
    i = 0

    @classmethod
    def set(cls, values: List[Any]) -> None:
        Script.values, Script.i = list(values), 0

    @classmethod
    def next(cls, default: Any) -> Any:
        if not Script.values:
            return default
        v = Script.values[Script.i % len(Script.values)]
        Script.i += 1
        if isinstance(v, type) and issubclass(v, BaseException):
            raise v("scripted")
        return v


class FuzzSubject(EvaluableQA):
    """A subject whose answers the harness scripts."""

    def predict(self, question: str) -> Any:
        return Script.next(("Yes", [{"label": "l", "url": "u"}]))


class FuzzEvaluator(Evaluator):
    """An evaluator whose judgements the harness scripts."""

    description = "scripted"

    def evaluate(self, prediction: Any, case: Any) -> Any:
        return Script.next(EvalResult(True, "scripted"))


class NetworkBlocked(OSError):
    """A connection attempt the harness refused."""


class Offline:
    """Keeps every call off the network and off the harness's own file descriptors:
    internet sockets refuse to connect (and the attempt is counted), and open()
    refuses raw descriptors (opening one and closing it would break the test
    process, not the code under test)."""

    def __init__(self) -> None:
        self.attempts: List[str] = []

    def install(self, mp: Any) -> None:
        real_connect = socket.socket.connect
        real_connect_ex = socket.socket.connect_ex
        real_open = builtins.open
        attempts = self.attempts

        def check(sock: socket.socket, address: Any) -> None:
            if sock.family in (socket.AF_INET, socket.AF_INET6):
                attempts.append(repr(address))
                raise NetworkBlocked(f"the fuzz harness blocks network access ({address!r})")

        def connect(sock: socket.socket, address: Any) -> Any:
            check(sock, address)
            return real_connect(sock, address)

        def connect_ex(sock: socket.socket, address: Any) -> Any:
            check(sock, address)
            return real_connect_ex(sock, address)

        def create_connection(address: Any, *args: Any, **kwargs: Any) -> Any:
            attempts.append(repr(address))
            raise NetworkBlocked(f"the fuzz harness blocks network access ({address!r})")

        def guarded_open(file: Any, *args: Any, **kwargs: Any) -> Any:
            # refused only when native code asks directly, with a value the
            # harness gave it (library code opening its own descriptors is fine)
            if isinstance(file, int) and sys._getframe(1).f_code.co_filename.startswith(HARNESS_DIR):
                raise TypeError("the fuzz harness does not open raw file descriptors")
            return real_open(file, *args, **kwargs)

        mp.setattr(socket.socket, "connect", connect)
        mp.setattr(socket.socket, "connect_ex", connect_ex)
        mp.setattr(socket, "create_connection", create_connection)
        mp.setattr(builtins, "open", guarded_open)
        import io

        mp.setattr(io, "open", guarded_open)


def cycling_mock() -> Any:
    """guidance's offline mock model, answering from a fixed cycle of outputs."""
    import guidance

    class CyclingMock(guidance.llms.Mock):
        outputs = ["YES", "NO", "7", "because", "", "10", "maybe"]

        def __init__(self) -> None:
            super().__init__("YES")
            self.n = 0

        def __call__(self, prompt: str, *args: Any, n: int = 1, stream: bool = False, **kwargs: Any) -> Any:
            out = {"choices": [{"text": self.outputs[(self.n + i) % len(self.outputs)], "finish_reason": "stop"}
                               for i in range(n)]}
            self.n += 1
            return [out] if stream else out

    return CyclingMock()


def go_offline(mp: Any, tmp: Path) -> Offline:
    """Installs the offline world with the MonkeyPatch `mp` (undone with it)."""
    mp.setenv("OPENAI_API_KEY", DUMMY_KEY)
    mp.setenv("OPENAI_API_BASE", "http://127.0.0.1:9/v1")
    mp.setenv("TAVRIN_DATA_DIR", str(tmp / "data"))
    mp.setenv("TAVRIN_DATABASE_URL", f"sqlite:///{tmp / 'actions.sqlite3'}")
    mp.delenv("TAVRIN_QDRANT_URL", raising=False)
    offline = Offline()
    offline.install(mp)

    import guidance

    mock = cycling_mock()
    mp.setattr(guidance, "llm", mock)
    # The judges' programs captured the gpt-4 handle when they were built: run
    # them on the mock instead, as the judges' own tests do.
    for dotted, program in [("evaluation.qa.evaluator.llm_helper.orsk", "classifier_pair"),
                            ("evaluation.qa.evaluator.llm_helper.clenter", "classify_single"),
                            ("evaluation.qa.evaluator.llm_helper.fennic", "rater")]:
        module = load(dotted).module
        if module is not None:
            real = getattr(module, program)
            mp.setattr(module, program, functools.partial(_run_on_mock, real, mock))
    # Chat models: canned replies (the real ones would call OpenAI).
    from tavrin.zorvane import AnswerAction

    mp.setattr(AnswerAction, "llm", FakeChat(responses=["It adds.", "", "It multiplies."]))
    sorvel = load("ask_codebase.chains.sorvel").module
    if sorvel is not None:
        mp.setattr(sorvel.Sorvel, "llm", FakeChat(responses=["partial", "final answer"]))
        mp.setattr(sorvel.Sorvel, "reduce_llm", FakeChat(responses=["reduced"]))
    # The subject over the vector store: a fake store and chain (a real Qdrant
    # store and chat model are out of reach offline, and their own tests cover them).
    brandle = load("evaluation.qa.evaluable.brandle").module
    if brandle is not None:
        mp.setattr(brandle, "Q", FakeStore)
        mp.setattr(brandle, "StuffDocumentCodeQa", FakeQa)
    return offline


def _run_on_mock(program: Any, mock: Any, **kwargs: Any) -> Any:
    return program(**kwargs, llm=mock)


# ---------------------------------------------------------------- the world on disk

NODE_COLUMNS = ["node_id", "name", "file_path", "start_line", "end_line", "is_test_func"]
EDGE_COLUMNS = ["from_node_id", "to_node_id"]
SOURCE = "# adds\n# two numbers\ndef add(a, b):\n    return a + b\n\n/* block\n comment */\nint mul(int a, int b) {\n  return a * b;\n}\n"


@dataclass
class World:
    root: Path
    qset: Path
    qset_variants: List[Path]
    reports: List[Path]
    repo: Path
    files: List[Path]
    cag: Path
    shas: List[str]
    npy_prefixes: List[str]


def _write_csv(path: Path, rows: List[List[str]]) -> None:
    import csv

    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows(rows)


def make_world(root: Path) -> World:
    root.mkdir(parents=True, exist_ok=True)
    qset = root / "qset.json"
    qset.write_text(json.dumps({"name": "fuzz", "cases": [
        {"id": "1", "question": "What does add do?", "reference_answer": "It adds."},
        {"id": "2", "question": "Is mul there?", "reference_answer": "Yes"}]}))
    empty = root / "qset_empty.json"
    empty.write_text(json.dumps({"name": "empty", "cases": []}))
    broken = root / "qset_broken.json"
    broken.write_text('{"name": "b", "cases": [{"id": 1, "question": ')
    wrong = root / "qset_wrong.json"
    wrong.write_text(json.dumps({"name": 3, "cases": [{"id": None}]}))
    binary = root / "qset_binary.json"
    binary.write_bytes(b"\xff\xfe\x00{")

    record = EvalRecord(case_id="1", question="What does add do?", subject="FuzzSubject", prediction="Yes",
                        expected="It adds.", documents=[{"label": "l", "url": "u"}], evaluator="FuzzEvaluator",
                        value=True, reason="scripted")
    report = Report(name="report", date="2024-01-01 00:00:00", test_set_path=str(qset), subjects=["FuzzSubject"],
                    evaluators=["FuzzEvaluator"], records=[record], description="Using test set <fuzz>",
                    error_msg="interrupted")
    good = root / "report.json"
    report.dump_json(good)
    truncated = root / "report_truncated.json"
    truncated.write_text(good.read_text()[: len(good.read_text()) // 2])
    unknown = root / "report_unknown.json"
    unknown.write_text(good.read_text().replace("FuzzSubject", "NoSuchSubject"))
    missing_set = root / "report_missing_set.json"
    missing_set.write_text(good.read_text().replace(str(qset), str(root / "gone.json")))

    repo = root / "repo"
    (repo / "backend" / "deep").mkdir(parents=True, exist_ok=True)
    files = []
    for rel, data in [("backend/a.py", SOURCE), ("backend/b.md", "# Title\n\ntext\n"), ("backend/c.txt", "plain\r\ntext\r"),
                      ("backend/deep/d.go", "package d\n// F does\nfunc F() {}\n"), ("backend/empty.rs", ""),
                      ("backend/latin.py", "x = 'caf\xe9'\n".encode("latin-1")), ("backend/bin.dat", bytes(range(256)))]:
        p = repo / rel
        p.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
        files.append(p)
    with contextlib.suppress(OSError):
        (repo / "backend" / "loop").symlink_to(repo / "backend")
        (repo / "backend" / "dangling.py").symlink_to(repo / "nowhere.py")

    cag = root / "cag"
    cag.mkdir(exist_ok=True)
    good_nodes = [NODE_COLUMNS,
                  ["n1", "add", "backend/a.py", "3", "4", "False"],
                  ["n2", "mul", "backend/a.py", "8", "10", ""],
                  ["n3", "F", "backend/deep/d.go", "3", "3", "False"],
                  ["n4", "test_x", "backend/a.py", "1", "2", "True"],
                  ["n5", "other", "frontend/x.js", "1", "1", "False"]]
    good_edges = [EDGE_COLUMNS, ["n1", "n2"], ["n2", "n3"], ["n3", "n1"], ["n1", "n3"], ["n9", "n1"]]
    variants = {
        "good": (good_nodes, good_edges),
        "missing_file": ([NODE_COLUMNS, ["m1", "gone", "backend/gone.py", "1", "2", "False"]], good_edges),
        "bad_lines": ([NODE_COLUMNS, ["b1", "x", "backend/a.py", "three", "4", "False"]], good_edges),
        "short_rows": ([NODE_COLUMNS, ["s1", "x", "backend/a.py"], ["s2"]], [EDGE_COLUMNS, ["s1"]]),
        "no_columns": ([["a", "b"], ["1", "2"]], [["x"], ["y"]]),
        "huge_lines": ([NODE_COLUMNS, ["h1", "x", "backend/a.py", "99999999999999999999999", "-5", "False"]], good_edges),
    }
    for sha, (nodes, edges) in variants.items():
        _write_csv(cag / f"{sha}_cag_nodes.csv", nodes)
        _write_csv(cag / f"{sha}_cag_edges.csv", edges)
    (cag / "broken_quote_cag_nodes.csv").write_text(",".join(NODE_COLUMNS) + '\n"n1,add,backend/a.py,3,4,False\n')
    (cag / "broken_quote_cag_edges.csv").write_text('from_node_id,to_node_id\n"n1,n2\n')
    shas = list(variants) + ["broken_quote", "absent"]

    npy = root / "npy"
    npy.mkdir(exist_ok=True)
    prefixes = []
    for name, docs, emb in [
        ("valid", np.array(["doc a", "doc b"]), np.eye(2, 4, dtype=np.float32)),
        ("empty", np.array([], dtype=np.str_), np.zeros((0, 0))),
        ("mismatch", np.array(["doc a", "doc b", "doc c"]), np.ones((2, 4))),
        ("numbers", np.arange(3), np.ones((3, 2))),
        ("nan", np.array(["doc a"]), np.array([[np.nan, 1.0]])),
        ("flat", np.array(["doc a", "doc b"]), np.ones(2)),
    ]:
        np.save(npy / f"{name}_docs.npy", docs)
        np.save(npy / f"{name}_doc_embeddings.npy", emb)
        prefixes.append(str(npy / name))
    np.save(npy / "objects_docs.npy", np.array([{"a": 1}], dtype=object), allow_pickle=True)
    np.save(npy / "objects_doc_embeddings.npy", np.ones((1, 2)))
    (npy / "corrupt_docs.npy").write_bytes(b"\x93NUMPY\x01\x00garbage")
    (npy / "corrupt_doc_embeddings.npy").write_bytes(b"")
    prefixes += [str(npy / "objects"), str(npy / "corrupt"), str(npy / "absent")]

    return World(root, qset, [qset, empty, broken, wrong, binary, root / "gone.json"],
                 [good, truncated, unknown, missing_set, root / "absent.json"], repo, files, cag, shas, prefixes)


def copy_here(path: Path) -> str:
    """A copy of `path` in the current directory (commands may overwrite their input)."""
    if not path.exists():
        return path.name
    target = Path.cwd() / path.name
    shutil.copyfile(path, target)
    return path.name


# ---------------------------------------------------------------- valid arguments

def texts() -> st.SearchStrategy[str]:
    return st.one_of(st.sampled_from(["What does add do?", "add", "doc a", "q1", "YES", "", "x" * 300]),
                     st.text(alphabet=st.characters(blacklist_characters="/\\"), max_size=30))


def small_ints() -> st.SearchStrategy[int]:
    return st.one_of(st.integers(-2, 12), st.sampled_from([50, 100, 5000]))


def by_annotation(annotation: Any) -> Optional[st.SearchStrategy[Any]]:
    """Well-typed values for an annotation string."""
    if not isinstance(annotation, str):
        return None
    a = annotation
    optional = a.startswith("Optional[")
    if optional:
        a = a[len("Optional["):-1]
    inner: Optional[st.SearchStrategy[Any]] = {
        "str": texts(), "int": small_ints(), "float": st.floats(-10, 10), "bool": st.booleans(),
        "list": st.lists(texts(), max_size=4), "dict": st.dictionaries(texts(), texts(), max_size=3),
    }.get(a)
    if inner is None and (a.startswith("List[") or a.startswith("list[")):
        inner = st.lists(texts(), max_size=4)
    if inner is None and (a.startswith("Dict[") or a.startswith("dict[")):
        inner = st.dictionaries(texts(), st.lists(texts(), max_size=6), max_size=3)
    if inner is not None and optional:
        inner = st.one_of(st.none(), inner)
    return inner


def _selftest_hints(w: World) -> Dict[str, Dict[str, Any]]:
    return {
        "count": {"n": st.integers(-2, 8), "mode": st.sampled_from([None, "raise", "other"])},
        "fail": {"kind": st.sampled_from(["runtime", "bad_alloc", "int", "value", "other"])},
        "trace": {"log": st.builds(list)},
        "pair": {"obj": st.one_of(st.tuples(texts(), texts()), st.lists(texts(), max_size=3))},
        "Square.__init__": {"side": st.floats(-3, 3)},
    }


def _paths(paths: List[Path]) -> st.SearchStrategy[Any]:
    return st.sampled_from(paths).flatmap(lambda p: st.sampled_from([str(p), p]))


def hints(w: World) -> Dict[str, Dict[str, st.SearchStrategy[Any]]]:
    """Valid arguments by entry point ("module:qualname") and parameter."""
    report_copies = st.sampled_from(w.reports).map(copy_here)
    out_names = st.sampled_from(["out.json", "out.md", "report.json", "sub/out.json"])
    vectors = st.lists(st.floats(-2, 2), min_size=8, max_size=8).map(lambda v: np.array(v))
    gt_scores = st.lists(st.tuples(st.sampled_from(["q1", "q2", "q3"]), st.sampled_from(["doc a", "doc b", "doc c"]),
                                   st.floats(0, 3)), max_size=6)
    retrieval = st.dictionaries(st.sampled_from(["q1", "q2", "q3", "q4"]),
                                st.lists(st.sampled_from(["doc a", "doc b", "doc c", "doc z"]), max_size=7), max_size=4)
    h: Dict[str, Dict[str, st.SearchStrategy[Any]]] = {}

    def put(module: str, qualname: str, **params: st.SearchStrategy[Any]) -> None:
        h[f"tavrin.{module}:{qualname}"] = params

    for qn, params in _selftest_hints(w).items():
        put("_pyface_selftest", qn, **params)
    put("evaluation.qa.evaluation", "Evaluation.__init__",
        test_set_path=_paths(w.qset_variants).map(str),
        subjects=st.lists(st.sampled_from([FuzzSubject, EvaluableQA, int]), max_size=2),
        evaluators=st.lists(st.sampled_from([FuzzEvaluator, Evaluator]), max_size=2),
        records=st.one_of(st.none(), st.just([])))
    put("evaluation.qa.evaluation", "Evaluation.run", json_path=out_names, markdown_path=st.one_of(st.none(), out_names),
        verbose=st.booleans())
    put("evaluation.qa.evaluation", "Evaluation.resume", report_json_path=st.sampled_from(w.reports).map(str))
    put("evaluation.qa.commands.resume", "resume", json_path=report_copies, output=st.one_of(st.none(), out_names),
        verbose=st.booleans())
    put("evaluation.qa.commands.markdown", "markdown", json_path=report_copies, output=st.one_of(st.none(), out_names))
    put("evaluation.qa.evaluator.correctness", "Correctness.evaluate",
        case=st.builds(TestCase, id=texts(), question=texts(), reference_answer=texts()))
    put("ask_codebase.indexing.loader.file", "get_file_splitter",
        filepath=st.sampled_from([".py", ".md", ".txt", "", ".rs", ".PY", ".tar.gz", ".swift"]).map(lambda s: Path("f" + s)),
        chunk_size=st.sampled_from([1, 10, 100, 5000, 0, -1]), chunk_overlap=st.sampled_from([0, 5, 50, 200, -1]))
    put("ask_codebase.indexing.loader.file", "_github_url_maker",
        repo_url=st.sampled_from(["https://git.example/r", "https://git.example/r.git", "r.git", ".git", "a/..git", ""]))
    put("ask_codebase.indexing.loader.file", "FileLoader._iter_path_or_dir",
        path=st.sampled_from([w.repo, w.repo / "backend", w.files[0], w.root / "absent", Path("")]))
    put("ask_codebase.indexing.loader.function", "FunctionLoader.get_function_with_comment",
        file_path=_paths(w.files + [w.repo, w.root / "absent.py"]),
        start_line=st.one_of(small_ints(), st.sampled_from([2**70, -(2**70), 3.5, "3"])),
        end_line=st.one_of(small_ints(), st.sampled_from([2**70, -(2**70), 9.5, None])))
    put("evaluation.retrieval.dravik", "EmbeddingRetriever.index",
        docs=st.lists(st.sampled_from(["doc a", "doc b", "doc c", "", "\ud800", "x" * 500]), max_size=5))
    put("evaluation.retrieval.dravik", "EmbeddingRetriever.search", k=st.integers(-1, 6))
    put("evaluation.retrieval.dravik", "EmbeddingRetriever.cosine_similarity", query=vectors)
    put("evaluation.retrieval.dravik", "EmbeddingRetriever.save", path=st.sampled_from(["idx", "sub/idx", ""]))
    put("evaluation.retrieval.dravik", "EmbeddingRetriever.load", path=st.sampled_from(w.npy_prefixes))
    put("evaluation.retrieval.dravik", "GroundTruth.__init__", scores=gt_scores)
    put("evaluation.retrieval.dravik", "GroundTruth.query_index", query=st.sampled_from(["q1", "q2", "q9"]))
    put("evaluation.retrieval.dravik", "GroundTruth.doc_index", doc=st.sampled_from(["doc a", "doc z"]))
    put("evaluation.retrieval.dravik", "GroundTruth.evaluate", retrieval=retrieval, k=st.integers(-1, 6))
    put("evaluation.retrieval.dravik", "GroundTruth._compute_retrieval_scores", retrieval=retrieval,
        k=st.one_of(st.integers(-1, 6), st.sampled_from([2**62, 2**61])))
    put("evaluation.retrieval.dravik", "GroundTruth._precision",
        scores=st.lists(st.lists(st.floats(0, 3), min_size=2, max_size=2), max_size=3).map(np.array))
    put("evaluation.retrieval.dravik", "GroundTruth._recall",
        scores=st.lists(st.lists(st.floats(0, 3), min_size=2, max_size=2), max_size=3).map(np.array))
    put("evaluation.retrieval.dravik", "GroundTruth._f1", precision=st.floats(0, 1), recall=st.floats(0, 1))
    put("evaluation.retrieval.hashing_embedding", "embed_texts",
        texts=st.lists(texts(), max_size=4), dim=st.sampled_from([1, 2, 8, 64, 0, -1]))
    put("ask_codebase.chains.sorvel", "Sorvel.__init__", q=st.builds(FakeStore))
    put("evaluation.qa.evaluable.brandle", "EvaluableStuffDocumentCodeQA.predict", question=texts())

    def made(key: str) -> st.SearchStrategy[Any]:
        """Real instances from the class's factory."""
        return st.composite(lambda draw: FACTORIES["tavrin." + key](w, draw)[0])()

    for fn in ("run_retrieval_evaluation", "evaluation_report"):
        put("evaluation.retrieval.dravik", fn, k=st.integers(0, 4), batch_size=st.integers(0, 3),
            ground_truth=made("evaluation.retrieval.dravik:GroundTruth"),
            retriever=made("evaluation.retrieval.dravik:EmbeddingRetriever"))
    put("evaluation.retrieval.dravik", "EmbeddingRetriever.__init__",
        embeddings=st.builds(MeddlingEmbeddings, st.just(8), st.none()))
    put("ask_codebase.indexing.loader.function", "FunctionLoader.__init__",
        source=st.composite(lambda draw: cag_source(w, draw))())
    put("ask_codebase.indexing.loader.file", "FileLoader.__init__",
        sources=st.composite(lambda draw: _file_sources(w, draw))())
    put("evaluation.qa.evaluable.brandle", "EvaluableStuffDocumentCodeQA.__init__",
        source_name=texts(), embedding_cls=st.sampled_from([object, int]))
    return h


# ---------------------------------------------------------------- real instances

# Per class ("module:Class"): a function (world, draw) -> (instance, reinit).
Factory = Callable[[World, Callable[[st.SearchStrategy[Any]], Any]], Tuple[Any, Callable[[], Any]]]
FACTORIES: Dict[str, Factory] = {}


def factory(key: str) -> Callable[[Factory], Factory]:
    def register(f: Factory) -> Factory:
        FACTORIES["tavrin." + key] = f
        return f

    return register


def _module(dotted: str) -> Any:
    return load(dotted).module


@factory("_pyface_selftest:Square")
def _square(w: World, draw: Any) -> Any:
    m = _module("_pyface_selftest")
    sq = m.Square(draw(st.floats(-3, 3)))
    return sq, lambda: m.Square.__init__(sq, 1.0)


@factory("evaluation.qa.evaluation:Evaluation")
def _evaluation(w: World, draw: Any) -> Any:
    m = _module("evaluation.qa.evaluation")
    ev = m.Evaluation(str(w.qset), [FuzzSubject], [FuzzEvaluator])
    return ev, lambda: m.Evaluation.__init__(ev, str(w.qset), [FuzzSubject], [FuzzEvaluator])


for _name in ("YesWoman", "NoWoman"):
    FACTORIES[f"tavrin.evaluation.qa.evaluable.pivra:{_name}"] = (
        lambda w, draw, _n=_name: (getattr(_module("evaluation.qa.evaluable.pivra"), _n)(), lambda: None))


@factory("evaluation.qa.evaluator.correctness:Correctness")
def _correctness(w: World, draw: Any) -> Any:
    return _module("evaluation.qa.evaluator.correctness").Correctness(), lambda: None


@factory("evaluation.qa.evaluable.brandle:EvaluableStuffDocumentCodeQA")
def _brandle(w: World, draw: Any) -> Any:
    m = _module("evaluation.qa.evaluable.brandle")
    s = m.EvaluableStuffDocumentCodeQA("fuzz", object)
    return s, lambda: m.EvaluableStuffDocumentCodeQA.__init__(s, "again", object)


@factory("evaluation.qa.evaluable.mundle:Mundle")
def _mundle(w: World, draw: Any) -> Any:
    return _module("evaluation.qa.evaluable.mundle").Mundle(), lambda: None


@factory("ask_codebase.chains.sorvel:Sorvel")
def _sorvel(w: World, draw: Any) -> Any:
    m = _module("ask_codebase.chains.sorvel")
    s = m.Sorvel(FakeStore())
    return s, lambda: m.Sorvel.__init__(s, FakeStore([]))


def _file_sources(w: World, draw: Any) -> Any:
    m = _module("ask_codebase.indexing.loader.file")
    make_ref = draw(st.sampled_from([None, "github", "local", "hostile"]))
    ref = {None: None, "github": m.gen_github_reference_maker("https://git.example/r.git", "abc"),
           "local": m.gen_local_reference_maker(str(w.repo)), "hostile": adv.RaiseOnCall(adv.Boom)}[make_ref]
    flt = draw(st.sampled_from([None, lambda p: p.endswith(".py"), adv.RaiseOnCall(ValueError), lambda p: None]))
    rel = draw(st.sampled_from([None, str(w.repo), str(w.root / "elsewhere")]))
    path = draw(st.sampled_from([w.repo, w.repo / "backend" / "deep", w.files[0], w.root / "absent"]))
    sources = [m.FileSource(str(path), rel, ref, flt) for _ in range(draw(st.integers(1, 2)))]
    shape = draw(st.sampled_from(["list", "tuple", "iter", "meddling"]))
    if shape == "tuple":
        return tuple(sources)
    if shape == "iter":
        return iter(sources)
    if shape == "meddling":
        return adv.MeddlingList(sources, draw(st.sampled_from(adv.MEDDLE_KINDS)))
    return sources


@factory("ask_codebase.indexing.loader.file:FileLoader")
def _file_loader(w: World, draw: Any) -> Any:
    m = _module("ask_codebase.indexing.loader.file")
    loader = m.FileLoader(_file_sources(w, draw))
    return loader, lambda: m.FileLoader.__init__(loader, [m.FileSource(str(w.repo))])


def _csv_cell() -> st.SearchStrategy[str]:
    return st.one_of(
        st.sampled_from(["n1", "n2", "n3", "add", "backend/a.py", "backend/deep/d.go", "backend/gone.py", "backend/",
                         "backend/../repo/backend/a.py", "frontend/x.js", "1", "3", "4", "0", "-1", " 2", "1_0", "+5",
                         "99999999999999999999", "True", "False", "", '"', '""', "a,b", "x\ny", "\r", "é"]),
        st.text(max_size=8))


def _render_csv(rows: List[List[str]], quote: bool, newline: str) -> str:
    def cell(c: str) -> str:
        if quote and any(ch in c for ch in ',"\r\n'):
            return '"' + c.replace('"', '""') + '"'
        return c

    return "".join(",".join(cell(c) for c in row) + newline for row in rows)


def cag_source(w: World, draw: Any) -> Any:
    """A FunctionSource over the world's repository and CSV files written now in the
    current directory (often valid, often not)."""
    m = _module("ask_codebase.indexing.loader.function")
    use_prepared = draw(st.booleans())
    if use_prepared:
        cag, sha = str(w.cag), draw(st.sampled_from(w.shas))
    else:
        cag, sha = "cag", "c0ffee"
        Path(cag).mkdir(exist_ok=True)
        for suffix, columns, n_cols in [("nodes", NODE_COLUMNS, 6), ("edges", EDGE_COLUMNS, 2)]:
            header = draw(st.one_of(st.just(columns), st.permutations(columns),
                                    st.lists(st.sampled_from(columns + ["extra", ""]), max_size=7)))
            rows = draw(st.lists(st.lists(_csv_cell(), min_size=0, max_size=n_cols + 1), max_size=6))
            text = _render_csv([list(header)] + rows, draw(st.booleans()), draw(st.sampled_from(["\n", "\r\n", "\r"])))
            Path(cag, f"{sha}_cag_{suffix}.csv").write_text(text, encoding="utf-8", newline="")
    url = draw(st.sampled_from([lambda sha, path, s, e: f"u/{sha}/{path}#{s}-{e}", adv.RaiseOnCall(adv.Boom),
                                lambda *a: None, adv.Meddler("clear", "u")]))
    repo = draw(st.sampled_from([str(w.repo), w.repo, str(w.root / "absent")]))
    return m.FunctionSource(repo, cag, sha, url)


@factory("ask_codebase.indexing.loader.function:FunctionLoader")
def _function_loader(w: World, draw: Any) -> Any:
    m = _module("ask_codebase.indexing.loader.function")
    loader = m.FunctionLoader(cag_source(w, draw))
    return loader, lambda: m.FunctionLoader.__init__(loader, m.FunctionSource(str(w.repo), str(w.cag), "good", str))


class MeddlingEmbeddings:
    """An embedding model of `dim` that changes the targets before it answers
    (as a model that calls back into the retriever could), or answers with a
    hostile value."""

    def __init__(self, dim: int, kind: Optional[str], answer: Any = None) -> None:
        self.dim, self.kind, self.answer = dim, kind, answer

    def _vector(self, text: Any) -> List[float]:
        h = zlib.crc32(text.encode("utf-8", "surrogatepass")) if isinstance(text, str) else 1
        return [float((h >> (2 * i)) & 3) - 1.0 for i in range(self.dim)]

    def embed_documents(self, texts: List[str]) -> Any:
        if self.kind:
            adv.meddle(self.kind)
        if self.answer is not None:
            return self.answer
        return [self._vector(t) for t in texts]

    def embed_query(self, text: str) -> Any:
        if self.kind:
            adv.meddle(self.kind)
        if self.answer is not None:
            return self.answer
        return self._vector(text)

    def __repr__(self) -> str:
        return f"MeddlingEmbeddings({self.dim}, {self.kind!r}, {adv.safe_repr(self.answer)})"


@factory("evaluation.retrieval.dravik:EmbeddingRetriever")
def _retriever(w: World, draw: Any) -> Any:
    m = _module("evaluation.retrieval.dravik")
    plain = MeddlingEmbeddings(8, None)
    embeddings = draw(st.one_of(
        st.just(plain),
        st.builds(MeddlingEmbeddings, st.just(8), st.sampled_from(adv.MEDDLE_KINDS)),
        st.builds(MeddlingEmbeddings, st.sampled_from([4, 8]), st.none(), adv.values(1)),
    ))
    r = m.EmbeddingRetriever(embeddings)
    docs = draw(st.lists(st.sampled_from(["doc a", "doc b", "doc c", "doc d"]), max_size=4))
    if docs:
        with contextlib.suppress(Exception):
            m.EmbeddingRetriever.index(r, docs)
    how = draw(st.sampled_from(["init", "load", "load_other"]))

    def reinit() -> None:
        if how == "init":
            m.EmbeddingRetriever.__init__(r, plain)
        else:
            m.EmbeddingRetriever.load(r, w.npy_prefixes[0 if how == "load" else 2])

    return r, reinit


@factory("evaluation.retrieval.dravik:GroundTruth")
def _ground_truth(w: World, draw: Any) -> Any:
    m = _module("evaluation.retrieval.dravik")
    n = draw(st.integers(1, 4))
    scores = [(f"q{i + 1}", d, float(s)) for i in range(n) for d, s in [("doc a", 1.0), ("doc b", 2.0 + i)]]
    gt = m.GroundTruth(scores)
    return gt, lambda: m.GroundTruth.__init__(gt, [("other", "doc z", 1.0)])


# ---------------------------------------------------------------- choosing self

def instance_for(owner: type, w: World, draw: Any) -> Tuple[Any, Optional[Callable[[], Any]]]:
    """A real instance of `owner` (or of a subclass with a factory), made with
    valid arguments; or, without a factory, a no-argument instance or an
    uninitialised one."""
    candidates = [k for k in FACTORIES if _factory_class(k) is not None and issubclass(_factory_class(k), owner)]
    if candidates:
        instance, reinit = FACTORIES[draw(st.sampled_from(sorted(candidates)))](w, draw)
        return instance, reinit
    with contextlib.suppress(Exception):
        return owner(), None
    with contextlib.suppress(Exception):
        return owner.__new__(owner), None
    return object(), None


def _factory_class(key: str) -> Optional[type]:
    module, _, qualname = key.partition(":")
    loaded = _loaded.get(module[len("tavrin."):])
    if loaded is None or loaded.module is None:
        return None
    obj = getattr(loaded.module, qualname, None)
    return obj if isinstance(obj, type) else None
