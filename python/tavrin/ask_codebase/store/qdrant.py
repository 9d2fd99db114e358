"""Indexed sources in a vector store: Qdrant's in-process engine, or a Qdrant server.

Every indexed source (one code base, under a name the user chose) is a set of document
chunks with their vectors. By default they live in the local store on this machine,
``$TAVRIN_DATA_DIR/store`` (or ``~/.local/share/tavrin/store``), kept by Qdrant Edge
(``qdrant_edge``), Qdrant's engine running inside this process. When
``TAVRIN_QDRANT_URL`` is set, a Qdrant server at that address is used instead
(``TAVRIN_QDRANT_API_KEY`` for a server that wants a key), with no change to the code
that uses the store.

The local store holds one folder per source, so a command opens only the source it
uses::

    store/
      .locks/<source>.lock   held by the process that is indexing or deleting <source>
      <source>/
        source.json          the manifest: chunks, embeddings, time of indexing, vector
                             size, and the generation folder that holds the source
        g-<time>-<hex>/      one Qdrant Edge shard: the chunks, their vectors and payloads
          .readers           share-locked by every process that has this shard open

Indexing writes a new generation folder in bulk and, once every chunk is stored and
flushed, replaces the manifest (``os.replace``) to point at it; only then are the older
generations removed. A failed, interrupted or killed run therefore leaves the source as
it was; the generation it left behind is named by no manifest, is never opened, and is
removed by the next command that touches the source while no one else writes it. A
generation still open in another process stays until that process lets it go.

On a server every source is a collection behind an alias of the source's name;
indexing fills a fresh collection and moves the alias when it is complete. Its points
also carry, under the payload key ``tavrin_index``, the embeddings' name and the time of
indexing, which ``describe_sources`` reports.

A local store of earlier versions (qdrant-client's local mode in
``$TAVRIN_DATA_DIR/qdrant``) is moved into the new layout, vectors and all, the first
time the store is opened; the old folder is removed once every source is across.
"""

import fcntl
import functools
import json
import math
import os
import re
import shutil
import sys
import threading
import time
import uuid
import warnings
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Type, Union

from langchain.embeddings.base import Embeddings
from langchain.schema import Document
from langchain.vectorstores.base import VectorStore

from tavrin._dirs import data_dir
from tavrin._outputs import _sync_directory, atomic_write_text
from tavrin.errors import (
    EmptySourceError,
    InvalidSourceNameError,
    StoreError,
    StoreUnavailableError,
    UnknownSourceError,
)

__all__ = [
    "EmptySourceError",
    "InvalidSourceNameError",
    "QdrantWrapper",
    "SourceInfo",
    "SourceVectorStore",
    "StoreConfig",
    "StoreError",
    "StoreUnavailableError",
    "StoredChunk",
    "UnknownSourceError",
    "close_clients",
    "data_dir",
    "open_client",
]

# What makes an embeddings object: an Embeddings class, or any callable without
# arguments that returns one (functools.partial(SomeEmbeddings, size=384), ...).
EmbeddingFactory = Union[Type[Embeddings], Callable[[], Embeddings]]

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
_WRITE_LOCK_WAIT = 2.0  # seconds a writer waits for a source's lock before it gives up

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


def _write_json(path: Path, data: Dict[str, Any]) -> None:
    """Write ``data`` to ``path`` whole or not at all (a temporary file, then a rename)."""
    atomic_write_text(path, json.dumps(data, indent=2) + "\n")


# ---------------------------------------------------------------- Qdrant Edge: the local store


class _EdgeSource:
    """One generation of a local source, open: its shard and its reader's lock."""

    def __init__(self, name: str, path: Path, shard: Any, readers_fd: int, manifest: Dict[str, Any]) -> None:
        self.name = name
        self.path = path
        self.manifest = manifest
        self._shard = shard
        self._readers_fd: Optional[int] = readers_fd

    @property
    def closed(self) -> bool:
        return self._readers_fd is None

    def _call(self, what: Callable[[], Any]) -> Any:
        if self.closed:
            raise StoreError(f"source {self.name!r} was closed; open it again with QdrantWrapper.reuse")
        try:
            return what()
        except StoreError:
            raise
        except Exception as exc:  # the engine's errors are plain Exceptions
            raise StoreError(f"source {self.name!r} in {self.path}: {_text(exc)}") from exc

    def count(self) -> int:
        from qdrant_edge import CountRequest

        return int(self._call(lambda: self._shard.count(CountRequest(exact=True))))

    @property
    def vector_size(self) -> int:
        return int(self.manifest["vector_size"])

    def record(self) -> Dict[str, Any]:
        return {"embedding": self.manifest.get("embedding"), "indexed": self.manifest.get("indexed")}

    def chunks(self, with_vectors: bool) -> Iterator[StoredChunk]:
        from qdrant_edge import ScrollRequest

        offset: Any = None
        while True:
            request = ScrollRequest(offset=offset, limit=_SCROLL, with_payload=True, with_vector=with_vectors)
            records, offset = self._call(functools.partial(self._shard.scroll, request))
            for record in records:
                yield _chunk(record.id, record.payload, record.vector if with_vectors else None)
            if offset is None:
                return

    def search(self, vector: Sequence[float], k: int) -> List[Tuple[StoredChunk, float]]:
        from qdrant_edge import Query, SearchRequest

        request = SearchRequest(
            query=Query.Nearest([float(x) for x in vector]), limit=k, with_payload=True, with_vector=False
        )
        hits = self._call(lambda: self._shard.search(request))
        return [(_chunk(h.id, h.payload), float(h.score)) for h in hits]

    def close(self) -> None:
        fd, self._readers_fd = self._readers_fd, None
        if fd is None:
            return
        try:
            self._shard.close()
        except Exception:
            pass
        os.close(fd)


