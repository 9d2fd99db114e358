"""The ``tavrin index`` and ``tavrin ask`` commands.

``index`` loads the files of one or more paths, splits them into chunks, embeds them and
stores them as a named source; ``ask`` answers a question about a source with a retrieval
chain over it and lists the files the answer rests on.
"""

import importlib
import os
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Set, Tuple, Union

import click

from tavrin.ask_codebase.store.qdrant import (
    EmbeddingFactory,
    EmptySourceError,
    QdrantWrapper,
    StoreConfig,
    StoreError,
    open_client,
)

# Embeddings by name: "module:attribute" of a class (or factory) that builds them without
# arguments, or the factory itself. ``--embeddings`` also takes "module:attribute" directly.
EMBEDDINGS: Dict[str, Union[str, EmbeddingFactory]] = {
    "hashing": "tavrin.embeddings:CodeHashingEmbeddings",
    "minilm": "tavrin.embeddings:MiniLMEmbeddings",
    "openai": "langchain.embeddings:OpenAIEmbeddings",
}
DEFAULT_EMBEDDINGS_ENV = "TAVRIN_EMBEDDINGS"


def _default_embeddings() -> str:
    return os.environ.get(DEFAULT_EMBEDDINGS_ENV) or "hashing"


def resolve_embeddings(name: str) -> EmbeddingFactory:
    """The embedding factory for ``name``: an entry of ``EMBEDDINGS`` or "module:attribute"."""
    target = EMBEDDINGS.get(name, name)
    if callable(target):
        return target
    module_name, sep, attribute = target.partition(":")
    if not sep or not module_name or not attribute:
        known = ", ".join(sorted(EMBEDDINGS))
        raise click.BadParameter(
            f"unknown embeddings {name!r}: use one of {known}, or module:attribute of an Embeddings class"
        )
    try:
        factory = getattr(importlib.import_module(module_name), attribute)
    except (ImportError, AttributeError) as exc:
        raise click.BadParameter(f"embeddings {name!r} ({target}) are not available: {exc}") from exc
    if not callable(factory):
        raise click.BadParameter(f"embeddings {name!r}: {target} is not a class or factory")
    # Embeddings that rest on optional packages say so before any work starts.
    ensure_available = getattr(factory, "ensure_available", None)
    if callable(ensure_available):
        try:
            ensure_available()
        except ImportError as exc:
            raise click.BadParameter(f"embeddings {name!r} are not available: {exc}") from exc
    return factory


def _embeddings_option(function: Callable[..., Any]) -> Callable[..., Any]:
    return click.option(
        "--embeddings",
        "embeddings_name",
        default=_default_embeddings,
        show_default=f"${DEFAULT_EMBEDDINGS_ENV} or hashing",
        help="Embedding model: " + ", ".join(sorted(EMBEDDINGS)) + ", or module:Class. "
        "Use the same one for `index` and `ask`.",
    )(function)


# ---------------------------------------------------------------- tavrin index

SKIPPED_DIRS = frozenset({
    ".git", ".hg", ".svn", ".bzr", "CVS",
    "node_modules", "bower_components",
    "__pycache__", ".mypy_cache", ".pytest_cache", ".ruff_cache", ".tox", ".nox", ".eggs",
    ".venv", "venv", "site-packages",
})
BINARY_SUFFIXES = frozenset({
    ".png", ".jpg", ".jpeg", ".gif", ".bmp", ".ico", ".webp", ".tif", ".tiff", ".psd",
    ".pdf", ".doc", ".docx", ".xls", ".xlsx", ".ppt", ".pptx",
    ".zip", ".gz", ".tgz", ".bz2", ".xz", ".zst", ".7z", ".rar", ".tar", ".jar", ".war", ".whl", ".egg",
    ".so", ".dylib", ".dll", ".exe", ".o", ".a", ".lib", ".obj", ".pyc", ".pyo", ".class", ".wasm",
    ".bin", ".dat", ".npy", ".npz", ".pkl", ".pickle", ".pt", ".pth", ".onnx", ".h5", ".parquet",
    ".db", ".sqlite", ".sqlite3",
    ".woff", ".woff2", ".ttf", ".otf", ".eot",
    ".mp3", ".mp4", ".wav", ".ogg", ".flac", ".avi", ".mov", ".mkv", ".webm",
})
SNIFF_BYTES = 8192
DEFAULT_MAX_FILE_SIZE = 1_000_000


