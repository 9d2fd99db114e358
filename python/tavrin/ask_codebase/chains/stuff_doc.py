"""Answer a question from the code chunks most similar to it, all put into one prompt."""

from typing import List, Optional, Tuple

from langchain.base_language import BaseLanguageModel
from langchain.chains import RetrievalQA
from langchain.chains.base import Chain
from langchain.prompts import PromptTemplate
from langchain.schema import Document

from tavrin.ask_codebase.store.qdrant import QdrantWrapper

PROMPT = PromptTemplate(
    input_variables=["context", "question"],
    template=(
        "You are an expert on the code base excerpted below. Answer the question using only "
        "these excerpts. Name the files and functions your answer rests on. If the excerpts "
        "do not contain the answer, say that you do not know; do not make one up.\n\n"
        "Excerpts:\n{context}\n\n"
        "Question: {question}\n"
        "Answer:"
    ),
)


def default_llm() -> BaseLanguageModel:
    """The chat model used when none is given: OpenAI's gpt-4 (needs ``OPENAI_API_KEY``)."""
    from langchain.chat_models import ChatOpenAI

    return ChatOpenAI(model_name="gpt-4", temperature=0)


class StuffDocumentCodeQa:
    """Question answering over one indexed source with a single "stuff" prompt.

    The ``k`` chunks most similar to the question are put, whole, into one prompt for
    the model. The chain is built on first use, so constructing this class contacts
    neither the model nor the store.
    """

    def __init__(self, q: QdrantWrapper, llm: Optional[BaseLanguageModel] = None, k: int = 6) -> None:
        if k < 1:
            raise ValueError(f"k must be at least 1, got {k}")
        self._q = q
        self._llm = llm
        self.k = k
        self._chain: Optional[Chain] = None

    @property
    def llm(self) -> BaseLanguageModel:
        """The chat model (``default_llm()`` unless one was given)."""
        if self._llm is None:
            self._llm = default_llm()
        return self._llm

    @property
    def chain(self) -> Chain:
        """The retrieval chain, built on first access."""
        if self._chain is None:
            from tavrin import ask_codebase

            retriever = self._q.qdrant.as_retriever(search_type="similarity", search_kwargs={"k": self.k})
            self._chain = RetrievalQA.from_chain_type(
                llm=self.llm,
                chain_type="stuff",
                chain_type_kwargs={"prompt": PROMPT},
                retriever=retriever,
                return_source_documents=True,
                verbose=bool(ask_codebase.DEBUG),
            )
        return self._chain

    def run(self, question: str) -> Tuple[str, List[Document]]:
        """Answer ``question``: return the answer text and the documents it was drawn from."""
        result = self.chain({"query": question})
        return result["result"], list(result["source_documents"])
