"""compare, judge-agreement, and the CI gates of evaluate, resume and compare: exit statuses,
outputs, JUnit XML and bad input."""

import json
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import List, Sequence

import pytest
from click.testing import CliRunner

from tavrin.cli import cli
from tavrin.evaluation.qa.report import EvalRecord, Report

EXAMPLE = str(Path(__file__).resolve().parents[1] / "examples" / "questions.json")
LABELS = str(Path(__file__).resolve().parents[1] / "examples" / "labels.jsonl")


def write_report(path: Path, values: Sequence[bool], ratings: Sequence[int], reason: str = "because") -> str:
    records = []
    for i, (value, rating) in enumerate(zip(values, ratings)):
        for evaluator, v in (("Correctness", value), ("Rating", rating)):
            records.append(EvalRecord(case_id=str(i), question=f"question {i}", subject="Bot", prediction=f"answer {v}",
                                      expected="ref", documents=[], evaluator=evaluator, value=v, reason=reason))
    Report(name=path.stem, date="d", test_set_path="q.json", subjects=["Bot"], evaluators=["Correctness", "Rating"],
           records=records).dump_json(path)
    return str(path)


@pytest.fixture
def runs(tmp_path: Path) -> List[str]:
    worse = write_report(tmp_path / "old.json", [False] * 14 + [True] * 6, [3] * 20)
    better = write_report(tmp_path / "new.json", [True] * 18 + [False] * 2, [8] * 20, reason="ok \x1b[31m<&\"'>")
    return [worse, better]


def invoke(args: List[str]):
    return CliRunner().invoke(cli, args)


def test_compare_prints_the_table_and_the_flips_in_every_format(tmp_path: Path, runs: List[str]) -> None:
    md = tmp_path / "c.md"
    result = invoke(["compare", *runs, "--markdown", str(md)])
    assert result.exit_code == 0, result.output
    assert "20 case(s) in common" in result.stdout
    row = next(line for line in result.stdout.splitlines() if line.split()[:2] == ["Bot", "Correctness"])
    assert "30%" in row and "90%" in row and "+60 pts" in row and "McNemar exact" in row and row.endswith("better")
    assert "Changed: Bot by Correctness, old.json -> new.json (16)" in result.stdout
    assert "\x1b" not in result.stdout  # an answer cannot send escape sequences to the terminal
    assert "case 0: false -> true: question 0" in result.stdout
    text = md.read_text(encoding="utf-8")
    assert "| Bot | Correctness | new.json | 20 | 30% | 90% |" in text and "> answer True" in text
    data = json.loads(invoke(["compare", *runs, "--format", "json"]).stdout)
    row = data["rows"][0]
    assert (data["baseline"], row["test"], row["direction"], len(row["flips"])) == ("old.json", "mcnemar-exact", "better", 16)
    assert row["flips"][0]["after"]["reason"].startswith("ok ") and data["gates"] == []


def test_gate_exit_statuses(tmp_path: Path, runs: List[str]) -> None:
    old, new = runs
    assert invoke(["compare", old, new, "--fail-on-regression", "--fail-under", "Correctness=0.9"]).exit_code == 0
    failed = invoke(["compare", old, new, "--fail-under", "Bot:Rating=0.85"])
    assert failed.exit_code == 3 and "Gate failed: new.json: Bot by Rating: mean 8 < 8.5" in failed.stderr
    regression = invoke(["compare", new, old, "--fail-on-regression"])
    assert regression.exit_code == 3 and "Regression: old.json: Bot by Correctness is worse" in regression.stderr
    # worse, but not significantly: the regression gate passes
    slightly = write_report(tmp_path / "slightly.json", [True] * 17 + [False] * 3, [8] * 20)
    assert invoke(["compare", new, slightly, "--fail-on-regression"]).exit_code == 0

    out = tmp_path / "run.json"
    base = ["evaluate", EXAMPLE, "-s", "YesWoman", "-e", "ExactMatch", "-o", str(out), "--force"]
    assert invoke([*base, "--fail-under", "ExactMatch=0.3"]).exit_code == 0
    result = invoke([*base, "--fail-under", "YesWoman:ExactMatch=50%"])
    assert result.exit_code == 3, result.output
    assert "Gate failed: " in result.stderr and "33% < 50%" in result.stderr and Report.load_json(out).records
    assert invoke(["resume", str(out), "--fail-under", "ExactMatch=0.34"]).exit_code == 3
    passed = invoke(["resume", str(out), "--fail-under", "ExactMatch=0.33", "--format", "json"])
    assert passed.exit_code == 0 and "Gate passed: " in passed.stderr
    cell = json.loads(passed.stdout)["summary"][0]
    assert cell["text"] == "4/12 true (33%, 95% CI 14-61%)" and cell["interval"]["method"] == "wilson"


