"""Embedding models for retrieval: an offline hashing model for source code, and OpenAI's."""

import os
from typing import List

from langchain.embeddings.base import Embeddings

from tavrin.evaluation.retrieval.hashing_embedding import embed_texts

#: The names ``make_embeddings`` accepts, the offline default first.
EMBEDDING_NAMES = ("hashing", "openai")


class CodeHashingEmbeddings(Embeddings):
    """A deterministic embedding of source code that needs no model and no network.

    Identifiers are split into their parts (``snake_case``, ``camelCase``, ``HTTPServer``),
    lower-cased, and every token is hashed into one of ``dim`` signed features weighted by
    1 + log(count); vectors have unit length. Texts that share identifiers and words are
    similar, which is what finding code by the names a question uses needs.
    """

    def __init__(self, dim: int = 1024) -> None:
        if not isinstance(dim, int) or isinstance(dim, bool) or dim < 1:
            raise ValueError(f"dim must be a positive int, got {dim!r}")
        self.dim = dim

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        return embed_texts(list(texts), self.dim)

    def embed_query(self, text: str) -> List[float]:
        return embed_texts([text], self.dim)[0]


def make_embeddings(name: str) -> Embeddings:
    """The embedding model called ``name`` (one of ``EMBEDDING_NAMES``)."""
    if name == "hashing":
        return CodeHashingEmbeddings()
    if name == "openai":
        if not os.environ.get("OPENAI_API_KEY"):
            raise ValueError("the openai embeddings need an API key: set OPENAI_API_KEY")
        from langchain.embeddings import OpenAIEmbeddings

        return OpenAIEmbeddings(model="text-embedding-ada-002")
    raise ValueError(f"unknown embeddings {name!r}; choose one of: {', '.join(EMBEDDING_NAMES)}")
