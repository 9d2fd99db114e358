"""``tavrin index``: split the files of one or more trees into chunks, embed them and store
them as a named source, again only what changed when the source exists."""

import functools
import os
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Set, Tuple

import click
from tqdm import tqdm

from tavrin.ask_codebase.indexing.selection import (
    DEFAULT_MAX_FILE_SIZE,
    TreeSelection,
    file_hashes,
    plural,
    recorded_fingerprints,
)
from tavrin.ask_codebase.store.qdrant import EmptySourceError, IndexUpdate, QdrantWrapper, StoreConfig, open_client
from tavrin.commands.common import build_embeddings, check_openai_key, embeddings_option, glob_option
from tavrin.embeddings import builtin_hashing


class _Tally:
    """Counts the chunks and files passing through, for the progress bar and closing line."""

    def __init__(self) -> None:
        self.chunks = 0
        self.files: Set[Tuple[int, Any]] = set()

    def count(self, root_index: int, documents: Iterable[Any]) -> Iterator[Any]:
        for document in documents:
            self.chunks += 1
            self.files.add((root_index, document.metadata.get("source")))
            yield document


class _Source(NamedTuple):
    """What ``file_chunks`` reads of a ``FileSource``: where paths are relative to, and the
    references' maker (the loader's module imports langchain, which takes seconds)."""

    rel_root: str
    ref_maker: Callable[[str], str]


def _reference_maker(folder: str, repo_url: Optional[str], rev: str) -> Callable[[str], str]:
    """The loader's reference maker: a link into ``repo_url`` at ``rev``, else the local path
    (``gen_local_reference_maker``'s ``os.path.join``, made here to keep langchain unloaded)."""
    if repo_url:
        from tavrin.ask_codebase.indexing.loader.file import gen_github_reference_maker

        return gen_github_reference_maker(repo_url, hexsha=rev)
    return functools.partial(_local_reference, repo_dir=folder)


def _local_reference(relpath: str, repo_dir: str) -> str:
    return os.path.join(repo_dir, relpath)


def _load_files(
    selections: List[TreeSelection],
    chosen: Dict[str, List[Path]],
    repo_url: Optional[str],
    rev: str,
    tally: _Tally,
    advance: Callable[[], None],
) -> Iterator[Tuple[str, List[Any]]]:
    """The chunks of the chosen files, file by file: (the file's path, its chunks), split
    as the file loader splits them, cut to their splitter's size, with their line ranges.
    A file that gives no chunk is left out."""
    from tavrin.ask_codebase.indexing.splitting import file_chunks

    for index, selection in enumerate(selections):
        files = chosen.get(str(selection.root))
        if not files:
            continue
        folder = str(selection.folder)
        source = _Source(folder, _reference_maker(folder, repo_url, rev))
        for read in file_chunks(source, files):
            advance()
            if read.chunks:
                yield read.path, list(tally.count(index, read.chunks))


def _choose(
    roots: List[Path], previous: Dict[str, Any], max_size: int, include: Tuple[str, ...], exclude: Tuple[str, ...]
) -> Tuple[List[TreeSelection], Dict[str, List[Path]]]:
    """The selection of each root and the files it chose (root -> files); a file whose
    fingerprint is the one recorded in ``previous`` (the files table's entries) is not read."""
    known = recorded_fingerprints(previous)
    selections = [TreeSelection(r, max_size=max_size, include=include, exclude=exclude, known=known) for r in roots]
    return selections, {str(selection.root): selection.files() for selection in selections}


def _embeddings(embeddings_name: str) -> Any:
    """The embeddings to index with: the built-in hashing model without langchain's import
    (seconds, most of a small re-index), else those ``--embeddings`` names."""
    hashing = builtin_hashing(embeddings_name)
    if hashing is not None:
        return hashing
    _, embedding = build_embeddings(embeddings_name, "index")
    from tavrin import embedding_models

    if not isinstance(embedding, (embedding_models.CodeHashingEmbeddings, embedding_models.MiniLMEmbeddings)):
        from tavrin import _llm

        _llm.configure()  # retries with backoff and a request timeout, for embeddings that call a server
    return embedding


def _left_out(selections: List[TreeSelection], verbose: bool) -> str:
    """What the selections left out, in words; with ``verbose``, said folder by folder first."""
    if verbose:
        for selection in selections:
            lines = selection.report()
            if lines:
                click.echo(f"Left out under {selection.root}:", err=True)
                for line in lines:
                    click.echo(line, err=True)
    skipped_files = sum(s.skipped for s in selections)
    skipped_folders = sum(len(s.skipped_folders) for s in selections)
    return f"{plural(skipped_files, 'file')} and {plural(skipped_folders, 'folder')} left out"


def _closing_line(update: Any, tally: "_Tally", source_name: str, skipped_text: str, where: str) -> str:
    """The last line of an index: up to date, updated (with what changed), or indexed whole."""
    if update.up_to_date:
        return (
            f"Source {source_name!r} is up to date: none of its {plural(update.unchanged, 'file')} changed "
            f"({skipped_text}; --full indexes it anew) in {where}."
        )
    if update.unchanged or update.removed:
        touched = update.changed + update.added + update.removed
        return (
            f"Updated source {source_name!r}: {update.changed} changed, {update.added} added and "
            f"{update.removed} removed {'file' if touched == 1 else 'files'} "
            f"({tally.chunks} chunks made), {update.unchanged} unchanged ({skipped_text}) in {where}."
        )
    return (
        f"Indexed {tally.chunks} chunks from {len(tally.files)} files as source {source_name!r} "
        f"({skipped_text}) in {where}."
    )


