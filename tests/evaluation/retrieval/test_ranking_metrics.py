"""Ranking metrics, significance tests and the results object, against values worked out by hand."""

import math

import numpy as np
import pytest

from tavrin.evaluation.retrieval import dravik
from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever, GroundTruth
from tavrin.evaluation.retrieval.results import (
    CUTOFF_METRICS,
    Float32EmbeddingRetriever,
    compare_runs,
    evaluate_retriever,
    parse_cutoffs,
    parse_metrics,
)
from tavrin.evaluation.retrieval.significance import holm, paired_t_test, randomization_test, student_t_sf

L2, L3, L4 = math.log2(2), math.log2(3), math.log2(4)


def scores(gt: GroundTruth, retrieval, cutoffs, **kw):
    values, r_precision, relevant = gt._score_rankings(retrieval, cutoffs, **kw)
    table = [{m: values[q, :, i].tolist() for i, m in enumerate(CUTOFF_METRICS)} for q in range(len(gt.queries))]
    return table, r_precision.tolist(), relevant.tolist()


# q1 judges a=2, b=1, c=0 (d, e unjudged); q2 judges only zeros; q3 one relevant.
TRIPLES = [
    ("q1", "a", 2.0), ("q1", "b", 1.0), ("q1", "c", 0.0),
    ("q2", "a", 0.0), ("q2", "d", 0.0),
    ("q3", "e", 1.0),
]


def test_every_metric_by_hand() -> None:
    gt = GroundTruth(TRIPLES)
    # q1 retrieves c (0), a (2), d (unjudged), b (1): relevant at ranks 2 and 4
    table, r_precision, relevant = scores(gt, {"q1": ["c", "a", "d", "b"], "q2": ["a", "d"], "q3": ["a", "b"]}, [1, 2, 4])
    q1 = table[0]
    assert relevant == [2, 0, 1]
    assert q1["precision"] == pytest.approx([0.0, 0.5, 0.5])
    assert q1["recall"] == pytest.approx([0.0, 0.5, 1.0])
    assert q1["mrr"] == pytest.approx([0.0, 0.5, 0.5])
    assert q1["hit_rate"] == [0.0, 1.0, 1.0]
    # AP@4 = (1/2 + 2/4) / 2 relevant
    assert q1["map"] == pytest.approx([0.0, 0.25, 0.5])
    # DCG@4 = 2/log2(3) + 1/log2(5); ideal = 2/log2(2) + 1/log2(3)
    ideal2 = 2 / L2 + 1 / L3
    assert q1["ndcg"] == pytest.approx([0.0, (2 / L3) / ideal2, (2 / L3 + 1 / math.log2(5)) / ideal2])
    # graded: sums 0, 2, 3 over max_score 2 x k; ideal sums 2, 3, 3
    assert q1["graded_precision"] == pytest.approx([0.0, 2 / 4, 3 / 8])
    assert q1["graded_recall"] == pytest.approx([0.0, 2 / 3, 1.0])
    assert q1["graded_f1"][2] == pytest.approx(2 * 0.375 / 1.375)
    # R = 2: one relevant among the top 2
    assert r_precision[0] == pytest.approx(0.5)

    # a query with nothing relevant: 0 everywhere, graded recall undefined
    q2 = table[1]
    for metric in ("precision", "recall", "ndcg", "mrr", "map", "hit_rate", "graded_precision"):
        assert q2[metric] == [0.0, 0.0, 0.0], metric
    assert all(math.isnan(x) for x in q2["graded_recall"] + q2["graded_f1"])
    assert r_precision[1] == 0.0
    # a list shorter than the cutoff: the missing ranks count as not relevant
    assert table[2]["precision"] == [0.0, 0.0, 0.0] and table[2]["recall"][2] == 0.0


