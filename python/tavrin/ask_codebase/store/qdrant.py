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

from __future__ import annotations

import threading
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Dict,
    Iterable,
    Iterator,
    List,
    Mapping,
    Optional,
    Sequence,
    Tuple,
    Type,
    Union,
)

from tavrin._dirs import data_dir
from tavrin.ask_codebase.store.base import (
    CONTENT_KEY,
    ENGINES,
    INDEX_KEY,
    METADATA_KEY,
    SourceInfo,
    StoreConfig,
    StoredChunk,
    _batched,
    _check_source_name,
    _factory_name,
    _vectors,
    embedded_text,
)
from tavrin.ask_codebase.store.edge import _EdgeStore
from tavrin.ask_codebase.store.legacy import _copy
from tavrin.ask_codebase.store.server import _ClientStore
from tavrin.errors import (
    EmptySourceError,
    InvalidSourceNameError,
    StoreError,
    StoreUnavailableError,
    UnknownSourceError,
)

if TYPE_CHECKING:
    from langchain.embeddings.base import Embeddings
    from langchain.schema import Document

    from tavrin.ask_codebase.store.adapter import SourceVectorStore

__all__ = [
    "CONTENT_KEY",
    "ENGINES",
    "INDEX_KEY",
    "METADATA_KEY",
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
    "embedded_text",
    "open_client",
]


# What makes an embeddings object: an Embeddings class, or any callable without
# arguments that returns one (functools.partial(SomeEmbeddings, size=384), ...).
EmbeddingFactory = Union[Type["Embeddings"], Callable[[], "Embeddings"]]


def __getattr__(name: str) -> Any:
    # langchain's face is imported when first used: it imports all of langchain
    if name == "SourceVectorStore":
        from tavrin.ask_codebase.store.adapter import SourceVectorStore

        return SourceVectorStore
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


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


# ---------------------------------------------------------------- the wrapper


def _unknown(source_name: str, store: _Store, config: StoreConfig, how: bool) -> UnknownSourceError:
    known = store.names()
    listing = f"known sources: {', '.join(known)}" if known else "no source has been indexed yet"
    hint = f" Run `tavrin index PATH --source {source_name}` to index it." if how else ""
    return UnknownSourceError(f"unknown source {source_name!r} in {config.describe()}; {listing}.{hint}")


def _index_record(embedding_cls: Any, embedding_name: Optional[str], embed_path: bool) -> Dict[str, Any]:
    """What a source records of its indexing: the embeddings' name, when, and what was embedded."""
    return {
        "embedding": embedding_name or _factory_name(embedding_cls),
        "indexed": datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC"),
        "embedded_text": "path+text" if embed_path else "text",
    }


def _embed_into(writer: Any, embedding: Any, chunks: Iterable[Any], batch_size: int, how: str) -> List[int]:
    """Embed ``chunks`` ``batch_size`` at a time (their text as ``how`` says) and add them to
    ``writer``; the point ids they were given."""
    ids: List[int] = []
    for batch in _batched(chunks, batch_size):
        texts = [embedded_text(d.page_content, d.metadata, how) for d in batch]
        ids += writer.add(batch, _vectors(embedding, texts, writer.size))
    return ids


def _index_settings(settings: Optional[Dict[str, Any]], embedding_name: str, embed_path: bool) -> Dict[str, Any]:
    """What must not change between two runs for one to update the other's source."""
    return {**(settings or {}), "embedding": embedding_name, "embedded_text": "path+text" if embed_path else "text"}


def _file_entry(
    content_hash: str, ids: List[int], stats: Optional[Mapping[str, Sequence[int]]], key: str
) -> Dict[str, Any]:
    """A file's entry in a source's files table: its content hash, its chunks' point ids
    and, when known, the status it had when it was hashed."""
    entry: Dict[str, Any] = {"hash": content_hash, "ids": ids}
    stat = stats.get(key) if stats is not None else None
    if stat is not None:
        entry["stat"] = list(stat)
    return entry


