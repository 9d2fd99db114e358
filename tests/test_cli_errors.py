"""The `tavrin` entry point: one-line errors for every bad input of index, ask, sources and
retrieval-eval, with nothing damaged, and the conventions of the command group."""

import builtins
import errno
import importlib
import json
import os
import pkgutil
import subprocess
import sys
import threading
import types
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List

import click
import pytest
import tqdm
from click.testing import CliRunner
from langchain.embeddings.fake import DeterministicFakeEmbedding

import tavrin
from tavrin import _llm, errors
from tavrin import cli as cli_module
from tavrin._errors import user_message
from tavrin.ask_codebase import commands
from tavrin.ask_codebase.store.qdrant import QdrantWrapper, close_clients
from tavrin.cli import cli
from tavrin.errors import QuestionSetError, TavrinError

ROOT = Path(__file__).resolve().parents[1]


class FakeEmbedding(DeterministicFakeEmbedding):
    size: int = 16


class StrictEmbedding(DeterministicFakeEmbedding):
    """Cannot be built without arguments: pydantic refuses it."""

    size: int


# ---------------------------------------------------------------- fixtures


@pytest.fixture
def openai_server(monkeypatch: pytest.MonkeyPatch) -> Iterator[List[str]]:
    """A local stand-in for the OpenAI API that rejects every request as a wrong key."""
    requests: List[str] = []
    limit = 20

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self) -> None:  # noqa: N802 (http.server's name)
            self.rfile.read(int(self.headers.get("Content-Length") or 0))
            requests.append(self.path)
            status = 401 if len(requests) <= limit else 503
            body = json.dumps({"error": {"message": "Incorrect API key provided: sk-test", "type": "invalid_request_error",
                                         "param": None, "code": "invalid_api_key"}}).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args: Any) -> None:
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.timeout = 5
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    monkeypatch.setenv("OPENAI_API_BASE", f"http://127.0.0.1:{server.server_address[1]}/v1")
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test-not-a-real-key")
    try:
        yield requests
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)
    assert len(requests) <= limit


@pytest.fixture
def world(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Dict[str, Path]]:
    """A code base indexed as the source 'calc', a ground truth, and an index saved earlier."""
    monkeypatch.setenv("TAVRIN_DATA_DIR", str(tmp_path / "data"))
    monkeypatch.delenv("TAVRIN_QDRANT_URL", raising=False)
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    monkeypatch.delenv("TAVRIN_DEBUG", raising=False)
    monkeypatch.delenv("TAVRIN_EMBEDDINGS", raising=False)
    monkeypatch.setitem(commands.EMBEDDINGS, "fake", FakeEmbedding)
    monkeypatch.setitem(commands.EMBEDDINGS, "strict", StrictEmbedding)
    files = tmp_path / "files"
    repo = files / "repo"
    for name, text in {"calc/add.py": "def add(a, b):\n    return a + b\n",
                       "calc/mul.py": "def mul(a, b):\n    return a * b\n"}.items():
        (repo / name).parent.mkdir(parents=True, exist_ok=True)
        (repo / name).write_text(text)
    truth = files / "truth.jsonl"
    truth.write_text("".join(
        json.dumps({"query": f"what does {name} do?", "document": f"def {name}(a, b): ...", "score": 1.0}) + "\n"
        for name in ("add", "mul", "sub")
    ))
    bad_truth = files / "bad.jsonl"
    bad_truth.write_text('{"query": "q", "document": "d"}\n')
    ro = files / "ro"
    ro.mkdir()
    (ro / "old_docs.npy").write_bytes(b"earlier index: docs")
    (ro / "old_doc_embeddings.npy").write_bytes(b"earlier index: vectors")
    result = CliRunner().invoke(cli, ["index", str(repo), "-s", "calc", "--embeddings", "fake"])
    assert result.exit_code == 0, result.output
    yield {"files": files, "repo": repo, "truth": truth, "bad_truth": bad_truth, "ro": ro}
    close_clients()


