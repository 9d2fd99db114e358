"""What the retrieval commands are asked, checked before any work: ``RetrievalEvalRequest``
(evaluate retrievers on a ground truth) and ``FromGitRequest`` (a ground truth made from
a repository's history).

A request checks itself when it is made and raises tavrin's errors: an ``OptionError``
for options that do not go together or a value refused, an ``OutputPathError`` for an
output it will not write, a ``MissingExtraError`` for an optional extra that is not
installed. Nothing is read or written before the checks pass.
"""

import math
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from tavrin._outputs import atomic_write_text, check_output
from tavrin.errors import GroundTruthFileError, OptionError
from tavrin.evaluation.retrieval.from_git import FromGitOptions, GitQuery, queries_from_git, to_jsonl
from tavrin.evaluation.retrieval.ground_truth import GroundTruthFile, read_ground_truth_file
from tavrin.evaluation.retrieval.references import references_in
from tavrin.evaluation.retrieval.report import PER_QUERY_SUFFIXES, per_query_text

__all__ = ["FromGitRequest", "FromGitResult", "RetrievalEvalRequest", "RetrievalEvaluation"]

_TUPLES = ("cutoffs", "embeddings_names", "retriever_specs", "qdrant_sources", "search_modes", "metrics")


@dataclass
class RetrievalEvaluation:
    """What a ``RetrievalEvalRequest`` found: its results, and the retrievers by name."""

    results: Any
    retrievers: Dict[str, Any]


@dataclass(frozen=True)
class RetrievalEvalRequest:
    """An evaluation of retrievers on the ground truth in ``ground_truth`` (JSON Lines).

    The retrievers are embedding models by name (``embeddings_names``), retriever classes
    as "module:Class" (``retriever_specs``) and stored sources (``qdrant_sources``,
    searched every way of ``search_modes``); with none of them, hashing. ``metrics``
    default to all of them. ``per_query``, ``plot_path`` and ``save_prefix`` name the
    outputs. Made, it checks itself (``check``).
    """

    ground_truth: str
    cutoffs: Sequence[int] = (5,)
    batch_size: int = 5
    embeddings_names: Sequence[str] = ()
    retriever_specs: Sequence[str] = ()
    qdrant_sources: Sequence[str] = ()
    qdrant_embeddings: Optional[str] = None
    exact: bool = False
    search_modes: Sequence[str] = ()
    level: str = "chunk"
    float32: bool = False
    threshold: float = 0.0
    gain: str = "linear"
    metrics: Optional[Sequence[str]] = None
    per_query: Optional[str] = None
    plot_path: Optional[str] = None
    permutations: int = 10_000
    seed: int = 0
    alpha: float = 0.05
    save_prefix: Optional[str] = None

    def __post_init__(self) -> None:
        from tavrin.evaluation.retrieval.results import METRICS

        if self.metrics is None:
            object.__setattr__(self, "metrics", METRICS)
        for name in _TUPLES:
            object.__setattr__(self, name, tuple(getattr(self, name)))
        if all(isinstance(k, int) for k in self.cutoffs):  # others are refused by the check
            object.__setattr__(self, "cutoffs", tuple(sorted(set(self.cutoffs))))
        self.check()

    def check(self) -> None:
        """Raise the first error of the request: a value out of range, options that need
        others, then an output that cannot be written (or the plot's missing extra)."""
        self._check_values()
        if not math.isfinite(self.threshold):
            raise OptionError("must be a finite number", "--threshold")
        if self.save_prefix is not None and not self.embeddings_names and (self.retriever_specs or self.qdrant_sources):
            raise OptionError("--save saves an embedding index: it needs --embeddings")
        if self.exact and not self.qdrant_sources:
            raise OptionError("--exact compares Qdrant's search with the exact one: it needs --qdrant-source")
        if self.search_modes and not self.qdrant_sources:
            raise OptionError("--search chooses how a stored source is searched: it needs --qdrant-source")
        self._check_outputs()

    def _check_values(self) -> None:
        """The values the command line's own types guard (so the command never sees these)."""
        from tavrin.ask_codebase.search import SEARCH_MODES
        from tavrin.evaluation.retrieval.results import GAINS, METRICS

        if not self.cutoffs or any(isinstance(k, bool) or not isinstance(k, int) or k < 1 for k in self.cutoffs):
            raise OptionError(f"cutoffs must be positive integers, got {list(self.cutoffs)}", "--k")
        for name in ("batch_size", "permutations"):
            if getattr(self, name) < 1:
                raise OptionError(f"must be at least 1, got {getattr(self, name)}", "--" + name.replace("_", "-"))
        if not 0 < self.alpha < 1:
            raise OptionError(f"must lie between 0 and 1, got {self.alpha}", "--alpha")
        choices = (("--by", self.level, ("chunk", "file")), ("--gain", self.gain, GAINS))
        for option, value, known in choices + tuple(("--search", m, SEARCH_MODES) for m in self.search_modes):
            if value not in known:
                raise OptionError(f"{value!r} is not one of {', '.join(map(repr, known))}", option)
        unknown = [m for m in self.metrics or () if m not in METRICS]
        if unknown or not self.metrics:
            chosen = list(self.metrics or ())
            raise OptionError(f"choose one or more of {', '.join(METRICS)}, got {chosen}", "--metrics")

    def _check_outputs(self) -> None:
        per_query, plot_path = self.per_query, self.plot_path
        if per_query is not None:
            if not per_query.lower().endswith(PER_QUERY_SUFFIXES):
                raise OptionError(f"{per_query!r}: use a .csv or .jsonl file name", "--per-query")
            check_output(per_query, inputs=[self.ground_truth], option="--per-query")
        if plot_path is not None:
            if not plot_path.lower().endswith(".png"):
                raise OptionError(f"{plot_path!r}: use a .png file name", "--plot")
            inputs = [p for p in (self.ground_truth, per_query) if p is not None]
            check_output(plot_path, inputs=inputs, option="--plot")
            from tavrin.evaluation.retrieval.plot import ensure_matplotlib

            ensure_matplotlib()

    def read_truth(self) -> Tuple[GroundTruthFile, Any]:
        """The ground-truth file and its ``GroundTruth``. File references need a stored
        source to resolve against, and only a stored source (not the retrievers that index
        the ground truth's own documents) can search them; scoring files needs one too."""
        from tavrin.evaluation.retrieval.dravik import GroundTruth

        truth_file = read_ground_truth_file(self.ground_truth)
        truth = GroundTruth(truth_file.triples)
        references = references_in(truth.docs)  # type: ignore[attr-defined]
        if references:
            named = f"{len(references)} documents name a file, e.g. {next(iter(references))!r}"
            if not self.qdrant_sources:
                raise GroundTruthFileError(
                    f"{self.ground_truth}: {named}: file references need --qdrant-source to resolve against "
                    "(to judge a chunk whose whole text looks like a path, end the document with a line break)"
                )
            if self.embeddings_names or self.retriever_specs:
                raise GroundTruthFileError(
                    f"{self.ground_truth}: {named}: only --qdrant-source can search file references "
                    "(--embeddings and --retriever index the ground truth's own documents)"
                )
        if self.level == "file" and not self.qdrant_sources:
            raise OptionError("--by file needs --qdrant-source: the stored chunks know their files")
        return truth_file, truth

    def run(self, *, progress: bool = True) -> RetrievalEvaluation:
        """Read the ground truth, make the retrievers, evaluate and compare them
        (``progress``: bars on standard error)."""
        from tavrin.evaluation.retrieval.results import evaluate_retrievers
        from tavrin.evaluation.retrieval.retrievers import build_retrievers, short_list_warnings

        truth_file, truth = self.read_truth()
        truth, retrievers = build_retrievers(
            truth_file.triples,
            truth,
            self.embeddings_names,
            self.retriever_specs,
            self.qdrant_sources,
            self.qdrant_embeddings,
            exact=self.exact,
            search_modes=self.search_modes,
            level=self.level,
            float32=self.float32,
        )
        short = short_list_warnings(retrievers, truth, self.cutoffs[-1])
        results = evaluate_retrievers(
            truth,
            retrievers,
            list(self.cutoffs),
            metrics=list(self.metrics or ()),
            batch_size=self.batch_size,
            threshold=self.threshold,
            gain=self.gain,
            permutations=self.permutations,
            seed=self.seed,
            alpha=self.alpha,
            progress=progress,
            level=self.level,
            queries=truth_file.queries,
        )
        results.warnings.extend(short)
        return RetrievalEvaluation(results, retrievers)

    def write_outputs(self, evaluation: RetrievalEvaluation, say: Callable[[str], Any] = lambda line: None) -> None:
        """Write the per-query file, the plot and the saved index that were asked for, in
        that order, and ``say`` a line after each."""
        from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever

        results = evaluation.results
        if self.per_query is not None:
            atomic_write_text(self.per_query, per_query_text(results, self.per_query))
            say(f"Wrote the per-query scores to {self.per_query}")
        if self.plot_path is not None:
            from tavrin.evaluation.retrieval.plot import plot_results

            plot_results(results, self.plot_path)
            say(f"Wrote the plot to {self.plot_path}")
        if self.save_prefix is not None:
            inner = (getattr(r, "inner", r) for r in evaluation.retrievers.values())
            first = next(r for r in inner if isinstance(r, EmbeddingRetriever))
            first.save(self.save_prefix)
            say(f"Saved the index: {self.save_prefix}_docs.npy, {self.save_prefix}_doc_embeddings.npy")


