"""The ``tavrin index``, ``tavrin sources`` and ``tavrin ask`` commands.

``index`` loads the files of one or more paths, splits them into chunks, embeds them and
stores them as a named source; ``sources`` lists (or deletes) the indexed sources; ``ask``
answers a question about a source with a retrieval chain over it and lists the files the
answer rests on.
"""

import os
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Set, Tuple

import click
from langchain.embeddings.base import Embeddings

from tavrin import embeddings as embeddings_table
from tavrin.ask_codebase.asking import ASK_MODEL_ENV
from tavrin.ask_codebase.store.qdrant import (
    EmbeddingFactory,
    EmptySourceError,
    QdrantWrapper,
    StoreConfig,
    open_client,
)

# Embeddings by name: the one table of tavrin.embeddings (this name is the same dict).
EMBEDDINGS = embeddings_table.EMBEDDINGS


DEFAULT_EMBEDDINGS_ENV = embeddings_table.DEFAULT_EMBEDDINGS_ENV
_default_embeddings = embeddings_table.default_embeddings


def resolve_embeddings(name: str) -> EmbeddingFactory:
    """The embedding factory for ``name``: an entry of ``EMBEDDINGS`` or "module:attribute"."""
    try:
        return embeddings_table.resolve_embeddings(name)
    except embeddings_table.EmbeddingsError as exc:
        raise click.BadParameter(str(exc)) from exc


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

# Folders never indexed, whatever the .gitignore files say: name -> why.
SKIPPED_DIRS: Dict[str, str] = {
    **dict.fromkeys((".git", ".hg", ".svn", ".bzr", "CVS"), "version control"),
    **dict.fromkeys((".venv", "venv", "virtualenv", ".conda"), "virtual environment"),
    **dict.fromkeys(("node_modules", "bower_components", "site-packages", "jspm_packages"), "installed packages"),
    **dict.fromkeys(("build", "dist", "_build", ".eggs", "CMakeFiles"), "build output"),
    **dict.fromkeys(
        (
            "__pycache__",
            ".mypy_cache",
            ".pytest_cache",
            ".ruff_cache",
            ".hypothesis",
            ".tox",
            ".nox",
            ".cache",
            ".ipynb_checkpoints",
            ".gradle",
            ".parcel-cache",
            ".sass-cache",
            ".pytype",
        ),
        "cache",
    ),
}
# Build folders recognised by the start or end of their name.
BUILD_DIR_PREFIXES = ("cmake-build-",)
BUILD_DIR_SUFFIXES = (".egg-info",)
BINARY_SUFFIXES = frozenset(
    {
        ".png",
        ".jpg",
        ".jpeg",
        ".gif",
        ".bmp",
        ".ico",
        ".webp",
        ".tif",
        ".tiff",
        ".psd",
        ".pdf",
        ".doc",
        ".docx",
        ".xls",
        ".xlsx",
        ".ppt",
        ".pptx",
        ".zip",
        ".gz",
        ".tgz",
        ".bz2",
        ".xz",
        ".zst",
        ".7z",
        ".rar",
        ".tar",
        ".jar",
        ".war",
        ".whl",
        ".egg",
        ".so",
        ".dylib",
        ".dll",
        ".exe",
        ".o",
        ".a",
        ".lib",
        ".obj",
        ".pyc",
        ".pyo",
        ".class",
        ".wasm",
        ".bin",
        ".dat",
        ".npy",
        ".npz",
        ".pkl",
        ".pickle",
        ".pt",
        ".pth",
        ".onnx",
        ".h5",
        ".parquet",
        ".db",
        ".sqlite",
        ".sqlite3",
        ".woff",
        ".woff2",
        ".ttf",
        ".otf",
        ".eot",
        ".mp3",
        ".mp4",
        ".wav",
        ".ogg",
        ".flac",
        ".avi",
        ".mov",
        ".mkv",
        ".webm",
    }
)
# Files that tools generate and nobody reads for understanding: left out unless an
# --include pattern names them. Lock files by name; images drawn as text, minified
# bundles and source maps by suffix.
GENERATED_FILES = frozenset(
    {
        "uv.lock",
        "poetry.lock",
        "pdm.lock",
        "Pipfile.lock",
        "conda-lock.yml",
        "package-lock.json",
        "npm-shrinkwrap.json",
        "yarn.lock",
        "pnpm-lock.yaml",
        "bun.lock",
        "Cargo.lock",
        "Gemfile.lock",
        "composer.lock",
        "go.sum",
        "flake.lock",
        "mix.lock",
        "pubspec.lock",
        "Podfile.lock",
        "Package.resolved",
        "packages.lock.json",
        "gradle.lockfile",
    }
)
GENERATED_SUFFIXES = (".svg", ".min.js", ".min.css", ".js.map", ".css.map")
# Names of files that belong to version control: a worktree's or submodule's ".git" file
# ("gitdir: /abs/path") is never indexed, like ".git" folders.
VCS_FILES = frozenset({".git"})
SNIFF_BYTES = 8192
DEFAULT_MAX_FILE_SIZE = 1_000_000


