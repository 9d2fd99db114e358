"""Retrieval evaluation with every result kept: metrics at several cutoffs, per-query
scores, timings, and paired comparisons of several retrievers on one ground truth.

``evaluate_retrievers`` runs each retriever once (one search at the largest cutoff, or
deeper where R-precision needs it), scores every query at every cutoff in C++ from the
judgements, and returns an ``EvaluationResults``; ``EvaluationResults.to_dict()`` is a
plain JSON-ready object. ``run_retrieval_evaluation`` and ``evaluation_report`` of
``dravik`` are unchanged; this module is what the ``retrieval-eval`` command uses. The
ground-truth file's records (``GroundTruthFile``, ``GroundTruthQuery``) and the
retrievers' (``Corpus``, ``FileLevelRetriever``, ``Float32EmbeddingRetriever``) live in
``ground_truth`` and ``retrievers``, and are found here as well.
"""

import math
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, cast

import numpy as np

from tavrin.evaluation.retrieval.dravik import (
    _CUTOFF_METRICS,
    EmbeddingRetriever,
    GroundTruth,
    Retriever,
)
from tavrin.evaluation.retrieval.ground_truth import GroundTruthFile, GroundTruthQuery
from tavrin.evaluation.retrieval.retrievers import Corpus, FileLevelRetriever, Float32EmbeddingRetriever
from tavrin.evaluation.retrieval.significance import holm, paired_t_test, randomization_test

__all__ = [
    "CUTOFF_METRICS",
    "METRICS",
    "METRIC_LABELS",
    "Comparison",
    "Corpus",
    "EvaluationResults",
    "FileLevelRetriever",
    "GroundTruthFile",
    "GroundTruthQuery",
    "RunResult",
    "Float32EmbeddingRetriever",
    "compare_runs",
    "evaluate_retriever",
    "evaluate_retrievers",
    "parse_cutoffs",
    "parse_metrics",
]

#: Metrics computed at every cutoff, in the order the engine returns them.
CUTOFF_METRICS: Tuple[str, ...] = tuple(_CUTOFF_METRICS)
#: Every metric name: the cutoff metrics and "r_precision" (which has no cutoff).
METRICS: Tuple[str, ...] = CUTOFF_METRICS + ("r_precision",)
#: How the metrics are labelled in tables and plots.
METRIC_LABELS: Dict[str, str] = {
    "precision": "P@k",
    "recall": "R@k",
    "ndcg": "nDCG@k",
    "mrr": "MRR@k",
    "map": "MAP@k",
    "hit_rate": "Hit rate@k",
    "graded_precision": "Graded precision@k",
    "graded_recall": "Graded recall@k",
    "graded_f1": "Graded F1@k",
    "r_precision": "R-precision",
}
GAINS = ("linear", "exponential")


def parse_cutoffs(text: str) -> List[int]:
    """ "1,5,10" -> [1, 5, 10] (sorted, without repeats); ValueError naming a bad entry."""
    cutoffs = set()
    for part in str(text).split(","):
        part = part.strip()
        if not part.isdigit() or int(part) < 1:
            raise ValueError(f"cutoff {part!r} is not a positive integer (write them like 1,5,10)")
        cutoffs.add(int(part))
    return sorted(cutoffs)


def parse_metrics(text: Optional[str]) -> List[str]:
    """ "ndcg,recall" -> ["ndcg", "recall"]; None or "all" -> every metric."""
    if text is None or text.strip() == "all":
        return list(METRICS)
    chosen: List[str] = []
    for part in text.split(","):
        name = part.strip().lower().replace("-", "_")
        if name not in METRICS:
            raise ValueError(f"unknown metric {part.strip()!r}; choose from: {', '.join(METRICS)}")
        if name not in chosen:
            chosen.append(name)
    return chosen


def _clean(value: float) -> Optional[float]:
    return None if value is None or (isinstance(value, float) and math.isnan(value)) else float(value)


