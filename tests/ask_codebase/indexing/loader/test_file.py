"""The file loader: splitter choice, reference makers, and documents from real trees."""

import functools
import os
import types
from pathlib import Path

import pytest
from langchain.schema import Document
from langchain.text_splitter import CharacterTextSplitter, Language, RecursiveCharacterTextSplitter
from loguru import logger

from tavrin.ask_codebase.indexing.loader import file as file_mod
from tavrin.ask_codebase.indexing.loader.base import Loader
from tavrin.ask_codebase.indexing.loader.file import (
    FileLoader,
    FileMetadata,
    FileSource,
    _github_url_maker,
    _local_file_maker,
    gen_github_reference_maker,
    gen_local_reference_maker,
    get_file_splitter,
)

KEYS = ["filepath", "reference", "name", "source", "url", "label"]


def write(path: Path, data) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(data, bytes):
        path.write_bytes(data)
    else:
        path.write_text(data, encoding="utf-8")
    return path


@pytest.fixture
def info_log():
    """The messages loguru logs at info level while the test runs."""
    messages = []
    sink = logger.add(lambda m: messages.append(m.record), level="INFO", format="{message}")
    yield messages
    logger.remove(sink)


# ---------------------------------------------------------------- splitter choice

@pytest.mark.parametrize("name, language", [
    ("main.py", Language.PYTHON), ("app.js", Language.JS), ("x.go", Language.GO),
    ("A.java", Language.JAVA), ("i.php", Language.PHP), ("lib.rs", Language.RUST),
    ("a.rb", Language.RUBY), ("b.scala", Language.SCALA), ("c.swift", Language.SWIFT),
    ("README.md", Language.MARKDOWN),
])
def test_known_suffixes_get_the_language_splitter(name, language):
    splitter = get_file_splitter(Path("src") / name)
    assert type(splitter) is RecursiveCharacterTextSplitter
    assert splitter._separators == RecursiveCharacterTextSplitter.get_separators_for_language(language)
    assert (splitter._chunk_size, splitter._chunk_overlap) == (5000, 50)


@pytest.mark.parametrize("name", ["Dockerfile", "a.txt", "a.ts", "A.PY", "x.cpp", "y.markdown",
                                  "archive.tar.gz", ".hidden"])
def test_other_files_get_the_token_splitter_at_a_tenth_of_the_size(name):
    splitter = get_file_splitter(Path(name))
    assert type(splitter) is CharacterTextSplitter
    assert splitter._chunk_size == 500.0 and type(splitter._chunk_size) is float
    assert splitter._chunk_overlap == 50
    # special-token text is ordinary text
    assert splitter._length_function("<|endoftext|>") > 1


def test_sizes_are_passed_on_and_only_the_token_size_is_divided():
    go = get_file_splitter(Path("x.go"), 1000, 20)
    txt = get_file_splitter(Path("x.txt"), chunk_overlap=20, chunk_size=1000)
    assert (go._chunk_size, go._chunk_overlap) == (1000, 20)
    assert (txt._chunk_size, txt._chunk_overlap) == (100.0, 20)
    # only the suffix attribute is read
    assert type(get_file_splitter(types.SimpleNamespace(suffix=".rs"))) is RecursiveCharacterTextSplitter


def test_the_splitters_are_built_with_exactly_these_calls(monkeypatch):
    calls = []

    class Spy:
        @classmethod
        def from_language(cls, *args, **kwargs):
            calls.append(("from_language", args, kwargs))

        @classmethod
        def from_tiktoken_encoder(cls, *args, **kwargs):
            calls.append(("from_tiktoken_encoder", args, kwargs))

    monkeypatch.setattr(file_mod, "RecursiveCharacterTextSplitter", Spy)
    monkeypatch.setattr(file_mod, "CharacterTextSplitter", Spy)
    get_file_splitter(Path("a.py"), 7, 3)
    get_file_splitter(Path("a.c"))
    assert calls == [
        ("from_language", (), {"language": Language.PYTHON, "chunk_size": 7, "chunk_overlap": 3}),
        ("from_tiktoken_encoder", (), {"model_name": "text-embedding-ada-002",
                                       "disallowed_special": (), "chunk_size": 500.0,
                                       "chunk_overlap": 50}),
    ]
    assert list(calls[1][2]) == ["model_name", "disallowed_special", "chunk_size", "chunk_overlap"]


@pytest.mark.parametrize("args, message", [
    ((Path("a.py"), 5000.0), "Argument 'chunk_size' has incorrect type (expected int, got float)"),
    ((Path("a.py"), None, True), "Argument 'chunk_size' has incorrect type (expected int, got NoneType)"),
    ((Path("a.py"), 10, True), "Argument 'chunk_overlap' has incorrect type (expected int, got bool)"),
])
def test_sizes_must_be_exactly_int(args, message):
    with pytest.raises(TypeError) as e:
        get_file_splitter(*args)
    assert str(e.value) == message