class _EdgeWriter:
    """Writes a new generation of one local source; ``commit`` makes it the source."""

    def __init__(self, store: "_EdgeStore", name: str, record: Dict[str, Any]) -> None:
        self.store = store
        self.name = name
        self.record = record
        self.folder = store.root / name
        self._lock_fd: Optional[int] = store._write_lock(name)
        try:
            store._sweep(name, locked=True)
        except BaseException:
            self._release()
            raise
        stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime())
        self.generation = f"g-{stamp}-{uuid.uuid4().hex[:8]}"
        self.path = self.folder / self.generation
        self.size: Optional[int] = None
        self._shard: Any = None
        self._readers_fd: Optional[int] = None
        self._next_id = 0
        self._pending: List[Any] = []

    def _release(self) -> None:
        fd, self._lock_fd = self._lock_fd, None
        if fd is not None:
            self.store._unlock(self.name, fd)

    def _engine(self, what: Callable[[], Any]) -> Any:
        try:
            return what()
        except StoreError:
            raise
        except Exception as exc:  # the engine's errors (a full disk among them) are plain Exceptions
            raise StoreError(f"cannot write source {self.name!r} in {self.path}: {_text(exc)}") from exc

    def add(self, documents: Sequence[Document], vectors: Sequence[List[float]]) -> None:
        from qdrant_edge import Point

        if self._shard is None:
            from qdrant_edge import Distance, EdgeConfig, EdgeShard, EdgeVectorParams

            self.size = len(vectors[0])
            self.path.mkdir(parents=True)
            self._readers_fd = _try_lock(self.path / _READERS, shared=True, create=True)
            # No write-ahead log: the generation counts only once it is flushed whole.
            config = EdgeConfig(vectors=EdgeVectorParams(size=self.size, distance=Distance.Cosine), wal_enabled=False)
            self._shard = self._engine(lambda: EdgeShard.create(str(self.path), config))
        for document, vector in zip(documents, vectors):
            payload = {CONTENT_KEY: document.page_content, METADATA_KEY: _plain(document.metadata)}
            self._pending.append(Point(self._next_id, vector, payload))
            self._next_id += 1
        if len(self._pending) >= _EDGE_UPDATE:
            self._update()

    @property
    def empty(self) -> bool:
        return self._shard is None

    def _update(self) -> None:
        from qdrant_edge import UpdateOperation

        if self._pending:
            points, self._pending = self._pending, []
            self._engine(lambda: self._shard.update(UpdateOperation.upsert_points(points)))

    def commit(self) -> _EdgeSource:
        from qdrant_edge import CountRequest

        try:
            self._update()
            self._engine(self._shard.flush)
            chunks = int(self._engine(lambda: self._shard.count(CountRequest(exact=True))))
            manifest = {
                "format": _MANIFEST_FORMAT,
                "name": self.name,
                "generation": self.generation,
                "chunks": chunks,
                "embedding": self.record.get("embedding"),
                "indexed": self.record.get("indexed"),
                "vector_size": self.size,
                "distance": "cosine",
            }
            _sync_directory(self.path)
            self.store._close_open(self.name)  # this process's handles of the generation replaced
            _write_json(self.folder / _MANIFEST, manifest)  # the switch
        except BaseException:
            self.abort()
            raise
        assert self._readers_fd is not None
        source = _EdgeSource(self.name, self.path, self._shard, self._readers_fd, manifest)
        self._shard, self._readers_fd = None, None
        self.store._register(source)
        try:
            self.store._sweep(self.name, locked=True)
        except OSError as exc:  # the source is complete and live; only space is lost
            warnings.warn(
                f"could not remove the replaced generations of {self.name!r}: {exc}", RuntimeWarning, stacklevel=1
            )
        finally:
            self._release()
        return source

    def abort(self) -> None:
        try:
            if self._shard is not None:
                try:
                    self._shard.close()
                except Exception:
                    pass
                self._shard = None
            if self._readers_fd is not None:
                os.close(self._readers_fd)
                self._readers_fd = None
            shutil.rmtree(self.path, ignore_errors=True)
        finally:
            self._release()