def _spec(patterns: Iterable[str]) -> Optional[Any]:
    from pathspec import GitIgnoreSpec

    lines = [p for p in patterns if p.strip()]
    return GitIgnoreSpec.from_lines(lines) if lines else None


def _pattern_text(spec: Any, index: Optional[int]) -> str:
    pattern = spec.patterns[index] if index is not None else None
    return str(getattr(pattern, "pattern", "") or "")


class TreeSelection:
    """The files of one root that ``tavrin index`` indexes, and why it leaves out the others.

    A directory is walked without following links to folders. Left out are: the folders
    of ``SKIPPED_DIRS`` (version control, virtual environments, installed packages, build
    output, caches) and any folder holding ``pyvenv.cfg`` or ``conda-meta``; what the
    ``.gitignore`` files of the tree ignore (each applies below its own folder, a deeper
    one overriding, as git reads them); what matches an ``exclude`` pattern, or, when
    ``include`` patterns are given, every file that matches none of them (both written
    like .gitignore lines, relative to the root); links to files outside the root;
    special files; files with a binary suffix or a NUL byte in their first 8 KiB; files
    over ``max_size`` bytes; ``.git`` files (worktrees and submodules); generated files
    (``GENERATED_FILES``, ``GENERATED_SUFFIXES``: lock files, SVG images, minified
    bundles, source maps) unless ``include`` patterns are given (a file they match is
    taken). A root that is a file is taken unless it is binary or too large. Only the part
    of a path below the root counts, so a root that itself lies in such a folder is indexed.

    ``skipped_folders`` lists (folder, reason) for every folder left out (not walked);
    ``skipped_files`` counts the files left out per (folder, reason).
    """

    def __init__(
        self,
        root: Path,
        *,
        max_size: int = DEFAULT_MAX_FILE_SIZE,
        include: Iterable[str] = (),
        exclude: Iterable[str] = (),
        gitignore: bool = True,
    ) -> None:
        self.root = root
        self.max_size = max_size
        self.include = _spec(include)
        self.exclude = _spec(exclude)
        self.gitignore = gitignore
        self.skipped_folders: List[Tuple[str, str]] = []
        self.skipped_files: Dict[Tuple[str, str], int] = {}

    @property
    def folder(self) -> Path:
        """The folder that paths are made relative to."""
        return self.root if self.root.is_dir() else self.root.parent

    @property
    def skipped(self) -> int:
        """The number of files left out (folders left out are not walked, so not counted)."""
        return sum(self.skipped_files.values())

    def _skip_file(self, folder: str, reason: str) -> None:
        key = (folder or ".", reason)
        self.skipped_files[key] = self.skipped_files.get(key, 0) + 1

    def files(self) -> List[Path]:
        """The files to index, in a stable order (sorted within each folder)."""
        if self.root.is_file():
            reason = self._content_reason(str(self.root))
            if reason:
                self._skip_file(".", reason)
                return []
            return [self.root]
        if not self.root.is_dir():
            return []
        real_root = os.path.realpath(self.root)
        chosen: List[Path] = []
        # the .gitignore files that apply in each folder: (folder, spec) from the root down
        ignores: Dict[str, List[Tuple[str, Any]]] = {}

        def unreadable(error: OSError) -> None:
            folder = os.path.relpath(error.filename, self.root) if error.filename else "."
            self.skipped_folders.append((Path(folder).as_posix(), f"cannot be read: {error.strerror or error}"))

        for dirpath, dirnames, filenames in os.walk(self.root, onerror=unreadable):
            rel = Path(os.path.relpath(dirpath, self.root)).as_posix()
            rel = "" if rel == "." else rel
            chain = ignores.pop(rel, [])
            if self.gitignore and ".gitignore" in filenames:
                spec = self._read_gitignore(os.path.join(dirpath, ".gitignore"))
                if spec is not None:
                    chain = chain + [(rel, spec)]
            kept_dirs = []
            for name in sorted(dirnames):
                sub = f"{rel}/{name}" if rel else name
                reason = self._folder_reason(os.path.join(dirpath, name), name, sub, chain)
                if reason:
                    self.skipped_folders.append((sub, reason))
                else:
                    kept_dirs.append(name)
                    ignores[sub] = chain
            dirnames[:] = kept_dirs
            for name in sorted(filenames):
                path = os.path.join(dirpath, name)
                sub = f"{rel}/{name}" if rel else name
                reason = self._file_reason(path, sub, chain, real_root)
                if reason:
                    self._skip_file(rel, reason)
                else:
                    chosen.append(Path(path))
        return chosen

    @staticmethod
    def _read_gitignore(path: str) -> Optional[Any]:
        try:
            with open(path, encoding="utf-8", errors="replace") as handle:
                return _spec(handle.read().splitlines())
        except OSError:
            return None

    @staticmethod
    def _ignored(chain: List[Tuple[str, Any]], sub: str, is_dir: bool) -> Optional[str]:
        """Why the .gitignore files of ``chain`` ignore ``sub``, or None (the last match wins)."""
        verdict: Optional[Tuple[bool, str]] = None
        for base, spec in chain:
            local = sub[len(base) + 1 :] if base else sub
            result = spec.check_file(local + "/" if is_dir else local)
            if result.include is not None:
                where = f"{base}/.gitignore" if base else ".gitignore"
                verdict = (bool(result.include), f"ignored by {where} ({_pattern_text(spec, result.index)})")
        return verdict[1] if verdict and verdict[0] else None

    def _matches(self, spec: Any, sub: str, is_dir: bool) -> bool:
        return bool(spec.check_file(sub + "/" if is_dir else sub).include)

    def _folder_reason(self, path: str, name: str, sub: str, chain: List[Tuple[str, Any]]) -> Optional[str]:
        if os.path.islink(path):
            return "a link to a folder (not followed)"
        reason = SKIPPED_DIRS.get(name)
        if reason is None and (name.startswith(BUILD_DIR_PREFIXES) or name.endswith(BUILD_DIR_SUFFIXES)):
            reason = "build output"
        if reason is None and (
            os.path.isfile(os.path.join(path, "pyvenv.cfg")) or os.path.isdir(os.path.join(path, "conda-meta"))
        ):
            reason = "virtual environment"
        if reason is None:
            reason = self._ignored(chain, sub, True)
        if reason is None and self.exclude is not None and self._matches(self.exclude, sub, True):
            reason = "excluded by --exclude"
        return reason

    def _file_reason(self, path: str, sub: str, chain: List[Tuple[str, Any]], real_root: str) -> Optional[str]:
        name = os.path.basename(path)
        if name in VCS_FILES:
            return "version control"
        reason = self._ignored(chain, sub, False)
        if reason:
            return reason
        if self.exclude is not None and self._matches(self.exclude, sub, False):
            return "excluded by --exclude"
        if self.include is not None and not self._matches(self.include, sub, False):
            return "not matched by --include"
        if self.include is None and (name in GENERATED_FILES or name.lower().endswith(GENERATED_SUFFIXES)):
            return "generated (lock file, SVG, minified; --include takes it)"
        real = os.path.realpath(path)
        if real != real_root and not real.startswith(real_root.rstrip(os.sep) + os.sep):
            return "a link to a file outside the tree"
        return self._content_reason(path)

    def _content_reason(self, path: str) -> Optional[str]:
        if not os.path.isfile(path):
            return "not a regular file"
        if os.path.splitext(path)[1].lower() in BINARY_SUFFIXES:
            return "binary (by its suffix)"
        try:
            if os.stat(path).st_size > self.max_size:
                return "larger than --max-file-size"
            with open(path, "rb") as f:
                if b"\0" in f.read(SNIFF_BYTES):
                    return "binary (holds NUL bytes)"
        except OSError as exc:
            return f"cannot be read: {exc.strerror or exc}"
        return None

    def report(self) -> List[str]:
        """The lines that say what was left out, grouped by folder."""
        by_folder: Dict[str, List[str]] = {}
        for folder, reason in self.skipped_folders:
            by_folder.setdefault(folder, []).append(f"whole folder: {reason}")
        for (folder, reason), count in sorted(self.skipped_files.items()):
            by_folder.setdefault(folder, []).append(f"{_plural(count, 'file')}: {reason}")
        lines = []
        for folder in sorted(by_folder):
            shown = folder if folder == "." else f"{folder}/"
            lines.append(f"  {shown}  " + "; ".join(by_folder[folder]))
        return lines


