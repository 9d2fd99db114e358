"""langchain's face of an indexed source: a ``VectorStore`` for retrievers and chains."""

from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple

from langchain.embeddings.base import Embeddings
from langchain.schema import Document
from langchain.vectorstores.base import VectorStore

from tavrin.ask_codebase.store.base import StoreConfig


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
        from tavrin.ask_codebase.store.qdrant import QdrantWrapper

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