class _EdgeStore:
    """The local store: a folder of sources, each a Qdrant Edge shard per generation."""

    def __init__(self, config: StoreConfig) -> None:
        self.config = config
        self.root = config.path
        self.client = None
        self._lock = threading.Lock()
        self._open: Dict[str, _EdgeSource] = {}  # generation folder -> open source
        try:
            (self.root / _LOCKS).mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StoreUnavailableError(
                f"cannot open the local store in {self.root}: {_text(exc)}. "
                "Set TAVRIN_DATA_DIR to a folder you can write to."
            ) from exc
        if config.legacy_path is not None:
            _move_legacy_store(self, config.legacy_path)

    # -- locks and housekeeping

    def _lock_path(self, name: str) -> Path:
        return self.root / _LOCKS / f"{name}.lock"

    def _write_lock(self, name: str) -> int:
        # Readers hold the lock only for the moment it takes them to tidy up: wait that out.
        deadline = time.monotonic() + _WRITE_LOCK_WAIT
        fd = _try_lock(self._lock_path(name), shared=False, create=True)
        while fd is None and time.monotonic() < deadline:
            time.sleep(0.05)
            fd = _try_lock(self._lock_path(name), shared=False, create=True)
        if fd is None:
            raise StoreUnavailableError(
                f"source {name!r} is being written by another process (it holds {self._lock_path(name)}); "
                "wait for it to finish, then run the command again"
            )
        return fd

    def _unlock(self, name: str, fd: int) -> None:
        """Release the lock ``fd`` on ``name``; its lock file goes too when no such source is
        left (an unknown name, a deleted source), so that they do not pile up."""
        try:
            if not (self.root / name / _MANIFEST).exists():
                try:
                    os.unlink(self._lock_path(name))
                except OSError:
                    pass
        finally:
            os.close(fd)

    def _manifest(self, name: str, *, strict: bool = True) -> Optional[Dict[str, Any]]:
        """The manifest of ``name``, None when there is none; a damaged one raises
        ``StoreError`` (or, unless ``strict``, gives an empty dict)."""
        path = self.root / name / _MANIFEST
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as exc:
            problem = _text(exc)
        else:
            if (
                isinstance(data, dict)
                and isinstance(data.get("generation"), str)
                and _GENERATION_NAME.fullmatch(data["generation"])
                and isinstance(data.get("chunks"), int)
                and isinstance(data.get("vector_size"), int)
            ):
                return data
            problem = "it lacks the generation, chunks or vector_size"
        if not strict:
            return {}
        raise StoreError(
            f"the manifest {path} of source {name!r} is damaged ({problem}); index the source again, "
            f"or remove it with `tavrin sources --delete {name}`"
        )

    def _register(self, source: _EdgeSource) -> None:
        with self._lock:
            self._open[str(source.path)] = source

    def _close_open(self, name: str) -> None:
        with self._lock:
            mine = [key for key, source in self._open.items() if source.name == name]
            sources = [self._open.pop(key) for key in mine]
        for source in sources:
            source.close()

    def _sweep(self, name: str, *, locked: bool = False) -> None:
        """Remove the generations of ``name`` that its manifest does not name, and
        leftover temporary files, unless another process writes the source now or
        still has such a generation open."""
        fd = None
        if not locked:
            if not self._untidy(name):
                return
            fd = _try_lock(self._lock_path(name), shared=False, create=True)
            if fd is None:
                return
        try:
            folder = self.root / name
            manifest = self._manifest(name, strict=False)
            if manifest == {}:
                return  # a damaged manifest: left for the user to see
            current = manifest["generation"] if manifest else None
            try:
                entries = list(os.scandir(folder))
            except (FileNotFoundError, NotADirectoryError):
                return
            for entry in entries:
                if entry.name == current:
                    continue
                if entry.name.startswith("g-") and entry.is_dir(follow_symlinks=False):
                    self._remove_generation(Path(entry.path))
                elif entry.name.startswith(".") and entry.name.endswith(".tmp"):
                    try:
                        os.unlink(entry.path)
                    except OSError:
                        pass
            if manifest is None:
                try:
                    folder.rmdir()
                except OSError:
                    pass
        finally:
            if fd is not None:
                self._unlock(name, fd)

    def _untidy(self, name: str) -> bool:
        """Whether the folder of ``name`` holds anything besides its manifest and the
        generation that the manifest names (read without any lock: only a hint)."""
        try:
            entries = os.listdir(self.root / name)
        except OSError:
            return False
        try:
            current = (self._manifest(name, strict=False) or {}).get("generation")
        except OSError:
            return False
        return any(entry not in (_MANIFEST, current) for entry in entries)

    @staticmethod
    def _remove_generation(path: Path) -> None:
        readers = path / _READERS
        fd = _try_lock(readers, shared=False, create=False)
        if fd is None and os.path.exists(readers):
            return  # open in another process: removed by a later command
        try:
            shutil.rmtree(path, ignore_errors=True)
        finally:
            if fd is not None:
                os.close(fd)

    # -- the store's operations

    def describe(self) -> str:
        return self.config.describe()

    def names(self) -> List[str]:
        try:
            entries = list(os.scandir(self.root))
        except FileNotFoundError:
            return []
        return sorted(
            e.name
            for e in entries
            if e.is_dir() and _SOURCE_NAME.fullmatch(e.name) and os.path.isfile(os.path.join(e.path, _MANIFEST))
        )

    def infos(self) -> List[SourceInfo]:
        infos = []
        for name in self.names():
            manifest = self._manifest(name)
            if manifest is not None:
                infos.append(SourceInfo(name, manifest["chunks"], manifest.get("embedding"), manifest.get("indexed")))
        return infos

    def open_source(self, name: str) -> Optional[_EdgeSource]:
        from qdrant_edge import EdgeShard

        self._sweep(name)
        for _ in range(20):
            manifest = self._manifest(name)
            if manifest is None:
                return None
            path = self.root / name / manifest["generation"]
            with self._lock:
                cached = self._open.get(str(path))
            if cached is not None and not cached.closed:
                return cached
            fd = _try_lock(path / _READERS, shared=True, create=False)
            if fd is None or not (path / "edge_config.json").is_file():
                # being removed, or gone: the manifest has moved on since it was read
                if fd is not None:
                    os.close(fd)
                time.sleep(0.05)
                continue
            try:
                shard = EdgeShard.load(str(path))
            except Exception as exc:
                os.close(fd)
                raise StoreError(f"cannot open source {name!r} in {path}: {_text(exc)}; index it again") from exc
            source = _EdgeSource(name, path, shard, fd, manifest)
            with self._lock:
                cached = self._open.get(str(path))
                if cached is None or cached.closed:
                    self._open[str(path)] = source
                    return source
            source.close()  # another thread opened it meanwhile
            return cached
        raise StoreUnavailableError(f"source {name!r} kept changing while it was opened; run the command again")

    def writer(self, name: str, record: Dict[str, Any]) -> _EdgeWriter:
        return _EdgeWriter(self, name, record)

    def delete(self, name: str) -> Optional[int]:
        fd = self._write_lock(name)
        try:
            manifest = self._manifest(name, strict=False)
            if manifest is None:
                return None
            self._close_open(name)
            os.unlink(self.root / name / _MANIFEST)
            _sync_directory(self.root / name)
            self._sweep(name, locked=True)
            return int(manifest.get("chunks", 0))
        finally:
            self._unlock(name, fd)

    def close(self) -> None:
        with self._lock:
            sources = list(self._open.values())
            self._open.clear()
        for source in sources:
            source.close()


