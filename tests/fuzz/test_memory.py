"""Memory stays flat over long loops of native calls.

For every built module, one round of representative calls (valid ones, and
ones that fail with an exception) is repeated. After a warm-up (until the
caches the round fills have filled) the memory in use is measured, then after
N rounds, then after N more: a leak shows as the same growth in both halves, a
cache that fills up as growth in the first only.
The second half must stay within a small slack. Three measures:

  * Python blocks: sys.getallocatedblocks() (objects a reference leak keeps);
  * C heap: glibc's mallinfo2() bytes in use (C++ objects, coroutine frames,
    buffers, and large Python objects);
  * resident set size, for the record.

Collaborators that keep their own growing state (the chat model's chain
objects, the SQL session, the guidance program runner) are faked here, so
that what is measured is the modules' own code.

Short by default; a long run (documented in the README):
    TAVRIN_MEMORY_ROUNDS=20000 .venv/bin/python -m pytest tests/fuzz/test_memory.py -s
TAVRIN_MEMORY_REPORT=path writes the figures as JSON.
"""

import contextlib
import ctypes
import gc
import inspect
import io
import json
import os
import sys
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))  # the harness's modules beside this file

import adversarial as adv  # noqa: E402
import fuzz_targets as ft  # noqa: E402

ROUNDS = int(os.environ.get("TAVRIN_MEMORY_ROUNDS", "150"))
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
# Allowed growth over the second half of the loop: a little for allocator
# noise, plus far less than any real leak per round.
BLOCK_SLACK, BLOCKS_PER_ROUND = 200, 0.05
HEAP_SLACK, HEAP_BYTES_PER_ROUND = 512 * 1024, 8

FIGURES: Dict[str, Dict[str, Any]] = {}


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _libc = ctypes.CDLL("libc.so.6")
    _libc.mallinfo2.restype = _MallInfo2
except (OSError, AttributeError):
    _libc = None


def measure() -> Dict[str, int]:
    gc.collect()
    out = {"blocks": sys.getallocatedblocks()}
    if _libc is not None:
        info = _libc.mallinfo2()
        out["heap"] = info.uordblks + info.hblkhd
    with open("/proc/self/statm") as f:
        out["rss"] = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return out


class _Discard(io.TextIOBase):
    """Drops what is written at once (a file on os.devnull keeps small writes
    in its pending buffer for a while, which looks like growth)."""

    def write(self, s: str) -> int:
        return len(s)

    def writable(self) -> bool:
        return True


@contextlib.contextmanager
def quiet() -> Iterator[None]:
    """Console output of the loops goes nowhere (a capture buffer would grow)."""
    null = _Discard()
    with contextlib.redirect_stdout(null), contextlib.redirect_stderr(null):
        yield