def test_an_object_without_suffix_is_refused():
    with pytest.raises(AttributeError):
        get_file_splitter("a.py")


# ---------------------------------------------------------------- reference makers

SHA = "0123456789abcdef0123456789abcdef01234567"


def test_github_links():
    maker = gen_github_reference_maker("https://github.com/org/repo.git", SHA)
    assert maker("src/app.py") == f"https://github.com/org/repo/blob/{SHA}/src/app.py"
    main = gen_github_reference_maker("https://github.com/org/repo")
    assert main("src/app.py") == "https://github.com/org/repo/blob/main/src/app.py"
    assert isinstance(maker, functools.partial)
    assert maker.func is _github_url_maker
    assert maker.keywords == {"repo_url": "https://github.com/org/repo.git", "hexsha": SHA}


@pytest.mark.parametrize("url, base", [
    # a repository whose name holds a dot keeps its whole name
    ("https://github.com/socketio/socket.io", "https://github.com/socketio/socket.io"),
    ("https://github.com/socketio/socket.io.git", "https://github.com/socketio/socket.io"),
    ("https://github.com/a/v1.2.3", "https://github.com/a/v1.2.3"),
    ("git@github.com:org/repo.git", "git@github.com:org/repo"),
    ("https://host/org/.git", "https://host/org/.git"),
    ("https://host/repo.gitx", "https://host/repo.gitx"),
    ("", ""),
    # trailing slashes would leave "//blob" in every link
    ("https://github.com/org/repo/", "https://github.com/org/repo"),
    ("https://github.com/org/repo.git/", "https://github.com/org/repo"),
    ("https://github.com/socketio/socket.io//", "https://github.com/socketio/socket.io"),
    ("/", ""),
])
def test_only_a_trailing_git_is_removed(url, base):
    assert _github_url_maker("a.py", url) == base + "/blob/main/a.py"


def test_local_paths():
    maker = gen_local_reference_maker("/repo")
    assert maker("pkg/mod.py") == "/repo/pkg/mod.py"
    assert maker("/abs/x.py") == "/abs/x.py"
    assert _local_file_maker("x.py", "/repo/") == "/repo/x.py"
    assert maker.func is _local_file_maker and maker.keywords == {"repo_dir": "/repo"}


def test_maker_arguments_must_be_str():
    with pytest.raises(TypeError, match=r"^Argument 'hexsha' has incorrect type \(expected str, got NoneType\)$"):
        gen_github_reference_maker("https://github.com/a/b", hexsha=None)
    with pytest.raises(TypeError, match="Argument 'repo_dir' .* got PosixPath"):
        gen_local_reference_maker(Path("/repo"))
    maker = gen_github_reference_maker("https://github.com/a/b")
    with pytest.raises(TypeError, match="Argument 'relpath' .* got PosixPath"):
        maker(Path("a.py"))


def test_factories_look_the_worker_up_when_they_run(monkeypatch):
    monkeypatch.setattr(file_mod, "_local_file_maker", lambda relpath, repo_dir: "patched")
    assert gen_local_reference_maker("/r")("x") == "patched"


# ---------------------------------------------------------------- records

def test_records():
    assert FileSource._fields == ("path", "rel_root", "ref_maker", "file_filter")
    assert FileSource("p") == ("p", None, None, None)
    assert FileMetadata._fields == tuple(KEYS)
    meta = FileMetadata(filepath="f", reference=None, name="n", source="f", url=None)
    assert list(meta._asdict().items()) == [("filepath", "f"), ("reference", None), ("name", "n"),
                                            ("source", "f"), ("url", None), ("label", None)]
    assert issubclass(FileLoader, Loader)


# ---------------------------------------------------------------- loading trees

@pytest.fixture
def repo(tmp_path):
    root = tmp_path / "repo"
    write(root / "pkg" / "a.py", "def a():\n    return 1\n")
    write(root / "pkg" / "sub" / "b.md", "# Title\n\ntext\n")
    write(root / "c.txt", "plain words\n")
    (root / "empty" / "deeper").mkdir(parents=True)
    return root


def docs_by_path(documents):
    return {d.metadata["filepath"]: d for d in documents}