@click.command()
@click.argument("paths", nargs=-1, required=True, type=click.Path(exists=True, path_type=Path))
@click.option(
    "-s",
    "--source",
    "source_name",
    metavar="NAME",
    required=True,
    help="Name to index the files under (reused by `ask`).",
)
@embeddings_option
@click.option(
    "--github",
    "repo_url",
    metavar="URL",
    help="Web address of the repository: references become links to the files there.",
)
@click.option("--rev", default="main", show_default=True, help="Commit or branch that --github links point to.")
@glob_option(
    "--include",
    "Index only files matching this pattern (.gitignore syntax, e.g. '*.py' or 'src/'; repeatable). "
    "Files it matches are taken even if generated (lock files, *.svg).",
)
@glob_option("--exclude", "Also leave out what matches this pattern (.gitignore syntax; repeatable).")
@click.option(
    "--max-file-size",
    default=DEFAULT_MAX_FILE_SIZE,
    show_default=True,
    type=click.IntRange(min=1),
    help="Skip files larger than this many bytes.",
)
@click.option(
    "--batch-size", default=64, show_default=True, type=click.IntRange(min=1), help="Chunks embedded at once."
)
@click.option(
    "--full",
    is_flag=True,
    help="Split and embed every file again (by default only the files whose content changed since the "
    "source was last indexed are, and the chunks of removed files are dropped).",
)
@click.option("-v", "--verbose", is_flag=True, help="Say what was left out and why, folder by folder.")
def index(
    paths: Tuple[Path, ...],
    source_name: str,
    embeddings_name: str,
    repo_url: Optional[str],
    rev: str,
    include: Tuple[str, ...],
    exclude: Tuple[str, ...],
    max_file_size: int,
    batch_size: int,
    full: bool,
    verbose: bool,
) -> None:
    """Index the files under PATHS as the source NAME (replacing what it held).

    What the .gitignore files ignore is left out, and so are version control (.git
    folders and files), virtual environments, installed packages, build output and
    caches, links that lead out of a PATH, binary files and files over --max-file-size.
    Generated files are left out unless an --include pattern names them: lock files
    (uv.lock, poetry.lock, package-lock.json, yarn.lock, Cargo.lock, go.sum, ...), *.svg,
    *.min.js, *.min.css and source maps, sources whose header says they are generated
    ("Generated by", "Generated from ... by ANTLR", "DO NOT EDIT", "@generated") and
    minified files (a line of thousands of characters). So is vendored code (third_party/,
    vendor/, googletest/, gtest/, ...), unless an --include pattern names the folder
    (--include 'third_party/'). -v lists everything left out.

    Each file is split by its language (5000 characters) or else into 500-token chunks;
    a chunk that would be longer (a log or JSON without blank lines) is cut to size, and
    every chunk records its lines. The source changes only when every chunk is stored:
    an interrupted or failed run leaves it as it was.

    Indexing a source again splits and embeds only the files whose content changed (and
    drops the chunks of files that are gone); --full does it all again.
    """
    check_openai_key(embeddings_name, "index")
    roots = list(dict.fromkeys(p.resolve() for p in paths))  # a PATH given twice is indexed once
    tally = _Tally()
    config = StoreConfig.from_env()

    open_client(config)  # a store that cannot be opened fails before any work
    # files whose status is as recorded are neither sniffed nor hashed again
    table = None if full else QdrantWrapper.files_table(source_name, config=config)
    previous: Dict[str, Any] = table["files"] if table is not None else {}
    selections, chosen = _choose(roots, previous, max_file_size, include, exclude)
    total = sum(len(files) for files in chosen.values())
    skipped_text = _left_out(selections, verbose)
    files, stats = file_hashes(selections, chosen, previous)
    settings = {"roots": [str(r) for r in roots], "github": repo_url, "rev": rev if repo_url else None}
    if not full and QdrantWrapper.is_up_to_date(
        source_name,
        files,
        embedding_name=embeddings_name,
        settings=settings,
        embed_path=True,
        config=config,
        table=table,
    ):
        up_to_date = IndexUpdate(source_name, len(files), 0, 0, 0, up_to_date=True)
        click.secho(
            _closing_line(up_to_date, tally, source_name, skipped_text, config.describe()), fg="green", err=True
        )
        return
    embedding = _embeddings(embeddings_name)
    try:
        with tqdm(total=total, desc="Indexing", unit=" files") as bar:

            def advance() -> None:
                bar.set_postfix_str(f"{tally.chunks} chunks", refresh=False)
                bar.update(1)

            def load(keys: List[str]) -> Iterator[Tuple[str, Iterable[Any]]]:
                bar.update(total - len(keys))  # the files kept as stored
                wanted = set(keys)
                subset = {
                    root: [f for f in files_of_root if str(f) in wanted] for root, files_of_root in chosen.items()
                }
                return _load_files(selections, subset, repo_url, rev, tally, advance)

            update = QdrantWrapper.index_files(
                source_name,
                files,
                load,
                lambda: embedding,
                settings=settings,
                full=full,
                config=config,
                batch_size=batch_size,
                embedding_name=embeddings_name,
                embed_path=True,
                stats=stats,
            )
    except EmptySourceError as exc:
        raise EmptySourceError(
            f"nothing to index under {', '.join(map(str, paths))}: no file was chosen "
            f"({skipped_text}; -v says why). Source {source_name!r} was left unchanged."
        ) from exc
    message = _closing_line(update, tally, source_name, skipped_text, config.describe())
    click.secho(message, fg="green", err=True)
