"""The Correctness evaluator: the pair judge asks whether the answer holds the reference's meaning."""

import inspect
import json
from pathlib import Path
from typing import Any, Dict, List, Optional

import guidance
import pytest

from tavrin.evaluation.qa.evaluator import correctness
from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator, get_evaluator_from_name
from tavrin.evaluation.qa.evaluator.correctness import Correctness
from tavrin.evaluation.qa.evaluator.llm_helper import orsk
from tavrin.evaluation.qa.question_set import TestCase

QUESTION = "Does TEXT1 contain the meaning of TEXT2?"
ASK_END = "either YES or NO.<|im_end|>\n<|im_start|>assistant\n"
REASON_END = "Please provide a reason for your answer.<|im_end|>\n<|im_start|>assistant\n"


class Judge(guidance.llms.Mock):
    """guidance's mock model as a judge: YES exactly when TEXT1 and TEXT2 are the same one of
    ``words``, NO otherwise, with a reason for each. Fails on call number ``fail_on`` (from 1)."""

    def __init__(self, words: List[str] = ["Yes", "No"], fail_on: Optional[int] = None) -> None:
        output: Dict[str, Any] = {f"TEXT1: {w}\n---\nTEXT2: {w}\n---\n{self.DEMAND}{ASK_END}": "YES" for w in words}
        output[f"YES<|im_end|><|im_start|>user\n{REASON_END}"] = "The answer says the same."
        output[f"NO<|im_end|><|im_start|>user\n{REASON_END}"] = "The answer says otherwise."
        output[""] = "NO"
        super().__init__(output)
        self.prompts: List[str] = []
        self.fail_on = fail_on

    DEMAND = "Please provide a response even if the answer is not clear, and make sure the response consists of a single word, "

    def __call__(self, prompt: str, *args: Any, **kwargs: Any) -> Any:
        self.prompts.append(prompt)
        if len(self.prompts) == self.fail_on:
            raise RuntimeError("judge model unavailable")
        return super().__call__(prompt, *args, **kwargs)


def judge_with(monkeypatch: pytest.MonkeyPatch, judge: Any) -> Any:
    """Run the pair judge's real program on ``judge``, passed as ``llm=`` on every call."""
    program = orsk.classifier_pair
    program = getattr(program, "program", program)  # already replaced in this test

    def run(**kwargs: Any) -> Any:
        return program(**kwargs, llm=judge)

    run.program = program  # type: ignore[attr-defined]
    monkeypatch.setattr(orsk, "classifier_pair", run)
    return judge


def case(reference: str = "Yes") -> TestCase:
    return TestCase(id="1", question="Is the sky blue?", reference_answer=reference)


# ---------------------------------------------------------------- the class


def test_correctness_is_an_evaluator_found_by_its_name() -> None:
    assert Correctness.__bases__ == (Evaluator,)
    assert Correctness.__doc__ is None and Correctness.__module__ == correctness.__name__
    assert Correctness.name == "Correctness"
    assert Correctness.description == "Evaluate if the answer to the question is correct"
    assert "__init__" not in vars(Correctness)
    assert get_evaluator_from_name("Correctness") is Correctness
    assert [n for n in vars(correctness) if not n.startswith("__")] == [
        "EvalResult", "Evaluator", "orsk", "TestCase", "Correctness",
    ]
    evaluate = Correctness.evaluate
    assert str(inspect.signature(evaluate)) == "(self, prediction: 'str', case: 'TestCase') -> 'EvalResult'"
    assert evaluate.__annotations__ == {"prediction": "str", "case": "TestCase", "return": "EvalResult"}
    assert evaluate.__qualname__ == "Correctness.evaluate"


# ---------------------------------------------------------------- judging


@pytest.mark.parametrize(
    "prediction, reference, verdict, reason",
    [
        ("Yes", "Yes", True, "The answer says the same."),
        ("No", "Yes", False, "The answer says otherwise."),
        ("", "Yes", False, "The answer says otherwise."),
    ],
)
def test_the_prediction_is_text1_and_the_reference_text2(
    monkeypatch: pytest.MonkeyPatch, prediction: str, reference: str, verdict: bool, reason: str
) -> None:
    judge = judge_with(monkeypatch, Judge())
    result = Correctness().evaluate(prediction, case(reference))
    assert type(result) is EvalResult and result == (verdict, reason)
    assert f"QUESTION: {QUESTION}\n---\nTEXT1: {prediction}\n---\nTEXT2: {reference}\n---\n" in judge.prompts[0]
    assert len(judge.prompts) == 2  # the reason is always asked for


