from typing import Tuple as Tuple, Type as Type

from langchain.embeddings.base import Embeddings as Embeddings

from tavrin.ask_codebase.chains.stuff_doc import StuffDocumentCodeQa as StuffDocumentCodeQa
from tavrin.ask_codebase.store.qdrant import QdrantWrapper as Q
from tavrin.evaluation.qa.evaluable.base import EvaluableQA as EvaluableQA

class EvaluableStuffDocumentCodeQA(EvaluableQA):
    _qa: StuffDocumentCodeQa
    def __init__(self, source_name: str, embedding_cls: Type[Embeddings]) -> None: ...
    def predict(self, question: str) -> Tuple[str, list]: ...