def test_tree_with_relative_paths_and_github_links(repo):
    source = FileSource(str(repo), rel_root=str(repo),
                        ref_maker=gen_github_reference_maker("https://github.com/org/repo.git"))
    documents = list(FileLoader([source]).load())
    assert all(type(d) is Document for d in documents)
    by_path = docs_by_path(documents)
    assert sorted(by_path) == ["c.txt", "pkg/a.py", "pkg/sub/b.md"]
    a = by_path["pkg/a.py"]
    assert a.page_content == "def a():\n    return 1"
    assert list(a.metadata.items()) == [
        ("filepath", "pkg/a.py"),
        ("reference", "https://github.com/org/repo/blob/main/pkg/a.py"),
        ("name", "a.py"),
        ("source", "pkg/a.py"),
        ("url", "https://github.com/org/repo/blob/main/pkg/a.py"),
        ("label", None),
    ]


def test_without_rel_root_or_maker_paths_stay_as_found(repo):
    documents = list(FileLoader([FileSource(str(repo / "pkg"))]).load())
    meta = docs_by_path(documents)[str(repo / "pkg" / "a.py")].metadata
    assert meta == {"filepath": str(repo / "pkg" / "a.py"), "reference": None, "name": "a.py",
                    "source": str(repo / "pkg" / "a.py"), "url": None, "label": None}


def test_a_single_file_source_and_sources_in_order(repo, tmp_path):
    lone = write(tmp_path / "elsewhere" / "lone.go", "package main\n")
    local = gen_local_reference_maker("/checkout")
    loader = FileLoader([FileSource(str(lone), rel_root=str(tmp_path), ref_maker=local),
                         FileSource(str(repo / "c.txt"), rel_root=str(repo))])
    documents = list(loader.load())
    assert [d.metadata["filepath"] for d in documents] == ["elsewhere/lone.go", "c.txt"]
    assert documents[0].metadata["reference"] == "/checkout/elsewhere/lone.go"


def test_every_chunk_carries_its_files_metadata(tmp_path):
    body = "".join(f"def f{i}():\n    return {i}\n\n" for i in range(400))
    path = write(tmp_path / "big.py", body)
    chunks = list(FileLoader([FileSource(str(path), rel_root=str(tmp_path))]).load())
    assert len(chunks) > 1
    assert all(len(c.page_content) <= 5000 for c in chunks)
    assert all(c.page_content in body for c in chunks)
    assert body.startswith(chunks[0].page_content) and body.rstrip().endswith(chunks[-1].page_content)
    for c in chunks:
        assert list(c.metadata) == KEYS
        assert c.metadata["filepath"] == "big.py"
    assert chunks[0].metadata is not chunks[1].metadata


def test_each_file_gets_the_splitter_for_its_suffix(repo, monkeypatch):
    chosen = []

    def spy(*args, **kwargs):
        splitter = get_file_splitter(*args, **kwargs)
        chosen.append((args, kwargs, type(splitter).__name__, splitter._chunk_size))
        return splitter

    monkeypatch.setattr(file_mod, "get_file_splitter", spy)
    list(FileLoader([FileSource(str(repo / "c.txt")), FileSource(str(repo / "pkg" / "a.py"))]).load())
    assert chosen == [
        ((), {"filepath": repo / "c.txt"}, "CharacterTextSplitter", 500.0),
        ((), {"filepath": repo / "pkg" / "a.py"}, "RecursiveCharacterTextSplitter", 5000),
    ]


def test_invalid_utf8_bytes_are_dropped(tmp_path):
    path = write(tmp_path / "bin.txt", b"caf\xc3\xa9 \xff\xfeok\x80\n")
    [doc] = FileLoader([FileSource(str(path))]).load()
    assert doc.page_content == "caf\u00e9 ok"


def test_a_rejected_file_is_logged_once_and_skipped(repo, info_log):
    seen = []

    def keep(path):
        seen.append(path)
        return not path.endswith(".txt")

    documents = list(FileLoader([FileSource(str(repo), rel_root=str(repo), file_filter=keep)]).load())
    assert sorted(docs_by_path(documents)) == ["pkg/a.py", "pkg/sub/b.md"]
    # the filter sees the path as found, before it is made relative
    assert sorted(seen) == sorted(str(p) for p in repo.rglob("*") if p.is_file())
    assert [(r["level"].name, r["message"]) for r in info_log] == [("INFO", f"Skip file: {repo / 'c.txt'}")]


def test_skip_records_carry_this_module_so_loguru_can_silence_it(repo, info_log, monkeypatch):
    def load():
        source = FileSource(str(repo), file_filter=lambda path: not path.endswith(".txt"))
        return list(FileLoader([source]).load())

    load()
    assert [r["name"] for r in info_log] == ["tavrin.ask_codebase.indexing.loader.file"]
    logger.disable("tavrin")
    try:
        load()
    finally:
        logger.enable("tavrin")
    assert len(info_log) == 1
    # the module's logger is looked up when a file is skipped
    seen = []
    monkeypatch.setattr(file_mod, "logger", types.SimpleNamespace(info=seen.append))
    load()
    assert seen == [f"Skip file: {repo / 'c.txt'}"]