@dataclass
class RunResult:
    """One retriever's evaluation.

    ``metrics[k][name]`` is the mean over the queries at cutoff k; ``graded_recall``
    averages only the queries whose ideal graded sum is not 0 (as the graded recall of
    ``GroundTruth.evaluate``), and so does ``graded_f1``, the mean of each query's F1 of its
    graded precision and recall: the value its paired difference and tests compare, query by
    query. ``per_query[name]`` is an array of shape
    (queries, cutoffs), NaN where a value is undefined.
    """

    name: str
    cutoffs: List[int]
    queries: List[str]
    metrics: Dict[int, Dict[str, float]]
    r_precision: float
    per_query: Dict[str, np.ndarray]
    relevant: List[int]
    indexing_seconds: float
    search_seconds: float
    documents: int
    extra: Dict[str, Any] = field(default_factory=dict)
    corpus: Optional[Corpus] = None
    #: the queries (by key) whose key is not their text, or that carry an id or a mark
    query_info: Dict[str, GroundTruthQuery] = field(default_factory=dict)

    @property
    def indexing_ms_per_doc(self) -> float:
        return self.indexing_seconds / max(1, self.documents) * 1000.0

    @property
    def retrieval_ms_per_query(self) -> float:
        return self.search_seconds / max(1, len(self.queries)) * 1000.0

    def values(self, metric: str, k: Optional[int] = None) -> np.ndarray:
        """Per-query values of ``metric`` at cutoff ``k`` (any k for r_precision)."""
        if metric == "r_precision":
            return self.per_query["r_precision"][:, 0]
        return self.per_query[metric][:, self.cutoffs.index(k)]  # type: ignore[index, arg-type]

    def mean(self, metric: str, k: Optional[int] = None) -> float:
        return self.r_precision if metric == "r_precision" else self.metrics[k][metric]  # type: ignore[index]

    def to_dict(self) -> Dict[str, Any]:
        return {
            "name": self.name,
            "metrics": {str(k): dict(v) for k, v in self.metrics.items()},
            "r_precision": self.r_precision,
            "timings": {
                "documents": self.documents,
                "queries": len(self.queries),
                "indexing_seconds": self.indexing_seconds,
                "search_seconds": self.search_seconds,
                "indexing_ms_per_doc": self.indexing_ms_per_doc,
                "retrieval_ms_per_query": self.retrieval_ms_per_query,
            },
            **({"corpus": self.corpus.to_dict()} if self.corpus is not None else {}),
            **({"details": self.extra} if self.extra else {}),
        }

    def query_rows(self) -> List[Dict[str, Any]]:
        """One row per query and cutoff: the per-query scores as plain values, with the
        query's "id" and "trivial" mark when the ground truth gives any."""
        info = self.query_info
        with_ids = any(q.id is not None for q in info.values())
        with_marks = any(q.trivial is not None for q in info.values())
        rows = []
        for qi, query in enumerate(self.queries):
            about = info.get(query)
            for ki, k in enumerate(self.cutoffs):
                row: Dict[str, Any] = {"retriever": self.name, "query": about.text if about else query}
                if with_ids:
                    row["id"] = about.id if about else None
                if with_marks:
                    row["trivial"] = about.trivial if about else None
                row.update(k=k, relevant=self.relevant[qi])
                for name in CUTOFF_METRICS:
                    row[name] = _clean(float(self.per_query[name][qi, ki]))
                row["r_precision"] = _clean(float(self.per_query["r_precision"][qi, 0]))
                rows.append(row)
        return rows


@dataclass
class Comparison:
    """One metric of one run against the first run, with both tests' p-values
    (raw and Holm-corrected across every comparison of the evaluation)."""

    baseline: str
    run: str
    metric: str
    k: Optional[int]
    difference: float
    p_randomization: float
    p_t: float
    p_randomization_holm: float = 1.0
    p_t_holm: float = 1.0
    significant: bool = False

    def to_dict(self) -> Dict[str, Any]:
        return dict(self.__dict__)


