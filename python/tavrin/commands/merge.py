"""``tavrin merge``: one report from the reports of the shards of one evaluation."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Dict, List, Optional, Tuple

import click

from tavrin._costs import merged_costs
from tavrin._outputs import check_output
from tavrin.commands._qa.common import (
    Fail,
    find_test_set,
    load_report,
)
from tavrin.evaluation.qa.question_set import QuestionSet, QuestionSetError
from tavrin.evaluation.qa.report import (
    EvalRecord,
    Report,
    report_date,
    report_name,
)


@click.command()
@click.argument("reports", nargs=-1, required=True, type=click.Path(exists=True))
@click.option(
    "-o", "--output", required=True, type=click.Path(dir_okay=False), help="Where to write the joined report."
)
@click.option("--force", is_flag=True, help="Replace an existing report at --output.")
def merge(reports: Tuple[str, ...], output: str, force: bool) -> None:
    """Join the reports of shards of one evaluation (same question set, subjects and evaluators)."""
    check_output(output, inputs=list(reports), option="-o/--output")
    if os.path.exists(output) and not force:
        raise Fail(f"{output} already exists; --force replaces it")
    loaded = [(path, load_report(path)) for path in reports]
    joined = merge_reports(loaded, output)
    try:
        joined.dump_json(output)
    except OSError as exc:
        raise Fail(f"cannot write {output}: {exc.strerror or exc}") from exc
    click.secho(
        f"Saved JSON report: {output} ({len(joined.records)} judgement(s) from {len(reports)} report(s))", fg="green"
    )


def merge_reports(loaded: List[Tuple[str, Report]], output: str) -> Report:
    """One report holding the records of all of ``loaded``; refuses reports of different runs."""
    first_path, first = loaded[0]
    for path, report in loaded[1:]:
        for key, what in (
            ("description", "question set"),
            ("subjects", "subjects"),
            ("evaluators", "evaluators"),
            ("judge_models", "juries of judge models"),
        ):
            if getattr(report, key) != getattr(first, key):
                raise Fail(
                    f"{path} and {first_path} have different {what} "
                    f"({getattr(report, key)!r} and {getattr(first, key)!r}); they are not shards of one run"
                )
        if Path(report.test_set_path).name != Path(first.test_set_path).name:
            raise Fail(
                f"{path} and {first_path} use different question sets "
                f"({report.test_set_path} and {first.test_set_path})"
            )
    records: Dict[str, Tuple[str, EvalRecord]] = {}
    for path, report in loaded:
        for record in report.records:
            seen = records.get(record.id)
            if seen is None or (seen[1].error_msg and not record.error_msg):
                # a judgement made again after an error outranks the error
                records[record.id] = (path, record)
            elif seen[1] != record and not record.error_msg:
                raise Fail(
                    f"case {record.case_id}: {record.subject} by {record.evaluator} is recorded in {seen[0]} "
                    f"and in {path} with different values"
                )
    ordered = [record for _, record in records.values()]
    try:
        cases = QuestionSet.load_json(find_test_set(first, first_path)).cases
        position = {str(c.id): i for i, c in enumerate(cases)}
        subjects = {s: i for i, s in enumerate(first.subjects)}
        evaluators = {e: i for i, e in enumerate(first.evaluators)}
        ordered.sort(
            key=lambda r: (
                position.get(str(r.case_id), len(position)),
                subjects.get(r.subject, 0),
                evaluators.get(r.evaluator, 0),
            )
        )
    except (Fail, QuestionSetError, OSError):
        pass  # the question set is not at hand: the reports' order
    errors = [f"{path}: {r.error_msg}" for path, r in loaded if r.error_msg]

    def total(key: str) -> Optional[int]:
        values = [getattr(r, key) for _, r in loaded]
        return sum(values) if all(v is not None for v in values) else None

    classes: Dict[str, Dict[str, str]] = {}
    for _, report in loaded:
        for kind, table in (report.classes or {}).items():
            classes.setdefault(kind, {}).update(table)
    return Report(
        name=report_name(output),
        date=report_date(),
        test_set_path=first.test_set_path,
        subjects=list(first.subjects),
        evaluators=list(first.evaluators),
        records=ordered,
        description=first.description,
        error_msg="; ".join(errors),
        requests=total("requests"),
        retries=total("retries"),
        tokens=total("tokens"),
        classes=classes or None,
        judge_models=first.judge_models,
        cost=merged_costs([r.cost for _, r in loaded]),
    )
