"""The stuff-documents chain: one prompt holding the chunks closest to the question."""

from tavrin.ask_codebase.chains.stuff_doc import StuffDocumentCodeQa
from tavrin.ask_codebase.store.qdrant import QdrantWrapper

from ..conftest import FakeChat, FakeEmbedding, code_documents


def test_answers_from_the_closest_chunks(store):
    docs = code_documents()
    wrapper = QdrantWrapper.from_documents("calc", docs, FakeEmbedding)
    model = FakeChat(responses=["mul multiplies"], prompts=[])
    answer, sources = StuffDocumentCodeQa(wrapper, llm=model, k=1).run(docs[1].page_content)
    assert (answer, sources) == ("mul multiplies", [docs[1]])
    [prompt] = model.prompts
    assert docs[1].page_content in prompt and docs[0].page_content not in prompt
