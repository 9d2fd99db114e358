"""`tavrin index` and `tavrin ask`, offline."""

from pathlib import Path

import pytest
from click.testing import CliRunner

from tavrin.ask_codebase import commands
from tavrin.ask_codebase.commands import TreeSelection
from tavrin.ask_codebase.store.qdrant import QdrantWrapper
from tavrin.cli import cli

from .conftest import FakeChat, FakeEmbedding


@pytest.fixture
def repo(tmp_path: Path) -> Path:
    root = tmp_path / "repo"
    files = {
        "calc/add.py": "def add(a, b):\n    return a + b\n",
        "calc/mul.py": "def mul(a, b):\n    return a * b\n",
        ".git/config": "[core]\n",
        "node_modules/left-pad/index.js": "module.exports = 1;\n",
        "env/lib/site.py": "import os\n",
        "env/pyvenv.cfg": "home = /usr\n",
        "calc/__pycache__/add.cpython-311.pyc": "x",
        "logo.png": "not really a png",
    }
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    (root / "data.bin2").write_bytes(b"\x00\x01binary")
    return root


@pytest.fixture
def fake_embeddings(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(commands.EMBEDDINGS, "fake", FakeEmbedding)
    monkeypatch.setenv("TAVRIN_EMBEDDINGS", "fake")


def test_default_selection(repo: Path):
    selection = TreeSelection(repo, max_size=100)
    taken = sorted(str(p.relative_to(repo)) for p in selection.files())
    assert taken == ["calc/add.py", "calc/mul.py"]
    assert sorted(selection.skipped_folders) == [
        (".git", "version control"), ("calc/__pycache__", "cache"),
        ("env", "virtual environment"), ("node_modules", "installed packages"),
    ]
    assert selection.skipped_files == {(".", "binary (by its suffix)"): 1, (".", "binary (holds NUL bytes)"): 1}
    big = repo / "big.py"
    big.write_text("x = 1\n" * 50)
    assert TreeSelection(big, max_size=100).files() == []
    # only the part below the root counts: a root inside node_modules is indexed
    inner = TreeSelection(repo / "node_modules" / "left-pad")
    assert inner.files() == [repo / "node_modules" / "left-pad" / "index.js"]


def test_a_built_checkout_indexes_only_its_real_sources(tmp_path: Path):
    root = tmp_path / "checkout"
    files = {
        ".gitignore": "*.log\nreport*.json\n/generated/\n!keep.log\n",
        "src/app.py": "def app(): ...\n",
        "src/keep.log": "kept by the negation\n",
        "src/run.log": "ignored\n",
        "src/report1.json": "{}\n",
        "src/vendor/.gitignore": "*.c\n!main.c\n",
        "src/vendor/lib.c": "int lib;\n",
        "src/vendor/main.c": "int main;\n",
        "generated/out.py": "x = 1\n",
        "docs/generated/page.md": "a deeper folder of the same name is kept\n",
        "build/CMakeCache.txt": "CMAKE=1\n",
        "cmake-build-debug/x.txt": "x\n",
        "pkg.egg-info/PKG-INFO": "x\n",
        ".venv/lib/site.py": "import os\n",
        ".hypothesis/examples/x": "x\n",
        "tools/env2/pyvenv.cfg": "home = /usr\n",
        "tools/env2/lib/a.py": "a = 1\n",
        ".git/HEAD": "ref: refs/heads/main\n",
    }
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    selection = TreeSelection(root)
    taken = sorted(p.relative_to(root).as_posix() for p in selection.files())
    assert taken == [".gitignore", "docs/generated/page.md", "src/app.py", "src/keep.log",
                     "src/vendor/.gitignore", "src/vendor/main.c"]
    report = "\n".join(selection.report())
    assert "  .venv/  whole folder: virtual environment" in report
    assert "  build/  whole folder: build output" in report
    assert "  generated/  whole folder: ignored by .gitignore (/generated/)" in report
    assert "  src/  1 file: ignored by .gitignore (*.log); 1 file: ignored by .gitignore (report*.json)" in report
    assert "  src/vendor/  1 file: ignored by src/vendor/.gitignore (*.c)" in report
    assert "tools/env2/  whole folder: virtual environment" in report

    # --include narrows the choice, --exclude widens what is left out
    only_py = TreeSelection(root, include=["*.py"], exclude=["docs/"])
    assert [p.relative_to(root).as_posix() for p in only_py.files()] == ["src/app.py"]
    assert ("docs", "excluded by --exclude") in only_py.skipped_folders


def test_index_then_ask(store, repo, fake_embeddings, sorvel, monkeypatch):
    runner = CliRunner()
    result = runner.invoke(cli, ["index", str(repo), str(repo / "calc" / ".."), "--source", "calc"])
    assert result.exit_code == 0, result.output
    assert "Indexed 2 chunks from 2 files as source 'calc' (2 files and 4 folders left out)" in result.stderr

    class OfflineSorvel(sorvel.Sorvel):
        llm = FakeChat(responses=["partial"], prompts=[])
        reduce_llm = FakeChat(responses=["add(a, b) returns their sum."], prompts=[])

    monkeypatch.setitem(commands.CHAINS, "map-reduce", OfflineSorvel)
    result = runner.invoke(cli, ["ask", "What does add return?", "--source", "calc"])
    assert result.exit_code == 0, result.output
    answer, sources = result.stdout.split("\nSources:\n")
    assert answer == "add(a, b) returns their sum.\n"
    assert sorted(sources.splitlines()) == [f"- {repo / 'calc' / 'add.py'}#L1-L2", f"- {repo / 'calc' / 'mul.py'}#L1-L2"]


def test_nothing_to_index_leaves_the_source_alone(store, repo, fake_embeddings):
    runner = CliRunner()
    assert runner.invoke(cli, ["index", str(repo), "-s", "calc"]).exit_code == 0
    (repo / "empty").mkdir()
    result = runner.invoke(cli, ["index", str(repo / "empty"), str(repo / "logo.png"), "-s", "calc"])
    assert result.exit_code == 1
    assert "no file was chosen (1 file and 0 folders left out; -v says why)" in result.output
    assert "left unchanged" in result.output
    assert QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding).count() == 2