def test_missing_paths_directories_and_special_files_yield_nothing(tmp_path, info_log):
    (tmp_path / "d" / "e").mkdir(parents=True)
    os.mkfifo(tmp_path / "d" / "pipe")  # reading it would block
    loader = FileLoader([FileSource(str(tmp_path / "nope")), FileSource(str(tmp_path / "d"))])
    assert list(loader.load()) == []
    assert list(loader._iter_path_or_dir(tmp_path)) == []
    assert info_log == []


def test_symlink_loops_do_not_hang(repo):
    os.symlink(repo, repo / "pkg" / "back")            # a directory link back up
    os.symlink(repo / "self", repo / "self")           # a link to itself
    os.symlink(repo / "pkg" / "a.py", repo / "alias.py")
    found = sorted(str(p.relative_to(repo)) for p in FileLoader([])._iter_path_or_dir(repo))
    assert found == ["alias.py", "c.txt", "pkg/a.py", "pkg/sub/b.md"]
    assert len(list(FileLoader([FileSource(str(repo))]).load())) == 4


def test_nothing_runs_before_the_first_document(repo):
    class Sources:
        def __iter__(self):
            raise RuntimeError("iterated")

    loader = FileLoader(Sources())
    generator = loader.load()
    with pytest.raises(RuntimeError, match="iterated"):
        next(generator)
    walk = loader._iter_path_or_dir(Path("/definitely/not/there"))
    assert list(walk) == []


def test_errors_reach_the_consumer_and_end_the_generator(repo, tmp_path):
    def vanish(path):
        if path.endswith("c.txt"):
            os.remove(path)  # removed between listing and reading
        return True

    loader = FileLoader([FileSource(str(repo / "pkg")), FileSource(str(repo / "c.txt"), file_filter=vanish)])
    generator = loader.load()
    first = [next(generator), next(generator)]
    assert sorted(d.metadata["name"] for d in first) == ["a.py", "b.md"]
    with pytest.raises(FileNotFoundError) as e:
        next(generator)
    assert e.value.filename == str(repo / "c.txt")
    assert list(generator) == []

    with pytest.raises(ValueError, match="is not in the subpath"):
        list(FileLoader([FileSource(str(repo / "pkg"), rel_root=str(tmp_path / "other"))]).load())

    def broken(relpath):
        raise LookupError(relpath)

    with pytest.raises(LookupError, match="a.py"):
        list(FileLoader([FileSource(str(repo / "pkg" / "a.py"), ref_maker=broken)]).load())


def test_load_starts_afresh_from_the_current_sources(repo):
    loader = FileLoader([FileSource(str(repo / "c.txt"))])
    assert len(list(loader.load())) == len(list(loader.load())) == 1
    loader.sources = [FileSource(str(repo / "pkg" / "a.py"))]
    assert [d.metadata["name"] for d in loader.load()] == ["a.py"]
    once = FileLoader(iter([FileSource(str(repo / "c.txt"))]))
    assert len(list(once.load())) == 1
    assert list(once.load()) == []


def test_a_walk_never_reads_through_a_link_that_leaves_the_tree(tmp_path, info_log):
    secret = write(tmp_path / "home" / "id_rsa", "PRIVATE KEY")
    root = tmp_path / "checkout"
    write(root / "src" / "app.py", "def app():\n    return 1\n")
    os.symlink(secret, root / "src" / "notes.md")                  # points out of the tree
    os.symlink(root / "src" / "app.py", root / "src" / "alias.py")  # stays inside
    os.symlink(tmp_path / "home", root / "home")                   # a folder link: not walked

    documents = list(FileLoader([FileSource(str(root), rel_root=str(root))]).load())
    assert sorted(docs_by_path(documents)) == ["src/alias.py", "src/app.py"]
    assert all("PRIVATE" not in d.page_content for d in documents)
    assert [r["message"] for r in info_log] == [
        f"Skip file: {root / 'src' / 'notes.md'} (a link to {secret}, outside {root})"
    ]

    # a walk from a root that is itself a link checks against the real folder
    link_root = tmp_path / "via-link"
    os.symlink(root, link_root)
    documents = list(FileLoader([FileSource(str(link_root), rel_root=str(link_root))]).load())
    assert sorted(docs_by_path(documents)) == ["src/alias.py", "src/app.py"]

    # a link the caller names directly is read, as the caller asked
    [named] = FileLoader([FileSource(str(root / "src" / "notes.md"))]).load()
    assert named.page_content == "PRIVATE KEY"