def files_state(folder: Path) -> Dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def store_state() -> Dict[str, Any]:
    state: Dict[str, Any] = {}
    for info in QdrantWrapper.describe_sources():
        chunks = QdrantWrapper.reuse(source_name=info.name, embedding_cls=FakeEmbedding).iter_chunks()
        state[info.name] = (info, sorted(json.dumps([c.page_content, c.metadata], sort_keys=True) for c in chunks))
    return state


# ---------------------------------------------------------------- the table


def _refuse_writes_in(folder: Path) -> Callable[[pytest.MonkeyPatch], None]:
    """A folder that cannot be written (the tests may run as root, which ignores modes)."""

    def patch(monkeypatch: pytest.MonkeyPatch) -> None:
        real_open = builtins.open

        def guarded_open(file: Any, mode: str = "r", *args: Any, **kwargs: Any) -> Any:
            if isinstance(file, (str, os.PathLike)) and any(m in mode for m in "wax+"):
                if Path(os.fspath(file)).resolve().parent == folder.resolve():
                    raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), os.fspath(file))
            return real_open(file, mode, *args, **kwargs)

        monkeypatch.setattr(builtins, "open", guarded_open)

    return patch


def _disk_full_when_storing(monkeypatch: pytest.MonkeyPatch) -> None:
    """The engine's own error when a write finds the disk full."""
    import qdrant_edge

    class UpdateOperation:
        @staticmethod
        def upsert_points(points: Any) -> Any:
            raise Exception(f"Service internal error: {os.strerror(errno.ENOSPC)} (os error {errno.ENOSPC})")

    monkeypatch.setattr(qdrant_edge, "UpdateOperation", UpdateOperation)


def _unreadable(name: str) -> Callable[[pytest.MonkeyPatch], None]:
    def patch(monkeypatch: pytest.MonkeyPatch) -> None:
        def refused(real: Callable[..., Any]) -> Callable[..., Any]:
            def read(self: Path, *args: Any, **kwargs: Any) -> Any:
                if self.name == name:
                    raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), str(self))
                return real(self, *args, **kwargs)

            return read

        for method in ("read_text", "read_bytes"):
            monkeypatch.setattr(Path, method, refused(getattr(Path, method)))

    return patch


def _env(**values: str) -> Callable[[pytest.MonkeyPatch], None]:
    def patch(monkeypatch: pytest.MonkeyPatch) -> None:
        for key, value in values.items():
            monkeypatch.setenv(key, value)

    return patch


# (id, argv with {placeholders}, setup, the text the one error line holds)
CASES = [
    ("index-openai-without-key", "index {repo} -s calc --embeddings openai", None,
     "OPENAI_API_KEY is not set: `tavrin index --embeddings openai` needs an OpenAI API key"),
    ("index-openai-rejects-the-key", "index {repo} -s calc --embeddings openai", "openai_server",
     "the OpenAI request failed (AuthenticationError): Incorrect API key provided"),
    ("index-not-an-embedding", "index {repo} -s calc --embeddings collections:OrderedDict", None,
     "--embeddings 'collections:OrderedDict' made a OrderedDict, not embeddings"),
    ("index-embedding-settings-invalid", "index {repo} -s calc --embeddings strict", None,
     "StrictEmbedding: size: field required"),
    # --full: the source is indexed already, and an incremental run would find nothing to write
    ("index-disk-full", "index {repo} -s calc --embeddings fake --full", _disk_full_when_storing,
     "No space left on device"),
    ("index-unreadable-file", "index {repo} -s calc --embeddings fake --full", _unreadable("mul.py"),
     "{repo}/calc/mul.py: Permission denied"),
    ("index-bad-source-name", "index {repo} -s bad/name --embeddings fake", None,
     "invalid source name 'bad/name'"),
    ("ask-without-key", "ask question -s calc --embeddings fake", None, "OPENAI_API_KEY is not set"),
    ("ask-unknown-source", "ask question -s nope --embeddings fake", _env(OPENAI_API_KEY="sk-test"),
     "unknown source 'nope'"),
    ("ask-not-an-embedding", "ask question -s calc --embeddings collections:OrderedDict",
     _env(OPENAI_API_KEY="sk-test"), "made a OrderedDict, not embeddings"),
    ("sources-delete-unknown", "sources --delete nope", None, "unknown source 'nope'"),
    ("sources-store-unreachable", "sources", _env(TAVRIN_QDRANT_URL="http://127.0.0.1:9"),
     "cannot reach the Qdrant server at http://127.0.0.1:9"),
    ("retrieval-eval-bad-ground-truth", "retrieval-eval {bad_truth}", None, "bad.jsonl, line 1: missing 'score'"),
    ("retrieval-eval-openai-without-key", "retrieval-eval {truth} --k 2 --embeddings openai", None,
     "OPENAI_API_KEY"),
    ("retrieval-eval-openai-rejects-the-key", "retrieval-eval {truth} --k 2 --embeddings openai", "openai_server",
     "the OpenAI request failed (AuthenticationError)"),
    ("retrieval-eval-save-read-only", "retrieval-eval {truth} --k 2 --save {ro}/old", "read_only",
     "{ro}/old_docs.npy: Permission denied"),
]


