"""Indexed sources in the local store (Qdrant Edge), and the server's error."""

import os
import signal
import socket
import subprocess
import sys
from pathlib import Path
from typing import Dict, Iterator, List

import pytest
from langchain.schema import Document

from tavrin.ask_codebase.store.qdrant import (
    EmptySourceError,
    InvalidSourceNameError,
    QdrantWrapper,
    StoreConfig,
    StoreError,
    StoreUnavailableError,
    UnknownSourceError,
    close_clients,
)

from ..conftest import FakeEmbedding, code_documents


def contents(wrapper: QdrantWrapper) -> List[str]:
    return sorted(d.page_content for d in wrapper.qdrant.similarity_search("anything", k=100))


def files_state(folder: Path) -> Dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def generations(store: StoreConfig, name: str) -> List[str]:
    return sorted(p.name for p in (store.path / name).glob("g-*"))


def test_index_then_reuse_searches_the_documents(store):
    docs = code_documents()
    QdrantWrapper.from_documents("calc", docs, FakeEmbedding, batch_size=2)
    close_clients()  # what was written is on disk, not only in this process's handles

    wrapper = QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding)
    assert wrapper.count() == 3 and wrapper.vector_size == 16
    retriever = wrapper.qdrant.as_retriever(search_type="similarity", search_kwargs={"k": 20})
    found = retriever.get_relevant_documents(docs[1].page_content)
    assert found[0] == docs[1]  # same text, same vector: the closest; metadata round-trips
    assert len(found) == 3
    scored = wrapper.qdrant.similarity_search_with_score(docs[2].page_content, k=3)
    assert scored[0][0] == docs[2] and scored[0][1] == pytest.approx(1.0)
    assert [score for _, score in scored] == sorted((score for _, score in scored), reverse=True)
    assert QdrantWrapper.list_sources() == ["calc"]

    # the chunks come back in the order they were indexed, vectors on request
    chunks = list(wrapper.iter_chunks(with_vectors=True))
    assert [(c.page_content, c.metadata) for c in chunks] == [(d.page_content, d.metadata) for d in docs]
    assert all(len(c.vector) == 16 for c in chunks) and list(wrapper.iter_chunks())[0].vector is None
    hit, score = wrapper.search_by_vector(chunks[0].vector, k=1)[0]
    assert hit.id == chunks[0].id and score == pytest.approx(1.0)


def test_reindexing_replaces_the_content(store):
    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)
    first = generations(store, "calc")
    wrapper = QdrantWrapper.from_documents("calc", [Document(page_content="only one")], FakeEmbedding)
    assert contents(wrapper) == ["only one"]
    # the replaced generation is gone from the disk
    assert len(generations(store, "calc")) == 1 and generations(store, "calc") != first


@pytest.mark.parametrize("failure", [RuntimeError("model down"), KeyboardInterrupt()])
def test_failed_indexing_leaves_the_source_as_it_was(store, failure):
    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)
    before = files_state(store.path / "calc")

    def documents() -> Iterator[Document]:
        for i in range(3000):  # past the first bulk write
            yield Document(page_content=f"new {i}")
        raise failure

    with pytest.raises(type(failure)):
        QdrantWrapper.from_documents("calc", documents(), FakeEmbedding, batch_size=500)
    assert files_state(store.path / "calc") == before  # byte for byte, no generation left behind
    wrapper = QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding)
    assert contents(wrapper) == sorted(d.page_content for d in code_documents())


KILLED_INDEX = """
import os, signal
from langchain.embeddings.fake import DeterministicFakeEmbedding
from langchain.schema import Document
from tavrin.ask_codebase.store.qdrant import QdrantWrapper

class Fake(DeterministicFakeEmbedding):
    size: int = 16

def documents():
    for i in range(3000):
        yield Document(page_content=f"new {i}")
    os.kill(os.getpid(), signal.SIGKILL)

QdrantWrapper.from_documents("calc", documents(), Fake, batch_size=500)
"""


def test_a_killed_index_leaves_an_orphan_that_is_never_loaded_and_then_removed(store):
    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)
    close_clients()
    before = files_state(store.path / "calc")
    live = generations(store, "calc")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if "ASAN_OPTIONS" in env:  # under the sanitizers: no leak report of a killed interpreter
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    done = subprocess.run([sys.executable, "-c", KILLED_INDEX], env=env, capture_output=True, timeout=300)
    assert done.returncode == -signal.SIGKILL, done.stderr
    orphans = [g for g in generations(store, "calc") if g not in live]
    assert len(orphans) == 1 and any((store.path / "calc" / orphans[0]).rglob("*.dat"))
    assert {k: v for k, v in files_state(store.path / "calc").items() if not k.startswith(orphans[0])} == before

    # the next command sees the old source, and the orphan is gone
    assert QdrantWrapper.describe_sources()[0].chunks == 3
    wrapper = QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding)
    assert contents(wrapper) == sorted(d.page_content for d in code_documents())
    assert generations(store, "calc") == live


