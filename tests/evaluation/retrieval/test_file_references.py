"""Ground truths that name files and lines, scoring by file, and the corpus each
retriever searches: against a small tree indexed by `tavrin index` into the embedded
store, with an embedding whose rankings can be worked out by hand."""

import json
import math
from pathlib import Path
from typing import List

import pytest
import tqdm
from click.testing import CliRunner
from langchain.embeddings.base import Embeddings

from tavrin.ask_codebase import commands
from tavrin.ask_codebase.store.qdrant import close_clients
from tavrin.cli import cli
from tavrin.evaluation.retrieval.qdrant_source import QdrantSourceRetriever
from tavrin.evaluation.retrieval.references import FileReference, parse_reference

WORDS = ("alpha", "beta", "gamma")


class WordCounts(Embeddings):
    """A text's vector: how often it says alpha, beta and gamma (and a tiny constant)."""

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        return [self.embed_query(t) for t in texts]

    def embed_query(self, text: str) -> List[float]:
        words = text.split()
        return [float(words.count(w)) for w in WORDS] + [1e-3]


def paragraph(**counts: int) -> str:
    return " ".join(w for w, n in counts.items() for _ in range(n))


# Each paragraph is one line of 300-400 tokens, so every paragraph is a chunk of its own
# (the token splitter's 500 tokens hold no two): line 1 and line 3 of each file.
# Cosine with the query "alpha": a1 1.0, b1 0.95, a2 0.71, c1 0.32, b2 and c2 0.
FILES = {
    "a.txt": [paragraph(alpha=300), paragraph(alpha=200, beta=200)],
    "b.txt": [paragraph(alpha=300, beta=100), paragraph(beta=300)],
    "c.txt": [paragraph(alpha=100, beta=300), paragraph(gamma=300)],
}