@pytest.mark.parametrize("case, argv, setup, expected", CASES, ids=[c[0] for c in CASES])
def test_every_mistake_is_one_line_and_damages_nothing(
    case: str, argv: str, setup: Any, expected: str, world: Dict[str, Path], request: pytest.FixtureRequest,
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    names = {key: str(value) for key, value in world.items()}
    files_before, store_before = files_state(world["files"]), store_state()
    with pytest.MonkeyPatch.context() as patch:
        if setup == "openai_server":
            request.getfixturevalue("openai_server")
        elif setup == "read_only":
            _refuse_writes_in(world["ro"])(patch)
        elif setup is not None:
            setup(patch)
        result = CliRunner().invoke(cli, [part.format(**names) for part in argv.split()])

    assert result.exit_code == 1, result.output
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("Error: "), result.stderr
    assert expected.format(**names) in lines[0]
    assert files_state(world["files"]) == files_before
    monkeypatch.delenv("TAVRIN_QDRANT_URL", raising=False)
    assert store_state() == store_before


def test_the_console_script_prints_one_line(tmp_path: Path) -> None:
    env = dict(os.environ, TAVRIN_DATA_DIR=str(tmp_path / "data"), PYTHONPATH=os.pathsep.join(sys.path))
    env.pop("TAVRIN_DEBUG", None)
    if "ASAN_OPTIONS" in env:  # under the sanitizers: no leak report of the interpreter at exit
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    command = [sys.executable, "-c", "from tavrin.cli import main; main()", "sources", "--delete", "nope"]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.splitlines() == [
        f"Error: unknown source 'nope' in the local store in {tmp_path / 'data' / 'store'}; "
        "no source has been indexed yet."
    ]
    done = subprocess.run(command, env=dict(env, TAVRIN_DEBUG="1"), capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert done.stderr.startswith("Traceback") and "UnknownSourceError: unknown source 'nope'" in done.stderr
    assert done.stderr.splitlines()[-1].startswith("Error: unknown source 'nope'")
    # asking after a source that does not exist leaves no lock file of it behind
    assert os.listdir(tmp_path / "data" / "store" / ".locks") == []


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path: Path) -> None:
    env = dict(os.environ, TAVRIN_DATA_DIR=str(tmp_path / "data"), PYTHONPATH=os.pathsep.join(sys.path))
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    script = (
        "import click\n"
        "from tavrin.cli import cli, main\n"
        "@cli.command('flood')\n"
        "def flood():\n"
        "    for i in range(100000):\n"
        "        click.echo(f'line {i}')\n"
        "main(['flood'])\n"
    )
    process = subprocess.Popen([sys.executable, "-c", script], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout is not None and process.stderr is not None
    assert process.stdout.readline() == b"line 0\n"
    process.stdout.close()  # as `| head -1` does
    err = process.stderr.read()
    assert process.wait(120) == cli_module.EXIT_BROKEN_PIPE and err == b""


# ---------------------------------------------------------------- the messages


def test_messages_name_the_file_field_or_option() -> None:
    assert user_message(FileNotFoundError(errno.ENOENT, "No such file or directory", "a.json")) == (
        "a.json: No such file or directory"
    )
    assert user_message(OSError(errno.EXDEV, "Invalid cross-device link", "a", None, "b")) == (
        "a -> b: Invalid cross-device link"
    )
    assert user_message(OSError(errno.ENOSPC, "No space left on device")) == "No space left on device"
    assert user_message(ValueError("report.json: record 3:\n  missing field 'x'")) == (
        "report.json: record 3: missing field 'x'"
    )
    with pytest.raises(Exception) as caught:
        StrictEmbedding()
    assert user_message(caught.value) == "StrictEmbedding: size: field required"
    # faults of the program keep their traceback
    assert user_message(RuntimeError("boom")) is None
    assert user_message(TypeError("bad")) is None


# ---------------------------------------------------------------- conventions


@pytest.fixture
def probe(monkeypatch: pytest.MonkeyPatch) -> Dict[str, Any]:
    """A command `probe` in the group that reports what it sees, or raises what it is told."""
    seen: Dict[str, Any] = {}

    @click.command()
    @click.option("--raise", "to_raise", default="")
    def probe_command(to_raise: str) -> None:
        bar = tqdm.tqdm(total=3)
        seen["bar_disabled"] = bar.disable
        bar.close()
        click.secho("green", fg="green")
        if to_raise == "runtime":
            raise RuntimeError("a fault of the program")
        if to_raise == "oserror":
            raise FileNotFoundError(errno.ENOENT, "No such file or directory", "missing.json")
        if to_raise == "tavrin":
            raise QuestionSetError("q.json: case 3:\n  'question' must be a string")

    module = types.ModuleType("probe_commands")
    module.probe = probe_command  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "probe_commands", module)
    monkeypatch.setitem(cli_module.COMMAND_MODULES, "probe", ("probe_commands", "probe"))
    monkeypatch.setattr(cli, "commands", dict(cli.commands))
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.delenv("TAVRIN_DEBUG", raising=False)
    return seen


def test_help_version_and_a_bare_call(monkeypatch: pytest.MonkeyPatch) -> None:
    runner = CliRunner()
    bare = runner.invoke(cli, [])
    assert bare.exit_code == 0 and bare.output.startswith("Usage: ") and "Commands:" in bare.output
    assert runner.invoke(cli, ["-h"]).output == bare.output
    for command in ("index", "ask", "sources", "retrieval-eval", "evaluate", "resume", "markdown", "html"):
        # click keeps a command's help option once made: another test that ran the
        # command on its own (with only --help) must not decide it here
        monkeypatch.setattr(cli.get_command(click.Context(cli), command), "_help_option", None)
        result = runner.invoke(cli, [command, "-h"])
        assert result.exit_code == 0 and result.output.startswith(f"Usage: cli {command} "), command
    assert runner.invoke(cli, ["--version"]).output.strip().endswith("0.1.0")
    # click's own usage errors keep click's form and exit status
    result = runner.invoke(cli, ["index"])
    assert result.exit_code == 2 and "Missing argument 'PATHS...'" in result.stderr


def test_progress_bars_only_on_a_terminal_and_never_when_quiet(probe, monkeypatch) -> None:
    runner = CliRunner()
    assert runner.invoke(cli, ["probe"]).exit_code == 0
    assert probe["bar_disabled"] is True  # standard error is not a terminal here
    monkeypatch.setattr("tavrin._console.is_terminal", lambda stream: True)
    runner.invoke(cli, ["probe"])
    assert probe["bar_disabled"] is False
    runner.invoke(cli, ["--quiet", "probe"])
    assert probe["bar_disabled"] is True
    # the bars of code outside a command are untouched
    bar = tqdm.tqdm(total=1, disable=False, file=open(os.devnull, "w"))
    assert bar.disable is False
    bar.close()


def test_no_color_is_honoured_on_a_terminal(probe, monkeypatch) -> None:
    runner = CliRunner()
    assert "\x1b[32m" in runner.invoke(cli, ["probe"], color=True).stdout
    monkeypatch.setenv("NO_COLOR", "1")
    result = runner.invoke(cli, ["probe"], color=True)
    assert result.stdout == "green\n"


def test_faults_keep_their_traceback_and_debug_shows_every_one(probe, monkeypatch) -> None:
    runner = CliRunner()
    result = runner.invoke(cli, ["probe", "--raise", "oserror"])
    assert result.exit_code == 1 and result.stderr == "Error: missing.json: No such file or directory\n"
    result = runner.invoke(cli, ["probe", "--raise", "runtime"])
    assert isinstance(result.exception, RuntimeError)
    result = runner.invoke(cli, ["--traceback", "probe", "--raise", "oserror"])
    assert isinstance(result.exception, FileNotFoundError)
    monkeypatch.setenv("TAVRIN_DEBUG", "1")
    result = runner.invoke(cli, ["probe", "--raise", "oserror"])
    assert isinstance(result.exception, FileNotFoundError)


def test_status_goes_to_stderr_and_results_to_stdout(world) -> None:
    runner = CliRunner()
    result = runner.invoke(cli, ["index", str(world["repo"]), "-s", "calc2", "--embeddings", "fake"])
    assert result.exit_code == 0 and result.stdout == ""
    assert result.stderr.startswith("Indexed 2 chunks from 2 files as source 'calc2'")
    listing = runner.invoke(cli, ["sources"])
    assert listing.exit_code == 0 and listing.stderr == ""
    header, *rows = listing.stdout.splitlines()
    assert header.split() == ["SOURCE", "CHUNKS", "EMBEDDINGS", "INDEXED"]
    assert [row.split()[:3] for row in rows] == [["calc", "2", "fake"], ["calc2", "2", "fake"]]
    assert rows[0].endswith(" UTC")
    deleted = runner.invoke(cli, ["sources", "--delete", "calc2"])
    assert deleted.exit_code == 0 and deleted.stdout == "" and "Deleted source 'calc2' (2 chunks)" in deleted.stderr
    assert [info.name for info in QdrantWrapper.describe_sources()] == ["calc"]


# ---------------------------------------------------------------- the error tree

# where each error was defined before tavrin.errors, and the standard errors it must stay
OLD_HOMES = {
    "OutputPathError": ("tavrin._outputs", ValueError),
    "ReportError": ("tavrin.evaluation.qa.report.record", ValueError),
    "QuestionSetError": ("tavrin.evaluation.qa.question_set", ValueError),
    "GroundTruthFileError": ("tavrin.evaluation.retrieval.commands", ValueError),
    "LabelsError": ("tavrin.evaluation.qa.agreement", ValueError),
    "GateError": ("tavrin.evaluation.qa.gates", ValueError),
    "ComparisonError": ("tavrin.evaluation.qa.compare", ValueError),
    "ClassSpecError": ("tavrin.evaluation.qa.registry", LookupError),
    "UnknownEvaluatorError": ("tavrin.evaluation.qa.evaluator.base", LookupError),
    "UnknownEvaluableError": ("tavrin.evaluation.qa.evaluable.base", LookupError),
    "EmbeddingsError": ("tavrin.embeddings", ValueError),
    "StoreError": ("tavrin.ask_codebase.store.qdrant", RuntimeError),
    "UnknownSourceError": ("tavrin.ask_codebase.store.qdrant", (errors.StoreError, LookupError)),
    "EmptySourceError": ("tavrin.ask_codebase.store.qdrant", errors.StoreError),
    "InvalidSourceNameError": ("tavrin.ask_codebase.store.qdrant", (errors.StoreError, ValueError)),
    "StoreUnavailableError": ("tavrin.ask_codebase.store.qdrant", errors.StoreError),
    "RetriesExhausted": ("tavrin._llm", Exception),
}


def test_every_error_tavrin_defines_is_a_tavrin_error_with_its_old_bases(monkeypatch) -> None:
    for name, (home, bases) in OLD_HOMES.items():
        cls = getattr(errors, name)
        assert getattr(importlib.import_module(home), name) is cls, name
        assert issubclass(cls, TavrinError) and issubclass(cls, bases), name
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")  # some modules build a chat model at import
    public = {}
    for info in pkgutil.walk_packages(tavrin.__path__, "tavrin."):
        for value in vars(importlib.import_module(info.name)).values():
            if isinstance(value, type) and issubclass(value, BaseException) and value.__module__.startswith("tavrin"):
                if not value.__name__.startswith("_"):  # private ones never leave their module
                    public[f"{value.__module__}.{value.__qualname__}"] = value
    assert "tavrin.commands._qa.common.Fail" in public
    assert [name for name, cls in public.items() if not issubclass(cls, TavrinError)] == []
    assert issubclass(public["tavrin.commands._qa.common.Fail"], click.ClickException)
    # the error of spent retries is the OpenAI client's too, and keeps that message
    import openai

    exhausted = _llm._make_retries_exhausted()("RateLimitError: slow down (gave up after 7 attempts)")
    assert isinstance(exhausted, errors.RetriesExhausted) and isinstance(exhausted, openai.error.OpenAIError)
    assert user_message(exhausted) == (
        "the OpenAI request failed (RetriesExhausted): RateLimitError: slow down (gave up after 7 attempts)"
    )


def test_a_tavrin_error_from_a_command_is_one_line(probe, monkeypatch) -> None:
    runner = CliRunner()
    result = runner.invoke(cli, ["probe", "--raise", "tavrin"])
    assert result.exit_code == 1 and result.stderr == "Error: q.json: case 3: 'question' must be a string\n"
    monkeypatch.setenv("TAVRIN_DEBUG", "1")  # the traceback first, then the same line
    result = runner.invoke(cli, ["probe", "--raise", "tavrin"])
    assert result.exit_code == 1 and result.stderr.startswith("Traceback")
    assert result.stderr.splitlines()[-1] == "Error: q.json: case 3: 'question' must be a string"


def test_a_command_of_tavrins_class_shows_its_errors_alone_as_under_the_group(monkeypatch) -> None:
    """Usage errors keep click's form (usage line, exit status 2) and other errors are one
    line, whether the command runs under `tavrin`, in another group or alone; under the
    group in debug mode the traceback is shown once."""
    from tavrin.commands.base import Command
    from tavrin.errors import OptionError

    @click.command("strict", cls=Command)
    @click.option("--raise", "to_raise", default="")
    def strict(to_raise: str) -> None:
        if to_raise == "hint":
            raise OptionError("must be a finite number", "--threshold")
        if to_raise == "usage":
            raise OptionError("--exact needs --qdrant-source")
        if to_raise == "tavrin":
            raise QuestionSetError("q.json: case 3:\n  'question' must be a string")
        if to_raise == "value":
            raise ValueError("a bad value")
        if to_raise == "runtime":
            raise RuntimeError("a fault of the program")

    module = types.ModuleType("strict_commands")
    module.strict = strict  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "strict_commands", module)
    monkeypatch.setitem(cli_module.COMMAND_MODULES, "strict", ("strict_commands", "strict"))
    monkeypatch.setattr(cli, "commands", dict(cli.commands))
    monkeypatch.delenv("TAVRIN_DEBUG", raising=False)
    other_group = click.Group("other", commands=[strict])
    runner = CliRunner()
    expected = {
        "hint": (2, "Error: Invalid value for --threshold: must be a finite number"),
        "usage": (2, "Error: --exact needs --qdrant-source"),
        "tavrin": (1, "Error: q.json: case 3: 'question' must be a string"),
        "value": (1, "Error: a bad value"),
    }
    for to_raise, (code, line) in expected.items():
        under = runner.invoke(cli, ["strict", "--raise", to_raise])
        inside = runner.invoke(other_group, ["strict", "--raise", to_raise])
        alone = runner.invoke(strict, ["--raise", to_raise])
        for result in (under, inside, alone):
            assert result.exit_code == code and result.stderr.splitlines()[-1] == line, (to_raise, result.stderr)
        if code == 2:
            assert under.stderr.startswith("Usage: cli strict [OPTIONS]")
            assert alone.stderr.startswith("Usage: strict [OPTIONS]")
    # a fault of the program is not dressed up as the user's error
    assert isinstance(runner.invoke(strict, ["--raise", "runtime"]).exception, RuntimeError)
    monkeypatch.setenv("TAVRIN_DEBUG", "1")
    result = runner.invoke(cli, ["strict", "--raise", "tavrin"])
    assert result.exit_code == 1 and result.stderr.count("Traceback") == 1
    assert result.stderr.splitlines()[-1] == "Error: q.json: case 3: 'question' must be a string"
