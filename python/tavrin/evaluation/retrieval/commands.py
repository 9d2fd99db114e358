"""The ``retrieval-eval`` command: measure retrieval against a ground truth in JSON Lines."""

import json
import math
from pathlib import Path
from typing import List, Optional, Tuple

import click

from tavrin.embeddings import EMBEDDING_NAMES, make_embeddings


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


def _save_prefix(ctx: click.Context, param: click.Parameter, value: Optional[str]) -> Optional[str]:
    if value is not None and not Path(value).resolve().parent.is_dir():
        raise click.BadParameter(f"folder {str(Path(value).parent)!r} does not exist", ctx=ctx, param=param)
    return value


@click.command("retrieval-eval")
@click.argument("ground_truth", type=click.Path(exists=True, dir_okay=False))
@click.option("--k", "k", default=5, show_default=True, type=click.IntRange(min=1),
              help="How many documents to retrieve for each query.")
@click.option("--batch-size", default=5, show_default=True, type=click.IntRange(min=1),
              help="How many documents to embed per call of the model.")
@click.option("--embeddings", "embeddings_name", default=EMBEDDING_NAMES[0], show_default=True,
              type=click.Choice(EMBEDDING_NAMES),
              help="The embedding model: 'hashing' runs offline; 'minilm' runs offline once the "
                   "extra 'semantic' is installed; 'openai' needs OPENAI_API_KEY.")
@click.option("--save", "save_prefix", metavar="PREFIX", callback=_save_prefix,
              help="Also save the index as PREFIX_docs.npy and PREFIX_doc_embeddings.npy.")
def retrieval_eval(ground_truth: str, k: int, batch_size: int, embeddings_name: str,
                   save_prefix: Optional[str]) -> None:
    """Index the documents of GROUND_TRUTH, retrieve the top k for each of its queries and
    report precision, recall, F1 and timings.

    GROUND_TRUTH is a JSON Lines file: one object per line with a "query", a "document" (the
    exact text of a chunk) and a "score" (its relevance grade for the query, 0 if irrelevant).
    """
    from tavrin.evaluation.retrieval.dravik import EmbeddingRetriever, GroundTruth, evaluation_report

    try:
        truth = GroundTruth(read_ground_truth(ground_truth))
        embeddings = make_embeddings(embeddings_name)
    except ValueError as exc:
        raise click.ClickException(str(exc)) from exc
    if k > len(truth.docs):
        raise click.ClickException(
            f"--k {k} is more than the {len(truth.docs)} documents of {ground_truth}: "
            "every query must be able to get k results"
        )
    retriever = EmbeddingRetriever(embeddings)
    evaluation_report(truth, retriever, k, batch_size)
    if save_prefix is not None:
        retriever.save(save_prefix)
        click.secho(f"Saved the index: {save_prefix}_docs.npy, {save_prefix}_doc_embeddings.npy", fg="green")
