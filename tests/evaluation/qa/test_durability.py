"""Runs that die: the journal beside the report, SIGTERM, SIGKILL at random moments."""

import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from tavrin.evaluation.qa import evaluation as ev
from tavrin.evaluation.qa.evaluable.base import EvaluableQA
from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator
from tavrin.evaluation.qa.report import EvalRecord, Report, ReportError, journal_path, read_journal


def write_set(path, n):
    path.write_text(json.dumps({"name": "kill", "cases": [
        {"id": str(i), "question": f"q{i}", "reference_answer": "ok"} for i in range(n)]}))
    return str(path)


class Quiet:
    @staticmethod
    def secho(*args, **kwargs):
        pass


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    monkeypatch.setattr(ev, "click", Quiet)


class TestJournal:
    def test_records_reach_the_journal_as_they_are_made_and_it_goes_after_the_report(self, tmp_path):
        out = tmp_path / "r.json"
        seen = []

        class Watcher(Evaluator):
            description = "watch"

            def evaluate(self, prediction, case):
                # everything judged before this call is already on disk
                if journal_path(out).exists():
                    seen.append(len(read_journal(journal_path(out))[1]))
                return EvalResult(True, "ok")

        class Answerer(EvaluableQA):
            def predict(self, question):
                return "ok", []

        ev.Evaluation(write_set(tmp_path / "s.json", 3), [Answerer], [Watcher]).run(str(out))
        assert seen == [0, 1, 2]
        assert not journal_path(out).exists()
        assert len(Report.load_json(str(out)).records) == 3

    @pytest.mark.parametrize("jobs", [1, 3])
    def test_an_interrupt_while_the_journal_opens_still_saves_the_report(self, tmp_path, monkeypatch, jobs):
        from tavrin.evaluation.qa.run import run

        def interrupted(*args, **kwargs):
            raise KeyboardInterrupt

        class Answerer(EvaluableQA):
            def predict(self, question):
                return "ok", []

        class Judge(Evaluator):
            def evaluate(self, prediction, case):
                return EvalResult(True, "ok")

        monkeypatch.setattr(Report, "open_journal", interrupted)
        out = tmp_path / "r.json"
        report = run(ev.Evaluation(write_set(tmp_path / "s.json", 3), [Answerer], [Judge]), str(out), jobs=jobs)
        assert report.error_msg == "KeyboardInterrupt" and report.records == []
        assert Report.load_json(str(out)).error_msg == "KeyboardInterrupt"

    def test_failed_report_write_keeps_the_journal(self, tmp_path, monkeypatch):
        class Answerer2(EvaluableQA):
            def predict(self, question):
                return "ok", []

        class Judge2(Evaluator):
            def evaluate(self, prediction, case):
                return EvalResult(True, "ok")

        original = Report.dump_json
        monkeypatch.setattr(Report, "dump_json", lambda self, path: (_ for _ in ()).throw(OSError("disk full")))
        out = tmp_path / "r.json"
        with pytest.raises(OSError, match="disk full"):
            ev.Evaluation(write_set(tmp_path / "s.json", 2), [Answerer2], [Judge2]).run(str(out))
        monkeypatch.setattr(Report, "dump_json", original)
        recovered = Report.load_json(str(out))  # no report: rebuilt from the journal
        assert len(recovered.records) == 2 and recovered.error_msg
        assert recovered.subjects == ["Answerer2"] and recovered.evaluators == ["Judge2"]

    def test_truncated_last_line_is_the_record_in_flight(self, tmp_path):
        journal = tmp_path / "r.json.journal"
        record = EvalRecord(case_id="1", question="q", subject="S", prediction="p", expected="e",
                            documents=None, evaluator="E", value=True, reason="r")
        header = {"format": "tavrin-qa-journal", "version": 1, "name": "r", "date": "d",
                  "test_set_path": "t", "subjects": ["S"], "evaluators": ["E"], "description": "x"}
        line = json.dumps(record.to_dict())
        journal.write_text(json.dumps(header) + "\n" + line + "\n" + line[:20])
        assert read_journal(journal)[1] == [record]
        journal.write_text(json.dumps(header) + "\n" + line[:20] + "\n" + line + "\n")
        with pytest.raises(ReportError, match=r"r.json.journal: line 2: invalid JSON"):
            read_journal(journal)
        journal.write_text("[1, 2]\n")
        with pytest.raises(ReportError, match="not a tavrin QA journal"):
            Report.load_json(str(tmp_path / "r.json"))


