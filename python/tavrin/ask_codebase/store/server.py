"""Stores kept by qdrant-client: a Qdrant server (``TAVRIN_QDRANT_URL``), where every
source is a collection behind an alias of its name, or qdrant-client's local mode (the
layout of earlier versions, read to move such stores)."""

import uuid
import warnings
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from tavrin.ask_codebase.store.base import (
    _EDGE_UPDATE,
    _GENERATION,
    _SCROLL,
    CONTENT_KEY,
    INDEX_KEY,
    METADATA_KEY,
    SourceInfo,
    StoreConfig,
    StoredChunk,
    _add_lexical,
    _chunk,
    _new_lexical,
    _plain,
    _text,
)
from tavrin.errors import StoreError, StoreUnavailableError


class _ClientSource:
    """A source in a qdrant-client store: the collection behind an alias."""

    def __init__(self, client: Any, name: str) -> None:
        self.client = client
        self.name = name
        self._lexical: Optional[Any] = None

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

    def lexical_index(self) -> Optional[Any]:
        """The lexical index of the collection, built from its chunks when first asked for
        (a server keeps none beside the vectors); None when its point ids are not integers."""
        if self._lexical is None:
            index = _new_lexical()
            page: List[StoredChunk] = []
            for chunk in self.chunks(with_vectors=False):
                if not chunk.id.isdigit():
                    return None
                page.append(chunk)
                if len(page) == _EDGE_UPDATE:
                    _add_lexical(index, [int(c.id) for c in page], [c.to_document() for c in page])
                    page = []
            _add_lexical(index, [int(c.id) for c in page], [c.to_document() for c in page])
            self._lexical = index
        return self._lexical

    def search_ids(self, vector: Sequence[float], k: int) -> List[Tuple[int, float]]:
        hits = self.client.search(self.name, query_vector=[float(x) for x in vector], limit=k, with_payload=False)
        return [(int(h.id), float(h.score)) for h in hits]

    def retrieve(self, ids: Sequence[int]) -> List[StoredChunk]:
        records = self.client.retrieve(self.name, ids=list(ids), with_payload=True, with_vectors=False)
        by_id = {int(r.id): r for r in records}
        return [_chunk(i, by_id[i].payload) for i in ids if i in by_id]

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

    def add(self, documents: Sequence[Any], vectors: Sequence[List[float]]) -> List[int]:
        """Store chunks with their vectors; return the point ids they were given."""
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
        return ids

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
