"""What every store of indexed sources has in common: where a store is (``StoreConfig``),
what it reports (``SourceInfo``, ``StoredChunk``), the interface each kind of store offers
(``Store``, ``Source``, ``Writer``), and the helpers they share: payloads, names, file
locks, and the lexical index kept with a source.

Nothing here imports langchain or a Qdrant engine, so commands that only read the store
start fast.
"""

from __future__ import annotations

import fcntl
import json
import math
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Optional, Protocol, Sequence, Tuple

from tavrin import _json_text
from tavrin._dirs import data_dir
from tavrin._outputs import atomic_write_text
from tavrin.errors import InvalidSourceNameError, StoreError

if TYPE_CHECKING:
    from langchain.embeddings.base import Embeddings
    from langchain.schema import Document

_SOURCE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,99}")
# Server collections written by this module are named "<source>--<12 hex digits>".
_GENERATION = "--"

# The payload keys of a chunk's text and metadata (the same as langchain's Qdrant store).
CONTENT_KEY = "page_content"
METADATA_KEY = "metadata"
# The payload key of the indexing record every point on a server carries.
INDEX_KEY = "tavrin_index"

# The local store's names.
_MANIFEST = "source.json"
_LOCKS = ".locks"
_READERS = ".readers"
_GENERATION_NAME = re.compile(r"g-[0-9A-Za-z-]{1,64}")
_MANIFEST_FORMAT = 1
_EDGE_UPDATE = 1024  # points per update of a local shard
_SCROLL = 256  # points per page when reading a source through

ENGINES = ("edge", "qdrant-local")


@dataclass(frozen=True)
class StoreConfig:
    """Where the store is: a Qdrant server at ``url``, or else the local folder ``path``.

    ``engine`` chooses what keeps a local store: "edge" (Qdrant Edge, one shard folder per
    source) or "qdrant-local" (qdrant-client's local mode, the layout of earlier versions;
    kept for moving such stores and for comparison). ``legacy_path``, when set, is a
    folder of that earlier layout to move into an "edge" store when it is first opened.
    """

    path: Path
    url: Optional[str] = None
    api_key: Optional[str] = None
    timeout: float = 10.0
    engine: str = "edge"
    legacy_path: Optional[Path] = None

    def __post_init__(self) -> None:
        if self.engine not in ENGINES:
            raise ValueError(f"unknown store engine {self.engine!r}: choose one of {', '.join(ENGINES)}")

    @classmethod
    def from_env(cls) -> "StoreConfig":
        """The store that the environment selects (``TAVRIN_QDRANT_URL``, ``TAVRIN_DATA_DIR``)."""
        root = data_dir()
        return cls(
            path=root / "store",
            url=os.environ.get("TAVRIN_QDRANT_URL") or None,
            api_key=os.environ.get("TAVRIN_QDRANT_API_KEY") or None,
            legacy_path=root / "qdrant",
        )

    @classmethod
    def server(cls, url: str, api_key: Optional[str] = None, timeout: float = 10.0) -> "StoreConfig":
        """The Qdrant server at ``url`` (for instance to copy a local source there)."""
        return cls(path=data_dir() / "store", url=url, api_key=api_key, timeout=timeout)

    def describe(self) -> str:
        """A short description for messages."""
        if self.url:
            return f"the Qdrant server at {self.url} (TAVRIN_QDRANT_URL)"
        return f"the local store in {self.path}"


@dataclass(frozen=True)
class SourceInfo:
    """One indexed source: its name, its number of chunks, and (when recorded) the
    embeddings it was indexed with and when, as "YYYY-MM-DD HH:MM:SS UTC"."""

    name: str
    chunks: int
    embedding: Optional[str] = None
    indexed: Optional[str] = None
    #: why the source cannot be read (a damaged manifest), else None
    problem: Optional[str] = None


@dataclass(frozen=True)
class StoredChunk:
    """One stored chunk: its point id, text, metadata and (when asked for) its vector.

    Vectors come back as the store keeps them: cosine stores normalise them to length 1.
    """

    id: str
    page_content: str
    metadata: Dict[str, Any]
    vector: Optional[List[float]] = None

    def to_document(self) -> Document:
        """The chunk as a langchain ``Document``."""
        from langchain.schema import Document

        return Document(page_content=self.page_content, metadata=dict(self.metadata))


def _factory_name(factory: Any) -> str:
    module = getattr(factory, "__module__", None)
    name = getattr(factory, "__qualname__", None) or getattr(factory, "__name__", None)
    if module and name and "<lambda>" not in name:
        return f"{module}:{name}"
    return type(factory).__name__


def _text(exc: BaseException) -> str:
    return str(exc).strip().splitlines()[0].rstrip(".") if str(exc).strip() else type(exc).__name__


def _check_source_name(source_name: str) -> str:
    if not isinstance(source_name, str) or not _SOURCE_NAME.fullmatch(source_name) or _GENERATION in source_name:
        raise InvalidSourceNameError(
            f"invalid source name {source_name!r}: use 1 to 100 letters, digits, '_', '.' or '-', "
            f"starting with a letter or digit and without {_GENERATION!r}"
        )
    return source_name


