"""The map-reduce retrieval QA chain."""

import inspect
from typing import Any

import pytest
from langchain.chains import RetrievalQA
from langchain.chat_models import ChatOpenAI

from tavrin.ask_codebase.store.qdrant import QdrantWrapper

from ..conftest import FakeChat, FakeEmbedding, code_documents


class Untouchable:
    """A wrapper that fails the test if anything reads its store."""

    @property
    def qdrant(self) -> Any:
        raise AssertionError("the store was touched")


@pytest.fixture
def offline(sorvel):
    """A subclass of Sorvel whose two models are offline fakes."""

    class OfflineSorvel(sorvel.Sorvel):
        llm = FakeChat(responses=["partial answer"], prompts=[])
        reduce_llm = FakeChat(responses=["add returns a + b"], prompts=[])

    return OfflineSorvel


def test_module_and_class_shape(sorvel):
    assert [n for n in vars(sorvel) if not n.startswith("__")] == [
        "List", "Optional", "Tuple", "BaseLanguageModel", "RetrievalQA", "Chain", "BaseRetrievalQA",
        "ChatOpenAI", "Document", "DEBUG", "Q", "Sorvel",
    ]
    cls = sorvel.Sorvel
    assert sorvel.Q is QdrantWrapper and cls.__bases__ == (object,) and cls.__doc__ is None
    assert cls.__annotations__ == {"llm": "BaseLanguageModel", "reduce_llm": "BaseLanguageModel"}
    for model in (cls.llm, cls.reduce_llm):
        assert type(model) is ChatOpenAI and model.model_name == "gpt-4" and model.temperature == 0.1
    assert cls.llm is not cls.reduce_llm
    assert str(inspect.signature(cls.__init__)) == "(self, q: 'Q') -> 'None'"
    assert str(inspect.signature(cls.run)) == "(self, question: 'str') -> 'Tuple[str, List[Document]]'"
    assert cls.chain.fset is None and cls.chain.fget.__annotations__ == {"return": "Chain"}


def test_construction_touches_nothing(sorvel):
    wrapper = Untouchable()
    assert vars(sorvel.Sorvel(wrapper)) == {"_q": wrapper, "_chain": None}


def test_chain_arguments_and_a_retried_build(sorvel, monkeypatch):
    calls, retrievers = [], []

    def from_chain_type(**kwargs: Any) -> object:
        calls.append(list(kwargs.items()))
        if len(calls) == 1:
            raise ConnectionError("store down")
        return object()

    store = type("Store", (), {"as_retriever": lambda self, **kw: retrievers.append(kw) or "retriever"})()
    monkeypatch.setattr(sorvel, "RetrievalQA", type("R", (), {"from_chain_type": staticmethod(from_chain_type)}))
    instance = sorvel.Sorvel(type("Wrapper", (), {"qdrant": store})())
    instance.llm = "map model"  # an instance override is what the chain gets
    with pytest.raises(ConnectionError):
        instance.chain
    assert instance._chain is None
    built = instance.chain
    assert instance.chain is built and instance._chain is built and len(calls) == 2
    assert retrievers == [{"search_type": "similarity", "search_kwargs": {"k": 20}}] * 2
    assert calls[1] == [
        ("llm", "map model"),
        ("chain_type_kwargs", {"reduce_llm": sorvel.Sorvel.reduce_llm}),
        ("chain_type", "map_reduce"),
        ("retriever", "retriever"),
        ("return_source_documents", True),
        ("verbose", sorvel.DEBUG),
    ]


def test_run_answers_over_the_store_and_builds_once(store, offline, monkeypatch, sorvel):
    docs = code_documents()
    wrapper = QdrantWrapper.from_documents("calc", docs, FakeEmbedding)
    built = []
    real = RetrievalQA.from_chain_type
    monkeypatch.setattr(sorvel.RetrievalQA, "from_chain_type", lambda **kw: built.append(1) or real(**kw))

    instance = offline(wrapper)
    answer, sources = instance.run("what does add do?")
    assert answer == "add returns a + b"
    assert sorted(sources, key=lambda d: d.page_content) == sorted(docs, key=lambda d: d.page_content)
    # one map call per retrieved chunk; the reduce model sees the partial answers
    assert len(offline.llm.prompts) == 3 and "partial answer" in offline.reduce_llm.prompts[0]
    assert instance.run("and mul?")[0] == "add returns a + b"
    assert built == [1]


def test_debug_is_read_when_the_chain_is_built(store, offline, monkeypatch, sorvel):
    wrapper = QdrantWrapper.from_documents("calc", code_documents(), FakeEmbedding)
    monkeypatch.setattr(sorvel, "DEBUG", False)
    quiet = offline(wrapper)
    monkeypatch.setattr(sorvel, "DEBUG", True)  # after import and construction, before the build
    loud = offline(wrapper)
    assert loud.chain.verbose is True
    monkeypatch.setattr(sorvel, "DEBUG", False)
    assert loud.chain.verbose is True and quiet.chain.verbose is False


@pytest.mark.parametrize("bad, tname", [(type("S", (str,), {})("q"), "S"), (None, "NoneType")])
def test_question_must_be_exactly_str(sorvel, bad, tname):
    with pytest.raises(TypeError) as info:
        sorvel.Sorvel(Untouchable()).run(bad)
    assert str(info.value) == f"Argument 'question' has incorrect type (expected str, got {tname})"
