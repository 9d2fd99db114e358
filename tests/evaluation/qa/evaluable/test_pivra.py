"""The constant-answer baselines."""

import inspect

import pytest

from tavrin.evaluation.qa.evaluable import pivra
from tavrin.evaluation.qa.evaluable.base import EvaluableQA, get_evaluable_from_name


@pytest.mark.parametrize("cls, answer, doc", [
    (pivra.YesWoman, "Yes", "\n    Always return YES to any question\n    "),
    (pivra.NoWoman, "No", "\n    Always return No to any question\n    "),
])
def test_baseline(cls, answer, doc):
    assert cls.__bases__ == (EvaluableQA,) and cls.__doc__ == doc
    assert get_evaluable_from_name(cls.__name__) is cls
    subject = cls()
    first = subject.predict("")
    assert first == (answer, []) and type(first) is tuple
    first[1].append("x")
    assert subject.predict(question="anything") == (answer, [])
    assert str(inspect.signature(cls.predict)) == "(self, question: 'str') -> 'Tuple[str, list]'"


@pytest.mark.parametrize("bad, tname", [(None, "NoneType"), (type("S", (str,), {})("q"), "S"), (3, "int")])
def test_question_must_be_exactly_str(bad, tname):
    with pytest.raises(TypeError) as info:
        pivra.YesWoman().predict(bad)
    assert str(info.value) == f"Argument 'question' has incorrect type (expected str, got {tname})"


def test_argument_count():
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        pivra.NoWoman().predict("a", "b")


def test_module_names():
    assert [n for n in vars(pivra) if not n.startswith("__")] == ["Tuple", "EvaluableQA", "YesWoman", "NoWoman"]
