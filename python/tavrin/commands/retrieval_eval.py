"""``tavrin retrieval-eval``: measure retrievers against a ground truth in JSON Lines."""

import json
import os
from pathlib import Path
from typing import List, Optional, Sequence, Tuple

import click

from tavrin.commands.base import Command
from tavrin.embeddings import EMBEDDINGS

__all__ = ["retrieval_eval"]


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


@click.command("retrieval-eval", cls=Command)
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
    from tavrin.evaluation.retrieval.report import format_table
    from tavrin.evaluation.retrieval.requests import RetrievalEvalRequest

    request = RetrievalEvalRequest(
        ground_truth=ground_truth,
        cutoffs=cutoffs,
        batch_size=batch_size,
        embeddings_names=embeddings_names,
        retriever_specs=retriever_specs,
        qdrant_sources=qdrant_sources,
        qdrant_embeddings=qdrant_embeddings,
        exact=exact,
        search_modes=search_modes,
        level=level,
        float32=float32,
        threshold=threshold,
        gain=gain,
        metrics=metrics,
        per_query=per_query,
        plot_path=plot_path,
        permutations=permutations,
        seed=seed,
        alpha=alpha,
        save_prefix=save_prefix,
    )
    evaluation = request.run(progress=True)
    if output_format == "json":
        click.echo(json.dumps(evaluation.results.to_dict(), indent=2))
    else:
        click.echo(format_table(evaluation.results))
    say = output_format == "table"  # after JSON, nothing more on standard output
    request.write_outputs(evaluation, lambda line: click.secho(line, fg="green") if say else None)
