"""Files split for indexing: the same chunks as the loader's splitter, each at its true place."""

import random
from pathlib import Path

import pytest
from langchain.text_splitter import Language, RecursiveCharacterTextSplitter

from tavrin.ask_codebase.indexing.loader.file import FileSource, get_file_splitter
from tavrin.ask_codebase.indexing.splitting import LANGUAGES, Splitting, file_chunks


def _texts():
    rng = random.Random(7)
    words = ["def", "class", "x", "\n", "\n\n", " ", "\t", "return", "é", "日本", "```\n", "\n# ", "fn", "{", "}"]
    yield "".join(rng.choice(words) for _ in range(3000))
    yield "def f():\n    return 1\n\n\n" * 400  # the same block again and again
    yield "\n\n\n\n" + "a" * 12000 + "\n\n   \n\n" + "b " * 3000  # a line longer than a chunk
    yield "   \n\t\n"
    yield ""


@pytest.mark.parametrize("name", ["m.py", "README.md", "main.go", "notes.txt", "Dockerfile"])
def test_chunks_are_the_loader_splitters_and_know_where_they_lie(name):
    for text in _texts():
        chunks = Splitting.for_path(name).split(text)
        assert [c.text for c in chunks] == get_file_splitter(Path(name)).split_text(text)
        end = -1
        for chunk in chunks:
            if chunk.first is None:
                continue
            # the chunk's visible text is the file's between its first and last character
            assert "".join(chunk.text.split()) == "".join(text[chunk.first : chunk.last + 1].split())
            assert chunk.first > end - 200  # in order, give or take their overlap
            end = chunk.last


# the table's suffixes and common others (some of which only look alike), each split as the loader does
_COMMON = ".py .pyi .PY .js .jsx .mjs .ts .tsx .go .java .kt .php .rs .Rs .rb .scala .swift .c .h .cc .cpp .hpp"
_SUFFIXES = sorted(set(LANGUAGES) | set(_COMMON.split()) | {".md", ".mdx", ".rst", ".txt", ".json", ".ex", ".lua", ""})


@pytest.mark.parametrize("suffix", _SUFFIXES)
def test_the_suffix_table_is_the_loaders(suffix):
    rng = random.Random(suffix)
    words = ["def ", "class ", "func ", "fn ", "function ", "impl ", "module ", "public ", "## ", "```", "\n", "\n\n"]
    words += ["x = 1;", "{", "}", "if ", "else ", "  ", "=" * 5, "---", "case ", "end", "struct ", "var "]
    text = "".join(rng.choice(words) for _ in range(6000))
    splitter = get_file_splitter(Path("f" + suffix))
    assert [c.text for c in Splitting.for_path("f" + suffix).split(text)] == splitter.split_text(text)
    assert Splitting.for_path("f" + suffix).recursive == (type(splitter).__name__ == "RecursiveCharacterTextSplitter")
    if suffix in LANGUAGES:  # the restated separators are langchain's, all of them
        separators = RecursiveCharacterTextSplitter.get_separators_for_language(Language[LANGUAGES[suffix]])
        assert list(Splitting.for_path("f" + suffix).separators) == separators


def test_file_chunks_read_each_file_once_and_give_exact_lines(tmp_path):
    block = "def handler(event):\n    return event\n\n\n"
    (tmp_path / "same.py").write_text(block * 300)  # identical text everywhere: only places tell
    (tmp_path / "log.txt").write_bytes(b"".join(b"line %d\r\n" % i for i in range(4000)))  # no blank line
    source = FileSource(path=str(tmp_path), rel_root=str(tmp_path))
    read = {Path(r.path).name: r for r in file_chunks(source, sorted(tmp_path.iterdir()))}
    for name, item in read.items():
        lines = item.text.split("\n")
        starts = [c.metadata["start_line"] for c in item.chunks]
        assert starts == sorted(starts) and len(set(starts)) == len(starts), name
        for chunk in item.chunks:
            first, last = chunk.metadata["start_line"] - 1, chunk.metadata["end_line"] - 1
            assert chunk.page_content in "\n".join(lines[first : last + 1]), name
            # its first and last lines are where it begins and ends (a piece may cut a line)
            assert lines[first].rstrip().endswith(chunk.page_content.split("\n")[0].strip()), name
            assert lines[last].lstrip().startswith(chunk.page_content.split("\n")[-1].strip()), name
            assert chunk.metadata["filepath"] == name and chunk.metadata["label"] is None
    assert "\r" not in read["log.txt"].text and len(read["log.txt"].chunks) > 1  # cut to size
