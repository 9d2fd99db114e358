from typing import List as List, Optional as Optional, Tuple as Tuple

from langchain.base_language import BaseLanguageModel as BaseLanguageModel
from langchain.chains import RetrievalQA as RetrievalQA
from langchain.chains.base import Chain as Chain
from langchain.chains.retrieval_qa.base import BaseRetrievalQA as BaseRetrievalQA
from langchain.chat_models import ChatOpenAI as ChatOpenAI
from langchain.schema import Document as Document

from tavrin.ask_codebase import DEBUG as DEBUG
from tavrin.ask_codebase.store.qdrant import QdrantWrapper as Q

class Sorvel:
    llm: BaseLanguageModel
    reduce_llm: BaseLanguageModel
    _q: Q
    _chain: Optional[Chain]
    def __init__(self, q: Q) -> None: ...
    @property
    def chain(self) -> Chain: ...
    def run(self, question: str) -> Tuple[str, List[Document]]: ...
