import json
import os
import struct
from pathlib import Path

import numpy as np
import pytest
from click.testing import CliRunner

from tavrin.embeddings import CodeHashingEmbeddings, make_embeddings
from tavrin.evaluation.retrieval.commands import read_ground_truth, read_ground_truth_file, retrieval_eval
from tavrin.evaluation.retrieval.dravik import GroundTruth, Retriever, run_retrieval_evaluation
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
    # a replaced entry of the table is what every name builds, minilm's too
    from tavrin import embeddings

    monkeypatch.setitem(embeddings.EMBEDDINGS, "minilm", lambda: CodeHashingEmbeddings(dim=8))
    assert make_embeddings("minilm").dim == 8
    # indexing and search take the built-in hashing model without langchain, unless replaced
    assert embeddings.builtin_hashing("hashing").embed_query("a_b") == make_embeddings("hashing").embed_query("a_b")
    monkeypatch.setitem(embeddings.EMBEDDINGS, "hashing", lambda: CodeHashingEmbeddings(dim=8))
    assert embeddings.builtin_hashing("hashing") is None


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


def test_ids_keep_queries_of_one_text_apart(tmp_path) -> None:
    rows = [("Fix crash", "a.py", 1, "c1"), ("Fix crash", "b.py", 1, "c2"), ("Fix crash", "b.py#L3", 1, "c2"),
            ("Fix crash", "c.py", 1, None), ("Add x", "x.py", 1, 7)]
    path = write_lines(tmp_path / "ids.jsonl", *(json.dumps({"query": q, "document": d, "score": s, "id": i})
                                                 for q, d, s, i in rows))
    truth = read_ground_truth_file(path)
    assert truth.triples == [("Fix crash [id c1]", "a.py", 1.0), ("Fix crash [id c2]", "b.py", 1.0),
                             ("Fix crash [id c2]", "b.py#L3", 1.0), ("Fix crash", "c.py", 1.0), ("Add x", "x.py", 1.0)]
    assert {key: (q.text, q.id) for key, q in truth.queries.items()} == {
        "Fix crash [id c1]": ("Fix crash", "c1"), "Fix crash [id c2]": ("Fix crash", "c2"), "Add x": ("Add x", "7")}
    assert GroundTruth(truth.triples).queries == ["Fix crash [id c1]", "Fix crash [id c2]", "Fix crash", "Add x"]
    # without ids the file reads as before: one query per text
    plain = write_lines(tmp_path / "plain.jsonl", judgement("q", "a.py", 1), judgement("q", "b.py", 1))
    assert read_ground_truth_file(plain).triples == read_ground_truth(plain) and not read_ground_truth_file(plain).queries
    for line, message in [
        ('{"query": "q", "document": "d", "score": 1, "id": true}', "line 2: 'id' must be a non-empty string"),
        ('{"query": "other", "document": "d", "score": 1, "id": "c1"}', "line 2: 'id' 'c1' names another query on line 1"),
        ('{"query": "q", "document": "d", "score": 1, "trivial": "yes"}', "line 2: 'trivial' must be true or false"),
    ]:
        bad = write_lines(tmp_path / "bad.jsonl", json.dumps({"query": "q", "document": "d", "score": 1, "id": "c1"}),
                          line)
        with pytest.raises(ValueError, match=message):
            read_ground_truth_file(bad)


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
    assert lines[0].startswith("Retrieval evaluation: 16 queries")
    table = {line[:30].strip(): line[30:].split() for line in lines[2:]}
    assert set(table) >= {"P@3", "R@3", "nDCG@3", "MRR@3", "MAP@3", "Hit rate@3", "Graded precision@3",
                          "Graded recall@3", "Graded F1@3", "R-precision", "Indexing time per doc (ms)",
                          "Retrieval time per query (ms)"}
    # times in milliseconds with decimals
    assert "." in table["Retrieval time per query (ms)"][0]
    assert (tmp_path / "idx_docs.npy").exists() and (tmp_path / "idx_doc_embeddings.npy").exists()
    # the example's real queries find most of their judged chunks offline
    assert float(table["Graded recall@3"][0]) >= 0.5