def test_one_writer_per_source(store, monkeypatch):
    from tavrin.ask_codebase.store import edge

    monkeypatch.setattr(edge, "_WRITE_LOCK_WAIT", 0.1)
    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)

    def documents() -> Iterator[Document]:
        yield Document(page_content="new 1")
        for attempt in (lambda: QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding),
                        lambda: QdrantWrapper.delete_source("calc")):
            with pytest.raises(StoreUnavailableError, match="source 'calc' is being written by another process"):
                attempt()
        # reading it meanwhile is fine, and so is writing another source
        assert QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding).count() == 3
        QdrantWrapper.from_documents("other", code_documents(), FakeEmbedding)
        yield Document(page_content="new 2")

    wrapper = QdrantWrapper.from_documents("calc", documents(), FakeEmbedding, batch_size=1)
    assert contents(wrapper) == ["new 1", "new 2"]
    assert QdrantWrapper.delete_source("calc") == 2 and QdrantWrapper.list_sources() == ["other"]
    assert not (store.path / "calc").exists()


def test_sources_are_listed_from_their_manifests_alone(store, monkeypatch):
    import qdrant_edge

    QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding, embedding_name="fake")
    close_clients()
    monkeypatch.setattr(qdrant_edge, "EdgeShard", None)  # no shard can be opened
    [info] = QdrantWrapper.describe_sources()
    assert (info.name, info.chunks, info.embedding) == ("calc", 3, "fake") and info.indexed.endswith(" UTC")


def test_a_store_of_an_earlier_version_is_moved_over(tmp_path, store, monkeypatch, capsys):
    import qdrant_edge

    earlier = StoreConfig(path=store.legacy_path, engine="qdrant-local")
    docs = code_documents()
    QdrantWrapper.from_documents("calc", docs, FakeEmbedding, config=earlier, embedding_name="fake")
    QdrantWrapper.from_documents("notes", [Document(page_content="a note")], FakeEmbedding, config=earlier)
    old_infos = QdrantWrapper.describe_sources(config=earlier)
    close_clients()

    with monkeypatch.context() as patch:  # a move that fails leaves the earlier store as it was
        patch.setattr(qdrant_edge, "UpdateOperation", None)
        with pytest.raises(StoreError, match="could not move the store of an earlier tavrin"):
            QdrantWrapper.list_sources()
    assert QdrantWrapper.describe_sources(config=earlier) == old_infos
    close_clients()

    assert QdrantWrapper.describe_sources() == old_infos
    assert "Moved 2 sources from the store of an earlier tavrin" in capsys.readouterr().err
    assert not store.legacy_path.exists()
    wrapper = QdrantWrapper.reuse(source_name="calc", embedding_cls=FakeEmbedding)
    assert wrapper.qdrant.similarity_search(docs[0].page_content, k=1) == [docs[0]]


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


def test_a_local_source_is_copied_to_a_qdrant_client_store_with_its_vectors(store):
    # qdrant-client's local mode speaks the same client API as a server
    docs = code_documents()
    local = QdrantWrapper.from_documents("calc", docs, FakeEmbedding, embedding_name="fake")
    other = StoreConfig(path=store.path.parent / "elsewhere", engine="qdrant-local")
    copy = local.copy_to(other, source_name="calc2")
    assert [(c.page_content, c.metadata, c.vector) for c in copy.iter_chunks(with_vectors=True)] == [
        (c.page_content, c.metadata, pytest.approx(c.vector)) for c in local.iter_chunks(with_vectors=True)]
    [info] = QdrantWrapper.describe_sources(config=other)
    assert (info.name, info.chunks, info.embedding) == ("calc2", 3, "fake")
    assert copy.qdrant.similarity_search(docs[1].page_content, k=1) == [docs[1]]
    # a client store keeps no lexical index beside its vectors: one is made from its chunks
    assert [h.chunk.page_content for h in copy.search("mul", 1, mode="lexical")] == [docs[1].page_content]
    assert [h.chunk.id for h in copy.search("mul", 3)] == [h.chunk.id for h in local.search("mul", 3)]
