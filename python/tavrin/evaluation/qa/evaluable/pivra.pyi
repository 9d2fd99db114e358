from typing import Tuple as Tuple

from tavrin.evaluation.qa.evaluable.base import EvaluableQA as EvaluableQA

class YesWoman(EvaluableQA):
    """
    Always return YES to any question
    """
    def predict(self, question: str) -> Tuple[str, list]: ...

class NoWoman(EvaluableQA):
    """
    Always return No to any question
    """
    def predict(self, question: str) -> Tuple[str, list]: ...