# ---------------------------------------------------------------- qdrant-client: a server, or the earlier local mode


class _ClientSource:
    """A source in a qdrant-client store: the collection behind an alias."""

    def __init__(self, client: Any, name: str) -> None:
        self.client = client
        self.name = name

    def count(self) -> int:
        return int(self.client.count(self.name, exact=True).count)

    @property
    def vector_size(self) -> int:
        vectors = self.client.get_collection(self.name).config.params.vectors
        if isinstance(vectors, dict):  # named vectors: not written by this module
            raise StoreError(f"source {self.name!r} has named vectors, which this wrapper does not use")
        return int(vectors.size)

    def record(self) -> Dict[str, Any]:
        points, _ = self.client.scroll(self.name, limit=1, with_payload=[INDEX_KEY], with_vectors=False)
        if points and isinstance((points[0].payload or {}).get(INDEX_KEY), dict):
            return dict(points[0].payload[INDEX_KEY])
        return {}

    def chunks(self, with_vectors: bool) -> Iterator[StoredChunk]:
        offset = None
        while True:
            points, offset = self.client.scroll(
                self.name, limit=_SCROLL, offset=offset, with_payload=True, with_vectors=with_vectors
            )
            for p in points:
                yield _chunk(p.id, p.payload, p.vector if with_vectors else None)
            if offset is None:
                return

    def search(self, vector: Sequence[float], k: int) -> List[Tuple[StoredChunk, float]]:
        hits = self.client.search(self.name, query_vector=[float(x) for x in vector], limit=k, with_payload=True)
        return [(_chunk(h.id, h.payload), float(h.score)) for h in hits]

    def close(self) -> None:
        pass


