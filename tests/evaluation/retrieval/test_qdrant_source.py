"""`retrieval-eval --qdrant-source`: a folder indexed by `tavrin index` into the local
store, evaluated through the store's own search."""

import json
from pathlib import Path

import pytest
import tqdm
from click.testing import CliRunner
from langchain.embeddings.fake import DeterministicFakeEmbedding

from tavrin.ask_codebase import commands
from tavrin.ask_codebase.store.qdrant import QdrantWrapper, close_clients
from tavrin.cli import cli
from tavrin.evaluation.retrieval.commands import retrieval_eval

FILES = {
    "calc/add.py": "def add_numbers(a, b):\n    \"\"\"Add two numbers.\"\"\"\n    return a + b\n",
    "calc/mul.py": "def multiply_numbers(a, b):\n    \"\"\"Multiply two numbers.\"\"\"\n    return a * b\n",
    "io/read.py": "def read_json_file(path):\n    import json\n    return json.load(open(path))\n",
}


class Fake16(DeterministicFakeEmbedding):
    size: int = 16


@pytest.fixture
def indexed(tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    monkeypatch.setenv("TAVRIN_DATA_DIR", str(tmp_path / "data"))
    monkeypatch.delenv("TAVRIN_QDRANT_URL", raising=False)
    monkeypatch.delenv("TAVRIN_EMBEDDINGS", raising=False)
    monkeypatch.setitem(commands.EMBEDDINGS, "fake16", Fake16)
    # `tavrin index` shows a tqdm bar: no monitor thread, which would outlive the test
    monkeypatch.setattr(tqdm.tqdm, "monitor_interval", 0)
    root = tmp_path / "repo"
    for name, text in FILES.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    runner = CliRunner()
    for source, embeddings in (("code", "hashing"), ("other", "fake16")):
        result = runner.invoke(cli, ["index", str(root), "--source", source, "--embeddings", embeddings])
        assert result.exit_code == 0, result.output
    stored = QdrantWrapper.reuse(source_name="code", embedding_cls=Fake16).iter_chunks()
    chunks = {Path(c.metadata["filepath"]).name: c.page_content for c in stored}
    yield tmp_path, chunks
    close_clients()


def write_truth(path: Path, rows) -> str:
    path.write_text("".join(json.dumps({"query": q, "document": d, "score": s}) + "\n" for q, d, s in rows))
    return str(path)


def test_a_qdrant_source_is_evaluated_through_its_own_search(indexed) -> None:
    tmp_path, chunks = indexed
    truth = write_truth(tmp_path / "gt.jsonl", [
        ("How are two numbers added?", chunks["add.py"], 1.0),
        # the same chunk with other line breaks still matches
        ("How are two numbers multiplied?", chunks["mul.py"].replace("\n", "\n\n"), 1.0),
        ("How is a JSON file read?", chunks["read.py"], 2.0),
        ("How is a JSON file read?", "a document that was never indexed", 1.0),
    ])
    result = CliRunner().invoke(retrieval_eval, [
        truth, "--qdrant-source", "code", "--qdrant-embeddings", "hashing", "--embeddings", "hashing",
        "--k", "1,3", "--exact", "--format", "json", "--permutations", "100"])
    assert result.exit_code == 0, result.output
    data = json.loads(result.stdout)
    local, qdrant = data["runs"]
    assert qdrant["name"] == "qdrant:code"
    assert qdrant["details"] == {"stored_chunks": 3, "ground_truth_documents_matching_no_chunk": 1,
                                 "exact_top_3_overlap": 1.0}
    # the store holds the same vectors the in-memory index has: the same metrics, but for
    # the document that was never indexed (which the store cannot return)
    assert qdrant["metrics"]["1"] == local["metrics"]["1"]
    # at k = 3 the store returns all three chunks: every indexed relevant document
    assert qdrant["metrics"]["3"]["recall"] == pytest.approx((1 + 1 + 0.5) / 3)


def test_bad_qdrant_sources(indexed) -> None:
    tmp_path, chunks = indexed
    truth = write_truth(tmp_path / "gt.jsonl", [("How are two numbers added?", chunks["add.py"], 1.0)])
    runner = CliRunner()
    result = runner.invoke(retrieval_eval, [truth, "--k", "1", "--qdrant-source", "nosuch"])
    assert result.exit_code == 1 and "unknown source 'nosuch'" in result.output
    result = runner.invoke(retrieval_eval, [truth, "--k", "1", "--qdrant-source", "other", "--qdrant-embeddings",
                                            "hashing"])
    assert result.exit_code == 1 and "indexed with other embeddings" in result.output
    stranger = write_truth(tmp_path / "stranger.jsonl", [("q", "text that no chunk holds", 1.0)])
    result = runner.invoke(retrieval_eval, [stranger, "--k", "1", "--qdrant-source", "code"])
    assert result.exit_code == 1 and "matches no stored chunk" in result.output
