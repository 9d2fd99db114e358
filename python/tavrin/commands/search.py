"""``tavrin search``: the chunks of an indexed source that best answer a query."""

import json
from typing import Any, Dict, List, Optional, cast

import click

from tavrin.ask_codebase.search import SEARCH_MODES, SearchHit
from tavrin.commands.base import Command
from tavrin.errors import OptionError, StoreError


def hit_record(rank: int, hit: SearchHit) -> Dict[str, Any]:
    """One hit as `tavrin search --format jsonl` prints it."""
    metadata = hit.chunk.metadata or {}
    start, end = metadata.get("start_line"), metadata.get("end_line")
    return {
        "rank": rank,
        "path": hit.path,
        "start_line": start if isinstance(start, int) else None,
        "end_line": end if isinstance(end, int) else None,
        "score": hit.score,
        "dense_rank": hit.dense_rank,
        "lexical_rank": hit.lexical_rank,
        "reference": metadata.get("reference") or metadata.get("url"),
    }


def _label(record: Dict[str, Any]) -> str:
    if record["start_line"] is None:
        return record["path"] or "(no path)"
    return f"{record['path']}#L{record['start_line']}-L{record['end_line']}"


def _channels(record: Dict[str, Any]) -> str:
    parts = []
    if record["dense_rank"] is not None:
        parts.append(f"dense #{record['dense_rank']}")
    if record["lexical_rank"] is not None:
        parts.append(f"lexical #{record['lexical_rank']}")
    return ", ".join(parts)


class _QueryEmbeddings:
    """The embeddings a search needs: only the query's vector, made by the embeddings
    the source was indexed with, loaded when first used."""

    def __init__(self, name: str) -> None:
        self.name = name
        self._embeddings: Optional[Any] = None

    def _load(self) -> Any:
        if self._embeddings is None:
            from tavrin.commands.common import build_embeddings

            _, self._embeddings = build_embeddings(self.name, "search")
        return self._embeddings

    def embed_query(self, text: str) -> List[float]:
        from tavrin.embeddings import builtin_hashing

        hashing = builtin_hashing(self.name)  # the built-in model, without langchain's import
        if hashing is not None:
            return hashing.embed_query(text)
        return self._load().embed_query(text)

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        return self._load().embed_documents(texts)


@click.command(cls=Command)
@click.argument("source_name", metavar="SOURCE")
@click.argument("query")
@click.option("-k", "--k", "k", default=10, show_default=True, type=click.IntRange(min=1), help="Chunks to show.")
@click.option(
    "--search",
    "mode",
    type=click.Choice(SEARCH_MODES),
    default="hybrid",
    show_default=True,
    help="hybrid: dense and lexical fused, then ranked; dense: the source's vectors; lexical: BM25 "
    "over code-aware terms.",
)
@click.option(
    "--embeddings",
    "embeddings_name",
    default=None,
    metavar="NAME",
    help="The embeddings the source was indexed with (default: those it records, else $TAVRIN_EMBEDDINGS or hashing).",
)
@click.option(
    "--format",
    "output_format",
    type=click.Choice(["text", "jsonl"]),
    default="text",
    show_default=True,
    help="text: a line per chunk (rank, path#Lstart-Lend, score, channel ranks); jsonl: one object per "
    "chunk with rank, path, start_line, end_line, score, dense_rank, lexical_rank and reference.",
)
def search(source_name: str, query: str, k: int, mode: str, embeddings_name: Optional[str], output_format: str) -> None:
    """Show the chunks of the indexed SOURCE that best answer QUERY, best first."""
    from tavrin.ask_codebase.store.qdrant import QdrantWrapper, StoreConfig, open_client
    from tavrin.embeddings import EMBEDDINGS, default_embeddings

    if not query.strip():
        raise OptionError("the query is empty", "QUERY")
    config = StoreConfig.from_env()
    if embeddings_name is None:
        recorded = {info.name: info.embedding for info in open_client(config).infos()}.get(source_name)
        embeddings_name = recorded if recorded in EMBEDDINGS else default_embeddings()
    embeddings = _QueryEmbeddings(embeddings_name)
    wrapper = QdrantWrapper.reuse(source_name, cast(Any, lambda: embeddings), config=config)
    vector = None
    if mode != "lexical":
        vector = embeddings.embed_query(query)
        if len(vector) != wrapper.vector_size:
            raise StoreError(
                f"source {source_name!r} holds vectors of length {wrapper.vector_size}, but embeddings "
                f"{embeddings_name!r} make vectors of length {len(vector)}: name the embeddings it was indexed "
                "with (--embeddings), or use --search lexical"
            )
    hits = wrapper.search(query, k, mode=mode, vector=vector)
    records = [hit_record(rank, hit) for rank, hit in enumerate(hits, 1)]
    for record in records:
        if output_format == "jsonl":
            click.echo(json.dumps(record, ensure_ascii=False))
        else:
            click.echo(f"{record['rank']:>3}. {_label(record)}  {record['score']:.4f}  ({_channels(record)})")
    if not records:
        click.echo(f"Nothing in source {source_name!r} matches the query.", err=True)
