"""Indexed sources in a Qdrant vector store.

Every indexed source (one code base, under a name the user chose) is one Qdrant
collection of document chunks and their vectors. By default the store is Qdrant's
embedded local mode in a folder on this machine (``$TAVRIN_DATA_DIR/qdrant``, or
``~/.local/share/tavrin/qdrant``); when ``TAVRIN_QDRANT_URL`` is set, a Qdrant server at
that address is used instead (``TAVRIN_QDRANT_API_KEY`` for a server that wants a key),
with no change to the code that uses the store.

Every point of a source also carries, under the payload key ``tavrin_index``, the name
of the embeddings it was indexed with and the time of indexing; ``describe_sources``
reports them with the number of chunks.

A source name is a Qdrant *alias*. Indexing writes into a fresh collection and, only
once every document is embedded and stored, points the alias at it and drops the
collection it pointed to before. A failed or interrupted indexing therefore leaves the
source as it was: readers never see half a collection.
"""

import os
import re
import threading
import uuid
import warnings
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Type, Union

from langchain.embeddings.base import Embeddings
from langchain.schema import Document
from langchain.vectorstores import Qdrant
from qdrant_client import QdrantClient
from qdrant_client.http import models as rest
from qdrant_client.http.exceptions import ApiException

from tavrin._dirs import data_dir

__all__ = [
    "EmptySourceError",
    "InvalidSourceNameError",
    "QdrantWrapper",
    "SourceInfo",
    "StoreConfig",
    "StoreError",
    "StoreUnavailableError",
    "UnknownSourceError",
    "close_clients",
    "data_dir",
    "open_client",
]

# What makes an embeddings object: an Embeddings class, or any callable without
# arguments that returns one (functools.partial(SomeEmbeddings, size=384), ...).
EmbeddingFactory = Union[Type[Embeddings], Callable[[], Embeddings]]

_SOURCE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,99}")
# Collections written by this module are named "<source>--<12 hex digits>".
_GENERATION = "--"


class StoreError(RuntimeError):
    """The vector store cannot do what was asked; the message says what to do."""


class UnknownSourceError(StoreError, LookupError):
    """No source of that name has been indexed."""


class EmptySourceError(StoreError):
    """A source with no documents: nothing to index, or nothing to search."""


class InvalidSourceNameError(StoreError, ValueError):
    """A source name that cannot name a collection."""


class StoreUnavailableError(StoreError):
    """The store cannot be opened: an unreachable server, or a local folder in use."""


@dataclass(frozen=True)
class StoreConfig:
    """Where the store is: a Qdrant server at ``url``, or else the local folder ``path``."""

    path: Path
    url: Optional[str] = None
    api_key: Optional[str] = None
    timeout: float = 10.0

    @classmethod
    def from_env(cls) -> "StoreConfig":
        """The store that the environment selects (``TAVRIN_QDRANT_URL``, ``TAVRIN_DATA_DIR``)."""
        return cls(
            path=data_dir() / "qdrant",
            url=os.environ.get("TAVRIN_QDRANT_URL") or None,
            api_key=os.environ.get("TAVRIN_QDRANT_API_KEY") or None,
        )

    def describe(self) -> str:
        """A short description for messages."""
        if self.url:
            return f"the Qdrant server at {self.url} (TAVRIN_QDRANT_URL)"
        return f"the local store in {self.path}"


# The payload key of the indexing record every point carries.
INDEX_KEY = "tavrin_index"


@dataclass(frozen=True)
class SourceInfo:
    """One indexed source: its name, its number of chunks, and (when recorded) the
    embeddings it was indexed with and when, as "YYYY-MM-DD HH:MM:SS UTC"."""

    name: str
    chunks: int
    embedding: Optional[str] = None
    indexed: Optional[str] = None


def _factory_name(factory: Any) -> str:
    module = getattr(factory, "__module__", None)
    name = getattr(factory, "__qualname__", None) or getattr(factory, "__name__", None)
    if module and name and "<lambda>" not in name:
        return f"{module}:{name}"
    return type(factory).__name__


_clients: Dict[Tuple[Any, ...], QdrantClient] = {}
_clients_lock = threading.Lock()


def _client_key(config: StoreConfig) -> Tuple[Any, ...]:
    if config.url:
        return ("url", config.url, config.api_key)
    return ("path", str(config.path.resolve()))


def open_client(config: Optional[StoreConfig] = None) -> QdrantClient:
    """A client of the configured store, shared within this process.

    The local store allows one client per folder (Qdrant locks the folder), so clients
    are kept and reused per location. A server is contacted once when its client is
    made; a server that does not answer raises ``StoreUnavailableError``.
    """
    config = config or StoreConfig.from_env()
    key = _client_key(config)
    with _clients_lock:
        client = _clients.get(key)
        if client is None:
            client = _connect(config)
            _clients[key] = client
        return client


