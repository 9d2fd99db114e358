"""Question sets: the test questions of an evaluation, each with a reference answer.

A question set is a UTF-8 JSON file::

    {
      "name": "python-basics",
      "cases": [
        {"id": "1", "question": "Are Python strings mutable?", "reference_answer": "No"}
      ]
    }

``name`` is a string; every case has a non-empty ``id`` (a string, or an integer that is
turned into its decimal string), a ``question`` and a ``reference_answer`` (strings).
Case ids are unique within a set. Other keys are ignored, so a set may carry notes.
"""

import json
from dataclasses import dataclass, field
from os import PathLike
from pathlib import Path
from typing import Any, Dict, List, Union

from tavrin import _json_text
from tavrin.errors import QuestionSetError


@dataclass(frozen=True)
class TestCase:
    """One test question with the answer a good subject should give."""

    __test__ = False  # not a pytest test class

    id: str
    question: str
    reference_answer: str


@dataclass
class QuestionSet:
    """A named, ordered list of test cases."""

    name: str
    cases: List[TestCase] = field(default_factory=list)

    @classmethod
    def load_json(cls, path: Union[str, "PathLike[str]"]) -> "QuestionSet":
        """Read a question set from the JSON file at ``path``.

        Raises ``FileNotFoundError`` for a missing file and ``QuestionSetError`` naming the
        file and the offending field or case for anything else that is wrong with it.
        """
        source = Path(path)
        try:
            data = _json_text.loads(source.read_text(encoding="utf-8"))
        except UnicodeDecodeError as exc:
            raise QuestionSetError(f"{source}: not UTF-8 text ({exc})") from exc
        except json.JSONDecodeError as exc:
            raise QuestionSetError(
                f"{source}: invalid JSON at line {exc.lineno}, column {exc.colno}: {exc.msg}"
            ) from exc
        if not isinstance(data, dict):
            raise QuestionSetError(f"{source}: expected a JSON object, got {json_type(data)}")
        name = _text(data, "name", f"{source}")
        if "cases" not in data:
            raise QuestionSetError(f"{source}: missing field 'cases'")
        raw_cases = data["cases"]
        if not isinstance(raw_cases, list):
            raise QuestionSetError(f"{source}: field 'cases' must be a list, got {json_type(raw_cases)}")
        cases: List[TestCase] = []
        seen: Dict[str, int] = {}
        for index, raw in enumerate(raw_cases, start=1):  # counted as a reader counts them
            where = f"{source}: case {index}"
            if not isinstance(raw, dict):
                raise QuestionSetError(f"{where}: expected an object, got {json_type(raw)}")
            case_id = raw.get("id")
            if isinstance(case_id, int) and not isinstance(case_id, bool):
                case_id = str(case_id)
            if not isinstance(case_id, str) or not case_id:
                raise QuestionSetError(
                    f"{where}: field 'id' must be a non-empty string or an integer, got {json_type(raw.get('id'))}"
                )
            _check_text(case_id, "id", where)
            if case_id in seen:
                raise QuestionSetError(f"{where}: duplicate id {case_id!r} (already used by case {seen[case_id]})")
            seen[case_id] = index
            cases.append(
                TestCase(
                    id=case_id,
                    question=_text(raw, "question", where),
                    reference_answer=_text(raw, "reference_answer", where),
                )
            )
        return cls(name=name, cases=cases)


def _text(obj: dict, key: str, where: str) -> str:
    if key not in obj:
        raise QuestionSetError(f"{where}: missing field {key!r}")
    value = obj[key]
    if not isinstance(value, str):
        raise QuestionSetError(f"{where}: field {key!r} must be a string, got {json_type(value)}")
    _check_text(value, key, where)
    return value


def _check_text(value: str, key: str, where: str) -> None:
    # JSON's \ud800 escapes give strings that are not text: they cannot be written as
    # UTF-8, nor be part of a record's identifier.
    index = _json_text.lone_surrogate(value)
    if index >= 0:
        raise QuestionSetError(
            f"{where}: field {key!r} is not valid text: a lone surrogate "
            f"(\\u{ord(value[index]):04x}) at character {index}"
        )


def json_type(value: Any) -> str:
    """How JSON names the type of ``value`` (a parsed JSON value), for messages."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    if isinstance(value, dict):
        return "object"
    return type(value).__name__