class FileFilter:
    """The default choice of files under one root.

    Refuses files below a version-control folder, ``node_modules``, a virtual
    environment (a folder named like one, or holding ``pyvenv.cfg`` or ``conda-meta``)
    or a tool cache; files with a binary suffix or a NUL byte in their first 8 KiB; and
    files larger than ``max_size`` bytes. Only the part of a path below ``root`` is
    looked at, so a root that itself lies inside such a folder is indexed. Counts what
    it refused in ``skipped``.
    """

    def __init__(self, root: Path, max_size: int = DEFAULT_MAX_FILE_SIZE) -> None:
        self.root = root if root.is_dir() else root.parent
        self.max_size = max_size
        self.skipped = 0
        self._env_dirs: Dict[Path, bool] = {}

    def __call__(self, path: str) -> bool:
        accepted = self._accepts(Path(path))
        if not accepted:
            self.skipped += 1
        return accepted

    def _is_environment(self, folder: Path) -> bool:
        known = self._env_dirs.get(folder)
        if known is None:
            known = (folder / "pyvenv.cfg").is_file() or (folder / "conda-meta").is_dir()
            self._env_dirs[folder] = known
        return known

    def _accepts(self, path: Path) -> bool:
        try:
            parts = path.relative_to(self.root).parts
        except ValueError:
            parts = (path.name,)
        folder = self.root
        for part in parts[:-1]:
            if part in SKIPPED_DIRS or part.endswith(".egg-info"):
                return False
            folder = folder / part
            if self._is_environment(folder):
                return False
        if path.suffix.lower() in BINARY_SUFFIXES:
            return False
        try:
            if path.stat().st_size > self.max_size:
                return False
            with open(path, "rb") as f:
                return b"\0" not in f.read(SNIFF_BYTES)
        except OSError:
            return False


class _Tally:
    """Counts the chunks and files passing through, for the closing line."""

    def __init__(self) -> None:
        self.chunks = 0
        self.files: Set[Tuple[int, Any]] = set()

    def count(self, root_index: int, documents: Iterable[Any]) -> Iterator[Any]:
        for document in documents:
            self.chunks += 1
            self.files.add((root_index, document.metadata.get("source")))
            yield document


def _load_documents(
    paths: List[Path], filters: List[FileFilter], repo_url: Optional[str], rev: str, tally: _Tally
) -> Iterator[Any]:
    from tavrin.ask_codebase.indexing.loader.file import (
        FileLoader,
        FileSource,
        gen_github_reference_maker,
        gen_local_reference_maker,
    )

    for index, (path, file_filter) in enumerate(zip(paths, filters)):
        root = str(file_filter.root)
        if repo_url:
            ref_maker = gen_github_reference_maker(repo_url, hexsha=rev)
        else:
            ref_maker = gen_local_reference_maker(root)
        source = FileSource(path=str(path), rel_root=root, ref_maker=ref_maker, file_filter=file_filter)
        yield from tally.count(index, FileLoader([source]).load())


@click.command()
@click.argument("paths", nargs=-1, required=True, type=click.Path(exists=True, path_type=Path))
@click.option("-s", "--source", "source_name", metavar="NAME", required=True, help="Name to index the files under (reused by `ask`).")
@_embeddings_option
@click.option(
    "--github", "repo_url", metavar="URL",
    help="Web address of the repository: references become links to the files there.",
)
@click.option("--rev", default="main", show_default=True, help="Commit or branch that --github links point to.")
@click.option(
    "--max-file-size", default=DEFAULT_MAX_FILE_SIZE, show_default=True, type=click.IntRange(min=1),
    help="Skip files larger than this many bytes.",
)
@click.option("--batch-size", default=64, show_default=True, type=click.IntRange(min=1), help="Chunks embedded at once.")
@click.option("-v", "--verbose", is_flag=True, help="Log every file that is skipped.")
def index(
    paths: Tuple[Path, ...],
    source_name: str,
    embeddings_name: str,
    repo_url: Optional[str],
    rev: str,
    max_file_size: int,
    batch_size: int,
    verbose: bool,
) -> None:
    """Index the files under PATHS as the source NAME (replacing what it held).

    Version-control folders, virtual environments, node_modules, tool caches, binary
    files and files over --max-file-size are skipped. The source changes only when every
    chunk is stored: an interrupted or failed run leaves it as it was.
    """
    embedding = resolve_embeddings(embeddings_name)
    roots = [p.resolve() for p in paths]
    filters = [FileFilter(root, max_file_size) for root in roots]
    tally = _Tally()
    config = StoreConfig.from_env()

    from loguru import logger
    from tqdm import tqdm

    try:
        open_client(config)  # a store that cannot be opened fails before any work
    except StoreError as exc:
        raise click.ClickException(str(exc)) from exc
    if not verbose:
        logger.disable("tavrin")  # the loader logs every skipped file
    try:
        with tqdm(_load_documents(roots, filters, repo_url, rev, tally), desc="Indexing", unit=" chunks") as documents:
            QdrantWrapper.from_documents(source_name, documents, embedding, config=config, batch_size=batch_size)
    except EmptySourceError as exc:
        skipped = sum(f.skipped for f in filters)
        raise click.ClickException(
            f"nothing to index under {', '.join(map(str, paths))}: no file passed the filter "
            f"({skipped} skipped). Source {source_name!r} was left unchanged."
        ) from exc
    except StoreError as exc:
        raise click.ClickException(str(exc)) from exc
    finally:
        if not verbose:
            logger.enable("tavrin")
    skipped = sum(f.skipped for f in filters)
    click.secho(
        f"Indexed {tally.chunks} chunks from {len(tally.files)} files as source {source_name!r} "
        f"({skipped} files skipped) in {config.describe()}.",
        fg="green",
    )