def test_the_command_reports_bad_input(tmp_path) -> None:
    bad = write_lines(tmp_path / "gt.jsonl", judgement("q", "d", "high"))
    result = CliRunner().invoke(retrieval_eval, [bad])
    assert result.exit_code == 1 and "gt.jsonl, line 1: 'score' must be a finite number" in result.output
    small = write_lines(tmp_path / "small.jsonl", judgement("q", "a", 1.0), judgement("q", "b", 0.0))
    # a cutoff above the corpus scores the shorter list, P@k still dividing by k (trec_eval's P_k)
    result = CliRunner().invoke(retrieval_eval, [small, "--k", "1,3", "--format", "json"])
    assert result.exit_code == 0, result.output
    data = json.loads(result.stdout)
    three = data["runs"][0]["metrics"]["3"]
    assert (three["precision"], three["recall"], three["hit_rate"]) == (pytest.approx(1 / 3), 1.0, 1.0)
    assert three["graded_precision"] == pytest.approx(1 / 3)
    assert data["warnings"] == ["--k 3 is more than the 2 documents hashing searches (the ground truth's own "
                                "2 documents): its lists are shorter, and P@k still divides by k, as trec_eval does"]
    result = CliRunner().invoke(retrieval_eval, [small, "--save", str(tmp_path / "no" / "idx")])
    assert result.exit_code == 2 and "does not exist" in result.output
    readonly = tmp_path / "readonly"
    readonly.mkdir()
    readonly.chmod(0o555)
    try:
        result = CliRunner().invoke(retrieval_eval, [small, "--k", "1", "--save", str(readonly / "idx")])
        if os.geteuid() != 0:  # root writes anywhere
            assert result.exit_code == 2 and "is not writable" in result.output
    finally:
        readonly.chmod(0o755)


# ---------------------------------------------------------------- results, comparisons, outputs


class FixedRetriever(Retriever):
    """Returns fixed lists: q1 gets one of its two relevant documents, q2 both."""

    def index(self, docs):
        pass

    def search(self, query, k=5):
        return {"q1": ["a", "c"], "q2": ["c", "d"]}[query][:k]


class NotARetriever:
    pass


def test_recall_keeps_two_decimals(monkeypatch) -> None:
    from tavrin.evaluation.retrieval import dravik

    monkeypatch.setattr(dravik, "tqdm", lambda iterable, desc=None: iterable)
    truth = GroundTruth([("q1", "a", 1.0), ("q1", "b", 1.0), ("q2", "c", 1.0), ("q2", "d", 1.0)])
    metrics = run_retrieval_evaluation(truth, FixedRetriever(), 2, 5)
    # recall (0.5 + 1.0) / 2 = 0.75: a second decimal that one-decimal rounding would lose
    assert metrics["Recall"] == 0.75 and metrics["Precision"] == 0.75


def test_json_per_query_and_comparison(tmp_path) -> None:
    per_query = tmp_path / "scores.jsonl"
    result = CliRunner().invoke(retrieval_eval, [
        str(EXAMPLE), "--k", "1,5", "--embeddings", "hashing", "--retriever", f"{__name__}:FixedEcho",
        "--format", "json", "--per-query", str(per_query), "--metrics", "precision,ndcg,r_precision",
        "--permutations", "500"])
    assert result.exit_code == 0, result.output
    data = json.loads(result.stdout)
    assert [run["name"] for run in data["runs"]] == ["hashing", "FixedEcho"]
    assert set(data["runs"][0]["metrics"]) == {"1", "5"}
    assert data["runs"][1]["metrics"]["5"]["precision"] == 0.0
    assert len(data["comparisons"]) == 5  # precision and ndcg at 2 cutoffs, r_precision
    assert all(c["p_randomization_holm"] >= c["p_randomization"] for c in data["comparisons"])
    rows = [json.loads(line) for line in per_query.read_text().splitlines()]
    assert len(rows) == 2 * 16 * 2 and {"query", "k", "ndcg", "retriever"} <= set(rows[0])
    csv_file = tmp_path / "scores.csv"
    result = CliRunner().invoke(retrieval_eval, [str(EXAMPLE), "--k", "2", "--per-query", str(csv_file)])
    assert result.exit_code == 0, result.output
    assert csv_file.read_text().splitlines()[0].startswith("retriever,query,k,relevant,precision,recall")


