"""The evaluation driver: skip logic, lazy subjects, failure paths, console output, resume."""

import inspect
import json

import pytest

from tavrin.evaluation.qa import evaluation as ev
from tavrin.evaluation.qa.evaluable.base import EvaluableQA
from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator
from tavrin.evaluation.qa.report import EvalRecord, Report


class Console:
    """Stands in for the module's `click`; records every secho call."""

    def __init__(self):
        self.calls = []

    def secho(self, *args, **kwargs):
        self.calls.append((args, kwargs))

    def texts(self, **style):
        return [a[0] for a, k in self.calls if all(k.get(s) == v for s, v in style.items())]


@pytest.fixture
def console(monkeypatch):
    c = Console()
    monkeypatch.setattr(ev, "click", c)
    return c


def write_set(path, cases, name="demo"):
    path.write_text(json.dumps({"name": name, "cases": [
        {"id": cid, "question": q, "reference_answer": ref} for cid, q, ref in cases]}))
    return str(path)


@pytest.fixture
def qset(tmp_path):
    return write_set(tmp_path / "set.json", [("1", "q1", "r1"), ("2", "q2", "r2")])


def make_subject(name, answers=None, log=None, docs=None):
    """A subject named `name` answering from `answers` (a callable or constant)."""

    def predict(self, question):
        if log is not None:
            log.append((name, question))
        value = answers(question) if callable(answers) else answers
        return value if isinstance(value, tuple) else (value, docs)

    return type(name, (EvaluableQA,), {"predict": predict})


def make_evaluator(name, judge=None, log=None):
    def evaluate(self, prediction, case):
        if log is not None:
            log.append((name, prediction, case.id))
        if judge is not None:
            return judge(prediction, case)
        return EvalResult(prediction == "ok", f"{name} saw {prediction}")

    return type(name, (Evaluator,), {"evaluate": evaluate, "description": f"{name} checks"})


def load(path):
    return Report.load_json(str(path))


class TestInterface:
    def test_module_names_in_binding_order(self):
        names = [n for n in vars(ev) if not n.startswith("__")]
        assert names == ["datetime", "Path", "Dict", "List", "Optional", "Type", "click",
                         "EvaluableQA", "Evaluator", "QuestionSet", "EvalRecord", "Report",
                         "get_evaluable_from_name", "get_evaluator_from_name",
                         "get_verbose_print", "Evaluation",
                         # the run engine, after the names above
                         "RunHeader", "report_date", "run_evaluation", "RunPrinter"]

    def test_signatures_annotations_docstrings(self):
        E = ev.Evaluation
        assert str(inspect.signature(E.__init__)) == (
            "(self, test_set_path: 'str', subjects: 'List[Type[EvaluableQA]]', "
            "evaluators: 'List[Type[Evaluator]]', records: 'Optional[List[EvalRecord]]' = None) -> 'None'")
        assert str(inspect.signature(E.run)) == (
            "(self, json_path: 'str', markdown_path: 'Optional[str]' = None, verbose: 'bool' = False)")
        assert str(inspect.signature(E.resume)) == "(report_json_path: 'str')"
        assert E.run.__doc__ == "Run the evaluation and save the report to json and markdown file."
        assert E.resume.__doc__ == "Resume an Evaluation's config from a report json file."
        assert E.__bases__ == (object,)
        assert ev.get_verbose_print.__annotations__ == {"verbose": "bool"}

    def test_verbose_print_is_a_closure_checked_at_each_call(self, console):
        flag = []
        vp = ev.get_verbose_print(flag)
        assert vp.__name__ == "verbose_print"
        assert vp.__qualname__ == "get_verbose_print.<locals>.verbose_print"
        assert vp("a", fg="red") is None and console.calls == []
        vp2 = ev.get_verbose_print(True)
        assert vp2("x", "y", bold=True, fg="blue") is None
        assert console.calls == [(("x", "y"), {"bold": True, "fg": "blue"})]

    @pytest.mark.parametrize("args, message", [
        ((1, [], []), "Argument 'test_set_path' has incorrect type (expected str, got int)"),
        (("p", (), []), "Argument 'subjects' has incorrect type (expected list, got tuple)"),
        (("p", [], None), "Argument 'evaluators' has incorrect type (expected list, got NoneType)"),
        (("p", [], [], ()), "Argument 'records' has incorrect type (expected list, got tuple)"),
    ])
    def test_constructor_entry_checks(self, args, message):
        with pytest.raises(TypeError) as info:
            ev.Evaluation(*args)
        assert str(info.value) == message

    def test_run_entry_checks(self, qset, tmp_path):
        e = ev.Evaluation(qset, [], [])
        with pytest.raises(TypeError, match=r"'json_path' has incorrect type \(expected str, got PosixPath\)"):
            e.run(tmp_path / "r.json")
        class S(str):
            pass
        with pytest.raises(TypeError, match=r"'markdown_path' has incorrect type \(expected str, got S\)"):
            e.run("r.json", S("x"))
        assert not (tmp_path / "r.json").exists()


