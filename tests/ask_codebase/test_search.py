"""Code search: the lexical channel's terms, fusion and ranking, `tavrin search`, and
incremental indexing (changed, removed and added files; a kill in the middle)."""

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from click.testing import CliRunner

from tavrin.ask_codebase.search import LexicalIndex, lexical
from tavrin.ask_codebase.store.qdrant import QdrantWrapper, close_clients
from tavrin.cli import cli


def test_terms_split_identifiers_and_keep_them_whole():
    assert lexical.terms("parse_args(HTTPServer2)") == ["parse", "arg", "parseargs", "http", "server", "httpserver2"]
    assert lexical.path_terms("src/http_client/Router.go") == sorted(
        {"src", "http", "client", "httpclient", "router", "go"}
    )
    code = "\n".join(
        [
            "def load_config(path):",
            "class Store(Base):",
            "func (s *Server) ServeHTTP(w http.ResponseWriter) {",
            "pub(crate) fn parse_line() {",
            "pub mod styled_str;",  # only says where the module's file is
            "mod inline {",
            "impl Display for Point {",
            "defmodule Plug.Conn do",
            "export const makeRouter = (opts) => {",
            "static int read_block(FILE *f) {",
            "  public async handle(req: Request): Promise<void> {",  # a method in a class body
            "  static of<Map<K, V>>(x: K) {",
            "  it('handles', () => {",
            "    } else if (ready(x)) {",
            "defprotocol Plug.Exception do",
            "  defdelegate to_list(enum), to: Enum",
            "if (ready(x)) {",
            "  return helper(x);",
        ]
    )
    assert lexical.definitions(code) == [
        "load_config", "Store", "ServeHTTP", "parse_line", "inline", "Point", "Display", "Conn", "makeRouter",
        "read_block", "handle", "of", "Exception", "to_list",
    ]  # fmt: skip
    kinds = {p: lexical.path_kind(p) for p in ("docs/guide.md", "README.rst", "tests/test_x.py", "a/b_test.go",
                                               "lib/x.spec.js", "src/latest.py", "src/contest.py")}  # fmt: skip
    assert kinds == {"docs/guide.md": "documentation", "README.rst": "documentation", "tests/test_x.py": "test",
                     "a/b_test.go": "test", "lib/x.spec.js": "test", "src/latest.py": "code",
                     "src/contest.py": "code"}  # fmt: skip


def small_index() -> LexicalIndex:
    index = LexicalIndex()
    index.add(
        [10, 11, 12, 13],
        [
            "def parse_args(argv):\n    return argv[1:]",
            "Call parse_args to read the command line: parse args, parse args, parse args.",
            "def test_parse_args():\n    assert parse_args(['x']) == []",
            "class Router:\n    def route(self, path): ...",
        ],
        ["cli/options.py", "docs/usage.md", "tests/test_options.py", "net/router.py"],
    )
    return index


