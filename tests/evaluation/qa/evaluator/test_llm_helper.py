"""The judge model and the three prompt-program judges, run on guidance's offline mock model."""

import inspect
from typing import Any, Dict, List, Tuple

import guidance
import openai
import pytest

from tavrin.evaluation.qa.evaluator.llm_helper import clenter, conf, fennic, orsk

PAIR_TEMPLATE = """
{{~#system~}}
{{llm.default_system_prompt}}
{{~/system}}
{{#user~}}
Please answer a question about a pair of texts with YES or NO.
---
QUESTION: {{question}}
---
TEXT1: {{input1}}
---
TEXT2: {{input2}}
---
Please provide a response even if the answer is not clear, and make sure the response consists of a single word, either YES or NO.
{{~/user}}
{{#assistant~}}
{{gen 'answer' temperature=0 max_tokens=1}}
{{~/assistant~}}
{{#if (with_explanation)~}}
{{~#user~}}
Please provide a reason for your answer.
{{~/user}}
{{#assistant~}}
{{gen 'explanation' temperature=0 max_tokens=200}}
{{~/assistant~}}
{{/if}}"""

SINGLE_TEMPLATE = """
{{~#system~}}
{{llm.default_system_prompt}}
{{~/system}}

{{#user~}}
Please answer a question about a text with YES, NO.
---
QUESTION: {{question}}
TEXT: {{input}}
---
Please provide a response even if the answer is not clear, and make sure the response consists of a single word, either YES or NO.
{{~/user}}

{{#assistant~}}
{{gen 'answer' temperature=0 max_tokens=1}}
{{~/assistant~}}

{{#if (equal answer explain_token)~}}
{{~#user~}}
Please provide a reason for your answer.
{{~/user}}
{{#assistant~}}
{{gen 'explanation' temperature=0 max_tokens=200}}
{{~/assistant~}}
{{/if}}'

"""

RATER_TEMPLATE = """
{{~#system~}}
{{llm.default_system_prompt}}
{{~/system}}
{{#user~}}
Please score the TEXT based on the Reference Answer, using a scale of 0-10.
---
TEXT: {{input}}
---
Reference Answer: {{ref_answer}}
---
Please provide a score even if the answer is not clear, and make sure the response consists of a single number.
{{~/user}}
{{#assistant~}}
{{gen 'score' temperature=0 max_tokens=1}}
{{~/assistant~}}
{{~#user~}}
Please provide a reason for your score.
{{~/user}}
{{#assistant~}}
{{gen 'explanation' temperature=0 max_tokens=200}}
{{~/assistant~}}
"""

SYSTEM = "<|im_start|>system\nYou are a helpful assistant.<|im_end|>"
ASSISTANT_TURN = "<|im_start|>assistant\n"
REASON_REQUEST = "<|im_start|>user\nPlease provide a reason for your answer.<|im_end|>\n" + ASSISTANT_TURN


class RecordingMock(guidance.llms.Mock):
    """guidance's offline mock model, keeping every prompt it is sent and the generation options."""

    def __init__(self, output: Any) -> None:
        super().__init__(output)
        self.prompts: List[str] = []
        self.options: List[Dict[str, Any]] = []

    def __call__(self, prompt: str, *args: Any, **kwargs: Any) -> Any:
        self.prompts.append(prompt)
        self.options.append(kwargs)
        return super().__call__(prompt, *args, **kwargs)


class FailingMock(guidance.llms.Mock):
    def __init__(self, error: Exception) -> None:
        super().__init__()
        self.error = error

    def __call__(self, prompt: str, *args: Any, **kwargs: Any) -> Any:
        raise self.error


def run_on(monkeypatch: pytest.MonkeyPatch, module: Any, program_name: str, llm: Any) -> List[Dict[str, Any]]:
    """Make the module's program run on ``llm`` (given as ``llm=`` on each call); returns the
    keyword arguments of every call, in the order the judge passed them."""
    program = getattr(module, program_name)
    program = getattr(program, "program", program)  # already replaced in this test
    calls: List[Dict[str, Any]] = []

    def run(**kwargs: Any) -> Any:
        calls.append(dict(kwargs))
        return program(**kwargs, llm=llm)

    run.program = program  # type: ignore[attr-defined]
    monkeypatch.setattr(module, program_name, run)
    return calls