def test_junit_files_are_valid_and_show_the_cases(tmp_path: Path, runs: List[str]) -> None:
    junit = tmp_path / "compare.xml"
    assert invoke(["compare", *reversed(runs), "--fail-under", "Correctness=0.5", "--junit", str(junit)]).exit_code == 3
    root = ET.parse(junit).getroot()
    cases = {case.get("name"): case for case in root.iter("testcase")}
    assert cases["old.json vs new.json"].find("failure") is not None
    assert cases["Correctness=0.5 [old.json: Bot]"].find("failure").text.endswith("30% < 50% (--fail-under Correctness=0.5)")

    junit = tmp_path / "run.xml"
    out = tmp_path / "run.json"
    result = invoke(["evaluate", EXAMPLE, "-s", "YesWoman", "-e", "ExactMatch", "-o", str(out), "--junit", str(junit)])
    assert result.exit_code == 0, result.output
    suite = ET.parse(junit).getroot().find("testsuite")
    assert (suite.get("tests"), suite.get("failures")) == ("12", "8")
    failure = suite.find("testcase[@name='case 2: Are Python strings mutable?']/failure")
    assert failure.get("message") == "judged false" and "reason: prediction 'yes' differs" in failure.text

    new_with_escapes = tmp_path / "escapes.xml"
    assert invoke(["compare", *runs, "--junit", str(new_with_escapes)]).exit_code == 0
    text = ET.parse(new_with_escapes).getroot().find(".//system-out").text
    assert "\x1b" not in text  # a control character XML cannot hold


@pytest.mark.parametrize("args, message", [
    (["--fail-under", "Correctness=1.5"], "--fail-under 'Correctness=1.5': RATE must lie between 0 and 1"),
    (["--fail-under", "Correctness"], "write EVALUATOR=RATE or SUBJECT:EVALUATOR=RATE"),
    (["--fail-under", "Correctness=high"], "RATE 'high' is not a number"),
    (["--fail-under", "Nobody:Correctness=0.5"], "new.json has no subject 'Nobody'"),
    (["--fail-under", "Exact=0.5"], "new.json has no evaluator 'Exact'"),
])
def test_malformed_gates_are_one_line_errors_and_nothing_is_written(tmp_path: Path, runs: List[str], args: List[str],
                                                                    message: str) -> None:
    before = sorted(tmp_path.iterdir())
    result = invoke(["compare", *runs, *args, "--junit", str(tmp_path / "j.xml"), "--markdown", str(tmp_path / "c.md")])
    assert result.exit_code == 1 and result.stderr.startswith("Error: ") and result.stderr.count("\n") == 1
    assert message in result.stderr and result.stdout == ""
    assert sorted(tmp_path.iterdir()) == before
    evaluate = invoke(["evaluate", EXAMPLE, "-s", "YesWoman", "-e", "ExactMatch", "-o", str(tmp_path / "r.json"),
                       "--fail-under", "ExactMatch=1.5"])
    assert evaluate.exit_code == 1 and "RATE must lie between 0 and 1" in evaluate.stderr
    assert sorted(tmp_path.iterdir()) == before


def test_compare_refuses_reports_of_different_question_sets(tmp_path: Path, runs: List[str]) -> None:
    short = write_report(tmp_path / "short.json", [True] * 15, [8] * 15)
    result = invoke(["compare", runs[0], short, "--markdown", str(tmp_path / "c.md")])
    assert result.exit_code == 1 and result.stderr.count("\n") == 1
    assert "judged different cases (15 in common, 5 only in old.json)" in result.stderr
    assert not (tmp_path / "c.md").exists()
    subset = invoke(["compare", runs[0], short, "--allow-subset"])
    assert subset.exit_code == 0 and "15 case(s) in common; 5 only in old.json (left out)" in subset.stdout


def test_judge_agreement_side_by_side_and_labels_formats(tmp_path: Path) -> None:
    report = str(tmp_path / "run.json")
    assert invoke(["evaluate", EXAMPLE, "-s", "YesWoman", "-s", "NoWoman", "-e", "ExactMatch", "-o", report]).exit_code == 0
    other = tmp_path / "other.json"
    data = json.loads(Path(report).read_text(encoding="utf-8"))
    for record in data["records"]:
        if record["case_id"] in ("1", "2"):
            record["value"] = not record["value"]
        record.pop("id")
    other.write_text(json.dumps(data), encoding="utf-8")
    result = invoke(["judge-agreement", report, str(other), LABELS, "--format", "json"])
    assert result.exit_code == 0, result.output
    rows = {(r["report"], r["subject"]): r for r in json.loads(result.stdout)["rows"]}
    assert rows[("run.json", "YesWoman")]["accuracy"] == 1.0 and rows[("run.json", "YesWoman")]["kappa"] == 1.0
    assert rows[("other.json", "YesWoman")]["accuracy"] == 0.5
    assert rows[("other.json", "YesWoman")]["confusion"] == [[1, 1], [1, 1]]  # human rows, judge columns
    text = invoke(["judge-agreement", report, str(other), LABELS]).stdout
    assert "other.json: NoWoman by ExactMatch (rows: human, columns: judge)" in text

    csv_labels = tmp_path / "labels.csv"
    csv_labels.write_text("case_id,subject,evaluator,label\n1,YesWoman,,yes\n2,YesWoman,ExactMatch,no\n", encoding="utf-8")
    assert '"accuracy": 1.0' in invoke(["judge-agreement", report, str(csv_labels), "--format", "json"]).stdout

    unknown = tmp_path / "unknown.jsonl"
    unknown.write_text('{"case_id": "1", "subject": "YesWoman", "label": true}\n'
                       '{"case_id": "99", "subject": "YesWoman", "label": true}\n', encoding="utf-8")
    bad = invoke(["judge-agreement", report, str(unknown)])
    assert bad.exit_code == 1 and bad.stdout == "" and bad.stderr.count("\n") == 1
    assert f"Error: {unknown}:2: case '99' is not in run.json" in bad.stderr
    worse = tmp_path / "worse.csv"
    worse.write_text("case_id,subject,label\n1,YesWoman,maybe\n", encoding="utf-8")
    assert "label 'maybe' is neither yes/no" in invoke(["judge-agreement", report, str(worse)]).stderr