CHILD = textwrap.dedent('''
    import json, os, sys, time
    from tavrin.evaluation.qa.evaluable.base import EvaluableQA
    from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator
    from tavrin.evaluation.qa.evaluation import Evaluation

    LOG = os.environ["KILL_LOG"]

    def log(kind, *parts):
        with open(LOG, "a") as f:
            f.write(json.dumps([kind, *parts]) + "\\n")

    class KillSubject(EvaluableQA):
        def predict(self, question):
            time.sleep(0.002)
            return "ok", []

    class KillJudgeA(Evaluator):
        def evaluate(self, prediction, case):
            log("judge", case.id, self.name)
            time.sleep(0.003)
            return EvalResult(True, "fine")

    class KillJudgeB(KillJudgeA):
        pass

    mode, qset, out = sys.argv[1:4]
    if mode == "start":
        Evaluation(qset, [KillSubject], [KillJudgeA, KillJudgeB]).run(out)
    else:
        Evaluation.resume(out).run(out)
    print("finished")
''')


def calls_made(tmp_path):
    try:
        return (tmp_path / "calls.log").read_text().count("\n")
    except FileNotFoundError:
        return 0


def run_child(tmp_path, mode, qset, out, kill_at=None, sig=signal.SIGKILL):
    """Runs the child; with `kill_at`, sends `sig` once that many judgements were begun in all."""
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    env = dict(os.environ, KILL_LOG=str(tmp_path / "calls.log"))
    proc = subprocess.Popen([sys.executable, str(script), mode, qset, str(out)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if kill_at is not None:
        deadline = time.monotonic() + 60
        while proc.poll() is None and calls_made(tmp_path) < kill_at and time.monotonic() < deadline:
            time.sleep(0.002)
        if proc.poll() is None:
            proc.send_signal(sig)
    stdout, stderr = proc.communicate(timeout=120)
    return proc.returncode, stdout, stderr


def test_sigterm_writes_the_report_like_ctrl_c(tmp_path):
    qset = write_set(tmp_path / "s.json", 200)
    out = tmp_path / "r.json"
    code, stdout, stderr = run_child(tmp_path, "start", qset, out, kill_at=50, sig=signal.SIGTERM)
    assert code == 0 and "finished" in stdout, stderr
    report = Report.load_json(str(out))
    assert report.error_msg == "SIGTERM" and 0 < len(report.records) < 400
    assert not journal_path(out).exists()


def test_sigkill_at_random_moments_loses_nothing_but_the_judgement_in_flight(tmp_path):
    rng = random.Random(1234)
    cases = 60
    qset = write_set(tmp_path / "s.json", cases)
    out = tmp_path / "r.json"
    kills = 0
    mode = "start"
    for _ in range(12):  # bounded number of trials
        target = calls_made(tmp_path) + rng.randint(1, 25)
        code, stdout, stderr = run_child(tmp_path, mode, qset, out, kill_at=target)
        if code == 0:
            break
        assert code == -signal.SIGKILL, stderr
        kills += 1
        mode = "resume" if (out.exists() or journal_path(out).exists()) else "start"
    else:
        pytest.fail("the evaluation never finished")
    assert kills >= 1
    report = Report.load_json(str(out))
    assert report.error_msg == "" and not journal_path(out).exists()
    judged = [(r.case_id, r.evaluator) for r in report.records]
    assert len(judged) == len(set(judged)) == cases * 2
    calls = [tuple(json.loads(line)[1:]) for line in (tmp_path / "calls.log").read_text().splitlines()]
    repeats = len(calls) - len(set(calls))
    assert set(calls) == set(judged)
    assert repeats <= kills  # at most the one judgement in flight per kill is made again


def test_report_and_journal_are_merged_without_duplicates(tmp_path):
    def rec(case_id):
        return EvalRecord(case_id=case_id, question="q", subject="S", prediction="p", expected="e",
                          documents=None, evaluator="E", value=True, reason="r")
    out = tmp_path / "r.json"
    Report(name="r", date="d", test_set_path="t", subjects=["S"], evaluators=["E"], records=[rec("1")],
           description="x", error_msg="The run did not finish").dump_json(str(out))
    journal = Report.open_journal(str(out), name="r", date="d", test_set_path="t", subjects=["S"],
                                  evaluators=["E"], description="x")
    journal.append(rec("1"))
    journal.append(rec("2"))
    journal.close()
    assert [r.case_id for r in Report.load_json(str(out)).records] == ["1", "2"]