def raises(exc: Any, f: Callable[..., Any], *args: Any, **kwargs: Any) -> None:
    try:
        f(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{f!r} did not raise {exc}")


def partly(gen: Any, n: int = 1) -> None:
    """Takes n items and abandons the generator."""
    for _ in range(n):
        next(gen, None)


# ---------------------------------------------------------------- rounds per module
# Each maker gets (module, world, monkeypatch) and returns the round.


def selftest_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    def round_() -> None:
        m.typed("s", 1, [], {}, 1.5, None, k="y")
        raises(TypeError, m.typed, 1, 1, [], {}, 1.5)
        m.collect(1, 2, x=3)
        m.make_adder(2)(3)
        m.pair((1, 2))
        raises(ValueError, m.pair, [1])
        raises(RuntimeError, m.fail, "runtime")
        raises(MemoryError, m.fail, "bad_alloc")
        raises(SystemError, m.fail, "int")
        raises(ValueError, m.fail, "value")
        raises(adv.Boom, m.fail, adv.RaiseOnCall(adv.Boom))
        m.concat("a", 2)
        list(m.count(5))
        partly(m.count(100), 2)
        raises(RuntimeError, list, m.count(5, "raise"))
        list(m.trace([]))
        sq = m.Square(2.0)
        sq.area(), sq.label, m.Square.unit()
        inspect.signature(m.typed)
        m.signature_demo(None, "a")
        raises(TypeError, m.expect_unicode, 1)
        raises(TypeError, m.typed, "s", 1, [], {}, 1.5, None, k="y", extra=1)

    return round_


def evaluation_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    def round_() -> None:
        m.get_verbose_print(True)("x", fg="red")
        ft.Script.set([])
        ev = m.Evaluation(str(w.qset), [ft.FuzzSubject], [ft.FuzzEvaluator])
        ev.run("report.json", "report.md", verbose=True)
        ft.Script.set([("Yes", []), adv.Boom])
        m.Evaluation(str(w.qset), [ft.FuzzSubject], [ft.FuzzEvaluator]).run("broken.json")
        m.Evaluation.resume("report.json")
        raises(FileNotFoundError, m.Evaluation, "absent.json", [], [])
        raises(TypeError, m.Evaluation.run, ev, 1)

    return round_


def pivra_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    def round_() -> None:
        m.YesWoman().predict("q")
        m.NoWoman().predict("q")
        raises(TypeError, m.YesWoman().predict, 1)

    return round_


def resume_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    def round_() -> None:
        ft.Script.set([])
        ft.copy_here(w.reports[0])
        m.resume.callback(json_path="report.json", output="out.json", verbose=False)
        raises(FileNotFoundError, m.resume.callback, "absent.json", None, False)
        raises(TypeError, m.resume.callback, 1, None, False)

    return round_


def markdown_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    def round_() -> None:
        m.markdown.callback(json_path=str(w.reports[0]), output="out.md")
        raises(Exception, m.markdown.callback, str(w.reports[1]), None)

    return round_


def judge_round(name: str, program: str, variables: Dict[str, Any], args: List[Any]) -> Callable[..., Any]:
    """The judge's program replaced by a plain function (guidance's runner keeps
    caches of its own); every third run fails as a program that failed does."""

    class Failed:
        def __init__(self) -> None:
            self._exception = ValueError("model unavailable")  # a new one each time, as a real run gives

    def make(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
        calls = {"n": 0}

        def fake(**kwargs: Any) -> Any:
            calls["n"] += 1
            return Failed() if calls["n"] % 3 == 0 else dict(variables)

        mp.setattr(m, program, fake)
        judge = getattr(m, name)

        def round_() -> None:
            for _ in range(3):
                with contextlib.suppress(ValueError):
                    judge(*args)
            raises(TypeError, judge)

        return round_

    return make


def correctness_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    orsk = ft.load("evaluation.qa.evaluator.llm_helper.orsk").module
    if orsk is not None:
        mp.setattr(orsk, "classifier_pair", lambda **kw: {"answer": "YES", "explanation": "same"})
    case = ft.TestCase(id="1", question="q", reference_answer="Yes")

    def round_() -> None:
        m.Correctness().evaluate("Yes", case)
        raises(TypeError, m.Correctness().evaluate, 1, case)
        raises(AttributeError, m.Correctness().evaluate, "Yes", None)

    return round_


def file_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    from pathlib import Path as P

    def round_() -> None:
        m.get_file_splitter(P("a.py"))
        m.get_file_splitter(P("a.txt"), 100, 10)
        m._github_url_maker("a.py", "https://git.example/r.git", "abc")
        m.gen_github_reference_maker("https://git.example/r")("p.py")
        m.gen_local_reference_maker("/repo")("p.py")
        loader = m.FileLoader([m.FileSource(str(w.repo / "backend" / "deep"), str(w.repo),
                                            m.gen_local_reference_maker(str(w.repo)))])
        list(loader.load())
        partly(m.FileLoader([m.FileSource(str(w.repo))]).load(), 2)
        list(m.FileLoader([m.FileSource(str(w.root / "absent"))]).load())
        raises(AttributeError, list, m.FileLoader([1]).load())
        raises(TypeError, m._github_url_maker, 1, "u")

    return round_


def function_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    url = "u/{}/{}#{}-{}".format

    def round_() -> None:
        list(m.FunctionLoader(m.FunctionSource(str(w.repo), str(w.cag), "good", url)).load())
        partly(m.FunctionLoader(m.FunctionSource(str(w.repo), str(w.cag), "good", url)).load())
        m.FunctionLoader.get_function_with_comment(str(w.files[0]), 3, 4)
        raises(ValueError, list, m.FunctionLoader(m.FunctionSource(str(w.repo), str(w.cag), "bad_lines", url)).load())
        raises(Exception, list, m.FunctionLoader(m.FunctionSource(str(w.repo), str(w.cag), "broken_quote", url)).load())
        raises(FileNotFoundError, list, m.FunctionLoader(m.FunctionSource(str(w.repo), str(w.cag), "absent", url)).load())

    return round_


def dravik_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    mp.setattr(m, "tqdm", lambda iterable, *a, **k: iterable)  # no progress bars in a loop
    embeddings = ft.MeddlingEmbeddings(8, None)
    scores = [("q1", "doc a", 1.0), ("q1", "doc b", 2.0), ("q2", "doc c", 1.0)]
    retrieval = {"q1": ["doc a", "doc b"], "q2": ["doc c", "doc a"]}

    def round_() -> None:
        r = m.EmbeddingRetriever(embeddings)
        r.index(["doc a", "doc b", "doc c"])
        r.index(["doc d"])
        r.search("doc a", 2)
        r.cosine_similarity(np.ones(8))
        r.save("idx")
        m.EmbeddingRetriever(embeddings).load("idx")
        raises(TypeError, r.search, 1)
        raises(ValueError, r.cosine_similarity, np.ones(3))
        gt = m.GroundTruth(scores)
        gt.evaluate(retrieval, 2)
        gt.scores
        gt.query_index("q2")
        raises(ValueError, gt.query_index, "zz")
        raises(ValueError, gt.evaluate, {"q1": ["doc a"]}, 2)
        raises(ValueError, m.GroundTruth, [("q", "d")])
        indexed = m.EmbeddingRetriever(embeddings)
        m.run_retrieval_evaluation(gt, indexed, 2, 2)

    return round_


def sorvel_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    class Chain:
        def __call__(self, question: Any) -> Dict[str, Any]:
            return {"result": "answer", "source_documents": ft.code_documents()}

    class RetrievalQA:
        @staticmethod
        def from_chain_type(**kwargs: Any) -> Chain:
            return Chain()

    mp.setattr(m, "RetrievalQA", RetrievalQA)  # langchain's chain objects are its own to keep

    def round_() -> None:
        s = m.Sorvel(ft.FakeStore())
        s.run("What does add do?")
        s.run("again")
        raises(TypeError, s.run, 1)
        raises(AttributeError, m.Sorvel(object()).run, "q")

    return round_


def brandle_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    def round_() -> None:
        s = m.EvaluableStuffDocumentCodeQA("src", object)
        s.predict("q")
        raises(TypeError, s.predict, 1)
        raises(TypeError, m.EvaluableStuffDocumentCodeQA, None, object)

    return round_


def mundle_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    class Session:
        def __init__(self, fail: bool) -> None:
            self.fail = fail

        def query(self, model: Any) -> "Session":
            if self.fail:
                raise LookupError("no table")
            return self

        def filter_by(self, **kwargs: Any) -> "Session":
            return self

        def order_by(self, *args: Any) -> "Session":
            return self

        def first(self) -> Any:
            return type("Row", (), {"message": "reply"})()

        def __enter__(self) -> "Session":
            return self

        def __exit__(self, *exc: Any) -> bool:
            return False

    state = {"n": 0}

    def session() -> Session:
        state["n"] += 1
        return Session(state["n"] % 2 == 0)

    mp.setattr(m, "run_action", lambda *args: None)  # the SQL session keeps its own state
    mp.setattr(m, "get_db_session", session)

    def round_() -> None:
        m.Mundle().predict("q")
        raises(LookupError, m.Mundle().predict, "q")
        raises(TypeError, m.Mundle().predict, None)

    return round_


def hashing_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    def round_() -> None:
        m.embed_texts(["def add(a, b): return a + b", "HTTPServer", ""], 16)
        m.tokenize("snake_case camelCase HTTPServer")
        raises(TypeError, m.embed_texts, [1], 4)
        raises(ValueError, m.embed_texts, [], 0)
        raises(TypeError, m.tokenize, None)

    return round_


def lexical_round(m: Any, w: ft.World, mp: Any) -> Callable[[], None]:
    def round_() -> None:
        index = m.open_index(None)
        m.add_chunks(index, [1, 2], ["def parse_args(argv): pass", "class Router: ..."], ["cli.py", "docs/r.md"])
        data = m.index_bytes(index)
        again = m.open_index(data)
        m.search(again, "parse args router", 5)
        m.fuse(again, "parse_args", [2, 1], [1], 2)
        m.drop_chunks(again, [1])
        m.chunk_ids(again)
        m.terms("HTTPServer snake_case")
        m.definitions("def f():\nfunc (s *S) Serve() {")
        raises(ValueError, m.open_index, data[:-1])
        raises(ValueError, m.add_chunks, index, [1], ["x"], ["y"])
        raises(TypeError, m.search, "not an index", "q", 1)

    return round_


ROUNDS_BY_MODULE: Dict[str, Callable[..., Callable[[], None]]] = {
    "_pyface_selftest": selftest_round,
    "evaluation.qa.evaluation": evaluation_round,
    "evaluation.qa.evaluable.pivra": pivra_round,
    "evaluation.qa.commands.resume": resume_round,
    "evaluation.qa.commands.markdown": markdown_round,
    "evaluation.qa.evaluator.llm_helper.orsk": judge_round(
        "orsk", "classifier_pair", {"answer": "YES", "explanation": "because"}, ["q", "a", "b"]),
    "evaluation.qa.evaluator.llm_helper.clenter": judge_round(
        "clenter", "classify_single", {"answer": "NO", "explanation": "because"}, ["q", "a"]),
    "evaluation.qa.evaluator.llm_helper.fennic": judge_round(
        "fennic", "rater", {"score": "7", "explanation": "ok"}, ["a", "b"]),
    "evaluation.qa.evaluator.correctness": correctness_round,
    "ask_codebase.indexing.loader.file": file_round,
    "ask_codebase.indexing.loader.function": function_round,
    "evaluation.retrieval.dravik": dravik_round,
    "ask_codebase.chains.sorvel": sorvel_round,
    "evaluation.qa.evaluable.brandle": brandle_round,
    "evaluation.qa.evaluable.mundle": mundle_round,
    "evaluation.retrieval.hashing_embedding": hashing_round,
    "ask_codebase.search.lexical": lexical_round,
}


def generic_round(m: Any, w: ft.World, mp: Any) -> Optional[Callable[[], None]]:
    """For a module without a round of its own: every entry point called with
    arguments that fail (a hostile object for each parameter)."""
    entry_points = ft.discover(m)
    if not entry_points:
        return None

    def round_() -> None:
        for ep in entry_points:
            n = len(inspect.signature(ep.func).parameters)
            with contextlib.suppress(Exception):
                ep.func(*[adv.Hostile() for _ in range(n)])

    return round_


# ---------------------------------------------------------------- the test


def warm(round_: Callable[[], None], cap: int, chunk: int = 50) -> int:
    """Runs rounds until the caches the round fills (numpy's, the interpreter's)
    have filled: until a chunk of rounds leaves no more than a few blocks
    behind, or `cap` rounds. Returns the number of rounds run."""
    done = 0
    gc.collect()
    before = sys.getallocatedblocks()
    while done < cap:
        for _ in range(chunk):
            round_()
        done += chunk
        gc.collect()
        now = sys.getallocatedblocks()
        if now - before <= 10:
            break
        before = now
    return done


@pytest.fixture(scope="module")
def world(tmp_path_factory: pytest.TempPathFactory) -> ft.World:
    return ft.make_world(tmp_path_factory.mktemp("memory-world"))


@pytest.fixture(scope="module", autouse=True)
def _report() -> Iterator[None]:
    yield
    path = os.environ.get("TAVRIN_MEMORY_REPORT")
    if path and FIGURES:
        Path(path).write_text(json.dumps(FIGURES, indent=1))


@pytest.mark.parametrize("dotted", ft.module_names())
def test_memory_is_stable_over_a_long_loop(dotted: str, world: ft.World, tmp_path: Path,
                                           monkeypatch: pytest.MonkeyPatch) -> None:
    loaded = ft.load(dotted)
    if loaded.module is None:
        pytest.skip(loaded.skip_reason or f"tavrin.{dotted} fails to import: {loaded.error!r}")
    if UNDER_ASAN:
        pytest.skip("under AddressSanitizer the heap is the sanitizer's (LeakSanitizer checks for leaks at exit)")
    offline = ft.go_offline(monkeypatch, tmp_path)
    monkeypatch.chdir(tmp_path)
    maker = ROUNDS_BY_MODULE.get(dotted, generic_round)
    round_ = maker(loaded.module, world, monkeypatch)
    if round_ is None:
        pytest.skip(f"tavrin.{dotted} has no native entry points")
    with quiet():
        warm_up = warm(round_, cap=max(1000, ROUNDS // 10))
        start = measure()
        for _ in range(ROUNDS):
            round_()
        middle = measure()
        for _ in range(ROUNDS):
            round_()
        end = measure()
    assert not offline.attempts, f"tried to reach the network: {offline.attempts}"
    FIGURES[dotted] = {"warm_up": warm_up, "rounds": 2 * ROUNDS, "start": start, "middle": middle, "end": end}
    print(f"\n{dotted}: {warm_up} rounds of warm-up, then {2 * ROUNDS}; " + ", ".join(
        f"{k} {start[k]} -> {middle[k]} -> {end[k]}" for k in start))
    grown = end["blocks"] - middle["blocks"]
    assert grown <= BLOCK_SLACK + BLOCKS_PER_ROUND * ROUNDS, (
        f"{grown} Python blocks more after {ROUNDS} rounds (first half: {middle['blocks'] - start['blocks']})")
    if "heap" in end:
        grown = end["heap"] - middle["heap"]
        assert grown <= HEAP_SLACK + HEAP_BYTES_PER_ROUND * ROUNDS, (
            f"{grown} heap bytes more after {ROUNDS} rounds (first half: {middle['heap'] - start['heap']})")
