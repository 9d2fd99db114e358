"""The function loader: comment extraction, the CSV export, the edge lists and bad input."""

import csv
import os
import random
from pathlib import Path

import pytest
from langchain.schema import Document

from tavrin.ask_codebase.indexing.loader import function as function_mod
from tavrin.ask_codebase.indexing.loader.base import Loader
from tavrin.ask_codebase.indexing.loader.function import FunctionLoader, FunctionSource

NODE_COLUMNS = ["node_id", "name", "file_path", "start_line", "end_line", "is_test_func"]
KEYS = ["source", "name", "node_id", "from_node_ids", "to_node_ids", "len", "url"]
SHA = "c0ffee"


def cut(text, start, end, tmp_path):
    path = tmp_path / "src.txt"
    path.write_text(text, encoding="utf-8", newline="")
    return FunctionLoader.get_function_with_comment(str(path), start, end)


def reference_cut(lines, start, end):
    """The comment walk written out plainly, line by line."""
    out, in_block = [], False
    for i, line in enumerate(lines, 1):
        if i < start:
            s = line.strip()
            if in_block:
                out.append(line)
                in_block = "*/" not in s
            elif s.startswith("/*"):
                out.append(line)
                in_block = "*/" not in s[2:]
            elif s.startswith("//") or s.startswith("#"):
                out.append(line)
            else:
                out = []
        elif i <= end:
            out.append(line)
        else:
            break
    return "".join(out)


def url(hexsha, path, start, end):
    return f"https://git.example/{hexsha}/{path}#L{start}-L{end}"