def _text(exc: BaseException) -> str:
    return str(exc).strip().rstrip(".") or type(exc).__name__


def _connect(config: StoreConfig) -> QdrantClient:
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


def close_clients() -> None:
    """Close every client opened by ``open_client`` (this releases local store folders)."""
    with _clients_lock:
        clients = list(_clients.values())
        _clients.clear()
    for client in clients:
        client.close()


def _check_source_name(source_name: str) -> str:
    if not isinstance(source_name, str) or not _SOURCE_NAME.fullmatch(source_name) or _GENERATION in source_name:
        raise InvalidSourceNameError(
            f"invalid source name {source_name!r}: use 1 to 100 letters, digits, '_', '.' or '-', "
            f"starting with a letter or digit and without {_GENERATION!r}"
        )
    return source_name


def _aliases(client: QdrantClient) -> Dict[str, str]:
    return {a.alias_name: a.collection_name for a in client.get_aliases().aliases}


def _collections(client: QdrantClient) -> List[str]:
    return [c.name for c in client.get_collections().collections]


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
    out = []
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


class QdrantWrapper:
    """One indexed source: a Qdrant collection and the embedding that searches it.

    ``qdrant`` is langchain's ``Qdrant`` vector store over the source's collection;
    ``qdrant.as_retriever(...)`` gives a retriever for question-answering chains.
    Obtain a wrapper with ``reuse`` (a source indexed earlier) or ``from_documents``
    (index documents, replacing what the source held).
    """

    def __init__(self, source_name: str, embedding: Embeddings, client: QdrantClient) -> None:
        self.source_name = source_name
        self.embedding = embedding
        self.client = client
        self.qdrant = Qdrant(client=client, collection_name=source_name, embeddings=embedding)

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
        client = open_client(config)
        if source_name not in _aliases(client) and source_name not in _collections(client):
            known = cls.list_sources(config=config)
            listing = f"known sources: {', '.join(known)}" if known else "no source has been indexed yet"
            raise UnknownSourceError(
                f"unknown source {source_name!r} in {config.describe()}; {listing}. "
                f"Run `tavrin index PATH --source {source_name}` to index it."
            )
        if client.count(source_name, exact=True).count == 0:
            raise EmptySourceError(
                f"source {source_name!r} holds no documents; "
                f"run `tavrin index PATH --source {source_name}` to index it again."
            )
        return cls(source_name, embedding_cls(), client)

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

        Documents are embedded and stored ``batch_size`` at a time into a new collection;
        the source switches to it only when all of them are in. If anything fails (or
        there are no documents: ``EmptySourceError``), the new collection is removed and
        the source keeps what it held before. ``embedding_name`` is recorded with the
        source (default: "module:name" of ``embedding_cls``).
        """
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, got {batch_size}")
        config = config or StoreConfig.from_env()
        _check_source_name(source_name)
        client = open_client(config)
        embedding = embedding_cls()
        record = {
            "embedding": embedding_name or _factory_name(embedding_cls),
            "indexed": datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC"),
        }
        generation = f"{source_name}{_GENERATION}{uuid.uuid4().hex[:12]}"
        created = False
        size: Optional[int] = None
        try:
            for batch in _batched(documents, batch_size):
                vectors = _vectors(embedding, [d.page_content for d in batch], size)
                if not created:
                    size = len(vectors[0])
                    client.create_collection(
                        generation, vectors_config=rest.VectorParams(size=size, distance=rest.Distance.COSINE)
                    )
                    created = True
                client.upsert(
                    generation,
                    points=rest.Batch(
                        ids=[str(uuid.uuid4()) for _ in batch],
                        vectors=vectors,
                        payloads=[
                            {Qdrant.CONTENT_KEY: d.page_content, Qdrant.METADATA_KEY: d.metadata, INDEX_KEY: record}
                            for d in batch
                        ],
                    ),
                    wait=True,
                )
            if not created:
                raise EmptySourceError(
                    f"no documents to index for source {source_name!r}; the source was left unchanged"
                )
            previous = cls._switch(client, source_name, generation)
        except BaseException:
            if created:
                try:
                    client.delete_collection(generation)
                except Exception:
                    pass  # the original error matters more; a stray collection is dropped later
            raise
        for name in previous:
            try:
                client.delete_collection(name)
            except Exception as exc:  # the source is complete and live; only space is lost
                warnings.warn(f"could not remove the replaced collection {name!r}: {exc}", RuntimeWarning)
        if not config.url:
            cls._drop_strays(client, source_name)
        return cls(source_name, embedding, client)

    @staticmethod
    def _switch(client: QdrantClient, source_name: str, generation: str) -> List[str]:
        """Point the alias ``source_name`` at ``generation``; return the collections it replaced."""
        aliases = _aliases(client)
        operations: List[Any] = []
        previous: List[str] = []
        if source_name in aliases:
            previous.append(aliases[source_name])
            operations.append(rest.DeleteAliasOperation(delete_alias=rest.DeleteAlias(alias_name=source_name)))
        elif source_name in _collections(client):
            # A collection made under the bare name (not by this module): it gives way to
            # the alias now that the new content is complete.
            client.delete_collection(source_name)
        operations.append(
            rest.CreateAliasOperation(
                create_alias=rest.CreateAlias(collection_name=generation, alias_name=source_name)
            )
        )
        client.update_collection_aliases(change_aliases_operations=operations)
        return previous

    @staticmethod
    def _drop_strays(client: QdrantClient, source_name: str) -> None:
        """Remove collections of this source that no alias points to (left by a killed run).

        Only for the local store, which one process holds at a time: on a server another
        process may be indexing the same source right now.
        """
        used = set(_aliases(client).values())
        prefix = f"{source_name}{_GENERATION}"
        for name in _collections(client):
            if name.startswith(prefix) and name not in used:
                client.delete_collection(name)

    @staticmethod
    def list_sources(*, config: Optional[StoreConfig] = None) -> List[str]:
        """The names of the sources in the store, sorted."""
        client = open_client(config)
        names = set(_aliases(client))
        names.update(c for c in _collections(client) if _GENERATION not in c)
        return sorted(names)

    @staticmethod
    def describe_sources(*, config: Optional[StoreConfig] = None) -> List[SourceInfo]:
        """Every source in the store with its chunk count, embeddings and date, by name."""
        client = open_client(config)
        infos = []
        for name in QdrantWrapper.list_sources(config=config):
            chunks = client.count(name, exact=True).count
            record: Dict[str, Any] = {}
            points, _ = client.scroll(name, limit=1, with_payload=[INDEX_KEY], with_vectors=False)
            if points and isinstance((points[0].payload or {}).get(INDEX_KEY), dict):
                record = points[0].payload[INDEX_KEY]
            infos.append(SourceInfo(name, chunks, record.get("embedding"), record.get("indexed")))
        return infos

    @staticmethod
    def delete_source(source_name: str, *, config: Optional[StoreConfig] = None) -> int:
        """Remove the source ``source_name`` (its alias and collection); return its chunk count.

        Raises ``UnknownSourceError`` (listing the known sources) when there is no such source.
        """
        config = config or StoreConfig.from_env()
        _check_source_name(source_name)
        client = open_client(config)
        aliases = _aliases(client)
        if source_name not in aliases and source_name not in _collections(client):
            known = QdrantWrapper.list_sources(config=config)
            listing = f"known sources: {', '.join(known)}" if known else "no source has been indexed yet"
            raise UnknownSourceError(f"unknown source {source_name!r} in {config.describe()}; {listing}.")
        chunks = client.count(source_name, exact=True).count
        if source_name in aliases:
            client.update_collection_aliases(
                change_aliases_operations=[
                    rest.DeleteAliasOperation(delete_alias=rest.DeleteAlias(alias_name=source_name))
                ]
            )
            client.delete_collection(aliases[source_name])
        else:
            client.delete_collection(source_name)
        return chunks

    def count(self) -> int:
        """The number of documents in this source."""
        return self.client.count(self.source_name, exact=True).count

    @property
    def vector_size(self) -> int:
        """The length of the vectors stored in this source."""
        vectors = self.client.get_collection(self.source_name).config.params.vectors
        if isinstance(vectors, dict):  # named vectors: not written by this module
            raise StoreError(f"source {self.source_name!r} has named vectors, which this wrapper does not use")
        return int(vectors.size)

    # ------------------------------------------------------------ stored chunks

    def iter_chunks(self, *, with_vectors: bool = False) -> Iterator["StoredChunk"]:
        """Every chunk stored in this source, in the store's order (a scroll in pages),
        with its vector when ``with_vectors``."""
        offset = None
        while True:
            points, offset = self.client.scroll(
                self.source_name, limit=256, offset=offset, with_payload=True, with_vectors=with_vectors)
            for point in points:
                payload = point.payload or {}
                metadata = payload.get(Qdrant.METADATA_KEY)
                vector = point.vector if with_vectors else None
                yield StoredChunk(
                    id=str(point.id),
                    page_content=str(payload.get(Qdrant.CONTENT_KEY) or ""),
                    metadata=dict(metadata) if isinstance(metadata, dict) else {},
                    vector=[float(x) for x in vector] if isinstance(vector, list) else None,
                )
            if offset is None:
                break


@dataclass(frozen=True)
class StoredChunk:
    """One chunk of a source as stored: its point id, text, metadata and (when asked for) vector."""

    id: str
    page_content: str
    metadata: Dict[str, Any]
    vector: Optional[List[float]] = None