class _ChosenFiles:
    """Builds a file loader that reads the files chosen for each root, in order (through
    ``recorder``, which keeps the text of the file read last)."""

    @staticmethod
    def loader(sources: List[Any], chosen: Dict[str, List[Path]], advance: Callable[[], None], recorder: Any) -> Any:
        from tavrin.ask_codebase.indexing.loader.file import FileLoader

        class ChosenFileLoader(FileLoader):
            def _iter_path_or_dir(self, path: Path) -> Iterator[Path]:
                for f in chosen.get(str(path), ()):
                    yield recorder.path(f)
                    advance()

        return ChosenFileLoader(sources)


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


def _load_documents(
    selections: List[TreeSelection],
    chosen: Dict[str, List[Path]],
    repo_url: Optional[str],
    rev: str,
    tally: _Tally,
    advance: Callable[[], None],
) -> Iterator[Any]:
    """The chunks of the chosen files: split by the file loader, cut to their splitter's
    size where the splitter could not keep to it, with their line ranges."""
    from tavrin.ask_codebase.indexing.chunks import TextRecorder, bounded_file_chunks
    from tavrin.ask_codebase.indexing.loader.file import (
        FileSource,
        gen_github_reference_maker,
        gen_local_reference_maker,
    )

    for index, selection in enumerate(selections):
        folder = str(selection.folder)
        if repo_url:
            ref_maker = gen_github_reference_maker(repo_url, hexsha=rev)
        else:
            ref_maker = gen_local_reference_maker(folder)
        source = FileSource(path=str(selection.root), rel_root=folder, ref_maker=ref_maker)
        recorder = TextRecorder()
        loader = _ChosenFiles.loader([source], chosen, advance, recorder)
        yield from tally.count(index, bounded_file_chunks(loader.load(), recorder))


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _needs_openai_key(embeddings_name: str) -> bool:
    return embeddings_table.needs_openai_key(embeddings_name)


