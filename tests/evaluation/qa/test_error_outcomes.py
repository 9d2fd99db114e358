"""Judgements that end in an error: recorded as such under --keep-going, counted apart in every
summary, gated by --fail-on-error, and made again, alone, by resume --retry-errors."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Any, Dict

import pytest
from click.testing import CliRunner

from tavrin.cli import cli
from tavrin.evaluation.qa.report import EvalRecord, Report, journal_path

ECHO_MODULE = textwrap.dedent('''
    from tavrin.evaluation.qa.evaluable.base import EvaluableQA


    class Echo(EvaluableQA):
        """Answers with the question itself, so that the judge's prompt names the case."""

        def predict(self, question):
            return question, []
''')


def write_set(path: Path, n: int) -> str:
    cases = [{"id": f"c{i}", "question": f"What is case {i}?", "reference_answer": "Yes"} for i in range(n)]
    path.write_text(json.dumps({"name": "echo", "cases": cases}), encoding="utf-8")
    return str(path)


@pytest.fixture
def echo(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> str:
    modules = tmp_path / "modules"
    modules.mkdir()
    (modules / "echo_subject.py").write_text(ECHO_MODULE)
    monkeypatch.syspath_prepend(str(modules))
    monkeypatch.delitem(sys.modules, "echo_subject", raising=False)
    return "echo_subject:Echo"


def cases_failing(*numbers: int) -> Any:
    marks = [f"What is case {n}?" for n in numbers]
    return lambda body: any(mark in json.dumps(body) for mark in marks)


def tavrin(*args: str) -> Any:
    return CliRunner().invoke(cli, list(args), catch_exceptions=False)


def records_by_id(path: Path) -> Dict[str, str]:
    """Each record of a report file as its exact JSON, by id."""
    data = json.loads(path.read_text(encoding="utf-8"))
    return {raw["id"]: json.dumps(raw, sort_keys=True) for raw in data["records"]}


@pytest.mark.parametrize("jobs", ["1", "8"])
def test_lasting_errors_are_recorded_gated_and_retried_alone(tmp_path, llm_env, servers, echo, jobs):
    qset = write_set(tmp_path / "set.json", 10)
    out, junit = tmp_path / "r.json", tmp_path / "junit.xml"
    server = servers(fail_when=cases_failing(3, 7))
    llm_env(server)
    result = tavrin("evaluate", qset, "-s", echo, "-s", "YesWoman", "-e", "Correctness", "-o", str(out), "-j", jobs,
                    "--keep-going", "--max-retries", "1", "--no-cache", "--fail-on-error", "5%", "--junit", str(junit))
    assert result.exit_code == 3, result.output
    assert "Gate failed: " in result.stderr and "2 error(s) in 20 judgement(s) (10%) > 5% of them" in result.stderr

    report = Report.load_json(out)
    errors = [r for r in report.records if r.error_msg]
    assert report.error_msg == "" and len(report.records) == 20
    assert [(r.case_id, r.subject, r.value, r.reason) for r in errors] == [
        ("c3", "Echo", None, None), ("c7", "Echo", None, None)]
    assert all("\n" not in r.error_msg and "gave up after 2 attempts" in r.error_msg for r in errors)
    assert "0/8 true (0%, 95% CI 0-32%), 2 errors" in result.stdout  # errors left out of the rate
    suites = ET.parse(junit).getroot()
    assert suites.get("errors") == "2" and len(suites.findall(".//error")) == 2

    tolerated = tavrin("resume", str(out), "--fail-on-error", "2")  # nothing new to make
    assert tolerated.exit_code == 0, tolerated.output
    before = records_by_id(out)
    order = [r.id for r in Report.load_json(out).records]

    # a retry that fails again stops the run (no --keep-going): what it did not remake stays an error
    server.fail_when = cases_failing(3)
    stopped = tavrin("resume", str(out), "--retry-errors", "-j", jobs, "--no-cache", "--max-retries", "0")
    assert stopped.exit_code == 1
    kept = Report.load_json(out)
    kept_errors = [r.case_id for r in kept.records if r.error_msg]
    assert [r.id for r in kept.records] == order and kept_errors[0] == "c3"

    server.fail_when = None
    asked = len(server.judge_requests())
    retried = tavrin("resume", str(out), "--retry-errors", "-j", jobs, "--no-cache")
    assert retried.exit_code == 0, retried.output
    assert len(server.judge_requests()) - asked == len(errors) - ("c7" not in kept_errors)
    after = records_by_id(out)
    done = Report.load_json(out)
    assert [r.id for r in done.records] == order and not any(r.error_msg for r in done.records)
    assert {i: text for i, text in after.items() if i not in {r.id for r in errors}} == {
        i: text for i, text in before.items() if i not in {r.id for r in errors}}

    untouched = out.read_bytes()
    again = tavrin("resume", str(out), "--retry-errors")
    assert again.exit_code == 0 and "nothing to retry" in again.output and out.read_bytes() == untouched


def child_env() -> Dict[str, str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if "ASAN_OPTIONS" in env:  # a child that is killed is no place to hunt leaks
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def test_errors_without_a_limit_fail_the_run_and_a_killed_retry_loses_only_what_was_in_flight(
        tmp_path, llm_env, servers, echo):
    qset = write_set(tmp_path / "set.json", 30)
    out = tmp_path / "r.json"
    llm_env(servers(fail_when=cases_failing(*range(30))))
    result = tavrin("evaluate", qset, "-s", echo, "-s", "YesWoman", "-e", "Correctness", "-o", str(out),
                    "--keep-going", "--max-retries", "0", "--no-cache", "-j", "8")
    assert result.exit_code == 1
    assert f"30 judgement(s) ended in an error; `tavrin resume {out} --retry-errors`" in result.stderr
    for bad in ("abc", "150%", "-1", "1.5"):
        refused = tavrin("resume", str(out), "--fail-on-error", bad)
        assert refused.exit_code == 1 and refused.stderr.count("\n") == 1 and "--fail-on-error" in refused.stderr, bad
    before = records_by_id(out)
    errored = {r.id for r in Report.load_json(out).records if r.error_msg}
    assert len(errored) == 30

    llm_env(servers(latency=0.03))
    child = subprocess.Popen(
        [sys.executable, "-c", "from tavrin.cli import main; main()", "resume", str(out), "--retry-errors",
         "--jobs", "4", "--no-cache", "-q"],
        env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    journal = journal_path(out)
    deadline = time.monotonic() + 60
    while child.poll() is None and time.monotonic() < deadline:
        if journal.exists() and journal.read_text().count("\n") >= 6:
            break
        time.sleep(0.01)
    assert child.poll() is None, child.communicate()
    child.send_signal(signal.SIGKILL)
    child.communicate(timeout=30)

    recovered = Report.load_json(out)
    remade = {r.id for r in recovered.records if r.id in errored and not r.error_msg}
    assert len(recovered.records) == 60 and 5 <= len(remade) < 30  # the journal's records took their places
    assert all(before[r.id] == json.dumps(r.to_dict(), sort_keys=True) for r in recovered.records
               if r.id not in errored)

    finished = tavrin("resume", str(out), "--retry-errors", "--no-cache", "-j", "4")
    assert finished.exit_code == 0, finished.output
    final = Report.load_json(out)
    assert not any(r.error_msg for r in final.records) and not journal.exists()
    assert [r.id for r in final.records] == list(before)


def test_a_failed_answer_makes_every_evaluator_of_it_an_error(tmp_path):
    from tavrin.evaluation.qa import run as qa_run
    from tavrin.evaluation.qa.evaluable.base import EvaluableQA
    from tavrin.evaluation.qa.evaluation import Evaluation
    from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator

    class Flaky(EvaluableQA):
        name = "Flaky"

        def predict(self, question):
            if "1" in question:
                raise RuntimeError("no answer\n  today")
            return "Yes", [{"label": "l", "url": "u"}]

    class Says(Evaluator):
        name = "Says"
        description = "says"

        def evaluate(self, prediction, case):
            return EvalResult(prediction == case.reference_answer, "compared")

    class Twice(Says):
        name = "Twice"

    qset = write_set(tmp_path / "set.json", 3)
    report = qa_run.run(Evaluation(qset, [Flaky], [Says, Twice]), str(tmp_path / "r.json"), keep_going=True)
    assert report.error_msg == ""
    assert [(r.case_id, r.evaluator, r.prediction, r.documents, r.error_msg) for r in report.records if r.error_msg] == [
        ("c1", "Says", None, None, "no answer today"), ("c1", "Twice", None, None, "no answer today")]


def record(case: str, value: Any, error: str = "", subject: str = "S") -> EvalRecord:
    return EvalRecord(case_id=case, question=f"q{case}", subject=subject, prediction="p", expected="e",
                      documents=None, evaluator="E", value=value, reason=None if error else "r", error_msg=error)


def report_of(records: Any, name: str = "r") -> Report:
    return Report(name=name, date="d", test_set_path="s", subjects=["S"], evaluators=["E"], records=records)


def test_error_records_round_trip_and_leave_error_free_files_as_they_were(tmp_path):
    from tavrin.evaluation.qa.report.schema import record_from_dict
    from tavrin.errors import ReportError

    plain, failed = record("1", True), record("2", None, "boom")
    assert "error_msg" not in plain.to_dict() and failed.to_dict()["error_msg"] == "boom"
    assert failed.id == record("2", True).id  # the same judgement, whatever its outcome
    report_of([plain, failed]).dump_json(tmp_path / "r.json")
    assert Report.load_json(tmp_path / "r.json").records == [plain, failed]
    with pytest.raises(ReportError, match=r"record 0: field 'error_msg' must be a string"):
        record_from_dict({**failed.to_dict(), "error_msg": 3}, "x.json: record 0")

    # merging shards: a judgement made again outranks its error, in either order
    remade = record("2", False)
    report_of([remade], "b").dump_json(tmp_path / "b.json")
    for first, second in (("r.json", "b.json"), ("b.json", "r.json")):
        merged = tavrin("merge", str(tmp_path / first), str(tmp_path / second), "-o", str(tmp_path / "m.json"),
                        "--force")
        assert merged.exit_code == 0, merged.output
        assert sorted(Report.load_json(tmp_path / "m.json").records, key=lambda r: r.case_id) == [plain, remade]


def test_summaries_count_errors_apart_from_the_rate():
    from tavrin.evaluation.qa.compare import compare_reports
    from tavrin.evaluation.qa.report import summarise
    from tavrin.commands.analysis import comparison_text

    values = [True] * 4 + [False] * 7
    records = [record(str(i), v) for i, v in enumerate(values)] + [record("11", None, "boom")]
    report = report_of(records)
    (entry,) = summarise(report)
    assert entry["text"] == "4/11 true (36%, 95% CI 15-65%), 1 error"
    assert (entry["judged"], entry["errors"], entry["yes_rate"]) == (11, 1, round(4 / 11, 4))
    assert "| S | 4/11 true (36%, 95% CI 15-65%), 1 error |" in report.to_markdown()
    assert "| E | error | boom |" in report.to_markdown()
    clean = report_of(records[:11])
    assert "errors" not in summarise(clean)[0]

    # compare: the case with an error on either side leaves the pairs, and is listed apart
    other = [record(str(i), True) for i in range(11)] + [record("11", False)]
    comparison = compare_reports([report, report_of(other)], ["a.json", "b.json"])
    (row,) = comparison.rows
    assert row.n_pairs == 11 and len(row.flips) == 7 and all(f.case_id != "11" for f in row.flips)
    assert [(label, r.case_id) for label, r in comparison.errors] == [("a.json", "11")]
    assert "Errors, left out of the pairs (1):\n  a.json: case 11: S by E: boom" in comparison_text(comparison)
    assert "errors" not in compare_reports([clean, clean], ["a", "b"]).to_dict()

    # judge-agreement: a labelled case whose judgement is an error is unjudged
    from tavrin.evaluation.qa.agreement import Label, judge_agreement

    labels = [Label(str(i), "S", None, True, f"labels:{i}") for i in range(12)]
    (agreement_row,) = judge_agreement([report], ["r"], labels).rows
    assert (agreement_row.n, agreement_row.unjudged) == (11, 1)