def test_ties_repeats_thresholds_and_gains() -> None:
    gt = GroundTruth([("q", "a", 1.0), ("q", "b", 1.0), ("q", "c", 3.0)])
    # a document repeated counts once in the binary metrics, every time in the graded ones
    table, _, _ = scores(gt, {"q": ["a", "a", "b"]}, [3])
    assert table[0]["precision"] == [pytest.approx(2 / 3)]
    assert table[0]["map"] == [pytest.approx((1 + 2 / 3) / 3)]
    assert table[0]["graded_precision"] == [pytest.approx(3 / 9)]
    # equal grades are interchangeable: swapping a and b changes nothing
    one, _, _ = scores(gt, {"q": ["c", "a", "b"]}, [2])
    two, _, _ = scores(gt, {"q": ["c", "b", "a"]}, [2])
    assert one == two and one[0]["ndcg"] == [pytest.approx(1.0)]
    # threshold 1: only c is relevant
    table, r_precision, relevant = scores(gt, {"q": ["a", "c"]}, [2], threshold=1.0)
    assert relevant == [1] and table[0]["precision"] == [0.5] and table[0]["mrr"] == [0.5]
    assert r_precision == [0.0]
    # exponential gain: 2^g - 1
    table, _, _ = scores(gt, {"q": ["a", "c"]}, [2], exponential_gain=True)
    ideal = 7 / L2 + 1 / L3
    assert table[0]["ndcg"] == [pytest.approx((1 / L2 + 7 / L3) / ideal)]
    # unknown documents are not relevant (no error, unlike evaluate)
    table, _, _ = scores(gt, {"q": ["zzz", "c"]}, [1, 2])
    assert table[0]["precision"] == [0.0, 0.5]
    with pytest.raises(ValueError, match="ascending"):
        gt._score_rankings({}, [5, 1])
    with pytest.raises(ValueError, match="not in the ground truth"):
        gt._score_rankings({"nope": []}, [1])


def test_graded_metrics_equal_the_parts_evaluate() -> None:
    rng = np.random.default_rng(3)
    triples = [(f"q{q}", f"d{d}", float(rng.choice([0.0, 0.5, 1.0, 2.0])))
               for q in range(20) for d in rng.choice(40, 8, replace=False)]
    gt = GroundTruth(triples)
    retrieval = {q: [f"d{d}" for d in rng.choice(40, 5, replace=False)] for q in gt.queries}
    values, _, _ = gt._score_rankings(retrieval, [5])
    precision, recall, _ = gt.evaluate(retrieval, 5)
    assert values[:, 0, CUTOFF_METRICS.index("graded_precision")].mean() == pytest.approx(precision)
    graded_recall = values[:, 0, CUTOFF_METRICS.index("graded_recall")]
    assert np.nanmean(graded_recall) == pytest.approx(recall)


def test_parse_options() -> None:
    assert parse_cutoffs("10, 1,5,5") == [1, 5, 10]
    for bad in ("0", "1,x", "-3", "2.5", ""):
        with pytest.raises(ValueError, match="not a positive integer"):
            parse_cutoffs(bad)
    assert parse_metrics("nDCG,hit-rate") == ["ndcg", "hit_rate"]
    with pytest.raises(ValueError, match="unknown metric 'bleu'"):
        parse_metrics("ndcg,bleu")


# ---------------------------------------------------------------- significance


def test_significance_tests() -> None:
    rng = np.random.default_rng(7)
    a = rng.random(40)
    # identical runs: nothing to tell apart
    assert randomization_test(a, a) == 1.0 and paired_t_test(a, a) == 1.0
    # a clearly better run
    b = a + 0.1 + rng.normal(0, 0.02, 40)
    assert randomization_test(a, b) < 0.01 and paired_t_test(a, b) < 0.01
    # noise alone is not significant, and the test is repeatable with its seed
    c = a + rng.normal(0, 0.05, 40)
    assert randomization_test(a, c) > 0.05
    assert randomization_test(a, c, seed=1) == randomization_test(a, c, seed=1)
    # Student's t tail against tabulated values
    assert student_t_sf(2.0, 10) == pytest.approx(0.0733880348, rel=1e-8)
    assert student_t_sf(1.0, 3) == pytest.approx(0.3910022190, rel=1e-8)
    assert student_t_sf(12.706204736, 1) == pytest.approx(0.05, rel=1e-6)
    # Holm: sorted p times (m - rank), made monotone, capped at 1
    assert holm([0.01, 0.04, 0.03, 0.005]) == pytest.approx([0.03, 0.06, 0.06, 0.02])
    assert holm([0.5, 0.9]) == [1.0, 1.0]
    # undefined values drop out pairwise
    assert paired_t_test([1.0, float("nan"), 0.0], [1.0, 5.0, 0.0]) == 1.0


class Vectors:
    """An embedding with fixed vectors per text."""

    def __init__(self, table):
        self.table = table

    def embed_documents(self, texts):
        return [self.table[t] for t in texts]

    def embed_query(self, text):
        return self.table[text]


def make_world(n_docs=60, n_queries=30, seed=0, noise=0.0):
    rng = np.random.default_rng(seed)
    docs = [f"doc {i}" for i in range(n_docs)]
    queries = [f"query {i}" for i in range(n_queries)]
    vectors = rng.standard_normal((n_docs, 8))
    table = {d: vectors[i].tolist() for i, d in enumerate(docs)}
    triples = []
    for qi, q in enumerate(queries):
        target = qi % n_docs
        table[q] = (vectors[target] + noise * rng.standard_normal(8)).tolist()
        triples.append((q, docs[target], 1.0))
        triples.append((q, docs[(target + 1) % n_docs], 0.0))
    return GroundTruth(triples), Vectors(table)