def write_csv(path: Path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(header)
        w.writerows(rows)


class Export:
    """A repository checkout and its two CSV files in a temporary folder."""

    def __init__(self, tmp_path: Path):
        self.repo = tmp_path / "repo"
        self.cag = tmp_path / "cag"
        self.repo.mkdir()
        self.cag.mkdir()
        self.nodes_path = self.cag / f"{SHA}_cag_nodes.csv"
        self.edges_path = self.cag / f"{SHA}_cag_edges.csv"
        self.nodes(NODE_COLUMNS, [])
        self.edges(["from_node_id", "to_node_id"], [])

    def source(self, relpath, text):
        path = self.repo / relpath
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8", newline="")
        return path

    def nodes(self, header, rows):
        write_csv(self.nodes_path, header, rows)

    def edges(self, header, rows):
        write_csv(self.edges_path, header, rows)

    def loader(self, url_from_filepath=url):
        return FunctionLoader(FunctionSource(str(self.repo), str(self.cag), SHA, url_from_filepath))


@pytest.fixture
def export(tmp_path):
    return Export(tmp_path)


# ---------------------------------------------------------------- comments above a function

@pytest.mark.parametrize("text, start, end, expected", [
    # a blank line drops the comment above it
    ("# first\n\n# second\ndef f():\n    pass\n", 4, 5, "# second\ndef f():\n    pass\n"),
    ("/* one\n   two\n*/\nint f()\n{}\n", 4, 5, "/* one\n   two\n*/\nint f()\n{}\n"),
    ("// a\n  // b\nvoid f();\n", 3, 3, "// a\n  // b\nvoid f();\n"),
    # a one-line block comment closes on its own line
    ("/* note */\nint x = 1;\nint f()\n{}\n", 3, 4, "int f()\n{}\n"),
    ("int x;\n/* note */\nint f()\n{}\n", 3, 4, "/* note */\nint f()\n{}\n"),
    # a decorator between the comment and the range drops the comment
    ("# c\n@deco\ndef f():\n    pass\n", 3, 4, "def f():\n    pass\n"),
    ("#include <a.h>\nint f();\n", 2, 2, "#include <a.h>\nint f();\n"),
    # past the end: the file's trailing comment block
    ("x = 1\n# tail\n", 10, 12, "# tail\n"),
    ("x = 1\n", 10, 12, ""),
    # a range ending above its start: only the comment block
    ("# c\ndef f():\n    pass\n", 2, 1, "# c\n"),
    ("def f():\n    pass\nrest\n", 1, 2, "def f():\n    pass\n"),
    ("# c\ndef f(): pass", 2, 2, "# c\ndef f(): pass"),
    ("", 1, 3, ""),
    # universal newlines, as a text-mode read gives them
    ("# c\r\ndef f():\r    pass\r\n", 2, 3, "# c\ndef f():\n    pass\n"),
    # Unicode white space before a comment mark
    ("\u3000# wide\ndef f(): pass\n", 2, 2, "\u3000# wide\ndef f(): pass\n"),
])
def test_function_with_comment(tmp_path, text, start, end, expected):
    assert cut(text, start, end, tmp_path) == expected


def test_comment_walk_matches_a_line_by_line_walk(tmp_path):
    pieces = ["# c\n", "// c\n", "/* open\n", " * mid\n", " end */\n", "/* one */\n", "/*/\n",
              "code\n", "\n", "  @deco\n", "\t# tab\n", "x */ y\n", "no newline"]
    rng = random.Random(4)
    for case in range(300):
        lines = [rng.choice(pieces[:-1]) for _ in range(rng.randrange(0, 14))]
        if rng.random() < 0.2:
            lines.append(pieces[-1])
        start, end = rng.randrange(-1, 17), rng.randrange(-1, 17)
        assert cut("".join(lines), start, end, tmp_path) == reference_cut(lines, start, end), \
            (case, lines, start, end)


def test_bounds_that_are_not_ints_compare_as_the_interpreter_does(tmp_path):
    text = "# c\ndef f():\n    pass\nnext\n"
    assert cut(text, 2.0, 3.5, tmp_path) == "# c\ndef f():\n    pass\n"
    assert cut(text, True, 2**80, tmp_path) == text
    with pytest.raises(TypeError, match="'<' not supported"):
        cut(text, "2", 3, tmp_path)


def test_reading_errors_of_a_source_file(tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        FunctionLoader.get_function_with_comment(str(tmp_path / "gone.py"), 1, 2)
    assert e.value.filename == str(tmp_path / "gone.py")
    with pytest.raises(IsADirectoryError):
        FunctionLoader.get_function_with_comment(str(tmp_path), 1, 2)
    bad = tmp_path / "bad.py"
    bad.write_bytes(b"ok\n\xff\n")
    with pytest.raises(UnicodeDecodeError):
        FunctionLoader.get_function_with_comment(bad, 1, 1)


# ---------------------------------------------------------------- loading an export

def test_documents_of_an_export(export, capsys):
    export.source("backend/app.py", "import os\n\n# Adds.\ndef add(a, b):\n    return a + b\n"
                                    "\n\n\n\ndef sub(a, b):\n    return a - b\n    # end\n")
    export.nodes(NODE_COLUMNS + ["extra"], [
        ["n1", "add", "backend/app.py", "4", "5", "False", "ignored"],
        ["n2", "sub", "backend/app.py", "10", "12", "", "ignored"],
        ["t1", "test_add", "backend/app.py", "4", "5", "True", ""],
        ["f1", "ui", "frontend/app.py", "1", "2", "False", ""],
        ["n3", "lower", "backend/app.py", "1", "1", "true", ""],
    ])
    export.edges(["from_node_id", "to_node_id"], [["n1", "n2"], ["n2", "n1"], ["n1", "n3"], ["x", "n2"]])
    documents = list(export.loader().load())
    assert capsys.readouterr().out == "3\n3\n3\n"
    assert [type(d) for d in documents] == [Document] * 3
    add, sub, lower = documents
    assert add.page_content == "backend/app.py#L4-L5\n```\n# Adds.\ndef add(a, b):\n    return a + b\n```"
    assert sub.page_content.startswith("backend/app.py#L10-L12\n```\ndef sub(a, b):\n")
    assert sub.page_content.endswith("    # end\n```")
    assert list(add.metadata) == KEYS
    assert add.metadata == {"source": "backend/app.py", "name": "add", "node_id": "n1",
                            "from_node_ids": ["n2"], "to_node_ids": ["n2", "n3"], "len": 1,
                            "url": f"https://git.example/{SHA}/backend/app.py#L4-L5"}
    assert sub.metadata["from_node_ids"] == ["n1", "x"] and sub.metadata["to_node_ids"] == ["n1"]
    assert sub.metadata["len"] == 2
    assert lower.metadata["from_node_ids"] == ["n1"] and lower.metadata["to_node_ids"] == []
    assert lower.metadata["len"] == 0


def test_url_maker_gets_the_commit_path_and_int_lines(export):
    export.source("backend/a.py", "a\nb\nc\n")
    export.nodes(NODE_COLUMNS, [["1", "f", "backend/a.py", "2", "3", "False"]])
    calls = []
    [doc] = export.loader(lambda *args: calls.append(args) or "u").load()
    assert calls == [(SHA, "backend/a.py", 2, 3)]
    assert doc.metadata["url"] == "u"


def test_documents_are_made_by_the_module_document_name(export, monkeypatch):
    export.source("backend/a.py", "x\n")
    export.nodes(NODE_COLUMNS, [["1", "f", "backend/a.py", "1", "1", "False"]])
    made = []
    monkeypatch.setattr(function_mod, "Document", lambda *args, **kwargs: made.append((args, kwargs)))
    list(export.loader().load())
    [(args, kwargs)] = made
    assert args == () and list(kwargs) == ["page_content", "metadata"]


def test_pruning_of_outgoing_lists(export):
    export.source("backend/a.py", "x\n")
    export.nodes(NODE_COLUMNS, [["hub", "h", "backend/a.py", "1", "1", "False"],
                                ["few", "f", "backend/a.py", "1", "1", "False"],
                                ["lonely", "l", "backend/a.py", "1", "1", "False"]])
    edges = [["hub", t] for t in ["a", "popular", "b", "c"]]
    edges += [["few", t] for t in ["p1", "p2", "p2"]]
    for target, count in (("popular", 9), ("p1", 9), ("p2", 8)):
        edges += [[f"s{i}", target] for i in range(count)]
    export.edges(["from_node_id", "to_node_id"], edges)
    hub, few, lonely = export.loader().load()
    # 10 incoming entries: dropped from a list of more than 3
    assert hub.metadata["to_node_ids"] == ["a", "b", "c"]
    # lists of 3 or fewer are kept whole, duplicates included
    assert few.metadata["to_node_ids"] == ["p1", "p2", "p2"]
    assert lonely.metadata["from_node_ids"] == [] and lonely.metadata["to_node_ids"] == []


def test_pruning_bounds_are_inclusive(export):
    # a list of 4 targets is pruned; a target with exactly 9 callers stays,
    # one with 10 goes; a list of exactly 3 stays whole
    export.source("backend/a.py", "x\n")
    export.nodes(NODE_COLUMNS, [["hub", "h", "backend/a.py", "1", "1", "False"],
                                ["three", "t", "backend/a.py", "1", "1", "False"]])
    edges = [["hub", t] for t in ["nine", "ten", "one", "two"]]
    edges += [["three", t] for t in ["ten", "ten", "nine"]]
    edges += [[f"s{i}", "nine"] for i in range(7)]
    edges += [[f"s{i}", "ten"] for i in range(7)]
    export.edges(["from_node_id", "to_node_id"], edges)
    hub, three = export.loader().load()
    assert hub.metadata["to_node_ids"] == ["nine", "one", "two"]
    assert three.metadata["to_node_ids"] == ["ten", "ten", "nine"]


def test_no_kept_nodes_prints_three_counts(export, capsys):
    export.nodes(NODE_COLUMNS, [["1", "f", "src/a.py", "1", "1", "False"]])
    export.edges(["from_node_id", "to_node_id"], [["1", "2"]])
    assert list(export.loader().load()) == []
    assert capsys.readouterr().out == "0\n1\n1\n"


def test_nothing_runs_before_the_first_document(export, capsys):
    export.nodes_path.unlink()
    generator = export.loader().load()
    assert capsys.readouterr().out == ""
    with pytest.raises(FileNotFoundError):
        next(generator)


def test_csv_rules_match_the_csv_module(export):
    names = ['plain', 'with, comma', 'with "quotes"', 'line\nbreak', 'crlf\r\ninside', '',
             ' spaced ', 'caf\u00e9 \u4e2d', '"', 'tail\\']
    export.source("backend/a.py", "x\n")
    text = "name,node_id,extra,file_path,start_line,end_line,is_test_func\r\n"
    for i, name in enumerate(names):
        quoted = '"' + name.replace('"', '""') + '"'
        text += f'{quoted},"{i}",x,backend/a.py,1,1,False\r\n'
        if i % 3 == 0:
            text += "\r\n"  # blank lines are skipped
    text += "short-row"  # no final line break; its other cells are missing
    export.nodes_path.write_text(text, encoding="utf-8", newline="")
    with open(export.nodes_path, newline="", encoding="utf-8") as f:
        expected = [row["name"] for row in csv.DictReader(f) if row["file_path"]]
    # the short row has no file_path: reading it fails as it does with a dict row
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'startswith'"):
        list(export.loader().load())
    export.nodes_path.write_text(text[: -len("short-row")], encoding="utf-8", newline="")
    assert [d.metadata["name"] for d in export.loader().load()] == expected == names


def outcome(run):
    try:
        return run()
    except Exception as e:  # the same failure, or the same rows
        return type(e), str(e)


def test_random_csv_text_reads_as_the_csv_module_reads_it(export):
    export.source("backend/a.py", "x\n")
    cells = ["1", "backend/a.py", "False", "True", "", "plain", '"quoted, comma"', '"a ""q"" b"',
             '"multi\nline"', '"cr\r\nlf"', 'in"side', '"open', "\u00e9", ' "late"', '"x"y']
    ends = ["\n", "\r\n", "\r"]
    rng = random.Random(11)

    def row():
        if rng.random() < 0.7:  # well formed but for its id and name
            extra = [rng.choice(cells) for _ in range(rng.randrange(0, 3))]
            return [rng.choice(cells), rng.choice(cells), "backend/a.py", "1", "2",
                    rng.choice(["False", "True", ""])] + extra
        return [rng.choice(cells) for _ in range(rng.randrange(0, 8))]

    def expected():
        with open(export.nodes_path, newline="", encoding="utf-8") as f:
            kept = [r for r in csv.DictReader(f)
                    if r["file_path"].startswith("backend/") and r["is_test_func"] != "True"]
        return [(int(r["start_line"]), int(r["end_line"]), r["name"], r["node_id"]) for r in kept]

    def actual():
        return [(1, 1 + d.metadata["len"], d.metadata["name"], d.metadata["node_id"])
                for d in export.loader().load()]

    clean = 0
    for case in range(300):
        rows = [",".join(row()) for _ in range(rng.randrange(1, 6))]
        text = ",".join(NODE_COLUMNS) + "".join(rng.choice(ends) + r for r in rows)
        if rng.random() < 0.5:
            text += rng.choice(ends)
        export.nodes_path.write_text(text, encoding="utf-8", newline="")
        want = outcome(expected)
        assert outcome(actual) == want, (case, text)
        clean += isinstance(want, list)
    assert clean > 50


def test_short_rows_and_repeated_columns_read_like_dict_rows(export):
    export.source("backend/a.py", "x\n")
    export.nodes(NODE_COLUMNS + ["name"],
                 [["1", "first", "backend/a.py", "1", "1", "False", "second"],
                  ["2", "first", "backend/a.py", "1", "1", "False"]])
    export.edges(["from_node_id", "to_node_id"], [["1"]])
    one, two = export.loader().load()
    assert one.metadata["name"] == "second" and two.metadata["name"] is None
    assert one.metadata["to_node_ids"] == [None]


def test_each_source_file_is_cut_correctly_when_visited_again(export):
    export.source("backend/a.py", "# a1\ndef a1(): pass\n# a2\ndef a2(): pass\n")
    export.source("backend/b.py", "# b1\ndef b1(): pass\n")
    export.nodes(NODE_COLUMNS, [["a2", "a2", "backend/a.py", "4", "4", "False"],
                                ["b1", "b1", "backend/b.py", "2", "2", "False"],
                                ["a1", "a1", "backend//./a.py", "2", "2", "False"]])
    docs = list(export.loader().load())
    assert [d.page_content.split("```\n")[1][:-3] for d in docs] == [
        "# a2\ndef a2(): pass\n", "# b1\ndef b1(): pass\n", "# a1\ndef a1(): pass\n"]
    assert docs[2].metadata["source"] == "backend//./a.py"


def test_an_overriding_get_function_with_comment_is_used(export):
    export.source("backend/a.py", "x\n")
    export.nodes(NODE_COLUMNS, [["1", "f", "backend/a.py", "1", "1", "False"]])

    class Mine(FunctionLoader):
        @classmethod
        def get_function_with_comment(cls, file_path, start_line, end_line):
            return f"{file_path}|{start_line!r}|{end_line!r}"

    [doc] = Mine(FunctionSource(str(export.repo), str(export.cag), SHA, url)).load()
    assert doc.page_content == f"backend/a.py#L1-L1\n```\n{export.repo / 'backend/a.py'}|1|1```"


def test_class_face():
    assert issubclass(FunctionLoader, Loader)
    source = FunctionSource(repo_path="r", cag_path="c", hexsha="h", url_from_filepath=url)
    assert FunctionLoader(source)._source is source


# ---------------------------------------------------------------- bad input

def test_missing_files_are_named(export):
    export.source("backend/a.py", "x\n")
    export.nodes(NODE_COLUMNS, [["1", "f", "backend/a.py", "1", "1", "False"],
                                ["2", "g", "backend/gone.py", "1", "1", "False"]])
    generator = export.loader().load()
    assert next(generator).metadata["node_id"] == "1"
    with pytest.raises(FileNotFoundError) as e:
        next(generator)
    assert e.value.filename == str(export.repo / "backend" / "gone.py")

    export.edges_path.unlink()
    with pytest.raises(FileNotFoundError) as e:
        list(export.loader().load())
    assert e.value.filename == str(export.edges_path)
    export.nodes_path.unlink()
    with pytest.raises(FileNotFoundError) as e:
        list(export.loader().load())
    assert e.value.filename == str(export.nodes_path)


@pytest.mark.parametrize("column", NODE_COLUMNS + ["from_node_id", "to_node_id"])
def test_a_missing_column_is_a_key_error_naming_it(export, column):
    export.source("backend/a.py", "x\n")
    row = {"node_id": "1", "name": "f", "file_path": "backend/a.py", "start_line": "1",
           "end_line": "1", "is_test_func": "False"}
    header = [c for c in NODE_COLUMNS if c != column]
    export.nodes(header, [[row[c] for c in header]])
    edge_header = [c for c in ["from_node_id", "to_node_id"] if c != column]
    export.edges(edge_header, [["1"] * len(edge_header)])
    with pytest.raises(KeyError) as e:
        list(export.loader().load())
    assert e.value.args == (column,)


@pytest.mark.parametrize("start, end, message", [
    ("ten", "12", "invalid literal for int() with base 10: 'ten'"),
    ("10", "", "invalid literal for int() with base 10: ''"),
    ("1.5", "2", "invalid literal for int() with base 10: '1.5'"),
])
def test_a_line_number_that_is_not_an_integer(export, start, end, message):
    export.source("backend/a.py", "x\n")
    export.nodes(NODE_COLUMNS, [["1", "f", "backend/a.py", start, end, "False"]])
    with pytest.raises(ValueError) as e:
        list(export.loader().load())
    assert str(e.value) == message


def test_line_numbers_read_as_int_reads_them(export):
    export.source("backend/a.py", "a\nb\nc\n")
    export.nodes(NODE_COLUMNS, [["1", "f", "backend/a.py", " 2", "+3 ", "False"],
                                ["2", "g", "backend/a.py", "0002", "1_0", "False"]])
    first, second = export.loader().load()
    assert first.page_content == "backend/a.py#L 2-L+3 \n```\nb\nc\n```"
    assert (first.metadata["len"], second.metadata["len"]) == (1, 8)


def test_a_source_that_is_not_utf8_raises_the_decoding_error(export):
    export.source("backend/a.py", "x\n")
    (export.repo / "backend" / "a.py").write_bytes(b"def f():\n    return '\xe9'\n")
    export.nodes(NODE_COLUMNS, [["1", "f", "backend/a.py", "1", "2", "False"]])
    with pytest.raises(UnicodeDecodeError):
        list(export.loader().load())


def test_a_field_over_the_csv_size_limit(export):
    export.nodes(NODE_COLUMNS, [["1", "x" * 50, "backend/a.py", "1", "1", "False"]])
    old = csv.field_size_limit(20)
    try:
        with pytest.raises(csv.Error, match=r"field larger than field limit \(20\)"):
            list(export.loader().load())
    finally:
        csv.field_size_limit(old)


def test_a_file_path_that_leaves_the_repository_is_refused(export, tmp_path):
    (tmp_path / "outside.txt").write_text("secret = 1\n")
    export.source("backend/app.py", "def f():\n    pass\n")
    export.nodes(NODE_COLUMNS, [
        ["n1", "f", "backend/app.py", "1", "2", "False"],
        ["n2", "g", "backend/../../outside.txt", "1", "1", "False"],
    ])
    documents = export.loader().load()
    assert next(documents).metadata["node_id"] == "n1"
    with pytest.raises(ValueError) as caught:
        next(documents)
    message = str(caught.value)
    assert "node 'n2'" in message and "'backend/../../outside.txt'" in message
    assert f"repo_path {str(export.repo)!r}" in message

    # a link inside the tree that points out is refused the same way; one that stays in is read
    os.symlink(tmp_path / "outside.txt", export.repo / "backend" / "leak.py")
    os.symlink(export.repo / "backend" / "app.py", export.repo / "backend" / "same.py")
    # ".." that stays inside the repository is fine
    (export.repo / "backend" / "x").mkdir()
    export.nodes(NODE_COLUMNS, [
        ["n3", "h", "backend/same.py", "1", "2", "False"],
        ["n4", "i", "backend/x/../app.py", "1", "2", "False"],
        ["n5", "j", "backend/leak.py", "1", "1", "False"],
    ])
    documents = export.loader().load()
    assert [next(documents).metadata["node_id"] for _ in range(2)] == ["n3", "n4"]
    with pytest.raises(ValueError, match="node 'n5': file_path 'backend/leak.py' leads outside"):
        next(documents)


@pytest.mark.parametrize("name", ["x" * 20, "\u00e9" * 20, 'a"b' + "y" * 17, "a,b" + "z" * 17, "line\n" + "w" * 15])
def test_a_field_of_exactly_the_csv_size_limit_is_read(export, name):
    # quoted (comma, quote, line break inside) or not, counted in characters
    export.source("backend/a.py", "x\n")
    export.nodes(NODE_COLUMNS, [["1", name, "backend/a.py", "1", "1", "False"]])
    export.edges(["from_node_id", "to_node_id"], [["1", name]])
    old = csv.field_size_limit(20)
    try:
        [doc] = export.loader().load()
        assert doc.metadata["name"] == name and doc.metadata["from_node_ids"] == []
        export.nodes(NODE_COLUMNS, [["1", name + "v", "backend/a.py", "1", "1", "False"]])
        with pytest.raises(csv.Error, match=r"field larger than field limit \(20\)"):
            list(export.loader().load())
    finally:
        csv.field_size_limit(old)
