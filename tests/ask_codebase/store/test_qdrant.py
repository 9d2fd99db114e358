"""Indexed sources in the embedded Qdrant store."""

import socket
from typing import Iterator, List

import pytest
from langchain.schema import Document

from tavrin.ask_codebase.store.qdrant import (
    EmptySourceError,
    InvalidSourceNameError,
    QdrantWrapper,
    StoreError,
    StoreUnavailableError,
    UnknownSourceError,
    close_clients,
)

from ..conftest import FakeEmbedding, code_documents


def contents(wrapper: QdrantWrapper) -> List[str]:
    return sorted(d.page_content for d in wrapper.qdrant.similarity_search("anything", k=100))


def test_index_then_reuse_searches_the_documents(store):
    docs = code_documents()
    QdrantWrapper.from_documents("calc", docs, FakeEmbedding, batch_size=2)
    close_clients()  # what was written is on disk, not only in this client

    wrapper = QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding)
    assert wrapper.count() == 3 and wrapper.vector_size == 16
    retriever = wrapper.qdrant.as_retriever(search_type="similarity", search_kwargs={"k": 20})
    found = retriever.get_relevant_documents(docs[1].page_content)
    assert found[0] == docs[1]  # same text, same vector: the closest; metadata round-trips
    assert len(found) == 3
    assert QdrantWrapper.list_sources() == ["calc"]


def test_reindexing_replaces_the_content(store):
    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)
    wrapper = QdrantWrapper.from_documents("calc", [Document(page_content="only one")], FakeEmbedding)
    assert contents(wrapper) == ["only one"]
    # the replaced collection is gone: one collection behind one alias
    assert len(wrapper.client.get_collections().collections) == 1


@pytest.mark.parametrize("failure", [RuntimeError("model down"), KeyboardInterrupt()])
def test_failed_indexing_leaves_the_source_as_it_was(store, failure):
    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)

    def documents() -> Iterator[Document]:
        yield Document(page_content="new 1")
        yield Document(page_content="new 2")
        raise failure

    with pytest.raises(type(failure)):
        QdrantWrapper.from_documents("calc", documents(), FakeEmbedding, batch_size=1)
    wrapper = QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding)
    assert contents(wrapper) == sorted(d.page_content for d in code_documents())
    assert len(wrapper.client.get_collections().collections) == 1


def test_bad_vectors_are_refused_before_anything_is_written(store):
    class Ragged(FakeEmbedding):
        def embed_documents(self, texts):
            return [[0.5] * (3 + i) for i, _ in enumerate(texts)]

    with pytest.raises(StoreError, match="vector of length 4, not 3"):
        QdrantWrapper.from_documents("calc", code_documents(), Ragged)
    assert QdrantWrapper.list_sources() == []


def test_no_documents_is_an_error_and_keeps_the_source(store):
    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)
    with pytest.raises(EmptySourceError, match="no documents to index for source 'calc'"):
        QdrantWrapper.from_documents("calc", [], FakeEmbedding)
    assert QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding).count() == 3


def test_unknown_source_says_which_exist_and_how_to_index(store):
    with pytest.raises(UnknownSourceError, match="no source has been indexed yet"):
        QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding)
    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)
    QdrantWrapper.from_documents("other", code_documents(), FakeEmbedding)
    with pytest.raises(UnknownSourceError) as info:
        QdrantWrapper.reuse(source_name="clac", embedding_cls=FakeEmbedding)
    message = str(info.value)
    assert "known sources: calc, other" in message and "tavrin index PATH --source clac" in message
    with pytest.raises(InvalidSourceNameError, match="invalid source name 'a b'"):
        QdrantWrapper.reuse(source_name="a b", embedding_cls=FakeEmbedding)




def test_an_unreachable_server_is_a_clear_error(store, monkeypatch):
    with socket.socket() as s:  # a port nothing listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setenv("TAVRIN_QDRANT_URL", f"http://127.0.0.1:{port}")
    with pytest.raises(StoreUnavailableError, match=rf"cannot reach the Qdrant server at http://127.0.0.1:{port}"):
        QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding)
