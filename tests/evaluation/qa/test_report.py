import json
import os
import re
from pathlib import Path
from typing import Any, List

import pytest

from tavrin.evaluation.qa import report as report_module
from tavrin.evaluation.qa.report import EvalRecord, Report, ReportError

QUESTION = "Qu'est-ce que «ça» veut dire — 日本語?"


def record(case_id: str = "1", subject: str = "YesWoman", evaluator: str = "ExactMatch", **fields: Any) -> EvalRecord:
    values = dict(
        question=QUESTION if case_id == "1" else f"question {case_id}",
        prediction="Yes",
        expected="Yes",
        documents=[],
        value=True,
        reason="prediction 'yes' matches reference 'yes'",
    )
    values.update(fields)
    return EvalRecord(case_id=case_id, subject=subject, evaluator=evaluator, **values)


def make_report(records: List[EvalRecord], error_msg: str = "") -> Report:
    return Report(
        name="nightly",
        date="2024-05-01 12:30:00",
        test_set_path="examples/questions.json",
        subjects=["YesWoman", "Bot"],
        evaluators=["ExactMatch", "Rating"],
        records=records,
        description="Using test set <python-basics>",
        error_msg=error_msg,
    )


@pytest.fixture
def varied() -> Report:
    return make_report(
        [
            record(),
            record(evaluator="Rating", value=7, reason="close\nbut terse"),
            record(subject="Bot", prediction=None, documents=None, value=False, reason="no answer was given"),
            record(
                subject="Bot",
                evaluator="Rating",
                prediction="Use `a | b`\n\n```py\nx = 1\n```",
                documents=[{"label": "src/a|b.py", "url": "https://example.com/a b.py#L1"}, {"label": "ü", "url": "/local/ü.py"}],
                value=0.5,
                reason=None,
            ),
            record(case_id="2", value="maybe", reason="ça | va"),
        ]
    )


def test_record_id_is_derived_from_case_question_subject_and_evaluator() -> None:
    rec = record(documents=[{"label": "l", "url": "u"}])
    same = EvalRecord.gen_eval_record_id(case_id="1", question=QUESTION, subject="YesWoman", evaluator="ExactMatch")
    assert rec.id == same and isinstance(rec.id, str)
    assert hash(rec) == hash(rec.id)
    assert record(prediction="No", value=False).id == rec.id
    others = {
        record(case_id="2").id,
        record(subject="NoWoman").id,
        record(evaluator="Rating").id,
        record(question="other").id,
    }
    assert rec.id not in others and len(others) == 4
    with pytest.raises(TypeError):
        EvalRecord("1", "q", "s", None, None, None, "e", True, "r")  # type: ignore[misc]


def test_json_round_trip_keeps_every_record_and_value_type(tmp_path: Path, varied: Report) -> None:
    path = tmp_path / "report.json"
    varied.dump_json(str(path))
    loaded = Report.load_json(str(path))
    assert loaded == varied
    assert [r.id for r in loaded.records] == [r.id for r in varied.records]
    assert [type(r.value) for r in loaded.records] == [bool, int, bool, float, str]
    assert loaded.records[2].prediction is None and loaded.records[2].documents is None
    assert loaded.records[3].reason is None
    assert (loaded.subjects, loaded.evaluators) == (["YesWoman", "Bot"], ["ExactMatch", "Rating"])
    text = path.read_text(encoding="utf-8")
    assert QUESTION in text and "\n  " in text
    assert json.loads(text)["version"] == 1


def test_empty_report_round_trips_and_renders(tmp_path: Path) -> None:
    empty = make_report([])
    empty.dump_json(tmp_path / "empty.json")
    assert Report.load_json(tmp_path / "empty.json") == empty
    assert "0 case(s), 0 judgement(s)" in empty.to_markdown()


def test_failed_serialisation_keeps_the_old_file_and_leaves_no_temp_file(tmp_path: Path, varied: Report) -> None:
    path = tmp_path / "report.json"
    varied.dump_json(path)
    before = path.read_bytes()
    broken = make_report([record(), record(case_id="2", value={1, 2})])
    with pytest.raises(ReportError, match=r"record 1, field 'value'"):
        broken.dump_json(path)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["report.json"]


def test_failed_replace_keeps_the_old_file_and_leaves_no_temp_file(
    tmp_path: Path, varied: Report, monkeypatch: pytest.MonkeyPatch
) -> None:
    path = tmp_path / "report.json"
    path.write_text("old", encoding="utf-8")
    os.chmod(path, 0o640)

    def failing_replace(src: str, dst: Any) -> None:
        assert Path(src).read_text(encoding="utf-8").startswith(("{", "# nightly"))
        raise OSError("disk full")

    monkeypatch.setattr(os, "replace", failing_replace)
    with pytest.raises(OSError, match="disk full"):
        varied.dump_json(path)
    with pytest.raises(OSError, match="disk full"):
        varied.dump_md(path)
    assert path.read_text(encoding="utf-8") == "old"
    assert os.listdir(tmp_path) == ["report.json"]
    monkeypatch.undo()
    varied.dump_json(path)
    assert os.stat(path).st_mode & 0o777 == 0o640


