"""Files that are valid but hostile: nesting deeper than the JSON parser's recursion,
ratings near the float range, text that is not text (lone surrogates), answers of many
megabytes. Each ends in one line and exit 1 where it is bad input, and in sound figures
and a usable page where it is data."""

import json
import shutil
from pathlib import Path
from typing import List

import pytest
from click.testing import CliRunner

from tavrin.cli import cli
from tavrin.evaluation.qa.report import EvalRecord, Report, journal_path

EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "questions.json"
DEEP = "[" * 100000


def _one_line_error(args: List[str], *names: str) -> str:
    result = CliRunner().invoke(cli, args)
    lines = result.output.strip().splitlines()
    assert result.exit_code == 1 and len(lines) == 1 and lines[0].startswith("Error: "), (args, result.output)
    for name in names:
        assert name in lines[0], (args, lines[0])
    return lines[0]


def _rating_report(name: str, values: List[object]) -> Report:
    records = [
        EvalRecord(case_id=str(i), question=f"q{i}", subject="S", prediction="a", expected="b", documents=[],
                   evaluator="Rating", value=value, reason="r")
        for i, value in enumerate(values)
    ]
    return Report(name=name, date="2024-05-01 12:00:00", test_set_path="q.json", subjects=["S"],
                  evaluators=["Rating"], records=records)


def test_deep_nesting_is_one_line_naming_the_file_in_every_reader(tmp_path: Path,
                                                                   monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    shutil.copy(EXAMPLE, "set.json")
    assert CliRunner().invoke(cli, ["evaluate", "set.json", "-s", "YesWoman", "-e", "ExactMatch",
                                    "-o", "r.json"]).exit_code == 0
    Path("deep.json").write_text(DEEP)
    Path("deep.jsonl").write_text(DEEP + "\n")
    Path("labels.jsonl").write_text('{"case_id": "1", "subject": "YesWoman", "label": true}\n' + DEEP + "\n")
    shutil.copy("r.json", "j.json")
    journal_path("j.json").write_text('{"format": "tavrin-qa-journal"}\n' + DEEP + "\n")
    for args, where in [
        (["markdown", "deep.json"], "deep.json"),                                  # a report
        (["compare", "r.json", "deep.json"], "deep.json"),
        (["evaluate", "deep.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "x.json"], "deep.json"),  # questions
        (["retrieval-eval", "deep.jsonl"], "deep.jsonl, line 1"),                  # a ground truth
        (["judge-agreement", "r.json", "labels.jsonl"], "labels.jsonl:2"),         # labels
        (["markdown", "j.json"], "j.json.journal: line 2"),                        # a journal
    ]:
        assert "nested too deeply" in _one_line_error(args, where)
    assert not Path("x.json").exists()