@pytest.mark.parametrize("answer", ["Yes", "YES.", "yes", "NO"])
def test_only_an_exact_yes_from_the_judge_is_a_correct_answer(monkeypatch: pytest.MonkeyPatch, answer: str) -> None:
    judge_with(monkeypatch, guidance.llms.Mock([answer, "close"]))
    assert Correctness().evaluate(prediction="Yes", case=case()) == (False, "close")


def test_evaluate_hands_the_judge_three_positional_texts(monkeypatch: pytest.MonkeyPatch) -> None:
    seen: List[Any] = []

    def judge(*args: Any, **kwargs: Any) -> Any:
        seen.append((args, kwargs))
        return iter([True, "reason"])

    monkeypatch.setattr(correctness, "orsk", judge)
    assert Correctness().evaluate("an answer", case("the reference")) == (True, "reason")
    assert seen == [((QUESTION, "an answer", "the reference"), {})]


@pytest.mark.parametrize(
    "judged, message",
    [
        ((True, "r", "extra"), "too many values to unpack (expected 2)"),
        ((True,), "need more than 1 value to unpack"),
    ],
)
def test_a_judge_result_must_unpack_into_two_values(monkeypatch: pytest.MonkeyPatch, judged: Any, message: str) -> None:
    monkeypatch.setattr(correctness, "orsk", lambda *args: judged)
    with pytest.raises(ValueError) as caught:
        Correctness().evaluate("a", case())
    assert str(caught.value) == message


class _Text(str):
    pass


@pytest.mark.parametrize("prediction, type_name", [(None, "NoneType"), (_Text("Yes"), "_Text"), (1, "int")])
def test_a_prediction_that_is_not_exactly_str_is_refused_before_judging(
    monkeypatch: pytest.MonkeyPatch, prediction: Any, type_name: str
) -> None:
    judge = judge_with(monkeypatch, Judge())
    with pytest.raises(TypeError) as caught:
        Correctness().evaluate(prediction, case())
    assert str(caught.value) == f"Argument 'prediction' has incorrect type (expected str, got {type_name})"
    assert judge.prompts == []


def test_failures_of_the_case_and_of_the_judge_propagate(monkeypatch: pytest.MonkeyPatch) -> None:
    judge_with(monkeypatch, Judge(fail_on=1))
    with pytest.raises(AttributeError, match="reference_answer"):
        Correctness().evaluate("Yes", object())
    with pytest.raises(RuntimeError, match="judge model unavailable"):
        Correctness().evaluate("Yes", case())


# ---------------------------------------------------------------- in an evaluation run


def test_an_interrupted_evaluation_resumes_from_its_report_and_completes(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    evaluation = pytest.importorskip("tavrin.evaluation.qa.evaluation")
    pivra = pytest.importorskip("tavrin.evaluation.qa.evaluable.pivra")
    from tavrin.evaluation.qa.report import Report

    test_set = tmp_path / "set.json"
    test_set.write_text(json.dumps({"name": "weather", "cases": [
        {"id": "sky", "question": "Is the sky blue?", "reference_answer": "Yes"},
        {"id": "rain", "question": "Is rain dry?", "reference_answer": "No"},
    ]}), encoding="utf-8")
    json_path, md_path = tmp_path / "report.json", tmp_path / "report.md"

    # Four judgements of two model calls each; the third judgement's first call fails.
    judge_with(monkeypatch, Judge(fail_on=5))
    run = evaluation.Evaluation(str(test_set), [pivra.YesWoman, pivra.NoWoman], [Correctness])
    run.run(str(json_path), str(md_path))
    assert "Error when evaluating. Raise by Correctness on YesWoman with rain" in capsys.readouterr().out
    saved = Report.load_json(json_path)
    assert saved.error_msg == "judge model unavailable"
    assert [(r.case_id, r.subject, r.value) for r in saved.records] == [("sky", "YesWoman", True), ("sky", "NoWoman", False)]
    assert not md_path.exists()

    judge = judge_with(monkeypatch, Judge())
    resumed = evaluation.Evaluation.resume(str(json_path))
    resumed.run(str(json_path), str(md_path))
    assert len(judge.prompts) == 4  # only the two judgements left were made
    done = Report.load_json(json_path)
    assert done.error_msg == ""
    assert [(r.case_id, r.subject, r.evaluator, r.prediction, r.value, r.reason) for r in done.records] == [
        ("sky", "YesWoman", "Correctness", "Yes", True, "The answer says the same."),
        ("sky", "NoWoman", "Correctness", "No", False, "The answer says otherwise."),
        ("rain", "YesWoman", "Correctness", "Yes", False, "The answer says otherwise."),
        ("rain", "NoWoman", "Correctness", "No", True, "The answer says the same."),
    ]
    markdown = md_path.read_text(encoding="utf-8")
    assert markdown == done.to_markdown()
    assert "Correctness" in markdown and "The answer says otherwise." in markdown
