"""A source that ``tavrin index`` built, as a ``Retriever`` to evaluate.

Searches go through Qdrant's own search (approximate HNSW on a server; the embedded
local store searches exactly), in the local store or at ``TAVRIN_QDRANT_URL``. Nothing is
written to the store: ``index`` only matches the ground truth's documents to the stored
chunks, and ``search`` returns, for each hit, the ground-truth document its chunk
matches, or the chunk's own text (which the ground truth does not know, so it counts as
not relevant).

A ground-truth document matches a chunk by its text (whitespace runs count as one
space), or, when it is a file reference (``path`` or ``path#Lstart-Lend``, see
``references``), by the chunk's file and line range. Given the judgements
(``judgements=``), each hit is matched against the documents judged for the query being
searched: a chunk that matches several of them stands for the best graded one not yet
found higher up the list, so one document is found once, by its first chunk in the list.
With ``by_file``, ``search`` returns the files of the hits instead, each once, in the
order of their first hit.
"""

from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Optional, Sequence, Set, Tuple

import numpy as np

from tavrin.errors import RetrieverError
from tavrin.evaluation.retrieval.dravik import Retriever
from tavrin.evaluation.retrieval.references import FileReference, parse_reference

__all__ = ["QdrantSourceRetriever"]


def _key(text: str) -> str:
    return " ".join(text.split())


def _same_as_documents(embedding: Any) -> bool:
    """Whether ``embedding`` embeds a query as it embeds a document (tavrin's own
    embeddings do), so that queries can be embedded in one call."""
    from tavrin.embeddings import CodeHashingEmbeddings, MiniLMEmbeddings

    return isinstance(embedding, (CodeHashingEmbeddings, MiniLMEmbeddings))


@dataclass(frozen=True)
class _Chunk:
    id: str
    key: str
    metadata: Dict[str, Any]

    @property
    def file(self) -> str:
        return str(self.metadata.get("filepath") or self.metadata.get("source") or "")


