import json
from pathlib import Path

import pytest

from tavrin.evaluation.qa.question_set import QuestionSet, QuestionSetError, TestCase

CASE = {"id": "1", "question": "q", "reference_answer": "a"}
EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "questions.json"


def write(tmp_path: Path, content: object) -> Path:
    path = tmp_path / "questions.json"
    text = content if isinstance(content, str) else json.dumps(content, ensure_ascii=False)
    path.write_text(text, encoding="utf-8")
    return path


def test_example_question_set_loads_in_order_with_yes_and_no_answers() -> None:
    questions = QuestionSet.load_json(str(EXAMPLE))
    assert questions.name == "python-basics"
    assert 8 <= len(questions.cases) <= 12
    assert [case.id for case in questions.cases] == [str(i) for i in range(1, len(questions.cases) + 1)]
    answers = [case.reference_answer for case in questions.cases]
    assert "Yes" in answers and "No" in answers and len(set(answers)) > 2


def test_cases_keep_text_exactly_and_integer_ids_become_strings(tmp_path: Path) -> None:
    path = write(
        tmp_path,
        {
            "name": "ünïcode",
            "notes": "extra keys are ignored",
            "cases": [
                {"id": 7, "question": "Qu'est-ce que «ça»?\n  second line", "reference_answer": "日本語"},
                {"id": "a-1", "question": "", "reference_answer": "", "tags": ["x"]},
            ],
        },
    )
    questions = QuestionSet.load_json(path)
    assert questions.name == "ünïcode"
    assert questions.cases == [
        TestCase(id="7", question="Qu'est-ce que «ça»?\n  second line", reference_answer="日本語"),
        TestCase(id="a-1", question="", reference_answer=""),
    ]


@pytest.mark.parametrize(
    "content, fragments",
    [
        ('{"name": "x", "cases": [', ["invalid JSON", "line 1"]),
        ([], ["expected a JSON object"]),
        ({"cases": []}, ["missing field 'name'"]),
        ({"name": "x"}, ["missing field 'cases'"]),
        ({"name": "x", "cases": [CASE, "q2"]}, ["case 2", "object"]),
        ({"name": "x", "cases": [{"id": "1", "reference_answer": "a"}]}, ["case 1", "missing field 'question'"]),
        ({"name": "x", "cases": [{"id": "1", "question": "q", "reference_answer": None}]}, ["case 1", "'reference_answer'", "null"]),
        ({"name": "x", "cases": [{"id": True, "question": "q", "reference_answer": "a"}]}, ["case 1", "'id'", "boolean"]),
        ({"name": "x", "cases": [dict(CASE, id="1"), dict(CASE, id="2"), dict(CASE, id=1)]}, ["case 3", "duplicate id '1'", "case 1"]),
    ],
)
def test_bad_question_set_names_file_and_field(tmp_path: Path, content: object, fragments: list) -> None:
    path = write(tmp_path, content)
    with pytest.raises(QuestionSetError) as info:
        QuestionSet.load_json(path)
    message = str(info.value)
    assert str(path) in message
    for fragment in fragments:
        assert fragment in message


def test_bad_files(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError):
        QuestionSet.load_json(tmp_path / "absent.json")
    latin1 = tmp_path / "latin1.json"
    latin1.write_bytes('{"name": "caf\xe9", "cases": []}'.encode("latin-1"))
    with pytest.raises(QuestionSetError, match="not UTF-8"):
        QuestionSet.load_json(latin1)
