"""A source that ``tavrin index`` built, as a ``Retriever`` to evaluate.

Searches go through the store's own search (the local store searches exactly; a Qdrant
server at ``TAVRIN_QDRANT_URL`` searches its approximate HNSW index), reached through
``QdrantWrapper`` so that both work alike. Nothing is written to the store: ``index``
only matches the ground truth's documents to the stored chunks by their text
(whitespace runs count as one space), and ``search`` returns, for each hit, the
ground-truth document its chunk matches, or the chunk's own text (which the ground truth
does not know, so it counts as not relevant).
"""

from itertools import islice
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from tavrin.evaluation.retrieval.dravik import Retriever

__all__ = ["QdrantSourceRetriever"]


def _key(text: str) -> str:
    return " ".join(text.split())


class QdrantSourceRetriever(Retriever):
    """Evaluates the indexed source ``wrapper`` (a ``QdrantWrapper``)."""

    def __init__(self, wrapper: Any, embeddings_name: str, exact: bool = False) -> None:
        self.wrapper = wrapper
        self.embeddings_name = embeddings_name
        self.exact = exact
        self._chunks: Optional[Dict[str, List[Any]]] = None  # text key -> point ids
        self._vectors: Optional[Tuple[List[Any], np.ndarray]] = None
        self._matched: Dict[str, str] = {}  # text key -> ground-truth document
        self._unmatched: List[str] = []
        self._stored = 0
        self._approximate: Dict[str, List[Any]] = {}

    @classmethod
    def open(cls, source: str, embeddings_name: Optional[str] = None, *, exact: bool = False,
             config: Any = None) -> "QdrantSourceRetriever":
        """The source ``source`` of the store that the environment selects, searched with the
        embeddings ``embeddings_name`` (default: $TAVRIN_EMBEDDINGS or hashing).

        Raises ``ValueError`` with a one-line message when the source does not exist, is
        empty, or holds vectors of other embeddings.
        """
        import click

        from tavrin.ask_codebase.commands import _default_embeddings, resolve_embeddings
        from tavrin.ask_codebase.store.qdrant import QdrantWrapper, StoreConfig, StoreError

        name = embeddings_name or _default_embeddings()
        try:
            factory = resolve_embeddings(name)
        except click.BadParameter as exc:
            raise ValueError(f"--qdrant-embeddings: {exc.message}") from exc
        try:
            wrapper = QdrantWrapper.reuse(source, factory, config=config or StoreConfig.from_env())
            size = wrapper.vector_size
        except StoreError as exc:
            raise ValueError(f"--qdrant-source {source!r}: {exc}") from exc
        retriever = cls(wrapper, name, exact)
        retriever._check_embeddings(size)
        return retriever

    # ------------------------------------------------------------ store access

    @property
    def _source(self) -> str:
        return self.wrapper.source_name

    def _check_embeddings(self, size: int) -> None:
        """Refuse a source whose vectors these embeddings did not make."""
        probe = self.wrapper.embedding.embed_query("probe")
        if len(probe) != size:
            raise ValueError(
                f"--qdrant-source {self._source!r} holds vectors of length {size}, but the "
                f"{self.embeddings_name!r} embeddings make vectors of length {len(probe)}: it was indexed with "
                "other embeddings (name them with --qdrant-embeddings)"
            )
        sample = list(islice(self.wrapper.iter_chunks(with_vectors=True), 3))
        ours = np.asarray(self.wrapper.embedding.embed_documents([c.page_content for c in sample]), dtype=float)
        theirs = np.asarray([c.vector for c in sample], dtype=float)
        norms = np.linalg.norm(ours, axis=1) * np.linalg.norm(theirs, axis=1)
        cosines = np.where(norms > 0, (ours * theirs).sum(axis=1) / np.where(norms > 0, norms, 1), 1.0)
        if sample and float(cosines.min()) < 0.99:
            raise ValueError(
                f"--qdrant-source {self._source!r} holds vectors that the {self.embeddings_name!r} embeddings "
                "did not make: it was indexed with other embeddings (name them with --qdrant-embeddings)"
            )

    def _load_chunks(self) -> None:
        chunks: Dict[str, List[Any]] = {}
        ids: List[Any] = []
        vectors: List[Any] = []
        for chunk in self.wrapper.iter_chunks(with_vectors=self.exact):
            chunks.setdefault(_key(chunk.page_content), []).append(chunk.id)
            if self.exact:
                ids.append(chunk.id)
                vectors.append(chunk.vector)
        self._chunks = chunks
        self._stored = sum(len(v) for v in chunks.values())
        if self.exact:
            matrix = np.asarray(vectors, dtype=float)
            norms = np.linalg.norm(matrix, axis=1, keepdims=True)
            self._vectors = (ids, matrix / np.where(norms > 0, norms, 1.0))

    # ------------------------------------------------------------ Retriever

    def index(self, docs: List[str]) -> None:
        """Match the ground truth's documents to the stored chunks (the store is not changed)."""
        if self._chunks is None:
            self._load_chunks()
        assert self._chunks is not None
        for doc in docs:
            key = _key(doc)
            if key in self._chunks:
                self._matched.setdefault(key, doc)
            else:
                self._unmatched.append(doc)

    def search(self, query: str, k: int = 5) -> List[str]:
        if not self._matched:
            raise ValueError(
                f"the ground truth matches no stored chunk of --qdrant-source {self._source!r} "
                f"({len(self._unmatched)} documents, {self._stored} chunks): was it made from what was indexed?"
            )
        vector = self.wrapper.embedding.embed_query(query)
        hits = self.wrapper.search_by_vector(list(map(float, vector)), k)
        self._approximate[query] = [chunk.id for chunk, _ in hits]
        return [self._matched.get(_key(chunk.page_content), chunk.page_content) for chunk, _ in hits]

    def evaluation_details(self, queries: List[str], k: int) -> Dict[str, Any]:
        """What the report says besides the metrics: chunk counts, unmatched documents and,
        with ``exact``, the overlap of Qdrant's top k with the exact top k."""
        details: Dict[str, Any] = {
            "stored_chunks": self._stored,
            "ground_truth_documents_matching_no_chunk": len(self._unmatched),
        }
        if self.exact and self._vectors is not None:
            ids, matrix = self._vectors
            overlaps = []
            for query in queries:
                approximate = self._approximate.get(query, [])[:k]
                q = np.asarray(self.wrapper.embedding.embed_query(query), dtype=float)
                n = np.linalg.norm(q)
                sims = matrix @ (q / n if n > 0 else q)
                top = min(k, len(ids))
                best = np.argpartition(-sims, top - 1)[:top] if top else []
                exact_ids = {ids[i] for i in best}
                overlaps.append(len(exact_ids & set(approximate)) / top if top else 1.0)
            details[f"exact_top_{k}_overlap"] = round(float(np.mean(overlaps)), 4) if overlaps else 1.0
        return details
