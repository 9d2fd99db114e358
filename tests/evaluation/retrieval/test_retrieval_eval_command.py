import json
from pathlib import Path

import numpy as np
import pytest
from click.testing import CliRunner

from tavrin.embeddings import CodeHashingEmbeddings, make_embeddings
from tavrin.evaluation.retrieval.commands import read_ground_truth, retrieval_eval
from tavrin.evaluation.retrieval.hashing_embedding import embed_texts, tokenize

EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "retrieval_ground_truth.jsonl"


def write_lines(path: Path, *lines: str) -> str:
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return str(path)


def judgement(query: str, document: str, score: object) -> str:
    return json.dumps({"query": query, "document": document, "score": score})


# ---------------------------------------------------------------- the hashing embedding


def test_tokens_split_identifiers() -> None:
    assert tokenize("HTTPServerError max_retry_count getFileIndexes") == [
        "http", "server", "error", "httpservererror",
        "max", "retry", "count", "maxretrycount",
        "get", "file", "index", "getfileindexes",
    ]
    assert tokenize("the x of queries") == ["of", "query"]


def test_hashing_embeddings_are_deterministic_unit_vectors() -> None:
    model = CodeHashingEmbeddings(dim=64)
    docs = model.embed_documents(["def load_json(path)", "", "def load_json(path)"])
    assert all(len(v) == 64 and all(type(x) is float for x in v) for v in docs)
    assert np.linalg.norm(docs[0]) == pytest.approx(1.0)
    assert docs[1] == [0.0] * 64 and docs[0] == docs[2]
    query = np.array(model.embed_query("How is JSON loaded?"))
    assert query @ np.array(docs[0]) > 0.3
    with pytest.raises(TypeError, match=r"texts\[0\] is a int"):
        embed_texts([1], 8)
    with pytest.raises(ValueError, match="dim must be"):
        CodeHashingEmbeddings(dim=0)


def test_make_embeddings_names_its_choices(monkeypatch) -> None:
    assert isinstance(make_embeddings("hashing"), CodeHashingEmbeddings)
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    with pytest.raises(ValueError, match="set OPENAI_API_KEY"):
        make_embeddings("openai")
    with pytest.raises(ValueError, match="choose one of: hashing, minilm, openai"):
        make_embeddings("bert")


# ---------------------------------------------------------------- the ground-truth file


def test_read_ground_truth(tmp_path) -> None:
    path = write_lines(tmp_path / "gt.jsonl", judgement("q", "doc a", 1), "", judgement("q", "doc b", 0.5))
    assert read_ground_truth(path) == [("q", "doc a", 1.0), ("q", "doc b", 0.5)]


@pytest.mark.parametrize(
    "line, message",
    [
        ("{not json", "line 2: not valid JSON"),
        ("[1, 2]", "line 2: expected an object"),
        (json.dumps({"query": "q", "score": 1}), "line 2: missing 'document'"),
        (judgement("q", "", 1), "line 2: 'document' must be a non-empty string"),
        (judgement("q", "d", True), "line 2: 'score' must be a finite number, got True"),
        (judgement("q", "d", "1"), "line 2: 'score' must be a finite number"),
    ],
)
def test_bad_lines_are_named(tmp_path, line: str, message: str) -> None:
    path = write_lines(tmp_path / "gt.jsonl", judgement("q", "d", 1.0), line)
    with pytest.raises(ValueError, match=f"gt.jsonl, {message}"):
        read_ground_truth(path)


def test_unreadable_files(tmp_path) -> None:
    (tmp_path / "latin.jsonl").write_bytes(b'{"query": "caf\xe9"}\n')
    with pytest.raises(ValueError, match="latin.jsonl: not UTF-8"):
        read_ground_truth(str(tmp_path / "latin.jsonl"))
    with pytest.raises(ValueError, match="empty.jsonl: holds no judgements"):
        read_ground_truth(write_lines(tmp_path / "empty.jsonl", ""))


# ---------------------------------------------------------------- the command


def test_the_example_runs_and_saves_its_index(tmp_path) -> None:
    result = CliRunner().invoke(retrieval_eval, [str(EXAMPLE), "--k", "3", "--save", str(tmp_path / "idx")])
    assert result.exit_code == 0, result.output
    lines = result.stdout.splitlines()
    start = lines.index("Evaluation report:")
    assert [line.split(":")[0] for line in lines[start + 1:start + 6]] == [
        "- Precision", "- Recall", "- F1", "- Indexing time per doc (ms)", "- Retrieval time per query (ms)"]
    assert (tmp_path / "idx_docs.npy").exists() and (tmp_path / "idx_doc_embeddings.npy").exists()
    # the example's real queries find most of their judged chunks offline
    recall = float(lines[start + 2].split(": ")[1])
    assert recall >= 0.5


def test_the_command_reports_bad_input(tmp_path) -> None:
    bad = write_lines(tmp_path / "gt.jsonl", judgement("q", "d", "high"))
    result = CliRunner().invoke(retrieval_eval, [bad])
    assert result.exit_code == 1 and "gt.jsonl, line 1: 'score' must be a finite number" in result.output
    small = write_lines(tmp_path / "small.jsonl", judgement("q", "a", 1.0), judgement("q", "b", 0.0))
    result = CliRunner().invoke(retrieval_eval, [small, "--k", "3"])
    assert result.exit_code == 1 and "--k 3 is more than the 2 documents" in result.output
    result = CliRunner().invoke(retrieval_eval, [small, "--save", str(tmp_path / "no" / "idx")])
    assert result.exit_code == 2 and "does not exist" in result.output