@dataclass
class EvaluationResults:
    """Everything an evaluation found: settings, one ``RunResult`` per retriever, and
    the comparisons of every run with the first."""

    cutoffs: List[int]
    threshold: float
    gain: str
    metrics: List[str]
    runs: List[RunResult]
    comparisons: List[Comparison]
    permutations: int
    seed: int
    alpha: float
    level: str = "chunk"
    only_relevant: bool = False
    warnings: List[str] = field(default_factory=list)

    @property
    def corpora_differ(self) -> bool:
        """Whether the retrievers searched different corpora (their scores then measure
        different tasks)."""
        return len({run.corpus for run in self.runs}) > 1

    def to_dict(self) -> Dict[str, Any]:
        return {
            "level": self.level,
            "ground_truth": {
                "queries": len(self.runs[0].queries) if self.runs else 0,
                "documents": self.runs[0].documents if self.runs else 0,
                "only_relevant_documents": self.only_relevant,
            },
            **({"warnings": list(self.warnings)} if self.warnings else {}),
            "cutoffs": self.cutoffs,
            "relevance_threshold": self.threshold,
            "gain": self.gain,
            "metrics": self.metrics,
            "runs": [run.to_dict() for run in self.runs],
            "comparisons": [c.to_dict() for c in self.comparisons],
            "significance": {
                "permutations": self.permutations,
                "seed": self.seed,
                "alpha": self.alpha,
                "correction": "holm",
            },
        }


def _no_bar(iterable=None, **kwargs):
    class _Bar:
        def update(self, n=1):
            pass

        def close(self):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

    return _Bar()


def _bar_factory(progress: bool) -> Callable[..., Any]:
    if not progress:
        return _no_bar
    from tqdm import tqdm

    class Bar(tqdm):
        # no monitor thread: it would outlive the run (this tqdm never stops it)
        monitor_interval = 0

    return Bar


def _search_all(
    retriever: Any,
    keys: List[str],
    texts: List[str],
    depth: int,
    block: bool,
    query_block: int,
    advance: Callable[[int], Any],
) -> Tuple[Dict[str, List[str]], float]:
    """Every query's hits, by query key, and the seconds spent searching. A retriever that
    searches many queries at once (an embedding index, a stored source that embeds them in
    one call) is searched in blocks of ``query_block``; queries that share a text need
    ``search_as``, one by one."""
    retrieval: Dict[str, List[str]] = {}
    searching = 0.0
    search_as = getattr(retriever, "search_as", None)
    many = isinstance(retriever, EmbeddingRetriever) or (
        callable(getattr(retriever, "search_many", None)) and (keys == texts or not callable(search_as))
    )
    if block and many:
        for i in range(0, len(keys), query_block):
            t0 = time.perf_counter()
            found = cast(Any, retriever).search_many(texts[i : i + query_block], depth)
            searching += time.perf_counter() - t0
            retrieval.update(zip(keys[i : i + query_block], found))
            advance(len(found))
        return retrieval, searching
    for query, text in zip(keys, texts):
        t0 = time.perf_counter()
        if text != query and callable(search_as):
            hits = search_as(query, text, depth)
        else:
            hits = retriever.search(text, depth)
        searching += time.perf_counter() - t0
        retrieval[query] = hits if isinstance(hits, list) else list(hits)
        advance(1)
    return retrieval, searching