def judge_on_mock(monkeypatch: pytest.MonkeyPatch, module: Any, program_name: str, *outputs: str) -> Tuple[RecordingMock, List[Dict[str, Any]]]:
    mock = RecordingMock(list(outputs))
    return mock, run_on(monkeypatch, module, program_name, mock)


def fake_program(monkeypatch: pytest.MonkeyPatch, module: Any, program_name: str, variables: Dict[str, Any]) -> None:
    monkeypatch.setattr(module, program_name, lambda **kwargs: dict(variables))


# ---------------------------------------------------------------- the judge model


def test_conf_makes_one_gpt4_handle_the_default_of_guidance_for_every_judge() -> None:
    assert conf.guidance is guidance
    assert isinstance(conf.chat_gpt, guidance.llms.OpenAI)
    assert conf.chat_gpt.model_name == "gpt-4" and conf.chat_gpt.chat_mode is True
    assert guidance.llm is conf.chat_gpt
    assert conf.chat_gpt.default_system_prompt == "You are a helpful assistant."
    for module in (orsk, clenter, fennic):
        assert module.guidance is guidance
    assert orsk.classifier_pair.llm is clenter.classify_single.llm is fennic.rater.llm is conf.chat_gpt
    assert [name for name in vars(conf) if not name.startswith("__")] == ["guidance", "chat_gpt"]


class _MemoryCache(guidance.llms.caches.Cache):
    def __init__(self) -> None:
        self.data: Dict[str, Any] = {}

    def __getitem__(self, key: str) -> Any:
        return self.data[key]

    def __setitem__(self, key: str, value: Any) -> None:
        self.data[key] = value

    def __contains__(self, key: str) -> bool:
        return key in self.data


