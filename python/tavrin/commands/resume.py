"""``tavrin resume``: the module command of that name, with the command line's checks and
options added."""

from __future__ import annotations

import shlex
from typing import Callable, List, Optional, Tuple

import click

from tavrin._outputs import check_output, same_file
from tavrin.commands._qa.common import (
    Fail,
    _check_junit,
    _Extends,
    _fail_from,
    find_test_set,
    load_report,
)
from tavrin.commands._qa.juries import empanel_jury, jury_of, resumed_jury
from tavrin.commands._qa.running import (
    _configure,
    _error_limit,
    _gates,
    _report_usage,
    _run_and_conclude,
    _run_options,
)
from tavrin.commands._qa.shards import _apply_shard, parse_shard
from tavrin.commands._qa.subjects import (
    _import_recorded,
    _parse_options,
    bind_options,
)
from tavrin.evaluation.qa.evaluable import base as evaluable_base
from tavrin.evaluation.qa.evaluator import base as evaluator_base
from tavrin.evaluation.qa.report import EvalRecord, Report, journal_path
from tavrin.evaluation.qa.report.lock import writing


class _ExtendsResume(_Extends):
    module = "tavrin.evaluation.qa.commands.resume"


@click.command(cls=_ExtendsResume, help="Resume an evaluation from the json report in JSON_PATH.")
@_run_options
@click.option(
    "--retry-errors",
    is_flag=True,
    help="Make again the judgements that ended in an error (and the answers they need); "
    "every other record stays as it is.",
)
def resume(
    json_path: str,
    output: Optional[str],
    verbose: bool,
    jobs: int,
    keep_going: bool,
    max_retries: int,
    request_timeout: float,
    rpm: Optional[float],
    judge_model: Tuple[str, ...],
    no_cache: bool,
    subject_options: Tuple[str, ...],
    quiet: bool,
    fmt: str,
    fail_under: Tuple[str, ...],
    junit_path: Optional[str],
    fail_on_error: Optional[str],
    retry_errors: bool,
) -> None:
    from tavrin.evaluation.qa.evaluation import Evaluation

    out = output or json_path
    # held until the command ends, and taken before the report is read: what it holds then
    # is what no other run is adding to
    click.get_current_context().with_resource(writing(out))
    report = load_report(json_path)
    gates = _gates(fail_under, report.subjects, report.evaluators, json_path)
    error_limit = _error_limit(fail_on_error)
    test_set = find_test_set(report, json_path)
    check_output(out, inputs=[test_set] if not same_file(test_set, json_path) else [], option="-o/--output")
    _check_junit(junit_path, [test_set, json_path], [out])
    if output and not same_file(output, json_path) and journal_path(output).exists():
        raise Fail(f"{journal_path(output)} holds the judgements of another run; resume {shlex.quote(output)} instead")
    judge_model = resumed_jury(report, json_path, judge_model)
    records, finishing = report.records, None
    if retry_errors:
        records = [record for record in report.records if not record.error_msg]
        if len(records) == len(report.records):
            click.secho(
                f"{json_path} holds no judgement that ended in an error: nothing to retry.",
                fg="blue",
                err=fmt == "json",
            )
            return
        finishing = _in_order(report.records)
    _import_recorded(report.classes)
    subjects = [evaluable_base.REGISTRY.get(s, where=json_path) for s in report.subjects]
    evaluators = [evaluator_base.REGISTRY.get(e, where=json_path) for e in report.evaluators]
    subjects = bind_options(subjects, _parse_options(subject_options))
    try:
        evaluation = Evaluation(test_set, subjects, evaluators, records)
    except OSError as exc:
        raise _fail_from(exc) from exc
    part = parse_shard(report.shard)
    _apply_shard(evaluation, part)
    _configure(max_retries, request_timeout, rpm, judge_model, no_cache)
    # the report keeps the question set's path as it was stored
    extras = {"shard": report.shard, "classes": report.classes, "test_set_path": report.test_set_path}
    empanel_jury(evaluation, jury_of(judge_model), no_cache, extras)
    if report.cost is not None:  # the run counted its cost: the count goes on
        extras["cost"] = report.cost
    _run_and_conclude(
        evaluation,
        out,
        None,
        _report_usage(report),
        extras,
        gates,
        junit_path,
        verbose=verbose,
        jobs=jobs,
        keep_going=keep_going,
        quiet=quiet,
        fmt=fmt,
        error_limit=error_limit,
        finishing=finishing,
    )


def _in_order(before: List[EvalRecord]) -> Callable[[Report], None]:
    """Put a report's records in the order of ``before``: a remade judgement where its error
    record stood, an error record that a run stopped early did not remake kept as it was,
    the records ``before`` lacks after them."""

    def finishing(report: Report) -> None:
        made = {record.id: record for record in report.records}
        ordered = [made.pop(record.id, record) for record in before]
        report.records[:] = ordered + [record for record in report.records if record.id in made]

    return finishing