def evaluate_retriever(
    ground_truth: GroundTruth,
    retriever: Retriever,
    cutoffs: Sequence[int] = (5,),
    *,
    name: str = "retriever",
    batch_size: int = 5,
    threshold: float = 0.0,
    gain: str = "linear",
    progress: bool = True,
    block: bool = True,
    query_block: int = 256,
    corpus: Optional[Corpus] = None,
    queries: Optional[Mapping[str, GroundTruthQuery]] = None,
) -> RunResult:
    """Index the ground truth's documents into ``retriever``, search every query once at
    the largest cutoff (deeper when a query has more relevant documents, for
    R-precision) and score every query at every cutoff.

    An ``EmbeddingRetriever`` is searched in blocks of ``query_block`` queries (one
    blocked matrix product each) unless ``block`` is False. Progress bars (stderr)
    count documents and queries.

    ``corpus`` is what the retriever searches (default: its ``corpus`` attribute, else
    the ground truth's documents); no search asks for more than it holds.

    ``queries`` (``GroundTruthFile.queries``) gives the text searched for each ground-truth
    query whose key is not its text (two queries of one text with different ids); a
    retriever with a ``search_as(query, text, k)`` method is asked that way for them, so
    it can match its hits against that query's own judgements.
    """
    cutoffs = sorted(set(int(k) for k in cutoffs))
    if not cutoffs or cutoffs[0] < 1:
        raise ValueError(f"cutoffs must be positive integers, got {list(cutoffs)}")
    if gain not in GAINS:
        raise ValueError(f"unknown gain {gain!r}; choose linear or exponential")
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1, got {batch_size}")
    info = dict(queries or {})
    # instance attributes the native constructor sets
    keys: List[str] = list(ground_truth.queries)  # type: ignore[attr-defined]
    texts = [info[key].text if key in info else key for key in keys]
    docs: List[str] = list(ground_truth.docs)  # type: ignore[attr-defined]
    if not docs or not keys:
        raise ValueError("the ground truth has no documents or no queries")
    if corpus is None:
        corpus = getattr(retriever, "corpus", None) or Corpus("ground_truth", len(docs))
    bar = _bar_factory(progress)

    start = time.perf_counter()
    with bar(total=len(docs), desc=f"Indexing documents ({name})", unit="doc") as b:
        for i in range(0, len(docs), batch_size):
            batch = docs[i : i + batch_size]
            retriever.index(batch)
            b.update(len(batch))
    indexing = time.perf_counter() - start

    # One probe of the relevant counts gives the search depth R-precision needs.
    _, _, relevant = ground_truth._score_rankings({}, [1], float(threshold), gain == "exponential")
    depth = min(corpus.size, max(cutoffs[-1], int(relevant.max()) if len(relevant) else 0))
    with bar(total=len(keys), desc=f"Searching top-{depth} ({name})", unit="query") as b:
        retrieval, searching = _search_all(retriever, keys, texts, depth, block, query_block, b.update)

    values, r_precision, relevant = ground_truth._score_rankings(
        retrieval, cutoffs, float(threshold), gain == "exponential"
    )
    per_query = {metric: values[:, :, i] for i, metric in enumerate(CUTOFF_METRICS)}
    per_query["r_precision"] = r_precision[:, None]
    metrics: Dict[int, Dict[str, float]] = {}
    for ki, k in enumerate(cutoffs):
        means: Dict[str, float] = {}
        for i, metric in enumerate(CUTOFF_METRICS):
            column = values[:, ki, i]
            if metric in ("graded_recall", "graded_f1"):
                defined = column[~np.isnan(column)]
                means[metric] = float(defined.mean()) if len(defined) else 0.0
            else:
                means[metric] = float(column.mean())
        metrics[k] = means
    # retrievers with more to say (a Qdrant source: unmatched documents, exact overlap)
    details = getattr(retriever, "evaluation_details", None)
    extra = dict(details(keys, cutoffs[-1])) if callable(details) else {}
    return RunResult(
        name=name,
        cutoffs=cutoffs,
        queries=keys,
        metrics=metrics,
        r_precision=float(r_precision.mean()),
        per_query=per_query,
        relevant=[int(x) for x in relevant],
        indexing_seconds=indexing,
        search_seconds=searching,
        documents=len(docs),
        extra=extra,
        corpus=corpus,
        query_info=info,
    )