class _ClientWriter:
    """Fills a fresh collection; ``commit`` points the source's alias at it."""

    def __init__(self, store: "_ClientStore", name: str, record: Dict[str, Any]) -> None:
        self.store = store
        self.client = store.client
        self.name = name
        self.record = record
        self.generation = f"{name}{_GENERATION}{uuid.uuid4().hex[:12]}"
        self.size: Optional[int] = None
        self._next_id = 0

    @property
    def empty(self) -> bool:
        return self.size is None

    def add(self, documents: Sequence[Document], vectors: Sequence[List[float]]) -> None:
        from qdrant_client.http import models as rest

        if self.size is None:
            size = len(vectors[0])
            self.client.create_collection(
                self.generation, vectors_config=rest.VectorParams(size=size, distance=rest.Distance.COSINE)
            )
            self.size = size
        ids = list(range(self._next_id, self._next_id + len(documents)))
        self._next_id += len(documents)
        self.client.upsert(
            self.generation,
            points=rest.Batch(
                ids=list[int | str](ids),
                vectors=[list(v) for v in vectors],
                payloads=[
                    {CONTENT_KEY: d.page_content, METADATA_KEY: _plain(d.metadata), INDEX_KEY: self.record}
                    for d in documents
                ],
            ),
            wait=True,
        )

    def commit(self) -> _ClientSource:
        try:
            previous = self._switch()
        except BaseException:
            self.abort()
            raise
        for collection in previous:
            try:
                self.client.delete_collection(collection)
            except Exception as exc:  # the source is complete and live; only space is lost
                warnings.warn(
                    f"could not remove the replaced collection {collection!r}: {exc}", RuntimeWarning, stacklevel=1
                )
        if not self.store.config.url:
            self._drop_strays()
        return _ClientSource(self.client, self.name)

    def abort(self) -> None:
        if self.size is not None:
            try:
                self.client.delete_collection(self.generation)
            except Exception:
                pass  # the original error matters more; a stray collection is dropped later

    def _switch(self) -> List[str]:
        """Point the alias at the new collection; return the collections it replaced."""
        from qdrant_client.http import models as rest

        aliases = self.store.aliases()
        operations: List[Any] = []
        previous: List[str] = []
        if self.name in aliases:
            previous.append(aliases[self.name])
            operations.append(rest.DeleteAliasOperation(delete_alias=rest.DeleteAlias(alias_name=self.name)))
        elif self.name in self.store.collections():
            # A collection made under the bare name (not by this module): it gives way to
            # the alias now that the new content is complete.
            self.client.delete_collection(self.name)
        operations.append(
            rest.CreateAliasOperation(
                create_alias=rest.CreateAlias(collection_name=self.generation, alias_name=self.name)
            )
        )
        self.client.update_collection_aliases(change_aliases_operations=operations)
        return previous

    def _drop_strays(self) -> None:
        """Remove collections of this source that no alias points to (left by a killed run).

        Only in qdrant-client's local mode, which one process holds at a time: on a server
        another process may be indexing the same source right now.
        """
        used = set(self.store.aliases().values())
        prefix = f"{self.name}{_GENERATION}"
        for collection in self.store.collections():
            if collection.startswith(prefix) and collection not in used:
                self.client.delete_collection(collection)


class _ClientStore:
    """A store reached through qdrant-client: a Qdrant server, or the earlier local mode."""

    def __init__(self, config: StoreConfig) -> None:
        self.config = config
        self.client = _connect(config)

    def aliases(self) -> Dict[str, str]:
        return {a.alias_name: a.collection_name for a in self.client.get_aliases().aliases}

    def collections(self) -> List[str]:
        return [c.name for c in self.client.get_collections().collections]

    def describe(self) -> str:
        return self.config.describe()

    def names(self) -> List[str]:
        names = set(self.aliases())
        names.update(c for c in self.collections() if _GENERATION not in c)
        return sorted(names)

    def infos(self) -> List[SourceInfo]:
        infos = []
        for name in self.names():
            source = _ClientSource(self.client, name)
            record = source.record()
            infos.append(SourceInfo(name, source.count(), record.get("embedding"), record.get("indexed")))
        return infos

    def open_source(self, name: str) -> Optional[_ClientSource]:
        if name not in self.aliases() and name not in self.collections():
            return None
        return _ClientSource(self.client, name)

    def writer(self, name: str, record: Dict[str, Any]) -> _ClientWriter:
        return _ClientWriter(self, name, record)

    def delete(self, name: str) -> Optional[int]:
        from qdrant_client.http import models as rest

        aliases = self.aliases()
        if name not in aliases and name not in self.collections():
            return None
        chunks = _ClientSource(self.client, name).count()
        if name in aliases:
            self.client.update_collection_aliases(
                change_aliases_operations=[rest.DeleteAliasOperation(delete_alias=rest.DeleteAlias(alias_name=name))]
            )
            self.client.delete_collection(aliases[name])
        else:
            self.client.delete_collection(name)
        return chunks

    def close(self) -> None:
        self.client.close()