def test_ask_without_a_key_fails_first(store, monkeypatch):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    monkeypatch.setattr(commands, "resolve_embeddings", lambda name: pytest.fail("went on without a key"))
    result = CliRunner().invoke(cli, ["ask", "q", "--source", "nowhere"])
    assert result.exit_code == 1
    assert "OPENAI_API_KEY is not set" in result.output and "export OPENAI_API_KEY=" in result.output


def test_ask_reports_store_problems(store, repo, fake_embeddings, openai_key, monkeypatch):
    runner = CliRunner()
    result = runner.invoke(cli, ["ask", "q", "--source", "calc"])
    assert result.exit_code == 1 and "unknown source 'calc'" in result.output
    assert "tavrin index PATH --source calc" in result.output

    assert runner.invoke(cli, ["index", str(repo), "-s", "calc"]).exit_code == 0

    class Wider(FakeEmbedding):
        size: int = 32

    monkeypatch.setitem(commands.EMBEDDINGS, "wider", Wider)
    result = runner.invoke(cli, ["ask", "q", "--source", "calc", "--embeddings", "wider"])
    assert result.exit_code == 1 and "vectors of length 16" in result.output

    result = runner.invoke(cli, ["ask", "q", "--source", "calc", "--embeddings", "nosuch"])
    assert result.exit_code == 2 and "unknown embeddings 'nosuch'" in result.output


def test_one_embeddings_table_serves_every_command(monkeypatch: pytest.MonkeyPatch):
    from tavrin import embeddings

    assert commands.EMBEDDINGS is embeddings.EMBEDDINGS
    monkeypatch.setitem(embeddings.EMBEDDINGS, "fake", FakeEmbedding)
    assert commands.resolve_embeddings("fake") is FakeEmbedding
    assert isinstance(embeddings.make_embeddings("fake"), FakeEmbedding)
    with pytest.raises(ValueError, match="choose one of: hashing, minilm, openai, fake"):
        embeddings.make_embeddings("bert")