def test_bm25_fusion_and_the_ranking_step():
    index = small_index()
    assert [i for i, _ in index.search("router", 5)] == [13]  # path and text
    # reciprocal rank fusion alone: a chunk both channels found beats one found only once,
    # and the lexical list weighs more (1.5 / (20 + 2) > 1 / (20 + 1))
    fused = index.fuse("unrelated words", [12, 11], [11, 10], 4, rerank=False)
    assert [f[0] for f in fused] == [11, 10, 12]
    assert fused[0][2:] == (2, 1) and fused[1][2:] == (0, 2) and fused[2][2:] == (1, 0)
    assert fused[0][1] == pytest.approx(1 / 22 + 1.5 / 21)
    # the ranking step: the definition of a code-looking name beats its documentation and
    # its test, whatever order the channels gave
    ranked = index.fuse("parse_args", [11, 12, 10], [11, 12, 10], 3)
    assert [r[0] for r in ranked][0] == 10 and {r[0] for r in ranked} == {10, 11, 12}
    # the bytes round-trip; damaged ones are refused, whatever was cut
    copy = LexicalIndex(index.to_bytes())
    assert copy.search("parse args", 4) == index.search("parse args", 4)
    data = index.to_bytes()
    for cut in (0, 3, 10, len(data) // 2, len(data) - 1):
        with pytest.raises(ValueError, match="lexical index"):
            LexicalIndex(data[:cut] + b"\xff" if cut else b"junk")
    copy.drop([10, 13])
    assert sorted(copy.ids()) == [11, 12] and copy.search("router", 3) == []


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    root = tmp_path / "proj"
    (root / "pkg").mkdir(parents=True)
    (root / "pkg" / "config.py").write_text("def load_config(path):\n    return open(path).read()\n")
    (root / "pkg" / "router.py").write_text("class Router:\n    def route(self, url):\n        return url\n")
    (root / "pkg" / "cache.py").write_text("def lru_cache_size():\n    return 128\n")
    (root / "README.md").write_text("# proj\n\nLoads its config and routes URLs.\n")
    return root


def run(*args: str) -> "object":
    result = CliRunner().invoke(cli, list(args))
    return result


def test_incremental_index_changes_only_what_changed(store, tree):
    first = run("index", str(tree), "-s", "proj")
    assert first.exit_code == 0, first.output
    again = run("index", str(tree), "-s", "proj")
    assert "is up to date" in again.output
    # the built-in hashing model's list weighs 0.5 in the fusion, the lexical one 1.5
    from tavrin.embeddings import HashingModel

    fused = QdrantWrapper.reuse("proj", HashingModel).search("load the config", 4, rerank=False)
    assert fused and all(
        h.score == pytest.approx(sum(w / (20 + r) for w, r in ((0.5, h.dense_rank), (1.5, h.lexical_rank)) if r))
        for h in fused
    )
    wrapper = QdrantWrapper.reuse("proj", lambda: None)
    before = {c.metadata["filepath"]: c.id for c in wrapper.iter_chunks()}
    close_clients()

    (tree / "pkg" / "config.py").write_text("def load_settings(path):\n    return path\n")  # changed
    (tree / "pkg" / "cache.py").unlink()  # removed
    (tree / "pkg" / "tokens.py").write_text("def tokenize_identifier(name):\n    return name\n")  # added
    update = run("index", str(tree), "-s", "proj")
    assert "1 changed, 1 added and 1 removed files" in update.output, update.output
    wrapper = QdrantWrapper.reuse("proj", lambda: None)
    after = {c.metadata["filepath"]: c.id for c in wrapper.iter_chunks()}
    assert set(after) == {"pkg/config.py", "pkg/router.py", "pkg/tokens.py", "README.md"}
    # the unchanged files kept their points: nothing of theirs was embedded again
    assert after["pkg/router.py"] == before["pkg/router.py"] and after["README.md"] == before["README.md"]
    assert after["pkg/config.py"] != before["pkg/config.py"]
    found = run("search", "proj", "tokenize_identifier", "--k", "1", "--format", "jsonl")
    assert json.loads(found.output)["path"] == "pkg/tokens.py"
    assert run("search", "proj", "lru_cache_size", "--search", "lexical").output.count("cache.py") == 0
    # --full indexes it anew: the same chunks, new points
    assert "Indexed 4 chunks from 4 files" in run("index", str(tree), "-s", "proj", "--full").output


def test_a_file_known_by_its_status_is_not_read_again_unless_its_status_or_the_checks_changed(
    store, tree, monkeypatch
):
    from tavrin.ask_codebase.indexing import selection

    monkeypatch.setattr(selection, "SETTLED_NS", 0)  # every file's times tell at once
    (tree / "pkg" / "gen.py").write_text("# Generated by protoc. DO NOT EDIT.\nX = 1\n")
    assert "from 4 files" in run("index", str(tree), "-s", "proj").output
    read, hashed = [], []
    real_reason, real_hash = selection.generated_reason, selection.content_hash
    monkeypatch.setattr(selection, "generated_reason", lambda p, head: read.append(Path(p).name) or real_reason(p, head))
    monkeypatch.setattr(selection, "content_hash", lambda path: hashed.append(path.name) or real_hash(path))
    config = tree / "pkg" / "config.py"
    status = config.stat()
    config.write_text(config.read_text().replace("load_config", "load_cOnfig"))  # same size, then same mtime
    os.utime(config, ns=(status.st_atime_ns, status.st_mtime_ns))
    update = run("index", str(tree), "-s", "proj")
    assert "1 changed, 0 added and 0 removed file" in update.output, update.output
    # the file's change time told; of the others only the one left out was read again
    assert (read, hashed) == (["config.py", "gen.py"], ["config.py"])
    # checks that the earlier run did not make are made: for being generated (a file taken
    # under --include) and for size
    assert "1 added" in run("index", str(tree), "-s", "proj", "--include", "*.py", "--include", "*.md").output
    read.clear()
    update = run("index", str(tree), "-s", "proj", "--max-file-size", "45")
    assert read == ["gen.py"], update.output
    stored = {c.metadata["filepath"] for c in QdrantWrapper.reuse("proj", lambda: None).iter_chunks()}
    assert stored == {"pkg/cache.py", "README.md"}, update.output  # the others are generated or over 45 bytes


LIGHT_RUN = """
import sys
from pathlib import Path
from tavrin.cli import main

def run(*args):
    try:
        main(list(args))
    except SystemExit as exc:
        assert not exc.code, exc.code

run("index", sys.argv[1], "-s", "proj")
Path(sys.argv[1], "pkg", "config.py").write_text("def load_settings(path):\\n    return path\\n")
Path(sys.argv[1], "notes.txt").write_text("settings are loaded from a file\\n")
run("index", sys.argv[1], "-s", "proj")
run("search", "proj", "load_settings", "--k", "1")
print("langchain loaded" if "langchain" in sys.modules else "langchain not loaded")
"""


def test_indexing_again_and_searching_need_no_langchain_and_keep_the_loaders_metadata(store, tree):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    done = subprocess.run([sys.executable, "-c", LIGHT_RUN, str(tree)], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[:2] == ["1.", "pkg/config.py#L1-L2"], done.stdout  # the changed text is found
    assert done.stdout.rstrip().endswith("langchain not loaded"), done.stdout
    from tavrin.ask_codebase.indexing.loader.file import FileLoader, FileSource, gen_local_reference_maker

    loaded = FileLoader([FileSource(str(tree), str(tree), gen_local_reference_maker(str(tree)))]).load()
    expected = {d.metadata["filepath"]: d.metadata for d in loaded}
    stored = {c.metadata["filepath"]: c.metadata for c in QdrantWrapper.reuse("proj", lambda: None).iter_chunks()}
    assert set(stored) == set(expected)
    for path, metadata in stored.items():
        assert {k: v for k, v in metadata.items() if not k.endswith("_line")} == expected[path], path


KILLED_UPDATE = """
import sys
from tavrin.ask_codebase.store import edge

def killed(self, *args):
    import os, signal
    os.kill(os.getpid(), signal.SIGKILL)

edge._EdgeWriter.add = killed  # the update has copied the source and dropped the changed file
from tavrin.cli import main
main(["index", sys.argv[1], "-s", "proj"])
"""


def test_a_kill_during_an_update_leaves_the_old_source(store, tree):
    assert run("index", str(tree), "-s", "proj").exit_code == 0
    close_clients()
    (tree / "pkg" / "config.py").write_text("def load_settings(path):\n    return path\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    done = subprocess.run([sys.executable, "-c", KILLED_UPDATE, str(tree)], env=env, capture_output=True, timeout=300)
    assert done.returncode == -signal.SIGKILL, done.stderr
    hits = run("search", "proj", "load_config", "--k", "1", "--format", "jsonl")
    assert json.loads(hits.output)["path"] == "pkg/config.py"  # the old text is still there
    assert len(list((store.path / "proj").glob("g-*"))) == 1  # the half-made copy is gone
    assert "1 changed, 0 added and 0 removed" in run("index", str(tree), "-s", "proj").output


def test_search_refuses_what_it_cannot_do(store, tree, tmp_path):
    assert run("index", str(tree), "-s", "proj").exit_code == 0
    # a source indexed before the lexical channel existed
    manifest = store.path / "proj" / "source.json"
    data = json.loads(manifest.read_text())
    del data["lexical"]
    manifest.write_text(json.dumps(data))
    close_clients()
    old = run("search", "proj", "router")
    assert old.exit_code == 1 and "indexed by an earlier version" in old.output
    assert old.output.count("\n") == 1
    assert run("search", "proj", "router", "--search", "dense").exit_code == 0
    assert run("search", "nope", "router").exit_code == 1
    assert run("search", "proj", "  ").exit_code == 2
    # a usage error of the command: its usage line, then the value refused
    empty = run("search", "proj", "  ")
    assert empty.stderr.startswith("Usage: cli search [OPTIONS] SOURCE QUERY")
    assert empty.stderr.splitlines()[-1] == "Error: Invalid value for QUERY: the query is empty"


def test_a_full_disk_and_damaged_sources_are_one_line_errors(store, tree, monkeypatch):
    import collections

    from tavrin.ask_codebase.store import edge

    assert run("index", str(tree), "-s", "proj").exit_code == 0
    close_clients()
    # the engine writes into files it laid out sparse, and a write with the disk full would
    # end the process: a run that lacks the room stops before, and leaves nothing behind
    statvfs = collections.namedtuple("statvfs", "f_bavail f_frsize")
    with monkeypatch.context() as patch:
        patch.setattr(edge.os, "statvfs", lambda path: statvfs(16, 4096))
        full = run("index", str(tree), "-s", "other")
        assert full.exit_code == 1 and "No space left on device" in full.output, full.output
        assert not (store.path / "other").exists() or not list((store.path / "other").glob("g-*"))
        # a source written by this version opens without any room: its vectors have their blocks
        found = run("search", "proj", "router", "--k", "1")
        assert found.exit_code == 0, found.output

    # a damaged manifest shows in the listing without hiding the other sources
    assert run("index", str(tree), "-s", "second").exit_code == 0
    (store.path / "proj" / "source.json").write_text("{")
    close_clients()
    listing = run("sources")
    assert listing.exit_code == 0 and "second" in listing.output and "damaged" in listing.output
    # a generation folder that lost its files says so at once, instead of asking to try again
    generation = next((store.path / "second").glob("g-*"))
    (generation / "edge_config.json").unlink()
    close_clients()
    broken = run("search", "second", "router")
    assert broken.exit_code == 1 and "is damaged" in broken.output and broken.output.count("\n") == 1
