"""The stuff-documents code QA chain as an evaluable subject."""

import inspect
from pathlib import Path
from typing import Any, Iterator, List

import pytest
from langchain.chat_models.fake import FakeListChatModel
from langchain.embeddings.fake import DeterministicFakeEmbedding
from langchain.schema import Document

from tavrin.ask_codebase.chains import stuff_doc
from tavrin.ask_codebase.store.qdrant import QdrantWrapper, close_clients
from tavrin.evaluation.qa.evaluable import brandle
from tavrin.evaluation.qa.evaluable.base import EvaluableQA, get_evaluable_from_name


class FakeEmbedding(DeterministicFakeEmbedding):
    size: int = 8


class FakeChain:
    """Stands for the chain and its wrapper: records how it is made and asked."""

    made: List[Any] = []
    result: Any = None

    @classmethod
    def reuse(cls, *args: Any, **kwargs: Any) -> str:
        cls.made.append(("reuse", args, kwargs))
        return "wrapper"

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        FakeChain.made.append(("chain", args, kwargs))
        self.questions: List[str] = []

    def run(self, question: str) -> Any:
        self.questions.append(question)
        return FakeChain.result


@pytest.fixture
def fakes(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(FakeChain, "made", [])
    monkeypatch.setattr(brandle, "Q", FakeChain)
    monkeypatch.setattr(brandle, "StuffDocumentCodeQa", FakeChain)


def test_module_and_class_shape():
    assert [n for n in vars(brandle) if not n.startswith("__")] == [
        "Tuple", "Type", "Embeddings", "StuffDocumentCodeQa", "Q", "EvaluableQA", "EvaluableStuffDocumentCodeQA"]
    cls = brandle.EvaluableStuffDocumentCodeQA
    assert brandle.Q is QdrantWrapper and cls.__bases__ == (EvaluableQA,) and cls.__doc__ is None
    assert get_evaluable_from_name("EvaluableStuffDocumentCodeQA") is cls
    assert str(inspect.signature(cls.__init__)) == (
        "(self, source_name: 'str', embedding_cls: 'Type[Embeddings]') -> 'None'")
    assert str(inspect.signature(cls.predict)) == "(self, question: 'str') -> 'Tuple[str, list]'"


def test_store_is_opened_once_and_predict_returns_the_metadata_objects(fakes):
    subject = brandle.EvaluableStuffDocumentCodeQA("calc", embedding_cls=FakeEmbedding)
    assert FakeChain.made == [
        ("reuse", (), {"source_name": "calc", "embedding_cls": FakeEmbedding}), ("chain", ("wrapper",), {})]
    docs = [Document(page_content="a", metadata={"url": "u1", "label": None}), Document(page_content="b")]
    FakeChain.result = ("answer", iter(docs))
    answer, metadata = subject.predict("q?")
    assert answer == "answer" and [id(m) for m in metadata] == [id(d.metadata) for d in docs]
    FakeChain.result = ["nothing found", []]
    assert subject.predict("q2") == ("nothing found", [])
    assert subject._qa.questions == ["q?", "q2"] and len(FakeChain.made) == 2
    FakeChain.result = ("a", [], "extra")
    with pytest.raises(ValueError, match="too many values to unpack"):
        subject.predict("q")


@pytest.mark.parametrize("bad, tname", [(None, "NoneType"), (type("S", (str,), {})("q"), "S")])
def test_strings_must_be_exactly_str(fakes, bad, tname):
    with pytest.raises(TypeError, match=rf"Argument 'source_name' has incorrect type \(expected str, got {tname}\)"):
        brandle.EvaluableStuffDocumentCodeQA(bad, FakeEmbedding)
    assert FakeChain.made == []
    with pytest.raises(TypeError, match=rf"Argument 'question' has incorrect type \(expected str, got {tname}\)"):
        brandle.EvaluableStuffDocumentCodeQA("calc", FakeEmbedding).predict(bad)


@pytest.fixture
def store(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[None]:
    monkeypatch.setenv("TAVRIN_DATA_DIR", str(tmp_path))
    monkeypatch.delenv("TAVRIN_QDRANT_URL", raising=False)
    yield
    close_clients()


def test_over_a_real_store(store, monkeypatch):
    docs = [Document(page_content="def add(a, b): return a + b", metadata={"url": "/r/add.py", "label": "add"})]
    QdrantWrapper.from_documents("calc", docs, FakeEmbedding)
    monkeypatch.setattr(stuff_doc, "default_llm", lambda: FakeListChatModel(responses=["It adds."]))
    subject = brandle.EvaluableStuffDocumentCodeQA("calc", FakeEmbedding)
    assert subject.predict("What does add do?") == ("It adds.", [{"url": "/r/add.py", "label": "add"}])
    with pytest.raises(LookupError, match="unknown source 'nope'"):
        brandle.EvaluableStuffDocumentCodeQA("nope", FakeEmbedding)
