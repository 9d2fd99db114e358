"""Concurrent runs with Python subjects and evaluators: order, laziness, stopping."""

import _thread
import json
import random
import threading
import time

import pytest

from tavrin.evaluation.qa.run import RunObserver, run
from tavrin.evaluation.qa.evaluable.base import EvaluableQA
from tavrin.evaluation.qa.evaluation import Evaluation
from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator
from tavrin.evaluation.qa.report import Report, journal_path


def write_set(path, n):
    path.write_text(json.dumps({"name": "c", "cases": [
        {"id": str(i), "question": f"q{i}", "reference_answer": "yes" if i % 2 else "no"} for i in range(n)]}))
    return str(path)


class Quiet:
    @staticmethod
    def secho(*args, **kwargs):
        pass


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    monkeypatch.setattr("tavrin.evaluation.qa.evaluation.click", Quiet)


def make_classes(asked, delay=0.003):
    rng = random.Random(7)
    lock = threading.Lock()

    class Jittery(EvaluableQA):
        name = "Jittery"

        def predict(self, question):
            with lock:
                asked.append(question)
                pause = rng.random() * delay
            time.sleep(pause)
            return ("yes" if int(question[1:]) % 3 else "no"), []

    class Judge1(Evaluator):
        name = "Judge1"

        def evaluate(self, prediction, case):
            time.sleep(rng.random() * delay)
            return EvalResult(prediction == case.reference_answer, f"{case.id}/1")

    class Judge2(Judge1):
        name = "Judge2"

        def evaluate(self, prediction, case):
            time.sleep(rng.random() * delay)
            return EvalResult(len(prediction), f"{case.id}/2")

    return Jittery, Judge1, Judge2


def test_records_come_in_sequential_order_and_each_subject_is_asked_once_per_case(tmp_path):
    qset = write_set(tmp_path / "s.json", 25)
    asked_seq, asked_par = [], []
    subject, *judges = make_classes(asked_seq)
    Evaluation(qset, [subject], judges).run(str(tmp_path / "seq.json"))
    subject, *judges = make_classes(asked_par)
    report = run(Evaluation(qset, [subject], judges), str(tmp_path / "par.json"),
                                         str(tmp_path / "par.md"), jobs=8)
    sequential = Report.load_json(tmp_path / "seq.json")
    assert [r.to_dict() for r in report.records] == [r.to_dict() for r in sequential.records]
    assert Report.load_json(tmp_path / "par.json").records == report.records
    assert sorted(asked_par) == sorted(asked_seq) and len(asked_par) == 25
    assert (tmp_path / "par.md").read_text(encoding="utf-8") == report.to_markdown()
    assert not journal_path(tmp_path / "par.json").exists()


def test_a_resumed_concurrent_run_skips_what_is_recorded(tmp_path):
    qset = write_set(tmp_path / "s.json", 6)
    subject, *judges = make_classes([])
    Evaluation(qset, [subject], judges).run(str(tmp_path / "r.json"))
    data = json.loads((tmp_path / "r.json").read_text())
    data["records"] = data["records"][::2]
    (tmp_path / "r.json").write_text(json.dumps(data))
    asked = []
    subject, *judges = make_classes(asked)
    Evaluation.resume(str(tmp_path / "r.json"))  # loads
    resumed = Evaluation(qset, [subject], judges, Report.load_json(tmp_path / "r.json").records)
    report = run(resumed, str(tmp_path / "r.json"), jobs=3)
    assert len(report.records) == 12 and len({r.id for r in report.records}) == 12
    assert len(asked) == 6  # every case had one judgement left