class QdrantSourceRetriever(Retriever):
    """Evaluates the indexed source ``wrapper`` (a ``QdrantWrapper``)."""

    def __init__(
        self,
        wrapper: Any,
        embeddings_name: str,
        exact: bool = False,
        judgements: Optional[Iterable[Tuple[str, str, float]]] = None,
        by_file: bool = False,
        search: str = "dense",
    ) -> None:
        from tavrin.ask_codebase.search import SEARCH_MODES

        if search not in SEARCH_MODES:
            raise ValueError(f"unknown search {search!r}: choose one of {', '.join(SEARCH_MODES)}")
        self.wrapper = wrapper
        self.embeddings_name = embeddings_name
        self.exact = exact
        self.by_file = by_file
        self.search_mode = search
        self._query_vectors: Dict[str, List[float]] = {}
        self._chunks: Optional[Dict[str, List[Any]]] = None  # text key -> point ids
        self._stored_chunks: List[_Chunk] = []
        self._vectors: Optional[Tuple[List[Any], np.ndarray]] = None
        self._matched: Dict[str, str] = {}  # text key -> ground-truth document
        self._unmatched: List[str] = []
        self._references: Dict[str, FileReference] = {}
        self._references_without_file: List[str] = []
        self._stored = 0
        self._approximate: Dict[str, List[Any]] = {}
        self._texts: Dict[str, str] = {}  # query key -> text searched, where they differ
        # query -> (text key -> [(document, grade)], [(reference, document, grade)])
        self._judged: Optional[
            Dict[str, Tuple[Dict[str, List[Tuple[str, float]]], List[Tuple[FileReference, str, float]]]]
        ] = None
        if judgements is not None:
            self._judged = {}
            for query, document, grade in judgements:
                texts, references = self._judged.setdefault(query, ({}, []))
                reference = parse_reference(document)
                if reference is None:
                    texts.setdefault(_key(document), []).append((document, float(grade)))
                else:
                    references.append((reference, document, float(grade)))

    @classmethod
    def open(
        cls,
        source: str,
        embeddings_name: Optional[str] = None,
        *,
        exact: bool = False,
        config: Any = None,
        judgements: Optional[Iterable[Tuple[str, str, float]]] = None,
        by_file: bool = False,
        search: str = "dense",
    ) -> "QdrantSourceRetriever":
        """The source ``source`` of the store that the environment selects, searched with the
        embeddings ``embeddings_name`` (default: $TAVRIN_EMBEDDINGS or hashing) by
        ``search`` ("dense", "lexical" or "hybrid", see ``QdrantWrapper.search``); its
        chunks are read at once.

        Raises ``RetrieverError`` (a ``ValueError``) with a one-line message when the source does not exist, is
        empty, holds vectors of other embeddings, or has no lexical index for a lexical or
        hybrid search.
        """
        from tavrin.ask_codebase.store.qdrant import QdrantWrapper, StoreConfig, StoreError
        from tavrin.embeddings import EmbeddingsError, default_embeddings, resolve_embeddings

        name = embeddings_name or default_embeddings()
        try:
            factory = resolve_embeddings(name)
        except EmbeddingsError as exc:
            raise RetrieverError(f"--qdrant-embeddings: {exc}") from exc
        try:
            wrapper = QdrantWrapper.reuse(source, factory, config=config or StoreConfig.from_env())
            size = wrapper.vector_size
        except StoreError as exc:
            raise RetrieverError(f"--qdrant-source {source!r}: {exc}") from exc
        retriever = cls(wrapper, name, exact, judgements=judgements, by_file=by_file, search=search)
        if search != "dense" and not wrapper.has_lexical:
            raise RetrieverError(
                f"--qdrant-source {source!r} has no lexical index (it was indexed by an earlier version): "
                f"index it again with `tavrin index PATH --source {source}`, or use --search dense"
            )
        retriever._check_embeddings(size)
        retriever._load_chunks()
        return retriever

    # ------------------------------------------------------------ store access

    @property
    def _source(self) -> str:
        return self.wrapper.source_name

    def _check_embeddings(self, size: int) -> None:
        """Refuse a source whose vectors these embeddings did not make."""
        probe = self.wrapper.embedding.embed_query("probe")
        if len(probe) != size:
            raise RetrieverError(
                f"--qdrant-source {self._source!r} holds vectors of length {size}, but the "
                f"{self.embeddings_name!r} embeddings make vectors of length {len(probe)}: it was indexed with "
                "other embeddings (name them with --qdrant-embeddings)"
            )
        points = []
        for chunk in self.wrapper.iter_chunks(with_vectors=True):
            points.append(chunk)
            if len(points) == 3:
                break
        if not points:
            return
        from tavrin.ask_codebase.store.qdrant import embedded_text

        how = self.wrapper.embedded_text
        texts = [embedded_text(p.page_content, p.metadata, how) for p in points]
        ours = np.asarray(self.wrapper.embedding.embed_documents(texts), dtype=float)
        theirs = np.asarray([p.vector for p in points], dtype=float)
        norms = np.linalg.norm(ours, axis=1) * np.linalg.norm(theirs, axis=1)
        cosines = np.where(norms > 0, (ours * theirs).sum(axis=1) / np.where(norms > 0, norms, 1), 1.0)
        if float(cosines.min()) < 0.99:
            raise RetrieverError(
                f"--qdrant-source {self._source!r} holds vectors that the {self.embeddings_name!r} embeddings "
                "did not make: it was indexed with other embeddings (name them with --qdrant-embeddings)"
            )

    def _load_chunks(self) -> None:
        if self._chunks is not None:
            return
        chunks: Dict[str, List[Any]] = {}
        stored: List[_Chunk] = []
        ids: List[Any] = []
        vectors: List[Any] = []
        for point in self.wrapper.iter_chunks(with_vectors=self.exact):
            chunk = _Chunk(point.id, _key(point.page_content), point.metadata)
            stored.append(chunk)
            chunks.setdefault(chunk.key, []).append(point.id)
            if self.exact:
                ids.append(point.id)
                vectors.append(point.vector)
        self._chunks = chunks
        self._stored_chunks = stored
        self._stored = len(stored)
        if self.exact:
            matrix = np.asarray(vectors, dtype=float)
            norms = np.linalg.norm(matrix, axis=1, keepdims=True)
            self._vectors = (ids, matrix / np.where(norms > 0, norms, 1.0))

    def _search(self, query: str, vector: Optional[List[float]], k: int) -> List[Tuple[Any, str, Dict[str, Any]]]:
        """The store's top ``k`` for ``query`` (whose vector is ``vector``): (point id, text,
        metadata) of each hit."""
        if self.search_mode == "dense":
            assert vector is not None
            hits = [chunk for chunk, _ in self.wrapper.search_by_vector(vector, k)]
        else:
            hits = [hit.chunk for hit in self.wrapper.search(query, k, mode=self.search_mode, vector=vector)]
        return [(chunk.id, chunk.page_content, chunk.metadata) for chunk in hits]

    def _vector(self, query: str) -> Optional[List[float]]:
        if self.search_mode == "lexical":
            return None
        vector = self._query_vectors.pop(query, None)
        if vector is None:
            vector = list(map(float, self.wrapper.embedding.embed_query(query)))
        return vector

    def search_many(self, queries: List[str], k: int) -> List[List[str]]:
        """``search`` of every query, their vectors made in one call of the embeddings."""
        if self.search_mode != "lexical" and queries:
            embedding = self.wrapper.embedding
            batch = getattr(embedding, "embed_queries", None)
            if callable(batch):
                vectors = batch(list(queries))
            elif _same_as_documents(embedding):
                vectors = embedding.embed_documents(list(queries))
            else:
                vectors = [embedding.embed_query(q) for q in queries]
            for query, vector in zip(queries, vectors):
                self._query_vectors[query] = list(map(float, vector))
        return [self.search(query, k) for query in queries]

    # ------------------------------------------------------------ what the source holds

    @property
    def stored_files(self) -> List[str]:
        """The files of the stored chunks, each once, sorted."""
        self._load_chunks()
        return sorted({c.file for c in self._stored_chunks if c.file})

    @property
    def corpus(self) -> Any:
        """What a search runs over: the stored chunks, or their files with ``by_file``."""
        from tavrin.evaluation.retrieval.results import Corpus

        self._load_chunks()
        if self.by_file:
            return Corpus("qdrant_source", len(self.stored_files), "files", self._source)
        return Corpus("qdrant_source", self._stored, "chunks", self._source)

    def files_of(self, document: str) -> List[str]:
        """The stored files a ground-truth document lies in: the files of the chunks it
        matches (by text or as a file reference), in the store's order, each once."""
        self._load_chunks()
        reference = parse_reference(document)
        key = _key(document)
        files: Dict[str, None] = {}
        for chunk in self._stored_chunks:
            if (chunk.key == key if reference is None else reference.matches(chunk.metadata)) and chunk.file:
                files.setdefault(chunk.file)
        return list(files)

    # ------------------------------------------------------------ Retriever

    def index(self, docs: List[str]) -> None:
        """Match the ground truth's documents to the stored chunks (the store is not changed);
        with ``by_file``, the ground truth's files to the stored files."""
        self._load_chunks()
        assert self._chunks is not None
        if self.by_file:
            files = set(self.stored_files)
            for doc in docs:
                if doc in files:
                    self._matched.setdefault(doc, doc)
                else:
                    self._unmatched.append(doc)
            return
        for doc in docs:
            reference = parse_reference(doc)
            if reference is not None:
                self._references[doc] = reference
                if any(reference.matches(c.metadata) for c in self._stored_chunks):
                    self._matched.setdefault(doc, doc)
                elif any(reference.names(c.metadata) for c in self._stored_chunks):
                    self._unmatched.append(doc)
                else:
                    self._references_without_file.append(doc)
                continue
            key = _key(doc)
            if key in self._chunks:
                self._matched.setdefault(key, doc)
            else:
                self._unmatched.append(doc)

    def search(self, query: str, k: int = 5) -> List[str]:
        return self.search_as(query, query, k)

    def search_as(self, query: str, text: str, k: int = 5) -> List[str]:
        """Search for ``text`` on behalf of the ground-truth query ``query`` (its key, when
        two queries share a text): the hits are matched against ``query``'s judgements."""
        if text != query:
            self._texts[query] = text
        if not self._matched:
            unmatched = len(self._unmatched) + len(self._references_without_file)
            raise RetrieverError(
                f"the ground truth matches no stored chunk of --qdrant-source {self._source!r} "
                f"({unmatched} documents, {self._stored} chunks): was it made from what was indexed?"
            )
        vector = self._vector(text)
        if self.by_file:
            return self._search_files(query, text, vector, k)
        hits = self._search(text, vector, k)
        self._approximate[query] = [h[0] for h in hits]
        if self._judged is None:
            return [self._matched.get(_key(text), text) for _, text, _ in hits]
        return self._judged_hits(query, hits)

    def _judged_hits(self, query: str, hits: Sequence[Tuple[Any, str, Dict[str, Any]]]) -> List[str]:
        """Each hit as the best graded document judged for ``query`` that its chunk matches
        and that no hit above it stands for; else as the chunk's text (or its id, where the
        text is itself such a document)."""
        assert self._judged is not None
        texts, references = self._judged.get(query, ({}, []))
        found: Set[str] = set()
        out = []
        for point_id, text, metadata in hits:
            candidates = list(texts.get(_key(text), ()))
            candidates += [
                (document, grade) for reference, document, grade in references if reference.matches(metadata)
            ]
            best = max((c for c in candidates if c[0] not in found), key=lambda c: c[1], default=None)
            if best is not None:
                found.add(best[0])
                out.append(best[0])
            elif candidates:
                out.append(f"\0chunk {point_id}")  # a document found already: counts nothing
            else:
                out.append(text)
        return out

    def _search_files(self, query: str, text: str, vector: Optional[List[float]], k: int) -> List[str]:
        """The files of the hits, each once in the order of its first hit, up to ``k``."""
        limit = max(k, 1)
        while True:
            hits = self._search(text, vector, limit)
            files: Dict[str, None] = {}
            for _, _, metadata in hits:
                file = str(metadata.get("filepath") or metadata.get("source") or "")
                if file:
                    files.setdefault(file)
            if len(files) >= k or len(hits) < limit or limit >= self._stored:
                break
            limit = min(self._stored, limit * 2)
        self._approximate[query] = [h[0] for h in hits[:k]]
        return list(files)[:k]

    def evaluation_details(self, queries: List[str], k: int) -> Dict[str, Any]:
        """What the report says besides the metrics: chunk counts, unmatched documents and,
        with ``exact``, the overlap of Qdrant's top k with the exact top k."""
        details: Dict[str, Any] = {"stored_chunks": self._stored}
        if self.by_file:
            details["stored_files"] = len(self.stored_files)
            details["ground_truth_files_not_stored"] = len(self._unmatched)
            return details
        details["ground_truth_documents_matching_no_chunk"] = len(self._unmatched) + len(self._references_without_file)
        if self._references:
            details["file_references"] = len(self._references)
            if self._references_without_file:
                details["file_references_naming_no_stored_file"] = len(self._references_without_file)
            if any(r.has_lines for r in self._references.values()) and not any(
                isinstance(c.metadata.get("start_line"), int) for c in self._stored_chunks
            ):
                details["note"] = "the source's chunks have no line ranges: index it again to match path#L references"
        if self.exact and self._vectors is not None and not self.by_file:
            ids, matrix = self._vectors
            overlaps = []
            for query in queries:
                approximate = self._approximate.get(query, [])[:k]
                q = np.asarray(self.wrapper.embedding.embed_query(self._texts.get(query, query)), dtype=float)
                n = np.linalg.norm(q)
                sims = matrix @ (q / n if n > 0 else q)
                top = min(k, len(ids))
                best: Any = np.argpartition(-sims, top - 1)[:top] if top else []
                exact_ids = {ids[i] for i in best}
                overlaps.append(len(exact_ids & set(approximate)) / top if top else 1.0)
            details[f"exact_top_{k}_overlap"] = round(float(np.mean(overlaps)), 4) if overlaps else 1.0
        return details