def test_a_better_retriever_is_significant_and_an_identical_one_is_not() -> None:
    gt, model = make_world()
    good = evaluate_retriever(gt, EmbeddingRetriever(model), [1, 5], name="good", progress=False)
    same = evaluate_retriever(gt, EmbeddingRetriever(model), [1, 5], name="same", progress=False)
    _, noisy_model = make_world(noise=50.0)
    bad = evaluate_retriever(gt, EmbeddingRetriever(noisy_model), [1, 5], name="bad", progress=False)
    assert good.metrics[1]["precision"] == 1.0 and good.metrics[5]["mrr"] == 1.0
    comparisons = compare_runs([good, same, bad], ["precision", "mrr"], permutations=2000)
    for c in comparisons:
        if c.run == "same":
            assert c.p_randomization == 1.0 and c.p_t == 1.0 and not c.significant
        elif c.k == 1:
            assert c.p_randomization < 0.01 and c.significant and c.difference < 0
        assert c.p_randomization_holm >= c.p_randomization


def test_block_search_and_float32_match_single_searches() -> None:
    gt, model = make_world(n_docs=700, n_queries=90, seed=2, noise=1.0)
    plain, f32 = EmbeddingRetriever(model), Float32EmbeddingRetriever(model)
    for r in (plain, f32):
        r.index(gt.docs)
    assert plain.doc_embeddings.dtype == np.float64 and f32.doc_embeddings.dtype == np.float32
    single = [plain.search(q, 7) for q in gt.queries]
    assert plain.search_many(gt.queries, 7) == single
    assert f32.search_many(gt.queries, 7) == [f32.search(q, 7) for q in gt.queries]
    assert sum(a == b for a, b in zip(f32.search_many(gt.queries, 7), single)) >= 85
    assert plain.search_many(gt.queries[:2], 0) == [[], []]
    # the baseline kernels rank exactly as the widest ones do
    before = dravik._force_kernels("baseline")
    try:
        assert dravik._kernel_instruction_set() == "baseline"
        assert plain.search_many(gt.queries, 7) == single
    finally:
        dravik._force_kernels(before)


def test_run_results_per_query_and_timings() -> None:
    gt, model = make_world(n_docs=20, n_queries=6)
    run = evaluate_retriever(gt, EmbeddingRetriever(model), [1, 3], name="m", progress=False, block=False)
    rows = run.query_rows()
    assert len(rows) == 12 and rows[0]["query"] == "query 0" and rows[0]["k"] == 1
    assert rows[0]["relevant"] == 1 and rows[0]["precision"] == 1.0
    data = run.to_dict()
    assert data["metrics"]["3"]["hit_rate"] == 1.0 and data["timings"]["queries"] == 6
    assert data["timings"]["retrieval_ms_per_query"] >= 0.0


def test_searches_in_threads_while_indexing() -> None:
    """Searches run without the GIL; indexing meanwhile must not disturb them."""
    import threading

    gt, model = make_world(n_docs=3000, n_queries=40, seed=5, noise=0.5)
    r = EmbeddingRetriever(model)
    r.index(gt.docs[:1000])
    expected = r.search_many(gt.queries, 5)
    found, errors = [], []

    def searcher() -> None:
        try:
            for _ in range(3):
                found.append(r.search_many(gt.queries, 5))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=searcher) for _ in range(3)]
    for t in threads:
        t.start()
    for i in range(1000, 3000, 50):
        r.index(gt.docs[i:i + 50])
    for t in threads:
        t.join()
    assert not errors and len(found) == 9
    # every result is a valid ranking of the documents indexed at that moment
    assert all(len(result) == 40 and all(len(hits) == 5 for hits in result) for result in found)
    known = set(gt.docs)
    assert all(doc in known for result in found for hits in result for doc in hits)
    assert r.search_many(gt.queries, 5) == [r.search(q, 5) for q in gt.queries]


def test_views_of_the_vectors_survive_growth() -> None:
    _, model = make_world(n_docs=5000, n_queries=5, seed=9)
    docs = [f"doc {i}" for i in range(5000)]
    r = EmbeddingRetriever(model)
    r.index(docs[:7])
    early = r.doc_embeddings
    snapshot = np.array(early)
    for i in range(7, 5000, 13):  # many growth steps
        r.index(docs[i:i + 13])
    np.testing.assert_array_equal(early, snapshot)
    assert r.doc_embeddings.shape == (5000, 8)
    np.testing.assert_array_equal(r.doc_embeddings[:7], snapshot)
    np.testing.assert_array_equal(r.doc_embeddings[4999], model.table[docs[4999]])
