import math
from types import SimpleNamespace
from typing import Dict, List, Sequence

import numpy as np
import pytest
from langchain.embeddings.base import Embeddings

from tavrin.evaluation.retrieval import dravik
from tavrin.evaluation.retrieval.dravik import (
    EmbeddingRetriever,
    GroundTruth,
    Retriever,
    evaluation_report,
    run_retrieval_evaluation,
)


class TableEmbeddings(Embeddings):
    """Looks every text up in a table; records the calls."""

    def __init__(self, table: Dict[str, object]) -> None:
        self.table = table
        self.document_calls: List[List[str]] = []

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        self.document_calls.append(list(texts))
        return [self.table[t] for t in texts]

    def embed_query(self, text: str) -> List[float]:
        return self.table[text]


def retriever_with(table: Dict[str, object], docs: Sequence[str] = ()) -> EmbeddingRetriever:
    r = EmbeddingRetriever(TableEmbeddings(table))
    if docs:
        r.index(list(docs))
    return r


PLANE = {"a": [1.0, 0.0], "b": [0.0, 1.0], "c": [1.0, 1.0], "q": [1.0, 0.0], "zero": [0.0, 0.0]}


def spec_gt() -> GroundTruth:
    return GroundTruth([("q1", "a", 1.0), ("q1", "b", 0.5), ("q2", "b", 1.0)])


# ---------------------------------------------------------------- interface


def test_retriever_is_abstract_and_checks_argument_types() -> None:
    with pytest.raises(TypeError, match="abstract"):
        Retriever()

    class Nothing(Retriever):
        def index(self, docs):  # type: ignore[override]
            return super().index(docs)

        def search(self, query, k=5):  # type: ignore[override]
            return super().search(query, k)

    assert Nothing().index(["x"]) is None
    assert Nothing().search("x") is None
    with pytest.raises(TypeError, match=r"Argument 'docs' has incorrect type \(expected list, got tuple\)"):
        Retriever.index(Nothing(), ("x",))
    r = retriever_with(PLANE, ["a"])
    with pytest.raises(TypeError, match=r"Argument 'k' has incorrect type \(expected int, got bool\)"):
        r.search("q", True)
    with pytest.raises(TypeError, match=r"Argument 'docs' has incorrect type \(expected list, got str\)"):
        r.index("a")
    with pytest.raises(TypeError, match=r"docs\[1\] is a int"):
        r.index(["b", 3])
    assert r.docs == ["a"]


# ---------------------------------------------------------------- indexing