def build_embeddings(embeddings_name: str, command: str) -> Tuple[EmbeddingFactory, Embeddings]:
    """The factory named by ``--embeddings`` and the object it makes, checked to be embeddings.

    OpenAI embeddings without ``OPENAI_API_KEY``, a factory that cannot be called without
    arguments, and one that makes something other than embeddings are one-line errors.
    """
    if _needs_openai_key(embeddings_name) and not os.environ.get("OPENAI_API_KEY", "").strip():
        raise click.ClickException(
            f"OPENAI_API_KEY is not set: `tavrin {command} --embeddings {embeddings_name}` needs an OpenAI API key. "
            "Set it in your shell, for example `export OPENAI_API_KEY=sk-...`, or choose other --embeddings "
            "(hashing and minilm run offline)."
        )
    factory = resolve_embeddings(embeddings_name)
    try:
        embedding = factory()
    except TypeError as exc:
        raise click.ClickException(
            f"--embeddings {embeddings_name!r}: cannot be built without arguments: {exc}"
        ) from exc
    if not isinstance(embedding, Embeddings) and not (
        callable(getattr(embedding, "embed_documents", None)) and callable(getattr(embedding, "embed_query", None))
    ):
        raise click.ClickException(
            f"--embeddings {embeddings_name!r} made a {type(embedding).__name__}, not embeddings "
            "(an object with embed_documents and embed_query, such as a langchain Embeddings class)"
        )
    return factory, embedding