def test_long_files_without_separators_are_cut_to_size_and_know_their_lines(store, tmp_path, fake_embeddings):
    """A 1 MB log with a single blank line, JSON of 1 MB on one line (with characters of
    several UTF-8 bytes), a worktree's .git file, a lock file and an SVG."""
    from tavrin.ask_codebase.indexing.chunks import limit_for

    root = tmp_path / "tree"
    root.mkdir()
    log_lines = [f"2024-05-01 12:00:{i % 60:02d} INFO worker-{i % 7} handled /api/items/{i} in {i % 997}ms"
                 for i in range(14_000)]
    log_lines[7000] = ""  # one blank line: the token splitter's only separator
    (root / "app.log").write_text("\n".join(log_lines)[:1_000_000])
    record = ",".join(f'"k{i}":["wert-{i}","Grüße","日本語",{i * 0.5}]' for i in range(40_000))
    (root / "data.json").write_text(("{" + record).encode()[:999_990].decode("utf-8", "ignore") + "}")
    (root / ".git").write_text("gitdir: /abs/path/repo/.git/worktrees/tree\n")
    (root / "uv.lock").write_text("version = 1\n")
    (root / "logo.svg").write_text("<svg xmlns='http://www.w3.org/2000/svg'/>\n")
    (root / "mod.py").write_text("def f():\n    return 1\n\n\n" + "x = 1\n" * 1500)
    assert (root / "data.json").stat().st_size <= 1_000_000 and "\n" not in (root / "data.json").read_text()

    result = CliRunner().invoke(cli, ["index", str(root), "-s", "big", "-v"])
    assert result.exit_code == 0, result.output
    assert "Created a chunk of size" not in result.output
    assert "2 files: generated (lock file, SVG, minified; --include takes it); 1 file: version control" in result.stderr

    texts = {name: (root / name).read_text() for name in ("app.log", "data.json", "mod.py")}
    chunks = list(QdrantWrapper.reuse(source_name="big", embedding_cls=FakeEmbedding).iter_chunks())
    assert {c.metadata["filepath"] for c in chunks} == set(texts)
    assert not any("gitdir:" in c.page_content for c in chunks)
    for chunk in chunks:
        path, text = chunk.metadata["filepath"], chunk.page_content
        limit = limit_for(path)
        assert limit.length(text) <= limit.size, (path, limit.length(text))
        # the chunk is the text of its lines (a piece of a line, for one-line JSON)
        lines = texts[path].split("\n")[chunk.metadata["start_line"] - 1:chunk.metadata["end_line"]]
        assert text in "\n".join(lines) and lines[0].strip() and lines[-1].strip()
        assert set(chunk.metadata) >= {"reference", "name", "source", "url", "label"}
    assert sum(c.metadata["filepath"] == "data.json" for c in chunks) > 500
    # nothing of the files is lost: every non-blank line lies in some chunk
    for path in texts:
        covered = set()
        for chunk in chunks:
            if chunk.metadata["filepath"] == path:
                covered.update(range(chunk.metadata["start_line"], chunk.metadata["end_line"] + 1))
        blank = {i for i, line in enumerate(texts[path].split("\n"), 1) if not line.strip()}
        assert covered | blank == set(range(1, texts[path].count("\n") + 2))
    assert not any("\ufffd" in c.page_content for c in chunks)  # no character was cut in two

    # --include takes generated files, but never a .git file
    result = CliRunner().invoke(cli, ["index", str(root), "-s", "lock", "--include", "uv.lock", "--include", ".git"])
    assert result.exit_code == 0, result.output
    stored = list(QdrantWrapper.reuse(source_name="lock", embedding_cls=FakeEmbedding).iter_chunks())
    assert [c.metadata["filepath"] for c in stored] == ["uv.lock"]
