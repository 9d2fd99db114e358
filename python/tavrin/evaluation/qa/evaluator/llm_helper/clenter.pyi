from typing import Tuple as Tuple

from tavrin.evaluation.qa.evaluator.llm_helper.conf import guidance as guidance

classify_single: guidance.Program

def clenter(question, text: str, explain_token="NO", silent=True) -> Tuple[bool, str]: ...
