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
