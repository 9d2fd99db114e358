import sys
import types
from pathlib import Path
from typing import Iterator

import pytest

import tavrin.evaluation.qa.evaluable as evaluable_package
from tavrin.evaluation.qa.evaluable import base as evaluable_base
from tavrin.evaluation.qa.evaluable.base import EvaluableQA, UnknownEvaluableError, get_evaluable_from_name
from tavrin.evaluation.qa.evaluator import base as evaluator_base
from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator, UnknownEvaluatorError, get_evaluator_from_name
from tavrin.evaluation.qa.evaluator.exact_match import ExactMatch
from tavrin.evaluation.qa.question_set import TestCase


@pytest.fixture(autouse=True)
def private_registries(monkeypatch: pytest.MonkeyPatch) -> None:
    """Classes made by a test stay out of the registries other tests see."""
    monkeypatch.setattr(evaluable_base, "_registry", dict(evaluable_base._registry))
    monkeypatch.setattr(evaluator_base, "_registry", dict(evaluator_base._registry))


@pytest.fixture
def fake_pivra(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    """Make the subject package find a pure-Python ``pivra`` in ``tmp_path`` first."""
    name = "tavrin.evaluation.qa.evaluable.pivra"
    saved = sys.modules.pop(name, None), evaluable_package.__dict__.pop("pivra", None)
    monkeypatch.setattr(evaluable_package, "__path__", [str(tmp_path), *evaluable_package.__path__])
    yield tmp_path / "pivra.py"
    sys.modules.pop(name, None)
    evaluable_package.__dict__.pop("pivra", None)
    if saved[0] is not None:
        sys.modules[name] = saved[0]
    if saved[1] is not None:
        evaluable_package.pivra = saved[1]


def test_names_default_to_the_class_name_unless_the_class_body_sets_one() -> None:
    class Plain(EvaluableQA):
        pass

    class Named(EvaluableQA):
        name = "custom-name"

    class ChildOfNamed(Named):
        pass

    assert (Plain.name, Named.name, ChildOfNamed.name) == ("Plain", "custom-name", "ChildOfNamed")
    assert get_evaluable_from_name("Plain") is Plain
    assert get_evaluable_from_name("custom-name") is Named
    assert get_evaluable_from_name("ChildOfNamed") is ChildOfNamed
    first, second = type("Twin", (Evaluator,), {}), type("Twin", (Evaluator,), {})
    assert get_evaluator_from_name("Twin") is second is not first
    with pytest.raises(TypeError, match="name must be a str"):
        type("BadName", (Evaluator,), {"name": 3})


def test_classes_made_through_prepare_class_register_like_class_statements() -> None:
    meta, namespace, kwargs = types.prepare_class("Built", (EvaluableQA,))
    namespace.update(
        {
            "__module__": "native.module",
            "__qualname__": "Built",
            "__doc__": "\n    Made without a class statement\n    ",
            "predict": lambda self, question: ("Yes", []),
        }
    )
    built = meta("Built", (EvaluableQA,), namespace, **kwargs)
    assert built.name == "Built"
    assert get_evaluable_from_name("Built") is built
    assert built().predict("q") == ("Yes", [])


def test_unknown_names_list_registered_and_builtin_names() -> None:
    type("LocalSubject", (EvaluableQA,), {})
    with pytest.raises(UnknownEvaluableError) as info:
        get_evaluable_from_name("Nobody")
    message = str(info.value)
    for known in ("'Nobody'", "LocalSubject", "YesWoman", "NoWoman", "EvaluableStuffDocumentCodeQA", "Mundle"):
        assert known in message
    assert isinstance(info.value, LookupError)
    with pytest.raises(UnknownEvaluatorError, match="Correctness.*ExactMatch"):
        get_evaluator_from_name("Nobody")


def test_builtin_subject_module_is_imported_on_first_lookup(fake_pivra: Path) -> None:
    evaluable_base._registry.pop("YesWoman", None)
    evaluable_base._registry.pop("NoWoman", None)
    fake_pivra.write_text(
        "from tavrin.evaluation.qa.evaluable.base import EvaluableQA\n"
        "class YesWoman(EvaluableQA):\n"
        "    def predict(self, question):\n"
        "        return 'Yes', []\n"
        "class NoWoman(EvaluableQA):\n"
        "    pass\n"
    )
    yes = get_evaluable_from_name("YesWoman")
    assert yes.__module__ == "tavrin.evaluation.qa.evaluable.pivra"
    assert yes().predict("anything") == ("Yes", [])
    assert get_evaluable_from_name("NoWoman").name == "NoWoman"


def test_builtin_module_import_failure_propagates(fake_pivra: Path) -> None:
    evaluable_base._registry.pop("YesWoman", None)
    fake_pivra.write_text("raise ImportError('libsomething.so: cannot open shared object file')\n")
    with pytest.raises(ImportError, match="libsomething"):
        get_evaluable_from_name("YesWoman")


def test_exact_match_is_a_builtin_evaluator(monkeypatch: pytest.MonkeyPatch) -> None:
    evaluator_base._registry.pop("ExactMatch", None)
    monkeypatch.delitem(sys.modules, "tavrin.evaluation.qa.evaluator.exact_match")
    found = get_evaluator_from_name("ExactMatch")
    assert found.name == "ExactMatch"
    assert found.description == "Check that the answer equals the reference answer"


@pytest.mark.parametrize(
    "prediction, reference, expected",
    [
        ("Yes", "Yes", True),
        ("  YES!! ", "yes.", True),
        ("tavrin   resume\nREPORT.json", "tavrin resume REPORT.json", True),
        ("Straße", "STRASSE", True),
        ("yes, mostly", "Yes", False),
    ],
)
def test_exact_match_compares_normalised_text(prediction: str, reference: str, expected: bool) -> None:
    result = ExactMatch().evaluate(prediction, TestCase("1", "q", reference))
    assert isinstance(result, EvalResult)
    assert result.value is expected
    assert ("matches" if expected else "differs from") in result.reason


def test_exact_match_reasons_show_what_was_compared() -> None:
    case = TestCase("1", "q", "Yes.")
    assert ExactMatch().evaluate("no", case).reason == "prediction 'no' differs from reference 'yes'"
    assert ExactMatch().evaluate(None, case) == (False, "no answer was given")
    long_reason = ExactMatch().evaluate("x" * 500, case).reason
    assert len(long_reason) < 200 and "…" in long_reason
    with pytest.raises(TypeError):
        ExactMatch().evaluate(42, case)