def _plain(value: Any) -> Any:
    """``value`` as JSON values a payload can hold: other objects become their text, and
    numbers JSON cannot write (NaN, infinities, integers beyond 64 bits) become None or text."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, int):
        return value if -(2**63) <= value < 2**63 else str(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return str(value)


def _chunk(point_id: Any, payload: Optional[Dict[str, Any]], vector: Any = None) -> StoredChunk:
    payload = payload or {}
    metadata = payload.get(METADATA_KEY)
    return StoredChunk(
        id=str(point_id),
        page_content=str(payload.get(CONTENT_KEY) or ""),
        metadata=dict(metadata) if isinstance(metadata, dict) else {},
        vector=[float(x) for x in vector] if isinstance(vector, list) else None,
    )


def _batched(items: Iterable[Document], size: int) -> Iterator[List[Document]]:
    batch: List[Document] = []
    for item in items:
        batch.append(item)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def _vectors(embedding: Embeddings, texts: List[str], size: Optional[int]) -> List[List[float]]:
    vectors = embedding.embed_documents(texts)
    if len(vectors) != len(texts):
        raise StoreError(f"the embedding returned {len(vectors)} vectors for {len(texts)} documents")
    out: List[List[float]] = []
    for vector in vectors:
        values = [float(x) for x in vector]
        expected = len(out[0]) if out else size
        if not values or (expected is not None and len(values) != expected):
            raise StoreError(
                f"the embedding returned a vector of length {len(values)}"
                + (f", not {expected}" if expected is not None else "")
            )
        out.append(values)
    return out


_LEXICAL_FILE = "lexical.bin"


def _new_lexical() -> Any:
    from tavrin.ask_codebase.search import LexicalIndex

    return LexicalIndex()


def _read_lexical(path: Path, source_name: str) -> Any:
    """The lexical index in the file ``path`` of a source; ``StoreError`` when it is unreadable."""
    from tavrin.ask_codebase.search import LexicalIndex

    try:
        return LexicalIndex(path.read_bytes())
    except (OSError, ValueError) as exc:
        raise StoreError(
            f"cannot read the lexical index {path} of source {source_name!r}: {_text(exc)}; index the source again"
        ) from exc


def _add_lexical(index: Any, ids: Sequence[int], documents: Sequence[Document]) -> None:
    from tavrin.ask_codebase.search import chunk_path

    index.add(ids, [d.page_content for d in documents], [chunk_path(d.metadata) for d in documents])


def embedded_text(text: str, metadata: Dict[str, Any], how: str = "path+text") -> str:
    """The text that is embedded for a chunk: with "path+text" (how sources are indexed
    now) its file path on a line before its text, with "text" its text alone."""
    if how == "path+text":
        path = str(metadata.get("filepath") or metadata.get("source") or "")
        if path:
            return f"{path}\n{text}"
    return text


# ---------------------------------------------------------------- files and locks


def _try_lock(path: Path, *, shared: bool, create: bool) -> Optional[int]:
    """A descriptor of ``path`` holding a lock on it, or None when another holds a
    conflicting lock (or the file is missing and ``create`` is false)."""
    try:
        fd = os.open(path, (os.O_RDWR | os.O_CREAT) if create else os.O_RDONLY, 0o644)
    except FileNotFoundError:
        return None
    try:
        fcntl.flock(fd, (fcntl.LOCK_SH if shared else fcntl.LOCK_EX) | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        return None
    except BaseException:
        os.close(fd)
        raise
    if create:
        # a lock file is removed by its holder when its source is gone (``_unlock``): a lock
        # taken on the removed file meanwhile locks nothing, and counts as not taken
        try:
            current = os.path.samestat(os.fstat(fd), os.stat(path))
        except FileNotFoundError:
            current = False
        if not current:
            os.close(fd)
            return None
    return fd


def _write_bytes(path: Path, data: bytes) -> None:
    """Write ``data`` to the new file ``path`` and flush it to the disk."""
    with open(path, "wb") as handle:
        handle.write(data)
        handle.flush()
        os.fsync(handle.fileno())


def _write_json(path: Path, data: Dict[str, Any]) -> None:
    """Write ``data`` to ``path`` whole or not at all (a temporary file, then a rename)."""
    atomic_write_text(path, json.dumps(data, indent=2) + "\n")


# ---------------------------------------------------------------- the interface of a store


class Source(Protocol):
    """One indexed source, open for reading."""

    name: str

    def count(self) -> int: ...

    @property
    def vector_size(self) -> int: ...

    def record(self) -> Dict[str, Any]: ...

    def chunks(self, with_vectors: bool) -> Iterator[StoredChunk]: ...

    def search(self, vector: Sequence[float], k: int) -> List[Tuple[StoredChunk, float]]: ...

    def search_ids(self, vector: Sequence[float], k: int) -> List[Tuple[int, float]]: ...

    def retrieve(self, ids: Sequence[int]) -> List[StoredChunk]: ...

    def lexical_index(self) -> Optional[Any]: ...

    def close(self) -> None: ...


class Writer(Protocol):
    """Writes a new version of one source; ``commit`` makes it the source, ``abort``
    leaves the source as it was."""

    size: Optional[int]

    @property
    def empty(self) -> bool: ...

    def add(self, documents: Sequence[Any], vectors: Sequence[List[float]]) -> List[int]: ...

    def commit(self) -> Source: ...

    def abort(self) -> None: ...


class Store(Protocol):
    """A store of sources: the local folder, or a Qdrant server."""

    config: StoreConfig
    client: Any

    def describe(self) -> str: ...

    def names(self) -> List[str]: ...

    def infos(self) -> List[SourceInfo]: ...

    def open_source(self, name: str) -> Optional[Source]: ...

    def writer(self, name: str, record: Dict[str, Any]) -> Writer: ...

    def delete(self, name: str) -> Optional[int]: ...

    def close(self) -> None: ...


# ---------------------------------------------------------------- the files a generation was made from

_FILES_FILE = "files.json"


def _files_table(generation: Path, manifest: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    name = manifest.get("files")
    if not isinstance(name, str):
        return None
    try:
        table = _json_text.loads((generation / name).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None  # indexed whole next time
    if not isinstance(table, dict) or not isinstance(table.get("files"), dict):
        return None
    return table