def test_the_first_failure_stops_new_work_and_keeps_the_successes(tmp_path):
    qset = write_set(tmp_path / "s.json", 40)
    calls = []

    class Answer(EvaluableQA):
        name = "Answer"

        def predict(self, question):
            return "yes", []

    class Fragile(Evaluator):
        name = "Fragile"

        def evaluate(self, prediction, case):
            calls.append(case.id)
            if case.id == "5":
                raise RuntimeError("judge down")
            time.sleep(0.002)
            return EvalResult(True, "ok")

    report = run(Evaluation(qset, [Answer], [Fragile]), str(tmp_path / "r.json"),
                                         str(tmp_path / "r.md"), jobs=4)
    assert report.error_msg == "judge down"
    assert len(report.records) == len(calls) - 1 < 40
    assert [r.case_id for r in report.records] == sorted((c for c in calls if c != "5"), key=int)
    assert not (tmp_path / "r.md").exists()


def test_ctrl_c_lets_the_judgements_in_flight_finish_and_a_second_one_stops_at_once(tmp_path):
    qset = write_set(tmp_path / "s.json", 30)
    release = threading.Event()
    started = []

    class Answer(EvaluableQA):
        name = "Answer"

        def predict(self, question):
            return "yes", []

    class Slow(Evaluator):
        name = "Slow"

        def evaluate(self, prediction, case):
            started.append(case.id)
            if case.id == "3":
                _thread.interrupt_main()
            release.wait(2)
            if int(case.id) >= 4:
                # judgements take time, so the main thread (however loaded the machine)
                # sees the interrupt before the workers run out of cases
                time.sleep(0.2)
            return EvalResult(True, "ok")

    def let_go():
        while len(started) < 4:
            time.sleep(0.001)
        release.set()

    helper = threading.Thread(target=let_go)
    helper.start()
    report = run(Evaluation(qset, [Answer], [Slow]), str(tmp_path / "r.json"), jobs=4)
    helper.join()
    assert report.error_msg == "KeyboardInterrupt"
    assert {r.case_id for r in report.records} == set(started)  # the ones in flight were recorded
    assert len(started) < 30 and not journal_path(tmp_path / "r.json").exists()

    release.clear()
    started.clear()

    class Stuck(Slow):
        name = "Stuck"

        def evaluate(self, prediction, case):
            started.append(case.id)
            if case.id == "1":
                _thread.interrupt_main()
                time.sleep(0.05)
                _thread.interrupt_main()
            release.wait(5)
            return EvalResult(True, "late")

    report = run(Evaluation(qset, [Answer], [Stuck]), str(tmp_path / "r2.json"), jobs=2)
    release.set()
    assert report.error_msg == "KeyboardInterrupt" and report.records == []


@pytest.mark.parametrize("jobs", [1, 3])
def test_the_observer_hears_what_either_run_path_did(tmp_path, jobs):
    class Log(RunObserver):
        def __init__(self):
            self.events = []

        def started(self, total):
            self.events.append(("started", total))

        def block(self, lines):
            self.events.append(("block", lines[0][0][0].strip()))

        def recorded(self, record):
            self.events.append(("recorded", record.id))

        def written(self, path):
            self.events.append(("written", (tmp_path / "r.json").read_text(encoding="utf-8")))

    qset = write_set(tmp_path / "s.json", 3)
    subject, *judges = make_classes([])
    done = Evaluation(qset, [subject], judges)
    run(done, str(tmp_path / "first.json"), jobs=1)
    resumed = Evaluation(qset, [subject], judges, Report.load_json(tmp_path / "first.json").records[:2])
    log = Log()
    report = run(resumed, str(tmp_path / "r.json"), jobs=jobs, verbose=True, observer=log)
    kinds = [kind for kind, _ in log.events]
    assert log.events[0] == ("started", 4)
    # in the order they were made: a concurrent run's may differ from the report's
    assert sorted(value for kind, value in log.events if kind == "recorded") == sorted(r.id for r in report.records[2:])
    # each of the concurrent run's verbose blocks comes whole; the sequential run prints as it goes
    assert kinds.count("block") == (4 if jobs > 1 else 0)
    assert kinds[-1] == "written" and log.events[-1][1] == (tmp_path / "r.json").read_text(encoding="utf-8")
    assert Report.from_json_text(log.events[-1][1], "r.json").records == report.records