class FixedEcho(Retriever):
    """Always returns documents no ground truth knows."""

    def index(self, docs):
        pass

    def search(self, query, k=5):
        return [f"nothing {i}" for i in range(k)]


@pytest.mark.parametrize("args, code, message", [
    (["--k", "0"], 2, "cutoff '0' is not a positive integer"),
    (["--k", "1,x"], 2, "cutoff 'x' is not a positive integer"),
    (["--metrics", "ndcg,bleu"], 2, "unknown metric 'bleu'"),
    (["--per-query", "NOFOLDER/x.csv"], 1, "does not exist"),
    (["--per-query", "x.txt"], 2, "use a .csv or .jsonl file name"),
    (["--retriever", f"{__name__}:NotARetriever"], 1, "is not a subclass of tavrin.evaluation.retrieval.dravik.Retriever"),
    (["--retriever", "no_such_module_xyz:C"], 1, "cannot import"),
    (["--exact"], 2, "needs --qdrant-source"),
])
def test_bad_options_write_nothing(tmp_path, monkeypatch, args, code, message) -> None:
    monkeypatch.chdir(tmp_path)
    result = CliRunner().invoke(retrieval_eval, [str(EXAMPLE)] + args)
    assert result.exit_code == code, result.output
    assert message in result.output
    assert "Traceback" not in result.output
    assert list(tmp_path.iterdir()) == []


def test_plot(tmp_path) -> None:
    pytest.importorskip("matplotlib", reason="the optional extra 'plot' is not installed")
    png = tmp_path / "metrics.png"
    result = CliRunner().invoke(retrieval_eval, [
        str(EXAMPLE), "--k", "1,3,5", "--embeddings", "hashing", "--embeddings", "hashing", "--float32",
        "--plot", str(png), "--permutations", "200"])
    assert result.exit_code == 0, result.output
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    assert (width, height) == (1200, 800)


def test_plot_without_matplotlib_names_the_extra(tmp_path, monkeypatch) -> None:
    import builtins

    real_import = builtins.__import__

    def no_matplotlib(name, *args, **kwargs):
        if name == "matplotlib" or name.startswith("matplotlib."):
            raise ImportError("No module named 'matplotlib'")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_matplotlib)
    result = CliRunner().invoke(retrieval_eval, [str(EXAMPLE), "--plot", str(tmp_path / "p.png")])
    assert result.exit_code == 1 and "extra 'plot'" in result.output
    assert not (tmp_path / "p.png").exists()


def test_graded_f1_is_one_figure_in_the_table_the_difference_and_the_tests(tmp_path) -> None:
    """The table's graded F1 is the mean of the queries' own F1, which the comparison pairs."""
    per_query = tmp_path / "q.jsonl"
    args = [str(EXAMPLE), "--k", "5", "--format", "json", "--per-query", str(per_query),
            "--embeddings", "hashing", "--retriever", f"{__name__}:Reversed", "--permutations", "200"]
    result = CliRunner().invoke(retrieval_eval, args)
    assert result.exit_code == 0, result.output
    data = json.loads(result.stdout)
    rows = [json.loads(line) for line in per_query.read_text().splitlines()]
    means = {}
    for run in data["runs"]:
        values = [r["graded_f1"] for r in rows if r["retriever"] == run["name"] and r["graded_f1"] is not None]
        means[run["name"]] = run["metrics"]["5"]["graded_f1"]
        assert means[run["name"]] == pytest.approx(sum(values) / len(values))
    assert means["hashing"] == pytest.approx(0.3725, abs=1e-4)
    [f1] = [c for c in data["comparisons"] if c["metric"] == "graded_f1"]
    assert f1["difference"] == pytest.approx(means[f1["run"]] - means[f1["baseline"]])


class Reversed(Retriever):
    """The hashing retriever's ranking, worst of the top ten first."""

    def __init__(self) -> None:
        from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever

        self.inner = EmbeddingRetriever(CodeHashingEmbeddings())

    def index(self, docs):
        self.inner.index(docs)

    def search(self, query, k):
        return self.inner.search(query, max(k, 10))[::-1][:k]
