"""``tavrin evaluate``."""

from __future__ import annotations

import os
import shlex
from typing import Any, Dict, Optional, Tuple

import click

from tavrin import _llm
from tavrin.commands._qa import costs
from tavrin.commands._qa.common import (
    Fail,
    _check_junit,
    _check_outputs,
    _fail_from,
)
from tavrin.commands._qa.juries import empanel_jury, jury_of
from tavrin.commands._qa.running import (
    START_NOTE,
    _configure,
    _error_limit,
    _gates,
    _run_and_conclude,
    _run_options,
)
from tavrin.commands._qa.shards import _apply_shard, parse_shard
from tavrin.commands._qa.subjects import (
    _known,
    _parse_options,
    bind_options,
    resolve_classes,
)
from tavrin.evaluation.qa.evaluable import base as evaluable_base
from tavrin.evaluation.qa.evaluator import base as evaluator_base
from tavrin.evaluation.qa.report import journal_path
from tavrin.evaluation.qa.report.lock import writing


class _EvaluateCommand(click.Command):
    """``evaluate`` lists the known subjects and evaluators at the end of its help."""

    def format_epilog(self, ctx: click.Context, formatter: click.HelpFormatter) -> None:
        formatter.write_paragraph()
        formatter.write_text(f"Known subjects: {_known('subject')}.")
        formatter.write_paragraph()
        formatter.write_text(f"Known evaluators: {_known('evaluator')}.")
        formatter.write_paragraph()
        formatter.write_text(
            "Subjects and evaluators of installed packages are found through the entry-point "
            f"groups {evaluable_base.ENTRY_POINT_GROUP} and {evaluator_base.ENTRY_POINT_GROUP}."
        )


@click.command(cls=_EvaluateCommand)
@click.argument("test_set", type=click.Path(exists=True, dir_okay=False))
@click.option(
    "-s",
    "--subject",
    "subjects",
    multiple=True,
    required=True,
    help="A subject to evaluate: a known name, or package.module:ClassName (repeatable).",
)
@click.option(
    "-e",
    "--evaluator",
    "evaluators",
    multiple=True,
    required=True,
    help="An evaluator that judges every answer: a known name, or package.module:ClassName (repeatable).",
)
@click.option("-o", "--output", required=True, type=click.Path(dir_okay=False), help="Where to write the JSON report.")
@click.option(
    "--markdown",
    "markdown_path",
    type=click.Path(dir_okay=False),
    help="Also write the report as Markdown here when the run completes.",
)
@click.option("--shard", default=None, metavar="K/N", help="Run only shard K of N of the cases (split by case id).")
@click.option("--force", is_flag=True, help="Replace an existing report at --output.")
@click.option("-v", "--verbose", is_flag=True, help="Print every question, answer and judgement.")
@_run_options
@costs.dry_run_option
def evaluate(
    test_set: str,
    subjects: Tuple[str, ...],
    evaluators: Tuple[str, ...],
    output: str,
    markdown_path: Optional[str],
    shard: Optional[str],
    force: bool,
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
) -> None:
    """Evaluate subjects on the question set in TEST_SET and save the report."""
    part = parse_shard(shard)
    subject_classes, subject_origins = resolve_classes(subjects, "subject")
    evaluator_classes, evaluator_origins = resolve_classes(evaluators, "evaluator")
    subject_classes = bind_options(subject_classes, _parse_options(subject_options))
    jury = jury_of(judge_model)
    gates = _gates(fail_under, [c.name for c in subject_classes], [c.name for c in evaluator_classes], "the run")
    error_limit = _error_limit(fail_on_error)
    if costs.dry_run_requested():  # sends nothing, writes nothing
        evaluation = _evaluation(test_set, subject_classes, evaluator_classes, part)
        _configure(max_retries, request_timeout, rpm, judge_model, True)
        empanel_jury(evaluation, jury, True, {})
        costs.dry_run(evaluation)
        return
    _check_outputs(output, markdown_path, [test_set])
    _check_junit(junit_path, [test_set], [output, markdown_path])
    click.get_current_context().with_resource(writing(output))  # held until the command ends
    journal = journal_path(output)
    if journal.exists() and not force:
        raise Fail(
            f"{journal} holds the judgements of a run that was killed; `tavrin resume {shlex.quote(output)}` "
            f"continues it (or --force starts afresh)"
        )
    if os.path.exists(output) and not force:
        raise Fail(
            f"{output} already exists; `tavrin resume {shlex.quote(output)}` continues that run, --force replaces it"
        )
    evaluation = _evaluation(test_set, subject_classes, evaluator_classes, part)
    _configure(max_retries, request_timeout, rpm, judge_model, no_cache)
    extras: Dict[str, Any] = {"shard": shard}
    empanel_jury(evaluation, jury, no_cache, extras)
    if subject_origins or evaluator_origins:
        extras["classes"] = {"subjects": subject_origins, "evaluators": evaluator_origins}
    if force and journal.exists():
        try:
            journal.unlink()
        except OSError as exc:
            raise Fail(f"cannot write {output}: {exc.strerror or exc}") from exc
    _run_and_conclude(
        evaluation,
        output,
        markdown_path,
        _llm.Usage(),
        extras,
        gates,
        junit_path,
        verbose=verbose,
        jobs=jobs,
        keep_going=keep_going,
        quiet=quiet,
        fmt=fmt,
        start_note=START_NOTE,
        error_limit=error_limit,
    )


def _evaluation(test_set: str, subject_classes: Any, evaluator_classes: Any, part: Any) -> Any:
    """The evaluation of the question set in ``test_set`` (only its shard ``part``)."""
    from tavrin.evaluation.qa.evaluation import Evaluation

    try:
        evaluation = Evaluation(str(test_set), list(subject_classes), list(evaluator_classes))
    except OSError as exc:
        raise _fail_from(exc) from exc
    _apply_shard(evaluation, part)
    return evaluation
