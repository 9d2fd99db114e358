from typing import Tuple as Tuple

from tavrin.evaluation.qa.evaluator.llm_helper.conf import guidance as guidance

rater: guidance.Program

def fennic(text, ref_answer, silent=True) -> Tuple[int, str]: ...
