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


def test_huge_ratings_give_the_figures_of_small_ones_scaled(tmp_path: Path) -> None:
    from tavrin.evaluation.qa.compare import compare_reports
    from tavrin.evaluation.qa.stats import summary_cells

    small = [3, 7, 5, 9, 4, 6, 8, 2]
    other = [4, 7, 6, 9, 6, 7, 8, 4]
    scale = 2.0**600  # exact, so the scaled figures must equal the small ones times it
    base, huge = (_rating_report(n, [v * scale for v in vs]) for n, vs in (("a", small), ("b", other)))
    plain = summary_cells(_rating_report("p", small))[0]
    cell = summary_cells(base)[0]
    assert cell.kind == "rating" and cell.interval is not None and plain.interval is not None
    assert cell.estimate == pytest.approx(plain.estimate * scale)
    assert (cell.interval.low, cell.interval.high) == pytest.approx((plain.interval.low * scale,
                                                                      plain.interval.high * scale))
    row = compare_reports([base, huge], ["a", "b"]).rows[0]
    plain_row = compare_reports([_rating_report("a", small), _rating_report("b", other)], ["a", "b"]).rows[0]
    assert row.difference == pytest.approx(plain_row.difference * scale)
    assert row.p_value == pytest.approx(plain_row.p_value, abs=0.02)  # exact test vs sampled, same answer
    # at the top of the float range, differences and sums would overflow: figures stay finite
    edge = _rating_report("e", [1.7e308, -1.7e308, 1.7e308, 1e308])
    flipped = _rating_report("f", [-1.7e308, 1.7e308, -1.7e308, -1e308])
    paths = []
    for report in (base, huge, edge, flipped):
        paths.append(str(tmp_path / f"{report.name}.json"))
        report.dump_json(paths[-1])
    for args in (["markdown", paths[0]], ["markdown", paths[2]], ["compare", *paths[:2], "--format", "json"],
                 ["compare", *paths[2:], "--format", "json"], ["html", *paths[2:], "-o", str(tmp_path / "p.html")]):
        result = CliRunner().invoke(cli, args)
        assert result.exit_code == 0 and "Infinity" not in result.output and "NaN" not in result.output, \
            (args, result.output[-400:])


SURROGATE_SUBJECT = '''
from tavrin.evaluation.qa.evaluable.base import EvaluableQA


class Unpaired(EvaluableQA):
    def predict(self, question):
        return "half of a pair: \\ud83d.", [{"label": "src/\\udc00.py", "url": "https://example.com/x"}]
'''


def test_lone_surrogates_are_refused_in_questions_and_kept_in_answers(tmp_path: Path,
                                                                      monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    data = json.loads(EXAMPLE.read_text(encoding="utf-8"))
    data["cases"][2]["id"] = "\ud800"
    Path("bad.json").write_text(json.dumps(data))  # ASCII escapes: valid JSON, and UTF-8
    line = _one_line_error(["evaluate", "bad.json", "-s", "YesWoman", "-e", "ExactMatch", "-o", "x.json"],
                           "bad.json: case 2: field 'id'", "surrogate")
    assert "\\ud800" in line and not Path("x.json").exists() and not journal_path("x.json").exists()
    # an answer holding one is data: the report keeps it exactly, resumes, and renders
    shutil.copy(EXAMPLE, "set.json")
    Path("unpaired.py").write_text(SURROGATE_SUBJECT)
    monkeypatch.syspath_prepend(str(tmp_path))
    run = CliRunner().invoke(cli, ["evaluate", "set.json", "-s", "unpaired:Unpaired", "-e", "ExactMatch",
                                   "-o", "r.json", "-v"])
    assert run.exit_code == 0, run.output
    assert "half of a pair: \\ud83d." in run.output
    records = Report.load_json("r.json").records
    assert len(records) == 12 and not journal_path("r.json").exists()
    assert {(r.prediction, r.documents[0]["label"]) for r in records} == {("half of a pair: \ud83d.", "src/\udc00.py")}
    for args in (["resume", "r.json"], ["markdown", "r.json", "-o", "r.md"], ["html", "r.json", "-o", "r.html"]):
        result = CliRunner().invoke(cli, args)
        assert result.exit_code == 0, (args, result.output)
    assert Report.load_json("r.json").records == records
    assert "half of a pair: \ufffd." in Path("r.md").read_text(encoding="utf-8")