def test_index_embeds_only_new_documents_in_order() -> None:
    r = retriever_with(PLANE)
    assert vars(r) == {"embeddings": r.embeddings, "docs": [], "doc_embeddings": None}
    r.index(["a", "b"])
    r.index(["b", "c"])
    r.index(["c", "a"])
    assert r.embeddings.document_calls == [["a", "b"], ["c"]]
    assert r.docs == ["a", "b", "c"]
    np.testing.assert_array_equal(r.doc_embeddings, [[1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
    assert r.doc_embeddings.dtype == np.float64


def test_a_new_document_given_twice_in_one_call_is_kept_twice() -> None:
    r = retriever_with(PLANE, ["a", "b", "b"])
    assert r.docs == ["a", "b", "b"]
    assert r.doc_embeddings.shape == (3, 2)
    r.index(["b"])
    assert len(r.docs) == 3


def test_doc_embeddings_follow_the_models_element_type() -> None:
    f32 = {t: np.array(v, dtype=np.float32) for t, v in PLANE.items()}
    r = retriever_with(f32, ["a", "b"])
    assert r.doc_embeddings.dtype == np.float32
    r.embeddings.table["c"] = [1.0, 1.0]  # a float64 batch promotes, as np.concatenate would
    r.index(["c"])
    assert r.doc_embeddings.dtype == np.float64
    np.testing.assert_array_equal(r.doc_embeddings, [[1, 0], [0, 1], [1, 1]])
    r2 = EmbeddingRetriever(SimpleNamespace(embed_documents=lambda texts: np.ones((len(texts), 3))))
    r2.index(["x", "y"])
    assert r2.doc_embeddings.shape == (2, 3)
    # integer vectors are kept as float64
    r3 = EmbeddingRetriever(SimpleNamespace(embed_documents=lambda t: np.ones((len(t), 3), dtype=np.int64)))
    r3.index(["x"])
    assert r3.doc_embeddings.dtype == np.float64


def test_views_handed_out_earlier_keep_their_rows() -> None:
    table = {str(i): [float(i), 1.0] for i in range(100)}
    r = retriever_with(table, ["0"])
    first = r.doc_embeddings
    for i in range(1, 100):  # the buffer grows several times
        r.index([str(i)])
    np.testing.assert_array_equal(first, [[0.0, 1.0]])
    np.testing.assert_array_equal(r.doc_embeddings[:, 0], np.arange(100.0))
    with pytest.raises(ValueError, match="read-only"):
        r.doc_embeddings[0, 0] = 5.0


@pytest.mark.parametrize(
    "returned, message",
    [
        (RuntimeError("service down"), "service down"),
        ([[1.0, 0.0]], "returned 1 vectors for 2 texts"),
        ([[1.0, 0.0], [1.0, 0.0, 0.0]], "unequal lengths"),
        ([[1.0, 0.0, 0.0], [1.0, 0.0, 0.0]], "length 3, but the indexed documents have vectors of length 2"),
        ([[1.0, float("nan")], [1.0, 0.0]], "non-finite"),
        ([[1.0, "x"], [1.0, 0.0]], "holds a str, not a number"),
        (None, "returned a NoneType, not a list of vectors"),
    ],
)
def test_a_failed_index_changes_nothing(returned: object, message: str) -> None:
    r = retriever_with(PLANE, ["a"])
    before = r.doc_embeddings

    def embed_documents(texts: List[str]) -> object:
        if isinstance(returned, Exception):
            raise returned
        return returned

    r.embeddings.embed_documents = embed_documents
    with pytest.raises((ValueError, TypeError, RuntimeError), match=message):
        r.index(["b", "c"])
    assert r.docs == ["a"]
    assert r.doc_embeddings is before
    r.embeddings.embed_documents = lambda texts: [PLANE[t] for t in texts]
    r.index(["b", "c"])
    assert r.docs == ["a", "b", "c"] and r.doc_embeddings.shape == (3, 2)


# ---------------------------------------------------------------- search


def test_search_ranks_by_cosine_similarity() -> None:
    r = retriever_with(PLANE, ["a", "b", "c"])
    np.testing.assert_allclose(r.cosine_similarity(np.array([1.0, 0.0])), [1.0, 0.0, math.sqrt(0.5)])
    assert r.search("q", 2) == ["a", "c"]
    assert r.search("q", 10) == ["a", "c", "b"]
    assert r.search("q") == ["a", "c", "b"]


def test_search_edge_cases() -> None:
    empty = retriever_with(PLANE)
    assert empty.search("q") == []
    assert empty.cosine_similarity(np.array([1.0, 0.0])) == 0.0
    r = retriever_with(PLANE, ["a", "b"])
    assert r.search("q", 0) == []
    with pytest.raises(ValueError, match="k must not be negative, got -1"):
        r.search("q", -1)
    r.embeddings.table["long"] = [1.0, 0.0, 0.0]
    with pytest.raises(ValueError, match="query vector has length 3"):
        r.search("long")


def test_equal_similarities_put_the_later_document_first() -> None:
    table = {"d1": [1.0, 0.0], "d2": [2.0, 0.0], "d3": [0.0, 1.0], "d4": [3.0, 0.0], "q": [5.0, 0.0]}
    r = retriever_with(table, ["d1", "d2", "d3", "d4"])
    assert r.search("q", 4) == ["d4", "d2", "d1", "d3"]
    assert r.search("q", 2) == ["d4", "d2"]


def test_zero_vectors_have_similarity_zero() -> None:
    table = {"zero": [0.0, 0.0], "a": [1.0, 0.0], "neg": [-1.0, 0.0], "q": [1.0, 0.0], "qzero": [0.0, 0.0]}
    r = retriever_with(table, ["zero", "a", "neg"])
    np.testing.assert_array_equal(r.cosine_similarity(np.array([1.0, 0.0])), [0.0, 1.0, -1.0])
    assert r.search("q", 3) == ["a", "zero", "neg"]
    np.testing.assert_array_equal(r.cosine_similarity(np.zeros(2)), [0.0, 0.0, 0.0])
    assert r.search("qzero", 3) == ["neg", "a", "zero"]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_search_agrees_with_numpy(dtype: type) -> None:
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((300, 16)).astype(dtype)
    queries = rng.standard_normal((20, 16)).astype(dtype)
    table = {f"d{i}": v for i, v in enumerate(vectors)}
    table.update({f"q{i}": v for i, v in enumerate(queries)})
    r = retriever_with(table)
    for i in range(0, 300, 7):
        r.index([f"d{j}" for j in range(i, min(i + 7, 300))])
    matrix = vectors.astype(np.float64)
    for i, q in enumerate(queries.astype(np.float64)):
        sims = matrix @ q / (np.linalg.norm(q) * np.linalg.norm(matrix, axis=1))
        np.testing.assert_allclose(r.cosine_similarity(q), sims, rtol=1e-12)
        assert r.search(f"q{i}", 10) == [f"d{j}" for j in np.argsort(sims)[-10:][::-1]]


# ---------------------------------------------------------------- save and load


def test_save_and_load_round_trip(tmp_path) -> None:
    r = retriever_with(PLANE, ["a", "b", "c"])
    prefix = tmp_path / "e1"
    r.save(prefix)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["e1_doc_embeddings.npy", "e1_docs.npy"]
    assert np.load(f"{prefix}_docs.npy").tolist() == ["a", "b", "c"]

    loaded = EmbeddingRetriever(TableEmbeddings(PLANE))
    loaded.load(str(prefix))
    assert loaded.docs == ["a", "b", "c"] and all(type(d) is str for d in loaded.docs)
    np.testing.assert_array_equal(loaded.doc_embeddings, r.doc_embeddings)
    assert loaded.search("q", 2) == ["a", "c"]
    loaded.embeddings.table["e"] = [0.5, 0.5]
    loaded.index(["a", "e"])
    assert loaded.docs == ["a", "b", "c", "e"]
    assert loaded.embeddings.document_calls == [["e"]]


def test_an_empty_index_saves_and_loads_back_empty(tmp_path) -> None:
    retriever_with(PLANE).save(tmp_path / "empty")
    loaded = retriever_with(PLANE, ["a"])
    loaded.load(tmp_path / "empty")
    assert loaded.docs == [] and loaded.doc_embeddings is None
    assert loaded.search("q") == []


def test_load_refuses_files_that_do_not_match(tmp_path) -> None:
    np.save(tmp_path / "bad_docs.npy", np.array(["a", "b"]))
    np.save(tmp_path / "bad_doc_embeddings.npy", np.zeros((3, 2)))
    r = retriever_with(PLANE, ["a"])
    with pytest.raises(ValueError, match=r"shape \(3, 2\) for the 2 documents"):
        r.load(tmp_path / "bad")
    assert r.docs == ["a"] and r.search("q", 1) == ["a"]


def test_replaced_attributes_are_honoured() -> None:
    r = retriever_with(PLANE, ["a", "b"])
    r.docs = ["b", "c"]
    r.doc_embeddings = np.array([[0.0, 1.0], [1.0, 1.0]])
    assert r.search("q", 2) == ["c", "b"]
    r.index(["a"])
    assert r.docs == ["b", "c", "a"] and r.search("q", 1) == ["a"]


# ---------------------------------------------------------------- ground truth


def test_ground_truth_holds_the_judgements() -> None:
    gt = spec_gt()
    assert (gt.queries, gt.docs, gt.max_score) == (["q1", "q2"], ["a", "b"], 1.0)
    assert "scores" not in vars(gt)  # built on first read
    assert gt.scores.tolist() == [[1.0, 0.5], [None, 1.0]]
    assert gt.scores is gt.scores
    assert (gt.query_index("q2"), gt.doc_index("b")) == (1, 1)
    with pytest.raises(ValueError, match="'nope' is not in list"):
        gt.doc_index("nope")
    with pytest.raises(TypeError, match=r"Argument 'query' has incorrect type \(expected str, got int\)"):
        gt.query_index(1)
    odd = GroundTruth([("q\ud800", "a", 1.0), ("q", "a", 1.0)])  # a lone surrogate is a key like any other
    assert (odd.query_index("q\ud800"), odd.query_index("q")) == (0, 1)


def test_the_last_score_of_a_pair_wins_and_max_score_sees_all() -> None:
    gt = GroundTruth(iter([("q", "a", 2.0), ("q", "a", 0.5), ("q", "b", -1.0)]))
    assert gt.scores.tolist() == [[0.5, -1.0]]
    assert gt.max_score == 2.0
    assert GroundTruth([("q", "a", -1.0)]).max_score == 0.0


@pytest.mark.parametrize(
    "entry, error, message",
    [
        (("q", "a", 1), AssertionError, "entry 1: the score must be a float, got int"),
        ((1, "a", 1.0), AssertionError, "entry 1: the query must be a str, got int"),
        (("q", None, 1.0), AssertionError, "entry 1: the document must be a str, got NoneType"),
        (("q", "a"), ValueError, "entry 1: need more than 2 values to unpack"),
        (("q", "a", 1.0, 2.0), ValueError, "entry 1: too many values to unpack"),
        (("q", "a", float("nan")), ValueError, "entry 1: the score must be a finite number"),
    ],
)
def test_bad_triples_are_refused(entry: tuple, error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        GroundTruth([("q", "a", 1.0), entry])


def test_evaluate_scores_graded_retrieval() -> None:
    gt = spec_gt()
    matrix = gt._compute_retrieval_scores({"q1": ["b", "a"], "q2": ["a", "b"]}, 2)
    np.testing.assert_array_equal(matrix, [[0.5, 1.0], [0.0, 1.0]])
    precision, recall, f1 = gt.evaluate({"q1": ["b", "a"], "q2": ["a", "b"]}, 2)
    assert precision == pytest.approx(0.625) and recall == pytest.approx(1.0)
    assert f1 == pytest.approx(1.25 / 1.625)
    # only the first k count; a query left out counts as nothing found
    assert gt.evaluate({"q1": ["a", "b", "b"]}, 2) == pytest.approx((0.375, 0.5, 2 * 0.375 * 0.5 / 0.875))
    # a document listed twice counts twice: recall can pass 1
    assert gt.evaluate({"q1": ["a", "a"], "q2": ["b", "b"]}, 2)[1] == pytest.approx((2 / 1.5 + 2.0) / 2)


def test_metrics_without_anything_to_divide_by() -> None:
    gt = spec_gt()
    assert gt.evaluate({}, 2) == (0.0, 0.0, 0.0)
    assert gt._f1(0, 0.0) == 0.0
    flat = GroundTruth([("q", "a", 0.0), ("q", "b", 0.0)])
    assert flat.evaluate({"q": ["a", "b"]}, 2) == (0.0, 0.0, 0.0)
    # q2 has nothing to recall: it is left out of the mean
    mixed = GroundTruth([("q1", "a", 1.0), ("q2", "a", 0.0)])
    assert mixed._recall(np.array([[1.0], [0.0]])) == 1.0
    # unjudged documents (0) rank above negative scores in the ideal sums
    neg = GroundTruth([("q", "a", -1.0), ("q", "b", 2.0), ("p", "c", 1.0)])
    assert neg._recall(np.array([[2.0, 0.0], [1.0, 0.0]])) == 1.0
    with pytest.raises(ValueError, match="of 2 rows"):
        neg._recall(np.zeros((3, 2)))


def test_bad_retrieval_results_are_named() -> None:
    gt = spec_gt()
    with pytest.raises(ValueError, match=r"^Retrieval result for query q1 has less than 3 documents\.$"):
        gt.evaluate({"q1": ["a", "b"]}, 3)
    with pytest.raises(ValueError, match="document 'zz', retrieved for query 'q1', is not in the ground truth"):
        gt.evaluate({"q1": ["a", "zz"]}, 2)
    with pytest.raises(ValueError, match="query 'q9' is not in the ground truth"):
        gt.evaluate({"q9": ["a", "b"]}, 2)
    with pytest.raises(TypeError, match=r"Argument 'doc' has incorrect type \(expected str, got int\)"):
        gt.evaluate({"q1": ["a", 7]}, 2)
    with pytest.raises(ValueError, match="k must not be negative"):
        gt.evaluate({}, -1)


def test_absurd_sizes_are_named_not_attempted() -> None:
    gt = GroundTruth([(f"q{i}", "d", 1.0) for i in range(8)])
    # short results are reported as such, whatever k is
    with pytest.raises(ValueError, match="has less than 2305843009213693952 documents"):
        gt._compute_retrieval_scores({"q1": ["d"]}, 2**61)
    # 8 x 2**61 cells would wrap around size_t
    with pytest.raises(MemoryError, match="8 x 2305843009213693952 is too large"):
        gt._compute_retrieval_scores({}, 2**61)
    assert gt._compute_retrieval_scores({}, 0).shape == (8, 0)
    from tavrin.evaluation.retrieval.hashing_embedding import embed_texts

    assert embed_texts([], 2**62) == []
    with pytest.raises(MemoryError):
        embed_texts(["text"], 2**62)


def test_a_replaced_np_cannot_make_scores_write_out_of_bounds(monkeypatch) -> None:
    gt = GroundTruth([(f"q{i}", "d", 1.0) for i in range(3)])
    for full in (lambda shape, fill: np.full((1, 1), fill),  # an object array too small
                 lambda shape, fill: np.full(shape, 0.0),    # not an object array
                 lambda shape, fill: [fill]):
        monkeypatch.setattr(dravik, "np", SimpleNamespace(full=full))
        with pytest.raises(TypeError, match="not a writable object array of 3 x 1"):
            gt.scores
    monkeypatch.setattr(dravik, "np", np)
    assert gt.scores.tolist() == [[1.0], [1.0], [1.0]]


def reference_metrics(triples, retrieval, k):
    """The metrics computed densely with numpy, for cross-checking."""
    queries = list(dict.fromkeys(q for q, _, _ in triples))
    docs = list(dict.fromkeys(d for _, d, _ in triples))
    scores = np.zeros((len(queries), len(docs)))
    max_score = 0.0
    for q, d, s in triples:
        scores[queries.index(q), docs.index(d)] = s
        max_score = max(max_score, s)
    got = np.zeros((len(queries), k))
    for q, found in retrieval.items():
        for i, d in enumerate(found[:k]):
            got[queries.index(q), i] = scores[queries.index(q), docs.index(d)]
    precision = np.average(got.sum(axis=1) / (max_score * k))
    ideal = np.sort(scores, axis=1)[:, -k:].sum(axis=1)
    recall = np.average(got.sum(axis=1)[ideal != 0] / ideal[ideal != 0])
    return precision, recall


def test_metrics_agree_with_a_dense_computation() -> None:
    rng = np.random.default_rng(3)
    triples = [(f"q{rng.integers(30)}", f"d{rng.integers(80)}", float(rng.choice([0.0, 0.5, 1.0, 2.0])))
               for _ in range(600)]
    gt = GroundTruth(triples)
    retrieval = {q: [str(d) for d in rng.choice(gt.docs, 6)] for q in gt.queries[::2]}
    precision, recall, _ = gt.evaluate(retrieval, 6)
    expected = reference_metrics(triples, retrieval, 6)
    assert (precision, recall) == pytest.approx(expected, rel=1e-12)


# ---------------------------------------------------------------- the run and the report


class RecordingRetriever(Retriever):
    def __init__(self, inner: Retriever) -> None:
        self.inner = inner
        self.batches: List[List[str]] = []

    def index(self, docs: List[str]) -> None:
        self.batches.append(docs)
        self.inner.index(docs)

    def search(self, query: str, k: int = 5) -> List[str]:
        return self.inner.search(query, k)


def twelve_docs() -> tuple:
    table = {f"d{i}": [1.0, float(i)] for i in range(12)}
    table.update({"qa": [1.0, 0.0], "qb": [0.0, 1.0]})
    triples = [("qa", f"d{i}", 1.0) for i in range(6)] + [("qb", f"d{i}", 0.5) for i in range(6, 12)]
    return GroundTruth(triples), RecordingRetriever(retriever_with(table))


@pytest.fixture
def quiet(monkeypatch):
    """Records the progress bars and drives a fake clock that ticks 0.25 s per reading."""
    bars = []
    ticks = iter(np.arange(0.0, 1000.0, 0.25))

    def tqdm(iterable, desc=None):
        bars.append(desc)
        return iterable

    monkeypatch.setattr(dravik, "tqdm", tqdm)
    monkeypatch.setattr(dravik, "time", SimpleNamespace(perf_counter=lambda: float(next(ticks))))
    return bars


def test_run_indexes_in_batches_and_times_both_phases(quiet) -> None:
    gt, retriever = twelve_docs()
    metrics = run_retrieval_evaluation(gt, retriever, 3, 5)
    assert [len(b) for b in retriever.batches] == [5, 5, 2]
    assert quiet == ["Indexing documents", "Fetching top-3 documents"]
    assert list(metrics) == ["Precision", "Recall", "F1", "Indexing time per doc (ms)",
                             "Retrieval time per query (ms)"]
    # indexing spans 1 tick of the fake clock: 250 ms over 12 docs; each search one tick
    assert metrics["Indexing time per doc (ms)"] == 20
    assert metrics["Retrieval time per query (ms)"] == 250
    precision, recall, f1 = gt.evaluate({q: retriever.search(q, 3) for q in gt.queries}, 3)
    assert metrics["Precision"] == round(precision, 2) and metrics["F1"] == round(f1, 2)


def test_report_prints_one_line_per_metric(quiet, capsys, monkeypatch) -> None:
    gt, retriever = twelve_docs()
    evaluation_report(gt, retriever)
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Evaluation report:" and len(lines) == 6
    assert lines[4] == "- Indexing time per doc (ms): 20"
    monkeypatch.setattr(dravik, "run_retrieval_evaluation", lambda *a: {"Precision": 0.5, "Recall": 1.0})
    evaluation_report(gt, retriever, 5, 5)
    assert capsys.readouterr().out == "Evaluation report:\n- Precision: 0.5\n- Recall: 1.0\n"


def test_run_refuses_what_it_cannot_evaluate(quiet, capsys) -> None:
    gt, retriever = twelve_docs()
    with pytest.raises(ValueError, match="batch_size must be at least 1"):
        run_retrieval_evaluation(gt, retriever, 5, 0)
    with pytest.raises(ValueError, match="no documents"):
        run_retrieval_evaluation(GroundTruth([]), retriever)
    with pytest.raises(ValueError, match="has less than 20 documents"):
        evaluation_report(gt, retriever, 20)
    assert capsys.readouterr().out == ""
    # a retriever that already holds a document the ground truth does not know
    retriever.inner.embeddings.table["x"] = [0.0, 1.0]
    retriever.inner.index(["x"])
    with pytest.raises(ValueError, match="document 'x', retrieved for query 'qb', is not in the ground truth"):
        run_retrieval_evaluation(gt, retriever, 1)