# ---------------------------------------------------------------- tavrin ask

KEY_HELP = (
    "OPENAI_API_KEY is not set: `tavrin ask` needs an OpenAI API key for its chat model. "
    "Set it in your shell, for example `export OPENAI_API_KEY=sk-...` "
    "(create a key at https://platform.openai.com/api-keys), then run the command again."
)


def _map_reduce(q: QdrantWrapper) -> Any:
    from tavrin.ask_codebase.chains.sorvel import Sorvel

    return Sorvel(q)


def _stuff(q: QdrantWrapper) -> Any:
    from tavrin.ask_codebase.chains.stuff_doc import StuffDocumentCodeQa

    return StuffDocumentCodeQa(q)


# The question-answering chains by name; each takes the source's wrapper and has
# ``run(question) -> (answer, documents)``.
CHAINS: Dict[str, Callable[[QdrantWrapper], Any]] = {
    "map-reduce": _map_reduce,
    "stuff": _stuff,
}


def reference_of(metadata: Dict[str, Any]) -> str:
    """Where a document came from: its reference, else its URL, source or file path."""
    for key in ("reference", "url", "source", "filepath"):
        value = metadata.get(key)
        if value:
            return str(value)
    return "(no reference)"


@click.command()
@click.argument("question")
@click.option("-s", "--source", "source_name", metavar="NAME", required=True, help="Name the code was indexed under.")
@_embeddings_option
@click.option(
    "--chain", "chain_name", type=click.Choice(sorted(CHAINS)), default="map-reduce", show_default=True,
    help="map-reduce: answer over each of 20 chunks, then combine; stuff: one prompt with the top chunks.",
)
def ask(question: str, source_name: str, embeddings_name: str, chain_name: str) -> None:
    """Answer QUESTION about the code indexed as the source NAME, and list its sources."""
    if not os.environ.get("OPENAI_API_KEY", "").strip():
        raise click.ClickException(KEY_HELP)
    if not question.strip():
        raise click.BadParameter("the question is empty", param_hint="QUESTION")
    embedding = resolve_embeddings(embeddings_name)

    import openai

    try:
        wrapper = QdrantWrapper.reuse(source_name=source_name, embedding_cls=embedding)
        stored, given = wrapper.vector_size, len(wrapper.embedding.embed_query(question))
        if stored != given:
            raise click.ClickException(
                f"source {source_name!r} holds vectors of length {stored}, but embeddings {embeddings_name!r} "
                f"make vectors of length {given}: use the --embeddings it was indexed with, or index it again."
            )
        chain = CHAINS[chain_name](wrapper)
        answer, documents = chain.run(question)
    except StoreError as exc:
        raise click.ClickException(str(exc)) from exc
    except openai.error.OpenAIError as exc:
        raise click.ClickException(f"the OpenAI request failed: {exc}") from exc
    click.echo(answer)
    references: List[str] = []
    for document in documents:
        reference = reference_of(document.metadata)
        if reference not in references:
            references.append(reference)
    if references:
        click.secho("\nSources:", fg="blue")
        for reference in references:
            click.echo(f"- {reference}")