class TestRun:
    def test_every_case_subject_evaluator_in_nested_order(self, qset, tmp_path, console):
        log = []
        subjects = [make_subject("SubA", "ok", log), make_subject("SubB", "no", log)]
        evaluators = [make_evaluator("EvX", log=log), make_evaluator("EvY", log=log)]
        out = tmp_path / "r.json"
        ev.Evaluation(qset, subjects, evaluators).run(str(out), str(tmp_path / "r.md"))
        assert log == [
            ("SubA", "q1"), ("EvX", "ok", "1"), ("EvY", "ok", "1"),
            ("SubB", "q1"), ("EvX", "no", "1"), ("EvY", "no", "1"),
            ("SubA", "q2"), ("EvX", "ok", "2"), ("EvY", "ok", "2"),
            ("SubB", "q2"), ("EvX", "no", "2"), ("EvY", "no", "2")]
        report = load(out)
        assert report.name == "r" and report.error_msg == ""
        assert report.subjects == ["SubA", "SubB"] and report.evaluators == ["EvX", "EvY"]
        assert report.description == "Using test set <demo>"
        assert report.test_set_path == qset
        assert [(r.case_id, r.subject, r.evaluator, r.value) for r in report.records][:2] == [
            ("1", "SubA", "EvX", True), ("1", "SubA", "EvY", True)]
        assert (tmp_path / "r.md").exists()
        assert console.calls == []  # not verbose: nothing printed

    def test_recorded_judgements_are_skipped_and_subject_asked_lazily(self, qset, tmp_path, console):
        log = []
        sub = make_subject("SubLazy", "ok", log)
        evx, evy = make_evaluator("EvX2", log=log), make_evaluator("EvY2", log=log)
        prior = [EvalRecord(case_id="1", question="q1", subject="SubLazy", prediction="ok",
                            expected="r1", documents=None, evaluator="EvX2", value=True, reason="r")]
        e = ev.Evaluation(qset, [sub], [evx, evy], prior)
        e.run(str(tmp_path / "r.json"), verbose=True)
        # case 1: EvX2 skipped, subject asked once for EvY2; case 2: both
        assert log == [("SubLazy", "q1"), ("EvY2", "ok", "1"),
                       ("SubLazy", "q2"), ("EvX2", "ok", "2"), ("EvY2", "ok", "2")]
        assert "Skip evaluate SubLazy by EvX2 on 1" in console.texts()
        assert e._records is prior and len(prior) == 4
        # a second run of the same instance skips everything
        log.clear()
        e.run(str(tmp_path / "r.json"))
        assert log == [] and len(load(tmp_path / "r.json").records) == 4

    def test_fresh_run_does_not_accumulate(self, qset, tmp_path):
        e = ev.Evaluation(qset, [make_subject("SubF", "ok")], [make_evaluator("EvF")], [])
        e.run(str(tmp_path / "a.json"))
        e.run(str(tmp_path / "b.json"))
        assert e._records == [] and len(load(tmp_path / "b.json").records) == 2

    def test_subject_answering_none_is_asked_again(self, qset, tmp_path):
        log = []
        sub = make_subject("SubNone", None, log)
        e = ev.Evaluation(qset, [sub], [make_evaluator("EvN1"), make_evaluator("EvN2")])
        e.run(str(tmp_path / "r.json"))
        assert log == [("SubNone", "q1")] * 2 + [("SubNone", "q2")] * 2

    def test_report_is_named_and_dated_through_the_module_globals(self, qset, tmp_path, monkeypatch):
        import datetime as real

        class Clock:
            @staticmethod
            def now():
                return real.datetime(2001, 2, 3, 4, 5, 6)

        class Named:
            def __init__(self, path):
                self.stem = "named-" + real.datetime.now().strftime("x")

        monkeypatch.setattr(ev, "datetime", Clock)
        monkeypatch.setattr(ev, "Path", Named)
        ev.Evaluation(qset, [make_subject("SubG", "ok")], [make_evaluator("EvG")]).run(str(tmp_path / "r.json"))
        report = load(tmp_path / "r.json")
        assert (report.name, report.date) == ("named-x", "2001-02-03 04:05:06")

    def test_same_name_keeps_later_instance(self, qset):
        first = make_subject("Twin", "a")
        second = make_subject("Twin", "b")
        e = ev.Evaluation(qset, [first, second], [])
        assert list(e._subjects) == ["Twin"] and type(e._subjects["Twin"]) is second

    def test_empty_question_set(self, tmp_path, console):
        path = write_set(tmp_path / "empty.json", [])
        ev.Evaluation(path, [make_subject("SubE", "ok")], [make_evaluator("EvE")]).run(
            str(tmp_path / "r.json"), str(tmp_path / "r.md"), True)
        assert console.texts() == ["\nEvaluation start"]
        assert load(tmp_path / "r.json").records == [] and (tmp_path / "r.md").exists()

    def test_verbose_output_texts_and_styles(self, tmp_path, console):
        path = write_set(tmp_path / "s.json", [("7", "Why?", "Because")])
        docs = [{"label": "a.py", "url": "http://x/a.py"}, {"label": "b.py", "url": "http://x/b.py"}]
        sub = make_subject("SubV", "ok", docs=docs)
        ev.Evaluation(path, [sub], [make_evaluator("EvV")]).run(str(tmp_path / "r.json"), verbose=1)
        assert console.calls == [
            (("\nEvaluation start",), {"bold": True}),
            (("\n>>>>>>>>> question 7: Why?",), {"bold": True, "fg": "yellow"}),
            (("# Ref:\nBecause",), {}),
            (("\n===> SubV Ans:",), {"fg": "blue"}),
            (("ok",), {}),
            (("\nReferences:",), {}),
            (("  - [a.py] http://x/a.py",), {}),
            (("  - [b.py] http://x/b.py",), {}),
            (("\n--- EvV checks",), {"fg": "cyan"}),
            (("EvV: True",), {"fg": "green"}),
            (("reason: EvV saw ok",), {}),
        ]

    @pytest.mark.parametrize("docs", [None, []])
    def test_no_references_line_without_documents(self, qset, tmp_path, console, docs):
        ev.Evaluation(qset, [make_subject("SubD", "ok", docs=docs)], [make_evaluator("EvD")]).run(
            str(tmp_path / "r.json"), verbose=True)
        assert "\nReferences:" not in console.texts()

    @pytest.mark.parametrize("md", [None, ""])
    def test_no_markdown_without_path(self, qset, tmp_path, md):
        ev.Evaluation(qset, [], []).run(str(tmp_path / "r.json"), md)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["r.json", "set.json"]