def _connect(config: StoreConfig) -> Any:
    from qdrant_client import QdrantClient
    from qdrant_client.http.exceptions import ApiException

    if config.url:
        client = QdrantClient(url=config.url, api_key=config.api_key, timeout=config.timeout)
        try:
            client.get_collections()
        except (ApiException, OSError) as exc:
            raise StoreUnavailableError(
                f"cannot reach the Qdrant server at {config.url} (TAVRIN_QDRANT_URL): {_text(exc)}. "
                "Check that the server runs and the address is right, or unset TAVRIN_QDRANT_URL "
                "to use the local store on this machine."
            ) from exc
        return client
    try:
        config.path.mkdir(parents=True, exist_ok=True)
        return QdrantClient(path=str(config.path))
    except RuntimeError as exc:  # Qdrant's message when the folder is locked
        raise StoreUnavailableError(
            f"the local store in {config.path} is in use by another process: {_text(exc)}. "
            "Wait for it to finish, or run a Qdrant server and set TAVRIN_QDRANT_URL to share one store."
        ) from exc
    except OSError as exc:
        raise StoreUnavailableError(
            f"cannot open the local store in {config.path}: {_text(exc)}. "
            "Set TAVRIN_DATA_DIR to a folder you can write to."
        ) from exc


# ---------------------------------------------------------------- the store of earlier versions


def _copy(source: Any, target: "_Store", name: str) -> bool:
    """Write the chunks of ``source``, vectors as stored, as the source ``name`` of
    ``target``; False (and nothing written) when ``source`` holds no chunks."""
    writer = target.writer(name, source.record() or {"embedding": None, "indexed": None})
    try:
        page: List[StoredChunk] = []
        for chunk in source.chunks(with_vectors=True):
            page.append(chunk)
            if len(page) == _EDGE_UPDATE:
                writer.add([c.to_document() for c in page], [c.vector or [] for c in page])
                page = []
        if page:
            writer.add([c.to_document() for c in page], [c.vector or [] for c in page])
        if writer.empty:
            writer.abort()
            return False
    except BaseException:
        writer.abort()
        raise
    writer.commit()
    return True