def compare_runs(
    runs: Sequence[RunResult],
    metrics: Sequence[str] = METRICS,
    *,
    permutations: int = 10_000,
    seed: int = 0,
    alpha: float = 0.05,
) -> List[Comparison]:
    """Every metric (at every cutoff) of every run after the first against the first:
    paired randomization test and paired t-test over the queries, both Holm-corrected
    across all these comparisons; ``significant`` when the corrected randomization
    p-value is below ``alpha``."""
    if len(runs) < 2:
        return []
    base = runs[0]
    out: List[Comparison] = []
    for run in runs[1:]:
        if run.queries != base.queries:
            raise ValueError(f"runs {base.name!r} and {run.name!r} were not made on the same queries")
        for metric in metrics:
            for k in [None] if metric == "r_precision" else base.cutoffs:
                a, b = base.values(metric, k), run.values(metric, k)
                out.append(
                    Comparison(
                        baseline=base.name,
                        run=run.name,
                        metric=metric,
                        k=k,
                        difference=run.mean(metric, k) - base.mean(metric, k),
                        p_randomization=randomization_test(a, b, permutations, seed),
                        p_t=paired_t_test(a, b),
                    )
                )
    for attribute in ("p_randomization", "p_t"):
        for c, adjusted in zip(out, holm([getattr(c, attribute) for c in out])):
            setattr(c, attribute + "_holm", adjusted)
    for c in out:
        c.significant = c.p_randomization_holm < alpha
    return out


def evaluate_retrievers(
    ground_truth: GroundTruth,
    retrievers: Mapping[str, Retriever],
    cutoffs: Sequence[int] = (5,),
    *,
    metrics: Sequence[str] = METRICS,
    batch_size: int = 5,
    threshold: float = 0.0,
    gain: str = "linear",
    permutations: int = 10_000,
    seed: int = 0,
    alpha: float = 0.05,
    progress: bool = True,
    block: bool = True,
    level: str = "chunk",
    queries: Optional[Mapping[str, GroundTruthQuery]] = None,
) -> EvaluationResults:
    """Evaluate every retriever (name -> retriever) on the ground truth and compare each
    with the first. Returns an ``EvaluationResults``; ``.to_dict()`` gives plain data.

    When the ground truth judges no document irrelevant (every grade above
    ``threshold``) and the retrievers search different corpora, the results carry a
    warning that their scores are not comparable."""
    runs = [
        evaluate_retriever(
            ground_truth,
            retriever,
            cutoffs,
            name=name,
            batch_size=batch_size,
            threshold=threshold,
            gain=gain,
            progress=progress,
            block=block,
            queries=queries,
        )
        for name, retriever in retrievers.items()
    ]
    comparisons = compare_runs(runs, metrics, permutations=permutations, seed=seed, alpha=alpha)
    only_relevant = only_relevant_documents(ground_truth, threshold)
    results = EvaluationResults(
        cutoffs=sorted(set(int(k) for k in cutoffs)),
        threshold=float(threshold),
        gain=gain,
        metrics=list(metrics),
        runs=runs,
        comparisons=comparisons,
        permutations=permutations,
        seed=seed,
        alpha=alpha,
        level=level,
        only_relevant=only_relevant,
    )
    if results.corpora_differ:
        searched = "; ".join(f"{run.name}: {run.corpus.describe()}" for run in runs if run.corpus is not None)
        if only_relevant:
            results.warnings.append(
                "the ground truth lists only relevant documents, so a retriever of its own documents searches "
                f"nothing but relevant ones while a Qdrant source searches all it stores ({searched}): "
                "their scores are not comparable, nor are the paired tests"
            )
        else:
            results.warnings.append(
                f"the retrievers search different corpora ({searched}): their scores measure different tasks"
            )
    return results


def only_relevant_documents(ground_truth: GroundTruth, threshold: float = 0.0) -> bool:
    """Whether every judgement of ``ground_truth`` grades its document relevant (above
    ``threshold``): the ground truth names no document judged irrelevant."""
    scores = ground_truth.scores
    values = [float(v) for v in scores.ravel() if v is not None]
    return bool(values) and all(v > threshold for v in values)