class TestFailures:
    def run_failing(self, qset, tmp_path, subject, evaluator):
        out, md = tmp_path / "r.json", tmp_path / "r.md"
        e = ev.Evaluation(qset, [make_subject("SubOk", "ok"), subject], [evaluator])
        e.run(str(out), str(md))
        return load(out), md.exists()

    def test_predict_raises(self, qset, tmp_path, console):
        def answers(q):
            if q == "q2":
                raise ValueError("model down")
            return "ok"
        report, md = self.run_failing(qset, tmp_path, make_subject("SubBad", answers),
                                      make_evaluator("EvP"))
        assert console.texts(fg="red") == ["> Error when predicting. Raise by SubBad on 2",
                                           "\n***** Exception *****\nmodel down\n"]
        assert report.error_msg == "model down" and not md
        assert [(r.case_id, r.subject) for r in report.records] == [("1", "SubOk"), ("1", "SubBad"), ("2", "SubOk")]

    def test_evaluate_raises(self, qset, tmp_path, console):
        def judge(prediction, case):
            if case.id == "2":
                raise RuntimeError("judge down")
            return EvalResult(True, "fine")
        report, md = self.run_failing(qset, tmp_path, make_subject("SubG", "ok"),
                                      make_evaluator("EvR", judge))
        assert console.texts(fg="red") == [">>> Error when evaluating. Raise by EvR on SubOk with 2",
                                           "\n***** Exception *****\njudge down\n"]
        assert report.error_msg == "judge down" and len(report.records) == 2 and not md

    def test_keyboard_interrupt(self, qset, tmp_path, console):
        def answers(q):
            raise KeyboardInterrupt
        report, md = self.run_failing(qset, tmp_path, make_subject("SubKI", answers), make_evaluator("EvK"))
        assert console.texts(fg="red") == ["\n***** KeyboardInterrupt *****\n"]
        assert report.error_msg == "KeyboardInterrupt" and len(report.records) == 1 and not md

    def test_exception_without_text_still_marks_the_run(self, qset, tmp_path, console):
        def answers(q):
            raise ValueError()
        report, md = self.run_failing(qset, tmp_path, make_subject("SubEmpty", answers), make_evaluator("EvE2"))
        assert report.error_msg == "ValueError" and not md

    @pytest.mark.parametrize("answer, message", [
        (("a", [], 3), "too many values to unpack (expected 2)"),
        (("a",), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        ((b"a", []), "Expected unicode, got bytes"),
        (("a", ()), "Expected list, got tuple"),
    ])
    def test_wrong_shape_from_subject(self, qset, tmp_path, console, answer, message):
        sub = make_subject("SubShape", lambda q: answer)
        report, md = self.run_failing(qset, tmp_path, sub, make_evaluator("EvS"))
        assert report.error_msg == message
        assert console.texts(fg="red")[0] == "> Error when predicting. Raise by SubShape on 1"

    def test_exception_object_is_kept_and_other_base_exceptions_propagate(self, qset, tmp_path, console):
        exc = SystemExit(3)
        def answers(q):
            raise exc
        out = tmp_path / "r.json"
        with pytest.raises(SystemExit) as info:
            ev.Evaluation(qset, [make_subject("SubExit", answers)], [make_evaluator("EvX3")]).run(
                str(out), str(tmp_path / "r.md"))
        assert info.value is exc
        report = load(out)
        assert report.error_msg == "3" and not (tmp_path / "r.md").exists()

    def test_report_write_failure_propagates(self, qset, tmp_path, monkeypatch):
        class Boom(Exception):
            pass
        class BadReport(Report):
            def dump_json(self, path):
                raise Boom("disk full")
        monkeypatch.setattr(ev, "Report", BadReport)
        with pytest.raises(Boom):
            ev.Evaluation(qset, [], []).run(str(tmp_path / "r.json"))


class TestResume:
    def test_resume_finishes_an_interrupted_run(self, qset, tmp_path, console):
        calls = {"n": 0}
        def answers(q):
            calls["n"] += 1
            if calls["n"] == 2:
                raise ValueError("flaky")
            return "ok"
        sub = make_subject("SubFlaky", answers)
        out = tmp_path / "r.json"
        ev.Evaluation(qset, [sub], [make_evaluator("EvFlaky")]).run(str(out))
        assert load(out).error_msg == "flaky"

        resumed = ev.Evaluation.resume(str(out))
        assert type(resumed) is ev.Evaluation and list(resumed._subjects) == ["SubFlaky"]
        resumed.run(str(out), str(tmp_path / "r.md"))
        report = load(out)
        assert report.error_msg == "" and [r.case_id for r in report.records] == ["1", "2"]
        assert (tmp_path / "r.md").exists()

    def test_resume_is_a_classmethod_for_subclasses(self, qset, tmp_path):
        out = tmp_path / "r.json"
        ev.Evaluation(qset, [], []).run(str(out))
        class Mine(ev.Evaluation):
            pass
        assert type(Mine.resume(str(out))) is Mine
        with pytest.raises(TypeError, match="'report_json_path' has incorrect type"):
            ev.Evaluation.resume(out)

    def test_unknown_name_in_report(self, qset, tmp_path):
        out = tmp_path / "r.json"
        ev.Evaluation(qset, [make_subject("SubGone", "ok")], []).run(str(out))
        data = json.loads(out.read_text())
        data["subjects"] = ["NoSuchSubject"]
        out.write_text(json.dumps(data))
        with pytest.raises(LookupError, match="NoSuchSubject"):
            ev.Evaluation.resume(str(out))
