"""An offline evaluator: the answer must equal the reference answer, up to case and punctuation."""

import re
from typing import Optional

from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator
from tavrin.evaluation.qa.question_set import TestCase

_TRAILING = re.compile(r"[\s.!?]+$")
_SHOWN_CHARS = 80


def normalise(text: str) -> str:
    """Casefold ``text``, collapse runs of whitespace and drop trailing ".", "!" and "?"."""
    return _TRAILING.sub("", " ".join(text.casefold().split()))


def _shown(text: str) -> str:
    if len(text) > _SHOWN_CHARS:
        text = text[: _SHOWN_CHARS - 1] + "…"
    return repr(text)


class ExactMatch(Evaluator):
    """True when the normalised answer equals the normalised reference answer."""

    description = "Check that the answer equals the reference answer"

    def evaluate(self, prediction: Optional[str], case: TestCase) -> EvalResult:
        """Compare ``prediction`` with ``case.reference_answer`` after normalising both."""
        if prediction is None:
            return EvalResult(False, "no answer was given")
        if not isinstance(prediction, str):
            raise TypeError(f"prediction must be a str or None, got {type(prediction).__name__}")
        got = normalise(prediction)
        expected = normalise(case.reference_answer)
        if got == expected:
            return EvalResult(True, f"prediction {_shown(got)} matches reference {_shown(expected)}")
        return EvalResult(False, f"prediction {_shown(got)} differs from reference {_shown(expected)}")
