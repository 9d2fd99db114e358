from tavrin.evaluation.qa.evaluator.base import EvalResult as EvalResult
from tavrin.evaluation.qa.evaluator.base import Evaluator as Evaluator
from tavrin.evaluation.qa.evaluator.llm_helper.orsk import orsk as orsk
from tavrin.evaluation.qa.question_set import TestCase as TestCase

class Correctness(Evaluator):
    description: str
    def evaluate(self, prediction: str, case: TestCase) -> EvalResult: ...