@dataclass(frozen=True)
class IndexUpdate:
    """What ``QdrantWrapper.index_files`` did: files kept as stored, changed (split and
    embedded again), added and removed; ``up_to_date`` when nothing had changed."""

    source: str
    unchanged: int
    changed: int
    added: int
    removed: int
    up_to_date: bool = False


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
        self._qdrant: Optional["SourceVectorStore"] = None

    def __repr__(self) -> str:
        return f"<{type(self).__name__} source={self.source_name!r}>"

    @property
    def qdrant(self) -> "SourceVectorStore":
        """langchain's vector store over this source (made when first used)."""
        if self._qdrant is None:
            from tavrin.ask_codebase.store.adapter import SourceVectorStore

            self._qdrant = SourceVectorStore(self._source, self.embedding)
        return self._qdrant

    @qdrant.setter
    def qdrant(self, value: "SourceVectorStore") -> None:
        self._qdrant = value

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
        embed_path: bool = False,
    ) -> "QdrantWrapper":
        """Index ``documents`` as the source ``source_name``, replacing its earlier content.

        Documents are embedded ``batch_size`` at a time and written in bulk into a new
        generation of the source; the source switches to it only when all of them are in.
        If anything fails or is interrupted (or there are no documents: ``EmptySourceError``),
        the new generation is removed and the source keeps what it held before. Another
        process writing the same local source at the same time is refused with
        ``StoreUnavailableError``. ``embedding_name`` is recorded with the source
        (default: "module:name" of ``embedding_cls``). With ``embed_path``, each chunk is
        embedded with its file path on a line before its text (``embedded_text``), which
        helps find code by the names of its files; the stored text stays the chunk's.
        """
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, got {batch_size}")
        config = config or StoreConfig.from_env()
        _check_source_name(source_name)
        store = open_client(config)
        embedding = embedding_cls()
        record = _index_record(embedding_cls, embedding_name, embed_path)
        writer = store.writer(source_name, record)
        try:
            _embed_into(writer, embedding, documents, batch_size, record["embedded_text"])
            if writer.empty:
                raise EmptySourceError(
                    f"no documents to index for source {source_name!r}; the source was left unchanged"
                )
        except BaseException:
            writer.abort()
            raise
        source = writer.commit()
        return cls(source_name, embedding, source, store.client)

    @classmethod
    def index_files(
        cls,
        source_name: str,
        files: Mapping[str, str],
        load: Callable[[List[str]], Iterable[Tuple[str, Iterable[Document]]]],
        embedding_cls: EmbeddingFactory,
        *,
        settings: Optional[Dict[str, Any]] = None,
        full: bool = False,
        config: Optional[StoreConfig] = None,
        batch_size: int = 64,
        embedding_name: Optional[str] = None,
        embed_path: bool = False,
        stats: Optional[Mapping[str, Sequence[int]]] = None,
    ) -> IndexUpdate:
        """Index the files ``files`` (key -> hash of its content) as the source
        ``source_name``, re-splitting and re-embedding only what changed.

        When the local source was indexed from files before, with the same ``settings``
        (and embeddings), only the files whose hash changed or that are new are loaded
        (``load(keys)`` yields (key, chunks) for each of them), the chunks of changed and
        removed files are dropped, and everything else is kept as stored. Otherwise, or
        with ``full``, every file is loaded and the source is written anew. As with
        ``from_documents``, the source changes only when the new version is complete; a
        failed or interrupted run leaves it as it was. Nothing is written when nothing
        changed. ``stats`` (key -> the file's ``fingerprint``, for files whose hash may be
        taken on trust next time) is recorded with the files (``files_table``).
        """
        from tavrin.ask_codebase.store.edge import _EdgeStore

        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, got {batch_size}")
        config = config or StoreConfig.from_env()
        _check_source_name(source_name)
        store = open_client(config)
        embedding = embedding_cls()
        record = _index_record(embedding_cls, embedding_name, embed_path)
        how = record["embedded_text"]
        wanted = _index_settings(settings, record["embedding"], embed_path)
        writer: Any = store.writer(source_name, record)
        try:
            previous: Optional[Dict[str, Any]] = None
            if not full and isinstance(store, _EdgeStore):
                table = writer.live_files()
                if table is not None and table.get("settings") == wanted:
                    previous = table["files"]
            keys = list(files)
            kept: Dict[str, Any] = {}
            removed = 0
            if previous is not None:
                kept = {k: previous[k] for k in keys if k in previous and previous[k].get("hash") == files[k]}
                keys = [k for k in keys if k not in kept]
                gone = [k for k in previous if k not in kept]
                if not keys and not gone:
                    writer.abort()
                    return IndexUpdate(source_name, len(kept), 0, 0, 0, up_to_date=True)
                writer.start_from_live()
                writer.drop([i for k in gone for i in previous[k].get("ids", [])])
                removed = sum(1 for k in previous if k not in files)
            table_files = {k: _file_entry(entry["hash"], entry.get("ids", []), stats, k) for k, entry in kept.items()}
            for key, chunks in load(keys):
                ids = _embed_into(writer, embedding, chunks, batch_size, how)
                table_files[key] = _file_entry(files[key], ids, stats, key)
            for key in keys:  # files that gave no chunk
                table_files.setdefault(key, _file_entry(files[key], [], stats, key))
            if writer.empty:
                raise EmptySourceError(
                    f"no documents to index for source {source_name!r}; the source was left unchanged"
                )
            if isinstance(store, _EdgeStore):
                writer.files, writer.settings = table_files, wanted
        except BaseException:
            writer.abort()
            raise
        writer.commit()
        changed = len(keys) - sum(1 for k in keys if previous is None or k not in previous)
        added = len(keys) - changed
        return IndexUpdate(source_name, len(kept), changed if previous is not None else 0, added, removed)

    @staticmethod
    def is_up_to_date(
        source_name: str,
        files: Mapping[str, str],
        *,
        embedding_name: str,
        settings: Optional[Dict[str, Any]] = None,
        embed_path: bool = False,
        config: Optional[StoreConfig] = None,
        table: Optional[Mapping[str, Any]] = None,
    ) -> bool:
        """Whether ``index_files`` with these arguments would find nothing to do: the local
        source was indexed from exactly these files (key -> content hash) with the same
        settings and embeddings. Reads the source's records only: nothing is embedded.
        ``table`` is the source's ``files_table`` when the caller has read it already."""
        if table is None:
            table = QdrantWrapper.files_table(source_name, config=config)
        if table is None or table.get("settings") != _index_settings(settings, embedding_name, embed_path):
            return False
        previous = table["files"]
        return set(previous) == set(files) and all(previous[k].get("hash") == h for k, h in files.items())

    @staticmethod
    def files_table(source_name: str, *, config: Optional[StoreConfig] = None) -> Optional[Dict[str, Any]]:
        """What the local source ``source_name`` records of the files it was indexed from:
        {"settings": the settings of indexing, "files": key -> {"hash": content hash,
        "ids": point ids, "stat": fingerprint (when known)}}; None for a source indexed
        otherwise, an unknown source, or a server."""
        from tavrin.ask_codebase.store.edge import _EdgeStore

        config = config or StoreConfig.from_env()
        _check_source_name(source_name)
        store = open_client(config)
        return store.files_table(source_name) if isinstance(store, _EdgeStore) else None

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

    @property
    def embedded_text(self) -> str:
        """How this source's chunks were embedded: "path+text" (their file path, then their
        text: sources indexed by this version) or "text"."""
        return str(self._source.record().get("embedded_text") or "text")

    @property
    def has_lexical(self) -> bool:
        """Whether this source can be searched lexically (sources indexed by earlier
        versions of the local store cannot: index them again)."""
        return self._source.lexical_index() is not None

    def search(
        self,
        query: str,
        k: int = 4,
        *,
        mode: str = "hybrid",
        vector: Optional[Sequence[float]] = None,
        rerank: bool = True,
    ) -> List[Any]:
        """The ``k`` chunks that best answer ``query``, best first, as ``SearchHit``s.

        ``mode`` "dense" ranks by the cosine similarity of the query's vector (``vector``,
        or the query embedded now), "lexical" by BM25 over code-aware terms, "hybrid" (the
        default) fuses both and, unless ``rerank`` is false, ranks again
        (``tavrin.ask_codebase.search``). A source
        without a lexical index raises ``StoreError`` for "lexical" and "hybrid".
        """
        from tavrin.ask_codebase.search import CANDIDATES, SEARCH_MODES, SearchHit

        if mode not in SEARCH_MODES:
            raise ValueError(f"unknown search mode {mode!r}: choose one of {', '.join(SEARCH_MODES)}")
        if k < 1:
            return []
        if mode == "dense":
            v = vector if vector is not None else self.embedding.embed_query(query)
            return [
                SearchHit(chunk, score, dense_rank=rank, lexical_rank=None)
                for rank, (chunk, score) in enumerate(self._source.search(v, k), 1)
            ]
        index = self._source.lexical_index()
        if index is None:
            raise StoreError(
                f"source {self.source_name!r} has no lexical index (it was indexed by an earlier version); "
                f"index it again with `tavrin index PATH --source {self.source_name}`, or search it with --search dense"
            )
        if mode == "lexical":
            hits = index.search(query, k)
            chunks = self._source.retrieve([i for i, _ in hits])
            return [
                SearchHit(chunk, score, dense_rank=None, lexical_rank=rank)
                for rank, (chunk, (_, score)) in enumerate(zip(chunks, hits), 1)
            ]
        n = max(CANDIDATES, 5 * k)
        v = vector if vector is not None else self.embedding.embed_query(query)
        dense = [i for i, _ in self._source.search_ids(v, n)]
        lexical = [i for i, _ in index.search(query, n)]
        weight = getattr(self.embedding, "fusion_weight", None)
        if not isinstance(weight, (int, float)) or isinstance(weight, bool) or not weight >= 0:
            from tavrin.ask_codebase.search import DENSE_WEIGHT

            weight = DENSE_WEIGHT
        fused = index.fuse(query, dense, lexical, k, rerank=rerank, dense_weight=float(weight))
        chunks = self._source.retrieve([f[0] for f in fused])
        return [
            SearchHit(chunk, score, dense_rank=d or None, lexical_rank=lx or None)
            for chunk, (_, score, d, lx) in zip(chunks, fused)
        ]
