from typing import Tuple as Tuple

from tavrin.evaluation.qa.evaluator.llm_helper.conf import guidance as guidance

classifier_pair: guidance.Program

def orsk(question, text1, text2, with_explanation=True, silent=True) -> Tuple[bool, str]: ...