@dataclass
class FromGitResult:
    """What ``FromGitRequest.run`` made: the queries, their JSON Lines, and how many
    commits were left out for each reason."""

    queries: List[GitQuery]
    text: str
    skipped: Dict[str, int]

    def summary(self, output: str) -> str:
        """The line that says what was written to ``output``."""
        trivial = sum(q.trivial for q in self.queries)
        judgements = sum(len(q.documents) for q in self.queries)
        left_out = ", ".join(f"{n} {reason}" for reason, n in sorted(self.skipped.items()))
        return f"Wrote {len(self.queries)} queries ({trivial} trivial), {judgements} judgements to {output}" + (
            f"; left out: {left_out}" if left_out else ""
        )


@dataclass(frozen=True)
class FromGitRequest:
    """A ground truth made from the history of the git repository ``repo``, written to
    ``output`` (None: returned only). Made, it checks itself (``check``)."""

    repo: str
    output: Optional[str] = None
    options: FromGitOptions = field(default_factory=FromGitOptions)

    def __post_init__(self) -> None:
        self.check()

    def check(self) -> None:
        """Raise the first error of the request: file counts the wrong way round, or an
        output that cannot be written."""
        options = self.options
        if options.min_files > options.max_files:
            raise OptionError(f"{options.max_files} is below --min-files {options.min_files}", "--max-files")
        if self.output is not None:
            check_output(self.output, option="--output")

    def run(self) -> FromGitResult:
        """Read the history and write the ground truth to ``output``, if one is named."""
        skipped: Dict[str, int] = {}
        queries = queries_from_git(self.repo, self.options, skipped)
        result = FromGitResult(queries, to_jsonl(queries), skipped)
        if self.output is not None:
            atomic_write_text(self.output, result.text)
        return result
