"""Evaluation.run against a plain-Python transcription of the same loop.

2,000 cases x 3 subjects x 2 evaluators, instant subjects and evaluators, half of
the judgements already recorded (so half are skipped). Both sides write the same
JSON report at the end. Prints the times and the ratio.

    .venv/bin/python bench/bench_evaluation.py [--cases 2000] [--repeat 3]
"""

import argparse
import json
import tempfile
import time
from datetime import datetime
from pathlib import Path

import click

from tavrin.evaluation.qa import evaluation as ev
from tavrin.evaluation.qa.evaluable.base import EvaluableQA
from tavrin.evaluation.qa.evaluator.base import EvalResult, Evaluator
from tavrin.evaluation.qa.question_set import QuestionSet
from tavrin.evaluation.qa.report import EvalRecord, Report


def make_classes():
    def predict(self, question):
        return "answer", []

    def evaluate(self, prediction, case):
        return EvalResult(True, "ok")

    subjects = [type(f"BenchSubject{i}", (EvaluableQA,), {"predict": predict}) for i in range(3)]
    evaluators = [type(f"BenchEvaluator{i}", (Evaluator,), {"evaluate": evaluate, "description": "d"})
                  for i in range(2)]
    return subjects, evaluators


def prior_records(qset, subjects, evaluators):
    """Every other judgement, as a resumed run would start with."""
    records, n = [], 0
    for case in qset.cases:
        for s in subjects:
            for e in evaluators:
                n += 1
                if n % 2:
                    records.append(EvalRecord(case_id=case.id, question=case.question, subject=s.name,
                                              prediction="answer", expected=case.reference_answer,
                                              documents=[], evaluator=e.name, value=True, reason="ok"))
    return records


def python_run(test_set_path, qset, subjects, evaluators, records, json_path, verbose=False):
    """The driver's loop, written as plain Python."""

    def v_print(*args, **kwargs):
        if verbose:
            click.secho(*args, **kwargs)

    subjects = {s.name: s() for s in subjects}
    evaluators = {e.name: e() for e in evaluators}
    v_print("\nEvaluation start", bold=True)
    record_ids = {r.id for r in records}
    error_msg = ""
    try:
        for case in qset.cases:
            v_print(f"\n>>>>>>>>> question {case.id}: {case.question}", bold=True, fg="yellow")
            v_print(f"# Ref:\n{case.reference_answer}")
            for s_name, subject in subjects.items():
                prediction = documents = None
                for e_name, evaluator in evaluators.items():
                    rid = EvalRecord.gen_eval_record_id(case_id=case.id, question=case.question,
                                                        subject=s_name, evaluator=e_name)
                    if rid in record_ids:
                        v_print(f"Skip evaluate {s_name} by {e_name} on {case.id}")
                        continue
                    if prediction is None:
                        prediction, documents = subject.predict(case.question)
                        v_print(f"\n===> {s_name} Ans:", fg="blue")
                        v_print(prediction)
                    result = evaluator.evaluate(prediction, case)
                    record = EvalRecord(case_id=case.id, question=case.question, subject=s_name,
                                        prediction=prediction, expected=case.reference_answer,
                                        documents=documents, evaluator=e_name, value=result.value,
                                        reason=result.reason)
                    records.append(record)
                    record_ids.add(record.id)
                    v_print(f"\n--- {evaluator.description}", fg="cyan")
                    v_print(f"{e_name}: {result.value}", fg="green")
                    v_print(f"reason: {result.reason}")
    except Exception as e:
        error_msg = str(e)
    report = Report(name=Path(json_path).stem, date=datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
                    test_set_path=str(test_set_path), subjects=list(subjects), evaluators=list(evaluators),
                    records=records, description=f"Using test set <{qset.name}>", error_msg=error_msg)
    report.dump_json(json_path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        set_path = Path(tmp) / "set.json"
        set_path.write_text(json.dumps({"name": "bench", "cases": [
            {"id": str(i), "question": f"question {i}?", "reference_answer": f"answer {i}"}
            for i in range(args.cases)]}))
        qset = QuestionSet.load_json(str(set_path))
        subjects, evaluators = make_classes()
        judgements = args.cases * len(subjects) * len(evaluators)

        best_native = best_python = float("inf")
        for _ in range(args.repeat):
            records = prior_records(qset, subjects, evaluators)
            e = ev.Evaluation(str(set_path), subjects, evaluators, records)
            t0 = time.perf_counter()
            e.run(str(Path(tmp) / "native.json"))
            best_native = min(best_native, time.perf_counter() - t0)
            assert len(e._records) == judgements

            records = prior_records(qset, subjects, evaluators)
            t0 = time.perf_counter()
            python_run(str(set_path), qset, subjects, evaluators, records, str(Path(tmp) / "python.json"))
            best_python = min(best_python, time.perf_counter() - t0)
            assert len(records) == judgements

    print(f"judgements: {judgements} ({judgements // 2} recorded beforehand)")
    print(f"Evaluation.run      : {best_native * 1e3:8.1f} ms")
    print(f"plain Python loop   : {best_python * 1e3:8.1f} ms")
    print(f"ratio python/native : {best_python / best_native:8.2f}x")


if __name__ == "__main__":
    main()
