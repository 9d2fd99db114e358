"""``tavrin sources`` and ``tavrin chunks``: what the store holds."""

from typing import Any, Dict, List, Optional, cast

import click

from tavrin.ask_codebase.store.qdrant import QdrantWrapper, StoreConfig


@click.command()
@click.option("--delete", "delete_name", metavar="NAME", help="Remove the source NAME from the store.")
def sources(delete_name: Optional[str]) -> None:
    """List the indexed sources: their chunks, embeddings and when they were indexed."""
    config = StoreConfig.from_env()
    if delete_name is not None:
        count = QdrantWrapper.delete_source(delete_name, config=config)
        click.secho(f"Deleted source {delete_name!r} ({count} chunks) from {config.describe()}.", fg="green", err=True)
        return
    infos = QdrantWrapper.describe_sources(config=config)
    if not infos:
        click.echo(f"No source has been indexed yet in {config.describe()}.", err=True)
        return
    rows = [("SOURCE", "CHUNKS", "EMBEDDINGS", "INDEXED")] + [
        (info.name, str(info.chunks), info.embedding or "?", info.indexed or "?")
        if info.problem is None
        else (info.name, "?", "damaged", "?")
        for info in infos
    ]
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        click.echo("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
    for info in infos:
        if info.problem is not None:
            click.echo(f"Warning: {info.problem}", err=True)


# ---------------------------------------------------------------- tavrin chunks


class _NoEmbeddings:
    """Listing stored chunks embeds nothing."""

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        raise RuntimeError("listing chunks embeds nothing")

    def embed_query(self, text: str) -> List[float]:
        raise RuntimeError("listing chunks embeds nothing")


def chunk_record(chunk: Any) -> Dict[str, Any]:
    """A stored chunk as the plain record `tavrin chunks` prints: path, start_line and
    end_line (None for chunks stored without a line range), text and reference."""
    metadata = chunk.metadata or {}
    start, end = metadata.get("start_line"), metadata.get("end_line")
    return {
        "path": str(metadata.get("filepath") or metadata.get("source") or ""),
        "start_line": start if isinstance(start, int) else None,
        "end_line": end if isinstance(end, int) else None,
        "text": chunk.page_content,
        "reference": metadata.get("reference") or metadata.get("url"),
    }


def chunk_label(record: Dict[str, Any]) -> str:
    """ "path#Lstart-Lend" (or the bare path): what a ground truth can name the chunk by."""
    if record["start_line"] is None:
        return record["path"]
    return f"{record['path']}#L{record['start_line']}-L{record['end_line']}"


@click.command()
@click.argument("source_name", metavar="SOURCE")
@click.option(
    "--grep", "pattern", metavar="TEXT", help="List only the chunks whose text contains TEXT (case-sensitive)."
)
@click.option(
    "--format",
    "output_format",
    type=click.Choice(["text", "jsonl"]),
    default="text",
    show_default=True,
    help="text: a header line per chunk (path#Lstart-Lend and reference), then its text; "
    "jsonl: one object per chunk with path, start_line, end_line, text and reference.",
)
def chunks(source_name: str, pattern: Optional[str], output_format: str) -> None:
    """List the chunks stored in the indexed SOURCE, by path and line, with their text.

    The header of each chunk, path#Lstart-Lend, is how a retrieval ground truth can name
    it (`tavrin retrieval-eval --qdrant-source SOURCE`).
    """
    import json

    wrapper = QdrantWrapper.reuse(source_name=source_name, embedding_cls=cast(Any, _NoEmbeddings))
    records = [chunk_record(chunk) for chunk in wrapper.iter_chunks()]
    if pattern is not None:
        records = [r for r in records if pattern in r["text"]]
    records.sort(key=lambda r: (r["path"], r["start_line"] or 0, r["end_line"] or 0, r["text"]))
    for record in records:
        if output_format == "jsonl":
            click.echo(json.dumps(record, ensure_ascii=False))
            continue
        reference = record["reference"]
        header = chunk_label(record) + (f"  {reference}" if reference and reference != record["path"] else "")
        click.secho(f"=== {header}", fg="blue")
        click.echo(record["text"].rstrip("\n") + "\n")
    if not records:
        what = f"contains {pattern!r}" if pattern is not None else "is stored"
        click.echo(f"No chunk of source {source_name!r} {what}.", err=True)