def _move_legacy_store(store: _EdgeStore, legacy: Path) -> None:
    """Move every source of a qdrant-client local store in ``legacy`` into ``store``, with
    its vectors, then remove ``legacy``. A source the new store already has is left out;
    on any failure ``legacy`` stays as it was and the next opening tries again."""
    if not (legacy / "meta.json").is_file():
        return
    lock_fd = os.open(store.root / _LOCKS / ".move-earlier-store.lock", os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(lock_fd, fcntl.LOCK_EX)  # another process may be moving it: wait for it
        if not (legacy / "meta.json").is_file():
            return
        try:
            old = _ClientStore(StoreConfig(path=legacy, engine="qdrant-local"))
        except StoreUnavailableError as exc:
            raise StoreUnavailableError(
                f"the store of an earlier tavrin in {legacy} is in use by another process, so it cannot be moved "
                f"to {store.root} now; run the command again when it is free"
            ) from exc
        moved = 0
        try:
            for name in old.names():
                if not _SOURCE_NAME.fullmatch(name) or store._manifest(name, strict=False) is not None:
                    continue
                if not _copy(_ClientSource(old.client, name), store, name):
                    continue
                moved += 1
        except StoreUnavailableError:
            raise
        except Exception as exc:
            raise StoreError(
                f"could not move the store of an earlier tavrin in {legacy} to {store.root}: {_text(exc)}. "
                f"It was left as it was; remove {legacy} and index your sources again to go on without it"
            ) from exc
        finally:
            old.close()
        shutil.rmtree(legacy, ignore_errors=True)
        if moved:
            sys.stderr.write(
                f"Moved {moved} source{'s' if moved != 1 else ''} from the store of an earlier tavrin in {legacy} "
                f"to {store.root}.\n"
            )
    finally:
        os.close(lock_fd)


# ---------------------------------------------------------------- one store per location and process

_Store = Union[_EdgeStore, _ClientStore]
_clients: Dict[Tuple[Any, ...], _Store] = {}
_clients_lock = threading.Lock()


def _client_key(config: StoreConfig) -> Tuple[Any, ...]:
    if config.url:
        return ("url", config.url, config.api_key)
    return (config.engine, str(config.path.resolve()))


def open_client(config: Optional[StoreConfig] = None) -> _Store:
    """The configured store, opened once and shared within this process.

    Opening the local store makes its folder (and moves a store of earlier versions
    into it); a server is contacted once. A store that cannot be opened raises
    ``StoreUnavailableError``. The result's ``client`` is the ``QdrantClient`` of a
    server (None for the local store).
    """
    config = config or StoreConfig.from_env()
    key = _client_key(config)
    with _clients_lock:
        store = _clients.get(key)
        if store is None:
            store = _EdgeStore(config) if not config.url and config.engine == "edge" else _ClientStore(config)
            _clients[key] = store
        return store


def close_clients() -> None:
    """Close every store opened by ``open_client`` and the sources opened in it."""
    with _clients_lock:
        stores = list(_clients.values())
        _clients.clear()
    for store in stores:
        store.close()


# ---------------------------------------------------------------- langchain's face of a source


class SourceVectorStore(VectorStore):
    """A langchain vector store over one indexed source, for retrievers and chains.

    Searches embed the query with the source's embeddings and return the stored chunks as
    ``Document`` objects (stored text and metadata), most similar first; scores are cosine
    similarities. A source is written whole, by ``QdrantWrapper.from_documents``
    (or ``from_texts`` here), never point by point.
    """

    def __init__(self, source: Any, embedding: Embeddings) -> None:
        self._source = source
        self._embedding = embedding

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    def add_texts(self, texts: Iterable[str], metadatas: Optional[List[dict]] = None, **kwargs: Any) -> List[str]:
        raise NotImplementedError(
            "an indexed source is written whole: index it again with QdrantWrapper.from_documents"
        )

    @classmethod
    def from_texts(
        cls,
        texts: List[str],
        embedding: Embeddings,
        metadatas: Optional[List[dict]] = None,
        *,
        source_name: str = "default",
        config: Optional[StoreConfig] = None,
        **kwargs: Any,
    ) -> "SourceVectorStore":
        """Index ``texts`` as the source ``source_name`` (replacing it) and return its store."""
        documents = [
            Document(page_content=t, metadata=dict(metadatas[i]) if metadatas else {}) for i, t in enumerate(texts)
        ]
        return QdrantWrapper.from_documents(source_name, documents, lambda: embedding, config=config).qdrant

    @staticmethod
    def _no_filter(kwargs: Dict[str, Any]) -> None:
        if kwargs.get("filter") is not None:
            raise ValueError("searches of an indexed source take no filter")

    def similarity_search_with_score_by_vector(
        self, embedding: List[float], k: int = 4, **kwargs: Any
    ) -> List[Tuple[Document, float]]:
        """The ``k`` chunks closest to ``embedding`` with their cosine similarity, best first."""
        self._no_filter(kwargs)
        if k < 1:
            return []
        return [(chunk.to_document(), score) for chunk, score in self._source.search(embedding, k)]

    def similarity_search_by_vector(self, embedding: List[float], k: int = 4, **kwargs: Any) -> List[Document]:
        """The ``k`` chunks closest to ``embedding``, best first."""
        return [d for d, _ in self.similarity_search_with_score_by_vector(embedding, k, **kwargs)]

    def similarity_search_with_score(self, query: str, k: int = 4, **kwargs: Any) -> List[Tuple[Document, float]]:
        """The ``k`` chunks most similar to ``query`` with their cosine similarity, best first."""
        return self.similarity_search_with_score_by_vector(self._embedding.embed_query(query), k, **kwargs)

    def similarity_search(self, query: str, k: int = 4, **kwargs: Any) -> List[Document]:
        """The ``k`` chunks most similar to ``query``, best first."""
        return [d for d, _ in self.similarity_search_with_score(query, k, **kwargs)]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        return lambda score: (score + 1.0) / 2.0  # cosine similarity onto [0, 1]


# ---------------------------------------------------------------- the wrapper


def _unknown(source_name: str, store: _Store, config: StoreConfig, how: bool) -> UnknownSourceError:
    known = store.names()
    listing = f"known sources: {', '.join(known)}" if known else "no source has been indexed yet"
    hint = f" Run `tavrin index PATH --source {source_name}` to index it." if how else ""
    return UnknownSourceError(f"unknown source {source_name!r} in {config.describe()}; {listing}.{hint}")


class QdrantWrapper:
    """One indexed source and the embedding that searches it.

    ``qdrant`` is a langchain vector store over the source (``SourceVectorStore``);
    ``qdrant.as_retriever(...)`` gives a retriever for question-answering chains.
    Obtain a wrapper with ``reuse`` (a source indexed earlier) or ``from_documents``
    (index documents, replacing what the source held). ``client`` is the
    ``QdrantClient`` when the store is a server, else None.
    """

    def __init__(self, source_name: str, embedding: Embeddings, source: Any, client: Any = None) -> None:
        self.source_name = source_name
        self.embedding = embedding
        self.client = client
        self._source = source
        self.qdrant = SourceVectorStore(source, embedding)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} source={self.source_name!r}>"

    @classmethod
    def reuse(
        cls,
        source_name: str,
        embedding_cls: EmbeddingFactory,
        *,
        config: Optional[StoreConfig] = None,
    ) -> "QdrantWrapper":
        """Open the source indexed earlier as ``source_name``.

        ``embedding_cls`` is called without arguments to make the embeddings object; it
        must be the same kind of embedding the source was indexed with. Raises
        ``UnknownSourceError`` (listing the known sources) when no such source exists,
        ``EmptySourceError`` when it holds no documents, ``StoreUnavailableError`` when
        the store cannot be opened.
        """
        config = config or StoreConfig.from_env()
        _check_source_name(source_name)
        store = open_client(config)
        source = store.open_source(source_name)
        if source is None:
            raise _unknown(source_name, store, config, how=True)
        if source.count() == 0:
            raise EmptySourceError(
                f"source {source_name!r} holds no documents; "
                f"run `tavrin index PATH --source {source_name}` to index it again."
            )
        return cls(source_name, embedding_cls(), source, store.client)

    @classmethod
    def from_documents(
        cls,
        source_name: str,
        documents: Iterable[Document],
        embedding_cls: EmbeddingFactory,
        *,
        config: Optional[StoreConfig] = None,
        batch_size: int = 64,
        embedding_name: Optional[str] = None,
    ) -> "QdrantWrapper":
        """Index ``documents`` as the source ``source_name``, replacing its earlier content.

        Documents are embedded ``batch_size`` at a time and written in bulk into a new
        generation of the source; the source switches to it only when all of them are in.
        If anything fails or is interrupted (or there are no documents: ``EmptySourceError``),
        the new generation is removed and the source keeps what it held before. Another
        process writing the same local source at the same time is refused with
        ``StoreUnavailableError``. ``embedding_name`` is recorded with the source
        (default: "module:name" of ``embedding_cls``).
        """
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, got {batch_size}")
        config = config or StoreConfig.from_env()
        _check_source_name(source_name)
        store = open_client(config)
        embedding = embedding_cls()
        record = {
            "embedding": embedding_name or _factory_name(embedding_cls),
            "indexed": datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC"),
        }
        writer = store.writer(source_name, record)
        try:
            for batch in _batched(documents, batch_size):
                writer.add(batch, _vectors(embedding, [d.page_content for d in batch], writer.size))
            if writer.empty:
                raise EmptySourceError(
                    f"no documents to index for source {source_name!r}; the source was left unchanged"
                )
        except BaseException:
            writer.abort()
            raise
        source = writer.commit()
        return cls(source_name, embedding, source, store.client)

    @staticmethod
    def list_sources(*, config: Optional[StoreConfig] = None) -> List[str]:
        """The names of the sources in the store, sorted."""
        return open_client(config).names()

    @staticmethod
    def describe_sources(*, config: Optional[StoreConfig] = None) -> List[SourceInfo]:
        """Every source in the store with its chunk count, embeddings and date, by name.

        The local store answers from the sources' manifests, without opening any vectors.
        """
        return open_client(config).infos()

    @staticmethod
    def delete_source(source_name: str, *, config: Optional[StoreConfig] = None) -> int:
        """Remove the source ``source_name``; return its chunk count.

        Raises ``UnknownSourceError`` (listing the known sources) when there is no such source.
        """
        config = config or StoreConfig.from_env()
        _check_source_name(source_name)
        store = open_client(config)
        chunks = store.delete(source_name)
        if chunks is None:
            raise _unknown(source_name, store, config, how=False)
        return chunks

    def count(self) -> int:
        """The number of documents in this source."""
        return self._source.count()

    def copy_to(self, config: StoreConfig, *, source_name: Optional[str] = None) -> "QdrantWrapper":
        """Copy this source, its vectors as stored (nothing is embedded again), into the
        store ``config`` (a Qdrant server: ``StoreConfig.server(url)``) as ``source_name``
        (default: the same name), replacing what that source held there; return the copy.
        """
        name = _check_source_name(source_name or self.source_name)
        store = open_client(config)
        if not _copy(self._source, store, name):
            raise EmptySourceError(f"source {self.source_name!r} holds no documents to copy")
        return type(self).reuse(source_name=name, embedding_cls=lambda: self.embedding, config=config)

    @property
    def vector_size(self) -> int:
        """The length of the vectors stored in this source."""
        return self._source.vector_size

    def iter_chunks(self, *, with_vectors: bool = False) -> Iterator[StoredChunk]:
        """Every stored chunk of this source, in stored order (the order of indexing for
        sources indexed by this version), read a page at a time."""
        return self._source.chunks(with_vectors)

    def search_by_vector(self, vector: Sequence[float], k: int = 4) -> List[Tuple[StoredChunk, float]]:
        """The ``k`` chunks closest to ``vector`` with their cosine similarity, best first."""
        if k < 1:
            return []
        return self._source.search(vector, k)