def _edit(data: dict, *path: Any, value: Any = None, delete: bool = False) -> dict:
    target = data
    for key in path[:-1]:
        target = target[key]
    if delete:
        del target[path[-1]]
    else:
        target[path[-1]] = value
    return data


@pytest.mark.parametrize(
    "change, fragments",
    [
        (lambda d: json.dumps(d)[: len(json.dumps(d)) // 2], ["invalid or truncated JSON"]),
        (lambda d: _edit(d, "format", value="something-else"), ["not a tavrin QA report"]),
        (lambda d: _edit(d, "version", value=2), ["unsupported report version 2"]),
        (lambda d: _edit(d, "name", delete=True), ["missing field 'name'"]),
        (lambda d: _edit(d, "error_msg", value=None), ["'error_msg' must be a string", "null"]),
        (lambda d: _edit(d, "subjects", 1, value=5), ["'subjects', entry 1"]),
        (lambda d: _edit(d, "records", 1, "evaluator", delete=True), ["record 1", "missing field 'evaluator'"]),
        (lambda d: _edit(d, "records", 0, "prediction", value=3), ["record 0", "'prediction'", "number"]),
        (lambda d: _edit(d, "records", 4, value=[]), ["record 4", "expected an object"]),
        (lambda d: _edit(d, "records", 0, "question", value="edited"), ["record 0", "'id'", "altered"]),
    ],
)
def test_bad_report_files_name_the_file_and_the_field(tmp_path: Path, varied: Report, change: Any, fragments: List[str]) -> None:
    content = change(varied.to_dict())
    path = tmp_path / "bad.json"
    path.write_text(content if isinstance(content, str) else json.dumps(content), encoding="utf-8")
    with pytest.raises(ReportError) as info:
        Report.load_json(path)
    message = str(info.value)
    assert message.startswith(str(path))
    for fragment in fragments:
        assert fragment in message


def test_unreadable_report_files(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError):
        Report.load_json(tmp_path / "absent.json")
    latin1 = tmp_path / "latin1.json"
    latin1.write_bytes('{"name": "caf\xe9"}'.encode("latin-1"))
    with pytest.raises(ReportError, match="not UTF-8"):
        Report.load_json(latin1)


def _table_rows(markdown: str) -> List[List[str]]:
    return [re.split(r"(?<!\\)\|", line)[1:-1] for line in markdown.splitlines() if line.startswith("|")]


def test_markdown_summary_counts_and_layout(tmp_path: Path, varied: Report) -> None:
    md = varied.to_markdown()
    assert md.startswith("# nightly\n")
    assert "2024-05-01 12:30:00" in md and "examples/questions.json" in md
    assert "Using test set \\<python-basics\\>" in md
    assert "Run stopped early" not in md
    summary = md.split("## Summary", 1)[1].split("## Cases", 1)[0]
    assert "2 case(s), 5 judgement(s)." in summary
    cells = {row[0].strip(): [c.strip() for c in row[1:]] for row in _table_rows(summary)}
    assert cells["YesWoman"] == ["2 judged: 1/1 true (100%, 95% CI 21-100%), 1 other", "mean 7 of 1"]
    assert cells["Bot"] == ["0/1 true (0%, 95% CI 0-79%)", "mean 0.5 of 1"]
    assert md.index("### Case 1") < md.index("### Case 2")
    assert md.index("#### YesWoman") < md.index("#### Bot")
    assert QUESTION in md
    varied.dump_md(tmp_path / "report.md")
    assert (tmp_path / "report.md").read_text(encoding="utf-8") == md


def test_markdown_answers_references_and_escaping(varied: Report) -> None:
    md = varied.to_markdown()
    assert "> _No answer._" in md
    assert "> Use `a | b`\n>\n> ```py\n> x = 1\n> ```" in md
    assert "- [src/a\\|b.py](https://example.com/a%20b.py#L1)" in md
    assert "- [ü](/local/ü.py)" in md
    assert "| Rating | 7 | close<br>but terse |" in md
    assert "| ExactMatch | maybe | ça \\| va |" in md
    assert all(len(row) == 3 for row in _table_rows(md))


def test_markdown_shows_the_error_prominently() -> None:
    report = make_report([record()], error_msg="RateLimitError: <slow down>\n\nretry later")
    md = report.to_markdown()
    block = "> **Run stopped early:** RateLimitError: \\<slow down\\>\n>\n> retry later\n"
    assert block in md
    assert md.index(block) < md.index("## Summary")