@pytest.fixture
def openai_requests(monkeypatch: pytest.MonkeyPatch) -> List[Dict[str, Any]]:
    """Stand in for the OpenAI service behind the real gpt-4 handle; answers YES, then a reason."""
    requests: List[Dict[str, Any]] = []

    async def acreate(**kwargs: Any) -> Dict[str, Any]:
        requests.append(kwargs)
        content = "YES" if len(requests) == 1 else "They say the same."
        return {"choices": [{"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}]}

    monkeypatch.setattr(openai.ChatCompletion, "acreate", acreate)
    monkeypatch.setattr(openai, "api_key", None)
    monkeypatch.setattr(conf.chat_gpt, "_cache", _MemoryCache(), raising=False)  # no disk cache
    return requests


def test_the_pair_judge_talks_to_gpt4_through_guidance_and_openai(
    monkeypatch: pytest.MonkeyPatch, openai_requests: List[Dict[str, Any]]
) -> None:
    monkeypatch.setattr(conf.chat_gpt, "api_key", "sk-test")
    assert orsk.orsk("Same?", "one", "two") == (True, "They say the same.")
    first, second = openai_requests
    assert first["model"] == "gpt-4" and first["max_tokens"] == 1 and first["temperature"] == 0
    assert first["messages"][0] == {"role": "system", "content": "You are a helpful assistant."}
    assert first["messages"][1]["role"] == "user"
    assert "QUESTION: Same?\n---\nTEXT1: one\n---\nTEXT2: two\n---\n" in first["messages"][1]["content"]
    assert second["max_tokens"] == 200
    assert second["messages"][2:] == [
        {"role": "assistant", "content": "YES"},
        {"role": "user", "content": "Please provide a reason for your answer."},
    ]


def test_without_an_api_key_the_first_judgement_fails_with_guidance_error(
    monkeypatch: pytest.MonkeyPatch, openai_requests: List[Dict[str, Any]]
) -> None:
    monkeypatch.setattr(conf.chat_gpt, "api_key", None)
    with pytest.raises(AssertionError, match="You must provide an OpenAI API key"):
        orsk.orsk("Same?", "one", "two")
    assert openai_requests == []


# ---------------------------------------------------------------- module faces


def test_programs_keep_their_templates_verbatim_with_their_defaults() -> None:
    assert orsk.classifier_pair.text == PAIR_TEMPLATE
    assert clenter.classify_single.text == SINGLE_TEMPLATE
    assert fennic.rater.text == RATER_TEMPLATE
    assert orsk.classifier_pair["with_explanation"] is True
    assert clenter.classify_single["explain_token"] == "NO"
    assert "explain_token" not in fennic.rater and "with_explanation" not in fennic.rater


@pytest.mark.parametrize(
    "module, names, signature, annotations",
    [
        (orsk, ["Tuple", "guidance", "classifier_pair", "orsk"],
         "(question, text1, text2, with_explanation=True, silent=True) -> 'Tuple[bool, str]'",
         {"return": "Tuple[bool, str]"}),
        (clenter, ["Tuple", "guidance", "classify_single", "clenter"],
         "(question, text: 'str', explain_token='NO', silent=True) -> 'Tuple[bool, str]'",
         {"text": "str", "return": "Tuple[bool, str]"}),
        (fennic, ["Tuple", "guidance", "rater", "fennic"],
         "(text, ref_answer, silent=True) -> 'Tuple[int, str]'",
         {"return": "Tuple[int, str]"}),
    ],
)
def test_module_names_signatures_and_annotations(module: Any, names: List[str], signature: str, annotations: Dict[str, str]) -> None:
    assert [name for name in vars(module) if not name.startswith("__")] == names
    judge = getattr(module, names[-1])
    assert str(inspect.signature(judge)) == signature
    assert judge.__annotations__ == annotations
    assert judge.__module__ == module.__name__ and judge.__doc__ is None


# ---------------------------------------------------------------- pair judge


def test_pair_judge_asks_yes_or_no_then_for_a_reason(monkeypatch: pytest.MonkeyPatch) -> None:
    mock, calls = judge_on_mock(monkeypatch, orsk, "classifier_pair", "YES", "Both say blue.")
    assert orsk.orsk("Do they agree?", "The sky is blue.", "Blue sky.") == (True, "Both say blue.")
    assert list(calls[0].items()) == [
        ("question", "Do they agree?"), ("input1", "The sky is blue."), ("input2", "Blue sky."),
        ("silent", True), ("with_explanation", True),
    ]
    first, second = mock.prompts
    assert first == (
        SYSTEM + "\n<|im_start|>user\n"
        "Please answer a question about a pair of texts with YES or NO.\n---\n"
        "QUESTION: Do they agree?\n---\nTEXT1: The sky is blue.\n---\nTEXT2: Blue sky.\n---\n"
        "Please provide a response even if the answer is not clear, and make sure the response "
        "consists of a single word, either YES or NO.<|im_end|>\n" + ASSISTANT_TURN
    )
    assert second == first + "YES<|im_end|>" + REASON_REQUEST
    assert [(o["max_tokens"], o["temperature"]) for o in mock.options] == [(1, 0), (200, 0)]


def test_pair_judge_without_explanation_sends_one_turn_and_gives_no_reason(monkeypatch: pytest.MonkeyPatch) -> None:
    mock, calls = judge_on_mock(monkeypatch, orsk, "classifier_pair", "NO", "unused")
    assert orsk.orsk("q", "a", "b", with_explanation=False, silent=False) == (False, "")
    assert len(mock.prompts) == 1 and "reason" not in mock.prompts[0]
    assert calls[0]["silent"] is False and calls[0]["with_explanation"] is False


@pytest.mark.parametrize("answer", ["NO", "No", "yes", "Yes", "YES.", " YES", ""])
def test_pair_judge_only_the_exact_yes_counts(monkeypatch: pytest.MonkeyPatch, answer: str) -> None:
    judge_on_mock(monkeypatch, orsk, "classifier_pair", answer, "reason")
    assert orsk.orsk("q", "a", "b") == (False, "reason")


@pytest.mark.parametrize("flag, reason, turns", [(1, "why", 2), ("no", "why", 2), (0, "", 1), ("", "", 1), (None, "", 1)])
def test_pair_judge_takes_any_truth_value_for_the_explanation_flag(monkeypatch: pytest.MonkeyPatch, flag: Any, reason: str, turns: int) -> None:
    mock, calls = judge_on_mock(monkeypatch, orsk, "classifier_pair", "YES", "why")
    assert orsk.orsk("q", "a", "b", flag) == (True, reason)
    assert calls[0]["with_explanation"] is flag and len(mock.prompts) == turns


def test_pair_judge_inserts_texts_unchecked(monkeypatch: pytest.MonkeyPatch) -> None:
    mock, _ = judge_on_mock(monkeypatch, orsk, "classifier_pair", "YES", "r")
    orsk.orsk(1, 2.5, None)
    assert "QUESTION: 1\n---\nTEXT1: 2.5\n---\nTEXT2: \n" in mock.prompts[0]  # guidance renders None as ""


def test_pair_judge_missing_variables_raise_the_subscription_error(monkeypatch: pytest.MonkeyPatch) -> None:
    fake_program(monkeypatch, orsk, "classifier_pair", {"explanation": "r"})
    with pytest.raises(KeyError, match="answer"):
        orsk.orsk("q", "a", "b")
    fake_program(monkeypatch, orsk, "classifier_pair", {"answer": "YES"})
    with pytest.raises(KeyError, match="explanation"):
        orsk.orsk("q", "a", "b")
    assert orsk.orsk("q", "a", "b", False) == (True, "")


@pytest.mark.parametrize(
    "module, program, call",
    [
        (orsk, "classifier_pair", lambda: orsk.orsk("q", "a", "b")),
        (clenter, "classify_single", lambda: clenter.clenter("q", "t")),
        (fennic, "rater", lambda: fennic.fennic("t", "r")),
    ],
)
def test_a_failing_model_reaches_the_caller_as_itself(monkeypatch: pytest.MonkeyPatch, module: Any, program: str, call: Any) -> None:
    error = RuntimeError("model is down")
    run_on(monkeypatch, module, program, FailingMock(error))
    with pytest.raises(RuntimeError) as caught:
        call()
    assert caught.value is error


# ---------------------------------------------------------------- single-text judge


def test_single_judge_explains_only_its_no_answers_by_default(monkeypatch: pytest.MonkeyPatch) -> None:
    mock, calls = judge_on_mock(monkeypatch, clenter, "classify_single", "YES", "unused")
    assert clenter.clenter("Is it Python?", "def f(): pass") == (True, "")
    assert list(calls[0].items()) == [
        ("question", "Is it Python?"), ("input", "def f(): pass"), ("silent", True), ("explain_token", "NO"),
    ]
    assert mock.prompts == [
        SYSTEM + "\n\n<|im_start|>user\nPlease answer a question about a text with YES, NO.\n---\n"
        "QUESTION: Is it Python?\nTEXT: def f(): pass\n---\n"
        "Please provide a response even if the answer is not clear, and make sure the response "
        "consists of a single word, either YES or NO.<|im_end|>\n\n" + ASSISTANT_TURN
    ]
    mock, _ = judge_on_mock(monkeypatch, clenter, "classify_single", "NO", "It is C.")
    assert clenter.clenter("Is it Python?", "int main;") == (False, "It is C.")
    assert mock.prompts[1] == mock.prompts[0] + "NO<|im_end|>" + REASON_REQUEST
    assert [(o["max_tokens"], o["temperature"]) for o in mock.options] == [(1, 0), (200, 0)]


@pytest.mark.parametrize(
    "answer, explain_token, expected, turns",
    [
        ("YES", "YES", (True, "because"), 2),
        ("NO", "YES", (False, ""), 1),
        ("maybe", "NO", (False, ""), 1),
        ("maybe", "maybe", (False, "because"), 2),
        ("No", "NO", (False, ""), 1),
    ],
)
def test_single_judge_explains_the_answer_equal_to_explain_token(
    monkeypatch: pytest.MonkeyPatch, answer: str, explain_token: str, expected: Tuple[bool, str], turns: int
) -> None:
    mock, _ = judge_on_mock(monkeypatch, clenter, "classify_single", answer, "because")
    assert clenter.clenter("q", "t", explain_token) == expected
    assert len(mock.prompts) == turns


def test_single_judge_gives_an_empty_reason_for_an_empty_or_missing_explanation(monkeypatch: pytest.MonkeyPatch) -> None:
    judge_on_mock(monkeypatch, clenter, "classify_single", "NO", "")
    assert clenter.clenter("q", "t") == (False, "")
    fake_program(monkeypatch, clenter, "classify_single", {"answer": "NO", "explanation": None})
    assert clenter.clenter("q", "t") == (False, "")
    fake_program(monkeypatch, clenter, "classify_single", {"explanation": "r"})
    with pytest.raises(KeyError, match="answer"):
        clenter.clenter("q", "t")


class _Text(str):
    pass


@pytest.mark.parametrize("text, type_name", [(None, "NoneType"), (_Text("t"), "_Text"), (b"t", "bytes")])
def test_single_judge_refuses_a_text_that_is_not_exactly_str(monkeypatch: pytest.MonkeyPatch, text: Any, type_name: str) -> None:
    mock, _ = judge_on_mock(monkeypatch, clenter, "classify_single", "YES")
    message = f"Argument 'text' has incorrect type (expected str, got {type_name})"
    with pytest.raises(TypeError) as caught:
        clenter.clenter("q", text)
    assert str(caught.value) == message
    assert mock.prompts == []


# ---------------------------------------------------------------- rating


@pytest.mark.parametrize("score, expected", [("7", 7), (" 7", 7), ("11", 11), ("-3", -3), ("0", 0)])
def test_rating_converts_the_score_to_an_int_unclamped(monkeypatch: pytest.MonkeyPatch, score: str, expected: int) -> None:
    mock, calls = judge_on_mock(monkeypatch, fennic, "rater", score, "Close enough.")
    result = fennic.fennic("an answer", "the reference")
    assert result == (expected, "Close enough.") and type(result[0]) is int
    assert list(calls[0].items()) == [("input", "an answer"), ("ref_answer", "the reference"), ("silent", True)]
    first, second = mock.prompts
    assert first == (
        SYSTEM + "\n<|im_start|>user\n"
        "Please score the TEXT based on the Reference Answer, using a scale of 0-10.\n---\n"
        "TEXT: an answer\n---\nReference Answer: the reference\n---\n"
        "Please provide a score even if the answer is not clear, and make sure the response "
        "consists of a single number.<|im_end|>\n" + ASSISTANT_TURN
    )
    assert second == first + score + "<|im_end|><|im_start|>user\nPlease provide a reason for your score.<|im_end|>\n" + ASSISTANT_TURN
    assert [(o["max_tokens"], o["temperature"]) for o in mock.options] == [(1, 0), (200, 0)]


@pytest.mark.parametrize("score", ["seven", "", "7.5"])
def test_rating_refuses_a_score_that_is_not_an_integer(monkeypatch: pytest.MonkeyPatch, score: str) -> None:
    judge_on_mock(monkeypatch, fennic, "rater", score, "r")
    with pytest.raises(ValueError, match="invalid literal for int"):
        fennic.fennic("t", "r")


def test_rating_takes_an_int_as_it_is_and_reads_the_reason_after_the_score(monkeypatch: pytest.MonkeyPatch) -> None:
    big = 10**30
    fake_program(monkeypatch, fennic, "rater", {"score": big, "explanation": "r"})
    assert fennic.fennic("t", "r")[0] is big
    fake_program(monkeypatch, fennic, "rater", {"score": True, "explanation": "r"})
    assert fennic.fennic("t", "r") == (1, "r")
    fake_program(monkeypatch, fennic, "rater", {"score": "x"})  # no explanation: the score fails first
    with pytest.raises(ValueError):
        fennic.fennic("t", "r")
    fake_program(monkeypatch, fennic, "rater", {"score": "3"})
    with pytest.raises(KeyError, match="explanation"):
        fennic.fennic("t", "r")