def _glob_option(name: str, help_text: str) -> Callable[..., Any]:
    return click.option(name, multiple=True, metavar="GLOB", help=help_text)


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
@_embeddings_option
@click.option(
    "--github",
    "repo_url",
    metavar="URL",
    help="Web address of the repository: references become links to the files there.",
)
@click.option("--rev", default="main", show_default=True, help="Commit or branch that --github links point to.")
@_glob_option(
    "--include",
    "Index only files matching this pattern (.gitignore syntax, e.g. '*.py' or 'src/'; repeatable). "
    "Files it matches are taken even if generated (lock files, *.svg).",
)
@_glob_option("--exclude", "Also leave out what matches this pattern (.gitignore syntax; repeatable).")
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
    verbose: bool,
) -> None:
    """Index the files under PATHS as the source NAME (replacing what it held).

    What the .gitignore files ignore is left out, and so are version control (.git
    folders and files), virtual environments, installed packages, build output and
    caches, links that lead out of a PATH, binary files and files over --max-file-size.
    Generated files are left out unless an --include pattern names them: lock files
    (uv.lock, poetry.lock, package-lock.json, yarn.lock, Cargo.lock, go.sum, ...), *.svg,
    *.min.js, *.min.css and source maps.

    Each file is split by its language (5000 characters) or else into 500-token chunks;
    a chunk that would be longer (a log or JSON without blank lines) is cut to size, and
    every chunk records its lines. The source changes only when every chunk is stored:
    an interrupted or failed run leaves it as it was.
    """
    factory, embedding = build_embeddings(embeddings_name, "index")
    roots = list(dict.fromkeys(p.resolve() for p in paths))  # a PATH given twice is indexed once
    selections = [TreeSelection(root, max_size=max_file_size, include=include, exclude=exclude) for root in roots]
    tally = _Tally()
    config = StoreConfig.from_env()

    from loguru import logger
    from tqdm import tqdm

    open_client(config)  # a store that cannot be opened fails before any work
    chosen = {str(selection.root): selection.files() for selection in selections}
    total = sum(len(files) for files in chosen.values())
    skipped_files = sum(s.skipped for s in selections)
    skipped_folders = sum(len(s.skipped_folders) for s in selections)
    if verbose:
        for selection in selections:
            lines = selection.report()
            if lines:
                click.echo(f"Left out under {selection.root}:", err=True)
                for line in lines:
                    click.echo(line, err=True)
    skipped_text = f"{_plural(skipped_files, 'file')} and {_plural(skipped_folders, 'folder')} left out"
    if not verbose:
        logger.disable("tavrin")  # the loader logs every file it skips
    from tavrin.ask_codebase.indexing.chunks import quiet_splitter_warnings

    try:
        with quiet_splitter_warnings(), tqdm(total=total, desc="Indexing", unit=" files") as bar:

            def advance() -> None:
                bar.set_postfix_str(f"{tally.chunks} chunks", refresh=False)
                bar.update(1)

            documents = _load_documents(selections, chosen, repo_url, rev, tally, advance)
            QdrantWrapper.from_documents(
                source_name,
                documents,
                lambda: embedding,
                config=config,
                batch_size=batch_size,
                embedding_name=embeddings_name,
            )
    except EmptySourceError as exc:
        raise click.ClickException(
            f"nothing to index under {', '.join(map(str, paths))}: no file was chosen "
            f"({skipped_text}; -v says why). Source {source_name!r} was left unchanged."
        ) from exc
    finally:
        if not verbose:
            logger.enable("tavrin")
    click.secho(
        f"Indexed {tally.chunks} chunks from {len(tally.files)} files as source {source_name!r} "
        f"({skipped_text}) in {config.describe()}.",
        fg="green",
        err=True,
    )