@pytest.fixture
def source(tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    monkeypatch.setenv("TAVRIN_DATA_DIR", str(tmp_path / "data"))
    monkeypatch.delenv("TAVRIN_QDRANT_URL", raising=False)
    monkeypatch.setitem(commands.EMBEDDINGS, "words", WordCounts)
    monkeypatch.setattr(tqdm.tqdm, "monitor_interval", 0)
    root = tmp_path / "repo"
    root.mkdir()
    for name, paragraphs in FILES.items():
        (root / name).write_text("\n\n".join(paragraphs) + "\n")
    result = CliRunner().invoke(cli, ["index", str(root), "-s", "abc", "--embeddings", "words"])
    assert result.exit_code == 0, result.output
    yield tmp_path
    close_clients()


def write_truth(path: Path, rows) -> str:
    path.write_text("".join(json.dumps({"query": q, "document": d, "score": s}) + "\n" for q, d, s in rows))
    return str(path)


def evaluate(*args: str):
    return CliRunner().invoke(cli, ["retrieval-eval", *args, "--permutations", "100"])


def test_what_counts_as_a_file_reference() -> None:
    assert parse_reference("src/app.py") == FileReference("src/app.py")
    assert parse_reference("./Makefile#L3-L9") == FileReference("Makefile", 3, 9)
    assert parse_reference("setup.py#L7") == FileReference("setup.py", 7, 7)
    assert parse_reference("https://github.com/o/r/blob/main/x.py#L2-5") == FileReference(
        "https://github.com/o/r/blob/main/x.py", 2, 5)
    # chunk text: whitespace anywhere, or a bare word without "/" or "."
    for text in ("native/pyface/function.cpp#L115-L152\nconst char *check_name(Check c) {",
                 "setup.py\n", " src/app.py", "return x.y", "Makefile", "..."):
        assert parse_reference(text) is None, text
    # every document of the example ground truth is chunk text
    example = Path(__file__).parents[3] / "examples" / "retrieval_ground_truth.jsonl"
    assert not any(parse_reference(json.loads(line)["document"]) for line in example.read_text().splitlines())
    with pytest.raises(ValueError, match="lines must run from 1 up"):
        parse_reference("a.py#L9-L3")


def test_a_line_reference_is_found_by_its_first_overlapping_chunk(source) -> None:
    listing = CliRunner().invoke(cli, ["chunks", "abc", "--grep", "alpha", "--format", "jsonl"])
    assert listing.exit_code == 0, listing.output
    records = [json.loads(line) for line in listing.stdout.splitlines()]
    assert [(r["path"], r["start_line"], r["end_line"]) for r in records] == [
        ("a.txt", 1, 1), ("a.txt", 3, 3), ("b.txt", 1, 1), ("c.txt", 1, 1)]
    assert records[1]["text"] == FILES["a.txt"][1] and records[0]["reference"].endswith("/repo/a.txt")
    text = CliRunner().invoke(cli, ["chunks", "abc", "--grep", "gamma"])
    assert text.stdout.startswith("=== c.txt#L3-L3  ") and FILES["c.txt"][1] in text.stdout

    truth = [("alpha", "a.txt#L2-L3", 1.0),        # overlaps a2 only (line 2 is blank)
             ("alpha", "b.txt", 0.5),              # any chunk of b.txt: b1 (b2 comes later)
             ("alpha", FILES["a.txt"][1], 0.3),     # a2 by its text, below the reference
             ("alpha", "c.txt#L4-L9", 1.0)]         # overlaps nothing stored
    retriever = QdrantSourceRetriever.open("abc", "words", judgements=truth)
    retriever.index([d for _, d, _ in truth])
    hits = retriever.search("alpha", 6)
    # a1, b1, a2, c1, then b2 and c2 (equal scores, either order)
    assert hits[:4] == [FILES["a.txt"][0], "b.txt", "a.txt#L2-L3", FILES["c.txt"][0]]
    # b2 is of b.txt, found already: it stands for nothing
    assert sorted("found already" if h.startswith("\0chunk ") else h for h in hits[4:]) == [
        "found already", FILES["c.txt"][1]]
    details = retriever.evaluation_details(["alpha"], 6)
    assert details["ground_truth_documents_matching_no_chunk"] == 1 and details["file_references"] == 3


def test_scores_by_file(source) -> None:
    truth = write_truth(source / "gt.jsonl", [
        ("alpha", "b.txt", 1.0),
        ("alpha", "c.txt#L3", 0.5),
        ("alpha", FILES["a.txt"][1], 0.0),  # a.txt judged irrelevant
        ("alpha", "a.txt#L1", 0.0),
    ])
    result = evaluate(truth, "--qdrant-source", "abc", "--qdrant-embeddings", "words", "--by", "file",
                      "--k", "2,3", "--format", "json")
    assert result.exit_code == 0, result.output
    data = json.loads(result.stdout)
    run = data["runs"][0]
    assert data["level"] == "file" and run["corpus"] == {"kind": "qdrant_source", "size": 3, "unit": "files",
                                                         "source": "abc"}
    # chunks a1 b1 a2 c1 ... are the files a, b, c; grades a 0, b 1, c 0.5
    two, three = run["metrics"]["2"], run["metrics"]["3"]
    assert (two["precision"], two["recall"], two["mrr"]) == (0.5, 0.5, 0.5)
    assert (three["precision"], three["recall"]) == (pytest.approx(2 / 3), 1.0)
    idcg = 1 + 0.5 / math.log2(3)
    assert three["ndcg"] == pytest.approx((1 / math.log2(3) + 0.5 / 2) / idcg)

    text = evaluate(truth, "--qdrant-source", "abc", "--qdrant-embeddings", "words", "--by", "file", "--k", "3")
    assert text.stdout.startswith("Retrieval evaluation by file: 1 queries, 3 judged files")
    assert "Corpus: the 3 files stored in source 'abc'" in text.stdout
    texts = write_truth(source / "texts.jsonl", [("alpha", FILES["a.txt"][0], 1.0)])
    refused = evaluate(texts, "--embeddings", "hashing", "--by", "file", "--k", "1")
    assert refused.exit_code == 2 and "--by file needs --qdrant-source" in refused.output


def test_the_corpus_is_named_and_bounds_k(source) -> None:
    relevant_only = write_truth(source / "gt.jsonl", [
        ("alpha", FILES["a.txt"][0], 1.0), ("beta", FILES["b.txt"][1], 1.0)])
    # without a Qdrant source the corpus is the ground truth's two documents
    result = evaluate(relevant_only, "--k", "1")
    assert result.exit_code == 0, result.output
    assert result.stdout.splitlines()[1] == (
        "Corpus: the ground truth's own 2 documents (the ground truth lists only relevant documents: every "
        "document searched is relevant to some query)")
    # --k is bounded by what is searched: 6 stored chunks, not the 2 judged documents
    result = evaluate(relevant_only, "--qdrant-source", "abc", "--qdrant-embeddings", "words", "--k", "6",
                      "--format", "json")
    assert result.exit_code == 0, result.output
    data = json.loads(result.stdout)
    assert data["ground_truth"] == {"queries": 2, "documents": 2, "only_relevant_documents": True}
    assert data["runs"][0]["metrics"]["6"]["recall"] == 1.0
    # beyond them the shorter lists are scored, and the report says so
    result = evaluate(relevant_only, "--qdrant-source", "abc", "--qdrant-embeddings", "words", "--k", "6,7")
    assert result.exit_code == 0, result.output
    assert "Warning: --k 7 is more than the 6 chunks qdrant:abc searches (the 6 chunks stored in source 'abc')" in (
        result.stdout)
    p_at = {line.split()[0]: float(line.split()[1]) for line in result.stdout.splitlines() if line.startswith("P@")}
    assert p_at["P@7"] == pytest.approx(p_at["P@6"] * 6 / 7, abs=1e-4)
    # side by side with a retriever of the ground truth's own documents: a warning, in both formats
    both = ["--qdrant-source", "abc", "--qdrant-embeddings", "words", "--embeddings", "hashing", "--k", "1"]
    data = json.loads(evaluate(relevant_only, *both, "--format", "json").stdout)
    assert [run["corpus"]["kind"] for run in data["runs"]] == ["ground_truth", "qdrant_source"]
    assert len(data["warnings"]) == 1 and "their scores are not comparable" in data["warnings"][0]
    lines = evaluate(relevant_only, *both).stdout.splitlines()
    assert lines[1] == "Corpus: hashing: the ground truth's own 2 documents; qdrant:abc: the 6 chunks stored in source 'abc'"
    assert lines[2].startswith("Warning: the ground truth lists only relevant documents")
    # file references need the stored source, and only it can search them
    named = write_truth(source / "named.jsonl", [("alpha", "a.txt#L1", 1.0)])
    for args, message in ((["--k", "1"], "file references need --qdrant-source to resolve against"),
                          (both, "only --qdrant-source can search file references")):
        result = evaluate(named, *args)
        assert result.exit_code == 1 and "1 documents name a file, e.g. 'a.txt#L1'" in result.output, result.output
        assert message in result.output and len(result.output.strip().splitlines()) == 1
    backwards = write_truth(source / "backwards.jsonl", [("alpha", "a.txt#L5-L2", 1.0)])
    result = evaluate(backwards, "--qdrant-source", "abc")
    assert result.exit_code == 1 and "backwards.jsonl, line 1: 'document' 'a.txt#L5-L2': lines must run" in result.output


def test_queries_with_ids_stay_apart_and_are_judged_by_their_own_documents(source) -> None:
    path = source / "ids.jsonl"
    path.write_text("".join(json.dumps(row) + "\n" for row in [
        {"query": "alpha", "document": "a.txt", "score": 1.0, "id": "x", "trivial": False},
        {"query": "alpha", "document": "a.txt#L1", "score": 1.0, "id": "y", "trivial": True},
        {"query": "alpha", "document": "c.txt", "score": 1.0},
    ]))
    per_query = source / "per_query.jsonl"
    result = evaluate(str(path), "--qdrant-source", "abc", "--qdrant-embeddings", "words", "--k", "1",
                      "--per-query", str(per_query))
    assert result.exit_code == 0, result.output
    assert result.stdout.startswith("Retrieval evaluation: 3 queries")
    # chunk a1 comes first: it is x's file and y's lines; the query without an id wants c.txt
    rows = [json.loads(line) for line in per_query.read_text().splitlines()]
    assert [(r["query"], r["id"], r["trivial"], r["recall"]) for r in rows] == [
        ("alpha", "x", False, 1.0), ("alpha", "y", True, 1.0), ("alpha", None, None, 0.0)]
    # by file, and with k above the 3 stored files
    result = evaluate(str(path), "--qdrant-source", "abc", "--qdrant-embeddings", "words", "--by", "file",
                      "--k", "5", "--format", "json")
    assert result.exit_code == 0, result.output
    data = json.loads(result.stdout)
    assert data["ground_truth"]["queries"] == 3 and data["runs"][0]["metrics"]["5"]["recall"] == 1.0