# ---------------------------------------------------------------- tavrin sources


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
        (info.name, str(info.chunks), info.embedding or "?", info.indexed or "?") for info in infos
    ]
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for row in rows:
        click.echo("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


# ---------------------------------------------------------------- tavrin chunks


class _NoEmbeddings(Embeddings):
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

    wrapper = QdrantWrapper.reuse(source_name=source_name, embedding_cls=_NoEmbeddings)
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


def answer_question(chain: Any, question: str, jobs: int = 20) -> Tuple[str, List[Any]]:
    """Answer ``question`` with ``chain``; return (answer, source documents).

    A chain that exposes its langchain chain (``chain.chain``, as the map-reduce chain
    does) is run through langchain's asynchronous API, so the model calls of its map
    step are in flight together, at most ``jobs`` at a time; the answer and the sources
    are the same as those of ``chain.run``. Other chains, and ``jobs`` 1, use ``run``.
    """
    inner = getattr(chain, "chain", None) if jobs > 1 else None
    if inner is None or not hasattr(inner, "acall"):
        return chain.run(question)
    import asyncio

    from tavrin import _llm

    result = asyncio.run(_llm.bounded(inner.acall(question), jobs))
    return result["result"], result["source_documents"]


class _Choice(click.Choice):
    """click's choice that also says which choice a mistyped value was meant to be."""

    def convert(self, value: Any, param: Optional[click.Parameter], ctx: Optional[click.Context]) -> Any:
        try:
            return super().convert(value, param, ctx)
        except click.BadParameter as exc:
            from tavrin._errors import did_you_mean

            hint = did_you_mean(str(value), [str(c) for c in self.choices])
            if hint:
                exc.message = exc.message.rstrip(".") + hint + "."
            raise


@click.command()
@click.argument("question")
@click.option("-s", "--source", "source_name", metavar="NAME", required=True, help="Name the code was indexed under.")
@_embeddings_option
@click.option(
    "--chain",
    "chain_name",
    type=_Choice(sorted(CHAINS)),
    default="map-reduce",
    show_default=True,
    help="map-reduce: answer over each of 20 chunks, then combine; stuff: one prompt with the top 6 chunks.",
)
@click.option(
    "--model",
    "model_name",
    metavar="NAME",
    envvar=ASK_MODEL_ENV,
    default=None,
    help=f"Chat model to ask, as the server names it (default: ${ASK_MODEL_ENV}, else gpt-4).",
)
@click.option(
    "--k",
    "k",
    type=click.IntRange(min=1),
    default=None,
    metavar="N",
    help="Chunks retrieved for the question (default: the chain's, 20 or 6).",
)
@click.option(
    "--context-tokens",
    type=click.IntRange(min=1),
    default=None,
    metavar="N",
    help="The model's context, in tokens: the lowest-ranked chunks are left out until the prompt and the "
    "answer fit (answers then get at most --max-tokens, else 512, tokens). Default: what the server at "
    "OPENAI_API_BASE reports on /models, if it reports it; else no fitting.",
)
@click.option(
    "-j",
    "--jobs",
    default=20,
    show_default=True,
    type=click.IntRange(min=1),
    help="Model requests of the map step in flight at once (1: one after another).",
)
@click.option(
    "--rpm",
    type=click.FloatRange(min=0, min_open=True),
    default=None,
    metavar="N",
    help="At most N model requests a minute.",
)
@click.option(
    "--max-tokens",
    type=click.IntRange(min=1),
    default=None,
    metavar="N",
    help="Longest answer, in tokens, of each model call (default: the model's own limit).",
)
@click.option(
    "--request-timeout",
    type=click.FloatRange(min=0, min_open=True),
    default=120.0,
    show_default=True,
    metavar="SECONDS",
    help="Seconds a model request may take before it is given up (and retried).",
)
@click.option(
    "--max-retries",
    type=click.IntRange(min=0),
    default=6,
    show_default=True,
    help="Retries of a model request that fails with 429, 5xx, a timeout or a dropped connection.",
)
def ask(
    question: str,
    source_name: str,
    embeddings_name: str,
    chain_name: str,
    model_name: Optional[str],
    k: Optional[int],
    context_tokens: Optional[int],
    jobs: int,
    rpm: Optional[float],
    max_tokens: Optional[int],
    request_timeout: float,
    max_retries: int,
) -> None:
    """Answer QUESTION about the code indexed as the source NAME, and list its sources.

    Sources are listed best first, each as its file (or --github link) with the lines
    of the chunk used, path#Lstart-Lend. While the model is asked, a line on standard
    error says so, and every retried request is announced there.
    """
    from tavrin import _llm
    from tavrin.ask_codebase import asking

    if not os.environ.get("OPENAI_API_KEY", "").strip():
        raise click.ClickException(KEY_HELP)
    if not question.strip():
        raise click.BadParameter("the question is empty", param_hint="QUESTION")
    model_name = (model_name or "").strip() or None
    _llm.configure(max_retries=max_retries, request_timeout=request_timeout, rpm=rpm)
    _, embedding = build_embeddings(embeddings_name, "ask")

    import openai

    try:
        wrapper = QdrantWrapper.reuse(source_name=source_name, embedding_cls=lambda: embedding)
        stored, given = wrapper.vector_size, len(wrapper.embedding.embed_query(question))
        if stored != given:
            raise click.ClickException(
                f"source {source_name!r} holds vectors of length {stored}, but embeddings {embeddings_name!r} "
                f"make vectors of length {given}: use the --embeddings it was indexed with, or index it again."
            )
        chain = CHAINS[chain_name](wrapper)
        if context_tokens is None and os.environ.get("OPENAI_API_BASE", "").strip():
            context_tokens = asking.served_context(os.environ["OPENAI_API_BASE"].strip(), model_name)
        answer_tokens = max_tokens
        if context_tokens is not None and answer_tokens is None:
            answer_tokens = min(asking.DEFAULT_ANSWER_TOKENS, max(1, context_tokens // 4))
        asking.configure_models(chain, model=model_name, max_tokens=answer_tokens)
        if k is not None:
            asking.set_chunk_count(chain, k)
        if context_tokens is not None:
            asking.ContextFit(context_tokens, answer_tokens or 0).install(chain)
        endpoint = os.environ.get("OPENAI_API_BASE", "").strip() or "OpenAI"
        with asking.waiting(f"Asking {asking.model_name_of(chain)} at {endpoint} ({chain_name} over {source_name!r})"):
            answer, documents = answer_question(chain, question, jobs)
    except openai.error.OpenAIError as exc:
        raise click.ClickException(f"the OpenAI request failed: {exc}") from exc
    click.echo(answer)
    references = asking.source_lines(list(documents), reference_of)
    if references:
        click.secho("\nSources:", fg="blue")
        for reference in references:
            click.echo(f"- {reference}")
